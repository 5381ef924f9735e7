#include "platform/ui/ExtCtrls.h"

void Frame3D(TCanvas* canvas, TRect& rect, TColor topColor, TColor bottomColor, int width)
{
    if (width <= 0)
        return;
    canvas->Pen()->SetWidth(1);
    canvas->Pen()->SetStyle(psSolid);
    canvas->Pen()->SetMode(pmCopy);
    rect.Right -= 1;
    rect.Bottom -= 1;
    for (int i = 0; i < width; ++i) {
        canvas->Pen()->SetColor(topColor);
        canvas->Polyline(
            { Point(rect.Left, rect.Bottom), Point(rect.Left, rect.Top), Point(rect.Right, rect.Top) });
        canvas->Pen()->SetColor(bottomColor);
        canvas->Polyline({ Point(rect.Right, rect.Top), Point(rect.Right, rect.Bottom),
            Point(rect.Left - 1, rect.Bottom) });
        InflateRect(rect, -1, -1);
    }
    rect.Right += 1;
    rect.Bottom += 1;
}

// ---------------------------------------------------------------------------
// TCustomPanel

namespace {

void BevelColors(TBevelCut cut, TColor face, TColor& top, TColor& bottom)
{
    switch (cut) {
    case bvLowered:
        top = clBtnShadow;
        bottom = clBtnHighlight;
        break;
    case bvRaised:
        top = clBtnHighlight;
        bottom = clBtnShadow;
        break;
    default:
        top = bottom = face;
        break;
    }
}

} // namespace

TCustomPanel::TCustomPanel(TComponent* owner)
    : TCustomControl(owner)
{
    FControlStyle = csAcceptsControls | csCaptureMouse | csClickEvents | csSetCaption | csOpaque
        | csDoubleClicks | csReplicatable;
    SetBounds(0, 0, 185, 41);
    SetColor(clBtnFace);
    SetParentColor(false);
}

void TCustomPanel::SetAlignment(TAlignment value)
{
    if (value == FAlignment)
        return;
    FAlignment = value;
    Invalidate();
}

void TCustomPanel::SetBevelInner(TBevelCut value)
{
    if (value == FBevelInner)
        return;
    FBevelInner = value;
    Realign();
    Invalidate();
}

void TCustomPanel::SetBevelOuter(TBevelCut value)
{
    if (value == FBevelOuter)
        return;
    FBevelOuter = value;
    Realign();
    Invalidate();
}

void TCustomPanel::SetBevelWidth(int value)
{
    if (value < 1 || value == FBevelWidth)
        return;
    FBevelWidth = value;
    Realign();
    Invalidate();
}

void TCustomPanel::SetBorderWidth(int value)
{
    if (value < 0 || value == FBorderWidth)
        return;
    FBorderWidth = value;
    Realign();
    Invalidate();
}

void TCustomPanel::SetBorderStyle(TBorderStyle value)
{
    if (value != bsNone && value != bsSingle)
        value = bsSingle;
    if (value == FBorderStyle)
        return;
    FBorderStyle = value;
    Realign();
    Invalidate();
}

int TCustomPanel::FrameExtent() const
{
    int extent = FBorderWidth;
    if (FBorderStyle == bsSingle)
        extent += 1;
    if (FBevelOuter != bvNone)
        extent += FBevelWidth;
    if (FBevelInner != bvNone)
        extent += FBevelWidth;
    return extent;
}

void TCustomPanel::AlignControls(TControl* control, TRect& rect)
{
    const int extent = FrameExtent();
    InflateRect(rect, -extent, -extent);
    TCustomControl::AlignControls(control, rect);
}

void TCustomPanel::Paint()
{
    TCanvas* canvas = Canvas();
    TRect rect = ClientRect();
    TColor top;
    TColor bottom;
    if (FBorderStyle == bsSingle)
        Frame3D(canvas, rect, clWindowFrame, clWindowFrame, 1);
    if (FBevelOuter != bvNone) {
        BevelColors(FBevelOuter, Color(), top, bottom);
        Frame3D(canvas, rect, top, bottom, FBevelWidth);
    }
    Frame3D(canvas, rect, Color(), Color(), FBorderWidth);
    if (FBevelInner != bvNone) {
        BevelColors(FBevelInner, Color(), top, bottom);
        Frame3D(canvas, rect, top, bottom, FBevelWidth);
    }
    canvas->Brush()->SetColor(Color());
    canvas->Brush()->SetStyle(bsSolid);
    canvas->FillRect(rect);
    if (Caption().isEmpty())
        return;
    canvas->Brush()->SetStyle(bsClear);
    canvas->SetFont(Font());
    const int height = canvas->TextHeight(QStringLiteral("W"));
    rect.Top = (rect.Top + rect.Bottom - height) / 2;
    rect.Bottom = rect.Top + height;
    unsigned flags = DT_EXPANDTABS | DT_VCENTER | DT_SINGLELINE;
    flags |= FAlignment == taRightJustify ? DT_RIGHT : FAlignment == taCenter ? DT_CENTER : DT_LEFT;
    canvas->DrawText(Caption(), rect, flags);
}

TPanel::TPanel(TComponent* owner)
    : TCustomPanel(owner)
{
}

