#pragma once
// TMMFramePacer: how a display keeps its drawing to the screen's pace. The
// connector hands a display up to a few thousand slices a second; the
// display only notes its new numbers and asks the pacer for a redraw, and
// the pacer runs the display's draw at most once per frame (kFrameMs) on the
// GUI thread, however many requests came in between.
//
// A pacer made to run first in its frame (the connector's replay of its
// refresh passes) runs before the displays' draws of that frame, so that what
// it hands the displays is drawn in the same frame.
//
// Threads. Request may be called from any thread (the connector calls its
// displays in the buffer thread when it has no real-time loop); the draw
// always runs on the thread of the context object given at construction
// (the display itself, a GUI-thread object). Cancel, the destructor and the
// draw belong to that thread.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <atomic>
#include <functional>

class TMMFrameClock;

class TMMFramePacer {
public:
    /// About one screen refresh at 60 Hz.
    static constexpr int kFrameMs = 16;

    /// Draw runs on Context's thread; Context outlives the pacer (it is the
    /// display that owns it).
    /// First: Draw runs before the other pacers' draws of its frame, and
    /// what they are asked for meanwhile is drawn in that frame.
    TMMFramePacer(QObject* context, std::function<void()> draw, bool first = false);
    ~TMMFramePacer();
    TMMFramePacer(const TMMFramePacer&) = delete;
    TMMFramePacer& operator=(const TMMFramePacer&) = delete;

    /// Asks for one draw: at once when the thread's last frame lies a frame
    /// back (still from the event loop, never inside the caller), otherwise
    /// when the frame is over. Requests before that draw add nothing.
    void Request();
    /// Asks for one draw by Milliseconds from now at the latest, or with any
    /// frame that comes sooner (another pacer's, or a Request of this one):
    /// for a caller that expects to ask again soon anyway. Context thread.
    void RequestLater(int milliseconds);
    /// Forgets a request not yet served (the display was drawn anyway).
    void Cancel();
    /// Whether a draw is still to come.
    bool Pending() const { return FPending.load(std::memory_order_relaxed); }
    /// The draws run so far.
    int Draws() const { return FDraws; }

    /// Runs this thread's frame at once if one is waiting, as its timer
    /// would have run it; true when one ran. For a caller that keeps time
    /// itself (a simulated clock).
    static bool DrawFrameNow();

private:
    friend class TMMFrameClock;
    void Arm();
    void Fire();
    void Unclock();

    QObject* FContext;
    std::function<void()> FDraw;
    const bool FFirst;
    // Asked for with RequestLater, by FLateBy on the clock's time (context
    // thread).
    bool FLate = false;
    qint64 FLateBy = 0;
    // The context thread's frame clock, once known.
    std::atomic<TMMFrameClock*> FClock { nullptr };
    std::atomic<bool> FPending { false };
    int FDraws = 0;
};
