#include "platform/ui/Application.h"
#include "platform/ui/Buttons.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/Forms.h"
#include "platform/ui/Menus.h"

int main(int argc, char** argv)
{
    TQtApplication app(argc, argv);
    Application->Initialize();
    Application->SetTitle(QStringLiteral("Tonvara"));

    // Until the main window exists, the program shows the demonstration form.
    TForm* form = nullptr;
    try {
        form = new TForm(Application, QStringLiteral("Demo.form"));
    } catch (const std::exception& error) {
        Application->ShowException(error);
        return 1;
    }
    Application->SetMainForm(form);
    auto close = [form](TObject*) { form->Close(); };
    if (auto* button = form->FindComponent<TBitBtn>(QStringLiteral("ExitButton")))
        button->SetOnClick(close);
    if (auto* item = form->FindComponent<TMenuItem>(QStringLiteral("Exit1")))
        item->SetOnClick(close);
    if (auto* item = form->FindComponent<TMenuItem>(QStringLiteral("Help1")))
        item->SetOnClick([](TObject*) { ShowMessage(QStringLiteral("Tonvara")); });
    auto* start = form->FindComponent<TBitBtn>(QStringLiteral("StartButton"));
    auto* stop = form->FindComponent<TBitBtn>(QStringLiteral("StopButton"));
    if (start && stop) {
        start->SetOnClick([start, stop](TObject*) {
            start->SetEnabled(false);
            stop->SetEnabled(true);
        });
        stop->SetOnClick([start, stop](TObject*) {
            stop->SetEnabled(false);
            start->SetEnabled(true);
        });
    }
    Application->Run();
    return 0;
}
