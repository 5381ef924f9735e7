// The shared 25 ms tick service: the underlying multimedia timer runs exactly
// while there are subscribers, each subscriber is called at its own interval
// in whole steps of the timer, suspending nests, and a slow subscriber does
// not cause a burst of late ticks.
#include "mm/display/MMTimer.h"
#include "platform/kernel/Clock.h"
#include "platform/mm/MMTimers.h"
#include "platform/ui/SysUtils.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr auto kWait = std::chrono::seconds(10);

// Counts and records what the callbacks see; the test thread waits on it.
class TRecorder {
public:
    void Add(const std::function<void()>& change)
    {
        {
            std::lock_guard lock(FLock);
            change();
        }
        FChanged.notify_all();
    }
    bool WaitFor(const std::function<bool()>& done)
    {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, kWait, done);
    }
    template <class T> T Read(const std::function<T()>& read)
    {
        std::lock_guard lock(FLock);
        return read();
    }

private:
    std::mutex FLock;
    std::condition_variable FChanged;
};

class MMTimer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(MMTimerSubscriberCount(), 0) << "a test left a subscriber behind"; }
    void TearDown() override
    {
        for (TMMTimerId id : Ids)
            MMTimerUnsubscribe(id);
        EXPECT_EQ(MMTimerSubscriberCount(), 0);
        EXPECT_EQ(MMTimerTimerId(), 0u);
    }
    TMMTimerId Subscribe(int interval, TMMTimerCallback callback)
    {
        const TMMTimerId id = MMTimerSubscribe(interval, std::move(callback));
        Ids.push_back(id);
        return id;
    }
    // Ends the test's subscriptions when it goes out of scope. Declared after
    // the locals the callbacks use, it ends them before those are gone: a
    // tick still running at the end of the test would write into them.
    struct TEndSubscriptions {
        MMTimer* Test;
        ~TEndSubscriptions()
        {
            for (TMMTimerId id : Test->Ids)
                MMTimerUnsubscribe(id);
            Test->Ids.clear();
        }
    };
    std::vector<TMMTimerId> Ids;
};

TEST_F(MMTimer, TheTimerRunsFromTheFirstSubscriberToTheLast)
{
    EXPECT_EQ(MMTimerTimerId(), 0u);
    const TMMTimerId a = MMTimerSubscribe(25, [] {});
    const unsigned timer = MMTimerTimerId();
    EXPECT_NE(timer, 0u);
    const TMMTimerId b = MMTimerSubscribe(100, [] {});
    EXPECT_NE(a, b);
    EXPECT_EQ(MMTimerTimerId(), timer) << "one timer for all subscribers";
    EXPECT_EQ(MMTimerSubscriberCount(), 2);

    MMTimerUnsubscribe(a);
    EXPECT_EQ(MMTimerTimerId(), timer);
    MMTimerUnsubscribe(a); // twice: ignored
    MMTimerUnsubscribe(0);
    EXPECT_EQ(MMTimerSubscriberCount(), 1);

    MMTimerUnsubscribe(b);
    EXPECT_EQ(MMTimerSubscriberCount(), 0);
    EXPECT_EQ(MMTimerTimerId(), 0u);
    // The platform no longer knows the timer: it was killed, not left running.
    EXPECT_EQ(timeKillEvent(timer), MMSYSERR_INVALPARAM);
    // The resolution request was balanced: another end has nothing to end.
    EXPECT_EQ(timeEndPeriod(kMMTimerPeriod), TIMERR_NOCANDO);

    // And it starts again with the next subscriber.
    const TMMTimerId c = MMTimerSubscribe(50, [] {});
    EXPECT_NE(MMTimerTimerId(), 0u);
    MMTimerUnsubscribe(c);
    EXPECT_EQ(MMTimerTimerId(), 0u);
}

TEST_F(MMTimer, EachSubscriberIsCalledAfterItsWholeSteps)
{
    // Every tick calls the 25 ms subscriber first (it subscribed first), so
    // the number of its calls between two calls of another subscriber is
    // that subscriber's number of steps, however the machine is loaded.
    TRecorder rec;
    int every = 0;
    struct TSeen {
        std::vector<int> At; // the 25 ms subscriber's count at each call
    } seen[4];
    const int intervals[4] = { 10, 40, 100, 250 };
    const int steps[4] = { 1, 2, 4, 10 };
    std::thread::id callbackThread;
    const TEndSubscriptions end { this };
    Subscribe(25, [&] {
        rec.Add([&] {
            ++every;
            callbackThread = std::this_thread::get_id();
        });
    });
    for (int i = 0; i < 4; ++i)
        Subscribe(intervals[i], [&, i] { rec.Add([&] { seen[i].At.push_back(every); }); });

    ASSERT_TRUE(rec.WaitFor([&] { return seen[3].At.size() >= 3; }));
    rec.Add([] {});
    for (int i = 0; i < 4; ++i) {
        const std::vector<int> at = rec.Read<std::vector<int>>([&] { return seen[i].At; });
        ASSERT_GE(at.size(), 3u) << "interval " << intervals[i];
        for (size_t k = 1; k < at.size(); ++k)
            EXPECT_EQ(at[k] - at[k - 1], steps[i]) << "interval " << intervals[i] << ", call " << k;
    }
    EXPECT_NE(rec.Read<std::thread::id>([&] { return callbackThread; }), std::this_thread::get_id())
        << "callbacks run on the timer thread";
}

