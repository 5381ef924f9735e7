#pragma once
// The wave input device: the head of a recording chain. It opens a sound
// card's input in the format of its PWaveFormat, keeps a ring of buffer
// records queued at the device, and passes every buffer the device returns
// down the chain (BufferReady) before queueing it again.
//
// The device is reached only through a table of thirteen entries (the
// waveIn* functions, see TMMWaveInFunctions); TMMWaveIn fills it with the
// platform's wave input (platform/mm/WaveIn.h, ALSA), TMMCustomWaveIn
// leaves entries that fail cleanly.
//
// Threads. Properties, Open, Close, Start, Pause, Restart, Stop and Position
// belong to the GUI thread. Returned buffers are processed, and the chain's
// BufferReady runs, where CallBackMode says:
//
//   cmWindow    in the GUI thread, through the component's hidden window
//   cmThread    in the component's TMMWaveInThread (one per open device)
//   cmCallback  refused on this platform (a message box says so)
//
// The platform's callback (capture thread) only hands a returned buffer on:
// it never waits for the GUI thread or the worker and allocates nothing.
// One critical section guards the queued-buffer count and the reset and
// stop flags; Stop holds it around stopping and resetting the device.
//
// No audio is lost at a stop: every buffer the device returns holding data
// (the partial buffer of the stop included) is passed down the chain before
// the chain hears Stopped, so the files of a recording stopped and started
// again join without a missing sample. Buffers that come back empty from
// the reset are dropped.
//
// Input the device lost all the same (the sound server dropped it, the
// device overran, the device went away) is told through OnLoss; the device
// has put silence of the same length where it could. The component only
// tells: what to do with it (a log line) is its user's business.

#include "mm/capture/MMWave.h"
#include "mm/core/MMDSPObj.h"
#include "mm/core/MMObj.h"
#include "mm/core/MMUtils.h"
#include "platform/kernel/SyncObjs.h"
#include "platform/kernel/Threads.h"
#include "platform/kernel/WinTypes.h"
#include "platform/mm/MMSystem.h"
#include "platform/mm/WaveIn.h"
#include "platform/ui/MessageWindow.h"
#include "platform/ui/SysUtils.h"

#include <QFlags>
#include <QString>
#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

/// Failures of the wave input; the message says which call failed and why
/// ("WaveInOpen:\n\r" followed by the device's text, "Invalid DeviceID", ...).
class EMMWaveInError : public Exception {
public:
    using Exception::Exception;
};

/// The device states. "Open" means wsOpened is in State.
enum TMMWaveInStates : unsigned { wsClosed = 0x1, wsOpened = 0x2, wsStarted = 0x4, wsPaused = 0x8 };
Q_DECLARE_FLAGS(TMMWaveInState, TMMWaveInStates)
Q_DECLARE_OPERATORS_FOR_FLAGS(TMMWaveInState)

/// The device operations the component calls, one entry per waveIn*
/// function of the same name. Every entry is set (a backend that cannot
/// serve one points it at a function returning an error code), except
/// WaveInGetStatistics: a table without it reports no losses, and
/// WaveInSetLevelWatch: a table without it has no level watch.
struct TMMWaveInFunctions {
    UINT (*waveInGetNumDevs)();
    MMRESULT (*waveInGetDevCapsA)(UINT_PTR deviceId, LPWAVEINCAPSA caps, UINT size);
    MMRESULT (*waveInGetErrorTextA)(MMRESULT error, LPSTR text, UINT size);
    MMRESULT(*waveInOpen)
    (LPHWAVEIN handle, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback, DWORD_PTR instance,
        DWORD flags);
    MMRESULT (*waveInClose)(HWAVEIN handle);
    MMRESULT (*waveInPrepareHeader)(HWAVEIN handle, LPWAVEHDR header, UINT size);
    MMRESULT (*waveInUnprepareHeader)(HWAVEIN handle, LPWAVEHDR header, UINT size);
    MMRESULT (*waveInAddBuffer)(HWAVEIN handle, LPWAVEHDR header, UINT size);
    MMRESULT (*waveInStart)(HWAVEIN handle);
    MMRESULT (*waveInStop)(HWAVEIN handle);
    MMRESULT (*waveInReset)(HWAVEIN handle);
    MMRESULT (*waveInGetPosition)(HWAVEIN handle, LPMMTIME time, UINT size);
    MMRESULT (*waveInGetID)(HWAVEIN handle, UINT* deviceId);
    MMRESULT (*WaveInGetStatistics)(HWAVEIN handle, TWaveInStatistics* statistics);
    MMRESULT (*WaveInSetLevelWatch)(HWAVEIN handle, DWORD threshold);
};

