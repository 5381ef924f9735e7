#include "mm/display/MMMeter.h"
#include "platform/ui/FormWriter.h"
#include "platform/ui/Forms.h"
#include "support/FormText.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QWidget>
#include <array>
#include <climits>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

constexpr QRgb kWhite = 0xFFFFFFFF;
constexpr QRgb kNavy = 0xFF000080;
constexpr QRgb kLime = 0xFF00FF00;
constexpr QRgb kRed = 0xFFFF0000;

// A meter as the main window holds it: 151 x 65 in its panel, a lowered
// one-pixel inner bevel and a two-pixel border (drawing area 145 x 59).
class MMMeterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Form = std::make_unique<TForm>(nullptr);
        Form->SetBounds(0, 0, 200, 100);
        Meter = new TMMMeter(Form.get());
        Meter->SetParent(Form.get());
        Meter->Bevel()->SetBevelOuter(bvNone);
        Meter->Bevel()->SetBevelInner(bvLowered);
        Meter->Bevel()->SetBorderWidth(2);
        Meter->SetBounds(10, 10, 151, 65);
        Meter->SetColor(clNavy);
        Meter->SetScale1Color(clLime);
        Meter->SetNeedleOffset(50);
        Meter->SetScaleAngle(80);
        Meter->SetTopSpace(12);
        Meter->SetBitLength(b16Bit);
        Meter->SetSamples(20);
        Meter->SetDecayMode(dmStepUp);
        Meter->SetDecay(8);
        Meter->SetPeakSpeed(1);
        Form->Show();
        QApplication::processEvents();
    }

    // The drawing area as the screen shows it.
    QImage Shot()
    {
        return Meter->Handle()->grab().toImage().convertToFormat(QImage::Format_RGB32).copy(3, 3, 145, 59);
    }

    void Slice(std::int16_t level)
    {
        const std::vector<std::int16_t> data(20, level);
        Meter->ShowSlice(data.data());
    }

    std::unique_ptr<TForm> Form;
    TMMMeter* Meter = nullptr;
};

TEST_F(MMMeterTest, MainWindowGeometryAndPixelsAtRestAndFullScale)
{
    EXPECT_EQ(Meter->DrawArea(), Rect(3, 3, 148, 62));
    EXPECT_EQ(Meter->Pivot(), Point(72, 109));
    EXPECT_EQ(Meter->Radius(), 97);
    EXPECT_EQ(Meter->StepSize(), 40);
    EXPECT_EQ(Meter->NeedlePoint(0, 97), Point(10, 35));
    EXPECT_EQ(Meter->NeedlePoint(32767, 97), Point(134, 35));
    EXPECT_EQ(Meter->NeedlePoint(16383, 97), Point(72, 12));

    // Tick pixels halfway along the large ticks (radius 87 .. 95): the
    // first and the middle one lime, the last one red.
    const TPoint first = Meter->NeedlePoint(0, 91);
    const TPoint middle = Meter->NeedlePoint(16383, 91);
    const TPoint last = Meter->NeedlePoint(32767, 91);
    QImage rest = Shot();
    EXPECT_EQ(rest.pixel(middle.X, middle.Y), kLime);
    EXPECT_EQ(rest.pixel(last.X, last.Y), kRed);
    // The needle at rest: the line ends one pixel short of its tip (10, 35).
    EXPECT_EQ(rest.pixel(11, 36), kWhite);
    EXPECT_NE(rest.pixel(10, 35), kWhite);
    EXPECT_EQ(rest.pixel(first.X, first.Y), kLime);
    EXPECT_EQ(rest.pixel(72, 30), kNavy);

    Slice(32767);
    EXPECT_EQ(Meter->NeedleValue(), 32767);
    EXPECT_EQ(Meter->Value(), 100);
    QImage full = Shot();
    EXPECT_EQ(full.pixel(133, 36), kWhite);
    EXPECT_NE(full.pixel(134, 35), kWhite);
    EXPECT_EQ(full.pixel(last.X, last.Y), kRed);
    EXPECT_EQ(full.pixel(first.X, first.Y), kLime);
    EXPECT_EQ(full.pixel(middle.X, middle.Y), kLime);

    // A reset puts needle and peak back: the rest picture again.
    Meter->ResetDisplay();
    EXPECT_EQ(Shot(), rest);
}

