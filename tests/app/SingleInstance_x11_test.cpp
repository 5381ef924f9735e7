// One Tonvara per desktop: the real program, started twice on the test X
// server. A second copy shows "Program Şu Anda Zaten Çalışıyor!!" and ends
// with 0 without making a window of its own, whether the first copy's splash
// box is still on the screen or already hidden; any window of class
// "TAboutBox" titled "Velmora" blocks, a "Velmora" of another class does not.
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QScopeGuard>
#include <QThread>
#include <algorithm>
#include <cctype>
#include <functional>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <string>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using tonvara::test::PollUntil;

struct TTopLevel {
    Window Id = 0;
    std::string Class;
    std::string Title;
    long Pid = -1;
    bool Mapped = false;
};

class TServer {
public:
    TServer()
        : FDisplay(XOpenDisplay(nullptr))
    {
    }
    ~TServer()
    {
        if (FDisplay)
            XCloseDisplay(FDisplay);
    }
    Display* Get() const { return FDisplay; }

    std::vector<TTopLevel> TopLevels()
    {
        std::vector<TTopLevel> result;
        Window root = 0, parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(FDisplay, DefaultRootWindow(FDisplay), &root, &parent, &children, &count))
            return result;
        for (unsigned i = 0; i < count; ++i) {
            TTopLevel window;
            window.Id = children[i];
            XClassHint hint {};
            if (XGetClassHint(FDisplay, children[i], &hint)) {
                window.Class = hint.res_class ? hint.res_class : "";
                XFree(hint.res_name);
                XFree(hint.res_class);
            }
            window.Title = Utf8Property(children[i], "_NET_WM_NAME");
            window.Pid = CardinalProperty(children[i], "_NET_WM_PID");
            XWindowAttributes attributes {};
            if (XGetWindowAttributes(FDisplay, children[i], &attributes))
                window.Mapped = attributes.map_state == IsViewable;
            result.push_back(window);
        }
        if (children)
            XFree(children);
        return result;
    }

    // The mapped top-level windows of process Pid.
    std::vector<TTopLevel> MappedOf(qint64 pid)
    {
        std::vector<TTopLevel> result;
        for (const TTopLevel& window : TopLevels())
            if (window.Pid == pid && window.Mapped)
                result.push_back(window);
        return result;
    }

    // Asks a window to close, as a window manager's close button does.
    void RequestClose(Window window)
    {
        XEvent event {};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(FDisplay, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(XInternAtom(FDisplay, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(FDisplay, window, False, NoEventMask, &event);
        XFlush(FDisplay);
    }

    // Gives a window the keyboard focus, as a window manager would.
    void Focus(Window window)
    {
        XSetInputFocus(FDisplay, window, RevertToParent, CurrentTime);
        XSync(FDisplay, False);
    }

    Window CreateNamed(const char* resClass, const char* title)
    {
        const Window window
            = XCreateSimpleWindow(FDisplay, DefaultRootWindow(FDisplay), 0, 0, 50, 50, 0, 0, 0);
        XClassHint hint {};
        hint.res_name = const_cast<char*>("test");
        hint.res_class = const_cast<char*>(resClass);
        XSetClassHint(FDisplay, window, &hint);
        XStoreName(FDisplay, window, title);
        XSync(FDisplay, False);
        return window;
    }

private:
    std::string Utf8Property(Window window, const char* name)
    {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        std::string text;
        if (XGetWindowProperty(FDisplay, window, XInternAtom(FDisplay, name, False), 0, 1024, False,
                AnyPropertyType, &type, &format, &items, &after, &data)
                == Success
            && data) {
            text.assign(reinterpret_cast<char*>(data), items);
        }
        if (data)
            XFree(data);
        if (text.empty()) {
            char* plain = nullptr;
            if (XFetchName(FDisplay, window, &plain) && plain) {
                text = plain;
                XFree(plain);
            }
        }
        return text;
    }
    long CardinalProperty(Window window, const char* name)
    {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        long value = -1;
        if (XGetWindowProperty(FDisplay, window, XInternAtom(FDisplay, name, False), 0, 1, False, XA_CARDINAL,
                &type, &format, &items, &after, &data)
                == Success
            && data && items == 1)
            value = *reinterpret_cast<long*>(data);
        if (data)
            XFree(data);
        return value;
    }

    Display* FDisplay;
};

class SingleInstance : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(Server.Get(), nullptr);
        FDir = tonvara::test::MakeTempDir("single-instance");
    }
    void TearDown() override
    {
        for (QProcess* process : { &First, &Second }) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(5000);
            }
        }
    }

    void Start(QProcess& process)
    {
        process.setWorkingDirectory(FDir);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(tonvara::test::BinaryDir() + "/app/tonvara", {});
        ASSERT_TRUE(process.waitForStarted(10000));
    }

    // The splash box of process Pid: its class and title, mapped or not.
    bool HasSplash(qint64 pid, bool mapped)
    {
        for (const TTopLevel& window : Server.TopLevels())
            if (window.Pid == pid && window.Class == "TAboutBox" && window.Title == "Velmora"
                && window.Mapped == mapped)
                return true;
        return false;
    }

    // The information box of a refused copy: its only window.
    Window RefusalBox(QProcess& process)
    {
        const qint64 pid = process.processId();
        Window box = 0;
        EXPECT_TRUE(PollUntil(
            [&] {
                for (const TTopLevel& window : Server.MappedOf(pid))
                    if (window.Title == "Information")
                        box = window.Id;
                return box != 0;
            },
            20000))
            << "the second copy shows no information dialog";
        EXPECT_EQ(Server.MappedOf(pid).size(), 1u) << "the second copy made a window besides its dialog";
        for (const TTopLevel& window : Server.TopLevels())
            EXPECT_FALSE(window.Pid == pid && window.Class == "TAboutBox");
        return box;
    }

    static void ExpectEndedWithZero(QProcess& process)
    {
        ASSERT_TRUE(process.waitForFinished(10000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0);
    }

    // A second copy: its only window is the information dialog; closing
    // that ends the copy with 0.
    void ExpectRefused()
    {
        Start(Second);
        const Window box = RefusalBox(Second);
        ASSERT_NE(box, 0u);
        Server.RequestClose(box);
        ExpectEndedWithZero(Second);
    }

    // The running copy's main window, once its splash box is hidden.
    Window MainWindowOf(QProcess& process)
    {
        EXPECT_TRUE(PollUntil([&] { return HasSplash(process.processId(), false); }, 20000))
            << "the splash box was not hidden, or was destroyed";
        for (const TTopLevel& window : Server.MappedOf(process.processId()))
            if (window.Class != "TAboutBox")
                return window.Id;
        return 0;
    }

    TServer Server;
    QString FDir;
    QProcess First;
    QProcess Second;
};

} // namespace

