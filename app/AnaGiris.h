#pragma once

// The main window: it records what reaches the sound card into hourly WAV
// files, in mono (GSM 6.10, MonoDosya) or stereo (PCM, StereoDosya) as the
// switch says. Its 50 ms timer shows the elapsed time and, whenever the hour
// of the clock changes, stops the selected recorder and starts it again on a
// new file, whether or not the start button was pressed. Nothing here catches
// exceptions: they reach the application's exception display.
//
// A recording that loses input says so on stderr: a line for each loss (its
// time, how much, why) and the recording's totals when its file is closed.
//
// File names come from the user's regional date and time texts
// (strftime "%x" and "%X" under LC_TIME): Tarih_06_12_2026_Saat_14_05.wav
// for 06.12.2026 14:05:31 with Turkish settings, in the current directory.

#include "mm/capture/MMWRec.h"
#include "mm/core/MMHTimer.h"
#include "mm/display/MMConect.h"
#include "mm/display/MMLEDLbl.h"
#include "mm/display/MMLabel.h"
#include "mm/display/MMLight.h"
#include "mm/display/MMMeter.h"
#include "mm/display/MMSwitch.h"
#include "platform/ui/Buttons.h"
#include "platform/ui/Forms.h"
#include "platform/ui/Menus.h"
#include "platform/ui/StdCtrls.h"

#include <QElapsedTimer>
#include <QString>
#include <atomic>
#include <functional>

class TAnaForm : public TForm {
    Q_OBJECT
    Q_CLASSINFO("StoredForm", "AnaForm.form")
    Q_PROPERTY(TMainMenu* MainMenu1 MEMBER MainMenu1 STORED false)
    Q_PROPERTY(TMenuItem* Help1 MEMBER Help1 STORED false)
    Q_PROPERTY(TLabel* Label1 MEMBER Label1 STORED false)
    Q_PROPERTY(TLabel* Label13 MEMBER Label13 STORED false)
    Q_PROPERTY(TBitBtn* Button1 MEMBER Button1 STORED false)
    Q_PROPERTY(TBitBtn* Button3 MEMBER Button3 STORED false)
    Q_PROPERTY(TBitBtn* BitBtn1 MEMBER BitBtn1 STORED false)
    Q_PROPERTY(TMMSwitch* Sw MEMBER Sw STORED false)
    Q_PROPERTY(TMMLabel* MMLabel1 MEMBER MMLabel1 STORED false)
    Q_PROPERTY(TMMLabel* MMLabel2 MEMBER MMLabel2 STORED false)
    Q_PROPERTY(TMMLabel* MMLabel3 MEMBER MMLabel3 STORED false)
    Q_PROPERTY(TMMLabel* MMLabel4 MEMBER MMLabel4 STORED false)
    Q_PROPERTY(TMMLEDLABEL* MMLEDLABEL1 MEMBER MMLEDLABEL1 STORED false)
    Q_PROPERTY(TMMMeter* Meter1 MEMBER Meter1 STORED false)
    Q_PROPERTY(TMMMeter* Meter2 MEMBER Meter2 STORED false)
    Q_PROPERTY(TMMLight* MMLight2 MEMBER MMLight2 STORED false)
    Q_PROPERTY(TMMWaveRecorder* MonoDosya MEMBER MonoDosya STORED false)
    Q_PROPERTY(TMMWaveRecorder* StereoDosya MEMBER StereoDosya STORED false)
    Q_PROPERTY(TMMConnector* Connector MEMBER Connector STORED false)
    Q_PROPERTY(TMMHiTimer* Timer MEMBER Timer STORED false)
public:
    explicit TAnaForm(TComponent* owner);
    ~TAnaForm() override;

