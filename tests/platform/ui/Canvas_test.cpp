#include "platform/ui/Bitmap.h"
#include "platform/ui/Canvas.h"

#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>
#include <vector>

namespace {

// A white 32-bit bitmap to paint on.
class CanvasTest : public ::testing::Test {
protected:
    CanvasTest()
        : Bmp(40, 30, pf32bit)
    {
    }

    QRgb At(int x, int y) { return Bmp.Image().pixel(x, y) & 0xFFFFFFu; }

    // Pixels of any colour but white in the rectangle (l, t)..(r, b) excluded.
    int Inked(int l, int t, int r, int b) { return (r - l) * (b - t) - Count(l, t, r, b, 0xFFFFFF); }

    // Pixels of colour c in the rectangle (l, t)..(r, b) excluded.
    int Count(int l, int t, int r, int b, QRgb c)
    {
        int n = 0;
        for (int y = t; y < b; ++y)
            for (int x = l; x < r; ++x)
                n += At(x, y) == c;
        return n;
    }

    TBitmap Bmp;
    TCanvas* Canvas() { return Bmp.Canvas(); }
};

constexpr QRgb kWhite = 0xFFFFFF;
constexpr QRgb kBlack = 0x000000;
constexpr QRgb kRed = 0xFF0000;
constexpr QRgb kBlue = 0x0000FF;

} // namespace

TEST_F(CanvasTest, FillRectCoversExactlyItsPixels)
{
    Canvas()->Brush()->SetColor(clRed);
    Canvas()->FillRect(Rect(0, 0, 10, 10));
    EXPECT_EQ(Count(0, 0, 40, 30, kRed), 100);
    EXPECT_EQ(At(9, 9), kRed);
    EXPECT_EQ(At(10, 9), kWhite);
    EXPECT_EQ(At(9, 10), kWhite);

    Canvas()->Brush()->SetStyle(bsClear);
    Canvas()->FillRect(Rect(20, 20, 30, 30));
    EXPECT_EQ(At(25, 25), kWhite);
}

TEST_F(CanvasTest, LineToLeavesOutTheEndPoint)
{
    Canvas()->Pen()->SetColor(clBlue);
    Canvas()->MoveTo(0, 0);
    Canvas()->LineTo(10, 0);
    EXPECT_EQ(Count(0, 0, 40, 1, kBlue), 10);
    EXPECT_EQ(At(9, 0), kBlue);
    EXPECT_EQ(At(10, 0), kWhite);
    EXPECT_EQ(Canvas()->PenPos(), Point(10, 0));

    // Vertical, then diagonal: one pixel per step of the longer axis, the end left out.
    Canvas()->LineTo(10, 5);
    EXPECT_EQ(Count(10, 0, 11, 6, kBlue), 5);
    EXPECT_EQ(At(10, 5), kWhite);
    Canvas()->MoveTo(20, 10);
    Canvas()->LineTo(28, 14);
    EXPECT_EQ(Count(20, 10, 30, 16, kBlue), 8);
    EXPECT_EQ(At(20, 10), kBlue);
    EXPECT_EQ(At(28, 14), kWhite);
}

TEST_F(CanvasTest, LinesLeaveOutTheirEndWhicheverTheDirection)
{
    Canvas()->Pen()->SetColor(clBlue);
    Canvas()->MoveTo(10, 3);
    Canvas()->LineTo(0, 3);
    EXPECT_EQ(Count(0, 3, 40, 4, kBlue), 10);
    EXPECT_EQ(At(10, 3), kBlue);
    EXPECT_EQ(At(0, 3), kWhite);
    Canvas()->MoveTo(30, 20);
    Canvas()->LineTo(30, 10);
    EXPECT_EQ(Count(30, 0, 31, 30, kBlue), 10);
    EXPECT_EQ(At(30, 20), kBlue);
    EXPECT_EQ(At(30, 10), kWhite);
    Canvas()->MoveTo(8, 20);
    Canvas()->LineTo(0, 16);
    EXPECT_EQ(Count(0, 15, 9, 21, kBlue), 8);
    EXPECT_EQ(At(8, 20), kBlue);
    EXPECT_EQ(At(0, 16), kWhite);
}

