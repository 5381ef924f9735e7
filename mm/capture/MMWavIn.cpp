#include "mm/capture/MMWavIn.h"

#include "mm/format/MMWaveFormat.h"
#include "platform/kernel/Clock.h"
#include "platform/kernel/KernelObject.h"
#include "platform/kernel/Messages.h"
#include "platform/mm/WaveIn.h"
#include "platform/ui/Application.h"
#include "platform/ui/Classes.h"
#include "platform/ui/Dialogs.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

namespace {

constexpr int kStateWaits = 100;
constexpr DWORD kStateWaitMs = 10;
constexpr DWORD kThreadWaitMs = 5000;
constexpr DWORD kServeSliceMs = 5;
constexpr int kDoneSpins = 65000;
constexpr int kMaxBytes = 2147483647;
constexpr int kMinSampleRate = 8000;
constexpr int kMaxSampleRate = 100000;
constexpr UINT kErrorTextLength = 255;
// A device counter that falls back by this much between two buffers has
// wrapped around.
constexpr std::uint32_t kWrapDistance = 65535;
constexpr std::uint32_t kWrapLowBits = 0xFFFFF;

// The entries of a table nobody filled: no devices, every call fails.
UINT NoNumDevs()
{
    return 0;
}
MMRESULT NoDevCaps(UINT_PTR, LPWAVEINCAPSA, UINT)
{
    return MMSYSERR_NODRIVER;
}
MMRESULT NoErrorText(MMRESULT, LPSTR text, UINT size)
{
    if (text != nullptr && size > 0)
        text[0] = '\0';
    return MMSYSERR_BADERRNUM;
}
MMRESULT NoOpen(LPHWAVEIN, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD)
{
    return MMSYSERR_NODRIVER;
}
MMRESULT NoHandle(HWAVEIN)
{
    return MMSYSERR_INVALHANDLE;
}
MMRESULT NoHeader(HWAVEIN, LPWAVEHDR, UINT)
{
    return MMSYSERR_INVALHANDLE;
}
MMRESULT NoPosition(HWAVEIN, LPMMTIME, UINT)
{
    return MMSYSERR_INVALHANDLE;
}
MMRESULT NoID(HWAVEIN, UINT*)
{
    return MMSYSERR_INVALHANDLE;
}
MMRESULT NoStatistics(HWAVEIN, TWaveInStatistics*)
{
    return MMSYSERR_INVALHANDLE;
}

QString WithPrefix(const char* prefix, const QString& text)
{
    return QString::fromLatin1(prefix) + QStringLiteral("\n\r") + text;
}

UINT DeviceNumber(TMMDeviceId id)
{
    return static_cast<UINT>(static_cast<std::int32_t>(id));
}

// The device publishes WHDR_DONE last, with release ordering.
DWORD LoadFlags(WAVEHDR* header)
{
    return std::atomic_ref<DWORD>(header->dwFlags).load(std::memory_order_acquire);
}

} // namespace

// ---------------------------------------------------------------------------
// Registration

void RegisterWaveInClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterMMUtilsTypes();
        RegisterMMObjTypes();
        RegisterClass<TMMWaveIn>();
    });
}

namespace {
[[maybe_unused]] const bool kRegistered = (RegisterWaveInClasses(), true);
} // namespace

// ---------------------------------------------------------------------------
// Worker thread

TMMWaveInThread::TMMWaveInThread(TMMCustomWaveIn* owner, std::shared_ptr<TMMWaveInThreadLink> link)
    : TMMDSPThread(owner)
    , FWaveIn(owner)
    , FLink(std::move(link))
{
    // Counted from birth: the wave input waits for every worker that may
    // still touch it, also one it has given up waiting for.
    std::lock_guard lock(FWaveIn->FThreadLock);
    ++FWaveIn->FLiveThreads;
    FCounted = true;
}

TMMWaveInThread::~TMMWaveInThread()
{
    // Only a worker that never ran gets here still counted.
    Leave();
}

void TMMWaveInThread::Leave()
{
    if (!FCounted)
        return;
    FCounted = false;
    std::lock_guard lock(FWaveIn->FThreadLock);
    // A newer worker may be the current one by now: it stays so.
    if (FWaveIn->FThread == this) {
        FWaveIn->FThread = nullptr;
        FWaveIn->FThreadId.store(0);
    }
    --FWaveIn->FLiveThreads;
}

void TMMWaveInThread::Execute()
{
    SetPriority(FWaveIn->Priority());
    MSG msg {};
    // The queue exists from here on: the device may post to it.
    PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE);
    {
        std::lock_guard lock(FWaveIn->FThreadLock);
        if (FWaveIn->FThread == this)
            FWaveIn->FThreadId.store(GetCurrentThreadId());
    }
    FLink->Signal.SetEvent();

    while (!Terminated() && !FLink->Released.load()) {
        if (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == MM_WIM_DATA && !FLink->Released.load()
                && reinterpret_cast<HWAVEIN>(msg.wParam) == FWaveIn->DeviceHandle()) {
                try {
                    FWaveIn->ProcessNextReturned();
                } catch (...) {
                    // The device is closed in the GUI thread, which owns
                    // the chain's notifications; the buffers still coming
                    // back are passed down meanwhile.
                    std::lock_guard lock(FWaveIn->FFailureLock);
                    if (!FWaveIn->FFailure)
                        FWaveIn->FFailure = std::current_exception();
                    PostMessage(FWaveIn->WindowHandle(), MM_WAVEIN_FAILED, msg.wParam, 0);
                }
            }
            continue;
        }
        HANDLE stop = FLink->Stop.Handle();
        const DWORD woken = MsgWaitForMultipleObjects(1, &stop, FALSE, INFINITE, QS_ALLINPUT);
        if (woken != WAIT_OBJECT_0 + 1)
            break;
    }

    // The last touch of the wave input: it may go away once this is done.
    Leave();
    FLink->Signal.SetEvent();
}

// ---------------------------------------------------------------------------
// Construction

