#pragma once
// The wave recorder: one component that records a sound card's input into a
// WAV file. It owns a wave input (TMMWaveIn) and a wave file (TMMWaveFile)
// chained as
//
//     WaveIn -> WaveFile -> the recorder -> the recorder's Output
//
// so every buffer the device returns is written to Wave.FileName and then
// handed on, unchanged and in the recording format, to Output (the display
// connector in the program). The recorder converts nothing: a compressed
// recording format (GSM 6.10, stored as "WaveFormatEx") is the device's
// format, delivered already compressed by the platform's wave mapper.
//
// Threads. Properties, Start, Stop and Position belong to the GUI thread.
// OnData runs where the wave input processes its buffers (the GUI thread in
// cmWindow, the wave input's worker in cmThread). OnStart, OnStop, OnPause,
// OnRestart and OnChange run in the GUI thread.
//
// Stopping and starting again, as the program does at every change of the
// hour, closes the device and reopens it at once: the platform continues the
// capture, and the wave input writes what it had before Stopped, so the two
// files join without a missing or doubled sample.

#include "mm/capture/MMWavIn.h"
#include "mm/capture/MMWave.h"
#include "mm/core/MMDSPObj.h"
#include "mm/core/MMUtils.h"
#include "platform/ui/Classes.h"

#include <QString>

class TMMWaveRecorder : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(TNotifyEvent OnStart READ OnStart WRITE SetOnStart)
    Q_PROPERTY(TNotifyEvent OnStop READ OnStop WRITE SetOnStop)
    Q_PROPERTY(TNotifyEvent OnPause READ OnPause WRITE SetOnPause)
    Q_PROPERTY(TNotifyEvent OnRestart READ OnRestart WRITE SetOnRestart)
    Q_PROPERTY(TNotifyEvent OnChange READ OnChange WRITE SetOnChange)
    Q_PROPERTY(TMMBufferEvent OnData READ OnData WRITE SetOnData)
    Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)
    Q_PROPERTY(TMMWave* Wave READ Wave WRITE SetWave)
    Q_PROPERTY(int BufferSize READ GetBufferSize WRITE SetBufferSize)
    Q_PROPERTY(int NumBuffers READ NumBuffers WRITE SetNumBuffers)
    Q_PROPERTY(TMMDeviceId DeviceID READ DeviceID WRITE SetDeviceID)
    Q_PROPERTY(QString ProductName READ ProductName WRITE SetProductName STORED false)
    Q_PROPERTY(MMEnums::TMMTimeFormats TimeFormat READ TimeFormat WRITE SetTimeFormat)
    Q_PROPERTY(MMEnums::TMMCBMode CallBackMode READ CallBackMode WRITE SetCallBackMode)
    Q_PROPERTY(int MaxRecordTime READ MaxRecordTime WRITE SetMaxRecordTime)
    Q_PROPERTY(MMEnums::TMMMode Mode READ Mode WRITE SetMode)
    Q_PROPERTY(MMEnums::TMMBits BitLength READ BitLength WRITE SetBitLength)
    Q_PROPERTY(int SampleRate READ SampleRate WRITE SetSampleRate)
    Q_PROPERTY(QString InputFormat READ InputFormat WRITE SetInputFormat STORED false)
    Q_PROPERTY(bool OverwriteExisting READ OverwriteExisting WRITE SetOverwriteExisting)
