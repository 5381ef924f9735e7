// The visual bases on a real X server: what the server shows of a form with
// a bevelled control and a bevelled panel, and that a bevel written while
// the form is on screen shows up there.
#include "mm/core/MMObj.h"
#include "platform/ui/Forms.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QWidget>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace {

constexpr TColor kFill = RGB(10, 120, 30);
constexpr TColor kPanelFill = RGB(40, 40, 160);
constexpr TColor kLight = RGB(250, 250, 0);
constexpr TColor kShadow = RGB(90, 0, 90);
constexpr TColor kBorder = RGB(0, 0, 240);
constexpr TColor kSpace = RGB(255, 128, 0);

class TShownControl : public TMMCustomControl {
    Q_OBJECT
public:
    using TMMCustomControl::TMMCustomControl;
};

class TShownPanel : public TMMCustomPanel {
    Q_OBJECT
public:
    using TMMCustomPanel::TMMCustomPanel;
};

using tonvara::test::WaitUntil;

class VisualBaseX11Test : public testing::Test {
protected:
    VisualBaseX11Test()
        : Form(std::make_unique<TForm>(nullptr))
    {
        Form->SetPosition(poDesigned);
        Form->SetClientWidth(240);
        Form->SetClientHeight(160);
        Form->SetColor(clWhite);
    }

    // What the X server shows of the form's client area.
    QImage Shown()
    {
        QCoreApplication::processEvents();
        QWidget* window = Form->Handle();
        window->repaint(); // flushed to the server before it is grabbed
        const QImage shot = QGuiApplication::primaryScreen()->grabWindow(window->winId()).toImage();
        const QPoint origin = Form->ClientHandle()->mapTo(window, QPoint(0, 0));
        return shot.copy(QRect(origin, Form->ClientHandle()->size())).convertToFormat(QImage::Format_RGB32);
    }

    static TColor At(const QImage& image, int x, int y) { return QColorToColor(image.pixelColor(x, y)); }

    std::unique_ptr<TForm> Form;
};

TEST_F(VisualBaseX11Test, BevelledControlAndPanelAsTheServerShowsThem)
{
    auto* control = new TShownControl(Form.get());
    control->SetParent(Form.get());
    control->SetBounds(10, 10, 80, 50);
    control->SetColor(kFill);
    control->Bevel()->SetBevelOuter(bvRaised);
    control->Bevel()->SetOuterLightColor(kLight);
    control->Bevel()->SetOuterShadowColor(kShadow);
    control->Bevel()->SetBorderWidth(2);
    control->Bevel()->SetBorderColor(kBorder);
    control->Bevel()->SetBorderSpace(1);
    control->Bevel()->SetBorderSpaceColor(kSpace);

    auto* panel = new TShownPanel(Form.get());
    panel->SetParent(Form.get());
    panel->SetBounds(120, 10, 100, 60);
    panel->SetColor(kPanelFill);
    panel->Bevel()->SetBevelOuter(bvLowered);
    panel->Bevel()->SetOuterLightColor(kLight);
    panel->Bevel()->SetOuterShadowColor(kShadow);

    Form->Show();
    ASSERT_TRUE(WaitUntil([&] { return At(Shown(), 50, 35) == kFill; }));
    const QImage image = Shown();

    // Control: raised ring, border, border space, fill.
    EXPECT_EQ(At(image, 10, 10), kLight);
    EXPECT_EQ(At(image, 88, 10), kLight);
    EXPECT_EQ(At(image, 89, 10), kShadow);
    EXPECT_EQ(At(image, 89, 59), kShadow);
    EXPECT_EQ(At(image, 10, 59), kLight);
    EXPECT_EQ(At(image, 11, 30), kBorder);
    EXPECT_EQ(At(image, 12, 30), kBorder);
    EXPECT_EQ(At(image, 13, 30), kSpace);
    EXPECT_EQ(At(image, 14, 30), kFill);
    EXPECT_EQ(At(image, 85, 55), kFill);
    EXPECT_EQ(At(image, 86, 55), kSpace);

    // Panel: lowered ring, then its colour.
    EXPECT_EQ(At(image, 120, 10), kShadow);
    EXPECT_EQ(At(image, 219, 10), kLight);
    EXPECT_EQ(At(image, 219, 69), kLight);
    EXPECT_EQ(At(image, 121, 11), kPanelFill);

    EXPECT_EQ(At(image, 100, 100), clWhite);
}

TEST_F(VisualBaseX11Test, ABevelWrittenWhileShownRepaintsTheControl)
{
    auto* control = new TShownControl(Form.get());
    control->SetParent(Form.get());
    control->SetBounds(20, 20, 60, 40);
    control->SetColor(kFill);
    Form->Show();
    ASSERT_TRUE(WaitUntil([&] { return At(Shown(), 50, 40) == kFill; }));
    EXPECT_EQ(At(Shown(), 21, 21), kFill);

    TMMBevel wide;
    wide.SetBorderWidth(4);
    wide.SetBorderColor(kBorder);
    control->SetBevel(&wide);
    ASSERT_TRUE(WaitUntil([&] { return At(Shown(), 21, 21) == kBorder; }));
    const QImage image = Shown();
    EXPECT_EQ(At(image, 24, 30), kBorder);
    EXPECT_EQ(At(image, 25, 30), kFill);
    EXPECT_EQ(control->InnerRect(), Rect(5, 5, 55, 35));
}

} // namespace

#include "MMObj_x11_test.moc"