/// What OnLoss tells.
enum class TMMWaveInLossKind {
    Loss, // input was lost (Count losses since the last report)
    Failure, // the device failed: input is lost from here on, Text says why
    Totals, // the recording's device closes: what it lost in all
};

/// A loss of input, or the totals of a recording that lost any.
struct TMMWaveInLoss {
    TMMWaveInLossKind Kind = TMMWaveInLossKind::Loss;
    DWORD Count = 0; // losses
    std::uint64_t Frames = 0; // frames of input lost
    std::uint64_t Silence = 0; // Totals: frames of silence put in for them
    DWORD Breaks = 0; // losses too long to fill: the recording jumps there
    TWaveInLossCause Cause = TWaveInLossCause::None; // the last loss's cause
    DWORD Rate = 0; // frames per second
    bool Failed = false; // Totals: the recording ended in a failure of the device
    QString Text; // Failure (and Totals of a failed recording): the device's text
};

/// Sender: the wave input.
using TMMWaveInLossEvent = std::function<void(TObject* Sender, const TMMWaveInLoss& Loss)>;

/// The message a worker posts to the hidden window to complete a stop that
/// had to wait for the buffer it was processing (WParam: the device handle).
constexpr UINT MM_WAVEIN_STOP = 0x8002;
/// The message a worker posts to the hidden window when processing a buffer
/// failed (WParam: the device handle): the GUI thread closes the device and
/// shows the failure.
constexpr UINT MM_WAVEIN_FAILED = 0x8003;

/// Most device buffers (NumBuffers).
constexpr int kMaxWaveInBuffers = 500;
/// Smallest buffer size in bytes (BufferSize).
constexpr int kMinWaveInBufferSize = 32;

class TMMCustomWaveIn;

/// What a worker shares with the wave input that started it. Each holds it,
/// so neither closes the events under the other, however late the worker
/// ends.
struct TMMWaveInThreadLink {
    /// Set once the worker is ready for messages and again when it is gone
    /// (auto-reset).
    TEvent Signal { false, false };
    /// Ends the worker (auto-reset).
    TEvent Stop { false, false };
    /// The wave input has let the worker go: it processes nothing more.
    std::atomic<bool> Released { false };
};

/// The worker of cmThread: it takes the buffers the device returns from its
/// message queue and runs the wave input's buffer processing (and so the
/// chain's BufferReady) for each, until the wave input ends it. It frees
/// itself when it ends. Only TMMCustomWaveIn makes one.
///
/// A worker that ends late (the wave input gave up waiting for it and may
/// have started another since) touches nothing of the newer one; the wave
/// input is not destroyed before every worker that refers to it has gone.
class TMMWaveInThread : public TMMDSPThread {
public:
    TMMWaveInThread(TMMCustomWaveIn* owner, std::shared_ptr<TMMWaveInThreadLink> link);
    ~TMMWaveInThread() override;

protected:
    void Execute() override;

private:
    void Leave();

    TMMCustomWaveIn* FWaveIn;
    std::shared_ptr<TMMWaveInThreadLink> FLink;
    bool FCounted = false;
};

