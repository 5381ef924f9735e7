#pragma once
// TMMBevel: the frame every visual component of the library draws around
// its content. Up to five nested rings, from the outside in:
//
//   1. a one-pixel clWindowFrame line      (BorderStyle bsSingle)
//   2. the outer bevel                     (BevelOuter, BevelOuterWidth)
//   3. the border, in BorderColor          (BorderWidth)
//   4. the inner bevel                     (BevelInner, BevelInnerWidth)
//   5. the border space, in BorderSpaceColor (BorderSpace)
//
// A lowered bevel has its shadow colour on the top and left edges and its
// light colour on the right and bottom edges; a raised one the other way
// round; bvSpace takes room (BevelExtent counts it) but PaintBevel neither
// draws nor shrinks for it, so the control's background shows there.
//
// The owning control sets OnChange to its own handler and repaints for it.
// GUI thread.

#include "mm/core/MMObj.h"
#include "platform/ui/Canvas.h"
#include "platform/ui/Graphics.h"
#include "platform/ui/Types.h"

/// Width of a bevel ring: 1 and up.
using TBevelWidth = int;
/// Width of a border ring: 0 and up.
using TBorderWidth = int;

class TMMBevel : public TMMObject {
    Q_OBJECT
    // No defaults are declared: stored forms list all thirteen settings.
    Q_PROPERTY(UiEnums::TBevelCut BevelInner READ BevelInner WRITE SetBevelInner)
    Q_PROPERTY(UiEnums::TBevelCut BevelOuter READ BevelOuter WRITE SetBevelOuter)
    Q_PROPERTY(int BevelInnerWidth READ BevelInnerWidth WRITE SetBevelInnerWidth)
    Q_PROPERTY(int BevelOuterWidth READ BevelOuterWidth WRITE SetBevelOuterWidth)
    Q_PROPERTY(UiEnums::TFormBorderStyle BorderStyle READ BorderStyle WRITE SetBorderStyle)
    Q_PROPERTY(int BorderWidth READ BorderWidth WRITE SetBorderWidth)
    Q_PROPERTY(int BorderSpace READ BorderSpace WRITE SetBorderSpace)
    Q_PROPERTY(TColor BorderColor READ BorderColor WRITE SetBorderColor)
    Q_PROPERTY(TColor BorderSpaceColor READ BorderSpaceColor WRITE SetBorderSpaceColor)
    Q_PROPERTY(TColor InnerLightColor READ InnerLightColor WRITE SetInnerLightColor)
    Q_PROPERTY(TColor InnerShadowColor READ InnerShadowColor WRITE SetInnerShadowColor)
    Q_PROPERTY(TColor OuterLightColor READ OuterLightColor WRITE SetOuterLightColor)
    Q_PROPERTY(TColor OuterShadowColor READ OuterShadowColor WRITE SetOuterShadowColor)
public:
    /// The index of each colour in the colour setter.
    enum TBevelColorIndex {
        kBorderColor,
        kBorderSpaceColor,
        kInnerLightColor,
        kInnerShadowColor,
        kOuterLightColor,
        kOuterShadowColor,
    };

    /// A lowered one-pixel outer bevel in clBtnShadow/clBtnHighlight and
    /// nothing else; the border colour clBtnFace, the border space colour
    /// clBlack.
    explicit TMMBevel(QObject* parent = nullptr);
    ~TMMBevel() override;

    /// Copies the thirteen settings of another TMMBevel inside one update
    /// bracket: OnChanging fires once before and OnChange exactly once after,
    /// whether or not anything differed (also when a setter fails). Assigning
    /// a bevel to itself does nothing. Any other source raises EConvertError
    /// (through the inherited Assign).
    void Assign(TPersistent* source) override;

    /// Pixels the frame takes on each side: BorderWidth + BorderSpace, plus
    /// each bevel's width unless it is bvNone (bvSpace counts), plus 1 for
    /// bsSingle. Saturates at the largest int.
    int BevelExtent() const;

    /// Paints the rings into Rect on Canvas, the outermost first, and
    /// returns the rectangle left inside them. Without DrawBorder the border
    /// ring is skipped (left as it was painted) but still takes its room.
    /// Changes the canvas pen's colour and width.
    virtual TRect PaintBevel(TCanvas* canvas, const TRect& rect, bool drawBorder);

    TBevelCut BevelInner() const { return FBevelInner; }
    void SetBevelInner(TBevelCut value);
    TBevelCut BevelOuter() const { return FBevelOuter; }
    void SetBevelOuter(TBevelCut value);
    /// Values below 1 are taken as 1.
    int BevelInnerWidth() const { return FBevelInnerWidth; }
    void SetBevelInnerWidth(int value);
    int BevelOuterWidth() const { return FBevelOuterWidth; }
    void SetBevelOuterWidth(int value);
    /// Only bsNone and bsSingle; other border styles are ignored.
    TBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TBorderStyle value);
    /// Values below 0 are taken as 0.
    int BorderWidth() const { return FBorderWidth; }
    void SetBorderWidth(int value);
    int BorderSpace() const { return FBorderSpace; }
    void SetBorderSpace(int value);

    TColor BorderColor() const { return FColors[kBorderColor]; }
    void SetBorderColor(TColor value) { SetColor(kBorderColor, value); }
    TColor BorderSpaceColor() const { return FColors[kBorderSpaceColor]; }
    void SetBorderSpaceColor(TColor value) { SetColor(kBorderSpaceColor, value); }
    TColor InnerLightColor() const { return FColors[kInnerLightColor]; }
    void SetInnerLightColor(TColor value) { SetColor(kInnerLightColor, value); }
    TColor InnerShadowColor() const { return FColors[kInnerShadowColor]; }
    void SetInnerShadowColor(TColor value) { SetColor(kInnerShadowColor, value); }
    TColor OuterLightColor() const { return FColors[kOuterLightColor]; }
    void SetOuterLightColor(TColor value) { SetColor(kOuterLightColor, value); }
    TColor OuterShadowColor() const { return FColors[kOuterShadowColor]; }
    void SetOuterShadowColor(TColor value) { SetColor(kOuterShadowColor, value); }

    /// The shared colour setter, keyed by TBevelColorIndex.
    void SetColor(int index, TColor value);

protected:
    /// The owning control (the QObject parent), for name paths in messages.
    TPersistent* GetOwner() const override;

private:
    TBevelCut FBevelInner = bvNone;
    TBevelCut FBevelOuter = bvLowered;
    int FBevelInnerWidth = 1;
    int FBevelOuterWidth = 1;
    TBorderStyle FBorderStyle = bsNone;
    int FBorderWidth = 0;
    int FBorderSpace = 0;
    TColor FColors[6] = { clBtnFace, clBlack, clBtnHighlight, clBtnShadow, clBtnHighlight, clBtnShadow };
};

/// Draws Width one-pixel rings just inside Rect, each with TopColor on its
/// top and left edges and BottomColor on its right and bottom edges (the
/// top-right corner pixel belongs to the bottom colour, the bottom-left one
/// to the top colour), and shrinks Rect by Width on every side. Width 0 or
/// less draws nothing and leaves Rect as it is. Rings that would lie outside
/// what is left of Rect are not drawn, but still shrink it.
void RingFrame(TCanvas* canvas, TRect& rect, TColor topColor, TColor bottomColor, int width);