TEST_F(CanvasTest, PolylineIsOneStrokeWithoutItsLastPoint)
{
    Canvas()->Pen()->SetColor(clBlack);
    Canvas()->Polyline({ Point(2, 2), Point(2, 12), Point(12, 12) });
    EXPECT_EQ(Count(0, 0, 40, 30, kBlack), 20);
    EXPECT_EQ(At(2, 2), kBlack);
    EXPECT_EQ(At(2, 12), kBlack);
    EXPECT_EQ(At(11, 12), kBlack);
    EXPECT_EQ(At(12, 12), kWhite);
}

// A combining pen sets every pixel of a stroke once, however the stroke's
// pixels fall into rows and columns: XOR in white on white leaves black
// exactly where a copying pen draws, and white where a pixel were set twice.
TEST(CanvasStroke, SetsEachPixelOnce)
{
    const std::vector<std::vector<TPoint>> strokes = {
        { Point(3, 2), Point(3, 25) },
        { Point(30, 25), Point(30, 2), Point(36, 2) },
        { Point(2, 2), Point(12, 2), Point(12, 12), Point(2, 12), Point(2, 2) },
        { Point(5, 5), Point(5, 20), Point(5, 8), Point(9, 8), Point(9, 20), Point(20, 26) },
        { Point(1, 1), Point(6, 28), Point(11, 1), Point(16, 28) },
    };
    for (const auto& stroke : strokes) {
        TBitmap copy(40, 30, pf32bit), combined(40, 30, pf32bit);
        copy.Canvas()->Pen()->SetColor(clBlack);
        copy.Canvas()->Polyline(stroke);
        combined.Canvas()->Pen()->SetColor(clWhite);
        combined.Canvas()->Pen()->SetMode(pmXor);
        combined.Canvas()->Polyline(stroke);
        int inked = 0;
        for (int y = 0; y < 30; ++y) {
            for (int x = 0; x < 40; ++x) {
                const QRgb want = copy.Image().pixel(x, y) & 0xFFFFFFu;
                inked += want == kBlack;
                ASSERT_EQ(combined.Image().pixel(x, y) & 0xFFFFFFu, want)
                    << "stroke of " << stroke.size() << " points at " << x << "," << y;
            }
        }
        EXPECT_GT(inked, 20);
    }
}

TEST_F(CanvasTest, RectangleOutlinesInsideItsBounds)
{
    Canvas()->Pen()->SetColor(clBlack);
    Canvas()->Brush()->SetColor(clRed);
    Canvas()->Rectangle(5, 5, 15, 12);
    // Outline: 10 x 7 box, interior 8 x 5.
    EXPECT_EQ(Count(0, 0, 40, 30, kBlack), 2 * 10 + 2 * 5);
    EXPECT_EQ(Count(0, 0, 40, 30, kRed), 8 * 5);
    EXPECT_EQ(At(5, 5), kBlack);
    EXPECT_EQ(At(14, 11), kBlack);
    EXPECT_EQ(At(15, 11), kWhite);
    EXPECT_EQ(At(14, 12), kWhite);
    EXPECT_EQ(At(6, 6), kRed);

    Canvas()->Brush()->SetStyle(bsClear);
    Canvas()->Pen()->SetColor(clBlue);
    Canvas()->Rectangle(Rect(20, 20, 24, 24));
    EXPECT_EQ(Count(20, 20, 25, 25, kBlue), 12);
    EXPECT_EQ(At(21, 21), kWhite);
}

TEST_F(CanvasTest, FrameRectUsesTheBrush)
{
    Canvas()->Brush()->SetColor(clBlue);
    Canvas()->FrameRect(Rect(1, 1, 6, 6));
    EXPECT_EQ(Count(0, 0, 40, 30, kBlue), 16);
    EXPECT_EQ(At(3, 3), kWhite);
}

TEST_F(CanvasTest, EllipseAndPolygonStayInsideTheirBounds)
{
    Canvas()->Pen()->SetColor(clBlack);
    Canvas()->Brush()->SetColor(clRed);
    Canvas()->Ellipse(0, 0, 21, 21);
    EXPECT_EQ(At(10, 10), kRed);
    EXPECT_EQ(At(0, 10), kBlack);
    EXPECT_EQ(At(10, 0), kBlack);
    EXPECT_EQ(At(0, 0), kWhite);
    EXPECT_EQ(Count(21, 0, 40, 30, kBlack) + Count(0, 21, 21, 30, kBlack), 0);

    Canvas()->Brush()->SetColor(clBlue);
    Canvas()->Pen()->SetStyle(psClear);
    Canvas()->Polygon({ Point(25, 2), Point(39, 2), Point(39, 16) });
    EXPECT_EQ(At(37, 4), kBlue);
    EXPECT_EQ(At(26, 14), kWhite);
}

