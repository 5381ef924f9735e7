#include "mm/capture/MMWaveIO.h"

#include "mm/format/MMWaveFormat.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <new>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

// The syncing thread of one file being written. The writer (the block's
// thread) posts what the header should say once everything up to a point is
// on the file; the thread patches the two sizes with pwrite and calls
// fdatasync. It holds the file descriptor only: the block and its mmio handle
// (buffer, position) stay the writer's alone. A request not yet taken is
// replaced by a newer one, so a slow disk makes syncs rarer, never the writer
// wait.
struct TWaveIOSyncer {
    struct TRequest {
        LONG RiffSizeAt = 0;
        DWORD RiffSize = 0;
        LONG DataSizeAt = 0;
        DWORD DataSize = 0;
    };

    explicit TWaveIOSyncer(int fd);
    ~TWaveIOSyncer();

    /// Writer: asks for a sync; returns its serial number.
    uint64_t Post(const TRequest& request);
    /// Waits until the sync of that serial (or a later one) is done; false
    /// when any sync failed.
    bool WaitFor(uint64_t serial);
    uint64_t Posted();
    bool Failed() const { return FFailed.load(); }
    int Count();

    // The chunks that followed the data when a file was reopened: their
    // header offsets and the end of the last. Read and written by the writer
    // only.
    std::vector<LONG> Trailing;
    LONG TrailingEnd = 0;

private:
    void Run();

    const int FFd;
    std::mutex FLock;
    std::condition_variable FWake; // a request, or the end
    std::condition_variable FDone; // a sync done
    // Guarded by FLock:
    bool FHasRequest = false;
    TRequest FRequest;
    uint64_t FPosted = 0;
    uint64_t FCompleted = 0;
    int FCount = 0;
    bool FStopping = false;
    std::atomic<bool> FFailed { false };
    std::thread FThread; // last: starts when the rest is ready
};