TEST_F(MMMeterTest, NeedleFallsByTheDecayFactorAfterOneLoudSlice)
{
    EXPECT_NEAR(Meter->DecayFactor(), 0.96466f, 1e-5);
    EXPECT_EQ(Meter->DecayWindow(), 14);
    Slice(32767);
    ASSERT_EQ(Meter->NeedleValue(), 32767);
    // Each silent slice lowers the level by 0.96466, 20 log10 of it in dB,
    // on a scale of 32767 per 50 dB.
    const double perSlice = 20 * std::log10(0.96466) * 32767 / 50;
    for (int k = 1; k <= 40; ++k) {
        Slice(0);
        EXPECT_NEAR(Meter->NeedleValue(), 32767 + k * perSlice, 2.0) << "slice " << k;
    }
    Meter->SetDecay(1);
    EXPECT_NEAR(Meter->DecayFactor(), 0.01f, 1e-7);
    EXPECT_EQ(Meter->DecayWindow(), 1);
}

TEST_F(MMMeterTest, PeakHoldsForTwiceTheDelayPlusOneTicksThenFalls)
{
    MMTimerSuspend(Meter->TickId()); // the test is the tick
    Meter->SetDecayMode(dmNone);
    Slice(32767);
    Slice(0);
    ASSERT_EQ(Meter->NeedleValue(), 0);
    ASSERT_EQ(Meter->PeakValue(), 32767);
    for (int tick = 1; tick <= 40; ++tick) {
        Meter->PeakTick();
        ASSERT_EQ(Meter->PeakValue(), 32767) << "tick " << tick;
    }
    for (int fall = 1; fall <= 5; ++fall) {
        Meter->PeakTick();
        EXPECT_EQ(Meter->PeakValue(), 32767 - 500 * fall);
    }
    // The fallen peak is drawn with the next slice, even a silent one.
    Meter->Repaint();
    ASSERT_FALSE(Meter->Pacer().Pending());
    Slice(0);
    EXPECT_TRUE(Meter->Pacer().Pending());

    // PeakSpeed 0: after the hold the peak goes straight to the needle.
    Meter->SetPeakSpeed(0);
    Meter->SetPeakDelay(1);
    Slice(32767);
    Slice(0);
    for (int tick = 1; tick <= 2; ++tick)
        Meter->PeakTick();
    EXPECT_EQ(Meter->PeakValue(), 32767);
    Meter->PeakTick();
    EXPECT_EQ(Meter->PeakValue(), 0);
}

// Off screen the peak tick rests (with nothing else subscribed, the tick
// service's timer stops); back on screen the peak stands where the ticks it
// missed would have brought it.
TEST_F(MMMeterTest, ThePeakTickRestsOffScreenAndMakesUpItsTicksOnReturn)
{
    Meter->SetDecayMode(dmNone);
    Meter->SetPeakSpeed(0);
    Meter->SetPeakDelay(2); // held five ticks, then back to the needle
    ASSERT_FALSE(MMTimerSuspended(Meter->TickId()));
    Form->Hide();
    QApplication::processEvents();
    EXPECT_TRUE(MMTimerSuspended(Meter->TickId()));
    EXPECT_EQ(MMTimerTimerId(), 0u);
    Slice(32767);
    Slice(0);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 300)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    EXPECT_EQ(Meter->PeakValue(), 32767);

    Form->Show();
    QApplication::processEvents();
    EXPECT_FALSE(MMTimerSuspended(Meter->TickId()));
    EXPECT_NE(MMTimerTimerId(), 0u);
    EXPECT_EQ(Meter->PeakValue(), 0);
}

