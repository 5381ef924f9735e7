#include "platform/ui/Bitmap.h"
#include "platform/ui/Controls.h"
#include "platform/ui/ExtCtrls.h"
#include "platform/ui/Forms.h"
#include "platform/ui/StdCtrls.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

namespace {

// A graphic control that fills itself with one colour and counts its paints.
class TSwatch : public TGraphicControl {
public:
    explicit TSwatch(TComponent* owner, TColor fill = clRed)
        : TGraphicControl(owner)
        , Fill(fill)
    {
        FControlStyle |= csOpaque;
    }
    TColor Fill;
    int Paints = 0;
    std::vector<std::string> Log;

protected:
    void Paint() override
    {
        ++Paints;
        Canvas()->Brush()->SetColor(Fill);
        Canvas()->FillRect(ClientRect());
    }
    void Click() override
    {
        Log.push_back("click");
        TGraphicControl::Click();
    }
};

// A transparent graphic control that reads what lies beneath it while it paints.
class TPeek : public TGraphicControl {
public:
    using TGraphicControl::TGraphicControl;
    TColor Seen = clNone;
    TColor Copied = clNone;

protected:
    void Paint() override
    {
        Seen = Canvas()->Pixels(2, 2);
        TBitmap copy(Width(), Height(), pf32bit);
        copy.Canvas()->CopyRect(ClientRect(), Canvas(), ClientRect());
        Copied = copy.Canvas()->Pixels(3, 3);
    }
};

// A windowed control that records its keys.
class TKeyTaker : public TCustomControl {
public:
    explicit TKeyTaker(TComponent* owner)
        : TCustomControl(owner)
    {
        SetTabStop(true);
    }
};

class ControlsTest : public ::testing::Test {
protected:
    ControlsTest()
        : Form(std::make_unique<TForm>(nullptr))
    {
        Form->SetPosition(poDesigned);
        Form->SetClientWidth(200);
        Form->SetClientHeight(150);
    }

    // The form's client area as it paints now.
    QImage Render()
    {
        QWidget* client = Form->ClientHandle();
        QImage image(client->size(), QImage::Format_RGB32);
        image.fill(Qt::magenta);
        client->render(&image);
        return image;
    }

    // What the window shows on the screen (the backing store).
    QImage Shown()
    {
        QCoreApplication::processEvents();
        QWidget* window = Form->Handle();
        window->repaint(); // flushed to the server before it is grabbed
        const QImage shot = QGuiApplication::primaryScreen()->grabWindow(window->winId()).toImage();
        const QPoint origin = Form->ClientHandle()->mapTo(window, QPoint(0, 0));
        return shot.copy(QRect(origin, Form->ClientHandle()->size())).convertToFormat(QImage::Format_RGB32);
    }

    static QRgb Rgb(TColor color) { return ColorToQColor(color).rgb() | 0xFF000000u; }

    std::unique_ptr<TForm> Form;
};

} // namespace

TEST_F(ControlsTest, ChildrenListGraphicFirstThenWindowed)
{
    auto* panel = new TPanel(Form.get());
    auto* label = new TLabel(Form.get());
    auto* other = new TPanel(Form.get());
    panel->SetParent(Form.get());
    label->SetParent(Form.get());
    other->SetParent(Form.get());
    ASSERT_EQ(Form->ControlCount(), 3);
    EXPECT_EQ(Form->Controls(0), label);
    EXPECT_EQ(Form->Controls(1), panel);
    EXPECT_EQ(Form->Controls(2), other);
    EXPECT_THROW(Form->Controls(3), EListError);
    EXPECT_TRUE(Form->ContainsControl(label));
    EXPECT_FALSE(panel->ContainsControl(label));
    EXPECT_THROW(panel->SetParent(panel), EInvalidOperation);

    label->SetParent(panel);
    EXPECT_EQ(Form->ControlCount(), 2);
    EXPECT_EQ(panel->Controls(0), label);
    EXPECT_EQ(label->Handle()->parentWidget(), panel->Handle());
    EXPECT_EQ(label->GetParentComponent(), panel);
    EXPECT_EQ(label->GetParentForm(), Form.get());

    // A windowed control takes its children with it.
    QPointer<TLabel> watch(label);
    delete panel;
    EXPECT_TRUE(watch.isNull());
    EXPECT_EQ(Form->ControlCount(), 1);
}

