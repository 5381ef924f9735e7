// The main window end to end: shown on a real X server, driven by mouse
// clicks, recording from the test sound server into files that sox, ffprobe
// and libsndfile read. The clock runs under libfaketime (see CMakeLists.txt):
// EndToEnd starts at 10:00:05, far from an hour change; each HourChange test
// runs in a process of its own whose clock starts at 13:59:50.
#include "app/About.h"
#include "app/AnaGiris.h"
#include "mm/capture/MMWRecAudioSupport.h"
#include "mm/capture/MMWave.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "support/OtherProgram.h"
#include "support/Peers.h"
#include "support/Program.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <sndfile.h>
#include <string>
#include <unistd.h>

using namespace recorder_test;
using tonvara::test::DecodeWithSox;
using tonvara::test::PollUntil;
using tonvara::test::Probe;
using tonvara::test::TProbe;

namespace {

// Fails the test unless the process runs under libfaketime at Start.
bool ClockStartsAt(const char* start)
{
    const char* fake = std::getenv("FAKETIME");
    return fake != nullptr && QString::fromLatin1(fake) == QString::fromLatin1(start);
}

class TMainWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The mapper's GSM 6.10 needs the compression manager of this build.
        setenv(kAcmModuleVariable, tonvara::test::AcmModulePath().toLocal8Bit().constData(), 1);
        FOldDir = QDir::currentPath();
        FDir = tonvara::test::MakeTempDir("main-window");
        QDir::setCurrent(FDir);
    }
    void TearDown() override
    {
        if (FForm) {
            FForm->MonoDosya->Stop();
            FForm->StereoDosya->Stop();
            FForm.reset();
        }
        QDir::setCurrent(FOldDir);
        std::setlocale(LC_TIME, "C");
    }

    void Open(const char* timeLocale)
    {
        ASSERT_NE(std::setlocale(LC_TIME, timeLocale), nullptr) << timeLocale;
        FForm = std::make_unique<TAnaForm>(nullptr);
        FForm->AfterConstruction();
        FForm->Show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(FForm->Handle()));
        FForm->Handle()->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(FForm->Handle()));
    }

    static void Click(TControl* control, QPoint at = QPoint(8, 8))
    {
        ASSERT_TRUE(control->Enabled());
        QTest::mouseClick(control->Handle(), Qt::LeftButton, Qt::NoModifier, at);
    }

    // Runs the event loop until the elapsed-time label shows at least Ms.
    bool RecordFor(int ms)
    {
        return WaitUntil([&] { return FForm->Selected()->Position() >= ms; }, ms + 10000);
    }

    // The user goes to another program and comes back to the window. The
    // other program also stands in for a window manager: without one, only
    // another client can hand the focus back and forth.
    void VisitAnotherProgram()
    {
        ASSERT_TRUE(FOther.Valid());
        FOther.TakeFocus();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !FForm->Handle()->isActiveWindow(); }, 5000));
        FOther.ReturnFocusTo(FForm->Handle()->winId());
        ASSERT_TRUE(QTest::qWaitForWindowActive(FForm->Handle()));
    }

    // A box of the program's own over the window takes the focus and is
    // dismissed with a click on its button; then the window has it again.
    void ShowAndDismissABox()
    {
        QTimer::singleShot(0, [this] {
            QWidget* box = nullptr;
            ASSERT_TRUE(
                QTest::qWaitFor([&] { return (box = QApplication::activeModalWidget()) != nullptr; }, 5000));
            ASSERT_TRUE(QTest::qWaitForWindowExposed(box));
            FOther.ReturnFocusTo(box->winId());
            ASSERT_TRUE(QTest::qWaitFor([&] { return !FForm->Active(); }, 5000));
            QTest::mouseClick(box->findChild<QPushButton*>(), Qt::LeftButton);
        });
        EXPECT_EQ(MessageDlg("Bir kutu", mtInformation, { mbOK }, 0), mrOk);
        FOther.ReturnFocusTo(FForm->Handle()->winId());
        ASSERT_TRUE(QTest::qWaitFor([&] { return FForm->Active(); }, 5000));
    }

    // "Hakkımızda" on the menu bar opens the about window over the main
    // window; "Tamam" closes it once its scene has been drawn a few times.
    // Returns the window that was shown.
    TAboutFrm* ShowAndCloseTheAboutWindow()
    {
        auto* bar = FForm->Handle()->findChild<QMenuBar*>();
        EXPECT_NE(bar, nullptr);
        if (!bar)
            return nullptr;
        TAboutFrm* shown = nullptr;
        QTimer::singleShot(0, [&] {
            ASSERT_TRUE(QTest::qWaitFor([] { return AboutFrm && AboutFrm->Modal(); }, 10000));
            shown = AboutFrm;
            ASSERT_TRUE(QTest::qWaitForWindowExposed(shown->Handle()));
            const std::int64_t frames = shown->FramesDrawn();
            ASSERT_TRUE(QTest::qWaitFor([&] { return shown->FramesDrawn() >= frames + 5; }, 5000));
            QTest::mouseClick(shown->Button1->Handle(), Qt::LeftButton);
        });
        QTest::mouseClick(
            bar, Qt::LeftButton, Qt::NoModifier, bar->actionGeometry(bar->actions().value(0)).center());
        EXPECT_NE(shown, nullptr) << "the menu opened no about window";
        EXPECT_FALSE(shown && shown->Visible());
        FOther.ReturnFocusTo(FForm->Handle()->winId());
        EXPECT_TRUE(QTest::qWaitFor([&] { return FForm->Active(); }, 5000));
        return shown;
    }

    void ExpectIdleButtons()
    {
        EXPECT_TRUE(FForm->Button1->Enabled());
        EXPECT_FALSE(FForm->Button3->Enabled());
        EXPECT_TRUE(FForm->BitBtn1->Enabled());
        EXPECT_TRUE(FForm->Sw->Enabled());
    }
    void ExpectRecordingButtons()
    {
        EXPECT_FALSE(FForm->Button1->Enabled());
        EXPECT_TRUE(FForm->Button3->Enabled());
        EXPECT_FALSE(FForm->BitBtn1->Enabled());
        EXPECT_FALSE(FForm->Sw->Enabled());
    }

    QString FOldDir;
    QString FDir;
    tonvara::test::TOtherProgram FOther;
    std::unique_ptr<TAnaForm> FForm;
};

