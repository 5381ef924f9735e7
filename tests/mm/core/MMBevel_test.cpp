#include "mm/core/MMBevel.h"

#include <QImage>
#include <QPainter>
#include <climits>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr TColor kBackground = RGB(1, 2, 3);
constexpr TColor kFrame = RGB(200, 0, 0); // stands in for clWindowFrame checks below
constexpr TColor kOuterLight = RGB(250, 250, 0);
constexpr TColor kOuterShadow = RGB(90, 0, 90);
constexpr TColor kBorder = RGB(0, 0, 240);
constexpr TColor kInnerLight = RGB(0, 250, 250);
constexpr TColor kInnerShadow = RGB(0, 90, 0);
constexpr TColor kSpace = RGB(255, 128, 0);

struct TPainted {
    QImage Image;
    TRect Inside;

    TColor At(int x, int y) const { return QColorToColor(Image.pixelColor(x, y)); }
};

TPainted PaintInto(TMMBevel& bevel, int width, int height, bool drawBorder = true)
{
    TPainted result;
    result.Image = QImage(width, height, QImage::Format_RGB32);
    result.Image.fill(ColorToQColor(kBackground));
    QPainter painter(&result.Image);
    TCanvas canvas;
    canvas.SetHandle(&painter);
    result.Inside = bevel.PaintBevel(&canvas, Rect(0, 0, width, height), drawBorder);
    canvas.SetHandle(nullptr);
    painter.end();
    return result;
}

// The colour of every pixel on the ring Offset pixels inside the edges:
// true when all of its top and left pixels are Top and its right and bottom
// pixels are Bottom (corners as the ring rule assigns them).
::testing::AssertionResult RingIs(const TPainted& p, int offset, TColor top, TColor bottom)
{
    const int w = p.Image.width();
    const int h = p.Image.height();
    const int left = offset;
    const int topY = offset;
    const int right = w - 1 - offset;
    const int bottomY = h - 1 - offset;
    auto check = [&](int x, int y, TColor expected) -> std::string {
        const TColor got = p.At(x, y);
        if (got == expected)
            return {};
        return "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") is " + std::to_string(got)
            + ", expected " + std::to_string(expected);
    };
    std::vector<std::string> errors;
    auto add = [&](const std::string& e) {
        if (!e.empty())
            errors.push_back(e);
    };
    for (int x = left; x < right; ++x)
        add(check(x, topY, top)); // top edge, without the top-right corner
    for (int y = topY; y <= bottomY; ++y)
        add(check(left, y, top)); // left edge, bottom-left corner included
    for (int y = topY; y <= bottomY; ++y)
        add(check(right, y, bottom)); // right edge, top-right corner included
    for (int x = left + 1; x <= right; ++x)
        add(check(x, bottomY, bottom)); // bottom edge
    if (errors.empty())
        return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure() << "ring " << offset << ": ";
    for (std::size_t i = 0; i < errors.size() && i < 4; ++i)
        failure << errors[i] << "; ";
    return failure;
}

struct TEventCounts {
    int Changing = 0;
    int Change = 0;
};

void Count(TMMBevel& bevel, TEventCounts& counts)
{
    bevel.SetOnChanging([&counts](TObject*) { ++counts.Changing; });
    bevel.SetOnChange([&counts](TObject*) { ++counts.Change; });
}

// ---------------------------------------------------------------------------

TEST(TMMBevelTest, InitialValues)
{
    TMMBevel bevel;
    EXPECT_EQ(bevel.BevelInner(), bvNone);
    EXPECT_EQ(bevel.BevelOuter(), bvLowered);
    EXPECT_EQ(bevel.BevelInnerWidth(), 1);
    EXPECT_EQ(bevel.BevelOuterWidth(), 1);
    EXPECT_EQ(bevel.BorderStyle(), bsNone);
    EXPECT_EQ(bevel.BorderWidth(), 0);
    EXPECT_EQ(bevel.BorderSpace(), 0);
    EXPECT_EQ(bevel.BorderColor(), clBtnFace);
    EXPECT_EQ(bevel.BorderSpaceColor(), clBlack);
    EXPECT_EQ(bevel.InnerLightColor(), clBtnHighlight);
    EXPECT_EQ(bevel.InnerShadowColor(), clBtnShadow);
    EXPECT_EQ(bevel.OuterLightColor(), clBtnHighlight);
    EXPECT_EQ(bevel.OuterShadowColor(), clBtnShadow);
    EXPECT_EQ(bevel.BevelExtent(), 1);
}

