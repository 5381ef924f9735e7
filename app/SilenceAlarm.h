#pragma once
// The silence alarm: an unattended recorder whose input has gone dead (a
// pulled cable, a muted mixer) fills its archive with hours of nothing, and
// nobody looks at the window. While a recording runs, every recorded buffer
// is measured on the recording path itself (the recorder's OnData, so it
// works with the window off screen); once every sample has stayed below the
// level for the set time the program says so on stderr, turns the LED
// marquee into a red warning and runs the user's command. When sound comes
// back the marquee gets its own caption and colours again, a line says how
// long the silence lasted, and the other command runs.
//
// The count goes on across an hour change (it is the input that is silent,
// not the file); a recording that stops, by the stop button or by itself,
// ends it. A stereo recording's PCM buffers (21 ms) are measured as they
// come. A mono recording's GSM buffers come only every 2.52 s, so its
// device measures the PCM it captures as it codes it (its level watch) and
// the alarm reads that every 50 ms: either way the alarm comes within a few
// tens of ms after the set time.

#include "mm/core/MMDSPObj.h"
#include "platform/mm/MMSystem.h"
#include "platform/ui/Graphics.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <mutex>

class TAnaForm;
class TMMWaveRecorder;

/// What the user asked for. Seconds 0 leaves the alarm off.
struct TSilenceSettings {
    int Seconds = 0;
    double BelowDbfs = -50;
    QString OnSilence; // run through sh -c when the alarm comes; empty: none
    QString OnSound; // run through sh -c when sound comes back; empty: none
};

/// A change the detector saw.
enum class TSilenceChange { Silent, Sound };

/// Follows the silence of a PCM stream buffer by buffer: a plain counter of
/// the frames since the last one with a sample at or above the level. Used
/// from one thread at a time; allocates nothing.
class TSilenceDetector {
public:
    /// Silence is every sample below BelowDbfs (of a full scale of 32768)
    /// for Seconds.
    TSilenceDetector(int seconds, double belowDbfs);

    /// Measures Count bytes of PCM in Format (8 or 16 bits, any channels)
    /// and calls Report(change, whole seconds of silence) for what happened
    /// in them, in order: Silent when the silence has lasted the set time,
    /// Sound when a sample at the level ends a silence that had. A buffer
    /// longer than the set time may hold both, either way round. Other
    /// formats change nothing.
    template <typename TReport>
    void Measure(const WAVEFORMATEX& format, const void* data, std::size_t count, TReport&& report);
    /// Follows Frames more frames at Rate, the first and last with a sample
    /// at the level being First and Last of them (-1 and -1: none), as
    /// Measure does.
    template <typename TReport>
    void Advance(DWORD rate, std::uint64_t frames, std::int64_t first, std::int64_t last, TReport&& report);
    /// The magnitude of a 16-bit sample at the level.
    int Threshold() const { return FThreshold; }
    /// Forgets the silence counted so far.
    void Reset();

    /// Whole seconds of silence so far.
    int SilentSeconds() const { return FRate != 0 ? static_cast<int>(FRunFrames / FRate) : 0; }

private:
    // The first and last frame of Data with a sample at the level, -1 and -1
    // when none has; the frame count.
    std::uint64_t Scan(const WAVEFORMATEX& format, const void* data, std::size_t count, std::int64_t& first,
        std::int64_t& last);

    std::uint64_t FLimitSeconds;
    int FThreshold;
    std::uint64_t FRunFrames = 0; // silent frames since the last loud one
    DWORD FRate = 0;
    bool FAlarmed = false;
};

template <typename TReport>
void TSilenceDetector::Measure(
    const WAVEFORMATEX& format, const void* data, std::size_t count, TReport&& report)
{
    std::int64_t first = -1, last = -1;
    const std::uint64_t frames = Scan(format, data, count, first, last);
    Advance(format.nSamplesPerSec, frames, first, last, report);
}

template <typename TReport>
void TSilenceDetector::Advance(
    DWORD rate, std::uint64_t frames, std::int64_t first, std::int64_t last, TReport&& report)
{
    if (frames == 0 || FLimitSeconds == 0 || rate == 0)
        return;
    if (rate != FRate) {
        if (FRate != 0)
            FRunFrames = FRunFrames * rate / FRate;
        FRate = rate;
    }
    const std::uint64_t limit = FLimitSeconds * FRate;
    const auto seconds = [this](std::uint64_t run) { return static_cast<int>(run / FRate); };
    if (first >= 0) {
        const std::uint64_t before = FRunFrames + static_cast<std::uint64_t>(first);
        // A silence that reached the set time and ended within one buffer:
        // the alarm comes late, and sound is back at once.
        if (!FAlarmed && before >= limit) {
            FAlarmed = true;
            report(TSilenceChange::Silent, seconds(before));
        }
        if (FAlarmed) {
            FAlarmed = false;
            report(TSilenceChange::Sound, seconds(before));
        }
        FRunFrames = frames - 1 - static_cast<std::uint64_t>(last);
    } else {
        FRunFrames += frames;
    }
    if (!FAlarmed && FRunFrames >= limit) {
        FAlarmed = true;
        report(TSilenceChange::Silent, seconds(FRunFrames));
    }
}

/// The alarm on the main window's recorders. Made in the GUI thread after
/// the window; lives as the window's child.
class TSilenceAlarm : public QObject {
    Q_OBJECT
public:
    /// Hooks itself to both recorders' OnData, OnStart and OnStop (before
    /// the handlers already there) while nothing records.
    TSilenceAlarm(TAnaForm* form, const TSilenceSettings& settings);
    ~TSilenceAlarm() override;

    /// The warning the marquee scrolls, in characters the LED font has.
    static const char* const kWarning;

private:
    struct TChange {
        TSilenceChange Change;
        int Seconds;
        std::uint64_t Generation;
    };

    void Measure(const WAVEHDR* header); // buffer thread
    void Poll(); // GUI thread: the mono recorder's level watch
    void Changed(TSilenceChange change, int seconds); // under FLock
    void Started(TMMWaveRecorder* recorder); // GUI thread
    void Stopped(); // GUI thread
    void Show(const TChange& change); // GUI thread
    void ShowWarning(bool on); // GUI thread
    void RunCommand(const char* option, const QString& command, int seconds); // GUI thread
    QString FilePath() const;

    struct THandlers {
        TMMBufferEvent Data;
        TNotifyEvent Start;
        TNotifyEvent Stop;
    };

    QPointer<TAnaForm> FForm;
    TSilenceSettings FSettings;
    THandlers FPrevious[2]; // the mono and the stereo recorder's, restored at the end

    // The measuring state of the thread that measures; the GUI thread resets
    // it at a stop and sets the format at a start, both under FLock.
    std::mutex FLock;
    TSilenceDetector FDetector;
    WAVEFORMATEX FFormat {}; // of a PCM recording's buffers; zero while the watch is read
    std::uint64_t FGeneration = 0; // counts the stops: a change of an earlier recording is stale

    // The level watch of a recording in another format (GUI thread): the
    // device last read and its counters then. A new device (the next file)
    // counts from 0.
    TMMWaveRecorder* FWatched = nullptr;
    QTimer FWatchTimer;
    HWAVEIN FWatchHandle = nullptr;
    std::uint64_t FWatchFrames = 0;
    std::uint64_t FWatchLoudUntil = 0;
    DWORD FWatchRate = 0;

    // GUI thread.
    bool FShown = false;
    QString FSavedCaption;
    TColor FSavedLEDColor = clWhite;
    TColor FSavedInactiveColor = clNavy;
};
