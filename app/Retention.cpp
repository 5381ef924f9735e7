#include "app/Retention.h"

#include "app/AnaGiris.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace {

QString LocalText(const wchar_t* format, const std::tm& moment)
{
    wchar_t text[128];
    const std::size_t length = std::wcsftime(text, sizeof text / sizeof text[0], format, &moment);
    return QString::fromWCharArray(text, static_cast<qsizetype>(length));
}

// The names the file-name rule makes under the current LC_TIME: the rule
// applied to one moment, its digits standing for any digits and its words
// (a month's or a half-day's name) for any word.
QRegularExpression RecordingNamePattern()
{
    std::tm moment {};
    moment.tm_year = 2026 - 1900;
    moment.tm_mon = 11;
    moment.tm_mday = 6;
    moment.tm_hour = 14;
    moment.tm_min = 5;
    moment.tm_sec = 31;
    moment.tm_wday = 0;
    moment.tm_yday = 339;
    QString probe = AnaGiris::ComposeFileName(LocalText(L"%x", moment), LocalText(L"%X", moment));
    probe.chop(4); // ".wav"
    QString pattern = QStringLiteral("^");
    for (qsizetype i = 0; i < probe.size();) {
        qsizetype end = i + 1;
        if (probe[i].isDigit()) {
            while (end < probe.size() && probe[end].isDigit())
                ++end;
            pattern += QStringLiteral("[0-9]+");
        } else if (probe[i].isLetter() && i >= 5) {
            while (end < probe.size() && probe[end].isLetter())
                ++end;
            // "Tarih" and "Saat" stay as they are.
            const QString word = probe.mid(i, end - i);
            pattern += word == QLatin1String("Saat") ? word : QStringLiteral("\\p{L}+");
        } else {
            pattern += QRegularExpression::escape(probe.mid(i, 1));
        }
        i = end;
    }
    pattern += QStringLiteral("(_[0-9]+)?\\.wav$");
    return QRegularExpression(pattern, QRegularExpression::UseUnicodePropertiesOption);
}

// A file the program wrote begins with its RIFF WAVE header from its first
// write on; a file of that name that does not is somebody else's.
bool HoldsRiffWave(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    char head[12] = {};
    const ssize_t got = ::read(fd, head, sizeof head);
    ::close(fd);
    return got == 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0;
}

qint64 RoomOnDisk(const QString& dir)
{
    struct statvfs disk { };
    if (::statvfs(QFile::encodeName(dir).constData(), &disk) != 0)
        return -1;
    return static_cast<qint64>(disk.f_bavail) * static_cast<qint64>(disk.f_frsize);
}

QString LastWriteText(std::time_t when)
{
    std::tm local {};
    localtime_r(&when, &local);
    return LocalText(L"%x %X", local);
}

} // namespace

TRetention::TRetention(TAnaForm* form, const TRetentionSettings& settings)
    : QObject(form)
    , FForm(form)
    , FSettings(settings)
{
    FSweptHour = AnaGiris::FileHour;
    SweepOld();
    AnaGiris::BeforeNewFile = [this] { BeforeNewFile(); };
    if (FSettings.KeepFreeMB > 0) {
        FMinute.setInterval(60 * 1000);
        connect(&FMinute, &QTimer::timeout, this, [this] {
            if (FForm != nullptr
                && ((FForm->MonoDosya->State() & wsOpened) || (FForm->StereoDosya->State() & wsOpened)))
                KeepFree();
        });
        FMinute.start();
    }
}

TRetention::~TRetention()
{
    AnaGiris::BeforeNewFile = nullptr;
}

bool TRetention::IsRecordingName(const QString& name)
{
    static const QRegularExpression pattern = RecordingNamePattern();
    return pattern.match(name).hasMatch();
}

std::vector<TRecordingFile> TRetention::Recordings(const QString& dir)
{
    std::vector<TRecordingFile> files;
    const QDir folder(dir);
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (!IsRecordingName(name))
            continue;
        const QString path = folder.absoluteFilePath(name);
        struct stat status { };
        if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode)
            || !HoldsRiffWave(path))
            continue;
        files.push_back({ path, status.st_mtime });
    }
    std::sort(files.begin(), files.end(), [](const TRecordingFile& a, const TRecordingFile& b) {
        return a.LastWrite != b.LastWrite ? a.LastWrite < b.LastWrite : a.Path < b.Path;
    });
    return files;
}

void TRetention::BeforeNewFile()
{
    if (AnaGiris::FileHour != FSweptHour) {
        FSweptHour = AnaGiris::FileHour;
        SweepOld();
    }
    KeepFree();
}

QStringList TRetention::Busy() const
{
    QStringList busy { QDir::current().absoluteFilePath(AnaGiris::CurrentFileName) };
    if (FForm != nullptr) {
        for (TMMWaveRecorder* recorder : { FForm->MonoDosya, FForm->StereoDosya })
            if ((recorder->State() & wsOpened) && !recorder->Wave()->FileName().isEmpty())
                busy.append(QFileInfo(recorder->Wave()->FileName()).absoluteFilePath());
    }
    return busy;
}

void TRetention::SweepOld()
{
    if (FSettings.KeepHours <= 0)
        return;
    const std::time_t before = std::time(nullptr) - static_cast<std::time_t>(FSettings.KeepHours) * 3600;
    const QStringList busy = Busy();
    for (const TRecordingFile& file : Recordings(QDir::currentPath())) {
        if (file.LastWrite >= before)
            break;
        if (!busy.contains(file.Path))
            Delete(file, QStringLiteral("older than --keep-hours %1").arg(FSettings.KeepHours));
    }
}

void TRetention::KeepFree()
{
    if (FSettings.KeepFreeMB <= 0)
        return;
    const QString dir = QDir::currentPath();
    const qint64 wanted = FSettings.KeepFreeMB * 1024 * 1024;
    qint64 room = RoomOnDisk(dir);
    if (room < 0 || room >= wanted) {
        FToldNothingLeft = false;
        return;
    }
    const QStringList busy = Busy();
    for (const TRecordingFile& file : Recordings(dir)) {
        if (busy.contains(file.Path))
            continue;
        if (Delete(file, QStringLiteral("to keep --keep-free %1 MB free").arg(FSettings.KeepFreeMB)))
            room = RoomOnDisk(dir);
        if (room >= wanted) {
            FToldNothingLeft = false;
            return;
        }
    }
    if (!std::exchange(FToldNothingLeft, true))
        std::fprintf(stderr,
            "tonvara: %s: %lld MB free on the disk, less than --keep-free %lld, and no recording left to "
            "delete\n",
            qPrintable(AnaGiris::TimeText()), static_cast<long long>(room / (1024 * 1024)),
            static_cast<long long>(FSettings.KeepFreeMB));
}

bool TRetention::Delete(const TRecordingFile& file, const QString& why)
{
    const QString name = QFileInfo(file.Path).fileName();
    if (::unlink(QFile::encodeName(file.Path).constData()) != 0) {
        std::fprintf(stderr, "tonvara: %s: cannot delete the recording %s: %s\n",
            qPrintable(AnaGiris::TimeText()), qPrintable(name), std::strerror(errno));
        return false;
    }
    std::fprintf(stderr, "tonvara: %s: deleted the recording %s, last written %s, %s\n",
        qPrintable(AnaGiris::TimeText()), qPrintable(name), qPrintable(LastWriteText(file.LastWrite)),
        qPrintable(why));
    return true;
}
