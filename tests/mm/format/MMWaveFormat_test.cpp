#include "mm/format/MMWaveFormat.h"
#include "platform/kernel/FormatSettings.h"
#include "support/TestSupport.h"
#include "support/WaveFormats.h"

#include <QProcess>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <string>

namespace {

using tonvara::test::GsmFormat;

WAVEFORMATEX Pcm(WORD bits, WORD channels, DWORD rate)
{
    WAVEFORMATEX f {};
    BuildPCMFormat(&f, bits, channels, rate);
    return f;
}

TEST(MMWaveFormat, SizeIsEighteenForPcmAndEighteenPlusExtraOtherwise)
{
    EXPECT_EQ(WaveFormatSize(nullptr), 0u);
    WAVEFORMATEX pcm = Pcm(16, 2, 48000);
    pcm.cbSize = 22;
    EXPECT_EQ(WaveFormatSize(&pcm), 18u) << "PCM ignores its cbSize";
    const GSM610WAVEFORMAT gsm = GsmFormat();
    EXPECT_EQ(WaveFormatSize(&gsm.wfx), 20u);
}

TEST(MMWaveFormat, CopyTakesTheWholeRecordAndClearsPcmExtraSize)
{
    EXPECT_EQ(CopyWaveFormat(nullptr), nullptr);
    const GSM610WAVEFORMAT gsm = GsmFormat();
    PWAVEFORMATEX copy = CopyWaveFormat(&gsm.wfx);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::memcmp(copy, &gsm, sizeof(gsm)), 0);
    EXPECT_EQ(reinterpret_cast<GSM610WAVEFORMAT*>(copy)->wSamplesPerBlock, 320);
    FreeWaveFormat(copy);
    EXPECT_EQ(copy, nullptr);

    WAVEFORMATEX pcm = Pcm(8, 1, 8000);
    pcm.cbSize = 9;
    copy = CopyWaveFormat(&pcm);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->cbSize, 0);
    EXPECT_EQ(std::memcmp(copy, &pcm, 16), 0);
    FreeWaveFormat(copy);
}

TEST(MMWaveFormat, PcmTestChecksTagBitsChannelsAndRateBounds)
{
    EXPECT_FALSE(IsPCMFormat(nullptr));
    WAVEFORMATEX f = Pcm(16, 2, 48000);
    EXPECT_TRUE(IsPCMFormat(&f));
    for (DWORD rate : { 4000u, 100000u }) {
        f = Pcm(8, 1, rate);
        EXPECT_TRUE(IsPCMFormat(&f)) << rate;
    }
    for (DWORD rate : { 3999u, 100001u }) {
        f = Pcm(8, 1, rate);
        EXPECT_FALSE(IsPCMFormat(&f)) << rate;
    }
    f = Pcm(24, 2, 48000);
    EXPECT_FALSE(IsPCMFormat(&f));
    f = Pcm(16, 3, 48000);
    EXPECT_FALSE(IsPCMFormat(&f));
    f = Pcm(16, 0, 48000);
    EXPECT_FALSE(IsPCMFormat(&f));
    f = Pcm(16, 2, 48000);
    f.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    EXPECT_FALSE(IsPCMFormat(&f));
    const GSM610WAVEFORMAT gsm = GsmFormat();
    EXPECT_FALSE(IsPCMFormat(&gsm.wfx));
}

TEST(MMWaveFormat, BuildPcmFillsTheEighteenBytes)
{
    WAVEFORMATEX f;
    std::memset(&f, 0xAB, sizeof(f));
    BuildPCMFormat(&f, 16, 2, 48000);
    const BYTE expected[18] = { 1, 0, 2, 0, 0x80, 0xBB, 0, 0, 0x00, 0xEE, 0x02, 0, 4, 0, 16, 0, 0, 0 };
    EXPECT_EQ(std::memcmp(&f, expected, 18), 0);
    BuildPCMFormat(&f, 8, 1, 8000);
    EXPECT_EQ(f.nBlockAlign, 1);
    EXPECT_EQ(f.nAvgBytesPerSec, 8000u);
    // The block size is computed in 16 bits: 4096 channels of 16 bits wrap to 0.
    BuildPCMFormat(&f, 16, 4096, 8000);
    EXPECT_EQ(f.nBlockAlign, 0);
    EXPECT_EQ(f.nAvgBytesPerSec, 0u);
    BuildPCMFormat(nullptr, 16, 2, 48000);
}

