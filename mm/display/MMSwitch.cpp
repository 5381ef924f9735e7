#include "mm/display/MMSwitch.h"

#include <QImage>
#include <algorithm>
#include <mutex>

namespace {

constexpr int kMinPositions = 2;
constexpr int kMinGlyphs = 1;
constexpr int kMaxGlyphs = 4;

} // namespace

void RegisterSwitchClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterControlsTypes();
        RegisterClass<TMMSwitch>();
    });
}

namespace {
[[maybe_unused]] const bool kRegistered = (RegisterSwitchClasses(), true);
} // namespace

TMMSwitch::TMMSwitch(TComponent* owner)
    : TMMCustomControl(owner)
    , FGlyph(std::make_unique<TBitmap>())
{
    RegisterSwitchClasses();
    SetTabStop(true);
    FGlyph->SetOnChange([this](TObject*) { GlyphChanged(); });
    LoadDefaultGlyph();
}

TMMSwitch::~TMMSwitch()
{
    FGlyph->SetOnChange(nullptr);
}

int TMMSwitch::Extent() const
{
    return Bevel() != nullptr ? Bevel()->BevelExtent() : 0;
}

int TMMSwitch::GlyphWidth() const
{
    return FGlyph->Width() / FNumGlyphs;
}

int TMMSwitch::GlyphHeight() const
{
    return FGlyph->Height();
}

bool TMMSwitch::HasKnob() const
{
    // A strip narrower than its number of images, or without pixels, has
    // no knob: its sizes would divide by zero.
    return GlyphWidth() > 0 && GlyphHeight() > 0;
}

TSize TMMSwitch::ComputeSize() const
{
    TSize size;
    if (FKind == skVertical) {
        size.cx = GlyphWidth();
        size.cy = GlyphHeight() * FNumPositions;
    } else {
        size.cx = FGlyph->Width() * FNumPositions / FNumGlyphs;
        size.cy = GlyphHeight();
    }
    size.cx += 2 * Extent();
    size.cy += 2 * Extent();
    return size;
}

void TMMSwitch::SetBounds(int left, int top, int width, int height)
{
    if (!(ComponentState() & csLoading) && FGlyph) {
        const TSize size = ComputeSize();
        width = size.cx;
        height = size.cy;
    }
    TMMCustomControl::SetBounds(left, top, width, height);
}

void TMMSwitch::AdjustSize()
{
    if (ComponentState() & csLoading) {
        Invalidate();
        return;
    }
    const TSize size = ComputeSize();
    if (size.cx == Width() && size.cy == Height()) {
        Invalidate();
        return;
    }
    FKnobRect.Left = -1;
    SetBounds(Left(), Top(), size.cx, size.cy);
}

void TMMSwitch::LoadDefaultGlyph()
{
    FSettingGlyph = true;
    try {
        FGlyph->LoadFromResourceName(
            FKind == skVertical ? QStringLiteral("V_SWITCH") : QStringLiteral("H_SWITCH"));
    } catch (...) {
        FSettingGlyph = false;
        throw;
    }
    FSettingGlyph = false;
    FNumGlyphs = 3;
    AdjustSize();
    FDefaultGlyph = true;
}

void TMMSwitch::GlyphChanged()
{
    if (FSettingGlyph)
        return;
    // The picture was changed in place (a stored form's "Glyph.Data", or
    // drawing on Glyph): it is the switch's own from now on.
    FDefaultGlyph = false;
    AdjustSize();
}

void TMMSwitch::SetKind(TMMSwitchKind value)
{
    if (value == FKind)
        return;
    FKind = value;
    if (FDefaultGlyph)
        LoadDefaultGlyph();
    else
        AdjustSize();
    Invalidate();
}

void TMMSwitch::SetGlyph(TBitmap* value)
{
    if (value == FGlyph.get())
        return;
    if (value == nullptr) {
        LoadDefaultGlyph();
    } else {
        FSettingGlyph = true;
        try {
            FGlyph->Assign(value);
        } catch (...) {
            FSettingGlyph = false;
            throw;
        }
        FSettingGlyph = false;
        FDefaultGlyph = false;
        AdjustSize();
    }
    Invalidate();
}

void TMMSwitch::SetNumGlyphs(TNumGlyphs value)
{
    value = std::clamp(value, kMinGlyphs, kMaxGlyphs);
    if (value == FNumGlyphs)
        return;
    FNumGlyphs = value;
    AdjustSize();
    Invalidate();
}

void TMMSwitch::SetNumPositions(int value)
{
    if (value == FNumPositions || value < kMinPositions)
        return;
    FNumPositions = value;
    if (FPosition > FNumPositions - 1)
        FPosition = FNumPositions - 1;
    AdjustSize();
}

void TMMSwitch::SetPosition(int value)
{
    value = std::clamp(value, 0, FNumPositions - 1);
    if (value == FPosition)
        return;
    FPosition = value;
    Change();
    if (ComponentState() & csDesigning)
        Invalidate();
    else if (Enabled())
        PaintDirect([this](TCanvas* canvas) { DrawKnob(canvas); });
}

void TMMSwitch::Change()
{
    if (ComponentState() & (csReading | csLoading))
        return;
    if (FOnChange)
        FOnChange(this);
}

void TMMSwitch::Paint()
{
    TMMCustomControl::Paint();
    DrawKnob(Canvas());
}

