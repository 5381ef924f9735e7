// The built program over long runs and under faults, as an unattended
// machine meets them: a day of hour changes under a fast wall clock, a disk
// that fills, a sound server that dies and comes back, and kill -9 at
// random moments. Every file it leaves must be read by sox, ffprobe and
// libsndfile; the sound reaches it from the test sound server.
#include "mm/capture/MMWRecAudioSupport.h"
#include "support/Peers.h"
#include "support/Program.h"
#include "support/TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>
#include <QThread>
#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/mount.h>

using namespace tonvara::test;
using recorder_test::TTone;

namespace {

constexpr int kToneHz = 997;

struct TMode {
    const char* Name;
    bool Stereo;
    const char* Codec;
    int Rate;
    double BytesPerSecond;
    // Samples left out at a file's start before its tone is measured: a GSM
    // encoder starts each file afresh, and its first two 320-sample blocks
    // decode while the decoder's predictors settle.
    std::size_t Skip;
    // The largest junction shift taken as continuous: a lost or doubled
    // sample shifts by one; GSM's decoded phase wanders by a few tenths.
    double Tolerance;
};

const TMode kModes[] = {
    { "mono", false, "gsm_ms", 8000, 1625, 640, 0.4 },
    { "stereo", true, "pcm_s16le", 48000, 192000, 0, 0.1 },
};

// The recordings in Dir, by name.
QStringList Recordings(const QString& dir)
{
    return QDir(dir).entryList({ "*.wav" }, QDir::Files, QDir::Name);
}

// The recording in Dir whose name starts with Prefix, or an empty text.
QString RecordingStartingWith(const QString& dir, const QString& prefix)
{
    for (const QString& name : Recordings(dir))
        if (name.startsWith(prefix))
            return name;
    return {};
}

// The names of the recordings at the hour After hours past 06.12.2026 00:00.
QString HourPrefix(int after)
{
    const QDateTime at = QDateTime(QDate(2026, 12, 6), QTime(0, 0)).addSecs(3600LL * after);
    return at.toString("'Tarih_'dd_MM_yyyy'_Saat_'HH_");
}

// Sox, ffprobe and libsndfile read the file as a recording of Mode.
struct TReading {
    TProbe Probe;
    std::vector<int16_t> Samples;
    long long SndfileFrames = -1;
    bool Ok = false;
};
TReading Read(const QString& path, const TMode& mode)
{
    TReading reading { Probe(path), DecodeWithSox(path), SndfileFrames(path) };
    reading.Ok = reading.Probe.Ok && reading.Probe.Codec == mode.Codec && reading.Probe.Rate == mode.Rate
        && reading.Probe.Channels == (mode.Stereo ? 2 : 1) && reading.SndfileFrames >= 0;
    return reading;
}

class Reliability : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(qEnvironmentVariableIsSet("DISPLAY")) << "run under scripts/test"; }

    // Starts the program and, in stereo, moves the switch before anything
    // records.
    static bool Ready(TProgram& program, const TMode& mode)
    {
        if (!program.WaitForMainWindow())
            return false;
        if (mode.Stereo)
            program.SelectStereo();
        return true;
    }
};

} // namespace

// A day of hour changes at one simulated hour every 10 s.
TEST_F(Reliability, Soak)
{
    const int hours = qEnvironmentVariableIntValue("TONVARA_SOAK_HOURS") > 0
        ? qEnvironmentVariableIntValue("TONVARA_SOAK_HOURS")
        : 24;
    constexpr int kRealMsPerHour = 10000;
    for (const TMode& mode : kModes) {
        SCOPED_TRACE(mode.Name);
        const QString dir = MakeTempDir(QString("soak-") + mode.Name);
        TTone tone(hours * kRealMsPerHour / 1000.0 + 40, kToneHz);
        ASSERT_TRUE(tone.Started());
        // An hour before the day begins: time to move the switch before the
        // first hour change starts the selected recorder.
        TProgram program(dir, "@2026-12-05 23:00:00 x360");
        ASSERT_TRUE(Ready(program, mode));
        std::vector<long> rss;
        for (int hour = 0; hour <= hours; ++hour) {
            ASSERT_TRUE(PollUntil(
                [&] { return !RecordingStartingWith(dir, HourPrefix(hour)).isEmpty(); }, 3 * kRealMsPerHour))
                << "no recording for hour " << hour << "; " << Recordings(dir).join(' ').toStdString();
            rss.push_back(program.RssKb());
        }
        // The hour after the run holds enough sound for its junction.
        const QString last = dir + "/" + RecordingStartingWith(dir, HourPrefix(hours));
        ASSERT_TRUE(
            PollUntil([&] { return QFileInfo(last).size() > 0.3 * mode.BytesPerSecond; }, kRealMsPerHour));
        EXPECT_EQ(program.Terminate(), 0);

        std::printf("\n%s: %d simulated hours\n%-34s %8s %4s %7s %8s %9s %9s\n", mode.Name, hours, "file",
            "seconds", "sox", "ffprobe", "sndfile", "junction", "RSS kB");
        TReading previous;
        for (int hour = 0; hour <= hours; ++hour) {
            const QString name = RecordingStartingWith(dir, HourPrefix(hour));
            const TReading reading = Read(dir + "/" + name, mode);
            EXPECT_TRUE(reading.Ok) << name.toStdString();
            EXPECT_FALSE(reading.Samples.empty()) << name.toStdString();
            double shift = NAN;
            if (hour > 0) {
                shift = JunctionShift(previous.Samples, reading.Samples, kToneHz, mode.Rate, mode.Skip);
                EXPECT_LE(std::abs(shift), mode.Tolerance) << "junction into " << name.toStdString();
            }
            // The last one is the start of the hour after the run.
            if (hour < hours) {
                EXPECT_NEAR(reading.Probe.Seconds, kRealMsPerHour / 1000.0, 0.5) << name.toStdString();
            }
            std::printf("%-34s %8.3f %4s %7s %8lld %9.3f %9ld\n", qPrintable(name), reading.Probe.Seconds,
                reading.Samples.empty() ? "NO" : "ok", reading.Probe.Ok ? "ok" : "NO", reading.SndfileFrames,
                shift, rss[static_cast<std::size_t>(hour)]);
            previous = reading;
        }
        EXPECT_EQ(Recordings(dir).size(), static_cast<qsizetype>(hours + 1))
            << Recordings(dir).join(' ').toStdString();
        // Memory stays flat: the last hour within 5 % of the second one.
        EXPECT_NEAR(double(rss.back()), double(rss[1]), 0.05 * double(rss[1]));
        EXPECT_EQ(program.StderrLines("lost"), QStringList {});
        std::fflush(stdout);
    }
}
