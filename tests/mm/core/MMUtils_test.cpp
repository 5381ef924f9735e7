#include "mm/core/MMUtils.h"
#include "platform/kernel/Clock.h"
#include "platform/kernel/SyncObjs.h"
#include "platform/kernel/Threads.h"
#include "platform/ui/Classes.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/FormWriter.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMetaEnum>
#include <QMetaProperty>
#include <QTimer>
#include <array>
#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <thread>
#include <vector>

// Publishes the enumerations the way components do.
class TEnumHolder : public QObject {
    Q_OBJECT
    Q_PROPERTY(MMEnums::TMMMode Mode READ Mode WRITE SetMode)
    Q_PROPERTY(MMEnums::TMMBits BitLength READ BitLength WRITE SetBitLength)
    Q_PROPERTY(MMEnums::TMMCBMode CallBackMode READ CallBackMode WRITE SetCallBackMode)
    Q_PROPERTY(MMEnums::TMMFFTWindow Window READ Window WRITE SetWindow)
public:
    TMMMode Mode() const { return FMode; }
    void SetMode(TMMMode value) { FMode = value; }
    TMMBits BitLength() const { return FBitLength; }
    void SetBitLength(TMMBits value) { FBitLength = value; }
    TMMCBMode CallBackMode() const { return FCallBackMode; }
    void SetCallBackMode(TMMCBMode value) { FCallBackMode = value; }
    TMMFFTWindow Window() const { return FWindow; }
    void SetWindow(TMMFFTWindow value) { FWindow = value; }

private:
    TMMMode FMode = mMono;
    TMMBits FBitLength = b8Bit;
    TMMCBMode FCallBackMode = cmWindow;
    TMMFFTWindow FWindow = fwRectangular;
};

// A component publishing a device number, as the wave input does.
class TDeviceHolder : public TComponent {
    Q_OBJECT
    Q_PROPERTY(TMMDeviceId DeviceID READ DeviceID WRITE SetDeviceID)
    Q_PROPERTY(MMEnums::TMMMode Mode READ Mode WRITE SetMode)
public:
    explicit TDeviceHolder(TComponent* owner)
        : TComponent(owner)
    {
        RegisterMMUtilsTypes();
    }
    TMMDeviceId DeviceID() const { return FDeviceID; }
    void SetDeviceID(TMMDeviceId value) { FDeviceID = value; }
    TMMMode Mode() const { return FMode; }
    void SetMode(TMMMode value) { FMode = value; }

private:
    TMMDeviceId FDeviceID = TMMDeviceId(0);
    TMMMode FMode = mMono;
};

namespace {

// ---------------------------------------------------------------------------
// Elapsed time

TEST(FormatElapsedTime, GivesTheDocumentedTexts)
{
    struct Case {
        std::int64_t Milliseconds;
        const char* WithMs;
        const char* WithoutMs;
    };
    const Case cases[] = {
        { 0, "0:00.000", "0:00" },
        { 65432, "1:05.432", "1:05" },
        { 3723004, "1:02:03.004", "1:02:03" },
        { 90061001, "1:01:01:01.001", "1:01:01:01" },
        { 3599999, "59:59.999", "59:59" },
        { 3600000, "1:00:00.000", "1:00:00" },
        { 86400000, "1:00:00:00.000", "1:00:00:00" },
        { 86399999, "23:59:59.999", "23:59:59" },
        { 999, "0:00.999", "0:00" },
        { 600000, "10:00.000", "10:00" },
        { 36000000, "10:00:00.000", "10:00:00" },
        // Weeks of recording: the day count just grows.
        { 1234LL * 86400000 + 5 * 3600000 + 6 * 60000 + 7 * 1000 + 8, "1234:05:06:07.008", "1234:05:06:07" },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatElapsedTime(c.Milliseconds, true).toStdString(), c.WithMs) << c.Milliseconds;
        EXPECT_EQ(FormatElapsedTime(c.Milliseconds, false).toStdString(), c.WithoutMs) << c.Milliseconds;
    }
}

TEST(FormatElapsedTime, NegativeTimesShowTheirTruncatedFields)
{
    EXPECT_EQ(FormatElapsedTime(-65432, true).toStdString(), "-1:-05.-432");
    EXPECT_EQ(FormatElapsedTime(-1, true).toStdString(), "0:00.-001");
    EXPECT_EQ(FormatElapsedTime(-4000000, false).toStdString(), "-66:-40");
}

