#include "platform/kernel/Clock.h"
#include "platform/kernel/SyncObjs.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

TEST(CriticalSection, IsRecursiveForItsOwner)
{
    TRTLCriticalSection section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_EQ(TryEnterCriticalSection(&section), TRUE);
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    DeleteCriticalSection(&section);
}

TEST(CriticalSection, KeepsOtherThreadsOutUntilTheLastLeave)
{
    TCriticalSection section;
    section.Enter();
    section.Enter();
    std::atomic<int> otherGotIt { -1 };
    std::thread([&] { otherGotIt = section.TryEnter() ? 1 : 0; }).join();
    EXPECT_EQ(otherGotIt.load(), 0);
    section.Leave();
    std::thread([&] { otherGotIt = section.TryEnter() ? 1 : 0; }).join();
    EXPECT_EQ(otherGotIt.load(), 0) << "one Leave of two must not release the section";
    section.Leave();

    // The other thread takes it, holds it until told, and meanwhile this one
    // cannot.
    TEvent taken, release;
    std::thread holder([&] {
        TCriticalSectionLock lock(section);
        taken.SetEvent();
        release.WaitFor();
    });
    ASSERT_EQ(taken.WaitFor(5000), wrSignaled);
    EXPECT_FALSE(section.TryEnter());
    release.SetEvent();
    holder.join();
    EXPECT_TRUE(section.TryEnter());
    section.Leave();
}

TEST(CriticalSection, SerialisesUpdatesFromManyThreads)
{
    TCriticalSection section;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                std::lock_guard outer(section);
                TCriticalSectionLock inner(section);
                ++counter;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(counter, 80000);
}

TEST(Event, AutoResetReleasesOneWaitAndResets)
{
    HANDLE event = CreateEvent(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_EQ(SetEvent(event), TRUE);
    EXPECT_EQ(SetEvent(event), TRUE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "two sets before a wait count once";
    EXPECT_EQ(CloseHandle(event), TRUE);
}

TEST(Event, ManualResetStaysSignalledUntilReset)
{
    HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    SetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(ResetEvent(event), TRUE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST(Event, ManualResetReleasesEveryWaiter)
{
    TEvent go(true, false);
    TEvent done(false, false);
    std::atomic<int> released { 0 };
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            if (go.WaitFor(10000) == wrSignaled)
                ++released;
            done.SetEvent();
        });
    }
    go.SetEvent();
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(released.load(), 3);
}

TEST(Event, AutoResetHandsEachSetToExactlyOneWaiter)
{
    TEvent go(false, false);
    TEvent ack(false, false);
    std::atomic<int> released { 0 };
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            if (go.WaitFor(10000) == wrSignaled) {
                ++released;
                ack.SetEvent();
            }
        });
    }
    for (int round = 1; round <= 3; ++round) {
        go.SetEvent();
        ASSERT_EQ(ack.WaitFor(10000), wrSignaled);
        EXPECT_EQ(released.load(), round);
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(released.load(), 3);
    EXPECT_EQ(go.WaitFor(0), wrTimeout);
}

TEST(Event, WaitTimesOutAfterTheGivenTime)
{
    TEvent event(false, false);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(event.WaitFor(60), wrTimeout);
    EXPECT_GE(GetTickCount64() - start, 59u);
}

TEST(Event, WaitEndsWhenAnotherThreadSets)
{
    TEvent event(false, false);
    std::thread setter([&] { event.SetEvent(); });
    EXPECT_EQ(event.WaitFor(INFINITE), wrSignaled);
    setter.join();
}

TEST(WaitForMultipleObjects, ReturnsTheLowestSignalledIndexAndTakesOnlyIt)
{
    HANDLE events[3] = { CreateEvent(nullptr, FALSE, FALSE, nullptr),
        CreateEvent(nullptr, FALSE, FALSE, nullptr), CreateEvent(nullptr, FALSE, FALSE, nullptr) };
    SetEvent(events[2]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 30), WAIT_TIMEOUT);
    for (HANDLE event : events)
        CloseHandle(event);
}

TEST(WaitForMultipleObjects, WakesOnAnEventSetByAnotherThread)
{
    TEvent first(false, false), second(false, false);
    HANDLE handles[] = { first.Handle(), second.Handle() };
    std::thread setter([&] { second.SetEvent(); });
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 10000), WAIT_OBJECT_0 + 1);
    setter.join();
    EXPECT_EQ(second.WaitFor(0), wrTimeout) << "the wait consumed the auto-reset event";
}

TEST(WaitForMultipleObjects, WaitAllTakesAllOrNothing)
{
    TEvent first(false, false), second(false, false);
    HANDLE handles[] = { first.Handle(), second.Handle() };
    first.SetEvent();
    EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 20), WAIT_TIMEOUT);
    EXPECT_EQ(first.WaitFor(0), wrSignaled) << "a failed wait-all must not consume the one that was set";
    first.SetEvent();
    std::thread setter([&] { second.SetEvent(); });
    EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 10000), WAIT_OBJECT_0);
    setter.join();
    EXPECT_EQ(first.WaitFor(0), wrTimeout);
    EXPECT_EQ(second.WaitFor(0), wrTimeout);
}

TEST(WaitForMultipleObjects, RejectsBadArguments)
{
    TEvent event;
    HANDLE handles[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE& handle : handles)
        handle = event.Handle();
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(0, handles, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, handles, FALSE, 0), WAIT_FAILED);
    HANDLE bad[] = { event.Handle(), nullptr };
    EXPECT_EQ(WaitForMultipleObjects(2, bad, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Handles, ClosedHandlesAreRefused)
{
    HANDLE event = CreateEvent(nullptr, TRUE, TRUE, nullptr);
    ASSERT_EQ(CloseHandle(event), TRUE);
    SetLastError(0);
    EXPECT_EQ(CloseHandle(event), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetEvent(event), FALSE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(CreateEvent(nullptr, FALSE, FALSE, "named"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Handles, ClosingWhileAnotherThreadWaitsIsSafe)
{
    HANDLE event = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    TEvent waiting(true, false);
    std::atomic<DWORD> result { 0xDEAD };
    std::thread waiter([&] {
        waiting.SetEvent();
        result = WaitForSingleObject(event, 100);
    });
    ASSERT_EQ(waiting.WaitFor(5000), wrSignaled);
    EXPECT_EQ(CloseHandle(event), TRUE);
    waiter.join();
    // Either it had not started waiting (handle gone) or the wait ran out.
    EXPECT_TRUE(result == WAIT_TIMEOUT || result == WAIT_FAILED) << result;
}

} // namespace
