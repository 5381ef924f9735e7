#include "mm/display/MMLight.h"
#include "platform/ui/Forms.h"

#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <numbers>
#include <vector>

namespace {

// The main window's organ: 249 x 169 with a lowered one-pixel outer bevel,
// three shaded lamps of 60 zones in a triangle, 16-bit mono at 8000 Hz.
class MMLightTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Form = std::make_unique<TForm>(nullptr);
        Form->SetBounds(0, 0, 300, 200);
        Light = new TMMLight(Form.get());
        Light->SetParent(Form.get());
        Light->SetBounds(10, 10, 249, 169);
        Light->SetBitLength(b16Bit);
        Light->SetSampleRate(8000);
        Light->SetKind(lkSphere);
        Light->SetArrange(laTriangle);
        Form->Show();
        QApplication::processEvents();
    }

    // The DIB's pixel value at (X, Y) of the lamp area.
    int DIBPixel(int x, int y)
    {
        TMMDIBCanvas* dib = Light->DIBCanvas();
        return dib->Bits()[(dib->Height() - 1 - y) * dib->Stride() + x];
    }

    void Feed(const std::vector<std::int16_t>& samples)
    {
        for (int i = 0; i < 4; ++i)
            Light->ShowSlice(samples.data());
    }

    static std::vector<std::int16_t> Tone(double hz, double amplitude)
    {
        std::vector<std::int16_t> s(128);
        for (int i = 0; i < 128; ++i)
            s[i] = std::int16_t(std::lround(amplitude * std::sin(2 * std::numbers::pi * hz * i / 8000)));
        return s;
    }

    std::unique_ptr<TForm> Form;
    TMMLight* Light = nullptr;
};

TEST_F(MMLightTest, MainLayoutLampsZonesAndBands)
{
    EXPECT_EQ(Light->LampArea(), Rect(1, 1, 248, 168));
    EXPECT_EQ(Light->LampRadius(), 36);
    EXPECT_EQ(Light->LampCentre(0), Point(82, 48));
    EXPECT_EQ(Light->LampCentre(1), Point(123, 119));
    EXPECT_EQ(Light->LampCentre(2), Point(164, 48));
    TMMDIBCanvas* dib = Light->DIBCanvas();
    EXPECT_EQ(dib->AnimatedCount(), 180);
    for (int i = 0; i < 3; ++i) // each centre is its lamp's innermost zone
        EXPECT_EQ(DIBPixel(Light->LampCentre(i).X, Light->LampCentre(i).Y), dib->AnimatedIndex(59 + 60 * i));
    // 30 pixels right of the red centre: zone 11 is the last of radius at
    // least 30 (36 - trunc(0.6 z)).
    EXPECT_EQ(DIBPixel(82 + 30, 48), dib->AnimatedIndex(11));
    EXPECT_EQ(DIBPixel(2, 2), dib->ColorToPixel(clBlack));

    struct Bands {
        int Rate;
        int First[3], End[3];
    };
    const Bands cases[] = { { 8000, { 0, 5, 18 }, { 5, 18, 63 } }, { 48000, { 0, 1, 3 }, { 0, 3, 63 } } };
    for (const Bands& c : cases) {
        Light->SetSampleRate(c.Rate);
        for (int j = 0; j < 3; ++j) {
            EXPECT_EQ(Light->BandFirst(j), c.First[j]) << c.Rate << " band " << j;
            EXPECT_EQ(Light->BandEnd(j), c.End[j]) << c.Rate << " band " << j;
        }
    }
    const int lengths[][2] = { { 5000, 4096 }, { 1000, 512 }, { 100, 64 }, { 7, 8 } };
    for (const auto& l : lengths) {
        Light->SetFFTLength(l[0]);
        EXPECT_EQ(Light->FFTLength(), l[1]);
        EXPECT_EQ(Light->StepSize(), 2 * l[1]);
    }
}

