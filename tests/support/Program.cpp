#include "Program.h"

#include "TestSupport.h"

#include <QFile>

namespace tonvara::test {

namespace {

// xdotool's output, empty when it fails or finds nothing.
QString XDoTool(const QStringList& arguments)
{
    const TToolResult tool = RunTool(QStringLiteral("xdotool"), arguments, 10000);
    return tool.ExitCode == 0 ? QString::fromStdString(tool.Out).trimmed() : QString();
}

} // namespace

TProgram::TProgram(const QString& dir, const QString& fakeTime, const QStringList& arguments)
    : FDir(dir)
    , FStderr(MakeTempDir(QStringLiteral("stderr")) + QStringLiteral("/stderr.txt"))
{
    FProcess.SetEnvironment(QStringLiteral("LC_TIME"), QStringLiteral("tr_TR.UTF-8"));
    FProcess.SetEnvironment(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    FProcess.SetEnvironment(QStringLiteral("TONVARA_ACM_MODULE"), AcmModulePath());
    if (!fakeTime.isEmpty()) {
        FProcess.SetEnvironment(QStringLiteral("LD_PRELOAD"), QStringLiteral(TONVARA_FAKETIME_LIBRARY));
        FProcess.SetEnvironment(QStringLiteral("FAKETIME"), fakeTime);
        FProcess.SetEnvironment(QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC"), QStringLiteral("1"));
    }
    FProcess.SetWorkingDirectory(dir);
    FProcess.SetOutputFile(QStringLiteral("/dev/null"));
    FProcess.SetErrorFile(FStderr);
    FProcess.Start(BinaryDir() + QStringLiteral("/app/tonvara"), arguments);
}

bool TProgram::Running() const
{
    return FProcess.Running();
}

qint64 TProgram::Pid() const
{
    return FProcess.Pid();
}

QString TProgram::Window() const
{
    if (FWindow.isEmpty())
        FWindow = XDoTool(
            { "search", "--all", "--onlyvisible", "--pid", QString::number(Pid()), "--name", "^Velmora  " })
                      .section('\n', 0, 0);
    return FWindow;
}

bool TProgram::WaitForMainWindow(int milliseconds)
{
    const QString pid = QString::number(Pid());
    return PollUntil(
        [&] {
            return !Window().isEmpty()
                && XDoTool({ "search", "--all", "--onlyvisible", "--pid", pid, "--classname", "^TAboutBox$" })
                       .isEmpty()
                && XDoTool({ "search", "--all", "--onlyvisible", "--pid", pid, "--class", "^TAboutBox$" })
                       .isEmpty();
        },
        milliseconds);
}

bool TProgram::Click(int x, int y)
{
    const QString window = Window();
    if (window.isEmpty())
        return false;
    // Without a window manager the client area sits right below the menu
    // bar, at the bottom of the window.
    const QString shell = XDoTool({ "getwindowgeometry", "--shell", window });
    const int height = shell.section(QStringLiteral("HEIGHT="), 1).section('\n', 0, 0).toInt();
    const int top = height - 507;
    return RunTool(QStringLiteral("xdotool"),
               { "mousemove", "--window", window, QString::number(x), QString::number(y + top), "click",
                   "1" })
               .ExitCode
        == 0;
}

QStringList TProgram::Boxes(const QString& title) const
{
    const QString found = XDoTool(
        { "search", "--all", "--onlyvisible", "--pid", QString::number(Pid()), "--name", "^" + title + "$" });
    return found.isEmpty() ? QStringList() : found.split('\n');
}

void TProgram::DismissBoxes(const QString& title)
{
    for (const QString& box : Boxes(title)) {
        XDoTool({ "windowfocus", box });
        XDoTool({ "key", "--window", box, "Return" });
        // The box closes as the key goes down; xdotool, finding its window
        // gone, may skip the release, and a key left down on the server
        // repeats into every later window and test.
        XDoTool({ "keyup", "Return" });
    }
}

long TProgram::RssKb() const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(Pid()));
    if (!Running() || !status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

QString TProgram::Stderr() const
{
    QFile file(FStderr);
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

QStringList TProgram::StderrLines(const QString& word) const
{
    return Stderr().split('\n').filter(word);
}

int TProgram::Terminate(int milliseconds)
{
    if (!Running())
        return -1;
    FProcess.Terminate();
    if (!FProcess.WaitFinished(milliseconds) || !FProcess.NormalExit())
        return -1;
    return FProcess.ExitCode();
}

int TProgram::WaitForEnd(int milliseconds)
{
    if (!FProcess.WaitFinished(milliseconds) || !FProcess.NormalExit())
        return -1;
    return FProcess.ExitCode();
}

} // namespace tonvara::test
