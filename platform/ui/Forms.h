#pragma once

// Forms (top-level windows) and the screen.
//
// A form is a window whose client area holds its controls; a main menu, when
// set, sits above the client area. Left and Top place the window on the
// screen; ClientWidth and ClientHeight size the client area (the window
// grows by the menu bar). Width and Height are the whole window without the
// window manager's frame.
//
// A form is usually read from a stored form: the stored file is a resource
// (Resources.h) or a path, read with the stored-form reader. Classes that
// add handlers and fields derive from TForm and read their stored form at
// the end of their constructor:
//
//     class TAnaForm : public TForm {
//         Q_OBJECT
//         Q_PROPERTY(TBitBtn* Button1 MEMBER Button1 STORED false)   // field
//     public:
//         explicit TAnaForm(TComponent* owner) : TForm(owner)
//         {
//             ReadForm("AnaForm.form");   // reads, then fires OnCreate
//         }
//         ~TAnaForm() override { DoDestroy(); }   // OnDestroy while whole
//         Q_INVOKABLE void Button1Click(TObject* Sender);
//         TBitBtn* Button1 = nullptr;
//     };
//
// A form class may instead name its stored form in its class information,
// Q_CLASSINFO("StoredForm", "AnaForm.form"); AfterConstruction (which
// Application->CreateForm calls once the object is complete) then reads it.
// A form without code of its own is read in one step with
// TForm(owner, "Demo.form").
//
// Closing the main form (Application->MainForm()) ends the application's
// message loop.

#include "platform/ui/Application.h"
#include "platform/ui/Bitmap.h"
#include "platform/ui/Controls.h"
#include "platform/ui/Dialogs.h"

#include <QCursor>
#include <QIcon>
#include <QList>
#include <QMap>
#include <QString>
#include <functional>
#include <optional>

class QEventLoop;
class QMenuBar;
class TFormWindow;
class TMainMenu;

/// What closing a form does (OnClose may change it). Only handlers see it,
/// so it is a plain enumeration: handlers name it as it is declared.
enum TCloseAction { caNone, caHide, caFree, caMinimize };

using TCloseEvent = std::function<void(TObject* Sender, TCloseAction& Action)>;
/// The same type as TIdleEvent (Application.h), which declares it to Qt.
using TCloseQueryEvent = std::function<void(TObject* Sender, bool& CanClose)>;
Q_DECLARE_METATYPE(TCloseEvent)

/// A window icon: the ICO file image (several sizes).
class TIcon : public TGraphic {
    Q_OBJECT
public:
    TIcon();
    ~TIcon() override;

    void Assign(TPersistent* source) override;
    bool Empty() const override { return FData.isEmpty(); }
    int Width() const override;
    int Height() const override;
    /// Icons take their size from the file; these do nothing.
    void SetWidth(int) override { }
    void SetHeight(int) override { }

    /// Reads the rest of Stream as an ICO file image; raises
    /// EInvalidGraphic "Icon image is not valid".
    void LoadFromStream(QIODevice& stream) override;
    void SaveToStream(QIODevice& stream) override;
    void Draw(TCanvas* canvas, const TRect& rect) override;

    /// The icon for Qt (every size the file holds).
    QIcon Handle() const;

private:
    QByteArray FData;
    QList<QImage> FImages;
};

class TCustomForm : public TWinControl {
    Q_OBJECT
    Q_MOC_INCLUDE("platform/ui/Menus.h")
public:
    /// An empty, hidden form of 320 x 240 pixels.
    explicit TCustomForm(TComponent* owner);
    /// Reads the stored form Resource (see ReadForm) and fires OnCreate.
    TCustomForm(TComponent* owner, const QString& resource);
    ~TCustomForm() override;

    /// Fires OnShow, places the window by Position (the first time), shows
    /// and activates it.
    Q_INVOKABLE void Show();
    void Hide();
    /// Shows the window modally and returns when ModalResult becomes non-zero
    /// (a button with a ModalResult, Close, or code setting it) or the
    /// application terminates; the window is hidden again. Returns the
    /// ModalResult (mrCancel when closed). Raises EInvalidOperation "Cannot
    /// make a visible window modal" when the form is already showing.
    int ShowModal();
    /// A modal form ends its modal display with mrCancel. Otherwise asks
    /// CloseQuery, then OnClose decides the action (caHide by default):
    /// caNone keeps the form, the main form ends the application, caHide
    /// hides, caMinimize minimises and caFree releases the form.
    void Close();
    /// Destroys the form once the current event has been handled.
    void Release();
    /// Fires OnCloseQuery; false when the form may not close.
    virtual bool CloseQuery();

