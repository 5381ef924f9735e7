#include "platform/ui/ExtCtrls.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/Forms.h"
#include "platform/ui/StdCtrls.h"
#include "support/FormText.h"

#include <QPaintEvent>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>

namespace {

class StdCtrlsTest : public ::testing::Test {
protected:
    StdCtrlsTest()
        : Form(std::make_unique<TForm>(nullptr))
    {
        Form->SetPosition(poDesigned);
        Form->SetClientWidth(200);
        Form->SetClientHeight(100);
        Form->SetColor(clWhite);
    }

    QImage Render()
    {
        QWidget* client = Form->ClientHandle();
        QImage image(client->size(), QImage::Format_RGB32);
        client->render(&image);
        return image;
    }

    // Columns of Image (inside rows Top..Bottom) holding any pixel of Color.
    static std::pair<int, int> InkColumns(const QImage& image, QRgb color, int top, int bottom)
    {
        int first = -1;
        int last = -1;
        for (int x = 0; x < image.width(); ++x)
            for (int y = top; y < bottom; ++y)
                if ((image.pixel(x, y) | 0xFF000000u) == color) {
                    if (first < 0)
                        first = x;
                    last = x;
                }
        return { first, last };
    }

    static QRgb Rgb(TColor color) { return ColorToQColor(color).rgb() | 0xFF000000u; }

    std::unique_ptr<TForm> Form;
};

} // namespace

TEST_F(StdCtrlsTest, LabelSizesItselfToItsCaption)
{
    auto* label = new TLabel(Form.get());
    label->SetParent(Form.get());
    label->SetBounds(10, 10, 65, 17);
    label->Font()->SetHeight(-16);
    label->SetCaption("Dosya :");
    TCanvas measure;
    measure.SetFont(label->Font());
    EXPECT_EQ(label->Width(), measure.TextWidth("Dosya :"));
    EXPECT_EQ(label->Height(), measure.TextHeight("Dosya :"));
    EXPECT_EQ(label->Left(), 10);

    // Right-aligned labels keep their right edge.
    label->SetAlignment(taRightJustify);
    const int right = label->Left() + label->Width();
    label->SetCaption("D");
    EXPECT_EQ(label->Left() + label->Width(), right);

    label->SetAutoSize(false);
    label->SetCaption("A much longer caption than before");
    EXPECT_EQ(label->Width(), measure.TextWidth("D"));
}

TEST_F(StdCtrlsTest, LabelPaintsAlignedTextOpaqueOrTransparent)
{
    auto* panel = new TPanel(Form.get());
    panel->SetParent(Form.get());
    panel->SetBevelOuter(bvNone);
    panel->SetColor(clNavy);
    panel->SetBounds(0, 0, 200, 100);
    auto* label = new TLabel(Form.get());
    label->SetParent(panel);
    label->SetAutoSize(false);
    label->SetBounds(0, 0, 200, 30);
    label->Font()->SetColor(clYellow);
    label->Font()->SetHeight(-16);
    label->SetCaption("MMM");
    label->SetColor(clRed);
    Form->Show();

    QImage image = Render();
    EXPECT_EQ(image.pixel(199, 29), Rgb(clRed));
    auto [left, right] = InkColumns(image, Rgb(clYellow), 0, 30);
    EXPECT_GE(left, 0);
    EXPECT_LT(left, 3);

    label->SetAlignment(taCenter);
    label->SetTransparent(true);
    image = Render();
    EXPECT_EQ(image.pixel(199, 29), Rgb(clNavy));
    std::tie(left, right) = InkColumns(image, Rgb(clYellow), 0, 30);
    EXPECT_NEAR((left + right) / 2.0, 100, 3);

    label->SetAlignment(taRightJustify);
    label->SetLayout(tlBottom);
    image = Render();
    std::tie(left, right) = InkColumns(image, Rgb(clYellow), 0, 30);
    EXPECT_GT(right, 195);
    // Bottom layout: nothing in the top rows.
    EXPECT_EQ(InkColumns(image, Rgb(clYellow), 0, 30 - label->Canvas()->TextHeight("M")).first, -1);

    // A disabled label draws in the shadow colour.
    label->SetEnabled(false);
    image = Render();
    EXPECT_EQ(InkColumns(image, Rgb(clYellow), 0, 30).first, -1);
    EXPECT_GE(InkColumns(image, Rgb(clBtnShadow), 0, 30).first, 0);
}