TEST_F(ControlsTest, GeometryReachesTheWidgetAndResizeFiresOnSizeChanges)
{
    auto* swatch = new TSwatch(Form.get());
    swatch->SetParent(Form.get());
    int resizes = 0;
    swatch->SetOnResize([&](TObject*) { ++resizes; });
    swatch->SetBounds(10, 20, 30, 40);
    EXPECT_EQ(swatch->Handle()->geometry(), QRect(10, 20, 30, 40));
    EXPECT_EQ(swatch->BoundsRect(), Rect(10, 20, 40, 60));
    EXPECT_EQ(swatch->ClientRect(), Rect(0, 0, 30, 40));
    EXPECT_EQ(resizes, 1);
    swatch->SetLeft(12);
    EXPECT_EQ(resizes, 1);
    swatch->SetWidth(-5);
    EXPECT_EQ(swatch->Width(), 0);
    EXPECT_EQ(resizes, 2);
}

TEST_F(ControlsTest, AlignmentFillsTheClientAreaInOrder)
{
    auto* panel = new TPanel(Form.get());
    panel->SetParent(Form.get());
    panel->SetBevelOuter(bvNone);
    panel->SetBounds(0, 0, 200, 100);
    auto make = [&](TAlign align, int w, int h) {
        auto* c = new TSwatch(Form.get());
        c->SetParent(panel);
        c->SetBounds(0, 0, w, h);
        c->SetAlign(align);
        return c;
    };
    auto* top = make(alTop, 5, 20);
    auto* bottom = make(alBottom, 5, 10);
    auto* left = make(alLeft, 30, 5);
    auto* right = make(alRight, 40, 5);
    auto* client = make(alClient, 1, 1);
    EXPECT_EQ(top->BoundsRect(), Rect(0, 0, 200, 20));
    EXPECT_EQ(bottom->BoundsRect(), Rect(0, 90, 200, 100));
    EXPECT_EQ(left->BoundsRect(), Rect(0, 20, 30, 90));
    EXPECT_EQ(right->BoundsRect(), Rect(160, 20, 200, 90));
    EXPECT_EQ(client->BoundsRect(), Rect(30, 20, 160, 90));

    // The parent grows: the layout follows.
    panel->SetBounds(0, 0, 300, 120);
    EXPECT_EQ(bottom->BoundsRect(), Rect(0, 110, 300, 120));
    EXPECT_EQ(client->BoundsRect(), Rect(30, 20, 260, 110));
    // A hidden aligned child gives its room away.
    top->SetVisible(false);
    EXPECT_EQ(client->BoundsRect(), Rect(30, 0, 260, 110));

    // A panel keeps aligned children inside its frame (bevel 1 + border 2).
    panel->SetBevelOuter(bvRaised);
    panel->SetBorderWidth(2);
    EXPECT_EQ(bottom->BoundsRect(), Rect(3, 107, 297, 117));
    EXPECT_EQ(left->BoundsRect(), Rect(3, 3, 33, 107));
}

TEST_F(ControlsTest, AnchorsFollowTheParentsEdges)
{
    auto* panel = new TPanel(Form.get());
    panel->SetParent(Form.get());
    panel->SetBounds(0, 0, 100, 100);
    auto* stretch = new TSwatch(Form.get());
    stretch->SetParent(panel);
    stretch->SetBounds(10, 10, 50, 50);
    stretch->SetAnchors(akLeft | akTop | akRight | akBottom);
    auto* corner = new TSwatch(Form.get());
    corner->SetParent(panel);
    corner->SetBounds(80, 80, 10, 10);
    corner->SetAnchors(akRight | akBottom);
    auto* fixed = new TSwatch(Form.get());
    fixed->SetParent(panel);
    fixed->SetBounds(5, 5, 5, 5);

    panel->SetBounds(0, 0, 130, 110);
    EXPECT_EQ(stretch->BoundsRect(), Rect(10, 10, 90, 70));
    EXPECT_EQ(corner->BoundsRect(), Rect(110, 90, 120, 100));
    EXPECT_EQ(fixed->BoundsRect(), Rect(5, 5, 10, 10));
}

