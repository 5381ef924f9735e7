#pragma once

// Extended controls: panels (a bevelled container with a caption), bevels
// (lines and frames) and images (a picture, stretched or centred).

#include "platform/ui/Bitmap.h"
#include "platform/ui/Controls.h"

/// Draws Width nested one-pixel rings just inside Rect: a polyline from the
/// bottom-left corner up and across in TopColor, then one from the top-right
/// corner down and back in BottomColor, which ends one pixel past the
/// bottom-left corner (lines leave out their end point), so both the
/// top-right and the bottom-left corner pixels come out in BottomColor.
/// Rect shrinks by Width on every side. A width of 0 or less draws nothing
/// and leaves Rect alone.
void Frame3D(TCanvas* canvas, TRect& rect, TColor topColor, TColor bottomColor, int width);

class TCustomPanel : public TCustomControl {
    Q_OBJECT
public:
    /// 185 x 41, raised outer bevel of width 1, caption centred, clBtnFace.
    explicit TCustomPanel(TComponent* owner);

    TAlignment Alignment() const { return FAlignment; }
    void SetAlignment(TAlignment value);
    TBevelCut BevelInner() const { return FBevelInner; }
    void SetBevelInner(TBevelCut value);
    TBevelCut BevelOuter() const { return FBevelOuter; }
    void SetBevelOuter(TBevelCut value);
    /// Width of each bevel ring (at least 1).
    int BevelWidth() const { return FBevelWidth; }
    void SetBevelWidth(int value);
    /// The coloured ring between the bevels (0 or more).
    int BorderWidth() const { return FBorderWidth; }
    void SetBorderWidth(int value);
    /// bsSingle draws a one-pixel clWindowFrame line outside everything.
    TBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TBorderStyle value);
    bool FullRepaint() const { return FFullRepaint; }
    void SetFullRepaint(bool value) { FFullRepaint = value; }

    /// Pixels the frame takes on each side (border line, bevels, border).
    int FrameExtent() const;

protected:
    void Paint() override;
    /// Keeps the aligned children inside the frame.
    void AlignControls(TControl* control, TRect& rect) override;

private:
    TAlignment FAlignment = taCenter;
    TBevelCut FBevelInner = bvNone;
    TBevelCut FBevelOuter = bvRaised;
    int FBevelWidth = 1;
    int FBorderWidth = 0;
    TBorderStyle FBorderStyle = bsNone;
    bool FFullRepaint = true;
};

class TPanel : public TCustomPanel {
    Q_OBJECT
    Q_MOC_INCLUDE("platform/ui/Menus.h")
    Q_PROPERTY(UiEnums::TAlign Align READ Align WRITE SetAlign)
    Q_PROPERTY(UiEnums::TAlignment Alignment READ Alignment WRITE SetAlignment)
    Q_PROPERTY(UiEnums::TAnchors Anchors READ Anchors WRITE SetAnchors)
    Q_PROPERTY(UiEnums::TBevelCut BevelInner READ BevelInner WRITE SetBevelInner)
    Q_PROPERTY(UiEnums::TBevelCut BevelOuter READ BevelOuter WRITE SetBevelOuter)
    Q_PROPERTY(int BevelWidth READ BevelWidth WRITE SetBevelWidth)
    Q_PROPERTY(UiEnums::TFormBorderStyle BorderStyle READ BorderStyle WRITE SetBorderStyle)
    Q_PROPERTY(int BorderWidth READ BorderWidth WRITE SetBorderWidth)
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(TColor Color READ Color WRITE SetColor)
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(TFont* Font READ Font WRITE SetFont)
    Q_PROPERTY(bool FullRepaint READ FullRepaint WRITE SetFullRepaint)
    Q_PROPERTY(bool ParentColor READ ParentColor WRITE SetParentColor)
    Q_PROPERTY(bool ParentFont READ ParentFont WRITE SetParentFont)
    Q_PROPERTY(bool ParentShowHint READ ParentShowHint WRITE SetParentShowHint)
    Q_PROPERTY(TPopupMenu* PopupMenu READ PopupMenu WRITE SetPopupMenu)
    Q_PROPERTY(bool ShowHint READ ShowHint WRITE SetShowHint)
    Q_PROPERTY(bool TabStop READ TabStop WRITE SetTabStop)
    Q_PROPERTY(bool Visible READ Visible WRITE SetVisible)
    Q_PROPERTY(TNotifyEvent OnClick READ OnClick WRITE SetOnClick)
    Q_PROPERTY(TNotifyEvent OnDblClick READ OnDblClick WRITE SetOnDblClick)
    Q_PROPERTY(TNotifyEvent OnEnter READ OnEnter WRITE SetOnEnter)
    Q_PROPERTY(TNotifyEvent OnExit READ OnExit WRITE SetOnExit)
    Q_PROPERTY(TMouseEvent OnMouseDown READ OnMouseDown WRITE SetOnMouseDown)
    Q_PROPERTY(TMouseMoveEvent OnMouseMove READ OnMouseMove WRITE SetOnMouseMove)
    Q_PROPERTY(TMouseEvent OnMouseUp READ OnMouseUp WRITE SetOnMouseUp)
    Q_PROPERTY(TNotifyEvent OnResize READ OnResize WRITE SetOnResize)
    Q_CLASSINFO("default:Align", "alNone")
    Q_CLASSINFO("default:Alignment", "taCenter")
    Q_CLASSINFO("default:Anchors", "[akLeft, akTop]")
    Q_CLASSINFO("default:BevelInner", "bvNone")
    Q_CLASSINFO("default:BevelOuter", "bvRaised")
    Q_CLASSINFO("default:BevelWidth", "1")
    Q_CLASSINFO("default:BorderStyle", "bsNone")
    Q_CLASSINFO("default:BorderWidth", "0")
    Q_CLASSINFO("default:Enabled", "True")
    Q_CLASSINFO("default:FullRepaint", "True")
    Q_CLASSINFO("default:TabStop", "False")
    Q_CLASSINFO("default:Visible", "True")
public:
    explicit TPanel(TComponent* owner);
};

