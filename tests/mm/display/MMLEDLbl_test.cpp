#include "mm/display/MMLEDLbl.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/Forms.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QEventLoop>
#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <climits>
#include <gtest/gtest.h>
#include <memory>

namespace {

const QRgb kNavy = qRgb(0, 0, 0x80);
const QRgb kYellow = qRgb(255, 255, 0);

// The 11 x 13 font as the resource file holds it, read by Qt's own BMP
// reader: white, silver and black dots.
QImage FontFile()
{
    return QImage(tonvara::test::SourceDir() + "/resources/led/FONT_11X13.bmp")
        .convertToFormat(QImage::Format_RGB32);
}

// The cell of Code in the file, with the resource's three colours replaced.
QImage ExpectedCell(int code, QRgb lit, QRgb unlit, QRgb back)
{
    const int x = code < 95 ? 11 * (code - 32) : 11 * (code - 95);
    const int y = code < 95 ? 0 : 15;
    QImage cell = FontFile().copy(x, y, 11, 13);
    for (int j = 0; j < 13; ++j)
        for (int i = 0; i < 11; ++i) {
            const QRgb p = cell.pixel(i, j) & 0xFFFFFF;
            cell.setPixel(i, j, p == 0xFFFFFF ? lit : p == 0xC0C0C0 ? unlit : back);
        }
    return cell;
}

// The main window's marquee: 426 wide, a lowered outer and inner ring and a
// two-pixel border space (extent 4), white on navy.
class MMLEDLabelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Form = std::make_unique<TForm>(nullptr);
        Form->SetBounds(0, 0, 460, 80);
        Led = new TMMLEDLABEL(Form.get());
        Led->SetParent(Form.get());
        Led->SetFontSize(fs11x13);
        Led->SetInactiveColor(clNavy);
        Led->SetLEDColor(clWhite);
        Led->SetAutoSize(false);
        Led->Bevel()->SetBevelInner(bvLowered);
        Led->SetBounds(8, 20, 426, 30);
        Form->Show();
        QApplication::processEvents();
    }

    QImage Grab() { return Led->Handle()->grab().toImage().convertToFormat(QImage::Format_RGB32); }

    QImage Cell(const QImage& shot, int index) { return shot.copy(4 + 11 * index, 4, 11, 13); }

    // Runs the event loop until Done holds (or 5 s passed).
    static bool WaitFor(const std::function<bool()>& done)
    {
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (done())
                loop.quit();
        });
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        poll.start(1);
        loop.exec();
        return done();
    }

    std::unique_ptr<TForm> Form;
    TMMLEDLABEL* Led = nullptr;
};

TEST_F(MMLEDLabelTest, CellsAreCopiedPixelExactAtTheirPlaces)
{
    EXPECT_EQ(Led->NumChars(), 38);
    EXPECT_EQ(Led->Width(), 426);
    EXPECT_EQ(Led->Height(), 21);

    // The 'A' of the dot design: ".###." on its top row, lit dots at x 3, 5, 7.
    const QImage a = ExpectedCell('A', 0xFFFFFFFF, kNavy, 0xFF000000);
    EXPECT_EQ(a.pixel(3, 0) & 0xFFFFFF, 0xFFFFFFu);
    EXPECT_EQ(a.pixel(1, 0), kNavy | 0xFF000000);

    struct Case {
        QString Caption;
        int Index;
        int Code;
    };
    const Case cases[] = {
        { "A", 0, 'A' }, { "xyA", 2, 'A' }, { "a", 0, 'a' },
        { QString(QChar(0xDC)), 0, 137 }, // Ü shows the ü cell
        { QString(QChar(0xE9)), 0, ' ' }, // é, byte 0xE9, is not moved onto cell 131
        { QString(QChar(0xE7)), 0, ' ' }, // ç
        { QString(QChar(0x0192)), 0, 131 }, // byte 0x83 shows cell 131
        { QString(QChar(0x20AC)), 0, 128 }, // the euro sign, byte 0x80
        { QString(QChar(0x0081)), 0, 129 }, // a position the code page leaves empty
        { QString(QChar(0x009D)), 0, 157 }, { QString(QChar(0x011F)), 0, ' ' }, // ğ: byte 0xF0 has no cell
    };
    for (const Case& c : cases) {
        Led->SetCaption(c.Caption);
        const QImage shot = Grab();
        EXPECT_EQ(Cell(shot, c.Index), ExpectedCell(c.Code, qRgb(255, 255, 255), kNavy, qRgb(0, 0, 0)))
            << c.Caption.toStdString();
        EXPECT_EQ(Cell(shot, 37), ExpectedCell(' ', qRgb(255, 255, 255), kNavy, qRgb(0, 0, 0)));
    }
    // Only the six umlauts move; every other byte is its own cell or blank.
    for (int byte = 0; byte < 256; ++byte) {
        int cell = byte >= 32 && byte <= 157 ? byte : ' ';
        if (byte == 0xC4 || byte == 0xE4)
            cell = 135;
        else if (byte == 0xD6 || byte == 0xF6)
            cell = 140;
        else if (byte == 0xDC || byte == 0xFC)
            cell = 137;
        EXPECT_EQ(LEDCellCode(static_cast<unsigned char>(byte)), cell) << byte;
    }
}