TEST_F(ControlsTest, FontAndColourComeFromTheParentUntilSet)
{
    auto* panel = new TPanel(Form.get());
    panel->SetParent(Form.get());
    auto* label = new TLabel(Form.get());
    label->SetParent(panel);
    EXPECT_TRUE(label->ParentFont());
    EXPECT_TRUE(label->ParentColor());
    EXPECT_EQ(label->Color(), panel->Color());

    Form->Font()->SetHeight(-20);
    EXPECT_EQ(panel->Font()->Height(), -20);
    EXPECT_EQ(label->Font()->Height(), -20);
    EXPECT_TRUE(label->ParentFont());

    panel->SetColor(clNavy);
    EXPECT_EQ(label->Color(), clNavy);

    label->Font()->SetColor(clRed);
    EXPECT_FALSE(label->ParentFont());
    Form->Font()->SetHeight(-9);
    EXPECT_EQ(label->Font()->Height(), -20);
    label->SetParentFont(true);
    EXPECT_EQ(label->Font()->Height(), -9);
    EXPECT_EQ(label->Font()->Color(), Form->Font()->Color());

    label->SetColor(clLime);
    EXPECT_FALSE(label->ParentColor());
    panel->SetColor(clTeal);
    EXPECT_EQ(label->Color(), clLime);
}

TEST_F(ControlsTest, MouseEventsAndClicks)
{
    auto* swatch = new TSwatch(Form.get());
    swatch->SetParent(Form.get());
    swatch->SetBounds(10, 10, 50, 50);
    std::vector<std::string> log;
    swatch->SetOnMouseDown([&](TObject* sender, TMouseButton button, TShiftState shift, int x, int y) {
        EXPECT_EQ(sender, swatch);
        log.push_back("down " + std::to_string(button) + " " + std::to_string(x) + "," + std::to_string(y)
            + (shift & ssShift ? " shift" : "") + (shift & ssLeft ? " left" : "")
            + (shift & ssDouble ? " double" : ""));
    });
    swatch->SetOnMouseUp([&](TObject*, TMouseButton button, TShiftState, int x, int y) {
        log.push_back("up " + std::to_string(button) + " " + std::to_string(x) + "," + std::to_string(y));
    });
    swatch->SetOnClick([&](TObject*) { log.push_back("onclick"); });
    swatch->SetOnDblClick([&](TObject*) { log.push_back("dblclick"); });
    Form->Show();
    QWidget* widget = swatch->Handle();

    QTest::mouseClick(widget, Qt::LeftButton, Qt::ShiftModifier, QPoint(3, 4));
    QTest::mouseClick(widget, Qt::RightButton, Qt::NoModifier, QPoint(5, 6));
    QTest::mouseDClick(widget, Qt::LeftButton, Qt::NoModifier, QPoint(7, 8));
    const std::vector<std::string> expected = {
        "down 0 3,4 shift left",
        "onclick",
        "up 0 3,4",
        "down 1 5,6",
        "up 1 5,6",
        // The second press of a double click.
        "dblclick",
        "down 0 7,8 left double",
    };
    EXPECT_EQ(log, expected);
    QTest::mouseRelease(widget, Qt::LeftButton, Qt::NoModifier, QPoint(7, 8));

    // Released outside: no click.
    log.clear();
    QTest::mousePress(widget, Qt::LeftButton, Qt::NoModifier, QPoint(3, 3));
    QTest::mouseRelease(widget, Qt::LeftButton, Qt::NoModifier, QPoint(60, 3));
    EXPECT_EQ(log, (std::vector<std::string> { "down 0 3,3 left", "up 0 60,3" }));
}

TEST_F(ControlsTest, KeysReachTheFocusedControlAfterTheFormsPreview)
{
    auto* taker = new TKeyTaker(Form.get());
    taker->SetParent(Form.get());
    taker->SetBounds(0, 0, 50, 20);
    std::vector<std::string> log;
    taker->SetOnKeyDown([&](TObject*, WORD& key, TShiftState shift) {
        log.push_back("down " + std::to_string(key) + (shift & ssCtrl ? " ctrl" : ""));
    });
    taker->SetOnKeyPress(
        [&](TObject*, QChar& key) { log.push_back(std::string("press ") + char(key.unicode())); });
    taker->SetOnKeyUp([&](TObject*, WORD& key, TShiftState) { log.push_back("up " + std::to_string(key)); });
    taker->SetOnEnter([&](TObject*) { log.push_back("enter"); });
    Form->Show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form->Handle()));
    taker->SetFocus();
    EXPECT_TRUE(taker->Focused());
    QTest::keyClick(taker->Handle(), Qt::Key_A);
    QTest::keyClick(taker->Handle(), Qt::Key_Left, Qt::ControlModifier);
    EXPECT_EQ(log,
        (std::vector<std::string> {
            "enter", "down 65", "press a", "up 65", "down 17 ctrl", "down 37 ctrl", "up 37", "up 17" }));

    // The form sees keys first and may swallow them.
    log.clear();
    Form->SetKeyPreview(true);
    Form->SetOnKeyDown([&](TObject*, WORD& key, TShiftState) {
        log.push_back("form " + std::to_string(key));
        if (key == VK_DOWN)
            key = 0;
    });
    QTest::keyClick(taker->Handle(), Qt::Key_Down);
    QTest::keyClick(taker->Handle(), Qt::Key_Up);
    EXPECT_EQ(log, (std::vector<std::string> { "form 40", "up 40", "form 38", "down 38", "up 38" }));

    // Hidden controls cannot take the focus.
    taker->SetVisible(false);
    EXPECT_THROW(taker->SetFocus(), EInvalidOperation);
}