void TMMSwitch::DrawKnob(TCanvas* canvas)
{
    if (!Visible())
        return;
    canvas->Brush()->SetStyle(bsSolid);
    canvas->Brush()->SetColor(Color());
    if (FKnobRect.Left != -1)
        canvas->FillRect(FKnobRect);
    if (!HasKnob()) {
        FKnobRect.Left = -1;
        return;
    }

    const int e = Extent();
    const int gw = GlyphWidth();
    const int gh = GlyphHeight();
    if (FKind == skVertical)
        FKnobRect = Bounds(e, gh * FPosition + e, gw, gh);
    else
        FKnobRect = Bounds(FGlyph->Width() * FPosition / FNumGlyphs + e, e, gw, gh);

    TRect source = Bounds(0, 0, gw, gh);
    if (!Enabled() && FNumGlyphs > 1)
        OffsetRect(source, gw, 0);
    if (FDragging && FNumGlyphs > 2)
        OffsetRect(source, 2 * FGlyph->Width() / FNumGlyphs, 0);

    const TColor transparent = QColorToColor(QColor::fromRgb(FGlyph->Image().pixel(0, 0)));
    canvas->BrushCopy(FKnobRect, FGlyph.get(), source, transparent);

    if (Focused()) {
        canvas->Pen()->SetColor(clBlack);
        canvas->Pen()->SetWidth(1);
        canvas->Pen()->SetStyle(psSolid);
        canvas->Brush()->SetStyle(bsClear);
        canvas->Rectangle(e, e, Width() - e, Height() - e);
        canvas->Brush()->SetStyle(bsSolid);
    }
}

void TMMSwitch::BevelChanged()
{
    AdjustSize();
}

void TMMSwitch::Loaded()
{
    TMMCustomControl::Loaded();
    AdjustSize();
}

void TMMSwitch::DefineProperties(TFiler* filer)
{
    TMMCustomControl::DefineProperties(filer);
    filer->DefineBinaryProperty(
        QStringLiteral("Glyph.Data"), [this](QIODevice& stream) { FGlyph->ReadData(stream); },
        [this](QIODevice& stream) { FGlyph->WriteData(stream); }, !FDefaultGlyph && !FGlyph->Empty());
}

void TMMSwitch::MouseDown(TMouseButton button, TShiftState shift, int x, int y)
{
    TMMCustomControl::MouseDown(button, shift, x, y);
    if (button != mbLeft || !Enabled())
        return;
    if (CanFocus())
        SetFocus();
    if (!HasKnob())
        return;
    if (FKnobRect.Left != -1 && PtInRect(FKnobRect, Point(x, y))) {
        FDragging = true;
        FDragX = x;
        FDragY = y;
        FDragPosition = FPosition;
        Invalidate();
        return;
    }
    const int e = Extent();
    if (FKind == skVertical)
        SetPosition((y - e) / GlyphHeight());
    else
        SetPosition((x - e) / GlyphWidth());
}

void TMMSwitch::MouseMove(TShiftState shift, int x, int y)
{
    TMMCustomControl::MouseMove(shift, x, y);
    if (!FDragging || !HasKnob())
        return;
    const int e = Extent();
    // The track is the control less its frame and one knob; a control that
    // has not been sized yet has none to slide along.
    int travel;
    int moved;
    if (FKind == skVertical) {
        travel = Height() - 2 * e - GlyphHeight();
        moved = y - FDragY;
    } else {
        travel = Width() - 2 * e - GlyphWidth();
        moved = x - FDragX;
    }
    if (travel <= 0)
        return;
    SetPosition(FDragPosition + moved * FNumPositions / travel);
}

void TMMSwitch::MouseUp(TMouseButton button, TShiftState shift, int x, int y)
{
    TMMCustomControl::MouseUp(button, shift, x, y);
    if (button == mbLeft && FDragging) {
        FDragging = false;
        Invalidate();
    }
}

void TMMSwitch::KeyDown(WORD& key, TShiftState shift)
{
    TMMCustomControl::KeyDown(key, shift);
    switch (key) {
    case VK_END:
        SetPosition(FNumPositions - 1);
        break;
    case VK_HOME:
        SetPosition(0);
        break;
    case VK_LEFT:
        if (FKind == skHorizontal)
            SetPosition(FPosition - 1);
        break;
    case VK_RIGHT:
        if (FKind == skHorizontal)
            SetPosition(FPosition + 1);
        break;
    case VK_UP:
        if (FKind == skVertical)
            SetPosition(FPosition - 1);
        break;
    case VK_DOWN:
        if (FKind == skVertical)
            SetPosition(FPosition + 1);
        break;
    default:
        break;
    }
}

bool TMMSwitch::WantsKey(WORD key) const
{
    if (key == VK_LEFT || key == VK_RIGHT || key == VK_UP || key == VK_DOWN)
        return true;
    return TMMCustomControl::WantsKey(key);
}

void TMMSwitch::DoEnter()
{
    TMMCustomControl::DoEnter();
    Invalidate();
}

void TMMSwitch::DoExit()
{
    TMMCustomControl::DoExit();
    Invalidate();
}

void TMMSwitch::EnabledChanged()
{
    // A switch disabled in the middle of a drag lets go of the knob: the
    // pressed image must not be combined with the disabled one.
    if (!Enabled())
        FDragging = false;
    TMMCustomControl::EnabledChanged();
    Invalidate();
}
