#include "platform/x11/WinLookup.h"

#include <QTest>
#include <QWidget>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;

constexpr auto kEventTimeout = 5s;
constexpr auto kServerStartTimeout = 20s;

// Test windows get class names no other process uses, so that tests running
// at the same time on the same X server (the program's own start-up tests
// look for its real class) never see each other's windows.
std::string UniqueName(const char* what)
{
    static int counter = 0;
    return std::string("TonvaraLookupTest.") + what + "." + std::to_string(getpid()) + "."
        + std::to_string(++counter);
}

// Waits for one event of `type` on `window`, at most `timeout`.
bool WaitForEvent(Display* display, Window window, int type, XEvent* event,
    std::chrono::milliseconds timeout = kEventTimeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (XCheckTypedWindowEvent(display, window, type, event)) {
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd fd { ConnectionNumber(display), POLLIN, 0 };
        poll(&fd, 1, static_cast<int>(left.count()));
    }
}

void SetUtf8Property(Display* display, Window window, const char* property, const std::string& text)
{
    XChangeProperty(display, window, XInternAtom(display, property, False),
        XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
}

Window CreateWindow(Display* display, Window parent = None)
{
    if (parent == None) {
        parent = DefaultRootWindow(display);
    }
    XSetWindowAttributes attributes {};
    attributes.event_mask = StructureNotifyMask;
    const Window window = XCreateWindow(display, parent, 10, 10, 120, 80, 0, CopyFromParent, InputOutput,
        CopyFromParent, CWEventMask, &attributes);
    XSync(display, False);
    return window;
}

// A top-level window made with plain Xlib, as another program would make it.
Window CreateNamedWindow(Display* display, const std::string& resClass,
    const std::optional<std::string>& title, const std::string& resName = "tonvara")
{
    const Window window = CreateWindow(display);
    XClassHint hint {};
    hint.res_name = const_cast<char*>(resName.c_str());
    hint.res_class = const_cast<char*>(resClass.c_str());
    XSetClassHint(display, window, &hint);
    if (title) {
        SetUtf8Property(display, window, "_NET_WM_NAME", *title);
    }
    XSync(display, False);
    return window;
}

void MapAndWait(Display* display, Window window)
{
    XMapWindow(display, window);
    XEvent event;
    ASSERT_TRUE(WaitForEvent(display, window, MapNotify, &event));
}

void UnmapAndWait(Display* display, Window window)
{
    XUnmapWindow(display, window);
    XEvent event;
    ASSERT_TRUE(WaitForEvent(display, window, UnmapNotify, &event));
}

Window TopOfStack(Display* display)
{
    Window root = None;
    Window parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
    const Window top = count ? children[count - 1] : None;
    if (children) {
        XFree(children);
    }
    return top;
}

Window FocusOf(Display* display)
{
    Window focus = None;
    int revertTo = 0;
    XGetInputFocus(display, &focus, &revertTo);
    return focus;
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value)
        : FName(name)
    {
        if (const char* old = std::getenv(name)) {
            FOld = old;
        }
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }

    ~ScopedEnv()
    {
        if (FOld) {
            setenv(FName.c_str(), FOld->c_str(), 1);
        } else {
            unsetenv(FName.c_str());
        }
    }

private:
    std::string FName;
    std::optional<std::string> FOld;
};

// Tests on the X server the test run shares: lookups only, with windows of
// unique classes.
class WinLookupTest : public testing::Test {
protected:
    void SetUp() override
    {
        FDisplay = XOpenDisplay(nullptr);
        ASSERT_NE(FDisplay, nullptr) << "these tests need an X server in $DISPLAY";
    }

    void TearDown() override
    {
        if (FDisplay) {
            XCloseDisplay(FDisplay);
        }
    }

    Display* FDisplay = nullptr;
};

TEST_F(WinLookupTest, FindsMappedWindowByClassAndTitle)
{
    const std::string cls = UniqueName("Mapped");
    const Window window = CreateNamedWindow(FDisplay, cls, "Velmora");
    MapAndWait(FDisplay, window);

    EXPECT_EQ(FindWindowA(cls.c_str(), "Velmora"), HwndFromWindowId(window));
}

