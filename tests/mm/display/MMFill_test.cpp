#include "mm/display/MMFill.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/FormWriter.h"
#include "platform/ui/Forms.h"
#include "support/FormText.h"

#include <QApplication>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>

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

namespace {

QRgb Rgb(TColor color)
{
    return ColorToQColor(color).rgb() | 0xFF000000u;
}

class MMPanelFillTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Form = std::make_unique<TForm>(nullptr);
        Form->SetName("AnaForm");
        Form->SetBounds(0, 0, 300, 200);
        List = new TMMBitmapList(Form.get());
        List->SetName("Pictures");
        First = Tile(8, 8);
        Second = Tile(40, 30);
        List->Add(First.get());
        List->Add(Second.get());
        Panel = new TMMPanelFill(Form.get());
        Panel->SetName("RtukPanel");
        Panel->SetParent(Form.get());
        Panel->SetBounds(5, 5, 100, 70);
        Panel->SetColor(TColor(5718462));
    }

    QImage Grab()
    {
        Form->Show();
        QApplication::processEvents();
        return Panel->Handle()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    }

    std::unique_ptr<TForm> Form;
    TMMBitmapList* List = nullptr;
    TMMPanelFill* Panel = nullptr;
    std::unique_ptr<TBitmap> First;
    std::unique_ptr<TBitmap> Second;
};

const QRgb kRtuk = qRgb(190, 65, 87);

} // namespace

TEST_F(MMPanelFillTest, Defaults)
{
    TMMPanelFill fresh(nullptr);
    EXPECT_EQ(fresh.BitmapIndex(), -1);
    EXPECT_EQ(fresh.BitmapList(), nullptr);
    EXPECT_TRUE(fresh.FillBevel());
    EXPECT_FALSE(fresh.DrawBorder());
    EXPECT_FALSE(fresh.HasBitmap());
}

TEST_F(MMPanelFillTest, WithoutAListItPaintsItsColourInsideALoweredRing)
{
    Panel->SetBitmapIndex(1);
    const QImage image = Grab();
    EXPECT_EQ(image.pixel(0, 30), Rgb(clBtnShadow));
    EXPECT_EQ(image.pixel(99, 30), Rgb(clBtnHighlight));
    EXPECT_EQ(image.pixel(1, 1), kRtuk);
    EXPECT_EQ(image.pixel(50, 35), kRtuk);
}

TEST_F(MMPanelFillTest, BitmapIndexClampsBelowOnly)
{
    Panel->SetBitmapList(List);
    Panel->SetBitmapIndex(-7);
    EXPECT_EQ(Panel->BitmapIndex(), -1);
    Panel->SetBitmapIndex(5);
    EXPECT_EQ(Panel->BitmapIndex(), 5);
    EXPECT_FALSE(Panel->HasBitmap());
    EXPECT_EQ(Grab().pixel(50, 35), kRtuk);
    int fills = 0;
    Panel->SetOnFillPanel([&](TObject* sender, TCanvas* canvas, TRect r) {
        EXPECT_EQ(sender, Panel);
        EXPECT_EQ(r, Rect(0, 0, 100, 70));
        ++fills;
        canvas->Brush()->SetColor(clNavy);
        canvas->FillRect(r);
    });
    const QImage image = Grab();
    EXPECT_GE(fills, 1);
    EXPECT_EQ(image.pixel(50, 35), Rgb(clNavy));
    // The bevel is drawn over what the handler painted.
    EXPECT_EQ(image.pixel(0, 35), Rgb(clBtnShadow));
}

TEST_F(MMPanelFillTest, TilesTheBitmapUnderTheBevel)
{
    Panel->SetBitmapList(List);
    Panel->SetBitmapIndex(1);
    Panel->Bevel()->SetBorderWidth(3);
    Panel->Bevel()->SetBorderColor(clRed);
    ASSERT_TRUE(Panel->HasBitmap());
    QImage image = Grab();
    EXPECT_EQ(image.pixel(0, 20), Rgb(clBtnShadow));
    // The border ring shows the tiles, and so does the inside.
    EXPECT_EQ(image.pixel(2, 20), qRgb(2, 20, 200));
    int wrong = 0;
    for (int y = 4; y < 66; ++y)
        for (int x = 4; x < 96; ++x)
            wrong += image.pixel(x, y) != qRgb(x % 40, y % 30, 200);
    EXPECT_EQ(wrong, 0);
    // Without FillBevel the border ring has its own colour.
    Panel->SetFillBevel(false);
    EXPECT_TRUE(Panel->DrawBorder());
    image = Grab();
    EXPECT_EQ(image.pixel(2, 20), Rgb(clRed));
    EXPECT_EQ(image.pixel(50, 40), qRgb(10, 10, 200));
}

TEST_F(MMPanelFillTest, ListChangesRepaintAtOnce)
{
    Panel->SetBitmapList(List);
    Panel->SetBitmapIndex(0);
    Grab();
    int paints = 0;
    Panel->SetOnFillPanel([&](TObject*, TCanvas*, TRect) { ++paints; });
    List->Add(First.get());
    EXPECT_EQ(paints, 1);
    List->Bitmaps(0)->SetWidth(4);
    EXPECT_EQ(paints, 2);
    Panel->SetBitmapList(nullptr);
    const int before = paints;
    List->Add(First.get());
    EXPECT_EQ(paints, before);
}

TEST_F(MMPanelFillTest, DestroyedListOfTheSameFormIsForgotten)
{
    Panel->SetBitmapList(List);
    Panel->SetBitmapIndex(1);
    EXPECT_EQ(Grab().pixel(50, 40), qRgb(10, 10, 200));
    delete List;
    List = nullptr;
    EXPECT_EQ(Panel->BitmapList(), nullptr);
    EXPECT_FALSE(Panel->HasBitmap());
    EXPECT_EQ(Grab().pixel(50, 40), kRtuk);
}

TEST_F(MMPanelFillTest, DestroyedListOfAnotherFormIsForgotten)
{
    auto other = std::make_unique<TForm>(nullptr);
    auto* foreign = new TMMBitmapList(other.get());
    foreign->Add(Second.get());
    Panel->SetBitmapList(foreign);
    Panel->SetBitmapIndex(0);
    EXPECT_EQ(Grab().pixel(50, 40), qRgb(10, 10, 200));
    other.reset();
    EXPECT_EQ(Panel->BitmapList(), nullptr);
    EXPECT_EQ(Grab().pixel(50, 40), kRtuk);
}

TEST_F(MMPanelFillTest, PanelDestroyedFirstLeavesTheListWithoutObservers)
{
    Panel->SetBitmapList(List);
    delete Panel;
    Panel = nullptr;
    List->Add(First.get());
    EXPECT_EQ(List->Count(), 3);
}

TEST_F(MMPanelFillTest, StoredFormKeepsTheListReference)
{
    RegisterClass<TForm>();
    Panel->SetBitmapList(List);
    Panel->SetBitmapIndex(1);
    const QByteArray text = ComponentToText(Form.get());
    EXPECT_TRUE(text.contains("BitmapList = Pictures")) << text.constData();
    EXPECT_TRUE(text.contains("BitmapIndex = 1"));
    EXPECT_FALSE(text.contains("FillBevel"));
    TForm copy(nullptr);
    tonvara::test::ReadFormText(text, &copy, "fill.form");
    auto* panel = copy.FindComponent<TMMPanelFill>("RtukPanel");
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->BitmapList(), copy.FindComponent<TMMBitmapList>("Pictures"));
    EXPECT_TRUE(panel->HasBitmap());
}