TEST(FormatElapsedTime, TheLargestValuesDoNotOverflowTheText)
{
    EXPECT_EQ(FormatElapsedTime(INT64_MAX, true).toStdString(), "106751991167:07:12:55.807");
    EXPECT_EQ(FormatElapsedTime(INT64_MIN, true).toStdString(), "-153722867280912:-55.-808");
}

// ---------------------------------------------------------------------------
// Messages

TEST(LoadLibStr, EveryLibraryMessageHasItsText)
{
    const std::pair<int, const char*> messages[] = {
        { 6, "Unknown" },
        { 60, "Change to property while device was open" },
        { 61, "Invalid DeviceID" },
        { 64, "Unable to allocate memory for wave header" },
        { 86, "Specified error number is out of range (unknown error)" },
        { 87, "The actual device can''t record this format" },
        { 88, "Could not create thread" },
        { 89, "Invalid wave format" },
        { 130, "Error reading wave file" },
        { 131, "Can't write to MemoryWave" },
        { 133, "Invalid wave file..." },
        { 137, "Unable to setup file IO buffer" },
        { 138, "Unable to open wave file" },
        { 139, "Unable to create wave file" },
        { 160, "No wave audio recording device found" },
        { 162, "Unable to open device" },
        { 163, "Unable to close device" },
    };
    for (const auto& [number, text] : messages) {
        EXPECT_EQ(LoadLibStr(number).toStdString(), text) << number;
        EXPECT_EQ(LoadStr(28000 + number), LoadLibStr(number));
    }
}

TEST(LoadLibStr, UnknownNumbersGiveEmptyText)
{
    EXPECT_TRUE(LoadLibStr(0).isEmpty());
    EXPECT_TRUE(LoadLibStr(-28000).isEmpty());
    EXPECT_TRUE(LoadLibStr(999).isEmpty());
    EXPECT_TRUE(LoadStr(88).isEmpty()) << "the library's messages live at 28000 + n only";
}

TEST(LoadLibStr, TheCompiledTableIsTheSourceFile)
{
    QFile file(tonvara::test::SourceDir() + "/resources/strings/LibStrings.txt");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    int entries = 0;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw);
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const qsizetype tab = line.indexOf('\t');
        ASSERT_GT(tab, 0) << line.toStdString();
        EXPECT_EQ(LoadStr(line.left(tab).toInt()), line.mid(tab + 1));
        ++entries;
    }
    EXPECT_EQ(entries, 18);
}

// ---------------------------------------------------------------------------
// Enumerations and device numbers

template <class E> std::vector<std::string> Keys()
{
    const QMetaEnum meta = QMetaEnum::fromType<E>();
    std::vector<std::string> keys;
    for (int i = 0; i < meta.keyCount(); ++i) {
        EXPECT_EQ(meta.value(i), i) << "ordinals count from 0 in order";
        keys.emplace_back(meta.key(i));
    }
    return keys;
}

TEST(MMEnums, ValueNamesAndOrdinals)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(Keys<TMMBits>(), (V { "b8Bit", "b16Bit" }));
    EXPECT_EQ(Keys<TMMMode>(), (V { "mMono", "mStereo" }));
    EXPECT_EQ(Keys<TMMChannel>(), (V { "chBoth", "chLeft", "chRight" }));
    EXPECT_EQ(Keys<TMMDecayMode>(), (V { "dmNone", "dmStepUp", "dmExponential", "dmUniform" }));
    EXPECT_EQ(Keys<TMMTimeFormats>(), (V { "tfMillisecond", "tfByte", "tfSample" }));
    EXPECT_EQ(Keys<TMMCBMode>(), (V { "cmWindow", "cmCallback", "cmThread" }));
    EXPECT_EQ(Keys<TMMFFTWindow>(),
        (V { "fwRectangular", "fwHamming", "fwHanning", "fwBlackman", "fwGaussian", "fwWelch", "fwParzen" }));
    static_assert(sizeof(TMMBits) == 1 && sizeof(TMMMode) == 1 && sizeof(TMMFFTWindow) == 1);
    // The ordinals that build formats: bytes per sample - 1, channels - 1.
    static_assert(b16Bit + 1 == 2 && mStereo + 1 == 2);
}

