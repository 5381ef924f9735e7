#pragma once

#include <QString>

namespace tonvara::test {

/// The source tree's root, for fixtures kept in resources/ or tests/.
QString SourceDir();

/// The build tree's root, where the program and its modules are built.
QString BinaryDir();

/// A fresh empty directory under the build tree, removed by nothing: each
/// call gives a new one, so a failing test leaves its files to look at.
QString MakeTempDir(const QString& tag);

} // namespace tonvara::test
