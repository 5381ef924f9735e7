#include "mm/core/MMHTimer.h"

#include "platform/kernel/SyncObjs.h"
#include "platform/mm/MMTimers.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"

#include <QPointer>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

constexpr DWORD kThreadWaitMs = 5000;
// How often a GUI thread that waits for the worker serves the worker's
// synchronised calls, which would otherwise wait for it in turn.
constexpr DWORD kServeSliceMs = 5;

QString ThreadErrorText()
{
    return QStringLiteral("HiTimer:\n\r") + LoadLibStr(88);
}

// Waits up to Milliseconds for Event while serving synchronised calls, so a
// worker that is about to run OnTimer in the GUI thread can get past it.
bool WaitServingSynchronize(TEvent& event, DWORD milliseconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (event.WaitFor(0) == wrSignaled)
            return true;
        CheckSynchronize();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return event.WaitFor(0) == wrSignaled;
        if (event.WaitFor(std::min<DWORD>(kServeSliceMs, static_cast<DWORD>(left.count()))) == wrSignaled)
            return true;
    }
}

} // namespace

/// What a timer and its worker thread share. It lives as long as either of
/// them holds it; the worker never reaches the timer except through Timer,
/// which only the GUI thread changes.
struct TMMTimerLink {
    std::mutex Lock;
    std::condition_variable Idle;
    TMMHiTimer* Timer = nullptr; // null once the timer has let go
    TMMTimerThread* Thread = nullptr; // valid while Alive
    bool Stop = false; // the timer asks the worker to end
    bool Alive = true; // the worker has not left Execute yet
    bool Busy = false; // the worker runs OnTimer in its own thread
    TEvent Tick { false, false };
    TEvent Started { false, false };
};

// ---------------------------------------------------------------------------

TMMTimerThread::TMMTimerThread(std::shared_ptr<TMMTimerLink> link)
    : TMMThreadEx(true)
    , FLink(std::move(link))
{
}

TMMTimerThread::~TMMTimerThread() = default;

void TMMTimerThread::Execute()
{
    TMMTimerLink& link = *FLink;
    TThreadPriority priority = tpNormal;
    {
        std::lock_guard lock(link.Lock);
        if (link.Timer != nullptr)
            priority = link.Timer->Priority();
    }
    SetPriority(priority);
    link.Started.SetEvent();

    for (;;) {
        {
            std::lock_guard lock(link.Lock);
            if (Terminated() || link.Stop || link.Timer == nullptr)
                break;
        }
        link.Tick.WaitFor(INFINITE);
        TMMHiTimer* timer = nullptr;
        bool inThisThread = false;
        {
            std::lock_guard lock(link.Lock);
            if (Terminated() || link.Stop || link.Timer == nullptr)
                break;
            timer = link.Timer;
            inThisThread = !timer->Synchronize();
            link.Busy = inThisThread;
        }
        try {
            if (inThisThread)
                timer->DoTimer();
            else
                TMMHiTimer::DoTimerSynchronized(this, FLink);
        } catch (...) {
            Application->HandleException(nullptr, std::current_exception());
        }
        if (inThisThread) {
            {
                std::lock_guard lock(link.Lock);
                link.Busy = false;
            }
            link.Idle.notify_all();
        }
    }

    {
        std::lock_guard lock(link.Lock);
        link.Alive = false;
        link.Thread = nullptr;
    }
    link.Idle.notify_all();
    link.Started.SetEvent();
}

// ---------------------------------------------------------------------------

void RegisterHiTimerClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterMMObjTypes();
        RegisterClass<TMMHiTimer>();
    });
}

namespace {
[[maybe_unused]] const bool kRegistered = (RegisterHiTimerClasses(), true);
} // namespace

TMMHiTimer::TMMHiTimer(TComponent* owner)
    : TMMNonVisualComponent(owner)
{
    RegisterHiTimerClasses();
}

TMMHiTimer::~TMMHiTimer()
{
    FEnabled.store(false);
    Disarm();
    FOnTimer = nullptr;
}

void TMMHiTimer::SetCallBackMode(TMMCBMode value)
{
    if (value == FCallBackMode.load())
        return;
    if (value == cmCallback && !CallBacksAllowed()) {
        ShowMessageBox(QStringLiteral("\"CallBacks\" are called at interrupt time !\n\r"
                                      "This is currently only supported under Windows 95"),
            QStringLiteral("TMMHiTimer"), MB_OK);
        return;
    }
    // Disarmed first: the timer thread reads the mode on every tick.
    Disarm();
    FCallBackMode.store(value);
    Rearm();
}

