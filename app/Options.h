#pragma once

// The command line: what a person (or a login session) asks of the program
// before its windows exist. Without options the program behaves as it always
// has; each option changes one thing and is described in one row of the
// option table in Options.cpp, which also gives --help its text.
//
// Adding an option: a field in TOptions and a row in the table (its names,
// its value's name, its help line, and the function that takes its value
// into TOptions or says why the value is none). What the option does to the
// running program goes to Unattended.cpp (ApplyOptions).
//
// Parsing touches nothing: no file, no display, no output. GUI thread or
// none at all (it runs before the application object exists).

#include <QString>
#include <QStringList>
#include <optional>

/// The recording a start without a click begins.
enum class TRecordMode { None, Mono, Stereo };

/// The options of one start of the program: a plain record.
struct TOptions {
    /// --record: the mode to record in once the main window is up.
    TRecordMode Record = TRecordMode::None;
    /// --dir: the folder for the recordings and the particle picture
    /// (created if missing); empty for the folder the program started in.
    QString Dir;
    /// --autostart: the options of the program a login starts; the entry is
    /// written and the program ends.
    std::optional<QString> Autostart;
    /// --no-autostart: the entry is removed and the program ends.
    bool NoAutostart = false;
    /// --silence-after: seconds of silence that raise the alarm; 0: no alarm.
    int SilenceAfter = 0;
    /// --silence-below: the level in dBFS that every sample of a silence
    /// stays below.
    double SilenceBelow = -50;
    /// --on-silence, --on-sound: commands run through sh -c when the alarm
    /// comes and when sound comes back.
    QString OnSilence;
    QString OnSound;
    /// --keep-hours: recordings last written longer ago are deleted; 0: none.
    int KeepHours = 0;
    /// --keep-free: megabytes (MiB) kept free on the disk by deleting the
    /// oldest recordings; 0: none.
    qint64 KeepFreeMB = 0;
};

/// What the command line asks for.
enum class TCommandAction {
    Run, ///< start the program with Options
    Help, ///< print Text (the help) to stdout, exit 0
    Version, ///< print Text (the version line) to stdout, exit 0
    Autostart, ///< write the login entry with Options.Autostart, exit 0
    NoAutostart, ///< remove the login entry, exit 0
    Error, ///< print Text (one line naming the fault, then the help) to stderr, exit kUsageExitCode
};

/// A parsed command line: a plain record.
struct TCommandLine {
    TCommandAction Action = TCommandAction::Run;
    TOptions Options;
    /// The text to print for Help, Version and Error, ending in a newline.
    QString Text;
};

/// The exit code of a command line the program cannot follow.
inline constexpr int kUsageExitCode = 2;

/// Parses Arguments (the program's own name first, as in argv).
TCommandLine ParseCommandLine(const QStringList& arguments);

/// The usage line, the program's description and one line per option.
QString HelpText();

/// "tonvara 0.1".
QString VersionText();

/// Text split into arguments as a shell splits a command line: blanks
/// separate, single quotes keep everything, double quotes keep all but the
/// backslash escapes of \ " $ and `, a backslash outside quotes keeps the
/// next character. Nothing is expanded. Nullopt when a quote is not closed.
std::optional<QStringList> SplitOptions(const QString& text);

/// Arguments (without the program's name) with the value of every option
/// that names a file or folder made absolute against Base ("~" and "~/..."
/// against the home folder): what a program
/// started elsewhere (a login session starts in the home folder) needs to
/// find the same places. Arguments must parse.
QStringList WithAbsolutePaths(const QStringList& arguments, const QString& base);