TEST_F(WinLookupTest, FindsWindowsThatAreNotMapped)
{
    const std::string neverShown = UniqueName("NeverShown");
    const Window hiddenFromStart = CreateNamedWindow(FDisplay, neverShown, "Velmora");
    const std::string shownOnce = UniqueName("ShownOnce");
    const Window hiddenLater = CreateNamedWindow(FDisplay, shownOnce, "Velmora");
    MapAndWait(FDisplay, hiddenLater);
    UnmapAndWait(FDisplay, hiddenLater);

    EXPECT_EQ(FindWindowA(neverShown.c_str(), "Velmora"), HwndFromWindowId(hiddenFromStart));
    EXPECT_EQ(FindWindowA(shownOnce.c_str(), "Velmora"), HwndFromWindowId(hiddenLater));
}

// A window that matches in one half (title or class) only is no match.
TEST_F(WinLookupTest, AMatchInOneHalfIsNoMatch)
{
    struct TWindow {
        std::optional<std::string> Title;
        bool SoughtAsInstance = false; // the sought class as WM_CLASS's instance half
    };
    struct TCase {
        const char* What;
        bool OfTheSoughtClass; // whether the windows' class is the one sought
        std::vector<TWindow> Windows;
    };
    const TCase cases[] = {
        // The title alone; the instance half of WM_CLASS is not the class either.
        { "TitleAlone", false, { { "Velmora" }, { "Velmora", true } } },
        { "ClassAlone", true, { { "Velmora Kopya" }, { std::nullopt } } },
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        const std::string sought = UniqueName(c.What);
        const std::string windowClass = c.OfTheSoughtClass ? sought : UniqueName("Other");
        for (const TWindow& window : c.Windows)
            CreateNamedWindow(
                FDisplay, windowClass, window.Title, window.SoughtAsInstance ? sought : "tonvara");

        EXPECT_EQ(FindWindowA(sought.c_str(), "Velmora"), nullptr);
    }
}

TEST_F(WinLookupTest, NullArgumentsMatchAnything)
{
    const std::string cls = UniqueName("Null");
    const std::string title = UniqueName("Title");
    const Window window = CreateNamedWindow(FDisplay, cls, title);

    EXPECT_EQ(FindWindowA(cls.c_str(), nullptr), HwndFromWindowId(window));
    EXPECT_EQ(FindWindowA(nullptr, title.c_str()), HwndFromWindowId(window));
    EXPECT_NE(FindWindowA(nullptr, nullptr), nullptr);
}

TEST_F(WinLookupTest, MissingTitleIsEmpty)
{
    const std::string cls = UniqueName("Untitled");
    const Window window = CreateNamedWindow(FDisplay, cls, std::nullopt);

    EXPECT_EQ(FindWindowA(cls.c_str(), ""), HwndFromWindowId(window));
}

TEST_F(WinLookupTest, ComparesUtf8Titles)
{
    const std::string turkish = "Program Şu Anda Zaten Çalışıyor!!";
    const std::string cls = UniqueName("Utf8");
    const Window window = CreateNamedWindow(FDisplay, cls, turkish);

    EXPECT_EQ(FindWindowA(cls.c_str(), turkish.c_str()), HwndFromWindowId(window));
    EXPECT_EQ(FindWindowA(cls.c_str(), "Program Su Anda Zaten Calisiyor!!"), nullptr);
    EXPECT_EQ(FindWindowA(cls.c_str(), "Program Şu Anda Zaten Çalışıyor!"), nullptr);
}

TEST_F(WinLookupTest, IgnoresCaseOfAsciiLettersOnly)
{
    const std::string cls = UniqueName("Case");
    const Window window = CreateNamedWindow(FDisplay, cls, "Program Şu Anda");
    std::string upperClass = cls;
    for (char& c : upperClass) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }

    EXPECT_EQ(FindWindowA(upperClass.c_str(), "PROGRAM Şu ANDA"), HwndFromWindowId(window));
    EXPECT_EQ(FindWindowA(cls.c_str(), "Program şu Anda"), nullptr);
}