/// The wave input component with its device table left to descendants.
/// See the head of this file for the threads.
class TMMCustomWaveIn : public TMMCustomSoundComponent {
    Q_OBJECT
    Q_PROPERTY(TNotifyEvent OnError READ OnError WRITE SetOnError)
    Q_PROPERTY(TNotifyEvent OnOpen READ OnOpen WRITE SetOnOpen)
    Q_PROPERTY(TNotifyEvent OnStart READ OnStart WRITE SetOnStart)
    Q_PROPERTY(TNotifyEvent OnPause READ OnPause WRITE SetOnPause)
    Q_PROPERTY(TNotifyEvent OnRestart READ OnRestart WRITE SetOnRestart)
    Q_PROPERTY(TNotifyEvent OnStop READ OnStop WRITE SetOnStop)
    Q_PROPERTY(TNotifyEvent OnClose READ OnClose WRITE SetOnClose)
    Q_PROPERTY(TMMBufferEvent OnBufferReady READ OnBufferReady WRITE SetOnBufferReady)
    Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)
    Q_PROPERTY(int BufferSize READ GetBufferSize WRITE SetBufferSize)
    Q_PROPERTY(MMEnums::TMMCBMode CallBackMode READ GetCallBackMode WRITE SetCallBackMode)
    Q_PROPERTY(TMMDeviceId DeviceID READ GetDeviceID WRITE SetDeviceID)
    Q_PROPERTY(int NumBuffers READ GetNumBuffers WRITE SetNumBuffers)
    Q_PROPERTY(QString ProductName READ GetProductName WRITE SetProductName STORED false)
    Q_PROPERTY(MMEnums::TMMMode Mode READ Mode WRITE SetMode)
    Q_PROPERTY(MMEnums::TMMBits BitLength READ BitLength WRITE SetBitLength)
    Q_PROPERTY(int SampleRate READ SampleRate WRITE SetSampleRate)
    Q_PROPERTY(MMEnums::TMMTimeFormats TimeFormat READ TimeFormat WRITE SetTimeFormat)
    Q_PROPERTY(int MaxRecordTime READ MaxRecordTime WRITE SetMaxRecordTime)
    Q_PROPERTY(TThreadPriority Priority READ Priority WRITE SetPriority)
    Q_CLASSINFO("default:BufferSize", "2048")
    Q_CLASSINFO("default:CallBackMode", "cmWindow")
    Q_CLASSINFO("default:DeviceID", "0")
    Q_CLASSINFO("default:NumBuffers", "10")
    Q_CLASSINFO("default:Mode", "mMono")
    Q_CLASSINFO("default:BitLength", "b8Bit")
    Q_CLASSINFO("default:SampleRate", "11025")
    Q_CLASSINFO("default:TimeFormat", "tfByte")
    Q_CLASSINFO("default:MaxRecordTime", "-1")
    Q_CLASSINFO("default:Priority", "tpHigher")
