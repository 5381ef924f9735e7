#include "platform/kernel/Messages.h"

#include "platform/kernel/Clock.h"
#include "platform/kernel/KernelObject.h"
#include "platform/kernel/Threads.h"

#include <deque>
#include <unordered_map>

namespace {

// A thread's queue. Signalled (for its own thread's waits) while it holds a
// message of the range that wait is interested in.
class TMessageQueue final : public TKernelObject {
public:
    explicit TMessageQueue(DWORD threadId)
        : FThreadId(threadId)
    {
    }

    bool IsSignalled() const override
    {
        return FWakeOnMessages && Find(FFilterMin, FFilterMax) != FMessages.end();
    }

    std::deque<MSG>::const_iterator Find(UINT filterMin, UINT filterMax) const
    {
        if (filterMin == 0 && filterMax == 0)
            return FMessages.begin();
        for (auto it = FMessages.begin(); it != FMessages.end(); ++it) {
            if (it->message >= filterMin && it->message <= filterMax)
                return it;
        }
        return FMessages.end();
    }

    const DWORD FThreadId;
    std::deque<MSG> FMessages;
    // What the owning thread's current wait is waiting for.
    UINT FFilterMin = 0;
    UINT FFilterMax = 0;
    bool FWakeOnMessages = true;
};

// Under KernelLock(). Never destroyed, see LiveHandles().
std::unordered_map<DWORD, TMessageQueue*>& Queues()
{
    static auto* queues = new std::unordered_map<DWORD, TMessageQueue*>();
    return *queues;
}

// Takes the thread's queue out of reach when the thread ends, so that a later
// thread given the same id does not inherit it.
struct TQueueHolder {
    TMessageQueue* FQueue = nullptr;

    ~TQueueHolder()
    {
        if (FQueue == nullptr)
            return;
        std::lock_guard lock(KernelLock());
        Queues().erase(FQueue->FThreadId);
        FQueue->Release();
    }
};

thread_local TQueueHolder tQueue;

// Under KernelLock(): the calling thread's queue, made on first use.
TMessageQueue* OwnQueue()
{
    if (tQueue.FQueue == nullptr) {
        const DWORD threadId = GetCurrentThreadId();
        tQueue.FQueue = new TMessageQueue(threadId);
        Queues()[threadId] = tQueue.FQueue;
    }
    return tQueue.FQueue;
}

bool IsThreadWindow(HWND window)
{
    return window == nullptr || window == reinterpret_cast<HWND>(static_cast<intptr_t>(-1));
}

} // namespace

BOOL PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam)
{
    const DWORD now = GetTickCount();
    std::lock_guard lock(KernelLock());
    auto found = Queues().find(threadId);
    if (found == Queues().end()) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    TMessageQueue* queue = found->second;
    if (queue->FMessages.size() >= static_cast<size_t>(kMaxQueuedMessages)) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    queue->FMessages.push_back(MSG { nullptr, msg, wParam, lParam, now, POINT { 0, 0 } });
    queue->WakeWaiters();
    return TRUE;
}

BOOL PeekMessage(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMsg)
{
    std::lock_guard lock(KernelLock());
    TMessageQueue* queue = OwnQueue();
    if (msg == nullptr || !IsThreadWindow(window))
        return FALSE;
    auto found = queue->Find(filterMin, filterMax);
    if (found == queue->FMessages.end())
        return FALSE;
    *msg = *found;
    if ((removeMsg & PM_REMOVE) != 0)
        queue->FMessages.erase(found);
    return TRUE;
}

BOOL GetMessage(LPMSG msg, HWND window, UINT filterMin, UINT filterMax)
{
    if (msg == nullptr || !IsThreadWindow(window)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    std::unique_lock lock(KernelLock());
    TMessageQueue* queue = OwnQueue();
    queue->FFilterMin = filterMin;
    queue->FFilterMax = filterMax;
    queue->FWakeOnMessages = true;
    TKernelObject* objects[] = { queue };
    WaitForKernelObjects(lock, 1, objects, false, INFINITE);
    auto found = queue->Find(filterMin, filterMax);
    *msg = *found;
    queue->FMessages.erase(found);
    return msg->message == WM_QUIT ? 0 : 1;
}

DWORD MsgWaitForMultipleObjects(
    DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds, DWORD wakeMask)
{
    if (count + 1 > MAXIMUM_WAIT_OBJECTS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    TKernelObject* queue;
    {
        std::lock_guard lock(KernelLock());
        TMessageQueue* own = OwnQueue();
        own->FFilterMin = 0;
        own->FFilterMax = 0;
        own->FWakeOnMessages = (wakeMask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE)) != 0;
        queue = own;
    }
    // The queue lives as long as this thread, so it needs no extra reference.
    return WaitForHandles(count, handles, waitAll != FALSE, milliseconds, &queue, 1);
}
