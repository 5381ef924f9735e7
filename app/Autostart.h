#pragma once

// The entry that starts the program at every login: an XDG autostart desktop
// entry, $XDG_CONFIG_HOME/autostart/tonvara.desktop ($HOME/.config when the
// variable is unset), whose Exec line runs this program with the options the
// person gave. No window and no display: this runs before the application
// object exists.

#include <QString>
#include <QStringList>

/// Where the entry lives.
QString AutostartEntryPath();

/// The Exec value that runs Program with Arguments, quoted and escaped as
/// desktop entries want it (a reserved character puts the argument in
/// double quotes, '%' doubles, and the backslashes of the quoting are
/// escaped again as a string value's are).
QString DesktopExecLine(const QString& program, const QStringList& arguments);

/// The whole entry for Program started with Arguments.
QString AutostartEntry(const QString& program, const QStringList& arguments);

/// Writes the entry for this very program with Options (one argument of
/// the command line, split as a shell would; paths made absolute against
/// the current folder) and says so on stdout. Returns the exit code: 0, or
/// 1 after a message on stderr when the entry cannot be written.
int WriteAutostartEntry(const QString& options);

/// Removes the entry, if there is one, and says what it did on stdout.
/// Returns the exit code: 0, or 1 after a message on stderr.
int RemoveAutostartEntry();