public:
    /// Closed, with the defaults above and their 8-bit mono 11025 Hz PCM
    /// format; makes the hidden window (not in design state) and reads the
    /// devices through InitDeviceFunctions. GUI thread.
    explicit TMMCustomWaveIn(TComponent* owner);
    /// Closes the device (no OnStop, no OnClose), ends the worker, releases
    /// the hidden window and the buffer blocks.
    ~TMMCustomWaveIn() override;

    // -- operations (GUI thread) ----------------------------------------------

    /// Opens the device in PWaveFormat, fixes the chain's buffer sizes (the
    /// chain's Opened: the file downstream is created), allocates and
    /// prepares NumBuffers buffers, fires OnOpen. An open device is closed
    /// and opened again. Raises EMMWaveInError (after OnError) and then
    /// leaves the device closed.
    virtual void Open();
    /// Stops a started device, unprepares the buffers, closes the device,
    /// sends the chain Closed (the file downstream is finished) and fires
    /// OnClose. Never raises: failures are reported through OnError. While
    /// a stop is still pending, the close is done when the stop completes.
    virtual void Close();
    /// Opens the device if needed, queues every buffer; the chain hears
    /// Started; then the device starts (unless paused); OnStart. Nothing when
    /// already started. Raises EMMWaveInError and then leaves the device
    /// closed.
    virtual void Start();
    /// Opens the device if needed and stops it without returning the queued
    /// buffers; the chain hears Paused; OnPause. Raises EMMWaveInError (the
    /// device is then closed).
    virtual void Pause();
    /// Starts a started, paused device again; the chain hears Restarted;
    /// OnRestart. Raises EMMWaveInError (the device is then closed).
    virtual void Restart();
    /// Stops and resets the device; every buffer that comes back holding
    /// data is passed down, then the chain hears Stopped and OnStop fires.
    /// Called while this thread processes a buffer (from OnBufferReady, or
    /// when MaxRecordTime is reached), the stop completes once that buffer
    /// is done (through the hidden window, in the GUI thread). Raises
    /// EMMWaveInError (the device is then closed). Nothing when not started.
    virtual void Stop();

    /// The recording position in TimeFormat units: the low 32 bits of
    /// GetPosition64. GUI thread (any thread may call it).
    int Position();
    /// The position since Start in TimeFormat units, with the device
    /// counter's wraps added; at most MaxRecordTime when that is above 0.
    /// 0 unless open with a format.
    std::int64_t GetPosition64();

    TMMWaveInState State() const { return TMMWaveInState::fromInt(FState.load()); }
    /// The handle of the open device, null when closed.
    HWAVEIN DeviceHandle() const { return FDeviceHandle.load(); }
    /// Number of input devices, read at construction (and again by Open
    /// while it is 0, so that a sound server started later is found).
    int NumDevs() const { return FNumDevs; }
    /// The capabilities of the selected device.
    const WAVEINCAPSA& Caps() const { return FCaps; }
    /// The hidden window (null in design state).
    HWND WindowHandle() const { return FWindowHandle.load(); }
    /// Data bytes passed down since Start. Buffer-processing thread.
    std::int64_t BytesRecorded() const { return FBytesRecorded.load(); }
    /// MaxRecordTime in bytes (2147483647 when unlimited).
    int MaxRecordBytes() const { return FMaxRecordBytes.load(); }
    /// Buffers at the device now. Any thread.
    int QueuedCount() const { return FQueuedCount.load(); }
    /// Whether a stop waits for the buffer being processed, and a close
    /// for that stop.
    bool StopPending() const { return FStopPending.load(); }
    bool ClosePending() const { return FClosePending.load(); }

    /// Whether Format can be recorded by device DeviceId: the device's query,
    /// and for PCM at 8000 to 48000 Hz with 1 or 2 channels of 8 or 16 bits
    /// also the matching capability bit.
    bool FormatSupported(TMMDeviceId deviceId, LPCWAVEFORMATEX format);

    // -- properties -------------------------------------------------------------

    TNotifyEvent OnError() const { return FOnError; }
    void SetOnError(TNotifyEvent handler) { FOnError = std::move(handler); }
    TNotifyEvent OnOpen() const { return FOnOpen; }
    void SetOnOpen(TNotifyEvent handler) { FOnOpen = std::move(handler); }
    TNotifyEvent OnStart() const { return FOnStart; }
    void SetOnStart(TNotifyEvent handler) { FOnStart = std::move(handler); }
    TNotifyEvent OnPause() const { return FOnPause; }
    void SetOnPause(TNotifyEvent handler) { FOnPause = std::move(handler); }
    TNotifyEvent OnRestart() const { return FOnRestart; }
    void SetOnRestart(TNotifyEvent handler) { FOnRestart = std::move(handler); }
    TNotifyEvent OnStop() const { return FOnStop; }
    void SetOnStop(TNotifyEvent handler) { FOnStop = std::move(handler); }
    TNotifyEvent OnClose() const { return FOnClose; }
    void SetOnClose(TNotifyEvent handler) { FOnClose = std::move(handler); }
    /// Raised in the buffer-processing thread after the buffer that holds
    /// the silence of a loss has gone down the chain (Loss), or before the
    /// failure of the device is raised there (Failure); in the thread of
    /// Close before the device closes, for what the last buffers lost and
    /// then for the recording's totals when it lost anything (Totals). Not
    /// while the component is being destroyed. Costs no system call: the
    /// device's counters are read after each buffer.
    TMMWaveInLossEvent OnLoss() const { return FOnLoss; }
    void SetOnLoss(TMMWaveInLossEvent handler) { FOnLoss = std::move(handler); }
    /// What the device lost since the last Open (kept after the close).
    /// Any thread.
    TWaveInStatistics Losses() const;
    /// The device's level watch (WaveInSetLevelWatch), set on every device
    /// this opens from the next Open on; 0: none.
    void SetLevelWatch(DWORD threshold) { FLevelWatch.store(threshold); }
    /// The open device's handle and counters (its level watch's included);
    /// false when none is open or it has no watch. Any thread.
    bool ReadLevelWatch(HWAVEIN& handle, TWaveInStatistics& statistics) const;

    /// Bytes per device buffer; Max(value, 32). Changing it frees the
    /// pooled buffer blocks. Raises "Change to property while device was
    /// open" for a change while open.
    void SetBufferSize(int value) override;
    int GetBufferSize() const override;

    /// Number of device buffers: ignored unless above 1, at most 500.
    void SetNumBuffers(int value) override;
    int GetNumBuffers() const override { return FNumBuffers; }
    /// The device: reads its capabilities (ProductName); an id outside
    /// -1 ... NumDevs-1 is stored as InvalidId. Raises while open.
    void SetDeviceID(TMMDeviceId value) override;
    TMMDeviceId GetDeviceID() const override { return FDeviceID; }
    /// Does nothing: the name comes from the device.
    void SetProductName(const QString& value) override;
    QString GetProductName() const override { return FProductName; }
    /// cmWindow or cmThread; cmCallback only where callbacks at interrupt
    /// time are allowed (a message box says so otherwise). Raises while open.
    void SetCallBackMode(TMMCBMode value) override;
    TMMCBMode GetCallBackMode() const override { return FCallBackMode; }

    /// PCM layout; each rebuilds the PCM format and sets it (closing the
    /// device). Mode: mMono or mStereo; SampleRate: 8000 to 100000. Raise
    /// for a change while open.
    TMMMode Mode() const { return FMode; }
    void SetMode(TMMMode value);
    TMMBits BitLength() const { return FBitLength; }
    void SetBitLength(TMMBits value);
    int SampleRate() const { return FSampleRate; }
    void SetSampleRate(int value);

    /// The unit of MaxRecordTime and the position; a change re-expresses
    /// MaxRecordTime in the new unit.
    TMMTimeFormats TimeFormat() const { return FTimeFormat; }
    void SetTimeFormat(TMMTimeFormats value);
    /// Recording stops by itself after this much (TimeFormat units); 0 or
    /// less: never.
    int MaxRecordTime() const { return FMaxRecordTime.load(); }
    void SetMaxRecordTime(int value);
    /// Priority of the cmThread worker, applied at once to a running one.
    TThreadPriority Priority() const { return FPriority.load(); }
    void SetPriority(TThreadPriority value);

    // -- chain --------------------------------------------------------------------

    /// Closes the device first; a valid PCM format also sets SampleRate,
    /// BitLength and Mode; then stores the format and passes it on. Any
    /// other format (GSM 6.10) is stored as it is.
    void SetPWaveFormat(LPCWAVEFORMATEX format) override;

    void Opened() override;
    /// From the chain (the device is not being closed by Close): closes the
    /// device. From Close: the chain's Closed.
    void Closed() override;
    /// Adds wsStarted; chain Started; then starts the device unless paused
    /// (no buffer can reach the chain before it has heard Started); OnStart.
    void Started() override;
    /// Adds wsPaused; chain Paused; OnPause.
    void Paused() override;
    /// Removes wsPaused; chain Restarted; OnRestart.
    void Restarted() override;
    /// Completes a stop (or defers it while a buffer is being processed),
    /// see Stop. From the chain on a running device: Stop. On an idle
    /// device: only the chain's Stopped.
    void Stopped() override;
    /// Counts the bytes against MaxRecordTime (the buffer that reaches it
    /// is cut to fit, and the device stops after it), then the chain's
    /// BufferReady. Buffer-processing thread.
    void BufferReady(PWaveHdr lpWaveHdr) override;

