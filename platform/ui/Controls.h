#pragma once

// Controls: TControl and its three families.
//
//   TControl          position, size, visibility, colour, font, caption,
//                     alignment in the parent, mouse, painting
//   TGraphicControl   a control with a canvas and Paint (labels, bevels,
//                     images); it never takes the keyboard focus
//   TWinControl       a control that holds other controls, takes the focus
//                     and gets keys
//   TCustomControl    a TWinControl with a canvas and Paint
//
// A control is a component, and a QObject cannot be inherited twice, so a
// control is not a QWidget: it owns one (Handle()), created when the control
// first needs it (getting a parent, being shown). The widget forwards paint,
// mouse, key, focus, enter/leave and resize events to the control's virtual
// methods below; code never talks to the widget for what the control offers.
//
// Coordinates are pixels. Left and Top are relative to the parent's client
// area; Width and Height include everything the control draws. A control
// paints only inside its own rectangle; graphic controls lie below the
// windowed controls of the same parent, each family in creation order.
//
// Painting happens in Paint, with Canvas drawing on the control, whenever
// the platform asks (after Invalidate, on exposure). PaintDirect draws at
// once, outside that cycle, on top of what the control shows.
//
// All of this belongs to the GUI thread (Invalidate excepted). Creating the
// first control registers the framework's classes with the stored-form
// reader; code that reads a stored form before any control or form exists
// calls RegisterStandardClasses() (Forms.h) first.

#include "platform/kernel/WinTypes.h"
#include "platform/ui/Canvas.h"
#include "platform/ui/Classes.h"
#include "platform/ui/Graphics.h"
#include "platform/ui/Types.h"

#include <QList>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>

class QCursor;
class QEvent;
class QKeyEvent;
class QMouseEvent;
class QPainter;
class QWidget;
class TControl;
class TControlWidget;
class TCustomForm;
class TPopupMenu;
class TWinControl;

// ---------------------------------------------------------------------------
// Events

