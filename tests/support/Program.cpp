#include "Program.h"

#include "TestSupport.h"

#include <QFile>
#include <QProcessEnvironment>
#include <csignal>

namespace tonvara::test {

namespace {

// xdotool's output, empty when it fails or finds nothing.
QString XDoTool(const QStringList& arguments)
{
    QProcess tool;
    tool.start(QStringLiteral("xdotool"), arguments);
    if (!tool.waitForFinished(10000) || tool.exitCode() != 0)
        return {};
    return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
}

} // namespace

TProgram::TProgram(const QString& dir, const QString& fakeTime)
    : FDir(dir)
    , FStderr(MakeTempDir(QStringLiteral("stderr")) + QStringLiteral("/stderr.txt"))
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_TIME"), QStringLiteral("tr_TR.UTF-8"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(
        QStringLiteral("TONVARA_ACM_MODULE"), BinaryDir() + QStringLiteral("/lib/libtonvara_acm.so"));
    if (!fakeTime.isEmpty()) {
        environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(TONVARA_FAKETIME_LIBRARY));
        environment.insert(QStringLiteral("FAKETIME"), fakeTime);
        environment.insert(QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC"), QStringLiteral("1"));
    }
    FProcess.setProcessEnvironment(environment);
    FProcess.setWorkingDirectory(dir);
    FProcess.setStandardOutputFile(QProcess::nullDevice());
    FProcess.setStandardErrorFile(FStderr);
    FProcess.start(BinaryDir() + QStringLiteral("/app/tonvara"), {});
    FProcess.waitForStarted(10000);
}

TProgram::~TProgram()
{
    Kill();
}

bool TProgram::Running() const
{
    return FProcess.state() == QProcess::Running;
}

qint64 TProgram::Pid() const
{
    return FProcess.processId();
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
    return QProcess::execute(QStringLiteral("xdotool"),
               { "mousemove", "--window", window, QString::number(x), QString::number(y + top), "click",
                   "1" })
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
    FProcess.terminate();
    if (!FProcess.waitForFinished(milliseconds) || FProcess.exitStatus() != QProcess::NormalExit)
        return -1;
    return FProcess.exitCode();
}

void TProgram::Kill()
{
    if (Running()) {
        ::kill(static_cast<pid_t>(Pid()), SIGKILL);
        FProcess.waitForFinished(10000);
    }
}

} // namespace tonvara::test
