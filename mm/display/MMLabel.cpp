#include "mm/display/MMLabel.h"

#include "mm/display/MMFill.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace {

constexpr int kMaxDepth = 20;
constexpr int kMaxAngle = 360;
constexpr int kMaxCaption = 255;
constexpr double kDegree = 0.0174532925199433;

struct TOffset {
    int Dx;
    int Dy;
};

TOffset UnitOffset(TMMLabelDirection direction)
{
    switch (direction) {
    case ldNone:
        return { 0, 0 };
    case ldUp:
        return { 0, -1 };
    case ldUpRight:
        return { 1, -1 };
    case ldRight:
        return { 1, 0 };
    case ldDownRight:
        return { 1, 1 };
    case ldDown:
        return { 0, 1 };
    case ldDownLeft:
        return { -1, 1 };
    case ldLeft:
        return { -1, 0 };
    case ldUpLeft:
        return { -1, -1 };
    }
    return { 0, 0 };
}

// Round to nearest, halves to even (the default floating-point mode).
int RoundEven(double value)
{
    return static_cast<int>(std::nearbyint(value));
}

} // namespace

void RegisterLabelClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterControlsTypes();
        RegisterClass<TMMLabel>();
    });
}

namespace {
[[maybe_unused]] const bool kRegistered = (RegisterLabelClasses(), true);
} // namespace

/// What every layer of one paint shares.
struct TMMLabel::TGeometry {
    QString Text;
    int MinOff = 0;
    int Shift = 0;
    bool Rotated = false;
    int X0 = 0;
    int Y0 = 0;
    unsigned Flags = 0;
};

TMMLabel::TMMLabel(TComponent* owner)
    : TMMGraphicControl(owner)
    , FBitmap(std::make_unique<TBitmap>())
{
    RegisterLabelClasses();
    // Transparent: the parent shows through between the letters.
    FControlStyle &= ~TControlStyle(csOpaque);
    SetBounds(Left(), Top(), 142, 33);
    Font()->SetColor(clBlack);
    Font()->SetName(QStringLiteral("Times New Roman"));
    Font()->SetSize(20);
    FBitmap->SetOnChange([this](TObject*) { Invalidate(); });
}

TMMLabel::~TMMLabel()
{
    FBitmap->SetOnChange(nullptr);
}

void TMMLabel::SetAlignment(TAlignment value)
{
    if (value == FAlignment)
        return;
    FAlignment = value;
    Invalidate();
}

void TMMLabel::SetTransparent(bool value)
{
    if (value == FTransparent)
        return;
    FTransparent = value;
    UpdateOpacity();
    Invalidate();
}

void TMMLabel::UpdateOpacity()
{
    // A turned label fills only the polygon behind its text; the rest must
    // show the parent, not whatever the label showed before.
    if (FTransparent || FAngle != 0)
        SetControlStyle(ControlStyle() & ~TControlStyle(csOpaque));
    else
        SetControlStyle(ControlStyle() | csOpaque);
}

void TMMLabel::SetBitmap(TBitmap* value)
{
    if (value == FBitmap.get())
        return;
    FBitmap->Assign(value);
    Invalidate();
}

void TMMLabel::SetDepth(int index, TMMLabelDepth value)
{
    value = std::clamp(value, 0, kMaxDepth);
    if (value == FDepth[index])
        return;
    FDepth[index] = value;
    if (!FApplyingPreset)
        SetEffectStyle(lsCustom);
    Invalidate();
}

void TMMLabel::SetDirection(int index, TMMLabelDirection value)
{
    if (value == FDirection[index])
        return;
    FDirection[index] = value;
    if (!FApplyingPreset)
        SetEffectStyle(lsCustom);
    Invalidate();
}

void TMMLabel::SetColour(int index, TColor value)
{
    if (value == FColour[index])
        return;
    FColour[index] = value;
    Invalidate();
}

void TMMLabel::SetLayerStyle(int index, TMMLabelOption value)
{
    if (value == FStyle[index])
        return;
    FStyle[index] = value;
    Invalidate();
}