// The loudness of the samples above the quiet start and end.
double LoudRms(const std::vector<int16_t>& samples)
{
    double energy = 0;
    std::size_t loud = 0;
    for (const int16_t sample : samples) {
        if (std::abs(sample) > 1000) {
            energy += double(sample) * sample;
            ++loud;
        }
    }
    return loud ? std::sqrt(energy / double(loud)) : 0;
}

// What the process writes to stderr while the capture lives goes to a file
// that the test reads; it is passed on to the real stderr at the end.
class TStderrCapture {
public:
    TStderrCapture()
        : FPath(tonvara::test::MakeTempDir("stderr") + "/stderr.txt")
    {
        std::fflush(stderr);
        FSaved = ::dup(2);
        const int fd
            = ::open(QFile::encodeName(FPath).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~TStderrCapture()
    {
        std::fflush(stderr);
        ::dup2(FSaved, 2);
        ::close(FSaved);
        std::fputs(Text().toLocal8Bit().constData(), stderr);
    }
    TStderrCapture(const TStderrCapture&) = delete;
    TStderrCapture& operator=(const TStderrCapture&) = delete;

    QString Text() const
    {
        std::fflush(stderr);
        QFile file(FPath);
        return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
    }

private:
    QString FPath;
    int FSaved = -1;
};

// The counter frames of a 48 kHz stereo 16-bit file, read with libsndfile.
std::vector<unsigned char> ReadFrames(const QString& path)
{
    SF_INFO info {};
    SNDFILE* file = sf_open(path.toLocal8Bit().constData(), SFM_READ, &info);
    EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
    if (file == nullptr)
        return {};
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.channels, 2);
    std::vector<int16_t> samples(static_cast<std::size_t>(info.frames) * 2);
    EXPECT_EQ(sf_readf_short(file, samples.data(), info.frames), info.frames);
    sf_close(file);
    std::vector<unsigned char> bytes(samples.size() * 2);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

} // namespace

// ----- an ordinary hour ----------------------------------------------------------------

TEST_F(TMainWindowTest, MonoRecordingOfTenSecondsWithTurkishSettings)
{
    ASSERT_TRUE(ClockStartsAt("@2026-12-06 10:00:05")) << "run by ctest under libfaketime";
    Open("tr_TR.UTF-8");
    // Creation composed the first name; activation disabled the stop button.
    EXPECT_EQ(AnaGiris::CurrentFileName, "Tarih_06_12_2026_Saat_10_00.wav");
    EXPECT_EQ(FForm->Label13->Caption(), AnaGiris::CurrentFileName);
    EXPECT_EQ(AnaGiris::FileHour, "10");
    ExpectIdleButtons();
    EXPECT_EQ(FForm->Sw->Position(), 0);

    TTone tone(14, 1000);
    ASSERT_TRUE(tone.Started());
    Click(FForm->Button1);
    ExpectRecordingButtons();
    EXPECT_TRUE(FForm->Connector->IsOpen());
    EXPECT_TRUE(FForm->MonoDosya->Wave()->FileName().endsWith("/Tarih_06_12_2026_Saat_10_00.wav"));
    ASSERT_TRUE(RecordFor(5000));
    // The label follows the recorder: minutes, seconds and milliseconds.
    ASSERT_TRUE(WaitUntil([&] { return FForm->Label1->Caption().startsWith("0:05."); }, 2000))
        << FForm->Label1->Caption().toStdString();
    // A click on the disabled switch changes nothing.
    QTest::mouseClick(FForm->Sw->Handle(), Qt::LeftButton, Qt::NoModifier, QPoint(20, 11));
    EXPECT_EQ(FForm->Sw->Position(), 0);
    EXPECT_EQ(FForm->Connector->GetInput(), FForm->MonoDosya);
    ASSERT_TRUE(RecordFor(10000));
    Click(FForm->Button3);
    ExpectIdleButtons();
    EXPECT_FALSE(FForm->Connector->IsOpen());
    // The next tick shows the idle recorder's position.
    ASSERT_TRUE(WaitUntil([&] { return FForm->Label1->Caption() == "0:00.000"; }, 2000));

    const QString path = FDir + "/Tarih_06_12_2026_Saat_10_00.wav";
    ASSERT_TRUE(QFileInfo::exists(path));
    EXPECT_EQ(QDir(FDir).entryList(QDir::Files).size(), 1);
    const TProbe probe = Probe(path);
    EXPECT_EQ(probe.Codec, "gsm_ms");
    EXPECT_EQ(probe.Rate, 8000);
    EXPECT_EQ(probe.Channels, 1);
    EXPECT_NEAR(probe.Seconds, 10.0, 1.0);
    const std::vector<int16_t> samples = DecodeWithSox(path);
    EXPECT_NEAR(ToneFrequency(samples, 8000), 1000, 20);
    EXPECT_GT(LoudRms(samples), 3000);
}

TEST_F(TMainWindowTest, StereoRecordingOfTenSecondsInTheCLocale)
{
    ASSERT_TRUE(ClockStartsAt("@2026-12-06 10:00:05")) << "run by ctest under libfaketime";
    Open("C");
    EXPECT_EQ(AnaGiris::CurrentFileName, "Tarih_12_06_26_Saat_10_00.wav");
    // A click on the right half of the switch selects stereo and re-links
    // the connector to the stereo recorder.
    QTest::mouseClick(FForm->Sw->Handle(), Qt::LeftButton, Qt::NoModifier, QPoint(19, 11));
    EXPECT_EQ(FForm->Sw->Position(), 1);
    EXPECT_EQ(FForm->Connector->GetInput(), FForm->StereoDosya);

    TTone tone(14, 440);
    ASSERT_TRUE(tone.Started());
    Click(FForm->Button1);
    ExpectRecordingButtons();
    EXPECT_TRUE(FForm->Connector->IsOpen());
    ASSERT_TRUE(RecordFor(5000));
    // Coming back to the window leaves the stereo file to the stereo
    // recorder: the mono recorder is not pointed at it.
    const QString monoName = FForm->MonoDosya->Wave()->FileName();
    ShowAndDismissABox();
    EXPECT_EQ(FForm->MonoDosya->Wave()->FileName(), monoName);
    ASSERT_TRUE(RecordFor(10000));
    Click(FForm->Button3);
    ExpectIdleButtons();

    const QString path = FDir + "/Tarih_12_06_26_Saat_10_00.wav";
    ASSERT_TRUE(QFileInfo::exists(path)) << QDir(FDir).entryList().join(' ').toStdString();
    const TProbe probe = Probe(path);
    EXPECT_EQ(probe.Codec, "pcm_s16le");
    EXPECT_EQ(probe.Rate, 48000);
    EXPECT_EQ(probe.Channels, 2);
    EXPECT_NEAR(probe.Seconds, 10.0, 1.0);
    const std::vector<int16_t> samples = DecodeWithSox(path);
    EXPECT_NEAR(ToneFrequency(samples, 48000), 440, 5);
    EXPECT_GT(LoudRms(samples), 3000);

    // Back to mono with a click on the left half, now that nothing records.
    QTest::mouseClick(FForm->Sw->Handle(), Qt::LeftButton, Qt::NoModifier, QPoint(6, 11));
    EXPECT_EQ(FForm->Sw->Position(), 0);
    EXPECT_EQ(FForm->Connector->GetInput(), FForm->MonoDosya);
}

TEST_F(TMainWindowTest, ActivationAndARestartWithinTheMinuteLoseNothing)
{
    ASSERT_TRUE(ClockStartsAt("@2026-12-06 10:00:05")) << "run by ctest under libfaketime";
    Open("tr_TR.UTF-8");
    TTone tone(14, 1000);
    ASSERT_TRUE(tone.Started());
    Click(FForm->Button1);
    ASSERT_TRUE(RecordFor(2000));
    // The user looks at another program and comes back, then a box of the
    // program comes and goes: the recording goes on into the same file and
    // the stop button still stops it.
    VisitAnotherProgram();
    ExpectRecordingButtons();
    ShowAndDismissABox();
    ExpectRecordingButtons();
    // The about window, twice: the same window each time, and the stop
    // button still stops the recording afterwards.
    TAboutFrm* about = ShowAndCloseTheAboutWindow();
    ExpectRecordingButtons();
    EXPECT_EQ(ShowAndCloseTheAboutWindow(), about);
    ExpectRecordingButtons();
    EXPECT_TRUE(FForm->Connector->IsOpen());
    ASSERT_TRUE(RecordFor(4000));
    Click(FForm->Button3);
    ExpectIdleButtons();
    const QString first = FDir + "/Tarih_06_12_2026_Saat_10_00.wav";
    EXPECT_NEAR(Probe(first).Seconds, 4.0, 0.6);

    // Started again in the same minute: a new file beside the first.
    Click(FForm->Button1);
    EXPECT_EQ(AnaGiris::CurrentFileName, "Tarih_06_12_2026_Saat_10_00_2.wav");
    EXPECT_EQ(FForm->Label13->Caption(), AnaGiris::CurrentFileName);
    ASSERT_TRUE(RecordFor(2000));
    Click(FForm->Button3);
    EXPECT_NEAR(Probe(first).Seconds, 4.0, 0.6);
    EXPECT_NEAR(Probe(FDir + "/Tarih_06_12_2026_Saat_10_00_2.wav").Seconds, 2.0, 0.6);
}

TEST_F(TMainWindowTest, AFailingStartIsReportedAndTheWindowGoesOn)
{
    ASSERT_TRUE(ClockStartsAt("@2026-12-06 10:00:05")) << "run by ctest under libfaketime";
    Open("tr_TR.UTF-8");
    {
        // No sound server to record from: the start handler raises the
        // device's failure for the application's exception display, and the
        // rest of its steps are skipped.
        TServerOverride noServer(MissingServer());
        try {
            FForm->Button1Click(FForm->Button1);
            ADD_FAILURE() << "the start did not fail";
        } catch (const std::exception& error) {
            EXPECT_TRUE(ExceptionMessage(error).startsWith("WaveInOpen:\n\r")) << error.what();
        }
        ExpectRecordingButtons();
        EXPECT_FALSE(FForm->Connector->IsOpen());
    }
    // The stop button brings the window back, and a start now records.
    Click(FForm->Button3);
    ExpectIdleButtons();
    TTone tone(6, 1000);
    ASSERT_TRUE(tone.Started());
    Click(FForm->Button1);
    ASSERT_TRUE(RecordFor(1000));
    Click(FForm->Button3);
    EXPECT_NEAR(Probe(FDir + "/" + AnaGiris::CurrentFileName).Seconds, 1.0, 0.5);
}

// ----- lost input ----------------------------------------------------------------------

// A sound server of the test's own, which it may kill: no capture an earlier
// test left parked on the shared one continues into this recording.
class TOwnServerTest : public TMainWindowTest {
protected:
    void OpenOnOwnServer(const char* timeLocale)
    {
        ASSERT_TRUE(ClockStartsAt("@2026-12-06 10:00:05")) << "run by ctest under libfaketime";
        ASSERT_GT(FServer.FPid, 0) << "the private server did not start";
        Open(timeLocale);
    }

