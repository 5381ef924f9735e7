// The built program on the X server as a person meets it: keys typed on its
// windows (XTEST, through xdotool), and its main window on a screen of a
// device pixel ratio of 2, as on a 4K desktop.
#include "support/PeerProcess.h"
#include "support/Program.h"
#include "support/TestSupport.h"
#include "support/WindowShot.h"

#include <QByteArray>
#include <QFileInfo>
#include <QScopeGuard>
#include <QString>
#include <QStringList>
#include <gtest/gtest.h>
#include <map>

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/Xlib.h>

namespace {

using tonvara::test::MakeTempDir;
using tonvara::test::PollUntil;
using tonvara::test::RunTool;
using tonvara::test::TProgram;
using tonvara::test::TWindowShot;

constexpr int kClientHeight = 507;

// xdotool's output, empty when it fails or finds nothing.
QString XDoTool(const QStringList& arguments)
{
    const tonvara::test::TToolResult tool = RunTool(QStringLiteral("xdotool"), arguments, 10000);
    return tool.ExitCode == 0 ? QString::fromStdString(tool.Out).trimmed() : QString();
}

// The shown window of the program whose title starts with Title.
QString ShownWindow(const TProgram& program, const QString& title)
{
    return XDoTool({ "search", "--all", "--onlyvisible", "--pid", QString::number(program.Pid()), "--name",
                       "^" + title })
        .section('\n', 0, 0);
}

// Environment variables of this process, which the programs it starts get,
// put back when the scope ends.
class TEnvironment {
public:
    ~TEnvironment()
    {
        for (const auto& [name, value] : FSaved) {
            if (value.isNull())
                qunsetenv(name.constData());
            else
                qputenv(name.constData(), value);
        }
    }
    void Set(const QByteArray& name, const QByteArray& value)
    {
        if (FSaved.find(name) == FSaved.end())
            FSaved[name]
                = qEnvironmentVariableIsSet(name.constData()) ? qgetenv(name.constData()) : QByteArray();
        qputenv(name.constData(), value);
    }

private:
    std::map<QByteArray, QByteArray> FSaved;
};

} // namespace

TEST(ProgramKeys, ReturnOrSpaceOnTheAboutWindowPressItsButton)
{
    for (const QString key : { "Return", "space" }) {
        SCOPED_TRACE(key.toStdString());
        TProgram program(MakeTempDir("about-keys"), QString());
        ASSERT_TRUE(program.WaitForMainWindow());
        // "Hakkımızda" on the menu bar, above the client area.
        ASSERT_TRUE(program.Click(30, -8));
        QString about;
        ASSERT_TRUE(PollUntil([&] { return !(about = ShownWindow(program, "Velmora - ")).isEmpty(); }, 20000))
            << "the menu opened no about window";
        // The window takes the keyboard as it shows.
        ASSERT_TRUE(PollUntil([&] { return XDoTool({ "getwindowfocus" }) == about; }, 5000));
        ASSERT_EQ(RunTool("xdotool", { "key", key }).ExitCode, 0);
        // A window closing on the press leaves xdotool no window for the
        // release: the key is let go here.
        RunTool("xdotool", { "keyup", key });
        EXPECT_TRUE(PollUntil([&] { return ShownWindow(program, "Velmora - ").isEmpty(); }, 5000))
            << "the key left the about window open";
        EXPECT_EQ(program.Terminate(), 0);
    }
}