TEST(MMEnums, PublishedPropertiesReadAndWriteValueNames)
{
    TEnumHolder holder;
    const QMetaObject* meta = holder.metaObject();
    const QMetaProperty mode = meta->property(meta->indexOfProperty("Mode"));
    ASSERT_TRUE(mode.isEnumType());
    EXPECT_STREQ(mode.enumerator().name(), "TMMMode");
    EXPECT_TRUE(holder.setProperty("Mode", QStringLiteral("mStereo")));
    EXPECT_EQ(holder.Mode(), mStereo);
    EXPECT_TRUE(holder.setProperty("CallBackMode", QStringLiteral("cmThread")));
    EXPECT_EQ(holder.CallBackMode(), cmThread);
    EXPECT_TRUE(holder.setProperty("Window", QStringLiteral("fwParzen")));
    EXPECT_EQ(holder.Window(), fwParzen);
    holder.SetBitLength(b16Bit);
    const QMetaProperty bits = meta->property(meta->indexOfProperty("BitLength"));
    EXPECT_STREQ(bits.enumerator().valueToKey(bits.read(&holder).toInt()), "b16Bit");
}

TEST(TMMDeviceId, StoredFormsReadTheIdentifiersInAnyCase)
{
    RegisterMMUtilsTypes();
    RegisterMMUtilsTypes();
    const QMetaType type = QMetaType::fromType<TMMDeviceId>();
    ASSERT_TRUE(HasIntegerIdents(type));
    EXPECT_EQ(type.sizeOf(), 4);
    for (const char* text : { "MapperId", "mapperid", "MAPPERID", "mApPeRiD" }) {
        long long value = 0;
        ASSERT_TRUE(IdentToInt(type, QString::fromLatin1(text), value)) << text;
        EXPECT_EQ(value, -1) << text;
    }
    for (const char* text : { "InvalidId", "invalidID", "INVALIDID" }) {
        long long value = 0;
        ASSERT_TRUE(IdentToInt(type, QString::fromLatin1(text), value)) << text;
        EXPECT_EQ(value, -2) << text;
    }
    long long value = 0;
    EXPECT_FALSE(IdentToInt(type, QStringLiteral("Mapper"), value));

    QString ident;
    ASSERT_TRUE(IntToIdent(type, -1, ident));
    EXPECT_EQ(ident, QStringLiteral("MapperId"));
    ASSERT_TRUE(IntToIdent(type, -2, ident));
    EXPECT_EQ(ident, QStringLiteral("InvalidId"));
    EXPECT_FALSE(IntToIdent(type, 0, ident)) << "device numbers are written as numbers";
    EXPECT_FALSE(IntToIdent(type, 3, ident));
    EXPECT_FALSE(IntToIdent(QMetaType::fromType<int>(), -1, ident)) << "plain ints keep their numbers";
}

TEST(TMMDeviceId, AStoredFormReadsMapperIdInAnyLetterCase)
{
    RegisterClass<TDeviceHolder>();
    TComponent owner(nullptr);
    const std::pair<const char*, int> cases[] = { { "mApPeRiD", -1 }, { "MAPPERID", -1 }, { "MapperId", -1 },
        { "invalidid", -2 }, { "3", 3 }, { "-1", -1 } };
    for (const auto& [text, value] : cases) {
        const QByteArray form
            = QByteArray("object Dev: TDeviceHolder\n  DeviceID = ") + text + "\n  Mode = mStereo\nend\n";
        std::unique_ptr<TComponent> made(ReadComponentFromText(form, &owner));
        auto* holder = qobject_cast<TDeviceHolder*>(made.get());
        ASSERT_NE(holder, nullptr) << text;
        EXPECT_EQ(holder->DeviceID(), value) << text;
        EXPECT_EQ(holder->Mode(), mStereo);
    }
    EXPECT_THROW(
        ReadComponentFromText("object Dev: TDeviceHolder\n  DeviceID = Mapper\nend\n", &owner), EReadError);
}

TEST(TMMDeviceId, AStoredFormWritesTheIdentifiersAndOtherwiseNumbers)
{
    TDeviceHolder holder(nullptr);
    holder.SetName("Dev");
    holder.SetDeviceID(MapperId);
    holder.SetMode(mStereo);
    QByteArray text = ComponentToText(&holder);
    EXPECT_TRUE(text.contains("DeviceID = MapperId")) << text.toStdString();
    EXPECT_TRUE(text.contains("Mode = mStereo")) << text.toStdString();
    holder.SetDeviceID(InvalidId);
    text = ComponentToText(&holder);
    EXPECT_TRUE(text.contains("DeviceID = InvalidId")) << text.toStdString();
    holder.SetDeviceID(TMMDeviceId(2));
    text = ComponentToText(&holder);
    EXPECT_TRUE(text.contains("DeviceID = 2\n")) << text.toStdString();
}

