#include "platform/kernel/Threads.h"

#include "platform/kernel/SyncObjs.h"

#include <cstdio>
#include <sched.h>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>

// The kernel object behind a thread handle: signalled once Execute has ended.
// Only its TThread may close the handle.
class TThreadObject final : public TKernelObject {
public:
    bool IsSignalled() const override { return FFinished; }
    bool ClosableByHandle() const override { return false; }

    // Under KernelLock().
    pid_t FTid = 0;
    bool FFinished = false;
    int FPriority = THREAD_PRIORITY_NORMAL;
};

namespace {

void* const kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

thread_local TThread* tCurrentThread = nullptr;
thread_local TThreadObject* tCurrentObject = nullptr;
// The priority last set through the pseudo handle by a thread that is no
// TThread. Only its own thread touches it.
thread_local int tOwnPriority = THREAD_PRIORITY_NORMAL;

std::atomic<TThread::TSynchronizeHandler> gSynchronizeHandler { nullptr };

bool IsPriorityValue(int priority)
{
    for (int value : kThreadPriorityValues) {
        if (value == priority)
            return true;
    }
    return false;
}

bool SetPolicy(pid_t tid, int policy, int rtPriority)
{
    sched_param param {};
    param.sched_priority = rtPriority;
    return sched_setscheduler(tid, policy, &param) == 0;
}

// Linux gives nice values per thread through the thread id.
bool SetNice(pid_t tid, int nice)
{
    return setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0;
}

// Each step is tried from the strongest form to the weakest; what the system
// refuses is simply not had.
void ApplyPriority(pid_t tid, int priority)
{
    auto timeShared = [tid](int nice) {
        SetPolicy(tid, SCHED_OTHER, 0);
        SetNice(tid, nice);
    };
    switch (priority) {
    case THREAD_PRIORITY_IDLE:
        if (!SetPolicy(tid, SCHED_IDLE, 0))
            SetNice(tid, 19);
        break;
    case THREAD_PRIORITY_LOWEST:
        timeShared(10);
        break;
    case THREAD_PRIORITY_BELOW_NORMAL:
        timeShared(5);
        break;
    case THREAD_PRIORITY_NORMAL:
        timeShared(0);
        break;
    case THREAD_PRIORITY_ABOVE_NORMAL:
        timeShared(-5);
        break;
    case THREAD_PRIORITY_HIGHEST:
        if (!SetPolicy(tid, SCHED_RR, 1))
            timeShared(-10);
        break;
    case THREAD_PRIORITY_TIME_CRITICAL:
        if (!SetPolicy(tid, SCHED_RR, 2))
            timeShared(-15);
        break;
    default:
        break;
    }
}

// Under KernelLock(): the thread object behind a real thread handle.
TThreadObject* LookUpThread(HANDLE handle)
{
    TKernelObject* object = LookUpKernelHandle(handle);
    auto* thread = dynamic_cast<TThreadObject*>(object);
    if (object != nullptr && thread == nullptr)
        SetLastError(ERROR_INVALID_HANDLE);
    return thread;
}

} // namespace

DWORD GetCurrentThreadId()
{
    return static_cast<DWORD>(gettid());
}

DWORD MainThreadID()
{
    // The thread that started the process is the one whose id is the pid.
    return static_cast<DWORD>(getpid());
}

HANDLE GetCurrentThread()
{
    return kCurrentThreadPseudoHandle;
}