bool TMMHiTimer::CallBacksAllowed() const
{
    return IsWin95;
}

void TMMHiTimer::SetEnabled(bool value)
{
    if (value == FEnabled.load())
        return;
    Disarm();
    FEnabled.store(value);
    Rearm();
}

void TMMHiTimer::SetInterval(int value)
{
    if (value == FInterval)
        return;
    Disarm();
    FInterval = value;
    Rearm();
}

void TMMHiTimer::SetOnTimer(TNotifyEvent handler)
{
    // The handler is read in the timer or worker thread: nothing may run
    // while it is replaced.
    Disarm();
    FOnTimer = std::move(handler);
    Rearm();
}

void TMMHiTimer::SetPriority(TThreadPriority value)
{
    if (value == FPriority.load())
        return;
    FPriority.store(value);
    if (FThreadActive && FLink) {
        std::lock_guard lock(FLink->Lock);
        if (FLink->Alive && FLink->Thread != nullptr)
            FLink->Thread->SetPriority(value);
    }
}

void TMMHiTimer::SetDesignMode(bool value)
{
    TMMNonVisualComponent::SetDesignMode(value);
    Rearm();
}

HANDLE TMMHiTimer::ThreadHandle() const
{
    if (!FLink)
        return nullptr;
    std::lock_guard lock(FLink->Lock);
    return FLink->Alive && FLink->Thread != nullptr ? FLink->Thread->Handle() : nullptr;
}

HANDLE TMMHiTimer::TickEvent() const
{
    return FLink ? FLink->Tick.Handle() : nullptr;
}

HANDLE TMMHiTimer::StartedEvent() const
{
    return FLink ? FLink->Started.Handle() : nullptr;
}

void TMMHiTimer::TimerTick()
{
    if (FOnTimer && FEnabled.load())
        FOnTimer(this);
}

// ---------------------------------------------------------------------------
// Arming

void TMMHiTimer::Rearm()
{
    Disarm();
    // In design state the timer only disarms: it never runs there.
    if (ComponentState() & csDesigning)
        return;
    if (FInterval == 0 || !FEnabled.load() || !FOnTimer)
        return;
    Arm();
}

void TMMHiTimer::Disarm()
{
    if (FTimerID != 0) {
        // Waits for a tick that runs in the timer thread now; none follows,
        // so nothing below races with the timer thread.
        timeKillEvent(FTimerID);
        FTimerID = 0;
    }
    if (FThreadActive)
        StopThread();
    if (HWND window = FHandle.load()) {
        RemovePostedMessages(window, MM_HITIMER_TICK);
        FHandle.store(nullptr);
        ++FWindowGeneration;
        DeallocateHWnd(window);
        FPosted.store(0);
    }
    if (FPeriod != 0) {
        timeEndPeriod(FPeriod);
        FPeriod = 0;
    }
}

void TMMHiTimer::Arm()
{
    switch (FCallBackMode.load()) {
    case cmWindow:
        FPosted.store(0);
        FHandle.store(AllocateHWnd([this](TMessage& message) { WndProc(message); }));
        break;
    case cmCallback:
        break;
    case cmThread:
        StartThread();
        break;
    }

    TIMECAPS caps {};
    timeGetDevCaps(&caps, sizeof(caps));
    if (timeBeginPeriod(caps.wPeriodMin) == TIMERR_NOERROR)
        FPeriod = caps.wPeriodMin;
    FTimerID = timeSetEvent(static_cast<UINT>(FInterval), 0, &TMMHiTimer::TimeCallBack,
        reinterpret_cast<DWORD_PTR>(this), TIME_PERIODIC | TIME_CALLBACK_FUNCTION);
    if (FTimerID == 0) {
        // Leave nothing of the half-armed timer behind: no window, no
        // worker, no resolution request.
        Disarm();
        throw EOutOfResources(QStringLiteral("Not enough timers available"));
    }
}

void TMMHiTimer::StartThread()
{
    auto link = std::make_shared<TMMTimerLink>();
    link->Timer = this;
    TMMTimerThread* thread = nullptr;
    try {
        thread = new TMMTimerThread(link);
    } catch (const std::exception&) {
        throw EMMHiTimerError(ThreadErrorText());
    }
    link->Thread = thread;
    thread->SetFreeOnTerminate(true);
    FLink = link;
    FThreadActive = true;
    thread->Resume();
    if (!WaitForWorkerStart(kThreadWaitMs)) {
        // A worker that starts late must not stay behind, live and armed by
        // nothing, until the next arming happens to stop it.
        Disarm();
        throw EMMHiTimerError(ThreadErrorText());
    }
}

