#pragma once
// The waitable objects behind HANDLEs (events, threads, thread message queues)
// and the one wait loop they share, plus the per-thread last-error code.
//
// All state of all kernel objects is guarded by one process-wide lock,
// KernelLock(). A wait registers the waiting thread with every object it
// waits on; an object that becomes signalled wakes only those threads. This
// makes wait-any and wait-all over mixed objects simple and exact, and the
// lock is held only for a few instructions at a time.

#include "platform/kernel/WinTypes.h"

#include <mutex>
#include <vector>

// Results of the wait functions.
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_ABANDONED_0 = 0x00000080;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

struct TKernelWaiter;

/// Base of every object a HANDLE stands for. Reference counted: the handle
/// holds one reference, every thread waiting on the object holds one more, so
/// closing a handle while another thread waits on it is safe (that wait goes
/// on until it is satisfied or times out).
class TKernelObject {
public:
    TKernelObject() = default;
    TKernelObject(const TKernelObject&) = delete;
    TKernelObject& operator=(const TKernelObject&) = delete;

    /// True when a wait on the object would be satisfied now. Under KernelLock().
    virtual bool IsSignalled() const = 0;

    /// What a satisfied wait does to the object (an auto-reset event resets).
    /// Under KernelLock().
    virtual void Acquire() { }

    /// Wakes every thread waiting on the object so that it looks again. Call
    /// under KernelLock() after a change that may have signalled the object.
    void WakeWaiters();

    /// False for objects whose handle only their owner may close (threads).
    virtual bool ClosableByHandle() const { return true; }

    /// One more reference. Under KernelLock().
    void AddRef() { ++FRefCount; }

    /// One reference less; the object is deleted with the last one. Under
    /// KernelLock(); the destructor must not take the lock.
    void Release();

    /// Only Release deletes a kernel object.
    virtual ~TKernelObject();

private:
    friend DWORD WaitForKernelObjects(std::unique_lock<std::mutex>& lock, DWORD count,
        TKernelObject* const* objects, bool waitAll, DWORD milliseconds);

    std::vector<TKernelWaiter*> FWaiters;
    int FRefCount = 1;
};

/// The lock guarding all kernel objects' state.
std::mutex& KernelLock();

/// Makes Object reachable through a HANDLE (the object's address) and hands
/// the object's first reference to that handle. Under KernelLock().
HANDLE RegisterKernelHandle(TKernelObject* object);

/// The object behind a HANDLE that is open now, or nullptr (last error
/// ERROR_INVALID_HANDLE) for a closed, foreign or null handle. Under
/// KernelLock(); the caller adds a reference if it keeps the object past the
/// lock.
TKernelObject* LookUpKernelHandle(HANDLE handle);

/// Takes the handle of Object out of use (it is no longer found) and drops
/// the handle's reference. Under KernelLock(). For owners such as TThread.
void UnregisterKernelHandle(TKernelObject* object);

/// The wait loop of every wait function: waits until one (waitAll false) or
/// all (waitAll true) of the objects are signalled, then acquires it (them)
/// and returns WAIT_OBJECT_0 + index (wait-any: the lowest signalled index;
/// wait-all: WAIT_OBJECT_0), or WAIT_TIMEOUT after Milliseconds (INFINITE
/// never times out; 0 only tests). Wait-all acquires all objects at once or
/// none. Lock holds KernelLock() on entry and on return; the objects must stay
/// alive while the call lasts (the caller holds references).
DWORD WaitForKernelObjects(std::unique_lock<std::mutex>& lock, DWORD count, TKernelObject* const* objects,
    bool waitAll, DWORD milliseconds);

/// The wait functions' common front: looks up Count handles (1 to
/// MAXIMUM_WAIT_OBJECTS - Extra), appends the Extra objects (already
/// referenced by the caller, e.g. a message queue) and waits as
/// WaitForKernelObjects does. WAIT_FAILED with ERROR_INVALID_PARAMETER or
/// ERROR_INVALID_HANDLE on bad arguments.
DWORD WaitForHandles(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds,
    TKernelObject* const* extra = nullptr, DWORD extraCount = 0);

/// Closes a handle: the object goes when its last waiter has left. FALSE (last
/// error ERROR_INVALID_HANDLE) for a handle that is not open. A thread handle
/// belongs to its TThread, which closes it; closing it elsewhere is refused.
BOOL CloseHandle(HANDLE handle);

/// The calling thread's last error code, as the kernel functions set it.
DWORD GetLastError();
void SetLastError(DWORD errorCode);
