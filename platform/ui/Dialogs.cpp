#include "platform/ui/Dialogs.h"

#include "platform/ui/Application.h"
#include "platform/ui/Controls.h"

#include <QApplication>
#include <QHash>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <utility>

namespace {

struct THandlerSlot {
    std::mutex Lock;
    TMessageDialogHandler Handler;
};

THandlerSlot& HandlerSlot()
{
    static THandlerSlot slot;
    return slot;
}

QString ButtonCaption(TModalResult result)
{
    switch (result) {
    case mrOk:
        return QStringLiteral("OK");
    case mrCancel:
        return QStringLiteral("Cancel");
    case mrAbort:
        return QStringLiteral("&Abort");
    case mrRetry:
        return QStringLiteral("&Retry");
    case mrIgnore:
        return QStringLiteral("&Ignore");
    case mrYes:
        return QStringLiteral("&Yes");
    case mrNo:
        return QStringLiteral("&No");
    case mrAll:
        return QStringLiteral("&All");
    case mrNoToAll:
        return QStringLiteral("N&o to All");
    case mrYesToAll:
        return QStringLiteral("Yes to &All");
    case mrClose:
        return QStringLiteral("&Close");
    default:
        return QStringLiteral("&Help");
    }
}

// mbHelp has no modal result of its own; it closes nothing in a message
// dialog, so it is shown with a result nobody else uses.
constexpr TModalResult kHelpResult = -1;

QMessageBox::Icon IconOf(TMsgDlgType type)
{
    switch (type) {
    case mtWarning:
        return QMessageBox::Warning;
    case mtError:
        return QMessageBox::Critical;
    case mtInformation:
        return QMessageBox::Information;
    case mtConfirmation:
        return QMessageBox::Question;
    default:
        return QMessageBox::NoIcon;
    }
}

// Keys act on a box as on the windows' controls: only a key this program
// saw go down does. A box that appears while a key held elsewhere (in the
// terminal that started the program) repeats would otherwise take the
// repeats as presses of its own and close on a key nobody pressed for it.
class TBoxKeyFilter : public QObject {
public:
    explicit TBoxKeyFilter(QWidget* box)
        : FBox(box)
    {
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        const QEvent::Type type = event->type();
        if (type != QEvent::KeyPress && type != QEvent::KeyRelease)
            return false;
        // Judged once, where the event is delivered first (the focused
        // button, else the box); it then travels up to the parents.
        QWidget* focus = QApplication::focusWidget();
        QWidget* first = focus != nullptr && focus->window() == FBox ? focus : FBox;
        if (watched != first)
            return false;
        return !KeyMeantForThisProgram(static_cast<QKeyEvent*>(event), type == QEvent::KeyPress);
    }

private:
    QWidget* FBox;
};

// The modal box itself. GUI thread.
TModalResult ShowModal(const TMessageDialogRequest& request)
{
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        // No widgets to show: say it on stderr and take the default.
        std::fprintf(stderr, "%s: %s\n", qPrintable(request.Caption), qPrintable(request.Text));
        return request.DefaultButton;
    }
    QMessageBox box(IconOf(request.Type), request.Caption, request.Text, QMessageBox::NoButton,
        QApplication::activeWindow());
    QHash<QAbstractButton*, TModalResult> results;
    QPushButton* escape = nullptr;
    for (TModalResult result : request.Buttons) {
        QPushButton* button = box.addButton(ButtonCaption(result), QMessageBox::AcceptRole);
        results.insert(button, result);
        if (result == request.DefaultButton)
            box.setDefaultButton(button);
        if (result == mrCancel || (escape == nullptr && result == mrNo))
            escape = button;
    }
    if (escape == nullptr && request.Buttons.size() == 1)
        escape = box.defaultButton();
    if (escape != nullptr)
        box.setEscapeButton(escape);
    TBoxKeyFilter keys(&box);
    QCoreApplication::instance()->installEventFilter(&keys);
    for (;;) {
        box.exec();
        QAbstractButton* clicked = box.clickedButton();
        if (clicked == nullptr)
            return mrCancel;
        const TModalResult result = results.value(clicked, mrCancel);
        if (result != kHelpResult)
            return result;
    }
}

