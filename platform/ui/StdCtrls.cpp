#include "platform/ui/StdCtrls.h"

#include "platform/ui/Forms.h"

#include <QThread>
#include <QWidget>
#include <algorithm>

// ---------------------------------------------------------------------------
// TCustomLabel

TCustomLabel::TCustomLabel(TComponent* owner)
    : TGraphicControl(owner)
{
    FControlStyle |= csOpaque | csReplicatable;
    SetBounds(0, 0, 65, 17);
}

void TCustomLabel::SetAlignment(TAlignment value)
{
    if (value == FAlignment)
        return;
    FAlignment = value;
    Invalidate();
}

void TCustomLabel::SetAutoSize(bool value)
{
    if (value == FAutoSize)
        return;
    FAutoSize = value;
    AdjustBounds();
}

void TCustomLabel::SetLayout(TTextLayout value)
{
    if (value == FLayout)
        return;
    FLayout = value;
    Invalidate();
}

void TCustomLabel::SetShowAccelChar(bool value)
{
    if (value == FShowAccelChar)
        return;
    FShowAccelChar = value;
    AdjustBounds();
    Invalidate();
}

void TCustomLabel::SetTransparent(bool value)
{
    if (value == FTransparent)
        return;
    FTransparent = value;
    if (value)
        SetControlStyle(ControlStyle() & ~TControlStyle(csOpaque));
    else
        SetControlStyle(ControlStyle() | csOpaque);
    Invalidate();
}

void TCustomLabel::SetWordWrap(bool value)
{
    if (value == FWordWrap)
        return;
    FWordWrap = value;
    AdjustBounds();
    Invalidate();
}

void TCustomLabel::DoDrawText(TRect& rect, unsigned flags)
{
    QString text = Caption();
    // An empty line or a lone prefix mark still takes a line's height.
    if (text.isEmpty() || (FShowAccelChar && text == QLatin1String("&")))
        text += QLatin1Char(' ');
    if (!FShowAccelChar)
        flags |= DT_NOPREFIX;
    TCanvas* canvas = Canvas();
    canvas->SetFont(Font());
    if (!Enabled() && !(flags & DT_CALCRECT)) {
        TRect shifted = rect;
        OffsetRect(shifted, 1, 1);
        canvas->Font()->SetColor(clBtnHighlight);
        canvas->DrawText(text, shifted, flags);
        canvas->Font()->SetColor(clBtnShadow);
        canvas->DrawText(text, rect, flags);
    } else {
        canvas->DrawText(text, rect, flags);
    }
}

void TCustomLabel::Paint()
{
    TCanvas* canvas = Canvas();
    if (!FTransparent) {
        canvas->Brush()->SetColor(Color());
        canvas->Brush()->SetStyle(bsSolid);
        canvas->FillRect(ClientRect());
    }
    canvas->Brush()->SetStyle(bsClear);
    TRect rect = ClientRect();
    unsigned flags = DT_EXPANDTABS | (FWordWrap ? DT_WORDBREAK : 0u);
    flags |= FAlignment == taRightJustify ? DT_RIGHT : FAlignment == taCenter ? DT_CENTER : DT_LEFT;
    if (FLayout != tlTop) {
        TRect calc = rect;
        DoDrawText(calc, flags | DT_CALCRECT);
        const int dy = FLayout == tlBottom ? Height() - calc.Bottom : (Height() - calc.Bottom) / 2;
        OffsetRect(rect, 0, dy);
    }
    DoDrawText(rect, flags);
}

void TCustomLabel::AdjustBounds()
{
    if (!FAutoSize || (ComponentState() & csLoading))
        return;
    TRect rect = ClientRect();
    DoDrawText(rect, DT_EXPANDTABS | DT_CALCRECT | (FWordWrap ? DT_WORDBREAK : 0u));
    int left = Left();
    if (FAlignment == taRightJustify)
        left += Width() - rect.Right;
    SetBounds(left, Top(), rect.Right, rect.Bottom);
}

void TCustomLabel::Loaded()
{
    TGraphicControl::Loaded();
    AdjustBounds();
}

void TCustomLabel::FontChanged()
{
    FKeptWidth = -1;
    TGraphicControl::FontChanged();
    AdjustBounds();
}

namespace {
// Letters whose place a plain single-line measurement of the text before
// them gives: no tabs, line breaks or accelerator marks.
bool PlainLine(const QString& text, bool showAccelChar)
{
    for (const QChar c : text) {
        if (c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r')
            || (showAccelChar && c == QLatin1Char('&')))
            return false;
    }
    return true;
}
} // namespace

void TCustomLabel::TextChanged()
{
    const QString before = FLastCaption;
    const QString after = Caption();
    FLastCaption = after;
    const TRect bounds = BoundsRect();
    AdjustBounds();
    QWidget* widget = HandleAllocated() ? ClientHandle() : nullptr;
    const bool partial = widget != nullptr && QThread::currentThread() == thread() && !FWordWrap
        && FAlignment == taLeftJustify && FLayout == tlTop && BoundsRect() == bounds && !before.isEmpty()
        && PlainLine(before, FShowAccelChar) && PlainLine(after, FShowAccelChar);
    qsizetype same = 0;
    if (partial) {
        while (same < before.size() && same < after.size() && before[same] == after[same])
            ++same;
    }
    if (same == 0) {
        TGraphicControl::TextChanged();
        return;
    }
    const QString kept = after.left(same);
    if (FKeptWidth < 0 || kept != FKeptText) {
        TCanvas* canvas = Canvas();
        canvas->SetFont(Font());
        FKeptText = kept;
        FKeptWidth = canvas->TextWidth(kept);
    }
    // Two pixels of slack: kerning and overhanging letters (and the shifted
    // copy of a disabled caption) may reach a little left of the advance.
    const int from = std::max(0, FKeptWidth - 2);
    if (from < Width())
        widget->update(from, 0, Width() - from, Height());
}

