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
// ends it. A mono recording's GSM buffers are decoded to PCM to be measured;
// they come every 2.52 s, so in mono the alarm can come up to that much
// after the set time, in stereo (21 ms buffers) within a few tens of ms.

#include "mm/core/MMDSPObj.h"
#include "platform/mm/MMSystem.h"
#include "platform/ui/Graphics.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <memory>
#include <mutex>

class TAnaForm;
class TMMACMChain;
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
    if (frames == 0 || FLimitSeconds == 0)
        return;
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

    // The buffer thread's measuring state; the GUI thread resets it at a stop
    // and reopens the decoder at a start, both under FLock.
    std::mutex FLock;
    TSilenceDetector FDetector;
    std::unique_ptr<TMMACMChain> FDecoder; // GSM -> PCM for the mono recorder
    WAVEFORMATEX FDecodedFormat {};
    std::uint64_t FGeneration = 0; // counts the stops: a change of an earlier recording is stale

    // GUI thread.
    bool FShown = false;
    QString FSavedCaption;
    TColor FSavedLEDColor = clWhite;
    TColor FSavedInactiveColor = clNavy;
};