TEST_F(CanvasTest, PenModeNotXorAndXorUndoThemselves)
{
    Canvas()->Brush()->SetColor(clRed);
    Canvas()->FillRect(Rect(0, 0, 40, 30));
    Canvas()->Pen()->SetMode(pmXor);
    Canvas()->Pen()->SetColor(clWhite);
    Canvas()->MoveTo(0, 5);
    Canvas()->LineTo(20, 5);
    EXPECT_EQ(At(3, 5), 0x00FFFFu);
    Canvas()->MoveTo(0, 5);
    Canvas()->LineTo(20, 5);
    EXPECT_EQ(At(3, 5), kRed);

    Canvas()->Pen()->SetMode(pmNotXor);
    Canvas()->Pen()->SetColor(clBlack);
    Canvas()->MoveTo(0, 8);
    Canvas()->LineTo(20, 8);
    EXPECT_EQ(At(3, 8), 0x00FFFFu);
    Canvas()->MoveTo(0, 8);
    Canvas()->LineTo(20, 8);
    EXPECT_EQ(At(3, 8), kRed);
}

TEST_F(CanvasTest, PixelsReadAndWrite)
{
    Canvas()->SetPixels(3, 4, clLime);
    EXPECT_EQ(At(3, 4), 0x00FF00u);
    EXPECT_EQ(Canvas()->Pixels(3, 4), clLime);
    EXPECT_EQ(Canvas()->Pixels(0, 0), clWhite);
    EXPECT_EQ(Canvas()->Pixels(40, 0), TColor(-1));
}

TEST_F(CanvasTest, TextOutDrawsInTheFontColourOnTheBrush)
{
    Canvas()->Font()->SetColor(clBlack);
    Canvas()->Font()->SetHeight(-16);
    Canvas()->Brush()->SetColor(clYellow);
    const int width = Canvas()->TextWidth("W");
    const int height = Canvas()->TextHeight("W");
    EXPECT_GT(width, 5);
    EXPECT_GE(height, 16);
    Canvas()->TextOut(2, 3, "W");
    EXPECT_EQ(Canvas()->PenPos(), Point(2 + width, 3));
    // The text cell is the brush colour except where the letter is.
    EXPECT_EQ(At(2, 3), 0xFFFF00u);
    EXPECT_GT(Count(2, 3, 2 + width, 3 + height, kBlack), 5);
    EXPECT_EQ(At(2 + width, 3), kWhite);

    Canvas()->Brush()->SetStyle(bsClear);
    Canvas()->TextOut(20, 3, "W");
    EXPECT_EQ(Count(20, 3, 20 + width, 3 + height, 0xFFFF00u), 0);
}

TEST(CanvasText, TurnedTextRunsUpFromItsStartingPoint)
{
    TBitmap bitmap(60, 60, pf32bit);
    TCanvas* canvas = bitmap.Canvas();
    canvas->Brush()->SetStyle(bsClear);
    canvas->Font()->SetHeight(-16);
    canvas->Font()->SetColor(clBlack);
    canvas->Font()->SetOrientation(900);
    const int width = canvas->TextWidth("MMM");
    canvas->TextOut(10, 55, "MMM");
    // Turned a quarter counter-clockwise: the text goes up from (10, 55), its
    // cell lying to the right of x 10 and below y 55 - width.
    int inkTop = 60;
    int inkBottom = -1;
    int inkLeft = 60;
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 60; ++x)
            if ((bitmap.Image().pixel(x, y) & 0xFFFFFFu) != 0xFFFFFFu) {
                inkTop = std::min(inkTop, y);
                inkBottom = std::max(inkBottom, y);
                inkLeft = std::min(inkLeft, x);
            }
    EXPECT_GE(inkTop, 55 - width - 1);
    EXPECT_LE(inkBottom, 55);
    EXPECT_GT(inkBottom - inkTop, width / 2);
    EXPECT_GE(inkLeft, 10);
    EXPECT_EQ(canvas->TextWidth("MMM"), width);
}

