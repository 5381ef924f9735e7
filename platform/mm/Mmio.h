#pragma once
// Buffered RIFF file I/O (the mmio* family) on POSIX files and on memory.
//
// A handle reads and writes a disk file or a block of memory through an I/O
// buffer, and walks RIFF chunks with mmioDescend/mmioAscend/mmioCreateChunk.
// The functions return codes as their Windows namesakes do; nothing throws.
//
// Differences a caller may notice:
// - File offsets are LONG (signed 32-bit): a file or memory image of 2 GiB or
//   more cannot be opened, and a write or seek that would pass 0x7FFFFFFF
//   fails. RIFF sizes are 32-bit anyway.
// - Sharing modes are advisory flock() locks taken by every mmio open of a
//   file: MMIO_EXCLUSIVE and MMIO_DENYREAD take an exclusive lock, all other
//   modes a shared one, so an exclusive open fails while any other mmio handle
//   has the file open and the other way round. Programs that do not use mmio
//   are not held back.
// - Only the built-in I/O procedures exist (FOURCC_DOS for files, FOURCC_MEM
//   for memory); MMIOINFO.pIOProc must be null and MMIO_GETTEMP is refused.
// - mmioClose always releases the handle, also when the final flush fails
//   (the failure is still returned).
// - For a file, MMIOINFO.adwInfo[0] as returned by mmioGetInfo holds the POSIX
//   file descriptor (as it holds the file handle on Windows), so that a caller
//   can fdatasync() what mmioFlush wrote out.
//
// A handle belongs to one thread at a time; different handles are independent.

#include "platform/mm/MMSystem.h"

#include <cstdio>

using HPSTR = char*;
using HMMIO = struct HMMIO__*;
using LPMMIOPROC = LONG (*)(LPSTR lpmmioinfo, UINT uMsg, LPARAM lParam1, LPARAM lParam2);

/// The state of an open handle, and the parameters of mmioOpen.
///
/// For mmioOpen only fccIOProc, pIOProc (must be null), cchBuffer, pchBuffer
/// and adwInfo[0] are read; wErrorRet receives the error when the open fails.
struct MMIOINFO {
    DWORD dwFlags; ///< open flags, plus MMIO_DIRTY when the buffer holds unwritten data
    FOURCC fccIOProc; ///< FOURCC_DOS (or 0) for a file, FOURCC_MEM for memory
    LPMMIOPROC pIOProc; ///< custom I/O procedures are not supported: null
    UINT wErrorRet; ///< error code of a failed mmioOpen
    DWORD_PTR htask; ///< unused
    LONG cchBuffer; ///< size of the I/O buffer (the memory image for FOURCC_MEM)
    HPSTR pchBuffer; ///< the I/O buffer, null when unbuffered
    HPSTR pchNext; ///< next byte to read or write in the buffer
    HPSTR pchEndRead; ///< end of the valid bytes in the buffer
    HPSTR pchEndWrite; ///< end of the buffer
    LONG lBufOffset; ///< file offset of pchBuffer[0]
    LONG lDiskOffset; ///< file offset just after the bytes the buffer holds
    DWORD adwInfo[3]; ///< [0]: memory growth step (FOURCC_MEM), or the file descriptor (files)
    DWORD dwReserved1;
    DWORD dwReserved2;
    HMMIO hmmio; ///< the handle itself
};
using LPMMIOINFO = MMIOINFO*;
using LPCMMIOINFO = const MMIOINFO*;

/// One RIFF chunk as mmioDescend and mmioCreateChunk describe it (20 bytes).
struct MMCKINFO {
    FOURCC ckid; ///< chunk id
    DWORD cksize; ///< size of the chunk's data (without header and pad byte)
    FOURCC fccType; ///< form or list type of a RIFF or LIST chunk
    DWORD dwDataOffset; ///< file offset of the chunk's data (of the form type for RIFF/LIST)
    DWORD dwFlags; ///< MMIO_DIRTY: mmioAscend fixes the size in the header
};
static_assert(sizeof(MMCKINFO) == 20);
using LPMMCKINFO = MMCKINFO*;
using LPCMMCKINFO = const MMCKINFO*;

// mmioOpen flags.
constexpr DWORD MMIO_RWMODE = 0x00000003;
constexpr DWORD MMIO_SHAREMODE = 0x00000070;
constexpr DWORD MMIO_CREATE = 0x00001000;
constexpr DWORD MMIO_PARSE = 0x00000100;
constexpr DWORD MMIO_DELETE = 0x00000200;
constexpr DWORD MMIO_EXIST = 0x00004000;
constexpr DWORD MMIO_ALLOCBUF = 0x00010000;
constexpr DWORD MMIO_GETTEMP = 0x00020000;
constexpr DWORD MMIO_DIRTY = 0x10000000;
constexpr DWORD MMIO_READ = 0x00000000;
constexpr DWORD MMIO_WRITE = 0x00000001;
constexpr DWORD MMIO_READWRITE = 0x00000002;
constexpr DWORD MMIO_COMPAT = 0x00000000;
constexpr DWORD MMIO_EXCLUSIVE = 0x00000010;
constexpr DWORD MMIO_DENYWRITE = 0x00000020;
constexpr DWORD MMIO_DENYREAD = 0x00000030;
constexpr DWORD MMIO_DENYNONE = 0x00000040;

