// The splash box on a real X server: its stored form, the splash display
// (frameless, above later windows, the picture in a 3-pixel margin), the
// timer that hides it, and the window start-up looks for, shown and hidden.
#include "app/AboutF.h"
#include "platform/ui/Jpeg.h"
#include "platform/x11/WinLookup.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <chrono>
#include <cstddef>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>

// Xlib's Screen and Time clash with the framework's names: keep its
// declarations in a namespace (its C functions still link).
namespace x11 {
#include <X11/Xlib.h>
#include <X11/Xutil.h>
} // namespace x11

namespace {

constexpr int kEventTimeout = 5000;

// Runs the event loop until Done holds or Timeout milliseconds have passed;
// returns whether Done held.
bool WaitFor(const std::function<bool()>& done, int timeout = kEventTimeout)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

bool WaitForExposed(QWidget* widget)
{
    return WaitFor([widget] { return widget->windowHandle() && widget->windowHandle()->isExposed(); });
}

class AboutBoxTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb")) << "these tests need an X server";
        FDisplay = x11::XOpenDisplay(nullptr);
        ASSERT_NE(FDisplay, nullptr);
    }

    void TearDown() override
    {
        if (FDisplay)
            x11::XCloseDisplay(FDisplay);
    }

    // Shows the splash and waits until the X server shows it painted.
    void ShowSplash(TAboutBox* box)
    {
        box->ShowSplash();
        ASSERT_TRUE(WaitForExposed(box->Handle()));
        box->Handle()->repaint();
        QCoreApplication::processEvents();
    }

    int MapState(unsigned long window)
    {
        x11::XWindowAttributes attributes {};
        if (!x11::XGetWindowAttributes(FDisplay, window, &attributes))
            return -1;
        return attributes.map_state;
    }

    std::string ClassOf(unsigned long window)
    {
        x11::XClassHint hint {};
        if (!x11::XGetClassHint(FDisplay, window, &hint))
            return std::string();
        std::string result = hint.res_class ? hint.res_class : "";
        if (hint.res_name)
            x11::XFree(hint.res_name);
        if (hint.res_class)
            x11::XFree(hint.res_class);
        return result;
    }

    // Position of a top-level window in the root's stacking order (higher is
    // above), -1 when it is not a child of the root.
    int StackIndex(unsigned long window)
    {
        x11::Window root = 0;
        x11::Window parent = 0;
        x11::Window* children = nullptr;
        unsigned int count = 0;
        int index = -1;
        if (x11::XQueryTree(FDisplay, x11::XDefaultRootWindow(FDisplay), &root, &parent, &children, &count)) {
            for (unsigned int i = 0; i < count; ++i)
                if (children[i] == window)
                    index = static_cast<int>(i);
            if (children)
                x11::XFree(children);
        }
        return index;
    }

    // Whether the window asks to stay above others (_NET_WM_STATE_ABOVE),
    // which is also what keeps two such windows from raising each other.
    bool AsksToStayAbove(unsigned long window)
    {
        const x11::Atom state = x11::XInternAtom(FDisplay, "_NET_WM_STATE", False);
        const x11::Atom above = x11::XInternAtom(FDisplay, "_NET_WM_STATE_ABOVE", False);
        x11::Atom type = 0;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        if (x11::XGetWindowProperty(
                FDisplay, window, state, 0, 64, False, AnyPropertyType, &type, &format, &items, &after, &data)
                != Success
            || !data)
            return false;
        bool found = false;
        for (unsigned long i = 0; i < items; ++i)
            found = found || reinterpret_cast<const unsigned long*>(data)[i] == above;
        x11::XFree(data);
        return found;
    }

    // The _MOTIF_WM_HINTS decorations field, -1 without the hint.
    long MotifDecorations(unsigned long window)
    {
        const x11::Atom hints = x11::XInternAtom(FDisplay, "_MOTIF_WM_HINTS", False);
        x11::Atom type = 0;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        if (x11::XGetWindowProperty(
                FDisplay, window, hints, 0, 5, False, hints, &type, &format, &items, &after, &data)
                != Success
            || !data)
            return -1;
        const auto* values = reinterpret_cast<const unsigned long*>(data);
        const long decorations = (items >= 3 && (values[0] & 2)) ? static_cast<long>(values[2]) : -1;
        x11::XFree(data);
        return decorations;
    }

    // Whether FindWindowA finds Window. It answers with the top-most match,
    // and programs started by other tests on the same server have splash
    // boxes of their own: the window is put on top of the stacking order
    // before each look-up, and a look-up that raced with another program's
    // raise is tried again.
    bool FindsOwn(unsigned long window)
    {
        return WaitFor([&] {
            x11::XRaiseWindow(FDisplay, window);
            x11::XSync(FDisplay, False);
            return FindWindowA("TAboutBox", "Velmora") == HwndFromWindowId(window);
        });
    }

    // What the X server shows of the box. A splash box of a program started
    // by another test on the same server sits at the same place and also
    // stays above others: the box is raised and repainted until the grab
    // shows its own margin (in Face).
    QImage GrabShown(TAboutBox* box, QRgb face)
    {
        QWidget* window = box->Handle();
        QImage shot;
        WaitFor([&] {
            x11::XRaiseWindow(FDisplay, window->winId());
            x11::XSync(FDisplay, False);
            window->repaint();
            QCoreApplication::processEvents();
            shot = QGuiApplication::primaryScreen()
                       ->grabWindow(window->winId())
                       .toImage()
                       .convertToFormat(QImage::Format_RGB32);
            return shot.size() == QSize(302, 201) && (shot.pixel(2, 100) | 0xFF000000u) == face
                && (shot.pixel(150, 2) | 0xFF000000u) == face;
        });
        return shot;
    }

    // What the X server shows at a point of the screen.
    static QRgb ScreenPixel(const QPoint& p)
    {
        return QGuiApplication::primaryScreen()->grabWindow(0, p.x(), p.y(), 1, 1).toImage().pixel(0, 0)
            | 0xFF000000u;
    }

    x11::Display* FDisplay = nullptr;
};