using TMouseEvent
    = std::function<void(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(TObject* Sender, TShiftState Shift, int X, int Y)>;
/// Key is a virtual-key code (VK_*); a handler may set it to 0 to swallow it.
using TKeyEvent = std::function<void(TObject* Sender, WORD& Key, TShiftState Shift)>;
/// Key is the typed character; a handler may set it to 0 to swallow it.
using TKeyPressEvent = std::function<void(TObject* Sender, QChar& Key)>;

/// What is dragged, as an OnStartDrag handler may hand it out; none leaves
/// the control itself as the drag source.
class TDragObject : public TObject {
public:
    ~TDragObject() override;
};

/// Source was dropped on Sender at (X, Y), Sender's client coordinates.
using TDragDropEvent = std::function<void(TObject* Sender, TObject* Source, int X, int Y)>;
/// Source is dragged over Sender; the handler sets Accept to take a drop.
using TDragOverEvent
    = std::function<void(TObject* Sender, TObject* Source, int X, int Y, TDragState State, bool& Accept)>;
/// Sender's drag ended over Target (null: nothing took it). The same type as
/// TDragDropEvent, so registered with it.
using TEndDragEvent = TDragDropEvent;
/// Sender starts being dragged; the handler may supply DragObject.
using TStartDragEvent = std::function<void(TObject* Sender, TDragObject*& DragObject)>;
Q_DECLARE_METATYPE(TMouseEvent)
Q_DECLARE_METATYPE(TMouseMoveEvent)
Q_DECLARE_METATYPE(TKeyEvent)
Q_DECLARE_METATYPE(TKeyPressEvent)
Q_DECLARE_METATYPE(TDragObject*)
Q_DECLARE_METATYPE(TDragDropEvent)
Q_DECLARE_METATYPE(TDragOverEvent)
Q_DECLARE_METATYPE(TStartDragEvent)

// ---------------------------------------------------------------------------
// Virtual-key codes (the values of the platform's keyboard layer).

inline constexpr WORD VK_LBUTTON = 0x01;
inline constexpr WORD VK_RBUTTON = 0x02;
inline constexpr WORD VK_MBUTTON = 0x04;
inline constexpr WORD VK_BACK = 0x08;
inline constexpr WORD VK_TAB = 0x09;
inline constexpr WORD VK_RETURN = 0x0D;
inline constexpr WORD VK_SHIFT = 0x10;
inline constexpr WORD VK_CONTROL = 0x11;
inline constexpr WORD VK_MENU = 0x12;
inline constexpr WORD VK_PAUSE = 0x13;
inline constexpr WORD VK_CAPITAL = 0x14;
inline constexpr WORD VK_ESCAPE = 0x1B;
inline constexpr WORD VK_SPACE = 0x20;
inline constexpr WORD VK_PRIOR = 0x21;
inline constexpr WORD VK_NEXT = 0x22;
inline constexpr WORD VK_END = 0x23;
inline constexpr WORD VK_HOME = 0x24;
inline constexpr WORD VK_LEFT = 0x25;
inline constexpr WORD VK_UP = 0x26;
inline constexpr WORD VK_RIGHT = 0x27;
inline constexpr WORD VK_DOWN = 0x28;
inline constexpr WORD VK_INSERT = 0x2D;
inline constexpr WORD VK_DELETE = 0x2E;
inline constexpr WORD VK_NUMPAD0 = 0x60;
inline constexpr WORD VK_MULTIPLY = 0x6A;
inline constexpr WORD VK_ADD = 0x6B;
inline constexpr WORD VK_SUBTRACT = 0x6D;
inline constexpr WORD VK_DECIMAL = 0x6E;
inline constexpr WORD VK_DIVIDE = 0x6F;
inline constexpr WORD VK_F1 = 0x70;
inline constexpr WORD VK_F12 = 0x7B;
inline constexpr WORD VK_NUMLOCK = 0x90;
inline constexpr WORD VK_SCROLL = 0x91;

/// The virtual-key code of a Qt key (letters and digits are their upper-case
/// characters), 0 for keys without one. Keypad digits give VK_NUMPAD0 + n
/// when Keypad is set.
WORD QtKeyToVirtualKey(int qtKey, bool keypad = false);
/// The shift state of Qt modifiers and mouse buttons.
TShiftState QtShiftState(Qt::KeyboardModifiers modifiers, Qt::MouseButtons buttons = Qt::NoButton);

/// Whether a key event (Down: a press) may act in this program: only a key
/// this program saw go down does, with its repeats and its release; a key
/// that went down in another window and repeats or is released here does
/// not. Events the program sends itself always may. Every key event from
/// the window system must pass here once, in order. GUI thread.
bool KeyMeantForThisProgram(const QKeyEvent* event, bool down);

// ---------------------------------------------------------------------------
// Cursors: the platform's numbering. Negative numbers are the built-in
// shapes; positive ones are registered with Screen (Forms.h).

enum TCursor : std::int16_t {
    crDefault = 0,
    crNone = -1,
    crArrow = -2,
    crCross = -3,
    crIBeam = -4,
    crSizeNESW = -6,
    crSizeNS = -7,
    crSizeNWSE = -8,
    crSizeWE = -9,
    crUpArrow = -10,
    crHourGlass = -11,
    crDrag = -12,
    crNoDrop = -13,
    crHSplit = -14,
    crVSplit = -15,
    crMultiDrag = -16,
    crSQLWait = -17,
    crNo = -18,
    crAppStart = -19,
    crHelp = -20,
    crHandPoint = -21,
    crSizeAll = -22,
    crSize = -22,
};
Q_DECLARE_METATYPE(TCursor)

// ---------------------------------------------------------------------------
// Control styles and states

enum TControlStyleFlag : unsigned {
    csAcceptsControls = 0x0001,
    csCaptureMouse = 0x0002,
    csDesignInteractive = 0x0004,
    csClickEvents = 0x0008,
    csFramed = 0x0010,
    csSetCaption = 0x0020,
    /// The control paints every pixel of its rectangle: nothing is painted
    /// beneath it first, and PaintDirect draws on what it showed last.
    csOpaque = 0x0040,
    csDoubleClicks = 0x0080,
    csFixedWidth = 0x0100,
    csFixedHeight = 0x0200,
    csNoDesignVisible = 0x0400,
    csReplicatable = 0x0800,
    csNoStdEvents = 0x1000,
};
Q_DECLARE_FLAGS(TControlStyle, TControlStyleFlag)
Q_DECLARE_OPERATORS_FOR_FLAGS(TControlStyle)

enum TControlStateFlag : unsigned {
    csLButtonDown = 0x0001,
    csClicked = 0x0002,
    csPalette = 0x0004,
    csReadingState = 0x0008,
    csAlignmentNeeded = 0x0010,
    csFocusing = 0x0020,
    csCreating = 0x0040,
    csPaintCopy = 0x0080,
    csCustomPaint = 0x0100,
};
Q_DECLARE_FLAGS(TControlState, TControlStateFlag)
Q_DECLARE_OPERATORS_FOR_FLAGS(TControlState)

// ---------------------------------------------------------------------------

/// A canvas that paints on a control: while the control paints (Paint) and
/// inside PaintDirect; otherwise it draws nothing but still measures text.
class TControlCanvas : public TCanvas {
    Q_OBJECT
public:
    explicit TControlCanvas(TControl* control = nullptr);
    TControl* Control() const { return FControl; }
    void SetControl(TControl* control) { FControl = control; }

private:
    TControl* FControl;
};

/// Collects the PaintDirect draws made while it lives (in the GUI thread)
/// and shows them at its end in one paint and one flush to the screen per
/// window, instead of one each: displays that all change every frame cost
/// the screen one update a frame. Batches nest; the outermost one paints.
class TPaintBatch {
public:
    TPaintBatch();
    ~TPaintBatch();
    TPaintBatch(const TPaintBatch&) = delete;
    TPaintBatch& operator=(const TPaintBatch&) = delete;
};

class TControl : public TComponent {
    Q_OBJECT
    Q_PROPERTY(int Left READ Left WRITE SetLeft)
    Q_PROPERTY(int Top READ Top WRITE SetTop)
    Q_PROPERTY(int Width READ Width WRITE SetWidth)
    Q_PROPERTY(int Height READ Height WRITE SetHeight)
    Q_PROPERTY(TCursor Cursor READ Cursor WRITE SetCursor)
    Q_PROPERTY(QString Hint READ Hint WRITE SetHint)
    Q_CLASSINFO("default:Cursor", "crDefault")
public:
    explicit TControl(TComponent* owner);
    ~TControl() override;

    // Parent and geometry

    TWinControl* Parent() const { return FParent; }
    /// Moves the control into Parent (null: out of any). The control then
    /// takes the parent's font and colour where ParentFont and ParentColor
    /// are set. Raises EInvalidOperation "A control cannot have itself as
    /// its parent" when Parent is the control or lies inside it.
    virtual void SetParent(TWinControl* parent);

    int Left() const { return FLeft; }
    int Top() const { return FTop; }
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    void SetLeft(int value);
    void SetTop(int value);
    void SetWidth(int value);
    void SetHeight(int value);
    /// Moves and sizes the control at once (negative sizes count as 0);
    /// every other geometry setter ends here. A size change calls Resize.
    virtual void SetBounds(int left, int top, int width, int height);
    TRect BoundsRect() const { return Bounds(FLeft, FTop, FWidth, FHeight); }
    void SetBoundsRect(const TRect& rect);

    /// The area the control's content uses: (0, 0, ClientWidth, ClientHeight).
    virtual TRect ClientRect() const;
    int ClientWidth() const { return ClientRect().Width(); }
    int ClientHeight() const { return ClientRect().Height(); }
    virtual void SetClientWidth(int value);
    virtual void SetClientHeight(int value);
    /// Screen position of the client area's origin.
    TPoint ClientOrigin() const;
    TPoint ClientToScreen(const TPoint& point) const;
    TPoint ScreenToClient(const TPoint& point) const;

    TAlign Align() const { return FAlign; }
    void SetAlign(TAlign value);
    /// Which edges keep their distance to the parent's edges when the
    /// parent changes size; [akLeft, akTop] by default.
    TAnchors Anchors() const { return FAnchors; }
    void SetAnchors(TAnchors value);

    // State

    bool Visible() const { return FVisible; }
    virtual void SetVisible(bool value);
    void Show() { SetVisible(true); }
    void Hide() { SetVisible(false); }
    /// Whether the control is on screen now (it and all its parents shown).
    bool Showing() const;

    bool Enabled() const { return FEnabled; }
    virtual void SetEnabled(bool value);

    QString Caption() const { return FText; }
    void SetCaption(const QString& value) { SetText(value); }
    QString Text() const { return FText; }
    void SetText(const QString& value);

    TColor Color() const { return FColor; }
    void SetColor(TColor value);
    bool ParentColor() const { return FParentColor; }
    void SetParentColor(bool value);

    TFont* Font() const { return FFont; }
    /// Copies the settings (Assign); the control keeps its own object. An
    /// explicit font change turns ParentFont off.
    void SetFont(TFont* value);
    bool ParentFont() const { return FParentFont; }
    void SetParentFont(bool value);

    QString Hint() const { return FHint; }
    void SetHint(const QString& value);
    bool ShowHint() const { return FShowHint; }
    void SetShowHint(bool value);
    bool ParentShowHint() const { return FParentShowHint; }
    void SetParentShowHint(bool value);

    TCursor Cursor() const { return FCursor; }
    void SetCursor(TCursor value);

    /// The cursor shown while the control is dragged; crDrag by default.
    TCursor DragCursor() const { return FDragCursor; }
    void SetDragCursor(TCursor value) { FDragCursor = value; }
    TDragMode DragMode() const { return FDragMode; }
    void SetDragMode(TDragMode value) { FDragMode = value; }

    /// Shown where the right mouse button is released over the control
    /// (after OnMouseUp). Cleared when the menu is destroyed.
    TPopupMenu* PopupMenu() const { return FPopupMenu; }
    void SetPopupMenu(TPopupMenu* value);

    TControlStyle ControlStyle() const { return FControlStyle; }
    void SetControlStyle(TControlStyle value);
    TControlState ControlState() const { return FControlState; }
    void SetControlState(TControlState value) { FControlState = value; }

    // Painting

    /// Asks for a repaint of the whole control at the next turn of the
    /// event loop. Any thread.
    virtual void Invalidate();
    /// Paints what is invalid now.
    void Update();
    /// Invalidate and paint now.
    virtual void Repaint();
    void Refresh() { Repaint(); }
    /// Calls Draw at once with the control's canvas, outside the paint
    /// cycle, and shows the result. An opaque control (csOpaque) keeps what
    /// it showed; on others Paint runs first. Nothing happens while the
    /// control is not showing; from inside a paint the control is only
    /// invalidated (its next Paint shows the state). While a TPaintBatch is
    /// open the draw waits for the batch's end, which shows the draws of all
    /// its controls in one paint of their windows.
    void PaintDirect(const std::function<void(TCanvas* canvas)>& draw);

    /// Puts the control above or below its siblings of the same family.
    void BringToFront();
    void SendToBack();

    // Events (published by the concrete classes)

    TNotifyEvent OnClick() const { return FOnClick; }
    void SetOnClick(const TNotifyEvent& value) { FOnClick = value; }
    TNotifyEvent OnDblClick() const { return FOnDblClick; }
    void SetOnDblClick(const TNotifyEvent& value) { FOnDblClick = value; }
    TMouseEvent OnMouseDown() const { return FOnMouseDown; }
    void SetOnMouseDown(const TMouseEvent& value) { FOnMouseDown = value; }
    TMouseMoveEvent OnMouseMove() const { return FOnMouseMove; }
    void SetOnMouseMove(const TMouseMoveEvent& value) { FOnMouseMove = value; }
    TMouseEvent OnMouseUp() const { return FOnMouseUp; }
    void SetOnMouseUp(const TMouseEvent& value) { FOnMouseUp = value; }
    TNotifyEvent OnMouseEnter() const { return FOnMouseEnter; }
    void SetOnMouseEnter(const TNotifyEvent& value) { FOnMouseEnter = value; }
    TNotifyEvent OnMouseLeave() const { return FOnMouseLeave; }
    void SetOnMouseLeave(const TNotifyEvent& value) { FOnMouseLeave = value; }
    TNotifyEvent OnResize() const { return FOnResize; }
    void SetOnResize(const TNotifyEvent& value) { FOnResize = value; }
    TDragDropEvent OnDragDrop() const { return FOnDragDrop; }
    void SetOnDragDrop(const TDragDropEvent& value) { FOnDragDrop = value; }
    TDragOverEvent OnDragOver() const { return FOnDragOver; }
    void SetOnDragOver(const TDragOverEvent& value) { FOnDragOver = value; }
    TEndDragEvent OnEndDrag() const { return FOnEndDrag; }
    void SetOnEndDrag(const TEndDragEvent& value) { FOnEndDrag = value; }
    TStartDragEvent OnStartDrag() const { return FOnStartDrag; }
    void SetOnStartDrag(const TStartDragEvent& value) { FOnStartDrag = value; }

    /// The widget; created now if the control has none yet.
    QWidget* Handle();
    bool HandleAllocated() const { return !FWidget.isNull(); }
    /// The widget that shows the client area (where children and painting
    /// go); the control's own widget except for forms.
    virtual QWidget* ClientHandle();

    /// The form the control is on (itself for a form), null when none.
    TCustomForm* GetParentForm() const;

    bool HasParent() const override;
    TComponent* GetParentComponent() const override;
    void SetParentComponent(TComponent* value) override;

protected:
    friend class TControlWidget;
    friend class TWinControl;
    friend class TCustomForm;
    friend class TPaintBatch;

    /// Creates the control's widget; Handle() then applies the control's
    /// state to it. Overrides return their own widget class (a
    /// QOpenGLWidget for a GL surface, say); such a widget does its own
    /// painting, and Paint is not called for it.
    virtual QWidget* CreateWidget();
    /// A widget that forwards its events to Control (what CreateWidget
    /// makes by default; forms use one for their client area).
    static QWidget* CreateControlWidget(TControl* control, QWidget* parent = nullptr);
    /// Stops a widget of CreateControlWidget from calling its control.
    static void DetachControlWidget(QWidget* widget);
    /// The canvas PaintDirect hands out: the control's own where it has one.
    virtual TCanvas* PaintCanvas();
    /// Called after the size changed (not while loading): the default calls
    /// Resize; windowed controls re-align their children first.
    virtual void SizeChanged();
    /// Brings a new widget up to the control's state.
    virtual void InitWidget();

    /// Paints the control on Painter, which paints the area Area (client
    /// coordinates) of the control's client widget.
    virtual void PaintWindow(QPainter* painter, const TRect& area);

    /// Fires OnClick.
    virtual void Click();
    /// Fires OnDblClick.
    virtual void DblClick();
    /// Fire the mouse events; X and Y are client coordinates.
    virtual void MouseDown(TMouseButton button, TShiftState shift, int x, int y);
    virtual void MouseMove(TShiftState shift, int x, int y);
    virtual void MouseUp(TMouseButton button, TShiftState shift, int x, int y);
    virtual void MouseEnter();
    virtual void MouseLeave();
    /// Called after the size changed (not while loading); fires OnResize.
    virtual void Resize();

    /// Called after the font, colour, caption, enabled state or visibility
    /// changed; the defaults invalidate.
    virtual void FontChanged();
    virtual void ColorChanged();
    virtual void TextChanged();
    virtual void EnabledChanged();
    virtual void VisibleChanged();

    /// The parent's font or colour changed (or the control got a parent).
    virtual void ParentFontChanged();
    virtual void ParentColorChanged();

    /// Lets the parent re-align its children when this one is aligned.
    void RequestAlign();
    void Loaded() override;
    void Notification(TComponent* component, TOperation operation) override;

    /// Stores the geometry without side effects (used while aligning).
    void UpdateBoundsFromAlign(const TRect& rect);

    TControlStyle FControlStyle;
    TControlState FControlState;

private:
    void WidgetPaint(QPainter* painter, const QRect& area);
    void WidgetMouse(QMouseEvent* event, int kind);
    void ApplyGeometry();
    void ApplyCursor();
    void ApplyHint();
    void ApplyOpacity();
    void FontChangedHandler();
    void RememberAnchors();
    void ApplyAnchors(int parentWidth, int parentHeight);

    TWinControl* FParent = nullptr;
    QPointer<QWidget> FWidget;
    TControlCanvas* FDirectCanvas = nullptr;
    bool FInvalidPending = false;
    int FLeft = 0;
    int FTop = 0;
    int FWidth = 0;
    int FHeight = 0;
    TAlign FAlign = alNone;
    TAnchors FAnchors = akLeft | akTop;
    TRect FAnchorBounds;
    TSize FAnchorParentSize;
    bool FAnchorsKnown = false;
    bool FVisible = true;
    bool FEnabled = true;
    QString FText;
    TColor FColor = clWindow;
    bool FParentColor = true;
    TFont* FFont;
    bool FParentFont = true;
    bool FFontFromParent = false;
    QString FHint;
    bool FShowHint = false;
    bool FParentShowHint = true;
    TCursor FCursor = crDefault;
    TCursor FDragCursor = crDrag;
    TDragMode FDragMode = dmManual;
    TPopupMenu* FPopupMenu = nullptr;
    std::function<void(TCanvas*)> FDirectDraw;
    TNotifyEvent FOnClick;
    TNotifyEvent FOnDblClick;
    TMouseEvent FOnMouseDown;
    TMouseMoveEvent FOnMouseMove;
    TMouseEvent FOnMouseUp;
    TNotifyEvent FOnMouseEnter;
    TNotifyEvent FOnMouseLeave;
    TNotifyEvent FOnResize;
    TDragDropEvent FOnDragDrop;
    TDragOverEvent FOnDragOver;
    TEndDragEvent FOnEndDrag;
    TStartDragEvent FOnStartDrag;
};

/// A control that draws itself on a canvas and never takes the focus.
class TGraphicControl : public TControl {
    Q_OBJECT
public:
    explicit TGraphicControl(TComponent* owner);
    ~TGraphicControl() override;

    TCanvas* Canvas() const { return FCanvas; }

protected:
    /// Draws the control with Canvas; the default draws nothing.
    virtual void Paint();
    void PaintWindow(QPainter* painter, const TRect& area) override;
    TCanvas* PaintCanvas() override { return FCanvas; }

private:
    TControlCanvas* FCanvas;
};

/// A control that holds other controls, takes the focus and gets keys.
class TWinControl : public TControl {
    Q_OBJECT
    Q_PROPERTY(int TabOrder READ TabOrder WRITE SetTabOrder)
public:
    explicit TWinControl(TComponent* owner);
    ~TWinControl() override;

    /// Children: graphic controls first, then windowed ones, each in the
    /// order they got this parent.
    int ControlCount() const;
    TControl* Controls(int index) const;
    /// Whether Control is this control or lies inside it.
    bool ContainsControl(TControl* control) const;
    /// The visible child (graphic or windowed) at Pos, the topmost one;
    /// null when none.
    TControl* ControlAtPos(const TPoint& pos, bool allowDisabled = false) const;

    /// Lays out the aligned and anchored children again.
    void Realign();
    void DisableAlign();
    void EnableAlign();
    bool AlignDisabled() const { return FAlignLevel > 0; }

    /// Whether the control draws its frame three-dimensionally. Setting it
    /// turns ParentCtl3D off; with ParentCtl3D on the control takes its
    /// parent's value and follows its changes. Both are on by default.
    bool Ctl3D() const { return FCtl3D; }
    void SetCtl3D(bool value);
    bool ParentCtl3D() const { return FParentCtl3D; }
    void SetParentCtl3D(bool value);
    /// Whether a stored form holds Ctl3D: only where it is not the parent's.
    Q_INVOKABLE bool IsCtl3DStored() const { return !FParentCtl3D; }

    bool TabStop() const { return FTabStop; }
    void SetTabStop(bool value);
    /// Position in the parent's tab order (-1 without parent). Setting it
    /// moves the control there (clamped to the list).
    int TabOrder() const;
    void SetTabOrder(int value);

    /// Gives the control the keyboard focus. Raises EInvalidOperation
    /// "Cannot focus a disabled or invisible window" when it cannot take it.
    virtual void SetFocus();
    bool Focused() const;
    /// Whether the control and all its parents are visible and enabled.
    bool CanFocus() const;
    /// The first control in tab order, among the children and their
    /// children, that is a tab stop and can take the focus; null if none.
    TWinControl* FindFirstTabStop() const;

    TNotifyEvent OnEnter() const { return FOnEnter; }
    void SetOnEnter(const TNotifyEvent& value) { FOnEnter = value; }
    TNotifyEvent OnExit() const { return FOnExit; }
    void SetOnExit(const TNotifyEvent& value) { FOnExit = value; }
    TKeyEvent OnKeyDown() const { return FOnKeyDown; }
    void SetOnKeyDown(const TKeyEvent& value) { FOnKeyDown = value; }
    TKeyEvent OnKeyUp() const { return FOnKeyUp; }
    void SetOnKeyUp(const TKeyEvent& value) { FOnKeyUp = value; }
    TKeyPressEvent OnKeyPress() const { return FOnKeyPress; }
    void SetOnKeyPress(const TKeyPressEvent& value) { FOnKeyPress = value; }

protected:
    friend class TControl;
    friend class TControlWidget;

    /// Places the aligned children inside Rect (alTop first, then alBottom,
    /// alLeft, alRight, alClient), shrinking Rect as it goes, and moves the
    /// anchored ones. Control is the child whose change caused the call
    /// (null for a general re-alignment). Overrides shrink Rect first to
    /// keep children inside a frame.
    virtual void AlignControls(TControl* control, TRect& rect);
    /// Called with the client rectangle before aligning; the default leaves
    /// it.
    virtual void AdjustClientRect(TRect& rect);

    /// Fills the client area with Color unless the control is opaque.
    void PaintWindow(QPainter* painter, const TRect& area) override;
    void InitWidget() override;
    void SizeChanged() override;
    void Loaded() override;
    void FontChanged() override;
    void ColorChanged() override;

    /// Key handling; the defaults fire the events. Key 0 after KeyDown stops
    /// the key.
    virtual void KeyDown(WORD& key, TShiftState shift);
    virtual void KeyUp(WORD& key, TShiftState shift);
    virtual void KeyPress(QChar& key);
    /// Focus arrived or left; fire OnEnter and OnExit.
    virtual void DoEnter();
    virtual void DoExit();
    /// Whether the control takes keys that otherwise move the focus or
    /// press the form's default and cancel buttons (arrows, Return, Escape).
    virtual bool WantsKey(WORD key) const;
    /// The focus policy of the widget (TabStop: tab and click; otherwise
    /// none; SetFocus always works).
    virtual Qt::FocusPolicy WidgetFocusPolicy() const;

    /// Called after Ctl3D changed; the default invalidates and passes the
    /// value on to the windowed children that follow it.
    virtual void Ctl3DChanged();
    /// The parent's Ctl3D changed (or the control got a parent).
    void ParentCtl3DChanged();

    void InsertControl(TControl* control);
    void RemoveControl(TControl* control);

private:
    void WidgetKey(QKeyEvent* event, bool down);
    void RestackChildren();
    void UpdateTabOrder();
    void AlignChildren(TControl* control);

    QList<TControl*> FControls; // graphic children
    QList<TControl*> FWinControls; // windowed children
    QList<TWinControl*> FTabList;
    int FStoredTabOrder = -1;
    int FAlignLevel = 0;
    bool FAligning = false;
    bool FTabStop = false;
    bool FCtl3D = true;
    bool FParentCtl3D = true;
    TNotifyEvent FOnEnter;
    TNotifyEvent FOnExit;
    TKeyEvent FOnKeyDown;
    TKeyEvent FOnKeyUp;
    TKeyPressEvent FOnKeyPress;
};

/// A windowed control that paints itself with a canvas.
class TCustomControl : public TWinControl {
    Q_OBJECT
public:
    explicit TCustomControl(TComponent* owner);
    ~TCustomControl() override;

    TCanvas* Canvas() const { return FCanvas; }

protected:
    /// Draws the control with Canvas; the default draws nothing.
    virtual void Paint();
    void PaintWindow(QPainter* painter, const TRect& area) override;
    TCanvas* PaintCanvas() override { return FCanvas; }

private:
    TControlCanvas* FCanvas;
};

/// Registers the event and value types of this unit with the stored-form
/// reader (idempotent).
void RegisterControlsTypes();
