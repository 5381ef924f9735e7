#include "mm/display/MMLabel.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/Forms.h"

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QWidget>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

const QString kCaption = QStringLiteral("Tonvara V.1.0");

class MMLabelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Form = std::make_unique<TForm>(nullptr);
        Form->SetBounds(0, 0, 300, 200);
        Label = new TMMLabel(Form.get());
        Label->SetParent(Form.get());
        Label->SetBounds(10, 10, 200, 40);
        Label->SetCaption(kCaption);
        Label->SetTransparent(false);
        Label->SetColor(clYellow);
        Label->Font()->SetColor(clNavy);
        Form->Show();
        QApplication::processEvents();
    }

    // From the whole window: a transparent label shows what its parent
    // painted beneath it.
    QImage Grab()
    {
        QWidget* widget = Label->Handle();
        QWidget* window = widget->window();
        const QRect area(widget->mapTo(window, QPoint(0, 0)), widget->size());
        return window->grab().toImage().copy(area).convertToFormat(QImage::Format_RGB32);
    }

    struct Layer {
        TColor Colour;
        int X;
        int Y;
    };

    // The same picture drawn with plain canvas calls: Color, then each layer
    // as word-wrapped text in the client rectangle moved by (X, Y), then
    // the bevel.
    QImage Reference(const std::vector<Layer>& layers, unsigned align)
    {
        TBitmap bitmap(Label->Width(), Label->Height(), pf32bit);
        TCanvas* canvas = bitmap.Canvas();
        const TRect client = Label->ClientRect();
        canvas->Brush()->SetColor(Label->Color());
        canvas->FillRect(client);
        canvas->SetFont(Label->Font());
        canvas->Font()->SetQuality(fqNonAntialiased);
        canvas->Brush()->SetStyle(bsClear);
        for (const Layer& layer : layers) {
            TRect rect = client;
            OffsetRect(rect, layer.X, layer.Y);
            canvas->Font()->SetColor(layer.Colour);
            canvas->DrawText(kCaption, rect, DT_WORDBREAK | DT_EXPANDTABS | align);
        }
        Label->Bevel()->PaintBevel(canvas, client, true);
        return bitmap.Image().convertToFormat(QImage::Format_RGB32);
    }

    // The box around the pixels that are not the background.
    static QRect Ink(const QImage& image, QRgb background)
    {
        QRect box;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if ((image.pixel(x, y) & 0xFFFFFF) != (background & 0xFFFFFF))
                    box |= QRect(x, y, 1, 1);
        return box;
    }

    std::unique_ptr<TForm> Form;
    TMMLabel* Label = nullptr;
};

TEST_F(MMLabelTest, LayersMatchPlainCanvasDrawing)
{
    struct Case {
        const char* Name;
        std::function<void(TMMLabel*)> Setup;
        std::vector<Layer> Layers;
        unsigned Align;
    };
    const Case cases[] = {
        { "raised", [](TMMLabel*) {}, { { clGray, 2, 2 }, { clWhite, 0, 0 }, { clNavy, 1, 1 } }, DT_LEFT },
        { "raised, right-justified", [](TMMLabel* l) { l->SetAlignment(taRightJustify); },
            { { clGray, 0, 2 }, { clWhite, -2, 0 }, { clNavy, -1, 1 } }, DT_RIGHT },
        { "flying", [](TMMLabel* l) { l->SetEffectStyle(lsFlying); },
            { { clGray, 5, 5 }, { clGray, 1, 1 }, { clNavy, 0, 0 } }, DT_LEFT },
        { "flying, extruded",
            [](TMMLabel* l) {
                l->SetEffectStyle(lsFlying);
                l->SetStyleShadow(loExtrude);
            },
            { { clGray, 5, 5 }, { clGray, 4, 4 }, { clGray, 3, 3 }, { clGray, 2, 2 }, { clGray, 1, 1 },
                { clGray, 1, 1 }, { clNavy, 0, 0 } },
            DT_LEFT },
    };
    for (const Case& c : cases) {
        Label->SetAlignment(taLeftJustify);
        Label->SetEffectStyle(lsRaised);
        Label->SetStyleShadow(loNormal);
        c.Setup(Label);
        const QImage shot = Grab();
        EXPECT_EQ(shot, Reference(c.Layers, c.Align)) << c.Name;
        // Exact colours only: no smoothed edge mixes the layers.
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) {
                const QRgb p = shot.pixel(x, y) & 0xFFFFFF;
                ASSERT_TRUE(p == 0xFFFF00 || p == 0x808080 || p == 0xFFFFFF || p == 0x000080 || x == 0
                    || y == 0 || x == shot.width() - 1 || y == shot.height() - 1)
                    << c.Name << " at " << x << "," << y;
            }
    }
}