TEST_F(MMLEDLabelTest, UnlitDotsTakeTheBackgroundWithoutDrawInactive)
{
    Led->SetCaption("A");
    Led->SetColor(clYellow);
    Led->SetDrawInactive(false);
    const QImage shot = Grab();
    EXPECT_EQ(Cell(shot, 0), ExpectedCell('A', qRgb(255, 255, 255), kYellow, kYellow));
    Led->SetInactiveColor(clRed);
    EXPECT_EQ(Grab(), shot);
}

TEST_F(MMLEDLabelTest, AFontNarrowerThanSixtyThreeCellsIsRefused)
{
    TBitmap narrow(62, 28, pf24bit);
    EXPECT_FALSE(Led->SetFontBitmap(&narrow));
    EXPECT_EQ(Led->CharWidth(), 11);
    EXPECT_EQ(Led->NumChars(), 38);
    TBitmap wide(126, 42, pf24bit);
    EXPECT_TRUE(Led->SetFontBitmap(&wide));
    EXPECT_EQ(Led->CharWidth(), 2);
    EXPECT_EQ(Led->CharHeight(), 20);
}

TEST_F(MMLEDLabelTest, ScrollingRunsOnceOrWrapsToTheStartStep)
{
    Led->SetCaption("HELLO");
    Led->SetScrollSpeed(5);
    int steps = 0;
    int ends = 0;
    Led->SetOnStep([&](TObject*) { ++steps; });
    Led->SetOnEnd([&](TObject*) { ++ends; });

    Led->SetAlignment(taRightJustify);
    Led->StartScroll();
    EXPECT_EQ(Led->Alignment(), taLeftJustify);
    ASSERT_TRUE(WaitFor([&] { return ends == 1; }));
    EXPECT_EQ(steps, 4);
    EXPECT_EQ(Led->CurrentStep(), 5);
    EXPECT_FALSE(Led->Scrolling());
    // The last frame is all blanks.
    EXPECT_EQ(Cell(Grab(), 0), ExpectedCell(' ', qRgb(255, 255, 255), kNavy, qRgb(0, 0, 0)));

    Led->SetStartStep(2);
    steps = 0;
    ends = 0;
    Led->SetAutoScroll(true);
    ASSERT_TRUE(WaitFor([&] { return ends == 1; }));
    EXPECT_EQ(steps, 2);
    EXPECT_EQ(Led->CurrentStep(), 2);
    EXPECT_TRUE(Led->Scrolling());
    Led->SetAutoScroll(false);
    EXPECT_FALSE(Led->Scrolling());

    // Steps beyond the caption are ignored; its length is accepted.
    Led->SetCurrentStep(6);
    EXPECT_EQ(Led->CurrentStep(), 2);
    Led->SetCurrentStep(5);
    EXPECT_EQ(Led->CurrentStep(), 5);
}

