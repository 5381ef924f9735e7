#include "platform/kernel/Disk.h"
#include "platform/kernel/KernelObject.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>
#include <string>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// The standard output of a command. A plain fork, which ThreadSanitizer
// follows (QProcess's vfork-style start confuses it).
QString Output(std::vector<std::string> arguments)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    QByteArray output;
    char buffer[4096];
    ssize_t got;
    while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0)
        output.append(buffer, got);
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << arguments[0];
    return QString::fromUtf8(output);
}

// What df says about the file system holding Directory: {size, available} in
// bytes.
std::pair<ULONGLONG, ULONGLONG> DfSizeAndAvailable(const QString& directory)
{
    const QStringList lines = Output({ "df", "-B1", "--output=size,avail", directory.toStdString() })
                                  .split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(lines.size(), 2);
    if (lines.size() != 2)
        return { 0, 0 };
    const QStringList fields = lines[1].split(' ', Qt::SkipEmptyParts);
    return { fields.value(0).toULongLong(), fields.value(1).toULongLong() };
}

TEST(GetDiskFreeSpaceEx, AgreesWithDfForARealDirectory)
{
    const QString directory = tonvara::test::MakeTempDir("disk");
    ULARGE_INTEGER available {}, total {}, totalFree {};
    ASSERT_EQ(GetDiskFreeSpaceEx(directory.toLocal8Bit().constData(), &available, &total, &totalFree), TRUE);
    const auto [dfSize, dfAvailable] = DfSizeAndAvailable(directory);
    EXPECT_EQ(total.QuadPart, dfSize);
    // Other programs write to the same disk meanwhile: allow them 256 MiB.
    const LONGLONG drift = static_cast<LONGLONG>(available.QuadPart) - static_cast<LONGLONG>(dfAvailable);
    EXPECT_LT(std::llabs(drift), 256LL << 20);
    EXPECT_GE(totalFree.QuadPart, available.QuadPart);
    EXPECT_LE(totalFree.QuadPart, total.QuadPart);

    // Null out pointers are allowed, "" is the current directory.
    EXPECT_EQ(GetDiskFreeSpaceEx(directory.toLocal8Bit().constData(), nullptr, &total, nullptr), TRUE);
    EXPECT_EQ(total.QuadPart, dfSize);
    struct statvfs here { };
    ASSERT_EQ(statvfs(".", &here), 0);
    EXPECT_EQ(GetDiskFreeSpaceEx("", nullptr, &total, nullptr), TRUE);
    EXPECT_EQ(total.QuadPart, static_cast<ULONGLONG>(here.f_blocks) * here.f_frsize);
}

TEST(GetDiskFreeSpaceEx, FailsForMissingPathsAndFilesLeavingOutputsAlone)
{
    const QString directory = tonvara::test::MakeTempDir("disk");
    ULARGE_INTEGER available {}, total {};
    available.QuadPart = 77;
    total.QuadPart = 88;
    SetLastError(0);
    EXPECT_EQ(GetDiskFreeSpaceEx(
                  (directory + "/missing/deeper").toLocal8Bit().constData(), &available, &total, nullptr),
        FALSE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(available.QuadPart, 77u);
    EXPECT_EQ(total.QuadPart, 88u);

    QFile file(directory + "/plain.wav");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    EXPECT_EQ(
        GetDiskFreeSpaceEx(file.fileName().toLocal8Bit().constData(), &available, nullptr, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
}

TEST(GetFileSizeByName, GivesTheSizeOrMinusOne)
{
    const QString directory = tonvara::test::MakeTempDir("size");
    QFile file(directory + "/data.bin");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(12345, 'x'));
    file.close();
    EXPECT_EQ(GetFileSizeByName(file.fileName().toStdString()), 12345);
    EXPECT_EQ(GetFileSizeByName((directory + "/none.bin").toStdString()), -1);
    EXPECT_EQ(GetFileSizeByName(""), -1);
    EXPECT_EQ(GetFileSizeByName(directory.toStdString()), 0) << "a directory is found, with no bytes";

    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(directory));
    EXPECT_EQ(GetFileSizeByName("data.bin"), 12345) << "relative to the current directory";
    QDir::setCurrent(previous);
}

TEST(ExpandFileName, QualifiesAndNormalises)
{
    const QString directory = tonvara::test::MakeTempDir("expand");
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(directory));
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const std::string here = cwd;
    const std::string parent = here.substr(0, here.rfind('/'));

    EXPECT_EQ(ExpandFileName("a.wav"), here + "/a.wav");
    EXPECT_EQ(ExpandFileName("./a.wav"), here + "/a.wav");
    EXPECT_EQ(ExpandFileName("sub//x/../a.wav"), here + "/sub/a.wav");
    EXPECT_EQ(ExpandFileName("../b.wav"), parent + "/b.wav");
    EXPECT_EQ(ExpandFileName("."), here);
    EXPECT_EQ(ExpandFileName("sub/"), here + "/sub");
    EXPECT_EQ(ExpandFileName("/x/./y/../../../z"), "/z");
    EXPECT_EQ(ExpandFileName("/"), "/");
    EXPECT_EQ(ExpandFileName("//tmp///t.wav"), "/tmp/t.wav");
    EXPECT_EQ(
        ExpandFileName("Tarih_01_02_2024_Saat_10.00.00.wav"), here + "/Tarih_01_02_2024_Saat_10.00.00.wav");
    EXPECT_EQ(ExpandFileName(""), "");
    QDir::setCurrent(previous);
}

} // namespace