BOOL SetThreadPriority(HANDLE thread, int priority)
{
    if (!IsPriorityValue(priority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard lock(KernelLock());
    TThreadObject* object = thread == kCurrentThreadPseudoHandle ? tCurrentObject : LookUpThread(thread);
    if (object == nullptr && thread != kCurrentThreadPseudoHandle)
        return FALSE;
    if (object == nullptr) {
        tOwnPriority = priority;
        ApplyPriority(gettid(), priority);
        return TRUE;
    }
    object->FPriority = priority;
    // A finished thread's id may already belong to another thread; the lock
    // keeps a running one from being marked finished meanwhile.
    if (!object->FFinished)
        ApplyPriority(object->FTid, priority);
    return TRUE;
}

int GetThreadPriority(HANDLE thread)
{
    std::lock_guard lock(KernelLock());
    TThreadObject* object = thread == kCurrentThreadPseudoHandle ? tCurrentObject : LookUpThread(thread);
    if (object == nullptr)
        return thread == kCurrentThreadPseudoHandle ? tOwnPriority : THREAD_PRIORITY_ERROR_RETURN;
    return object->FPriority;
}

TThread::TThread(bool createSuspended)
    : FSuspendCount(1)
    , FCreateSuspended(createSuspended)
{
    FObject = new TThreadObject();
    {
        std::lock_guard lock(KernelLock());
        FHandle = RegisterKernelHandle(FObject);
    }
    const int error = pthread_create(&FPThread, nullptr, &TThread::ThreadProc, this);
    if (error != 0) {
        std::lock_guard lock(KernelLock());
        UnregisterKernelHandle(FObject);
        throw std::system_error(error, std::generic_category(), "pthread_create");
    }
    // ThreadID must be valid when the constructor returns: callers post to it.
    std::unique_lock lock(FStateLock);
    FStateChanged.wait(lock, [this] { return FThreadID != 0; });
}

TThread::~TThread()
{
    if (!pthread_equal(pthread_self(), FPThread)) {
        {
            std::lock_guard lock(FStateLock);
            if (!FStarted && FSuspendCount > 0) {
                FCancelled = true;
                FStateChanged.notify_all();
            }
        }
        Terminate();
        pthread_join(FPThread, nullptr);
    }
    std::lock_guard lock(KernelLock());
    UnregisterKernelHandle(FObject);
}

void* TThread::ThreadProc(void* self)
{
    auto* thread = static_cast<TThread*>(self);
    const pid_t tid = gettid();
    {
        std::lock_guard lock(KernelLock());
        thread->FObject->FTid = tid;
    }
    bool run;
    {
        std::unique_lock lock(thread->FStateLock);
        thread->FThreadID = static_cast<DWORD>(tid);
        thread->FStateChanged.notify_all();
        thread->FStateChanged.wait(
            lock, [thread] { return thread->FSuspendCount == 0 || thread->FCancelled; });
        run = !thread->FCancelled;
        thread->FStarted = run;
    }
    if (run) {
        tCurrentThread = thread;
        tCurrentObject = thread->FObject;
        try {
            thread->Execute();
        } catch (...) {
            std::lock_guard lock(thread->FStateLock);
            thread->FFatalException = std::current_exception();
        }
        tCurrentThread = nullptr;
    }
    const bool freeIt = run && thread->FFreeOnTerminate.load();
    if (freeIt && thread->FatalException()) {
        // Nobody is left to ask for it: say so rather than lose it silently.
        try {
            std::rethrow_exception(thread->FatalException());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "thread %d ended by an exception: %s\n", static_cast<int>(tid), e.what());
        } catch (...) {
            std::fprintf(stderr, "thread %d ended by an exception\n", static_cast<int>(tid));
        }
    }
    thread->FFinished.store(true);
    {
        std::lock_guard lock(KernelLock());
        thread->FObject->FFinished = true;
        thread->FObject->WakeWaiters();
    }
    tCurrentObject = nullptr;
    if (freeIt) {
        pthread_detach(pthread_self());
        delete thread;
    }
    return nullptr;
}

void TThread::AfterConstruction()
{
    if (!FCreateSuspended)
        Resume();
}

void TThread::Resume()
{
    std::lock_guard lock(FStateLock);
    if (FSuspendCount > 0 && --FSuspendCount == 0)
        FStateChanged.notify_all();
}

bool TThread::Suspended() const
{
    std::lock_guard lock(FStateLock);
    return FSuspendCount > 0;
}

int TThread::WaitFor()
{
    WaitForSingleObject(FHandle, INFINITE);
    return FReturnValue.load();
}

void TThread::SetPriority(TThreadPriority value)
{
    if (value < tpIdle || value > tpTimeCritical)
        return;
    FPriority.store(value);
    SetThreadPriority(FHandle, kThreadPriorityValues[value]);
}

std::exception_ptr TThread::FatalException() const
{
    std::lock_guard lock(FStateLock);
    return FFatalException;
}

void TThread::SynchronizeMethod(const std::function<void()>& method)
{
    TSynchronizeHandler handler = gSynchronizeHandler.load();
    if (handler == nullptr || GetCurrentThreadId() == MainThreadID()) {
        method();
        return;
    }
    std::exception_ptr error;
    handler([&method, &error] {
        try {
            method();
        } catch (...) {
            error = std::current_exception();
        }
    });
    if (error)
        std::rethrow_exception(error);
}

void TThread::SetSynchronizeHandler(TSynchronizeHandler handler)
{
    gSynchronizeHandler.store(handler);
}

TThread* TThread::CurrentThread()
{
    return tCurrentThread;
}