// ---------------------------------------------------------------------------
// TBevel

TBevel::TBevel(TComponent* owner)
    : TGraphicControl(owner)
{
    FControlStyle |= csReplicatable;
    SetBounds(0, 0, 50, 50);
}

void TBevel::SetShape(TBevelShape value)
{
    if (value == FShape)
        return;
    FShape = value;
    Invalidate();
}

void TBevel::SetStyle(TBevelStyle value)
{
    if (value == FStyle)
        return;
    FStyle = value;
    Invalidate();
}

void TBevel::Paint()
{
    TCanvas* canvas = Canvas();
    TColor color1 = FStyle == bsLowered ? clBtnShadow : clBtnHighlight;
    TColor color2 = FStyle == bsLowered ? clBtnHighlight : clBtnShadow;
    canvas->Pen()->SetWidth(1);
    canvas->Pen()->SetStyle(psSolid);
    canvas->Pen()->SetMode(pmCopy);
    auto bevelRect = [&](const TRect& r) {
        canvas->Pen()->SetColor(color1);
        canvas->Polyline({ Point(r.Left, r.Bottom), Point(r.Left, r.Top), Point(r.Right, r.Top) });
        canvas->Pen()->SetColor(color2);
        canvas->Polyline({ Point(r.Right, r.Top), Point(r.Right, r.Bottom), Point(r.Left, r.Bottom) });
    };
    auto bevelLine = [&](TColor color, int x1, int y1, int x2, int y2) {
        canvas->Pen()->SetColor(color);
        canvas->MoveTo(x1, y1);
        canvas->LineTo(x2, y2);
    };
    const int w = Width();
    const int h = Height();
    switch (FShape) {
    case bsBox:
        bevelRect(Rect(0, 0, w - 1, h - 1));
        break;
    case bsFrame: {
        const TColor temp = color1;
        color1 = color2;
        bevelRect(Rect(1, 1, w - 1, h - 1));
        color2 = temp;
        color1 = temp;
        bevelRect(Rect(0, 0, w - 2, h - 2));
        break;
    }
    case bsTopLine:
        bevelLine(color1, 0, 0, w, 0);
        bevelLine(color2, 0, 1, w, 1);
        break;
    case bsBottomLine:
        bevelLine(color1, 0, h - 2, w, h - 2);
        bevelLine(color2, 0, h - 1, w, h - 1);
        break;
    case bsLeftLine:
        bevelLine(color1, 0, 0, 0, h);
        bevelLine(color2, 1, 0, 1, h);
        break;
    case bsRightLine:
        bevelLine(color1, w - 2, 0, w - 2, h);
        bevelLine(color2, w - 1, 0, w - 1, h);
        break;
    case bsSpacer:
        break;
    }
}

// ---------------------------------------------------------------------------
// TImage

TImage::TImage(TComponent* owner)
    : TGraphicControl(owner)
    , FPicture(new TPicture)
{
    FControlStyle |= csReplicatable;
    FPicture->SetOnChange([this](TObject*) { PictureChanged(); });
    SetBounds(0, 0, 105, 105);
}

TImage::~TImage()
{
    FPicture->SetOnChange(nullptr);
    delete FPicture;
}

void TImage::SetPicture(TPicture* value)
{
    FPicture->Assign(value);
}

void TImage::SetAutoSize(bool value)
{
    if (value == FAutoSize)
        return;
    FAutoSize = value;
    PictureChanged();
}

void TImage::SetCenter(bool value)
{
    if (value == FCenter)
        return;
    FCenter = value;
    PictureChanged();
}

void TImage::SetStretch(bool value)
{
    if (value == FStretch)
        return;
    FStretch = value;
    PictureChanged();
}

void TImage::SetTransparent(bool value)
{
    if (value == FTransparent)
        return;
    FTransparent = value;
    PictureChanged();
}

void TImage::PictureChanged()
{
    TGraphic* graphic = FPicture->Graphic();
    if (graphic && !graphic->Empty()) {
        if (graphic->Transparent() != FTransparent)
            graphic->SetTransparent(FTransparent);
        if (FAutoSize && !(ComponentState() & csLoading))
            SetBounds(Left(), Top(), graphic->Width(), graphic->Height());
    }
    // Opaque when the picture covers every pixel.
    const TRect dest = DestRect();
    const bool covers = graphic && !graphic->Empty() && !FTransparent && dest.Left <= 0 && dest.Top <= 0
        && dest.Right >= Width() && dest.Bottom >= Height();
    if (covers)
        SetControlStyle(ControlStyle() | csOpaque);
    else
        SetControlStyle(ControlStyle() & ~TControlStyle(csOpaque));
    Invalidate();
}

TRect TImage::DestRect() const
{
    const int w = FPicture->Width();
    const int h = FPicture->Height();
    if (FStretch)
        return ClientRect();
    if (FCenter)
        return Bounds((Width() - w) / 2, (Height() - h) / 2, w, h);
    return Rect(0, 0, w, h);
}

void TImage::Paint()
{
    TGraphic* graphic = FPicture->Graphic();
    if (graphic && !graphic->Empty())
        Canvas()->StretchDraw(DestRect(), graphic);
}
