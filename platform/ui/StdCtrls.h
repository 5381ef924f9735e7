#pragma once

// Standard controls: TLabel (a caption drawn on the parent) and TButton (a
// push button that can close a modal form with its ModalResult).

#include "platform/ui/Controls.h"
#include "platform/ui/Dialogs.h"

class TCustomLabel : public TGraphicControl {
    Q_OBJECT
public:
    /// 65 x 17, auto-sized, left-aligned, opaque, single line.
    explicit TCustomLabel(TComponent* owner);

    TAlignment Alignment() const { return FAlignment; }
    void SetAlignment(TAlignment value);
    /// Fits the control to its caption whenever the caption or the font
    /// changes (keeping the right edge for right-aligned labels).
    bool AutoSize() const { return FAutoSize; }
    void SetAutoSize(bool value);
    TTextLayout Layout() const { return FLayout; }
    void SetLayout(TTextLayout value);
    bool ShowAccelChar() const { return FShowAccelChar; }
    void SetShowAccelChar(bool value);
    /// Without it the parent shows around the letters; with it the label
    /// fills its rectangle with Color.
    bool Transparent() const { return FTransparent; }
    void SetTransparent(bool value);
    bool WordWrap() const { return FWordWrap; }
    void SetWordWrap(bool value);

protected:
    void Paint() override;
    void Loaded() override;
    void FontChanged() override;
    /// A single-line, left-aligned caption that keeps its bounds and its
    /// first letters (a running clock) repaints only from the first letter
    /// that changed: what lies behind a transparent label, and the
    /// neighbours it overlaps, are not painted again for letters that stay.
    void TextChanged() override;
    /// Draws (or with DT_CALCRECT measures) the caption in Rect.
    virtual void DoDrawText(TRect& rect, unsigned flags);
    void AdjustBounds();

private:
    TAlignment FAlignment = taLeftJustify;
    bool FAutoSize = true;
    TTextLayout FLayout = tlTop;
    bool FShowAccelChar = true;
    bool FTransparent = false;
    bool FWordWrap = false;
    // The caption the label was last invalidated for (see TextChanged).
    QString FLastCaption;
    // The width of the unchanged beginning that the last caption change
    // measured: a running clock keeps the same one for many changes.
    QString FKeptText;
    int FKeptWidth = -1;
};

class TLabel : public TCustomLabel {
    Q_OBJECT
    Q_MOC_INCLUDE("platform/ui/Menus.h")
    Q_PROPERTY(UiEnums::TAlign Align READ Align WRITE SetAlign)
    Q_PROPERTY(UiEnums::TAlignment Alignment READ Alignment WRITE SetAlignment)
    Q_PROPERTY(UiEnums::TAnchors Anchors READ Anchors WRITE SetAnchors)
    Q_PROPERTY(bool AutoSize READ AutoSize WRITE SetAutoSize)
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(TColor Color READ Color WRITE SetColor)
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(TFont* Font READ Font WRITE SetFont)
    Q_PROPERTY(UiEnums::TTextLayout Layout READ Layout WRITE SetLayout)
    Q_PROPERTY(bool ParentColor READ ParentColor WRITE SetParentColor)
    Q_PROPERTY(bool ParentFont READ ParentFont WRITE SetParentFont)
    Q_PROPERTY(bool ParentShowHint READ ParentShowHint WRITE SetParentShowHint)
    Q_PROPERTY(TPopupMenu* PopupMenu READ PopupMenu WRITE SetPopupMenu)
    Q_PROPERTY(bool ShowAccelChar READ ShowAccelChar WRITE SetShowAccelChar)
    Q_PROPERTY(bool ShowHint READ ShowHint WRITE SetShowHint)
    Q_PROPERTY(bool Transparent READ Transparent WRITE SetTransparent)
    Q_PROPERTY(bool Visible READ Visible WRITE SetVisible)
    Q_PROPERTY(bool WordWrap READ WordWrap WRITE SetWordWrap)
    Q_PROPERTY(TNotifyEvent OnClick READ OnClick WRITE SetOnClick)
    Q_PROPERTY(TNotifyEvent OnDblClick READ OnDblClick WRITE SetOnDblClick)
    Q_PROPERTY(TMouseEvent OnMouseDown READ OnMouseDown WRITE SetOnMouseDown)
    Q_PROPERTY(TMouseMoveEvent OnMouseMove READ OnMouseMove WRITE SetOnMouseMove)
    Q_PROPERTY(TMouseEvent OnMouseUp READ OnMouseUp WRITE SetOnMouseUp)
    Q_CLASSINFO("default:Align", "alNone")
    Q_CLASSINFO("default:Alignment", "taLeftJustify")
    Q_CLASSINFO("default:Anchors", "[akLeft, akTop]")
    Q_CLASSINFO("default:AutoSize", "True")
    Q_CLASSINFO("default:Enabled", "True")
    Q_CLASSINFO("default:Layout", "tlTop")
    Q_CLASSINFO("default:ShowAccelChar", "True")
    Q_CLASSINFO("default:Transparent", "False")
    Q_CLASSINFO("default:Visible", "True")
    Q_CLASSINFO("default:WordWrap", "False")
public:
    explicit TLabel(TComponent* owner);
};

