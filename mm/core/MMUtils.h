#pragma once
// The library's utility unit: the enumerations many components publish, the
// device-number type, the text of an elapsed time, the library's message
// table, global memory, small integer, memory and floating-point routines, a
// microsecond clock, a message-pumping wait, the operating-system flags and
// disk-space queries.
//
// Everything here may be called from any thread unless it says otherwise;
// the routines keep no state apart from the values fixed at start-up.

#include "platform/kernel/SyncObjs.h"
#include "platform/ui/SysUtils.h"

#include <QMetaType>
#include <QObject>
#include <QString>
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Published enumerations
//
// They live in the Qt namespace MMEnums so that any component can publish
// them and stored forms read and write them by value name; the names are
// also brought into the global namespace, where code uses them. A Q_PROPERTY
// must name them with the namespace:
//
//     Q_PROPERTY(MMEnums::TMMMode Mode READ Mode WRITE SetMode)
//
// In memory each is one byte holding the ordinal. Where formats are built,
// the ordinal of TMMBits is the bytes per sample minus one and the ordinal of
// TMMMode the channels minus one.

namespace MMEnums {
Q_NAMESPACE

enum TMMBits : std::uint8_t { b8Bit, b16Bit };
Q_ENUM_NS(TMMBits)

enum TMMMode : std::uint8_t { mMono, mStereo };
Q_ENUM_NS(TMMMode)

enum TMMChannel : std::uint8_t { chBoth, chLeft, chRight };
Q_ENUM_NS(TMMChannel)

enum TMMDecayMode : std::uint8_t { dmNone, dmStepUp, dmExponential, dmUniform };
Q_ENUM_NS(TMMDecayMode)

enum TMMTimeFormats : std::uint8_t { tfMillisecond, tfByte, tfSample };
Q_ENUM_NS(TMMTimeFormats)

enum TMMCBMode : std::uint8_t { cmWindow, cmCallback, cmThread };
Q_ENUM_NS(TMMCBMode)

enum TMMFFTWindow : std::uint8_t {
    fwRectangular,
    fwHamming,
    fwHanning,
    fwBlackman,
    fwGaussian,
    fwWelch,
    fwParzen
};
Q_ENUM_NS(TMMFFTWindow)

} // namespace MMEnums

using MMEnums::TMMBits;
using MMEnums::TMMCBMode;
using MMEnums::TMMChannel;
using MMEnums::TMMDecayMode;
using MMEnums::TMMFFTWindow;
using MMEnums::TMMMode;
using MMEnums::TMMTimeFormats;

using enum MMEnums::TMMBits;
using enum MMEnums::TMMCBMode;
using enum MMEnums::TMMChannel;
using enum MMEnums::TMMDecayMode;
using enum MMEnums::TMMFFTWindow;
using enum MMEnums::TMMMode;
using enum MMEnums::TMMTimeFormats;

// ---------------------------------------------------------------------------
// Device numbers

/// A wave device: 0 and up are device numbers, MapperId selects the
/// platform's wave mapper, InvalidId marks a number that was rejected. A type
/// of its own (any 32-bit value is valid) so that stored forms write -1 and -2
/// as the identifiers "MapperId" and "InvalidId" and read them back in any
/// letter case; every other value is written as a number.
enum TMMDeviceId : std::int32_t { InvalidId = -2, MapperId = -1 };
Q_DECLARE_METATYPE(TMMDeviceId)

/// Registers TMMDeviceId with Qt's meta types and its identifiers with the
/// stored-form reader and writer. Runs once at start-up by itself; components
/// publishing a TMMDeviceId call it in their constructor as well, so it holds
/// whatever the link order. Idempotent, any thread.
void RegisterMMUtilsTypes();

// ---------------------------------------------------------------------------
// Elapsed time

/// The text of an elapsed time of Milliseconds:
///   under an hour        "m:ss" or "m:ss.zzz"
///   under a day          "h:mm:ss" or "h:mm:ss.zzz"
///   a day or more        "d:hh:mm:ss" or "d:hh:mm:ss.zzz"
/// The leading field is unpadded; ".zzz" only with ShowMilliseconds. Each
/// field is a quotient or remainder truncated toward zero, so a negative time
/// shows its signs field by field ("-1:-05.-432").
QString FormatElapsedTime(std::int64_t milliseconds, bool showMilliseconds);

// ---------------------------------------------------------------------------
// Messages

