// The real program's needle meters and light organ on the test X server and
// sound server: a 1 kHz tone at half scale played into the sink moves both
// needles to the same reading, in mono (GSM) and in stereo, lights the
// green lamp, and after the stop everything falls back to rest.
#include "support/TestSupport.h"
#include "support/WindowShot.h"

#include <QProcess>
#include <gtest/gtest.h>
#include <string>
#include <vector>

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/Xlib.h>

namespace {

constexpr int kClientHeight = 507;

using tonvara::test::PollUntil;
using tonvara::test::ViewableTopLevel;

struct TPixel {
    int X = -1;
    int Y = -1;
};

// The drawing areas (client coordinates): the meter panels at (40, 96) and
// (233, 96) of the outer panel at (8, -1), the meters one pixel inside them,
// their drawing areas 3 pixels inside the meters; the organ at (96, 208)
// with a one-pixel bevel.
constexpr TPixel kMeterArea[2] = { { 52, 99 }, { 245, 99 } };
constexpr int kMeterWidth = 145;
constexpr int kMeterHeight = 59;
constexpr TPixel kLampCentre[3]
    = { { 105 + 82, 208 + 48 }, { 105 + 123, 208 + 119 }, { 105 + 164, 208 + 48 } };

struct TShot : tonvara::test::TWindowShot {
    // The white needle's topmost pixel in meter M's drawing area (its
    // coordinates there).
    TPixel NeedleTip(int m) const
    {
        for (int y = 0; y < kMeterHeight; ++y)
            for (int x = 0; x < kMeterWidth; ++x)
                if (At(kMeterArea[m].X + x, kMeterArea[m].Y + y) == 0xFFFFFF)
                    return { x, y };
        return {};
    }
    // Lamp I's centre: its own colour channel (red, green, or the yellow's
    // red).
    int Lamp(int i) const
    {
        const unsigned long p = At(kLampCentre[i].X, kLampCentre[i].Y);
        return i == 1 ? int((p >> 8) & 0xFF) : int((p >> 16) & 0xFF);
    }
    bool LampsDark() const
    {
        for (const TPixel& c : kLampCentre)
            if (At(c.X, c.Y) != 0)
                return false;
        return true;
    }
};

class MainWindowDisplays : public ::testing::Test {
protected:
    void SetUp() override
    {
        FDisplay = XOpenDisplay(nullptr);
        ASSERT_NE(FDisplay, nullptr) << "this test needs an X server";
        FProgram.setWorkingDirectory(tonvara::test::MakeTempDir("main-window-displays"));
        FProgram.setProcessChannelMode(QProcess::ForwardedChannels);
        FProgram.start(tonvara::test::BinaryDir() + "/app/tonvara", {});
        ASSERT_TRUE(FProgram.waitForStarted(10000));
        ASSERT_TRUE(
            PollUntil([&] { return (FWindow = ViewableTopLevel(FDisplay, "Velmora  ", true)) != 0; }, 20000));
        ASSERT_TRUE(PollUntil([&] { return ViewableTopLevel(FDisplay, "Velmora", false) == 0; }, 20000))
            << "the splash stays";
        FTone.setProcessChannelMode(QProcess::ForwardedChannels);
        FTone.start("sox",
            { "-n", "-q", "-t", "pulseaudio", "default", "synth", "120", "sine", "1000", "vol", "0.5" });
        ASSERT_TRUE(FTone.waitForStarted(5000));
    }

    void TearDown() override
    {
        for (QProcess* p : { &FTone, &FProgram })
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
        if (FDisplay)
            XCloseDisplay(FDisplay);
    }

    TShot Shot() { return TShot { tonvara::test::ShootWindow(FDisplay, FWindow, kClientHeight) }; }

    void Click(int x, int y)
    {
        const int top = Shot().Top;
        QProcess::execute("xdotool",
            { "mousemove", "--window", QString::number(FWindow), QString::number(x), QString::number(y + top),
                "click", "1" });
    }

    // Records with the tone playing and checks the displays, then stops.
    void RecordAndLook(const char* what, bool greenAlone)
    {
        SCOPED_TRACE(what);
        Click(124, 419); // "Kayda Başla"
        // -6 dB on a 50 dB scale: the tip near (121, 25) of the 97-pixel
        // needle swinging from (10, 35) to (134, 35).
        TShot shot;
        const bool moved = PollUntil(
            [&] {
                shot = Shot();
                const TPixel left = shot.NeedleTip(0);
                const TPixel right = shot.NeedleTip(1);
                return left.X >= 112 && left.X <= 130 && left.Y <= 30 && std::abs(right.X - left.X) <= 1
                    && std::abs(right.Y - left.Y) <= 1 && shot.Lamp(1) > 100;
            },
            15000);
        EXPECT_TRUE(moved) << "needles at (" << shot.NeedleTip(0).X << ", " << shot.NeedleTip(0).Y
                           << ") and (" << shot.NeedleTip(1).X << ", " << shot.NeedleTip(1).Y << "), lamps "
                           << shot.Lamp(0) << " " << shot.Lamp(1) << " " << shot.Lamp(2);
        EXPECT_GT(shot.Lamp(1), shot.Lamp(0));
        if (greenAlone)
            EXPECT_GT(shot.Lamp(1), shot.Lamp(2));
        else
            EXPECT_GE(shot.Lamp(1), shot.Lamp(2));

        Click(220, 419); // "Kaydı Durdur"
        const bool rested = PollUntil(
            [&] {
                shot = Shot();
                const TPixel left = shot.NeedleTip(0);
                const TPixel right = shot.NeedleTip(1);
                return left.X <= 12 && left.Y >= 35 && right.X == left.X && right.Y == left.Y
                    && shot.LampsDark();
            },
            10000);
        EXPECT_TRUE(rested) << "needles at (" << shot.NeedleTip(0).X << ", " << shot.NeedleTip(0).Y << ")";
    }

    Display* FDisplay = nullptr;
    Window FWindow = 0;
    QProcess FProgram;
    QProcess FTone;
};

TEST_F(MainWindowDisplays, AToneMovesBothNeedlesAndLightsTheGreenLampInMonoAndStereo)
{
    // Mono GSM at 8000 Hz: 1 kHz is bin 16 of 128, inside the middle band.
    RecordAndLook("mono", true);
    Click(227, 451); // the switch to stereo
    // Stereo at 48000 Hz: 1 kHz lies between bins 2 (middle) and 3
    // (treble); at half scale both lamps are full.
    RecordAndLook("stereo", false);
}

} // namespace
