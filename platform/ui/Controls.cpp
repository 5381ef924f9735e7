#include "platform/ui/Controls.h"

#include "platform/ui/Forms.h"
#include "platform/ui/Menus.h"

#include <QApplication>
#include <QCursor>
#include <QEnterEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QScopeGuard>
#include <QSet>
#include <QThread>
#include <QWidget>
#include <algorithm>
#include <climits>
#include <mutex>
#include <utility>

namespace {

// Paint events being handled now; PaintDirect cannot paint from inside one.
int gPaintDepth = 0;

struct PaintDepthGuard {
    PaintDepthGuard() { ++gPaintDepth; }
    ~PaintDepthGuard() { --gPaintDepth; }
};

// Gives a canvas a painter for the length of a scope.
struct CanvasHandleGuard {
    CanvasHandleGuard(TCanvas* canvas, QPainter* painter)
        : Canvas(canvas)
    {
        Canvas->Lock();
        Canvas->SetHandle(painter);
    }
    ~CanvasHandleGuard()
    {
        Canvas->SetHandle(nullptr);
        Canvas->Unlock();
    }
    TCanvas* Canvas;
};

Qt::CursorShape CursorShape(TCursor cursor)
{
    switch (cursor) {
    case crNone:
        return Qt::BlankCursor;
    case crCross:
        return Qt::CrossCursor;
    case crIBeam:
        return Qt::IBeamCursor;
    case crSizeNESW:
        return Qt::SizeBDiagCursor;
    case crSizeNS:
        return Qt::SizeVerCursor;
    case crSizeNWSE:
        return Qt::SizeFDiagCursor;
    case crSizeWE:
        return Qt::SizeHorCursor;
    case crUpArrow:
        return Qt::UpArrowCursor;
    case crHourGlass:
    case crSQLWait:
        return Qt::WaitCursor;
    case crDrag:
    case crMultiDrag:
        return Qt::DragCopyCursor;
    case crNoDrop:
    case crNo:
        return Qt::ForbiddenCursor;
    case crHSplit:
        return Qt::SplitHCursor;
    case crVSplit:
        return Qt::SplitVCursor;
    case crAppStart:
        return Qt::BusyCursor;
    case crHelp:
        return Qt::WhatsThisCursor;
    case crHandPoint:
        return Qt::PointingHandCursor;
    case crSizeAll:
        return Qt::SizeAllCursor;
    default:
        return Qt::ArrowCursor;
    }
}

TMouseButton ButtonOf(Qt::MouseButton button)
{
    switch (button) {
    case Qt::RightButton:
        return mbRight;
    case Qt::MiddleButton:
        return mbMiddle;
    default:
        return mbLeft;
    }
}

QString ShortHint(const QString& hint)
{
    const qsizetype bar = hint.indexOf(QLatin1Char('|'));
    return bar < 0 ? hint : hint.left(bar);
}

enum MouseKind { kPress, kRelease, kDoubleClick, kMove };

} // namespace

// The widget a control owns: it hands its events to the control.
class TControlWidget : public QWidget {
public:
    explicit TControlWidget(TControl* control, QWidget* parent = nullptr)
        : QWidget(parent)
        , Control(control)
    {
        setMouseTracking(true);
    }

    TControl* Control;

protected:
    void paintEvent(QPaintEvent* event) override
    {
        if (!Control)
            return;
        QPainter painter(this);
        Control->WidgetPaint(&painter, event->rect());
    }

    void mousePressEvent(QMouseEvent* event) override { Mouse(event, kPress); }
    void mouseReleaseEvent(QMouseEvent* event) override { Mouse(event, kRelease); }
    void mouseDoubleClickEvent(QMouseEvent* event) override { Mouse(event, kDoubleClick); }
    void mouseMoveEvent(QMouseEvent* event) override { Mouse(event, kMove); }

    void keyPressEvent(QKeyEvent* event) override { Key(event, true); }
    void keyReleaseEvent(QKeyEvent* event) override { Key(event, false); }

    void focusInEvent(QFocusEvent* event) override
    {
        QWidget::focusInEvent(event);
        if (auto* control = dynamic_cast<TWinControl*>(Control))
            control->DoEnter();
    }

    void focusOutEvent(QFocusEvent* event) override
    {
        QWidget::focusOutEvent(event);
        if (auto* control = dynamic_cast<TWinControl*>(Control))
            control->DoExit();
    }

    void enterEvent(QEnterEvent* event) override
    {
        QWidget::enterEvent(event);
        if (Control)
            Control->MouseEnter();
    }

    void leaveEvent(QEvent* event) override
    {
        QWidget::leaveEvent(event);
        if (Control)
            Control->MouseLeave();
    }

private:
    void Mouse(QMouseEvent* event, int kind)
    {
        if (Control)
            Control->WidgetMouse(event, kind);
        event->accept();
    }

    void Key(QKeyEvent* event, bool down)
    {
        auto* control = dynamic_cast<TWinControl*>(Control);
        if (!control) {
            event->ignore();
            return;
        }
        control->WidgetKey(event, down);
    }
};

// ---------------------------------------------------------------------------