/// The program's string resource Id ("" when there is none). The table is
/// resources/strings/LibStrings.txt, compiled into the program.
QString LoadStr(int id);

/// First string resource number of the library's messages.
constexpr int kLibStrBase = 28000;

/// The library message Number: string resource 28000 + Number ("" when there
/// is none). LoadLibStr(88) is "Could not create thread".
QString LoadLibStr(int number);

// ---------------------------------------------------------------------------
// Global memory

/// A zero-filled block of Size bytes (a block of at least one byte for 0).
/// Raises EOutOfMemory "Out of memory" when none can be had.
void* GlobalAllocMem(std::size_t size);

/// Frees P if it is not nullptr and sets it to nullptr.
void GlobalFreeMem(void*& p);
template <class T> void GlobalFreeMem(T*& p)
{
    void* raw = p;
    GlobalFreeMem(raw);
    p = nullptr;
}

/// GlobalFreeMem(P), then P := GlobalAllocMem(Size): the old contents are
/// not kept. On failure P is nullptr and EOutOfMemory is raised.
void GlobalReAllocMem(void*& p, std::size_t size);
template <class T> void GlobalReAllocMem(T*& p, std::size_t size)
{
    void* raw = p;
    p = nullptr;
    GlobalReAllocMem(raw, size);
    p = static_cast<T*>(raw);
}

// ---------------------------------------------------------------------------
// Replaceable integer and memory routines
//
// Reached through these routine references, bound at start-up to the
// implementations below, so that each can be replaced as a whole. Replace one
// only while no other thread can be calling it (at start-up).

/// Signed 32-bit minimum and maximum.
extern std::int32_t (*Min)(std::int32_t a, std::int32_t b);
extern std::int32_t (*Max)(std::int32_t a, std::int32_t b);

/// Lo if Value < Lo, else Hi if Value > Hi, else Value: with crossed bounds
/// the lower one wins (Limit(5, 10, 0) is 10).
extern std::int32_t (*Limit)(std::int32_t value, std::int32_t lo, std::int32_t hi);

/// Limit with the bounds put in order first (LimitAny(5, 10, 0) is 5).
extern std::int32_t (*LimitAny)(std::int32_t value, std::int32_t a, std::int32_t b);

/// Lo <= Value <= Hi; InRangeAny orders the bounds first.
extern bool (*InRange)(std::int32_t value, std::int32_t lo, std::int32_t hi);
extern bool (*InRangeAny)(std::int32_t value, std::int32_t a, std::int32_t b);

/// Exchange two 16-bit or two 32-bit values.
extern void (*SwapWord)(std::uint16_t& a, std::uint16_t& b);
extern void (*SwapLong)(std::int32_t& a, std::int32_t& b);

/// P := P + N bytes.
extern void (*IncPtr)(void*& p, std::ptrdiff_t n);

/// Count bytes set to Value; Count 0 or negative does nothing.
extern void (*FillMemByte)(void* dest, std::int32_t count, std::uint8_t value);

/// Count bytes filled with the 32-bit pattern Value: Count div 4 whole words
/// (in memory order, low byte first), then each of the remaining 0 to 3
/// bytes set to the lowest byte of Value. Dest need not be aligned. Negative
/// Count does nothing.
extern void (*FillMemLong)(void* dest, std::int32_t count, std::uint32_t value);

/// Copies Count bytes from Source to Dest, also when the blocks overlap.
/// Count 0 or negative does nothing.
extern void (*MoveMem)(const void* source, void* dest, std::int32_t count);

/// True when the Count bytes at A and B are equal (always for Count <= 0).
extern bool (*CompareMem)(const void* a, const void* b, std::int32_t count);

// ---------------------------------------------------------------------------
// Integer arithmetic

/// Division by zero in MulDiv32, MulDivRound and MulDiv64 ("Division by
/// zero"), rather than the processor fault the division would be.
class EDivByZero : public Exception {
public:
    using Exception::Exception;
};

/// A MulDiv result that does not fit its type ("Integer overflow").
class EIntOverflow : public Exception {
public:
    using Exception::Exception;
};

/// A x B div C with a 64-bit product, truncated toward zero. Raises
/// EDivByZero for C = 0 and EIntOverflow when the quotient needs more than
/// 32 bits.
std::int32_t MulDiv32(std::int32_t a, std::int32_t b, std::int32_t c);