TEST_F(MMLabelTest, PresetsAndTheirHighlight)
{
    Label->SetColourHighlight(clRed);
    Label->SetColourShadow(clBlue);
    EXPECT_EQ(Label->EffectStyle(), lsRaised);
    EXPECT_EQ(Label->ColourHighlight(), clRed);
    Label->SetDepthShadow(3);
    EXPECT_EQ(Label->EffectStyle(), lsCustom);
    EXPECT_EQ(Label->ColourHighlight(), clWhite);
    EXPECT_EQ(Label->DepthShadow(), 3);

    // A stored depth or direction makes the style custom before a stored
    // highlight colour comes, so the colour survives reading.
    const QByteArray text = "object MMLabel1: TMMLabel\n"
                            "  Caption = 'Tonvara V.1.0'\n"
                            "  DirectionShadow = ldNone\n"
                            "  ColourHighlight = 13802541\n"
                            "  EffectStyle = lsCustom\n"
                            "end\n";
    std::unique_ptr<TComponent> read(ReadComponentFromText(text, nullptr, "label.form"));
    auto* label = qobject_cast<TMMLabel*>(read.get());
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->EffectStyle(), lsCustom);
    EXPECT_EQ(label->ColourHighlight(), TColor(13802541));
    EXPECT_EQ(label->DirectionShadow(), ldNone);
    EXPECT_EQ(label->DirectionHighlight(), ldUpLeft);
}

TEST_F(MMLabelTest, AsButtonPressesAndLetsGo)
{
    Label->SetAsButton(true);
    EXPECT_EQ(Label->EffectStyle(), lsRaised);
    struct Step {
        int Kind; // 0 down, 1 move, 2 up
        int X;
        int Y;
        TMMLabelStyle Expected;
    };
    const Step steps[] = { { 0, 5, 5, lsSunken }, { 1, 250, 5, lsRaised }, { 1, 200, 40, lsSunken },
        { 1, -1, 5, lsRaised }, { 2, -1, 5, lsRaised }, { 0, 5, 5, lsSunken }, { 2, 5, 5, lsRaised } };
    QWidget* widget = Label->Handle();
    for (const Step& s : steps) {
        const QPointF at(s.X, s.Y);
        const QEvent::Type type = s.Kind == 0 ? QEvent::MouseButtonPress
            : s.Kind == 1                     ? QEvent::MouseMove
                                              : QEvent::MouseButtonRelease;
        QMouseEvent event(type, at, widget->mapToGlobal(at), s.Kind == 1 ? Qt::NoButton : Qt::LeftButton,
            s.Kind == 2 ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(widget, &event);
        EXPECT_EQ(Label->EffectStyle(), s.Expected) << s.Kind << " " << s.X << "," << s.Y;
    }
}

TEST_F(MMLabelTest, AngleNinetyStandsTheFaceUpright)
{
    Form->SetColor(clYellow);
    Label->SetTransparent(true);
    Label->SetBounds(10, 10, 120, 120);
    Label->Bevel()->SetBevelOuter(bvNone);
    Label->SetEffectStyle(lsNone);
    Label->SetCaption("T....");
    Label->SetAlignment(taCenter);
    Label->SetAngle(90);
    EXPECT_EQ(Label->Alignment(), taLeftJustify);
    const QImage shot = Grab();

    // The text turned about its start, centred on (C, C) with
    // C = half the width of the caption and three blanks.
    TBitmap bitmap(120, 120, pf32bit);
    TCanvas* canvas = bitmap.Canvas();
    canvas->Brush()->SetColor(clYellow);
    canvas->FillRect(Rect(0, 0, 120, 120));
    canvas->SetFont(Label->Font());
    canvas->Font()->SetQuality(fqNonAntialiased);
    canvas->Font()->SetOrientation(900);
    const int c = canvas->TextWidth("T....   ") / 2;
    const int w0 = canvas->TextWidth("T....");
    const int h0 = canvas->TextHeight("T....");
    canvas->Brush()->SetStyle(bsClear);
    canvas->TextOut(c - static_cast<int>(std::nearbyint(h0 / 2.0)),
        c + static_cast<int>(std::nearbyint(w0 / 2.0)), "T....");

    EXPECT_EQ(shot, bitmap.Image().convertToFormat(QImage::Format_RGB32));

    // Read from the bottom up: the dots come last, at the top, on the side
    // where the letters' feet are (the right).
    const QRect ink = Ink(shot, qRgb(255, 255, 0));
    ASSERT_GT(ink.height(), ink.width());
    int topInk = -1;
    for (int x = ink.left(); x <= ink.right(); ++x)
        if ((shot.pixel(x, ink.top()) & 0xFFFFFF) != 0xFFFF00)
            topInk = x;
    EXPECT_GT(topInk, ink.center().x());
}

} // namespace