TMMCustomWaveIn::TMMCustomWaveIn(TComponent* owner)
    : TMMCustomSoundComponent(owner)
{
    RegisterWaveInClasses();
    if (!(ComponentState() & csDesigning))
        FWindowHandle.store(AllocateHWnd([this](TMessage& message) { WndProc(message); }));
    TMMCustomWaveIn::InitDeviceFunctions();
    ReadDevices();
    RebuildPCMFormat();
    TMMCustomWaveIn::SetPWaveFormat(&FPCMFormat);
}

TMMCustomWaveIn::~TMMCustomWaveIn()
{
    Destroying();
    Close();
    if (IsDeviceOpen()) {
        // A stop still waits for the buffer being processed: wait for it
        // here, since nothing may reach this object afterwards.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kThreadWaitMs);
        while (FInCallbackCount.load() > 0 && std::chrono::steady_clock::now() < deadline) {
            if (IsMainThread())
                CheckSynchronize();
            Sleep(kServeSliceMs);
        }
        FStopPending.store(false);
        FClosePending.store(false);
        FClosing.store(false);
        try {
            Stop();
        } catch (...) {
        }
        Close();
    }
    EndThread();
    WaitForThreadGone();
    if (HWND window = FWindowHandle.exchange(nullptr))
        DeallocateHWnd(window);
    FAllocator.FreeAll();
}

void TMMCustomWaveIn::InitDeviceFunctions()
{
    FDevice = TMMWaveInFunctions { &NoNumDevs, &NoDevCaps, &NoErrorText, &NoOpen, &NoHandle, &NoHeader,
        &NoHeader, &NoHeader, &NoHandle, &NoHandle, &NoHandle, &NoPosition, &NoID, &NoStatistics, nullptr };
}

void TMMCustomWaveIn::ReadDevices()
{
    FNumDevs = static_cast<int>(FDevice.waveInGetNumDevs());
    SetDeviceID(TMMDeviceId(0));
}

// ---------------------------------------------------------------------------
// Errors

void TMMCustomWaveIn::FireError()
{
    if (FOnError)
        FOnError(this);
}

void TMMCustomWaveIn::Error(const QString& message)
{
    FireError();
    throw EMMWaveInError(message);
}

QString TMMCustomWaveIn::DeviceErrorText(MMRESULT code)
{
    char text[kErrorTextLength + 1] = {};
    if (FDevice.waveInGetErrorTextA(code, text, kErrorTextLength) == MMSYSERR_NOERROR)
        return QString::fromLocal8Bit(text, static_cast<qsizetype>(strnlen(text, kErrorTextLength)));
    return LoadLibStr(86);
}

void TMMCustomWaveIn::CheckDevice(MMRESULT code, const char* prefix)
{
    if (code != MMSYSERR_NOERROR)
        Error(WithPrefix(prefix, DeviceErrorText(code)));
}

void TMMCustomWaveIn::ChangeWhileOpen()
{
    Error(LoadLibStr(60));
}

// ---------------------------------------------------------------------------
// Properties

void TMMCustomWaveIn::SetBufferSize(int value)
{
    const int stored = Max(value, kMinWaveInBufferSize);
    if (stored == BufferSize())
        return;
    if (IsDeviceOpen())
        ChangeWhileOpen();
    // Blocks of the old size would only sit in the pool.
    FAllocator.FreeAll();
    TMMCustomSoundComponent::SetBufferSize(stored);
}

int TMMCustomWaveIn::GetBufferSize() const
{
    return TMMCustomSoundComponent::GetBufferSize();
}

void TMMCustomWaveIn::SetNumBuffers(int value)
{
    if (value == FNumBuffers || value <= 1)
        return;
    const int stored = Min(value, kMaxWaveInBuffers);
    if (stored == FNumBuffers)
        return;
    if (IsDeviceOpen())
        ChangeWhileOpen();
    FNumBuffers = stored;
}

void TMMCustomWaveIn::SetDeviceID(TMMDeviceId value)
{
    if (IsDeviceOpen())
        ChangeWhileOpen();
    FProductName = LoadLibStr(160);
    FCaps.vDriverVersion = 0;
    const int id = static_cast<std::int32_t>(value);
    if (FNumDevs > 0 && id >= -1 && id < FNumDevs) {
        WAVEINCAPSA caps {};
        if (FDevice.waveInGetDevCapsA(static_cast<UINT_PTR>(DeviceNumber(value)), &caps, sizeof(caps))
            == MMSYSERR_NOERROR) {
            FCaps = caps;
            FProductName = QString::fromLocal8Bit(
                caps.szPname, static_cast<qsizetype>(strnlen(caps.szPname, MAXPNAMELEN)));
        }
    }
    FDeviceID = id >= -1 && id <= FNumDevs - 1 ? value : InvalidId;
}

void TMMCustomWaveIn::SetProductName(const QString&)
{
}

void TMMCustomWaveIn::SetCallBackMode(TMMCBMode value)
{
    if (IsDeviceOpen())
        ChangeWhileOpen();
    if (value == FCallBackMode)
        return;
    if (value == cmCallback && !IsWin95) {
        ShowMessageBox(QStringLiteral("\"CallBacks\" are called at interrupt time !\n\r"
                                      "This is currently only supported under Windows 95"),
            QStringLiteral("TMMWaveIn"), MB_OK);
        return;
    }
    FCallBackMode = value;
}

void TMMCustomWaveIn::SetMode(TMMMode value)
{
    if (value == FMode || (value != mMono && value != mStereo))
        return;
    if (IsDeviceOpen())
        ChangeWhileOpen();
    FMode = value;
    RebuildPCMFormat();
    SetPWaveFormat(&FPCMFormat);
}

void TMMCustomWaveIn::SetBitLength(TMMBits value)
{
    if (value == FBitLength)
        return;
    if (IsDeviceOpen())
        ChangeWhileOpen();
    FBitLength = value;
    RebuildPCMFormat();
    SetPWaveFormat(&FPCMFormat);
}