TEST_F(WinLookupTest, ReadsWmNameWhenNetWmNameIsMissing)
{
    // XStoreName writes the STRING type, which is Latin-1.
    const std::string latin1Class = UniqueName("Latin1");
    const Window latin1 = CreateNamedWindow(FDisplay, latin1Class, std::nullopt);
    XStoreName(FDisplay, latin1, "\xC7ok G\xFCzel");
    const std::string utf8Class = UniqueName("WmNameUtf8");
    const Window utf8 = CreateNamedWindow(FDisplay, utf8Class, std::nullopt);
    SetUtf8Property(FDisplay, utf8, "WM_NAME", "Zaten Çalışıyor");
    XSync(FDisplay, False);

    EXPECT_EQ(FindWindowA(latin1Class.c_str(), "Çok Güzel"), HwndFromWindowId(latin1));
    EXPECT_EQ(FindWindowA(utf8Class.c_str(), "Zaten Çalışıyor"), HwndFromWindowId(utf8));
}

TEST_F(WinLookupTest, ReadsWmNameInCompoundText)
{
    // Older toolkits store WM_NAME as COMPOUND_TEXT, switching character sets
    // with escape sequences (Latin-5 for Turkish letters).
    const std::string cls = UniqueName("Compound");
    const Window window = CreateNamedWindow(FDisplay, cls, std::nullopt);
    const std::string turkish = "Program Şu Anda Zaten Çalışıyor!!";
    char* list[] = { const_cast<char*>(turkish.c_str()) };
    XTextProperty property {};
    ASSERT_EQ(Xutf8TextListToTextProperty(FDisplay, list, 1, XCompoundTextStyle, &property), Success);
    ASSERT_EQ(property.encoding, XInternAtom(FDisplay, "COMPOUND_TEXT", False));
    ASSERT_NE(std::string(reinterpret_cast<const char*>(property.value), property.nitems), turkish);
    XSetWMName(FDisplay, window, &property);
    XFree(property.value);
    XSync(FDisplay, False);

    EXPECT_EQ(FindWindowA(cls.c_str(), turkish.c_str()), HwndFromWindowId(window));
}

TEST_F(WinLookupTest, NetWmNameComesBeforeWmName)
{
    const std::string cls = UniqueName("BothNames");
    const Window window = CreateNamedWindow(FDisplay, cls, "Velmora");
    XStoreName(FDisplay, window, "Eski Ad");
    XSync(FDisplay, False);

    EXPECT_EQ(FindWindowA(cls.c_str(), "Velmora"), HwndFromWindowId(window));
    EXPECT_EQ(FindWindowA(cls.c_str(), "Eski Ad"), nullptr);
}

TEST_F(WinLookupTest, AnswersWithTheTopMostMatch)
{
    const std::string cls = UniqueName("Twins");
    const Window first = CreateNamedWindow(FDisplay, cls, "Velmora");
    const Window second = CreateNamedWindow(FDisplay, cls, "Velmora");

    EXPECT_EQ(FindWindowA(cls.c_str(), "Velmora"), HwndFromWindowId(second));
    XRaiseWindow(FDisplay, first);
    XSync(FDisplay, False);
    EXPECT_EQ(FindWindowA(cls.c_str(), "Velmora"), HwndFromWindowId(first));
}

TEST_F(WinLookupTest, FindsTheApplicationWindowInsideAFrame)
{
    // What a reparenting window manager makes of a shown window: a frame
    // without WM_CLASS on the root, the application window inside it marked
    // with WM_STATE.
    const Window frame = CreateWindow(FDisplay);
    const Window decoration = CreateWindow(FDisplay, frame);
    const std::string cls = UniqueName("Framed");
    const Window client = CreateWindow(FDisplay, decoration);
    XClassHint hint {};
    hint.res_name = const_cast<char*>("tonvara");
    hint.res_class = const_cast<char*>(cls.c_str());
    XSetClassHint(FDisplay, client, &hint);
    SetUtf8Property(FDisplay, client, "_NET_WM_NAME", "Velmora");
    const Atom wmState = XInternAtom(FDisplay, "WM_STATE", False);
    const long normalState[2] = { NormalState, None };
    XChangeProperty(FDisplay, client, wmState, wmState, 32, PropModeReplace,
        reinterpret_cast<const unsigned char*>(normalState), 2);
    XSync(FDisplay, False);

    EXPECT_EQ(FindWindowA(cls.c_str(), "Velmora"), HwndFromWindowId(client));
}