TEST_F(SingleInstance, ASecondCopyIsRefusedDuringTheSplashAndAfterIt)
{
    Start(First);
    ASSERT_TRUE(PollUntil([&] { return HasSplash(First.processId(), true); }, 20000))
        << "the first copy shows no splash box";
    ExpectRefused();
    // After three seconds the splash box is hidden but still there.
    const Window main = MainWindowOf(First);
    ASSERT_NE(main, 0u);

    // Another window covers the running copy; the refused second copy
    // brings the running copy's main window forward.
    const Window cover = Server.CreateNamed("Cover", "Cover");
    XMapRaised(Server.Get(), cover);
    XSync(Server.Get(), False);
    ASSERT_EQ(Server.TopLevels().back().Id, cover);
    ExpectRefused();
    EXPECT_EQ(Server.TopLevels().back().Id, main) << "the running copy was not brought forward";
    XDestroyWindow(Server.Get(), cover);
    XSync(Server.Get(), False);
    EXPECT_EQ(First.state(), QProcess::Running);

    // The first copy ends when its main window is closed.
    Server.RequestClose(main);
    ASSERT_TRUE(First.waitForFinished(10000));
    EXPECT_EQ(First.exitCode(), 0);
}

TEST_F(SingleInstance, AnyTAboutBoxCalledVelmoraBlocksAndOnlyThat)
{
    // Another program's window of the class and title, not even mapped.
    const Window foreign = Server.CreateNamed("TAboutBox", "Velmora");
    ExpectRefused();
    XDestroyWindow(Server.Get(), foreign);

    // The title alone is not enough.
    const Window other = Server.CreateNamed("SomethingElse", "Velmora");
    Start(First);
    ASSERT_TRUE(PollUntil([&] { return HasSplash(First.processId(), true); }, 20000))
        << "a window of another class titled Velmora blocked the start";
    XDestroyWindow(Server.Get(), other);
    XSync(Server.Get(), False);
}

TEST_F(SingleInstance, EnterOnTheRefusalBoxActsOnTheBoxAlone)
{
    // The user dismisses the box with Enter, once with a short stroke and
    // once holding the key until it repeats (the X server's delay before
    // repeating is 660 ms; it is held for 1.5 s): none of it may press a
    // button of the running copy, which is only brought forward.
    Start(First);
    const Window main = MainWindowOf(First);
    ASSERT_NE(main, 0u);
    Server.Focus(main);
    for (const int holdMs : { 0, 1500 }) {
        Start(Second);
        const Window box = RefusalBox(Second);
        ASSERT_NE(box, 0u);
        Server.Focus(box);
        ASSERT_EQ(QProcess::execute("xdotool", { "keydown", "Return" }), 0);
        // How long the user's finger stays on the key: an action, not a wait.
        QThread::msleep(static_cast<unsigned long>(holdMs));
        ASSERT_EQ(QProcess::execute("xdotool", { "keyup", "Return" }), 0);
        ExpectEndedWithZero(Second);
        EXPECT_EQ(Server.TopLevels().back().Id, main) << "the running copy was not brought forward";
    }
    // The running copy handles its events in order: whatever the keys did
    // there is done before it takes this request to close.
    Server.RequestClose(main);
    ASSERT_TRUE(First.waitForFinished(10000));
    EXPECT_EQ(First.exitCode(), 0);
    EXPECT_EQ(QDir(FDir).entryList({ "*.wav" }, QDir::Files), QStringList {})
        << "a key meant for the box started a recording";
}

