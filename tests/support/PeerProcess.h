#pragma once
// Peer programs of the tests (sox, pacat, ffprobe, pulseaudio, the program
// itself), started with posix_spawnp rather than QProcess. QProcess starts
// its child vfork-style, sharing the parent's memory: the child then runs on
// the parent thread's ThreadSanitizer state and leaves it ignoring that
// thread's locks, so every later hand-over from that thread is reported as
// a race. posix_spawnp is one call ThreadSanitizer knows.
//
// RunTool and ToolOutput run a reader the tests check against (sox, ffmpeg,
// ffprobe, rcc) to its end, so that a file can be judged by a reader that is
// not ours.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace tonvara::test {

class TPeerProcess {
public:
    TPeerProcess() = default;
    /// Kills a peer that still runs.
    ~TPeerProcess();
    TPeerProcess(const TPeerProcess&) = delete;
    TPeerProcess& operator=(const TPeerProcess&) = delete;

    /// Variables set (value) or removed (null QString) for the peer, on top
    /// of this process's environment. Call before Start.
    void SetEnvironment(const QString& name, const QString& value) { FEnvironment.emplace_back(name, value); }
    /// Keeps the peer's standard output (ReadOutput) or error (ReadError)
    /// instead of passing it through. Call before Start.
    void CaptureOutput() { FCapture[0] = true; }
    void CaptureError() { FCapture[1] = true; }
    /// Writes the peer's standard output or error to File instead. Call
    /// before Start.
    void SetOutputFile(const QString& file) { FFile[0] = file; }
    void SetErrorFile(const QString& file) { FFile[1] = file; }
    /// The folder the peer starts in (this process's when not set). Call
    /// before Start.
    void SetWorkingDirectory(const QString& directory) { FDirectory = directory; }

    /// Starts Program (looked up in PATH) with Arguments; false when it
    /// cannot be started.
    bool Start(const QString& program, const QStringList& arguments);
    /// Whether the peer still runs (reaps it when it has ended).
    bool Running();
    /// Waits up to Milliseconds for the peer to end, without running the
    /// event loop; true when it has ended.
    bool WaitFinished(int milliseconds);
    /// True when the peer ended by itself with exit code 0.
    bool Succeeded() const { return FEnded && FNormalExit && FExitCode == 0; }
    bool NormalExit() const { return FNormalExit; }
    int ExitCode() const { return FExitCode; }
    /// The running peer's process id, 0 once it has ended.
    pid_t Pid() const { return FPid; }
    /// SIGTERM: asks the peer to end (WaitFinished sees when it has).
    void Terminate();
    /// SIGKILL and reap.
    void Kill();
    /// What a peer that has ended wrote to its standard output or error
    /// (CaptureOutput / CaptureError or a file set).
    QByteArray ReadOutput() const { return ReadFile(FFile[0]); }
    QByteArray ReadError() const { return ReadFile(FFile[1]); }

private:
    static QByteArray ReadFile(const QString& file);

    std::vector<std::pair<QString, QString>> FEnvironment;
    // Standard output, then standard error.
    bool FCapture[2] = { false, false };
    QString FFile[2];
    QString FDirectory;
    pid_t FPid = 0;
    bool FEnded = false;
    bool FNormalExit = false;
    int FExitCode = -1;
};

struct TToolResult {
    int ExitCode = -1; // -1: it did not start, did not end in time, or crashed
    std::string Out;
    std::string Err;
};

/// Runs Program with Arguments to its end (within Milliseconds) in the
/// calling thread, without the event loop; raises nothing.
TToolResult RunTool(const QString& program, const QStringList& arguments, int milliseconds = 120000);

/// The standard output of a tool that must succeed: a failure is added to
/// the running test (with the tool's standard error) and gives an empty
/// result.
QByteArray ToolOutput(const QString& program, const QStringList& arguments);

} // namespace tonvara::test
