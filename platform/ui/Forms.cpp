#include "platform/ui/Forms.h"

#include "platform/ui/Application.h"
#include "platform/ui/Buttons.h"
#include "platform/ui/ExtCtrls.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/Menus.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StdCtrls.h"
#include "platform/ui/Timer.h"

#include <QApplication>
#include <QBuffer>
#include <QCloseEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QIcon>
#include <QImageReader>
#include <QMenuBar>
#include <QMoveEvent>
#include <QPainter>
#include <QPixmap>
#include <QResizeEvent>
#include <QScreen>
#include <QWidget>
#include <algorithm>
#include <mutex>

// The top-level window of a form: the menu bar above the client area, and
// the window's own events (close, activation, moves, resizes) for the form.
class TFormWindow : public QWidget {
public:
    explicit TFormWindow(TCustomForm* form)
        : Form(form)
    {
    }

    TCustomForm* Form;

    void ActivationChanged(bool active)
    {
        if (Form)
            Form->WindowActivationChanged(active);
    }

protected:
    void closeEvent(QCloseEvent* event) override
    {
        // The form decides: hide, free, end the application, or stay.
        event->ignore();
        if (Form) {
            bool accept = false;
            Form->WindowCloseRequested(accept);
        }
    }

    void resizeEvent(QResizeEvent* event) override
    {
        QWidget::resizeEvent(event);
        if (Form)
            Form->WindowResized(width(), height());
    }

    void moveEvent(QMoveEvent* event) override
    {
        QWidget::moveEvent(event);
        if (Form)
            Form->WindowMoved(frameGeometry().x(), frameGeometry().y());
    }

    bool event(QEvent* event) override
    {
        if (Form && event->type() == QEvent::WinIdChange)
            Form->WindowCreated();
        return QWidget::event(event);
    }
};

namespace {

// Which of the application's own windows is its active one. The window
// system activates and deactivates a window also when the user goes to
// another program and comes back; a form hears of activation only when it
// takes over from another window of this program (a message box, a modal
// form) or is shown, so a return from another program changes nothing. The
// remembered window outlives the application's own deactivation for that
// reason. GUI thread only.
class TActivationTracker : public QObject {
public:
    static TActivationTracker& Instance()
    {
        static auto* tracker = new TActivationTracker;
        return *tracker;
    }

    /// A hidden or destroyed form's window is no longer the active one, so
    /// showing it again activates it anew.
    void Forget(QWidget* window)
    {
        if (FActive == window)
            FActive = nullptr;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::WindowActivate || !watched->isWidgetType())
            return false;
        auto* window = static_cast<QWidget*>(watched);
        if (!window->isWindow() || window == FActive)
            return false;
        QPointer<QWidget> previous = FActive;
        FActive = window;
        if (auto* left = dynamic_cast<TFormWindow*>(previous.data()))
            left->ActivationChanged(false);
        if (auto* entered = dynamic_cast<TFormWindow*>(window))
            entered->ActivationChanged(true);
        return false;
    }

private:
    TActivationTracker() { QCoreApplication::instance()->installEventFilter(this); }

    QPointer<QWidget> FActive;
};

} // namespace

namespace {

bool IsPath(const QString& resource)
{
    return resource.contains(QLatin1Char('/')) || resource.startsWith(QLatin1Char(':'));
}

} // namespace

// ---------------------------------------------------------------------------
// TIcon

TIcon::TIcon() = default;

TIcon::~TIcon() = default;

void TIcon::Assign(TPersistent* source)
{
    if (auto* icon = qobject_cast<TIcon*>(source)) {
        FData = icon->FData;
        FImages = icon->FImages;
        Changed();
        return;
    }
    if (!source) {
        FData.clear();
        FImages.clear();
        Changed();
        return;
    }
    TGraphic::Assign(source);
}

int TIcon::Width() const
{
    return FImages.isEmpty() ? 0 : FImages.first().width();
}

int TIcon::Height() const
{
    return FImages.isEmpty() ? 0 : FImages.first().height();
}

void TIcon::LoadFromStream(QIODevice& stream)
{
    QByteArray data = stream.readAll();
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "ico");
    QList<QImage> images;
    do {
        QImage image = reader.read();
        if (image.isNull())
            break;
        images.append(image);
    } while (reader.jumpToNextImage());
    if (images.isEmpty())
        throw EInvalidGraphic(QStringLiteral("Icon image is not valid"));
    FData = data;
    FImages = images;
    Changed();
}

