// The silence alarm of the built program, as the person looking after an
// unattended recorder meets it: the test sound server's input is digital
// silence until a tone is played into it; the program says so on stderr,
// on its LED marquee and through the user's commands.
#include "support/Program.h"
#include "support/SoundServer.h"
#include "support/TestSupport.h"
#include "support/WindowShot.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <cmath>
#include <gtest/gtest.h>

// Last: Xlib's macros would break the headers above.
#include <X11/Xlib.h>

using namespace tonvara::test;

namespace {

struct TRun {
    const char* Name;
    const char* Mode;
    const char* FakeTime;
    const char* After; // --silence-after
    // The latest the alarm may come after the recording began: the set time
    // and the 1 s the alarm may take, in mono too, whose buffers carry 2.52 s
    // of sound each.
    double Latest;
    // The recordings by then: the hour change 6.5 s into the recording at
    // 13:59:53.5 (after the splash box) must not start the count again.
    int Files;
};
// A wall clock far from an hour change, which would start a second file.
const char* const kQuietHour = "@2026-12-06 10:00:05";

const TRun kRuns[] = {
    { "stereo", "stereo", kQuietHour, "3", 3 + 1.0, 1 },
    { "mono", "mono", kQuietHour, "3", 3 + 1.0, 1 },
    { "stereo across an hour change", "stereo", "@2026-12-06 13:59:50", "12", 12 + 1.0, 2 },
    { "mono across an hour change", "mono", "@2026-12-06 13:59:50", "12", 12 + 1.0, 2 },
};

// The marquee's lit and unlit dots by colour (0xRRGGBB).
struct TMarquee {
    int Red = 0, Maroon = 0, White = 0, Navy = 0;
};
TMarquee LookAtMarquee()
{
    TMarquee marquee;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return marquee;
    const TWindowShot shot = ShootWindow(display, ViewableTopLevel(display, "Velmora  ", true), 507);
    XCloseDisplay(display);
    // Inside its bevel: 8 + 4, 477 + 4, 418 x 13.
    for (int y = 481; y < 494 && !shot.Pixels.empty(); ++y)
        for (int x = 12; x < 430; ++x) {
            const unsigned long rgb = shot.At(x, y);
            marquee.Red += rgb == 0xFF0000;
            marquee.Maroon += rgb == 0x800000;
            marquee.White += rgb == 0xFFFFFF;
            marquee.Navy += rgb == 0x000080;
        }
    return marquee;
}

QStringList Recordings(const QString& dir)
{
    return QDir(dir).entryList({ "*.wav" }, QDir::Files, QDir::Name);
}

QString Read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

} // namespace