TEST_F(WinLookupTest, SetWindowClassNameWritesWmClass)
{
    const Window named = CreateWindow(FDisplay);
    const Window classOnly = CreateWindow(FDisplay);
    const std::string cls = UniqueName("Set");

    ASSERT_TRUE(SetWindowClassName(named, "tonvara", cls.c_str()));
    ASSERT_TRUE(SetWindowClassName(classOnly, nullptr, cls.c_str()));

    XClassHint hint {};
    ASSERT_TRUE(XGetClassHint(FDisplay, named, &hint));
    EXPECT_STREQ(hint.res_name, "tonvara");
    EXPECT_EQ(hint.res_class, cls);
    XFree(hint.res_name);
    XFree(hint.res_class);
    ASSERT_TRUE(XGetClassHint(FDisplay, classOnly, &hint));
    EXPECT_EQ(hint.res_name, cls);
    EXPECT_EQ(hint.res_class, cls);
    XFree(hint.res_name);
    XFree(hint.res_class);
}

TEST_F(WinLookupTest, SetWindowClassNameRejectsWhatItCannotName)
{
    const Window gone = CreateWindow(FDisplay);
    XDestroyWindow(FDisplay, gone);
    XSync(FDisplay, False);
    const Window window = CreateWindow(FDisplay);

    EXPECT_FALSE(SetWindowClassName(gone, "tonvara", "TonvaraLookupTest"));
    EXPECT_FALSE(SetWindowClassName(window, "tonvara", nullptr));
    EXPECT_FALSE(SetWindowClassName(0, "tonvara", "TonvaraLookupTest"));
}