void TIcon::SaveToStream(QIODevice& stream)
{
    if (stream.write(FData) != FData.size())
        throw EWriteError(QStringLiteral("Stream write error"));
}

void TIcon::Draw(TCanvas* canvas, const TRect& rect)
{
    if (!canvas || FImages.isEmpty())
        return;
    const QImage* best = &FImages.first();
    for (const QImage& image : FImages)
        if (image.width() >= rect.Width() && image.width() < best->width())
            best = &image;
    canvas->DrawImage(rect, best->convertToFormat(QImage::Format_ARGB32), cmSrcCopy);
}

QIcon TIcon::Handle() const
{
    QIcon icon;
    for (const QImage& image : FImages)
        icon.addPixmap(QPixmap::fromImage(image));
    return icon;
}

// ---------------------------------------------------------------------------
// TCustomForm

TCustomForm::TCustomForm(TComponent* owner)
    : TWinControl(owner)
    , FCanvas(new TControlCanvas(this))
    , FIcon(new TIcon)
{
    RegisterStandardClasses();
    FVisible = false;
    FParentFont = false;
    FParentColor = false;
    FColor = clBtnFace;
    FWidth = 320;
    FHeight = 240;
    FIcon->SetOnChange([this](TObject*) {
        if (FWindow)
            FWindow->setWindowIcon(FIcon->Handle());
    });
    Screen->FForms.append(this);
}

TCustomForm::TCustomForm(TComponent* owner, const QString& resource)
    : TCustomForm(owner)
{
    ReadForm(resource);
}

TCustomForm::~TCustomForm()
{
    DoDestroy();
    if (FWindow) {
        FWindow->Form = nullptr;
        FWindow->hide();
    }
    if (FModalLoop)
        FModalLoop->exit();
    Destroying();
    DestroyComponents();
    if (TScreen* screen = TScreenAccess::Get())
        screen->FForms.removeAll(this);
    if (FClient)
        DetachControlWidget(FClient);
    delete FCanvas;
    delete FIcon;
}

void TCustomForm::AfterConstruction()
{
    if (FFormRead)
        return;
    const QMetaObject* mo = metaObject();
    const int index = mo->indexOfClassInfo("StoredForm");
    if (index >= 0)
        ReadForm(QString::fromUtf8(mo->classInfo(index).value()));
}

void TCustomForm::ReadForm(const QString& resource)
{
    RegisterStandardClasses();
    FFormRead = true;
    const QString path = IsPath(resource) ? resource : ResourceFile(resource, QString());
    ReadComponentRes(path, this);
    DoCreate();
    if (FVisible) {
        FVisible = false;
        Show();
    }
}

QWidget* TCustomForm::CreateWidget()
{
    FWindow = new TFormWindow(this);
    TActivationTracker::Instance();
    FClient = CreateControlWidget(this, FWindow);
    return FWindow;
}

QWidget* TCustomForm::ClientHandle()
{
    Handle();
    return FClient;
}

void TCustomForm::InitWidget()
{
    TWinControl::InitWidget();
    FClient->setFocusPolicy(Qt::ClickFocus);
    FWindow->setObjectName(Name());
    ApplyCaption();
    if (!FIcon->Empty())
        FWindow->setWindowIcon(FIcon->Handle());
    ApplyWindowFlags();
    FWindow->resize(FWidth, FHeight);
    if (FPosition == poDesigned)
        FWindow->move(FLeft, FTop);
    if (FMenu)
        MenuChanged();
    LayoutWindow();
}

void TCustomForm::WindowCreated()
{
}

int TCustomForm::MenuHeight() const
{
    return FMenuBarHeight;
}

void TCustomForm::LayoutWindow()
{
    if (!FWindow)
        return;
    const int menu = MenuHeight();
    if (FMenuBar) {
        FMenuBar->setGeometry(0, 0, FWidth, menu);
        FMenuBar->setVisible(menu > 0);
    }
    FClient->setGeometry(0, menu, FWidth, std::max(0, FHeight - menu));
}

TRect TCustomForm::ClientRect() const
{
    return Rect(0, 0, FWidth, std::max(0, FHeight - MenuHeight()));
}

void TCustomForm::SetClientWidth(int value)
{
    SetBounds(FLeft, FTop, value, FHeight);
}

