// The waveIn* front: checks every argument once, keeps the handles, runs the
// wave mapper's conversion and the notifications, and reaches the device
// only through the backend table.

#include "platform/mm/WaveIn.h"

#include "platform/kernel/Messages.h"
#include "platform/kernel/SyncObjs.h"
#include "platform/mm/WaveMapper.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

namespace {

const TWaveInBackend& Backend()
{
    return WaveInAlsaBackend();
}

// ----- error texts --------------------------------------------------------------

struct TErrorText {
    MMRESULT Code;
    const char* Text;
};

constexpr TErrorText kErrorTexts[] = {
    { MMSYSERR_NOERROR, "The operation completed successfully." },
    { MMSYSERR_ERROR, "An unspecified error occurred in the sound device." },
    { MMSYSERR_BADDEVICEID, "The sound device number is out of range." },
    { MMSYSERR_NOTENABLED, "The sound device is not enabled." },
    { MMSYSERR_ALLOCATED, "The sound device is in use by another program." },
    { MMSYSERR_INVALHANDLE, "The sound device handle is not valid (the device may be closed)." },
    { MMSYSERR_NODRIVER, "No sound device is available: the sound server is not running or has stopped." },
    { MMSYSERR_NOMEM, "There is not enough memory for the sound device." },
    { MMSYSERR_NOTSUPPORTED, "The sound device does not support this operation." },
    { MMSYSERR_BADERRNUM, "The error number is out of range." },
    { MMSYSERR_INVALFLAG, "An invalid flag was passed to the sound device." },
    { MMSYSERR_INVALPARAM, "An invalid parameter was passed to the sound device." },
    { MMSYSERR_HANDLEBUSY, "The sound device handle is in use by another thread." },
    { MMSYSERR_INVALIDALIAS, "The sound device alias is not valid." },
    { MMSYSERR_BADDB, "The sound configuration is damaged." },
    { MMSYSERR_KEYNOTFOUND, "A sound configuration key was not found." },
    { MMSYSERR_READERROR, "The sound device could not be read." },
    { MMSYSERR_WRITEERROR, "The sound configuration could not be written." },
    { MMSYSERR_DELETEERROR, "The sound configuration could not be deleted." },
    { MMSYSERR_VALNOTFOUND, "A sound configuration value was not found." },
    { MMSYSERR_NODRIVERCB, "The sound driver does not report back." },
    { MMSYSERR_MOREDATA, "More data is available." },
    { WAVERR_BADFORMAT, "The sound device cannot record in this format." },
    { WAVERR_STILLPLAYING, "Buffers are still queued on the sound device." },
    { WAVERR_UNPREPARED, "The buffer header has not been prepared." },
    { WAVERR_SYNC, "The sound device is synchronous and needs WAVE_ALLOWSYNC." },
};

// ----- handles -------------------------------------------------------------------

/// An open device as the caller holds it.
struct TWaveInHandle {
    HWAVEIN FHandle = nullptr;
    UINT FDevice = 0;
    DWORD FCallbackType = CALLBACK_NULL;
    DWORD_PTR FCallback = 0;
    DWORD_PTR FInstance = 0;
    DWORD FOutputBlock = 1; // bytes per frame or block the caller receives
    std::unique_ptr<TMapperEncoder> FEncoder; // outlives the stream: destroyed after it
    TWaveInStream* FStream = nullptr;

    ~TWaveInHandle()
    {
        if (FStream != nullptr)
            Backend().Destroy(FStream);
    }

    void Notify(UINT message, DWORD_PTR parameter) const
    {
        switch (FCallbackType) {
        case CALLBACK_FUNCTION:
            reinterpret_cast<DRVCALLBACK>(FCallback)(FHandle, message, FInstance, parameter, 0);
            break;
        case CALLBACK_EVENT:
            SetEvent(reinterpret_cast<HANDLE>(FCallback));
            break;
        case CALLBACK_THREAD:
            PostThreadMessage(static_cast<DWORD>(FCallback), message, reinterpret_cast<WPARAM>(FHandle),
                static_cast<LPARAM>(parameter));
            break;
        default:
            break;
        }
    }