// Flags of the other functions.
constexpr UINT MMIO_FHOPEN = 0x0010; ///< mmioClose: keep the file descriptor open
constexpr UINT MMIO_EMPTYBUF = 0x0010; ///< mmioFlush: also empty the buffer
constexpr UINT MMIO_TOUPPER = 0x0010; ///< mmioStringToFOURCC
constexpr UINT MMIO_FINDRIFF = 0x0020; ///< mmioDescend
constexpr UINT MMIO_FINDLIST = 0x0040; ///< mmioDescend
constexpr UINT MMIO_FINDCHUNK = 0x0010; ///< mmioDescend
constexpr UINT MMIO_CREATERIFF = 0x0020; ///< mmioCreateChunk
constexpr UINT MMIO_CREATELIST = 0x0040; ///< mmioCreateChunk

/// The buffer size MMIO_ALLOCBUF gives when cchBuffer is 0.
constexpr LONG MMIO_DEFAULTBUFFER = 8192;

/// The room the caller's name buffer must have for MMIO_PARSE and MMIO_EXIST,
/// which write the fully qualified name back into it.
constexpr int MMIO_MAXPATH = 4096;

// mmio result codes.
constexpr MMRESULT MMIOERR_BASE = 256;
constexpr MMRESULT MMIOERR_FILENOTFOUND = MMIOERR_BASE + 1;
constexpr MMRESULT MMIOERR_OUTOFMEMORY = MMIOERR_BASE + 2;
constexpr MMRESULT MMIOERR_CANNOTOPEN = MMIOERR_BASE + 3;
constexpr MMRESULT MMIOERR_CANNOTCLOSE = MMIOERR_BASE + 4;
constexpr MMRESULT MMIOERR_CANNOTREAD = MMIOERR_BASE + 5;
constexpr MMRESULT MMIOERR_CANNOTWRITE = MMIOERR_BASE + 6;
constexpr MMRESULT MMIOERR_CANNOTSEEK = MMIOERR_BASE + 7;
constexpr MMRESULT MMIOERR_CANNOTEXPAND = MMIOERR_BASE + 8;
constexpr MMRESULT MMIOERR_CHUNKNOTFOUND = MMIOERR_BASE + 9;
constexpr MMRESULT MMIOERR_UNBUFFERED = MMIOERR_BASE + 10;
constexpr MMRESULT MMIOERR_PATHNOTFOUND = MMIOERR_BASE + 11;
constexpr MMRESULT MMIOERR_ACCESSDENIED = MMIOERR_BASE + 12;
constexpr MMRESULT MMIOERR_SHARINGVIOLATION = MMIOERR_BASE + 13;
constexpr MMRESULT MMIOERR_NETWORKERROR = MMIOERR_BASE + 14;
constexpr MMRESULT MMIOERR_TOOMANYOPENFILES = MMIOERR_BASE + 15;
constexpr MMRESULT MMIOERR_INVALIDFILE = MMIOERR_BASE + 16;

constexpr FOURCC FOURCC_RIFF = mmioFOURCC('R', 'I', 'F', 'F');
constexpr FOURCC FOURCC_LIST = mmioFOURCC('L', 'I', 'S', 'T');
constexpr FOURCC FOURCC_DOS = mmioFOURCC('D', 'O', 'S', ' ');
constexpr FOURCC FOURCC_MEM = mmioFOURCC('M', 'E', 'M', ' ');

/// Opens a file or a memory image, or works on a path.
///
/// Files: szFilename names the file; dwOpenFlags combine one of MMIO_READ,
/// MMIO_WRITE, MMIO_READWRITE with MMIO_CREATE (create or truncate), a sharing
/// mode and MMIO_ALLOCBUF (an internal buffer of lpmmioinfo->cchBuffer bytes,
/// MMIO_DEFAULTBUFFER when 0). Without MMIO_ALLOCBUF a file is unbuffered
/// unless lpmmioinfo supplies pchBuffer and cchBuffer, the caller's buffer.
///
/// Memory: lpmmioinfo->fccIOProc = FOURCC_MEM; pchBuffer and cchBuffer are the
/// image, which is the whole file (its size is cchBuffer). A null pchBuffer
/// gives an internal zero-filled image of cchBuffer bytes. adwInfo[0] > 0
/// makes the image growable in steps of at least that many bytes: writing past
/// the end then reallocates it, so a caller's pchBuffer must come from
/// std::malloc and the caller takes the (possibly moved) image back from
/// mmioGetInfo before mmioClose; mmioClose frees only an internal image.
///
/// Path requests return a non-null dummy value (not a handle) for success and
/// null for failure: MMIO_PARSE writes the fully qualified name (absolute,
/// "." and ".." resolved without following links) into szFilename, which must
/// have room for MMIO_MAXPATH bytes; MMIO_EXIST does the same when the file
/// exists; MMIO_DELETE deletes the file.
///
/// On failure returns null and sets lpmmioinfo->wErrorRet (when given) to an
/// MMIOERR_ or MMSYSERR_ code.
HMMIO mmioOpen(LPSTR szFilename, LPMMIOINFO lpmmioinfo, DWORD dwOpenFlags);

