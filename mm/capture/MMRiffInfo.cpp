#include "mm/capture/MMRiffInfo.h"

#include <algorithm>
#include <cstring>
#include <new>

const TRiffInfoId kRiffInfoIds[kRiffInfoCount] = {
    { mmioFOURCC('I', 'A', 'R', 'L'), "Archival Location",
        "Indicates where the subject of the file is archived." },
    { mmioFOURCC('I', 'A', 'R', 'T'), "Artist", "Lists the artist of the original subject of the file." },
    { mmioFOURCC('I', 'C', 'M', 'S'), "Commissioned",
        "Lists the name of the person or organization that commissioned the subject of the file." },
    { mmioFOURCC('I', 'C', 'M', 'T'), "Comments",
        "Provides general comments about the file or its subject." },
    { mmioFOURCC('I', 'C', 'O', 'P'), "Copyright", "Records the copyright information for the file." },
    { mmioFOURCC('I', 'C', 'R', 'D'), "Creation date",
        "Specifies the date the subject of the file was created, in year-month-day form." },
    { mmioFOURCC('I', 'C', 'R', 'P'), "Cropped", "Describes whether and how an image has been cropped." },
    { mmioFOURCC('I', 'D', 'I', 'M'), "Dimensions",
        "Specifies the size of the original subject of the file." },
    { mmioFOURCC('I', 'D', 'P', 'I'), "Dots Per Inch",
        "Stores the dots-per-inch setting of the digitizer used to produce the file." },
    { mmioFOURCC('I', 'E', 'N', 'G'), "Engineer", "Stores the name of the engineer who worked on the file." },
    { mmioFOURCC('I', 'G', 'N', 'R'), "Genre", "Describes the genre of the original work." },
    { mmioFOURCC('I', 'K', 'E', 'Y'), "Keywords",
        "Provides a list of keywords that refer to the file or its subject." },
    { mmioFOURCC('I', 'L', 'G', 'T'), "Lightness",
        "Describes the changes in lightness settings on the digitizer required to produce the file." },
    { mmioFOURCC('I', 'M', 'E', 'D'), "Medium",
        "Describes the original subject of the file, such as a drawing." },
    { mmioFOURCC('I', 'N', 'A', 'M'), "Name", "Stores the title of the subject of the file." },
    { mmioFOURCC('I', 'P', 'L', 'T'), "Palette Setting",
        "Specifies the number of colors requested when digitizing an image." },
    { mmioFOURCC('I', 'P', 'R', 'D'), "Product",
        "Specifies the name of the title the file was originally intended for." },
    { mmioFOURCC('I', 'S', 'B', 'J'), "Subject", "Describes the contents of the file." },
    { mmioFOURCC('I', 'S', 'F', 'T'), "Software",
        "Identifies the name of the software package used to create the file." },
    { mmioFOURCC('I', 'S', 'H', 'P'), "Sharpness",
        "Identifies the changes in sharpness for the digitizer required to produce the file." },
    { mmioFOURCC('I', 'S', 'R', 'C'), "Source",
        "Identifies the person or organization who supplied the original subject of the file." },
    { mmioFOURCC('I', 'S', 'R', 'F'), "Source Form",
        "Identifies the original form of the material that was digitized, such as a slide." },
    { mmioFOURCC('I', 'T', 'C', 'H'), "Technician",
        "Identifies the technician who digitized the subject file." },
};

