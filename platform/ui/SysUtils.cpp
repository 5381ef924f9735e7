#include "platform/ui/SysUtils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <cmath>
#include <ctime>

Exception::Exception(const QString& message)
    : FMessage(message)
    , FUtf8(message.toUtf8())
{
}

Exception::Exception(const char* message)
    : Exception(QString::fromUtf8(message))
{
}

Exception::Exception(const QString& message, int helpContext)
    : Exception(message)
{
    FHelpContext = helpContext;
}

Exception::~Exception() = default;

void Exception::SetMessage(const QString& message)
{
    FMessage = message;
    FUtf8 = message.toUtf8();
}

const char* Exception::what() const noexcept
{
    return FUtf8.constData();
}

EOSError::EOSError(const QString& message, int code)
    : Exception(message)
    , FErrorCode(code)
{
}

namespace {

QString PlacedMessage(const QString& message, const QString& fileName, int line)
{
    if (fileName.isEmpty() && line <= 0)
        return message;
    QString place = fileName.isEmpty()
        ? QStringLiteral("line %1").arg(line)
        : (line > 0 ? QStringLiteral("%1:%2").arg(fileName).arg(line) : fileName);
    return place + QStringLiteral(": ") + message;
}

} // namespace

EReadError::EReadError(const QString& message)
    : EFilerError(message)
    , FReason(message)
{
}

EReadError::EReadError(const QString& message, const QString& fileName, int line)
    : EFilerError(PlacedMessage(message, fileName, line))
    , FReason(message)
    , FFileName(fileName)
    , FLine(line)
{
}

QString ExceptionMessage(const std::exception& error)
{
    if (const auto* own = dynamic_cast<const Exception*>(&error))
        return own->Message();
    return QString::fromUtf8(error.what());
}

QString ExceptionMessage(std::exception_ptr error)
{
    if (!error)
        return {};
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return ExceptionMessage(e);
    } catch (...) {
        return QStringLiteral("Unknown exception");
    }
}

// ---------------------------------------------------------------------------

QString IntToStr(long long value)
{
    return QString::number(value);
}

QString IntToHex(long long value, int digits)
{
    return QStringLiteral("%1").arg(static_cast<qulonglong>(value), digits, 16, QLatin1Char('0')).toUpper();
}

namespace {

bool ParseInteger(const QString& text, int& value)
{
    QString t = text.trimmed();
    bool negative = false;
    if (t.startsWith(QLatin1Char('-'))) {
        negative = true;
        t.remove(0, 1);
    } else if (t.startsWith(QLatin1Char('+'))) {
        t.remove(0, 1);
    }
    bool ok = false;
    qlonglong v = 0;
    if (t.startsWith(QLatin1Char('$')))
        v = t.mid(1).toLongLong(&ok, 16);
    else if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        v = t.mid(2).toLongLong(&ok, 16);
    else if (!t.isEmpty() && t[0].isDigit())
        v = t.toLongLong(&ok, 10);
    if (!ok)
        return false;
    if (negative)
        v = -v;
    // $-hex may name the full 32 bits ($FFFFFFFF is -1), as in the forms.
    if (v < -2147483648LL || v > 4294967295LL)
        return false;
    value = static_cast<int>(static_cast<quint32>(v));
    return true;
}

} // namespace

int StrToInt(const QString& text)
{
    int value = 0;
    if (!ParseInteger(text, value))
        throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text));
    return value;
}

int StrToIntDef(const QString& text, int defaultValue)
{
    int value = 0;
    return ParseInteger(text, value) ? value : defaultValue;
}

QString FloatToStr(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

double StrToFloat(const QString& text)
{
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value))
        throw EConvertError(QStringLiteral("'%1' is not a valid floating point value").arg(text));
    return value;
}

QString Trim(const QString& text)
{
    return text.trimmed();
}

QString UpperCase(const QString& text)
{
    return text.toUpper();
}

QString LowerCase(const QString& text)
{
    return text.toLower();
}

int CompareText(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive);
}

bool SameText(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// ---------------------------------------------------------------------------

bool FileExists(const QString& fileName)
{
    const QFileInfo info(fileName);
    return info.exists() && !info.isDir();
}

bool DeleteFile(const QString& fileName)
{
    return QFile::remove(fileName);
}

QString ExtractFilePath(const QString& fileName)
{
    const int slash = fileName.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : fileName.left(slash + 1);
}

QString ExtractFileName(const QString& fileName)
{
    const int slash = fileName.lastIndexOf(QLatin1Char('/'));
    return fileName.mid(slash + 1);
}

QString ExtractFileExt(const QString& fileName)
{
    const QString name = ExtractFileName(fileName);
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot);
}

QString ChangeFileExt(const QString& fileName, const QString& extension)
{
    const QString ext = ExtractFileExt(fileName);
    return fileName.left(fileName.size() - ext.size()) + extension;
}

QString ExpandFileName(const QString& fileName)
{
    return QDir::cleanPath(QDir::current().absoluteFilePath(fileName));
}

QString IncludeTrailingPathDelimiter(const QString& path)
{
    return path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
}

// ---------------------------------------------------------------------------

namespace {

constexpr double kSecondsPerDay = 86400.0;

// The Unix epoch as a TDateTime (1970-01-01 is day 25569 after 1899-12-30).
constexpr double kUnixEpochDays = 25569.0;

TDateTime FromTm(const std::tm& local, double fraction)
{
    // Days are counted on the local calendar, so timegm on the local fields
    // gives the day number without a time-zone shift.
    std::tm copy = local;
    const time_t asUtc = timegm(&copy);
    return kUnixEpochDays + (static_cast<double>(asUtc) + fraction) / kSecondsPerDay;
}

std::tm ToTm(TDateTime value)
{
    const double seconds = std::floor((value - kUnixEpochDays) * kSecondsPerDay + 0.5e-3);
    const time_t t = static_cast<time_t>(seconds);
    std::tm result {};
    gmtime_r(&t, &result);
    return result;
}

QString Strftime(const char* format, const std::tm& tm)
{
    char buffer[256];
    const size_t n = std::strftime(buffer, sizeof buffer, format, &tm);
    return QString::fromLocal8Bit(buffer, static_cast<qsizetype>(n));
}

} // namespace

TDateTime Now()
{
    timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm local {};
    localtime_r(&ts.tv_sec, &local);
    return FromTm(local, ts.tv_nsec / 1e9);
}

TDateTime Date()
{
    return std::floor(Now());
}

TDateTime Time()
{
    const TDateTime now = Now();
    return now - std::floor(now);
}

QString DateToStr(TDateTime value)
{
    return Strftime("%x", ToTm(value));
}

QString TimeToStr(TDateTime value)
{
    return Strftime("%X", ToTm(value));
}
