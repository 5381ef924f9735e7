#include "platform/mm/WaveInAlsaTimeline.h"

#include <algorithm>
#include <cstring>

// ----- TFrameRing ------------------------------------------------------------

void TFrameRing::Allocate(std::size_t capacityFrames, std::size_t frameBytes, BYTE silence, uint64_t maxRun)
{
    FData.assign(capacityFrames * frameBytes, 0);
    FCapacity = capacityFrames;
    FFrameBytes = frameBytes;
    FSilence = silence;
    FMaxRun = maxRun;
    Clear();
}

void TFrameRing::Clear()
{
    FReadSeq = FWriteSeq;
    FRunCount = 0;
}

uint64_t TFrameRing::Available() const
{
    uint64_t total = FWriteSeq - FReadSeq;
    for (std::size_t i = 0; i < FRunCount; ++i)
        total += FRuns[i].Length;
    return total;
}

std::size_t TFrameRing::Free() const
{
    return FCapacity - static_cast<std::size_t>(FWriteSeq - FReadSeq);
}

std::size_t TFrameRing::Write(const BYTE* frames, std::size_t count)
{
    std::size_t dropped = 0;
    if (count > FCapacity) {
        dropped += count - FCapacity;
        frames += (count - FCapacity) * FFrameBytes;
        count = FCapacity;
    }
    const std::size_t stored = static_cast<std::size_t>(FWriteSeq - FReadSeq);
    if (stored + count > FCapacity) {
        const std::size_t evicted = stored + count - FCapacity;
        FReadSeq += evicted;
        dropped += evicted;
    }
    if (dropped > 0)
        AddHeadSilence(dropped);
    std::size_t index = static_cast<std::size_t>(FWriteSeq % FCapacity);
    const std::size_t first = std::min(count, FCapacity - index);
    std::memcpy(&FData[index * FFrameBytes], frames, first * FFrameBytes);
    std::memcpy(&FData[0], frames + first * FFrameBytes, (count - first) * FFrameBytes);
    FWriteSeq += count;
    return dropped;
}

void TFrameRing::AddSilence(uint64_t count, TWaveInLossCause cause)
{
    if (count == 0)
        return;
    if (FRunCount > 0 && (FRuns[FRunCount - 1].At == FWriteSeq || FRunCount == FRuns.size())) {
        // Runs are few; when there are too many, the newest ones merge:
        // the length stays right, the place moves a little.
        TRun& last = FRuns[FRunCount - 1];
        last.Cause = cause;
        last.Lost += count;
        Grow(last, count);
        return;
    }
    FRuns[FRunCount] = TRun { FWriteSeq, 0, count, cause, false, false };
    Grow(FRuns[FRunCount], count);
    ++FRunCount;
}

void TFrameRing::Read(BYTE* target, uint64_t count, TSilenceReport& report)
{
    while (count > 0) {
        if (FRunCount > 0 && FRuns[0].At <= FReadSeq) {
            TRun& run = FRuns[0];
            const uint64_t n = std::min(count, run.Length);
            if (!run.Reported) {
                run.Reported = true;
                ++report.Runs;
                report.Lost += run.Lost;
                report.Breaks += run.Broken ? 1 : 0;
                report.LastCause = run.Cause;
            }
            std::memset(target, FSilence, static_cast<std::size_t>(n) * FFrameBytes);
            report.Frames += n;
            run.Length -= n;
            if (run.Length == 0)
                PopRun();
            target += n * FFrameBytes;
            count -= n;
            continue;
        }
        const uint64_t audioEnd = FRunCount > 0 ? FRuns[0].At : FWriteSeq;
        const auto n = static_cast<std::size_t>(std::min(count, audioEnd - FReadSeq));
        if (n == 0)
            break;
        const std::size_t index = static_cast<std::size_t>(FReadSeq % FCapacity);
        const std::size_t first = std::min(n, FCapacity - index);
        std::memcpy(target, &FData[index * FFrameBytes], first * FFrameBytes);
        std::memcpy(target + first * FFrameBytes, &FData[0], (n - first) * FFrameBytes);
        FReadSeq += n;
        target += n * FFrameBytes;
        count -= n;
    }
}

void TFrameRing::Grow(TRun& run, uint64_t count)
{
    run.Length += count;
    if (run.Length > FMaxRun) {
        run.Length = FMaxRun;
        run.Broken = true;
    }
}