TEST_F(MMLightTest, TonesLightTheirOwnLampBrightestOnScreen)
{
    const QRgb colours[3] = { qRgb(1, 0, 0), qRgb(0, 1, 0), qRgb(1, 1, 0) };
    const double tones[3] = { 200, 1000, 2000 };
    for (int lamp = 0; lamp < 3; ++lamp) {
        Feed(Tone(tones[lamp], 2000));
        int brightest = 0;
        for (int i = 1; i < 3; ++i)
            if (Light->Brightness(i) > Light->Brightness(brightest))
                brightest = i;
        EXPECT_EQ(brightest, lamp) << tones[lamp] << " Hz";
        const int b = Light->Brightness(lamp);
        EXPECT_GT(b, 40);
        EXPECT_LT(b, 255);
        // The lamp's centre shows its full brightness, its rim less.
        const QImage shot = Light->Handle()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const TPoint c = Light->LampCentre(lamp);
        EXPECT_EQ(shot.pixel(1 + c.X, 1 + c.Y), 0xFF000000 | (colours[lamp] * b)) << tones[lamp] << " Hz";
        EXPECT_EQ(shot.pixel(1 + c.X - 35, 1 + c.Y), 0xFF000000 | (colours[lamp] * Light->ZoneShade(3, b)));
        EXPECT_LT(Light->ZoneShade(3, b), b);
    }
    Light->ResetDisplay();
    const QImage dark = Light->Handle()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    for (int lamp = 0; lamp < 3; ++lamp)
        EXPECT_EQ(dark.pixel(1 + Light->LampCentre(lamp).X, 1 + Light->LampCentre(lamp).Y), 0xFF000000u);
}

// A recolouring copies only the lamps that changed to the screen, which then
// shows what a whole paint of the organ shows.
TEST_F(MMLightTest, RecolouredLampsShowWhatAWholePaintShows)
{
    const auto screen = [&] {
        QWidget* window = Form->Handle();
        const QImage shot = QGuiApplication::primaryScreen()->grabWindow(window->winId()).toImage();
        const QPoint origin = Light->Handle()->mapTo(window, QPoint(0, 0));
        return shot.copy(QRect(origin, Light->Handle()->size())).convertToFormat(QImage::Format_RGB32);
    };
    for (const double hz : { 200.0, 1000.0, 2000.0, 1000.0 }) {
        const int draws = Light->Pacer().Draws();
        Feed(Tone(hz, 2000));
        while (Light->Pacer().Pending())
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        ASSERT_GT(Light->Pacer().Draws(), draws) << hz << " Hz";
        const QImage whole = Light->Handle()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        EXPECT_EQ(screen(), whole) << hz << " Hz";
    }
}

TEST_F(MMLightTest, FullScaleBassIsBrightNotDark)
{
    int overflows = 0;
    Light->SetOnPcmOverflow([&](TObject*) { ++overflows; });
    // Unwindowed, full-scale DC gives a DC bin of 65534: beyond 16 bits.
    Light->SetWindow(fwRectangular);
    std::vector<std::int16_t> dc(128, 32767);
    Feed(dc);
    EXPECT_EQ(Light->Brightness(0), 255);
    EXPECT_EQ(overflows, 4 * 128);
    std::vector<std::int16_t> square(128);
    for (int i = 0; i < 128; ++i)
        square[i] = (i / 16) % 2 == 0 ? 32767 : -32768; // 250 Hz
    Feed(square);
    EXPECT_EQ(Light->Brightness(0), 255);
    EXPECT_GT(Light->BinLevel(4), 20000);
}

TEST_F(MMLightTest, SphereZonesBeyondTheAnimatedColoursAreRefusedAndTheOldOnesStay)
{
    struct TCase {
        const char* Name;
        std::function<void()> Refused;
        TMMLightKind Kind;
    };
    const TCase cases[] = {
        { "ZoneCount 79", [&] { Light->SetZoneCount(79); }, lkSphere },
        { "Kind lkSphere with 79 zones", [&] { Light->SetKind(lkSphere); }, lkCircle },
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Light->SetKind(c.Kind);
        Light->SetZoneCount(78);
        if (c.Kind == lkCircle)
            Light->SetZoneCount(79); // stored: circles use three colours
        const int zones = Light->ZoneCount();
        const int count = Light->DIBCanvas()->AnimatedCount();
        try {
            c.Refused();
            ADD_FAILURE() << "no error";
        } catch (const EMMDIBError& e) {
            EXPECT_EQ(e.Message(), "Invalid count of animated colors");
        }
        EXPECT_EQ(Light->ZoneCount(), zones);
        EXPECT_EQ(Light->Kind(), c.Kind);
        EXPECT_EQ(Light->DIBCanvas()->AnimatedCount(), count);
        // The lamps are still recoloured by the zones they were drawn with.
        EXPECT_NO_THROW(Feed(Tone(200, 2000)));
        EXPECT_GT(Light->Brightness(0), 40);
        EXPECT_NO_THROW(Light->Repaint());
    }
}

} // namespace
