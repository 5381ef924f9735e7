#include "platform/kernel/Messages.h"
#include "platform/kernel/SyncObjs.h"
#include "platform/kernel/Threads.h"

#include <atomic>
#include <cerrno>
#include <gtest/gtest.h>
#include <sched.h>
#include <stdexcept>
#include <sys/resource.h>
#include <thread>

namespace {

// Runs a function object as its Execute.
class TFunctionThread : public TThread {
public:
    TFunctionThread(bool createSuspended, std::function<void(TFunctionThread&)> body)
        : TThread(createSuspended)
        , FBody(std::move(body))
    {
    }
    ~TFunctionThread() override
    {
        Terminate();
        if (!Suspended())
            WaitFor();
    }

    using TThread::SetReturnValue;

protected:
    void Execute() override { FBody(*this); }

private:
    std::function<void(TFunctionThread&)> FBody;
};

TEST(TThread, CreatedSuspendedRunsOnlyAfterResume)
{
    TEvent ran(true, false);
    TFunctionThread thread(true, [&](TFunctionThread& self) {
        self.SetReturnValue(42);
        ran.SetEvent();
    });
    EXPECT_TRUE(thread.Suspended());
    EXPECT_NE(thread.ThreadID(), 0u);
    EXPECT_NE(thread.ThreadID(), GetCurrentThreadId());
    EXPECT_EQ(ran.WaitFor(50), wrTimeout);
    EXPECT_EQ(WaitForSingleObject(thread.Handle(), 0), WAIT_TIMEOUT);
    thread.Resume();
    EXPECT_FALSE(thread.Suspended());
    EXPECT_EQ(thread.WaitFor(), 42);
    EXPECT_EQ(ran.WaitFor(0), wrSignaled);
    EXPECT_TRUE(thread.Finished());
    EXPECT_EQ(WaitForSingleObject(thread.Handle(), 0), WAIT_OBJECT_0);
}

TEST(TThread, CreatedRunningStartsByItself)
{
    TEvent ran(true, false);
    std::unique_ptr<TFunctionThread> thread(
        TThread::Create<TFunctionThread>(false, [&](TFunctionThread&) { ran.SetEvent(); }));
    EXPECT_EQ(ran.WaitFor(10000), wrSignaled);
    thread->WaitFor();
}

TEST(TThread, ExecuteSeesItsOwnThreadId)
{
    std::atomic<DWORD> seen { 0 };
    std::atomic<TThread*> current { nullptr };
    TFunctionThread thread(true, [&](TFunctionThread& self) {
        seen = GetCurrentThreadId();
        current = TThread::CurrentThread();
    });
    thread.Resume();
    thread.WaitFor();
    EXPECT_EQ(seen.load(), thread.ThreadID());
    EXPECT_EQ(current.load(), &thread);
    EXPECT_EQ(TThread::CurrentThread(), nullptr);
    EXPECT_EQ(MainThreadID(), GetCurrentThreadId()) << "the tests run in the main thread";
}

TEST(TThread, TerminateEndsALoopThatWatchesTerminated)
{
    std::atomic<int> rounds { 0 };
    TEvent tick(false, false), ack(false, false);
    TFunctionThread thread(true, [&](TFunctionThread& self) {
        for (;;) {
            tick.WaitFor(INFINITE);
            if (self.Terminated())
                break;
            ++rounds;
            ack.SetEvent();
        }
    });
    thread.Resume();
    tick.SetEvent();
    ASSERT_EQ(ack.WaitFor(10000), wrSignaled);
    EXPECT_EQ(rounds.load(), 1);
    EXPECT_FALSE(thread.Terminated());
    EXPECT_FALSE(thread.Finished());
    thread.Terminate();
    EXPECT_TRUE(thread.Terminated());
    tick.SetEvent();
    thread.WaitFor();
    EXPECT_EQ(rounds.load(), 1) << "the loop ends at its next look at Terminated";
    EXPECT_TRUE(thread.Finished());
}

// Tells the test when it has been deleted.
class TSelfFreeingThread : public TThread {
public:
    TSelfFreeingThread(HANDLE deleted, std::atomic<bool>& deletedInThread)
        : TThread(true)
        , FDeleted(deleted)
        , FDeletedInThread(deletedInThread)
    {
    }
    ~TSelfFreeingThread() override
    {
        FDeletedInThread = GetCurrentThreadId() == ThreadID();
        SetEvent(FDeleted);
    }

protected:
    void Execute() override { }

private:
    HANDLE FDeleted;
    std::atomic<bool>& FDeletedInThread;
};

TEST(TThread, FreeOnTerminateDeletesTheObjectInItsThread)
{
    TEvent deleted(true, false);
    std::atomic<bool> inThread { false };
    auto* thread = new TSelfFreeingThread(deleted.Handle(), inThread);
    thread->SetFreeOnTerminate(true);
    EXPECT_TRUE(thread->FreeOnTerminate());
    thread->Resume();
    ASSERT_EQ(deleted.WaitFor(10000), wrSignaled);
    EXPECT_TRUE(inThread.load());
}

TEST(TThread, DestroyingANeverResumedThreadDoesNotRunExecute)
{
    std::atomic<bool> ran { false };
    {
        TFunctionThread thread(true, [&](TFunctionThread&) { ran = true; });
    }
    EXPECT_FALSE(ran.load());
}

TEST(TThread, DestructorTerminatesAndWaitsForARunningThread)
{
    TEvent started(true, false);
    std::atomic<bool> ended { false };
    {
        TFunctionThread thread(true, [&](TFunctionThread& self) {
            started.SetEvent();
            while (!self.Terminated())
                std::this_thread::yield();
            ended = true;
        });
        thread.Resume();
        ASSERT_EQ(started.WaitFor(10000), wrSignaled);
    }
    EXPECT_TRUE(ended.load());
}

TEST(TThread, AnExceptionFromExecuteIsKept)
{
    TFunctionThread thread(true, [](TFunctionThread&) { throw std::runtime_error("worker broke"); });
    thread.Resume();
    thread.WaitFor();
    ASSERT_TRUE(thread.FatalException());
    try {
        std::rethrow_exception(thread.FatalException());
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "worker broke");
    }
}