TEST_F(StdCtrlsTest, LabelWrapsWords)
{
    auto* label = new TLabel(Form.get());
    label->SetParent(Form.get());
    label->SetWordWrap(true);
    label->SetAutoSize(false);
    label->SetBounds(0, 0, 60, 17);
    label->SetAutoSize(true);
    label->SetCaption("one two three");
    EXPECT_LE(label->Width(), 60);
    EXPECT_GE(label->Height(), 2 * label->Canvas()->TextHeight("o"));
}

TEST_F(StdCtrlsTest, ButtonClicksAndClosesAModalForm)
{
    auto* button = new TButton(Form.get());
    button->SetParent(Form.get());
    button->SetBounds(10, 10, 75, 25);
    button->SetCaption("OK");
    button->SetModalResult(mrOk);
    int clicks = 0;
    button->SetOnClick([&](TObject*) { ++clicks; });

    QTimer::singleShot(0, [&] {
        ASSERT_TRUE(Form->Modal());
        QTest::mouseClick(button->Handle(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    });
    EXPECT_EQ(Form->ShowModal(), mrOk);
    EXPECT_EQ(clicks, 1);
    EXPECT_FALSE(Form->Showing());
    EXPECT_FALSE(Form->Modal());
}

TEST_F(StdCtrlsTest, ReturnAndEscapePressDefaultAndCancelButtons)
{
    auto* ok = new TButton(Form.get());
    ok->SetParent(Form.get());
    ok->SetDefault(true);
    ok->SetModalResult(mrOk);
    auto* cancel = new TButton(Form.get());
    cancel->SetParent(Form.get());
    cancel->SetCancel(true);
    cancel->SetModalResult(mrCancel);
    auto* panel = new TPanel(Form.get());
    panel->SetParent(Form.get());
    panel->SetTabStop(true);

    QTimer::singleShot(0, [&] {
        panel->SetFocus();
        QTest::keyClick(panel->Handle(), Qt::Key_Escape);
    });
    EXPECT_EQ(Form->ShowModal(), mrCancel);
    QTimer::singleShot(0, [&] {
        panel->SetFocus();
        QTest::keyClick(panel->Handle(), Qt::Key_Return);
    });
    EXPECT_EQ(Form->ShowModal(), mrOk);
    // The focused button takes Return itself; Space clicks it on release.
    int clicks = 0;
    cancel->SetModalResult(mrNone);
    cancel->SetOnClick([&](TObject*) { ++clicks; });
    Form->Show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form->Handle()));
    cancel->SetFocus();
    QTest::keyPress(cancel->Handle(), Qt::Key_Space);
    EXPECT_TRUE(cancel->Down());
    QTest::keyRelease(cancel->Handle(), Qt::Key_Space);
    EXPECT_EQ(clicks, 1);
    QTest::keyClick(cancel->Handle(), Qt::Key_Return);
    EXPECT_EQ(clicks, 2);
}