TEST(TMMBevelTest, ThirteenPublishedPropertiesInDeclarationOrder)
{
    const QMetaObject* mo = &TMMBevel::staticMetaObject;
    QStringList own;
    for (int i = mo->propertyOffset(); i < mo->propertyCount(); ++i)
        own << QString::fromLatin1(mo->property(i).name());
    EXPECT_EQ(own,
        (QStringList { "BevelInner", "BevelOuter", "BevelInnerWidth", "BevelOuterWidth", "BorderStyle",
            "BorderWidth", "BorderSpace", "BorderColor", "BorderSpaceColor", "InnerLightColor",
            "InnerShadowColor", "OuterLightColor", "OuterShadowColor" }));
    // No default entries: every setting is written to a stored form.
    for (int i = 0; i < mo->classInfoCount(); ++i)
        EXPECT_FALSE(QByteArray(mo->classInfo(i).name()).startsWith("default:")) << mo->classInfo(i).name();
    EXPECT_TRUE(mo->property(mo->indexOfProperty("BevelOuter")).isEnumType());
}

TEST(TMMBevelTest, EverySetterNotifiesOnceForANewValueAndNeverForTheSame)
{
    struct TCase {
        const char* Name;
        std::function<void(TMMBevel&)> SetSame;
        std::function<void(TMMBevel&)> SetNew;
    };
    const std::vector<TCase> cases = {
        { "BevelInner", [](TMMBevel& b) { b.SetBevelInner(bvNone); },
            [](TMMBevel& b) { b.SetBevelInner(bvRaised); } },
        { "BevelOuter", [](TMMBevel& b) { b.SetBevelOuter(bvLowered); },
            [](TMMBevel& b) { b.SetBevelOuter(bvSpace); } },
        { "BevelInnerWidth", [](TMMBevel& b) { b.SetBevelInnerWidth(1); },
            [](TMMBevel& b) { b.SetBevelInnerWidth(4); } },
        { "BevelOuterWidth", [](TMMBevel& b) { b.SetBevelOuterWidth(1); },
            [](TMMBevel& b) { b.SetBevelOuterWidth(2); } },
        { "BorderStyle", [](TMMBevel& b) { b.SetBorderStyle(bsNone); },
            [](TMMBevel& b) { b.SetBorderStyle(bsSingle); } },
        { "BorderWidth", [](TMMBevel& b) { b.SetBorderWidth(0); }, [](TMMBevel& b) { b.SetBorderWidth(3); } },
        { "BorderSpace", [](TMMBevel& b) { b.SetBorderSpace(0); }, [](TMMBevel& b) { b.SetBorderSpace(2); } },
        { "BorderColor", [](TMMBevel& b) { b.SetBorderColor(clBtnFace); },
            [](TMMBevel& b) { b.SetBorderColor(clRed); } },
        { "BorderSpaceColor", [](TMMBevel& b) { b.SetBorderSpaceColor(clBlack); },
            [](TMMBevel& b) { b.SetBorderSpaceColor(clWhite); } },
        { "InnerLightColor", [](TMMBevel& b) { b.SetInnerLightColor(clBtnHighlight); },
            [](TMMBevel& b) { b.SetInnerLightColor(clLime); } },
        { "InnerShadowColor", [](TMMBevel& b) { b.SetInnerShadowColor(clBtnShadow); },
            [](TMMBevel& b) { b.SetInnerShadowColor(clNavy); } },
        { "OuterLightColor", [](TMMBevel& b) { b.SetOuterLightColor(clBtnHighlight); },
            [](TMMBevel& b) { b.SetOuterLightColor(clYellow); } },
        { "OuterShadowColor", [](TMMBevel& b) { b.SetOuterShadowColor(clBtnShadow); },
            [](TMMBevel& b) { b.SetOuterShadowColor(clPurple); } },
    };
    for (const TCase& c : cases) {
        TMMBevel bevel;
        TEventCounts counts;
        Count(bevel, counts);
        c.SetSame(bevel);
        EXPECT_EQ(counts.Change, 0) << c.Name;
        c.SetNew(bevel);
        EXPECT_EQ(counts.Change, 1) << c.Name;
        c.SetNew(bevel);
        EXPECT_EQ(counts.Change, 1) << c.Name;
        EXPECT_EQ(counts.Changing, 0) << c.Name;
    }
}

