#include "app/SilenceAlarm.h"

#include "app/AnaGiris.h"

#include <QFileInfo>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// Index of the first sample of Data at or above Threshold in magnitude
// (scanning from the end when Backward), or -1.
template <typename TSample, typename TValue>
std::ptrdiff_t FindLoud(const TSample* data, std::size_t samples, int threshold, TValue value, bool backward)
{
    for (std::size_t n = 0; n < samples; ++n) {
        const std::size_t i = backward ? samples - 1 - n : n;
        if (std::abs(value(data[i])) >= threshold)
            return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
}

// The user's command through sh -c in a process group of its own (a Ctrl+C
// meant for the program does not reach it), with stdin from /dev/null and
// Extra added to the environment. A thread of its own waits for it and
// says how it ended: a command that hangs or fails costs the recording
// nothing.
void RunDetached(const char* option, const QString& command, const QStringList& extra)
{
    std::vector<QByteArray> entries;
    for (char** e = environ; *e != nullptr; ++e) {
        const QByteArray entry(*e);
        const bool replaced = std::any_of(extra.begin(), extra.end(),
            [&](const QString& x) { return entry.startsWith(x.section('=', 0, 0).toLocal8Bit() + '='); });
        if (!replaced)
            entries.push_back(entry);
    }
    for (const QString& x : extra)
        entries.push_back(x.toLocal8Bit());
    std::vector<char*> envp;
    for (QByteArray& entry : entries)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    QByteArray shell("sh"), dashC("-c"), text = command.toLocal8Bit();
    char* argv[] = { shell.data(), dashC.data(), text.data(), nullptr };
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        std::fprintf(stderr, "tonvara: %s: the %s command could not start: %s\n",
            qPrintable(AnaGiris::TimeText()), option, std::strerror(error));
        return;
    }
    std::thread([pid, option] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
        const QString now = AnaGiris::TimeText();
        if (WIFEXITED(status))
            std::fprintf(stderr, "tonvara: %s: the %s command ended with exit status %d\n", qPrintable(now),
                option, WEXITSTATUS(status));
        else if (WIFSIGNALED(status))
            std::fprintf(stderr, "tonvara: %s: the %s command was ended by signal %d\n", qPrintable(now),
                option, WTERMSIG(status));
    }).detach();
}

} // namespace

// ---------------------------------------------------------------------------
// TSilenceDetector

TSilenceDetector::TSilenceDetector(int seconds, double belowDbfs)
    : FLimitSeconds(static_cast<std::uint64_t>(std::max(seconds, 0)))
    , FThreshold(
          std::clamp(static_cast<int>(std::ceil(32768.0 * std::pow(10.0, belowDbfs / 20.0))), 1, 32769))
{
}

std::uint64_t TSilenceDetector::Scan(
    const WAVEFORMATEX& format, const void* data, std::size_t count, std::int64_t& first, std::int64_t& last)
{
    const int bits = format.wBitsPerSample;
    const std::size_t channels = format.nChannels;
    if (format.wFormatTag != WAVE_FORMAT_PCM || channels == 0 || format.nSamplesPerSec == 0
        || (bits != 8 && bits != 16) || data == nullptr)
        return 0;
    const std::size_t samples = count / (bits / 8) / channels * channels;
    std::ptrdiff_t firstSample = -1, lastSample = -1;
    const auto scan = [&](auto* typed, auto value) {
        firstSample = FindLoud(typed, samples, FThreshold, value, false);
        if (firstSample >= 0)
            lastSample = FindLoud(typed, samples, FThreshold, value, true);
    };
    if (bits == 16)
        scan(static_cast<const std::int16_t*>(data), [](std::int16_t s) { return int { s }; });
    else
        scan(static_cast<const std::uint8_t*>(data), [](std::uint8_t s) { return (int { s } - 128) * 256; });
    const auto frame = [&](std::ptrdiff_t sample) {
        return sample < 0 ? std::int64_t { -1 } : static_cast<std::int64_t>(std::size_t(sample) / channels);
    };
    first = frame(firstSample);
    last = frame(lastSample);
    return samples / channels;
}

void TSilenceDetector::Reset()
{
    FRunFrames = 0;
    FAlarmed = false;
}

// ---------------------------------------------------------------------------
// TSilenceAlarm

const char* const TSilenceAlarm::kWarning = "UYARI: GIRISTE SES YOK";