TEST_F(CanvasTest, DrawTextAlignsAndCalculates)
{
    Canvas()->Font()->SetHeight(-11);
    Canvas()->Brush()->SetStyle(bsClear);
    const int width = Canvas()->TextWidth("Ab");
    const int height = Canvas()->TextHeight("Ab");

    TRect calc = Rect(5, 5, 5, 5);
    EXPECT_EQ(Canvas()->DrawText("Ab", calc, DT_CALCRECT | DT_SINGLELINE), height);
    EXPECT_EQ(calc, Rect(5, 5, 5 + width, 5 + height));
    EXPECT_EQ(Count(0, 0, 40, 30, kWhite), 40 * 30);

    // Two lines by word break.
    TRect wrap = Rect(0, 0, Canvas()->TextWidth("Ab") + 2, 0);
    EXPECT_EQ(Canvas()->DrawText("Ab Ab", wrap, DT_CALCRECT | DT_WORDBREAK), 2 * height);

    // A prefix mark is not drawn and does not count; "&&" is one '&'.
    TRect prefix = Rect(0, 0, 0, 0);
    Canvas()->DrawText("&Ab", prefix, DT_CALCRECT | DT_SINGLELINE);
    EXPECT_EQ(prefix.Right, width);
    Canvas()->DrawText("&Ab", prefix, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    EXPECT_EQ(prefix.Right, Canvas()->TextWidth("&Ab"));

    // Centred in a box: black pixels only in the middle part, none outside the box (clipped).
    Canvas()->Font()->SetColor(clBlack);
    TRect box = Rect(0, 0, 40, 30);
    const int offset = Canvas()->DrawText("Ab", box, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    EXPECT_EQ(offset, (30 - height) / 2 + height);
    const int left = (40 - width) / 2;
    EXPECT_EQ(Inked(0, 0, left, 30), 0);
    EXPECT_EQ(Inked(left + width + 1, 0, 40, 30), 0);
    EXPECT_GT(Inked(left, 0, left + width + 1, 30), 10);
    EXPECT_EQ(Inked(0, 0, 40, (30 - height) / 2), 0);
}

TEST_F(CanvasTest, DrawTextRightAlignsAndUnderlinesThePrefixedCharacter)
{
    Canvas()->Brush()->SetStyle(bsClear);
    Canvas()->Font()->SetColor(clBlack);
    TRect box = Rect(0, 0, 40, 30);
    Canvas()->DrawText("&x", box, DT_RIGHT | DT_SINGLELINE);
    const int width = Canvas()->TextWidth("x");
    EXPECT_EQ(Count(0, 0, 40 - width, 30, kBlack), 0);
    // The underline sits one pixel under the baseline, as wide as the character.
    const int underline = QFontMetrics(Canvas()->Font()->Handle()).ascent() + 1;
    EXPECT_EQ(Count(40 - width, underline, 40, underline + 1, kBlack), width);
}

TEST_F(CanvasTest, CopyRectAndRasterOperations)
{
    TBitmap source(4, 4, pf32bit);
    source.Canvas()->Brush()->SetColor(clRed);
    source.Canvas()->FillRect(Rect(0, 0, 4, 4));
    source.Canvas()->SetPixels(0, 0, clBlue);

    Canvas()->CopyRect(Rect(10, 10, 14, 14), source.Canvas(), Rect(0, 0, 4, 4));
    EXPECT_EQ(At(10, 10), kBlue);
    EXPECT_EQ(At(13, 13), kRed);
    EXPECT_EQ(At(14, 14), kWhite);

    // Stretched twice as large, nearest pixel.
    Canvas()->CopyRect(Rect(20, 10, 28, 18), source.Canvas(), Rect(0, 0, 4, 4));
    EXPECT_EQ(At(21, 11), kBlue);
    EXPECT_EQ(At(22, 11), kRed);

    // XOR twice restores; AND with red keeps the red part of white.
    Canvas()->SetCopyMode(cmSrcInvert);
    Canvas()->CopyRect(Rect(0, 0, 4, 4), source.Canvas(), Rect(0, 0, 4, 4));
    EXPECT_EQ(At(1, 1), 0x00FFFFu);
    Canvas()->CopyRect(Rect(0, 0, 4, 4), source.Canvas(), Rect(0, 0, 4, 4));
    EXPECT_EQ(At(1, 1), kWhite);
    Canvas()->SetCopyMode(cmSrcAnd);
    Canvas()->CopyRect(Rect(0, 0, 4, 4), source.Canvas(), Rect(0, 0, 4, 4));
    EXPECT_EQ(At(1, 1), kRed);
    Canvas()->SetCopyMode(cmBlackness);
    Canvas()->CopyRect(Rect(0, 0, 2, 2), source.Canvas(), Rect(0, 0, 2, 2));
    EXPECT_EQ(At(1, 1), kBlack);
    EXPECT_EQ(At(2, 2), kRed);
    // A ternary code without a shortcut: source OR NOT destination (0xDD0228).
    Canvas()->SetCopyMode(0x00DD0228);
    Canvas()->CopyRect(Rect(0, 0, 1, 1), source.Canvas(), Rect(1, 1, 2, 2));
    EXPECT_EQ(At(0, 0), 0xFFFFFFu);

    // Copies within the same canvas read before they write.
    Canvas()->SetCopyMode(cmSrcCopy);
    Canvas()->CopyRect(Rect(11, 10, 15, 14), Canvas(), Rect(10, 10, 14, 14));
    EXPECT_EQ(At(11, 10), kBlue);
    EXPECT_EQ(At(12, 10), kRed);
}

TEST_F(CanvasTest, BrushCopyReplacesTheKeyColour)
{
    TBitmap glyph(3, 1, pf24bit);
    glyph.Canvas()->SetPixels(0, 0, clLime);
    glyph.Canvas()->SetPixels(1, 0, clBlack);
    glyph.Canvas()->SetPixels(2, 0, clLime);
    Canvas()->Brush()->SetColor(clNavy);
    Canvas()->BrushCopy(Rect(0, 0, 3, 1), &glyph, Rect(0, 0, 3, 1), clLime);
    EXPECT_EQ(At(0, 0), 0x000080u);
    EXPECT_EQ(At(1, 0), kBlack);
    EXPECT_EQ(At(2, 0), 0x000080u);
}

TEST_F(CanvasTest, DrawHonoursTransparency)
{
    TBitmap glyph(2, 2, pf24bit);
    glyph.Canvas()->Brush()->SetColor(clFuchsia);
    glyph.Canvas()->FillRect(Rect(0, 0, 2, 2));
    glyph.Canvas()->SetPixels(1, 0, clRed);
    Canvas()->Draw(5, 5, &glyph);
    EXPECT_EQ(At(5, 5), 0xFF00FFu);
    glyph.SetTransparent(true);
    EXPECT_EQ(glyph.TransparentColor(), clFuchsia);
    Canvas()->Draw(10, 5, &glyph);
    EXPECT_EQ(At(10, 5), kWhite);
    EXPECT_EQ(At(11, 5), kRed);
    Canvas()->StretchDraw(Rect(20, 20, 24, 24), &glyph);
    EXPECT_EQ(At(22, 20), kRed);
    EXPECT_EQ(At(23, 21), kRed);
    EXPECT_EQ(At(20, 22), kWhite);
}

TEST(CanvasOnWidget, ReadsTheBackingImageWhilePainting)
{
    // A canvas given a painter on an image with an offset reads where it paints.
    QImage target(20, 20, QImage::Format_RGB32);
    target.fill(Qt::green);
    QPainter painter(&target);
    painter.translate(5, 5);
    TCanvas canvas;
    canvas.SetHandle(&painter);
    EXPECT_EQ(canvas.Pixels(0, 0), clLime);
    canvas.Brush()->SetColor(clRed);
    canvas.FillRect(Rect(0, 0, 2, 2));
    EXPECT_EQ(canvas.Pixels(1, 1), clRed);
    EXPECT_EQ(target.pixel(6, 6) & 0xFFFFFFu, kRed);
    EXPECT_EQ(target.pixel(4, 4) & 0xFFFFFFu, 0x00FF00u);
    EXPECT_EQ(canvas.ClipRect(), Rect(0, 0, 20, 20));
    canvas.SetHandle(nullptr);

    // Without a painter nothing is drawn, but text can be measured.
    EXPECT_EQ(canvas.Handle(), nullptr);
    canvas.FillRect(Rect(0, 0, 5, 5));
    EXPECT_GT(canvas.TextWidth("abc"), 0);
    EXPECT_EQ(canvas.Pixels(0, 0), TColor(-1));
}

TEST(CanvasLock, IsRecursive)
{
    TCanvas canvas;
    canvas.Lock();
    EXPECT_TRUE(canvas.TryLock());
    EXPECT_EQ(canvas.LockCount(), 2);
    canvas.Unlock();
    canvas.Unlock();
    EXPECT_EQ(canvas.LockCount(), 0);
}
