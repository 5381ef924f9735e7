#include "mm/display/MMPacer.h"

#include "platform/ui/Controls.h"

#include <QThread>
#include <algorithm>
#include <memory>
#include <vector>

/// One frame clock per thread serves all its pacers: the displays that
/// want drawing are drawn together, in one paint of their window (a
/// TPaintBatch), on one timer, instead of each on its own at its own moment.
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
        if (FTimer.isActive() || FRunningFirst)
            return;
        Start();
    }

    void Remove(TMMFramePacer* pacer)
    {
        std::erase(FDue, pacer);
        if (FDue.empty())
            FTimer.stop();
    }

    bool FireIfDue()
    {
        if (FDue.empty())
            return false;
        FTimer.stop();
        Fire();
        return true;
    }

private:
    void Start()
    {
        const qint64 since = FSinceFrame.isValid() ? FSinceFrame.elapsed() : TMMFramePacer::kFrameMs;
        FTimer.start(int(std::max<qint64>(0, TMMFramePacer::kFrameMs - since)));
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
    std::vector<TMMFramePacer*> FDue;
    bool FRunningFirst = false;
};

TMMFramePacer::TMMFramePacer(QObject* context, std::function<void()> draw, bool first)
    : FContext(context)
    , FDraw(std::move(draw))
    , FFirst(first)
{
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
    if (FPending.exchange(true, std::memory_order_acq_rel))
        return;
    if (QThread::currentThread() == FContext->thread())
        Arm();
    else
        // The context drops the call if it is gone by then.
        QMetaObject::invokeMethod(
            FContext, [this] { Arm(); }, Qt::QueuedConnection);
}

void TMMFramePacer::Cancel()
{
    Unclock();
    FPending.store(false, std::memory_order_release);
}

void TMMFramePacer::Arm()
{
    if (!FPending.load(std::memory_order_acquire))
        return;
    TMMFrameClock::OfThisThread().Add(this);
}

void TMMFramePacer::Fire()
{
    // Cleared before the draw: numbers that change while it runs ask again.
    FPending.store(false, std::memory_order_release);
    ++FDraws;
    if (FDraw)
        FDraw();
}