WORD QtKeyToVirtualKey(int qtKey, bool keypad)
{
    if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9)
        return static_cast<WORD>(keypad ? VK_NUMPAD0 + (qtKey - Qt::Key_0) : qtKey);
    if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z)
        return static_cast<WORD>(qtKey);
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24)
        return static_cast<WORD>(VK_F1 + (qtKey - Qt::Key_F1));
    switch (qtKey) {
    case Qt::Key_Backspace:
        return VK_BACK;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return VK_TAB;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return VK_RETURN;
    case Qt::Key_Shift:
        return VK_SHIFT;
    case Qt::Key_Control:
        return VK_CONTROL;
    case Qt::Key_Alt:
        return VK_MENU;
    case Qt::Key_Pause:
        return VK_PAUSE;
    case Qt::Key_CapsLock:
        return VK_CAPITAL;
    case Qt::Key_Escape:
        return VK_ESCAPE;
    case Qt::Key_Space:
        return VK_SPACE;
    case Qt::Key_PageUp:
        return VK_PRIOR;
    case Qt::Key_PageDown:
        return VK_NEXT;
    case Qt::Key_End:
        return VK_END;
    case Qt::Key_Home:
        return VK_HOME;
    case Qt::Key_Left:
        return VK_LEFT;
    case Qt::Key_Up:
        return VK_UP;
    case Qt::Key_Right:
        return VK_RIGHT;
    case Qt::Key_Down:
        return VK_DOWN;
    case Qt::Key_Insert:
        return VK_INSERT;
    case Qt::Key_Delete:
        return VK_DELETE;
    case Qt::Key_NumLock:
        return VK_NUMLOCK;
    case Qt::Key_ScrollLock:
        return VK_SCROLL;
    case Qt::Key_Asterisk:
        return keypad ? VK_MULTIPLY : 0;
    case Qt::Key_Plus:
        return keypad ? VK_ADD : 0;
    case Qt::Key_Minus:
        return keypad ? VK_SUBTRACT : 0;
    case Qt::Key_Slash:
        return keypad ? VK_DIVIDE : 0;
    case Qt::Key_Period:
        return keypad ? VK_DECIMAL : 0;
    default:
        return 0;
    }
}

TShiftState QtShiftState(Qt::KeyboardModifiers modifiers, Qt::MouseButtons buttons)
{
    TShiftState shift;
    if (modifiers & Qt::ShiftModifier)
        shift |= ssShift;
    if (modifiers & Qt::ControlModifier)
        shift |= ssCtrl;
    if (modifiers & Qt::AltModifier)
        shift |= ssAlt;
    if (buttons & Qt::LeftButton)
        shift |= ssLeft;
    if (buttons & Qt::RightButton)
        shift |= ssRight;
    if (buttons & Qt::MiddleButton)
        shift |= ssMiddle;
    return shift;
}

void RegisterControlsTypes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterGraphicsTypes();
        qRegisterMetaType<TCursor>("TCursor");
        // Handlers name these types as the global aliases do; teach Qt the names.
        qRegisterMetaType<UiEnums::TMouseButton>("TMouseButton");
        qRegisterMetaType<UiEnums::TShiftState>("TShiftState");
        qRegisterMetaType<WORD>("WORD");
        RegisterEventType<TMouseEvent>();
        RegisterEventType<TMouseMoveEvent>();
        RegisterEventType<TKeyEvent>();
        RegisterEventType<TKeyPressEvent>();
        qRegisterMetaType<TDragObject*>("TDragObject*");
        qRegisterMetaType<UiEnums::TDragState>("TDragState");
        RegisterEventType<TDragDropEvent>();
        RegisterEventType<TDragOverEvent>();
        RegisterEventType<TStartDragEvent>();
        RegisterIntegerIdents<TCursor>({
            { crDefault, "crDefault" },
            { crNone, "crNone" },
            { crArrow, "crArrow" },
            { crCross, "crCross" },
            { crIBeam, "crIBeam" },
            { crSizeNESW, "crSizeNESW" },
            { crSizeNS, "crSizeNS" },
            { crSizeNWSE, "crSizeNWSE" },
            { crSizeWE, "crSizeWE" },
            { crUpArrow, "crUpArrow" },
            { crHourGlass, "crHourGlass" },
            { crDrag, "crDrag" },
            { crNoDrop, "crNoDrop" },
            { crHSplit, "crHSplit" },
            { crVSplit, "crVSplit" },
            { crMultiDrag, "crMultiDrag" },
            { crSQLWait, "crSQLWait" },
            { crNo, "crNo" },
            { crAppStart, "crAppStart" },
            { crHelp, "crHelp" },
            { crHandPoint, "crHandPoint" },
            { crSizeAll, "crSizeAll" },
        });
    });
}

// ---------------------------------------------------------------------------
// TControlCanvas

TControlCanvas::TControlCanvas(TControl* control)
    : FControl(control)
{
}

// ---------------------------------------------------------------------------
// TControl

TControl::TControl(TComponent* owner)
    : TComponent(owner)
    , FControlStyle(csCaptureMouse | csClickEvents | csSetCaption | csDoubleClicks)
    , FFont(new TFont(this))
{
    RegisterStandardClasses();
    FFont->SetOnChange([this](TObject*) { FontChangedHandler(); });
}

TDragObject::~TDragObject() = default;

// ---------------------------------------------------------------------------

TControl::~TControl()
{
    if (FParent)
        FParent->RemoveControl(this);
    if (auto* widget = dynamic_cast<TControlWidget*>(FWidget.data()))
        widget->Control = nullptr;
    delete FWidget.data();
    delete FDirectCanvas;
}

QWidget* TControl::Handle()
{
    if (!FWidget) {
        FWidget = CreateWidget();
        InitWidget();
    }
    return FWidget;
}

