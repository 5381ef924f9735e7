// The capture timeline frame by frame: the ring's silence runs and the
// clock guard's bound, over a table of loss sizes and clock drifts.
#include "platform/mm/WaveInAlsaTimeline.h"

#include <gtest/gtest.h>
#include <random>

namespace {

using TClock = TTimelineGuard::TClock;
constexpr unsigned kRate = 48000;
constexpr uint64_t kPeriod = 960; // 20 ms

struct TLoss {
    const char* Name;
    uint64_t Frames;
};

// One frame, 10 ms, 0.2 s, 0.3 s, seconds.
constexpr TLoss kLosses[]
    = { { "one frame", 1 }, { "10 ms", 480 }, { "0.2 s", 9600 }, { "0.3 s", 14400 }, { "3 s", 144000 } };

TEST(FrameRing, ALossBecomesSilenceOfItsLengthInItsPlace)
{
    for (const TLoss& loss : kLosses) {
        SCOPED_TRACE(loss.Name);
        TFrameRing ring;
        ring.Allocate(kRate, 2, 0, 2 * kRate); // runs above 2 s are broken
        std::vector<BYTE> audio(1000 * 2, 7);
        ring.Write(audio.data(), 1000);
        ring.AddSilence(loss.Frames, TWaveInLossCause::Clock);
        ring.Write(audio.data(), 1000);
        const uint64_t filled = std::min<uint64_t>(loss.Frames, 2 * kRate);
        ASSERT_EQ(ring.Available(), 2000 + filled);
        std::vector<BYTE> out(static_cast<std::size_t>(ring.Available()) * 2, 1);
        TSilenceReport report;
        for (uint64_t at = 0; at < out.size() / 2; at += 333) // in odd pieces
            ring.Read(&out[at * 2], std::min<uint64_t>(333, out.size() / 2 - at), report);
        EXPECT_EQ(std::count(out.begin(), out.begin() + 2000, 7), 2000);
        EXPECT_EQ(std::count(out.begin() + 2000, out.end() - 2000, 0), static_cast<long>(filled * 2));
        EXPECT_EQ(std::count(out.end() - 2000, out.end(), 7), 2000);
        EXPECT_EQ(report.Runs, 1u);
        EXPECT_EQ(report.Frames, filled);
        EXPECT_EQ(report.Lost, loss.Frames);
        EXPECT_EQ(report.Breaks, loss.Frames > filled ? 1u : 0u);
        EXPECT_EQ(report.LastCause, TWaveInLossCause::Clock);
    }
}

TEST(FrameRing, AudioThatGivesWayIsReplacedBySilence)
{
    TFrameRing ring;
    ring.Allocate(100, 1, 0x80, 1000);
    std::vector<BYTE> audio(150, 1);
    EXPECT_EQ(ring.Write(audio.data(), 150), 50u);
    EXPECT_EQ(ring.Available(), 150u) << "the timeline keeps its length";
    std::vector<BYTE> out(150);
    TSilenceReport report;
    ring.Read(out.data(), 150, report);
    EXPECT_EQ(std::count(out.begin(), out.begin() + 50, 0x80), 50);
    EXPECT_EQ(report.Lost, 50u);
    EXPECT_EQ(report.LastCause, TWaveInLossCause::RingFull);
}

/// A simulated capture: frames arrive a period at a time, each late by a
/// random part of the jitter band, from a card whose clock is off by Drift;
/// at LossAt, Loss frames vanish. Returns what the guard filled.
uint64_t Simulate(double drift, uint64_t loss, double seconds, double jitterSeconds, unsigned seed)
{
    TTimelineGuard guard;
    const TClock::time_point start {};
    guard.Start(start, kRate, kPeriod);
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> late(0, jitterSeconds);
    uint64_t produced = 0;
    uint64_t filled = 0;
    bool lost = false;
    for (double t = 0; t < seconds; t += static_cast<double>(kPeriod) / kRate) {
        produced += kPeriod;
        uint64_t received = kPeriod;
        if (!lost && t >= seconds / 3) {
            lost = true;
            received -= std::min(loss, received);
            for (uint64_t rest = loss - std::min<uint64_t>(loss, kPeriod); rest > 0;) {
                const uint64_t n = std::min(rest, kPeriod);
                produced += n; // the card runs on while its frames are lost
                rest -= n;
                t += static_cast<double>(n) / kRate;
            }
        }
        guard.Advance(received);
        // The card's clock is off: its frames come when the monotonic clock
        // says t * (1 + drift), plus the delivery's lateness.
        const double at = t * (1 + drift) + late(random);
        const uint64_t got = guard.Check(start + std::chrono::nanoseconds(static_cast<int64_t>(at * 1e9)), 0);
        guard.Advance(got);
        filled += got;
    }
    return filled;
}

TEST(TimelineGuard, FillsALossAboveItsBoundAndNothingElse)
{
    TTimelineGuard probe;
    probe.Start(TClock::time_point {}, kRate, kPeriod);
    EXPECT_EQ(probe.Bound(), 2 * kPeriod + 480) << "two periods and the server's lateness: 50 ms";
    const double jitter = 2.0 * kPeriod / kRate; // the whole band the bound allows for
    for (const double drift : { -1e-3, -1e-4, 0.0, 1e-4, 1e-3 }) {
        for (unsigned seed = 1; seed <= 3; ++seed) {
            SCOPED_TRACE(testing::Message() << "drift " << drift << ", seed " << seed);
            EXPECT_EQ(Simulate(drift, 0, 60, jitter, seed), 0u) << "a steady recording gets no silence";
            for (const TLoss& loss : kLosses) {
                SCOPED_TRACE(loss.Name);
                const uint64_t filled = Simulate(drift, loss.Frames, 20, jitter, seed);
                if (loss.Frames <= probe.Bound())
                    EXPECT_EQ(filled, 0u) << "within what jitter and drift explain";
                else // as long as the loss lasted by the monotonic clock
                    EXPECT_NEAR(static_cast<double>(filled), static_cast<double>(loss.Frames) * (1 + drift),
                        0.010 * kRate);
            }
        }
    }
    // Just above the bound: filled to within a few milliseconds (the least
    // lateness in the confirming second is rarely the least of all).
    const uint64_t justAbove = probe.Bound() + 480;
    EXPECT_NEAR(static_cast<double>(Simulate(1e-3, justAbove, 20, jitter, 9)), static_cast<double>(justAbove),
        0.010 * kRate);
}

TEST(TimelineGuard, AnOverrunCostsWhatTheBufferHeldAndTheTimeUntilTheRestart)
{
    struct TCase {
        uint64_t Held;
        timespec Stopped;
        timespec Restarted;
        uint64_t Lost;
    };
    const TCase cases[] = {
        { 96000, { 10, 0 }, { 10, 0 }, 96000 }, { 96000, { 10, 900000000 }, { 11, 100000000 }, 96000 + 9600 },
        { 1, { 5, 0 }, { 5, 10000000 }, 481 }, { 0, { 5, 0 }, { 8, 0 }, 144000 },
        { 50, { 8, 0 }, { 5, 0 }, 0 }, // stamps out of order: nothing known
    };
    for (const TCase& c : cases)
        EXPECT_EQ(OverrunLoss(c.Held, c.Stopped, c.Restarted, kRate), c.Lost) << c.Held;
}

} // namespace
