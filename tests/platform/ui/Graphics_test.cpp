#include "platform/ui/FormReader.h"
#include "platform/ui/Graphics.h"
#include "platform/ui/Types.h"

#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QMetaProperty>
#include <QPalette>
#include <gtest/gtest.h>

TEST(Types, RectangleHelpers)
{
    TRect r = Rect(10, 20, 30, 60);
    EXPECT_EQ(r.Width(), 20);
    EXPECT_EQ(r.Height(), 40);
    EXPECT_EQ(Bounds(5, 6, 7, 8), Rect(5, 6, 12, 14));
    InflateRect(r, 2, 3);
    EXPECT_EQ(r, Rect(8, 17, 32, 63));
    OffsetRect(r, -8, -17);
    EXPECT_EQ(r, Rect(0, 0, 24, 46));

    TRect common;
    EXPECT_TRUE(IntersectRect(common, Rect(0, 0, 10, 10), Rect(5, 5, 20, 20)));
    EXPECT_EQ(common, Rect(5, 5, 10, 10));
    EXPECT_FALSE(IntersectRect(common, Rect(0, 0, 10, 10), Rect(10, 0, 20, 10)));
    EXPECT_EQ(common, TRect {});

    TRect both;
    EXPECT_TRUE(UnionRect(both, Rect(0, 0, 2, 2), Rect(5, 6, 7, 8)));
    EXPECT_EQ(both, Rect(0, 0, 7, 8));
    EXPECT_TRUE(UnionRect(both, TRect {}, Rect(1, 1, 2, 2)));
    EXPECT_EQ(both, Rect(1, 1, 2, 2));

    EXPECT_TRUE(PtInRect(Rect(0, 0, 10, 10), Point(9, 9)));
    EXPECT_FALSE(PtInRect(Rect(0, 0, 10, 10), Point(10, 5)));
    EXPECT_TRUE(IsRectEmpty(Rect(5, 5, 5, 10)));
    EXPECT_EQ(CenterPoint(Rect(0, 0, 11, 11)), Point(5, 5));
    EXPECT_EQ(CenterPoint(Rect(-3, -3, 0, 0)), Point(-2, -2));

    EXPECT_EQ(ToQRect(Rect(1, 2, 11, 22)), QRect(1, 2, 10, 20));
    EXPECT_EQ(ToTRect(QRect(1, 2, 10, 20)), Rect(1, 2, 11, 22));
}

TEST(Colors, NamedValuesAreBgr)
{
    EXPECT_EQ(static_cast<std::int32_t>(clMaroon), 0x80);
    EXPECT_EQ(static_cast<std::int32_t>(clGreen), 0x8000);
    EXPECT_EQ(static_cast<std::int32_t>(clNavy), 0x800000);
    EXPECT_EQ(static_cast<std::uint32_t>(clBtnFace), 0x8000000Fu);
    EXPECT_EQ(RGB(190, 65, 87), TColor(5718462));
    EXPECT_EQ(GetRValue(5718462), 190);
    EXPECT_EQ(GetGValue(5718462), 65);
    EXPECT_EQ(GetBValue(5718462), 87);
    EXPECT_EQ(ColorToQColor(clRed), QColor(255, 0, 0));
    EXPECT_EQ(ColorToQColor(clNavy), QColor(0, 0, 128));
    EXPECT_EQ(ColorToQColor(clNone).alpha(), 0);
}

TEST(Colors, SystemColoursComeFromThePalette)
{
    const QPalette palette = QApplication::palette();
    EXPECT_EQ(ColorToQColor(clBtnFace).rgb(), palette.color(QPalette::Button).rgb());
    EXPECT_EQ(ColorToQColor(clBtnHighlight).rgb(), palette.color(QPalette::Light).rgb());
    EXPECT_EQ(ColorToQColor(clBtnShadow).rgb(), palette.color(QPalette::Dark).rgb());
    EXPECT_EQ(ColorToQColor(clWindow).rgb(), palette.color(QPalette::Base).rgb());
    EXPECT_EQ(ColorToQColor(clWindowText).rgb(), palette.color(QPalette::Text).rgb());
    EXPECT_EQ(ColorToQColor(clBtnText).rgb(), palette.color(QPalette::ButtonText).rgb());

    // Resolved when used: a changed palette changes the colour.
    QPalette changed = palette;
    changed.setColor(QPalette::Button, QColor(1, 2, 3));
    QApplication::setPalette(changed);
    EXPECT_EQ(ColorToRGB(clBtnFace), RGB(1, 2, 3));
    QApplication::setPalette(palette);
    EXPECT_EQ(ColorToRGB(clRed), clRed);
    EXPECT_EQ(ColorToRGB(TColor(0x02123456)), TColor(0x123456));
}