bool TMMHiTimer::WaitForWorkerStart(DWORD milliseconds)
{
    return FLink && FLink->Started.WaitFor(milliseconds) == wrSignaled;
}

void TMMHiTimer::StopThread()
{
    std::shared_ptr<TMMTimerLink> link = std::move(FLink);
    FThreadActive = false;
    if (!link)
        return;
    bool fromWorker = false;
    {
        std::lock_guard lock(link->Lock);
        link->Stop = true;
        if (link->Alive && link->Thread != nullptr) {
            // While Alive the thread cannot free itself: it needs the lock
            // to leave.
            fromWorker = TThread::CurrentThread() == link->Thread;
            link->Thread->Resume();
            link->Thread->Terminate();
        }
    }
    link->Tick.SetEvent();

    if (FWaitForTerminate && !FInSynchronize && !fromWorker) {
        bool alive = false;
        {
            std::lock_guard lock(link->Lock);
            alive = link->Alive;
        }
        if (alive)
            WaitServingSynchronize(link->Started, kThreadWaitMs);
    }

    // An OnTimer running in the worker must end before the timer may go
    // away under it. The worker may be waiting for the GUI thread meanwhile,
    // so its synchronised calls are served while waiting.
    std::unique_lock lock(link->Lock);
    if (!fromWorker) {
        while (link->Busy) {
            if (IsMainThread()) {
                lock.unlock();
                CheckSynchronize();
                lock.lock();
                link->Idle.wait_for(lock, std::chrono::milliseconds(kServeSliceMs));
            } else {
                link->Idle.wait(lock);
            }
        }
    }
    link->Timer = nullptr;
}

// ---------------------------------------------------------------------------
// Ticks

void TMMHiTimer::TimeCallBack(UINT timerId, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    auto* timer = reinterpret_cast<TMMHiTimer*>(user);
    if (timer == nullptr)
        return;
    try {
        switch (timer->FCallBackMode.load()) {
        case cmWindow: {
            if (timer->FPosted.load() >= kMaxPendingTicks) {
                timer->FTicksDropped.fetch_add(1); // the GUI thread is behind
                break;
            }
            timer->FPosted.fetch_add(1);
            const unsigned number = timer->FTicksPosted.load() + 1;
            if (PostMessage(timer->FHandle.load(), MM_HITIMER_TICK, timerId, static_cast<LPARAM>(number)))
                timer->FTicksPosted.store(number);
            else
                timer->FPosted.fetch_sub(1);
            break;
        }
        case cmCallback:
            timer->DoTimer();
            break;
        case cmThread:
            if (timer->FLink)
                timer->FLink->Tick.SetEvent();
            break;
        }
    } catch (...) {
        Application->HandleException(nullptr, std::current_exception());
    }
}

void TMMHiTimer::WndProc(TMessage& message)
{
    if (message.Msg != MM_HITIMER_TICK) {
        message.Result = DefWindowProc(FHandle.load(), message.Msg, message.WParam, message.LParam);
        return;
    }
    // OnTimer may re-arm (a new window, a fresh count) or destroy the timer.
    QPointer<TMMHiTimer> alive(this);
    const unsigned generation = FWindowGeneration;
    if (message.WParam == FTimerID) {
        FCurrentTick = static_cast<unsigned>(message.LParam);
        try {
            TimerTick();
        } catch (...) {
            Application->HandleException(alive ? this : nullptr, std::current_exception());
        }
    }
    if (alive && FWindowGeneration == generation && FPosted.load() > 0)
        FPosted.fetch_sub(1);
}

void TMMHiTimer::DoTimer()
{
    TimerTick();
}

void TMMHiTimer::DoTimerSynchronized(TMMTimerThread* thread, const std::shared_ptr<TMMTimerLink>& link)
{
    thread->Synchronize([link] {
        // In the GUI thread, where only the timer itself lets go of the
        // link: a tick that arrives after disarming (or after the timer is
        // gone) is skipped.
        TMMHiTimer* timer = nullptr;
        {
            std::lock_guard lock(link->Lock);
            if (link->Stop || link->Timer == nullptr)
                return;
            timer = link->Timer;
        }
        // OnTimer may destroy the timer.
        QPointer<TMMHiTimer> alive(timer);
        timer->FInSynchronize = true;
        try {
            timer->TimerTick();
        } catch (...) {
            if (alive)
                alive->FInSynchronize = false;
            throw;
        }
        if (alive)
            alive->FInSynchronize = false;
    });
}