TEST(TMMBevelTest, ColourSetterIsKeyedByIndex)
{
    TMMBevel bevel;
    bevel.SetColor(TMMBevel::kBorderColor, clRed);
    bevel.SetColor(TMMBevel::kBorderSpaceColor, clGreen);
    bevel.SetColor(TMMBevel::kInnerLightColor, clNavy);
    bevel.SetColor(TMMBevel::kInnerShadowColor, clMaroon);
    bevel.SetColor(TMMBevel::kOuterLightColor, clAqua);
    bevel.SetColor(TMMBevel::kOuterShadowColor, clGray);
    EXPECT_EQ(bevel.BorderColor(), clRed);
    EXPECT_EQ(bevel.BorderSpaceColor(), clGreen);
    EXPECT_EQ(bevel.InnerLightColor(), clNavy);
    EXPECT_EQ(bevel.InnerShadowColor(), clMaroon);
    EXPECT_EQ(bevel.OuterLightColor(), clAqua);
    EXPECT_EQ(bevel.OuterShadowColor(), clGray);

    TEventCounts counts;
    Count(bevel, counts);
    bevel.SetColor(6, clWhite);
    bevel.SetColor(-1, clWhite);
    EXPECT_EQ(counts.Change, 0);
}

TEST(TMMBevelTest, OutOfRangeWidthsAndBorderStylesAreClampedOrIgnored)
{
    TMMBevel bevel;
    bevel.SetBevelOuterWidth(3);
    bevel.SetBevelOuterWidth(0);
    EXPECT_EQ(bevel.BevelOuterWidth(), 1);
    bevel.SetBevelInnerWidth(-5);
    EXPECT_EQ(bevel.BevelInnerWidth(), 1);
    bevel.SetBorderWidth(-2);
    EXPECT_EQ(bevel.BorderWidth(), 0);
    bevel.SetBorderSpace(-1);
    EXPECT_EQ(bevel.BorderSpace(), 0);

    TEventCounts counts;
    Count(bevel, counts);
    bevel.SetBorderStyle(bsSizeable);
    EXPECT_EQ(bevel.BorderStyle(), bsNone);
    EXPECT_EQ(counts.Change, 0);
}

// ---------------------------------------------------------------------------
// Assign

TEST(TMMBevelTest, AssignCopiesEverythingAndNotifiesOnce)
{
    TMMBevel source;
    source.SetBevelInner(bvRaised);
    source.SetBevelOuter(bvSpace);
    source.SetBevelInnerWidth(3);
    source.SetBorderWidth(4);
    source.SetOuterShadowColor(clRed);

    TMMBevel target;
    TEventCounts counts;
    std::vector<std::string> order;
    target.SetOnChanging([&](TObject* sender) {
        EXPECT_EQ(sender, &target);
        order.push_back("changing");
        ++counts.Changing;
    });
    target.SetOnChange([&](TObject* sender) {
        EXPECT_EQ(sender, &target);
        // Everything is in place when the one notification arrives.
        EXPECT_EQ(target.BorderWidth(), 4);
        EXPECT_EQ(target.OuterShadowColor(), clRed);
        order.push_back("change");
        ++counts.Change;
    });
    target.Assign(&source);
    EXPECT_EQ(order, (std::vector<std::string> { "changing", "change" }));
    EXPECT_EQ(target.UpdateCount(), 0);

    EXPECT_EQ(target.BevelInner(), bvRaised);
    EXPECT_EQ(target.BevelOuter(), bvSpace);
    EXPECT_EQ(target.BevelInnerWidth(), 3);
    EXPECT_EQ(target.BevelOuterWidth(), 1);
    EXPECT_EQ(target.BorderWidth(), 4);
    EXPECT_EQ(target.OuterShadowColor(), clRed);
    EXPECT_EQ(target.BevelExtent(), source.BevelExtent());

    // All thirteen, through the published properties.
    const QMetaObject* mo = &TMMBevel::staticMetaObject;
    TMMBevel full;
    full.SetBevelInner(bvLowered);
    full.SetBevelOuter(bvRaised);
    full.SetBevelInnerWidth(2);
    full.SetBevelOuterWidth(5);
    full.SetBorderStyle(bsSingle);
    full.SetBorderWidth(6);
    full.SetBorderSpace(7);
    full.SetBorderColor(clRed);
    full.SetBorderSpaceColor(clGreen);
    full.SetInnerLightColor(clNavy);
    full.SetInnerShadowColor(clMaroon);
    full.SetOuterLightColor(clAqua);
    full.SetOuterShadowColor(clGray);
    TMMBevel copy;
    copy.Assign(&full);
    for (int i = mo->propertyOffset(); i < mo->propertyCount(); ++i)
        EXPECT_EQ(mo->property(i).read(&copy), mo->property(i).read(&full)) << mo->property(i).name();
}