TEST(Colors, IdentifiersBothWays)
{
    QString ident;
    EXPECT_TRUE(ColorToIdent(clBtnFace, ident));
    EXPECT_EQ(ident, "clBtnFace");
    TColor color = clBlack;
    EXPECT_TRUE(IdentToColor("CLAQUA", color));
    EXPECT_EQ(color, clAqua);
    EXPECT_FALSE(IdentToColor("clNoSuchColour", color));
    EXPECT_EQ(ColorToString(TColor(5718462)), "$005741BE");
    EXPECT_EQ(StringToColor("clYellow"), clYellow);
    EXPECT_EQ(StringToColor("$FF"), clRed);
    EXPECT_THROW(StringToColor("reddish"), EConvertError);
}

TEST(Colors, StoredFormsUseTheIdentifiers)
{
    RegisterGraphicsTypes();
    TFont font;
    const QMetaProperty color = font.metaObject()->property(font.metaObject()->indexOfProperty("Color"));
    font.setProperty("Color", ReadPropertyValueText(color, "clBtnFace"));
    EXPECT_EQ(font.Color(), clBtnFace);
    font.setProperty("Color", ReadPropertyValueText(color, "5718462"));
    EXPECT_EQ(font.Color(), TColor(5718462));
    QString ident;
    EXPECT_TRUE(IntToIdent(QMetaType::fromType<TColor>(), clMaroon, ident));
    EXPECT_EQ(ident, "clMaroon");

    const QMetaProperty charset = font.metaObject()->property(font.metaObject()->indexOfProperty("Charset"));
    font.setProperty("Charset", ReadPropertyValueText(charset, "TURKISH_CHARSET"));
    EXPECT_EQ(font.Charset(), TURKISH_CHARSET);

    const QMetaProperty style = font.metaObject()->property(font.metaObject()->indexOfProperty("Style"));
    EXPECT_TRUE(style.isFlagType());
    font.setProperty("Style", ReadPropertyValueText(style, "[fsBold, fsItalic]"));
    EXPECT_EQ(font.Style(), TFontStyles(fsBold | fsItalic));
}

TEST(Fonts, SubstitutesPickTheLiberationFamilies)
{
    RegisterGraphicsTypes();
    EXPECT_EQ(SubstitutedFontFamily("MS Sans Serif"), "Liberation Sans");
    EXPECT_EQ(SubstitutedFontFamily("Arial"), "Liberation Sans");
    EXPECT_EQ(SubstitutedFontFamily("Times New Roman"), "Liberation Serif");
    EXPECT_EQ(SubstitutedFontFamily("Arial Narrow"), "Liberation Sans Narrow");
    EXPECT_EQ(SubstitutedFontFamily("Small Fonts"), "Liberation Sans Narrow");

    // The default 8-point "MS Sans Serif" is narrow; larger sizes are not.
    TFont font;
    EXPECT_EQ(QFontInfo(font.Handle()).family(), "Liberation Sans Narrow");
    font.SetHeight(-13);
    EXPECT_EQ(QFontInfo(font.Handle()).family(), "Liberation Sans");
}

TEST(Fonts, HeightAndSize)
{
    TFont font;
    int changes = 0;
    font.SetOnChange([&](TObject* sender) {
        EXPECT_EQ(sender, &font);
        ++changes;
    });
    EXPECT_EQ(font.Name(), "MS Sans Serif");
    EXPECT_EQ(font.Height(), -11);
    EXPECT_EQ(font.Size(), 8);
    font.SetSize(12);
    EXPECT_EQ(font.Height(), -16);
    EXPECT_EQ(changes, 1);
    font.SetHeight(-16);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(font.Handle().pixelSize(), 16);

    font.SetStyle(fsBold | fsUnderline);
    const QFont q = font.Handle();
    EXPECT_TRUE(q.bold());
    EXPECT_TRUE(q.underline());
    EXPECT_FALSE(q.italic());

    // A positive height is the whole cell: the character comes out smaller.
    font.SetHeight(20);
    const QFontMetrics metrics(font.Handle());
    EXPECT_LT(font.Handle().pixelSize(), 20);
    EXPECT_NEAR(metrics.ascent() + metrics.descent(), 20, 1);

    TFont copy;
    copy.Assign(&font);
    EXPECT_EQ(copy.Height(), 20);
    EXPECT_EQ(copy.Style(), font.Style());
    TPen pen;
    EXPECT_THROW(copy.Assign(&pen), EConvertError);
}

TEST(Tools, PenAndBrushDefaultsAndChanges)
{
    TPen pen;
    EXPECT_EQ(pen.Color(), clBlack);
    EXPECT_EQ(pen.Width(), 1);
    EXPECT_EQ(pen.Mode(), pmCopy);
    int changes = 0;
    pen.SetOnChange([&](TObject*) { ++changes; });
    pen.SetWidth(-3);
    EXPECT_EQ(pen.Width(), 1);
    pen.SetWidth(0);
    EXPECT_EQ(pen.Width(), 0);
    pen.SetMode(pmNotXor);
    EXPECT_EQ(changes, 2);

    TBrush brush;
    EXPECT_EQ(brush.Color(), clWhite);
    brush.SetStyle(bsClear);
    brush.SetColor(clRed);
    EXPECT_EQ(brush.Style(), bsSolid);
}