    TPrivateServer FServer;
    TServerOverride FUseIt { FServer.FServer };
};

TEST_F(TOwnServerTest, InputLostInAStallIsSilenceOfItsLengthAndIsSaidOnStderr)
{
    ASSERT_NO_FATAL_FAILURE(OpenOnOwnServer("C"));
    QTest::mouseClick(FForm->Sw->Handle(), Qt::LeftButton, Qt::NoModifier, QPoint(19, 11));
    ASSERT_EQ(FForm->Sw->Position(), 1);
    TStderrCapture log;
    TCounterPlayer counter(10);
    counter.Start();
    // The capture thread stalls for 0.1 s, 2 s into the recording, and what
    // came meanwhile is lost, as a sound server drops what nobody read.
    setenv("TONVARA_TEST_CAPTURE_STALL", "2000,100", 1);
    Click(FForm->Button1);
    unsetenv("TONVARA_TEST_CAPTURE_STALL");
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(RecordFor(5000));
    const auto stopping = std::chrono::steady_clock::now();
    Click(FForm->Button3);
    const double wall = std::chrono::duration<double>(stopping - started).count();

    const std::vector<unsigned char> frames = ReadFrames(FDir + "/" + AnaGiris::CurrentFileName);
    const TCounterRun run = AnalyseCounter(frames);
    const double seconds = static_cast<double>(frames.size()) / 4 / 48000;
    RecordProperty("file_minus_wall_ms", static_cast<int>((seconds - wall) * 1000));
    // What is in flight at the start and at the stop (a 20 ms period and the
    // server's fragment each) and the fill's error: within 0.1 s.
    EXPECT_NEAR(seconds, wall, 0.1);
    ASSERT_EQ(run.Breaks, 1u) << run.FirstBreak;
    const std::size_t missing = run.LastValue - run.FirstValue + 1 - run.Length;
    EXPECT_GE(missing, 4800u) << "the stall lost its 0.1 s";
    EXPECT_NEAR(static_cast<double>(run.SilenceInside), static_cast<double>(missing), 480)
        << "the gap is silence of the loss's length";

    // One line for the loss, with its length and cause, and the totals.
    const QString text = log.Text();
    const QRegularExpression lossLine(
        R"(tonvara: \d\d:\d\d:\d\d: (\d+) frames \(\d+\.\d{3} s\) of input lost \(the input fell behind the clock)");
    ASSERT_EQ(text.count(lossLine), 1) << text.toStdString();
    EXPECT_NEAR(lossLine.match(text).captured(1).toDouble(), static_cast<double>(missing), 480);
    EXPECT_TRUE(text.contains(AnaGiris::CurrentFileName + ": input lost: 1 loss, ")) << text.toStdString();
}

TEST_F(TOwnServerTest, ASoundServerGoneMidRecordingIsSaidOnStderrWithTheCause)
{
    ASSERT_NO_FATAL_FAILURE(OpenOnOwnServer("tr_TR.UTF-8"));
    std::vector<QString> boxes;
    const TMessageDialogHandler previous = SetMessageDialogHandler([&](const TMessageDialogRequest& request) {
        boxes.push_back(request.Text);
        return mrOk;
    });
    TStderrCapture log;
    // Mono: the failure is found in the recorder's worker thread.
    Click(FForm->Button1);
    ASSERT_TRUE(RecordFor(1000));
    FServer.Kill();
    ASSERT_TRUE(WaitUntil([&] { return !FForm->Connector->IsOpen(); }, 10000));
    SetMessageDialogHandler(previous);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].startsWith("WaveInAddBuffer:\n\r")) << boxes[0].toStdString();
    const QString text = log.Text();
    EXPECT_TRUE(QRegularExpression(R"(tonvara: \d\d:\d\d:\d\d: the recording stopped, input is lost from )"
                                   R"(here on: .*\(snd_pcm_\w+.*; WaveInAlsa\.cpp:\d+\))")
                    .match(text)
                    .hasMatch())
        << text.toStdString();
    EXPECT_TRUE(
        text.contains(AnaGiris::CurrentFileName + ": input lost from the device's failure on, none before"))
        << text.toStdString();
    Click(FForm->Button3);
    ExpectIdleButtons();
}

