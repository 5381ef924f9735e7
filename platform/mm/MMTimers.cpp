#include "platform/mm/MMTimers.h"

#include "platform/kernel/Clock.h"
#include "platform/kernel/SyncObjs.h"
#include "platform/kernel/Threads.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace {

constexpr UINT kPeriodMin = 1;
constexpr UINT kPeriodMax = 1000000;

// More live timers than any sane program needs; beyond it timeSetEvent fails
// as its namesake does when it runs out of timers.
constexpr std::size_t kMaxTimers = 1024;

// libstdc++ waits on steady_clock deadlines with pthread_cond_clockwait on
// CLOCK_MONOTONIC: an absolute deadline, like clock_nanosleep with
// TIMER_ABSTIME, but one that a new or killed timer can cut short.
using TClock = std::chrono::steady_clock;

struct TTimer {
    LPTIMECALLBACK Callback;
    DWORD_PTR User;
    TClock::duration Period;
    TClock::time_point Due;
    bool Periodic;
    bool SetsEvent;
    bool Killed = false;
};

class TTimerService {
public:
    /// The one service of the process. Never destroyed: a timer may be killed
    /// from a static destructor; the thread is stopped at exit instead.
    static TTimerService& Instance()
    {
        static TTimerService* service = [] {
            auto* created = new TTimerService;
            std::atexit([] { Instance().Shutdown(); });
            return created;
        }();
        return *service;
    }

    UINT Set(UINT delay, LPTIMECALLBACK callback, DWORD_PTR user, bool periodic, bool setsEvent)
    {
        std::lock_guard lock(FLock);
        if (FShutDown || FTimers.size() >= kMaxTimers)
            return 0;
        if (!FThread.joinable()) {
            try {
                FThread = std::thread([this] { Run(); });
            } catch (const std::system_error&) {
                return 0;
            }
        }
        const UINT id = NextId();
        const auto period = std::chrono::milliseconds(delay);
        FTimers.emplace(id, TTimer { callback, user, period, TClock::now() + period, periodic, setsEvent });
        FWake.notify_one();
        return id;
    }

    MMRESULT Kill(UINT id)
    {
        std::unique_lock lock(FLock);
        auto it = FTimers.find(id);
        if (it == FTimers.end() || it->second.Killed)
            return MMSYSERR_INVALPARAM;
        it->second.Killed = true;
        if (FRunningId != id) {
            FTimers.erase(it);
            FWake.notify_one();
            return MMSYSERR_NOERROR;
        }
        // Its callback runs now. On the timer thread itself that is our
        // caller's own frame: the thread drops the timer when it returns.
        if (std::this_thread::get_id() != FThreadId)
            FCallbackDone.wait(lock, [&] { return FRunningId != id; });
        return MMSYSERR_NOERROR;
    }

    MMRESULT BeginPeriod(UINT period)
    {
        if (period < kPeriodMin || period > kPeriodMax)
            return TIMERR_NOCANDO;
        std::lock_guard lock(FLock);
        ++FPeriods[period];
        return TIMERR_NOERROR;
    }

    MMRESULT EndPeriod(UINT period)
    {
        if (period < kPeriodMin || period > kPeriodMax)
            return TIMERR_NOCANDO;
        std::lock_guard lock(FLock);
        auto it = FPeriods.find(period);
        if (it == FPeriods.end())
            return TIMERR_NOCANDO;
        if (--it->second == 0)
            FPeriods.erase(it);
        return TIMERR_NOERROR;
    }

private:
    UINT NextId()
    {
        // Identifiers are not reused soon, so a stale one fails to kill
        // rather than killing a stranger's timer.
        do {
            ++FLastId;
        } while (FLastId == 0 || FTimers.count(FLastId) != 0);
        return FLastId;
    }

    void Shutdown()
    {
        std::unique_lock lock(FLock);
        FShutDown = true;
        FWake.notify_one();
        if (!FThread.joinable())
            return;
        if (std::this_thread::get_id() == FThreadId) {
            FThread.detach();
            return;
        }
        lock.unlock();
        FThread.join();
    }

