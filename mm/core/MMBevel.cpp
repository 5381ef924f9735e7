#include "mm/core/MMBevel.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace {

int Saturate(std::int64_t value)
{
    return static_cast<int>(std::clamp<std::int64_t>(value, INT_MIN, INT_MAX));
}

void ShrinkRect(TRect& rect, std::int64_t by)
{
    rect.Left = Saturate(rect.Left + by);
    rect.Top = Saturate(rect.Top + by);
    rect.Right = Saturate(rect.Right - by);
    rect.Bottom = Saturate(rect.Bottom - by);
}

// One span of the pen's colour from (x1, y1) up to, not including, (x2, y2);
// the spans only ever run right or down, where every line rule agrees on
// which pixels a line sets.
void Span(TCanvas* canvas, int x1, int y1, int x2, int y2)
{
    if (x1 != x2 || y1 != y2)
        canvas->Polyline({ Point(x1, y1), Point(x2, y2) });
}

} // namespace

void RingFrame(TCanvas* canvas, TRect& rect, TColor topColor, TColor bottomColor, int width)
{
    if (width <= 0)
        return;
    canvas->Pen()->SetWidth(1);
    // Right and Bottom address the last pixel inside while the rings go on.
    --rect.Right;
    --rect.Bottom;
    for (int ring = 0; ring < width; ++ring) {
        if (rect.Left > rect.Right || rect.Top > rect.Bottom) {
            // Nothing of the rectangle is left to frame; a wide ring on a
            // small control would otherwise loop for billions of rings.
            ShrinkRect(rect, static_cast<std::int64_t>(width) - ring);
            break;
        }
        // The top colour takes the left column down to the bottom-left
        // corner and the top row up to, not including, the top-right corner;
        // the bottom colour the right column and the rest of the bottom row.
        canvas->Pen()->SetColor(topColor);
        Span(canvas, rect.Left, rect.Top, rect.Left, rect.Bottom + 1);
        Span(canvas, rect.Left, rect.Top, rect.Right, rect.Top);
        canvas->Pen()->SetColor(bottomColor);
        Span(canvas, rect.Right, rect.Top, rect.Right, rect.Bottom + 1);
        Span(canvas, rect.Left + 1, rect.Bottom, rect.Right + 1, rect.Bottom);
        ShrinkRect(rect, 1);
    }
    rect.Right = Saturate(static_cast<std::int64_t>(rect.Right) + 1);
    rect.Bottom = Saturate(static_cast<std::int64_t>(rect.Bottom) + 1);
}

// ---------------------------------------------------------------------------

TMMBevel::TMMBevel(QObject* parent)
    : TMMObject(parent)
{
}

TMMBevel::~TMMBevel() = default;

TPersistent* TMMBevel::GetOwner() const
{
    return qobject_cast<TPersistent*>(parent());
}

void TMMBevel::Assign(TPersistent* source)
{
    auto* other = qobject_cast<TMMBevel*>(source);
    if (other == nullptr) {
        TMMObject::Assign(source);
        return;
    }
    if (other == this)
        return;
    BeginUpdate();
    try {
        SetBevelInner(other->BevelInner());
        SetBevelOuter(other->BevelOuter());
        SetBevelInnerWidth(other->BevelInnerWidth());
        SetBevelOuterWidth(other->BevelOuterWidth());
        SetBorderStyle(other->BorderStyle());
        SetBorderWidth(other->BorderWidth());
        SetBorderSpace(other->BorderSpace());
        SetBorderColor(other->BorderColor());
        SetBorderSpaceColor(other->BorderSpaceColor());
        SetOuterLightColor(other->OuterLightColor());
        SetOuterShadowColor(other->OuterShadowColor());
        SetInnerLightColor(other->InnerLightColor());
        SetInnerShadowColor(other->InnerShadowColor());
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

int TMMBevel::BevelExtent() const
{
    std::int64_t extent = static_cast<std::int64_t>(FBorderWidth) + FBorderSpace;
    if (FBevelOuter != bvNone)
        extent += FBevelOuterWidth;
    if (FBevelInner != bvNone)
        extent += FBevelInnerWidth;
    if (FBorderStyle == bsSingle)
        extent += 1;
    return Saturate(extent);
}

TRect TMMBevel::PaintBevel(TCanvas* canvas, const TRect& rect, bool drawBorder)
{
    TRect result = rect;
    if (FBorderStyle == bsSingle)
        RingFrame(canvas, result, clWindowFrame, clWindowFrame, 1);

    const auto paintCut = [&](TBevelCut cut, TColor light, TColor shadow, int width) {
        if (cut == bvLowered)
            RingFrame(canvas, result, shadow, light, width);
        else if (cut == bvRaised)
            RingFrame(canvas, result, light, shadow, width);
    };

    paintCut(FBevelOuter, OuterLightColor(), OuterShadowColor(), FBevelOuterWidth);
    if (drawBorder)
        RingFrame(canvas, result, BorderColor(), BorderColor(), FBorderWidth);
    else
        ShrinkRect(result, FBorderWidth);
    paintCut(FBevelInner, InnerLightColor(), InnerShadowColor(), FBevelInnerWidth);
    if (FBorderSpace != 0)
        RingFrame(canvas, result, BorderSpaceColor(), BorderSpaceColor(), FBorderSpace);
    return result;
}

void TMMBevel::SetBevelInner(TBevelCut value)
{
    if (value == FBevelInner)
        return;
    FBevelInner = value;
    Changed();
}

void TMMBevel::SetBevelOuter(TBevelCut value)
{
    if (value == FBevelOuter)
        return;
    FBevelOuter = value;
    Changed();
}

void TMMBevel::SetBevelInnerWidth(int value)
{
    value = std::max(value, 1);
    if (value == FBevelInnerWidth)
        return;
    FBevelInnerWidth = value;
    Changed();
}

void TMMBevel::SetBevelOuterWidth(int value)
{
    value = std::max(value, 1);
    if (value == FBevelOuterWidth)
        return;
    FBevelOuterWidth = value;
    Changed();
}

void TMMBevel::SetBorderStyle(TBorderStyle value)
{
    if (value != bsNone && value != bsSingle)
        return;
    if (value == FBorderStyle)
        return;
    FBorderStyle = value;
    Changed();
}

void TMMBevel::SetBorderWidth(int value)
{
    value = std::max(value, 0);
    if (value == FBorderWidth)
        return;
    FBorderWidth = value;
    Changed();
}

void TMMBevel::SetBorderSpace(int value)
{
    value = std::max(value, 0);
    if (value == FBorderSpace)
        return;
    FBorderSpace = value;
    Changed();
}

void TMMBevel::SetColor(int index, TColor value)
{
    if (index < 0 || index >= static_cast<int>(std::size(FColors)) || FColors[index] == value)
        return;
    FColors[index] = value;
    Changed();
}