TEST_F(TMainWindowTest, ARecordingThatEndedByItselfKeepsTheStopButtonThroughAnActivation)
{
    ASSERT_TRUE(ClockStartsAt("@2026-12-06 10:00:05")) << "run by ctest under libfaketime";
    Open("C");
    QTest::mouseClick(FForm->Sw->Handle(), Qt::LeftButton, Qt::NoModifier, QPoint(19, 11));
    ASSERT_EQ(FForm->Sw->Position(), 1);
    std::vector<QString> boxes;
    const TMessageDialogHandler previous = SetMessageDialogHandler([&](const TMessageDialogRequest& request) {
        boxes.push_back(request.Text);
        return mrOk;
    });
    const auto restore = qScopeGuard([&] { SetMessageDialogHandler(previous); });
    Click(FForm->Button1);
    ASSERT_TRUE(RecordFor(500));
    // The recording ends by itself (as a full disk or a lost device ends
    // it), and the about window opens and closes, which activates the
    // window again, before the next tick sees the end.
    FForm->Timer->SetEnabled(false);
    FForm->StereoDosya->Stop();
    ASSERT_NE(ShowAndCloseTheAboutWindow(), nullptr);
    ASSERT_FALSE(FForm->RetryPending()) << "a tick came before the activation";
    FForm->Timer->SetEnabled(true);
    ASSERT_TRUE(WaitUntil([&] { return FForm->RetryPending(); }, 5000));
    EXPECT_EQ(boxes.size(), 1u);
    // The retry goes on, and the stop button is there to end it.
    ExpectRecordingButtons();
    Click(FForm->Button3);
    ExpectIdleButtons();
    EXPECT_FALSE(FForm->RetryPending());
}