void TCustomForm::SetClientHeight(int value)
{
    SetBounds(FLeft, FTop, FWidth, value + MenuHeight());
}

void TCustomForm::SetBounds(int left, int top, int width, int height)
{
    const bool moved = left != FLeft || top != FTop;
    TWinControl::SetBounds(left, top, width, height);
    if (!FWindow)
        return;
    if (moved && (FPlaced || FPosition == poDesigned))
        FWindow->move(FLeft, FTop);
    ApplyWindowFlags();
    FWindow->resize(FWidth, FHeight);
    LayoutWindow();
}

void TCustomForm::WindowResized(int width, int height)
{
    LayoutWindow();
    if (width == FWidth && height == FHeight)
        return;
    FWidth = width;
    FHeight = height;
    LayoutWindow();
    if (!(ComponentState() & csLoading))
        SizeChanged();
}

void TCustomForm::WindowMoved(int left, int top)
{
    if (FWindow && FWindow->isVisible()) {
        FLeft = left;
        FTop = top;
    }
}

void TCustomForm::ApplyWindowFlags()
{
    if (!FWindow)
        return;
    Qt::WindowFlags flags = Qt::Window;
    switch (FBorderStyle) {
    case bsNone:
        flags |= Qt::FramelessWindowHint;
        break;
    case bsDialog:
        flags = Qt::Dialog;
        break;
    case bsToolWindow:
    case bsSizeToolWin:
        flags = Qt::Tool;
        break;
    default:
        break;
    }
    const bool sizeable = FBorderStyle == bsSizeable || FBorderStyle == bsSizeToolWin;
    if (FBorderStyle != bsNone) {
        flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint;
        if (FBorderIcons & biSystemMenu) {
            flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
            if ((FBorderIcons & biMinimize) && FBorderStyle != bsDialog)
                flags |= Qt::WindowMinimizeButtonHint;
            if ((FBorderIcons & biMaximize) && sizeable)
                flags |= Qt::WindowMaximizeButtonHint;
        }
    }
    if (FFormStyle == fsStayOnTop)
        flags |= Qt::WindowStaysOnTopHint;
    if (FWindow->windowFlags() != flags) {
        const bool visible = FWindow->isVisible();
        FWindow->setWindowFlags(flags);
        if (visible)
            FWindow->show();
    }
    if (sizeable) {
        FWindow->setMinimumSize(0, 0);
        FWindow->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    } else {
        FWindow->setFixedSize(FWidth, FHeight);
    }
}

void TCustomForm::ApplyCaption()
{
    if (FWindow)
        FWindow->setWindowTitle(Caption());
}

void TCustomForm::TextChanged()
{
    ApplyCaption();
}

void TCustomForm::SetBorderIcons(TBorderIcons value)
{
    FBorderIcons = value;
    ApplyWindowFlags();
}

void TCustomForm::SetBorderStyle(TFormBorderStyle value)
{
    FBorderStyle = value;
    ApplyWindowFlags();
}

void TCustomForm::SetFormStyle(TFormStyle value)
{
    FFormStyle = value;
    ApplyWindowFlags();
}

void TCustomForm::SetPosition(TPosition value)
{
    FPosition = value;
}

void TCustomForm::SetWindowState(TWindowState value)
{
    FWindowState = value;
    if (!FWindow || !FWindow->isVisible())
        return;
    switch (value) {
    case wsMinimized:
        FWindow->showMinimized();
        break;
    case wsMaximized:
        FWindow->showMaximized();
        break;
    default:
        FWindow->showNormal();
        break;
    }
}

void TCustomForm::SetIcon(TIcon* value)
{
    FIcon->Assign(value);
}

void TCustomForm::SetMenu(TMainMenu* value)
{
    if (value == FMenu)
        return;
    const int client = ClientHeight();
    if (FMenu)
        FMenu->RemoveFreeNotification(this);
    FMenu = value;
    if (FMenu)
        FMenu->FreeNotification(this);
    MenuChanged();
    if (FWindow)
        SetBounds(FLeft, FTop, FWidth, client + MenuHeight());
}

