#include "mm/display/MMSwitch.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/FormWriter.h"
#include "platform/ui/Forms.h"
#include "support/FormText.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

// The knob pictures of the default strips (resources/switch/make-glyphs.py):
// an upright cap is 11 x 18 with its stripe on rows 8 and 9, columns 2..8.
const QRgb kOutline = qRgb(48, 48, 48);
const QRgb kFace = qRgb(192, 192, 192);
const QRgb kDarkGreen = qRgb(0, 100, 0);
const QRgb kBrightGreen = qRgb(0, 255, 0);
const QRgb kYellow = qRgb(255, 255, 0);

QRgb Rgb(TColor color)
{
    return ColorToQColor(color).rgb() | 0xFF000000u;
}

class TSwitchForm : public TForm {
    Q_OBJECT
public:
    using TForm::TForm;
    Q_INVOKABLE void SwChange(TObject*) { ++Changes; }
    int Changes = 0;
};

class MMSwitchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegisterClass<TSwitchForm>();
        Form = std::make_unique<TSwitchForm>(nullptr);
        Form->SetBounds(0, 0, 200, 150);
        Form->SetColor(clYellow);
        Sw = new TMMSwitch(Form.get());
        Sw->SetName("Sw");
        Sw->SetParent(Form.get());
        Sw->SetLeft(20);
        Sw->SetTop(30);
        Sw->SetOnChange([this](TObject* sender) {
            EXPECT_EQ(sender, Sw);
            ++Changes;
        });
    }

    // The main window's switch: horizontal, two positions, a raised outer
    // ring and a bvSpace inner ring (extent 2).
    void MakeMainWindowSwitch()
    {
        Sw->SetKind(skHorizontal);
        Sw->Bevel()->SetBevelOuter(bvRaised);
        Sw->Bevel()->SetBevelInner(bvSpace);
        Sw->Bevel()->SetInnerLightColor(clRed);
        Sw->Bevel()->SetBorderColor(clRed);
    }

    void Show()
    {
        Form->Show();
        QApplication::processEvents();
    }

    QImage Grab() { return Sw->Handle()->grab().toImage().convertToFormat(QImage::Format_RGB32); }

    void Mouse(QEvent::Type type, Qt::MouseButton button, int x, int y, Qt::MouseButtons held)
    {
        QWidget* widget = Sw->Handle();
        const QPointF local(x, y);
        QMouseEvent event(type, local, widget->mapToGlobal(local), button, held, Qt::NoModifier);
        QApplication::sendEvent(widget, &event);
    }
    void Press(int x, int y, Qt::MouseButton button = Qt::LeftButton)
    {
        Mouse(QEvent::MouseButtonPress, button, x, y, button);
    }
    void Move(int x, int y) { Mouse(QEvent::MouseMove, Qt::NoButton, x, y, Qt::LeftButton); }
    void Release(int x, int y, Qt::MouseButton button = Qt::LeftButton)
    {
        Mouse(QEvent::MouseButtonRelease, button, x, y, Qt::NoButton);
    }
    void Key(int qtKey)
    {
        QKeyEvent down(QEvent::KeyPress, qtKey, Qt::NoModifier);
        QApplication::sendEvent(Sw->Handle(), &down);
        QKeyEvent up(QEvent::KeyRelease, qtKey, Qt::NoModifier);
        QApplication::sendEvent(Sw->Handle(), &up);
    }

    std::unique_ptr<TSwitchForm> Form;
    TMMSwitch* Sw = nullptr;
    int Changes = 0;
};

} // namespace

TEST_F(MMSwitchTest, ConstructionDefaults)
{
    EXPECT_EQ(Sw->Kind(), skVertical);
    EXPECT_EQ(Sw->NumPositions(), 2);
    EXPECT_EQ(Sw->Position(), 0);
    EXPECT_EQ(Sw->NumGlyphs(), 3);
    EXPECT_TRUE(Sw->TabStop());
    EXPECT_TRUE(Sw->DefaultGlyph());
    EXPECT_EQ(Sw->Glyph()->Width(), 54);
    EXPECT_EQ(Sw->Glyph()->Height(), 11);
    // Default bevel: a lowered one-pixel outer ring (extent 1): 18 x 22 + 2.
    EXPECT_EQ(Sw->Width(), 20);
    EXPECT_EQ(Sw->Height(), 24);
}

