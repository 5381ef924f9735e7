// The program as it is set up once and left alone: its command line, a
// recording that starts with the program, the login entry, and the program
// installed from the build and from its Debian package. Everything runs the
// built program itself; the recordings are judged by ffprobe.
#include "app/Options.h"
#include "support/PeerProcess.h"
#include "support/Peers.h"
#include "support/Program.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <string>

using tonvara::test::BinaryDir;
using tonvara::test::MakeTempDir;
using tonvara::test::PollUntil;
using tonvara::test::TPeerProcess;
using tonvara::test::TProgram;

namespace {

struct TRun {
    int ExitCode = -1;
    QString Out;
    QString Err;
};

// Runs Program to its end with no display at all (and the platform left to
// the program, the test's offscreen one removed): an answer that tried to
// make a window would fail to connect and abort instead of exiting.
TRun RunWithoutDisplay(const QString& program, const QStringList& arguments,
    const QList<std::pair<QString, QString>>& environment = {}, const QString& folder = {})
{
    const QString dir = MakeTempDir(QStringLiteral("run"));
    TPeerProcess process;
    process.SetEnvironment(QStringLiteral("DISPLAY"), QString());
    process.SetEnvironment(QStringLiteral("WAYLAND_DISPLAY"), QString());
    process.SetEnvironment(QStringLiteral("QT_QPA_PLATFORM"), QString());
    for (const auto& [name, value] : environment)
        process.SetEnvironment(name, value);
    if (!folder.isEmpty())
        process.SetWorkingDirectory(folder);
    process.SetOutputFile(dir + QStringLiteral("/out"));
    process.SetErrorFile(dir + QStringLiteral("/err"));
    TRun run;
    if (!process.Start(program, arguments) || !process.WaitFinished(30000)) {
        process.Kill();
        return run;
    }
    run.ExitCode = process.NormalExit() ? process.ExitCode() : -1;
    run.Out = QString::fromUtf8(process.ReadOutput());
    run.Err = QString::fromUtf8(process.ReadError());
    return run;
}

QString Program()
{
    return BinaryDir() + QStringLiteral("/app/tonvara");
}

// Whether process Pid holds File open.
bool HoldsOpen(qint64 pid, const QString& file)
{
    const QString target = QFileInfo(file).canonicalFilePath();
    QDirIterator fds(QStringLiteral("/proc/%1/fd").arg(pid), QDir::Files | QDir::System);
    while (fds.hasNext())
        if (QFileInfo(fds.next()).symLinkTarget() == target)
            return true;
    return false;
}

QString OnlyWaveIn(const QString& dir)
{
    const QStringList waves = QDir(dir).entryList({ QStringLiteral("*.wav") }, QDir::Files);
    return waves.size() == 1 ? dir + QLatin1Char('/') + waves.first() : QString();
}

qint64 SizeOf(const QString& file)
{
    return file.isEmpty() ? -1 : QFileInfo(file).size();
}

// A read-only file system: root writes into any folder whatever its mode.
class TReadOnlyMount {
public:
    TReadOnlyMount()
        : FDir(MakeTempDir(QStringLiteral("read-only")))
    {
        FMounted = tonvara::test::RunTool(
                       QStringLiteral("mount"), { "-t", "tmpfs", "-o", "ro,size=1m", "tmpfs", FDir }, 10000)
                       .ExitCode
            == 0;
    }
    ~TReadOnlyMount()
    {
        if (FMounted)
            tonvara::test::RunTool(QStringLiteral("umount"), { FDir }, 10000);
    }
    bool Mounted() const { return FMounted; }
    const QString& Dir() const { return FDir; }

private:
    QString FDir;
    bool FMounted = false;
};

TEST(CommandLine, AnswersAndEndsBeforeAnyWindow)
{
    TReadOnlyMount readOnly;
    const QString file = MakeTempDir(QStringLiteral("a-file")) + QStringLiteral("/recordings");
    QFile(file).open(QIODevice::WriteOnly);
    const QString created = MakeTempDir(QStringLiteral("dir")) + QStringLiteral("/new/folder");

    struct TCase {
        QStringList Arguments;
        int ExitCode;
        QString Out; // a pattern the whole of stdout matches
        QString Err; // a pattern the whole of stderr matches
    };
    const QString usage = QStringLiteral("Usage: tonvara \\[options\\]\n(.|\n)*--record <mode>(.|\n)*");
    const std::vector<TCase> cases {
        { { "--help" }, 0, usage, "" },
        { { "--version" }, 0, QRegularExpression::escape(VersionText()) + "\n", "" },
        { { "--bogus" }, 2, "", "tonvara: unknown option 'bogus'\n" + usage },
        { { "--record", "loud" }, 2, "",
            "tonvara: --record: 'loud' is no mode: give mono or stereo\n" + usage },
        { { "--autostart", "--record loud" }, 2, "",
            "tonvara: --autostart: --record: 'loud' is no mode: give mono or stereo\n" + usage },
        { { "--autostart", "", "--record", "mono" }, 2, "", "tonvara: --autostart goes alone; .*\n" + usage },
        { { "--dir", file }, 1, "", "tonvara: " + file + " is a file, not a folder for the recordings\n" },
    };
    std::vector<TCase> all = cases;
    if (readOnly.Mounted()) {
        all.push_back({ { "--dir", readOnly.Dir() }, 1, "",
            "tonvara: cannot write into the folder " + readOnly.Dir()
                + " for the recordings: Read-only file system\n" });
        all.push_back({ { "--dir", readOnly.Dir() + "/sub" }, 1, "",
            "tonvara: cannot create the folder " + readOnly.Dir()
                + "/sub for the recordings: Read-only file system\n" });
    } else {
        ADD_FAILURE() << "no read-only mount (needs root): the unwritable folder goes unchecked";
    }
    for (const TCase& c : all) {
        SCOPED_TRACE(c.Arguments.join(' ').toStdString());
        const TRun run = RunWithoutDisplay(Program(), c.Arguments);
        EXPECT_EQ(run.ExitCode, c.ExitCode) << run.Err.toStdString();
        const auto whole = [](const QString& pattern) {
            return QRegularExpression(QRegularExpression::anchoredPattern(pattern));
        };
        EXPECT_TRUE(whole(c.Out).match(run.Out).hasMatch()) << run.Out.toStdString();
        EXPECT_TRUE(whole(c.Err).match(run.Err).hasMatch()) << run.Err.toStdString();
    }
    // --dir makes a missing folder before the window; here the run stops
    // there for the missing display, after the folder exists.
    RunWithoutDisplay(Program(), { "--dir", created });
    EXPECT_TRUE(QFileInfo(created).isDir());
}

TEST(CommandLine, AutostartEntryRunsTheProgramWithItsOptionsAtLogin)
{
    const QString config = MakeTempDir(QStringLiteral("config"));
    const QString folder = MakeTempDir(QStringLiteral("started-in"));
    const QList<std::pair<QString, QString>> environment { { "XDG_CONFIG_HOME", config } };
    const QString entry = config + QStringLiteral("/autostart/tonvara.desktop");

    // A relative folder is where it was meant from where the person stood;
    // a space puts the argument in quotes and a '%' is doubled.
    TRun run = RunWithoutDisplay(
        Program(), { "--autostart", "--record stereo --dir '50% of it'" }, environment, folder);
    EXPECT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    const QString exec
        = QFileInfo(Program()).canonicalFilePath() + " --record stereo --dir \"" + folder + "/50%% of it\"";
    EXPECT_EQ(run.Out.toStdString(),
        ("tonvara: wrote " + entry + "; at every login it runs: " + exec + "\n").toStdString());
    QFile file(entry);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
    EXPECT_TRUE(lines.contains("Exec=" + exec)) << lines.join('\n').toStdString();
    const tonvara::test::TToolResult validate
        = tonvara::test::RunTool(QStringLiteral("desktop-file-validate"), { entry });
    EXPECT_EQ(validate.ExitCode, 0) << validate.Out << validate.Err;

    run = RunWithoutDisplay(Program(), { "--no-autostart" }, environment);
    EXPECT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_EQ(run.Out.toStdString(),
        ("tonvara: removed " + entry + "; the program no longer starts at login\n").toStdString());
    EXPECT_FALSE(QFileInfo::exists(entry));
    run = RunWithoutDisplay(Program(), { "--no-autostart" }, environment);
    EXPECT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_EQ(run.Out.toStdString(),
        ("tonvara: there is no autostart entry " + entry + "; nothing removed\n").toStdString());
}

struct TModeCase {
    const char* Mode;
    const char* Codec;
    int Rate;
    int Channels;
    // Bytes of one buffer of the mode: the file grows by whole buffers.
    qint64 Buffer;
    qint64 BytesPerSecond;
};

class TRecordAtStart : public ::testing::TestWithParam<TModeCase> { };

// The window's buttons, in the stored form's client coordinates.
constexpr int kStopX = 220;
constexpr int kExitX = 320;
constexpr int kButtonY = 419;

TEST_P(TRecordAtStart, RecordsWithoutAClickUntilStopIsClicked)
{
    const TModeCase& mode = GetParam();
    const QString dir = MakeTempDir(QStringLiteral("record-at-start")) + QStringLiteral("/new folder");
    QElapsedTimer sinceStart;
    sinceStart.start();
    // A wall clock far from an hour change, whose file rotation would leave
    // the file watched here behind.
    TProgram program(MakeTempDir(QStringLiteral("started-in")), QStringLiteral("@2026-12-06 10:00:05"),
        { "--record", mode.Mode, "--dir", dir });
    const auto said = [&] { return "the program's stderr:\n" + program.Stderr().toStdString(); };

    // Start-up, the splash box's 3 s and the device's open take about 3.2 s
    // here: the file is there within 5 s of the start.
    QString wave;
    ASSERT_TRUE(PollUntil([&] { return !(wave = OnlyWaveIn(dir)).isEmpty(); }, 5000))
        << "no file after " << sinceStart.elapsed() << " ms; " << said();
    const qint64 header = SizeOf(wave);
    // The first buffer: 21 ms of stereo, 2.5 s of GSM 6.10; then one more.
    ASSERT_TRUE(PollUntil([&] { return SizeOf(wave) >= header + 2 * mode.Buffer; }, 10000)) << said();
    ASSERT_TRUE(program.WaitForMainWindow());

    // In the recording state the exit button is disabled: a click on it
    // changes nothing, and the file goes on growing by a whole second.
    const qint64 beforeExit = SizeOf(wave);
    ASSERT_TRUE(program.Click(kExitX, kButtonY));
    ASSERT_TRUE(PollUntil([&] { return SizeOf(wave) >= beforeExit + mode.BytesPerSecond; }, 10000)) << said();
    ASSERT_TRUE(program.Running()) << said();
    EXPECT_TRUE(HoldsOpen(program.Pid(), wave));

    // Stop is enabled and stops: the file is finished and closed.
    ASSERT_TRUE(program.Click(kStopX, kButtonY)) << said();
    ASSERT_TRUE(PollUntil([&] { return !HoldsOpen(program.Pid(), wave); }, 10000)) << said();
    const tonvara::test::TProbe probe = tonvara::test::Probe(wave);
    ASSERT_TRUE(probe.Ok) << said();
    EXPECT_EQ(probe.Codec.toStdString(), mode.Codec);
    EXPECT_EQ(probe.Rate, mode.Rate);
    EXPECT_EQ(probe.Channels, mode.Channels);
    EXPECT_GT(probe.Seconds, 1.0);
    EXPECT_EQ(QDir(dir).entryList({ "*.wav" }, QDir::Files).size(), 1);
    EXPECT_TRUE(QFileInfo::exists(dir + QStringLiteral("/parcacik.bmp")));

    // Idle again, the exit button ends the program.
    ASSERT_TRUE(program.Click(kExitX, kButtonY)) << said();
    EXPECT_TRUE(PollUntil([&] { return !program.Running(); }, 10000));
    EXPECT_EQ(program.StderrLines(QStringLiteral("tonvara:")).join('\n').toStdString(), "");
}

INSTANTIATE_TEST_SUITE_P(Modes, TRecordAtStart,
    ::testing::Values(TModeCase { "stereo", "pcm_s16le", 48000, 2, 4096, 192000 },
        TModeCase { "mono", "gsm_ms", 8000, 1, 4096, 1625 }),
    [](const ::testing::TestParamInfo<TModeCase>& info) { return std::string(info.param.Mode); });

// A folder outside the source and build trees, where the program could not
// stumble on the source tree's resources; removed with the test's end.
class TOutsideDir {
public:
    TOutsideDir() { FDir.setAutoRemove(true); }
    QString Path(const QString& name = {}) const
    {
        return name.isEmpty() ? FDir.path() : FDir.filePath(name);
    }

private:
    QTemporaryDir FDir { QDir::tempPath() + QStringLiteral("/tonvara-installed-XXXXXX") };
};

QSet<QString> FilesUnder(const QString& root)
{
    QSet<QString> files;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.insert(QDir(root).relativeFilePath(it.next()));
    return files;
}

TEST(Install, InstalledProgramRunsFromItsPrefixAndFindsItsParts)
{
    const TOutsideDir prefix;
    const tonvara::test::TToolResult install = tonvara::test::RunTool(
        QStringLiteral(TONVARA_CMAKE), { "--install", BinaryDir(), "--prefix", prefix.Path() });
    ASSERT_EQ(install.ExitCode, 0) << install.Out << install.Err;

    // The program's parts, and the resources it reads at run time: the
    // stored forms and pictures of the source tree, nothing else of it.
    QSet<QString> expected { "bin/tonvara", "lib/libtonvara_acm.so", "share/applications/tonvara.desktop",
        "share/icons/hicolor/32x32/apps/tonvara.png", "share/man/man1/tonvara.1" };
    const QString sources = tonvara::test::SourceDir() + QStringLiteral("/resources");
    for (const QString folder : { "forms", "led", "switch", "ui" })
        for (const QString& name : QDir(sources + '/' + folder).entryList({ "*.form", "*.bmp" }, QDir::Files))
            expected.insert("share/tonvara/resources/" + folder + '/' + name);
    QStringList installed = FilesUnder(prefix.Path()).values(), wanted = expected.values();
    installed.sort();
    wanted.sort();
    EXPECT_EQ(installed.join('\n').toStdString(), wanted.join('\n').toStdString());

    const tonvara::test::TToolResult validate = tonvara::test::RunTool(
        QStringLiteral("desktop-file-validate"), { prefix.Path("share/applications/tonvara.desktop") });
    EXPECT_EQ(validate.ExitCode, 0) << validate.Out << validate.Err;

    // The manual page tells of every option --help lists.
    QFile manual(prefix.Path("share/man/man1/tonvara.1"));
    ASSERT_TRUE(manual.open(QIODevice::ReadOnly));
    const QString page = QString::fromUtf8(manual.readAll());
    const QRegularExpression option(
        QStringLiteral("^  (?:-\\w, )?--([a-z-]+)"), QRegularExpression::MultilineOption);
    int options = 0;
    for (auto it = option.globalMatch(HelpText()); it.hasNext(); ++options) {
        const QString name = it.next().captured(1);
        EXPECT_TRUE(page.contains("\\-\\-" + QString(name).replace('-', "\\-"))) << name.toStdString();
    }
    EXPECT_GE(options, 6);

    // Run from the prefix with no hint of the build: the mono recording
    // needs the compression-manager module, the window its stored forms.
    const TOutsideDir work;
    const QString dir = work.Path("recordings");
    TPeerProcess program;
    for (const char* hint :
        { "TONVARA_ACM_MODULE", "TONVARA_RESOURCE_DIR", "TONVARA_SOURCE_DIR", "TONVARA_BINARY_DIR" })
        program.SetEnvironment(QString::fromLatin1(hint), QString());
    program.SetEnvironment(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    program.SetWorkingDirectory(work.Path());
    program.SetErrorFile(work.Path("stderr"));
    ASSERT_TRUE(program.Start(prefix.Path("bin/tonvara"), { "--record", "mono", "--dir", dir }));
    QString wave;
    // The splash box's 3 s, then a GSM buffer of 2.5 s.
    const bool grew = PollUntil([&] { return SizeOf(wave = OnlyWaveIn(dir)) > 4096; }, 20000);
    program.Terminate();
    ASSERT_TRUE(program.WaitFinished(20000));
    ASSERT_TRUE(grew) << QString::fromUtf8(program.ReadError()).toStdString();
    EXPECT_TRUE(program.Succeeded());
    const tonvara::test::TProbe probe = tonvara::test::Probe(wave);
    EXPECT_EQ(probe.Codec.toStdString(), "gsm_ms");
    EXPECT_EQ(QString::fromUtf8(program.ReadError()).toStdString(), "");
}

TEST(Install, DebianPackageHoldsTheProgramAndItsDependencies)
{
    const TOutsideDir out;
    const tonvara::test::TToolResult pack = tonvara::test::RunTool(QStringLiteral(TONVARA_CPACK),
        { "-G", "DEB", "--config", BinaryDir() + "/CPackConfig.cmake", "-B", out.Path() });
    ASSERT_EQ(pack.ExitCode, 0) << pack.Out << pack.Err;
    const QStringList debs = QDir(out.Path()).entryList({ "*.deb" }, QDir::Files);
    ASSERT_EQ(debs.size(), 1);
    const QString deb = out.Path(debs.first());

    const QString listing
        = QString::fromStdString(tonvara::test::ToolOutput("dpkg-deb", { "-c", deb }).toStdString());
    for (const char* file : { "./usr/bin/tonvara", "./usr/lib/libtonvara_acm.so",
             "./usr/share/applications/tonvara.desktop", "./usr/share/icons/hicolor/32x32/apps/tonvara.png",
             "./usr/share/man/man1/tonvara.1", "./usr/share/tonvara/resources/forms/AnaForm.form" })
        EXPECT_TRUE(listing.contains(QString::fromLatin1(file) + '\n')) << file << "\n"
                                                                        << listing.toStdString();

    // Qt 6, ALSA, libgsm, libjpeg, GL and the fonts the windows name.
    const QString depends
        = QString::fromUtf8(tonvara::test::ToolOutput("dpkg-deb", { "-f", deb, "Depends" }));
    for (const char* package : { "libqt6widgets6", "libqt6openglwidgets6", "libasound2", "libgsm1",
             "libjpeg62-turbo", "libopengl0", "libglu1-mesa", "fonts-liberation" })
        EXPECT_TRUE(
            QRegularExpression(QStringLiteral("(^|[ ,|])%1([ ,]|$)").arg(QString::fromLatin1(package)))
                .match(depends)
                .hasMatch())
            << package << " not in: " << depends.toStdString();

    const QString root = out.Path("root");
    tonvara::test::ToolOutput("dpkg", { "-x", deb, root });
    const TRun run = RunWithoutDisplay(root + "/usr/bin/tonvara", { "--version" });
    EXPECT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_EQ(run.Out.toStdString(), (VersionText() + '\n').toStdString());
}

} // namespace