    TModalResult ModalResult() const { return FModalResult; }
    /// A non-zero value ends a modal display.
    void SetModalResult(TModalResult value);
    bool Modal() const { return FModalLoop != nullptr; }
    /// Whether the form is the application's active form: the one of its
    /// windows the user last worked in. It stays so while the user is in
    /// another program; OnActivate and OnDeactivate fire only when the active
    /// form changes between this program's own windows (message boxes
    /// included) or the form is shown or hidden.
    bool Active() const;

    void SetVisible(bool value) override;

    TRect ClientRect() const override;
    void SetClientWidth(int value) override;
    void SetClientHeight(int value) override;
    void SetBounds(int left, int top, int width, int height) override;

    TMainMenu* Menu() const { return FMenu; }
    void SetMenu(TMainMenu* value);
    /// Rebuilds the menu bar from the menu's items (menus call it when they
    /// change).
    void MenuChanged();

    bool KeyPreview() const { return FKeyPreview; }
    void SetKeyPreview(bool value) { FKeyPreview = value; }

    TBorderIcons BorderIcons() const { return FBorderIcons; }
    void SetBorderIcons(TBorderIcons value);
    TFormBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TFormBorderStyle value);
    TFormStyle FormStyle() const { return FFormStyle; }
    void SetFormStyle(TFormStyle value);
    TPosition Position() const { return FPosition; }
    void SetPosition(TPosition value);
    TWindowState WindowState() const { return FWindowState; }
    void SetWindowState(TWindowState value);

    TIcon* Icon() const { return FIcon; }
    void SetIcon(TIcon* value);

    /// The control that has (or gets, when the form shows) the focus.
    TWinControl* ActiveControl() const;
    void SetActiveControl(TWinControl* value);

    /// The canvas of the client area (valid while the form paints).
    TCanvas* Canvas() const { return FCanvas; }

    /// Return presses the default button, Escape the cancel button (the
    /// visible, enabled controls with a true "Default" or "Cancel"
    /// property); returns whether one was pressed.
    bool DialogKey(WORD key);

    /// Reads the stored form the class names in its class information
    /// (Q_CLASSINFO("StoredForm", "AnaForm.form")) unless the form has read
    /// one already. Application->CreateForm calls it once the object is
    /// complete; code that creates such a form with new calls it itself.
    virtual void AfterConstruction();

    /// Stored values of the platform's form files that have no effect here.
    int PixelsPerInch() const { return kPixelsPerInch; }
    void SetPixelsPerInch(int) { }
    int TextHeight() const { return FTextHeight; }
    void SetTextHeight(int value) { FTextHeight = value; }

    TNotifyEvent OnActivate() const { return FOnActivate; }
    void SetOnActivate(const TNotifyEvent& value) { FOnActivate = value; }
    TCloseEvent OnClose() const { return FOnClose; }
    void SetOnClose(const TCloseEvent& value) { FOnClose = value; }
    TCloseQueryEvent OnCloseQuery() const { return FOnCloseQuery; }
    void SetOnCloseQuery(const TCloseQueryEvent& value) { FOnCloseQuery = value; }
    TNotifyEvent OnCreate() const { return FOnCreate; }
    void SetOnCreate(const TNotifyEvent& value) { FOnCreate = value; }
    TNotifyEvent OnDeactivate() const { return FOnDeactivate; }
    void SetOnDeactivate(const TNotifyEvent& value) { FOnDeactivate = value; }
    TNotifyEvent OnDestroy() const { return FOnDestroy; }
    void SetOnDestroy(const TNotifyEvent& value) { FOnDestroy = value; }
    TNotifyEvent OnHide() const { return FOnHide; }
    void SetOnHide(const TNotifyEvent& value) { FOnHide = value; }
    TNotifyEvent OnPaint() const { return FOnPaint; }
    void SetOnPaint(const TNotifyEvent& value) { FOnPaint = value; }
    TNotifyEvent OnShow() const { return FOnShow; }
    void SetOnShow(const TNotifyEvent& value) { FOnShow = value; }

    QWidget* ClientHandle() override;

protected:
    friend class TFormWindow;

    /// Reads the stored form Resource into this form, then fires OnCreate.
    /// Resource is a path (":/...", "/...", "./...") or a file name looked up
    /// in the resource folders ("AnaForm.form"). Raises EResNotFound,
    /// EFOpenError, EReadError.
    void ReadForm(const QString& resource);

    QWidget* CreateWidget() override;
    void InitWidget() override;
    void PaintWindow(QPainter* painter, const TRect& area) override;
    TCanvas* PaintCanvas() override;
    void TextChanged() override;
    void Loaded() override;

    /// The window now has its native window, which is not yet mapped (again
    /// after flags that recreate it): the place to set window-system
    /// properties such as the X11 class hint. The default does nothing.
    virtual void WindowCreated();
    void Notification(TComponent* component, TOperation operation) override;

    /// Fires OnPaint.
    virtual void Paint();
    virtual void DoCreate();
    /// Fires OnDestroy, once. TCustomForm's destructor calls it, by when a
    /// derived class is gone: a form class whose OnDestroy is one of its own
    /// methods calls DoDestroy() at the start of its destructor.
    void DoDestroy();
    virtual void DoShow();
    virtual void DoHide();
    virtual void DoClose(TCloseAction& action);
    virtual void Activate();
    virtual void Deactivate();

