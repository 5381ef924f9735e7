#include "platform/ui/MessageWindow.h"

#include "platform/ui/Application.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QThread>
#include <QTimerEvent>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace {

// One wake event per posted message; the messages themselves wait in the
// window's own queue, so that RemovePostedMessages can pick out one message
// number (Qt's posted-event queue can only drop by event type).
const QEvent::Type kWakeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type kSendEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct TSendRequest {
    TMessage Message;
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
};

// Carries a cross-thread SendMessage. Deleting it, handled or not (Qt
// deletes the events of a receiver that goes away), releases the sender.
class TSendEvent : public QEvent {
public:
    explicit TSendEvent(TSendRequest* request)
        : QEvent(kSendEvent)
        , FRequest(request)
    {
    }
    ~TSendEvent() override
    {
        std::lock_guard lock(FRequest->Lock);
        FRequest->Finished = true;
        FRequest->Done.notify_all();
    }
    TSendRequest* Request() const { return FRequest; }

private:
    TSendRequest* FRequest;
};

class THiddenWindow : public QObject {
public:
    explicit THiddenWindow(TWndMethod method)
        : FMethod(std::move(method))
    {
    }

    // Guarded by the registry lock.
    std::deque<TMessage> Queue;
    // The window's thread only.
    QHash<UINT_PTR, int> Timers; // timer id -> Qt timer id
    int DispatchDepth = 0;
    // Cleared by DeallocateHWnd (maybe from another thread): a timer event
    // already under way must not reach the method any more.
    std::atomic<bool> Live { true };

    void Dispatch(TMessage& message)
    {
        if (!FMethod || !Live.load())
            return;
        ++DispatchDepth;
        try {
            FMethod(message);
        } catch (...) {
            Application->HandleException(nullptr, std::current_exception());
        }
        --DispatchDepth;
    }

protected:
    bool event(QEvent* e) override;

    void timerEvent(QTimerEvent* e) override
    {
        for (auto it = Timers.constBegin(); it != Timers.constEnd(); ++it) {
            if (it.value() == e->timerId()) {
                TMessage message { WM_TIMER, static_cast<WPARAM>(it.key()), 0, 0 };
                Dispatch(message);
                return;
            }
        }
    }

private:
    TWndMethod FMethod;
};

struct TRegistry {
    std::mutex Lock;
    QSet<THiddenWindow*> Windows;
};

TRegistry& Registry()
{
    static TRegistry registry;
    return registry;
}

THiddenWindow* AsWindow(HWND window)
{
    return reinterpret_cast<THiddenWindow*>(window);
}

bool THiddenWindow::event(QEvent* e)
{
    if (e->type() == kWakeEvent) {
        TMessage message;
        {
            TRegistry& r = Registry();
            std::lock_guard lock(r.Lock);
            if (Queue.empty())
                return true; // its message was removed meanwhile
            message = Queue.front();
            Queue.pop_front();
        }
        Dispatch(message);
        return true;
    }
    if (e->type() == kSendEvent) {
        TSendRequest* request = static_cast<TSendEvent*>(e)->Request();
        Dispatch(request->Message);
        return true;
    }
    return QObject::event(e);
}

// The window, if it is live, with the registry locked by Lock.
THiddenWindow* Lookup(HWND window, std::unique_lock<std::mutex>& lock)
{
    TRegistry& r = Registry();
    lock = std::unique_lock(r.Lock);
    THiddenWindow* w = AsWindow(window);
    return r.Windows.contains(w) ? w : nullptr;
}

} // namespace

HWND AllocateHWnd(TWndMethod method)
{
    auto* window = new THiddenWindow(std::move(method));
    TRegistry& r = Registry();
    std::lock_guard lock(r.Lock);
    r.Windows.insert(window);
    return reinterpret_cast<HWND>(window);
}

