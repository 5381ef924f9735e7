#include "mm/display/MMTimer.h"

#include "platform/kernel/SyncObjs.h"
#include "platform/mm/MMTimers.h"
#include "platform/ui/Application.h"
#include "platform/ui/SysUtils.h"

#include <atomic>
#include <utility>

namespace {

struct TSubscriber {
    TSubscriber* Next = nullptr;
    TMMTimerId Id = 0;
    int Interval = kMMTimerPeriod;
    int Elapsed = 0; // accumulated steps, in ms
    int SuspendCount = 0;
    bool Removed = false; // unsubscribed while a tick walks the list
    TMMTimerCallback Callback;
};

// Everything below is guarded by Lock, except InTick, which a tick tests
// before it takes the lock.
struct TService {
    TCriticalSection Lock;
    TSubscriber* First = nullptr;
    int Count = 0; // live (not removed) subscribers
    int Running = 0; // live subscribers not suspended
    TMMTimerId NextId = 1;
    UINT TimerId = 0;
    int Walking = 0; // ticks walking the list (0 or 1)
    std::atomic<bool> InTick { false };
};

TService& Service()
{
    static TService service;
    return service;
}

int EffectiveInterval(int intervalMs)
{
    return intervalMs < kMMTimerPeriod ? kMMTimerPeriod : intervalMs;
}

TSubscriber* Find(TService& s, TMMTimerId id)
{
    for (TSubscriber* node = s.First; node != nullptr; node = node->Next) {
        if (node->Id == id && !node->Removed)
            return node;
    }
    return nullptr;
}

// Unlinks and frees the subscribers marked while a tick walked the list.
void Purge(TService& s)
{
    TSubscriber** link = &s.First;
    while (*link != nullptr) {
        TSubscriber* node = *link;
        if (node->Removed) {
            *link = node->Next;
            delete node;
        } else {
            link = &node->Next;
        }
    }
}

void TickProc(UINT timerId, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    TService& s = Service();
    // A tick of the old timer can meet the first of a new one while the
    // service restarts; the later one is dropped rather than waiting.
    if (s.InTick.exchange(true))
        return;
    {
        TCriticalSectionLock lock(s.Lock);
        // A tick of a timer that is being stopped finds another id (or none).
        if (timerId == s.TimerId) {
            ++s.Walking;
            for (TSubscriber* node = s.First; node != nullptr; node = node->Next) {
                if (node->Removed || node->SuspendCount > 0)
                    continue;
                node->Elapsed += kMMTimerPeriod;
                if (node->Elapsed < node->Interval)
                    continue;
                node->Elapsed = 0;
                try {
                    node->Callback();
                } catch (...) {
                    Application->HandleException(nullptr, std::current_exception());
                }
            }
            if (--s.Walking == 0)
                Purge(s);
        }
    }
    s.InTick.store(false);
}

// Starts the underlying timer if it does not run. Caller holds Lock.
void StartTimer(TService& s)
{
    if (s.TimerId != 0)
        return;
    timeBeginPeriod(kMMTimerPeriod);
    const UINT id = timeSetEvent(kMMTimerPeriod, 0, &TickProc, 0, TIME_PERIODIC | TIME_CALLBACK_FUNCTION);
    if (id == 0) {
        timeEndPeriod(kMMTimerPeriod);
        throw EOutOfResources(QStringLiteral("Not enough timers available"));
    }
    s.TimerId = id;
}

// Takes the underlying timer away when no subscriber is left to call; the
// caller stops it with StopTimer once it has let go of Lock.
UINT TimerToStop(TService& s)
{
    if (s.Running > 0)
        return 0;
    return std::exchange(s.TimerId, 0);
}

// Outside the lock: timeKillEvent waits for a tick that may be waiting for
// the lock.
void StopTimer(UINT stopping)
{
    if (stopping != 0) {
        timeKillEvent(stopping);
        timeEndPeriod(kMMTimerPeriod);
    }
}

} // namespace

TMMTimerId MMTimerSubscribe(int intervalMs, TMMTimerCallback callback)
{
    TService& s = Service();
    TCriticalSectionLock lock(s.Lock);
    StartTimer(s);
    auto* node = new TSubscriber;
    node->Id = s.NextId++;
    if (s.NextId == 0)
        s.NextId = 1;
    node->Interval = EffectiveInterval(intervalMs);
    node->Callback = std::move(callback);
    TSubscriber** link = &s.First;
    while (*link != nullptr)
        link = &(*link)->Next;
    *link = node;
    ++s.Count;
    ++s.Running;
    return node->Id;
}

void MMTimerUnsubscribe(TMMTimerId id)
{
    if (id == 0)
        return;
    TService& s = Service();
    UINT stopping = 0;
    {
        TCriticalSectionLock lock(s.Lock);
        TSubscriber* node = Find(s, id);
        if (node == nullptr)
            return;
        node->Removed = true;
        --s.Count;
        if (node->SuspendCount == 0)
            --s.Running;
        // Called from a callback, the walk still stands on the list.
        if (s.Walking == 0)
            Purge(s);
        stopping = TimerToStop(s);
    }
    StopTimer(stopping);
}

void MMTimerSuspend(TMMTimerId id)
{
    TService& s = Service();
    UINT stopping = 0;
    {
        TCriticalSectionLock lock(s.Lock);
        if (TSubscriber* node = Find(s, id)) {
            if (node->SuspendCount++ == 0)
                --s.Running;
            node->Elapsed = 0;
            stopping = TimerToStop(s);
        }
    }
    StopTimer(stopping);
}

void MMTimerResume(TMMTimerId id)
{
    TService& s = Service();
    TCriticalSectionLock lock(s.Lock);
    if (TSubscriber* node = Find(s, id); node != nullptr && node->SuspendCount > 0) {
        if (--node->SuspendCount == 0) {
            ++s.Running;
            StartTimer(s);
        }
    }
}

void MMTimerSetInterval(TMMTimerId id, int intervalMs)
{
    TService& s = Service();
    TCriticalSectionLock lock(s.Lock);
    if (TSubscriber* node = Find(s, id)) {
        node->Interval = EffectiveInterval(intervalMs);
        node->Elapsed = 0;
    }
}

bool MMTimerSuspended(TMMTimerId id)
{
    TService& s = Service();
    TCriticalSectionLock lock(s.Lock);
    const TSubscriber* node = Find(s, id);
    return node != nullptr && node->SuspendCount > 0;
}

int MMTimerSubscriberCount()
{
    TService& s = Service();
    TCriticalSectionLock lock(s.Lock);
    return s.Count;
}

unsigned MMTimerTimerId()
{
    TService& s = Service();
    TCriticalSectionLock lock(s.Lock);
    return s.TimerId;
}