void TCustomForm::MenuChanged()
{
    if (!FWindow)
        return;
    const int client = ClientHeight();
    // The old bar may be inside one of its own signals; it goes later.
    if (FMenuBar) {
        FMenuBar->hide();
        FMenuBar->deleteLater();
        FMenuBar = nullptr;
    }
    FMenuBarHeight = 0;
    if (FMenu) {
        FMenuBar = new QMenuBar(FWindow);
        FMenuBar->setNativeMenuBar(false);
        FMenu->Populate(FMenuBar);
        if (!FMenuBar->actions().isEmpty())
            FMenuBarHeight = FMenuBar->sizeHint().height();
    }
    FHeight = client + MenuHeight();
    FWindow->resize(FWidth, FHeight);
    if (FBorderStyle != bsSizeable && FBorderStyle != bsSizeToolWin)
        FWindow->setFixedSize(FWidth, FHeight);
    LayoutWindow();
}

void TCustomForm::Notification(TComponent* component, TOperation operation)
{
    TWinControl::Notification(component, operation);
    if (operation == opRemove && component == FMenu) {
        FMenu = nullptr;
        if (!(ComponentState() & csDestroying))
            MenuChanged();
    }
}

TWinControl* TCustomForm::ActiveControl() const
{
    return FActiveControl.data();
}

void TCustomForm::SetActiveControl(TWinControl* value)
{
    FActiveControl = value;
    if (value && FVisible && value->CanFocus() && !(ComponentState() & csLoading) && !value->Focused())
        value->ClientHandle()->setFocus(Qt::OtherFocusReason);
}

void TCustomForm::PlaceWindow()
{
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->geometry() : QRect(0, 0, 1024, 768);
    auto centreOn = [&](const QRect& r) {
        SetBounds(r.x() + (r.width() - FWidth) / 2, r.y() + (r.height() - FHeight) / 2, FWidth, FHeight);
        FWindow->move(FLeft, FTop);
    };
    switch (FPosition) {
    case poScreenCenter:
    case poDesktopCenter:
        centreOn(area);
        break;
    case poMainFormCenter:
    case poOwnerFormCenter: {
        auto* other
            = qobject_cast<TCustomForm*>(FPosition == poMainFormCenter ? Application->MainForm() : Owner());
        if (other && other != this && other->Showing())
            centreOn(QRect(other->Left(), other->Top(), other->Width(), other->Height()));
        else
            centreOn(area);
        break;
    }
    case poDesigned:
        FWindow->move(FLeft, FTop);
        break;
    default:
        break;
    }
    // A window taller or wider than the screen (a large scale factor on a
    // small screen) keeps its top-left corner, where its title bar and menu
    // are, on the screen: what hangs out goes out at the bottom and right.
    if (FPosition != poDesigned && screen) {
        const QRect room = screen->availableGeometry();
        const int left = std::max(FLeft, room.left());
        const int top = std::max(FTop, room.top());
        if (left != FLeft || top != FTop) {
            SetBounds(left, top, FWidth, FHeight);
            FWindow->move(FLeft, FTop);
        }
    }
}

void TCustomForm::SetVisible(bool value)
{
    if (ComponentState() & csLoading) {
        FVisible = value;
        return;
    }
    Handle();
    if (value == FVisible && FWindow->isVisible() == value)
        return;
    if (value) {
        FVisible = true;
        DoShow();
        if (!FVisible)
            return;
        if (!FPlaced) {
            PlaceWindow();
            FPlaced = true;
        }
        LayoutWindow();
        switch (FWindowState) {
        case wsMinimized:
            FWindow->showMinimized();
            break;
        case wsMaximized:
            FWindow->showMaximized();
            break;
        default:
            FWindow->show();
            break;
        }
        FWindow->raise();
        FWindow->activateWindow();
        // A dialog shown without a focused control gives the focus to its
        // first tab stop: a key pressed at once (Return on the only button)
        // goes there instead of nowhere.
        if (Modal() && !(FActiveControl && FActiveControl->CanFocus()) && !FWindow->focusWidget())
            FActiveControl = FindFirstTabStop();
        if (FActiveControl && FActiveControl->CanFocus())
            FActiveControl->ClientHandle()->setFocus(Qt::OtherFocusReason);
        else if (!FWindow->focusWidget())
            FClient->setFocus(Qt::OtherFocusReason);
    } else {
        FVisible = false;
        DoHide();
        FWindow->hide();
        TActivationTracker::Instance().Forget(FWindow);
        if (FActive)
            WindowActivationChanged(false);
    }
}

void TCustomForm::Show()
{
    SetVisible(true);
}

void TCustomForm::Hide()
{
    SetVisible(false);
}

bool TCustomForm::Active() const
{
    return FActive;
}

