// Start-up: one Tonvara per desktop. A running copy is recognised by its
// splash box, which stays in existence (hidden after three seconds) for the
// whole life of the process: a top-level window of class "TAboutBox" titled
// "Velmora".
#include "app/AnaGiris.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/x11/WinLookup.h"

#include <exception>

int main(int argc, char** argv)
{
    TQtApplication app(argc, argv);

    if (FindWindowA("TAboutBox", "Velmora") != nullptr) {
        MessageDlg(QString::fromUtf8("Program Şu Anda Zaten Çalışıyor!!"), mtInformation, { mbOK }, 0);
        SetForegroundWindow(FindWindowA("TAboutBox", "Velmora"));
        return 0;
    }

    // Whatever goes wrong while the windows are made, the message loop still
    // runs (a form that did get made stays usable); the error is reported
    // once the loop has ended.
    std::exception_ptr failure;
    try {
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
