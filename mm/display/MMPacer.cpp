#include "mm/display/MMPacer.h"

#include <QThread>
#include <algorithm>

TMMFramePacer::TMMFramePacer(QObject* context, std::function<void()> draw)
    : FContext(context)
    , FDraw(std::move(draw))
{
    FTimer.setSingleShot(true);
    FTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&FTimer, &QTimer::timeout, [this] { Fire(); });
}

TMMFramePacer::~TMMFramePacer()
{
    FTimer.stop();
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
    FTimer.stop();
    FPending.store(false, std::memory_order_release);
}

void TMMFramePacer::Arm()
{
    if (!FPending.load(std::memory_order_acquire) || FTimer.isActive())
        return;
    const qint64 since = FSinceDraw.isValid() ? FSinceDraw.elapsed() : kFrameMs;
    FTimer.start(int(std::max<qint64>(0, kFrameMs - since)));
}

void TMMFramePacer::Fire()
{
    // Cleared before the draw: numbers that change while it runs ask again.
    FPending.store(false, std::memory_order_release);
    FSinceDraw.restart();
    ++FDraws;
    if (FDraw)
        FDraw();
}
