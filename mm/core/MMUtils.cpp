#include "mm/core/MMUtils.h"

#include "platform/kernel/Clock.h"
#include "platform/kernel/Disk.h"
#include "platform/mm/MMTimers.h"
#include "platform/ui/Classes.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QHash>
#include <QTimer>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>

// The string table compiled in from resources/strings/LibStrings.txt.
extern const unsigned char kLibStringTable[];
extern const std::size_t kLibStringTableSize;

namespace {

// ---------------------------------------------------------------------------
// The routines behind the replaceable references.

std::int32_t MinImpl(std::int32_t a, std::int32_t b)
{
    return a < b ? a : b;
}

std::int32_t MaxImpl(std::int32_t a, std::int32_t b)
{
    return a > b ? a : b;
}

std::int32_t LimitImpl(std::int32_t value, std::int32_t lo, std::int32_t hi)
{
    if (value < lo)
        return lo;
    if (value > hi)
        return hi;
    return value;
}

std::int32_t LimitAnyImpl(std::int32_t value, std::int32_t a, std::int32_t b)
{
    return a <= b ? LimitImpl(value, a, b) : LimitImpl(value, b, a);
}

bool InRangeImpl(std::int32_t value, std::int32_t lo, std::int32_t hi)
{
    return lo <= value && value <= hi;
}

bool InRangeAnyImpl(std::int32_t value, std::int32_t a, std::int32_t b)
{
    return a <= b ? InRangeImpl(value, a, b) : InRangeImpl(value, b, a);
}

void SwapWordImpl(std::uint16_t& a, std::uint16_t& b)
{
    const std::uint16_t t = a;
    a = b;
    b = t;
}

void SwapLongImpl(std::int32_t& a, std::int32_t& b)
{
    const std::int32_t t = a;
    a = b;
    b = t;
}

void IncPtrImpl(void*& p, std::ptrdiff_t n)
{
    p = static_cast<char*>(p) + n;
}

void FillMemByteImpl(void* dest, std::int32_t count, std::uint8_t value)
{
    if (count > 0)
        std::memset(dest, value, static_cast<std::size_t>(count));
}

void FillMemLongImpl(void* dest, std::int32_t count, std::uint32_t value)
{
    if (count <= 0)
        return;
    auto* bytes = static_cast<std::uint8_t*>(dest);
    const std::int32_t words = count / 4;
    for (std::int32_t i = 0; i < words; ++i)
        std::memcpy(bytes + 4 * static_cast<std::size_t>(i), &value, 4);
    for (std::int32_t i = words * 4; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(value);
}

void MoveMemImpl(const void* source, void* dest, std::int32_t count)
{
    if (count > 0)
        std::memmove(dest, source, static_cast<std::size_t>(count));
}

bool CompareMemImpl(const void* a, const void* b, std::int32_t count)
{
    return count <= 0 || std::memcmp(a, b, static_cast<std::size_t>(count)) == 0;
}

// ---------------------------------------------------------------------------
// String table

// "\n", "\r", "\t" and "\\" in a table text.
QString Unescaped(const QString& text)
{
    QString result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c != QLatin1Char('\\') || i + 1 == text.size()) {
            result += c;
            continue;
        }
        const QChar next = text[++i];
        if (next == QLatin1Char('n'))
            result += QLatin1Char('\n');
        else if (next == QLatin1Char('r'))
            result += QLatin1Char('\r');
        else if (next == QLatin1Char('t'))
            result += QLatin1Char('\t');
        else
            result += next;
    }
    return result;
}

const QHash<int, QString>& StringTable()
{
    static const QHash<int, QString> table = [] {
        QHash<int, QString> entries;
        const QString text = QString::fromUtf8(
            reinterpret_cast<const char*>(kLibStringTable), static_cast<qsizetype>(kLibStringTableSize));
        for (const QString& line : text.split(QLatin1Char('\n'))) {
            if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
                continue;
            const qsizetype tab = line.indexOf(QLatin1Char('\t'));
            if (tab <= 0)
                continue;
            bool ok = false;
            const int id = line.left(tab).toInt(&ok);
            if (ok)
                entries.insert(id, Unescaped(line.mid(tab + 1)));
        }
        return entries;
    }();
    return table;
}

// ---------------------------------------------------------------------------

[[noreturn]] void RaiseDivByZero()
{
    throw EDivByZero("Division by zero");
}

[[noreturn]] void RaiseIntOverflow()
{
    throw EIntOverflow("Integer overflow");
}

std::int32_t Checked32(std::int64_t value)
{
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
        RaiseIntOverflow();
    return static_cast<std::int32_t>(value);
}

// Taken at start-up, so that stored forms read "MapperId" even before any
// component has been created. Should it fail this early, the components'
// own calls register the types later.
const bool kTypesRegistered = [] {
    try {
        RegisterMMUtilsTypes();
        return true;
    } catch (...) {
        return false;
    }
}();

} // namespace