TEST(TMMBevelTest, AssignOfEqualSettingsStillNotifiesOnce)
{
    TMMBevel source;
    TMMBevel target;
    TEventCounts counts;
    Count(target, counts);
    target.Assign(&source);
    EXPECT_EQ(counts.Changing, 1);
    EXPECT_EQ(counts.Change, 1);
}

TEST(TMMBevelTest, AssignToItselfDoesNothing)
{
    TMMBevel bevel;
    TEventCounts counts;
    Count(bevel, counts);
    bevel.Assign(&bevel);
    EXPECT_EQ(counts.Changing, 0);
    EXPECT_EQ(counts.Change, 0);
}

TEST(TMMBevelTest, AssignFromAnotherClassFails)
{
    TMMBevel bevel;
    TEventCounts counts;
    Count(bevel, counts);
    TPersistent other;
    EXPECT_THROW(bevel.Assign(&other), EConvertError);
    EXPECT_THROW(bevel.Assign(nullptr), EConvertError);
    EXPECT_EQ(counts.Changing, 0);
    EXPECT_EQ(counts.Change, 0);
    EXPECT_EQ(bevel.UpdateCount(), 0);
}

// A bevel whose change hook fails once inside a bracket, as a descendant's
// might.
class TFailingBevel : public TMMBevel {
    Q_OBJECT
public:
    bool FailNext = true;
    void Changed() override
    {
        if (FailNext && UpdateCount() > 0) {
            FailNext = false;
            throw EInvalidOperation("refused");
        }
        TMMBevel::Changed();
    }
};

TEST(TMMBevelTest, AssignClosesItsBracketWhenASetterFails)
{
    TMMBevel source;
    source.SetBorderWidth(2);
    source.SetBorderSpace(3);
    TFailingBevel target;
    TEventCounts counts;
    Count(target, counts);
    EXPECT_THROW(target.Assign(&source), EInvalidOperation);
    EXPECT_EQ(target.UpdateCount(), 0);
    EXPECT_EQ(counts.Changing, 1);
    EXPECT_EQ(counts.Change, 1);
    EXPECT_EQ(target.BorderWidth(), 2); // stored before the hook failed
    EXPECT_EQ(target.BorderSpace(), 0); // never reached
}

// ---------------------------------------------------------------------------
// BevelExtent

TEST(TMMBevelTest, BevelExtentForEveryStyle)
{
    const TBevelCut cuts[] = { bvNone, bvLowered, bvRaised, bvSpace };
    const TBorderStyle styles[] = { bsNone, bsSingle };
    for (TBevelCut outer : cuts) {
        for (TBevelCut inner : cuts) {
            for (TBorderStyle style : styles) {
                TMMBevel bevel;
                bevel.SetBevelOuter(outer);
                bevel.SetBevelInner(inner);
                bevel.SetBorderStyle(style);
                bevel.SetBevelOuterWidth(2);
                bevel.SetBevelInnerWidth(3);
                bevel.SetBorderWidth(5);
                bevel.SetBorderSpace(7);
                const int expected = 5 + 7 + (outer != bvNone ? 2 : 0) + (inner != bvNone ? 3 : 0)
                    + (style == bsSingle ? 1 : 0);
                EXPECT_EQ(bevel.BevelExtent(), expected) << outer << " " << inner << " " << style;
            }
        }
    }
}

TEST(TMMBevelTest, BevelExtentSaturates)
{
    TMMBevel bevel;
    bevel.SetBorderWidth(INT_MAX);
    bevel.SetBorderSpace(INT_MAX);
    bevel.SetBorderStyle(bsSingle);
    EXPECT_EQ(bevel.BevelExtent(), INT_MAX);
}

// ---------------------------------------------------------------------------
// Painting

