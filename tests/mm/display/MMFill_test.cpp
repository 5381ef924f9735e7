#include "mm/display/MMFill.h"

#include <gtest/gtest.h>

namespace {

// Every pixel of the tile a colour of its own: red = x, green = y.
std::unique_ptr<TBitmap> Tile(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x, y, 200));
    auto bitmap = std::make_unique<TBitmap>();
    bitmap->SetImage(image, pf24bit);
    return bitmap;
}

std::unique_ptr<TBitmap> Blank(int width, int height, TColor color)
{
    auto bitmap = std::make_unique<TBitmap>(width, height, pf32bit);
    bitmap->Canvas()->Brush()->SetColor(color);
    bitmap->Canvas()->FillRect(Rect(0, 0, width, height));
    return bitmap;
}

} // namespace

TEST(TileBitmap, FortyByThirtyIntoHundredBySeventy)
{
    auto tile = Tile(40, 30);
    auto target = Blank(110, 80, clBlack);
    TileBitmap(target->Canvas(), tile.get(), Rect(5, 3, 105, 73), cmSrcCopy);
    const QImage& image = target->Image();
    int wrong = 0;
    for (int y = 0; y < 80; ++y) {
        for (int x = 0; x < 110; ++x) {
            const bool inside = x >= 5 && x < 105 && y >= 3 && y < 73;
            const QRgb expected = inside ? qRgb((x - 5) % 40, (y - 3) % 30, 200) : qRgb(0, 0, 0);
            if ((image.pixel(x, y) & 0xFFFFFF) != (expected & 0xFFFFFF))
                ++wrong;
        }
    }
    EXPECT_EQ(wrong, 0);
    // The last column is 20 pixels wide and the last row 10 high: they hold
    // the tile's top-left part.
    EXPECT_EQ(image.pixel(5 + 80 + 19, 3 + 60 + 9), qRgb(19, 9, 200));
    EXPECT_EQ(image.pixel(5 + 80 + 20, 3 + 60 + 9), qRgb(0, 0, 0));
    EXPECT_EQ(image.pixel(5 + 80 + 19, 3 + 60 + 10), qRgb(0, 0, 0));
}

TEST(TileBitmap, RasterOperationCombinesWithTheTarget)
{
    auto tile = Blank(3, 2, TColor(0x0F0F0F));
    auto target = Blank(7, 5, TColor(0x00FF00));
    TileBitmap(target->Canvas(), tile.get(), Rect(0, 0, 7, 5), cmSrcInvert);
    EXPECT_EQ(target->Image().pixel(0, 0) & 0xFFFFFF, 0x0FF00Fu);
    EXPECT_EQ(target->Image().pixel(6, 4) & 0xFFFFFF, 0x0FF00Fu);
}

TEST(TileBitmap, NothingToDrawDrawsNothing)
{
    auto target = Blank(8, 8, clBlack);
    TBitmap empty;
    TileBitmap(target->Canvas(), &empty, Rect(0, 0, 8, 8), cmSrcCopy);
    TBitmap zeroWide(0, 5);
    TileBitmap(target->Canvas(), &zeroWide, Rect(0, 0, 8, 8), cmSrcCopy);
    TileBitmap(target->Canvas(), nullptr, Rect(0, 0, 8, 8), cmSrcCopy);
    auto tile = Tile(2, 2);
    TileBitmap(target->Canvas(), tile.get(), Rect(6, 6, 2, 2), cmSrcCopy);
    TileBitmap(nullptr, tile.get(), Rect(0, 0, 8, 8), cmSrcCopy);
    int touched = 0;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            touched += (target->Image().pixel(x, y) & 0xFFFFFF) != 0;
    EXPECT_EQ(touched, 0);
}