// ---------------------------------------------------------------------------
// Integer routines

TEST(Limit, LowerBoundIsTestedFirst)
{
    EXPECT_EQ(Limit(5, 10, 0), 10);
    EXPECT_EQ(LimitAny(5, 10, 0), 5);
    EXPECT_EQ(Limit(5, 0, 10), 5);
    EXPECT_EQ(Limit(-3, 0, 10), 0);
    EXPECT_EQ(Limit(11, 0, 10), 10);
    EXPECT_EQ(Limit(INT_MIN, INT_MIN, INT_MAX), INT_MIN);
    EXPECT_EQ(LimitAny(-20, 10, -10), -10);
    EXPECT_EQ(LimitAny(20, 10, -10), 10);
    EXPECT_EQ(LimitAny(7, 7, 7), 7);
}

TEST(InRange, BoundsIncludedAndOrderedForAny)
{
    EXPECT_TRUE(InRange(0, 0, 10));
    EXPECT_TRUE(InRange(10, 0, 10));
    EXPECT_FALSE(InRange(11, 0, 10));
    EXPECT_FALSE(InRange(5, 10, 0));
    EXPECT_TRUE(InRangeAny(5, 10, 0));
    EXPECT_FALSE(InRangeAny(-1, 10, 0));
    EXPECT_EQ(Min(-1, 1), -1);
    EXPECT_EQ(Max(-1, 1), 1);
    EXPECT_EQ(Min(INT_MIN, INT_MAX), INT_MIN);
}

TEST(RoutineReferences, CanBeReplacedAsAWhole)
{
    const auto original = Limit;
    Limit = [](std::int32_t, std::int32_t, std::int32_t) -> std::int32_t { return 42; };
    EXPECT_EQ(Limit(1, 2, 3), 42);
    Limit = original;
    EXPECT_EQ(Limit(5, 10, 0), 10);
}

TEST(Swaps, ExchangeValues)
{
    std::uint16_t a = 1, b = 0xFFFF;
    SwapWord(a, b);
    EXPECT_EQ(a, 0xFFFF);
    EXPECT_EQ(b, 1);
    std::int32_t c = INT_MIN, d = 7;
    SwapLong(c, d);
    EXPECT_EQ(c, 7);
    EXPECT_EQ(d, INT_MIN);
    char buffer[16];
    void* p = buffer;
    IncPtr(p, 5);
    EXPECT_EQ(p, buffer + 5);
    IncPtr(p, -3);
    EXPECT_EQ(p, buffer + 2);
}

TEST(MoveMem, OverlappingBlocksCopyCorrectlyBothWays)
{
    for (int shift : { 1, 3, 4, 7, 64 }) {
        for (int count : { 1, 5, 16, 100 }) {
            std::vector<std::uint8_t> up(300), down(300), expected(300);
            for (int i = 0; i < 300; ++i)
                up[i] = down[i] = static_cast<std::uint8_t>(i * 7 + 1);

            // Dest above Source: must copy from the end.
            expected = up;
            std::vector<std::uint8_t> source(up.begin() + 10, up.begin() + 10 + count);
            std::copy(source.begin(), source.end(), expected.begin() + 10 + shift);
            MoveMem(up.data() + 10, up.data() + 10 + shift, count);
            EXPECT_EQ(up, expected) << "up, shift " << shift << " count " << count;

            // Dest below Source.
            expected = down;
            source.assign(down.begin() + 100, down.begin() + 100 + count);
            std::copy(source.begin(), source.end(), expected.begin() + 100 - shift);
            MoveMem(down.data() + 100, down.data() + 100 - shift, count);
            EXPECT_EQ(down, expected) << "down, shift " << shift << " count " << count;
        }
    }
    std::array<std::uint8_t, 4> untouched { 1, 2, 3, 4 };
    MoveMem(untouched.data(), untouched.data() + 1, 0);
    MoveMem(untouched.data(), untouched.data() + 1, -5);
    EXPECT_EQ(untouched, (std::array<std::uint8_t, 4> { 1, 2, 3, 4 }));
}

