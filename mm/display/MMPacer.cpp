#include "mm/display/MMPacer.h"

#include "platform/ui/Controls.h"

#include <QThread>
#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

/// One frame clock per thread serves all its pacers: the displays that
/// want drawing are drawn together, in one paint of their window (a
/// TPaintBatch), on one timer, instead of each on its own at its own moment.
///
/// A request from another thread (a meter's peak tick, a buffer delivered
/// in a worker thread) is left in the clock's inbox while a frame is armed,
/// and that frame takes it in: the thread is woken by a posted call only
/// when no frame would come anyway.
class TMMFrameClock {
public:
    static TMMFrameClock& OfThisThread()
    {
        thread_local std::unique_ptr<TMMFrameClock> clock;
        if (!clock)
            clock = std::make_unique<TMMFrameClock>();
        return *clock;
    }

    TMMFrameClock()
    {
        FTimer.setSingleShot(true);
        FTimer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&FTimer, &QTimer::timeout, [this] { Fire(); });
    }

    void Add(TMMFramePacer* pacer)
    {
        if (std::find(FDue.begin(), FDue.end(), pacer) == FDue.end())
            FDue.push_back(pacer);
        // Asked for while the first pacers run: drawn in this frame.
        if (FRunningFirst)
            return;
        // A frame armed for a later draw only comes sooner for this one.
        if (FTimer.isActive() && FTimer.remainingTime() <= Delay())
            return;
        Start();
    }

    void Remove(TMMFramePacer* pacer)
    {
        std::erase(FDue, pacer);
        std::lock_guard lock(FInboxLock);
        std::erase(FInbox, pacer);
        if (FDue.empty() && FInbox.empty()) {
            FTimer.stop();
            FArmed = false;
        }
    }

    // Another thread's request: true when an armed frame will take it in.
    bool Post(TMMFramePacer* pacer)
    {
        std::lock_guard lock(FInboxLock);
        if (!FArmed)
            return false;
        if (std::find(FInbox.begin(), FInbox.end(), pacer) == FInbox.end())
            FInbox.push_back(pacer);
        return true;
    }

    bool FireIfDue()
    {
        {
            std::lock_guard lock(FInboxLock);
            if (FDue.empty() && FInbox.empty())
                return false;
        }
        FTimer.stop();
        Fire();
        return true;
    }

    // Milliseconds on this thread's frame clock.
    qint64 Now()
    {
        if (!FClock.isValid())
            FClock.start();
        return FClock.elapsed();
    }

private:
    // Until the next frame: a frame after the last one, or later when every
    // pacer waiting may wait (RequestLater).
    qint64 Delay()
    {
        const qint64 since = FSinceFrame.isValid() ? FSinceFrame.elapsed() : TMMFramePacer::kFrameMs;
        const qint64 frame = std::max<qint64>(0, TMMFramePacer::kFrameMs - since);
        qint64 delay = -1;
        for (const TMMFramePacer* pacer : FDue) {
            const qint64 own = pacer->FLate ? std::max(frame, pacer->FLateBy - Now()) : frame;
            delay = delay < 0 ? own : std::min(delay, own);
        }
        return delay < 0 ? frame : delay;
    }

    void Start()
    {
        FTimer.start(int(Delay()));
        std::lock_guard lock(FInboxLock);
        FArmed = true;
    }

    // What other threads asked for joins the frame; from here until the
    // next frame is armed they post again.
    void TakeInbox()
    {
        std::lock_guard lock(FInboxLock);
        FArmed = false;
        for (TMMFramePacer* pacer : FInbox) {
            if (std::find(FDue.begin(), FDue.end(), pacer) == FDue.end())
                FDue.push_back(pacer);
        }
        FInbox.clear();
    }

    // Runs the pacers of List in order; a draw may cancel or destroy a
    // pacer still in the list, or ask again for the next frame: each is
    // taken out before it runs.
    void RunList(std::vector<TMMFramePacer*>& list)
    {
        FFiring = &list;
        try {
            while (!list.empty()) {
                TMMFramePacer* pacer = list.front();
                list.erase(list.begin());
                pacer->Fire();
            }
        } catch (...) {
            FFiring = nullptr;
            FRunningFirst = false;
            throw;
        }
        FFiring = nullptr;
    }

    void Fire()
    {
        FSinceFrame.restart();
        TakeInbox();
        // First the pacers that feed the displays; what they show is drawn
        // below, in this frame.
        std::vector<TMMFramePacer*> first;
        for (auto it = FDue.begin(); it != FDue.end();) {
            if ((*it)->FFirst) {
                first.push_back(*it);
                it = FDue.erase(it);
            } else {
                ++it;
            }
        }
        if (!first.empty()) {
            FRunningFirst = true;
            RunList(first);
            FRunningFirst = false;
        }
        // A first pacer that asked again waits for the next frame.
        std::vector<TMMFramePacer*> due;
        for (auto it = FDue.begin(); it != FDue.end();) {
            if (!(*it)->FFirst) {
                due.push_back(*it);
                it = FDue.erase(it);
            } else {
                ++it;
            }
        }
        if (!due.empty()) {
            TPaintBatch batch;
            RunList(due);
        }
        if (!FDue.empty() && !FTimer.isActive())
            Start();
    }

