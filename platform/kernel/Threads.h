#pragma once
// Threads: the TThread base class the components derive their workers from,
// thread identities and the seven-step priority scale mapped onto what Linux
// allows.

#include "platform/kernel/KernelObject.h"
#include "platform/kernel/WinTypes.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <pthread.h>

// The priorities SetThreadPriority accepts (the values of the seven-step scale).
constexpr int THREAD_PRIORITY_IDLE = -15;
constexpr int THREAD_PRIORITY_LOWEST = -2;
constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
constexpr int THREAD_PRIORITY_HIGHEST = 2;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
constexpr int THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF;

/// The calling thread's identity (its Linux thread id), the one
/// PostThreadMessage addresses.
DWORD GetCurrentThreadId();

/// The thread that initialised the program (the one running main()).
DWORD MainThreadID();

/// A pseudo handle meaning "the calling thread", for SetThreadPriority and
/// GetThreadPriority only; it need not be closed.
HANDLE GetCurrentThread();

/// Sets a thread's priority, one of the THREAD_PRIORITY_* values, on a
/// TThread's Handle or GetCurrentThread(). Linux gives each step what the
/// process is allowed to have:
///   idle            SCHED_IDLE
///   lowest          nice 10
///   below normal    nice 5
///   normal          nice 0
///   above normal    nice -5
///   highest         SCHED_RR priority 1, else nice -10
///   time critical   SCHED_RR priority 2, else nice -15
/// A step the system refuses (no CAP_SYS_NICE, no RLIMIT_RTPRIO) falls back to
/// the next weaker one and finally leaves the thread as it is: the call still
/// succeeds, since the thread runs correctly either way. FALSE only for a
/// handle that is not a thread (ERROR_INVALID_HANDLE) or a value off the scale
/// (ERROR_INVALID_PARAMETER). A thread that has finished accepts and ignores it.
BOOL SetThreadPriority(HANDLE thread, int priority);

/// The value last given to SetThreadPriority for the thread (normal when none
/// was), THREAD_PRIORITY_ERROR_RETURN for a handle that is not a thread.
int GetThreadPriority(HANDLE thread);

/// The seven-step scale of TThread::Priority, in order; its ordinal indexes
/// kThreadPriorityValues.
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

/// The SetThreadPriority value of each TThreadPriority.
constexpr int kThreadPriorityValues[]
    = { THREAD_PRIORITY_IDLE, THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
          THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST, THREAD_PRIORITY_TIME_CRITICAL };

class TThreadObject;

/// Base of a worker thread: derive, override Execute, create it suspended,
/// set it up and Resume it.
///
/// Life: the constructor makes the system thread at once, parked until the
/// thread is resumed. Execute then runs in it; when Execute returns (or
/// throws: the exception is kept in FatalException) the thread is finished,
/// its Handle becomes signalled, and with FreeOnTerminate the thread deletes
/// its TThread itself. Otherwise the owner deletes it; the destructor of a
/// thread that is still running asks it to Terminate and waits for it, and
/// one that never ran is ended without running Execute. Derived classes whose
/// Execute uses their own members must Terminate and WaitFor in their own
/// destructor, since those members are gone before ~TThread runs.
class TThread {
public:
    /// CreateSuspended true: the thread waits for Resume. False: it starts as
    /// soon as the object is complete, which C++ cannot see from inside a base
    /// constructor: create such threads with TThread::Create<T>(...), which
    /// calls AfterConstruction. Throws std::system_error when the system
    /// refuses a thread.
    explicit TThread(bool createSuspended);
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    /// new T(args...) followed by AfterConstruction(); T's constructor passes
    /// the createSuspended it wants to TThread's.
    template <class T, class... Args> static T* Create(Args&&... args)
    {
        T* thread = new T(std::forward<Args>(args)...);
        thread->AfterConstruction();
        return thread;
    }

    /// Starts a thread constructed with createSuspended false; does nothing
    /// for one constructed suspended.
    void AfterConstruction();

    /// Takes back one suspension: a thread created suspended starts running.
    /// Resuming a running thread does nothing.
    void Resume();
    bool Suspended() const;

    /// Asks Execute to end: sets Terminated, which Execute should watch.
    void Terminate() { FTerminated.store(true); }
    bool Terminated() const { return FTerminated.load(); }

    /// True once Execute has ended.
    bool Finished() const { return FFinished.load(); }

    /// Waits until Execute has ended and returns ReturnValue. Must not be
    /// called from the thread itself, nor for a FreeOnTerminate thread (its
    /// object may be gone). Called from the main thread while the thread waits
    /// in Synchronize it deadlocks, as the main thread cannot serve the call:
    /// wait for an event the thread signals instead, with a time-out.
    int WaitFor();

    /// The value Execute left with SetReturnValue (0 by default).
    int ReturnValue() const { return FReturnValue.load(); }

    /// When set, the thread deletes this object after Execute ends. Set it
    /// before the thread can finish (normally before Resume).
    bool FreeOnTerminate() const { return FFreeOnTerminate.load(); }
    void SetFreeOnTerminate(bool value) { FFreeOnTerminate.store(value); }

    /// The waitable thread handle (signalled once Execute has ended), owned by
    /// this object: never CloseHandle it.
    HANDLE Handle() const { return FHandle; }
    DWORD ThreadID() const { return FThreadID; }

    TThreadPriority Priority() const { return FPriority.load(); }

    /// Applies Value through SetThreadPriority (never fails, see there).
    void SetPriority(TThreadPriority value);

    /// The exception that ended Execute, if one did.
    std::exception_ptr FatalException() const;

    /// Runs Method in the program's main thread and waits for it, through the
    /// handler the user-interface layer installs; an exception Method raises is
    /// raised again here. From the main thread, or while no handler is
    /// installed (no user interface), Method runs directly in the caller.
    void Synchronize(const std::function<void()>& method) { SynchronizeMethod(method); }

    /// The same for code that is not a TThread's.
    static void SynchronizeMethod(const std::function<void()>& method);

    /// How the user-interface layer runs Method in the main thread: it must
    /// call Method there and return only when it has returned (it may be called
    /// from the main thread itself and then just calls Method); Method does not
    /// throw. Install once at start-up, nullptr removes it.
    using TSynchronizeHandler = void (*)(const std::function<void()>& method);
    static void SetSynchronizeHandler(TSynchronizeHandler handler);

    /// The TThread whose Execute is running the caller, nullptr in any other
    /// thread.
    static TThread* CurrentThread();

protected:
    /// The thread's work; runs in the thread. Should end soon after Terminated
    /// becomes true.
    virtual void Execute() = 0;

    void SetReturnValue(int value) { FReturnValue.store(value); }

private:
    static void* ThreadProc(void* self);

    TThreadObject* FObject = nullptr;
    HANDLE FHandle = nullptr;
    DWORD FThreadID = 0;
    pthread_t FPThread {};

    mutable std::mutex FStateLock;
    std::condition_variable FStateChanged;
    int FSuspendCount;
    bool FCreateSuspended;
    bool FCancelled = false;
    bool FStarted = false;
    std::exception_ptr FFatalException;

    std::atomic<bool> FTerminated { false };
    std::atomic<bool> FFinished { false };
    std::atomic<bool> FFreeOnTerminate { false };
    std::atomic<int> FReturnValue { 0 };
    std::atomic<TThreadPriority> FPriority { tpNormal };
};
