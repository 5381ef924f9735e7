#pragma once
// Critical sections and events with the Windows functions the components call
// (InitializeCriticalSection ... DeleteCriticalSection, CreateEvent, SetEvent,
// ResetEvent, WaitForSingleObject, WaitForMultipleObjects) and the two small
// classes wrapping them (TCriticalSection, TEvent). Every function may be
// called from any thread.

#include "platform/kernel/KernelObject.h"
#include "platform/kernel/WinTypes.h"

#include <pthread.h>

/// A recursive lock: the thread holding it may enter again and must leave as
/// often as it entered. Plain data, set up by InitializeCriticalSection and
/// torn down by DeleteCriticalSection.
struct TRTLCriticalSection {
    pthread_mutex_t Mutex;
};
using RTL_CRITICAL_SECTION = TRTLCriticalSection;
using CRITICAL_SECTION = TRTLCriticalSection;
using LPCRITICAL_SECTION = TRTLCriticalSection*;

/// Makes Section ready for use. Not for a section that is in use.
void InitializeCriticalSection(TRTLCriticalSection* section);

/// Waits until no other thread holds Section, then holds it (once more when the
/// calling thread already holds it).
void EnterCriticalSection(TRTLCriticalSection* section);

/// Holds Section when that is possible without waiting; TRUE when it did.
BOOL TryEnterCriticalSection(TRTLCriticalSection* section);

/// Gives back one hold of Section; the calling thread must hold it.
void LeaveCriticalSection(TRTLCriticalSection* section);

/// Frees what InitializeCriticalSection set up. Section must not be held.
void DeleteCriticalSection(TRTLCriticalSection* section);

/// A new event: ManualReset events stay signalled until ResetEvent; auto-reset
/// ones release exactly one wait and reset themselves. Attributes must be
/// nullptr and Name nullptr (named events are not supported: nullptr with
/// ERROR_INVALID_PARAMETER). Returns the handle, closed with CloseHandle.
HANDLE CreateEvent(void* attributes, BOOL manualReset, BOOL initialState, LPCSTR name);
inline HANDLE CreateEventA(void* attributes, BOOL manualReset, BOOL initialState, LPCSTR name)
{
    return CreateEvent(attributes, manualReset, initialState, name);
}

/// Signals the event; FALSE (ERROR_INVALID_HANDLE) for a handle that is not an
/// open event.
BOOL SetEvent(HANDLE event);

/// Makes the event unsignalled; FALSE as SetEvent.
BOOL ResetEvent(HANDLE event);

/// Waits for an event or a thread handle: WAIT_OBJECT_0 when it is (or
/// becomes) signalled, WAIT_TIMEOUT after Milliseconds (INFINITE: never; 0:
/// only test), WAIT_FAILED for a handle that is not open.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

/// Waits for any (waitAll FALSE: WAIT_OBJECT_0 + the lowest index signalled)
/// or all (waitAll TRUE: WAIT_OBJECT_0, all acquired at once) of Count
/// handles, 1 to MAXIMUM_WAIT_OBJECTS; WAIT_TIMEOUT or WAIT_FAILED as
/// WaitForSingleObject.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

/// A recursive lock object. Usable with std::lock_guard/std::unique_lock too.
class TCriticalSection {
public:
    TCriticalSection();
    ~TCriticalSection();
    TCriticalSection(const TCriticalSection&) = delete;
    TCriticalSection& operator=(const TCriticalSection&) = delete;

    void Enter() { EnterCriticalSection(&FSection); }
    void Leave() { LeaveCriticalSection(&FSection); }
    void Acquire() { Enter(); }
    void Release() { Leave(); }
    bool TryEnter() { return TryEnterCriticalSection(&FSection) != FALSE; }

    // The standard Lockable names, so the standard guards work.
    void lock() { Enter(); }
    void unlock() { Leave(); }
    bool try_lock() { return TryEnter(); }

    /// The underlying section, for the functions that take one.
    TRTLCriticalSection* Section() { return &FSection; }

private:
    TRTLCriticalSection FSection;
};

/// Holds a critical section for its own lifetime.
class TCriticalSectionLock {
public:
    explicit TCriticalSectionLock(TRTLCriticalSection& section)
        : FSection(&section)
    {
        EnterCriticalSection(FSection);
    }
    explicit TCriticalSectionLock(TCriticalSection& section)
        : TCriticalSectionLock(*section.Section())
    {
    }
    ~TCriticalSectionLock() { LeaveCriticalSection(FSection); }
    TCriticalSectionLock(const TCriticalSectionLock&) = delete;
    TCriticalSectionLock& operator=(const TCriticalSectionLock&) = delete;

private:
    TRTLCriticalSection* FSection;
};

enum TWaitResult { wrSignaled, wrTimeout, wrAbandoned, wrError };

/// An event object owning its handle.
class TEvent {
public:
    /// Throws std::system_error when no event can be made.
    explicit TEvent(bool manualReset = true, bool initialState = false);
    ~TEvent();
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;

    void SetEvent();
    void ResetEvent();

    /// wrSignaled, wrTimeout after Milliseconds, wrError.
    TWaitResult WaitFor(DWORD milliseconds = INFINITE);

    /// For WaitForMultipleObjects and the like; stays owned by this object.
    HANDLE Handle() const { return FHandle; }

private:
    HANDLE FHandle;
};