TEST_F(SingleInstance, AnEnterHeldInTheTerminalDoesNotCloseTheRefusalBox)
{
    // The user starts the second copy with Enter in a terminal and keeps it
    // down: its repeats reach the box that appears meanwhile (a window
    // manager gives a new box the focus). The box never saw the key go
    // down, so they are not presses for it; a fresh Enter closes it.
    Start(First);
    const Window main = MainWindowOf(First);
    ASSERT_NE(main, 0u);
    const Window terminal = Server.CreateNamed("Terminal", "Terminal");
    XMapRaised(Server.Get(), terminal);
    XSync(Server.Get(), False);
    ASSERT_TRUE(PollUntil(
        [&] {
            XWindowAttributes attributes {};
            return XGetWindowAttributes(Server.Get(), terminal, &attributes)
                && attributes.map_state == IsViewable;
        },
        5000));
    Server.Focus(terminal);
    ASSERT_EQ(QProcess::execute("xdotool", { "keydown", "Return" }), 0);
    const auto release = qScopeGuard([] { QProcess::execute("xdotool", { "keyup", "Return" }); });
    Start(Second);
    const Window box = RefusalBox(Second);
    ASSERT_NE(box, 0u);
    Server.Focus(box);
    // The finger stays on the key past the server's repeat delay (660 ms):
    // an action of the user's, not a wait.
    QThread::msleep(1500);
    ASSERT_EQ(QProcess::execute("xdotool", { "keyup", "Return" }), 0);
    bool stillShown = false;
    for (const TTopLevel& window : Server.MappedOf(Second.processId()))
        stillShown = stillShown || window.Id == box;
    EXPECT_TRUE(stillShown) << "the box closed on a key it never saw pressed";
    ASSERT_EQ(QProcess::execute("xdotool", { "key", "Return" }), 0);
    ExpectEndedWithZero(Second);
    XDestroyWindow(Server.Get(), terminal);
    XSync(Server.Get(), False);
    Server.RequestClose(main);
    ASSERT_TRUE(First.waitForFinished(10000));
    EXPECT_EQ(QDir(FDir).entryList({ "*.wav" }, QDir::Files), QStringList {})
        << "a key meant for the box started a recording";
}

TEST_F(SingleInstance, TwoCopiesStartedTogetherLeaveOneRunning)
{
    // Started in the same instant, both copies would find no splash box; a
    // lock taken before looking lets one through and refuses the other.
    for (int round = 0; round < 3; ++round) {
        Start(First);
        Start(Second);
        QProcess* refused = nullptr;
        ASSERT_TRUE(PollUntil(
            [&] {
                for (QProcess* process : { &First, &Second })
                    for (const TTopLevel& window : Server.MappedOf(process->processId()))
                        if (window.Title == "Information")
                            refused = process;
                return refused != nullptr;
            },
            20000))
            << "round " << round << ": neither copy was refused";
        QProcess* running = refused == &First ? &Second : &First;
        ASSERT_TRUE(PollUntil([&] { return HasSplash(running->processId(), true); }, 20000));
        const Window box = RefusalBox(*refused);
        ASSERT_NE(box, 0u);
        Server.RequestClose(box);
        ExpectEndedWithZero(*refused);
        EXPECT_EQ(running->state(), QProcess::Running);
        running->kill();
        running->waitForFinished(10000);
    }
}