/// A line or frame in the bevel colours.
class TBevel : public TGraphicControl {
    Q_OBJECT
    Q_PROPERTY(UiEnums::TAlign Align READ Align WRITE SetAlign)
    Q_PROPERTY(UiEnums::TAnchors Anchors READ Anchors WRITE SetAnchors)
    Q_PROPERTY(bool ParentShowHint READ ParentShowHint WRITE SetParentShowHint)
    Q_PROPERTY(UiEnums::TBevelShape Shape READ Shape WRITE SetShape)
    Q_PROPERTY(bool ShowHint READ ShowHint WRITE SetShowHint)
    Q_PROPERTY(UiEnums::TBevelStyle Style READ Style WRITE SetStyle)
    Q_PROPERTY(bool Visible READ Visible WRITE SetVisible)
    Q_CLASSINFO("default:Align", "alNone")
    Q_CLASSINFO("default:Anchors", "[akLeft, akTop]")
    Q_CLASSINFO("default:Shape", "bsBox")
    Q_CLASSINFO("default:Style", "bsLowered")
    Q_CLASSINFO("default:Visible", "True")
public:
    /// 50 x 50, a lowered box.
    explicit TBevel(TComponent* owner);

    TBevelShape Shape() const { return FShape; }
    void SetShape(TBevelShape value);
    TBevelStyle Style() const { return FStyle; }
    void SetStyle(TBevelStyle value);

protected:
    void Paint() override;

private:
    TBevelShape FShape = bsBox;
    TBevelStyle FStyle = bsLowered;
};

/// Shows a picture: at its own size from the top-left corner, centred, or
/// stretched to the control.
class TImage : public TGraphicControl {
    Q_OBJECT
    Q_MOC_INCLUDE("platform/ui/Menus.h")
    Q_PROPERTY(UiEnums::TAlign Align READ Align WRITE SetAlign)
    Q_PROPERTY(UiEnums::TAnchors Anchors READ Anchors WRITE SetAnchors)
    Q_PROPERTY(bool AutoSize READ AutoSize WRITE SetAutoSize)
    Q_PROPERTY(bool Center READ Center WRITE SetCenter)
    Q_PROPERTY(bool ParentShowHint READ ParentShowHint WRITE SetParentShowHint)
    Q_PROPERTY(TPopupMenu* PopupMenu READ PopupMenu WRITE SetPopupMenu)
    Q_PROPERTY(TPicture* Picture READ Picture WRITE SetPicture)
    Q_PROPERTY(bool ShowHint READ ShowHint WRITE SetShowHint)
    Q_PROPERTY(bool Stretch READ Stretch WRITE SetStretch)
    Q_PROPERTY(bool Transparent READ Transparent WRITE SetTransparent)
    Q_PROPERTY(bool Visible READ Visible WRITE SetVisible)
    Q_PROPERTY(TNotifyEvent OnClick READ OnClick WRITE SetOnClick)
    Q_PROPERTY(TNotifyEvent OnDblClick READ OnDblClick WRITE SetOnDblClick)
    Q_PROPERTY(TMouseEvent OnMouseDown READ OnMouseDown WRITE SetOnMouseDown)
    Q_PROPERTY(TMouseMoveEvent OnMouseMove READ OnMouseMove WRITE SetOnMouseMove)
    Q_PROPERTY(TMouseEvent OnMouseUp READ OnMouseUp WRITE SetOnMouseUp)
    Q_CLASSINFO("default:Align", "alNone")
    Q_CLASSINFO("default:Anchors", "[akLeft, akTop]")
    Q_CLASSINFO("default:AutoSize", "False")
    Q_CLASSINFO("default:Center", "False")
    Q_CLASSINFO("default:Stretch", "False")
    Q_CLASSINFO("default:Transparent", "False")
    Q_CLASSINFO("default:Visible", "True")
public:
    /// 105 x 105, empty.
    explicit TImage(TComponent* owner);
    ~TImage() override;

    TPicture* Picture() const { return FPicture; }
    /// Copies the picture (Assign).
    void SetPicture(TPicture* value);
    /// Sizes the control to the picture whenever the picture changes.
    bool AutoSize() const { return FAutoSize; }
    void SetAutoSize(bool value);
    bool Center() const { return FCenter; }
    void SetCenter(bool value);
    bool Stretch() const { return FStretch; }
    void SetStretch(bool value);
    /// Leaves the picture's transparent colour out (bitmaps: the colour of
    /// their bottom-left pixel).
    bool Transparent() const { return FTransparent; }
    void SetTransparent(bool value);

    /// Where the picture is drawn, in client coordinates.
    TRect DestRect() const;

protected:
    void Paint() override;

private:
    void PictureChanged();

    TPicture* FPicture;
    bool FAutoSize = false;
    bool FCenter = false;
    bool FStretch = false;
    bool FTransparent = false;
};
