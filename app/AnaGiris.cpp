#include "app/AnaGiris.h"

#include "app/About.h"
#include "app/AboutF.h"
#include "mm/core/MMUtils.h"
#include "platform/ui/SysUtils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QtEndian>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <cwchar>
#include <utility>

TAnaForm* AnaForm = nullptr;

namespace AnaGiris {

QString CurrentFileName;
QString FileHour;
std::function<void()> BeforeNewFile;

namespace {

// strftime under the user's LC_TIME; the wide variant converts through
// LC_CTYPE, so a locale's non-ASCII separators arrive intact.
QString LocalTimeText(const wchar_t* format)
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    wchar_t text[128];
    const std::size_t length = std::wcsftime(text, sizeof text / sizeof text[0], format, &local);
    return QString::fromWCharArray(text, static_cast<qsizetype>(length));
}

// "4800 frames (0.100 s)".
QString LossText(std::uint64_t frames, DWORD rate)
{
    QString text = QString::number(frames) + QStringLiteral(" frames");
    if (rate > 0)
        text += QStringLiteral(" (%1 s)").arg(static_cast<double>(frames) / rate, 0, 'f', 3);
    return text;
}

// Why input was lost, as the device tells it.
const char* LossCause(TWaveInLossCause cause)
{
    switch (cause) {
    case TWaveInLossCause::Overrun:
        return "the device overran";
    case TWaveInLossCause::Clock:
        return "the input fell behind the clock: the sound server dropped it";
    case TWaveInLossCause::RingFull:
        return "the recording did not keep up";
    case TWaveInLossCause::None:
        break;
    }
    return "cause unknown";
}

void ReplaceAt(QString& text, qsizetype oneBased)
{
    if (oneBased <= text.size())
        text[oneBased - 1] = QLatin1Char('_');
}

} // namespace

QString DateText()
{
    return LocalTimeText(L"%x");
}

QString TimeText()
{
    return LocalTimeText(L"%X");
}

QString ComposeFileName(const QString& dateText, const QString& timeText)
{
    QString datePart = dateText;
    ReplaceAt(datePart, 3);
    ReplaceAt(datePart, 6);
    QString timePart = timeText.left(5);
    ReplaceAt(timePart, 3);
    QString name
        = QStringLiteral("Tarih_") + datePart + QStringLiteral("_Saat_") + timePart + QStringLiteral(".wav");
    // A '/' would make the name a path into a directory that does not exist.
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return name;
}

QString FreeFileName(const QString& name)
{
    if (!QFileInfo::exists(name))
        return name;
    const QString stem = name.endsWith(QLatin1String(".wav")) ? name.chopped(4) : name;
    for (int n = 2;; ++n) {
        const QString candidate = stem + QLatin1Char('_') + QString::number(n) + QStringLiteral(".wav");
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
}

void RemoveIfNoAudio(const QString& name)
{
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return;
    // A walk over the chunks to the data: it needs no size the writer
    // patches later, since the RIFF and data sizes are still 0 when a
    // recording stops before its first sync. The header goes first in the
    // first write, so a file that ends before the data chunk holds no audio.
    const QByteArray head = file.read(4096);
    const qint64 size = file.size();
    file.close();
    qint64 at = 12;
    while (at + 8 <= head.size()) {
        const quint32 bytes = qFromLittleEndian<quint32>(head.constData() + at + 4);
        if (head.mid(at, 4) == "data") {
            if (size > at + 8)
                return;
            break;
        }
        at += 8 + qint64 { bytes } + (bytes & 1);
    }
    // A walk that leaves what was read without ending in the file is not
    // ours to judge.
    if (at + 8 > head.size() && at + 8 <= size)
        return;
    QFile::remove(name);
}

} // namespace AnaGiris

using namespace AnaGiris;

TAnaForm::TAnaForm(TComponent* owner)
    : TForm(owner)
{
}

TAnaForm::~TAnaForm()
{
    DoDestroy();
    if (AnaForm == this)
        AnaForm = nullptr;
}

TMMWaveRecorder* TAnaForm::Selected() const
{
    return Sw->Position() == 0 ? MonoDosya : StereoDosya;
}

TMMWaveRecorder* TAnaForm::Recording() const
{
    for (TMMWaveRecorder* recorder : { MonoDosya, StereoDosya })
        if (recorder->State() & wsOpened)
            return recorder;
    return FRetry != nullptr ? FRetry : Selected();
}

