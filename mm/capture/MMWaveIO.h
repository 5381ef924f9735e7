#pragma once
// RIFF WAVE file access: parse, create, write, read, seek and finish WAV files
// through buffered mmio, one control block (TWaveIOCB) per file.
//
// Every function returns a result code and never throws: kWaveIOOk,
// kWaveIOError (general), kWaveIOBadParam, kWaveIOFileError, kWaveIONoMem.
// WaveIORead and WaveIOWrite return byte counts, -1 when the block is not open.
//
// Files the layer creates are laid out, in file order, as "RIFF" size "WAVE";
// "fmt " 18 (PCM) or 18 + cbSize, the format (a pad byte after an odd size);
// "data" size, the audio bytes, a pad byte after an odd size; "fact" 4, the
// sample count; then one "DISP" chunk per text or bitmap entry and a
// "LIST"/"INFO" chunk when any INFO text is set. The audio starts at byte 46
// for PCM and at byte 48 for GSM 6.10.
//
// While a file is being written, its sizes on disk are brought up to date and
// the data made durable (fdatasync) whenever a second has passed or a second
// of audio has been written since the last time, so a process killed at any
// moment leaves a file that readers take with all but about the last second
// of its audio. The writing thread only writes out what its buffer holds and
// marks how far the file is complete; a thread of the file's own (started by
// WaveIOCreate and WaveIOReopen, ended by WaveIOClose) patches the sizes and
// calls fdatasync, so a slow disk never holds up a write. At every sync the
// file is a valid RIFF WAVE whose RIFF size covers every chunk it holds: a
// created file ends with its data (no fact, INFO or DISP chunks yet); in a
// reopened file the chunks after the data stay reachable until new audio
// overwrites them (what is left of one that is partly overwritten is covered
// by a "JUNK" chunk).
//
// A block is used by one thread at a time; the syncing thread touches only
// the file, never the block or its mmio handle.

#include "mm/capture/MMRiffInfo.h"
#include "platform/mm/MMSystem.h"
#include "platform/mm/Mmio.h"

#include <cstddef>
#include <cstdint>
#include <string>

constexpr int kWaveIOOk = 0;
constexpr int kWaveIOError = 101;
constexpr int kWaveIOBadParam = 104;
constexpr int kWaveIOFileError = 106;
constexpr int kWaveIONoMem = 107;

// Source kinds (TWaveIOCB::OpenFlags and the flags of WaveIOOpen).
constexpr DWORD kWaveIOFile = 1; ///< a file, by name
constexpr DWORD kWaveIOResource = 2; ///< a resource (see WaveIOOpen)
constexpr DWORD kWaveIOMemory = 4; ///< a memory image described by an MMIOINFO
constexpr DWORD kWaveIOHeaderOnly = 8; ///< the parsed header alone, not to be reopened
constexpr DWORD kWaveIORaw = 16; ///< with kWaveIOFile: unbuffered, read-only access

/// How long written data may wait before it is made durable, and how much
/// audio (nAvgBytesPerSec bytes) may pile up before it is.
constexpr int64_t kWaveIOSyncIntervalNs = 1000000000;

/// The control block of one WAV file. One zero-initialised allocation whose
/// size is BlockSize: the fields, then the format with its cbSize extra bytes
/// and one spare zero byte. Allocated and released only by this layer.
struct TWaveIOCB {
    DWORD BlockSize; ///< bytes of this block
    DWORD OpenFlags; ///< source kind: kWaveIOFile, kWaveIOResource, ...
    HMMIO Handle; ///< open mmio handle, null while closed
    MMCKINFO RiffChunk; ///< the RIFF chunk
    MMCKINFO DataChunk; ///< the data chunk; MMIO_DIRTY once something was written
    void* ResourceHandle; ///< the loaded resource image of a resource wave while open
    LONG FileSize; ///< bytes in the file
    LONG DataBytes; ///< bytes of audio data
    LONG DataOffset; ///< file offset of the first data byte
    LONG SampleCount; ///< samples in the data
    LONG StartSample; ///< play range start (0 after open or create)
    LONG EndSample; ///< play range end (SampleCount after open or create)
    LONG BytesRemaining; ///< bytes from the current position to EndSample
    LONG CurrentSample; ///< current position relative to StartSample
    char* FileNameText; ///< the name (a copy of the MMIOINFO for memory waves)
    TRiffDispList* DispList; ///< DISP entries, written back when the file is finished
    TRiffInfoList* InfoList; ///< INFO texts, written back when the file is finished
    DWORD WriteState; ///< internal: created by WaveIOCreate and not yet closed
    LONG SyncedBytes; ///< internal: DataBytes when a sync was last asked for
    int64_t SyncTime; ///< internal: monotonic time (ns) when a sync was last asked for
    struct TWaveIOSyncer* Syncer; ///< internal: the syncing thread of a file open for writing
    LONG FactOffset; ///< internal: offset of the count of a fact chunk before the data, else 0
    WAVEFORMATEX Format; ///< the file's format; cbSize extra bytes follow
};
using PWaveIOCB = TWaveIOCB*;