TEST(FillMem, BytesAndWordPatternsExactly)
{
    for (int count = 0; count <= 11; ++count) {
        for (int offset = 0; offset < 4; ++offset) {
            std::array<std::uint8_t, 20> buffer;
            buffer.fill(0xEE);
            FillMemLong(buffer.data() + offset, count, 0x44332211);
            for (int i = 0; i < 20; ++i) {
                const int at = i - offset;
                std::uint8_t want = 0xEE;
                if (at >= 0 && at < count)
                    want = at < count / 4 * 4 ? static_cast<std::uint8_t>(0x11 * (at % 4 + 1)) : 0x11;
                EXPECT_EQ(buffer[i], want) << "count " << count << " offset " << offset << " byte " << i;
            }
        }
    }
    std::array<std::uint8_t, 8> buffer;
    buffer.fill(0);
    FillMemLong(buffer.data(), -1, 0xFFFFFFFF);
    FillMemByte(buffer.data(), -1, 0xFF);
    FillMemByte(buffer.data(), 0, 0xFF);
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 8> {}));
    FillMemByte(buffer.data() + 2, 3, 0xAB);
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 8> { 0, 0, 0xAB, 0xAB, 0xAB, 0, 0, 0 }));
}

TEST(CompareMem, ComparesExactlyCountBytes)
{
    const char a[] = "abcdef";
    const char b[] = "abcxef";
    EXPECT_TRUE(CompareMem(a, b, 3));
    EXPECT_FALSE(CompareMem(a, b, 4));
    EXPECT_TRUE(CompareMem(a, b, 0));
    EXPECT_TRUE(CompareMem(a, b, -1));
}

TEST(MulDiv32, TruncatesTowardZeroWithA64BitProduct)
{
    EXPECT_EQ(MulDiv32(7, 1, 2), 3);
    EXPECT_EQ(MulDiv32(-7, 1, 2), -3);
    EXPECT_EQ(MulDiv32(7, 1, -2), -3);
    EXPECT_EQ(MulDiv32(100000, 100000, 100000), 100000) << "the product needs 64 bits";
    EXPECT_EQ(MulDiv32(INT_MAX, INT_MAX, INT_MAX), INT_MAX);
    EXPECT_EQ(MulDiv32(INT_MIN, 2, 2), INT_MIN);
    // 48000 Hz stereo 16 bit: bytes of one hour of audio, in milliseconds.
    EXPECT_EQ(MulDiv32(691200000, 1000, 192000), 3600000);
}

TEST(MulDiv32, OverflowAndDivisionByZeroRaise)
{
    try {
        MulDiv32(1, 1, 0);
        FAIL() << "no exception";
    } catch (const EDivByZero& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Division by zero"));
    }
    try {
        MulDiv32(INT_MAX, 2, 1);
        FAIL() << "no exception";
    } catch (const EIntOverflow& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Integer overflow"));
    }
    EXPECT_THROW(MulDiv32(INT_MIN, -1, 1), EIntOverflow);
    EXPECT_THROW(MulDivRound(1, 1, 0), EDivByZero);
    EXPECT_THROW(MulDivRound(INT_MAX, 3, 2), EIntOverflow);
}

TEST(MulDivRound, HalvesGoAwayFromZero)
{
    EXPECT_EQ(MulDivRound(7, 1, 2), 4);
    EXPECT_EQ(MulDivRound(5, 1, 2), 3);
    EXPECT_EQ(MulDivRound(-7, 1, 2), -4);
    EXPECT_EQ(MulDivRound(-5, 1, 2), -3);
    EXPECT_EQ(MulDivRound(7, 1, -2), -4);
    EXPECT_EQ(MulDivRound(-7, 1, -2), 4);
    EXPECT_EQ(MulDivRound(4, 1, 3), 1);
    EXPECT_EQ(MulDivRound(5, 1, 3), 2);
    EXPECT_EQ(MulDivRound(-5, 1, 3), -2);
    EXPECT_EQ(MulDivRound(INT_MAX, INT_MAX, INT_MAX), INT_MAX);
    EXPECT_EQ(MulDivRound(1999999999, 3, 4), 1499999999) << "1 499 999 999.25";
    EXPECT_EQ(MulDivRound(2000000001, 3, 4), 1500000001) << "1 500 000 000.75";
}