protected:
    /// Fills the device table. The constructor calls this class's version
    /// (C++ calls no override from a base constructor): a descendant that
    /// fills it calls InitDeviceFunctions() and then ReadDevices() from its
    /// own constructor.
    virtual void InitDeviceFunctions();
    /// Reads the device count and selects device 0 again.
    void ReadDevices();
    /// Fires OnError, then raises EMMWaveInError with Message.
    [[noreturn]] virtual void Error(const QString& message);

    /// The table the component calls the device through.
    TMMWaveInFunctions FDevice {};

private:
    friend class TMMWaveInThread;

    struct TReturned {
        HWAVEIN Handle;
        PWaveHdr Header;
    };

    static void WaveInCallback(HWAVEIN handle, UINT msg, DWORD_PTR instance, DWORD_PTR dw1, DWORD_PTR dw2);
    void WndProc(TMessage& message);

    QString DeviceErrorText(MMRESULT code);
    void CheckDevice(MMRESULT code, const char* prefix);
    void ChangeWhileOpen();
    bool IsDeviceOpen() const { return (FState.load() & wsOpened) != 0; }
    void SetState(TMMWaveInState state) { FState.store(state.toInt()); }
    void IncludeDeviceState(TMMWaveInStates flag) { FState.fetch_or(flag); }
    void ExcludeDeviceState(TMMWaveInStates flag) { FState.fetch_and(~unsigned(flag)); }
    void FireError();
    void RebuildPCMFormat();
    void UpdateMaxRecordBytes();
    void AllocateBuffers();
    void PrepareBuffers();
    void QueueBuffer(PWaveHdr header);
    void UnprepareBuffers();
    void ReleaseBuffers();
    void StartThread();
    void EndThread();
    void WaitForThreadGone();
    bool WaitServingSynchronize(HANDLE event, DWORD milliseconds);
    bool TakeStop();
    void ReleaseStop();
    void CompleteStop();
    void AbandonStop();
    void CloseOwn();

    // Buffer processing, in the buffer thread of the mode.
    void PushReturned(HWAVEIN handle, PWaveHdr header);
    bool PopReturned(TReturned& entry);
    void ClearReturned();
    void ProcessNextReturned();
    void DrainReturned();
    void ProcessBuffer(PWaveHdr header);
    void CountWoundBack();
    void FinishProcessing();
    bool InsideProcessing() const;
    bool IsBufferThread() const;
    std::uint32_t GetSamplePosition();
    void TrackWraps();
    void CheckLosses();
    void ReportFailure(MMRESULT code);
    void ReportTotals();
    void RaiseLoss(const TMMWaveInLoss& loss);

    // Published settings (GUI thread; fixed while the device is open).
    TNotifyEvent FOnError;
    TNotifyEvent FOnOpen;
    TNotifyEvent FOnStart;
    TNotifyEvent FOnPause;
    TNotifyEvent FOnRestart;
    TNotifyEvent FOnStop;
    TNotifyEvent FOnClose;
    TMMWaveInLossEvent FOnLoss;
    TMMCBMode FCallBackMode = cmWindow;
    TMMDeviceId FDeviceID = TMMDeviceId(0);
    int FNumBuffers = 10;
    QString FProductName;
    TMMMode FMode = mMono;
    TMMBits FBitLength = b8Bit;
    int FSampleRate = 11025;
    TMMTimeFormats FTimeFormat = tfByte;
    std::atomic<int> FMaxRecordTime { -1 };
    std::atomic<TThreadPriority> FPriority { tpHigher };

    // Device.
    std::atomic<unsigned> FState { wsClosed };
    std::atomic<HWAVEIN> FDeviceHandle { nullptr };
    int FNumDevs = 0;
    WAVEINCAPSA FCaps {};
    WAVEFORMATEX FPCMFormat {};
    std::array<PMMBufferRecord, kMaxWaveInBuffers> FBuffers {};
    TMMAllocator FAllocator;

    // Shared by the GUI thread and the buffer thread. The counters and the
    // reset/stop flags change under FLock (reads of single values may go
    // without it).
    TCriticalSection FLock;
    std::atomic<int> FQueuedCount { 0 };
    std::atomic<int> FInCallbackCount { 0 };
    std::atomic<DWORD> FProcessingThread { 0 };
    std::atomic<bool> FClosing { false };
    std::atomic<bool> FClosePending { false };
    std::atomic<bool> FStopping { false };
    std::atomic<bool> FResetting { false };
    std::atomic<bool> FStopPending { false };
    std::atomic<bool> FStopPosted { false };
    std::atomic<bool> FStopActive { false };
    std::atomic<DWORD> FStopThread { 0 }; // the thread running the active stop
    std::atomic<bool> FDeviceFailed { false };
    std::atomic<int> FCurrentBuffer { 0 };
    std::atomic<std::int64_t> FBytesRecorded { 0 };
    std::atomic<int> FMaxRecordBytes { 2147483647 };
    std::atomic<std::uint32_t> FLastSamplePos { 0 };
    std::atomic<std::int32_t> FWrapCount { 0 };
    std::atomic<std::uint32_t> FWrapSpan { 0 };
    // Set whenever the buffer thread has finished with a buffer, so that a
    // stop waiting in another thread looks again at once.
    TEvent FProgress { false, false };

    // Buffers the device returned and nobody processed yet, oldest first:
    // filled by the platform callback, emptied by the buffer thread. A
    // fixed ring (a buffer is in it at most once), so the callback never
    // allocates; FReturnedLock is never held while calling the device.
    std::mutex FReturnedLock;
    std::array<TReturned, kMaxWaveInBuffers> FReturned {};
    int FReturnedHead = 0;
    int FReturnedCount = 0;

    // Callback plumbing.
    std::atomic<HWND> FWindowHandle { nullptr };
    // FThreadLock guards the current worker (FThread and its link) and the
    // count of workers still referring to this object, against the
    // workers' exits.
    std::mutex FThreadLock;
    TMMWaveInThread* FThread = nullptr;
    std::shared_ptr<TMMWaveInThreadLink> FThreadLink;
    int FLiveThreads = 0;
    std::atomic<DWORD> FThreadId { 0 };
    std::mutex FFailureLock;
    std::exception_ptr FFailure;

    // The device's counters as last reported, and the failure that ended
    // the recording; reset by Open.
    mutable std::mutex FLossLock;
    TWaveInStatistics FLosses {};
    QString FFailureText;
    bool FFailed = false;

    std::atomic<DWORD> FLevelWatch { 0 };
    std::atomic<bool> FLevelWatched { false }; // the open device took it
};

/// The wave input on the platform's wave input functions.
class TMMWaveIn : public TMMCustomWaveIn {
    Q_OBJECT
public:
    explicit TMMWaveIn(TComponent* owner);
    ~TMMWaveIn() override;

protected:
    /// Every entry is the platform's function of the same name.
    void InitDeviceFunctions() override;
};

/// Registers TMMWaveIn with the stored-form reader. Idempotent; any thread.
void RegisterWaveInClasses();