TEST_F(MMSwitchTest, MainWindowSwitchIs26By22)
{
    MakeMainWindowSwitch();
    EXPECT_EQ(Sw->Width(), 26);
    EXPECT_EQ(Sw->Height(), 22);
    // The size cannot be changed from outside.
    Sw->SetBounds(20, 30, 100, 100);
    EXPECT_EQ(Sw->Width(), 26);
    EXPECT_EQ(Sw->Height(), 22);
    EXPECT_EQ(Sw->Left(), 20);
}

TEST_F(MMSwitchTest, PaintsBevelTrackAndKnobAtEachPosition)
{
    MakeMainWindowSwitch();
    Show();
    for (int position : { 0, 1 }) {
        Sw->SetPosition(position);
        const QImage image = Grab();
        const int left = 2 + 11 * position; // knob left edge
        // Raised outer ring, then the bvSpace ring in the control's colour.
        EXPECT_EQ(image.pixel(0, 10), Rgb(clBtnHighlight)) << position;
        EXPECT_EQ(image.pixel(25, 10), Rgb(clBtnShadow)) << position;
        EXPECT_EQ(image.pixel(10, 0), Rgb(clBtnHighlight)) << position;
        EXPECT_EQ(image.pixel(10, 21), Rgb(clBtnShadow)) << position;
        EXPECT_EQ(image.pixel(1, 10), kYellow) << position;
        // The knob: outline, face, the normal knob's dark green stripe, and
        // its transparent corners showing the colour.
        EXPECT_EQ(image.pixel(left, 2 + 5), kOutline) << position;
        EXPECT_EQ(image.pixel(left + 5, 2 + 8), kDarkGreen) << position;
        EXPECT_EQ(image.pixel(left + 5, 2 + 9), kDarkGreen) << position;
        EXPECT_EQ(image.pixel(left + 5, 2 + 7), kFace) << position;
        EXPECT_EQ(image.pixel(left, 2), kYellow) << position;
        EXPECT_EQ(image.pixel(left + 10, 2 + 17), kYellow) << position;
        // The other half of the track is empty.
        const int other = 2 + 11 * (1 - position);
        EXPECT_EQ(image.pixel(other + 5, 2 + 8), kYellow) << position;
        EXPECT_EQ(Sw->KnobRect(), Bounds(left, 2, 11, 18)) << position;
    }
}

TEST_F(MMSwitchTest, VerticalKnobMovesDown)
{
    Sw->SetNumPositions(3);
    Show();
    for (int position : { 0, 1, 2 }) {
        Sw->SetPosition(position);
        const QImage image = Grab();
        // The lying cap: 18 x 11, stripe on its columns 8 and 9.
        const int top = 1 + 11 * position;
        EXPECT_EQ(image.pixel(1 + 8, top + 5), kDarkGreen) << position;
        EXPECT_EQ(image.pixel(1 + 7, top + 5), kFace) << position;
        EXPECT_EQ(image.pixel(1, top), kYellow) << position;
        EXPECT_EQ(Sw->KnobRect(), Bounds(1, top, 18, 11)) << position;
    }
}

TEST_F(MMSwitchTest, DisabledKnobHasNoStripe)
{
    MakeMainWindowSwitch();
    Show();
    Sw->SetEnabled(false);
    const QImage image = Grab();
    EXPECT_EQ(image.pixel(2 + 5, 2 + 8), kFace);
    EXPECT_EQ(image.pixel(2, 2 + 5), kOutline);
    // A disabled switch still takes and reports positions, and ignores the mouse.
    Sw->SetPosition(1);
    EXPECT_EQ(Changes, 1);
    Press(7, 10);
    Release(7, 10);
    EXPECT_EQ(Sw->Position(), 1);
    EXPECT_EQ(Grab().pixel(13 + 5, 2 + 8), kFace);
}

