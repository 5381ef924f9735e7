#include "platform/kernel/KernelObject.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <unordered_set>

// One per waiting thread and wait call: the objects it waits on notify its
// condition, so a signal wakes only the threads that care.
struct TKernelWaiter {
    std::condition_variable Condition;
};

namespace {

// Never destroyed: thread-local destructors of late threads and static
// destructors of other units may still close handles during exit.
std::unordered_set<TKernelObject*>& LiveHandles()
{
    static auto* handles = new std::unordered_set<TKernelObject*>();
    return *handles;
}

thread_local DWORD tLastError = ERROR_SUCCESS;

} // namespace

std::mutex& KernelLock()
{
    static auto* lock = new std::mutex();
    return *lock;
}

TKernelObject::~TKernelObject() = default;

void TKernelObject::WakeWaiters()
{
    for (TKernelWaiter* waiter : FWaiters)
        waiter->Condition.notify_one();
}

void TKernelObject::Release()
{
    if (--FRefCount == 0)
        delete this;
}

HANDLE RegisterKernelHandle(TKernelObject* object)
{
    LiveHandles().insert(object);
    return object;
}

TKernelObject* LookUpKernelHandle(HANDLE handle)
{
    auto* object = static_cast<TKernelObject*>(handle);
    if (object == nullptr || !LiveHandles().contains(object)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

void UnregisterKernelHandle(TKernelObject* object)
{
    if (LiveHandles().erase(object) != 0)
        object->Release();
}

DWORD WaitForKernelObjects(std::unique_lock<std::mutex>& lock, DWORD count, TKernelObject* const* objects,
    bool waitAll, DWORD milliseconds)
{
    using Clock = std::chrono::steady_clock;
    const bool timed = milliseconds != INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timed ? milliseconds : 0);
    TKernelWaiter waiter;
    bool registered = false;

    auto unregister = [&] {
        if (!registered)
            return;
        for (DWORD i = 0; i < count; ++i) {
            auto& list = objects[i]->FWaiters;
            list.erase(std::remove(list.begin(), list.end(), &waiter), list.end());
        }
        registered = false;
    };

    for (;;) {
        if (waitAll) {
            bool all = true;
            for (DWORD i = 0; i < count && all; ++i)
                all = objects[i]->IsSignalled();
            if (all) {
                for (DWORD i = 0; i < count; ++i)
                    objects[i]->Acquire();
                unregister();
                return WAIT_OBJECT_0;
            }
        } else {
            for (DWORD i = 0; i < count; ++i) {
                if (objects[i]->IsSignalled()) {
                    objects[i]->Acquire();
                    unregister();
                    return WAIT_OBJECT_0 + i;
                }
            }
        }
        if (milliseconds == 0 || (timed && Clock::now() >= deadline)) {
            unregister();
            return WAIT_TIMEOUT;
        }
        if (!registered) {
            for (DWORD i = 0; i < count; ++i)
                objects[i]->FWaiters.push_back(&waiter);
            registered = true;
        }
        if (timed)
            waiter.Condition.wait_until(lock, deadline);
        else
            waiter.Condition.wait(lock);
    }
}

DWORD WaitForHandles(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds,
    TKernelObject* const* extra, DWORD extraCount)
{
    if (count + extraCount == 0 || count + extraCount > MAXIMUM_WAIT_OBJECTS
        || (count > 0 && handles == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    TKernelObject* objects[MAXIMUM_WAIT_OBJECTS];
    std::unique_lock lock(KernelLock());
    for (DWORD i = 0; i < count; ++i) {
        objects[i] = LookUpKernelHandle(handles[i]);
        if (objects[i] == nullptr)
            return WAIT_FAILED;
    }
    for (DWORD i = 0; i < extraCount; ++i)
        objects[count + i] = extra[i];
    // The references keep every object alive should another thread close its
    // handle while this one waits.
    for (DWORD i = 0; i < count; ++i)
        objects[i]->AddRef();
    const DWORD result = WaitForKernelObjects(lock, count + extraCount, objects, waitAll, milliseconds);
    for (DWORD i = 0; i < count; ++i)
        objects[i]->Release();
    return result;
}

BOOL CloseHandle(HANDLE handle)
{
    std::lock_guard lock(KernelLock());
    TKernelObject* object = LookUpKernelHandle(handle);
    if (object == nullptr)
        return FALSE;
    if (!object->ClosableByHandle()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    UnregisterKernelHandle(object);
    return TRUE;
}

DWORD GetLastError()
{
    return tLastError;
}

void SetLastError(DWORD errorCode)
{
    tLastError = errorCode;
}