void TCustomForm::WindowActivationChanged(bool active)
{
    if (active == FActive)
        return;
    FActive = active;
    if (active)
        Activate();
    else
        Deactivate();
}

bool TCustomForm::CloseQuery()
{
    bool canClose = true;
    if (FOnCloseQuery)
        FOnCloseQuery(this, canClose);
    return canClose;
}

void TCustomForm::WindowCloseRequested(bool& accept)
{
    accept = false;
    Close();
}

void TCustomForm::Close()
{
    if (Modal()) {
        SetModalResult(mrCancel);
        return;
    }
    if (!CloseQuery())
        return;
    TCloseAction action = caHide;
    DoClose(action);
    if (action == caNone)
        return;
    if (Application->MainForm() == this) {
        Application->Terminate();
        return;
    }
    switch (action) {
    case caHide:
        Hide();
        break;
    case caMinimize:
        SetWindowState(wsMinimized);
        break;
    default:
        Release();
        break;
    }
}

void TCustomForm::Release()
{
    deleteLater();
}

void TCustomForm::SetModalResult(TModalResult value)
{
    FModalResult = value;
    if (FModalLoop && value != mrNone)
        FModalLoop->exit();
}

int TCustomForm::ShowModal()
{
    if (Showing() || FModalLoop)
        throw EInvalidOperation(QStringLiteral("Cannot make a visible window modal"));
    Handle();
    FWindow->setWindowModality(Qt::ApplicationModal);
    FModalResult = mrNone;
    QEventLoop loop;
    FModalLoop = &loop;
    TCloseAction action = caHide;
    try {
        Show();
        for (;;) {
            if (FModalResult == mrNone && !Application->Terminated())
                loop.exec();
            if (Application->Terminated() || !FModalLoop)
                break;
            if (FModalResult == mrNone)
                continue;
            action = CloseQuery() ? caHide : caNone;
            if (action != caNone)
                DoClose(action);
            if (action == caNone) {
                FModalResult = mrNone;
                continue;
            }
            break;
        }
    } catch (...) {
        FModalLoop = nullptr;
        if (FWindow)
            FWindow->setWindowModality(Qt::NonModal);
        throw;
    }
    FModalLoop = nullptr;
    Hide();
    FWindow->setWindowModality(Qt::NonModal);
    const TModalResult result = FModalResult;
    if (action == caFree)
        Release();
    return result;
}

void TCustomForm::PaintWindow(QPainter* painter, const TRect& area)
{
    TWinControl::PaintWindow(painter, area);
    FCanvas->Lock();
    FCanvas->SetHandle(painter);
    try {
        Paint();
    } catch (...) {
        FCanvas->SetHandle(nullptr);
        FCanvas->Unlock();
        throw;
    }
    FCanvas->SetHandle(nullptr);
    FCanvas->Unlock();
}

TCanvas* TCustomForm::PaintCanvas()
{
    return FCanvas;
}

void TCustomForm::Loaded()
{
    TWinControl::Loaded();
    ApplyWindowFlags();
}

bool TCustomForm::DialogKey(WORD key)
{
    const char* property = key == VK_RETURN ? "Default" : key == VK_ESCAPE ? "Cancel" : nullptr;
    if (!property)
        return false;
    std::function<TControl*(TWinControl*)> find = [&](TWinControl* parent) -> TControl* {
        for (int i = 0; i < parent->ControlCount(); ++i) {
            TControl* c = parent->Controls(i);
            if (!c->Visible() || !c->Enabled())
                continue;
            if (c->property(property).toBool())
                return c;
            if (auto* w = dynamic_cast<TWinControl*>(c))
                if (TControl* found = find(w))
                    return found;
        }
        return nullptr;
    };
    TControl* button = find(this);
    if (!button)
        return false;
    QMetaObject::invokeMethod(button, "Click", Qt::DirectConnection);
    return true;
}

void TCustomForm::Paint()
{
    if (FOnPaint)
        FOnPaint(this);
}

void TCustomForm::DoCreate()
{
    if (FOnCreate)
        FOnCreate(this);
}

void TCustomForm::DoDestroy()
{
    if (FDestroyFired)
        return;
    FDestroyFired = true;
    if (FOnDestroy)
        FOnDestroy(this);
}

void TCustomForm::DoShow()
{
    if (FOnShow)
        FOnShow(this);
}

void TCustomForm::DoHide()
{
    if (FOnHide)
        FOnHide(this);
}