void TAnaForm::ComposeFileName()
{
    // Two separate clock readings, as the user would read them one after
    // the other; a name made across a minute boundary mixes both sides.
    const QString dateText = DateText();
    const QString timeText = TimeText();
    CurrentFileName = FreeFileName(AnaGiris::ComposeFileName(dateText, timeText));
    Label13->SetCaption(CurrentFileName);
}

void TAnaForm::MakeFileName(bool setFileHour)
{
    if (setFileHour)
        FileHour = TimeText().left(2);
    ComposeFileName();
}

void TAnaForm::FormCreate(TObject*)
{
    AnaForm = this;
    for (TMMWaveRecorder* recorder : { MonoDosya, StereoDosya })
        recorder->WaveIn()->SetOnLoss(
            [this, recorder](TObject*, const TMMWaveInLoss& loss) { ReportLoss(recorder, loss); });
    auto* splash = new TAboutBox(Application);
    splash->ShowSplash();
    MakeFileName(true);
    splash->Timer1->SetEnabled(true);
}

void TAnaForm::FormActivate(TObject*)
{
    // A recording that ended by itself still counts until the next tick
    // arms its retry: the stop button must stay for that retry.
    const bool recording = (Recording()->State() & wsOpened) || RetryPending() || FRunning != nullptr;
    // The stereo file being written is no business of the mono recorder's;
    // the name of the mono file being written is taken as no change of file.
    if (!recording || Sw->Position() == 0)
        MonoDosya->Wave()->SetFileName(CurrentFileName);
    // Coming back from the about window or a message box during a recording
    // must leave a button that stops it.
    if (!recording)
        Button3->SetEnabled(false);
}

void TAnaForm::FormClose(TObject*, TCloseAction&)
{
    FRetry = nullptr;
    FRunning = nullptr;
    MonoDosya->Stop();
    StereoDosya->Stop();
}

void TAnaForm::TimerTimer(TObject*)
{
    Label1->SetCaption(FormatElapsedTime(Selected()->Position(), true));

    if (FRunning != nullptr && !(FRunning->State() & wsOpened)) {
        // The recording ended by itself: the disk is full, a write failed or
        // the sound device is gone. Its file is finished; a new one is tried
        // as after a failed start. Shown once, until a recording lasts to the
        // next hour or the user starts or stops; stderr has every one.
        const QString stopped = FRunning->Wave()->FileName();
        // A disk that stays full would otherwise gain an empty file at
        // every try.
        RemoveIfNoAudio(stopped);
        FRetry = std::exchange(FRunning, nullptr);
        FRetryClock.start();
        std::fprintf(stderr, "tonvara: %s: the recording into %s stopped by itself, trying again in %d s\n",
            qPrintable(TimeText()), qPrintable(QFileInfo(stopped).fileName()), kRetrySeconds);
        // A device that failed has shown its own box already.
        const bool shown = FDeviceFailed.exchange(false);
        if (!std::exchange(FToldStopped, true) && !shown)
            throw Exception(QStringLiteral("The recording into %1 stopped: the disk is full, a write failed "
                                           "or the sound device is gone. Trying again every %2 s.")
                                .arg(QFileInfo(stopped).fileName())
                                .arg(kRetrySeconds));
    }

    const QString hour = TimeText().left(2);
    if (hour != FileHour) {
        // Taken first: a start that fails is handled once, not on every tick.
        FileHour = hour;
        TMMWaveRecorder* recorder = Recording();
        // A recording that lasted to the hour change is a good one again.
        if (recorder->State() & wsOpened)
            FToldStopped = false;
        ShowRecordingState();
        recorder->Stop();
        ComposeFileName();
        StartRecorder(recorder);
    } else if (FRetry != nullptr && FRetryClock.hasExpired(kRetrySeconds * 1000)) {
        if (BeforeNewFile)
            BeforeNewFile();
        // A disk that stays full would gain a file of a few bytes at every
        // try: the next try waits for room.
        const qint64 room = QStorageInfo(QDir::currentPath()).bytesAvailable();
        if (room >= 0 && room < kLeastRoomBytes) {
            FRetryClock.start();
            std::fprintf(stderr,
                "tonvara: %s: %lld bytes free on the disk, too little to record; trying again in %d s\n",
                qPrintable(TimeText()), static_cast<long long>(room), kRetrySeconds);
            return;
        }
        // A file named for the moment the device came back.
        ComposeFileName();
        StartRecorder(FRetry);
    }
}

void TAnaForm::Button1Click(TObject*)
{
    FToldStopped = false;
    ShowRecordingState();
    Timer->SetEnabled(true);
    MakeFileName(true);
    StartRecorder(Selected());
}

