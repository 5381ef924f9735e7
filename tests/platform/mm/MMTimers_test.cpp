#include "platform/kernel/Clock.h"
#include "platform/kernel/SyncObjs.h"
#include "platform/mm/MMTimers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

// Collects the times of a timer's callbacks and lets the test wait for a count.
struct TTickLog {
    std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<TClock::time_point> FTimes;
    std::vector<UINT> FIds;

    void Add(UINT id)
    {
        std::lock_guard lock(FLock);
        FTimes.push_back(TClock::now());
        FIds.push_back(id);
        FChanged.notify_all();
    }

    bool WaitFor(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, limit, [&] { return FTimes.size() >= count; });
    }

    std::size_t Count()
    {
        std::lock_guard lock(FLock);
        return FTimes.size();
    }
};

void LogTick(UINT id, UINT msg, DWORD_PTR user, DWORD_PTR dw1, DWORD_PTR dw2)
{
    EXPECT_EQ(msg, 0u);
    EXPECT_EQ(dw1, 0u);
    EXPECT_EQ(dw2, 0u);
    reinterpret_cast<TTickLog*>(user)->Add(id);
}

// A one-shot timer that fires after the given delay: the test's way to wait
// "long enough" for something that must not happen, without sleeping.
class TFence {
public:
    explicit TFence(UINT delayMs)
        : FId(timeSetEvent(delayMs, 0, &LogTick, reinterpret_cast<DWORD_PTR>(&FLog), TIME_ONESHOT))
    {
        EXPECT_NE(FId, 0u);
    }
    bool Wait() { return FLog.WaitFor(1); }

private:
    TTickLog FLog;
    UINT FId;
};

TEST(MMTimers, DevCapsGiveTheAcceptedRange)
{
    TIMECAPS caps {};
    ASSERT_EQ(timeGetDevCaps(&caps, sizeof(caps)), TIMERR_NOERROR);
    EXPECT_EQ(caps.wPeriodMin, 1u);
    EXPECT_EQ(caps.wPeriodMax, 1000000u);
    EXPECT_EQ(timeGetDevCaps(&caps, sizeof(caps) - 1), TIMERR_STRUCT);
    EXPECT_EQ(timeGetDevCaps(nullptr, sizeof(caps)), TIMERR_STRUCT);
}

TEST(MMTimers, PeriodsMustBeInRangeAndBalanced)
{
    EXPECT_EQ(timeBeginPeriod(0), TIMERR_NOCANDO);
    EXPECT_EQ(timeBeginPeriod(1000001), TIMERR_NOCANDO);
    EXPECT_EQ(timeEndPeriod(7), TIMERR_NOCANDO);
    ASSERT_EQ(timeBeginPeriod(7), TIMERR_NOERROR);
    ASSERT_EQ(timeBeginPeriod(7), TIMERR_NOERROR);
    EXPECT_EQ(timeEndPeriod(7), TIMERR_NOERROR);
    EXPECT_EQ(timeEndPeriod(7), TIMERR_NOERROR);
    EXPECT_EQ(timeEndPeriod(7), TIMERR_NOCANDO);
}

TEST(MMTimers, TimeGetTimeFollowsTheMonotonicClock)
{
    const DWORD before = GetTickCount();
    const DWORD t = timeGetTime();
    const DWORD after = GetTickCount();
    EXPECT_LE(before, t);
    EXPECT_LE(t, after);
}

