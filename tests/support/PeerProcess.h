#pragma once
// Peer programs of the tests (sox, pacat, ffprobe, pulseaudio, the program
// itself), started with posix_spawnp rather than QProcess. QProcess starts
// its child vfork-style, sharing the parent's memory: the child then runs on
// the parent thread's ThreadSanitizer state and leaves it ignoring that
// thread's locks, so every later hand-over from that thread is reported as
// a race. posix_spawnp is one call ThreadSanitizer knows.

#include <QString>
#include <QStringList>
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
    /// Keeps the peer's standard output (ReadOutput) instead of passing it
    /// through. Call before Start.
    void CaptureOutput() { FCapture = true; }
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
    /// SIGTERM: asks the peer to end (WaitFinished sees when it has).
    void Terminate();
    /// SIGKILL and reap.
    void Kill();
    /// The standard output of a CaptureOutput peer that has ended.
    QByteArray ReadOutput() const;

private:
    std::vector<std::pair<QString, QString>> FEnvironment;
    bool FCapture = false;
    QString FDirectory;
    QString FOutputFile;
    pid_t FPid = 0;
    bool FEnded = false;
    bool FNormalExit = false;
    int FExitCode = -1;
};

} // namespace tonvara::test