TEST(MulDiv64, RoundsHalvesToEvenInExtendedPrecision)
{
    EXPECT_EQ(MulDiv64(5, 1, 2), 2);
    EXPECT_EQ(MulDiv64(7, 1, 2), 4);
    EXPECT_EQ(MulDiv64(-5, 1, 2), -2);
    EXPECT_EQ(MulDiv64(-7, 1, 2), -4);
    EXPECT_EQ(MulDiv64(10, 1, 3), 3);
    EXPECT_EQ(MulDiv64(11, 1, 3), 4);
    const std::int64_t big = 1LL << 40;
    EXPECT_EQ(MulDiv64(big, big, big), big) << "the product exceeds 64 bits";
    // A week of 48 kHz stereo 16-bit bytes to milliseconds.
    EXPECT_EQ(MulDiv64(116121600000LL, 1000, 192000), 604800000LL);
    EXPECT_EQ(MulDiv64(INT64_MAX, 1, 1), INT64_MAX) << "2^63 - 1 is exact in 64 mantissa bits";
    EXPECT_THROW(MulDiv64(1, 1, 0), EDivByZero);
    EXPECT_THROW(MulDiv64(INT64_MAX, 2, 1), EIntOverflow);
    EXPECT_EQ(MulDiv64(INT64_MIN, 1, 1), INT64_MIN);
}

TEST(ShiftRight, IsArithmeticAndCountsModulo32)
{
    EXPECT_EQ(ShiftRight(-8, 1), -4);
    EXPECT_EQ(ShiftRight(-1, 31), -1);
    EXPECT_EQ(ShiftRight(0x40000000, 30), 1);
    EXPECT_EQ(ShiftRight(256, 33), 128);
    EXPECT_EQ(ShiftRight(256, 32), 256);
    EXPECT_EQ(ShiftRight(INT_MIN, -1), -1) << "-1 counts as 31";
}

TEST(FloatRoutines, ExtendedPrecisionHelpers)
{
    EXPECT_EQ(MaxF(1.0L, 2.0L), 2.0L);
    EXPECT_EQ(MaxF(2.0L, 1.0L), 2.0L);
    EXPECT_EQ(LimitF(5.0L, 10.0L, 0.0L), 10.0L);
    EXPECT_EQ(LimitF(-0.5L, -1.0L, 1.0L), -0.5L);
    EXPECT_EQ(Floor(2.5L), 2);
    EXPECT_EQ(Floor(-2.5L), -3);
    EXPECT_EQ(Floor(-3.0L), -3);
    EXPECT_EQ(Floor(1e30L), INT64_MAX);
    EXPECT_NEAR(static_cast<double>(Ln(std::exp(1.0L))), 1.0, 1e-15);
    EXPECT_EQ(Log2(1024.0L), 10.0L);
    EXPECT_NEAR(static_cast<double>(Log10(1000.0L)), 3.0, 1e-15);
    EXPECT_NEAR(static_cast<double>(Power(2.0L, 10.0L)), 1024.0, 1e-12);
    EXPECT_NEAR(static_cast<double>(Power(10.0L, -2.0L)), 0.01, 1e-15);
    EXPECT_EQ(Power(0.0L, 2.0L), 0.0L);
    EXPECT_EQ(Power(0.0L, 0.0L), 1.0L);
    EXPECT_EQ(Power(5.0L, 0.0L), 1.0L);
}

TEST(Pad, PlacesTheTextInAFieldOfWidth)
{
    EXPECT_EQ(PadCenter("ab", '*', 7), QStringLiteral("**ab***"));
    EXPECT_EQ(PadCenter("ab", '*', 6), QStringLiteral("**ab**"));
    EXPECT_EQ(PadLeft("ab", ' ', 5), QStringLiteral("   ab"));
    EXPECT_EQ(PadRight("ab", '.', 5), QStringLiteral("ab..."));
    EXPECT_EQ(PadLeft("abcdef", ' ', 3), QStringLiteral("abcdef"));
    EXPECT_EQ(PadCenter("abc", '-', 3), QStringLiteral("abc"));
    EXPECT_EQ(PadRight("", '0', 2), QStringLiteral("00"));
    EXPECT_EQ(PadLeft("x", ' ', 0), QStringLiteral("x"));
    EXPECT_EQ(PadLeft("x", ' ', -4), QStringLiteral("x"));
}