void TMMCustomWaveIn::SetSampleRate(int value)
{
    const int stored = Limit(value, kMinSampleRate, kMaxSampleRate);
    if (stored == FSampleRate)
        return;
    if (IsDeviceOpen())
        ChangeWhileOpen();
    FSampleRate = stored;
    RebuildPCMFormat();
    SetPWaveFormat(&FPCMFormat);
}

void TMMCustomWaveIn::RebuildPCMFormat()
{
    BuildPCMFormat(&FPCMFormat, static_cast<WORD>((FBitLength + 1) * 8), static_cast<WORD>(FMode + 1),
        static_cast<DWORD>(FSampleRate));
}

void TMMCustomWaveIn::SetTimeFormat(TMMTimeFormats value)
{
    if (value == FTimeFormat)
        return;
    FTimeFormat = value;
    if (FMaxRecordTime.load() < 0)
        return;
    const LPCWAVEFORMATEX format = GetPWaveFormat();
    const int bytes = FMaxRecordBytes.load();
    switch (value) {
    case tfMillisecond:
        FMaxRecordTime.store(BytesToMs(format, bytes));
        break;
    case tfSample:
        FMaxRecordTime.store(BytesToSamples(format, bytes));
        break;
    case tfByte:
        FMaxRecordTime.store(bytes);
        break;
    }
}

void TMMCustomWaveIn::SetMaxRecordTime(int value)
{
    if (value == FMaxRecordTime.load())
        return;
    FMaxRecordTime.store(value);
    UpdateMaxRecordBytes();
}

void TMMCustomWaveIn::UpdateMaxRecordBytes()
{
    const LPCWAVEFORMATEX format = GetPWaveFormat();
    const int time = FMaxRecordTime.load();
    std::int64_t bytes = kMaxBytes;
    if (time >= 0 && format != nullptr) {
        if (!IsValidWaveFormat(format)) {
            bytes = kMaxBytes;
        } else {
            switch (FTimeFormat) {
            case tfMillisecond:
                bytes = MsToBytes(format, time);
                break;
            case tfSample:
                bytes = SamplesToBytes(format, time);
                break;
            case tfByte:
                bytes = time;
                break;
            }
        }
    }
    if (format != nullptr && format->nBlockAlign > 0)
        bytes -= bytes % format->nBlockAlign;
    FMaxRecordBytes.store(static_cast<int>(bytes));
}

void TMMCustomWaveIn::SetPriority(TThreadPriority value)
{
    FPriority.store(value);
    std::lock_guard lock(FThreadLock);
    if (FThread != nullptr)
        FThread->SetPriority(value);
}

// ---------------------------------------------------------------------------
// Chain

void TMMCustomWaveIn::SetPWaveFormat(LPCWAVEFORMATEX format)
{
    Close();
    if (format != nullptr && IsPCMFormat(format)) {
        FSampleRate
            = Limit(static_cast<std::int32_t>(format->nSamplesPerSec), kMinSampleRate, kMaxSampleRate);
        FBitLength = static_cast<TMMBits>(format->wBitsPerSample / 8 - 1);
        FMode = static_cast<TMMMode>(format->nChannels - 1);
        if (format != &FPCMFormat)
            RebuildPCMFormat();
    }
    TMMCustomSoundComponent::SetPWaveFormat(format);
}

void TMMCustomWaveIn::Opened()
{
    TMMCustomSoundComponent::Opened();
}

void TMMCustomWaveIn::Closed()
{
    if (IsDeviceOpen() && !FClosing.load()) {
        Close();
        return;
    }
    TMMCustomSoundComponent::Closed();
}

void TMMCustomWaveIn::Started()
{
    IncludeDeviceState(wsStarted);
    // The chain first: a started device may return its first buffer at
    // once (in the worker), and a member not yet started would drop it.
    TMMCustomSoundComponent::Started();
    if (!(State() & wsPaused))
        CheckDevice(FDevice.waveInStart(DeviceHandle()), "WaveInStart:");
    if (FOnStart)
        FOnStart(this);
}

void TMMCustomWaveIn::Paused()
{
    IncludeDeviceState(wsPaused);
    TMMCustomSoundComponent::Paused();
    if (FOnPause)
        FOnPause(this);
}

void TMMCustomWaveIn::Restarted()
{
    ExcludeDeviceState(wsPaused);
    TMMCustomSoundComponent::Restarted();
    if (FOnRestart)
        FOnRestart(this);
}

void TMMCustomWaveIn::Stopped()
{
    if (State() & (wsStarted | wsPaused)) {
        // Linking or a format change stops the chain: the device with it.
        if (!FStopActive.load())
            Stop();
        return;
    }
    TMMCustomSoundComponent::Stopped();
}

void TMMCustomWaveIn::BufferReady(PWaveHdr lpWaveHdr)
{
    const std::int64_t before = FBytesRecorded.load();
    std::int64_t total = before + lpWaveHdr->dwBytesRecorded;
    bool reached = false;
    if (FMaxRecordTime.load() > 0) {
        const std::int64_t limit = FMaxRecordBytes.load();
        if (before >= limit) {
            // The buffer that reached the limit has gone down already;
            // nothing after it belongs to the recording.
            lpWaveHdr->dwBytesRecorded = 0;
            return;
        }
        if (total >= limit) {
            lpWaveHdr->dwBytesRecorded -= static_cast<DWORD>(total - limit);
            total = limit;
            reached = true;
        }
    }
    FBytesRecorded.store(total);
    FCurrentBuffer.store((FCurrentBuffer.load() + 1) % std::max(FNumBuffers, 1));
    TMMCustomSoundComponent::BufferReady(lpWaveHdr);
    if (reached)
        Stop();
}

// ---------------------------------------------------------------------------
// Open and close

