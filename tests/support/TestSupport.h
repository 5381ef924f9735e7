#pragma once

#include <QString>
#include <functional>

namespace tonvara::test {

/// The source tree's root, for fixtures kept in resources/ or tests/.
QString SourceDir();

/// The build tree's root, where the program and its modules are built
/// (already before main: static initialisers may ask).
QString BinaryDir();

/// The compression manager module of the build tree.
QString AcmModulePath();

/// A fresh empty directory under the build tree, removed by nothing: each
/// call gives a new one, so a failing test leaves its files to look at.
QString MakeTempDir(const QString& tag);

/// Keeps the event loop running until Done holds (true) or Milliseconds have
/// passed (false); between looks it sleeps in the loop (5 ms at most), so
/// conditions other threads change are seen without spinning a core. The
/// deadline only guards against a hang: nothing is timed with it.
bool WaitUntil(const std::function<bool()>& done, int milliseconds = 10000);

/// Asks Done every 20 ms until it holds (true) or Milliseconds have passed
/// (false), without running the event loop: for watching another process,
/// which sends no event to wait on.
bool PollUntil(const std::function<bool()>& done, int milliseconds);

} // namespace tonvara::test
