#pragma once

// What the command line asks of the program, put into effect: the answers
// that end it before any window (help, version, faults, the login entry), the
// folder it works in, and what the running program does by itself (a
// recording started without a click). Each option's effect on the running
// program is applied here, in ApplyOptions, so that the windows stay as
// they are without options.

#include "app/Options.h"

#include <optional>

/// Reads the command line (argv) before the application object exists.
/// Help, version, a fault and the autostart entry are printed or done here
/// and give the exit code to end with (a fault: kUsageExitCode, after one
/// line naming it and the help on stderr). Otherwise fills Options and makes
/// the --dir folder (created if missing) the current one, so that the
/// recordings and the particle picture go there; a folder that cannot be
/// made or written to ends with 1 after a message on stderr. Nullopt: go on
/// and start the program.
std::optional<int> TakeCommandLine(int argc, char** argv, TOptions& options);

/// Applies Options to the running program: called once the main window and
/// the about window are made, before the message loop. The silence alarm
/// and the retention policy are set up at once (the retention's first sweep
/// runs here). With --record, once
/// the splash box has gone, the switch is set to the mode and the start
/// button is pressed, as a person would; a start that fails is shown and
/// tried again as after that click. GUI thread.
void ApplyOptions(const TOptions& options);
