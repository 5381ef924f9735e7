#pragma once

#include <QString>
#include <functional>

namespace tonvara::test {

/// The source tree's root, for fixtures kept in resources/ or tests/.
QString SourceDir();

/// The build tree's root, where the program and its modules are built.
QString BinaryDir();

/// A fresh empty directory under the build tree, removed by nothing: each
/// call gives a new one, so a failing test leaves its files to look at.
QString MakeTempDir(const QString& tag);

/// Asks Done every 20 ms until it holds (true) or Milliseconds have passed
/// (false), without running the event loop: for watching another process,
/// which sends no event to wait on.
bool PollUntil(const std::function<bool()>& done, int milliseconds);

} // namespace tonvara::test
