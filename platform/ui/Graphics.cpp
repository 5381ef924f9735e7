#include "platform/ui/Graphics.h"

#include <QFontInfo>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPalette>
#include <cmath>
#include <mutex>

namespace {

// Windows names and the installed families that stand in for them. The
// bitmap "MS Sans Serif" is much narrower at its small sizes than any
// scalable sans serif here: captions laid out for it at 8 points (11 pixels)
// would run into their buttons' bevels, so up to that size a narrow family
// stands in for it.
const struct {
    const char* Name;
    const char* Substitute;
    const char* SmallSubstitute = nullptr;
    int SmallPixels = 0;
} kFontSubstitutes[] = {
    { "MS Sans Serif", "Liberation Sans", "Liberation Sans Narrow", 11 },
    { "Arial", "Liberation Sans" },
    { "Helvetica", "Liberation Sans" },
    { "System", "Liberation Sans" },
    { "Times New Roman", "Liberation Serif" },
    { "MS Serif", "Liberation Serif" },
    { "Arial Narrow", "Liberation Sans Narrow" },
    { "Small Fonts", "Liberation Sans Narrow" },
    { "Courier New", "Liberation Mono" },
    { "Courier", "Liberation Mono" },
    { "Tahoma", "DejaVu Sans" },
    { "Verdana", "DejaVu Sans" },
};

const TIdentMapEntry kColorIdents[] = {
    { clBlack, "clBlack" },
    { clMaroon, "clMaroon" },
    { clGreen, "clGreen" },
    { clOlive, "clOlive" },
    { clNavy, "clNavy" },
    { clPurple, "clPurple" },
    { clTeal, "clTeal" },
    { clGray, "clGray" },
    { clSilver, "clSilver" },
    { clRed, "clRed" },
    { clLime, "clLime" },
    { clYellow, "clYellow" },
    { clBlue, "clBlue" },
    { clFuchsia, "clFuchsia" },
    { clAqua, "clAqua" },
    { clWhite, "clWhite" },
    { clScrollBar, "clScrollBar" },
    { clBackground, "clBackground" },
    { clActiveCaption, "clActiveCaption" },
    { clInactiveCaption, "clInactiveCaption" },
    { clMenu, "clMenu" },
    { clWindow, "clWindow" },
    { clWindowFrame, "clWindowFrame" },
    { clMenuText, "clMenuText" },
    { clWindowText, "clWindowText" },
    { clCaptionText, "clCaptionText" },
    { clActiveBorder, "clActiveBorder" },
    { clInactiveBorder, "clInactiveBorder" },
    { clAppWorkSpace, "clAppWorkSpace" },
    { clHighlight, "clHighlight" },
    { clHighlightText, "clHighlightText" },
    { clBtnFace, "clBtnFace" },
    { clBtnShadow, "clBtnShadow" },
    { clGrayText, "clGrayText" },
    { clBtnText, "clBtnText" },
    { clInactiveCaptionText, "clInactiveCaptionText" },
    { clBtnHighlight, "clBtnHighlight" },
    { cl3DDkShadow, "cl3DDkShadow" },
    { cl3DLight, "cl3DLight" },
    { clInfoText, "clInfoText" },
    { clInfoBk, "clInfoBk" },
    { clNone, "clNone" },
    { clDefault, "clDefault" },
};

const TIdentMapEntry kCharsetIdents[] = {
    { ANSI_CHARSET, "ANSI_CHARSET" },
    { DEFAULT_CHARSET, "DEFAULT_CHARSET" },
    { SYMBOL_CHARSET, "SYMBOL_CHARSET" },
    { MAC_CHARSET, "MAC_CHARSET" },
    { SHIFTJIS_CHARSET, "SHIFTJIS_CHARSET" },
    { HANGEUL_CHARSET, "HANGEUL_CHARSET" },
    { JOHAB_CHARSET, "JOHAB_CHARSET" },
    { GB2312_CHARSET, "GB2312_CHARSET" },
    { CHINESEBIG5_CHARSET, "CHINESEBIG5_CHARSET" },
    { GREEK_CHARSET, "GREEK_CHARSET" },
    { TURKISH_CHARSET, "TURKISH_CHARSET" },
    { VIETNAMESE_CHARSET, "VIETNAMESE_CHARSET" },
    { HEBREW_CHARSET, "HEBREW_CHARSET" },
    { ARABIC_CHARSET, "ARABIC_CHARSET" },
    { BALTIC_CHARSET, "BALTIC_CHARSET" },
    { RUSSIAN_CHARSET, "RUSSIAN_CHARSET" },
    { THAI_CHARSET, "THAI_CHARSET" },
    { EASTEUROPE_CHARSET, "EASTEUROPE_CHARSET" },
    { OEM_CHARSET, "OEM_CHARSET" },
};

// The classic desktop scheme, for system colours when no GUI application
// (and so no palette) exists, e.g. in tools that only read bitmaps.
constexpr std::uint32_t kClassicSystemColors[] = {
    0xC8C8C8,
    0x000000,
    0x800000,
    0x808080,
    0xC0C0C0,
    0xFFFFFF,
    0x000000,
    0x000000,
    0x000000,
    0xFFFFFF,
    0xC0C0C0,
    0xC0C0C0,
    0x808080,
    0x800000,
    0xFFFFFF,
    0xC0C0C0,
    0x808080,
    0x808080,
    0x000000,
    0xC0C0C0,
    0xFFFFFF,
    0x000000,
    0xC0C0C0,
    0x000000,
    0xE1FFFF,
}; // 0x00BBGGRR, indexed by system colour number

QColor PaletteColor(int index)
{
    const QPalette palette = QGuiApplication::palette();
    switch (index) {
    case 0:
        return palette.color(QPalette::Midlight);
    case 1:
        return palette.color(QPalette::Dark);
    case 2:
        return palette.color(QPalette::Highlight);
    case 3:
        return palette.color(QPalette::Mid);
    case 4:
        return palette.color(QPalette::Window);
    case 5:
        return palette.color(QPalette::Base);
    case 6:
        return palette.color(QPalette::Shadow);
    case 7:
        return palette.color(QPalette::WindowText);
    case 8:
        return palette.color(QPalette::Text);
    case 9:
        return palette.color(QPalette::HighlightedText);
    case 10:
    case 11:
        return palette.color(QPalette::Window);
    case 12:
        return palette.color(QPalette::Dark);
    case 13:
        return palette.color(QPalette::Highlight);
    case 14:
        return palette.color(QPalette::HighlightedText);
    case 15:
        return palette.color(QPalette::Button);
    case 16:
        return palette.color(QPalette::Dark);
    case 17:
        return palette.color(QPalette::Disabled, QPalette::Text);
    case 18:
        return palette.color(QPalette::ButtonText);
    case 19:
        return palette.color(QPalette::Disabled, QPalette::WindowText);
    case 20:
        return palette.color(QPalette::Light);
    case 21:
        return palette.color(QPalette::Shadow);
    case 22:
        return palette.color(QPalette::Midlight);
    case 23:
        return palette.color(QPalette::ToolTipText);
    case 24:
        return palette.color(QPalette::ToolTipBase);
    case 26:
        return palette.color(QPalette::Link);
    case 27:
    case 29:
        return palette.color(QPalette::Highlight);
    case 28:
        return palette.color(QPalette::Mid);
    case 30:
        return palette.color(QPalette::Window);
    default:
        return QColor(0, 0, 0);
    }
}

// Rounds a * b / c to the nearest integer, halves away from zero.
int MulDiv(int a, int b, int c)
{
    const double v = static_cast<double>(a) * b / c;
    return static_cast<int>(v < 0 ? std::ceil(v - 0.5) : std::floor(v + 0.5));
}

} // namespace