/// Parses an existing RIFF WAVE and returns its closed block in *result.
///
/// flags name the source: kWaveIOFile (also when 0): name is a file path;
/// kWaveIORaw added: later reopens are unbuffered and read-only. kWaveIOMemory:
/// name points to an MMIOINFO whose pchBuffer/cchBuffer hold a WAV image; the
/// descriptor is copied, the image must outlive the block and is never written.
/// kWaveIOResource: name ":/path" is a Qt resource; another name is looked up
/// as the Qt resource ":/WAVE/<name>" and, failing that, as a file path whose
/// contents are loaded like a resource. kWaveIOHeaderOnly added to a source:
/// the block carries the parsed header only (OpenFlags kWaveIOHeaderOnly) and
/// cannot be reopened.
///
/// The audio data runs from the data chunk to the header of the chunk after
/// it, or to the end of the file when it is the last chunk (the declared size
/// is not used, so unfinished recordings read whole), less a pad byte after an
/// odd declared size, rounded down to whole blocks. PCM headers get their
/// nBlockAlign and nAvgBytesPerSec recomputed (bytes per sample rounded up
/// to whole bytes); the sample count is computed from the data, never taken
/// from a fact chunk. A fmt chunk with nBlockAlign or nSamplesPerSec 0 (or a
/// non-PCM nAvgBytesPerSec 0) is a kWaveIOFileError; no fmt or no data chunk
/// is kWaveIOError. Files of 2 GiB or more cannot be opened.
int WaveIOOpen(LPCSTR name, DWORD flags, PWaveIOCB* result);

/// WaveIOOpen of a memory image: flags gets kWaveIOMemory added.
int WaveIOOpen(LPCMMIOINFO memory, DWORD flags, PWaveIOCB* result);

/// A new block for a file to be created with a copy of the format (cbSize 0
/// for PCM) and empty lists. kWaveIOBadParam for a null or unusable format
/// (no channels, or a zero rate, byte rate or block size).
int WaveIOFromFormat(LPCWAVEFORMATEX format, PWaveIOCB* result);

/// Creates (or truncates) the file name, writes the RIFF header, the fmt
/// chunk and an empty data chunk, and leaves the file open for writing at the
/// start of the data. kWaveIOBadParam for a null block or name, kWaveIOError
/// when the block is open already, kWaveIOFileError on any file failure (a
/// file it had created is then deleted; a file it could not open is left
/// alone).
int WaveIOCreate(PWaveIOCB cb, LPCSTR name);

/// Reopens the block's source (files read/write when allowed, else read-only)
/// and seeks to CurrentSample. kWaveIOOk when already open, kWaveIOBadParam
/// for null, kWaveIOFileError on failure or for a header-only block.
int WaveIOReopen(PWaveIOCB cb);

/// Writes count bytes of audio at the current position and updates the
/// sizes and positions; asks for a sync as described above (never waits for
/// one). Returns count, 0 when writing failed or an earlier sync did, -1
/// when the block is not open, count is not positive or the block is raw.
LONG WaveIOWrite(PWaveIOCB cb, const void* data, LONG count);

/// Reads up to min(count, BytesRemaining) bytes. Returns the count read (0 at
/// the end), -1 when the block is not open.
LONG WaveIORead(PWaveIOCB cb, void* data, LONG count);

/// Moves to sample (relative to StartSample), clamped to 0 ... EndSample -
/// StartSample (the end itself is allowed, for appending). Works on a closed
/// block too (the next WaveIOReopen goes there). kWaveIOFileError for a
/// negative sample or a failed seek.
int WaveIOSeek(PWaveIOCB cb, LONG sample);

/// Sets the I/O buffer of a file opened through mmio to size bytes (0:
/// unbuffered); nothing for resource, memory and raw sources.
/// kWaveIOBadParam for null, kWaveIOError when closed or size < 0.
int WaveIOSetBuffer(PWaveIOCB cb, LONG size);

/// Finishes a written file (data size and pad byte, fact chunk with
/// SampleCount, DISP and INFO chunks, RIFF size; a reopened file is cut back to
/// its new end) and closes it. The syncing thread is ended first, so the final
/// header comes after the last sync (the syncs asked for are done first). The chunks after the data are
/// written and flushed before the header is touched: when that fails the header on disk stays as the last
/// sync left it. A file with nothing written is closed as it is. kWaveIOFileError when finishing failed; the
/// block is closed in every case.
int WaveIOClose(PWaveIOCB cb);

/// Closes the block (finishing the file as WaveIOClose does) and releases it
/// with its name and lists. Returns WaveIOClose's result.
int WaveIOFree(PWaveIOCB cb);

/// Writes out what is buffered and waits until the syncing thread has patched
/// the sizes on disk and called fdatasync, so that the file on disk is a valid
/// WAV file holding everything written so far. Nothing to do for blocks that
/// have not been written to or are not files. kWaveIOError when not open,
/// kWaveIOFileError when writing out or syncing failed. Blocks on the disk:
/// not for the audio path.
int WaveIOSync(PWaveIOCB cb);

/// Waits until the syncs asked for so far are done, without asking for one.
/// kWaveIOFileError when one of them failed. Blocks on the disk.
int WaveIOSyncWait(PWaveIOCB cb);

/// The syncs done since the file was created or reopened (0 when closed).
int WaveIOSyncCount(PWaveIOCB cb);

/// True when name opens and parses as a RIFF WAVE file.
bool WaveFileValid(LPCSTR name);

/// The fully qualified form of name (absolute, "." and ".." resolved);
/// false when it cannot be formed.
bool WaveIOQualifyName(LPCSTR name, std::string& qualified);

/// True when name is an existing file (not a directory).
bool WaveIOFileExists(LPCSTR name);

/// Deletes the file name; true on success.
bool WaveIODeleteFile(LPCSTR name);
