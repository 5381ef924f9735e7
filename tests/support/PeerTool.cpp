#include "PeerTool.h"

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
    const TToolResult result = RunTool(program, arguments);
    if (result.ExitCode != 0) {
        ADD_FAILURE() << program.toStdString() << " failed: " << result.Err;
        return {};
    }
    return QByteArray::fromStdString(result.Out);
}

} // namespace tonvara::test