TEST_F(WinLookupTest, FindsQtWindowNamedBeforeItIsShown)
{
    // The splash box's way: final flags first, then the class, then show.
    const std::string cls = UniqueName("Qt");
    const QString title = QString::fromUtf8("Program Şu Anda Zaten Çalışıyor!!");
    QWidget box(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    box.resize(302, 201);
    box.setWindowTitle(title);
    const unsigned long id = box.winId();
    ASSERT_TRUE(SetWindowClassName(id, "tonvara", cls.c_str()));
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    ASSERT_EQ(box.winId(), id);

    EXPECT_EQ(FindWindowA(cls.c_str(), title.toUtf8().constData()), HwndFromWindowId(id));

    XSelectInput(FDisplay, id, StructureNotifyMask);
    XSync(FDisplay, False);
    box.hide();
    XEvent event;
    ASSERT_TRUE(WaitForEvent(FDisplay, id, UnmapNotify, &event));
    EXPECT_EQ(FindWindowA(cls.c_str(), title.toUtf8().constData()), HwndFromWindowId(id));
}

TEST_F(WinLookupTest, HandlesCarryWindowIds)
{
    EXPECT_EQ(HwndFromWindowId(0), nullptr);
    EXPECT_EQ(WindowIdFromHwnd(nullptr), 0ul);
    EXPECT_EQ(WindowIdFromHwnd(HwndFromWindowId(0x2a00007ul)), 0x2a00007ul);
}

TEST(WinLookupWithoutDisplay, FailsCleanly)
{
    const std::string cls = UniqueName("NoDisplay");
    {
        ScopedEnv noDisplay("DISPLAY", nullptr);
        EXPECT_EQ(FindWindowA(nullptr, nullptr), nullptr);
        EXPECT_EQ(SetForegroundWindow(HwndFromWindowId(0x400001)), FALSE);
        EXPECT_FALSE(SetWindowClassName(0x400001, "tonvara", cls.c_str()));
    }
    int number = 4900;
    struct stat info { };
    while (stat(("/tmp/.X11-unix/X" + std::to_string(number)).c_str(), &info) == 0) {
        ++number;
    }
    const std::string unreachable = ":" + std::to_string(number);
    ScopedEnv deadDisplay("DISPLAY", unreachable.c_str());
    EXPECT_EQ(FindWindowA(nullptr, nullptr), nullptr);
    EXPECT_EQ(SetForegroundWindow(HwndFromWindowId(0x400001)), FALSE);
    EXPECT_FALSE(SetWindowClassName(0x400001, "tonvara", cls.c_str()));
}

// An X server of the test's own, for the tests that change what all clients
// of a server share (focus, stacking, the root's window-manager properties),
// so that they neither disturb nor get disturbed by tests running alongside.
class PrivateXServer {
public:
    PrivateXServer()
    {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        const std::string fd = std::to_string(fds[1]);
        const char* argv[]
            = { "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp", nullptr };
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&FPid, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
            FPid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        // Xvfb writes its display number once it accepts connections.
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + kServerStartTimeout;
        while (FPid > 0 && std::chrono::steady_clock::now() < deadline) {
            pollfd pfd { fds[0], POLLIN, 0 };
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            char c = 0;
            if (read(fds[0], &c, 1) != 1 || c == '\n') {
                break;
            }
            number += c;
        }
        close(fds[0]);
        if (!number.empty()) {
            FName = ":" + number;
        }
    }

    ~PrivateXServer()
    {
        if (FPid > 0) {
            kill(FPid, SIGTERM);
            waitpid(FPid, nullptr, 0);
        }
    }

    PrivateXServer(const PrivateXServer&) = delete;
    PrivateXServer& operator=(const PrivateXServer&) = delete;

    /// The display name, empty when the server did not start.
    const std::string& Name() const { return FName; }

private:
    pid_t FPid = -1;
    std::string FName;
};

class ForegroundTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(FServer.Name().empty()) << "Xvfb did not start";
        FDisplayEnv.emplace("DISPLAY", FServer.Name().c_str());
        FDisplay = XOpenDisplay(nullptr);
        ASSERT_NE(FDisplay, nullptr);
    }

    void TearDown() override
    {
        if (FDisplay) {
            XCloseDisplay(FDisplay);
        }
        FDisplayEnv.reset();
    }

    // Plays the part of an EWMH window manager's announcement: the check
    // window naming itself, the root naming it and the requests supported.
    Window AnnounceWindowManager()
    {
        const Window check = CreateWindow(FDisplay);
        NameCheckWindow(check);
        const Atom supported[] = { XInternAtom(FDisplay, "_NET_ACTIVE_WINDOW", False),
            XInternAtom(FDisplay, "_NET_SUPPORTING_WM_CHECK", False) };
        XChangeProperty(FDisplay, DefaultRootWindow(FDisplay), XInternAtom(FDisplay, "_NET_SUPPORTED", False),
            XA_ATOM, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(supported), 2);
        XSelectInput(FDisplay, DefaultRootWindow(FDisplay), SubstructureNotifyMask);
        XSync(FDisplay, False);
        return check;
    }

    void NameCheckWindow(Window check)
    {
        const Atom property = XInternAtom(FDisplay, "_NET_SUPPORTING_WM_CHECK", False);
        XChangeProperty(FDisplay, check, property, XA_WINDOW, 32, PropModeReplace,
            reinterpret_cast<const unsigned char*>(&check), 1);
        XChangeProperty(FDisplay, DefaultRootWindow(FDisplay), property, XA_WINDOW, 32, PropModeReplace,
            reinterpret_cast<const unsigned char*>(&check), 1);
    }

    PrivateXServer FServer;
    std::optional<ScopedEnv> FDisplayEnv;
    Display* FDisplay = nullptr;
};