/// A x B / C rounded to the nearest integer, halves away from zero:
/// A x B div C + ((A x B mod C) x 2) div C with a signed 64-bit product.
/// Raises as MulDiv32.
std::int32_t MulDivRound(std::int32_t a, std::int32_t b, std::int32_t c);

/// A x B / C computed in extended (80-bit) floating point and rounded to the
/// nearest integer, halves to even. Exact while A x B fits in 64 bits of
/// mantissa. Raises EDivByZero for C = 0 and EIntOverflow when the result
/// does not fit 64 bits.
std::int64_t MulDiv64(std::int64_t a, std::int64_t b, std::int64_t c);

/// Arithmetic right shift of A by N mod 32 bits (N & 31, as the processor
/// counts it; also for negative N).
std::int32_t ShiftRight(std::int32_t a, std::int32_t n);

// ---------------------------------------------------------------------------
// Floating point (extended precision)

/// B when B >= A, else A.
long double MaxF(long double a, long double b);

/// Lo if V < Lo, else Hi if V > Hi, else V.
long double LimitF(long double v, long double lo, long double hi);

/// The largest integer not above X (saturated to the 64-bit range; NaN gives 0).
std::int64_t Floor(long double x);

/// Natural, binary and decimal logarithms (-inf for 0, NaN below 0).
long double Ln(long double x);
long double Log2(long double x);
long double Log10(long double x);

/// Base raised to Exponent, as 2 to the power Exponent x log2 Base. A zero
/// Base gives 0 for a positive Exponent, 1 for 0 and +inf below; a negative
/// Base gives NaN.
long double Power(long double base, long double exponent);

// ---------------------------------------------------------------------------
// Padding

/// S itself when it has Width or more characters; otherwise Width characters
/// Ch with S copied in: PadCenter after (Width - length) div 2 of them,
/// PadLeft at the right end, PadRight at the left end.
QString PadCenter(const QString& s, QChar ch, int width);
QString PadLeft(const QString& s, QChar ch, int width);
QString PadRight(const QString& s, QChar ch, int width);

// ---------------------------------------------------------------------------
// Clock and waiting

/// Microseconds from the performance counter (counter x 1 000 000 div
/// frequency, computed without overflow), or the millisecond timer x 1000
/// when the counter is unusable. The frequency is read once and cached.
std::int64_t MicroTime();

/// Waits Milliseconds (0: returns at once). Without ProcessMessages the
/// thread sleeps. With it, the calling thread's Qt events are handled until
/// the time is up: posted events, timers and blocking queued calls from other
/// threads (a worker's synchronise call) all run meanwhile, and Delay returns
/// when Milliseconds have passed since it was called. A thread without a Qt
/// event dispatcher (or a program without QCoreApplication) just sleeps.
void Delay(std::uint32_t milliseconds, bool processMessages);

// ---------------------------------------------------------------------------
// Operating-system flags
//
// Wherever the library chooses between the old and the new branch of the
// platform (window callbacks on Windows 9x, callback functions on NT 4 and
// later), this platform takes the modern one: it reports an NT-line system
// of version 5 or later, never Windows 9x or NT 3.

inline constexpr bool IsWin95 = false;
inline constexpr bool IsWin98 = false;
inline constexpr bool IsWinMe = false;
inline constexpr bool IsWin9x = false;
inline constexpr bool IsWinNT3 = false;
inline constexpr bool IsWinNT4Up = true;
inline constexpr bool IsWin2000Up = true;

// ---------------------------------------------------------------------------
// Disk

/// Free bytes (available to this user) and total bytes of the file system
/// holding the directory part of Path (Path up to its last '/'; no '/' means
/// the current directory). On failure Free := 0, Total := 1 and the result is
/// false. Never raises.
bool DiskFreeSpace(const QString& path, std::int64_t& free, std::int64_t& total);

/// False when DiskFreeSpace fails, else whether Free >= Bytes.
bool EnoughDiskSpace(const QString& path, std::int32_t bytes);

/// Size in bytes of what the expanded Name names (a directory counts as 0),
/// -1 when nothing of that name exists. A file of 2 GiB or more gives
/// 2147483647. Never raises.
std::int32_t FileSizeByName(const QString& name);

// ---------------------------------------------------------------------------
// Drawing

/// The process-wide lock the library's bitmap drawing routines (tiling)
/// hold while they draw.
TCriticalSection& BitmapDrawLock();