TSilenceAlarm::TSilenceAlarm(TAnaForm* form, const TSilenceSettings& settings)
    : QObject(form)
    , FForm(form)
    , FSettings(settings)
    , FDetector(settings.Seconds, settings.BelowDbfs)
{
    // The mono recorder's device measures what it captures.
    form->MonoDosya->WaveIn()->SetLevelWatch(static_cast<DWORD>(FDetector.Threshold()));
    FWatchTimer.setInterval(50);
    connect(&FWatchTimer, &QTimer::timeout, this, &TSilenceAlarm::Poll);
    // Whatever else is hooked to the recorders goes on being called.
    TMMWaveRecorder* const recorders[] = { form->MonoDosya, form->StereoDosya };
    for (int i = 0; i < 2; ++i) {
        TMMWaveRecorder* recorder = recorders[i];
        FPrevious[i] = { recorder->OnData(), recorder->OnStart(), recorder->OnStop() };
        recorder->SetOnData([this, previous = FPrevious[i].Data](TObject* sender, PWaveHdr header) {
            Measure(header);
            if (previous)
                previous(sender, header);
        });
        recorder->SetOnStart([this, recorder, previous = FPrevious[i].Start](TObject* sender) {
            Started(recorder);
            if (previous)
                previous(sender);
        });
        recorder->SetOnStop([this, previous = FPrevious[i].Stop](TObject* sender) {
            Stopped();
            if (previous)
                previous(sender);
        });
    }
}

TSilenceAlarm::~TSilenceAlarm()
{
    if (FForm == nullptr)
        return;
    FForm->MonoDosya->WaveIn()->SetLevelWatch(0);
    TMMWaveRecorder* const recorders[] = { FForm->MonoDosya, FForm->StereoDosya };
    for (int i = 0; i < 2; ++i) {
        recorders[i]->SetOnData(FPrevious[i].Data);
        recorders[i]->SetOnStart(FPrevious[i].Start);
        recorders[i]->SetOnStop(FPrevious[i].Stop);
    }
}

// Runs where the recorder delivers its buffers: the mono recorder's worker
// thread or, for stereo, the GUI thread. Only PCM is measured here (FFormat
// is zero otherwise). Allocates nothing but the event of a change.
void TSilenceAlarm::Measure(const WAVEHDR* header)
{
    if (header == nullptr || header->lpData == nullptr || header->dwBytesRecorded == 0)
        return;
    std::lock_guard<std::mutex> lock(FLock);
    FDetector.Measure(FFormat, header->lpData, header->dwBytesRecorded,
        [this](TSilenceChange change, int seconds) { Changed(change, seconds); });
}

void TSilenceAlarm::Changed(TSilenceChange change, int seconds)
{
    const TChange event { change, seconds, FGeneration };
    QMetaObject::invokeMethod(
        this, [this, event] { Show(event); }, Qt::QueuedConnection);
}

// What the watched device has captured since the last look. Within the
// frames that came meanwhile only the last loud one is known: the sound is
// taken to have come back with the first of them, so that a silence is never
// taken for longer than it was.
void TSilenceAlarm::Poll()
{
    if (FWatched == nullptr)
        return;
    HWAVEIN handle = nullptr;
    TWaveInStatistics now {};
    if (!FWatched->WaveIn()->ReadLevelWatch(handle, now))
        return;
    if (handle != FWatchHandle) {
        FWatchHandle = handle;
        FWatchFrames = 0;
        FWatchLoudUntil = 0;
    }
    if (now.WatchedFrames <= FWatchFrames)
        return;
    const std::uint64_t frames = now.WatchedFrames - FWatchFrames;
    std::int64_t first = -1, last = -1;
    if (now.LoudUntil > FWatchLoudUntil) {
        first = 0;
        last = static_cast<std::int64_t>(now.LoudUntil - 1 - FWatchFrames);
    }
    FWatchFrames = now.WatchedFrames;
    FWatchLoudUntil = now.LoudUntil;
    std::lock_guard<std::mutex> lock(FLock);
    FDetector.Advance(FWatchRate, frames, first, last,
        [this](TSilenceChange change, int seconds) { Changed(change, seconds); });
}

