#pragma once
// The built program itself on the test X server, as a user runs it: started
// in a folder of its own (its recordings go there) with Turkish date texts,
// its wall clock under libfaketime when asked (the monotonic clock stays
// real, so audio keeps its pace), driven by clicks through xdotool, its
// stderr kept in a file. Used from the test's main thread; every wait polls
// with a deadline.

#include "PeerProcess.h"

#include <QString>
#include <QStringList>

namespace tonvara::test {

class TProgram {
public:
    /// FakeTime is a libfaketime FAKETIME value ("@2026-12-06 00:00:00
    /// x360"), or empty for the real clock. Starts the program in Dir with
    /// Arguments.
    TProgram(const QString& dir, const QString& fakeTime, const QStringList& arguments = {});
    TProgram(const TProgram&) = delete;
    TProgram& operator=(const TProgram&) = delete;

    bool Running() const;
    qint64 Pid() const;
    /// Waits until the main window is shown and the splash box over it is
    /// hidden: the buttons then take clicks. False after the deadline.
    bool WaitForMainWindow(int milliseconds = 30000);
    /// A left click at a point of the main window's client area (the
    /// coordinates of the stored form, below the menu bar).
    bool Click(int x, int y);
    void SelectStereo() { Click(227, 451); }
    void PressStart() { Click(124, 419); }
    /// The X ids of the visible message boxes titled Title.
    QStringList Boxes(const QString& title = QStringLiteral("Tonvara")) const;
    /// Presses Return in each visible box titled Title, as a user would.
    void DismissBoxes(const QString& title = QStringLiteral("Tonvara"));
    /// Resident memory in kB, 0 when the process is gone.
    long RssKb() const;
    /// What the program wrote to stderr so far.
    QString Stderr() const;
    /// The lines of Stderr containing Word.
    QStringList StderrLines(const QString& word) const;
    /// SIGTERM and the wait for the end: the exit code, -1 when it did not
    /// end normally within the deadline.
    int Terminate(int milliseconds = 20000);
    void Kill() { FProcess.Kill(); }
    /// Waits for the program to end by itself: its exit code, -1 when it
    /// did not end normally within the deadline.
    int WaitForEnd(int milliseconds);

private:
    QString Window() const;

    QString FDir;
    QString FStderr;
    // Running() reaps the program when it has ended.
    mutable TPeerProcess FProcess;
    mutable QString FWindow;
};

} // namespace tonvara::test
