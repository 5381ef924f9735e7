#pragma once
// Runs another program the tests check against (sox, ffmpeg, ffprobe, rcc)
// and hands back what it wrote, so that a file can be judged by a reader
// that is not ours.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <string>

namespace tonvara::test {

struct TToolResult {
    int ExitCode = -1; // -1: it did not start, did not end in time, or crashed
    std::string Out;
    std::string Err;
};

/// Runs Program with Arguments to its end (30 s to start, 120 s to finish)
/// in the calling thread, without the event loop; raises nothing.
TToolResult RunTool(const QString& program, const QStringList& arguments);

/// The standard output of a tool that must succeed (its standard error goes
/// to the test's): a failure is added to the running test and gives an
/// empty result.
QByteArray ToolOutput(const QString& program, const QStringList& arguments);

} // namespace tonvara::test