namespace {

constexpr DWORD kMaxInfoBytes = 1 << 20;
constexpr DWORD kMaxDispBytes = 16 << 20;
constexpr FOURCC kInfoType = mmioFOURCC('I', 'N', 'F', 'O');
constexpr FOURCC kDispId = mmioFOURCC('D', 'I', 'S', 'P');

DWORD GetDword(const char* from)
{
    DWORD value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<DWORD>(static_cast<BYTE>(from[i])) << (8 * i);
    return value;
}

void PutDword(char* to, DWORD value)
{
    for (int i = 0; i < 4; ++i)
        to[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

int WriteChunk(HMMIO hmmio, FOURCC id, const char* head, LONG headSize, const char* body, LONG bodySize)
{
    MMCKINFO ck {};
    ck.ckid = id;
    ck.cksize = static_cast<DWORD>(headSize + bodySize);
    if (mmioCreateChunk(hmmio, &ck, 0) != MMSYSERR_NOERROR)
        return kRiffFileError;
    if (headSize > 0 && mmioWrite(hmmio, head, headSize) != headSize)
        return kRiffFileError;
    if (bodySize > 0 && mmioWrite(hmmio, body, bodySize) != bodySize)
        return kRiffFileError;
    if (mmioAscend(hmmio, &ck, 0) != MMSYSERR_NOERROR)
        return kRiffFileError;
    return kRiffOk;
}

} // namespace

int RiffInfoIndex(FOURCC id)
{
    for (int i = 0; i < kRiffInfoCount; ++i)
        if (kRiffInfoIds[i].Id == id)
            return i;
    return -1;
}

int RiffCreateInfoList(TRiffInfoList*& list)
{
    list = new (std::nothrow) TRiffInfoList;
    return list ? kRiffOk : kRiffNoMem;
}

void RiffFreeInfoList(TRiffInfoList*& list)
{
    delete list;
    list = nullptr;
}

int RiffGetInfo(const TRiffInfoList* list, FOURCC id, std::string& text)
{
    const int index = RiffInfoIndex(id);
    if (!list || index < 0)
        return kRiffBadParam;
    try {
        text = list->Text[static_cast<size_t>(index)];
    } catch (const std::bad_alloc&) {
        return kRiffNoMem;
    }
    return kRiffOk;
}

int RiffSetInfo(TRiffInfoList* list, FOURCC id, const char* text)
{
    const int index = RiffInfoIndex(id);
    if (!list || index < 0)
        return kRiffBadParam;
    try {
        list->Text[static_cast<size_t>(index)] = text ? text : "";
    } catch (const std::bad_alloc&) {
        return kRiffNoMem;
    }
    return kRiffOk;
}

bool RiffHasInfo(const TRiffInfoList* list)
{
    return list
        && std::any_of(list->Text.begin(), list->Text.end(), [](const std::string& t) { return !t.empty(); });
}

int RiffReadInfoChunk(HMMIO hmmio, const MMCKINFO* listChunk, TRiffInfoList* list)
{
    if (!hmmio || !listChunk || !list)
        return kRiffBadParam;
    // The list type is part of the chunk's data.
    const DWORD bodySize = std::min<DWORD>(listChunk->cksize < 4 ? 0 : listChunk->cksize - 4, kMaxInfoBytes);
    try {
        std::vector<char> body(bodySize);
        const LONG got = bodySize ? mmioRead(hmmio, body.data(), static_cast<LONG>(bodySize)) : 0;
        if (got < 0)
            return kRiffFileError;
        const size_t end = static_cast<size_t>(got);
        size_t pos = 0;
        while (pos + 8 <= end) {
            const FOURCC id = GetDword(body.data() + pos);
            const size_t size = GetDword(body.data() + pos + 4);
            const size_t textStart = pos + 8;
            const size_t textEnd = textStart + std::min(size, end - textStart);
            const int index = RiffInfoIndex(id);
            if (index >= 0) {
                const char* text = body.data() + textStart;
                const char* zero = static_cast<const char*>(std::memchr(text, 0, textEnd - textStart));
                list->Text[static_cast<size_t>(index)].assign(text, zero ? zero : body.data() + textEnd);
            }
            if (size >= end - textStart)
                break;
            pos = textStart + size + (size & 1);
        }
    } catch (const std::bad_alloc&) {
        return kRiffNoMem;
    }
    return kRiffOk;
}

int RiffWriteInfoChunk(HMMIO hmmio, const TRiffInfoList* list)
{
    if (!hmmio || !list)
        return kRiffBadParam;
    if (!RiffHasInfo(list))
        return kRiffOk;
    MMCKINFO ck {};
    ck.fccType = kInfoType;
    if (mmioCreateChunk(hmmio, &ck, MMIO_CREATELIST) != MMSYSERR_NOERROR)
        return kRiffFileError;
    for (int i = 0; i < kRiffInfoCount; ++i) {
        const std::string& text = list->Text[static_cast<size_t>(i)];
        if (text.empty())
            continue;
        const int result = WriteChunk(
            hmmio, kRiffInfoIds[i].Id, nullptr, 0, text.c_str(), static_cast<LONG>(text.size() + 1));
        if (result != kRiffOk)
            return result;
    }
    if (mmioAscend(hmmio, &ck, 0) != MMSYSERR_NOERROR)
        return kRiffFileError;
    return kRiffOk;
}

int RiffCreateDispList(TRiffDispList*& list)
{
    list = new (std::nothrow) TRiffDispList;
    return list ? kRiffOk : kRiffNoMem;
}

void RiffFreeDispList(TRiffDispList*& list)
{
    delete list;
    list = nullptr;
}

int RiffAddDisp(TRiffDispList* list, DWORD type, const void* data, DWORD size)
{
    if (!list || (size > 0 && !data))
        return kRiffBadParam;
    try {
        TRiffDispEntry entry;
        entry.Type = type;
        const char* bytes = static_cast<const char*>(data);
        entry.Data.assign(bytes, bytes + size);
        list->Entries.push_back(std::move(entry));
    } catch (const std::bad_alloc&) {
        return kRiffNoMem;
    }
    return kRiffOk;
}

int RiffReadDispChunk(HMMIO hmmio, const MMCKINFO* chunk, TRiffDispList* list)
{
    if (!hmmio || !chunk || !list)
        return kRiffBadParam;
    if (chunk->cksize < 4 || chunk->cksize > kMaxDispBytes)
        return kRiffOk;
    try {
        std::vector<char> body(chunk->cksize);
        const LONG got = mmioRead(hmmio, body.data(), static_cast<LONG>(body.size()));
        if (got < 0)
            return kRiffFileError;
        if (got < 4)
            return kRiffOk;
        TRiffDispEntry entry;
        entry.Type = GetDword(body.data());
        entry.Data.assign(body.begin() + 4, body.begin() + got);
        list->Entries.push_back(std::move(entry));
    } catch (const std::bad_alloc&) {
        return kRiffNoMem;
    }
    return kRiffOk;
}

int RiffWriteDispChunks(HMMIO hmmio, const TRiffDispList* list)
{
    if (!hmmio || !list)
        return kRiffBadParam;
    try {
        for (const TRiffDispEntry& entry : list->Entries) {
            if (entry.Data.empty())
                continue;
            char type[4];
            PutDword(type, entry.Type);
            int result = kRiffOk;
            if (entry.Type == kDispText) {
                const char* text = entry.Data.data();
                const void* zero = std::memchr(text, 0, entry.Data.size());
                const size_t length
                    = zero ? static_cast<size_t>(static_cast<const char*>(zero) - text) : entry.Data.size();
                if (length == 0)
                    continue;
                const std::string terminated(text, length);
                result
                    = WriteChunk(hmmio, kDispId, type, 4, terminated.c_str(), static_cast<LONG>(length + 1));
            } else if (entry.Type == kDispDib) {
                result = WriteChunk(
                    hmmio, kDispId, type, 4, entry.Data.data(), static_cast<LONG>(entry.Data.size()));
            }
            if (result != kRiffOk)
                return result;
        }
    } catch (const std::bad_alloc&) {
        return kRiffNoMem;
    }
    return kRiffOk;
}