TEST(MMWaveFormat, ValidityAndEquality)
{
    EXPECT_FALSE(IsValidWaveFormat(nullptr));
    WAVEFORMATEX f = Pcm(16, 2, 48000);
    EXPECT_TRUE(IsValidWaveFormat(&f));
    for (int field = 0; field < 4; ++field) {
        WAVEFORMATEX bad = f;
        if (field == 0)
            bad.nChannels = 0;
        if (field == 1)
            bad.nSamplesPerSec = 0;
        if (field == 2)
            bad.nAvgBytesPerSec = 0;
        if (field == 3)
            bad.nBlockAlign = 0;
        EXPECT_FALSE(IsValidWaveFormat(&bad)) << field;
    }
    const GSM610WAVEFORMAT gsm = GsmFormat();
    EXPECT_TRUE(IsValidWaveFormat(&gsm.wfx));

    EXPECT_TRUE(WaveFormatsEqual(nullptr, nullptr));
    EXPECT_FALSE(WaveFormatsEqual(&f, nullptr));
    WAVEFORMATEX g = f;
    EXPECT_TRUE(WaveFormatsEqual(&f, &g));
    g.nAvgBytesPerSec += 1;
    EXPECT_FALSE(WaveFormatsEqual(&f, &g));
    GSM610WAVEFORMAT other = gsm;
    other.wSamplesPerBlock = 160;
    EXPECT_FALSE(WaveFormatsEqual(&gsm.wfx, &other.wfx)) << "the extra bytes count";
}

TEST(MMWaveFormat, TagNamesComeFromTheTableInItsOrder)
{
    WAVEFORMATEX f {};
    EXPECT_EQ(FormatTagName(nullptr), "Unknown");
    const std::pair<WORD, const char*> rows[] = {
        { 0x0000, "Unknown" },
        { 0x0001, "PCM" },
        { 0x020C, "PCM 32" },
        { 0x0002, "Microsoft ADPCM" },
        { 0x0011, "IMA ADPCM" },
        { 0x0022, "DSP Group's Truespeech" },
        { 0x0030, "Dolby AC2" },
        { 0x0209, "Dolby AC2" },
        { 0x0031, "GSM 6.10" },
        { 0x0055, "MPEG Layer-3" },
        { 0x1001, "Olivetti's ADPCM" },
        { 0x0206, "Antex-DVI-OKI ADPCME" },
        { 0xFFFF, "*DEVELOPMENT ONLY TAG*" },
        { 0x0004, "Unknown" },
        { 0x0003, "Mediavision's ADPCM" },
        { 0x0160, "Unknown" },
    };
    for (const auto& [tag, name] : rows) {
        f.wFormatTag = tag;
        EXPECT_EQ(FormatTagName(&f), name) << std::hex << tag;
    }
}

TEST(MMWaveFormat, DescriptionsWithGivenSeparators)
{
    EXPECT_EQ(FormatDescription(nullptr, ',', ','), "Unknown");
    WAVEFORMATEX f = Pcm(16, 2, 48000);
    EXPECT_EQ(FormatDescription(&f, ',', ','), "48,000 kHz, 16 Bit, Stereo");
    f = Pcm(8, 1, 11025);
    EXPECT_EQ(FormatDescription(&f, ';', '.'), "11.025 kHz; 8 Bit; Mono");
    const GSM610WAVEFORMAT gsm = GsmFormat();
    EXPECT_EQ(FormatDescription(&gsm.wfx, ',', '.'), "8.000 kHz, 1 Bit, Mono");
    f = Pcm(16, 6, 44100);
    EXPECT_EQ(FormatDescription(&f, ',', '.'), "44.100 kHz, 16 Bit, 6 Channels");
    f = Pcm(16, 2, 0);
    EXPECT_EQ(FormatDescription(&f, ',', '.'), "0.000 kHz, 0 Bit, Stereo") << "no division by a zero rate";
    f = Pcm(16, 0, 8000);
    EXPECT_EQ(FormatDescription(&f, ',', '.'), "8.000 kHz, 0 Bit, 0 Channels");
}

