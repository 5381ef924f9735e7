#include "platform/ui/Buttons.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/FormWriter.h"
#include "platform/ui/Forms.h"
#include "support/FormText.h"

#include <QBuffer>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>

namespace {

class BitBtnTest : public ::testing::Test {
protected:
    BitBtnTest()
        : Form(std::make_unique<TForm>(nullptr))
    {
        Form->SetPosition(poDesigned);
        Form->SetClientWidth(200);
        Form->SetClientHeight(100);
        Button = new TBitBtn(Form.get());
        Button->SetName("BitBtn1");
        Button->SetParent(Form.get());
        Button->SetBounds(0, 0, 89, 25);
    }

    QImage Render()
    {
        QWidget* client = Form->ClientHandle();
        QImage image(client->size(), QImage::Format_RGB32);
        client->render(&image);
        return image;
    }

    // Pixels of Color in the button's columns x0..x1.
    int Count(const QImage& image, QRgb color, int x0, int x1)
    {
        int n = 0;
        for (int y = 0; y < 25; ++y)
            for (int x = x0; x < x1; ++x)
                n += (image.pixel(x, y) | 0xFF000000u) == (color | 0xFF000000u);
        return n;
    }

    std::unique_ptr<TForm> Form;
    TBitBtn* Button;
};

constexpr QRgb kCheckGreen = qRgb(0, 128, 0);

} // namespace

TEST_F(BitBtnTest, KindsSetRoleResultCaptionAndGlyph)
{
    Button->SetKind(bkOK);
    EXPECT_EQ(Button->Caption(), "OK");
    EXPECT_EQ(Button->ModalResult(), mrOk);
    EXPECT_TRUE(Button->Default());
    EXPECT_FALSE(Button->Cancel());
    ASSERT_NE(Button->ShownGlyph(), nullptr);
    EXPECT_EQ(Button->ShownGlyph()->Width(), 36);
    EXPECT_EQ(Button->ShownGlyph()->Height(), 18);
    EXPECT_TRUE(Button->Glyph()->Empty());

    Button->SetKind(bkNo);
    EXPECT_EQ(Button->Caption(), "&No");
    EXPECT_EQ(Button->ModalResult(), mrNo);
    EXPECT_TRUE(Button->Cancel());
    EXPECT_FALSE(Button->Default());
    Button->SetKind(bkIgnore);
    EXPECT_EQ(Button->ModalResult(), mrIgnore);
    Button->SetKind(bkCustom);
    EXPECT_EQ(Button->ShownGlyph(), nullptr);
    EXPECT_EQ(TBitBtn::KindCaption(bkHelp), "&Help");
}

TEST_F(BitBtnTest, GlyphAndCaptionAreCentredTogether)
{
    Button->SetKind(bkOK);
    Button->SetCaption("Kayda Başla");
    Form->Show();
    QImage image = Render();
    // The check lies left of the caption, in the left half of the button.
    EXPECT_GT(Count(image, kCheckGreen, 0, 30), 15);
    EXPECT_EQ(Count(image, kCheckGreen, 30, 89), 0);

    Button->SetLayout(blGlyphRight);
    image = Render();
    EXPECT_EQ(Count(image, kCheckGreen, 0, 60), 0);
    EXPECT_GT(Count(image, kCheckGreen, 60, 89), 15);

    // Disabled: the second image of the strip (grey, no green).
    Button->SetEnabled(false);
    image = Render();
    EXPECT_EQ(Count(image, kCheckGreen, 0, 89), 0);
    EXPECT_GT(Count(image, qRgb(128, 128, 128), 60, 89), 15);
}

TEST_F(BitBtnTest, CustomGlyphStripsAndTheirTransparentColour)
{
    TBitmap strip(32, 16, pf24bit);
    strip.Canvas()->Brush()->SetColor(clFuchsia);
    strip.Canvas()->FillRect(Rect(0, 0, 32, 16));
    strip.Canvas()->Brush()->SetColor(clRed);
    strip.Canvas()->FillRect(Rect(4, 4, 12, 12));
    strip.Canvas()->Brush()->SetColor(clBlue);
    strip.Canvas()->FillRect(Rect(20, 4, 28, 12));
    Button->SetCaption("");
    Button->SetGlyph(&strip);
    EXPECT_EQ(Button->NumGlyphs(), 2);
    Form->Show();
    QImage image = Render();
    EXPECT_EQ(Count(image, qRgb(255, 0, 0), 0, 89), 64);
    EXPECT_EQ(Count(image, qRgb(255, 0, 255), 0, 89), 0);
    EXPECT_EQ(Count(image, qRgb(0, 0, 255), 0, 89), 0);
    Button->SetEnabled(false);
    image = Render();
    EXPECT_EQ(Count(image, qRgb(0, 0, 255), 0, 89), 64);
}

TEST_F(BitBtnTest, StoredFormsKeepTheirCaptionAndOnlyCustomGlyphsAreStored)
{
    const QByteArray text = R"(object F: TForm
  object StartButton: TBitBtn
    Left = 72
    Top = 408
    Width = 89
    Height = 25
    Caption = 'Kayda Ba'#351'la'
    TabOrder = 4
    Kind = bkOK
  end
end
)";
    TForm form(nullptr);
    tonvara::test::ReadFormText(text, &form);
    auto* start = form.FindComponent<TBitBtn>("StartButton");
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->Caption(), QString::fromUtf8("Kayda Başla"));
    EXPECT_EQ(start->Kind(), bkOK);
    EXPECT_EQ(start->ModalResult(), mrOk);
    EXPECT_NE(start->ShownGlyph(), nullptr);
    EXPECT_FALSE(ComponentToText(&form).contains("Glyph.Data"));

    TBitmap strip(8, 8, pf24bit);
    start->SetGlyph(&strip);
    const QByteArray written = ComponentToText(&form);
    EXPECT_TRUE(written.contains("Glyph.Data"));
    TForm again(nullptr);
    QBuffer second;
    second.setData(written);
    second.open(QIODevice::ReadOnly);
    ReadComponent(second, &again);
    auto* copy = again.FindComponent<TBitBtn>("StartButton");
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->Glyph()->Width(), 8);
    EXPECT_EQ(copy->Glyph()->PixelFormat(), pf24bit);
}