TEST_F(MMMeterTest, OverflowEventsAndFormats)
{
    int pcm = 0;
    int gain = 0;
    Meter->SetOnPcmOverflow([&](TObject*) { ++pcm; });
    Meter->SetOnGainOverflow([&](TObject*) { ++gain; });
    Meter->SetDecayMode(dmNone);
    struct Case {
        std::int16_t Level;
        int Gain;
        int Pcm, GainOverflow;
        int Needle;
    };
    // On the -50 dB scale a level L stands at 32767 + 20 log10(L / 32767) x
    // 32767 / 50: 32766 at 32766.83 and 32765 at 32766.65 round to full
    // scale, 32764 at 32766.48 does not.
    const Case cases[] = {
        { 32767, 0, 1, 1, 32767 },
        { -32768, 0, 1, 1, 32767 },
        { 32766, 0, 0, 1, 32767 },
        { 32765, 0, 0, 1, 32767 },
        { 32764, 0, 0, 0, 32766 },
        { 20000, 32, 0, 1, 32767 },
        { 20000, -8, 0, 0, 0 },
    };
    for (const Case& c : cases) {
        pcm = gain = 0;
        Meter->SetGain(c.Gain);
        Meter->ResetDisplay();
        Slice(c.Level);
        EXPECT_EQ(pcm, c.Pcm) << c.Level << " gain " << c.Gain;
        EXPECT_EQ(gain, c.GainOverflow) << c.Level << " gain " << c.Gain;
        EXPECT_EQ(Meter->NeedleValue(), c.Needle) << c.Level << " gain " << c.Gain;
    }
    // Gain -8 reads nothing back instead of dividing by zero.
    Meter->SetGain(-8);
    Meter->SetValue(50);
    EXPECT_EQ(Meter->Value(), 0);
    Meter->SetGain(40); // ignored
    EXPECT_EQ(Meter->Gain(), -8);

    // 8-bit stereo, right channel: byte 0 is -32768.
    WAVEFORMATEX format { 1, 2, 8000, 16000, 2, 8, 0 };
    Meter->AdoptFormat(&format);
    EXPECT_EQ(Meter->StepSize(), 40);
    Meter->SetChannel(chRight);
    pcm = 0;
    std::array<std::uint8_t, 40> bytes;
    bytes.fill(128);
    bytes[3] = 0;
    Meter->ShowSlice(bytes.data());
    EXPECT_EQ(pcm, 1);
    Meter->SetChannel(chLeft);
    Meter->ShowSlice(bytes.data());
    EXPECT_EQ(pcm, 1);

    WAVEFORMATEX gsm { 0x31, 1, 8000, 1625, 65, 0, 0 };
    EXPECT_THROW(Meter->AdoptFormat(&gsm), EMMMeterError);
    EXPECT_EQ(Meter->BitLength(), b8Bit);
    EXPECT_EQ(Meter->Mode(), mStereo);
    Meter->SetSamples(0x7FFFFFFF);
    EXPECT_GT(Meter->StepSize(), 0);
}

TEST_F(MMMeterTest, SlicesRedrawAtMostOncePerFrame)
{
    Meter->SetDecayMode(dmNone);
    QApplication::processEvents();
    const int before = Meter->Pacer().Draws();
    QElapsedTimer clock;
    clock.start();
    int slices = 0;
    while (clock.elapsed() < 300) {
        Slice(std::int16_t(1000 + (slices % 50) * 600));
        ++slices;
        QApplication::processEvents();
    }
    const int draws = Meter->Pacer().Draws() - before;
    EXPECT_GT(slices, 1000);
    EXPECT_GE(draws, 5);
    EXPECT_LE(draws, 300 / TMMFramePacer::kFrameMs + 2);
}

// A needle that moves by less than a pixel leaves the picture as it is; the
// value itself still follows every slice.
TEST_F(MMMeterTest, OnlyALevelChangeThatMovesTheNeedleOnScreenRedraws)
{
    Meter->SetDecayMode(dmNone);
    QApplication::processEvents();
    int paints = 0;
    Meter->SetOnPostPaint([&](TObject*) { ++paints; });
    const struct {
        std::int16_t Level;
        bool Drawn;
    } steps[] = { { 1000, true }, { 1001, false }, { 8000, true }, { 8001, false }, { 1000, true } };
    for (const auto& step : steps) {
        const int needle = Meter->NeedleValue();
        const int draws = Meter->Pacer().Draws();
        paints = 0;
        Slice(step.Level);
        ASSERT_NE(Meter->NeedleValue(), needle) << step.Level;
        QElapsedTimer clock;
        clock.start();
        while (Meter->Pacer().Draws() == draws && clock.elapsed() < 2000)
            QApplication::processEvents();
        ASSERT_GT(Meter->Pacer().Draws(), draws) << step.Level;
        EXPECT_EQ(paints > 0, step.Drawn) << step.Level;
    }
}