TEST(TThread, WaitingOnTheHandleFromManyThreads)
{
    TEvent go(true, false);
    TFunctionThread thread(true, [&](TFunctionThread&) { go.WaitFor(INFINITE); });
    thread.Resume();
    std::atomic<int> woken { 0 };
    std::thread a([&] { woken += WaitForSingleObject(thread.Handle(), 10000) == WAIT_OBJECT_0; });
    std::thread b([&] { woken += WaitForSingleObject(thread.Handle(), 10000) == WAIT_OBJECT_0; });
    go.SetEvent();
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 2) << "a thread handle stays signalled";
    EXPECT_EQ(CloseHandle(thread.Handle()), FALSE) << "the handle belongs to its TThread";
}

int Policy(DWORD tid)
{
    return sched_getscheduler(static_cast<pid_t>(tid));
}

int Nice(DWORD tid)
{
    errno = 0;
    return getpriority(PRIO_PROCESS, tid);
}

TEST(TThread, EveryPriorityStepIsAcceptedAndAppliedAsAllowed)
{
    TEvent stop(true, false);
    TFunctionThread thread(true, [&](TFunctionThread&) { stop.WaitFor(INFINITE); });
    for (int step = tpIdle; step <= tpTimeCritical; ++step) {
        const auto priority = static_cast<TThreadPriority>(step);
        thread.SetPriority(priority);
        EXPECT_EQ(thread.Priority(), priority);
        EXPECT_EQ(GetThreadPriority(thread.Handle()), kThreadPriorityValues[step]);
    }
    thread.Resume();
    // Lowering a priority is always allowed, so these must really take effect.
    thread.SetPriority(tpIdle);
    EXPECT_EQ(Policy(thread.ThreadID()), SCHED_IDLE);
    thread.SetPriority(tpNormal);
    thread.SetPriority(tpLowest);
    const int lowestPolicy = Policy(thread.ThreadID());
    if (lowestPolicy == SCHED_OTHER) {
        EXPECT_EQ(Nice(thread.ThreadID()), 10);
    }
    // Raising needs privileges this machine may or may not grant: the call
    // must succeed either way, and what it got must be one of the forms.
    EXPECT_EQ(SetThreadPriority(thread.Handle(), THREAD_PRIORITY_TIME_CRITICAL), TRUE);
    const int policy = Policy(thread.ThreadID());
    EXPECT_TRUE(policy == SCHED_RR || policy == SCHED_OTHER || policy == SCHED_IDLE) << policy;
    if (policy == SCHED_RR) {
        sched_param param {};
        sched_getparam(static_cast<pid_t>(thread.ThreadID()), &param);
        EXPECT_EQ(param.sched_priority, 2);
    }
    EXPECT_EQ(SetThreadPriority(thread.Handle(), THREAD_PRIORITY_NORMAL), TRUE);
    EXPECT_NE(Policy(thread.ThreadID()), SCHED_RR) << "normal must leave the real-time class";
    stop.SetEvent();
    thread.WaitFor();
    EXPECT_EQ(SetThreadPriority(thread.Handle(), THREAD_PRIORITY_HIGHEST), TRUE)
        << "a finished thread accepts it";
}