TEST_F(ControlsTest, PaintsItsPixelsAndGraphicControlsLieBelowWindowedOnes)
{
    auto* panel = new TPanel(Form.get());
    panel->SetParent(Form.get());
    panel->SetBevelOuter(bvNone);
    panel->SetColor(clNavy);
    panel->SetBounds(50, 50, 50, 50);
    auto* swatch = new TSwatch(Form.get(), clRed);
    swatch->SetParent(Form.get());
    swatch->SetBounds(40, 40, 30, 30);
    Form->Show();
    const QImage image = Render();
    EXPECT_EQ(image.pixel(45, 45), Rgb(clRed));
    EXPECT_EQ(image.pixel(55, 55), Rgb(clNavy)); // the panel covers the later graphic control
    EXPECT_EQ(image.pixel(30, 30), Rgb(clBtnFace));
    EXPECT_EQ(image.pixel(99, 99), Rgb(clNavy));
    EXPECT_EQ(image.pixel(100, 100), Rgb(clBtnFace));

    swatch->BringToFront();
    swatch->SetParent(panel);
    swatch->SetBounds(0, 0, 10, 10);
    EXPECT_EQ(Render().pixel(55, 55), Rgb(clRed));
}

TEST_F(ControlsTest, TransparentControlsReadTheParentBeneathThem)
{
    auto* panel = new TPanel(Form.get());
    panel->SetParent(Form.get());
    panel->SetBevelOuter(bvNone);
    panel->SetColor(clNavy);
    panel->SetBounds(0, 0, 100, 100);
    auto* peek = new TPeek(Form.get());
    peek->SetParent(panel);
    peek->SetBounds(10, 10, 20, 20);
    Form->Show();
    Render();
    EXPECT_EQ(peek->Seen, clNavy);
    EXPECT_EQ(peek->Copied, clNavy);
    Form->Handle()->repaint();
    EXPECT_EQ(peek->Seen, clNavy);
}

TEST_F(ControlsTest, PaintDirectDrawsOnWhatTheControlShows)
{
    auto* swatch = new TSwatch(Form.get(), clRed);
    swatch->SetParent(Form.get());
    swatch->SetBounds(10, 10, 40, 40);
    Form->Show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form->Handle()));
    swatch->Repaint();
    const int paints = swatch->Paints;
    EXPECT_GE(paints, 1);
    EXPECT_EQ(Shown().pixel(30, 30), Rgb(clRed));

    swatch->PaintDirect([](TCanvas* canvas) {
        canvas->Pen()->SetColor(clBlue);
        canvas->MoveTo(0, 20);
        canvas->LineTo(40, 20);
    });
    // Only the line was drawn; the rest is what Paint left there.
    EXPECT_EQ(swatch->Paints, paints);
    const QImage shown = Shown();
    EXPECT_EQ(shown.pixel(10, 30), Rgb(clBlue));
    EXPECT_EQ(shown.pixel(49, 30), Rgb(clBlue));
    EXPECT_EQ(shown.pixel(30, 29), Rgb(clRed));
    EXPECT_EQ(shown.pixel(30, 31), Rgb(clRed));

    // Outside a paint the canvas draws nothing but measures text.
    swatch->Canvas()->FillRect(Rect(0, 0, 40, 40));
    EXPECT_GT(swatch->Canvas()->TextWidth("abc"), 0);
    EXPECT_EQ(swatch->Canvas()->Handle(), nullptr);

    // Hidden controls are not drawn on.
    swatch->SetVisible(false);
    bool called = false;
    swatch->PaintDirect([&](TCanvas*) { called = true; });
    EXPECT_FALSE(called);
}