QWidget* TControl::ClientHandle()
{
    return Handle();
}

QWidget* TControl::CreateWidget()
{
    return new TControlWidget(this);
}

QWidget* TControl::CreateControlWidget(TControl* control, QWidget* parent)
{
    return new TControlWidget(control, parent);
}

void TControl::DetachControlWidget(QWidget* widget)
{
    if (auto* w = dynamic_cast<TControlWidget*>(widget))
        w->Control = nullptr;
}

void TControl::InitWidget()
{
    QWidget* widget = FWidget;
    widget->setObjectName(Name());
    if (FParent)
        widget->setParent(FParent->ClientHandle());
    widget->setEnabled(FEnabled);
    ApplyOpacity();
    ApplyGeometry();
    ApplyCursor();
    ApplyHint();
    if (FParent) {
        widget->setVisible(FVisible);
        FParent->RestackChildren();
        FParent->UpdateTabOrder();
    }
}

void TControl::ApplyGeometry()
{
    if (FWidget && FParent)
        FWidget->setGeometry(FLeft, FTop, FWidth, FHeight);
}

void TControl::ApplyOpacity()
{
    if (!FWidget)
        return;
    const bool opaque = (FControlStyle & csOpaque) || dynamic_cast<TWinControl*>(this) != nullptr;
    ClientHandle()->setAttribute(Qt::WA_OpaquePaintEvent, opaque);
}

void TControl::ApplyCursor()
{
    if (!FWidget)
        return;
    QWidget* widget = ClientHandle();
    if (FCursor == crDefault)
        widget->unsetCursor();
    else if (FCursor > 0)
        widget->setCursor(Screen->Cursors(FCursor));
    else
        widget->setCursor(QCursor(CursorShape(FCursor)));
}

void TControl::ApplyHint()
{
    bool show = FShowHint;
    if (FParentShowHint) {
        show = false;
        for (TWinControl* p = FParent; p; p = p->Parent()) {
            if (!p->FParentShowHint || !p->Parent()) {
                show = p->FShowHint;
                break;
            }
        }
    }
    if (FWidget)
        ClientHandle()->setToolTip(show ? ShortHint(FHint) : QString());
    if (auto* self = dynamic_cast<TWinControl*>(this)) {
        for (int i = 0; i < self->ControlCount(); ++i)
            self->Controls(i)->ApplyHint();
    }
}

void TControl::SetParent(TWinControl* parent)
{
    if (parent == FParent)
        return;
    for (TWinControl* p = parent; p; p = p->Parent())
        if (p == this)
            throw EInvalidOperation(QStringLiteral("A control cannot have itself as its parent"));
    if (FParent)
        FParent->RemoveControl(this);
    if (parent) {
        parent->InsertControl(this);
        Handle();
        if (FWidget->parentWidget() != parent->ClientHandle())
            FWidget->setParent(parent->ClientHandle());
        ApplyGeometry();
        FWidget->setVisible(FVisible);
        parent->RestackChildren();
        parent->UpdateTabOrder();
        ParentFontChanged();
        ParentColorChanged();
        if (auto* self = dynamic_cast<TWinControl*>(this))
            self->ParentCtl3DChanged();
        ApplyHint();
        if (!(ComponentState() & csLoading))
            RememberAnchors();
        RequestAlign();
    } else if (FWidget && !qobject_cast<TCustomForm*>(this)) {
        FWidget->hide();
        FWidget->setParent(nullptr);
    }
}

bool TControl::HasParent() const
{
    return true;
}

TComponent* TControl::GetParentComponent() const
{
    return FParent;
}

void TControl::SetParentComponent(TComponent* value)
{
    if (auto* parent = qobject_cast<TWinControl*>(value))
        SetParent(parent);
}

TCustomForm* TControl::GetParentForm() const
{
    const TControl* control = this;
    while (control->FParent)
        control = control->FParent;
    return qobject_cast<TCustomForm*>(const_cast<TControl*>(control));
}

void TControl::SetLeft(int value)
{
    SetBounds(value, FTop, FWidth, FHeight);
}

void TControl::SetTop(int value)
{
    SetBounds(FLeft, value, FWidth, FHeight);
}

void TControl::SetWidth(int value)
{
    SetBounds(FLeft, FTop, value, FHeight);
}

void TControl::SetHeight(int value)
{
    SetBounds(FLeft, FTop, FWidth, value);
}

void TControl::SetBoundsRect(const TRect& rect)
{
    SetBounds(rect.Left, rect.Top, rect.Width(), rect.Height());
}

void TControl::SetBounds(int left, int top, int width, int height)
{
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (left == FLeft && top == FTop && width == FWidth && height == FHeight)
        return;
    const bool sized = width != FWidth || height != FHeight;
    FLeft = left;
    FTop = top;
    FWidth = width;
    FHeight = height;
    ApplyGeometry();
    if (FParent && !FParent->FAligning && !(ComponentState() & csLoading))
        RememberAnchors();
    RequestAlign();
    if (sized && !(ComponentState() & csLoading))
        SizeChanged();
}

void TControl::UpdateBoundsFromAlign(const TRect& rect)
{
    SetBounds(rect.Left, rect.Top, rect.Width(), rect.Height());
}

void TControl::SizeChanged()
{
    Resize();
}

TRect TControl::ClientRect() const
{
    return Rect(0, 0, FWidth, FHeight);
}

void TControl::SetClientWidth(int value)
{
    SetWidth(value + FWidth - ClientWidth());
}

