#include "support/PeerProcess.h"

#include <QDir>
#include <QFile>
#include <QTemporaryFile>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace tonvara::test {

namespace {

// This process's environment with the peer's changes applied.
std::vector<std::string> PeerEnvironment(const std::vector<std::pair<QString, QString>>& changes)
{
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        bool changed = false;
        for (const auto& change : changes)
            changed = changed || change.first.toStdString() == name;
        if (!changed)
            result.push_back(text);
    }
    for (const auto& [name, value] : changes) {
        if (!value.isNull())
            result.push_back(name.toStdString() + "=" + value.toStdString());
    }
    return result;
}

std::vector<char*> Pointers(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

TPeerProcess::~TPeerProcess()
{
    Kill();
    for (int i = 0; i < 2; ++i)
        if (FCapture[i])
            QFile::remove(FFile[i]);
}

bool TPeerProcess::Start(const QString& program, const QStringList& arguments)
{
    std::vector<std::string> argumentTexts { program.toStdString() };
    for (const QString& argument : arguments)
        argumentTexts.push_back(argument.toStdString());
    std::vector<std::string> environmentTexts = PeerEnvironment(FEnvironment);
    std::vector<char*> argv = Pointers(argumentTexts);
    std::vector<char*> envp = Pointers(environmentTexts);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::string paths[2];
    for (int i = 0; i < 2; ++i) {
        if (FCapture[i]) {
            QTemporaryFile file(QDir::tempPath() + "/tonvara-peer-XXXXXX");
            file.setAutoRemove(false);
            if (!file.open())
                return false;
            FFile[i] = file.fileName();
        }
        paths[i] = FFile[i].toStdString();
        if (!paths[i].empty())
            posix_spawn_file_actions_addopen(
                &actions, STDOUT_FILENO + i, paths[i].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    const std::string directory = FDirectory.toStdString();
    if (!directory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        return false;
    FPid = pid;
    FEnded = false;
    return true;
}

bool TPeerProcess::Running()
{
    if (FPid == 0)
        return false;
    int status = 0;
    const pid_t reaped = waitpid(FPid, &status, WNOHANG);
    if (reaped == 0)
        return true;
    if (reaped == FPid) {
        FNormalExit = WIFEXITED(status);
        FExitCode = FNormalExit ? WEXITSTATUS(status) : -1;
    }
    FEnded = true;
    FPid = 0;
    return false;
}

bool TPeerProcess::WaitFinished(int milliseconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (Running()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return FEnded;
}

void TPeerProcess::Terminate()
{
    if (FPid != 0)
        ::kill(FPid, SIGTERM);
}

void TPeerProcess::Kill()
{
    if (FPid == 0)
        return;
    ::kill(FPid, SIGKILL);
    int status = 0;
    waitpid(FPid, &status, 0);
    FPid = 0;
    FEnded = true;
    FNormalExit = false;
    FExitCode = -1;
}

QByteArray TPeerProcess::ReadFile(const QString& name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TToolResult RunTool(const QString& program, const QStringList& arguments, int milliseconds)
{
    TPeerProcess process;
    process.CaptureOutput();
    process.CaptureError();
    TToolResult result;
    if (!process.Start(program, arguments) || !process.WaitFinished(milliseconds))
        return result;
    result.Out = process.ReadOutput().toStdString();
    result.Err = process.ReadError().toStdString();
    result.ExitCode = process.NormalExit() ? process.ExitCode() : -1;
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