void DeallocateHWnd(HWND window)
{
    THiddenWindow* w = nullptr;
    {
        std::unique_lock<std::mutex> lock;
        w = Lookup(window, lock);
        if (w == nullptr)
            return;
        Registry().Windows.remove(w);
        w->Queue.clear();
        w->Live.store(false);
    }
    if (w->thread() != QThread::currentThread()) {
        // Qt stops timers only in their own thread; they go with the object.
        w->deleteLater();
        return;
    }
    for (int timerId : std::as_const(w->Timers))
        w->killTimer(timerId);
    w->Timers.clear();
    // From inside its own message method the window is still on the stack:
    // let its event loop delete it. Its pending wake events find an empty
    // queue until then.
    if (w->DispatchDepth == 0)
        delete w;
    else
        w->deleteLater();
}

BOOL IsWindow(HWND window)
{
    std::unique_lock<std::mutex> lock;
    return Lookup(window, lock) != nullptr ? TRUE : FALSE;
}

BOOL PostMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    std::unique_lock<std::mutex> lock;
    THiddenWindow* w = Lookup(window, lock);
    if (w == nullptr || w->Queue.size() >= static_cast<size_t>(kMaxWindowMessages))
        return FALSE;
    w->Queue.push_back(TMessage { msg, wParam, lParam, 0 });
    // Posted under the registry lock: the window cannot be deallocated
    // between the look-up and the post.
    QCoreApplication::postEvent(w, new QEvent(kWakeEvent));
    return TRUE;
}

LRESULT SendMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    THiddenWindow* w = nullptr;
    TSendRequest request;
    request.Message = TMessage { msg, wParam, lParam, 0 };
    {
        std::unique_lock<std::mutex> lock;
        w = Lookup(window, lock);
        if (w == nullptr)
            return 0;
        if (w->thread() != QThread::currentThread()) {
            QCoreApplication::postEvent(w, new TSendEvent(&request));
        } else {
            lock.unlock();
            w->Dispatch(request.Message);
            return request.Message.Result;
        }
    }
    std::unique_lock lock(request.Lock);
    request.Done.wait(lock, [&request] { return request.Finished; });
    return request.Message.Result;
}

int RemovePostedMessages(HWND window, UINT msg)
{
    std::unique_lock<std::mutex> lock;
    THiddenWindow* w = Lookup(window, lock);
    if (w == nullptr)
        return 0;
    const auto before = w->Queue.size();
    std::erase_if(w->Queue, [msg](const TMessage& m) { return m.Msg == msg; });
    return static_cast<int>(before - w->Queue.size());
}

int PostedMessageCount(HWND window)
{
    std::unique_lock<std::mutex> lock;
    THiddenWindow* w = Lookup(window, lock);
    return w != nullptr ? static_cast<int>(w->Queue.size()) : 0;
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse)
{
    THiddenWindow* w = nullptr;
    {
        std::unique_lock<std::mutex> lock;
        w = Lookup(window, lock);
    }
    if (w == nullptr || id == 0 || w->thread() != QThread::currentThread())
        return 0;
    const int interval = static_cast<int>(std::clamp<UINT>(elapse, USER_TIMER_MINIMUM, 0x7FFFFFFF));
    auto it = w->Timers.find(id);
    if (it != w->Timers.end()) {
        w->killTimer(it.value());
        w->Timers.erase(it);
    }
    const int timerId = w->startTimer(interval, Qt::PreciseTimer);
    if (timerId == 0)
        return 0;
    w->Timers.insert(id, timerId);
    return id;
}

BOOL KillTimer(HWND window, UINT_PTR id)
{
    THiddenWindow* w = nullptr;
    {
        std::unique_lock<std::mutex> lock;
        w = Lookup(window, lock);
    }
    if (w == nullptr || w->thread() != QThread::currentThread())
        return FALSE;
    auto it = w->Timers.find(id);
    if (it == w->Timers.end())
        return FALSE;
    w->killTimer(it.value());
    w->Timers.erase(it);
    return TRUE;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}
