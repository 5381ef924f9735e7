#pragma once

// Colours, fonts, pens and brushes: the drawing tools a canvas works with.
//
// TColor is a 32-bit value: 0x00BBGGRR is an RGB colour with red in the low
// byte; 0x80000000 + n is the desktop's system colour n, resolved from the
// application's Qt palette whenever something is drawn with it; clNone and
// clDefault are markers. Stored forms may write the colour identifiers
// ("Color = clBtnFace").
//
// Font names of the stored forms are the Windows names; the substitutions
// registered by RegisterFontSubstitutes (Liberation and DejaVu stand-ins)
// decide which installed family draws them. Font heights follow the
// platform rule: a negative Height is the character height in pixels, a
// positive one the cell height (character plus internal leading); Size is
// in points at 96 pixels per inch.

#include "platform/ui/Classes.h"
#include "platform/ui/Types.h"

#include <QColor>
#include <QFont>
#include <QString>
#include <cstdint>

// ---------------------------------------------------------------------------
// Colours

enum TColor : std::int32_t {
    clBlack = 0x000000,
    clMaroon = 0x000080,
    clGreen = 0x008000,
    clOlive = 0x008080,
    clNavy = 0x800000,
    clPurple = 0x800080,
    clTeal = 0x808000,
    clGray = 0x808080,
    clSilver = 0xC0C0C0,
    clRed = 0x0000FF,
    clLime = 0x00FF00,
    clYellow = 0x00FFFF,
    clBlue = 0xFF0000,
    clFuchsia = 0xFF00FF,
    clAqua = 0xFFFF00,
    clLtGray = 0xC0C0C0,
    clDkGray = 0x808080,
    clWhite = 0xFFFFFF,

    clScrollBar = std::int32_t(0x80000000),
    clBackground = std::int32_t(0x80000001),
    clActiveCaption = std::int32_t(0x80000002),
    clInactiveCaption = std::int32_t(0x80000003),
    clMenu = std::int32_t(0x80000004),
    clWindow = std::int32_t(0x80000005),
    clWindowFrame = std::int32_t(0x80000006),
    clMenuText = std::int32_t(0x80000007),
    clWindowText = std::int32_t(0x80000008),
    clCaptionText = std::int32_t(0x80000009),
    clActiveBorder = std::int32_t(0x8000000A),
    clInactiveBorder = std::int32_t(0x8000000B),
    clAppWorkSpace = std::int32_t(0x8000000C),
    clHighlight = std::int32_t(0x8000000D),
    clHighlightText = std::int32_t(0x8000000E),
    clBtnFace = std::int32_t(0x8000000F),
    clBtnShadow = std::int32_t(0x80000010),
    clGrayText = std::int32_t(0x80000011),
    clBtnText = std::int32_t(0x80000012),
    clInactiveCaptionText = std::int32_t(0x80000013),
    clBtnHighlight = std::int32_t(0x80000014),
    cl3DDkShadow = std::int32_t(0x80000015),
    cl3DLight = std::int32_t(0x80000016),
    clInfoText = std::int32_t(0x80000017),
    clInfoBk = std::int32_t(0x80000018),

    /// No colour: a brush or pen of this colour draws nothing.
    clNone = 0x1FFFFFFF,
    /// The default colour of whatever the colour is given to.
    clDefault = 0x20000000,
};
Q_DECLARE_METATYPE(TColor)

