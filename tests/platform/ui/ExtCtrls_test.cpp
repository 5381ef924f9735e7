#include "platform/ui/ExtCtrls.h"
#include "platform/ui/Forms.h"

#include <QWidget>
#include <gtest/gtest.h>
#include <memory>

namespace {

QRgb Rgb(TColor color)
{
    return ColorToQColor(color).rgb() | 0xFF000000u;
}

class ExtCtrlsTest : public ::testing::Test {
protected:
    ExtCtrlsTest()
        : Form(std::make_unique<TForm>(nullptr))
    {
        Form->SetPosition(poDesigned);
        Form->SetClientWidth(200);
        Form->SetClientHeight(150);
        Form->SetColor(clWhite);
    }

    QImage Render()
    {
        QWidget* client = Form->ClientHandle();
        QImage image(client->size(), QImage::Format_RGB32);
        client->render(&image);
        return image;
    }

    std::unique_ptr<TForm> Form;
};

} // namespace

TEST(Frame3D, CornersOfTheRingBelongToTheBottomColour)
{
    TBitmap bitmap(10, 8, pf32bit);
    TRect rect = Rect(0, 0, 10, 8);
    Frame3D(bitmap.Canvas(), rect, clRed, clBlue, 2);
    EXPECT_EQ(rect, Rect(2, 2, 8, 6));
    auto at = [&](int x, int y) { return bitmap.Image().pixel(x, y); };
    EXPECT_EQ(at(0, 0), Rgb(clRed));
    EXPECT_EQ(at(8, 0), Rgb(clRed));
    EXPECT_EQ(at(9, 0), Rgb(clBlue)); // top-right: the bottom polyline starts there
    EXPECT_EQ(at(0, 7), Rgb(clBlue)); // bottom-left: the bottom polyline ends one past it
    EXPECT_EQ(at(0, 6), Rgb(clRed));
    EXPECT_EQ(at(1, 7), Rgb(clBlue));
    EXPECT_EQ(at(9, 7), Rgb(clBlue));
    EXPECT_EQ(at(1, 1), Rgb(clRed));
    EXPECT_EQ(at(8, 6), Rgb(clBlue));
    EXPECT_EQ(at(2, 2), Rgb(clWhite));

    TRect untouched = Rect(0, 0, 4, 4);
    Frame3D(bitmap.Canvas(), untouched, clRed, clBlue, 0);
    EXPECT_EQ(untouched, Rect(0, 0, 4, 4));
}

TEST_F(ExtCtrlsTest, PanelDrawsItsBevelsBorderAndCaption)
{
    auto* panel = new TPanel(Form.get());
    panel->SetParent(Form.get());
    panel->SetBounds(10, 10, 100, 60);
    panel->SetBevelInner(bvLowered);
    panel->SetBorderWidth(2);
    panel->SetColor(clTeal);
    panel->SetCaption("Mid");
    panel->Font()->SetColor(clYellow);
    EXPECT_EQ(panel->FrameExtent(), 4);
    Form->Show();
    const QImage image = Render();
    // Outer raised ring.
    EXPECT_EQ(image.pixel(10, 10), Rgb(clBtnHighlight));
    EXPECT_EQ(image.pixel(109, 10), Rgb(clBtnShadow));
    EXPECT_EQ(image.pixel(10, 68), Rgb(clBtnHighlight));
    EXPECT_EQ(image.pixel(10, 69), Rgb(clBtnShadow));
    EXPECT_EQ(image.pixel(109, 69), Rgb(clBtnShadow));
    // Border in the panel colour, then the lowered inner ring.
    EXPECT_EQ(image.pixel(11, 30), Rgb(clTeal));
    EXPECT_EQ(image.pixel(12, 30), Rgb(clTeal));
    EXPECT_EQ(image.pixel(13, 30), Rgb(clBtnShadow));
    EXPECT_EQ(image.pixel(106, 30), Rgb(clBtnHighlight));
    EXPECT_EQ(image.pixel(14, 30), Rgb(clTeal));
    // The caption sits in the middle.
    int inkLeft = 1000;
    int inkRight = -1;
    for (int y = 14; y < 66; ++y)
        for (int x = 14; x < 106; ++x)
            if ((image.pixel(x, y) | 0xFF000000u) != Rgb(clTeal)) {
                inkLeft = std::min(inkLeft, x);
                inkRight = std::max(inkRight, x);
            }
    ASSERT_GE(inkRight, 0);
    EXPECT_NEAR((inkLeft + inkRight + 1) / 2.0, 60, 1.5);
    EXPECT_EQ(image.pixel(111, 30), Rgb(clWhite));
}