double MeanDifference(const QImage& a, const QImage& b)
{
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q))
                + std::abs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * a.width() * a.height());
}

TEST_F(AboutBoxTest, ReadsItsStoredForm)
{
    auto box = std::make_unique<TAboutBox>(nullptr);
    EXPECT_EQ(box->Name(), QStringLiteral("AboutBox"));
    EXPECT_EQ(box->Caption(), QStringLiteral("Velmora"));
    EXPECT_EQ(box->ClientWidth(), 302);
    EXPECT_EQ(box->ClientHeight(), 201);
    EXPECT_EQ(box->Position(), poScreenCenter);
    EXPECT_EQ(box->BorderStyle(), bsDialog);
    EXPECT_EQ(box->FormStyle(), fsNormal);
    EXPECT_EQ(box->Font()->Name(), QStringLiteral("MS Sans Serif"));
    EXPECT_EQ(box->Font()->Height(), -11);
    EXPECT_FALSE(box->Visible());

    ASSERT_NE(box->Panel1, nullptr);
    EXPECT_EQ(box->Panel1->Align(), alClient);
    EXPECT_EQ(box->Panel1->BevelInner(), bvLowered);
    EXPECT_EQ(box->Panel1->BorderWidth(), 0);
    EXPECT_EQ(box->Panel1->BoundsRect(), Rect(0, 0, 302, 201));

    ASSERT_NE(box->Image1, nullptr);
    EXPECT_EQ(box->Image1->Parent(), box->Panel1);
    EXPECT_EQ(box->Image1->Align(), alClient);
    EXPECT_TRUE(box->Image1->Stretch());
    EXPECT_EQ(box->Image1->BoundsRect(), Rect(2, 2, 300, 199));
    auto* jpeg = qobject_cast<TJPEGImage*>(box->Image1->Picture()->Graphic());
    ASSERT_NE(jpeg, nullptr);
    EXPECT_EQ(jpeg->Width(), 551);
    EXPECT_EQ(jpeg->Height(), 382);

    ASSERT_NE(box->BitBtn1, nullptr);
    EXPECT_EQ(box->BitBtn1->BoundsRect(), Rect(240, 168, 297, 193));
    EXPECT_EQ(box->BitBtn1->Kind(), bkOK);
    EXPECT_TRUE(box->BitBtn1->OnClick());

    ASSERT_NE(box->Timer1, nullptr);
    EXPECT_FALSE(box->Timer1->Enabled());
    EXPECT_EQ(box->Timer1->Interval(), 3000);
    EXPECT_TRUE(box->Timer1->OnTimer());

    // The window exists, unmapped, under its class from the start.
    const unsigned long id = box->Handle()->winId();
    EXPECT_EQ(ClassOf(id), "TAboutBox");
    EXPECT_EQ(MapState(id), IsUnmapped);
    EXPECT_TRUE(FindsOwn(id));
}