// ---------------------------------------------------------------------------
// Colours

TColor ColorToRGB(TColor color)
{
    const std::uint32_t value = static_cast<std::uint32_t>(color);
    if (color == clNone)
        return clWhite;
    if (color == clDefault)
        return clBlack;
    if (value & 0x80000000u) {
        const int index = static_cast<int>(value & 0xFF);
        if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
            const std::size_t count = std::size(kClassicSystemColors);
            return TColor(static_cast<std::size_t>(index) < count ? kClassicSystemColors[index] : 0);
        }
        return QColorToColor(PaletteColor(index));
    }
    return TColor(value & 0x00FFFFFFu);
}

QColor ColorToQColor(TColor color)
{
    if (color == clNone)
        return QColor(0, 0, 0, 0);
    const TColor rgb = ColorToRGB(color);
    return QColor(GetRValue(rgb), GetGValue(rgb), GetBValue(rgb));
}

TColor QColorToColor(const QColor& color)
{
    return RGB(color.red(), color.green(), color.blue());
}

bool ColorToIdent(TColor color, QString& ident)
{
    for (const TIdentMapEntry& entry : kColorIdents) {
        if (entry.Value == color) {
            ident = QString::fromLatin1(entry.Name);
            return true;
        }
    }
    return false;
}

bool IdentToColor(const QString& ident, TColor& color)
{
    for (const TIdentMapEntry& entry : kColorIdents) {
        if (ident.compare(QLatin1String(entry.Name), Qt::CaseInsensitive) == 0) {
            color = TColor(entry.Value);
            return true;
        }
    }
    return false;
}