private:
    void ApplyWindowFlags();
    void ApplyCaption();
    void PlaceWindow();
    void WindowResized(int width, int height);
    void WindowMoved(int left, int top);
    void WindowCloseRequested(bool& accept);
    void WindowActivationChanged(bool active);
    int MenuHeight() const;
    void LayoutWindow();

    TFormWindow* FWindow = nullptr;
    QWidget* FClient = nullptr;
    QMenuBar* FMenuBar = nullptr;
    int FMenuBarHeight = 0;
    TMainMenu* FMenu = nullptr;
    TControlCanvas* FCanvas;
    TIcon* FIcon;
    TModalResult FModalResult = mrNone;
    QEventLoop* FModalLoop = nullptr;
    bool FKeyPreview = false;
    bool FActive = false;
    bool FPlaced = false;
    bool FDestroyFired = false;
    bool FFormRead = false;
    int FTextHeight = 13;
    TBorderIcons FBorderIcons = biSystemMenu | biMinimize | biMaximize;
    TFormBorderStyle FBorderStyle = bsSizeable;
    TFormStyle FFormStyle = fsNormal;
    TPosition FPosition = poDefaultPosOnly;
    TWindowState FWindowState = wsNormal;
    QPointer<TWinControl> FActiveControl;
    TNotifyEvent FOnActivate;
    TCloseEvent FOnClose;
    TCloseQueryEvent FOnCloseQuery;
    TNotifyEvent FOnCreate;
    TNotifyEvent FOnDeactivate;
    TNotifyEvent FOnDestroy;
    TNotifyEvent FOnHide;
    TNotifyEvent FOnPaint;
    TNotifyEvent FOnShow;
};