std::int32_t (*Min)(std::int32_t, std::int32_t) = &MinImpl;
std::int32_t (*Max)(std::int32_t, std::int32_t) = &MaxImpl;
std::int32_t (*Limit)(std::int32_t, std::int32_t, std::int32_t) = &LimitImpl;
std::int32_t (*LimitAny)(std::int32_t, std::int32_t, std::int32_t) = &LimitAnyImpl;
bool (*InRange)(std::int32_t, std::int32_t, std::int32_t) = &InRangeImpl;
bool (*InRangeAny)(std::int32_t, std::int32_t, std::int32_t) = &InRangeAnyImpl;
void (*SwapWord)(std::uint16_t&, std::uint16_t&) = &SwapWordImpl;
void (*SwapLong)(std::int32_t&, std::int32_t&) = &SwapLongImpl;
void (*IncPtr)(void*&, std::ptrdiff_t) = &IncPtrImpl;
void (*FillMemByte)(void*, std::int32_t, std::uint8_t) = &FillMemByteImpl;
void (*FillMemLong)(void*, std::int32_t, std::uint32_t) = &FillMemLongImpl;
void (*MoveMem)(const void*, void*, std::int32_t) = &MoveMemImpl;
bool (*CompareMem)(const void*, const void*, std::int32_t) = &CompareMemImpl;

void RegisterMMUtilsTypes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        qRegisterMetaType<TMMDeviceId>("TMMDeviceId");
        RegisterIntegerIdents<TMMDeviceId>({ { MapperId, "MapperId" }, { InvalidId, "InvalidId" } });
    });
}

QString FormatElapsedTime(std::int64_t milliseconds, bool showMilliseconds)
{
    const long long t = milliseconds;
    char text[96];
    if (t < 3600000) {
        if (showMilliseconds)
            std::snprintf(text, sizeof text, "%lld:%2.2lld.%3.3lld", t / 60000, (t % 60000) / 1000, t % 1000);
        else
            std::snprintf(text, sizeof text, "%lld:%2.2lld", t / 60000, (t % 60000) / 1000);
    } else if (t < 86400000) {
        if (showMilliseconds)
            std::snprintf(text, sizeof text, "%lld:%2.2lld:%2.2lld.%3.3lld", t / 3600000,
                (t % 3600000) / 60000, (t % 60000) / 1000, t % 1000);
        else
            std::snprintf(text, sizeof text, "%lld:%2.2lld:%2.2lld", t / 3600000, (t % 3600000) / 60000,
                (t % 60000) / 1000);
    } else {
        if (showMilliseconds)
            std::snprintf(text, sizeof text, "%lld:%2.2lld:%2.2lld:%2.2lld.%3.3lld", t / 86400000,
                (t % 86400000) / 3600000, (t % 3600000) / 60000, (t % 60000) / 1000, t % 1000);
        else
            std::snprintf(text, sizeof text, "%lld:%2.2lld:%2.2lld:%2.2lld", t / 86400000,
                (t % 86400000) / 3600000, (t % 3600000) / 60000, (t % 60000) / 1000);
    }
    return QString::fromLatin1(text);
}

QString LoadStr(int id)
{
    return StringTable().value(id);
}

QString LoadLibStr(int number)
{
    return LoadStr(kLibStrBase + number);
}

void* GlobalAllocMem(std::size_t size)
{
    void* block = std::calloc(size == 0 ? 1 : size, 1);
    if (block == nullptr)
        throw EOutOfMemory("Out of memory");
    return block;
}

void GlobalFreeMem(void*& p)
{
    if (p != nullptr) {
        std::free(p);
        p = nullptr;
    }
}

void GlobalReAllocMem(void*& p, std::size_t size)
{
    GlobalFreeMem(p);
    p = GlobalAllocMem(size);
}

std::int32_t MulDiv32(std::int32_t a, std::int32_t b, std::int32_t c)
{
    if (c == 0)
        RaiseDivByZero();
    return Checked32(static_cast<std::int64_t>(a) * b / c);
}

std::int32_t MulDivRound(std::int32_t a, std::int32_t b, std::int32_t c)
{
    if (c == 0)
        RaiseDivByZero();
    const std::int64_t product = static_cast<std::int64_t>(a) * b;
    return Checked32(product / c + (product % c) * 2 / c);
}

std::int64_t MulDiv64(std::int64_t a, std::int64_t b, std::int64_t c)
{
    if (c == 0)
        RaiseDivByZero();
    const long double quotient
        = static_cast<long double>(a) * static_cast<long double>(b) / static_cast<long double>(c);
    // nearbyint rounds in the current mode, which is to nearest, halves to even.
    const long double rounded = std::nearbyint(quotient);
    constexpr long double kLimit = 9223372036854775808.0L;
    if (!(rounded >= -kLimit && rounded < kLimit))
        RaiseIntOverflow();
    return static_cast<std::int64_t>(rounded);
}