void TControl::SetClientHeight(int value)
{
    SetHeight(value + FHeight - ClientHeight());
}

TPoint TControl::ClientOrigin() const
{
    return ClientToScreen(Point(0, 0));
}

TPoint TControl::ClientToScreen(const TPoint& point) const
{
    auto* self = const_cast<TControl*>(this);
    if (!FWidget)
        return point;
    return ToTPoint(self->ClientHandle()->mapToGlobal(ToQPoint(point)));
}

TPoint TControl::ScreenToClient(const TPoint& point) const
{
    auto* self = const_cast<TControl*>(this);
    if (!FWidget)
        return point;
    return ToTPoint(self->ClientHandle()->mapFromGlobal(ToQPoint(point)));
}

void TControl::SetAlign(TAlign value)
{
    if (value == FAlign)
        return;
    FAlign = value;
    RequestAlign();
}

void TControl::SetAnchors(TAnchors value)
{
    if (value == FAnchors)
        return;
    FAnchors = value;
    if (!(ComponentState() & csLoading))
        RememberAnchors();
}

void TControl::RememberAnchors()
{
    if (!FParent)
        return;
    FAnchorBounds = BoundsRect();
    const TRect client = FParent->ClientRect();
    FAnchorParentSize = { client.Width(), client.Height() };
    FAnchorsKnown = true;
}

void TControl::ApplyAnchors(int parentWidth, int parentHeight)
{
    if (FAnchors == (akLeft | akTop))
        return;
    if (!FAnchorsKnown) {
        RememberAnchors();
        return;
    }
    const int dx = parentWidth - FAnchorParentSize.cx;
    const int dy = parentHeight - FAnchorParentSize.cy;
    TRect r = FAnchorBounds;
    if (FAnchors & akRight) {
        if (FAnchors & akLeft)
            r.Right += dx;
        else
            OffsetRect(r, dx, 0);
    } else if (!(FAnchors & akLeft)) {
        OffsetRect(r, dx / 2, 0);
    }
    if (FAnchors & akBottom) {
        if (FAnchors & akTop)
            r.Bottom += dy;
        else
            OffsetRect(r, 0, dy);
    } else if (!(FAnchors & akTop)) {
        OffsetRect(r, 0, dy / 2);
    }
    UpdateBoundsFromAlign(r);
}

void TControl::RequestAlign()
{
    if (FParent && (FAlign != alNone || FAnchors != (akLeft | akTop)))
        FParent->AlignChildren(this);
}

bool TControl::Showing() const
{
    return FWidget && FWidget->isVisible();
}

void TControl::SetVisible(bool value)
{
    if (value == FVisible)
        return;
    FVisible = value;
    if (FWidget && FParent)
        FWidget->setVisible(value);
    VisibleChanged();
    if (FParent && FAlign != alNone)
        FParent->AlignChildren(this);
}

void TControl::SetEnabled(bool value)
{
    if (value == FEnabled)
        return;
    FEnabled = value;
    if (FWidget)
        FWidget->setEnabled(value);
    EnabledChanged();
}

void TControl::SetText(const QString& value)
{
    if (value == FText)
        return;
    FText = value;
    TextChanged();
}

void TControl::SetColor(TColor value)
{
    if (value == FColor)
        return;
    FColor = value;
    FParentColor = false;
    ColorChanged();
}

void TControl::SetParentColor(bool value)
{
    if (value == FParentColor)
        return;
    FParentColor = value;
    if (value)
        ParentColorChanged();
}

void TControl::ParentColorChanged()
{
    if (!FParentColor || !FParent)
        return;
    if (FParent->Color() != FColor) {
        FColor = FParent->Color();
        ColorChanged();
    }
}

void TControl::SetFont(TFont* value)
{
    FFont->Assign(value);
}

void TControl::FontChangedHandler()
{
    if (!FFontFromParent)
        FParentFont = false;
    FontChanged();
}

void TControl::SetParentFont(bool value)
{
    if (value == FParentFont)
        return;
    FParentFont = value;
    if (value)
        ParentFontChanged();
}

void TControl::ParentFontChanged()
{
    if (!FParentFont || !FParent)
        return;
    FFontFromParent = true;
    try {
        FFont->Assign(FParent->Font());
    } catch (...) {
        FFontFromParent = false;
        throw;
    }
    FFontFromParent = false;
}

void TControl::SetHint(const QString& value)
{
    if (value == FHint)
        return;
    FHint = value;
    ApplyHint();
}

void TControl::SetShowHint(bool value)
{
    if (value == FShowHint)
        return;
    FShowHint = value;
    FParentShowHint = false;
    ApplyHint();
}

void TControl::SetParentShowHint(bool value)
{
    if (value == FParentShowHint)
        return;
    FParentShowHint = value;
    ApplyHint();
}

void TControl::SetCursor(TCursor value)
{
    if (value == FCursor)
        return;
    FCursor = value;
    ApplyCursor();
}

void TControl::SetPopupMenu(TPopupMenu* value)
{
    if (value == FPopupMenu)
        return;
    if (FPopupMenu)
        FPopupMenu->RemoveFreeNotification(this);
    FPopupMenu = value;
    if (FPopupMenu)
        FPopupMenu->FreeNotification(this);
}

void TControl::SetControlStyle(TControlStyle value)
{
    FControlStyle = value;
    ApplyOpacity();
}

void TControl::FontChanged()
{
    Invalidate();
}