    static void NotifyData(void* context, WAVEHDR* header)
    {
        static_cast<TWaveInHandle*>(context)->Notify(MM_WIM_DATA, reinterpret_cast<DWORD_PTR>(header));
    }
};

// Handles are numbers, never reused, so a stale one is refused rather than
// taken for a newer device.
// Never destroyed: a device left open at exit must not be closed by a
// static destructor, after the modules and backends it calls are gone.
std::mutex gHandlesLock;
auto& gHandles = *new std::map<HWAVEIN, std::shared_ptr<TWaveInHandle>>; // under gHandlesLock
uintptr_t gLastHandle = 0x57A00000; // under gHandlesLock

std::shared_ptr<TWaveInHandle> FindHandle(HWAVEIN handle)
{
    std::lock_guard lock(gHandlesLock);
    auto it = gHandles.find(handle);
    return it == gHandles.end() ? nullptr : it->second;
}

// The device count of the last enumeration; -1 before the first.
std::atomic<long long> gDeviceCount { -1 };

UINT DeviceCount()
{
    const long long known = gDeviceCount.load();
    return known >= 0 ? static_cast<UINT>(known) : waveInGetNumDevs();
}

bool IsHeaderArgument(const WAVEHDR* header, UINT size)
{
    return header != nullptr && size >= sizeof(WAVEHDR);
}

// A PCM or float format the capture takes as it is: consistent, and within
// what any sound card could mean.
bool IsDirectFormat(const WAVEFORMATEX& f)
{
    bool bitsOk = false;
    if (f.wFormatTag == WAVE_FORMAT_PCM)
        bitsOk = f.wBitsPerSample == 8 || f.wBitsPerSample == 16 || f.wBitsPerSample == 24
            || f.wBitsPerSample == 32;
    else if (f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT)
        bitsOk = f.wBitsPerSample == 32;
    return bitsOk && f.nChannels >= 1 && f.nChannels <= 32 && f.nSamplesPerSec >= 1000
        && f.nSamplesPerSec <= 768000 && f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8
        && f.nAvgBytesPerSec == f.nSamplesPerSec * f.nBlockAlign;
}

} // namespace

UINT waveInGetNumDevs()
{
    const UINT count = Backend().GetNumDevs();
    gDeviceCount = count;
    return count;
}

MMRESULT waveInGetDevCapsA(UINT_PTR uDeviceID, LPWAVEINCAPSA pwic, UINT cbwic)
{
    if (pwic == nullptr)
        return MMSYSERR_INVALPARAM;
    const bool mapper = uDeviceID == WAVE_MAPPER || uDeviceID == static_cast<UINT_PTR>(-1);
    if (!mapper && uDeviceID >= DeviceCount())
        return MMSYSERR_BADDEVICEID;
    WAVEINCAPSA caps {};
    const MMRESULT result = Backend().GetDevCaps(mapper ? WAVE_MAPPER : static_cast<UINT>(uDeviceID), &caps);
    if (result == MMSYSERR_NOERROR)
        std::memcpy(pwic, &caps, std::min<std::size_t>(cbwic, sizeof(caps)));
    return result;
}

MMRESULT waveInGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText)
{
    if (pszText == nullptr || cchText == 0)
        return MMSYSERR_INVALPARAM;
    for (const TErrorText& entry : kErrorTexts) {
        if (entry.Code == mmrError) {
            const char* context = Backend().ErrorContext(mmrError);
            if (context != nullptr)
                std::snprintf(pszText, cchText, "%s (%s)", entry.Text, context);
            else
                std::snprintf(pszText, cchText, "%s", entry.Text);
            return MMSYSERR_NOERROR;
        }
    }
    pszText[0] = '\0';
    return MMSYSERR_BADERRNUM;
}

