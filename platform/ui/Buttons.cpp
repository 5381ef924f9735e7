#include "platform/ui/Buttons.h"

#include "platform/ui/Resources.h"

namespace {

struct KindInfo {
    const char* Resource;
    const char* Caption;
    TModalResult Result;
};

KindInfo InfoOf(TBitBtnKind kind)
{
    switch (kind) {
    case bkOK:
        return { "BTN_OK", "OK", mrOk };
    case bkCancel:
        return { "BTN_CANCEL", "Cancel", mrCancel };
    case bkHelp:
        return { "BTN_HELP", "&Help", mrNone };
    case bkYes:
        return { "BTN_YES", "&Yes", mrYes };
    case bkNo:
        return { "BTN_NO", "&No", mrNo };
    case bkClose:
        return { "BTN_CLOSE", "&Close", mrNone };
    case bkAbort:
        return { "BTN_ABORT", "Abort", mrAbort };
    case bkRetry:
        return { "BTN_RETRY", "&Retry", mrRetry };
    case bkIgnore:
        return { "BTN_IGNORE", "&Ignore", mrIgnore };
    case bkAll:
        return { "BTN_ALL", "&All", mrAll };
    default:
        return { nullptr, "", mrNone };
    }
}

} // namespace

TBitBtn::TBitBtn(TComponent* owner)
    : TButton(owner)
    , FGlyph(new TBitmap)
    , FKindGlyph(new TBitmap)
{
    FGlyph->SetOnChange([this](TObject*) { GlyphChanged(); });
}

TBitBtn::~TBitBtn()
{
    delete FGlyph;
    delete FKindGlyph;
}

void TBitBtn::SetGlyph(TBitmap* value)
{
    FGlyph->Assign(value);
}

void TBitBtn::GlyphChanged()
{
    // A strip of square images says how many it holds.
    if (!FGlyph->Empty() && FGlyph->Height() > 0 && FGlyph->Width() % FGlyph->Height() == 0
        && !(ComponentState() & csLoading)) {
        const int count = FGlyph->Width() / FGlyph->Height();
        if (count >= 1 && count <= 4)
            FNumGlyphs = count;
    }
    Invalidate();
}

QString TBitBtn::KindCaption(TBitBtnKind kind)
{
    return QString::fromLatin1(InfoOf(kind).Caption);
}

void TBitBtn::SetKind(TBitBtnKind value)
{
    if (value == FKind)
        return;
    FKind = value;
    const KindInfo info = InfoOf(value);
    if (value != bkCustom) {
        SetDefault(value == bkOK || value == bkYes || value == bkAll);
        SetCancel(value == bkCancel || value == bkNo || value == bkAbort);
        if (!(ComponentState() & csLoading) || Caption().isEmpty())
            SetCaption(QString::fromLatin1(info.Caption));
        SetModalResult(info.Result);
    }
    if (info.Resource) {
        try {
            FKindGlyph->LoadFromResourceName(QString::fromLatin1(info.Resource));
        } catch (const EResNotFound&) {
            // Without its glyph file the button still works, with its caption only.
            FKindGlyph->Assign(nullptr);
        }
    } else {
        FKindGlyph->Assign(nullptr);
    }
    Invalidate();
}

void TBitBtn::SetLayout(TButtonLayout value)
{
    if (value == FLayout)
        return;
    FLayout = value;
    Invalidate();
}

void TBitBtn::SetMargin(int value)
{
    if (value == FMargin || value < -1)
        return;
    FMargin = value;
    Invalidate();
}

void TBitBtn::SetNumGlyphs(int value)
{
    if (value < 1 || value > 4 || value == FNumGlyphs)
        return;
    FNumGlyphs = value;
    Invalidate();
}

void TBitBtn::SetSpacing(int value)
{
    if (value == FSpacing || value < -1)
        return;
    FSpacing = value;
    Invalidate();
}

TBitmap* TBitBtn::ShownGlyph() const
{
    if (!FGlyph->Empty())
        return FGlyph;
    return FKindGlyph->Empty() ? nullptr : FKindGlyph;
}

int TBitBtn::ShownNumGlyphs() const
{
    return FGlyph->Empty() ? 2 : FNumGlyphs;
}

