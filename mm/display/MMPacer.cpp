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
        if (FTimer.isActive())
            return;
        const qint64 since = FSinceFrame.isValid() ? FSinceFrame.elapsed() : TMMFramePacer::kFrameMs;
        FTimer.start(int(std::max<qint64>(0, TMMFramePacer::kFrameMs - since)));
    }

    void Remove(TMMFramePacer* pacer)
    {
        std::erase(FDue, pacer);
        if (FDue.empty())
            FTimer.stop();
    }

private:
    void Fire()
    {
        FSinceFrame.restart();
        std::vector<TMMFramePacer*> due;
        due.swap(FDue);
        TPaintBatch batch;
        // A draw may cancel or destroy a pacer still in the list, or ask
        // again for the next frame: each is taken out of Due before it runs.
        FFiring = &due;
        try {
            while (!due.empty()) {
                TMMFramePacer* pacer = due.front();
                due.erase(due.begin());
                pacer->Fire();
            }
        } catch (...) {
            FFiring = nullptr;
            throw;
        }
        FFiring = nullptr;
    }

public:
    // The pacers of the frame being drawn, while it is.
    std::vector<TMMFramePacer*>* FFiring = nullptr;

private:
    QTimer FTimer;
    QElapsedTimer FSinceFrame;
    std::vector<TMMFramePacer*> FDue;
};

TMMFramePacer::TMMFramePacer(QObject* context, std::function<void()> draw)
    : FContext(context)
    , FDraw(std::move(draw))
{
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