// ----- the hour change -----------------------------------------------------------------

TEST_F(TMainWindowTest, HourChangeJoinsTheStereoFilesWithoutALostSample)
{
    ASSERT_TRUE(ClockStartsAt("@2026-12-06 13:59:50")) << "run by ctest under libfaketime";
    Open("tr_TR.UTF-8");
    EXPECT_EQ(AnaGiris::FileHour, "13");
    QTest::mouseClick(FForm->Sw->Handle(), Qt::LeftButton, Qt::NoModifier, QPoint(19, 11));
    ASSERT_EQ(FForm->Sw->Position(), 1);

    TCounterPlayer counter(24);
    counter.Start();
    Click(FForm->Button1);
    const QString first = FDir + "/" + AnaGiris::CurrentFileName;
    EXPECT_EQ(AnaGiris::CurrentFileName, "Tarih_06_12_2026_Saat_13_59.wav");
    const QString second = FDir + "/Tarih_06_12_2026_Saat_14_00.wav";
    ASSERT_TRUE(WaitUntil([&] { return QFileInfo::exists(second); }, 20000));
    EXPECT_EQ(AnaGiris::CurrentFileName, "Tarih_06_12_2026_Saat_14_00.wav");
    EXPECT_EQ(FForm->Label13->Caption(), AnaGiris::CurrentFileName);
    EXPECT_EQ(AnaGiris::FileHour, "14");
    // The buttons stay as the start left them.
    ExpectRecordingButtons();
    ASSERT_TRUE(RecordFor(4000));
    Click(FForm->Button3);

    const std::vector<unsigned char> before = ReadFrames(first);
    const std::vector<unsigned char> after = ReadFrames(second);
    ASSERT_FALSE(before.empty());
    ASSERT_FALSE(after.empty());
    const TCounterRun a = AnalyseCounter(before);
    const TCounterRun b = AnalyseCounter(after);
    EXPECT_EQ(a.Breaks, 0u) << a.FirstBreak;
    EXPECT_EQ(b.Breaks, 0u) << b.FirstBreak;
    // The second file goes on with the very frame after the first one's last.
    EXPECT_EQ(b.FirstValue, a.LastValue + 1);
    std::vector<unsigned char> joined = before;
    joined.insert(joined.end(), after.begin(), after.end());
    const TCounterRun whole = AnalyseCounter(joined);
    EXPECT_EQ(whole.Breaks, 0u) << whole.FirstBreak;
    EXPECT_GT(whole.Length, 48000u * 8);
}