TLabel::TLabel(TComponent* owner)
    : TCustomLabel(owner)
{
}

// ---------------------------------------------------------------------------
// Button face

TRect DrawButtonFace(TCanvas* canvas, const TRect& rect, bool pressed, bool isDefault)
{
    TRect r = rect;
    auto ring = [&](TColor topLeft, TColor bottomRight) {
        canvas->Pen()->SetColor(topLeft);
        canvas->Polyline({ Point(r.Left, r.Bottom - 1), Point(r.Left, r.Top), Point(r.Right - 1, r.Top) });
        canvas->Pen()->SetColor(bottomRight);
        canvas->Polyline(
            { Point(r.Right - 1, r.Top), Point(r.Right - 1, r.Bottom - 1), Point(r.Left - 1, r.Bottom - 1) });
        InflateRect(r, -1, -1);
    };
    canvas->Pen()->SetWidth(1);
    canvas->Pen()->SetStyle(psSolid);
    canvas->Pen()->SetMode(pmCopy);
    if (isDefault || pressed)
        ring(clWindowFrame, clWindowFrame);
    if (pressed) {
        ring(clBtnShadow, clBtnShadow);
    } else {
        ring(clBtnHighlight, cl3DDkShadow);
        ring(cl3DLight, clBtnShadow);
    }
    canvas->Brush()->SetColor(clBtnFace);
    canvas->FillRect(r);
    return r;
}

// ---------------------------------------------------------------------------
// TButton

TButton::TButton(TComponent* owner)
    : TCustomControl(owner)
{
    FControlStyle = csSetCaption | csDoubleClicks | csOpaque | csClickEvents | csCaptureMouse;
    SetTabStop(true);
    SetBounds(0, 0, 75, 25);
}

void TButton::SetDefault(bool value)
{
    if (value == FDefault)
        return;
    FDefault = value;
    Invalidate();
}

void TButton::Click()
{
    if (FModalResult != mrNone) {
        if (TCustomForm* form = GetParentForm())
            form->SetModalResult(FModalResult);
    }
    TCustomControl::Click();
}

void TButton::Paint()
{
    TCanvas* canvas = Canvas();
    const TRect content = DrawButtonFace(canvas, ClientRect(), FDown, FDefault || Focused());
    TRect inner = content;
    if (FDown)
        OffsetRect(inner, 1, 1);
    PaintContent(inner);
    if (Focused()) {
        TRect focus = content;
        InflateRect(focus, -2, -2);
        canvas->Pen()->SetColor(clBtnText);
        canvas->Pen()->SetStyle(psDot);
        canvas->Brush()->SetStyle(bsClear);
        canvas->Rectangle(focus);
        canvas->Pen()->SetStyle(psSolid);
    }
}

void TButton::PaintContent(const TRect& rect)
{
    TCanvas* canvas = Canvas();
    canvas->SetFont(Font());
    canvas->Brush()->SetStyle(bsClear);
    TRect r = rect;
    const unsigned flags = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
    if (!Enabled()) {
        TRect shifted = r;
        OffsetRect(shifted, 1, 1);
        canvas->Font()->SetColor(clBtnHighlight);
        canvas->DrawText(Caption(), shifted, flags);
        canvas->Font()->SetColor(clBtnShadow);
    }
    canvas->DrawText(Caption(), r, flags);
}

void TButton::MouseDown(TMouseButton button, TShiftState shift, int x, int y)
{
    if (button == mbLeft && Enabled()) {
        if (CanFocus() && !Focused())
            SetFocus();
        FMouseTracking = true;
        FDown = true;
        Repaint();
    }
    TCustomControl::MouseDown(button, shift, x, y);
}

void TButton::MouseMove(TShiftState shift, int x, int y)
{
    if (FMouseTracking) {
        const bool inside = PtInRect(ClientRect(), Point(x, y));
        if (inside != FDown) {
            FDown = inside;
            Repaint();
        }
    }
    TCustomControl::MouseMove(shift, x, y);
}

void TButton::MouseUp(TMouseButton button, TShiftState shift, int x, int y)
{
    if (button == mbLeft && FMouseTracking) {
        FMouseTracking = false;
        FDown = false;
        Repaint();
    }
    TCustomControl::MouseUp(button, shift, x, y);
}

void TButton::KeyDown(WORD& key, TShiftState shift)
{
    TCustomControl::KeyDown(key, shift);
    if (key == VK_SPACE && !FDown) {
        FDown = true;
        Repaint();
    } else if (key == VK_RETURN) {
        Click();
    }
}

void TButton::KeyUp(WORD& key, TShiftState shift)
{
    TCustomControl::KeyUp(key, shift);
    if (key == VK_SPACE && FDown) {
        FDown = false;
        Repaint();
        Click();
    }
}

void TButton::DoEnter()
{
    Invalidate();
    TCustomControl::DoEnter();
}

void TButton::DoExit()
{
    if (FDown && !FMouseTracking)
        FDown = false;
    Invalidate();
    TCustomControl::DoExit();
}

bool TButton::WantsKey(WORD key) const
{
    return key == VK_RETURN;
}

Qt::FocusPolicy TButton::WidgetFocusPolicy() const
{
    return TabStop() ? Qt::StrongFocus : Qt::ClickFocus;
}