    Q_INVOKABLE void FormCreate(TObject* Sender);
    Q_INVOKABLE void FormActivate(TObject* Sender);
    Q_INVOKABLE void FormClose(TObject* Sender, TCloseAction& Action);
    Q_INVOKABLE void TimerTimer(TObject* Sender);
    Q_INVOKABLE void Button1Click(TObject* Sender);
    Q_INVOKABLE void Button3Click(TObject* Sender);
    Q_INVOKABLE void BitBtn1Click(TObject* Sender);
    Q_INVOKABLE void SwMouseDown(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    Q_INVOKABLE void SwChange(TObject* Sender);
    Q_INVOKABLE void Help1Click(TObject* Sender);

    TMainMenu* MainMenu1 = nullptr;
    TMenuItem* Help1 = nullptr;
    TLabel* Label1 = nullptr;
    TLabel* Label13 = nullptr;
    TBitBtn* Button1 = nullptr;
    TBitBtn* Button3 = nullptr;
    TBitBtn* BitBtn1 = nullptr;
    TMMSwitch* Sw = nullptr;
    TMMLabel* MMLabel1 = nullptr;
    TMMLabel* MMLabel2 = nullptr;
    TMMLabel* MMLabel3 = nullptr;
    TMMLabel* MMLabel4 = nullptr;
    TMMLEDLABEL* MMLEDLABEL1 = nullptr;
    TMMMeter* Meter1 = nullptr;
    TMMMeter* Meter2 = nullptr;
    TMMLight* MMLight2 = nullptr;
    TMMWaveRecorder* MonoDosya = nullptr;
    TMMWaveRecorder* StereoDosya = nullptr;
    TMMConnector* Connector = nullptr;
    TMMHiTimer* Timer = nullptr;

    /// The recorder the switch selects: MonoDosya at position 0.
    TMMWaveRecorder* Selected() const;
    /// The recorder whose device is open, else the one waiting to start
    /// again after a failed start, else the selected one: what an hour
    /// change rotates.
    TMMWaveRecorder* Recording() const;
    /// Whether a start failed and is being tried again every
    /// kRetrySeconds until the device is back.
    bool RetryPending() const { return FRetry != nullptr; }

    /// Seconds between the quiet tries after a failed start.
    static constexpr int kRetrySeconds = 10;
    /// A try after a failure waits for this much room on the disk: more
    /// than a second of either mode.
    static constexpr qint64 kLeastRoomBytes = 256 * 1024;

private:
    void MakeFileName(bool setFileHour);
    void ComposeFileName();
    void ShowRecordingState();
    void StartRecorder(TMMWaveRecorder* recorder);
    void ReportLoss(TMMWaveRecorder* recorder, const TMMWaveInLoss& loss);

    TMMWaveRecorder* FRetry = nullptr; // waits to start again; GUI thread
    QElapsedTimer FRetryClock;
    TMMWaveRecorder* FRunning = nullptr; // started and not stopped by the user; GUI thread
    bool FToldStopped = false; // a recording that ended by itself was shown; GUI thread
    std::atomic<bool> FDeviceFailed { false }; // the wave input told of its device's failure; any thread
};

/// The main window, once Application->CreateForm made it.
extern TAnaForm* AnaForm;

namespace AnaGiris {

/// The file name most recently composed (window creation, start, hour change).
extern QString CurrentFileName;
/// The first two characters of the time text when CurrentFileName was composed.
extern QString FileHour;

/// Called before a recorder starts on a new file (a start, an hour change,
/// a try after a failure) and before such a try measures the room on the
/// disk; the retention policy frees room there. GUI thread; empty: nothing.
extern std::function<void()> BeforeNewFile;

/// The date and time texts of the user's regional settings for now.
QString DateText();
QString TimeText();

/// "Tarih_" + date part + "_Saat_" + time part + ".wav" from a date and a
/// time text: the date's 3rd and 6th characters and the time's 3rd become
/// '_', the time is cut to five characters, and any '/' left becomes '_'.
QString ComposeFileName(const QString& dateText, const QString& timeText);

/// Name itself when no such file exists in the current directory, else the
/// first free one of name_2.wav, name_3.wav, ...: a stop and start within
/// one minute must not overwrite the recording just finished.
QString FreeFileName(const QString& name);

/// Deletes the file Name when it holds no audio: what a start that failed
/// after creating its file leaves behind, or a recording that stopped by
/// itself before its first buffer (a full disk). A file with audio is kept.
void RemoveIfNoAudio(const QString& name);

} // namespace AnaGiris