TEST(MMWaveFormat, DescriptionFollowsTheNumericLocale)
{
    const WAVEFORMATEX f = Pcm(16, 2, 48000);
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "C"), nullptr);
    EXPECT_EQ(FormatDescription(&f), "48.000 kHz, 16 Bit, Stereo");

    // A Turkish desktop writes decimals with a comma, so lists use ';'. The
    // locale is compiled into a private directory, whatever the machine has.
    const QString dir = tonvara::test::MakeTempDir("locale");
    const int built = QProcess::execute("localedef", { "-i", "tr_TR", "-f", "UTF-8", dir + "/tr_TR.UTF-8" });
    ASSERT_EQ(built, 0) << "localedef (package locales) could not build tr_TR";
    ASSERT_EQ(::setenv("LOCPATH", dir.toLocal8Bit().constData(), 1), 0);
    const bool switched = std::setlocale(LC_NUMERIC, "tr_TR.UTF-8") != nullptr;
    EXPECT_TRUE(switched);
    if (switched) {
        EXPECT_EQ(FormatDescription(&f), "48,000 kHz; 16 Bit; Stereo");
        // The program's own separator (the about window sets '.') wins.
        SetDecimalSeparator('.');
        EXPECT_EQ(FormatDescription(&f), "48.000 kHz, 16 Bit, Stereo");
        SetDecimalSeparator('\0');
        EXPECT_EQ(FormatDescription(&f), "48,000 kHz; 16 Bit; Stereo");
    }
    std::setlocale(LC_NUMERIC, saved.c_str());
    ::unsetenv("LOCPATH");
}

bool NameGsmOnly(LPCWAVEFORMATEX pwfx, std::string& name)
{
    if (pwfx->wFormatTag != WAVE_FORMAT_GSM610)
        return false;
    name = "GSM 6.10 (namer)";
    return true;
}

bool DescribeEverything(LPCWAVEFORMATEX pwfx, std::string& description)
{
    description = "described " + std::to_string(pwfx->nSamplesPerSec);
    return true;
}

TEST(MMWaveFormat, NamerAnswersFirstAndTheTablesFillIn)
{
    std::string name = "x", description = "y";
    EXPECT_FALSE(GetWaveFormatNames(nullptr, name, description));
    EXPECT_TRUE(name.empty());
    EXPECT_TRUE(description.empty());

    const GSM610WAVEFORMAT gsm = GsmFormat();
    const WAVEFORMATEX pcm = Pcm(16, 2, 48000);
    ASSERT_TRUE(GetWaveFormatNames(&gsm.wfx, name, description));
    EXPECT_EQ(name, "GSM 6.10");
    EXPECT_EQ(description, FormatDescription(&gsm.wfx));

    TWaveFormatNamer namer;
    namer.TagName = NameGsmOnly;
    namer.Description = DescribeEverything;
    const TWaveFormatNamer previous = SetWaveFormatNamer(namer);
    EXPECT_EQ(previous.TagName, nullptr);
    ASSERT_TRUE(GetWaveFormatNames(&gsm.wfx, name, description));
    EXPECT_EQ(name, "GSM 6.10 (namer)");
    EXPECT_EQ(description, "described 8000");
    ASSERT_TRUE(GetWaveFormatNames(&pcm, name, description));
    EXPECT_EQ(name, "PCM");
    EXPECT_EQ(description, "described 48000");
    const TWaveFormatNamer removed = SetWaveFormatNamer({});
    EXPECT_EQ(removed.TagName, &NameGsmOnly);
    ASSERT_TRUE(GetWaveFormatNames(&gsm.wfx, name, description));
    EXPECT_EQ(name, "GSM 6.10");
}

TEST(MMWaveFormat, ConversionsRoundToNearestWithHalvesAwayFromZero)
{
    const GSM610WAVEFORMAT gsmFormat = GsmFormat();
    const WAVEFORMATEX* gsm = &gsmFormat.wfx;
    EXPECT_EQ(BytesToSamples(gsm, 65), 320);
    EXPECT_EQ(BytesToSamples(gsm, 1625), 8000);
    EXPECT_EQ(BytesToSamples(gsm, 1), 5); // 4.92
    EXPECT_EQ(BytesToSamples(gsm, 4095), 20160);

    const WAVEFORMATEX mono16 = Pcm(16, 1, 8000); // 16000 bytes/s
    EXPECT_EQ(BytesToMs(&mono16, 8), 1); // 0.5 up
    EXPECT_EQ(BytesToMs(&mono16, 7), 0); // 0.4375
    EXPECT_EQ(BytesToMs(&mono16, -8), -1); // -0.5 away from zero
    EXPECT_EQ(BytesToMs(&mono16, 16000), 1000);

    const WAVEFORMATEX stereo = Pcm(16, 2, 48000);
    EXPECT_EQ(SamplesToMs(&stereo, 24), 1); // 0.5 up
    EXPECT_EQ(SamplesToMs(&stereo, 23), 0);
    EXPECT_EQ(MsToSamples(&stereo, 1000), 48000);
    EXPECT_EQ(MsToSamples(gsm, 1), 8);
    EXPECT_EQ(SamplesToBytes(&stereo, 1024), 4096);
    EXPECT_EQ(MsToBytes(&stereo, 1), 192);
}

