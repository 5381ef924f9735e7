#pragma once
// The retention policy: an archive that records for weeks would fill its
// disk for ever, so on request the program deletes its own oldest
// recordings. Only files in its folder whose names its file-name rule makes
// (under the current LC_TIME, "_2"... suffixes included) and that hold a
// RIFF WAVE header count as its recordings; nothing else is ever touched,
// nor a file being written.
//
// - KeepHours: recordings last written more than that many hours ago go, at
//   start and at each hour change (in fact at each new file whose hour
//   differs from the last sweep's).
// - KeepFreeMB: before each new file and once a minute while recording, the
//   oldest recordings go until the disk holding the folder has that much
//   room; when none is left the full-disk handling takes over.
//
// Ages are the file's last write (stat) against the clock (time), read
// through the same calls so that both agree under a faked clock too. Every
// deletion is a line on stderr. GUI thread.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <ctime>
#include <vector>

class TAnaForm;

/// What the user asked for; 0 leaves a rule off.
struct TRetentionSettings {
    int KeepHours = 0;
    qint64 KeepFreeMB = 0;
};

/// One of the program's own recordings.
struct TRecordingFile {
    QString Path;
    std::time_t LastWrite;
};

class TRetention : public QObject {
    Q_OBJECT
public:
    /// Sweeps by KeepHours at once (the program's start), then hooks itself
    /// to the window's start of every new file.
    TRetention(TAnaForm* form, const TRetentionSettings& settings);
    ~TRetention() override;

    /// Whether Name (no folder) is one the file-name rule makes under the
    /// current LC_TIME, with or without a "_N" suffix.
    static bool IsRecordingName(const QString& name);
    /// The program's own recordings in Dir, oldest last write first (by name
    /// among equals).
    static std::vector<TRecordingFile> Recordings(const QString& dir);

private:
    void BeforeNewFile();
    void SweepOld();
    void KeepFree();
    /// The files being written, fully qualified.
    QStringList Busy() const;
    /// Deletes File with its line on stderr; false when it could not.
    bool Delete(const TRecordingFile& file, const QString& why);

    QPointer<TAnaForm> FForm;
    TRetentionSettings FSettings;
    QString FSweptHour; // the window's file hour at the last sweep by age
    QTimer FMinute;
    bool FToldNothingLeft = false;
};
