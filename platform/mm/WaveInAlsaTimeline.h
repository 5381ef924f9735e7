#pragma once
// The ALSA backend's timeline keeping, apart from ALSA so that it can be
// tested frame by frame: the ring captured frames wait in, with runs of
// silence where input was lost, and the guard that tells a loss from the
// monotonic clock when nobody reported it. Internal to platform/mm: only
// WaveInAlsa.cpp and the tests include it.
//
// Thread context: neither class locks; the capture stream keeps both under
// its FLock.

#include "platform/mm/WaveIn.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

/// What a reader of the ring passed over besides audio.
struct TSilenceReport {
    DWORD Runs = 0; // silence runs begun
    uint64_t Frames = 0; // silence frames delivered
    uint64_t Lost = 0; // frames lost at the runs begun (more than filled for a break)
    DWORD Breaks = 0; // runs that stand for a longer loss than was filled
    TWaveInLossCause LastCause = TWaveInLossCause::None;
};

/// Captured frames in timeline order: audio in a ring of fixed size, with
/// runs of silence standing where input was lost. When the ring is full the
/// oldest audio gives way, and a run of silence of the same length takes its
/// place, so that the timeline keeps its length. Never allocates after
/// Allocate.
class TFrameRing {
public:
    /// Room for CapacityFrames frames of FrameBytes bytes; Silence is the
    /// byte a silent frame is made of; no run grows beyond MaxRun frames.
    void Allocate(std::size_t capacityFrames, std::size_t frameBytes, BYTE silence, uint64_t maxRun);

    /// Forgets what the ring holds.
    void Clear();

    /// Frames to deliver: audio and silence.
    uint64_t Available() const;

    /// Room for audio before the oldest frames would give way.
    std::size_t Free() const;

    /// Appends audio; returns how many old frames gave way.
    std::size_t Write(const BYTE* frames, std::size_t count);

    /// Appends a run of silence for Count lost frames.
    void AddSilence(uint64_t count, TWaveInLossCause cause);

    /// Takes Count frames (at most Available()) into Target.
    void Read(BYTE* target, uint64_t count, TSilenceReport& report);

private:
    struct TRun {
        uint64_t At; // the silence stands before audio frame At
        uint64_t Length;
        uint64_t Lost;
        TWaveInLossCause Cause;
        bool Broken; // part of the loss was longer than FMaxRun and is not filled
        bool Reported;
    };

    void Grow(TRun& run, uint64_t count);
    void AddHeadSilence(uint64_t count);
    void PopRun();

    std::vector<BYTE> FData;
    std::size_t FCapacity = 0;
    std::size_t FFrameBytes = 1;
    BYTE FSilence = 0;
    uint64_t FMaxRun = 0;
    uint64_t FReadSeq = 0; // audio frames are numbered from the start of the stream
    uint64_t FWriteSeq = 0;
    static constexpr std::size_t kMaxRuns = 16;
    std::array<TRun, kMaxRuns> FRuns {};
    std::size_t FRunCount = 0;
};

/// Tells from the monotonic clock when input was lost without ALSA saying
/// so (a sound server drops what a stalled client did not read). The
/// stream's lag behind the clock is steady while nothing is lost, up to the
/// jitter of its delivery and a slow drift of the sound card's clock; a loss
/// raises it for good. A rise beyond Bound() that holds for kConfirm is a
/// loss of the least rise seen meanwhile.
class TTimelineGuard {
public:
    using TClock = std::chrono::steady_clock;

    /// The sound card's clock may run this much slower than the monotonic one.
    static constexpr double kDrift = 1e-3;
    /// How long a rise must hold before it counts as a loss.
    static constexpr auto kConfirm = std::chrono::seconds(1);
    /// The latest the sound server may hand on a period it has, beyond the period itself.
    static constexpr double kServerLateSeconds = 0.010;

    /// A new timeline: Rate frames a second, delivered PeriodFrames at a time.
    void Start(TClock::time_point now, unsigned rate, uint64_t periodFrames);

    /// The smallest rise, in frames, taken for a loss.
    uint64_t Bound() const { return FBound; }

    /// Frames put into the timeline: captured audio and silence alike.
    void Advance(uint64_t frames) { FFrames += frames; }

    /// Called whenever the reader has read all the PCM had (Pending frames
    /// still in flight). Returns the frames lost, 0 when nothing is known
    /// lost.
    uint64_t Check(TClock::time_point now, uint64_t pending);

private:
    TClock::time_point FStart;
    TClock::time_point FLast;
    unsigned FRate = 1;
    uint64_t FBound = 0;
    uint64_t FFrames = 0;
    bool FHasBaseline = false;
    double FBaseline = 0;
    bool FSuspect = false;
    TClock::time_point FSuspectSince;
    double FSuspectLeast = 0;
};

/// Frames an overrun (or a suspend) cost, from what ALSA reports: the
/// Held frames the buffer had when the PCM stopped at StoppedAt, which
/// the restart discards, and the frames of the time until it ran again at
/// RestartedAt (both stamps of one clock). 0 for stamps out of order.
uint64_t OverrunLoss(uint64_t held, const timespec& stoppedAt, const timespec& restartedAt, unsigned rate);