TEST_F(MMSwitchTest, ClickOnTheOtherHalfJumpsAndFiresOnce)
{
    MakeMainWindowSwitch();
    Show();
    Grab();
    Press(18, 10);
    Release(18, 10);
    EXPECT_EQ(Sw->Position(), 1);
    EXPECT_EQ(Changes, 1);
    EXPECT_FALSE(Sw->Dragging());
    EXPECT_EQ(Grab().pixel(13 + 5, 2 + 8), kDarkGreen);
}

TEST_F(MMSwitchTest, ClickOnTheKnobStartsADragAndChangesNothing)
{
    MakeMainWindowSwitch();
    Show();
    Grab();
    Press(7, 10);
    EXPECT_TRUE(Sw->Dragging());
    EXPECT_EQ(Sw->Position(), 0);
    EXPECT_EQ(Changes, 0);
    // The pressed knob shows its bright stripe.
    EXPECT_EQ(Grab().pixel(2 + 5, 2 + 8), kBrightGreen);
    Release(7, 10);
    EXPECT_FALSE(Sw->Dragging());
    EXPECT_EQ(Grab().pixel(2 + 5, 2 + 8), kDarkGreen);
    EXPECT_EQ(Changes, 0);
}

TEST_F(MMSwitchTest, DraggingSixPixelsRightMovesToPositionOne)
{
    MakeMainWindowSwitch();
    Show();
    Grab();
    Press(7, 10);
    Move(12, 10); // 5 x 2 div 11 = 0
    EXPECT_EQ(Sw->Position(), 0);
    Move(13, 10); // 6 x 2 div 11 = 1
    EXPECT_EQ(Sw->Position(), 1);
    EXPECT_EQ(Changes, 1);
    const QImage pressed = Grab();
    EXPECT_EQ(pressed.pixel(13 + 5, 2 + 8), kBrightGreen);
    EXPECT_EQ(pressed.pixel(2 + 5, 2 + 8), kYellow);
    Move(7, 10);
    EXPECT_EQ(Sw->Position(), 0);
    Release(7, 10);
    EXPECT_EQ(Changes, 2);
    // Moves after the release do nothing.
    Move(20, 10);
    EXPECT_EQ(Sw->Position(), 0);
}

TEST_F(MMSwitchTest, OnlyTheLeftButtonActs)
{
    MakeMainWindowSwitch();
    Show();
    Press(18, 10, Qt::RightButton);
    Release(18, 10, Qt::RightButton);
    EXPECT_EQ(Sw->Position(), 0);
    EXPECT_EQ(Changes, 0);
}

TEST_F(MMSwitchTest, OnMouseDownRunsBeforeTheSwitchesOwnHandling)
{
    MakeMainWindowSwitch();
    Show();
    Grab();
    std::vector<int> seen;
    Sw->SetOnMouseDown([&](TObject* sender, TMouseButton button, TShiftState, int x, int y) {
        EXPECT_EQ(sender, Sw);
        EXPECT_EQ(button, mbLeft);
        EXPECT_EQ(x, 18);
        EXPECT_EQ(y, 10);
        seen.push_back(Sw->Position());
    });
    Press(18, 10);
    Release(18, 10);
    ASSERT_EQ(seen, std::vector<int> { 0 });
    EXPECT_EQ(Sw->Position(), 1);
    // The handler of the main window toggles the position first; the click
    // then lands on the knob that has just moved there and starts a drag.
    Sw->SetOnMouseDown(
        [&](TObject*, TMouseButton, TShiftState, int, int) { Sw->SetPosition(Sw->Position() == 0 ? 1 : 0); });
    Press(7, 10);
    EXPECT_EQ(Sw->Position(), 0);
    EXPECT_TRUE(Sw->Dragging());
    Release(7, 10);
}