void TMMLabel::SetEffectStyle(TMMLabelStyle value)
{
    if (value == FEffectStyle)
        return;
    FApplyingPreset = true;
    FEffectStyle = value;
    SetColourHighlight(clWhite);
    auto apply
        = [this](TMMLabelDirection highlight, TMMLabelDirection shadow, int depthHighlight, int depthShadow) {
              SetDirectionHighlight(highlight);
              SetDirectionShadow(shadow);
              SetDepthHighlight(depthHighlight);
              SetDepthShadow(depthShadow);
          };
    switch (value) {
    case lsNone:
        apply(ldNone, ldNone, 0, 0);
        FAsButton = false;
        break;
    case lsCustom:
        FAsButton = false;
        break;
    case lsRaised:
        apply(ldUpLeft, ldDownRight, 1, 1);
        break;
    case lsSunken:
        apply(ldDownRight, ldUpLeft, 1, 1);
        break;
    case lsShadow:
        apply(ldNone, ldDownRight, 0, 2);
        FAsButton = false;
        break;
    case lsFlying:
        apply(ldDownRight, ldDownRight, 1, 5);
        SetColourHighlight(clGray);
        FAsButton = false;
        break;
    }
    FApplyingPreset = false;
    if (value == lsCustom)
        Repaint();
    else
        Invalidate();
}

void TMMLabel::SetAsButton(bool value)
{
    if (value == FAsButton)
        return;
    FAsButton = value;
    if (value)
        SetEffectStyle(lsRaised);
}

void TMMLabel::SetAngle(TMMAngle value)
{
    value = std::clamp(value, 0, kMaxAngle);
    if (value == FAngle)
        return;
    FAngle = value;
    FCos = std::cos(value * kDegree);
    FSin = std::sin(value * kDegree);
    if (value != 0)
        SetAlignment(taLeftJustify);
    UpdateOpacity();
    Invalidate();
}

void TMMLabel::FontChanged()
{
    TMMGraphicControl::FontChanged();
    Invalidate();
}

int TMMLabel::MinOff() const
{
    const TOffset h = UnitOffset(FDirection[0]);
    const TOffset s = UnitOffset(FDirection[1]);
    return std::min({ 0, h.Dx * FDepth[0], s.Dx * FDepth[1], h.Dy * FDepth[0], s.Dy * FDepth[1] });
}

int TMMLabel::MaxOff() const
{
    const TOffset h = UnitOffset(FDirection[0]);
    const TOffset s = UnitOffset(FDirection[1]);
    return std::max({ 0, h.Dx * FDepth[0], s.Dx * FDepth[1], h.Dy * FDepth[0], s.Dy * FDepth[1] });
}

int TMMLabel::AlignShift() const
{
    switch (FAlignment) {
    case taLeftJustify:
        return 0;
    case taRightJustify:
        return MaxOff() - MinOff();
    case taCenter:
        return (MaxOff() - MinOff()) / 2;
    }
    return 0;
}

void TMMLabel::DrawLayer(TCanvas* canvas, const TGeometry& geometry, int ox, int oy)
{
    if (geometry.Rotated) {
        canvas->TextOut(
            geometry.X0 + ox - geometry.MinOff, geometry.Y0 + oy - geometry.MinOff, geometry.Text);
        return;
    }
    TRect rect = ClientRect();
    OffsetRect(rect, ox - geometry.MinOff - geometry.Shift, oy - geometry.MinOff);
    canvas->DrawText(geometry.Text, rect, geometry.Flags);
}

void TMMLabel::DrawLayers(TCanvas* canvas, const TGeometry& geometry, int index)
{
    const TOffset unit = UnitOffset(FDirection[index]);
    const int depth = FDepth[index];
    const int last = (FStyle[index] == loExtrude && depth > 1) ? 1 : depth;
    canvas->Font()->SetColor(FColour[index]);
    for (int k = depth; k >= last; --k)
        DrawLayer(canvas, geometry, k * unit.Dx, k * unit.Dy);
}