TEST_F(StdCtrlsTest, ButtonFaceAndPressedLook)
{
    auto* button = new TButton(Form.get());
    button->SetParent(Form.get());
    button->SetBounds(10, 10, 75, 25);
    button->SetCaption("Go");
    Form->Show();
    QImage image = Render();
    EXPECT_EQ(image.pixel(10, 10), Rgb(clBtnHighlight));
    EXPECT_EQ(image.pixel(84, 34), Rgb(cl3DDkShadow));
    EXPECT_EQ(image.pixel(83, 33), Rgb(clBtnShadow));
    EXPECT_EQ(image.pixel(15, 15), Rgb(clBtnFace));
    int ink = 0;
    for (int y = 14; y < 31; ++y)
        for (int x = 14; x < 81; ++x)
            ink += (image.pixel(x, y) | 0xFF000000u) != Rgb(clBtnFace);
    EXPECT_GT(ink, 10);

    button->SetDefault(true);
    image = Render();
    EXPECT_EQ(image.pixel(10, 10), Rgb(clWindowFrame));
    QTest::mousePress(button->Handle(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_TRUE(button->Down());
    image = Render();
    EXPECT_EQ(image.pixel(11, 11), Rgb(clBtnShadow));
    QTest::mouseMove(button->Handle(), QPoint(200, 5));
    EXPECT_FALSE(button->Down());
    QTest::mouseRelease(button->Handle(), Qt::LeftButton, Qt::NoModifier, QPoint(200, 5));
}

TEST_F(StdCtrlsTest, StoredLabelAndButton)
{
    const QByteArray text = R"(object F: TForm
  Caption = 'Stored'
  object Label1: TLabel
    Left = 8
    Top = 4
    Caption = '&Name'
    Font.Color = clYellow
    Font.Height = -13
    Font.Name = 'Arial'
    Font.Style = [fsBold]
    ParentFont = False
    Transparent = True
  end
  object Button1: TButton
    Left = 8
    Top = 40
    Caption = 'Go'
    Default = True
    ModalResult = 1
    TabOrder = 0
  end
end
)";
    TForm form(nullptr);
    tonvara::test::ReadFormText(text, &form);
    auto* label = form.FindComponent<TLabel>("Label1");
    auto* button = form.FindComponent<TButton>("Button1");
    ASSERT_TRUE(label && button);
    EXPECT_EQ(label->Font()->Style(), TFontStyles(fsBold));
    EXPECT_EQ(label->Font()->Name(), "Arial");
    EXPECT_TRUE(label->Transparent());
    EXPECT_FALSE(label->ParentFont());
    // Auto-sized once loaded; the prefix mark takes no room.
    TCanvas measure;
    measure.SetFont(label->Font());
    EXPECT_EQ(label->Width(), measure.TextWidth("Name"));
    EXPECT_TRUE(button->Default());
    EXPECT_EQ(button->ModalResult(), mrOk);
    EXPECT_EQ(button->Width(), 75);
}

namespace {
// The region of the paint events a widget receives.
class TPaintRecorder : public QObject {
public:
    QRegion Painted;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            Painted += static_cast<QPaintEvent*>(event)->region();
        return false;
    }
};
} // namespace

TEST_F(StdCtrlsTest, ACaptionChangeRepaintsFromTheFirstChangedLetter)
{
    struct TCase {
        const char* Before;
        const char* After;
        TAlignment Alignment;
        int SameLetters; // 0: the whole label repaints
    };
    const TCase cases[] = {
        { "00:01.250", "00:01.300", taLeftJustify, 6 },
        { "00:01.250", "10:01.250", taLeftJustify, 0 },
        { "00:01.250", "00:01.300", taRightJustify, 0 },
        { "A&b1", "A&b2", taLeftJustify, 0 },
    };
    auto* label = new TLabel(Form.get());
    label->SetParent(Form.get());
    label->SetAutoSize(false);
    label->SetBounds(10, 10, 120, 20);
    label->SetTransparent(true);
    Form->Show();
    TPaintRecorder recorder;
    label->Handle()->installEventFilter(&recorder);
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.After);
        label->SetAlignment(c.Alignment);
        label->SetCaption(QString::fromLatin1(c.Before));
        QCoreApplication::processEvents();
        recorder.Painted = QRegion();
        label->SetCaption(QString::fromLatin1(c.After));
        QCoreApplication::processEvents();
        const QRect painted = recorder.Painted.boundingRect();
        EXPECT_EQ(painted.right(), label->Width() - 1);
        if (c.SameLetters == 0) {
            EXPECT_EQ(painted.left(), 0);
        } else {
            const int advance = label->Canvas()->TextWidth(QString::fromLatin1(c.After).left(c.SameLetters));
            EXPECT_GT(painted.left(), 0);
            EXPECT_LE(painted.left(), advance);
        }
    }
}
