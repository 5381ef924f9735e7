// The retention policy of the built program, as an archive meets it: a
// folder of recordings of many ages beside files that are not its own, and
// a small disk that a recording would fill.
#include "support/Program.h"
#include "support/SoundServer.h"
#include "support/TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/mount.h>

using namespace tonvara::test;

namespace {

// A WAV file of a second of 8 kHz 8-bit silence, last written at LastWrite.
void Seed(const QString& path, const QDateTime& lastWrite, bool wave = true)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    if (wave) {
        const char header[]
            = "RIFF\x4c\x1f\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x40\x1f\0\0\x01\0\x08\0"
              "data\x40\x1f\0\0";
        file.write(header, sizeof header - 1);
        file.write(QByteArray(8000, char(0x80)));
    } else {
        file.write("not a recording\n");
    }
    ASSERT_TRUE(file.flush());
    ASSERT_TRUE(file.setFileTime(lastWrite, QFileDevice::FileModificationTime));
}

// The names of the files in Dir, sorted, one a line (as gtest prints them).
std::string Files(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files, QDir::Name).join('\n').toStdString();
}

} // namespace

// 30 recordings of 1 to 59 hours (a few with the "_2" of a second file in
// one minute), and, old as they are, files that are not the program's.
TEST(Retention, KeepHoursDeletesTheOwnOldRecordingsAndNothingElse)
{
    const QString dir = MakeTempDir("keep-hours");
    // The program's clock starts five seconds into the current hour, so that
    // no hour change (which would start a recording) falls into the test;
    // the ages are seeded against that clock.
    QDateTime now = QDateTime::currentDateTime();
    now.setTime(QTime(now.time().hour(), 0, 5));
    QSet<QString> kept, deleted;
    for (int i = 0; i < 30; ++i) {
        const int hours = 1 + 2 * i;
        const QDateTime start = now.addSecs(-3600LL * hours - 3500);
        const QString name
            = start.toString("'Tarih_'dd_MM_yyyy'_Saat_'HH_mm") + (i % 7 == 3 ? "_2.wav" : ".wav");
        Seed(dir + "/" + name, now.addSecs(-3600LL * hours));
        (hours > 24 ? deleted : kept).insert(name);
    }
    const QDateTime old = now.addDays(-5);
    for (const char* other : { "notes.wav", "Tarih_06_12_2026_Saat_14_05.txt", "kayit.wav" })
        Seed(dir + "/" + QString(other), old);
    Seed(dir + "/Tarih_01_12_2026_Saat_10_00.wav", old, false);
    kept += QSet<QString> { "notes.wav", "Tarih_06_12_2026_Saat_14_05.txt", "kayit.wav",
        "Tarih_01_12_2026_Saat_10_00.wav", "parcacik.bmp" };

    TProgram program(dir, now.toString("'@'yyyy-MM-dd HH:mm:ss"), { "--keep-hours", "24" });
    ASSERT_TRUE(program.WaitForMainWindow());
    QStringList expected(kept.begin(), kept.end());
    expected.sort();
    EXPECT_EQ(Files(dir), expected.join('\n').toStdString());
    const QStringList lines = program.StderrLines("deleted the recording");
    EXPECT_EQ(lines.size(), deleted.size());
    // Oldest first: the names of the lines are in the order of their ages.
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const auto at = [&](qsizetype n) {
            return QDateTime::fromString(
                lines[n].section(' ', 5, 5).left(27), "'Tarih_'dd_MM_yyyy'_Saat_'HH_mm");
        };
        EXPECT_LT(at(i - 1), at(i)) << qPrintable(lines[i]);
    }
    EXPECT_EQ(program.Terminate(), 0);
}

// A stereo recording (1.92 MB a simulated hour at x360, a new file every
// 10 s) on an 8 MB disk that keeps 5 MB free: past the 44 s it takes to
// fill the disk, the recording goes on and the oldest files make room.
TEST(Retention, KeepFreeRecordsPastTheFullDisk)
{
    const QString dir = MakeTempDir("keep-free");
    if (::mount("tmpfs", dir.toLocal8Bit().constData(), "tmpfs", 0, "size=8m") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << std::strerror(errno);
    struct TUnmount {
        QString Dir;
        ~TUnmount() { ::umount2(Dir.toLocal8Bit().constData(), MNT_DETACH); }
    } unmount { dir };
    TTone tone(90, 997);
    ASSERT_TRUE(tone.Started());
    TProgram program(dir, "@2026-12-06 10:00:05 x360", { "--record", "stereo", "--keep-free", "5" });
    ASSERT_TRUE(program.WaitForMainWindow());
    ASSERT_TRUE(PollUntil([&] { return !QDir(dir).entryList({ "*.wav" }).isEmpty(); }, 10000));
    QElapsedTimer recording;
    recording.start();
    constexpr double kFull = 8.0 * 1024 * 1024 / 192000;
    const auto newest
        = [&] { return dir + "/" + QDir(dir).entryList({ "*.wav" }, QDir::Files, QDir::Name).last(); };
    ASSERT_TRUE(PollUntil([&] { return recording.elapsed() > 1300 * kFull; }, 120000));
    // Still recording: the file grows, or the next hour's has begun.
    const QString file = newest();
    const qint64 size = QFileInfo(file).size();
    ASSERT_TRUE(PollUntil([&] { return newest() != file || QFileInfo(file).size() > size + 192000; }, 3000))
        << "the recording no longer grows: " << qPrintable(program.Stderr());
    EXPECT_GE(program.StderrLines("deleted the recording").size(), 3);
    EXPECT_EQ(program.StderrLines("stopped by itself"), QStringList {}) << qPrintable(program.Stderr());
    EXPECT_EQ(program.Terminate(), 0);
}