TEST_F(AboutBoxTest, SplashShowsThePictureFramelessAndOnTop)
{
    auto box = std::make_unique<TAboutBox>(nullptr);
    ASSERT_NO_FATAL_FAILURE(ShowSplash(box.get()));
    QWidget* window = box->Handle();
    const unsigned long id = window->winId();

    EXPECT_EQ(MapState(id), IsViewable);
    EXPECT_EQ(box->BorderStyle(), bsNone);
    EXPECT_EQ(box->FormStyle(), fsStayOnTop);
    EXPECT_TRUE(window->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(MotifDecorations(id), 0);
    EXPECT_TRUE(AsksToStayAbove(id));
    EXPECT_EQ(window->size(), QSize(302, 201));
    // Centred on the screen.
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_LE(std::abs(window->geometry().center().x() - screen.center().x()), 1);
    EXPECT_LE(std::abs(window->geometry().center().y() - screen.center().y()), 1);

    EXPECT_FALSE(box->BitBtn1->Visible());
    EXPECT_EQ(box->Panel1->BorderWidth(), 3);
    EXPECT_EQ(box->Image1->BoundsRect(), Rect(5, 5, 297, 196));

    // Start-up finds the shown box: class and title together.
    EXPECT_EQ(ClassOf(id), "TAboutBox");
    EXPECT_TRUE(FindsOwn(id));

    // What the server shows: the picture scaled into the margin, the panel's
    // face colour in the margin itself.
    const QRgb face = ColorToQColor(clBtnFace).rgb() | 0xFF000000u;
    const QImage shot = GrabShown(box.get(), face);
    ASSERT_EQ(shot.size(), QSize(302, 201));
    const QImage picture = qobject_cast<TJPEGImage*>(box->Image1->Picture()->Graphic())
                               ->Image()
                               .scaled(292, 191, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    EXPECT_LT(MeanDifference(shot.copy(5, 5, 292, 191), picture), 8.0);
    // Outside in: the raised outer bevel, the 3-pixel border, the lowered
    // inner bevel, the picture.
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(shot.pixel(i, 100) | 0xFF000000u, face) << i;
        EXPECT_EQ(shot.pixel(150, i) | 0xFF000000u, face) << i;
        EXPECT_EQ(shot.pixel(301 - i, 100) | 0xFF000000u, face) << i;
        EXPECT_EQ(shot.pixel(150, 200 - i) | 0xFF000000u, face) << i;
    }
    EXPECT_NE(shot.pixel(4, 100) | 0xFF000000u, face);
    EXPECT_NE(shot.pixel(297, 100) | 0xFF000000u, face);
    // The OK button's place shows the picture, not the button.
    EXPECT_LT(MeanDifference(shot.copy(240, 168, 57, 25), picture.copy(235, 163, 57, 25)), 12.0);

    // A window shown later over the box does not cover it.
    TForm other(nullptr);
    other.SetColor(clRed);
    other.SetBorderStyle(bsNone);
    other.SetPosition(poDesigned);
    other.SetBounds(window->x() - 20, window->y() - 20, 200, 150);
    other.Show();
    ASSERT_TRUE(WaitForExposed(other.Handle()));
    const unsigned long otherId = other.Handle()->winId();
    EXPECT_TRUE(WaitFor([&] { return StackIndex(id) > StackIndex(otherId); }, kEventTimeout))
        << "box " << StackIndex(id) << ", other window " << StackIndex(otherId);
    // The server shows the box as it showed alone, at points all over the
    // overlap (waited for: the box is raised once the server has told that
    // the other window came up).
    const QRgb red = qRgb(255, 0, 0);
    for (const QPoint& p : { QPoint(60, 60), QPoint(5, 5), QPoint(170, 120), QPoint(100, 30) })
        EXPECT_TRUE(WaitFor([&] {
            return ScreenPixel(window->mapToGlobal(p)) == (shot.pixel(p) | 0xFF000000u);
        })) << p.x()
            << "," << p.y();
    // The part of the other window outside the box is there to see.
    EXPECT_EQ(ScreenPixel(window->mapToGlobal(QPoint(-10, -10))), red);
}

TEST_F(AboutBoxTest, TimerHidesTheBoxWhoseWindowStaysFindable)
{
    QPointer<TAboutBox> box = new TAboutBox(nullptr);
    std::unique_ptr<TAboutBox> owner(box.data());
    ASSERT_NO_FATAL_FAILURE(ShowSplash(box));
    const unsigned long id = box->Handle()->winId();

    QEventLoop loop;
    int hides = 0;
    box->SetOnHide([&](TObject*) {
        ++hides;
        loop.quit();
    });
    box->Timer1->SetInterval(200);
    box->Timer1->SetEnabled(true);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    ASSERT_EQ(hides, 1) << "Timer1 did not hide the box";

    EXPECT_FALSE(box->Visible());
    EXPECT_TRUE(box->Timer1->Enabled());
    EXPECT_TRUE(WaitFor([&] { return MapState(id) == IsUnmapped; }, kEventTimeout));
    // Hidden, not destroyed: the same window, still of its class and title.
    EXPECT_EQ(box->Handle()->winId(), id);
    EXPECT_EQ(ClassOf(id), "TAboutBox");
    EXPECT_TRUE(FindsOwn(id));

    // Later ticks hide the hidden box again, which changes nothing.
    int ticks = 0;
    QEventLoop twoTicks;
    box->Timer1->SetOnTimer([&](TObject* sender) {
        box->Timer1Timer(sender);
        if (++ticks == 2)
            twoTicks.quit();
    });
    QTimer::singleShot(10000, &twoTicks, &QEventLoop::quit);
    twoTicks.exec();
    EXPECT_EQ(ticks, 2);
    EXPECT_EQ(hides, 1);
    EXPECT_EQ(MapState(id), IsUnmapped);
    EXPECT_FALSE(box.isNull());
}

TEST_F(AboutBoxTest, OkButtonClosesByHiding)
{
    QPointer<TAboutBox> box = new TAboutBox(nullptr);
    std::unique_ptr<TAboutBox> owner(box.data());
    ASSERT_NO_FATAL_FAILURE(ShowSplash(box));
    const unsigned long id = box->Handle()->winId();

    box->BitBtn1Click(box->BitBtn1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_FALSE(box.isNull());
    EXPECT_FALSE(box->Visible());
    EXPECT_TRUE(WaitFor([&] { return MapState(id) == IsUnmapped; }, kEventTimeout));
    EXPECT_TRUE(FindsOwn(id));
}

TEST_F(AboutBoxTest, TitleOfAnotherClassIsNotTheBox)
{
    QWidget stranger(nullptr, Qt::FramelessWindowHint);
    stranger.resize(100, 80);
    stranger.setWindowTitle(QStringLiteral("Velmora"));
    const unsigned long id = stranger.winId();
    ASSERT_TRUE(SetWindowClassName(id, "tonvara", "TAboutBoxes"));
    stranger.show();
    ASSERT_TRUE(WaitForExposed(&stranger));
    x11::XRaiseWindow(FDisplay, id);
    x11::XSync(FDisplay, False);

    EXPECT_EQ(FindWindowA("TAboutBoxes", "Velmora"), HwndFromWindowId(id));
    EXPECT_NE(FindWindowA("TAboutBox", "Velmora"), HwndFromWindowId(id));
}

} // namespace