void TControl::ColorChanged()
{
    Invalidate();
}

void TControl::TextChanged()
{
    Invalidate();
}

void TControl::EnabledChanged()
{
    Invalidate();
}

void TControl::VisibleChanged()
{
}

void TControl::Invalidate()
{
    // Other threads (tick services) may ask for a repaint; it happens in the GUI thread.
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this] { Invalidate(); }, Qt::QueuedConnection);
        return;
    }
    FInvalidPending = true;
    if (FWidget)
        ClientHandle()->update();
}

void TControl::Update()
{
    if (FWidget && FWidget->window())
        QCoreApplication::sendPostedEvents(FWidget->window(), QEvent::UpdateRequest);
}

void TControl::Repaint()
{
    FInvalidPending = true;
    if (FWidget && Showing() && gPaintDepth == 0)
        ClientHandle()->repaint();
    else
        Invalidate();
}

TCanvas* TControl::PaintCanvas()
{
    if (!FDirectCanvas)
        FDirectCanvas = new TControlCanvas(this);
    return FDirectCanvas;
}

namespace {
// The open batches (GUI thread) and the controls whose draws wait for the
// outermost one's end.
int gBatchDepth = 0;
std::vector<QPointer<TControl>> gBatched;
} // namespace

TPaintBatch::TPaintBatch()
{
    ++gBatchDepth;
}

TPaintBatch::~TPaintBatch()
{
    if (--gBatchDepth > 0)
        return;
    std::vector<QPointer<TControl>> batched;
    batched.swap(gBatched);
    std::vector<QPointer<QWidget>> windows;
    for (const QPointer<TControl>& control : batched) {
        if (control && control->FWidget) {
            QWidget* window = control->FWidget->window();
            if (std::find(windows.begin(), windows.end(), window) == windows.end())
                windows.emplace_back(window);
        }
    }
    // A draw the platform did not paint (a window off screen) must not
    // stand in for a whole paint later on. The events go through the
    // application's notify, which hands a failing paint to its exception
    // display, so nothing is thrown through here.
    const auto done = qScopeGuard([&batched] {
        for (const QPointer<TControl>& control : batched) {
            if (control)
                control->FDirectDraw = nullptr;
        }
    });
    for (const QPointer<QWidget>& window : windows) {
        if (window)
            QCoreApplication::sendPostedEvents(window, QEvent::UpdateRequest);
    }
}

void TControl::PaintDirect(const std::function<void(TCanvas* canvas)>& draw)
{
    if (!draw || !FWidget || !Showing())
        return;
    if (gPaintDepth > 0) {
        Invalidate();
        return;
    }
    if (gBatchDepth > 0 && QThread::currentThread() == thread()) {
        if (!FDirectDraw)
            gBatched.emplace_back(this);
        FDirectDraw = draw;
        ClientHandle()->update();
        return;
    }
    FDirectDraw = draw;
    try {
        ClientHandle()->repaint();
    } catch (...) {
        FDirectDraw = nullptr;
        throw;
    }
    FDirectDraw = nullptr;
}

void TControl::WidgetPaint(QPainter* painter, const QRect& area)
{
    PaintDepthGuard depth;
    const TRect rect = ToTRect(area);
    if (FDirectDraw) {
        if (!(FControlStyle & csOpaque) || FInvalidPending)
            PaintWindow(painter, rect);
        FInvalidPending = false;
        TCanvas* canvas = PaintCanvas();
        CanvasHandleGuard guard(canvas, painter);
        FDirectDraw(canvas);
        return;
    }
    FInvalidPending = false;
    PaintWindow(painter, rect);
}

void TControl::PaintWindow(QPainter*, const TRect&)
{
}

void TControl::WidgetMouse(QMouseEvent* event, int kind)
{
    const QPoint pos = event->position().toPoint();
    const TShiftState shift = QtShiftState(event->modifiers(), event->buttons());
    const TMouseButton button = ButtonOf(event->button());
    switch (kind) {
    case kPress:
        if (button == mbLeft && (FControlStyle & csClickEvents))
            FControlState |= csClicked;
        MouseDown(button, shift, pos.x(), pos.y());
        break;
    case kDoubleClick:
        if (FControlStyle & csDoubleClicks) {
            if (button == mbLeft && (FControlStyle & csClickEvents))
                DblClick();
            MouseDown(button, shift | ssDouble, pos.x(), pos.y());
        } else {
            if (button == mbLeft && (FControlStyle & csClickEvents))
                FControlState |= csClicked;
            MouseDown(button, shift, pos.x(), pos.y());
        }
        break;
    case kRelease:
        if (button == mbLeft && (FControlState & csClicked)) {
            FControlState &= ~TControlState(csClicked);
            if (PtInRect(ClientRect(), ToTPoint(pos)))
                Click();
        }
        MouseUp(button, shift, pos.x(), pos.y());
        if (button == mbRight && FPopupMenu) {
            const QPoint global = event->globalPosition().toPoint();
            FPopupMenu->Popup(global.x(), global.y());
        }
        break;
    default:
        MouseMove(shift, pos.x(), pos.y());
        break;
    }
}

void TControl::Click()
{
    if (FOnClick)
        FOnClick(this);
}

void TControl::DblClick()
{
    if (FOnDblClick)
        FOnDblClick(this);
}

void TControl::MouseDown(TMouseButton button, TShiftState shift, int x, int y)
{
    if (FOnMouseDown)
        FOnMouseDown(this, button, shift, x, y);
}