// ---------------------------------------------------------------------------
// Memory

TEST(GlobalMemory, ZeroFilledBlocksAndNulledPointers)
{
    auto* block = static_cast<std::uint8_t*>(GlobalAllocMem(4096));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 4096; ++i)
        ASSERT_EQ(block[i], 0) << i;
    std::memset(block, 0x5A, 4096);
    GlobalReAllocMem(block, 100);
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(block[i], 0) << "contents are not kept";
    GlobalFreeMem(block);
    EXPECT_EQ(block, nullptr);
    GlobalFreeMem(block);
    EXPECT_EQ(block, nullptr);
    void* empty = GlobalAllocMem(0);
    EXPECT_NE(empty, nullptr);
    GlobalFreeMem(empty);
}

TEST(GlobalMemory, FailureRaisesOutOfMemory)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators abort on impossible sizes";
#else
    void* p = nullptr;
    try {
        p = GlobalAllocMem(SIZE_MAX / 2);
        FAIL() << "no exception";
    } catch (const EOutOfMemory& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Out of memory"));
    }
    EXPECT_EQ(p, nullptr);
    void* q = GlobalAllocMem(16);
    EXPECT_THROW(GlobalReAllocMem(q, SIZE_MAX / 2), EOutOfMemory);
    EXPECT_EQ(q, nullptr) << "the old block is gone either way";
#endif
}

// ---------------------------------------------------------------------------
// Clock and waiting

TEST(MicroTime, IsThePerformanceCounterInMicroseconds)
{
    LARGE_INTEGER before {}, after {};
    QueryPerformanceCounter(&before);
    const std::int64_t micro = MicroTime();
    QueryPerformanceCounter(&after);
    EXPECT_GE(micro, before.QuadPart / 1000);
    EXPECT_LE(micro, after.QuadPart / 1000);
    std::int64_t last = micro;
    for (int i = 0; i < 1000; ++i) {
        const std::int64_t now = MicroTime();
        ASSERT_GE(now, last);
        last = now;
    }
}

TEST(Delay, WithoutMessagesSleepsAndLeavesEventsQueued)
{
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    const std::int64_t start = MicroTime();
    Delay(30, false);
    EXPECT_GE(MicroTime() - start, 30000);
    EXPECT_FALSE(ran) << "no message processing was asked for";
    QCoreApplication::processEvents();
    EXPECT_TRUE(ran);
    Delay(0, true);
}

TEST(Delay, WithMessagesServesTimersAndBlockingCallsFromOtherThreads)
{
    int timerRuns = 0;
    QTimer::singleShot(5, [&] { ++timerRuns; });
    std::atomic<bool> callDone { false };
    std::atomic<bool> ranInMain { false };
    const DWORD mainThread = GetCurrentThreadId();
    TEvent workerReady(true, false);
    std::thread worker([&] {
        workerReady.SetEvent();
        // As a worker's synchronise call does: blocks until the main thread ran it.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [&] { ranInMain = GetCurrentThreadId() == mainThread; },
            Qt::BlockingQueuedConnection);
        callDone = true;
    });
    ASSERT_EQ(workerReady.WaitFor(10000), wrSignaled);
    const std::int64_t start = MicroTime();
    Delay(200, true);
    const std::int64_t waited = MicroTime() - start;
    worker.join();
    EXPECT_TRUE(callDone.load()) << "Delay must serve the blocking call";
    EXPECT_TRUE(ranInMain.load());
    EXPECT_EQ(timerRuns, 1);
    EXPECT_GE(waited, 200000) << "and still wait its whole time";
}

TEST(Delay, WithMessagesInAThreadWithoutEventLoopJustSleeps)
{
    std::int64_t waited = 0;
    std::thread([&] {
        const std::int64_t start = MicroTime();
        Delay(20, true);
        waited = MicroTime() - start;
    }).join();
    EXPECT_GE(waited, 20000);
}

// ---------------------------------------------------------------------------
// Disk

std::pair<std::int64_t, std::int64_t> StatvfsFreeAndTotal(const QString& directory)
{
    struct statvfs volume { };
    EXPECT_EQ(statvfs(QFile::encodeName(directory).constData(), &volume), 0);
    return { static_cast<std::int64_t>(volume.f_bavail) * volume.f_frsize,
        static_cast<std::int64_t>(volume.f_blocks) * volume.f_frsize };
}