TEST_F(MMSwitchTest, PositionIsClamped)
{
    Sw->SetPosition(7);
    EXPECT_EQ(Sw->Position(), 1);
    EXPECT_EQ(Changes, 1);
    Sw->SetPosition(7);
    EXPECT_EQ(Changes, 1);
    Sw->SetPosition(-3);
    EXPECT_EQ(Sw->Position(), 0);
    EXPECT_EQ(Changes, 2);
}

TEST_F(MMSwitchTest, FewerPositionsLowerThePositionSilently)
{
    Sw->SetNumPositions(5);
    Sw->SetPosition(4);
    EXPECT_EQ(Changes, 1);
    Sw->SetNumPositions(3);
    EXPECT_EQ(Sw->NumPositions(), 3);
    EXPECT_EQ(Sw->Position(), 2);
    EXPECT_EQ(Changes, 1);
    Sw->SetNumPositions(1);
    EXPECT_EQ(Sw->NumPositions(), 3);
    EXPECT_EQ(Sw->Height(), 11 * 3 + 2);
}

TEST_F(MMSwitchTest, KindSwapsTheDefaultGlyph)
{
    Sw->Bevel()->SetBevelOuter(bvNone);
    Sw->SetKind(skHorizontal);
    Sw->SetNumPositions(3);
    EXPECT_EQ(Sw->Width(), 33);
    EXPECT_EQ(Sw->Height(), 18);
    EXPECT_EQ(Sw->Glyph()->Width(), 33);
    Sw->SetKind(skVertical);
    EXPECT_EQ(Sw->Glyph()->Width(), 54);
    EXPECT_EQ(Sw->Glyph()->Height(), 11);
    EXPECT_EQ(Sw->Width(), 18);
    EXPECT_EQ(Sw->Height(), 33);
    EXPECT_TRUE(Sw->DefaultGlyph());
}

TEST_F(MMSwitchTest, CustomGlyphStaysWhenKindChanges)
{
    TBitmap strip(40, 10, pf24bit);
    Sw->SetGlyph(&strip);
    EXPECT_FALSE(Sw->DefaultGlyph());
    Sw->SetNumGlyphs(4);
    // Vertical: 10 x 10 knobs, two positions: 10 x 20 plus the ring.
    EXPECT_EQ(Sw->Width(), 12);
    EXPECT_EQ(Sw->Height(), 22);
    Sw->SetKind(skHorizontal);
    EXPECT_EQ(Sw->Glyph()->Width(), 40);
    EXPECT_EQ(Sw->Width(), 40 * 2 / 4 + 2);
    Sw->SetGlyph(nullptr);
    EXPECT_TRUE(Sw->DefaultGlyph());
    EXPECT_EQ(Sw->Glyph()->Width(), 33);
    EXPECT_EQ(Sw->NumGlyphs(), 3);
}

TEST_F(MMSwitchTest, KeysFollowTheTrackDirection)
{
    MakeMainWindowSwitch();
    Sw->SetNumPositions(4);
    Show();
    Key(Qt::Key_Down);
    Key(Qt::Key_Up);
    EXPECT_EQ(Sw->Position(), 0);
    EXPECT_EQ(Changes, 0);
    Key(Qt::Key_Right);
    EXPECT_EQ(Sw->Position(), 1);
    Key(Qt::Key_End);
    EXPECT_EQ(Sw->Position(), 3);
    Key(Qt::Key_Right);
    EXPECT_EQ(Sw->Position(), 3);
    Key(Qt::Key_Left);
    EXPECT_EQ(Sw->Position(), 2);
    Key(Qt::Key_Home);
    EXPECT_EQ(Sw->Position(), 0);
    EXPECT_EQ(Changes, 4);
    EXPECT_EQ(Grab().pixel(2 + 5, 2 + 8), kDarkGreen);

    Sw->SetKind(skVertical);
    Key(Qt::Key_Right);
    EXPECT_EQ(Sw->Position(), 0);
    Key(Qt::Key_Down);
    EXPECT_EQ(Sw->Position(), 1);
    Key(Qt::Key_Up);
    EXPECT_EQ(Sw->Position(), 0);
}