TEST_F(ForegroundTest, WithoutWindowManagerRaisesAndFocuses)
{
    const Window first = CreateWindow(FDisplay);
    const Window second = CreateWindow(FDisplay);
    MapAndWait(FDisplay, first);
    MapAndWait(FDisplay, second);
    XSetInputFocus(FDisplay, second, RevertToParent, CurrentTime);
    XSync(FDisplay, False);
    ASSERT_EQ(FocusOf(FDisplay), second);
    ASSERT_EQ(TopOfStack(FDisplay), second);

    EXPECT_EQ(SetForegroundWindow(HwndFromWindowId(first)), TRUE);

    EXPECT_EQ(FocusOf(FDisplay), first);
    EXPECT_EQ(TopOfStack(FDisplay), first);
}

TEST_F(ForegroundTest, WithoutWindowManagerRaisesTheFrame)
{
    const Window frame = CreateWindow(FDisplay);
    const Window client = CreateWindow(FDisplay, frame);
    const Window other = CreateWindow(FDisplay);
    MapAndWait(FDisplay, client);
    MapAndWait(FDisplay, frame);
    MapAndWait(FDisplay, other);
    ASSERT_EQ(TopOfStack(FDisplay), other);

    EXPECT_EQ(SetForegroundWindow(HwndFromWindowId(client)), TRUE);

    EXPECT_EQ(FocusOf(FDisplay), client);
    EXPECT_EQ(TopOfStack(FDisplay), frame);
}

TEST_F(ForegroundTest, HiddenWindowIsRaisedButNotFocused)
{
    const Window hidden = CreateWindow(FDisplay);
    const Window shown = CreateWindow(FDisplay);
    MapAndWait(FDisplay, shown);
    XSetInputFocus(FDisplay, shown, RevertToParent, CurrentTime);
    XSync(FDisplay, False);

    EXPECT_EQ(SetForegroundWindow(HwndFromWindowId(hidden)), FALSE);

    EXPECT_EQ(FocusOf(FDisplay), shown);
    EXPECT_EQ(TopOfStack(FDisplay), hidden);
}

TEST_F(ForegroundTest, UnknownWindowFails)
{
    const Window gone = CreateWindow(FDisplay);
    XDestroyWindow(FDisplay, gone);
    XSync(FDisplay, False);

    EXPECT_EQ(SetForegroundWindow(HwndFromWindowId(gone)), FALSE);
    EXPECT_EQ(SetForegroundWindow(nullptr), FALSE);
    // The process survived the server's BadWindow and keeps working.
    const Window window = CreateWindow(FDisplay);
    MapAndWait(FDisplay, window);
    EXPECT_EQ(SetForegroundWindow(HwndFromWindowId(window)), TRUE);
}

TEST_F(ForegroundTest, WithWindowManagerAsksForActivation)
{
    const Window window = CreateWindow(FDisplay);
    MapAndWait(FDisplay, window);
    const Window focusBefore = FocusOf(FDisplay);
    AnnounceWindowManager();

    EXPECT_EQ(SetForegroundWindow(HwndFromWindowId(window)), TRUE);

    XEvent event;
    ASSERT_TRUE(WaitForEvent(FDisplay, window, ClientMessage, &event));
    EXPECT_EQ(event.xclient.message_type, XInternAtom(FDisplay, "_NET_ACTIVE_WINDOW", False));
    EXPECT_EQ(event.xclient.format, 32);
    EXPECT_EQ(event.xclient.data.l[0], 2);
    EXPECT_EQ(event.xclient.data.l[1], static_cast<long>(CurrentTime));
    EXPECT_TRUE(event.xclient.send_event);
    // Focus is the manager's business now.
    EXPECT_EQ(FocusOf(FDisplay), focusBefore);
}

TEST_F(ForegroundTest, WithWindowManagerAsksForIconicWindow)
{
    const Window window = CreateWindow(FDisplay);
    const Atom wmState = XInternAtom(FDisplay, "WM_STATE", False);
    const long iconicState[2] = { IconicState, None };
    XChangeProperty(FDisplay, window, wmState, wmState, 32, PropModeReplace,
        reinterpret_cast<const unsigned char*>(iconicState), 2);
    AnnounceWindowManager();

    EXPECT_EQ(SetForegroundWindow(HwndFromWindowId(window)), TRUE);

    XEvent event;
    ASSERT_TRUE(WaitForEvent(FDisplay, window, ClientMessage, &event));
    EXPECT_EQ(event.xclient.message_type, XInternAtom(FDisplay, "_NET_ACTIVE_WINDOW", False));
}