TEST(MMLEDLabelForm, AutoScrollReadAfterCurrentStepStartsAtTheBeginning)
{
    const QByteArray text = "object MMLEDLABEL1: TMMLEDLABEL\n"
                            "  Left = 8\n  Top = 477\n  Width = 426\n  Height = 21\n"
                            "  Bevel.BevelInner = bvLowered\n  Bevel.BorderSpace = 2\n"
                            "  AutoSize = False\n  Caption = '....................Velmora'\n"
                            "  FontSize = fs11x13\n  InactiveColor = clNavy\n  LEDColor = clWhite\n"
                            "  NumChars = 12\n  ScrollSpeed = 140\n  CurrentStep = 18\n  AutoScroll = True\n"
                            "end\n";
    std::unique_ptr<TComponent> read(ReadComponentFromText(text, nullptr, "led.form"));
    auto* led = qobject_cast<TMMLEDLABEL*>(read.get());
    ASSERT_NE(led, nullptr);
    EXPECT_EQ(led->CurrentStep(), 0);
    EXPECT_TRUE(led->Scrolling());
    EXPECT_EQ(led->NumChars(), 38);
    EXPECT_EQ(led->Width(), 426);
    EXPECT_EQ(led->Height(), 21);
}

// Off screen the marquee rests only while nobody listens to its steps, and
// it goes on when its window comes back, even in a native window made anew
// while it was hidden.
TEST_F(MMLEDLabelTest, TheMarqueeRestsOffScreenOnlyWithoutListenersAndComesBack)
{
    enum TListener { kNone, kStep, kEnd };
    struct TCase {
        const char* Name;
        TListener Listener;
        bool Recreate;
    };
    for (const TCase& c : { TCase { "no listener", kNone, false }, TCase { "OnStep", kStep, false },
             TCase { "OnEnd", kEnd, false }, TCase { "window made anew", kNone, true } }) {
        SCOPED_TRACE(c.Name);
        SetUp();
        int heard = 0;
        if (c.Listener == kStep)
            Led->SetOnStep([&](TObject*) { ++heard; });
        if (c.Listener == kEnd)
            Led->SetOnEnd([&](TObject*) { ++heard; });
        Led->SetCaption("HI");
        Led->SetScrollSpeed(5);
        Led->SetAutoScroll(true);
        QWidget* window = Form->Handle();
        window->hide();
        if (c.Listener != kNone) {
            EXPECT_TRUE(WaitFor([&] { return heard >= 3; })) << "heard " << heard;
            EXPECT_FALSE(Led->Resting());
            continue;
        }
        ASSERT_TRUE(WaitFor([&] { return Led->Resting(); }));
        EXPECT_TRUE(Led->Scrolling());
        if (c.Recreate) {
            // Made a child and a window again, the widget gets a new
            // native window.
            const QPointer<QWindow> before = window->windowHandle();
            QWidget holder;
            window->setParent(&holder);
            window->setParent(nullptr, Qt::Window);
            window->winId();
            ASSERT_TRUE(before.isNull());
            ASSERT_NE(window->windowHandle(), nullptr);
        }
        window->show();
        ASSERT_TRUE(WaitFor([&] { return !Led->Resting(); }));
        int steps = 0;
        Led->SetOnStep([&](TObject*) { ++steps; });
        EXPECT_TRUE(WaitFor([&] { return steps >= 1; }));
    }
}

// LEDSpace up to INT_MAX: the cells stand that far apart, a row wider
// than any widget is cut to the widest one, and one narrower than none is
// empty.
TEST_F(MMLEDLabelTest, CellPitchAtTheIntLimit)
{
    struct TCase {
        bool AutoSize;
        const char* Caption;
        int Width, NumChars;
    };
    for (const TCase& c : { TCase { false, "HELLO", 19, 1 }, TCase { true, "HELLO", QWIDGETSIZE_MAX, 5 },
             TCase { true, "", 0, 0 } }) {
        SCOPED_TRACE(c.Caption);
        SetUp();
        Led->SetCaption(c.Caption);
        Led->SetAutoSize(c.AutoSize);
        Led->SetLEDSpace(INT_MAX);
        EXPECT_EQ(Led->LEDSpace(), INT_MAX);
        EXPECT_EQ(Led->Width(), c.Width);
        EXPECT_EQ(Led->NumChars(), c.NumChars);
        Led->Repaint();
    }
}

} // namespace