TEST(TMMBevelTest, DefaultBevelPaintsShadowTopLeftAndHighlightBottomRight)
{
    const TColor shadow = ColorToRGB(clBtnShadow);
    const TColor highlight = ColorToRGB(clBtnHighlight);
    ASSERT_NE(shadow, highlight);

    TMMBevel bevel;
    const TPainted p = PaintInto(bevel, 20, 12);
    EXPECT_EQ(p.Inside, Rect(1, 1, 19, 11));
    EXPECT_TRUE(RingIs(p, 0, shadow, highlight));
    EXPECT_EQ(p.At(19, 0), highlight); // top-right corner: bottom colour
    EXPECT_EQ(p.At(0, 11), shadow); // bottom-left corner: top colour
    for (int y = 1; y < 11; ++y) {
        for (int x = 1; x < 19; ++x)
            ASSERT_EQ(p.At(x, y), kBackground) << x << "," << y;
    }
}

TEST(TMMBevelTest, RaisedBevelSwapsTheColours)
{
    TMMBevel bevel;
    bevel.SetBevelOuter(bvRaised);
    bevel.SetOuterLightColor(kOuterLight);
    bevel.SetOuterShadowColor(kOuterShadow);
    bevel.SetBevelOuterWidth(2);
    const TPainted p = PaintInto(bevel, 16, 16);
    EXPECT_TRUE(RingIs(p, 0, kOuterLight, kOuterShadow));
    EXPECT_TRUE(RingIs(p, 1, kOuterLight, kOuterShadow));
    EXPECT_EQ(p.At(2, 2), kBackground);
    EXPECT_EQ(p.Inside, Rect(2, 2, 14, 14));
}

TEST(TMMBevelTest, EveryRingInItsColourAtItsOffset)
{
    TMMBevel bevel;
    bevel.SetBorderStyle(bsSingle);
    bevel.SetBevelOuter(bvRaised);
    bevel.SetBevelOuterWidth(2);
    bevel.SetOuterLightColor(kOuterLight);
    bevel.SetOuterShadowColor(kOuterShadow);
    bevel.SetBorderWidth(3);
    bevel.SetBorderColor(kBorder);
    bevel.SetBevelInner(bvLowered);
    bevel.SetBevelInnerWidth(1);
    bevel.SetInnerLightColor(kInnerLight);
    bevel.SetInnerShadowColor(kInnerShadow);
    bevel.SetBorderSpace(2);
    bevel.SetBorderSpaceColor(kSpace);
    ASSERT_EQ(bevel.BevelExtent(), 9);

    const TColor frame = ColorToRGB(clWindowFrame);
    const TPainted p = PaintInto(bevel, 40, 30);
    EXPECT_EQ(p.Inside, Rect(9, 9, 31, 21));
    EXPECT_TRUE(RingIs(p, 0, frame, frame));
    EXPECT_TRUE(RingIs(p, 1, kOuterLight, kOuterShadow));
    EXPECT_TRUE(RingIs(p, 2, kOuterLight, kOuterShadow));
    for (int ring = 3; ring < 6; ++ring)
        EXPECT_TRUE(RingIs(p, ring, kBorder, kBorder));
    EXPECT_TRUE(RingIs(p, 6, kInnerShadow, kInnerLight));
    EXPECT_TRUE(RingIs(p, 7, kSpace, kSpace));
    EXPECT_TRUE(RingIs(p, 8, kSpace, kSpace));
    for (int y = 9; y < 21; ++y) {
        for (int x = 9; x < 31; ++x)
            ASSERT_EQ(p.At(x, y), kBackground) << x << "," << y;
    }
}

TEST(TMMBevelTest, WithoutDrawBorderTheBorderRingKeepsWhatWasThere)
{
    TMMBevel bevel;
    bevel.SetBevelOuter(bvRaised);
    bevel.SetOuterLightColor(kOuterLight);
    bevel.SetOuterShadowColor(kOuterShadow);
    bevel.SetBorderWidth(2);
    bevel.SetBorderColor(kBorder);
    bevel.SetBevelInner(bvLowered);
    bevel.SetInnerLightColor(kInnerLight);
    bevel.SetInnerShadowColor(kInnerShadow);
    const TPainted p = PaintInto(bevel, 20, 20, false);
    EXPECT_EQ(p.Inside, Rect(4, 4, 16, 16));
    EXPECT_TRUE(RingIs(p, 0, kOuterLight, kOuterShadow));
    EXPECT_TRUE(RingIs(p, 1, kBackground, kBackground));
    EXPECT_TRUE(RingIs(p, 2, kBackground, kBackground));
    EXPECT_TRUE(RingIs(p, 3, kInnerShadow, kInnerLight));
}