TEST(DiskFreeSpace, AsksForTheDirectoryOfAFileName)
{
    const QString directory = tonvara::test::MakeTempDir("diskfree");
    std::int64_t free = -5, total = -5;
    ASSERT_TRUE(DiskFreeSpace(directory + "/Tarih_01_02_2024_Saat_10:00:00.wav", free, total));
    const auto [wantFree, wantTotal] = StatvfsFreeAndTotal(directory);
    EXPECT_EQ(total, wantTotal);
    EXPECT_LT(std::llabs(free - wantFree), 256LL << 20) << "other programs write meanwhile";
    EXPECT_GT(free, 0);

    // A bare file name is in the current directory, colons and all.
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(directory));
    EXPECT_TRUE(DiskFreeSpace("Saat_10:00:00.wav", free, total));
    EXPECT_EQ(total, wantTotal);
    EXPECT_TRUE(EnoughDiskSpace("Saat_10:00:00.wav", 0));
    EXPECT_TRUE(EnoughDiskSpace("Saat_10:00:00.wav", 4096));
    QDir::setCurrent(previous);
}

TEST(DiskFreeSpace, FailureGivesZeroOfOneAndFalse)
{
    const QString directory = tonvara::test::MakeTempDir("diskfree");
    std::int64_t free = 123, total = 456;
    EXPECT_FALSE(DiskFreeSpace(directory + "/missing/file.wav", free, total));
    EXPECT_EQ(free, 0);
    EXPECT_EQ(total, 1);
    EXPECT_FALSE(EnoughDiskSpace(directory + "/missing/file.wav", 0));
    EXPECT_FALSE(EnoughDiskSpace(directory + "/missing/file.wav", -1)) << "a failed query is never enough";
}

TEST(DiskFreeSpace, EnoughComparesWithTheFreeBytes)
{
    const QString directory = tonvara::test::MakeTempDir("diskfree");
    std::int64_t free = 0, total = 0;
    ASSERT_TRUE(DiskFreeSpace(directory + "/x.wav", free, total));
    EXPECT_TRUE(EnoughDiskSpace(directory + "/x.wav", -1));
    EXPECT_TRUE(EnoughDiskSpace(directory + "/x.wav", INT_MIN));
    if (free > (1LL << 31) + (256LL << 20)) {
        EXPECT_TRUE(EnoughDiskSpace(directory + "/x.wav", INT_MAX));
    } else if (free < INT_MAX - (256LL << 20)) {
        EXPECT_FALSE(EnoughDiskSpace(directory + "/x.wav", INT_MAX));
    }
}

TEST(FileSizeByName, SizeOfTheExpandedNameOrMinusOne)
{
    const QString directory = tonvara::test::MakeTempDir("filesize");
    QFile file(directory + "/Saat_10:00:00.wav");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(4660, '\0'));
    file.close();
    EXPECT_EQ(FileSizeByName(file.fileName()), 4660);
    EXPECT_EQ(FileSizeByName(directory + "/sub/../Saat_10:00:00.wav"), 4660);
    EXPECT_EQ(FileSizeByName(directory + "/nothing.wav"), -1);
    EXPECT_EQ(FileSizeByName(QString()), -1);
    EXPECT_EQ(FileSizeByName(directory), 0);
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(directory));
    EXPECT_EQ(FileSizeByName("Saat_10:00:00.wav"), 4660);
    QDir::setCurrent(previous);
}

TEST(FileSizeByName, FilesOf2GiBAndMoreSaturate)
{
    const QString directory = tonvara::test::MakeTempDir("filesize");
    QFile file(directory + "/sparse.wav");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_TRUE(file.resize((1LL << 32) + 10)) << "a sparse file takes no space";
    file.close();
    EXPECT_EQ(FileSizeByName(file.fileName()), INT_MAX);
    file.remove();
}

TEST(BitmapDrawLock, IsOneRecursiveProcessWideLock)
{
    TCriticalSection& lock = BitmapDrawLock();
    EXPECT_EQ(&lock, &BitmapDrawLock());
    TCriticalSectionLock outer(lock);
    TCriticalSectionLock inner(lock);
    std::atomic<bool> otherGotIt { true };
    std::thread([&] { otherGotIt = lock.TryEnter(); }).join();
    EXPECT_FALSE(otherGotIt.load());
}

} // namespace

#include "MMUtils_test.moc"