TModalResult Present(const TMessageDialogRequest& request)
{
    TMessageDialogHandler handler;
    {
        THandlerSlot& slot = HandlerSlot();
        std::lock_guard lock(slot.Lock);
        handler = slot.Handler;
    }
    TModalResult result = mrNone;
    SynchronizeWithMainThread([&] { result = handler ? handler(request) : ShowModal(request); });
    return result;
}

} // namespace

TMessageDialogHandler SetMessageDialogHandler(TMessageDialogHandler handler)
{
    THandlerSlot& slot = HandlerSlot();
    std::lock_guard lock(slot.Lock);
    return std::exchange(slot.Handler, std::move(handler));
}

QString MessageDlgCaption(TMsgDlgType type)
{
    switch (type) {
    case mtWarning:
        return QStringLiteral("Warning");
    case mtError:
        return QStringLiteral("Error");
    case mtInformation:
        return QStringLiteral("Information");
    case mtConfirmation:
        return QStringLiteral("Confirmation");
    default:
        return Application->Title();
    }
}

TModalResult MessageDlg(const QString& msg, TMsgDlgType dlgType, TMsgDlgButtons buttons, int)
{
    static const std::pair<TMsgDlgBtn, TModalResult> kOrder[] = {
        { mbYes, mrYes },
        { mbNo, mrNo },
        { mbOK, mrOk },
        { mbCancel, mrCancel },
        { mbAbort, mrAbort },
        { mbRetry, mrRetry },
        { mbIgnore, mrIgnore },
        { mbAll, mrAll },
        { mbNoToAll, mrNoToAll },
        { mbYesToAll, mrYesToAll },
        { mbHelp, kHelpResult },
    };
    TMessageDialogRequest request;
    request.Text = msg;
    request.Caption = MessageDlgCaption(dlgType);
    request.Type = dlgType;
    for (const auto& [button, result] : kOrder) {
        if (buttons.Contains(button))
            request.Buttons.push_back(result);
    }
    if (request.Buttons.empty())
        request.Buttons.push_back(mrOk);
    // The first of OK, Yes (in that order of preference) has the focus, as
    // in the usual dialogs; otherwise the first button.
    request.DefaultButton = request.Buttons.front();
    for (TModalResult preferred : { mrOk, mrYes }) {
        if (std::find(request.Buttons.begin(), request.Buttons.end(), preferred) != request.Buttons.end()) {
            request.DefaultButton = preferred;
            break;
        }
    }
    return Present(request);
}

void ShowMessage(const QString& msg)
{
    TMessageDialogRequest request;
    request.Text = msg;
    request.Caption = Application->Title();
    request.Type = mtCustom;
    request.Buttons = { mrOk };
    request.DefaultButton = mrOk;
    Present(request);
}

int ShowMessageBox(const QString& text, const QString& caption, UINT flags)
{
    TMessageDialogRequest request;
    request.Text = text;
    request.Caption = caption;
    switch (flags & 0x0F) {
    case MB_OKCANCEL:
        request.Buttons = { mrOk, mrCancel };
        break;
    case MB_ABORTRETRYIGNORE:
        request.Buttons = { mrAbort, mrRetry, mrIgnore };
        break;
    case MB_YESNOCANCEL:
        request.Buttons = { mrYes, mrNo, mrCancel };
        break;
    case MB_YESNO:
        request.Buttons = { mrYes, mrNo };
        break;
    case MB_RETRYCANCEL:
        request.Buttons = { mrRetry, mrCancel };
        break;
    default:
        request.Buttons = { mrOk };
        break;
    }
    switch (flags & 0xF0) {
    case MB_ICONHAND:
        request.Type = mtError;
        break;
    case MB_ICONQUESTION:
        request.Type = mtConfirmation;
        break;
    case MB_ICONEXCLAMATION:
        request.Type = mtWarning;
        break;
    case MB_ICONASTERISK:
        request.Type = mtInformation;
        break;
    default:
        request.Type = mtCustom;
        break;
    }
    const size_t defaultIndex = (flags >> 8) & 0x0F;
    request.DefaultButton = request.Buttons[defaultIndex < request.Buttons.size() ? defaultIndex : 0];
    return Present(request);
}