TEST_F(TMainWindowTest, HourChangeStartsARecordingWithoutTheStartButton)
{
    ASSERT_TRUE(ClockStartsAt("@2026-12-06 13:59:50")) << "run by ctest under libfaketime";
    Open("tr_TR.UTF-8");
    TTone tone(24, 1000);
    ASSERT_TRUE(tone.Started());
    ExpectIdleButtons();
    EXPECT_FALSE(FForm->Connector->IsOpen());
    const QString path = FDir + "/Tarih_06_12_2026_Saat_14_00.wav";
    ASSERT_TRUE(WaitUntil([&] { return FForm->Connector->IsOpen(); }, 20000));
    EXPECT_TRUE(QFileInfo::exists(path));
    // The window shows the recording as the start button would have.
    ExpectRecordingButtons();
    // The switch cannot choose the other recorder under the running one.
    QTest::mouseClick(FForm->Sw->Handle(), Qt::LeftButton, Qt::NoModifier, QPoint(19, 11));
    EXPECT_EQ(FForm->Sw->Position(), 0);
    EXPECT_EQ(FForm->Connector->GetInput(), FForm->MonoDosya);
    ASSERT_TRUE(RecordFor(3000));
    Click(FForm->Button3);
    ExpectIdleButtons();
    EXPECT_FALSE(FForm->Connector->IsOpen());
    const TProbe probe = Probe(path);
    EXPECT_EQ(probe.Codec, "gsm_ms");
    EXPECT_NEAR(probe.Seconds, 3.0, 0.8);
}