void TMMLabel::Paint()
{
    const TRect client = ClientRect();
    if (IsRectEmpty(client))
        return;
    TBitmap composition(client.Width(), client.Height(), pf32bit);
    TCanvas* canvas = composition.Canvas();
    // What lies beneath: the parent painted there first.
    canvas->CopyRect(client, Canvas(), client);

    canvas->SetFont(Font());
    // Smoothed edges would blend the layers' colours and leave fringes
    // around the texture's mask.
    canvas->Font()->SetQuality(fqNonAntialiased);

    TGeometry geometry;
    geometry.Text = Caption().left(kMaxCaption);
    geometry.MinOff = MinOff();
    geometry.Shift = AlignShift();
    geometry.Rotated = FAngle != 0;
    geometry.Flags = DT_WORDBREAK | DT_EXPANDTABS
        | (FAlignment == taRightJustify  ? DT_RIGHT
                : FAlignment == taCenter ? DT_CENTER
                                         : DT_LEFT);

    QPolygon background;
    if (geometry.Rotated) {
        canvas->Font()->SetOrientation(FAngle * 10);
        const int w0 = canvas->TextWidth(geometry.Text);
        const int h0 = canvas->TextHeight(geometry.Text);
        const int c = canvas->TextWidth(geometry.Text + QStringLiteral("   ")) / 2;
        geometry.X0 = c - RoundEven(w0 / 2.0 * FCos) - RoundEven(h0 / 2.0 * FSin);
        geometry.Y0 = c + RoundEven(w0 / 2.0 * FSin) - RoundEven(h0 / 2.0 * FCos);
        const int minOff = geometry.MinOff;
        const int maxOff = MaxOff();
        const int cc = c + (maxOff - minOff + 4) / 2;
        const int w1 = w0 + maxOff + minOff + 4;
        const int h1 = h0 + maxOff + minOff + 4;
        const int a = RoundEven(w1 / 2.0 * FCos);
        const int b = RoundEven(h1 / 2.0 * FSin);
        const int cs = RoundEven(w1 / 2.0 * FSin);
        const int d = RoundEven(h1 / 2.0 * FCos);
        background << QPoint(cc - a - b + 2, cc + cs - d + 2) << QPoint(cc + a - b + 2, cc - cs - d + 2)
                   << QPoint(cc + a + b + 2, cc - cs + d + 2) << QPoint(cc - a + b + 2, cc + cs + d + 2);
    }

    if (!FTransparent) {
        canvas->Brush()->SetStyle(bsSolid);
        canvas->Brush()->SetColor(Color());
        if (geometry.Rotated) {
            canvas->Pen()->SetColor(Color());
            const TPoint corners[]
                = { { background[0].x(), background[0].y() }, { background[1].x(), background[1].y() },
                      { background[2].x(), background[2].y() }, { background[3].x(), background[3].y() } };
            canvas->Polygon(corners);
        } else {
            canvas->FillRect(client);
        }
    }

    canvas->Brush()->SetStyle(bsClear);
    DrawLayers(canvas, geometry, 1);
    DrawLayers(canvas, geometry, 0);

    if (FBitmap->Empty()) {
        canvas->Font()->SetColor(Font()->Color());
        DrawLayer(canvas, geometry, 0, 0);
    } else {
        TBitmap mask(client.Width(), client.Height(), pf32bit);
        TCanvas* maskCanvas = mask.Canvas();
        maskCanvas->Brush()->SetColor(clWhite);
        maskCanvas->FillRect(client);
        maskCanvas->SetFont(canvas->Font());
        maskCanvas->Font()->SetColor(clBlack);
        maskCanvas->Brush()->SetStyle(bsClear);
        DrawLayer(maskCanvas, geometry, 0, 0);
        // Texture ^ (composition ^ texture & mask): the letters take the
        // texture, everything else is left as it was.
        TileBitmap(canvas, FBitmap.get(), client, cmSrcInvert);
        canvas->SetCopyMode(cmSrcAnd);
        canvas->CopyRect(client, maskCanvas, client);
        canvas->SetCopyMode(cmSrcCopy);
        TileBitmap(canvas, FBitmap.get(), client, cmSrcInvert);
    }

    Bevel()->PaintBevel(canvas, client, true);
    Canvas()->Draw(0, 0, &composition);
}

void TMMLabel::DefineProperties(TFiler* filer)
{
    TMMGraphicControl::DefineProperties(filer);
    filer->DefineBinaryProperty(
        QStringLiteral("Bitmap.Data"), [this](QIODevice& stream) { FBitmap->ReadData(stream); },
        [this](QIODevice& stream) { FBitmap->WriteData(stream); }, !FBitmap->Empty());
}

bool TMMLabel::InClient(int x, int y) const
{
    // The right and bottom edges count as inside.
    return x >= 0 && y >= 0 && x <= ClientWidth() && y <= ClientHeight();
}

void TMMLabel::MouseDown(TMouseButton button, TShiftState shift, int x, int y)
{
    if (FAsButton && button == mbLeft && Enabled() && FEffectStyle != lsSunken)
        SetEffectStyle(lsSunken);
    TMMGraphicControl::MouseDown(button, shift, x, y);
}

void TMMLabel::MouseMove(TShiftState shift, int x, int y)
{
    if (FAsButton && shift == TShiftState(ssLeft))
        SetEffectStyle(InClient(x, y) ? lsSunken : lsRaised);
    TMMGraphicControl::MouseMove(shift, x, y);
}

void TMMLabel::MouseUp(TMouseButton button, TShiftState shift, int x, int y)
{
    if (FAsButton && InClient(x, y))
        SetEffectStyle(lsRaised);
    TMMGraphicControl::MouseUp(button, shift, x, y);
}
