#pragma once
// Message dialogs: MessageDlg, ShowMessage and the Windows-style message
// box, all shown as modal QMessageBoxes. Button results use one numbering,
// so IDOK == mrOk, IDCANCEL == mrCancel and so on.
//
// Tests (and headless runs) replace the presentation with
// SetMessageDialogHandler to see what would be shown and pick the answer,
// instead of blocking on a modal box.
//
// Callable from any thread: from a thread other than the GUI thread the
// dialog is shown in the GUI thread and the caller waits for the answer.

#include "platform/kernel/WinTypes.h"

#include <QString>
#include <functional>
#include <initializer_list>
#include <vector>

/// A dialog result; 0 (mrNone) when no button was chosen.
using TModalResult = int;
constexpr TModalResult mrNone = 0;
constexpr TModalResult mrOk = 1;
constexpr TModalResult mrCancel = 2;
constexpr TModalResult mrAbort = 3;
constexpr TModalResult mrRetry = 4;
constexpr TModalResult mrIgnore = 5;
constexpr TModalResult mrYes = 6;
constexpr TModalResult mrNo = 7;
constexpr TModalResult mrAll = 8;
constexpr TModalResult mrNoToAll = 9;
constexpr TModalResult mrYesToAll = 10;
constexpr TModalResult mrClose = 11;

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

enum TMsgDlgBtn {
    mbYes,
    mbNo,
    mbOK,
    mbCancel,
    mbAbort,
    mbRetry,
    mbIgnore,
    mbAll,
    mbNoToAll,
    mbYesToAll,
    mbHelp
};

/// A set of buttons: MessageDlg(text, mtInformation, {mbOK}).
class TMsgDlgButtons {
public:
    TMsgDlgButtons() = default;
    TMsgDlgButtons(std::initializer_list<TMsgDlgBtn> buttons)
    {
        for (TMsgDlgBtn b : buttons)
            FBits |= 1u << b;
    }
    bool Contains(TMsgDlgBtn button) const { return (FBits & (1u << button)) != 0; }
    bool Empty() const { return FBits == 0; }

private:
    unsigned FBits = 0;
};

// Message-box flags: buttons (low four bits), icon, default button.
constexpr UINT MB_OK = 0x0000;
constexpr UINT MB_OKCANCEL = 0x0001;
constexpr UINT MB_ABORTRETRYIGNORE = 0x0002;
constexpr UINT MB_YESNOCANCEL = 0x0003;
constexpr UINT MB_YESNO = 0x0004;
constexpr UINT MB_RETRYCANCEL = 0x0005;
constexpr UINT MB_ICONHAND = 0x0010;
constexpr UINT MB_ICONSTOP = MB_ICONHAND;
constexpr UINT MB_ICONERROR = MB_ICONHAND;
constexpr UINT MB_ICONQUESTION = 0x0020;
constexpr UINT MB_ICONEXCLAMATION = 0x0030;
constexpr UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr UINT MB_ICONASTERISK = 0x0040;
constexpr UINT MB_ICONINFORMATION = MB_ICONASTERISK;
constexpr UINT MB_DEFBUTTON1 = 0x0000;
constexpr UINT MB_DEFBUTTON2 = 0x0100;
constexpr UINT MB_DEFBUTTON3 = 0x0200;

constexpr int IDOK = mrOk;
constexpr int IDCANCEL = mrCancel;
constexpr int IDABORT = mrAbort;
constexpr int IDRETRY = mrRetry;
constexpr int IDIGNORE = mrIgnore;
constexpr int IDYES = mrYes;
constexpr int IDNO = mrNo;

/// What a message dialog shows.
struct TMessageDialogRequest {
    QString Text;
    QString Caption;
    TMsgDlgType Type = mtCustom;
    /// Results of the buttons, left to right (mrOk, mrCancel, ...).
    std::vector<TModalResult> Buttons;
    /// The result of the button that has the focus.
    TModalResult DefaultButton = mrNone;
};

/// Shows Request and returns the result of the chosen button.
using TMessageDialogHandler = std::function<TModalResult(const TMessageDialogRequest& request)>;

/// Replaces the presentation of every message dialog; an empty handler
/// brings back the modal QMessageBox. Returns the previous handler. Any
/// thread.
TMessageDialogHandler SetMessageDialogHandler(TMessageDialogHandler handler);

/// The caption of a dialog of that type: "Warning", "Error", "Information",
/// "Confirmation", or the application's title for mtCustom.
QString MessageDlgCaption(TMsgDlgType type);

/// A modal dialog with Msg, the icon and caption of DlgType and Buttons
/// (in the order mbYes, mbNo, mbOK, mbCancel, mbAbort, mbRetry, mbIgnore,
/// mbAll, mbNoToAll, mbYesToAll, mbHelp); returns the chosen button's
/// result. HelpCtx is accepted and ignored (there is no help system).
TModalResult MessageDlg(const QString& msg, TMsgDlgType dlgType, TMsgDlgButtons buttons, int helpCtx = 0);

/// An OK box with Msg, captioned with the application's title.
void ShowMessage(const QString& msg);

/// The Windows message box: buttons and icon from Flags (MB_*); returns
/// IDOK, IDCANCEL, ...
int ShowMessageBox(const QString& text, const QString& caption, UINT flags);