TEST_F(ControlsTest, InvalidateFromAnotherThreadRepaintsInTheGuiThread)
{
    auto* swatch = new TSwatch(Form.get());
    swatch->SetParent(Form.get());
    swatch->SetBounds(0, 0, 10, 10);
    Form->Show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form->Handle()));
    QCoreApplication::processEvents();
    const int paints = swatch->Paints;
    std::thread worker([swatch] { swatch->Invalidate(); });
    worker.join();
    EXPECT_TRUE(QTest::qWaitFor([&] { return swatch->Paints > paints; }));
}

TEST_F(ControlsTest, TabOrderFollowsTheStoredOrderAndCanMove)
{
    auto* a = new TKeyTaker(Form.get());
    auto* b = new TKeyTaker(Form.get());
    auto* c = new TKeyTaker(Form.get());
    for (TKeyTaker* t : { a, b, c })
        t->SetParent(Form.get());
    EXPECT_EQ(a->TabOrder(), 0);
    EXPECT_EQ(c->TabOrder(), 2);
    c->SetTabOrder(0);
    EXPECT_EQ(c->TabOrder(), 0);
    EXPECT_EQ(a->TabOrder(), 1);
    c->SetTabOrder(99);
    EXPECT_EQ(c->TabOrder(), 2);
    Form->Show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form->Handle()));
    a->SetFocus();
    QTest::keyClick(a->Handle(), Qt::Key_Tab);
    EXPECT_TRUE(b->Focused());

    // A control destroyed leaves the order; those after it move up.
    delete a;
    EXPECT_EQ(b->TabOrder(), 0);
    EXPECT_EQ(c->TabOrder(), 1);
    auto* d = new TKeyTaker(Form.get());
    d->SetParent(Form.get());
    EXPECT_EQ(d->TabOrder(), 2);
}

TEST_F(ControlsTest, HintsAndCursors)
{
    auto* swatch = new TSwatch(Form.get());
    swatch->SetParent(Form.get());
    swatch->SetHint("Short|A longer help text");
    EXPECT_EQ(swatch->Handle()->toolTip(), "");
    Form->SetShowHint(true);
    EXPECT_EQ(swatch->Handle()->toolTip(), "Short");
    swatch->SetShowHint(false);
    EXPECT_TRUE(swatch->ParentShowHint());
    swatch->SetParentShowHint(false);
    EXPECT_EQ(swatch->Handle()->toolTip(), "");
    swatch->SetShowHint(true);
    EXPECT_EQ(swatch->Handle()->toolTip(), "Short");

    swatch->SetCursor(crHandPoint);
    EXPECT_EQ(swatch->Handle()->cursor().shape(), Qt::PointingHandCursor);
    Screen->SetCursors(2001, std::nullopt);
    Screen->SetCursors(2002, QCursor(Qt::CrossCursor));
    swatch->SetCursor(TCursor(2002));
    EXPECT_EQ(swatch->Handle()->cursor().shape(), Qt::CrossCursor);
    swatch->SetCursor(TCursor(2001));
    EXPECT_EQ(swatch->Handle()->cursor().shape(), Qt::ArrowCursor);
}

TEST(VirtualKeys, QtKeysMapToPlatformCodes)
{
    EXPECT_EQ(QtKeyToVirtualKey(Qt::Key_A), 'A');
    EXPECT_EQ(QtKeyToVirtualKey(Qt::Key_5), '5');
    EXPECT_EQ(QtKeyToVirtualKey(Qt::Key_5, true), VK_NUMPAD0 + 5);
    EXPECT_EQ(QtKeyToVirtualKey(Qt::Key_F12), VK_F12);
    EXPECT_EQ(QtKeyToVirtualKey(Qt::Key_Home), VK_HOME);
    EXPECT_EQ(QtKeyToVirtualKey(Qt::Key_Enter), VK_RETURN);
    EXPECT_EQ(QtKeyToVirtualKey(Qt::Key_Eacute), 0);
    EXPECT_EQ(QtShiftState(Qt::ShiftModifier | Qt::AltModifier, Qt::RightButton), ssShift | ssAlt | ssRight);
}