TEST_F(ForegroundTest, WithWindowManagerWithdrawnWindowIsNotAskedFor)
{
    const Window window = CreateWindow(FDisplay);
    AnnounceWindowManager();

    EXPECT_EQ(SetForegroundWindow(HwndFromWindowId(window)), FALSE);

    // The call synchronised with the server before it returned, so anything it
    // sent is queued for us after one more round trip.
    XSync(FDisplay, False);
    XEvent event;
    EXPECT_FALSE(XCheckTypedWindowEvent(FDisplay, window, ClientMessage, &event));
}

TEST_F(ForegroundTest, LeftoverWindowManagerCheckIsIgnored)
{
    const Window window = CreateWindow(FDisplay);
    MapAndWait(FDisplay, window);
    const Window check = AnnounceWindowManager();
    XDestroyWindow(FDisplay, check);
    XSync(FDisplay, False);

    EXPECT_EQ(SetForegroundWindow(HwndFromWindowId(window)), TRUE);

    EXPECT_EQ(FocusOf(FDisplay), window);
    XEvent event;
    EXPECT_FALSE(XCheckTypedWindowEvent(FDisplay, window, ClientMessage, &event));
}

} // namespace

TEST_F(WinLookupTest, FindsTheShownWindowOfTheSameProgram)
{
    // A program of three windows (a hidden one, a shown one and the leader,
    // never mapped) and another program with a shown window on top.
    const Window leader = CreateWindow(FDisplay);
    const Atom leaderAtom = XInternAtom(FDisplay, "WM_CLIENT_LEADER", False);
    auto lead = [&](Window window, Window by) {
        XChangeProperty(FDisplay, window, leaderAtom, XA_WINDOW, 32, PropModeReplace,
            reinterpret_cast<const unsigned char*>(&by), 1);
    };
    const Window hidden = CreateNamedWindow(FDisplay, UniqueName("Hidden"), "Velmora");
    const Window main = CreateNamedWindow(FDisplay, UniqueName("Main"), "Main");
    const Window stranger = CreateNamedWindow(FDisplay, UniqueName("Stranger"), "Other");
    const Window strangersLeader = CreateWindow(FDisplay);
    for (Window window : { leader, hidden, main })
        lead(window, leader);
    lead(stranger, strangersLeader);
    XSync(FDisplay, False);

    EXPECT_EQ(FindShownSibling(HwndFromWindowId(hidden)), nullptr) << "nothing of the program is shown yet";
    MapAndWait(FDisplay, main);
    MapAndWait(FDisplay, stranger);
    EXPECT_EQ(FindShownSibling(HwndFromWindowId(hidden)), HwndFromWindowId(main));
    // The window asked about is not its own sibling.
    EXPECT_EQ(FindShownSibling(HwndFromWindowId(main)), nullptr);
    EXPECT_EQ(FindShownSibling(nullptr), nullptr);

    // Without leaders, the process on its machine tells.
    const Window loneA = CreateNamedWindow(FDisplay, UniqueName("LoneA"), "A");
    const Window loneB = CreateNamedWindow(FDisplay, UniqueName("LoneB"), "B");
    const Atom pidAtom = XInternAtom(FDisplay, "_NET_WM_PID", False);
    const long pid = 999999;
    for (Window window : { loneA, loneB })
        XChangeProperty(FDisplay, window, pidAtom, XA_CARDINAL, 32, PropModeReplace,
            reinterpret_cast<const unsigned char*>(&pid), 1);
    XSync(FDisplay, False);
    MapAndWait(FDisplay, loneB);
    EXPECT_EQ(FindShownSibling(HwndFromWindowId(loneA)), HwndFromWindowId(loneB));
    EXPECT_EQ(FindShownSibling(HwndFromWindowId(stranger)), nullptr);

    for (Window window : { leader, hidden, main, stranger, strangersLeader, loneA, loneB })
        XDestroyWindow(FDisplay, window);
    XSync(FDisplay, False);
}