// The device has opened, before its first buffer. A PCM recording is
// measured buffer by buffer, any other through its device's level watch.
void TSilenceAlarm::Started(TMMWaveRecorder* recorder)
{
    const WAVEFORMATEX* format = recorder->WaveIn()->PWaveFormat();
    {
        std::lock_guard<std::mutex> lock(FLock);
        FFormat = {};
        if (format != nullptr && format->wFormatTag == WAVE_FORMAT_PCM)
            FFormat = *format;
    }
    FWatched = nullptr;
    FWatchTimer.stop();
    if (format == nullptr || format->wFormatTag == WAVE_FORMAT_PCM)
        return;
    HWAVEIN handle = nullptr;
    TWaveInStatistics now {};
    if (!recorder->WaveIn()->ReadLevelWatch(handle, now)) {
        std::fprintf(stderr, "tonvara: %s: the silence alarm cannot measure this recording\n",
            qPrintable(AnaGiris::TimeText()));
        return;
    }
    FWatched = recorder;
    FWatchRate = format->nSamplesPerSec;
    FWatchTimer.start();
}

// A stop at the hour change is followed at once, in the same handler, by the
// start of the next file: only a recorder still closed once that is over
// means the recording has ended.
void TSilenceAlarm::Stopped()
{
    // The stopped device is still open: what it captured last counts.
    Poll();
    QTimer::singleShot(0, this, [this] {
        if (FForm == nullptr)
            return;
        for (TMMWaveRecorder* recorder : { FForm->MonoDosya, FForm->StereoDosya })
            if (recorder->State() & wsOpened)
                return;
        FWatched = nullptr;
        FWatchTimer.stop();
        int seconds = 0;
        {
            std::lock_guard<std::mutex> lock(FLock);
            seconds = FDetector.SilentSeconds();
            FDetector.Reset();
            ++FGeneration;
        }
        if (!FShown)
            return;
        FShown = false;
        ShowWarning(false);
        std::fprintf(stderr, "tonvara: %s: the recording stopped; its input had been silent for %d s\n",
            qPrintable(AnaGiris::TimeText()), seconds);
    });
}

void TSilenceAlarm::Show(const TChange& change)
{
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (change.Generation != FGeneration)
            return;
    }
    const QString now = AnaGiris::TimeText();
    const QString file = QFileInfo(FilePath()).fileName();
    if (change.Change == TSilenceChange::Silent && !FShown) {
        FShown = true;
        std::fprintf(stderr, "tonvara: %s: the input has been silent for %d s (below %g dBFS) in %s\n",
            qPrintable(now), change.Seconds, FSettings.BelowDbfs, qPrintable(file));
        ShowWarning(true);
        RunCommand("--on-silence", FSettings.OnSilence, change.Seconds);
    } else if (change.Change == TSilenceChange::Sound && FShown) {
        FShown = false;
        std::fprintf(stderr, "tonvara: %s: sound is back in %s after %d s of silence\n", qPrintable(now),
            qPrintable(file), change.Seconds);
        ShowWarning(false);
        RunCommand("--on-sound", FSettings.OnSound, change.Seconds);
    }
}

void TSilenceAlarm::ShowWarning(bool on)
{
    if (FForm == nullptr)
        return;
    TMMLEDLABEL* led = FForm->MMLEDLABEL1;
    if (on) {
        FSavedCaption = led->Caption();
        FSavedLEDColor = led->LEDColor();
        FSavedInactiveColor = led->InactiveColor();
        // Three times round with a gap, so the warning fills the row as it
        // scrolls.
        const QString once = QString::fromLatin1(kWarning) + QStringLiteral("    ");
        led->SetCaption(once + once + once);
        led->SetLEDColor(clRed);
        led->SetInactiveColor(clMaroon);
    } else {
        led->SetCaption(FSavedCaption);
        led->SetLEDColor(FSavedLEDColor);
        led->SetInactiveColor(FSavedInactiveColor);
    }
    led->SetCurrentStep(0);
}

void TSilenceAlarm::RunCommand(const char* option, const QString& command, int seconds)
{
    if (command.isEmpty())
        return;
    RunDetached(option, command,
        { QStringLiteral("TONVARA_FILE=") + FilePath(),
            QStringLiteral("TONVARA_SILENT_SECONDS=") + QString::number(seconds) });
}

QString TSilenceAlarm::FilePath() const
{
    return FForm != nullptr ? FForm->Recording()->Wave()->FileName() : QString();
}