TEST(ProgramScale, AtARatioOfTwoTheWindowLooksAsAtOne)
{
    // The screen the tests share is too low for the window at ratio 2 (1052
    // pixels): it shows where such a window is placed.
    {
        TEnvironment environment;
        environment.Set("QT_SCALE_FACTOR", "2");
        TProgram program(MakeTempDir("scale-place"), QString());
        ASSERT_TRUE(program.WaitForMainWindow());
        const QString geometry
            = XDoTool({ "getwindowgeometry", "--shell", ShownWindow(program, "Velmora  ") });
        const int x = geometry.section("X=", 1).section('\n', 0, 0).toInt();
        const int y = geometry.section("Y=", 1).section('\n', 0, 0).toInt();
        EXPECT_GE(x, 0) << geometry.toStdString();
        EXPECT_GE(y, 0) << "the window's top is above the screen: " << geometry.toStdString();
        EXPECT_EQ(program.Terminate(), 0);
    }

    // A screen of the test's own, with room for the whole window.
    int number = 200;
    while (QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(number))
        || QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
        ++number;
    tonvara::test::TPeerProcess server;
    server.SetOutputFile("/dev/null");
    server.SetErrorFile("/dev/null");
    ASSERT_TRUE(server.Start("Xvfb",
        { QStringLiteral(":%1").arg(number), "-screen", "0", "1280x1200x24", "-nolisten", "tcp",
            "-noreset" }));
    ASSERT_TRUE(PollUntil(
        [&] { return QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)); }, 10000));
    const QByteArray name = QByteArray(":") + QByteArray::number(number);
    Display* display = XOpenDisplay(name.constData());
    ASSERT_NE(display, nullptr);
    const auto close = qScopeGuard([&] { XCloseDisplay(display); });

    TWindowShot shots[2];
    for (const int ratio : { 1, 2 }) {
        TEnvironment environment;
        environment.Set("DISPLAY", name);
        environment.Set("QT_SCALE_FACTOR", QByteArray::number(ratio));
        TProgram program(MakeTempDir("scale"), QString());
        ASSERT_TRUE(program.WaitForMainWindow());
        const Window window = tonvara::test::ViewableTopLevel(display, "Velmora  ", true);
        ASSERT_NE(window, 0u);
        // The part the splash box covered is painted again a moment later:
        // the picture is taken once the window above the marquee stands.
        TWindowShot& shot = shots[ratio - 1];
        const auto same = [&](const TWindowShot& a, const TWindowShot& b) {
            if (a.Width != b.Width || a.Height != b.Height)
                return false;
            for (int y = 0; y < 370 * ratio; ++y)
                for (int x = 0; x < a.Width; ++x)
                    if (a.At(x, y) != b.At(x, y))
                        return false;
            return true;
        };
        ASSERT_TRUE(PollUntil(
            [&] {
                TWindowShot again = tonvara::test::ShootWindow(display, window, kClientHeight * ratio);
                const bool stands = again.Height > kClientHeight * ratio && same(again, shot);
                shot = std::move(again);
                return stands;
            },
            10000))
            << "the window at ratio " << ratio << " never stood still";
        EXPECT_EQ(program.Terminate(), 0);
    }

    // Region by region (8 x 8 units), the commonest colour of a control at
    // ratio 2 is the one it has at ratio 1: the effect labels show the
    // panel between their letters, the meters their scales, the organ its
    // lamps.
    struct TRegion {
        const char* Name;
        int Left, Top, Right, Bottom;
    };
    const TRegion regions[] = {
        { "MMLabel1 (title)", 64, 7, 385, 42 },
        { "MMLabel2 (new file each hour)", 56, 65, 393, 90 },
        { "MMLabel3 (recording time)", 144, 378, 241, 403 },
        { "MMLabel4 (mono/stereo)", 96, 440, 385, 465 },
        { "Meter1", 48, 95, 201, 200 },
        { "Meter2", 241, 95, 394, 200 },
        { "MMLight2 (lamps)", 104, 207, 353, 376 },
    };
    constexpr int kCell = 8;
    const auto commonest = [](const TWindowShot& shot, int ratio, int left, int top) {
        std::map<unsigned long, int> counts;
        for (int y = top * ratio; y < (top + kCell) * ratio; ++y)
            for (int x = left * ratio; x < (left + kCell) * ratio; ++x)
                ++counts[shot.At(x, y)];
        auto best = counts.begin();
        for (auto it = counts.begin(); it != counts.end(); ++it)
            if (it->second > best->second)
                best = it;
        return best->first;
    };
    for (const TRegion& region : regions) {
        int cells = 0;
        int alike = 0;
        for (int top = region.Top; top + kCell <= region.Bottom; top += kCell)
            for (int left = region.Left; left + kCell <= region.Right; left += kCell) {
                ++cells;
                alike += commonest(shots[0], 1, left, top) == commonest(shots[1], 2, left, top);
            }
        RecordProperty(region.Name, alike * 100 / cells);
        EXPECT_EQ(alike, cells) << region.Name << ": " << alike << " of " << cells << " alike";
    }

    // The marquee moves: lit white dots on unlit navy ones, at both ratios.
    for (const int ratio : { 1, 2 }) {
        int white = 0;
        int navy = 0;
        for (int y = 481 * ratio; y < 494 * ratio; ++y)
            for (int x = 12 * ratio; x < 430 * ratio; ++x) {
                white += shots[ratio - 1].At(x, y) == 0xFFFFFF;
                navy += shots[ratio - 1].At(x, y) == 0x000080;
            }
        EXPECT_GT(white, 100 * ratio * ratio) << "ratio " << ratio;
        EXPECT_GT(navy, 38 * 35 / 4 * ratio * ratio) << "ratio " << ratio;
    }
}
