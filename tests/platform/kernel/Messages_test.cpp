#include "platform/kernel/Messages.h"
#include "platform/kernel/SyncObjs.h"
#include "platform/kernel/Threads.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

TEST(ThreadMessages, PostingToAThreadWithoutQueueFails)
{
    TEvent ready(true, false), done(true, false);
    std::atomic<DWORD> id { 0 };
    std::thread worker([&] {
        id = GetCurrentThreadId();
        ready.SetEvent();
        done.WaitFor(INFINITE);
    });
    ASSERT_EQ(ready.WaitFor(10000), wrSignaled);
    SetLastError(0);
    EXPECT_EQ(PostThreadMessage(id, WM_USER, 1, 2), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
    done.SetEvent();
    worker.join();
}

TEST(ThreadMessages, PeekAndRemoveInOrderWithFilters)
{
    // A fresh thread, so that nothing else is queued for it.
    std::thread([] {
        MSG message {};
        EXPECT_EQ(PeekMessage(&message, nullptr, 0, 0, PM_NOREMOVE), FALSE);
        const DWORD self = GetCurrentThreadId();
        ASSERT_EQ(PostThreadMessage(self, WM_USER + 1, 10, -10), TRUE);
        ASSERT_EQ(PostThreadMessage(self, WM_USER + 2, 20, -20), TRUE);
        ASSERT_EQ(PostThreadMessage(self, WM_USER + 3, 30, -30), TRUE);

        ASSERT_EQ(PeekMessage(&message, nullptr, 0, 0, PM_NOREMOVE), TRUE);
        EXPECT_EQ(message.message, WM_USER + 1u);
        EXPECT_EQ(message.hwnd, nullptr);

        ASSERT_EQ(PeekMessage(&message, nullptr, WM_USER + 2, WM_USER + 3, PM_REMOVE), TRUE);
        EXPECT_EQ(message.message, WM_USER + 2u);
        EXPECT_EQ(message.wParam, 20u);
        EXPECT_EQ(message.lParam, -20);

        EXPECT_EQ(PeekMessage(&message, nullptr, WM_USER + 2, WM_USER + 2, PM_REMOVE), FALSE);
        EXPECT_EQ(PeekMessage(&message, reinterpret_cast<HWND>(0x1000), 0, 0, PM_REMOVE), FALSE)
            << "no window messages live here";

        ASSERT_EQ(PeekMessage(&message, nullptr, 0, 0, PM_REMOVE), TRUE);
        EXPECT_EQ(message.message, WM_USER + 1u);
        ASSERT_EQ(GetMessage(&message, nullptr, 0, 0), TRUE);
        EXPECT_EQ(message.message, WM_USER + 3u);
        EXPECT_EQ(message.lParam, -30);
        EXPECT_EQ(PeekMessage(&message, nullptr, 0, 0, PM_REMOVE), FALSE);
    }).join();
}

TEST(ThreadMessages, GetMessageWaitsForAPostFromAnotherThreadAndEndsOnQuit)
{
    TEvent ready(true, false);
    std::atomic<DWORD> id { 0 };
    std::vector<UINT> received;
    std::vector<LPARAM> parameters;
    std::thread worker([&] {
        MSG message;
        PeekMessage(&message, nullptr, 0, 0, PM_NOREMOVE);
        id = GetCurrentThreadId();
        ready.SetEvent();
        BOOL result;
        while ((result = GetMessage(&message, nullptr, 0, 0)) > 0) {
            received.push_back(message.message);
            parameters.push_back(message.lParam);
        }
        EXPECT_EQ(result, 0);
    });
    ASSERT_EQ(ready.WaitFor(10000), wrSignaled);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(PostThreadMessage(id, WM_USER + (i % 3), 0, i), TRUE);
    PostThreadMessage(id, WM_QUIT, 0, 0);
    worker.join();
    ASSERT_EQ(received.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(received[i], WM_USER + (i % 3));
        EXPECT_EQ(parameters[i], i);
    }
    EXPECT_EQ(PostThreadMessage(id, WM_USER, 0, 0), FALSE) << "the queue goes with its thread";
}

// A worker shaped like the wave input's: wait for a stop event or a message,
// take messages, end on the stop event.
TEST(MsgWaitForMultipleObjects, WakesOnMessageOrEventAndTimesOut)
{
    TEvent ready(false, false), stop(false, false), handled(false, false);
    std::atomic<DWORD> id { 0 };
    std::atomic<int> messages { 0 };
    std::atomic<int> timeouts { 0 };
    std::atomic<DWORD> lastWait { 0 };
    std::thread worker([&] {
        MSG message;
        PeekMessage(&message, nullptr, 0, 0, PM_NOREMOVE);
        id = GetCurrentThreadId();
        HANDLE handles[] = { stop.Handle() };
        EXPECT_EQ(MsgWaitForMultipleObjects(1, handles, FALSE, 30, QS_ALLINPUT), WAIT_TIMEOUT);
        ++timeouts;
        ready.SetEvent();
        for (;;) {
            if (PeekMessage(&message, nullptr, 0, 0, PM_REMOVE)) {
                ++messages;
                handled.SetEvent();
                continue;
            }
            const DWORD result = MsgWaitForMultipleObjects(1, handles, FALSE, INFINITE, QS_ALLINPUT);
            lastWait = result;
            if (result == WAIT_OBJECT_0)
                break;
            EXPECT_EQ(result, WAIT_OBJECT_0 + 1);
        }
    });
    ASSERT_EQ(ready.WaitFor(10000), wrSignaled);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(PostThreadMessage(id, WM_USER, i, 0), TRUE);
        ASSERT_EQ(handled.WaitFor(10000), wrSignaled);
    }
    stop.SetEvent();
    worker.join();
    EXPECT_EQ(messages.load(), 20);
    EXPECT_EQ(timeouts.load(), 1);
    EXPECT_EQ(lastWait.load(), WAIT_OBJECT_0);
}

