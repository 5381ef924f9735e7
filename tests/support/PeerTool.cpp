#include "PeerTool.h"

#include "PeerProcess.h"

#include <QProcess>
#include <gtest/gtest.h>

namespace tonvara::test {

TToolResult RunTool(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    TToolResult result;
    if (!process.waitForStarted(30000) || !process.waitForFinished(120000))
        return result;
    result.Out = process.readAllStandardOutput().toStdString();
    result.Err = process.readAllStandardError().toStdString();
    result.ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

QByteArray ToolOutput(const QString& program, const QStringList& arguments)
{
    // Audio tests call this under ThreadSanitizer, which QProcess blinds
    // (see PeerProcess.h); the tool's standard error passes through.
    TPeerProcess process;
    process.CaptureOutput();
    if (!process.Start(program, arguments) || !process.WaitFinished(120000) || !process.Succeeded()) {
        ADD_FAILURE() << program.toStdString() << " failed (its messages are above)";
        return {};
    }
    return process.ReadOutput();
}

} // namespace tonvara::test