QString ColorToString(TColor color)
{
    QString ident;
    if (ColorToIdent(color, ident))
        return ident;
    return QLatin1Char('$') + IntToHex(static_cast<std::uint32_t>(color), 8);
}

TColor StringToColor(const QString& text)
{
    TColor color;
    if (IdentToColor(text, color))
        return color;
    return TColor(StrToInt(text));
}

// ---------------------------------------------------------------------------
// Registration

void RegisterGraphicsTypes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        for (const auto& s : kFontSubstitutes)
            QFont::insertSubstitution(QString::fromLatin1(s.Name), QString::fromLatin1(s.Substitute));
        qRegisterMetaType<TColor>("TColor");
        qRegisterMetaType<TFontCharset>("TFontCharset");
        for (const TIdentMapEntry& entry : kColorIdents)
            RegisterIntegerIdents<TColor>({ entry });
        for (const TIdentMapEntry& entry : kCharsetIdents)
            RegisterIntegerIdents<TFontCharset>({ entry });
    });
}

QString SubstitutedFontFamily(const QString& name)
{
    RegisterGraphicsTypes();
    QFont font(name);
    font.setPixelSize(12);
    return QFontInfo(font).family();
}

// ---------------------------------------------------------------------------
// TGraphicsObject

TGraphicsObject::TGraphicsObject(QObject* parent)
    : TPersistent(parent)
{
    RegisterGraphicsTypes();
}

void TGraphicsObject::Changed()
{
    if (FOnChange)
        FOnChange(this);
}

// ---------------------------------------------------------------------------
// TFont

TFont::TFont(QObject* parent)
    : TGraphicsObject(parent)
{
}

void TFont::Assign(TPersistent* source)
{
    auto* font = qobject_cast<TFont*>(source);
    if (!font) {
        TGraphicsObject::Assign(source);
        return;
    }
    if (font == this)
        return;
    const bool same = FCharset == font->FCharset && FColor == font->FColor && FHeight == font->FHeight
        && FName == font->FName && FPitch == font->FPitch && FStyle == font->FStyle
        && FOrientation == font->FOrientation && FQuality == font->FQuality;
    FOrientation = font->FOrientation;
    FQuality = font->FQuality;
    FCharset = font->FCharset;
    FColor = font->FColor;
    FHeight = font->FHeight;
    FName = font->FName;
    FPitch = font->FPitch;
    FStyle = font->FStyle;
    if (!same)
        Changed();
}

void TFont::SetCharset(TFontCharset value)
{
    if (FCharset == value)
        return;
    FCharset = value;
    Changed();
}

void TFont::SetColor(TColor value)
{
    if (FColor == value)
        return;
    FColor = value;
    Changed();
}

void TFont::SetHeight(int value)
{
    if (FHeight == value)
        return;
    FHeight = value;
    Changed();
}

void TFont::SetName(const QString& value)
{
    if (FName == value || value.isEmpty())
        return;
    FName = value;
    Changed();
}

void TFont::SetOrientation(int value)
{
    if (FOrientation == value)
        return;
    FOrientation = value;
    Changed();
}

void TFont::SetPitch(TFontPitch value)
{
    if (FPitch == value)
        return;
    FPitch = value;
    Changed();
}

void TFont::SetQuality(TFontQuality value)
{
    if (FQuality == value)
        return;
    FQuality = value;
    Changed();
}