// Audio before FReadSeq gave way: it and every run before it become one run
// at the head.
void TFrameRing::AddHeadSilence(uint64_t count)
{
    TRun head { FReadSeq, 0, count, TWaveInLossCause::RingFull, false, false };
    std::size_t merged = 0;
    while (merged < FRunCount && FRuns[merged].At <= FReadSeq) {
        head.Length += FRuns[merged].Length;
        head.Lost += FRuns[merged].Lost;
        head.Broken = head.Broken || FRuns[merged].Broken;
        head.Reported = head.Reported || FRuns[merged].Reported;
        ++merged;
    }
    if (merged == 0 && FRunCount == FRuns.size()) {
        // No room for one more: the first run takes it, a little early.
        FRuns[0].At = FReadSeq;
        FRuns[0].Lost += count;
        FRuns[0].Cause = TWaveInLossCause::RingFull;
        Grow(FRuns[0], count);
        return;
    }
    std::array<TRun, kMaxRuns> rest {};
    std::copy(FRuns.begin() + merged, FRuns.begin() + FRunCount, rest.begin());
    const std::size_t restCount = FRunCount - merged;
    Grow(head, count);
    FRuns[0] = head;
    std::copy(rest.begin(), rest.begin() + restCount, FRuns.begin() + 1);
    FRunCount = restCount + 1;
}

void TFrameRing::PopRun()
{
    std::move(FRuns.begin() + 1, FRuns.begin() + FRunCount, FRuns.begin());
    --FRunCount;
}

// ----- TTimelineGuard ----------------------------------------------------------

// The bound. The lag (frames the clock says exist, less the frames read or
// waiting in the PCM) is taken after all the PCM had was read, so this
// thread's own lateness does not enter it. While nothing is lost it moves
// within a band above its least value:
//   - the server hands frames on a period at a time (its fragment is our
//     period): between two fragments the lag grows by up to one period;
//   - the server takes them from its source a period at a time as well: up
//     to one more period;
//   - the server's thread may be late to hand a fragment on: up to
//     kServerLateSeconds.
// Drift does not widen the band: the baseline may rise kDrift (1000 ppm, ten
// times a sound card crystal's tolerance) by itself, and while a rise is
// being confirmed that takes at most kDrift * kConfirm (1 ms) off it.
// Bound = 2 * period + kServerLateSeconds: 50 ms for a 20 ms period. A loss
// above it is filled with the least rise seen during kConfirm, which
// approaches the loss itself (the band's floor recurs every few periods).
void TTimelineGuard::Start(TClock::time_point now, unsigned rate, uint64_t periodFrames)
{
    FStart = now;
    FLast = now;
    FRate = rate;
    FBound = 2 * periodFrames + static_cast<uint64_t>(kServerLateSeconds * rate);
    FFrames = 0;
    FHasBaseline = false;
    FSuspect = false;
}

uint64_t TTimelineGuard::Check(TClock::time_point now, uint64_t pending)
{
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - FStart).count();
    const double expected = static_cast<double>(elapsed) * FRate / 1e9;
    const double lag = expected - static_cast<double>(FFrames + pending);
    if (!FHasBaseline) {
        FHasBaseline = true;
        FBaseline = lag;
        FLast = now;
        return 0;
    }
    const double dt = std::chrono::duration<double>(now - FLast).count();
    FLast = now;
    FBaseline = std::min(lag, FBaseline + dt * FRate * kDrift);
    const double excess = lag - FBaseline;
    if (excess <= static_cast<double>(FBound)) {
        FSuspect = false;
        return 0;
    }
    if (!FSuspect) {
        FSuspect = true;
        FSuspectSince = now;
        FSuspectLeast = excess;
        return 0;
    }
    FSuspectLeast = std::min(FSuspectLeast, excess);
    if (now - FSuspectSince < kConfirm)
        return 0;
    FSuspect = false;
    return static_cast<uint64_t>(FSuspectLeast + 0.5);
}

uint64_t OverrunLoss(uint64_t held, const timespec& stoppedAt, const timespec& restartedAt, unsigned rate)
{
    const int64_t ns = (static_cast<int64_t>(restartedAt.tv_sec) - stoppedAt.tv_sec) * 1000000000
        + (restartedAt.tv_nsec - stoppedAt.tv_nsec);
    if (ns < 0)
        return 0;
    return held + static_cast<uint64_t>((static_cast<double>(ns) * rate + 5e8) / 1e9);
}