/// Flushes the buffer, frees what the handle owns and closes the file (kept
/// open with MMIO_FHOPEN). Returns the flush error, if any; the handle is gone
/// either way.
MMRESULT mmioClose(HMMIO hmmio, UINT wFlags);

/// Reads up to cch bytes at the current position. Returns the count read (0 at
/// the end of the file) or -1 on error.
LONG mmioRead(HMMIO hmmio, HPSTR pch, LONG cch);

/// Writes cch bytes at the current position. Returns cch, or -1 on error
/// (nothing, or only part of it, may then have been stored).
LONG mmioWrite(HMMIO hmmio, const char* pch, LONG cch);

/// Moves the current position (SEEK_SET, SEEK_CUR or SEEK_END). Positions past
/// the end are allowed; reading there gives 0 bytes, writing there extends the
/// file (a memory image only when growable). Returns the new position, or -1.
LONG mmioSeek(HMMIO hmmio, LONG lOffset, int iOrigin);

/// Reads the chunk header at the current position into lpck and leaves the
/// position at the chunk's data (after the form type of a RIFF or LIST chunk).
/// With MMIO_FINDCHUNK / MMIO_FINDRIFF / MMIO_FINDLIST it skips chunks until
/// one with lpck->ckid (RIFF or LIST with lpck->fccType) appears. With a parent
/// the search ends at the parent's end. MMIOERR_CHUNKNOTFOUND when there is
/// none (also for a truncated header); lpck->dwFlags becomes 0.
MMRESULT mmioDescend(HMMIO hmmio, LPMMCKINFO lpck, LPCMMCKINFO lpckParent, UINT wFlags);

/// Leaves a chunk: for a chunk marked MMIO_DIRTY (a created one) its size
/// becomes current position - dwDataOffset, is written into its header and a
/// zero pad byte follows an odd size; then the position moves to the end of
/// the chunk and its pad byte.
MMRESULT mmioAscend(HMMIO hmmio, LPMMCKINFO lpck, UINT wFlags);

/// Writes a chunk header at the current position (ckid, cksize, and for
/// MMIO_CREATERIFF / MMIO_CREATELIST the id RIFF or LIST and fccType), sets
/// dwDataOffset and marks the chunk MMIO_DIRTY.
MMRESULT mmioCreateChunk(HMMIO hmmio, LPMMCKINFO lpck, UINT wFlags);

/// Copies the handle's state, for direct access to its buffer.
MMRESULT mmioGetInfo(HMMIO hmmio, LPMMIOINFO lpmmioinfo, UINT wFlags);

/// Takes back pchNext and the MMIO_DIRTY flag after direct access. A pchNext
/// outside the buffer is refused (MMSYSERR_INVALPARAM).
MMRESULT mmioSetInfo(HMMIO hmmio, LPCMMIOINFO lpmmioinfo, UINT wFlags);

/// Direct access: takes back lpmmioinfo's state (as mmioSetInfo), writes the
/// buffer out when dirty, moves the buffer to the current position and, with
/// MMIO_READ, fills it from the file; then updates lpmmioinfo. A memory image
/// grows with MMIO_WRITE when growable (else MMIOERR_CANNOTEXPAND when full).
/// MMIOERR_UNBUFFERED for an unbuffered file.
MMRESULT mmioAdvance(HMMIO hmmio, LPMMIOINFO lpmmioinfo, UINT wFlags);

/// Writes the buffer out when dirty; MMIO_EMPTYBUF also discards its contents.
MMRESULT mmioFlush(HMMIO hmmio, UINT wFlags);

/// Replaces the I/O buffer of a file after flushing it: the caller's buffer
/// (pchBuffer, cchBuffer), an internal one of cchBuffer bytes (null pchBuffer)
/// or none (cchBuffer 0). Not for memory images.
MMRESULT mmioSetBuffer(HMMIO hmmio, LPSTR pchBuffer, LONG cchBuffer, UINT wFlags);

/// Up to four characters of sz, padded with blanks; MMIO_TOUPPER upper-cases.
FOURCC mmioStringToFOURCC(LPCSTR sz, UINT wFlags);