bool TMMCustomWaveIn::FormatSupported(TMMDeviceId deviceId, LPCWAVEFORMATEX format)
{
    const int id = static_cast<std::int32_t>(deviceId);
    if (id < -1 || id >= FNumDevs || format == nullptr)
        return false;
    if (FDevice.waveInOpen(nullptr, DeviceNumber(deviceId), format, 0, 0, WAVE_FORMAT_QUERY)
        != MMSYSERR_NOERROR)
        return false;
    if (format->wFormatTag != WAVE_FORMAT_PCM)
        return true;
    WAVEINCAPSA caps {};
    if (FDevice.waveInGetDevCapsA(static_cast<UINT_PTR>(DeviceNumber(deviceId)), &caps, sizeof(caps))
        != MMSYSERR_NOERROR)
        return false;
    const DWORD rate = format->nSamplesPerSec;
    int band;
    if (rate >= 8000 && rate <= 11025)
        band = 0;
    else if (rate >= 11026 && rate <= 22050)
        band = 1;
    else if (rate >= 22051 && rate <= 48000)
        band = 2;
    else
        return true;
    if (format->nChannels != 1 && format->nChannels != 2)
        return true;
    if (format->wBitsPerSample != 8 && format->wBitsPerSample != 16)
        return true;
    const int layout = (format->nChannels == 2 ? 1 : 0) + (format->wBitsPerSample == 16 ? 2 : 0);
    return (caps.dwFormats & (DWORD(1) << (band * 4 + layout))) != 0;
}

void TMMCustomWaveIn::Open()
{
    // Devices are counted at construction; a sound server that came up
    // since then is looked for again rather than refused for good.
    if (FNumDevs == 0)
        FNumDevs = static_cast<int>(FDevice.waveInGetNumDevs());
    if (FNumDevs == 0)
        Error(LoadLibStr(160));
    if (FDeviceID == InvalidId)
        Error(LoadLibStr(61));
    if (GetPWaveFormat() == nullptr)
        Error(LoadLibStr(89));
    if (IsDeviceOpen())
        Close();
    if (IsDeviceOpen() || FClosing.load())
        return;

    FClosing.store(false);
    FResetting.store(false);
    FStopping.store(false);
    FStopPosted.store(false);
    try {
        if (!FormatSupported(FDeviceID, GetPWaveFormat()))
            Error(WithPrefix("WaveInOpen:", LoadLibStr(87)));
        if (FWindowHandle.load() == nullptr)
            FWindowHandle.store(AllocateHWnd([this](TMessage& message) { WndProc(message); }));
        FDeviceHandle.store(nullptr);
        FClosePending.store(false);
        FDeviceFailed.store(false);
        {
            std::lock_guard lock(FFailureLock);
            FFailure = nullptr;
        }
        {
            std::lock_guard lock(FLossLock);
            FLosses = TWaveInStatistics {};
            FFailureText.clear();
            FFailed = false;
        }
        ClearReturned();
        if (FCallBackMode == cmThread)
            StartThread();

        // This platform takes the callback-function branch (IsWinNT4Up):
        // its devices cannot notify a window.
        HWAVEIN handle = nullptr;
        const MMRESULT opened = FDevice.waveInOpen(&handle, DeviceNumber(FDeviceID), GetPWaveFormat(),
            reinterpret_cast<DWORD_PTR>(&TMMCustomWaveIn::WaveInCallback), reinterpret_cast<DWORD_PTR>(this),
            CALLBACK_FUNCTION);
        CheckDevice(opened, "WaveInOpen:");
        // Before the start, so that the watch sees the first frame.
        const DWORD watch = FLevelWatch.load();
        FLevelWatched.store(watch != 0 && FDevice.WaveInSetLevelWatch != nullptr
            && FDevice.WaveInSetLevelWatch(handle, watch) == MMSYSERR_NOERROR);
        FDeviceHandle.store(handle);

        const TMMWaveInState saved = State();
        SetState(wsClosed);
        try {
            Opened();
        } catch (...) {
            SetState(saved);
            throw;
        }
        SetState(saved);

        for (int i = 0; i < kStateWaits && !(State() & wsOpened); ++i)
            Delay(kStateWaitMs, false);
        if (!(State() & wsOpened))
            Error(WithPrefix("WaveInOpen:", LoadLibStr(162)));

        AllocateBuffers();
        PrepareBuffers();
        if (FOnOpen)
            FOnOpen(this);
    } catch (...) {
        FireError();
        SetState(wsOpened);
        Close();
        SetState(wsClosed);
        throw;
    }
}

void TMMCustomWaveIn::AllocateBuffers()
{
    const int size = GetBufferSize();
    for (int i = 0; i < FNumBuffers; ++i) {
        if (FBuffers[i] != nullptr)
            continue;
        void* block = FAllocator.Allocate(kGPtr, kBufferRecordSize + static_cast<std::size_t>(size));
        if (block == nullptr)
            Error(LoadLibStr(64));
        auto* record = static_cast<PMMBufferRecord>(block);
        InitBufferRecord(record, static_cast<DWORD>(size));
        FBuffers[i] = record;
    }
}

void TMMCustomWaveIn::PrepareBuffers()
{
    for (int i = 0; i < FNumBuffers; ++i)
        CheckDevice(FDevice.waveInPrepareHeader(DeviceHandle(), &FBuffers[i]->Header, sizeof(WAVEHDR)),
            "WaveInPrepareHeader:");
}

void TMMCustomWaveIn::UnprepareBuffers()
{
    for (PMMBufferRecord record : FBuffers) {
        if (record == nullptr)
            continue;
        WAVEHDR* header = &record->Header;
        for (int spin = 0; spin < kDoneSpins && !(LoadFlags(header) & WHDR_DONE); ++spin)
            std::this_thread::yield();
        if (!(LoadFlags(header) & WHDR_DONE))
            std::atomic_ref<DWORD>(header->dwFlags).fetch_or(WHDR_DONE);
        CheckDevice(
            FDevice.waveInUnprepareHeader(DeviceHandle(), header, sizeof(WAVEHDR)), "WaveInUnprepareHeader:");
    }
}

void TMMCustomWaveIn::ReleaseBuffers()
{
    for (PMMBufferRecord& record : FBuffers) {
        if (record != nullptr) {
            FAllocator.Release(record);
            record = nullptr;
        }
    }
}