/// Draws the frame and face of a push button in Rect and returns the area
/// left for its content. Pressed draws it pushed in; IsDefault adds the dark
/// outer ring of the default (or focused) button.
TRect DrawButtonFace(TCanvas* canvas, const TRect& rect, bool pressed, bool isDefault);

class TButton : public TCustomControl {
    Q_OBJECT
    Q_MOC_INCLUDE("platform/ui/Menus.h")
    Q_PROPERTY(UiEnums::TAnchors Anchors READ Anchors WRITE SetAnchors)
    Q_PROPERTY(bool Cancel READ Cancel WRITE SetCancel)
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(bool Default READ Default WRITE SetDefault)
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(TFont* Font READ Font WRITE SetFont)
    Q_PROPERTY(int ModalResult READ ModalResult WRITE SetModalResult)
    Q_PROPERTY(bool ParentFont READ ParentFont WRITE SetParentFont)
    Q_PROPERTY(bool ParentShowHint READ ParentShowHint WRITE SetParentShowHint)
    Q_PROPERTY(TPopupMenu* PopupMenu READ PopupMenu WRITE SetPopupMenu)
    Q_PROPERTY(bool ShowHint READ ShowHint WRITE SetShowHint)
    Q_PROPERTY(bool TabStop READ TabStop WRITE SetTabStop)
    Q_PROPERTY(bool Visible READ Visible WRITE SetVisible)
    Q_PROPERTY(TNotifyEvent OnClick READ OnClick WRITE SetOnClick)
    Q_PROPERTY(TNotifyEvent OnEnter READ OnEnter WRITE SetOnEnter)
    Q_PROPERTY(TNotifyEvent OnExit READ OnExit WRITE SetOnExit)
    Q_PROPERTY(TKeyEvent OnKeyDown READ OnKeyDown WRITE SetOnKeyDown)
    Q_PROPERTY(TKeyPressEvent OnKeyPress READ OnKeyPress WRITE SetOnKeyPress)
    Q_PROPERTY(TKeyEvent OnKeyUp READ OnKeyUp WRITE SetOnKeyUp)
    Q_PROPERTY(TMouseEvent OnMouseDown READ OnMouseDown WRITE SetOnMouseDown)
    Q_PROPERTY(TMouseMoveEvent OnMouseMove READ OnMouseMove WRITE SetOnMouseMove)
    Q_PROPERTY(TMouseEvent OnMouseUp READ OnMouseUp WRITE SetOnMouseUp)
    Q_CLASSINFO("default:Anchors", "[akLeft, akTop]")
    Q_CLASSINFO("default:Cancel", "False")
    Q_CLASSINFO("default:Default", "False")
    Q_CLASSINFO("default:Enabled", "True")
    Q_CLASSINFO("default:ModalResult", "0")
    Q_CLASSINFO("default:TabStop", "True")
    Q_CLASSINFO("default:Visible", "True")
public:
    /// 75 x 25, a tab stop.
    explicit TButton(TComponent* owner);

    /// Escape anywhere on the form presses the cancel button.
    bool Cancel() const { return FCancel; }
    void SetCancel(bool value) { FCancel = value; }
    /// Return on the form presses the default button (unless the focused
    /// control takes Return itself).
    bool Default() const { return FDefault; }
    void SetDefault(bool value);
    /// Given to the form's ModalResult on a click (when not mrNone), which
    /// ends a modal display.
    TModalResult ModalResult() const { return FModalResult; }
    void SetModalResult(TModalResult value) { FModalResult = value; }

    /// Presses the button: sets the form's ModalResult, then fires OnClick.
    Q_INVOKABLE void Click() override;

    /// Whether the button shows pushed in (mouse or space bar held on it).
    bool Down() const { return FDown; }

protected:
    void Paint() override;
    /// Draws the caption (and whatever else the button shows) in Rect,
    /// the area inside the button's frame.
    virtual void PaintContent(const TRect& rect);
    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
    void MouseMove(TShiftState shift, int x, int y) override;
    void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;
    void KeyDown(WORD& key, TShiftState shift) override;
    void KeyUp(WORD& key, TShiftState shift) override;
    void DoEnter() override;
    void DoExit() override;
    bool WantsKey(WORD key) const override;
    Qt::FocusPolicy WidgetFocusPolicy() const override;

private:
    bool FCancel = false;
    bool FDefault = false;
    TModalResult FModalResult = mrNone;
    bool FDown = false;
    bool FMouseTracking = false;
};
