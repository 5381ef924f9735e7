#pragma once
// TMMHiTimer: a non-visual component that raises OnTimer periodically from
// a multimedia timer (timeSetEvent) at the finest resolution the platform
// offers, instead of the coarser message timer. Where OnTimer runs is the
// CallBackMode:
//
//   cmWindow    in the GUI thread, through a hidden window; at most 10 ticks
//               wait there, later ones are dropped until the queue drains, so
//               a slow handler never builds a backlog (the default)
//   cmCallback  in the multimedia timer's own thread; the handler must not
//               touch the user interface
//   cmThread    in a worker thread of the component's Priority, or, with
//               Synchronize, in the GUI thread while the worker waits
//
// The timer is armed while Enabled is on, Interval is above 0, OnTimer is
// set and the component is not in design state. Every change of those (and
// of CallBackMode) disarms it completely and arms it again: the running
// multimedia timer, hidden window or worker thread is ended and a new one
// made. Disarming waits for a tick running in the timer thread or, in
// thread mode, for an OnTimer running in the worker thread, so no OnTimer
// starts or runs after a change has returned or after the component is
// destroyed.
//
// Properties are written in the GUI thread.

#include "mm/core/MMObj.h"
#include "mm/core/MMUtils.h"
#include "platform/kernel/WinTypes.h"
#include "platform/ui/MessageWindow.h"
#include "platform/ui/SysUtils.h"

#include <atomic>
#include <memory>

/// Failures of the high-resolution timer ("HiTimer:\n\rCould not create
/// thread").
class EMMHiTimerError : public Exception {
public:
    using Exception::Exception;
};

/// The message that carries a tick to the hidden window in window mode;
/// WParam is the multimedia timer's identifier.
constexpr UINT MM_HITIMER_TICK = 0x800A;

/// Most ticks that wait for the GUI thread in window mode.
constexpr int kMaxPendingTicks = 10;

class TMMHiTimer;
struct TMMTimerLink;

/// The worker thread of thread mode. It waits for the ticks the multimedia
/// timer signals and runs the timer's OnTimer for each; it frees itself
/// when it ends. Only TMMHiTimer makes one.
class TMMTimerThread : public TMMThreadEx {
public:
    explicit TMMTimerThread(std::shared_ptr<TMMTimerLink> link);
    ~TMMTimerThread() override;

protected:
    void Execute() override;

private:
    std::shared_ptr<TMMTimerLink> FLink;
};

class TMMHiTimer : public TMMNonVisualComponent {
    Q_OBJECT
    Q_PROPERTY(MMEnums::TMMCBMode CallBackMode READ CallBackMode WRITE SetCallBackMode)
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(int Interval READ Interval WRITE SetInterval)
    Q_PROPERTY(TNotifyEvent OnTimer READ OnTimer WRITE SetOnTimer)
    Q_PROPERTY(TThreadPriority Priority READ Priority WRITE SetPriority)
    Q_PROPERTY(bool Synchronize READ Synchronize WRITE SetSynchronize)
    Q_PROPERTY(bool WaitForTerminate READ WaitForTerminate WRITE SetWaitForTerminate)
    Q_CLASSINFO("default:CallBackMode", "cmWindow")
    Q_CLASSINFO("default:Enabled", "True")
    Q_CLASSINFO("default:Interval", "1000")
    Q_CLASSINFO("default:Priority", "tpNormal")
    Q_CLASSINFO("default:Synchronize", "True")
    Q_CLASSINFO("default:WaitForTerminate", "False")
public:
    explicit TMMHiTimer(TComponent* owner);
    /// Disarms (nothing of the timer is left behind), then destroys.
    ~TMMHiTimer() override;

    TMMCBMode CallBackMode() const { return FCallBackMode.load(); }
    /// cmCallback is refused where CallBacksAllowed is false (everywhere but
    /// Windows 95): a message box says so and the mode stays. Re-arms.
    void SetCallBackMode(TMMCBMode value);

    bool Enabled() const { return FEnabled.load(); }
    /// Re-arms when the value changes.
    void SetEnabled(bool value);

    /// The period in milliseconds; 1 to 1 000 000 can be armed. Re-arms
    /// when the value changes; raises EOutOfResources "Not enough timers
    /// available" (the value stays, the timer is disarmed) when no
    /// multimedia timer can be had for it.
    int Interval() const { return FInterval; }
    void SetInterval(int value);

    TNotifyEvent OnTimer() const { return FOnTimer; }
    /// Always re-arms, also for the same handler.
    void SetOnTimer(TNotifyEvent handler);