TEST(TMMBevelTest, SpaceBevelNeitherDrawsNorShrinks)
{
    TMMBevel bevel;
    bevel.SetBevelOuter(bvSpace);
    bevel.SetBevelOuterWidth(3);
    EXPECT_EQ(bevel.BevelExtent(), 3);
    const TPainted p = PaintInto(bevel, 12, 12);
    EXPECT_EQ(p.Inside, Rect(0, 0, 12, 12));
    for (int y = 0; y < 12; ++y) {
        for (int x = 0; x < 12; ++x)
            ASSERT_EQ(p.At(x, y), kBackground) << x << "," << y;
    }
}

TEST(TMMBevelTest, SingleBorderIsOneWindowFramePixelOutsideEverything)
{
    TMMBevel bevel;
    const int before = bevel.BevelExtent();
    bevel.SetBorderStyle(bsSingle);
    bevel.SetOuterLightColor(kOuterLight);
    bevel.SetOuterShadowColor(kOuterShadow);
    EXPECT_EQ(bevel.BevelExtent(), before + 1);
    const TColor frame = ColorToRGB(clWindowFrame);
    const TPainted p = PaintInto(bevel, 10, 8);
    EXPECT_TRUE(RingIs(p, 0, frame, frame));
    EXPECT_TRUE(RingIs(p, 1, kOuterShadow, kOuterLight));
    EXPECT_EQ(p.Inside, Rect(2, 2, 8, 6));
}

TEST(TMMBevelTest, BorderSpaceZeroDrawsNothing)
{
    TMMBevel bevel;
    bevel.SetBevelOuter(bvNone);
    bevel.SetBorderSpaceColor(kSpace);
    const TPainted p = PaintInto(bevel, 6, 6);
    EXPECT_EQ(p.Inside, Rect(0, 0, 6, 6));
    EXPECT_TRUE(RingIs(p, 0, kBackground, kBackground));
}

TEST(TMMBevelTest, RingWiderThanTheControlFillsItAndEndsAtOnce)
{
    TMMBevel bevel;
    bevel.SetBevelOuter(bvNone);
    bevel.SetBorderWidth(INT_MAX);
    bevel.SetBorderColor(kBorder);
    const TPainted p = PaintInto(bevel, 7, 5);
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 7; ++x)
            ASSERT_EQ(p.At(x, y), kBorder) << x << "," << y;
    }
    EXPECT_GT(p.Inside.Left, p.Inside.Right);
    EXPECT_GT(p.Inside.Top, p.Inside.Bottom);
}

TEST(RingFrameTest, ZeroOrNegativeWidthDrawsNothingAndKeepsTheRectangle)
{
    QImage image(5, 5, QImage::Format_RGB32);
    image.fill(ColorToQColor(kBackground));
    QPainter painter(&image);
    TCanvas canvas;
    canvas.SetHandle(&painter);
    TRect r = Rect(0, 0, 5, 5);
    RingFrame(&canvas, r, kBorder, kBorder, 0);
    RingFrame(&canvas, r, kBorder, kBorder, -3);
    canvas.SetHandle(nullptr);
    painter.end();
    EXPECT_EQ(r, Rect(0, 0, 5, 5));
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 5; ++x)
            ASSERT_EQ(QColorToColor(image.pixelColor(x, y)), kBackground);
    }
}

TEST(RingFrameTest, OffsetRectangleOnlyTouchesItsOwnPixels)
{
    QImage image(12, 10, QImage::Format_RGB32);
    image.fill(ColorToQColor(kBackground));
    QPainter painter(&image);
    TCanvas canvas;
    canvas.SetHandle(&painter);
    TRect r = Rect(3, 2, 9, 7);
    RingFrame(&canvas, r, kOuterLight, kOuterShadow, 1);
    canvas.SetHandle(nullptr);
    painter.end();
    EXPECT_EQ(r, Rect(4, 3, 8, 6));
    int touched = 0;
    for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 12; ++x) {
            const TColor c = QColorToColor(image.pixelColor(x, y));
            const bool onRing
                = (x == 3 || x == 8 || y == 2 || y == 6) && x >= 3 && x <= 8 && y >= 2 && y <= 6;
            if (onRing) {
                ++touched;
                const bool top = (y == 2 && x < 8) || (x == 3);
                EXPECT_EQ(c, top ? kOuterLight : kOuterShadow) << x << "," << y;
            } else {
                EXPECT_EQ(c, kBackground) << x << "," << y;
            }
        }
    }
    EXPECT_EQ(touched, 2 * 6 + 2 * 3);
}

} // namespace

#include "MMBevel_test.moc"