TEST_F(MMSwitchTest, EmptyGlyphHasNoKnob)
{
    MakeMainWindowSwitch();
    TBitmap nothing(2, 18, pf24bit); // narrower than its three images
    Sw->SetGlyph(&nothing);
    EXPECT_EQ(Sw->Width(), 2 * 2 / 3 + 4);
    Show();
    const QImage image = Grab();
    EXPECT_EQ(image.pixel(2, 10), kYellow);
    EXPECT_EQ(Sw->KnobRect().Left, -1);
    Press(3, 10);
    Move(5, 10);
    Release(5, 10);
    EXPECT_EQ(Sw->Position(), 0);
    Key(Qt::Key_End);
    EXPECT_EQ(Sw->Position(), 1);
}

TEST_F(MMSwitchTest, StoredFormKeepsCustomGlyphAndFiresNoChange)
{
    MakeMainWindowSwitch();
    Sw->SetOnChange(BindMethod<TNotifyEvent>(Form.get(), "SwChange"));
    const QByteArray defaultText = ComponentToText(Form.get());
    EXPECT_TRUE(defaultText.contains("Kind = skHorizontal"));
    EXPECT_FALSE(defaultText.contains("Glyph"));
    EXPECT_FALSE(defaultText.contains("NumPositions"));

    QImage picture(33, 18, QImage::Format_RGB32);
    picture.fill(qRgb(255, 0, 255));
    for (int x = 0; x < 33; ++x)
        picture.setPixel(x, 9, qRgb(x * 7, 10, 20));
    TBitmap strip;
    strip.SetImage(picture, pf24bit);
    Sw->SetGlyph(&strip);
    Sw->SetNumPositions(3);
    Sw->SetPosition(2);
    Form->Changes = 0;
    const QByteArray text = ComponentToText(Form.get());
    EXPECT_TRUE(text.contains("Glyph.Data = {")) << text.constData();
    EXPECT_TRUE(text.contains("Position = 2"));

    TSwitchForm copy(nullptr);
    tonvara::test::ReadFormText(text, &copy, "switch.form");
    auto* read = copy.FindComponent<TMMSwitch>("Sw");
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->Position(), 2);
    EXPECT_EQ(read->NumPositions(), 3);
    EXPECT_EQ(copy.Changes, 0);
    EXPECT_FALSE(read->DefaultGlyph());
    EXPECT_EQ(read->Glyph()->Width(), 33);
    EXPECT_EQ(read->Glyph()->Image().pixel(12, 9) & 0xFFFFFF, qRgb(84, 10, 20) & 0xFFFFFF);
    EXPECT_EQ(read->Width(), 33 * 3 / 3 + 4);
    // After loading, changes report again.
    read->SetPosition(0);
    EXPECT_EQ(copy.Changes, 1);
}

TEST_F(MMSwitchTest, FocusDrawsABlackOutlineAroundTheContent)
{
    MakeMainWindowSwitch();
    Show();
    Form->Handle()->activateWindow();
    QApplication::setActiveWindow(Form->Handle());
    Sw->SetFocus();
    QApplication::processEvents();
    ASSERT_TRUE(Sw->Focused());
    const QImage image = Grab();
    // The outline runs along the content rectangle (2, 2, 24, 20): over the
    // empty half of the track, and over the knob's own outline.
    EXPECT_EQ(image.pixel(18, 2), qRgb(0, 0, 0));
    EXPECT_EQ(image.pixel(23, 10), qRgb(0, 0, 0));
    EXPECT_EQ(image.pixel(2, 10), qRgb(0, 0, 0));
    EXPECT_EQ(image.pixel(18, 3), kYellow);
    Sw->SetPosition(1);
    const QImage moved = Grab();
    EXPECT_EQ(moved.pixel(2, 10), qRgb(0, 0, 0));
    EXPECT_EQ(moved.pixel(13 + 5, 2 + 8), kDarkGreen);
}

#include "MMSwitch_test.moc"