TEST(MsgWaitForMultipleObjects, AQueuedMessageSatisfiesTheWaitAndStaysQueued)
{
    std::thread([] {
        MSG message;
        PostThreadMessage(GetCurrentThreadId(), WM_QUIT, 0, 0);
        EXPECT_EQ(PostThreadMessage(GetCurrentThreadId(), WM_USER, 7, 0), FALSE) << "no queue yet";
        PeekMessage(&message, nullptr, 0, 0, PM_NOREMOVE);
        ASSERT_EQ(PostThreadMessage(GetCurrentThreadId(), WM_USER, 7, 0), TRUE);
        ASSERT_EQ(PeekMessage(&message, nullptr, 0, 0, PM_NOREMOVE), TRUE);
        EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0);
        EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT), WAIT_OBJECT_0);
        // A mask without posted messages does not wake on them.
        EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_KEY | QS_MOUSE), WAIT_TIMEOUT);
        EXPECT_EQ(PeekMessage(&message, nullptr, 0, 0, PM_REMOVE), TRUE);
        EXPECT_EQ(message.wParam, 7u);
        EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT), WAIT_TIMEOUT);
    }).join();
}

TEST(MsgWaitForMultipleObjects, AnEventBeforeAMessageWinsAndBadArgumentsFail)
{
    std::thread([] {
        TEvent event(true, true);
        MSG message;
        PeekMessage(&message, nullptr, 0, 0, PM_NOREMOVE);
        PostThreadMessage(GetCurrentThreadId(), WM_USER, 0, 0);
        HANDLE handles[] = { event.Handle() };
        EXPECT_EQ(MsgWaitForMultipleObjects(1, handles, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0);
        EXPECT_EQ(MsgWaitForMultipleObjects(1, handles, TRUE, 0, QS_ALLINPUT), WAIT_OBJECT_0)
            << "wait-all: the event and a message";
        event.ResetEvent();
        EXPECT_EQ(MsgWaitForMultipleObjects(1, handles, TRUE, 20, QS_ALLINPUT), WAIT_TIMEOUT);
        HANDLE many[MAXIMUM_WAIT_OBJECTS];
        for (HANDLE& handle : many)
            handle = event.Handle();
        EXPECT_EQ(MsgWaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many, FALSE, 0, QS_ALLINPUT), WAIT_FAILED);
        HANDLE closed[] = { nullptr };
        EXPECT_EQ(MsgWaitForMultipleObjects(1, closed, FALSE, 0, QS_ALLINPUT), WAIT_FAILED);
    }).join();
}

TEST(ThreadMessages, AFullQueueRefusesMorePosts)
{
    std::thread([] {
        MSG message;
        PeekMessage(&message, nullptr, 0, 0, PM_NOREMOVE);
        const DWORD self = GetCurrentThreadId();
        for (int i = 0; i < kMaxQueuedMessages; ++i)
            ASSERT_EQ(PostThreadMessage(self, WM_USER, i, 0), TRUE);
        SetLastError(0);
        EXPECT_EQ(PostThreadMessage(self, WM_USER, 0, 0), FALSE);
        EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
        ASSERT_EQ(PeekMessage(&message, nullptr, 0, 0, PM_REMOVE), TRUE);
        EXPECT_EQ(message.wParam, 0u);
        EXPECT_EQ(PostThreadMessage(self, WM_USER, 0, 0), TRUE);
    }).join();
}

TEST(ThreadMessages, ATThreadCanServeAQueue)
{
    class TWorker : public TThread {
    public:
        TWorker()
            : TThread(true)
        {
        }
        ~TWorker() override { WaitFor(); }
        TEvent FReady { true, false };
        std::atomic<LPARAM> FSum { 0 };

    protected:
        void Execute() override
        {
            MSG message;
            PeekMessage(&message, nullptr, 0, 0, PM_NOREMOVE);
            FReady.SetEvent();
            while (GetMessage(&message, nullptr, 0, 0) > 0)
                FSum += message.lParam;
        }
    };
    TWorker worker;
    worker.Resume();
    ASSERT_EQ(worker.FReady.WaitFor(10000), wrSignaled);
    for (int i = 1; i <= 10; ++i)
        PostThreadMessage(worker.ThreadID(), WM_APP, 0, i);
    PostThreadMessage(worker.ThreadID(), WM_QUIT, 0, 0);
    worker.WaitFor();
    EXPECT_EQ(worker.FSum.load(), 55);
}

} // namespace