void TControl::MouseMove(TShiftState shift, int x, int y)
{
    if (FOnMouseMove)
        FOnMouseMove(this, shift, x, y);
}

void TControl::MouseUp(TMouseButton button, TShiftState shift, int x, int y)
{
    if (FOnMouseUp)
        FOnMouseUp(this, button, shift, x, y);
}

void TControl::MouseEnter()
{
    if (FOnMouseEnter)
        FOnMouseEnter(this);
}

void TControl::MouseLeave()
{
    if (FOnMouseLeave)
        FOnMouseLeave(this);
}

void TControl::Resize()
{
    if (FOnResize && !(ComponentState() & csLoading))
        FOnResize(this);
}

void TControl::BringToFront()
{
    if (!FParent)
        return;
    QList<TControl*>& list = dynamic_cast<TWinControl*>(this) ? FParent->FWinControls : FParent->FControls;
    list.removeAll(this);
    list.append(this);
    FParent->RestackChildren();
}

void TControl::SendToBack()
{
    if (!FParent)
        return;
    QList<TControl*>& list = dynamic_cast<TWinControl*>(this) ? FParent->FWinControls : FParent->FControls;
    list.removeAll(this);
    list.prepend(this);
    FParent->RestackChildren();
}

void TControl::Loaded()
{
    TComponent::Loaded();
    RememberAnchors();
    ApplyHint();
}

void TControl::Notification(TComponent* component, TOperation operation)
{
    TComponent::Notification(component, operation);
    if (operation == opRemove && component == FPopupMenu)
        FPopupMenu = nullptr;
}

// ---------------------------------------------------------------------------
// TGraphicControl

TGraphicControl::TGraphicControl(TComponent* owner)
    : TControl(owner)
    , FCanvas(new TControlCanvas(this))
{
}

TGraphicControl::~TGraphicControl()
{
    delete FCanvas;
}

void TGraphicControl::Paint()
{
}

void TGraphicControl::PaintWindow(QPainter* painter, const TRect&)
{
    CanvasHandleGuard guard(FCanvas, painter);
    Paint();
}

// ---------------------------------------------------------------------------
// TWinControl

TWinControl::TWinControl(TComponent* owner)
    : TControl(owner)
{
}

TWinControl::~TWinControl()
{
    // By the time ~TControl leaves the parent this is no TWinControl any
    // more, and the parent could not tell it from a plain control.
    if (FParent)
        FParent->FTabList.removeAll(this);
    // Child controls go with their parent, whoever owns them; nothing is
    // laid out again on the way.
    FAlignLevel = 1;
    while (!FWinControls.isEmpty() || !FControls.isEmpty()) {
        TControl* child = !FWinControls.isEmpty() ? FWinControls.last() : FControls.last();
        delete child;
    }
}

int TWinControl::ControlCount() const
{
    return static_cast<int>(FControls.size() + FWinControls.size());
}

TControl* TWinControl::Controls(int index) const
{
    if (index < 0 || index >= ControlCount())
        throw EListError(QStringLiteral("List index out of bounds (%1)").arg(index));
    if (index < FControls.size())
        return FControls[index];
    return FWinControls[index - FControls.size()];
}

bool TWinControl::ContainsControl(TControl* control) const
{
    for (TControl* c = control; c; c = c->Parent())
        if (c == this)
            return true;
    return false;
}

TControl* TWinControl::ControlAtPos(const TPoint& pos, bool allowDisabled) const
{
    for (const QList<TControl*>* list : { &FWinControls, &FControls }) {
        for (auto it = list->crbegin(); it != list->crend(); ++it) {
            TControl* c = *it;
            if (c->Visible() && (allowDisabled || c->Enabled()) && PtInRect(c->BoundsRect(), pos))
                return c;
        }
    }
    return nullptr;
}

void TWinControl::InsertControl(TControl* control)
{
    control->FParent = this;
    if (auto* win = dynamic_cast<TWinControl*>(control)) {
        FWinControls.append(control);
        FTabList.append(win);
    } else {
        FControls.append(control);
    }
}

void TWinControl::RemoveControl(TControl* control)
{
    if (!control)
        return;
    FControls.removeAll(control);
    FWinControls.removeAll(control);
    if (auto* win = dynamic_cast<TWinControl*>(control))
        FTabList.removeAll(win);
    control->FParent = nullptr;
    if (control->FAlign != alNone && !(ComponentState() & csDestroying))
        AlignChildren(nullptr);
}

void TWinControl::RestackChildren()
{
    if (!HandleAllocated())
        return;
    for (TControl* c : std::as_const(FControls))
        if (c->HandleAllocated())
            c->FWidget->raise();
    for (TControl* c : std::as_const(FWinControls))
        if (c->HandleAllocated())
            c->FWidget->raise();
}

void TWinControl::InitWidget()
{
    TControl::InitWidget();
    ClientHandle()->setFocusPolicy(WidgetFocusPolicy());
    // Children made before this control had a widget move into it now.
    for (TControl* c : FControls + FWinControls) {
        if (!c->HandleAllocated())
            continue;
        c->FWidget->setParent(ClientHandle());
        c->ApplyGeometry();
        c->FWidget->setVisible(c->FVisible);
    }
    RestackChildren();
    UpdateTabOrder();
}

Qt::FocusPolicy TWinControl::WidgetFocusPolicy() const
{
    return FTabStop ? Qt::TabFocus : Qt::NoFocus;
}