void TCustomForm::DoClose(TCloseAction& action)
{
    if (FOnClose)
        FOnClose(this, action);
}

void TCustomForm::Activate()
{
    if (FOnActivate)
        FOnActivate(this);
}

void TCustomForm::Deactivate()
{
    if (FOnDeactivate)
        FOnDeactivate(this);
}

// ---------------------------------------------------------------------------
// TForm

TForm::TForm(TComponent* owner)
    : TCustomForm(owner)
{
}

TForm::TForm(TComponent* owner, const QString& resource)
    : TCustomForm(owner)
{
    ReadForm(resource);
}

// ---------------------------------------------------------------------------
// TScreen

TScreen::TScreen(TComponent* owner)
    : TComponent(owner)
{
}

TScreen::~TScreen()
{
    if (FCursor != crDefault)
        QApplication::restoreOverrideCursor();
}

int TScreen::Width() const
{
    QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry().width() : 0;
}

int TScreen::Height() const
{
    QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry().height() : 0;
}

TCustomForm* TScreen::Forms(int index) const
{
    if (index < 0 || index >= FForms.size())
        throw EListError(QStringLiteral("List index out of bounds (%1)").arg(index));
    return FForms[index];
}

TCustomForm* TScreen::ActiveForm() const
{
    for (TCustomForm* form : FForms)
        if (form->Active())
            return form;
    return nullptr;
}

void TScreen::SetCursor(TCursor value)
{
    if (value == FCursor)
        return;
    if (FCursor != crDefault)
        QApplication::restoreOverrideCursor();
    FCursor = value;
    if (value != crDefault)
        QApplication::setOverrideCursor(Cursors(value));
}

QCursor TScreen::Cursors(int index) const
{
    if (index > 0) {
        const auto it = FCursors.find(index);
        if (it != FCursors.end() && it->has_value())
            return **it;
        return QCursor(Qt::ArrowCursor);
    }
    // The built-in shapes, as controls show them.
    static const struct {
        int Index;
        Qt::CursorShape Shape;
    } shapes[] = {
        { crNone, Qt::BlankCursor },
        { crCross, Qt::CrossCursor },
        { crIBeam, Qt::IBeamCursor },
        { crSizeNESW, Qt::SizeBDiagCursor },
        { crSizeNS, Qt::SizeVerCursor },
        { crSizeNWSE, Qt::SizeFDiagCursor },
        { crSizeWE, Qt::SizeHorCursor },
        { crUpArrow, Qt::UpArrowCursor },
        { crHourGlass, Qt::WaitCursor },
        { crDrag, Qt::DragCopyCursor },
        { crNoDrop, Qt::ForbiddenCursor },
        { crHSplit, Qt::SplitHCursor },
        { crVSplit, Qt::SplitVCursor },
        { crMultiDrag, Qt::DragCopyCursor },
        { crSQLWait, Qt::WaitCursor },
        { crNo, Qt::ForbiddenCursor },
        { crAppStart, Qt::BusyCursor },
        { crHelp, Qt::WhatsThisCursor },
        { crHandPoint, Qt::PointingHandCursor },
        { crSizeAll, Qt::SizeAllCursor },
    };
    for (const auto& s : shapes)
        if (s.Index == index)
            return QCursor(s.Shape);
    return QCursor(Qt::ArrowCursor);
}

void TScreen::SetCursors(int index, const std::optional<QCursor>& cursor)
{
    FCursors.insert(index, cursor);
}

TScreen* TScreenAccess::Get()
{
    static TScreen* screen = nullptr;
    if (!screen && QCoreApplication::instance()) {
        screen = new TScreen;
        QObject::connect(QCoreApplication::instance(), &QObject::destroyed, [] {
            delete screen;
            screen = nullptr;
        });
    }
    return screen;
}

const TScreenAccess Screen;

TCustomForm* GetParentForm(TControl* control)
{
    return control ? control->GetParentForm() : nullptr;
}

void RegisterStandardClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterControlsTypes();
        RegisterEventType<TCloseEvent>();
        RegisterEventType<TCloseQueryEvent>();
        RegisterGraphicClass(QStringLiteral("TIcon"), QStringLiteral("ico"), [] { return new TIcon; });
        RegisterClasses<TForm, TPanel, TBevel, TImage, TLabel, TButton, TBitBtn, TMainMenu, TMenuItem,
            TPopupMenu, TTimer>();
    });
}
