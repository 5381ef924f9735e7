// Start-up: one Tonvara per desktop. A running copy is recognised by its
// splash box, which stays in existence (hidden after three seconds) for the
// whole life of the process: a top-level window of class "TAboutBox" titled
// "Velmora".
#include "app/AnaGiris.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/x11/WinLookup.h"

#include <QSocketNotifier>
#include <csignal>
#include <exception>
#include <sys/socket.h>
#include <unistd.h>

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

} // namespace

int main(int argc, char** argv)
{
    TQtApplication app(argc, argv);

    if (FindWindowA("TAboutBox", "Velmora") != nullptr) {
        MessageDlg(QString::fromUtf8("Program Şu Anda Zaten Çalışıyor!!"), mtInformation, { mbOK }, 0);
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
        Application->Initialize();
        Application->SetTitle(QStringLiteral("Tonvara"));
        Application->CreateForm(AnaForm);
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