void TMMCustomWaveIn::Close()
{
    if (!IsDeviceOpen() || (FClosing.load() && !FClosePending.load()))
        return;
    FClosing.store(true);
    try {
        if (State() & (wsStarted | wsPaused))
            Stop();
    } catch (...) {
        // Reported through OnError; the close goes on.
    }
    if (FStopPending.load() || FStopActive.load()) {
        // Completed by the stop when it completes.
        FClosePending.store(true);
        return;
    }
    FClosePending.store(false);

    // Every step runs even when one before it failed, so that the file
    // downstream is always finished and nothing of the device is left.
    bool closeTimedOut = false;
    if (HWAVEIN handle = DeviceHandle()) {
        FDevice.waveInStop(handle);
        FDevice.waveInReset(handle);
        try {
            UnprepareBuffers();
        } catch (...) {
        }
        try {
            // What the stop's last buffers lost, then the recording's sum.
            CheckLosses();
            ReportTotals();
        } catch (...) {
        }
        try {
            CheckDevice(FDevice.waveInClose(handle), "WaveInClose:");
        } catch (...) {
        }
        for (int i = 0; i < kStateWaits && !(State() & wsClosed); ++i)
            Delay(kStateWaitMs, false);
        closeTimedOut = !(State() & wsClosed);
        FWrapCount.store(0);
        FWrapSpan.store(0);
    } else {
        SetState(wsClosed);
    }
    try {
        TMMCustomSoundComponent::Closed();
    } catch (...) {
    }
    EndThread();
    CloseOwn();
    if (closeTimedOut) {
        try {
            Error(WithPrefix("WaveInClose:", LoadLibStr(163)));
        } catch (...) {
        }
    }
}

void TMMCustomWaveIn::CloseOwn()
{
    FDeviceHandle.store(nullptr);
    ReleaseBuffers();
    ClearReturned();
    SetState(wsClosed);
    FQueuedCount.store(0);
    FClosing.store(false);
    if (FOnClose && !(ComponentState() & csDestroying))
        FOnClose(this);
}

// ---------------------------------------------------------------------------
// Start, pause, restart, stop

void TMMCustomWaveIn::QueueBuffer(PWaveHdr header)
{
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_PREPARED;
    CheckDevice(FDevice.waveInAddBuffer(DeviceHandle(), header, sizeof(WAVEHDR)), "WaveInAddBuffer:");
    FQueuedCount.fetch_add(1);
}

void TMMCustomWaveIn::Start()
{
    if (!IsDeviceOpen())
        Open();
    if (!IsDeviceOpen() || (State() & wsStarted))
        return;
    try {
        {
            TCriticalSectionLock lock(FLock);
            FBytesRecorded.store(0);
            FCurrentBuffer.store(0);
            FInCallbackCount.store(0);
            FQueuedCount.store(0);
            FLastSamplePos.store(0);
            FWrapCount.store(0);
            FWrapSpan.store(0);
            FStopPending.store(false);
            FStopping.store(false);
            FResetting.store(false);
            FStopPosted.store(false);
            FDeviceFailed.store(false);
        }
        UpdateMaxRecordBytes();
        ClearReturned();
        for (int i = 0; i < FNumBuffers; ++i) {
            TCriticalSectionLock lock(FLock);
            QueueBuffer(&FBuffers[i]->Header);
        }
        Started();
    } catch (...) {
        FireError();
        IncludeDeviceState(wsStarted);
        Close();
        SetState(wsClosed);
        throw;
    }
}

void TMMCustomWaveIn::Pause()
{
    if (!IsDeviceOpen())
        Open();
    if (!IsDeviceOpen() || (State() & wsPaused))
        return;
    try {
        if (State() & wsStarted)
            CheckDevice(FDevice.waveInStop(DeviceHandle()), "WaveInPause:");
        Paused();
    } catch (...) {
        FireError();
        Close();
        throw;
    }
}

void TMMCustomWaveIn::Restart()
{
    const TMMWaveInState state = State();
    if (!(state & wsStarted) || !(state & wsPaused))
        return;
    try {
        CheckDevice(FDevice.waveInStart(DeviceHandle()), "WaveInRestart:");
        Restarted();
    } catch (...) {
        FireError();
        Close();
        throw;
    }
}

void TMMCustomWaveIn::Stop()
{
    if (!(State() & (wsStarted | wsPaused)))
        return;
    if (!TakeStop())
        return;
    try {
        {
            TCriticalSectionLock lock(FLock);
            FStopping.store(true);
            CheckDevice(FDevice.waveInStop(DeviceHandle()), "WaveInStop:");
            FWrapCount.store(0);
            FWrapSpan.store(0);
            FResetting.store(true);
            CheckDevice(FDevice.waveInReset(DeviceHandle()), "WaveInReset:");
        }
        // Every buffer is back at the component now. What holds data goes
        // down before the chain hears Stopped: processed right here in the
        // buffer thread, otherwise waited for. A stop asked from inside the
        // processing of a buffer cannot wait for itself: it is deferred.
        if (!InsideProcessing()) {
            const auto deadline
                = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStateWaits * kStateWaitMs);
            for (;;) {
                if (IsBufferThread())
                    DrainReturned();
                if ((FQueuedCount.load() == 0 && FInCallbackCount.load() == 0)
                    || std::chrono::steady_clock::now() >= deadline)
                    break;
                if (IsMainThread())
                    CheckSynchronize();
                FProgress.WaitFor(kStateWaitMs);
            }
        }
        CompleteStop();
    } catch (...) {
        FireError();
        AbandonStop();
        ReleaseStop();
        Close();
        throw;
    }
    ReleaseStop();
}

void TMMCustomWaveIn::AbandonStop()
{
    // The device would not stop, or a member failed with a buffer of the
    // stop: the recording ends all the same, and the chain hears Stopped
    // before the Closed that follows, or a started member would ignore the
    // next Started.
    {
        TCriticalSectionLock lock(FLock);
        FStopping.store(true);
        FDeviceFailed.store(true);
    }
    try {
        CompleteStop();
    } catch (...) {
        // The stop's own failure is the one reported.
    }
}

