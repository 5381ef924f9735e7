#pragma once
// The optional descriptive chunks of a RIFF file: the LIST/INFO texts and the
// DISP display entries, as the RIFF WAVE layer (MMWaveIO) reads them while
// parsing and writes them when it finishes a file.
//
// Result codes of these helpers: kRiffOk, kRiffBadParam, kRiffFileError,
// kRiffNoMem. Nothing throws.
//
// Lists are plain data owned by one control block; they are not guarded and
// belong to the thread that uses the block.

#include "platform/mm/Mmio.h"

#include <array>
#include <string>
#include <vector>

constexpr int kRiffOk = 0;
constexpr int kRiffBadParam = 2;
constexpr int kRiffFileError = 3;
constexpr int kRiffNoMem = 4;

/// DISP types the layer writes back: text and a packed device-independent
/// bitmap (the clipboard format numbers).
constexpr DWORD kDispText = 1;
constexpr DWORD kDispDib = 8;

/// The identifiers of the published RIFF INFO list, in its order.
constexpr int kRiffInfoCount = 23;

struct TRiffInfoId {
    FOURCC Id; ///< e.g. mmioFOURCC('I','N','A','M')
    const char* Name; ///< display name, e.g. "Name"
    const char* Description; ///< one sentence on what the text holds
};

/// The table of the 23 identifiers (IARL ... ITCH).
extern const TRiffInfoId kRiffInfoIds[kRiffInfoCount];

/// Position of id in kRiffInfoIds, or -1.
int RiffInfoIndex(FOURCC id);

/// One optional text per identifier of the table; an empty text is absent.
struct TRiffInfoList {
    std::array<std::string, kRiffInfoCount> Text;
};

/// One DISP chunk: its display type and the data after the type.
struct TRiffDispEntry {
    DWORD Type = 0;
    std::vector<char> Data;
};

/// The DISP entries in file order.
struct TRiffDispList {
    std::vector<TRiffDispEntry> Entries;
};

/// A new empty list (kRiffNoMem when memory runs out).
int RiffCreateInfoList(TRiffInfoList*& list);
void RiffFreeInfoList(TRiffInfoList*& list);

/// The text of id (empty when absent); kRiffBadParam for a null list or an id
/// outside the table.
int RiffGetInfo(const TRiffInfoList* list, FOURCC id, std::string& text);

/// Sets (null or "" removes) the text of id; kRiffBadParam as above.
int RiffSetInfo(TRiffInfoList* list, FOURCC id, const char* text);

/// True when any entry has a text.
bool RiffHasInfo(const TRiffInfoList* list);

/// Reads the body of a LIST chunk of type INFO whose header mmioDescend has
/// just read (the position is after the list type). Each sub-chunk whose id
/// is in the table sets that entry to its text up to the first zero byte;
/// other ids are skipped; sub-chunks running past the list are cut to it.
/// Reads at most 1 MiB of the list. kRiffFileError on a read error.
int RiffReadInfoChunk(HMMIO hmmio, const MMCKINFO* listChunk, TRiffInfoList* list);

/// Writes a LIST chunk of type INFO with one sub-chunk per non-empty text, in
/// table order (id, length + 1, the text and its zero byte, pad byte when
/// odd). Writes nothing when every text is empty.
int RiffWriteInfoChunk(HMMIO hmmio, const TRiffInfoList* list);

int RiffCreateDispList(TRiffDispList*& list);
void RiffFreeDispList(TRiffDispList*& list);

/// Appends an entry with a copy of size bytes of data.
int RiffAddDisp(TRiffDispList* list, DWORD type, const void* data, DWORD size);

/// Reads a DISP chunk whose header mmioDescend has just read: the 4-byte type
/// and the rest as data. Chunks shorter than 4 bytes or longer than 16 MiB
/// are skipped. kRiffFileError on a read error.
int RiffReadDispChunk(HMMIO hmmio, const MMCKINFO* chunk, TRiffDispList* list);

/// Writes one DISP chunk per entry of type kDispText (its text up to the first
/// zero byte, with a zero byte) or kDispDib (all its data) that has data.
int RiffWriteDispChunks(HMMIO hmmio, const TRiffDispList* list);