TEST(SetThreadPriority, RefusesValuesOffTheScaleAndForeignHandles)
{
    SetLastError(0);
    EXPECT_EQ(SetThreadPriority(GetCurrentThread(), 7), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    TEvent event;
    EXPECT_EQ(SetThreadPriority(event.Handle(), THREAD_PRIORITY_NORMAL), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetThreadPriority(event.Handle()), THREAD_PRIORITY_ERROR_RETURN);
}

TEST(SetThreadPriority, TheCurrentThreadPseudoHandleWorksInAPlainThread)
{
    std::atomic<int> result { -1 };
    std::atomic<int> read { -1 };
    std::atomic<int> nice { -100 };
    std::thread([&] {
        result = SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST);
        read = GetThreadPriority(GetCurrentThread());
        nice = Nice(GetCurrentThreadId());
    }).join();
    EXPECT_EQ(result.load(), TRUE);
    EXPECT_EQ(read.load(), THREAD_PRIORITY_LOWEST);
    EXPECT_EQ(nice.load(), 10);
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL) << "per thread, not per process";
}

std::atomic<int> gHandlerCalls { 0 };

// Stands in for the user-interface layer: runs the method in the main thread
// by posting it to a queue the test's main thread serves.
void PostToMainThread(const std::function<void()>& method)
{
    ++gHandlerCalls;
    TEvent done(true, false);
    const std::function<void()>* call = &method;
    PostThreadMessage(
        MainThreadID(), WM_APP, reinterpret_cast<WPARAM>(call), reinterpret_cast<LPARAM>(&done));
    done.WaitFor(INFINITE);
}

TEST(TThread, SynchronizeRunsTheMethodThroughTheInstalledHandler)
{
    gHandlerCalls = 0;
    MSG message;
    PeekMessage(&message, nullptr, 0, 0, PM_NOREMOVE);
    TThread::SetSynchronizeHandler(&PostToMainThread);
    std::atomic<DWORD> ranIn { 0 };
    std::atomic<bool> caught { false };
    TFunctionThread thread(true, [&](TFunctionThread& self) {
        self.Synchronize([&] { ranIn = GetCurrentThreadId(); });
        try {
            self.Synchronize([] { throw std::runtime_error("in main"); });
        } catch (const std::runtime_error& e) {
            caught = std::string(e.what()) == "in main";
        }
    });
    thread.Resume();
    for (int served = 0; served < 2;) {
        ASSERT_NE(GetMessage(&message, nullptr, WM_APP, WM_APP), -1);
        (*reinterpret_cast<const std::function<void()>*>(message.wParam))();
        reinterpret_cast<TEvent*>(message.lParam)->SetEvent();
        ++served;
    }
    thread.WaitFor();
    TThread::SetSynchronizeHandler(nullptr);
    EXPECT_EQ(gHandlerCalls.load(), 2);
    EXPECT_EQ(ranIn.load(), MainThreadID());
    EXPECT_TRUE(caught.load()) << "the method's exception reaches the calling thread";

    // From the main thread, and without a handler, the method runs directly.
    DWORD direct = 0;
    TThread::SynchronizeMethod([&] { direct = GetCurrentThreadId(); });
    EXPECT_EQ(direct, MainThreadID());
    EXPECT_EQ(gHandlerCalls.load(), 2);
}

} // namespace