std::int32_t ShiftRight(std::int32_t a, std::int32_t n)
{
    return a >> (n & 31);
}

long double MaxF(long double a, long double b)
{
    return b >= a ? b : a;
}

long double LimitF(long double v, long double lo, long double hi)
{
    if (v < lo)
        return lo;
    if (v > hi)
        return hi;
    return v;
}

std::int64_t Floor(long double x)
{
    if (std::isnan(x))
        return 0;
    const long double f = std::floor(x);
    if (f <= static_cast<long double>(std::numeric_limits<std::int64_t>::min()))
        return std::numeric_limits<std::int64_t>::min();
    if (f >= 9223372036854775808.0L)
        return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(f);
}

long double Ln(long double x)
{
    return std::log(x);
}

long double Log2(long double x)
{
    return std::log2(x);
}

long double Log10(long double x)
{
    return std::log10(x);
}

long double Power(long double base, long double exponent)
{
    if (base == 0) {
        if (exponent > 0)
            return 0;
        return exponent == 0 ? 1 : std::numeric_limits<long double>::infinity();
    }
    if (exponent == 0)
        return 1;
    return std::exp2(exponent * std::log2(base));
}

QString PadCenter(const QString& s, QChar ch, int width)
{
    if (s.size() >= width)
        return s;
    QString result(width, ch);
    result.replace((width - s.size()) / 2, s.size(), s);
    return result;
}

QString PadLeft(const QString& s, QChar ch, int width)
{
    if (s.size() >= width)
        return s;
    QString result(width, ch);
    result.replace(width - s.size(), s.size(), s);
    return result;
}

QString PadRight(const QString& s, QChar ch, int width)
{
    if (s.size() >= width)
        return s;
    QString result(width, ch);
    result.replace(0, s.size(), s);
    return result;
}

std::int64_t MicroTime()
{
    static std::atomic<std::int64_t> cachedFrequency { 0 };
    std::int64_t frequency = cachedFrequency.load();
    if (frequency == 0) {
        LARGE_INTEGER queried {};
        if (QueryPerformanceFrequency(&queried) && queried.QuadPart > 0) {
            frequency = queried.QuadPart > 0xFFFFFFFFLL ? 1 : queried.QuadPart;
            cachedFrequency.store(frequency);
        }
    }
    if (frequency < 2)
        return static_cast<std::int64_t>(timeGetTime()) * 1000;
    LARGE_INTEGER counter {};
    QueryPerformanceCounter(&counter);
    // counter x 1 000 000 would overflow 64 bits after hours of uptime at a
    // nanosecond frequency: split it into whole seconds and the rest.
    return counter.QuadPart / frequency * 1000000 + counter.QuadPart % frequency * 1000000 / frequency;
}

void Delay(std::uint32_t milliseconds, bool processMessages)
{
    if (milliseconds == 0)
        return;
    if (!processMessages || QCoreApplication::instance() == nullptr
        || QAbstractEventDispatcher::instance() == nullptr) {
        Sleep(milliseconds);
        return;
    }
    const QDeadlineTimer deadline(static_cast<qint64>(milliseconds), Qt::PreciseTimer);
    // Waiting for more events needs something that is sure to come: this
    // timer, due at the deadline.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!deadline.hasExpired()) {
        const qint64 remaining = (deadline.remainingTimeNSecs() + 999999) / 1000000;
        wake.start(static_cast<int>(remaining));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

bool DiskFreeSpace(const QString& path, std::int64_t& free, std::int64_t& total)
{
    // Only '/' separates directories here: ':' is an ordinary character of
    // file names (the recordings' times contain it).
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QByteArray directory = QFile::encodeName(slash >= 0 ? path.left(slash + 1) : QString());
    ULARGE_INTEGER available {}, size {};
    if (GetDiskFreeSpaceEx(directory.constData(), &available, &size, nullptr)) {
        free = static_cast<std::int64_t>(available.QuadPart);
        total = static_cast<std::int64_t>(size.QuadPart);
        return true;
    }
    free = 0;
    total = 1;
    return false;
}

bool EnoughDiskSpace(const QString& path, std::int32_t bytes)
{
    std::int64_t free = 0, total = 0;
    if (!DiskFreeSpace(path, free, total))
        return false;
    return free >= static_cast<std::int64_t>(bytes);
}

std::int32_t FileSizeByName(const QString& name)
{
    if (name.isEmpty())
        return -1;
    const std::string expanded = ExpandFileName(QFile::encodeName(name).toStdString());
    const LONGLONG size = GetFileSizeByName(expanded);
    if (size > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(size);
}

TCriticalSection& BitmapDrawLock()
{
    static auto* lock = new TCriticalSection();
    return *lock;
}