public:
    // The pacers of the frame being drawn, while it is.
    std::vector<TMMFramePacer*>* FFiring = nullptr;

private:
    QTimer FTimer;
    QElapsedTimer FSinceFrame;
    QElapsedTimer FClock;
    std::vector<TMMFramePacer*> FDue;
    bool FRunningFirst = false;
    std::mutex FInboxLock;
    std::vector<TMMFramePacer*> FInbox; // guarded by FInboxLock
    bool FArmed = false; // guarded by FInboxLock: a frame will come
};

TMMFramePacer::TMMFramePacer(QObject* context, std::function<void()> draw, bool first)
    : FContext(context)
    , FDraw(std::move(draw))
    , FFirst(first)
{
    if (QThread::currentThread() == context->thread())
        FClock.store(&TMMFrameClock::OfThisThread());
}

bool TMMFramePacer::DrawFrameNow()
{
    return TMMFrameClock::OfThisThread().FireIfDue();
}

TMMFramePacer::~TMMFramePacer()
{
    Unclock();
}

void TMMFramePacer::Unclock()
{
    if (QThread::currentThread() != FContext->thread())
        return;
    TMMFrameClock& clock = TMMFrameClock::OfThisThread();
    clock.Remove(this);
    if (clock.FFiring != nullptr)
        std::erase(*clock.FFiring, this);
}

void TMMFramePacer::Request()
{
    if (QThread::currentThread() == FContext->thread()) {
        // A draw asked for later comes with the next frame now.
        const bool late = FLate;
        FLate = false;
        if (FPending.exchange(true, std::memory_order_acq_rel) && !late)
            return;
        Arm();
        return;
    }
    if (FPending.exchange(true, std::memory_order_acq_rel))
        return;
    TMMFrameClock* clock = FClock.load(std::memory_order_acquire);
    if (clock == nullptr || !clock->Post(this))
        // The context drops the call if it is gone by then.
        QMetaObject::invokeMethod(
            FContext, [this] { Arm(); }, Qt::QueuedConnection);
}

void TMMFramePacer::Cancel()
{
    Unclock();
    FLate = false;
    FPending.store(false, std::memory_order_release);
}

void TMMFramePacer::Arm()
{
    if (!FPending.load(std::memory_order_acquire))
        return;
    TMMFrameClock& clock = TMMFrameClock::OfThisThread();
    FClock.store(&clock, std::memory_order_release);
    clock.Add(this);
}

void TMMFramePacer::RequestLater(int milliseconds)
{
    TMMFrameClock& clock = TMMFrameClock::OfThisThread();
    const qint64 by = clock.Now() + milliseconds;
    if (FPending.exchange(true, std::memory_order_acq_rel)) {
        if (FLate)
            FLateBy = std::min(FLateBy, by);
        return;
    }
    FLate = true;
    FLateBy = by;
    Arm();
}

void TMMFramePacer::Fire()
{
    // Cleared before the draw: numbers that change while it runs ask again.
    FLate = false;
    FPending.store(false, std::memory_order_release);
    ++FDraws;
    if (FDraw)
        FDraw();
}