bool TMMCustomWaveIn::TakeStop()
{
    const DWORD self = GetCurrentThreadId();
    const auto deadline
        = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStateWaits * kStateWaitMs);
    while (FStopActive.exchange(true)) {
        // A stop in an outer frame of this thread completes it; one in the
        // buffer thread only defers itself, briefly: this stop then goes on
        // and completes it here.
        if (FStopThread.load() == self || std::chrono::steady_clock::now() >= deadline)
            return false;
        if (IsMainThread())
            CheckSynchronize();
        FProgress.WaitFor(1);
    }
    FStopThread.store(self);
    if (State() & (wsStarted | wsPaused))
        return true;
    // The stop that ran meanwhile has done it.
    ReleaseStop();
    return false;
}

void TMMCustomWaveIn::ReleaseStop()
{
    if (FStopThread.load() != GetCurrentThreadId())
        return;
    FStopThread.store(0);
    FStopActive.store(false);
}

void TMMCustomWaveIn::CompleteStop()
{
    {
        TCriticalSectionLock lock(FLock);
        if (FInCallbackCount.load() > 0) {
            // Completed by the buffer thread's next post, also when a stop
            // that came through an earlier post had to give up waiting.
            FStopPending.store(true);
            FStopPosted.store(false);
            return;
        }
        ExcludeDeviceState(wsStarted);
        ExcludeDeviceState(wsPaused);
        FCurrentBuffer.store(0);
        FQueuedCount.store(0);
        FStopPending.store(false);
    }
    // The device is stopped: a Close from OnStop closes it at once.
    ReleaseStop();
    TMMCustomSoundComponent::Stopped();
    if (FOnStop && !(ComponentState() & csDestroying))
        FOnStop(this);
    if (FClosePending.load())
        Close();
}

// ---------------------------------------------------------------------------
// Positions

std::uint32_t TMMCustomWaveIn::GetSamplePosition()
{
    const LPCWAVEFORMATEX format = GetPWaveFormat();
    const HWAVEIN handle = DeviceHandle();
    if (!IsDeviceOpen() || format == nullptr || FClosing.load() || handle == nullptr)
        return 0;
    MMTIME time {};
    time.wType = TIME_SAMPLES;
    if (FDevice.waveInGetPosition(handle, &time, sizeof(time)) == MMSYSERR_NOERROR
        && time.wType == TIME_SAMPLES)
        return time.u.sample;
    time.wType = TIME_BYTES;
    CheckDevice(FDevice.waveInGetPosition(handle, &time, sizeof(time)), "WaveInGetPosition:");
    if (format->nAvgBytesPerSec == 0)
        return 0;
    return static_cast<std::uint32_t>(
        static_cast<std::uint64_t>(time.u.cb) * format->nSamplesPerSec / format->nAvgBytesPerSec);
}

std::int64_t TMMCustomWaveIn::GetPosition64()
{
    const LPCWAVEFORMATEX format = GetPWaveFormat();
    if (!IsDeviceOpen() || format == nullptr || FClosePending.load())
        return 0;
    const std::int64_t samples = static_cast<std::int64_t>(GetSamplePosition())
        + static_cast<std::int64_t>(FWrapCount.load()) * static_cast<std::int64_t>(FWrapSpan.load());
    std::int64_t result = samples;
    switch (FTimeFormat) {
    case tfMillisecond:
        result = SamplesToMs64(format, samples);
        break;
    case tfByte:
        result = SamplesToBytes64(format, samples);
        break;
    case tfSample:
        break;
    }
    const int maxTime = FMaxRecordTime.load();
    if (maxTime > 0)
        result = std::min<std::int64_t>(result, maxTime);
    return result;
}

int TMMCustomWaveIn::Position()
{
    return static_cast<int>(static_cast<std::int32_t>(static_cast<std::uint32_t>(GetPosition64())));
}

void TMMCustomWaveIn::TrackWraps()
{
    const std::uint32_t position = GetSamplePosition();
    if (position == 0)
        return;
    const std::uint32_t last = FLastSamplePos.load();
    if (position < last && last - position >= kWrapDistance) {
        FWrapSpan.store(last | kWrapLowBits);
        FWrapCount.fetch_add(1);
    }
    FLastSamplePos.store(position);
}

// ---------------------------------------------------------------------------
// Losses

TWaveInStatistics TMMCustomWaveIn::Losses() const
{
    std::lock_guard lock(FLossLock);
    return FLosses;
}

bool TMMCustomWaveIn::ReadLevelWatch(HWAVEIN& handle, TWaveInStatistics& statistics) const
{
    handle = DeviceHandle();
    if (handle == nullptr || !FLevelWatched.load() || FDevice.WaveInGetStatistics == nullptr)
        return false;
    statistics = TWaveInStatistics {};
    statistics.Size = sizeof(statistics);
    return FDevice.WaveInGetStatistics(handle, &statistics) == MMSYSERR_NOERROR;
}

void TMMCustomWaveIn::CheckLosses()
{
    const HWAVEIN handle = DeviceHandle();
    if (handle == nullptr || FDevice.WaveInGetStatistics == nullptr)
        return;
    TWaveInStatistics now {};
    now.Size = sizeof(now);
    if (FDevice.WaveInGetStatistics(handle, &now) != MMSYSERR_NOERROR)
        return;
    TMMWaveInLoss loss;
    {
        std::lock_guard lock(FLossLock);
        // The silence of a loss is counted as it is delivered; the loss
        // itself once, when its silence begins.
        const bool more = now.Overruns > FLosses.Overruns;
        if (more) {
            loss.Count = now.Overruns - FLosses.Overruns;
            loss.Frames = now.LostSamples - FLosses.LostSamples;
            loss.Silence = now.SilenceSamples - FLosses.SilenceSamples;
            loss.Breaks = now.Breaks - FLosses.Breaks;
            loss.Cause = now.LastCause;
        }
        FLosses = now;
        if (!more)
            return;
    }
    RaiseLoss(loss);
}