TEST_F(TMainWindowTest, AFailedStartAtTheHourChangeIsShownOnceAndTriedAgain)
{
    ASSERT_TRUE(ClockStartsAt("@2026-12-06 13:59:50")) << "run by ctest under libfaketime";
    Open("tr_TR.UTF-8");
    std::vector<QString> boxes;
    const TMessageDialogHandler previous = SetMessageDialogHandler([&](const TMessageDialogRequest& request) {
        boxes.push_back(request.Text);
        return mrOk;
    });
    TStderrCapture log;
    const auto tries = [&] { return log.Text().count("could not start"); };
    {
        // The sound server is gone when the hour changes.
        TServerOverride noServer(MissingServer());
        ASSERT_TRUE(WaitUntil([&] { return AnaGiris::FileHour == "14"; }, 20000));
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_TRUE(boxes[0].startsWith("WaveInOpen:\n\r")) << boxes[0].toStdString();
        ExpectRecordingButtons();
        EXPECT_TRUE(FForm->RetryPending());
        // Tried again quietly after the pause, not on every tick.
        ASSERT_TRUE(WaitUntil([&] { return tries() >= 2; }, 15000)) << log.Text().toStdString();
        EXPECT_EQ(tries(), 2);
        EXPECT_EQ(boxes.size(), 1u);
        EXPECT_TRUE(QDir(FDir).entryList(QDir::Files).isEmpty()) << "a failed start left a file";
    }
    // The server is back: the next try records into a file named for it.
    TTone tone(30, 1000);
    ASSERT_TRUE(tone.Started());
    ASSERT_TRUE(WaitUntil([&] { return FForm->Connector->IsOpen(); }, 15000)) << log.Text().toStdString();
    SetMessageDialogHandler(previous);
    EXPECT_FALSE(FForm->RetryPending());
    EXPECT_EQ(tries(), 2);
    EXPECT_EQ(boxes.size(), 1u);
    ExpectRecordingButtons();
    const QString path = FDir + "/" + AnaGiris::CurrentFileName;
    EXPECT_TRUE(AnaGiris::CurrentFileName.startsWith("Tarih_06_12_2026_Saat_14_00"));
    EXPECT_EQ(QDir(FDir).entryList(QDir::Files), QStringList { AnaGiris::CurrentFileName });
    ASSERT_TRUE(RecordFor(2000));
    Click(FForm->Button3);
    ExpectIdleButtons();
    const TProbe probe = Probe(path);
    EXPECT_EQ(probe.Codec, "gsm_ms");
    EXPECT_NEAR(probe.Seconds, 2.0, 0.8);
}

TEST(ProgramEnd, ATerminationSignalFinishesTheFileBeingWritten)
{
    ASSERT_TRUE(ClockStartsAt("@2026-12-06 13:59:50")) << "run by ctest under libfaketime";
    // The program itself, with its clock starting at 13:59:50 too (it
    // inherits libfaketime): the hour change starts its mono recording.
    const QString dir = tonvara::test::MakeTempDir("program-end");
    TTone tone(30, 1000);
    ASSERT_TRUE(tone.Started());
    tonvara::test::TPeerProcess program;
    program.SetEnvironment("LC_TIME", "tr_TR.UTF-8");
    program.SetEnvironment(kAcmModuleVariable, tonvara::test::AcmModulePath());
    program.SetWorkingDirectory(dir);
    ASSERT_TRUE(program.Start(tonvara::test::BinaryDir() + "/app/tonvara", {}));
    const QString path = dir + "/Tarih_06_12_2026_Saat_14_00.wav";
    // Another process: poll its file, with a deadline.
    ASSERT_TRUE(WaitUntil([&] { return QFileInfo(path).size() > 2 * 1625 + 60; }, 30000))
        << "the hour change started no recording";
    program.Terminate();
    ASSERT_TRUE(program.WaitFinished(10000));
    EXPECT_TRUE(program.NormalExit());
    EXPECT_EQ(program.ExitCode(), 0);

    // Finished: the RIFF size covers the file, and the fact chunk that only
    // the end of a recording writes is there.
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    ASSERT_GT(bytes.size(), 60);
    quint32 riffSize = 0;
    std::memcpy(&riffSize, bytes.constData() + 4, 4);
    EXPECT_EQ(riffSize + 8, static_cast<quint32>(bytes.size()));
    EXPECT_EQ(bytes.mid(bytes.size() - 12, 4), QByteArray("fact"));
    const TProbe probe = Probe(path);
    EXPECT_EQ(probe.Codec, "gsm_ms");
    EXPECT_GT(probe.Seconds, 1.5);
}