TEST_F(MMTimer, SuspendingNestsAndRestartsTheCount)
{
    TRecorder rec;
    int every = 0;
    int suspendedCalls = 0;
    std::vector<int> slowAt;
    TMMTimerId slow = 0;
    int restartAt = -1;
    const TEndSubscriptions end { this };
    Subscribe(25, [&] {
        // Two steps after the 100 ms subscriber's first call its count
        // restarts; that tick counts as its first step again, so it is
        // called three steps later instead of two.
        rec.Add([&] {
            ++every;
            if (restartAt < 0 && slowAt.size() == 1 && every == slowAt[0] + 2) {
                MMTimerSuspend(slow);
                MMTimerResume(slow);
                restartAt = every;
            }
        });
    });
    slow = Subscribe(100, [&] { rec.Add([&] { slowAt.push_back(every); }); });
    ASSERT_TRUE(rec.WaitFor([&] { return slowAt.size() >= 3; }));
    const std::vector<int> at = rec.Read<std::vector<int>>([&] { return slowAt; });
    ASSERT_EQ(rec.Read<int>([&] { return restartAt; }), at[0] + 2);
    EXPECT_EQ(at[1], at[0] + 2 + 3) << "the count started again at the suspend";
    EXPECT_EQ(at[2], at[1] + 4);

    // Two suspends need two resumes.
    const TMMTimerId other = Subscribe(25, [&] { rec.Add([&] { ++suspendedCalls; }); });
    MMTimerSuspend(other);
    MMTimerSuspend(other);
    EXPECT_TRUE(MMTimerSuspended(other));
    int base = rec.Read<int>([&] { return every; });
    int callsBefore = rec.Read<int>([&] { return suspendedCalls; });
    ASSERT_TRUE(rec.WaitFor([&] { return every >= base + 4; }));
    EXPECT_EQ(rec.Read<int>([&] { return suspendedCalls; }), callsBefore)
        << "suspended subscribers are skipped";

    MMTimerResume(other);
    EXPECT_TRUE(MMTimerSuspended(other));
    base = rec.Read<int>([&] { return every; });
    ASSERT_TRUE(rec.WaitFor([&] { return every >= base + 4; }));
    EXPECT_EQ(rec.Read<int>([&] { return suspendedCalls; }), callsBefore);

    MMTimerResume(other);
    EXPECT_FALSE(MMTimerSuspended(other));
    ASSERT_TRUE(rec.WaitFor([&] { return suspendedCalls >= callsBefore + 3; }));
    MMTimerResume(other); // not suspended: nothing
    EXPECT_FALSE(MMTimerSuspended(other));
    EXPECT_FALSE(MMTimerSuspended(12345678));
}

TEST_F(MMTimer, ASubscriberMayEndItsOwnSubscription)
{
    TRecorder rec;
    int calls = 0;
    bool ended = false;
    TMMTimerId self = 0;
    self = MMTimerSubscribe(25, [&] {
        rec.Add([&] { ++calls; });
        MMTimerUnsubscribe(self);
        rec.Add([&] { ended = true; });
    });
    // (The tick service is asked outside the recorder's lock: a callback
    // holds the service's lock while it waits for the recorder's.)
    ASSERT_TRUE(rec.WaitFor([&] { return ended; }));
    EXPECT_EQ(rec.Read<int>([&] { return calls; }), 1);
    EXPECT_EQ(MMTimerTimerId(), 0u);
    EXPECT_EQ(MMTimerSubscriberCount(), 0);
    // Another subscriber's ticks come and go without it.
    int others = 0;
    const TEndSubscriptions end { this };
    Subscribe(25, [&] { rec.Add([&] { ++others; }); });
    ASSERT_TRUE(rec.WaitFor([&] { return others >= 3; }));
    EXPECT_EQ(rec.Read<int>([&] { return calls; }), 1);
}

TEST_F(MMTimer, ASlowSubscriberCausesNoBurstOfLateTicks)
{
    using Clock = std::chrono::steady_clock;
    TRecorder rec;
    std::vector<Clock::time_point> calls;
    const TEndSubscriptions end { this };
    Subscribe(25, [&] {
        bool first = false;
        rec.Add([&] {
            first = calls.empty();
            calls.push_back(Clock::now());
        });
        if (first)
            Sleep(120); // five periods
    });
    ASSERT_TRUE(rec.WaitFor([&] { return calls.size() >= 5; }));
    const auto at = rec.Read<std::vector<Clock::time_point>>([&] { return calls; });
    // The ticks missed during the slow call are dropped: at most the one that
    // fell due while it ran comes late, then the timer keeps its phase
    // instead of firing the missed ones one after another.
    EXPECT_GE(at[1] - at[0], std::chrono::milliseconds(115));
    EXPECT_GE(at[3] - at[1], std::chrono::milliseconds(20));
    EXPECT_GE(at[4] - at[2], std::chrono::milliseconds(20));
}

TEST_F(MMTimer, NoTimerLeftRaisesEOutOfResources)
{
    // Use up the platform's timers with idle one-second ones.
    std::vector<UINT> hogs;
    for (int i = 0; i < 4096; ++i) {
        const UINT id = timeSetEvent(
            1000, 0, [](UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}, 0, TIME_PERIODIC);
        if (id == 0)
            break;
        hogs.push_back(id);
    }
    ASSERT_FALSE(hogs.empty());
    try {
        MMTimerSubscribe(25, [] {});
        ADD_FAILURE() << "no exception";
    } catch (const EOutOfResources& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Not enough timers available"));
    }
    EXPECT_EQ(MMTimerSubscriberCount(), 0);
    EXPECT_EQ(MMTimerTimerId(), 0u);
    EXPECT_EQ(timeEndPeriod(kMMTimerPeriod), TIMERR_NOCANDO) << "the failed start gave back its resolution";
    for (UINT id : hogs)
        timeKillEvent(id);
    // With a timer free again it works.
    Subscribe(25, [] {});
    EXPECT_NE(MMTimerTimerId(), 0u);
}

} // namespace