/// The form class stored forms and programs use; publishes the form's
/// properties and events.
class TForm : public TCustomForm {
    Q_OBJECT
    Q_PROPERTY(TWinControl* ActiveControl READ ActiveControl WRITE SetActiveControl)
    Q_PROPERTY(UiEnums::TAlign Align READ Align WRITE SetAlign)
    Q_PROPERTY(UiEnums::TBorderIcons BorderIcons READ BorderIcons WRITE SetBorderIcons)
    Q_PROPERTY(UiEnums::TFormBorderStyle BorderStyle READ BorderStyle WRITE SetBorderStyle)
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(int ClientHeight READ ClientHeight WRITE SetClientHeight)
    Q_PROPERTY(int ClientWidth READ ClientWidth WRITE SetClientWidth)
    Q_PROPERTY(TColor Color READ Color WRITE SetColor)
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(TFont* Font READ Font WRITE SetFont)
    Q_PROPERTY(UiEnums::TFormStyle FormStyle READ FormStyle WRITE SetFormStyle)
    Q_PROPERTY(TIcon* Icon READ Icon WRITE SetIcon)
    Q_PROPERTY(bool KeyPreview READ KeyPreview WRITE SetKeyPreview)
    Q_PROPERTY(TMainMenu* Menu READ Menu WRITE SetMenu)
    Q_PROPERTY(bool ParentFont READ ParentFont WRITE SetParentFont)
    Q_PROPERTY(int PixelsPerInch READ PixelsPerInch WRITE SetPixelsPerInch STORED false)
    Q_PROPERTY(UiEnums::TPosition Position READ Position WRITE SetPosition)
    Q_PROPERTY(bool ShowHint READ ShowHint WRITE SetShowHint)
    Q_PROPERTY(int TextHeight READ TextHeight WRITE SetTextHeight STORED false)
    Q_PROPERTY(bool Visible READ Visible WRITE SetVisible)
    Q_PROPERTY(UiEnums::TWindowState WindowState READ WindowState WRITE SetWindowState)
    Q_PROPERTY(TNotifyEvent OnActivate READ OnActivate WRITE SetOnActivate)
    Q_PROPERTY(TNotifyEvent OnClick READ OnClick WRITE SetOnClick)
    Q_PROPERTY(TCloseEvent OnClose READ OnClose WRITE SetOnClose)
    Q_PROPERTY(TCloseQueryEvent OnCloseQuery READ OnCloseQuery WRITE SetOnCloseQuery)
    Q_PROPERTY(TNotifyEvent OnCreate READ OnCreate WRITE SetOnCreate)
    Q_PROPERTY(TNotifyEvent OnDblClick READ OnDblClick WRITE SetOnDblClick)
    Q_PROPERTY(TNotifyEvent OnDeactivate READ OnDeactivate WRITE SetOnDeactivate)
    Q_PROPERTY(TNotifyEvent OnDestroy READ OnDestroy WRITE SetOnDestroy)
    Q_PROPERTY(TNotifyEvent OnHide READ OnHide WRITE SetOnHide)
    Q_PROPERTY(TKeyEvent OnKeyDown READ OnKeyDown WRITE SetOnKeyDown)
    Q_PROPERTY(TKeyPressEvent OnKeyPress READ OnKeyPress WRITE SetOnKeyPress)
    Q_PROPERTY(TKeyEvent OnKeyUp READ OnKeyUp WRITE SetOnKeyUp)
    Q_PROPERTY(TMouseEvent OnMouseDown READ OnMouseDown WRITE SetOnMouseDown)
    Q_PROPERTY(TMouseMoveEvent OnMouseMove READ OnMouseMove WRITE SetOnMouseMove)
    Q_PROPERTY(TMouseEvent OnMouseUp READ OnMouseUp WRITE SetOnMouseUp)
    Q_PROPERTY(TNotifyEvent OnPaint READ OnPaint WRITE SetOnPaint)
    Q_PROPERTY(TNotifyEvent OnResize READ OnResize WRITE SetOnResize)
    Q_PROPERTY(TNotifyEvent OnShow READ OnShow WRITE SetOnShow)
    Q_CLASSINFO("default:Align", "alNone")
    Q_CLASSINFO("default:BorderIcons", "[biSystemMenu, biMinimize, biMaximize]")
    Q_CLASSINFO("default:BorderStyle", "bsSizeable")
    Q_CLASSINFO("default:Color", "clBtnFace")
    Q_CLASSINFO("default:Enabled", "True")
    Q_CLASSINFO("default:FormStyle", "fsNormal")
    Q_CLASSINFO("default:KeyPreview", "False")
    Q_CLASSINFO("default:ParentFont", "False")
    Q_CLASSINFO("default:Position", "poDefaultPosOnly")
    Q_CLASSINFO("default:ShowHint", "False")
    Q_CLASSINFO("default:TabOrder", "-1")
    Q_CLASSINFO("default:Visible", "False")
    Q_CLASSINFO("default:WindowState", "wsNormal")
public:
    explicit TForm(TComponent* owner);
    TForm(TComponent* owner, const QString& resource);
};

/// Screen facts and the program's forms and cursors.
class TScreen : public TComponent {
    Q_OBJECT
public:
    explicit TScreen(TComponent* owner = nullptr);
    ~TScreen() override;

    /// Size of the primary screen in pixels.
    int Width() const;
    int Height() const;
    int PixelsPerInch() const { return kPixelsPerInch; }

    /// The forms that exist, in creation order.
    int FormCount() const { return static_cast<int>(FForms.size()); }
    TCustomForm* Forms(int index) const;
    /// The form whose window is active; null when none of ours is.
    TCustomForm* ActiveForm() const;

    /// A cursor shown over the whole application (crDefault: none).
    TCursor Cursor() const { return FCursor; }
    void SetCursor(TCursor value);

    /// The cursor registered under Index (positive numbers), or the built-in
    /// shape (negative numbers); a registered null cursor or an unknown
    /// number gives the arrow.
    QCursor Cursors(int index) const;
    /// Registers Cursor under Index; nullopt registers a null cursor (shown
    /// as the arrow).
    void SetCursors(int index, const std::optional<QCursor>& cursor);
    /// Whether a cursor (null or not) is registered under Index.
    bool HasCursor(int index) const { return FCursors.contains(index); }

private:
    friend class TCustomForm;
    QList<TCustomForm*> FForms;
    QMap<int, std::optional<QCursor>> FCursors;
    TCursor FCursor = crDefault;
};

/// Gives access to the one TScreen, created on first use (GUI thread).
class TScreenAccess {
public:
    TScreen* operator->() const { return Get(); }
    operator TScreen*() const { return Get(); }
    static TScreen* Get();
};

extern const TScreenAccess Screen;

/// The form a control is on, null when none.
TCustomForm* GetParentForm(TControl* control);

/// Registers every class of the visual framework (controls, forms, menus,
/// timers) and their value types with the stored-form reader. Idempotent;
/// the form constructors call it.
void RegisterStandardClasses();