void TWinControl::SetTabStop(bool value)
{
    if (value == FTabStop)
        return;
    FTabStop = value;
    if (HandleAllocated())
        ClientHandle()->setFocusPolicy(WidgetFocusPolicy());
}

int TWinControl::TabOrder() const
{
    TWinControl* parent = Parent();
    if (!parent)
        return FStoredTabOrder;
    return static_cast<int>(parent->FTabList.indexOf(const_cast<TWinControl*>(this)));
}

void TWinControl::SetTabOrder(int value)
{
    FStoredTabOrder = value;
    TWinControl* parent = Parent();
    if (!parent || (ComponentState() & csLoading))
        return;
    QList<TWinControl*>& list = parent->FTabList;
    const qsizetype from = list.indexOf(this);
    if (from < 0)
        return;
    const qsizetype to = std::clamp<qsizetype>(value, 0, list.size() - 1);
    list.move(from, to);
    parent->UpdateTabOrder();
}

void TWinControl::UpdateTabOrder()
{
    QWidget* previous = nullptr;
    for (TWinControl* c : std::as_const(FTabList)) {
        if (!c->HandleAllocated())
            continue;
        if (previous)
            QWidget::setTabOrder(previous, c->FWidget);
        previous = c->FWidget;
    }
}

void TWinControl::Loaded()
{
    TControl::Loaded();
    // Stored tab orders were read in any order; put the children in theirs.
    std::stable_sort(FTabList.begin(), FTabList.end(), [](TWinControl* a, TWinControl* b) {
        const int ka = a->FStoredTabOrder < 0 ? INT_MAX : a->FStoredTabOrder;
        const int kb = b->FStoredTabOrder < 0 ? INT_MAX : b->FStoredTabOrder;
        return ka < kb;
    });
    UpdateTabOrder();
    Realign();
}

bool TWinControl::CanFocus() const
{
    for (const TControl* c = this; c; c = c->Parent())
        if (!c->Visible() || !c->Enabled())
            return false;
    return true;
}

TWinControl* TWinControl::FindFirstTabStop() const
{
    for (TWinControl* child : FTabList) {
        if (!child->Visible() || !child->Enabled())
            continue;
        if (child->TabStop() && child->CanFocus())
            return child;
        if (TWinControl* inner = child->FindFirstTabStop())
            return inner;
    }
    return nullptr;
}

void TWinControl::SetFocus()
{
    if (!CanFocus())
        throw EInvalidOperation(QStringLiteral("Cannot focus a disabled or invisible window"));
    if (TCustomForm* form = GetParentForm(); form && form != this)
        form->SetActiveControl(this);
    ClientHandle()->setFocus(Qt::OtherFocusReason);
}

bool TWinControl::Focused() const
{
    return HandleAllocated() && const_cast<TWinControl*>(this)->ClientHandle()->hasFocus();
}

void TWinControl::Realign()
{
    AlignChildren(nullptr);
}

void TWinControl::DisableAlign()
{
    ++FAlignLevel;
}

void TWinControl::EnableAlign()
{
    if (--FAlignLevel <= 0) {
        FAlignLevel = 0;
        Realign();
    }
}

void TWinControl::AlignChildren(TControl* control)
{
    if (FAligning || FAlignLevel > 0 || (ComponentState() & (csLoading | csDestroying)))
        return;
    FAligning = true;
    try {
        TRect rect = ClientRect();
        AdjustClientRect(rect);
        AlignControls(control, rect);
    } catch (...) {
        FAligning = false;
        throw;
    }
    FAligning = false;
}

void TWinControl::AdjustClientRect(TRect&)
{
}

void TWinControl::AlignControls(TControl* control, TRect& rect)
{
    QList<TControl*> all = FControls + FWinControls;
    const TRect client = ClientRect();
    for (TAlign align : { alTop, alBottom, alLeft, alRight, alClient }) {
        QList<TControl*> list;
        for (TControl* c : std::as_const(all))
            if (c->FAlign == align && c->FVisible)
                list.append(c);
        // Aligned children keep their order by position; the one that moved wins ties.
        auto key = [align](const TControl* c) {
            switch (align) {
            case alTop:
                return c->FTop;
            case alBottom:
                return -(c->FTop + c->FHeight);
            case alLeft:
                return c->FLeft;
            case alRight:
                return -(c->FLeft + c->FWidth);
            default:
                return 0;
            }
        };
        std::stable_sort(list.begin(), list.end(), [&](const TControl* a, const TControl* b) {
            if (key(a) == key(b))
                return a == control && b != control;
            return key(a) < key(b);
        });
        for (TControl* c : std::as_const(list)) {
            TRect r;
            switch (align) {
            case alTop:
                r = Bounds(rect.Left, rect.Top, rect.Width(), c->FHeight);
                rect.Top += c->FHeight;
                break;
            case alBottom:
                r = Bounds(rect.Left, rect.Bottom - c->FHeight, rect.Width(), c->FHeight);
                rect.Bottom -= c->FHeight;
                break;
            case alLeft:
                r = Bounds(rect.Left, rect.Top, c->FWidth, rect.Height());
                rect.Left += c->FWidth;
                break;
            case alRight:
                r = Bounds(rect.Right - c->FWidth, rect.Top, c->FWidth, rect.Height());
                rect.Right -= c->FWidth;
                break;
            default:
                r = rect;
                break;
            }
            c->UpdateBoundsFromAlign(r);
        }
    }
    for (TControl* c : std::as_const(all))
        if (c->FAlign == alNone)
            c->ApplyAnchors(client.Width(), client.Height());
}

