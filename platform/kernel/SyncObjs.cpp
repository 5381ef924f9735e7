#include "platform/kernel/SyncObjs.h"

#include <cerrno>
#include <system_error>

namespace {

class TEventObject final : public TKernelObject {
public:
    TEventObject(bool manualReset, bool signalled)
        : FManualReset(manualReset)
        , FSignalled(signalled)
    {
    }

    bool IsSignalled() const override { return FSignalled; }

    void Acquire() override
    {
        if (!FManualReset)
            FSignalled = false;
    }

    void Set()
    {
        FSignalled = true;
        WakeWaiters();
    }

    void Reset() { FSignalled = false; }

private:
    const bool FManualReset;
    bool FSignalled;
};

// Under KernelLock(): the event behind Handle, or nullptr with the last error
// set when the handle is not an open event.
TEventObject* LookUpEvent(HANDLE handle)
{
    TKernelObject* object = LookUpKernelHandle(handle);
    auto* event = dynamic_cast<TEventObject*>(object);
    if (object != nullptr && event == nullptr)
        SetLastError(ERROR_INVALID_HANDLE);
    return event;
}

} // namespace

void InitializeCriticalSection(TRTLCriticalSection* section)
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&section->Mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void EnterCriticalSection(TRTLCriticalSection* section)
{
    pthread_mutex_lock(&section->Mutex);
}

BOOL TryEnterCriticalSection(TRTLCriticalSection* section)
{
    return pthread_mutex_trylock(&section->Mutex) == 0 ? TRUE : FALSE;
}

void LeaveCriticalSection(TRTLCriticalSection* section)
{
    pthread_mutex_unlock(&section->Mutex);
}

void DeleteCriticalSection(TRTLCriticalSection* section)
{
    pthread_mutex_destroy(&section->Mutex);
}

HANDLE CreateEvent(void* attributes, BOOL manualReset, BOOL initialState, LPCSTR name)
{
    if (attributes != nullptr || name != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* event = new TEventObject(manualReset != FALSE, initialState != FALSE);
    std::lock_guard lock(KernelLock());
    return RegisterKernelHandle(event);
}

BOOL SetEvent(HANDLE handle)
{
    std::lock_guard lock(KernelLock());
    TEventObject* event = LookUpEvent(handle);
    if (event == nullptr)
        return FALSE;
    event->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE handle)
{
    std::lock_guard lock(KernelLock());
    TEventObject* event = LookUpEvent(handle);
    if (event == nullptr)
        return FALSE;
    event->Reset();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    return WaitForHandles(1, &handle, false, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds)
{
    return WaitForHandles(count, handles, waitAll != FALSE, milliseconds);
}

TCriticalSection::TCriticalSection()
{
    InitializeCriticalSection(&FSection);
}

TCriticalSection::~TCriticalSection()
{
    DeleteCriticalSection(&FSection);
}

TEvent::TEvent(bool manualReset, bool initialState)
    : FHandle(CreateEvent(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, nullptr))
{
    if (FHandle == nullptr)
        throw std::system_error(ENOMEM, std::generic_category(), "CreateEvent");
}

TEvent::~TEvent()
{
    CloseHandle(FHandle);
}

void TEvent::SetEvent()
{
    ::SetEvent(FHandle);
}

void TEvent::ResetEvent()
{
    ::ResetEvent(FHandle);
}

TWaitResult TEvent::WaitFor(DWORD milliseconds)
{
    switch (WaitForSingleObject(FHandle, milliseconds)) {
    case WAIT_OBJECT_0:
        return wrSignaled;
    case WAIT_TIMEOUT:
        return wrTimeout;
    case WAIT_ABANDONED_0:
        return wrAbandoned;
    default:
        return wrError;
    }
}
