#pragma once
// Sound played into the test server's null sink (a sine tone with sox, the
// counter signal with pacat); a PulseAudio server of a test's own (to be
// killed), pointing this process's sound clients elsewhere, and an address
// where no server listens: for the tests of what happens when the sound
// server is missing or dies.
#include "support/CounterSignal.h"
#include "support/PeerProcess.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tonvara::test {

/// A sine tone with sox into the default sink, in the background.
class TTone {
public:
    TTone(double seconds, int frequency)
    {
        FStarted = FProcess.Start("sox",
            { "-n", "-q", "-t", "pulseaudio", "default", "synth", QString::number(seconds), "sine",
                QString::number(frequency), "vol", "0.5" });
    }
    ~TTone() { Stop(); }

    bool Started() const { return FStarted; }
    bool WaitFinished(int ms) { return FProcess.WaitFinished(ms) && FProcess.Succeeded(); }
    void Stop() { FProcess.Kill(); }

private:
    TPeerProcess FProcess;
    bool FStarted = false;
};

/// Plays the counter signal (48 kHz stereo S16) through the default sink at
/// full volume, with pacat reading it from a file: bit-exact at the sink's
/// monitor.
class TCounterPlayer {
public:
    explicit TCounterPlayer(double seconds)
    {
        const std::vector<int16_t> signal = CounterSignal(seconds);
        FFrames = signal.size() / 2;
        FFile = MakeTempDir("counter") + "/signal.raw";
        QFile file(FFile);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char*>(signal.data()),
            static_cast<qint64>(signal.size() * sizeof(int16_t)));
    }
    ~TCounterPlayer() { Stop(); }

    void Start()
    {
        ASSERT_TRUE(FProcess.Start("pacat",
            { "--playback", "--raw", "--format=s16le", "--rate=48000", "--channels=2", "--volume=65536",
                "--latency-msec=300", FFile }));
    }
    /// Waits (with the event loop running) until pacat has ended.
    bool WaitFinished(int ms)
    {
        return WaitUntil([&] { return !FProcess.Running(); }, ms) && FProcess.Succeeded();
    }
    void Stop() { FProcess.Kill(); }
    std::size_t Frames() const { return FFrames; }

private:
    QString FFile;
    TPeerProcess FProcess;
    std::size_t FFrames = 0;
};

/// A PulseAudio server of the test's own, to be killed.
class TPrivateServer {
public:
    TPrivateServer()
    {
        FDirectory = tonvara::test::MakeTempDir("pulse");
        QDir().mkpath(FDirectory + "/runtime");
        QDir().mkpath(FDirectory + "/home");
        QFile::setPermissions(
            FDirectory + "/runtime", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile config(FDirectory + "/headless.pa");
        EXPECT_TRUE(config.open(QIODevice::WriteOnly));
        config.write(
            QString("load-module module-native-protocol-unix auth-anonymous=1 socket=%1/runtime/native\n"
                    "load-module module-null-sink sink_name=s rate=48000 channels=2\n"
                    "load-module module-null-source source_name=z rate=48000 channels=2\n"
                    "load-module module-loopback source=z sink=s latency_msec=30\n"
                    "set-default-sink s\nset-default-source s.monitor\n"
                    "suspend-sink s 1\nsuspend-sink s 0\n")
                .arg(FDirectory)
                .toUtf8());
        config.close();
        FServer = "unix:" + FDirectory.toStdString() + "/runtime/native";
        Start();
    }
    ~TPrivateServer() { Kill(); }

    /// Starts the server (again, after Kill) at the same address.
    void Start()
    {
        // A killed server's pid may linger as a zombie where nothing reaps
        // orphans (a container): its pid file would stop the new one.
        QFile::remove(FDirectory + "/runtime/pid");
        TPeerProcess pulse;
        pulse.SetEnvironment("HOME", FDirectory + "/home");
        pulse.SetEnvironment("XDG_RUNTIME_DIR", FDirectory + "/runtime");
        pulse.SetEnvironment("PULSE_RUNTIME_PATH", FDirectory + "/runtime");
        pulse.SetEnvironment("PULSE_STATE_PATH", FDirectory + "/home");
        pulse.SetEnvironment("PULSE_SERVER", QString());
        EXPECT_TRUE(pulse.Start("pulseaudio",
            { "-n", "-F", FDirectory + "/headless.pa", "--exit-idle-time=-1", "--daemonize=yes",
                "--use-pid-file=yes", "--log-target=file:" + FDirectory + "/pa.log" }));
        EXPECT_TRUE(pulse.WaitFinished(20000));
        QFile pid(FDirectory + "/runtime/pid");
        if (pid.open(QIODevice::ReadOnly))
            FPid = pid.readAll().trimmed().toInt();
    }

    void Kill()
    {
        if (FPid > 0)
            ::kill(FPid, SIGKILL);
        FPid = 0;
    }

    pid_t FPid = 0;
    std::string FServer;

private:
    QString FDirectory;
};

/// Points this process's sound clients at Server for the scope.
class TServerOverride {
public:
    explicit TServerOverride(const std::string& server)
    {
        const char* old = std::getenv("PULSE_SERVER");
        FOld = old != nullptr ? old : "";
        setenv("PULSE_SERVER", server.c_str(), 1);
    }
    ~TServerOverride() { setenv("PULSE_SERVER", FOld.c_str(), 1); }

private:
    std::string FOld;
};

/// A server address where nothing listens.
inline std::string MissingServer()
{
    return "unix:" + tonvara::test::MakeTempDir("noserver").toStdString() + "/native";
}

} // namespace tonvara::test
