// The main window without sound: its file names from the regional date and
// time texts, the free-name rule, and its stored form.
#include "app/AnaGiris.h"
#include "mm/capture/MMWave.h"
#include "mm/capture/MMWaveIO.h"
#include "mm/display/MMFill.h"
#include "platform/ui/ExtCtrls.h"
#include "platform/ui/FormReader.h"
#include "support/TestSupport.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QWidget>
#include <algorithm>
#include <clocale>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

using namespace AnaGiris;

namespace {

// Sets LC_TIME for the scope.
class TTimeLocale {
public:
    explicit TTimeLocale(const char* name)
        : FOld(std::setlocale(LC_TIME, nullptr))
    {
        FSet = std::setlocale(LC_TIME, name) != nullptr;
    }
    ~TTimeLocale() { std::setlocale(LC_TIME, FOld.c_str()); }
    bool Set() const { return FSet; }

private:
    std::string FOld;
    bool FSet = false;
};

// Runs the scope in a fresh empty current directory.
class TInTempDir {
public:
    explicit TInTempDir(const QString& tag)
        : FOld(QDir::currentPath())
        , FDir(tonvara::test::MakeTempDir(tag))
    {
        QDir::setCurrent(FDir);
    }
    ~TInTempDir() { QDir::setCurrent(FOld); }
    const QString& Path() const { return FDir; }

private:
    QString FOld;
    QString FDir;
};

void Touch(const QString& name)
{
    QFile file(name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("x");
}

} // namespace

TEST(FileNames, ComposedFromTheDateAndTimeTexts)
{
    // Turkish settings: day.month.year and 24-hour time.
    EXPECT_EQ(ComposeFileName("06.12.2026", "14:05:31"), "Tarih_06_12_2026_Saat_14_05.wav");
    // glibc's Turkish date and the C locale's.
    EXPECT_EQ(ComposeFileName("06-12-2026", "13:59:59"), "Tarih_06_12_2026_Saat_13_59.wav");
    EXPECT_EQ(ComposeFileName("12/06/26", "00:00:00"), "Tarih_12_06_26_Saat_00_00.wav");
    // Separators elsewhere: the same positions are replaced, and no '/' is
    // left to turn the name into a path.
    EXPECT_EQ(ComposeFileName("2026/12/06", "9:05:31 PM"), "Tarih_20_6__2_06_Saat_9:_5:.wav");
    // Texts shorter than the positions do not fail.
    EXPECT_EQ(ComposeFileName("1.2", "1"), "Tarih_1.__Saat_1.wav");
    EXPECT_EQ(ComposeFileName("", ""), "Tarih__Saat_.wav");
}

TEST(FileNames, FollowTheUsersRegionalSettings)
{
    // The date may change between two readings at midnight: accept the
    // date before or after the composition.
    auto matchesToday = [](const QString& name, const QString& datePattern) {
        const QString before = QDate::currentDate().toString(datePattern);
        const QString made = ComposeFileName(DateText(), TimeText());
        const QString after = QDate::currentDate().toString(datePattern);
        return (made.startsWith("Tarih_" + before + "_Saat_") || made.startsWith("Tarih_" + after + "_Saat_"))
            && QRegularExpression(name).match(made).hasMatch();
    };
    {
        TTimeLocale turkish("tr_TR.UTF-8");
        ASSERT_TRUE(turkish.Set()) << "scripts/setup generates tr_TR.UTF-8";
        EXPECT_TRUE(matchesToday("^Tarih_\\d\\d_\\d\\d_\\d{4}_Saat_\\d\\d_\\d\\d\\.wav$", "dd_MM_yyyy"))
            << ComposeFileName(DateText(), TimeText()).toStdString();
    }
    {
        TTimeLocale c("C");
        EXPECT_TRUE(matchesToday("^Tarih_\\d\\d_\\d\\d_\\d\\d_Saat_\\d\\d_\\d\\d\\.wav$", "MM_dd_yy"))
            << ComposeFileName(DateText(), TimeText()).toStdString();
    }
}

TEST(FileNames, AnExistingRecordingIsNeverReused)
{
    TInTempDir dir("filenames");
    const QString name = "Tarih_06_12_2026_Saat_14_05.wav";
    EXPECT_EQ(FreeFileName(name), name);
    Touch(name);
    EXPECT_EQ(FreeFileName(name), "Tarih_06_12_2026_Saat_14_05_2.wav");
    Touch("Tarih_06_12_2026_Saat_14_05_2.wav");
    Touch("Tarih_06_12_2026_Saat_14_05_4.wav");
    EXPECT_EQ(FreeFileName(name), "Tarih_06_12_2026_Saat_14_05_3.wav");
}

TEST(FileNames, OnlyAFileWithoutAudioIsRemoved)
{
    TInTempDir dir("failed-start");
    WAVEFORMATEX pcm { WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0 };
    const auto make = [&](const char* name, int bytes) {
        PWaveIOCB cb = nullptr;
        ASSERT_EQ(WaveIOFromFormat(&pcm, &cb), kWaveIOOk);
        ASSERT_EQ(WaveIOCreate(cb, name), kWaveIOOk);
        const std::vector<char> audio(static_cast<std::size_t>(bytes), 1);
        if (bytes > 0) {
            ASSERT_EQ(WaveIOWrite(cb, audio.data(), bytes), bytes);
        }
        WaveIOClose(cb);
        WaveIOFree(cb);
    };
    make("header-only.wav", 0);
    make("one-sample.wav", 2);
    Touch("cut-short.wav");
    // A header that counts no data (its rewrite failed) before a sample.
    ASSERT_TRUE(QFile::copy("header-only.wav", "uncounted.wav"));
    QFile uncounted("uncounted.wav");
    ASSERT_TRUE(uncounted.open(QIODevice::Append));
    ASSERT_EQ(uncounted.write("\1\1", 2), 2);
    uncounted.close();
    for (const char* name :
        { "header-only.wav", "one-sample.wav", "cut-short.wav", "uncounted.wav", "missing.wav" })
        RemoveIfNoAudio(name);
    EXPECT_EQ(QDir().entryList(QDir::Files), (QStringList { "one-sample.wav", "uncounted.wav" }));
}

TEST(MainWindowForm, HoldsTheControlsAtTheirStoredPlaces)
{
    TInTempDir dir("main-form");
    auto form = std::make_unique<TAnaForm>(nullptr);
    form->AfterConstruction();
    EXPECT_EQ(AnaForm, form.get());
    EXPECT_EQ(form->Caption(), "Velmora  velmora.example");
    EXPECT_EQ(form->ClientWidth(), 450);
    EXPECT_EQ(form->ClientHeight(), 507);
    EXPECT_EQ(form->BorderIcons(), TBorderIcons({ biSystemMenu, biMinimize }));
    EXPECT_FALSE(form->Icon()->Empty());
    EXPECT_EQ(form->Help1->Caption(), QString::fromUtf8("&Hakkımızda"));

    auto* panel = form->FindComponent<TMMPanelFill>("RtukPanel");
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->BoundsRect(), Rect(8, -1, 8 + 426, -1 + 474));
    EXPECT_EQ(panel->Color(), TColor(5718462));
    for (TControl* control :
        std::initializer_list<TControl*> { form->Label1, form->Label13, form->Button1, form->Button3,
            form->BitBtn1, form->Sw, form->MMLabel1, form->MMLabel2, form->MMLabel3, form->MMLabel4 })
        EXPECT_EQ(control->Parent(), panel) << control->Name().toStdString();