    void Run()
    {
        pthread_setname_np(pthread_self(), "mm-timer");
        // Ticks should be punctual even on a busy machine; the kernel layer
        // falls back to what the process may have.
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
        std::unique_lock lock(FLock);
        FThreadId = std::this_thread::get_id();
        while (!FShutDown) {
            auto next = FTimers.end();
            for (auto it = FTimers.begin(); it != FTimers.end(); ++it) {
                if (!it->second.Killed && (next == FTimers.end() || it->second.Due < next->second.Due))
                    next = it;
            }
            if (next == FTimers.end()) {
                FWake.wait(lock);
                continue;
            }
            const auto now = TClock::now();
            const TClock::time_point due = next->second.Due; // the timer may go while we wait
            if (now < due) {
                FWake.wait_until(lock, due);
                continue;
            }
            const UINT id = next->first;
            TTimer& timer = next->second;
            const LPTIMECALLBACK callback = timer.Callback;
            const DWORD_PTR user = timer.User;
            const bool setsEvent = timer.SetsEvent;
            if (timer.Periodic) {
                timer.Due += timer.Period;
                if (timer.Due <= now)
                    timer.Due += timer.Period * ((now - timer.Due) / timer.Period + 1);
            }
            FRunningId = id;
            lock.unlock();
            Fire(id, callback, user, setsEvent);
            lock.lock();
            FRunningId = 0;
            auto it = FTimers.find(id);
            if (it != FTimers.end() && (it->second.Killed || !it->second.Periodic))
                FTimers.erase(it);
            FCallbackDone.notify_all();
        }
    }

    static void Fire(UINT id, LPTIMECALLBACK callback, DWORD_PTR user, bool setsEvent)
    {
        if (setsEvent) {
            SetEvent(reinterpret_cast<HANDLE>(callback));
            return;
        }
        // An exception must not end the thread that serves every timer.
        try {
            callback(id, 0, user, 0, 0);
        } catch (...) {
            std::fprintf(stderr, "timer %u: callback raised an exception; the timer goes on\n", id);
        }
    }

    std::mutex FLock;
    std::condition_variable FWake; // to the timer thread: the timers changed
    std::condition_variable FCallbackDone; // to timeKillEvent: a callback returned
    std::map<UINT, TTimer> FTimers; // all under FLock, like everything below
    std::map<UINT, int> FPeriods;
    UINT FLastId = 0;
    UINT FRunningId = 0; // the timer whose callback runs now, 0 for none
    std::thread::id FThreadId;
    std::thread FThread;
    bool FShutDown = false;
};

} // namespace

MMRESULT timeGetDevCaps(LPTIMECAPS ptc, UINT cbtc)
{
    if (ptc == nullptr || cbtc < sizeof(TIMECAPS))
        return TIMERR_STRUCT;
    ptc->wPeriodMin = kPeriodMin;
    ptc->wPeriodMax = kPeriodMax;
    return TIMERR_NOERROR;
}

MMRESULT timeBeginPeriod(UINT uPeriod)
{
    return TTimerService::Instance().BeginPeriod(uPeriod);
}

MMRESULT timeEndPeriod(UINT uPeriod)
{
    return TTimerService::Instance().EndPeriod(uPeriod);
}

DWORD timeGetTime()
{
    return GetTickCount();
}

MMRESULT timeSetEvent(UINT uDelay, UINT uResolution, LPTIMECALLBACK fptc, DWORD_PTR dwUser, UINT fuEvent)
{
    constexpr UINT kKnownFlags = TIME_PERIODIC | TIME_CALLBACK_EVENT_SET | TIME_KILL_SYNCHRONOUS;
    if (uDelay < kPeriodMin || uDelay > kPeriodMax || fptc == nullptr || (fuEvent & ~kKnownFlags) != 0)
        return 0;
    return TTimerService::Instance().Set(
        uDelay, fptc, dwUser, (fuEvent & TIME_PERIODIC) != 0, (fuEvent & TIME_CALLBACK_EVENT_SET) != 0);
}

MMRESULT timeKillEvent(UINT uTimerID)
{
    return TTimerService::Instance().Kill(uTimerID);
}