TEST_F(SingleInstance, ALockFileInTheTemporaryFolderThatIsNotTheUsersOwnIsLeftAlone)
{
    // Without a runtime folder the lock file lies in the shared temporary
    // folder, where anyone may have put one first and hold its lock: a link
    // to a file of the user's, or a file of another user. Neither keeps
    // the program from starting; it says so and the window check decides.
    QByteArray display = qgetenv("DISPLAY");
    display.truncate(display.contains('.') ? display.lastIndexOf('.') : display.size());
    for (char& c : display)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.')
            c = '_';
    for (const bool link : { true, false }) {
        SCOPED_TRACE(link ? "a link" : "another user's file");
        const QString temp = tonvara::test::MakeTempDir("lock");
        const QString lock = temp + QStringLiteral("/tonvara-%1-display").arg(getuid()) + display + ".lock";
        const QString held = link ? temp + "/the-users-file" : lock;
        QFile file(held);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        if (link)
            ASSERT_TRUE(QFile::link(held, lock));
        else
            ASSERT_EQ(::fchown(file.handle(), 65534, 65534), 0);
        ASSERT_EQ(::flock(file.handle(), LOCK_EX | LOCK_NB), 0);

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("XDG_RUNTIME_DIR");
        environment.insert("TMPDIR", temp);
        First.setProcessEnvironment(environment);
        First.setWorkingDirectory(FDir);
        First.setStandardErrorFile(temp + "/stderr.txt");
        First.start(tonvara::test::BinaryDir() + "/app/tonvara", {});
        ASSERT_TRUE(First.waitForStarted(10000));
        ASSERT_TRUE(PollUntil(
            [&] {
                for (const TTopLevel& window : Server.MappedOf(First.processId()))
                    if (window.Title == "Information"
                        || (window.Class == "TAboutBox" && window.Title == "Velmora"))
                        return true;
                return false;
            },
            20000));
        EXPECT_TRUE(HasSplash(First.processId(), true)) << "the program took itself for a second copy";
        First.kill();
        First.waitForFinished(10000);
        QFile errors(temp + "/stderr.txt");
        ASSERT_TRUE(errors.open(QIODevice::ReadOnly));
        EXPECT_TRUE(errors.readAll().contains("tonvara: "
            + QString(link ? "cannot make the lock file " : "the lock file ").toUtf8() + lock.toUtf8()));
    }
}

TEST_F(SingleInstance, UnderAWaylandSessionTheCopyIsFoundOnX)
{
    // A Wayland session with Qt's Wayland platform at hand: a copy left to
    // Qt's choice would be a Wayland client, invisible to the X window check
    // of the next copy. It runs on X (XWayland on a real desktop) instead.
    const QString runtime = tonvara::test::MakeTempDir("wayland");
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcess compositor;
    QProcessEnvironment compositorEnvironment = QProcessEnvironment::systemEnvironment();
    compositorEnvironment.insert("XDG_RUNTIME_DIR", runtime);
    compositor.setProcessEnvironment(compositorEnvironment);
    compositor.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    compositor.start(
        "weston", { "--backend=headless-backend.so", "--socket=wayland-tonvara", "--idle-time=0" });
    ASSERT_TRUE(compositor.waitForStarted(10000)) << "weston is missing: run scripts/setup";
    ASSERT_TRUE(PollUntil([&] { return QFile::exists(runtime + "/wayland-tonvara"); }, 10000));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("QT_QPA_PLATFORM");
    environment.insert("XDG_SESSION_TYPE", "wayland");
    environment.insert("XDG_RUNTIME_DIR", runtime);
    environment.insert("WAYLAND_DISPLAY", "wayland-tonvara");
    First.setProcessEnvironment(environment);
    Start(First);
    EXPECT_TRUE(PollUntil([&] { return HasSplash(First.processId(), true); }, 20000))
        << "the copy shows no splash box on X";
    First.kill();
    First.waitForFinished(10000);
    compositor.terminate();
    compositor.waitForFinished(10000);
}

TEST_F(SingleInstance, AReadOnlyFolderEndsTheProgramWithOneBeforeItsWindowShows)
{
    ASSERT_EQ(::chmod(FDir.toLocal8Bit().constData(), 0555), 0);
    // Root writes into any folder: the program runs without that privilege.
    First.setChildProcessModifier([] { ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0); });
    Start(First);
    const qint64 pid = First.processId();
    std::vector<std::string> boxes;
    std::vector<Window> closed;
    bool mainWindowShown = false;
    ASSERT_TRUE(PollUntil(
        [&] {
            for (const TTopLevel& window : Server.MappedOf(pid)) {
                if (window.Class == "TAboutBox")
                    continue;
                if (window.Title.rfind("Velmora  ", 0) == 0) {
                    mainWindowShown = true;
                    continue;
                }
                // Each box is closed once; it may still be seen until it goes.
                if (std::find(closed.begin(), closed.end(), window.Id) == closed.end()) {
                    closed.push_back(window.Id);
                    boxes.push_back(window.Title);
                    Server.RequestClose(window.Id);
                }
            }
            return First.state() == QProcess::NotRunning || First.waitForFinished(0);
        },
        30000));
    ::chmod(FDir.toLocal8Bit().constData(), 0755);
    EXPECT_EQ(First.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(First.exitCode(), 1);
    EXPECT_FALSE(mainWindowShown);
    EXPECT_EQ(boxes, (std::vector<std::string> { "Tonvara", "BMP Unit", "Loading Textures" }));
    EXPECT_FALSE(QFileInfo::exists(FDir + "/parcacik.bmp"));
}