MMRESULT waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
    DWORD_PTR dwInstance, DWORD fdwOpen)
{
    constexpr DWORD kKnownFlags
        = CALLBACK_TYPEMASK | WAVE_FORMAT_QUERY | WAVE_ALLOWSYNC | WAVE_MAPPED | WAVE_FORMAT_DIRECT;
    const bool query = (fdwOpen & WAVE_FORMAT_QUERY) != 0;
    const DWORD callbackType = fdwOpen & CALLBACK_TYPEMASK;
    if ((fdwOpen & ~kKnownFlags) != 0)
        return MMSYSERR_INVALFLAG;
    if (!query) {
        if (callbackType == CALLBACK_WINDOW)
            return MMSYSERR_NOTSUPPORTED;
        if (callbackType != CALLBACK_NULL && callbackType != CALLBACK_FUNCTION
            && callbackType != CALLBACK_EVENT && callbackType != CALLBACK_THREAD)
            return MMSYSERR_INVALFLAG;
        if (callbackType != CALLBACK_NULL && dwCallback == 0)
            return MMSYSERR_INVALPARAM;
        if (phwi == nullptr)
            return MMSYSERR_INVALPARAM;
    }
    if (pwfx == nullptr)
        return MMSYSERR_INVALPARAM;
    if (uDeviceID != WAVE_MAPPER && uDeviceID >= DeviceCount())
        return MMSYSERR_BADDEVICEID;

    // PCM records may be the 16-byte PCMWAVEFORMAT: their cbSize is not read.
    const bool direct = pwfx->wFormatTag == WAVE_FORMAT_PCM || pwfx->wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    const DWORD formatSize
        = pwfx->wFormatTag == WAVE_FORMAT_PCM ? sizeof(PCMWAVEFORMAT) : sizeof(WAVEFORMATEX) + pwfx->cbSize;
    TWaveInOpenRequest request {};
    request.Device = uDeviceID;
    request.Format = pwfx;
    request.FormatSize = formatSize;
    if (direct) {
        std::memcpy(&request.CaptureFormat, pwfx, sizeof(PCMWAVEFORMAT));
        request.CaptureFormat.cbSize = 0;
        if (!IsDirectFormat(request.CaptureFormat))
            return WAVERR_BADFORMAT;
    } else if ((fdwOpen & WAVE_FORMAT_DIRECT) != 0 || pwfx->nBlockAlign == 0
        || !TMapperEncoder::Plan(pwfx, &request.CaptureFormat)) {
        return WAVERR_BADFORMAT;
    }
    request.OutputBlock = pwfx->nBlockAlign;
    if (query)
        return Backend().Query(request);

    auto handle = std::make_shared<TWaveInHandle>();
    handle->FDevice = uDeviceID;
    handle->FCallbackType = callbackType;
    handle->FCallback = dwCallback;
    handle->FInstance = dwInstance;
    handle->FOutputBlock = request.OutputBlock;
    if (!direct) {
        handle->FEncoder = std::make_unique<TMapperEncoder>();
        const MMRESULT opened = handle->FEncoder->Open(request.CaptureFormat, pwfx);
        if (opened != MMSYSERR_NOERROR)
            return opened;
        request.Encoder = handle->FEncoder->Public();
    }
    request.Notify = &TWaveInHandle::NotifyData;
    request.NotifyContext = handle.get();
    {
        // The handle is known before the device runs: its first notification
        // may come at once.
        std::lock_guard lock(gHandlesLock);
        handle->FHandle = reinterpret_cast<HWAVEIN>(++gLastHandle);
    }
    const MMRESULT opened = Backend().Open(request, &handle->FStream);
    if (opened != MMSYSERR_NOERROR) {
        handle->FStream = nullptr;
        return opened;
    }
    {
        std::lock_guard lock(gHandlesLock);
        gHandles.emplace(handle->FHandle, handle);
    }
    *phwi = handle->FHandle;
    handle->Notify(MM_WIM_OPEN, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT waveInClose(HWAVEIN hwi)
{
    const auto handle = FindHandle(hwi);
    if (!handle)
        return MMSYSERR_INVALHANDLE;
    const MMRESULT closed = Backend().Close(handle->FStream);
    if (closed != MMSYSERR_NOERROR)
        return closed;
    {
        std::lock_guard lock(gHandlesLock);
        gHandles.erase(hwi);
    }
    handle->Notify(MM_WIM_CLOSE, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    if (!FindHandle(hwi))
        return MMSYSERR_INVALHANDLE;
    if (!IsHeaderArgument(pwh, cbwh) || pwh->lpData == nullptr || pwh->dwBufferLength == 0)
        return MMSYSERR_INVALPARAM;
    pwh->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    if (!FindHandle(hwi))
        return MMSYSERR_INVALHANDLE;
    if (!IsHeaderArgument(pwh, cbwh))
        return MMSYSERR_INVALPARAM;
    if ((pwh->dwFlags & WHDR_INQUEUE) != 0)
        return WAVERR_STILLPLAYING;
    pwh->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    const auto handle = FindHandle(hwi);
    if (!handle)
        return MMSYSERR_INVALHANDLE;
    if (!IsHeaderArgument(pwh, cbwh) || pwh->lpData == nullptr || pwh->dwBufferLength < handle->FOutputBlock)
        return MMSYSERR_INVALPARAM;
    if ((pwh->dwFlags & WHDR_PREPARED) == 0)
        return WAVERR_UNPREPARED;
    if ((pwh->dwFlags & WHDR_INQUEUE) != 0)
        return WAVERR_STILLPLAYING;
    const DWORD flags = pwh->dwFlags;
    pwh->dwFlags = (flags & ~WHDR_DONE) | WHDR_INQUEUE;
    pwh->dwBytesRecorded = 0;
    const MMRESULT added = Backend().AddBuffer(handle->FStream, pwh);
    if (added != MMSYSERR_NOERROR)
        pwh->dwFlags = flags;
    return added;
}

MMRESULT waveInStart(HWAVEIN hwi)
{
    const auto handle = FindHandle(hwi);
    return handle ? Backend().Start(handle->FStream) : MMSYSERR_INVALHANDLE;
}

MMRESULT waveInStop(HWAVEIN hwi)
{
    const auto handle = FindHandle(hwi);
    return handle ? Backend().Stop(handle->FStream) : MMSYSERR_INVALHANDLE;
}

MMRESULT waveInReset(HWAVEIN hwi)
{
    const auto handle = FindHandle(hwi);
    return handle ? Backend().Reset(handle->FStream) : MMSYSERR_INVALHANDLE;
}

MMRESULT waveInGetPosition(HWAVEIN hwi, LPMMTIME pmmt, UINT cbmmt)
{
    const auto handle = FindHandle(hwi);
    if (!handle)
        return MMSYSERR_INVALHANDLE;
    if (pmmt == nullptr || cbmmt < sizeof(MMTIME))
        return MMSYSERR_INVALPARAM;
    return Backend().GetPosition(handle->FStream, pmmt);
}

MMRESULT waveInGetID(HWAVEIN hwi, UINT* puDeviceID)
{
    const auto handle = FindHandle(hwi);
    if (!handle)
        return MMSYSERR_INVALHANDLE;
    if (puDeviceID == nullptr)
        return MMSYSERR_INVALPARAM;
    *puDeviceID = handle->FDevice;
    return MMSYSERR_NOERROR;
}

MMRESULT WaveInGetStatistics(HWAVEIN hwi, TWaveInStatistics* statistics)
{
    const auto handle = FindHandle(hwi);
    if (!handle)
        return MMSYSERR_INVALHANDLE;
    if (statistics == nullptr || statistics->Size < kWaveInStatisticsBaseSize)
        return MMSYSERR_INVALPARAM;
    TWaveInStatistics all {};
    const MMRESULT result = Backend().GetStatistics(handle->FStream, &all);
    if (result != MMSYSERR_NOERROR)
        return result;
    all.WatchedFrames = 0;
    all.LoudUntil = 0;
    if (handle->FEncoder)
        handle->FEncoder->ReadWatch(all);
    // A caller built before the watch's fields gets only what it has room for.
    const DWORD size = std::min<DWORD>(statistics->Size, sizeof(TWaveInStatistics));
    all.Size = statistics->Size;
    std::memcpy(statistics, &all, size);
    return MMSYSERR_NOERROR;
}

MMRESULT WaveInSetLevelWatch(HWAVEIN hwi, DWORD threshold)
{
    const auto handle = FindHandle(hwi);
    if (!handle)
        return MMSYSERR_INVALHANDLE;
    return handle->FEncoder && handle->FEncoder->SetWatch(threshold) ? MMSYSERR_NOERROR
                                                                     : MMSYSERR_NOTSUPPORTED;
}