    // Creation composed the first name and showed it.
    EXPECT_TRUE(AnaGiris::CurrentFileName.startsWith("Tarih_"));
    EXPECT_EQ(form->Label13->Caption(), AnaGiris::CurrentFileName);
    EXPECT_EQ(form->Label1->Caption(), "00:00.000");
    EXPECT_EQ(form->FindComponent<TLabel>("Label2")->Caption(), "Dosya :");

    struct TButtonRow {
        TBitBtn* Button;
        const char* Caption;
        TBitBtnKind Kind;
        TRect Bounds;
        int TabOrder;
    };
    for (const TButtonRow& row :
        { TButtonRow { form->Button1, "Kayda Başla", bkOK, Rect(72, 408, 72 + 89, 408 + 25), 4 },
            TButtonRow { form->Button3, "Kaydı Durdur", bkNo, Rect(176, 408, 176 + 89, 408 + 25), 5 },
            TButtonRow { form->BitBtn1, "Çık", bkIgnore, Rect(280, 408, 280 + 81, 408 + 25), 3 } }) {
        EXPECT_EQ(row.Button->Caption(), QString::fromUtf8(row.Caption));
        EXPECT_EQ(row.Button->Kind(), row.Kind);
        EXPECT_EQ(row.Button->BoundsRect(), row.Bounds);
        EXPECT_EQ(row.Button->TabOrder(), row.TabOrder);
        // The caption, drawn in blue, keeps clear of the 2-pixel bevel.
        row.Button->SetEnabled(true);
        row.Button->Font()->SetColor(TColor(0xFF0000));
        const QImage image = row.Button->Handle()->grab().toImage();
        int left = image.width(), right = -1;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (const QColor c = image.pixelColor(x, y);
                    c.blue() > 150 && c.red() < 100 && c.green() < 100) {
                    left = std::min(left, x);
                    right = std::max(right, x);
                }
            }
        }
        EXPECT_GE(left, 3) << row.Caption;
        EXPECT_LE(right, image.width() - 4) << row.Caption;
    }

    // The switch's own knob strip at 16 bits per pixel sizes it to 26 x 22.
    EXPECT_EQ(form->Sw->BoundsRect(), Rect(200, 441, 226, 463));
    EXPECT_EQ(form->Sw->Glyph()->Width(), 33);
    EXPECT_EQ(form->Sw->Glyph()->Height(), 18);
    EXPECT_EQ(form->Sw->Glyph()->PixelFormat(), pf15bit); // 16 bits per pixel, five per colour
    EXPECT_EQ(form->Sw->Position(), 0);

    // The title keeps its own highlight: the stored direction made the style
    // custom before the colour was read.
    EXPECT_EQ(form->MMLabel1->EffectStyle(), lsCustom);
    EXPECT_EQ(form->MMLabel1->ColourHighlight(), TColor(13802541));
    EXPECT_EQ(form->MMLabel3->ColourShadow(), clPurple);
    // The marquee below the panel starts at the beginning of its text,
    // whatever CurrentStep was stored before AutoScroll.
    EXPECT_EQ(form->MMLEDLABEL1->Parent(), form.get());
    EXPECT_EQ(form->MMLEDLABEL1->BoundsRect(), Rect(8, 477, 8 + 426, 477 + 21));
    EXPECT_EQ(form->MMLEDLABEL1->NumChars(), 38);
    EXPECT_EQ(form->MMLEDLABEL1->CaptionBytes().size(), 157);
    EXPECT_EQ(form->MMLEDLABEL1->CurrentStep(), 0);
    EXPECT_TRUE(form->MMLEDLABEL1->Scrolling());

    // The recorders: GSM 6.10 mono from the worker thread, PCM stereo
    // through the window; the connector follows the mono one.
    const PWAVEFORMATEX mono = form->MonoDosya->PWaveFormat();
    ASSERT_NE(mono, nullptr);
    EXPECT_EQ(mono->wFormatTag, 0x31);
    EXPECT_EQ(mono->nBlockAlign, 65);
    EXPECT_EQ(form->MonoDosya->CallBackMode(), MMEnums::cmThread);
    EXPECT_EQ(form->MonoDosya->GetOutput(), form->Connector);
    const PWAVEFORMATEX stereo = form->StereoDosya->PWaveFormat();
    ASSERT_NE(stereo, nullptr);
    EXPECT_EQ(stereo->wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(stereo->nSamplesPerSec, 48000u);
    EXPECT_EQ(stereo->nChannels, 2);
    EXPECT_EQ(form->StereoDosya->CallBackMode(), MMEnums::cmWindow);
    EXPECT_EQ(form->StereoDosya->GetOutput(), nullptr);
    EXPECT_EQ(form->Connector->GetInput(), form->MonoDosya);
    EXPECT_FALSE(form->Connector->IsOpen());
    EXPECT_EQ(form->Timer->Interval(), 50);
    EXPECT_TRUE(form->Timer->Enabled());
}