TEST(MMWaveFormat, ByteResultsRoundUpToWholeBlocks)
{
    const GSM610WAVEFORMAT gsmFormat = GsmFormat();
    const WAVEFORMATEX* gsm = &gsmFormat.wfx;
    EXPECT_EQ(SamplesToBytes(gsm, 320), 65);
    EXPECT_EQ(SamplesToBytes(gsm, 322), 65); // 65.4 rounds to 65, a whole block
    EXPECT_EQ(SamplesToBytes(gsm, 330), 130); // 67.03 rounds to 67, up to two blocks
    EXPECT_EQ(SamplesToBytes(gsm, 0), 0);
    EXPECT_EQ(MsToBytes(gsm, 1), 65); // 1.625 rounds to 2, up to a block
    EXPECT_EQ(MsToBytes(gsm, 40), 65);
    EXPECT_EQ(SamplesToBytes64(gsm, 321), 65); // 65.2 truncated
    EXPECT_EQ(SamplesToBytes64(gsm, 400), 130);
    const WAVEFORMATEX stereo = Pcm(16, 2, 48000);
    EXPECT_EQ(SamplesToBytes64(&stereo, 1000000000000LL), 4000000000000LL);
    EXPECT_EQ(SamplesToMs64(&stereo, 47), 0); // truncated, where SamplesToMs rounds
    EXPECT_EQ(SamplesToMs(&stereo, 47), 1);
    EXPECT_EQ(SamplesToMs64(&stereo, 48000LL * 86400 * 30), 1000LL * 86400 * 30);
}

TEST(MMWaveFormat, DegenerateFormatsGiveZeroInsteadOfDividing)
{
    EXPECT_EQ(BytesToSamples(nullptr, 100), 0);
    EXPECT_EQ(SamplesToBytes64(nullptr, 100), 0);
    WAVEFORMATEX f = Pcm(16, 2, 48000);
    f.nAvgBytesPerSec = 0;
    EXPECT_EQ(BytesToSamples(&f, 100), 0);
    EXPECT_EQ(BytesToMs(&f, 100), 0);
    EXPECT_EQ(MsToBytes(&f, 100), 0);
    f = Pcm(16, 2, 48000);
    f.nSamplesPerSec = 0;
    EXPECT_EQ(SamplesToBytes(&f, 100), 0);
    EXPECT_EQ(SamplesToMs(&f, 100), 0);
    EXPECT_EQ(SamplesToBytes64(&f, 100), 0);
    EXPECT_EQ(SamplesToMs64(&f, 100), 0);
    EXPECT_EQ(MsToSamples(&f, 100), 0);
    f = Pcm(16, 2, 48000);
    f.nBlockAlign = 0;
    EXPECT_EQ(SamplesToBytes(&f, 3), 12) << "no block rounding without a block size";
    EXPECT_EQ(MsToBytes(&f, 1), 192);
}

TEST(MMWaveFormat, ResultsOutsideThirtyTwoBitsAreClamped)
{
    const GSM610WAVEFORMAT gsmFormat = GsmFormat();
    EXPECT_EQ(
        BytesToSamples(&gsmFormat.wfx, std::numeric_limits<LONG>::max()), std::numeric_limits<LONG>::max());
    EXPECT_EQ(
        BytesToSamples(&gsmFormat.wfx, std::numeric_limits<LONG>::min()), std::numeric_limits<LONG>::min());
    const WAVEFORMATEX stereo = Pcm(16, 2, 48000);
    EXPECT_EQ(SamplesToBytes(&stereo, 1 << 30), std::numeric_limits<LONG>::max());
}

} // namespace