void TWinControl::SizeChanged()
{
    Realign();
    TControl::SizeChanged();
}

void TWinControl::PaintWindow(QPainter* painter, const TRect& area)
{
    if (!(FControlStyle & csOpaque))
        painter->fillRect(ToQRect(area), ColorToQColor(Color()));
}

void TWinControl::FontChanged()
{
    TControl::FontChanged();
    for (int i = 0; i < ControlCount(); ++i)
        Controls(i)->ParentFontChanged();
}

void TWinControl::ColorChanged()
{
    TControl::ColorChanged();
    for (int i = 0; i < ControlCount(); ++i)
        Controls(i)->ParentColorChanged();
}

void TWinControl::SetCtl3D(bool value)
{
    if (value == FCtl3D)
        return;
    FCtl3D = value;
    FParentCtl3D = false;
    Ctl3DChanged();
}

void TWinControl::SetParentCtl3D(bool value)
{
    if (value == FParentCtl3D)
        return;
    FParentCtl3D = value;
    if (value)
        ParentCtl3DChanged();
}

void TWinControl::ParentCtl3DChanged()
{
    if (!FParentCtl3D || !Parent() || Parent()->Ctl3D() == FCtl3D)
        return;
    FCtl3D = Parent()->Ctl3D();
    Ctl3DChanged();
}

void TWinControl::Ctl3DChanged()
{
    Invalidate();
    for (TControl* child : FWinControls) {
        if (auto* windowed = dynamic_cast<TWinControl*>(child))
            windowed->ParentCtl3DChanged();
    }
}

bool TWinControl::WantsKey(WORD) const
{
    return false;
}

// A key goes down in one window and its repeats and release follow wherever
// the focus goes: when a box of another program closes on the key press and
// that program brings this one forward, when the focus falls back to the
// root window and the X server hands keys to the window under the pointer,
// or when this program's box appears while a key held in the terminal that
// started it repeats.
bool KeyMeantForThisProgram(const QKeyEvent* event, bool down)
{
    static QSet<int> seenDown;
    // X repeats a held key as a release and a press with one time stamp;
    // Qt marks them as repeats only when it has read both already.
    static std::pair<int, quint64> unseenRelease;
    if (!event->spontaneous())
        return true;
    const int key = event->key();
    const bool repeat = event->isAutoRepeat()
        || (down && event->timestamp() != 0
            && unseenRelease == std::pair<int, quint64>(key, event->timestamp()));
    if (down && !repeat) {
        seenDown.insert(key);
        return true;
    }
    if (!down && !repeat) {
        if (seenDown.remove(key))
            return true;
        unseenRelease = { key, event->timestamp() };
        return false;
    }
    return seenDown.contains(key);
}

void TWinControl::WidgetKey(QKeyEvent* event, bool down)
{
    event->accept();
    if (!KeyMeantForThisProgram(event, down))
        return;
    WORD key = QtKeyToVirtualKey(event->key(), event->modifiers() & Qt::KeypadModifier);
    const TShiftState shift = QtShiftState(event->modifiers());
    TCustomForm* form = GetParentForm();
    TWinControl* preview = form && form != this && form->KeyPreview() ? form : nullptr;
    if (down) {
        if (key) {
            if (preview)
                preview->KeyDown(key, shift);
            if (key)
                KeyDown(key, shift);
            if (form && (key == VK_RETURN || key == VK_ESCAPE) && !WantsKey(key))
                form->DialogKey(key);
        }
        const QString text = event->text();
        if (!text.isEmpty() && text[0].isPrint()) {
            QChar ch = text[0];
            if (preview)
                preview->KeyPress(ch);
            if (!ch.isNull())
                KeyPress(ch);
        } else if (key == VK_RETURN || key == VK_ESCAPE || key == VK_BACK) {
            QChar ch(static_cast<char16_t>(key));
            if (preview)
                preview->KeyPress(ch);
            if (!ch.isNull())
                KeyPress(ch);
        }
    } else if (key && !event->isAutoRepeat()) {
        if (preview)
            preview->KeyUp(key, shift);
        if (key)
            KeyUp(key, shift);
    }
}

void TWinControl::KeyDown(WORD& key, TShiftState shift)
{
    if (FOnKeyDown)
        FOnKeyDown(this, key, shift);
}

void TWinControl::KeyUp(WORD& key, TShiftState shift)
{
    if (FOnKeyUp)
        FOnKeyUp(this, key, shift);
}

void TWinControl::KeyPress(QChar& key)
{
    if (FOnKeyPress)
        FOnKeyPress(this, key);
}

void TWinControl::DoEnter()
{
    if (FOnEnter)
        FOnEnter(this);
}

void TWinControl::DoExit()
{
    if (FOnExit)
        FOnExit(this);
}

// ---------------------------------------------------------------------------
// TCustomControl

TCustomControl::TCustomControl(TComponent* owner)
    : TWinControl(owner)
    , FCanvas(new TControlCanvas(this))
{
}

TCustomControl::~TCustomControl()
{
    delete FCanvas;
}

void TCustomControl::Paint()
{
}

void TCustomControl::PaintWindow(QPainter* painter, const TRect& area)
{
    TWinControl::PaintWindow(painter, area);
    CanvasHandleGuard guard(FCanvas, painter);
    Paint();
}