void TAnaForm::Button3Click(TObject*)
{
    FRetry = nullptr;
    FRunning = nullptr;
    FToldStopped = false;
    MonoDosya->Stop();
    StereoDosya->Stop();
    Sw->SetEnabled(true);
    Button1->SetEnabled(true);
    Button3->SetEnabled(false);
    BitBtn1->SetEnabled(true);
    Timer->SetEnabled(true);
}

void TAnaForm::BitBtn1Click(TObject*)
{
    FRetry = nullptr;
    FRunning = nullptr;
    MonoDosya->Stop();
    StereoDosya->Stop();
    Close();
}

// The same state whoever starts a recording, the start button or the hour
// change: only the stop button may end it, and the switch stays where it is.
void TAnaForm::ShowRecordingState()
{
    Button1->SetEnabled(false);
    Button3->SetEnabled(true);
    BitBtn1->SetEnabled(false);
    Sw->SetEnabled(false);
}

// An unattended machine must recover by itself from a device that is gone
// for a while: the first failure is shown (the exception goes on to the
// application's display), later tries only say so on stderr, every
// kRetrySeconds, until a start succeeds or the user stops.
void TAnaForm::StartRecorder(TMMWaveRecorder* recorder)
{
    if (BeforeNewFile)
        BeforeNewFile();
    recorder->Wave()->SetFileName(CurrentFileName);
    try {
        recorder->Start();
        if (FRetry != nullptr)
            std::fprintf(stderr, "tonvara: %s: recording again, into %s\n", qPrintable(TimeText()),
                qPrintable(CurrentFileName));
        FRetry = nullptr;
        FRunning = recorder;
        FDeviceFailed = false;
    } catch (const std::exception& error) {
        FRunning = nullptr;
        RemoveIfNoAudio(CurrentFileName);
        const bool first = FRetry == nullptr;
        FRetry = recorder;
        FRetryClock.start();
        std::fprintf(stderr, "tonvara: %s: the recording could not start, trying again in %d s: %s\n",
            qPrintable(TimeText()), kRetrySeconds, qPrintable(ExceptionMessage(error).simplified()));
        if (first)
            throw;
    }
}

// Runs in the recorder's buffer thread (the worker of the mono recorder) or
// in the GUI thread; it touches nothing of the window.
void TAnaForm::ReportLoss(TMMWaveRecorder* recorder, const TMMWaveInLoss& loss)
{
    const QString now = TimeText();
    const QString lost = LossText(loss.Frames, loss.Rate);
    switch (loss.Kind) {
    case TMMWaveInLossKind::Loss:
        std::fprintf(stderr, "tonvara: %s: %s of input lost (%s), %s\n", qPrintable(now), qPrintable(lost),
            LossCause(loss.Cause),
            loss.Breaks > 0 ? "too long to fill: the recording jumps there" : "filled with silence");
        break;
    case TMMWaveInLossKind::Failure:
        FDeviceFailed = true;
        std::fprintf(stderr, "tonvara: %s: the recording stopped, input is lost from here on: %s\n",
            qPrintable(now), qPrintable(loss.Text.simplified()));
        break;
    case TMMWaveInLossKind::Totals: {
        // The GUI thread, closing the file: its name is still the recorder's.
        const QString file = QFileInfo(recorder->Wave()->FileName()).fileName();
        if (loss.Count == 0) {
            std::fprintf(stderr, "tonvara: %s: %s: input lost from the device's failure on, none before\n",
                qPrintable(now), qPrintable(file));
            break;
        }
        std::fprintf(stderr, "tonvara: %s: %s: input lost: %u %s, %s in all, %s filled with silence%s\n",
            qPrintable(now), qPrintable(file), static_cast<unsigned>(loss.Count),
            loss.Count == 1 ? "loss" : "losses", qPrintable(lost),
            qPrintable(LossText(loss.Silence, loss.Rate)), loss.Failed ? "; then the device failed" : "");
        break;
    }
    }
}

void TAnaForm::SwMouseDown(TObject*, TMouseButton, TShiftState, int, int)
{
    if (Connector->IsOpen())
        return;
    Sw->SetPosition(Sw->Position() == 0 ? 1 : 0);
}

void TAnaForm::SwChange(TObject*)
{
    if (Connector->IsOpen())
        return;
    Connector->SetInput(Sw->Position() != 0 ? StereoDosya : MonoDosya);
}

void TAnaForm::Help1Click(TObject*)
{
    if (!AboutFrm)
        Application->CreateForm(AboutFrm);
    AboutFrm->ShowModal();
}