void TMMCustomWaveIn::ReportFailure(MMRESULT code)
{
    TMMWaveInLoss loss;
    loss.Kind = TMMWaveInLossKind::Failure;
    // Read on the thread the device returned the code to: the text tells
    // where it came from.
    loss.Text = DeviceErrorText(code);
    {
        std::lock_guard lock(FLossLock);
        if (FFailed)
            return;
        FFailed = true;
        FFailureText = loss.Text;
    }
    RaiseLoss(loss);
}

void TMMCustomWaveIn::ReportTotals()
{
    TMMWaveInLoss loss;
    loss.Kind = TMMWaveInLossKind::Totals;
    {
        std::lock_guard lock(FLossLock);
        if (FLosses.Overruns == 0 && !FFailed)
            return;
        loss.Count = FLosses.Overruns;
        loss.Frames = FLosses.LostSamples;
        loss.Silence = FLosses.SilenceSamples;
        loss.Breaks = FLosses.Breaks;
        loss.Cause = FLosses.LastCause;
        loss.Failed = FFailed;
        loss.Text = FFailureText;
    }
    RaiseLoss(loss);
}

void TMMCustomWaveIn::RaiseLoss(const TMMWaveInLoss& loss)
{
    if (!FOnLoss || (ComponentState() & csDestroying))
        return;
    TMMWaveInLoss told = loss;
    const LPCWAVEFORMATEX format = GetPWaveFormat();
    told.Rate = format != nullptr ? format->nSamplesPerSec : 0;
    FOnLoss(this, told);
}

// ---------------------------------------------------------------------------
// Returned buffers

void TMMCustomWaveIn::WaveInCallback(HWAVEIN handle, UINT msg, DWORD_PTR instance, DWORD_PTR dw1, DWORD_PTR)
{
    auto* self = reinterpret_cast<TMMCustomWaveIn*>(instance);
    if (self == nullptr)
        return;
    switch (msg) {
    case MM_WIM_OPEN:
        self->SetState(wsOpened);
        break;
    case MM_WIM_CLOSE:
        self->SetState(wsClosed);
        break;
    case MM_WIM_DATA: {
        auto* header = reinterpret_cast<PWaveHdr>(dw1);
        self->PushReturned(handle, header);
        switch (self->FCallBackMode) {
        case cmWindow:
            PostMessage(self->FWindowHandle.load(), MM_WIM_DATA, reinterpret_cast<WPARAM>(handle),
                reinterpret_cast<LPARAM>(header));
            break;
        case cmCallback:
            self->ProcessNextReturned();
            break;
        case cmThread:
            PostThreadMessage(self->FThreadId.load(), MM_WIM_DATA, reinterpret_cast<WPARAM>(handle),
                reinterpret_cast<LPARAM>(header));
            break;
        }
        break;
    }
    default:
        break;
    }
}

void TMMCustomWaveIn::WndProc(TMessage& message)
{
    const auto handle = reinterpret_cast<HWAVEIN>(message.WParam);
    const bool ours = handle != nullptr && handle == DeviceHandle();
    if (!ours
        || (message.Msg != MM_WIM_OPEN && message.Msg != MM_WIM_CLOSE && message.Msg != MM_WIM_DATA
            && message.Msg != MM_WAVEIN_STOP && message.Msg != MM_WAVEIN_FAILED)) {
        message.Result = DefWindowProc(nullptr, message.Msg, message.WParam, message.LParam);
        return;
    }
    try {
        switch (message.Msg) {
        case MM_WIM_OPEN:
            SetState(wsOpened);
            break;
        case MM_WIM_CLOSE:
            SetState(wsClosed);
            break;
        case MM_WIM_DATA:
            ProcessNextReturned();
            break;
        case MM_WAVEIN_STOP:
            // Only for a stop still waiting: a late message must not stop a
            // recording started since.
            if (FStopPending.load())
                Stop();
            break;
        case MM_WAVEIN_FAILED: {
            std::exception_ptr failure;
            {
                std::lock_guard lock(FFailureLock);
                failure = std::exchange(FFailure, nullptr);
            }
            Close();
            if (failure)
                Application->HandleException(this, failure);
            break;
        }
        default:
            break;
        }
    } catch (...) {
        const std::exception_ptr failure = std::current_exception();
        Close();
        Application->HandleException(this, failure);
    }
}

void TMMCustomWaveIn::PushReturned(HWAVEIN handle, PWaveHdr header)
{
    std::lock_guard lock(FReturnedLock);
    if (FReturnedCount >= kMaxWaveInBuffers)
        return;
    FReturned[static_cast<std::size_t>((FReturnedHead + FReturnedCount) % kMaxWaveInBuffers)]
        = { handle, header };
    ++FReturnedCount;
}

bool TMMCustomWaveIn::PopReturned(TReturned& entry)
{
    std::lock_guard lock(FReturnedLock);
    if (FReturnedCount == 0)
        return false;
    entry = FReturned[static_cast<std::size_t>(FReturnedHead)];
    FReturnedHead = (FReturnedHead + 1) % kMaxWaveInBuffers;
    --FReturnedCount;
    return true;
}

void TMMCustomWaveIn::ClearReturned()
{
    std::lock_guard lock(FReturnedLock);
    FReturnedHead = 0;
    FReturnedCount = 0;
}

void TMMCustomWaveIn::ProcessNextReturned()
{
    TReturned entry {};
    if (PopReturned(entry) && entry.Handle == DeviceHandle())
        ProcessBuffer(entry.Header);
}

void TMMCustomWaveIn::DrainReturned()
{
    TReturned entry {};
    while (PopReturned(entry)) {
        if (entry.Handle == DeviceHandle())
            ProcessBuffer(entry.Header);
    }
}

bool TMMCustomWaveIn::InsideProcessing() const
{
    return FInCallbackCount.load() > 0 && FProcessingThread.load() == GetCurrentThreadId();
}

bool TMMCustomWaveIn::IsBufferThread() const
{
    switch (FCallBackMode) {
    case cmWindow:
        return IsMainThread();
    case cmThread:
        return GetCurrentThreadId() == FThreadId.load();
    case cmCallback:
        break;
    }
    return false;
}