namespace {

constexpr FOURCC kWave = mmioFOURCC('W', 'A', 'V', 'E');
constexpr FOURCC kFmt = mmioFOURCC('f', 'm', 't', ' ');
constexpr FOURCC kData = mmioFOURCC('d', 'a', 't', 'a');
constexpr FOURCC kFact = mmioFOURCC('f', 'a', 'c', 't');
constexpr FOURCC kDisp = mmioFOURCC('D', 'I', 'S', 'P');
constexpr FOURCC kInfo = mmioFOURCC('I', 'N', 'F', 'O');

constexpr DWORD kStateCreated = 1;

// A fmt chunk never needs more than the record and the largest cbSize.
constexpr LONG kMaxFormatBytes = sizeof(WAVEFORMATEX) + 0xFFFF;

constexpr int64_t kMaxLong = std::numeric_limits<LONG>::max();

int64_t MonotonicNs()
{
    timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void PutDword(char* to, DWORD value)
{
    for (int i = 0; i < 4; ++i)
        to[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

char* CopyText(const char* text)
{
    const size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (copy)
        std::memcpy(copy, text, size);
    return copy;
}

// A zeroed block with room for formatBytes of format (at least the 18-byte
// record) and one spare zero byte.
PWaveIOCB AllocBlock(LONG formatBytes)
{
    const size_t size = offsetof(TWaveIOCB, Format)
        + static_cast<size_t>(std::max<LONG>(formatBytes, sizeof(WAVEFORMATEX))) + 1;
    auto* cb = static_cast<PWaveIOCB>(std::calloc(size, 1));
    if (cb)
        cb->BlockSize = static_cast<DWORD>(size);
    return cb;
}

void ReleaseBlock(PWaveIOCB cb)
{
    if (!cb)
        return;
    delete cb->Syncer;
    std::free(cb->FileNameText);
    RiffFreeDispList(cb->DispList);
    RiffFreeInfoList(cb->InfoList);
    std::free(cb);
}

bool IsFileSource(DWORD kind)
{
    return (kind & (kWaveIOMemory | kWaveIOResource | kWaveIOHeaderOnly)) == 0;
}

DWORD SourceKind(DWORD flags)
{
    if (flags & kWaveIOMemory)
        return kWaveIOMemory;
    if (flags & kWaveIOResource)
        return kWaveIOResource;
    return kWaveIOFile | (flags & kWaveIORaw);
}

QByteArray* LoadResource(const char* name)
{
    const QString text = QString::fromLocal8Bit(name);
    QString path = text;
    if (!text.startsWith(':') && QFile::exists(":/WAVE/" + text))
        path = ":/WAVE/" + text;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxLong)
        return nullptr;
    auto* data = new QByteArray(file.readAll());
    if (data->isEmpty()) {
        delete data;
        return nullptr;
    }
    return data;
}

// Opens the source a block names. For memory sources name is the MMIOINFO.
int OpenSource(DWORD kind, const char* name, HMMIO& h, QByteArray*& resource)
{
    h = nullptr;
    resource = nullptr;
    MMIOINFO info {};
    if (kind & (kWaveIOMemory | kWaveIOResource)) {
        if (kind & kWaveIOMemory) {
            const auto* image = reinterpret_cast<const MMIOINFO*>(name);
            if (!image->pchBuffer || image->cchBuffer <= 0)
                return kWaveIOFileError;
            info.pchBuffer = image->pchBuffer;
            info.cchBuffer = image->cchBuffer;
        } else {
            resource = LoadResource(name);
            if (!resource)
                return kWaveIOFileError;
            info.pchBuffer = resource->data();
            info.cchBuffer = static_cast<LONG>(resource->size());
        }
        info.fccIOProc = FOURCC_MEM;
        h = mmioOpen(nullptr, &info, MMIO_READ | MMIO_ALLOCBUF);
    } else {
        std::string path(name);
        if (kind & kWaveIORaw) {
            h = mmioOpen(path.data(), &info, MMIO_READ);
        } else {
            h = mmioOpen(path.data(), &info, MMIO_READWRITE | MMIO_ALLOCBUF);
            if (!h) {
                path = name;
                h = mmioOpen(path.data(), &info, MMIO_READ | MMIO_ALLOCBUF);
            }
        }
    }
    if (!h) {
        delete resource;
        resource = nullptr;
        return kWaveIOFileError;
    }
    return kWaveIOOk;
}

void CloseSource(HMMIO& h, void*& resource)
{
    if (h)
        mmioClose(h, 0);
    h = nullptr;
    delete static_cast<QByteArray*>(resource);
    resource = nullptr;
}

int DescendRiff(HMMIO h, MMCKINFO& riff)
{
    riff = {};
    if (mmioDescend(h, &riff, nullptr, 0) != MMSYSERR_NOERROR || riff.ckid != FOURCC_RIFF
        || riff.fccType != kWave)
        return kWaveIOFileError;
    return kWaveIOOk;
}

struct TParse {
    PWaveIOCB Block = nullptr;
    LONG FactOffset = 0;
    TRiffInfoList* Info = nullptr;
    TRiffDispList* Disp = nullptr;

    ~TParse()
    {
        std::free(Block);
        RiffFreeInfoList(Info);
        RiffFreeDispList(Disp);
    }
};

int RiffCode(int riffResult)
{
    return riffResult == kRiffNoMem ? kWaveIONoMem : kWaveIOOk;
}

// Makes the parsed format usable or rejects it; PCM headers are recomputed.
int SettleFormat(WAVEFORMATEX& f, LONG formatBytes)
{
    if (formatBytes < static_cast<LONG>(sizeof(WAVEFORMATEX)))
        f.cbSize = 0;
    if (f.nBlockAlign == 0 || f.nSamplesPerSec == 0 || f.nChannels == 0)
        return kWaveIOFileError;
    if (f.wFormatTag == WAVE_FORMAT_PCM) {
        const WORD bytesPerSample = static_cast<WORD>((f.wBitsPerSample + 7) / 8);
        const uint64_t align = static_cast<uint64_t>(f.nChannels) * bytesPerSample;
        const uint64_t rate = align * f.nSamplesPerSec;
        if (align == 0 || align > 0xFFFF || rate > 0xFFFFFFFFu)
            return kWaveIOFileError;
        f.nBlockAlign = static_cast<WORD>(align);
        f.nAvgBytesPerSec = static_cast<DWORD>(rate);
        f.cbSize = 0;
    } else {
        if (f.nAvgBytesPerSec == 0)
            return kWaveIOFileError;
        // Extra bytes the chunk does not hold are not there.
        const LONG present = std::max<LONG>(formatBytes - static_cast<LONG>(sizeof(WAVEFORMATEX)), 0);
        if (f.cbSize > present)
            f.cbSize = static_cast<WORD>(present);
    }
    return kWaveIOOk;
}

int ParseWave(HMMIO h, TParse& p)
{
    MMCKINFO riff;
    if (DescendRiff(h, riff) != kWaveIOOk)
        return kWaveIOFileError;
    const LONG fileSize = mmioSeek(h, 0, SEEK_END);
    if (fileSize < 0 || mmioSeek(h, static_cast<LONG>(riff.dwDataOffset + 4), SEEK_SET) < 0)
        return kWaveIOFileError;
    if (static_cast<int64_t>(riff.dwDataOffset) + riff.cksize > fileSize)
        riff.cksize = static_cast<DWORD>(fileSize - static_cast<LONG>(riff.dwDataOffset));
    const int64_t riffEnd = static_cast<int64_t>(riff.dwDataOffset) + riff.cksize;

    if (RiffCreateInfoList(p.Info) != kRiffOk || RiffCreateDispList(p.Disp) != kRiffOk)
        return kWaveIONoMem;

    bool haveFmt = false, haveData = false, haveFact = false, awaitingDataEnd = false;
    LONG formatBytes = 0;
    MMCKINFO dataChunk {};
    int64_t dataEnd = fileSize;
    for (;;) {
        MMCKINFO ck {};
        if (mmioDescend(h, &ck, &riff, 0) != MMSYSERR_NOERROR)
            break;
        if (awaitingDataEnd) {
            dataEnd = static_cast<int64_t>(ck.dwDataOffset) - 8;
            awaitingDataEnd = false;
        }
        if (static_cast<int64_t>(ck.dwDataOffset) + ck.cksize > riffEnd) {
            if (haveFmt && haveData)
                break;
            ck.cksize
                = static_cast<DWORD>(std::max<int64_t>(fileSize - static_cast<int64_t>(ck.dwDataOffset), 0));
        }
        bool stop = false;
        if (ck.ckid == FOURCC_LIST && ck.fccType == kInfo) {
            if (RiffCode(RiffReadInfoChunk(h, &ck, p.Info)) != kWaveIOOk)
                return kWaveIONoMem;
        } else if (ck.ckid == kDisp) {
            if (RiffCode(RiffReadDispChunk(h, &ck, p.Disp)) != kWaveIOOk)
                return kWaveIONoMem;
        } else if (ck.ckid == kFmt) {
            if (haveFmt) {
                stop = true;
            } else {
                haveFmt = true;
                formatBytes = static_cast<LONG>(std::min<int64_t>(ck.cksize, kMaxFormatBytes));
                p.Block = AllocBlock(formatBytes);
                if (!p.Block)
                    return kWaveIONoMem;
                if (mmioRead(h, reinterpret_cast<HPSTR>(&p.Block->Format), formatBytes) != formatBytes)
                    return kWaveIOFileError;
            }
        } else if (ck.ckid == kData) {
            if (haveData) {
                stop = true;
            } else {
                haveData = true;
                dataChunk = ck;
                awaitingDataEnd = true;
            }
        } else if (ck.ckid == kFact) {
            // The count is recomputed from the data; a second one ends the scan.
            stop = haveFact;
            // One before the data is kept where it is and brought up to date
            // when the file is finished again.
            if (!haveFact && !haveData && ck.cksize >= 4)
                p.FactOffset = static_cast<LONG>(ck.dwDataOffset);
            haveFact = true;
        }
        if (stop)
            break;
        if (mmioAscend(h, &ck, 0) != MMSYSERR_NOERROR) {
            if (haveData)
                break;
            return kWaveIOFileError;
        }
    }
    if (!haveFmt || !haveData)
        return kWaveIOError;
    WAVEFORMATEX& format = p.Block->Format;
    const int settled = SettleFormat(format, formatBytes);
    if (settled != kWaveIOOk)
        return settled;

    const int64_t dataOffset = dataChunk.dwDataOffset;
    // The pad byte after an odd data chunk is no audio, whether a chunk
    // follows it or the file ends there.
    if ((dataChunk.cksize & 1) && dataEnd == dataOffset + dataChunk.cksize + 1)
        dataEnd -= 1;
    int64_t span = std::max<int64_t>(dataEnd - dataOffset, 0);
    span -= span % format.nBlockAlign;

    PWaveIOCB cb = p.Block;
    cb->RiffChunk = riff;
    cb->DataChunk = dataChunk;
    cb->FactOffset = p.FactOffset;
    cb->FileSize = fileSize;
    cb->DataOffset = static_cast<LONG>(dataOffset);
    cb->DataBytes = static_cast<LONG>(span);
    cb->SampleCount = BytesToSamples(&format, cb->DataBytes);
    cb->StartSample = 0;
    cb->EndSample = cb->SampleCount;
    cb->BytesRemaining = 0;
    cb->CurrentSample = 0;
    return kWaveIOOk;
}

int OpenBlock(const char* name, DWORD flags, PWaveIOCB* result)
{
    if (!result)
        return kWaveIOBadParam;
    *result = nullptr;
    const DWORD kind = SourceKind(flags);
    if (!name || (!(kind & kWaveIOMemory) && !*name))
        return kWaveIOBadParam;
    try {
        HMMIO h = nullptr;
        QByteArray* resource = nullptr;
        const int opened = OpenSource(kind, name, h, resource);
        if (opened != kWaveIOOk)
            return opened;
        TParse p;
        const int parsed = ParseWave(h, p);
        void* resourceHandle = resource;
        CloseSource(h, resourceHandle);
        if (parsed != kWaveIOOk)
            return parsed;
        PWaveIOCB cb = p.Block;
        if (kind & kWaveIOMemory) {
            cb->FileNameText = static_cast<char*>(std::malloc(sizeof(MMIOINFO)));
            if (cb->FileNameText)
                std::memcpy(cb->FileNameText, name, sizeof(MMIOINFO));
        } else {
            cb->FileNameText = CopyText(name);
        }
        if (!cb->FileNameText)
            return kWaveIONoMem;
        cb->OpenFlags = (flags & kWaveIOHeaderOnly) ? kWaveIOHeaderOnly : kind;
        cb->InfoList = p.Info;
        cb->DispList = p.Disp;
        p.Block = nullptr;
        p.Info = nullptr;
        p.Disp = nullptr;
        *result = cb;
        return kWaveIOOk;
    } catch (const std::bad_alloc&) {
        return kWaveIONoMem;
    }
}

bool IsOpen(const TWaveIOCB* cb)
{
    return cb && cb->Handle;
}

bool WriteDwordAt(HMMIO h, LONG offset, DWORD value)
{
    char field[4];
    PutDword(field, value);
    return mmioSeek(h, offset, SEEK_SET) == offset && mmioWrite(h, field, 4) == 4;
}

int FileDescriptor(HMMIO h)
{
    MMIOINFO info {};
    if (mmioGetInfo(h, &info, 0) != MMSYSERR_NOERROR || info.fccIOProc != FOURCC_DOS)
        return -1;
    return static_cast<int>(info.adwInfo[0]);
}

bool SyncDescriptor(int fd)
{
    if (fd < 0)
        return true;
    // File systems that cannot sync (EINVAL) have nothing more to give.
    return ::fdatasync(fd) == 0 || errno == EINVAL || errno == EROFS;
}

bool WriteDwordToFd(int fd, LONG offset, DWORD value)
{
    char field[4];
    PutDword(field, value);
    for (;;) {
        const ssize_t n = ::pwrite(fd, field, 4, offset);
        if (n == 4)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

void EndSyncer(PWaveIOCB cb)
{
    // Joins the thread once the syncs asked for are done.
    delete cb->Syncer;
    cb->Syncer = nullptr;
}

// Starts the syncing thread of a file opened for writing.
int StartSyncer(PWaveIOCB cb)
{
    const int fd = FileDescriptor(cb->Handle);
    if (fd < 0)
        return kWaveIOOk;
    try {
        cb->Syncer = new TWaveIOSyncer(fd);
    } catch (const std::exception&) {
        return kWaveIONoMem;
    }
    return kWaveIOOk;
}

// The header offsets of the chunks after the data of a reopened file, so
// that a sync can keep them inside the RIFF chunk.
void FindTrailingChunks(PWaveIOCB cb)
{
    TWaveIOSyncer* syncer = cb->Syncer;
    HMMIO h = cb->Handle;
    const int64_t riffEnd = static_cast<int64_t>(cb->RiffChunk.dwDataOffset) + cb->RiffChunk.cksize;
    if (!syncer || mmioSeek(h, static_cast<LONG>(cb->RiffChunk.dwDataOffset) + 4, SEEK_SET) < 0)
        return;
    bool afterData = false;
    for (;;) {
        MMCKINFO ck {};
        if (mmioDescend(h, &ck, &cb->RiffChunk, 0) != MMSYSERR_NOERROR)
            break;
        const int64_t end = static_cast<int64_t>(ck.dwDataOffset) + ck.cksize + (ck.cksize & 1);
        if (end > riffEnd)
            break;
        if (afterData) {
            syncer->Trailing.push_back(static_cast<LONG>(ck.dwDataOffset) - 8);
            syncer->TrailingEnd = static_cast<LONG>(end);
        }
        afterData = afterData || static_cast<LONG>(ck.dwDataOffset) == cb->DataOffset;
        if (mmioAscend(h, &ck, 0) != MMSYSERR_NOERROR)
            break;
    }
}

// Writer side of a sync: writes out the buffer (and leaves it empty, so that
// it never holds the header fields the syncing thread patches), makes the
// chunks after the data of a reopened file reachable, and posts the sizes.
int RequestSync(PWaveIOCB cb, uint64_t* serial)
{
    TWaveIOSyncer* syncer = cb->Syncer;
    if (mmioFlush(cb->Handle, MMIO_EMPTYBUF) != MMSYSERR_NOERROR)
        return kWaveIOFileError;
    const LONG dataEnd = cb->DataOffset + cb->DataBytes;
    LONG riffEnd = dataEnd;
    const std::vector<LONG>& trailing = syncer->Trailing;
    if (!trailing.empty()) {
        // New audio may have run into the chunks that followed the data:
        // the first one still whole either starts right after the data, or
        // a JUNK chunk spans what is left of the ones before it.
        const LONG next = dataEnd + (cb->DataBytes & 1);
        const auto at = std::lower_bound(trailing.begin(), trailing.end(), next);
        if (at != trailing.end() && *at == next) {
            riffEnd = syncer->TrailingEnd;
        } else {
            LONG spanEnd = syncer->TrailingEnd;
            for (auto it = at; it != trailing.end(); ++it) {
                if (*it >= next + 8) {
                    spanEnd = *it;
                    break;
                }
            }
            if (spanEnd >= next + 8) {
                const int fd = FileDescriptor(cb->Handle);
                char header[8];
                PutDword(header, mmioFOURCC('J', 'U', 'N', 'K'));
                PutDword(header + 4, static_cast<DWORD>(spanEnd - next - 8));
                if (fd < 0 || ::pwrite(fd, header, 8, next) != 8)
                    return kWaveIOFileError;
                riffEnd = syncer->TrailingEnd;
            }
        }
    }
    TWaveIOSyncer::TRequest request;
    request.RiffSizeAt = static_cast<LONG>(cb->RiffChunk.dwDataOffset) - 4;
    request.RiffSize = static_cast<DWORD>(riffEnd) - cb->RiffChunk.dwDataOffset;
    request.DataSizeAt = cb->DataOffset - 4;
    request.DataSize = static_cast<DWORD>(cb->DataBytes);
    const uint64_t posted = syncer->Post(request);
    if (serial)
        *serial = posted;
    cb->SyncedBytes = cb->DataBytes;
    cb->SyncTime = MonotonicNs();
    return kWaveIOOk;
}

bool Syncing(const TWaveIOCB* cb)
{
    return cb->Syncer != nullptr && (cb->DataChunk.dwFlags & MMIO_DIRTY);
}

// Steps of WaveIOClose that write the end of the file. Everything after the
// data goes out first; the header fields are patched only once that has
// reached the file, so a failure leaves the header of the last sync.
int FinishFile(PWaveIOCB cb)
{
    HMMIO h = cb->Handle;
    if (mmioFlush(h, 0) != MMSYSERR_NOERROR)
        return kWaveIOFileError;
    const bool reopened = !(cb->WriteState & kStateCreated);
    // Finish after the last data byte, also when the writer moved back.
    const LONG dataEnd = cb->DataOffset + cb->DataBytes;
    if (mmioSeek(h, dataEnd, SEEK_SET) != dataEnd)
        return kWaveIOFileError;
    const char pad = 0;
    if ((cb->DataBytes & 1) && mmioWrite(h, &pad, 1) != 1)
        return kWaveIOFileError;
    // A reopened file keeps its one fact chunk before the data: peers take
    // the duration from the first they find.
    const bool factBefore = reopened && cb->FactOffset > 0;
    if (!factBefore) {
        MMCKINFO fact {};
        fact.ckid = kFact;
        fact.cksize = 4;
        char count[4];
        PutDword(count, static_cast<DWORD>(cb->SampleCount));
        if (mmioCreateChunk(h, &fact, 0) != MMSYSERR_NOERROR || mmioWrite(h, count, 4) != 4
            || mmioAscend(h, &fact, 0) != MMSYSERR_NOERROR)
            return kWaveIOFileError;
    }
    if (cb->DispList && RiffWriteDispChunks(h, cb->DispList) != kRiffOk)
        return kWaveIOFileError;
    if (cb->InfoList && RiffWriteInfoChunk(h, cb->InfoList) != kRiffOk)
        return kWaveIOFileError;
    const LONG end = mmioSeek(h, 0, SEEK_CUR);
    if (end < 0 || mmioFlush(h, 0) != MMSYSERR_NOERROR)
        return kWaveIOFileError;

    if ((factBefore && !WriteDwordAt(h, cb->FactOffset, static_cast<DWORD>(cb->SampleCount)))
        || !WriteDwordAt(h, cb->DataOffset - 4, static_cast<DWORD>(cb->DataBytes))
        || !WriteDwordAt(h, static_cast<LONG>(cb->RiffChunk.dwDataOffset) - 4,
            static_cast<DWORD>(end) - cb->RiffChunk.dwDataOffset)
        || mmioSeek(h, end, SEEK_SET) != end || mmioFlush(h, 0) != MMSYSERR_NOERROR)
        return kWaveIOFileError;
    cb->DataChunk.cksize = static_cast<DWORD>(cb->DataBytes);
    cb->DataChunk.dwFlags &= ~MMIO_DIRTY;
    cb->RiffChunk.cksize = static_cast<DWORD>(end) - cb->RiffChunk.dwDataOffset;
    cb->FileSize = end;
    cb->EndSample = cb->SampleCount;

    const int fd = FileDescriptor(h);
    if (fd >= 0) {
        // Bytes of a longer old file after the new end would be read as junk.
        struct stat st { };
        if (::fstat(fd, &st) == 0 && st.st_size > end && ::ftruncate(fd, end) != 0)
            return kWaveIOFileError;
        if (!SyncDescriptor(fd))
            return kWaveIOFileError;
    }
    return kWaveIOOk;
}

} // namespace

TWaveIOSyncer::TWaveIOSyncer(int fd)
    : FFd(fd)
    , FThread([this] { Run(); })
{
}

TWaveIOSyncer::~TWaveIOSyncer()
{
    {
        std::lock_guard lock(FLock);
        FStopping = true;
    }
    FWake.notify_all();
    FThread.join();
}

uint64_t TWaveIOSyncer::Post(const TRequest& request)
{
    uint64_t serial = 0;
    {
        std::lock_guard lock(FLock);
        FRequest = request;
        FHasRequest = true;
        serial = ++FPosted;
    }
    FWake.notify_one();
    return serial;
}

bool TWaveIOSyncer::WaitFor(uint64_t serial)
{
    std::unique_lock lock(FLock);
    FDone.wait(lock, [&] { return FCompleted >= serial || FStopping; });
    return !FFailed.load();
}

uint64_t TWaveIOSyncer::Posted()
{
    std::lock_guard lock(FLock);
    return FPosted;
}

int TWaveIOSyncer::Count()
{
    std::lock_guard lock(FLock);
    return FCount;
}

void TWaveIOSyncer::Run()
{
    std::unique_lock lock(FLock);
    for (;;) {
        FWake.wait(lock, [&] { return FHasRequest || FStopping; });
        // The last request is carried out also when the file is being
        // closed: should finishing it fail, the header of that sync stays.
        if (!FHasRequest)
            break;
        const TRequest request = FRequest;
        const uint64_t serial = FPosted;
        FHasRequest = false;
        lock.unlock();
        // The data the sizes describe is on the file already: the writer
        // wrote it out before posting.
        const bool ok = WriteDwordToFd(FFd, request.RiffSizeAt, request.RiffSize)
            && WriteDwordToFd(FFd, request.DataSizeAt, request.DataSize) && SyncDescriptor(FFd);
        lock.lock();
        if (!ok)
            FFailed.store(true);
        FCompleted = serial;
        ++FCount;
        FDone.notify_all();
    }
    FDone.notify_all();
}

int WaveIOOpen(LPCSTR name, DWORD flags, PWaveIOCB* result)
{
    return OpenBlock(name, flags, result);
}

int WaveIOOpen(LPCMMIOINFO memory, DWORD flags, PWaveIOCB* result)
{
    return OpenBlock(reinterpret_cast<const char*>(memory), flags | kWaveIOMemory, result);
}

int WaveIOFromFormat(LPCWAVEFORMATEX format, PWaveIOCB* result)
{
    if (!result)
        return kWaveIOBadParam;
    *result = nullptr;
    if (!IsValidWaveFormat(format))
        return kWaveIOBadParam;
    const LONG size = static_cast<LONG>(WaveFormatSize(format));
    PWaveIOCB cb = AllocBlock(size);
    if (!cb)
        return kWaveIONoMem;
    std::memcpy(&cb->Format, format, static_cast<size_t>(size));
    if (cb->Format.wFormatTag == WAVE_FORMAT_PCM)
        cb->Format.cbSize = 0;
    cb->OpenFlags = kWaveIOFile;
    if (RiffCreateInfoList(cb->InfoList) != kRiffOk || RiffCreateDispList(cb->DispList) != kRiffOk) {
        ReleaseBlock(cb);
        return kWaveIONoMem;
    }
    *result = cb;
    return kWaveIOOk;
}

int WaveIOCreate(PWaveIOCB cb, LPCSTR name)
{
    if (!cb || !name || !*name)
        return kWaveIOBadParam;
    if (IsOpen(cb))
        return kWaveIOError;
    char* nameCopy = CopyText(name);
    if (!nameCopy)
        return kWaveIONoMem;
    std::string path(name);
    MMIOINFO info {};
    HMMIO h = mmioOpen(path.data(), &info, MMIO_CREATE | MMIO_READWRITE | MMIO_ALLOCBUF);
    if (!h) {
        // Not ours to delete: it may be another writer's file.
        std::free(nameCopy);
        return kWaveIOFileError;
    }
    MMCKINFO riff {};
    riff.fccType = kWave;
    MMCKINFO fmt {};
    fmt.ckid = kFmt;
    fmt.cksize = WaveFormatSize(&cb->Format);
    MMCKINFO data {};
    data.ckid = kData;
    const LONG formatSize = static_cast<LONG>(fmt.cksize);
    const bool ok = mmioCreateChunk(h, &riff, MMIO_CREATERIFF) == MMSYSERR_NOERROR
        && mmioCreateChunk(h, &fmt, 0) == MMSYSERR_NOERROR
        && mmioWrite(h, reinterpret_cast<const char*>(&cb->Format), formatSize) == formatSize
        && mmioAscend(h, &fmt, 0) == MMSYSERR_NOERROR && mmioCreateChunk(h, &data, 0) == MMSYSERR_NOERROR;
    if (!ok) {
        mmioClose(h, 0);
        path = name;
        mmioOpen(path.data(), nullptr, MMIO_DELETE);
        std::free(nameCopy);
        return kWaveIOFileError;
    }
    std::free(cb->FileNameText);
    cb->FileNameText = nameCopy;
    cb->OpenFlags = kWaveIOFile;
    cb->Handle = h;
    cb->RiffChunk = riff;
    cb->DataChunk = data;
    // Dirty means written to: a file closed without data keeps its header.
    cb->DataChunk.dwFlags &= ~MMIO_DIRTY;
    cb->DataOffset = static_cast<LONG>(data.dwDataOffset);
    cb->FileSize = cb->DataOffset;
    cb->DataBytes = 0;
    cb->SampleCount = 0;
    cb->StartSample = 0;
    cb->EndSample = 0;
    cb->BytesRemaining = 0;
    cb->CurrentSample = 0;
    cb->WriteState = kStateCreated;
    cb->FactOffset = 0;
    cb->SyncedBytes = 0;
    cb->SyncTime = MonotonicNs();
    const int started = StartSyncer(cb);
    if (started != kWaveIOOk) {
        mmioClose(h, 0);
        cb->Handle = nullptr;
        path = name;
        mmioOpen(path.data(), nullptr, MMIO_DELETE);
        return started;
    }
    return kWaveIOOk;
}

int WaveIOReopen(PWaveIOCB cb)
{
    if (!cb)
        return kWaveIOBadParam;
    if (IsOpen(cb))
        return kWaveIOOk;
    if ((cb->OpenFlags & kWaveIOHeaderOnly) || !cb->FileNameText)
        return kWaveIOFileError;
    try {
        HMMIO h = nullptr;
        QByteArray* resource = nullptr;
        if (OpenSource(SourceKind(cb->OpenFlags), cb->FileNameText, h, resource) != kWaveIOOk)
            return kWaveIOFileError;
        cb->Handle = h;
        cb->ResourceHandle = resource;
    } catch (const std::bad_alloc&) {
        return kWaveIONoMem;
    }
    MMCKINFO riff;
    if (DescendRiff(cb->Handle, riff) != kWaveIOOk) {
        CloseSource(cb->Handle, cb->ResourceHandle);
        return kWaveIOFileError;
    }
    cb->RiffChunk = riff;
    cb->WriteState = 0;
    cb->SyncedBytes = cb->DataBytes;
    cb->SyncTime = MonotonicNs();
    MMIOINFO info {};
    const bool writable = IsFileSource(cb->OpenFlags) && !(cb->OpenFlags & kWaveIORaw)
        && mmioGetInfo(cb->Handle, &info, 0) == MMSYSERR_NOERROR && (info.dwFlags & MMIO_RWMODE) != MMIO_READ;
    if (writable && StartSyncer(cb) != kWaveIOOk) {
        CloseSource(cb->Handle, cb->ResourceHandle);
        return kWaveIONoMem;
    }
    FindTrailingChunks(cb);
    if (WaveIOSeek(cb, cb->CurrentSample) != kWaveIOOk) {
        EndSyncer(cb);
        CloseSource(cb->Handle, cb->ResourceHandle);
        return kWaveIOFileError;
    }
    return kWaveIOOk;
}

LONG WaveIOWrite(PWaveIOCB cb, const void* data, LONG count)
{
    if (!IsOpen(cb) || count <= 0 || !data || (cb->OpenFlags & kWaveIORaw))
        return -1;
    const LONG written = mmioWrite(cb->Handle, static_cast<const char*>(data), count);
    if (written <= 0)
        return 0;
    cb->DataChunk.dwFlags |= MMIO_DIRTY;
    const LONG position = mmioSeek(cb->Handle, 0, SEEK_CUR);
    const LONG bytes = std::max<LONG>(position - cb->DataOffset, 0);
    const WAVEFORMATEX* format = &cb->Format;
    cb->CurrentSample = BytesToSamples(format, bytes);
    cb->DataBytes = std::max(cb->DataBytes, bytes);
    cb->SampleCount = std::max(cb->SampleCount, cb->CurrentSample);
    cb->EndSample = cb->SampleCount;
    cb->BytesRemaining = SamplesToBytes(format, cb->EndSample - cb->CurrentSample);

    if (cb->Syncer) {
        if (cb->Syncer->Failed())
            return 0;
        const int64_t now = MonotonicNs();
        const bool due = now - cb->SyncTime >= kWaveIOSyncIntervalNs
            || static_cast<int64_t>(cb->DataBytes) - cb->SyncedBytes
                >= static_cast<int64_t>(format->nAvgBytesPerSec);
        if (due && RequestSync(cb, nullptr) != kWaveIOOk)
            return 0;
    }
    return written;
}

LONG WaveIORead(PWaveIOCB cb, void* data, LONG count)
{
    if (!IsOpen(cb))
        return -1;
    const LONG wanted = std::min(count, cb->BytesRemaining);
    if (wanted <= 0 || !data)
        return 0;
    LONG got = mmioRead(cb->Handle, static_cast<HPSTR>(data), wanted);
    if (got < wanted) {
        cb->BytesRemaining = 0;
        got = std::max<LONG>(got, 0);
    }
    cb->BytesRemaining = std::max<LONG>(cb->BytesRemaining - got, 0);
    cb->CurrentSample = cb->EndSample - cb->StartSample - BytesToSamples(&cb->Format, cb->BytesRemaining);
    return got;
}

int WaveIOSeek(PWaveIOCB cb, LONG sample)
{
    if (!cb)
        return kWaveIOBadParam;
    if (sample < 0)
        return kWaveIOFileError;
    const LONG length = std::max<LONG>(cb->EndSample - cb->StartSample, 0);
    sample = std::min(sample, length);
    const WAVEFORMATEX* format = &cb->Format;
    const LONG offset = SamplesToBytes(format, cb->StartSample + sample);
    if (IsOpen(cb)) {
        const int64_t target = static_cast<int64_t>(cb->DataOffset) + offset;
        if (target > kMaxLong || mmioSeek(cb->Handle, static_cast<LONG>(target), SEEK_SET) != target)
            return kWaveIOFileError;
    }
    // Never past the data, whatever rounding a strange format brings.
    const LONG end = std::min(SamplesToBytes(format, cb->EndSample), cb->DataBytes);
    cb->BytesRemaining = std::max<LONG>(end - offset, 0);
    cb->CurrentSample = BytesToSamples(format, offset) - cb->StartSample;
    return kWaveIOOk;
}

int WaveIOSetBuffer(PWaveIOCB cb, LONG size)
{
    if (!cb)
        return kWaveIOBadParam;
    if (!IsOpen(cb) || size < 0)
        return kWaveIOError;
    if (!IsFileSource(cb->OpenFlags) || (cb->OpenFlags & kWaveIORaw))
        return kWaveIOOk;
    return mmioSetBuffer(cb->Handle, nullptr, size, 0) == MMSYSERR_NOERROR ? kWaveIOOk : kWaveIOError;
}

int WaveIOClose(PWaveIOCB cb)
{
    if (!cb)
        return kWaveIOBadParam;
    int result = kWaveIOOk;
    EndSyncer(cb);
    if (IsOpen(cb) && !(cb->OpenFlags & kWaveIORaw) && (cb->DataChunk.dwFlags & MMIO_DIRTY))
        result = FinishFile(cb);
    if (cb->Handle && mmioClose(cb->Handle, 0) != MMSYSERR_NOERROR && result == kWaveIOOk)
        result = kWaveIOFileError;
    cb->Handle = nullptr;
    CloseSource(cb->Handle, cb->ResourceHandle);
    cb->WriteState = 0;
    cb->BytesRemaining = 0;
    cb->CurrentSample = 0;
    return result;
}

int WaveIOFree(PWaveIOCB cb)
{
    if (!cb)
        return kWaveIOBadParam;
    const int result = WaveIOClose(cb);
    ReleaseBlock(cb);
    return result;
}

int WaveIOSync(PWaveIOCB cb)
{
    if (!cb)
        return kWaveIOBadParam;
    if (!IsOpen(cb))
        return kWaveIOError;
    if (!Syncing(cb))
        return kWaveIOOk;
    uint64_t serial = 0;
    if (RequestSync(cb, &serial) != kWaveIOOk || !cb->Syncer->WaitFor(serial))
        return kWaveIOFileError;
    return kWaveIOOk;
}

int WaveIOSyncWait(PWaveIOCB cb)
{
    if (!cb)
        return kWaveIOBadParam;
    if (!cb->Syncer)
        return kWaveIOOk;
    return cb->Syncer->WaitFor(cb->Syncer->Posted()) ? kWaveIOOk : kWaveIOFileError;
}

int WaveIOSyncCount(PWaveIOCB cb)
{
    return cb && cb->Syncer ? cb->Syncer->Count() : 0;
}

bool WaveFileValid(LPCSTR name)
{
    PWaveIOCB cb = nullptr;
    if (WaveIOOpen(name, kWaveIOFile, &cb) != kWaveIOOk)
        return false;
    WaveIOFree(cb);
    return true;
}

bool WaveIOQualifyName(LPCSTR name, std::string& qualified)
{
    if (!name || !*name || std::strlen(name) >= static_cast<size_t>(MMIO_MAXPATH))
        return false;
    std::vector<char> buffer(MMIO_MAXPATH);
    std::strcpy(buffer.data(), name);
    if (!mmioOpen(buffer.data(), nullptr, MMIO_PARSE))
        return false;
    qualified = buffer.data();
    return true;
}

bool WaveIOFileExists(LPCSTR name)
{
    if (!name || !*name || std::strlen(name) >= static_cast<size_t>(MMIO_MAXPATH))
        return false;
    std::vector<char> buffer(MMIO_MAXPATH);
    std::strcpy(buffer.data(), name);
    return mmioOpen(buffer.data(), nullptr, MMIO_EXIST) != nullptr;
}

bool WaveIODeleteFile(LPCSTR name)
{
    if (!name || !*name)
        return false;
    std::string path(name);
    return mmioOpen(path.data(), nullptr, MMIO_DELETE) != nullptr;
}