// Values at the ends of the int range draw a sensible picture: the arc's
// top stays TopSpace below the top of the area whatever the offset, and
// lengths beyond any screen draw what merely very long ones draw.
TEST_F(MMMeterTest, ExtremeGeometryAndOffsetsStayWithinTheirMeaning)
{
    struct TCase {
        const char* Name;
        std::function<void(TMMMeter*)> Set;
        std::function<void(TMMMeter*)> Like; // an equivalent meter, if any
        int ApexY; // INT_MIN: above the area, INT_MAX: below it
    };
    const TCase cases[] = {
        { "NeedleOffset INT_MAX", [](TMMMeter* m) { m->SetNeedleOffset(INT_MAX); }, nullptr, 12 },
        { "TopSpace INT_MIN", [](TMMMeter* m) { m->SetTopSpace(INT_MIN); }, nullptr, INT_MIN },
        { "TopSpace INT_MAX", [](TMMMeter* m) { m->SetTopSpace(INT_MAX); }, nullptr, INT_MAX },
        { "both at their limits",
            [](TMMMeter* m) {
                m->SetNeedleOffset(INT_MAX);
                m->SetTopSpace(INT_MIN);
            },
            nullptr, INT_MIN },
        // Five ticks keep the long lines few: each is drawn pixel by pixel.
        { "ticks longer than any screen",
            [](TMMMeter* m) {
                m->SetScaleTicks(5);
                m->SetScaleHeight2(INT_MAX);
            },
            [](TMMMeter* m) {
                m->SetScaleTicks(5);
                m->SetScaleHeight2(1000000);
            },
            12 },
        { "small ticks too",
            [](TMMMeter* m) {
                m->SetScaleTicks(5);
                m->SetScaleHeight1(INT_MAX);
                m->SetScaleOrigin(soOuter);
            },
            [](TMMMeter* m) {
                m->SetScaleTicks(5);
                m->SetScaleHeight1(1000000);
                m->SetScaleOrigin(soOuter);
            },
            12 },
        { "a tick per scale value and more", [](TMMMeter* m) { m->SetScaleTicks(INT_MAX); },
            [](TMMMeter* m) { m->SetScaleTicks(32768); }, 12 },
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        SetUp();
        c.Set(Meter);
        const QImage shot = Shot();
        const int apex = Meter->NeedlePoint(16383, Meter->Radius()).Y;
        if (c.ApexY == INT_MIN)
            EXPECT_LT(apex, 0);
        else if (c.ApexY == INT_MAX)
            EXPECT_GT(apex, 59);
        else
            EXPECT_EQ(apex, c.ApexY);
        if (c.Like) {
            SetUp();
            c.Like(Meter);
            EXPECT_EQ(shot, Shot());
        }
    }

    // A DC offset of INT_MIN reads back and lifts silence past full scale.
    int pcm = 0, gain = 0;
    Meter->SetDecayMode(dmNone);
    Meter->SetOnPcmOverflow([&](TObject*) { ++pcm; });
    Meter->SetOnGainOverflow([&](TObject*) { ++gain; });
    Meter->SetDCOffsetL(INT_MIN);
    EXPECT_EQ(Meter->DCOffsetL(), INT_MIN);
    Slice(0);
    EXPECT_EQ(Meter->NeedleValue(), 32767);
    EXPECT_EQ(pcm, 1);
    EXPECT_EQ(gain, 1);
}

// A form whose methods the drag events of a stored form name.
class TMeterDragForm : public TForm {
    Q_OBJECT
public:
    using TForm::TForm;
    QStringList Calls;

    Q_INVOKABLE void DragDrop(TObject*, TObject*, int x, int y)
    {
        Calls << QStringLiteral("drop %1").arg(x + y);
    }
    Q_INVOKABLE void DragOver(TObject*, TObject*, int, int, TDragState, bool& accept)
    {
        Calls << QStringLiteral("over");
        accept = true;
    }
    Q_INVOKABLE void EndDrag(TObject*, TObject*, int, int) { Calls << QStringLiteral("end"); }
    Q_INVOKABLE void StartDrag(TObject*, TDragObject*&) { Calls << QStringLiteral("start"); }
};

// Both displays publish the drag events of their panel base; a stored form
// names their handlers and writes them back.
TEST(MMDisplayStoredForm, DragEventsLoadAndWriteBack)
{
    for (const QByteArray kind : { "TMMMeter", "TMMLight" }) {
        SCOPED_TRACE(kind.constData());
        QByteArray text = "object DragForm: TMeterDragForm\n"
                          "  object Display1: "
            + kind
            + "\n"
              "    OnDragDrop = DragDrop\n"
              "    OnDragOver = DragOver\n"
              "    OnEndDrag = EndDrag\n"
              "    OnStartDrag = StartDrag\n"
              "  end\n"
              "end\n";
        for (int pass = 0; pass < 2; ++pass) {
            SCOPED_TRACE(pass == 0 ? "stored" : "written back");
            TMeterDragForm form(nullptr);
            tonvara::test::ReadFormText(text, &form, "drag.form");
            auto* display = form.FindComponent<TControl>("Display1");
            ASSERT_NE(display, nullptr);
            ASSERT_EQ(display->metaObject()->className(), kind);
            bool accept = false;
            TDragObject* dragObject = nullptr;
            display->OnDragDrop()(display, &form, 3, 4);
            display->OnDragOver()(display, &form, 5, 6, dsDragMove, accept);
            display->OnEndDrag()(display, nullptr, 7, 8);
            display->OnStartDrag()(display, dragObject);
            EXPECT_TRUE(accept);
            EXPECT_EQ(form.Calls, QStringList({ "drop 7", "over", "end", "start" }));
            text = ComponentToText(&form);
        }
    }
}

} // namespace

#include "MMMeter_test.moc"