    /// The worker thread's priority in thread mode; applied at once to a
    /// running worker.
    TThreadPriority Priority() const { return FPriority.load(); }
    void SetPriority(TThreadPriority value);

    /// Thread mode: run OnTimer in the GUI thread (the worker waits).
    bool Synchronize() const { return FSynchronize.load(); }
    void SetSynchronize(bool value) { FSynchronize.store(value); }

    /// Thread mode: disarming waits (up to 5 s) until the worker has ended,
    /// except when it is asked from inside a synchronised OnTimer.
    bool WaitForTerminate() const { return FWaitForTerminate; }
    void SetWaitForTerminate(bool value) { FWaitForTerminate = value; }

    /// Re-arms after switching the design state: a timer never runs in
    /// design state.
    void SetDesignMode(bool value) override;

    // What is armed now, for diagnostics.
    /// The multimedia timer's identifier, 0 when disarmed.
    UINT TimerID() const { return FTimerID; }
    /// The hidden window of window mode, null otherwise.
    HWND WindowHandle() const { return FHandle.load(); }
    /// Ticks posted to the hidden window and not yet handled.
    int PendingTicks() const { return FPosted.load(); }
    /// Window mode: ticks posted since the timer was made (each carries
    /// its number, from 1, as LParam) and ticks dropped because 10 were
    /// pending. Any thread.
    unsigned TicksPosted() const { return FTicksPosted.load(); }
    unsigned TicksDropped() const { return FTicksDropped.load(); }
    /// Window mode: the number of the tick whose OnTimer runs now (or ran
    /// last).
    unsigned CurrentTick() const { return FCurrentTick; }
    /// Whether a worker thread belongs to the timer (thread mode).
    bool ThreadActive() const { return FThreadActive; }
    /// The worker thread's handle while it runs, else null.
    HANDLE ThreadHandle() const;
    /// The worker's tick and started events (auto-reset), null outside
    /// thread mode.
    HANDLE TickEvent() const;
    HANDLE StartedEvent() const;

protected:
    /// Raises OnTimer (Sender: the timer) if it is set and Enabled is on.
    /// Runs where CallBackMode says.
    virtual void TimerTick();

    /// Whether callbacks at timer time may be chosen. Only Windows 95 ran
    /// them without restrictions; descendants may allow them.
    virtual bool CallBacksAllowed() const;

    /// Thread mode, while arming in the GUI thread: waits up to
    /// Milliseconds for the new worker to signal that it runs; false when
    /// it did not, and arming then disarms and raises EMMHiTimerError.
    virtual bool WaitForWorkerStart(DWORD milliseconds);

private:
    friend class TMMTimerThread;

    static void TimeCallBack(UINT timerId, UINT msg, DWORD_PTR user, DWORD_PTR dw1, DWORD_PTR dw2);

    /// Ends whatever is armed, then arms again when the conditions hold.
    void Rearm();
    void Disarm();
    void Arm();
    void StopThread();
    void StartThread();
    void WndProc(TMessage& message);
    /// Runs TimerTick as the mode asks; called in the timer thread
    /// (cmCallback) or the worker thread (cmThread).
    void DoTimer();
    static void DoTimerSynchronized(TMMTimerThread* thread, const std::shared_ptr<TMMTimerLink>& link);

    std::atomic<TMMCBMode> FCallBackMode { cmWindow };
    std::atomic<bool> FEnabled { true };
    int FInterval = 1000;
    TNotifyEvent FOnTimer;
    std::atomic<TThreadPriority> FPriority { tpNormal };
    std::atomic<bool> FSynchronize { true };
    bool FWaitForTerminate = false;

    UINT FTimerID = 0;
    UINT FPeriod = 0; // what timeBeginPeriod was given, 0 when not in force
    // Window mode. The window is made before the multimedia timer starts
    // and destroyed after it was killed, so the timer thread reads FHandle
    // only while it stays put.
    std::atomic<HWND> FHandle { nullptr };
    std::atomic<int> FPosted { 0 }; // raised by the timer thread, lowered by the GUI thread
    unsigned FWindowGeneration = 0;
    std::atomic<unsigned> FTicksPosted { 0 }; // written by the timer thread only
    std::atomic<unsigned> FTicksDropped { 0 };
    unsigned FCurrentTick = 0;
    // Thread mode (GUI thread).
    std::shared_ptr<TMMTimerLink> FLink;
    bool FThreadActive = false;
    bool FInSynchronize = false;
};

/// Registers TMMHiTimer with the stored-form reader. Idempotent; any thread.
void RegisterHiTimerClasses();
