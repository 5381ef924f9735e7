// Start-up: one Tonvara per desktop. A running copy is recognised by its
// splash box, which stays in existence (hidden after three seconds) for the
// whole life of the process: a top-level window of class "TAboutBox" titled
// "Velmora".
#include "app/About.h"
#include "app/AnaGiris.h"
#include "app/Unattended.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/x11/WinLookup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QtGui/qguiapplication_platform.h>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <optional>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <xcb/xcb.h>

namespace {

int SignalPipe[2] = { -1, -1 };

void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(SignalPipe[1], &byte, 1);
}

// A logout, a shutdown or Ctrl+C ends the program as its exit button does:
// both recorders stop, so the file being written is finished (sizes and
// fact chunk) instead of being cut off where the process was killed.
void CloseOnTerminationSignals()
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, SignalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, Application);
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = read(SignalPipe[0], &byte, 1);
        if (AnaForm != nullptr)
            AnaForm->Close();
        else
            Application->Terminate();
    });
    struct sigaction action { };
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : { SIGTERM, SIGINT, SIGHUP })
        sigaction(signal, &action, nullptr);
}

// Losing the display (the X server crashed, or a session ended without
// signalling its programs) would end the program inside Qt's event
// dispatch with exit(1), leaving the file being written without its last
// sizes and its fact chunk. Instead the recording is finished as the exit
// button finishes it, in the GUI thread where the recorders live, and the
// program ends at once: nothing of the windows can be shown any more, and
// the process's ordinary end would talk to the dead server.
xcb_connection_t* DisplayConnection = nullptr; // GUI thread
QtMessageHandler QtMessages = nullptr;

void FinishForLostDisplay()
{
    static bool finishing = false;
    if (std::exchange(finishing, true))
        return;
    std::fprintf(stderr,
        "tonvara: the display connection was lost; the recording is finished and the "
        "program ends\n");
    std::fflush(stderr);
    if (AnaForm != nullptr) {
        TCloseAction action = caFree;
        AnaForm->FormClose(AnaForm, action);
    }
    std::fflush(nullptr);
    std::_Exit(1);
}

// Qt tells of a broken connection before it ends the process; that is the
// last moment with everything still in place, whichever way the loss was
// found first.
void WatchQtMessages(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (DisplayConnection != nullptr && xcb_connection_has_error(DisplayConnection) && IsMainThread())
        FinishForLostDisplay();
    if (QtMessages != nullptr)
        QtMessages(type, context, text);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

void FinishOnDisplayLoss()
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    DisplayConnection = x11 != nullptr ? x11->connection() : nullptr;
    if (DisplayConnection == nullptr)
        return;
    QtMessages = qInstallMessageHandler(WatchQtMessages);
    // The server's end of the connection closing is mostly seen here first,
    // between two turns of the event loop rather than inside Qt's dispatch.
    // Only the hang-up is watched: the X events are the event reader's.
    const int watch = ::epoll_create1(EPOLL_CLOEXEC);
    if (watch < 0)
        return;
    epoll_event hangUp {};
    hangUp.events = EPOLLRDHUP;
    if (::epoll_ctl(watch, EPOLL_CTL_ADD, xcb_get_file_descriptor(DisplayConnection), &hangUp) != 0) {
        ::close(watch);
        return;
    }
    auto* notifier = new QSocketNotifier(watch, QSocketNotifier::Read, Application);
    QObject::connect(notifier, &QSocketNotifier::activated, [notifier] {
        notifier->setEnabled(false);
        FinishForLostDisplay();
    });
}

// The lock file of this user's copy on this display: in the user's runtime
// folder, else the temporary folder with the user in the name. The display
// is in the name, so a copy on another X server (a test's private one, say)
// is another copy; the screen number is not, since a display is one desktop.
QByteArray InstanceLockPath()
{
    QByteArray display = qgetenv("DISPLAY");
    if (const qsizetype colon = display.lastIndexOf(':'); colon >= 0) {
        if (const qsizetype dot = display.indexOf('.', colon); dot >= 0)
            display.truncate(dot);
    }
    for (char& c : display)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.')
            c = '_';
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(QFile::decodeName(runtime)).isDir())
        return runtime + "/tonvara-display" + display + ".lock";
    return QFile::encodeName(QDir::tempPath()) + "/tonvara-" + QByteArray::number(getuid()) + "-display"
        + display + ".lock";
}

// Two copies started together would both find no window and both record
// into the same file; an exclusive lock taken before looking lets only one
// through. It is held, by the open descriptor, until the process ends, also
// when it is killed. False when another copy holds it; a lock that cannot be
// made at all (no writable folder) leaves the window check alone to decide.
//
// In the shared temporary folder anyone may have made the file first: a
// symbolic link there is not followed (it could point at a file of the
// user's elsewhere), and a file of another user is not taken, since that
// user could hold its lock and keep the program from ever starting.
bool TakeInstanceLock()
{
    const QByteArray path = InstanceLockPath();
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        std::fprintf(
            stderr, "tonvara: cannot make the lock file %s: %s\n", path.constData(), std::strerror(errno));
        return true;
    }
    struct stat status { };
    if (::fstat(fd, &status) != 0 || status.st_uid != ::getuid()) {
        std::fprintf(
            stderr, "tonvara: the lock file %s belongs to another user; not using it\n", path.constData());
        ::close(fd);
        return true;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK)
        return false;
    std::fprintf(stderr, "tonvara: cannot lock %s: %s\n", path.constData(), std::strerror(error));
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    // Before any display is needed: --help and a fault must answer without one.
    TOptions options;
    if (const std::optional<int> exitCode = TakeCommandLine(argc, argv, options))
        return *exitCode;

    // The one-copy rule and the splash box lookup are X11 window matters:
    // under a Wayland session the program runs on XWayland, unless the user
    // chose a platform.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    TQtApplication app(argc, argv);

    // The window check stays beside the lock: other programs look for the
    // running copy by its splash box, and so does an older copy.
    if (!TakeInstanceLock() || FindWindowA("TAboutBox", "Velmora") != nullptr) {
        MessageDlg(QString::fromUtf8("Program Şu Anda Zaten Çalışıyor!!"), mtInformation, { mbOK }, 0);
        // The box closes as the key goes down; the rest of that key stroke
        // belongs to the box, not to the running copy about to get the focus.
        WaitForKeyboardRelease(3000);
        const HWND splash = FindWindowA("TAboutBox", "Velmora");
        SetForegroundWindow(splash);
        // After its three seconds the splash box is hidden, and bringing it
        // forward shows nothing: bring the running copy's main window.
        if (const HWND running = FindShownSibling(splash))
            SetForegroundWindow(running);
        return 0;
    }

    // Whatever goes wrong while the windows are made, the message loop still
    // runs (a form that did get made stays usable); the error is reported
    // once the loop has ended.
    std::exception_ptr failure;
    try {
        CloseOnTerminationSignals();
        FinishOnDisplayLoss();
        Application->Initialize();
        Application->SetTitle(QStringLiteral("Tonvara"));
        Application->CreateForm(AnaForm);
        Application->CreateForm(AboutFrm);
        ApplyOptions(options);
    } catch (...) {
        failure = std::current_exception();
    }
    Application->Run();
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& error) {
            Application->ShowException(error);
        } catch (...) {
        }
        return 1;
    }
    return 0;
}