int TFont::Size() const
{
    return -MulDiv(FHeight, 72, kPixelsPerInch);
}

void TFont::SetSize(int value)
{
    SetHeight(-MulDiv(value, kPixelsPerInch, 72));
}

void TFont::SetStyle(TFontStyles value)
{
    if (FStyle == value)
        return;
    FStyle = value;
    Changed();
}

QFont TFont::Handle() const
{
    QFont font(FName);
    int pixels = FHeight < 0 ? -FHeight : FHeight;
    if (pixels == 0)
        pixels = 11;
    font.setBold(FStyle.testFlag(fsBold));
    font.setItalic(FStyle.testFlag(fsItalic));
    font.setUnderline(FStyle.testFlag(fsUnderline));
    font.setStrikeOut(FStyle.testFlag(fsStrikeOut));
    if (FQuality == fqNonAntialiased)
        font.setStyleStrategy(QFont::NoAntialias);
    else if (FQuality == fqAntialiased)
        font.setStyleStrategy(QFont::PreferAntialias);
    if (FPitch == fpFixed) {
        font.setFixedPitch(true);
        font.setStyleHint(QFont::Monospace);
    }
    if (FHeight > 0 && qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        // A positive height is the whole cell; find the character size that fills it.
        QFont probe = font;
        probe.setPixelSize(1000);
        const QFontMetricsF metrics(probe);
        const double cell = metrics.ascent() + metrics.descent();
        if (cell > 0)
            pixels = std::max(1, static_cast<int>(std::lround(FHeight * 1000.0 / cell)));
    }
    for (const auto& s : kFontSubstitutes) {
        if (s.SmallSubstitute && pixels <= s.SmallPixels
            && FName.compare(QLatin1String(s.Name), Qt::CaseInsensitive) == 0)
            font.setFamily(QString::fromLatin1(s.SmallSubstitute));
    }
    // Glyphs advance by whole pixels, as on the system the forms were laid
    // out for: a caption measured with fractional advances can come out a
    // pixel wider and wrap inside a label sized to hold it on one line.
    font.setHintingPreference(QFont::PreferFullHinting);
    font.setPixelSize(pixels);
    return font;
}

// ---------------------------------------------------------------------------
// TPen

TPen::TPen(QObject* parent)
    : TGraphicsObject(parent)
{
}

void TPen::Assign(TPersistent* source)
{
    auto* pen = qobject_cast<TPen*>(source);
    if (!pen) {
        TGraphicsObject::Assign(source);
        return;
    }
    if (pen == this)
        return;
    const bool same
        = FColor == pen->FColor && FMode == pen->FMode && FStyle == pen->FStyle && FWidth == pen->FWidth;
    FColor = pen->FColor;
    FMode = pen->FMode;
    FStyle = pen->FStyle;
    FWidth = pen->FWidth;
    if (!same)
        Changed();
}

void TPen::SetColor(TColor value)
{
    if (FColor == value)
        return;
    FColor = value;
    Changed();
}

void TPen::SetMode(TPenMode value)
{
    if (FMode == value)
        return;
    FMode = value;
    Changed();
}

void TPen::SetStyle(TPenStyle value)
{
    if (FStyle == value)
        return;
    FStyle = value;
    Changed();
}

void TPen::SetWidth(int value)
{
    if (value < 0 || FWidth == value)
        return;
    FWidth = value;
    Changed();
}

// ---------------------------------------------------------------------------
// TBrush

TBrush::TBrush(QObject* parent)
    : TGraphicsObject(parent)
{
}

void TBrush::Assign(TPersistent* source)
{
    auto* brush = qobject_cast<TBrush*>(source);
    if (!brush) {
        TGraphicsObject::Assign(source);
        return;
    }
    if (brush == this)
        return;
    const bool same = FColor == brush->FColor && FStyle == brush->FStyle;
    FColor = brush->FColor;
    FStyle = brush->FStyle;
    if (!same)
        Changed();
}

void TBrush::SetColor(TColor value)
{
    if (FColor == value && FStyle != bsClear)
        return;
    FColor = value;
    if (FStyle == bsClear)
        FStyle = bsSolid;
    Changed();
}

void TBrush::SetStyle(TBrushStyle value)
{
    if (FStyle == value)
        return;
    FStyle = value;
    Changed();
}