TEST(ProgramEnd, ALostDisplayFinishesTheFileBeingWritten)
{
    ASSERT_TRUE(ClockStartsAt("@2026-12-06 10:00:05")) << "run by ctest under libfaketime";
    // An X server of the test's own, killed as a crashing one goes.
    int number = 200;
    while (QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(number))
        || QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
        ++number;
    tonvara::test::TPeerProcess server;
    server.SetOutputFile("/dev/null");
    server.SetErrorFile("/dev/null");
    ASSERT_TRUE(server.Start("Xvfb",
        { QStringLiteral(":%1").arg(number), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
            "-noreset" }));
    ASSERT_TRUE(PollUntil(
        [&] { return QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)); }, 10000));
    // The program and xdotool go to that server; this process stays on its own.
    const QByteArray display = qgetenv("DISPLAY");
    const auto restore = qScopeGuard([&] { qputenv("DISPLAY", display); });
    qputenv("DISPLAY", QByteArray(":") + QByteArray::number(number));

    const QString dir = tonvara::test::MakeTempDir("display-lost");
    TTone tone(30, 1000);
    ASSERT_TRUE(tone.Started());
    // Far from an hour change, whose new file would not be the one watched.
    tonvara::test::TProgram program(dir, QStringLiteral("@2026-12-06 10:00:05"));
    ASSERT_TRUE(program.WaitForMainWindow());
    program.SelectStereo();
    const auto start = std::chrono::steady_clock::now();
    program.PressStart();
    QString path;
    ASSERT_TRUE(PollUntil(
        [&] {
            const QStringList files = QDir(dir).entryList({ "*.wav" }, QDir::Files);
            path = files.isEmpty() ? QString() : dir + "/" + files.first();
            return !path.isEmpty() && QFileInfo(path).size() > 46;
        },
        20000))
        << "no recording started";
    // How long the user records: the kill falls between two of the
    // once-a-second size patches, so the sizes on disk are behind the data.
    QThread::msleep(2500);
    const qint64 written = QFileInfo(path).size();
    server.Kill();
    const auto lost = std::chrono::steady_clock::now();
    EXPECT_EQ(program.WaitForEnd(5000), 1) << "the program did not end, or ended with 0";
    EXPECT_EQ(program.StderrLines("display connection was lost").size(), 1) << program.Stderr().toStdString();

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    ASSERT_GT(bytes.size(), 46 + 12);
    quint32 riffSize = 0;
    quint32 dataSize = 0;
    std::memcpy(&riffSize, bytes.constData() + 4, 4);
    ASSERT_EQ(bytes.mid(38, 4), QByteArray("data"));
    std::memcpy(&dataSize, bytes.constData() + 42, 4);
    EXPECT_EQ(riffSize + 8, static_cast<quint32>(bytes.size()));
    EXPECT_EQ(46 + dataSize + 12, static_cast<quint32>(bytes.size())) << "the data size misses the end";
    EXPECT_EQ(bytes.mid(bytes.size() - 12, 4), QByteArray("fact"));

    // Every peer reads all of it, and it reaches the moment the display went.
    const long long frames = dataSize / 4;
    EXPECT_EQ(static_cast<long long>(tonvara::test::SoxRaw(path).size() / 4), frames);
    EXPECT_NE(tonvara::test::Ffprobe(path).find("duration_ts=" + std::to_string(frames)), std::string::npos);
    EXPECT_EQ(tonvara::test::SndfileFrames(path), frames);
    // What was written before the kill stays, and the rest up to the kill
    // comes after it. From the click to the kill, allowances: the click's
    // way to the program and the device's opening (up to 0.1 s on a busy
    // machine), the buffer being filled (1024 frames, 21 ms) and the
    // server's fragment (25 ms) at the end; the other way, the server may
    // hand over up to 0.1 s heard before the stream started (seen: 70-93 ms),
    // and the program ends the recording a few milliseconds after the kill.
    EXPECT_GE(46 + qint64 { dataSize }, written);
    const double wall = std::chrono::duration<double>(lost - start).count();
    const double seconds = static_cast<double>(frames) / 48000;
    RecordProperty("file_minus_wall_ms", static_cast<int>((seconds - wall) * 1000));
    EXPECT_LE(seconds, wall + 0.1);
    EXPECT_GE(seconds, wall - 0.2);
}
