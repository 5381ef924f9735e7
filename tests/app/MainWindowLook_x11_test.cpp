// The real program's main window on the test X server, as a person sees it:
// the four effect captions in their colours and the LED marquee moving.
#include "support/TestSupport.h"
#include "support/WindowShot.h"

#include <QProcess>
#include <gtest/gtest.h>
#include <string>

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/Xlib.h>

namespace {

using tonvara::test::PollUntil;
using tonvara::test::ViewableTopLevel;

constexpr int kClientHeight = 507;

// What the window shows, in client coordinates (below the menu bar).
struct TShot : tonvara::test::TWindowShot {
    int Count(int left, int top, int right, int bottom, unsigned long rgb) const
    {
        int n = 0;
        for (int y = top; y < bottom; ++y)
            for (int x = left; x < right; ++x)
                n += At(x, y) == rgb;
        return n;
    }
    bool Same(const TShot& other, int left, int top, int right, int bottom) const
    {
        for (int y = top; y < bottom; ++y)
            for (int x = left; x < right; ++x)
                if (At(x, y) != other.At(x, y))
                    return false;
        return true;
    }
};

class MainWindowLook : public ::testing::Test {
protected:
    void SetUp() override
    {
        FDisplay = XOpenDisplay(nullptr);
        ASSERT_NE(FDisplay, nullptr) << "this test needs an X server";
        FProgram.setWorkingDirectory(tonvara::test::MakeTempDir("main-window-look"));
        FProgram.setProcessChannelMode(QProcess::ForwardedChannels);
        FProgram.start(tonvara::test::BinaryDir() + "/app/tonvara", {});
        ASSERT_TRUE(FProgram.waitForStarted(10000));
    }

    void TearDown() override
    {
        if (FProgram.state() != QProcess::NotRunning) {
            FProgram.kill();
            FProgram.waitForFinished(5000);
        }
        if (FDisplay)
            XCloseDisplay(FDisplay);
    }

    TShot Shot(Window window)
    {
        return TShot { tonvara::test::ShootWindow(FDisplay, window, kClientHeight) };
    }

    Display* FDisplay = nullptr;
    QProcess FProgram;
};

TEST_F(MainWindowLook, ShowsTheFourCaptionsAndAMovingMarquee)
{
    Window window = 0;
    ASSERT_TRUE(
        PollUntil([&] { return (window = ViewableTopLevel(FDisplay, "Velmora  ", true)) != 0; }, 20000))
        << "no main window";
    // The splash box stays above the window for its three seconds.
    ASSERT_TRUE(PollUntil([&] { return ViewableTopLevel(FDisplay, "Velmora", false) == 0; }, 20000))
        << "the splash stays";

    // The title's own highlight, RGB (45, 156, 210), once the uncovered part
    // has been painted again.
    const unsigned long titleBlue = 0x2D9CD2;
    TShot first;
    ASSERT_TRUE(PollUntil(
        [&] {
            first = Shot(window);
            return first.Height > kClientHeight && first.Count(64, 7, 385, 42, titleBlue) > 30;
        },
        5000))
        << "the title never showed its highlight";
    // The part the splash box covered is painted again a moment later (the
    // meters and the light organ): the picture is taken once it stands.
    ASSERT_TRUE(PollUntil(
        [&] {
            TShot again = Shot(window);
            const bool same = again.Height == first.Height && again.Same(first, 8, 0, 434, 370);
            first = again;
            return same;
        },
        5000))
        << "the window above the marquee never stood still";

    const unsigned long black = 0x000000;
    const unsigned long pink = 0xFF80C0;
    const unsigned long yellow = 0xFFFF00;
    const unsigned long purple = 0x800080;
    const unsigned long maroon = 0x800000;
    const unsigned long white = 0xFFFFFF;
    const unsigned long navy = 0x000080;
    struct Caption {
        const char* Name;
        int Left, Top, Right, Bottom;
        unsigned long Face, Highlight;
    };
    // Panel offset (8, -1) plus each label's place on the panel.
    const Caption captions[] = {
        { "MMLabel1 (title)", 64, 7, 385, 42, black, titleBlue },
        { "MMLabel2 (new file each hour)", 56, 65, 393, 90, black, pink },
        { "MMLabel3 (recording time)", 144, 378, 241, 403, black, yellow },
        { "MMLabel4 (mono/stereo)", 96, 440, 385, 465, maroon, pink },
    };
    for (const Caption& c : captions) {
        EXPECT_GT(first.Count(c.Left, c.Top, c.Right, c.Bottom, c.Face), 30) << c.Name;
        EXPECT_GT(first.Count(c.Left, c.Top, c.Right, c.Bottom, c.Highlight), 30) << c.Name;
    }
    EXPECT_GT(first.Count(144, 378, 241, 403, purple), 30) << "the recording time's shadow";

    // The marquee: white lit dots on navy unlit ones, one cell further at
    // every 140 ms step, while the captions and meters above stay.
    EXPECT_GT(first.Count(12, 481, 430, 494, white), 100);
    EXPECT_GT(first.Count(12, 481, 430, 494, navy), 38 * 35 / 4); // 35 dots a cell
    TShot second;
    ASSERT_TRUE(PollUntil(
        [&] {
            second = Shot(window);
            return second.Height == first.Height && !second.Same(first, 8, 477, 434, 498);
        },
        3000))
        << "the marquee did not move";
    EXPECT_TRUE(second.Same(first, 8, 0, 434, 370));
}

} // namespace