void TBitBtn::PaintContent(const TRect& rect)
{
    TCanvas* canvas = Canvas();
    canvas->SetFont(Font());
    canvas->Brush()->SetStyle(bsClear);

    TBitmap* glyph = ShownGlyph();
    const int count = ShownNumGlyphs();
    const int glyphWidth = glyph ? glyph->Width() / count : 0;
    const int glyphHeight = glyph ? glyph->Height() : 0;
    const QString caption = Caption();
    TRect textExtent = Rect(0, 0, 0, 0);
    if (!caption.isEmpty())
        canvas->DrawText(caption, textExtent, DT_CALCRECT | DT_SINGLELINE);
    const int textWidth = textExtent.Width();
    const int textHeight = caption.isEmpty() ? 0 : textExtent.Height();

    // Glyph and caption placed as one group, as the layout, margin and spacing say.
    const bool horizontal = FLayout == blGlyphLeft || FLayout == blGlyphRight;
    const int clientMain = horizontal ? rect.Width() : rect.Height();
    const int glyphMain = horizontal ? glyphWidth : glyphHeight;
    const int textMain = horizontal ? textWidth : textHeight;
    int margin = FMargin;
    int spacing = (glyphMain == 0 || caption.isEmpty()) ? 0 : FSpacing;
    if (margin == -1) {
        if (spacing == -1) {
            margin = (clientMain - glyphMain - textMain) / 3;
            spacing = margin;
        } else {
            margin = (clientMain - (glyphMain + spacing + textMain) + 1) / 2;
        }
    } else if (spacing == -1) {
        spacing = (clientMain - margin - glyphMain - textMain) / 2;
    }
    TPoint glyphPos;
    TPoint textPos;
    switch (FLayout) {
    case blGlyphLeft:
        glyphPos.X = margin;
        textPos.X = glyphPos.X + glyphWidth + spacing;
        break;
    case blGlyphRight:
        glyphPos.X = rect.Width() - margin - glyphWidth;
        textPos.X = glyphPos.X - spacing - textWidth;
        break;
    case blGlyphTop:
        glyphPos.Y = margin;
        textPos.Y = glyphPos.Y + glyphHeight + spacing;
        break;
    case blGlyphBottom:
        glyphPos.Y = rect.Height() - margin - glyphHeight;
        textPos.Y = glyphPos.Y - spacing - textHeight;
        break;
    }
    if (horizontal) {
        glyphPos.Y = (rect.Height() - glyphHeight + 1) / 2;
        textPos.Y = (rect.Height() - textHeight + 1) / 2;
    } else {
        glyphPos.X = (rect.Width() - glyphWidth + 1) / 2;
        textPos.X = (rect.Width() - textWidth + 1) / 2;
    }

    if (glyph && glyphWidth > 0) {
        int index = 0;
        if (!Enabled() && count > 1)
            index = 1;
        else if (Down() && count > 2)
            index = 2;
        const QImage& strip = glyph->Image();
        QImage image = strip.copy(index * glyphWidth, 0, glyphWidth, glyphHeight)
                           .convertToFormat(QImage::Format_ARGB32);
        const QRgb key = strip.pixel(0, strip.height() - 1) | 0xFF000000u;
        const QRgb shadow = ColorToQColor(clBtnShadow).rgb();
        const bool grey = !Enabled() && count == 1;
        for (int y = 0; y < image.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                if ((line[x] | 0xFF000000u) == key)
                    line[x] = 0;
                else if (grey)
                    line[x] = shadow;
            }
        }
        canvas->DrawImage(
            Bounds(rect.Left + glyphPos.X, rect.Top + glyphPos.Y, glyphWidth, glyphHeight), image, cmSrcCopy);
    }
    if (!caption.isEmpty()) {
        TRect textRect = Bounds(rect.Left + textPos.X, rect.Top + textPos.Y, textWidth, textHeight);
        const unsigned flags = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
        if (!Enabled()) {
            TRect shifted = textRect;
            OffsetRect(shifted, 1, 1);
            canvas->Font()->SetColor(clBtnHighlight);
            canvas->DrawText(caption, shifted, flags);
            canvas->Font()->SetColor(clBtnShadow);
        }
        canvas->DrawText(caption, textRect, flags);
    }
}