TEST(SilenceAlarm, ADeadInputIsToldUntilSoundComesBack)
{
    for (const TRun& run : kRuns) {
        SCOPED_TRACE(run.Name);
        const QString dir = MakeTempDir(QStringLiteral("silence-") + run.Mode);
        const QString hooks = MakeTempDir(QStringLiteral("silence-hooks")) + "/hooks.txt";
        TProgram program(dir, run.FakeTime,
            { "--record", run.Mode, "--silence-after", run.After, "--on-silence",
                "env | grep -E '^TONVARA_(FILE|SILENT)' | sort >> '" + hooks + "'", "--on-sound",
                "echo back $TONVARA_SILENT_SECONDS >> '" + hooks + "'; exit 4" });
        ASSERT_TRUE(program.WaitForMainWindow());
        ASSERT_TRUE(PollUntil([&] { return !Recordings(dir).isEmpty(); }, 10000));
        ASSERT_TRUE(PollUntil([&] { return !program.StderrLines("has been silent").isEmpty(); }, 20000))
            << qPrintable(program.Stderr());
        // From the first file's making (the device opens after it) to when
        // the line is seen (a poll, so never before it was written): the
        // real clock of this process, not the program's faked one.
        const double alarmAfter
            = QFileInfo(dir + "/" + Recordings(dir).first()).birthTime().msecsTo(QDateTime::currentDateTime())
            / 1000.0;
        EXPECT_GE(alarmAfter, QString(run.After).toDouble());
        EXPECT_LE(alarmAfter, run.Latest);
        ASSERT_EQ(Recordings(dir).size(), run.Files);
        const QString file = Recordings(dir).last();
        const QStringList lines = program.StderrLines("has been silent");
        ASSERT_EQ(lines.size(), 1);
        EXPECT_TRUE(
            QRegularExpression("^tonvara: [0-9:]+: the input has been silent for [0-9]+ s \\(below -50 "
                               "dBFS\\) in "
                + QRegularExpression::escape(file) + "$")
                .match(lines[0])
                .hasMatch())
            << qPrintable(lines[0]);
        ASSERT_TRUE(PollUntil([&] { return Read(hooks).contains("TONVARA_SILENT"); }, 5000));
        const QString seconds = Read(hooks).section("TONVARA_SILENT_SECONDS=", 1).section('\n', 0, 0);
        EXPECT_EQ(Read(hooks).section('\n', 0, 0), "TONVARA_FILE=" + dir + "/" + file);
        EXPECT_GE(seconds.toInt(), QString(run.After).toInt());
        ASSERT_TRUE(PollUntil([&] { return LookAtMarquee().Red > 0; }, 2000));
        const TMarquee warning = LookAtMarquee();
        EXPECT_EQ(warning.White + warning.Navy, 0);

        TTone tone(30, 997);
        ASSERT_TRUE(tone.Started());
        ASSERT_TRUE(PollUntil([&] { return !program.StderrLines("sound is back").isEmpty(); }, 10000));
        ASSERT_TRUE(PollUntil([&] { return Read(hooks).contains("back"); }, 5000));
        ASSERT_TRUE(PollUntil([&] { return LookAtMarquee().White > 0; }, 2000));
        const TMarquee caption = LookAtMarquee();
        EXPECT_EQ(caption.Red + caption.Maroon, 0);
        EXPECT_GT(caption.Navy, 0);
        // Each command ran once, in the order of the changes.
        EXPECT_EQ(Read(hooks).count("TONVARA_FILE="), 1);
        EXPECT_EQ(Read(hooks).count("back "), 1);
        EXPECT_TRUE(Read(hooks).indexOf("TONVARA_FILE=") < Read(hooks).indexOf("back "));
        EXPECT_EQ(program.StderrLines("--on-silence command ended with exit status 0").size(), 1);
        EXPECT_EQ(program.StderrLines("--on-sound command ended with exit status 4").size(), 1);
        EXPECT_EQ(program.Terminate(), 0);
    }
}

// Quiet sound is sound: a tone at -40 dBFS, 10 dB above the level, for 10 s.
TEST(SilenceAlarm, AQuietToneRaisesNothing)
{
    for (const char* mode : { "stereo", "mono" }) {
        SCOPED_TRACE(mode);
        TPeerProcess tone;
        ASSERT_TRUE(tone.Start("sox",
            { "-n", "-q", "-t", "pulseaudio", "default", "synth", "30", "sine", "997", "vol",
                QString::number(std::pow(10.0, -40 / 20.0)) }));
        const QString dir = MakeTempDir(QStringLiteral("quiet-") + mode);
        TProgram program(dir, kQuietHour, { "--record", mode, "--silence-after", "3" });
        ASSERT_TRUE(program.WaitForMainWindow());
        ASSERT_TRUE(PollUntil([&] { return !Recordings(dir).isEmpty(); }, 10000));
        // Ten seconds of watching: a wait for something that must not come.
        EXPECT_FALSE(PollUntil([&] { return program.Stderr().contains("silent"); }, 10000))
            << qPrintable(program.Stderr());
        EXPECT_EQ(LookAtMarquee().Red, 0);
        EXPECT_EQ(program.Terminate(), 0);
        tone.Kill();
    }
}

// "Kaydı Durdur" ends a silence: the marquee is itself again at once.
TEST(SilenceAlarm, AStopEndsTheSilence)
{
    for (const char* mode : { "stereo", "mono" }) {
        SCOPED_TRACE(mode);
        const QString dir = MakeTempDir(QStringLiteral("silence-stop-") + mode);
        TProgram program(dir, kQuietHour, { "--record", mode, "--silence-after", "3" });
        ASSERT_TRUE(program.WaitForMainWindow());
        ASSERT_TRUE(PollUntil([&] { return LookAtMarquee().Red > 0; }, 15000))
            << qPrintable(program.Stderr());
        ASSERT_TRUE(program.Click(220, 419));
        ASSERT_TRUE(PollUntil([&] { return LookAtMarquee().White > 0; }, 2000));
        EXPECT_EQ(program.StderrLines("the recording stopped; its input had been silent for").size(), 1);
        EXPECT_EQ(program.Terminate(), 0);
    }
}