/// The colour of red, green and blue (0..255 each, masked).
constexpr TColor RGB(int r, int g, int b)
{
    return TColor((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}
constexpr int GetRValue(std::int32_t color)
{
    return color & 0xFF;
}
constexpr int GetGValue(std::int32_t color)
{
    return (color >> 8) & 0xFF;
}
constexpr int GetBValue(std::int32_t color)
{
    return (color >> 16) & 0xFF;
}

/// The colour as 0x00BBGGRR: system colours resolved from the current
/// palette, RGB colours unchanged (their high byte cleared). clNone gives
/// white and clDefault black, as the platform does.
TColor ColorToRGB(TColor color);
/// The colour for Qt painting; clNone gives a fully transparent colour.
QColor ColorToQColor(TColor color);
/// The RGB colour of a Qt colour (alpha dropped).
TColor QColorToColor(const QColor& color);

/// The identifier of a colour constant ("clRed"); false when there is none.
bool ColorToIdent(TColor color, QString& ident);
/// The colour of an identifier (any letter case); false when unknown.
bool IdentToColor(const QString& ident, TColor& color);
/// The identifier, or "$00BBGGRR" for other values.
QString ColorToString(TColor color);
/// Identifier, decimal or $-hex; raises EConvertError
/// "'<text>' is not a valid integer value" otherwise.
TColor StringToColor(const QString& text);

// ---------------------------------------------------------------------------
// Character sets: stored with fonts; text is Unicode throughout, so they
// only travel with the font.

enum TFontCharset : std::uint8_t {
    ANSI_CHARSET = 0,
    DEFAULT_CHARSET = 1,
    SYMBOL_CHARSET = 2,
    MAC_CHARSET = 77,
    SHIFTJIS_CHARSET = 128,
    HANGEUL_CHARSET = 129,
    JOHAB_CHARSET = 130,
    GB2312_CHARSET = 134,
    CHINESEBIG5_CHARSET = 136,
    GREEK_CHARSET = 161,
    TURKISH_CHARSET = 162,
    VIETNAMESE_CHARSET = 163,
    HEBREW_CHARSET = 177,
    ARABIC_CHARSET = 178,
    BALTIC_CHARSET = 186,
    RUSSIAN_CHARSET = 204,
    THAI_CHARSET = 222,
    EASTEUROPE_CHARSET = 238,
    OEM_CHARSET = 255,
};
Q_DECLARE_METATYPE(TFontCharset)

/// Registers the font substitutions for the Windows font names the stored
/// forms use, and the colour and character-set identifiers for the stored
/// forms. Idempotent; called by every TFont constructor, and by the form
/// loader before reading.
void RegisterGraphicsTypes();
/// The family Qt picks for a font name after substitution.
QString SubstitutedFontFamily(const QString& name);

/// Screen resolution the point sizes are converted with.
inline constexpr int kPixelsPerInch = 96;

// ---------------------------------------------------------------------------
// Drawing tools

/// A drawing tool whose changes are reported through OnChange (a canvas
/// listens to its font, pen and brush).
class TGraphicsObject : public TPersistent {
    Q_OBJECT
public:
    explicit TGraphicsObject(QObject* parent = nullptr);

    TNotifyEvent OnChange() const { return FOnChange; }
    void SetOnChange(TNotifyEvent handler) { FOnChange = std::move(handler); }

protected:
    /// Fires OnChange with this object as Sender.
    virtual void Changed();

private:
    TNotifyEvent FOnChange;
};

/// A font: Name ("MS Sans Serif"), Height or Size, Style, Color, Charset,
/// Pitch. Setting Size sets Height to -Size x 96 / 72 (rounded); Size reads
/// back from Height. Each change fires OnChange once.
class TFont : public TGraphicsObject {
    Q_OBJECT
    Q_PROPERTY(TFontCharset Charset READ Charset WRITE SetCharset)
    Q_PROPERTY(TColor Color READ Color WRITE SetColor)
    Q_PROPERTY(int Height READ Height WRITE SetHeight)
    Q_PROPERTY(QString Name READ Name WRITE SetName)
    Q_PROPERTY(int Orientation READ Orientation WRITE SetOrientation)
    Q_PROPERTY(UiEnums::TFontPitch Pitch READ Pitch WRITE SetPitch)
    Q_PROPERTY(UiEnums::TFontQuality Quality READ Quality WRITE SetQuality)
    Q_PROPERTY(int Size READ Size WRITE SetSize STORED false)
    Q_PROPERTY(UiEnums::TFontStyles Style READ Style WRITE SetStyle)
    Q_CLASSINFO("default:Orientation", "0")
    Q_CLASSINFO("default:Pitch", "fpDefault")
    Q_CLASSINFO("default:Quality", "fqDefault")
public:
    /// "MS Sans Serif", Height -11, clWindowText, no style, DEFAULT_CHARSET.
    explicit TFont(QObject* parent = nullptr);

    /// Copies every setting of another TFont (one OnChange).
    void Assign(TPersistent* source) override;

    TFontCharset Charset() const { return FCharset; }
    void SetCharset(TFontCharset value);
    TColor Color() const { return FColor; }
    void SetColor(TColor value);
    int Height() const { return FHeight; }
    void SetHeight(int value);
    QString Name() const { return FName; }
    void SetName(const QString& value);
    /// Angle of the text's baseline in tenths of a degree, counter-clockwise
    /// (the platform's escapement): text turns about its starting point.
    int Orientation() const { return FOrientation; }
    void SetOrientation(int value);
    TFontPitch Pitch() const { return FPitch; }
    void SetPitch(TFontPitch value);
    /// fqNonAntialiased draws without smoothing; fqAntialiased always
    /// smooths; the others leave it to the platform.
    TFontQuality Quality() const { return FQuality; }
    void SetQuality(TFontQuality value);
    int Size() const;
    void SetSize(int value);
    TFontStyles Style() const { return FStyle; }
    void SetStyle(TFontStyles value);

    /// The Qt font these settings describe (pixel-sized).
    QFont Handle() const;

private:
    TFontCharset FCharset = DEFAULT_CHARSET;
    TColor FColor = clWindowText;
    int FHeight = -11;
    QString FName = QStringLiteral("MS Sans Serif");
    int FOrientation = 0;
    TFontPitch FPitch = fpDefault;
    TFontQuality FQuality = fqDefault;
    TFontStyles FStyle;
};

/// A pen: Color (clBlack), Width (1), Style (psSolid), Mode (pmCopy).
class TPen : public TGraphicsObject {
    Q_OBJECT
    Q_PROPERTY(TColor Color READ Color WRITE SetColor)
    Q_PROPERTY(UiEnums::TPenMode Mode READ Mode WRITE SetMode)
    Q_PROPERTY(UiEnums::TPenStyle Style READ Style WRITE SetStyle)
    Q_PROPERTY(int Width READ Width WRITE SetWidth)
    Q_CLASSINFO("default:Color", "clBlack")
    Q_CLASSINFO("default:Mode", "pmCopy")
    Q_CLASSINFO("default:Style", "psSolid")
    Q_CLASSINFO("default:Width", "1")
public:
    explicit TPen(QObject* parent = nullptr);

    void Assign(TPersistent* source) override;

    TColor Color() const { return FColor; }
    void SetColor(TColor value);
    TPenMode Mode() const { return FMode; }
    void SetMode(TPenMode value);
    TPenStyle Style() const { return FStyle; }
    void SetStyle(TPenStyle value);
    int Width() const { return FWidth; }
    /// Negative values are ignored; 0 draws as 1 pixel, as 1 does.
    void SetWidth(int value);

private:
    TColor FColor = clBlack;
    TPenMode FMode = pmCopy;
    TPenStyle FStyle = psSolid;
    int FWidth = 1;
};

/// A brush: Color (clWhite), Style (bsSolid; bsClear fills nothing and
/// draws text without a background).
class TBrush : public TGraphicsObject {
    Q_OBJECT
    Q_PROPERTY(TColor Color READ Color WRITE SetColor)
    Q_PROPERTY(UiEnums::TBrushStyle Style READ Style WRITE SetStyle)
    Q_CLASSINFO("default:Color", "clWhite")
    Q_CLASSINFO("default:Style", "bsSolid")
public:
    explicit TBrush(QObject* parent = nullptr);

    void Assign(TPersistent* source) override;

    TColor Color() const { return FColor; }
    /// Setting a colour to a brush of style bsClear makes it bsSolid.
    void SetColor(TColor value);
    TBrushStyle Style() const { return FStyle; }
    void SetStyle(TBrushStyle value);

private:
    TColor FColor = clWhite;
    TBrushStyle FStyle = bsSolid;
};