TEST_F(ExtCtrlsTest, BevelShapes)
{
    auto* box = new TBevel(Form.get());
    box->SetParent(Form.get());
    box->SetBounds(0, 0, 20, 10);
    auto* line = new TBevel(Form.get());
    line->SetParent(Form.get());
    line->SetBounds(0, 20, 30, 2);
    line->SetShape(bsTopLine);
    auto* raised = new TBevel(Form.get());
    raised->SetParent(Form.get());
    raised->SetBounds(0, 30, 2, 10);
    raised->SetShape(bsLeftLine);
    raised->SetStyle(bsRaised);
    auto* frame = new TBevel(Form.get());
    frame->SetParent(Form.get());
    frame->SetBounds(50, 0, 20, 10);
    frame->SetShape(bsFrame);
    Form->Show();
    const QImage image = Render();
    // Box: lowered; the outline lies inside (0, 0)..(19, 9).
    EXPECT_EQ(image.pixel(0, 0), Rgb(clBtnShadow));
    EXPECT_EQ(image.pixel(18, 0), Rgb(clBtnShadow));
    EXPECT_EQ(image.pixel(19, 0), Rgb(clBtnHighlight));
    EXPECT_EQ(image.pixel(19, 9), Rgb(clBtnHighlight));
    EXPECT_EQ(image.pixel(5, 5), Rgb(clWhite));
    // Top line: shadow over highlight, all the way across.
    EXPECT_EQ(image.pixel(0, 20), Rgb(clBtnShadow));
    EXPECT_EQ(image.pixel(29, 20), Rgb(clBtnShadow));
    EXPECT_EQ(image.pixel(29, 21), Rgb(clBtnHighlight));
    // Raised left line: highlight then shadow.
    EXPECT_EQ(image.pixel(0, 35), Rgb(clBtnHighlight));
    EXPECT_EQ(image.pixel(1, 35), Rgb(clBtnShadow));
    // Frame: a shadow outline and a highlight one offset by a pixel.
    EXPECT_EQ(image.pixel(50, 0), Rgb(clBtnShadow));
    EXPECT_EQ(image.pixel(51, 1), Rgb(clBtnHighlight));
    EXPECT_EQ(image.pixel(69, 9), Rgb(clBtnHighlight));
}

TEST_F(ExtCtrlsTest, ImageShowsItsPicturePlainCentredOrStretched)
{
    TBitmap picture(4, 2, pf24bit);
    picture.Canvas()->Brush()->SetColor(clRed);
    picture.Canvas()->FillRect(Rect(0, 0, 2, 2));
    picture.Canvas()->Brush()->SetColor(clBlue);
    picture.Canvas()->FillRect(Rect(2, 0, 4, 2));
    auto* image = new TImage(Form.get());
    image->SetParent(Form.get());
    image->SetBounds(10, 10, 40, 20);
    image->Picture()->SetGraphic(&picture);
    Form->Show();
    QImage shot = Render();
    EXPECT_EQ(shot.pixel(10, 10), Rgb(clRed));
    EXPECT_EQ(shot.pixel(13, 11), Rgb(clBlue));
    EXPECT_EQ(shot.pixel(14, 10), Rgb(clWhite));
    EXPECT_EQ(shot.pixel(10, 12), Rgb(clWhite));

    image->SetCenter(true);
    shot = Render();
    EXPECT_EQ(image->DestRect(), Rect(18, 9, 22, 11));
    EXPECT_EQ(shot.pixel(28, 19), Rgb(clRed));
    EXPECT_EQ(shot.pixel(31, 20), Rgb(clBlue));
    EXPECT_EQ(shot.pixel(27, 19), Rgb(clWhite));

    image->SetStretch(true);
    shot = Render();
    EXPECT_EQ(shot.pixel(10, 10), Rgb(clRed));
    EXPECT_EQ(shot.pixel(29, 29), Rgb(clRed));
    EXPECT_EQ(shot.pixel(30, 10), Rgb(clBlue));
    EXPECT_EQ(shot.pixel(49, 29), Rgb(clBlue));
    EXPECT_TRUE(image->ControlStyle() & csOpaque);

    // Transparent: the colour of the bottom-left pixel lets the parent through.
    image->SetTransparent(true);
    shot = Render();
    EXPECT_EQ(shot.pixel(10, 10), Rgb(clWhite));
    EXPECT_EQ(shot.pixel(49, 29), Rgb(clBlue));

    image->SetAutoSize(true);
    image->Picture()->Bitmap()->SetSize(7, 3);
    EXPECT_EQ(image->Width(), 7);
    EXPECT_EQ(image->Height(), 3);
}