void TMMCustomWaveIn::ProcessBuffer(PWaveHdr header)
{
    if (!(State() & wsStarted))
        return;
    bool winding = false;
    {
        TCriticalSectionLock lock(FLock);
        winding = FResetting.load() || FStopping.load() || FDeviceFailed.load();
        FInCallbackCount.fetch_add(1);
        FProcessingThread.store(GetCurrentThreadId());
        if (!winding)
            FQueuedCount.fetch_sub(1);
    }
    try {
        if (winding) {
            // A stop or a failure is under way: the buffer is not queued
            // again, but what it holds is audio and goes down. It is back
            // from the device however the chain fares with it, or the stop
            // would wait for it in vain.
            try {
                if (header->dwBytesRecorded > 0)
                    BufferReady(header);
            } catch (...) {
                CountWoundBack();
                throw;
            }
            CountWoundBack();
        } else {
            BufferReady(header);
            CheckLosses();
            if (!FStopPending.load()) {
                TrackWraps();
                MMRESULT queued = MMSYSERR_NOERROR;
                {
                    TCriticalSectionLock lock(FLock);
                    if (!FStopPending.load() && !FStopping.load() && !FResetting.load()
                        && !FDeviceFailed.load() && (State() & wsStarted)) {
                        header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_PREPARED;
                        queued = FDevice.waveInAddBuffer(DeviceHandle(), header, sizeof(WAVEHDR));
                        if (queued == MMSYSERR_NOERROR)
                            FQueuedCount.fetch_add(1);
                        else
                            FDeviceFailed.store(true);
                    }
                }
                if (queued != MMSYSERR_NOERROR)
                    ReportFailure(queued);
                CheckDevice(queued, "WaveInAddBuffer:");
            }
        }
    } catch (...) {
        FinishProcessing();
        throw;
    }
    FinishProcessing();
}

void TMMCustomWaveIn::CountWoundBack()
{
    TCriticalSectionLock lock(FLock);
    if (FQueuedCount.fetch_sub(1) <= 1) {
        FQueuedCount.store(0);
        FResetting.store(false);
    }
}

void TMMCustomWaveIn::FinishProcessing()
{
    bool post = false;
    {
        TCriticalSectionLock lock(FLock);
        if (FInCallbackCount.fetch_sub(1) <= 1) {
            FInCallbackCount.store(0);
            FProcessingThread.store(0);
            if (FStopPending.load() && !FStopPosted.load()) {
                FStopPosted.store(true);
                FStopping.store(true);
                post = true;
            }
        }
    }
    if (post)
        PostMessage(FWindowHandle.load(), MM_WAVEIN_STOP, reinterpret_cast<WPARAM>(DeviceHandle()), 0);
    FProgress.SetEvent();
}

// ---------------------------------------------------------------------------
// Worker

void TMMCustomWaveIn::StartThread()
{
    std::shared_ptr<TMMWaveInThreadLink> link;
    TMMWaveInThread* thread = nullptr;
    FThreadId.store(0);
    try {
        link = std::make_shared<TMMWaveInThreadLink>();
        thread = new TMMWaveInThread(this, link);
    } catch (...) {
        thread = nullptr;
    }
    if (thread == nullptr)
        Error(WithPrefix("WaveIn:", LoadLibStr(88)));
    {
        std::lock_guard lock(FThreadLock);
        FThread = thread;
        FThreadLink = link;
    }
    thread->SetFreeOnTerminate(true);
    thread->Resume();
    if (link->Signal.WaitFor(kThreadWaitMs) != wrSignaled)
        Error(WithPrefix("WaveIn:", LoadLibStr(88)));
}

bool TMMCustomWaveIn::WaitServingSynchronize(HANDLE event, DWORD milliseconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (WaitForSingleObject(event, 0) == WAIT_OBJECT_0)
            return true;
        if (IsMainThread())
            CheckSynchronize();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
        if (WaitForSingleObject(event, std::min<DWORD>(kServeSliceMs, static_cast<DWORD>(left.count())))
            == WAIT_OBJECT_0)
            return true;
    }
}

void TMMCustomWaveIn::EndThread()
{
    std::shared_ptr<TMMWaveInThreadLink> link;
    bool alive = false;
    {
        std::lock_guard lock(FThreadLock);
        link = std::exchange(FThreadLink, nullptr);
        alive = FThread != nullptr;
        // From here on the worker is no longer the current one: whenever
        // it ends, it leaves a newer worker alone.
        FThread = nullptr;
        FThreadId.store(0);
    }
    if (link == nullptr)
        return;
    link->Released.store(true);
    link->Stop.SetEvent();
    if (alive)
        WaitServingSynchronize(link->Signal.Handle(), kThreadWaitMs);
}

void TMMCustomWaveIn::WaitForThreadGone()
{
    // Whatever it takes: a worker still running may touch this object.
    for (;;) {
        {
            std::lock_guard lock(FThreadLock);
            if (FLiveThreads == 0)
                return;
        }
        if (IsMainThread())
            CheckSynchronize();
        Sleep(kServeSliceMs);
    }
}

// ---------------------------------------------------------------------------

TMMWaveIn::TMMWaveIn(TComponent* owner)
    : TMMCustomWaveIn(owner)
{
    TMMWaveIn::InitDeviceFunctions();
    ReadDevices();
}

TMMWaveIn::~TMMWaveIn() = default;

void TMMWaveIn::InitDeviceFunctions()
{
    FDevice = TMMWaveInFunctions { &::waveInGetNumDevs, &::waveInGetDevCapsA, &::waveInGetErrorTextA,
        &::waveInOpen, &::waveInClose, &::waveInPrepareHeader, &::waveInUnprepareHeader, &::waveInAddBuffer,
        &::waveInStart, &::waveInStop, &::waveInReset, &::waveInGetPosition, &::waveInGetID,
        &::WaveInGetStatistics, &::WaveInSetLevelWatch };
}