TEST(MMTimers, BadArgumentsGiveNoTimer)
{
    TTickLog log;
    const auto user = reinterpret_cast<DWORD_PTR>(&log);
    EXPECT_EQ(timeSetEvent(0, 0, &LogTick, user, TIME_PERIODIC), 0u);
    EXPECT_EQ(timeSetEvent(1000001, 0, &LogTick, user, TIME_PERIODIC), 0u);
    EXPECT_EQ(timeSetEvent(10, 0, nullptr, user, TIME_PERIODIC), 0u);
    EXPECT_EQ(timeSetEvent(10, 0, &LogTick, user, TIME_PERIODIC | 0x4000), 0u);
    EXPECT_EQ(timeSetEvent(10, 0, &LogTick, user, TIME_CALLBACK_EVENT_PULSE), 0u);
    EXPECT_EQ(timeKillEvent(0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(timeKillEvent(0xFFFFFFF0u), MMSYSERR_INVALPARAM);
}

TEST(MMTimers, OneShotFiresOnceAfterItsDelayAndThenIsGone)
{
    TTickLog log;
    const auto start = TClock::now();
    const UINT id = timeSetEvent(30, 0, &LogTick, reinterpret_cast<DWORD_PTR>(&log), TIME_ONESHOT);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(log.WaitFor(1));
    TFence fence(120);
    ASSERT_TRUE(fence.Wait());
    std::lock_guard lock(log.FLock);
    ASSERT_EQ(log.FTimes.size(), 1u);
    EXPECT_EQ(log.FIds[0], id);
    EXPECT_GE(log.FTimes[0] - start, std::chrono::milliseconds(30));
    EXPECT_EQ(timeKillEvent(id), MMSYSERR_INVALPARAM);
}

// A callback that takes 4 ms of a 10 ms period: a timer that sleeps for one
// period after each callback would be 4 ms (and its wake-up latency) later on
// every tick, 0.4 s after 100 ticks.
void SlowTick(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    reinterpret_cast<TTickLog*>(user)->Add(id);
    std::this_thread::sleep_for(std::chrono::milliseconds(4));
}

TEST(MMTimers, PeriodicTicksStayOnTheirGridWithoutDrift)
{
    TTickLog log;
    const auto start = TClock::now();
    const UINT id = timeSetEvent(10, 0, &SlowTick, reinterpret_cast<DWORD_PTR>(&log), TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(log.WaitFor(150));
    ASSERT_EQ(timeKillEvent(id), MMSYSERR_NOERROR);
    std::lock_guard lock(log.FLock);
    // Every tick lies at start + k * 10 ms plus some lateness; with the grid
    // held the lateness of the later ticks is that of a single wake-up, not
    // the sum of all callbacks before. Missed ticks may be skipped on a busy
    // machine, but never more than a few.
    const auto last = log.FTimes[149] - start;
    const auto periods = last / std::chrono::milliseconds(10);
    EXPECT_GE(periods, 150);
    EXPECT_LE(periods, 165) << "ticks were skipped or delayed far too often";
    std::vector<double> lateness;
    for (std::size_t i = 100; i < 150; ++i) {
        const auto since = log.FTimes[i] - start;
        lateness.push_back(
            std::chrono::duration<double, std::milli>(since % std::chrono::milliseconds(10)).count());
    }
    std::sort(lateness.begin(), lateness.end());
    EXPECT_LT(lateness[lateness.size() / 2], 5.0) << "median phase of the late ticks";
    for (UINT tickId : log.FIds)
        EXPECT_EQ(tickId, id);
}

TEST(MMTimers, TwoTimersKeepTheirOwnRates)
{
    TTickLog fast;
    TTickLog slow;
    const UINT fastId = timeSetEvent(5, 0, &LogTick, reinterpret_cast<DWORD_PTR>(&fast), TIME_PERIODIC);
    const UINT slowId = timeSetEvent(25, 0, &LogTick, reinterpret_cast<DWORD_PTR>(&slow), TIME_PERIODIC);
    ASSERT_NE(fastId, 0u);
    ASSERT_NE(slowId, 0u);
    EXPECT_NE(fastId, slowId);
    ASSERT_TRUE(slow.WaitFor(20));
    ASSERT_EQ(timeKillEvent(slowId), MMSYSERR_NOERROR);
    ASSERT_EQ(timeKillEvent(fastId), MMSYSERR_NOERROR);
    // 500 ms: the fast one ticked about five times as often.
    const double ratio = static_cast<double>(fast.Count()) / static_cast<double>(slow.Count());
    EXPECT_GT(ratio, 4.0);
    EXPECT_LT(ratio, 5.5);
}

struct TSelfKill {
    std::atomic<UINT> Id { 0 };
    std::atomic<int> Ticks { 0 };
    std::atomic<MMRESULT> KillResult { 0xFFFF };
    TTickLog Killed;
};

void KillSelfOnThirdTick(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    auto* state = reinterpret_cast<TSelfKill*>(user);
    if (++state->Ticks == 3) {
        state->KillResult = timeKillEvent(id);
        state->Killed.Add(id);
    }
}

TEST(MMTimers, KillFromInsideItsOwnCallbackReturnsAndEndsTheTimer)
{
    TSelfKill state;
    const UINT id
        = timeSetEvent(5, 0, &KillSelfOnThirdTick, reinterpret_cast<DWORD_PTR>(&state), TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(state.Killed.WaitFor(1)) << "the kill inside the callback did not return";
    EXPECT_EQ(state.KillResult.load(), MMSYSERR_NOERROR);
    TFence fence(50);
    ASSERT_TRUE(fence.Wait());
    EXPECT_EQ(state.Ticks.load(), 3);
    EXPECT_EQ(timeKillEvent(id), MMSYSERR_INVALPARAM);
}

struct TLongCallback {
    TEvent Entered { true, false };
    std::atomic<bool> Returned { false };
};

void EnterAndLinger(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    auto* state = reinterpret_cast<TLongCallback*>(user);
    state->Returned = false;
    state->Entered.SetEvent();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    state->Returned = true;
}

TEST(MMTimers, KillWaitsForTheRunningCallback)
{
    TLongCallback state;
    const UINT id = timeSetEvent(10, 0, &EnterAndLinger, reinterpret_cast<DWORD_PTR>(&state), TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    ASSERT_EQ(state.Entered.WaitFor(5000), wrSignaled);
    ASSERT_EQ(timeKillEvent(id), MMSYSERR_NOERROR);
    EXPECT_TRUE(state.Returned.load()) << "timeKillEvent returned while the callback still ran";
}

struct TKillOther {
    std::atomic<UINT> Victim { 0 };
    std::atomic<MMRESULT> Result { 0xFFFF };
    TTickLog Done;
};

void KillTheOther(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    auto* state = reinterpret_cast<TKillOther*>(user);
    state->Result = timeKillEvent(state->Victim);
    state->Done.Add(id);
}

TEST(MMTimers, KillOfAnotherTimerFromACallbackDoesNotWaitForItself)
{
    TTickLog victimLog;
    TKillOther state;
    state.Victim = timeSetEvent(3, 0, &LogTick, reinterpret_cast<DWORD_PTR>(&victimLog), TIME_PERIODIC);
    ASSERT_NE(state.Victim.load(), 0u);
    ASSERT_TRUE(victimLog.WaitFor(2));
    ASSERT_NE(timeSetEvent(20, 0, &KillTheOther, reinterpret_cast<DWORD_PTR>(&state), TIME_ONESHOT), 0u);
    ASSERT_TRUE(state.Done.WaitFor(1));
    EXPECT_EQ(state.Result.load(), MMSYSERR_NOERROR);
    const std::size_t ticks = victimLog.Count();
    TFence fence(30);
    ASSERT_TRUE(fence.Wait());
    EXPECT_EQ(victimLog.Count(), ticks);
}

TEST(MMTimers, EventTimersSetTheirEvent)
{
    TEvent event(false, false);
    const UINT id = timeSetEvent(
        10, 0, reinterpret_cast<LPTIMECALLBACK>(event.Handle()), 0, TIME_PERIODIC | TIME_CALLBACK_EVENT_SET);
    ASSERT_NE(id, 0u);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(event.WaitFor(5000), wrSignaled);
    EXPECT_EQ(timeKillEvent(id), MMSYSERR_NOERROR);
}

TEST(MMTimers, KilledTimersNeverFireAndIdsAreNotReused)
{
    TTickLog log;
    std::vector<UINT> ids;
    for (int i = 0; i < 20; ++i) {
        const UINT id = timeSetEvent(200, 0, &LogTick, reinterpret_cast<DWORD_PTR>(&log), TIME_ONESHOT);
        ASSERT_NE(id, 0u);
        for (UINT earlier : ids)
            EXPECT_NE(earlier, id);
        ids.push_back(id);
    }
    for (UINT id : ids) {
        EXPECT_EQ(timeKillEvent(id), MMSYSERR_NOERROR);
        EXPECT_EQ(timeKillEvent(id), MMSYSERR_INVALPARAM);
    }
    TFence fence(400);
    ASSERT_TRUE(fence.Wait());
    EXPECT_EQ(log.Count(), 0u);
}

} // namespace