public:
    /// Makes the wave input and the wave file (whose wave accepts a file
    /// that does not exist yet) and chains them. GUI thread.
    explicit TMMWaveRecorder(TComponent* owner);
    /// Stops (the file is finished), then frees the wave input and file.
    ~TMMWaveRecorder() override;

    // -- operations (GUI thread) ----------------------------------------------

    /// Records into Wave.FileName: opens the device (which creates the file)
    /// and starts it. Nothing when already recording or without a file name.
    /// Raises EMMWaveInError for device failures and EMMWaveError for file
    /// failures; the device is then closed.
    void Start();
    /// Stops recording and closes the device; the file is finished. Harmless
    /// when idle.
    void Stop();
    /// The recording position in TimeFormat units: the device's position
    /// while it is open (plus the wave's position at Start when the file is
    /// written into rather than replaced); while idle 0, or the wave's
    /// position when OverwriteExisting is off (-1 without a file).
    int Position();

    /// The wave input's State.
    TMMWaveInState State() const;

    /// The owned parts, for inspection (their events belong to the
    /// recorder: set only OnError and OnClose of the wave input).
    TMMWaveIn* WaveIn() const { return FWaveIn; }
    TMMWaveFile* WaveFile() const { return FWaveFile; }

    // -- properties ---------------------------------------------------------------

    /// Fired when the device has opened (the file exists).
    TNotifyEvent OnStart() const { return FOnStart; }
    void SetOnStart(TNotifyEvent handler) { FOnStart = std::move(handler); }
    /// Fired when the device has stopped, after it was closed.
    TNotifyEvent OnStop() const { return FOnStop; }
    void SetOnStop(TNotifyEvent handler) { FOnStop = std::move(handler); }
    TNotifyEvent OnPause() const { return FOnPause; }
    void SetOnPause(TNotifyEvent handler) { FOnPause = std::move(handler); }
    TNotifyEvent OnRestart() const { return FOnRestart; }
    void SetOnRestart(TNotifyEvent handler) { FOnRestart = std::move(handler); }
    /// Fired when Wave.FileName is set to another file (a recording in
    /// progress has been stopped then).
    TNotifyEvent OnChange() const { return FOnChange; }
    void SetOnChange(TNotifyEvent handler) { FOnChange = std::move(handler); }
    /// Fired with every buffer the wave input passes down, before the file
    /// writes it. Buffer thread.
    TMMBufferEvent OnData() const { return FOnData; }
    void SetOnData(TMMBufferEvent handler) { FOnData = std::move(handler); }

    /// The wave file's wave; the setter copies Value into it.
    TMMWave* Wave() const;
    void SetWave(TMMWave* value);

    /// The wave input's buffer size (while open: the size in force).
    int GetBufferSize() const override;
    void SetBufferSize(int value) override;
    int NumBuffers() const;
    void SetNumBuffers(int value);
    TMMDeviceId DeviceID() const;
    void SetDeviceID(TMMDeviceId value);
    QString ProductName() const;
    void SetProductName(const QString& value);
    /// Read from the wave input; written to the wave input and the wave.
    TMMTimeFormats TimeFormat() const;
    void SetTimeFormat(TMMTimeFormats value);
    TMMCBMode CallBackMode() const;
    void SetCallBackMode(TMMCBMode value);
    int MaxRecordTime() const;
    void SetMaxRecordTime(int value);
    TMMMode Mode() const;
    void SetMode(TMMMode value);
    TMMBits BitLength() const;
    void SetBitLength(TMMBits value);
    int SampleRate() const;
    void SetSampleRate(int value);
    /// "Unknown" without a format, else the format's tag name, a blank and
    /// its description (from the compression manager when it can name it).
    /// Writing shows an information dialog and changes nothing.
    QString InputFormat() const;
    void SetInputFormat(const QString& value);
    /// The wave file's OverwriteExisting.
    bool OverwriteExisting() const;
    void SetOverwriteExisting(bool value);

    // -- chain --------------------------------------------------------------------

    /// A format that differs from the wave input's becomes the wave input's
    /// (it comes back here through the wave file); an equal one is stored
    /// and passed on to Output. Ignored while the wave file attaches another
    /// file: an existing file's format never replaces the recording format.
    void SetPWaveFormat(LPCWAVEFORMATEX format) override;

protected:
    /// "WaveFormatEx": the wave input's whole format record, stored when it
    /// is not PCM; read back into the wave input (after the published
    /// properties, so it wins over Mode, BitLength and SampleRate). A stored
    /// record too short for its own size raises EReadError.
    void DefineProperties(TFiler* filer) override;

private:
    void ReadWaveFormat(QIODevice& stream);
    void WriteWaveFormat(QIODevice& stream);
    void WaveFileChange();

    TMMWaveIn* FWaveIn = nullptr;
    TMMWaveFile* FWaveFile = nullptr;
    int FStartOffset = 0;
    bool FWaveChanging = false;
    TNotifyEvent FOnStart;
    TNotifyEvent FOnStop;
    TNotifyEvent FOnPause;
    TNotifyEvent FOnRestart;
    TNotifyEvent FOnChange;
    TMMBufferEvent FOnData;
};

/// Registers TMMWaveRecorder with the stored-form reader. Idempotent; any
/// thread.
void RegisterWaveRecorderClasses();
