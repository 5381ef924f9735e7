// The displays' format conversion through the real compression-manager
// module: what it suggests, what it finds possible, and GSM 6.10 converted to
// PCM however the deliveries are cut (the bytes of a partial block wait for
// the next one) and however large they are (the buffers never overflow).
#include "mm/capture/MMACM.h"
#include "mm/display/MMACMSup.h"
#include "mm/format/MMWaveFormat.h"
#include "support/TestSupport.h"
#include "support/WaveFormats.h"

#include <QFileInfo>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <numbers>
#include <string>
#include <vector>

namespace {

using tonvara::test::GsmFormat;

WAVEFORMATEX Pcm(WORD bits, WORD channels, DWORD rate)
{
    WAVEFORMATEX format;
    BuildPCMFormat(&format, bits, channels, rate);
    return format;
}

// Binds the module of the build tree for each case, and nothing for the
// cases that want to see the program without it.
class MMACMSup : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char* saved = std::getenv(kAcmModuleVariable)) {
            FHadModule = true;
            FSaved = saved;
        }
        const std::string module = tonvara::test::AcmModulePath().toStdString();
        ASSERT_TRUE(QFileInfo::exists(QString::fromStdString(module)))
            << module << " is missing: build the tonvara_acm target";
        Bind(module);
        ASSERT_TRUE(ACMUsable());
    }
    void TearDown() override
    {
        if (FHadModule)
            setenv(kAcmModuleVariable, FSaved.c_str(), 1);
        else
            unsetenv(kAcmModuleVariable);
        ReinitializeACM();
    }
    static void Bind(const std::string& path)
    {
        setenv(kAcmModuleVariable, path.c_str(), 1);
        ReinitializeACM();
    }

private:
    bool FHadModule = false;
    std::string FSaved;
};

// A 16-bit 8 kHz tone of Frequency Hz, Samples long.
std::vector<int16_t> Tone(double frequency, int samples)
{
    std::vector<int16_t> tone(static_cast<size_t>(samples));
    for (int i = 0; i < samples; ++i)
        tone[static_cast<size_t>(i)] = static_cast<int16_t>(
            std::lround(12000.0 * std::sin(2 * std::numbers::pi * frequency * i / 8000.0)));
    return tone;
}

// The frequency of a tone from its upward zero crossings.
double MeasuredFrequency(const int16_t* samples, size_t count, double rate)
{
    int crossings = 0;
    size_t first = 0;
    size_t last = 0;
    for (size_t i = 1; i < count; ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            if (crossings == 0)
                first = i;
            last = i;
            ++crossings;
        }
    }
    if (crossings < 2)
        return 0;
    return (crossings - 1) * rate / static_cast<double>(last - first);
}

// GSM 6.10 made by the module's own encoder from a tone.
std::vector<BYTE> GsmTone(double frequency, int blocks)
{
    const std::vector<int16_t> tone = Tone(frequency, blocks * 320);
    const WAVEFORMATEX pcm = Pcm(16, 1, 8000);
    const GSM610WAVEFORMAT gsm = GsmFormat();
    auto encoder = ACMOpenChain(&pcm, &gsm.wfx, 640, true);
    EXPECT_NE(encoder, nullptr);
    std::vector<BYTE> out;
    if (encoder == nullptr)
        return out;
    for (int b = 0; b < blocks; ++b) {
        const int produced = encoder->Convert(tone.data() + b * 320, 640);
        EXPECT_EQ(produced, 65);
        out.insert(out.end(), encoder->OutputBuffer(), encoder->OutputBuffer() + std::max(produced, 0));
    }
    return out;
}

TEST_F(MMACMSup, SuggestsPcmForGsmAndKeepsPcm)
{
    const GSM610WAVEFORMAT gsm = GsmFormat();
    WAVEFORMATEX suggested;
    ASSERT_TRUE(ACMSuggestPCMFormat(&gsm.wfx, &suggested));
    EXPECT_EQ(suggested.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(suggested.nChannels, 1);
    EXPECT_EQ(suggested.nSamplesPerSec, 8000u);
    EXPECT_EQ(suggested.wBitsPerSample, 16);
    EXPECT_EQ(suggested.nBlockAlign, 2);
    EXPECT_EQ(suggested.nAvgBytesPerSec, 16000u);
    EXPECT_EQ(suggested.cbSize, 0);

    WAVEFORMATEX stereo = Pcm(16, 2, 48000);
    stereo.cbSize = 22; // ignored for PCM
    ASSERT_TRUE(ACMSuggestPCMFormat(&stereo, &suggested));
    stereo.cbSize = 0;
    EXPECT_EQ(std::memcmp(&suggested, &stereo, sizeof stereo), 0);

    // A tag the manager has no codec for: all zeros.
    WAVEFORMATEX adpcm { 0x0011, 1, 8000, 4055, 256, 4, 0 };
    std::memset(&suggested, 0xAB, sizeof suggested);
    EXPECT_FALSE(ACMSuggestPCMFormat(&adpcm, &suggested));
    const WAVEFORMATEX zero {};
    EXPECT_EQ(std::memcmp(&suggested, &zero, sizeof zero), 0);
}

TEST_F(MMACMSup, KnowsWhatCanBeConverted)
{
    const GSM610WAVEFORMAT gsm = GsmFormat();
    const WAVEFORMATEX mono16 = Pcm(16, 1, 8000);
    const WAVEFORMATEX mono8 = Pcm(8, 1, 8000);
    const WAVEFORMATEX stereo16 = Pcm(16, 2, 48000);
    EXPECT_TRUE(ACMConversionPossible(&gsm.wfx, &mono16, true));
    EXPECT_TRUE(ACMConversionPossible(&gsm.wfx, &mono16, false));
    EXPECT_TRUE(ACMConversionPossible(&mono16, &gsm.wfx, true));
    EXPECT_TRUE(ACMConversionPossible(&stereo16, &stereo16, true)) << "equal formats need nothing";
    // The module converts only between GSM and 16-bit mono PCM of the same
    // rate: no way leads to 8-bit PCM or to another rate, and the search
    // through intermediate formats ends.
    EXPECT_FALSE(ACMConversionPossible(&gsm.wfx, &mono8, true));
    EXPECT_FALSE(ACMConversionPossible(&gsm.wfx, &stereo16, true));
    EXPECT_FALSE(ACMConversionPossible(&stereo16, &gsm.wfx, true));
    EXPECT_FALSE(ACMConversionPossible(&mono16, &mono8, true));
    EXPECT_FALSE(ACMConversionPossible(nullptr, &mono8, true));
    EXPECT_EQ(ACMOpenChain(&gsm.wfx, &mono8, 4096, true), nullptr);
}

TEST_F(MMACMSup, WithoutTheManagerOnlyPcmPassesThrough)
{
    Bind("");
    ASSERT_FALSE(ACMPresent());
    const GSM610WAVEFORMAT gsm = GsmFormat();
    const WAVEFORMATEX mono16 = Pcm(16, 1, 8000);
    WAVEFORMATEX suggested;
    EXPECT_FALSE(ACMSuggestPCMFormat(&gsm.wfx, &suggested));
    EXPECT_EQ(suggested.wFormatTag, 0);
    EXPECT_TRUE(ACMSuggestPCMFormat(&mono16, &suggested));
    EXPECT_FALSE(ACMConversionPossible(&gsm.wfx, &mono16, true));
    EXPECT_TRUE(ACMConversionPossible(&mono16, &mono16, true));
    EXPECT_EQ(ACMOpenChain(&gsm.wfx, &mono16, 4096, true), nullptr);
}

TEST_F(MMACMSup, GsmBecomesTheTone)
{
    const std::vector<BYTE> gsmData = GsmTone(1000.0, 63);
    ASSERT_EQ(gsmData.size(), 4095u);
    const GSM610WAVEFORMAT gsm = GsmFormat();
    WAVEFORMATEX pcm;
    ASSERT_TRUE(ACMSuggestPCMFormat(&gsm.wfx, &pcm));
    auto chain = ACMOpenChain(&gsm.wfx, &pcm, 4096, true);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(chain->StepCount(), 1);
    EXPECT_EQ(chain->SourceSize(), 4095) << "whole blocks of 65 bytes";
    EXPECT_GE(chain->OutputSize(), 63 * 640);

    const int produced = chain->Convert(gsmData.data(), static_cast<int>(gsmData.size()));
    ASSERT_EQ(produced, 63 * 640);
    EXPECT_EQ(chain->Leftover(), 0);
    const auto* samples = reinterpret_cast<const int16_t*>(chain->OutputBuffer());
    const size_t count = static_cast<size_t>(produced) / 2;
    // Past the codec's start-up, the tone is there at its frequency.
    long long energy = 0;
    for (size_t i = 640; i < count; ++i)
        energy += std::abs(samples[i]);
    EXPECT_GT(energy / static_cast<long long>(count - 640), 3000);
    EXPECT_NEAR(MeasuredFrequency(samples + 640, count - 640, 8000.0), 1000.0, 10.0);
}

TEST_F(MMACMSup, PartialBlocksWaitForTheNextDelivery)
{
    const std::vector<BYTE> gsmData = GsmTone(700.0, 40);
    const GSM610WAVEFORMAT gsm = GsmFormat();
    const WAVEFORMATEX pcm = Pcm(16, 1, 8000);

    // The whole stream in block-aligned deliveries ...
    auto aligned = ACMOpenChain(&gsm.wfx, &pcm, 650, true);
    ASSERT_NE(aligned, nullptr);
    std::vector<BYTE> expected;
    for (size_t at = 0; at < gsmData.size(); at += 650) {
        const int n = aligned->Convert(gsmData.data() + at, 650);
        ASSERT_EQ(n, 10 * 640);
        expected.insert(expected.end(), aligned->OutputBuffer(), aligned->OutputBuffer() + n);
    }

    // ... and cut anywhere: the same PCM, block by block.
    for (int cut : { 1, 64, 66, 100, 333, 649 }) {
        auto chain = ACMOpenChain(&gsm.wfx, &pcm, 650, true);
        ASSERT_NE(chain, nullptr);
        std::vector<BYTE> got;
        for (size_t at = 0; at < gsmData.size(); at += static_cast<size_t>(cut)) {
            const int size
                = static_cast<int>(std::min<size_t>(static_cast<size_t>(cut), gsmData.size() - at));
            const int n = chain->Convert(gsmData.data() + at, size);
            ASSERT_GE(n, 0);
            ASSERT_LE(n, chain->OutputSize());
            ASSERT_LT(chain->Leftover(), 65);
            got.insert(got.end(), chain->OutputBuffer(), chain->OutputBuffer() + n);
        }
        EXPECT_EQ(chain->Leftover(), 0) << "cut " << cut;
        EXPECT_EQ(got, expected) << "cut " << cut;
    }
}

TEST_F(MMACMSup, OversizedDeliveriesAreCutToTheSourceSize)
{
    const std::vector<BYTE> gsmData = GsmTone(500.0, 200);
    const GSM610WAVEFORMAT gsm = GsmFormat();
    const WAVEFORMATEX pcm = Pcm(16, 1, 8000);
    auto chain = ACMOpenChain(&gsm.wfx, &pcm, 4096, true);
    ASSERT_NE(chain, nullptr);
    // A remainder of 64 bytes first, then a delivery three times the size:
    // only the source size is taken, and the output stays inside its buffer.
    EXPECT_EQ(chain->Convert(gsmData.data(), 64), 0);
    EXPECT_EQ(chain->Leftover(), 64);
    const int n = chain->Convert(gsmData.data() + 64, 3 * 4095);
    EXPECT_EQ(n, 63 * 640);
    EXPECT_LE(n, chain->OutputSize());
    EXPECT_EQ(chain->Leftover(), (64 + 4095) % 65);
    EXPECT_EQ(chain->Convert(nullptr, 100), 0);
    EXPECT_EQ(chain->Convert(gsmData.data(), 0), 0);
}

// A codec that takes fewer whole blocks than it is offered would leave the
// chain holding more than a block, which the next delivery cannot follow:
// the chain reports an error and drops what it held, and every byte it does
// deliver is the stream's next one.
TEST_F(MMACMSup, ACodecThatTakesLessIsAnErrorNotAnOverflow)
{
    Bind((tonvara::test::BinaryDir() + "/tests/mm/display/libtonvara_test_acm_slow.so").toStdString());
    ASSERT_TRUE(ACMUsable());
    struct TCase {
        WORD MaxBlocks; // 0: the codec takes all whole blocks
        std::vector<int> Deliveries;
        std::vector<int> Results;
    };
    const TCase cases[] = {
        { 0, { 12, 6, 6, 12 }, { 12, 4, 8, 12 } },
        { 1, { 6, 6, 4 }, { 4, -1, 4 } },
        { 1, { 12, 4, 3, 3 }, { -1, 4, 0, 4 } },
        { 2, { 8, 10, 2, 12 }, { 8, 8, 4, -1 } },
    };
    const WAVEFORMATEX pcm = Pcm(16, 1, 8000);
    for (const TCase& c : cases) {
        BYTE format[20] {};
        auto* slow = reinterpret_cast<WAVEFORMATEX*>(format);
        *slow = { 0x7E57, 1, 8000, 16000, 4, 16, 2 };
        std::memcpy(format + sizeof(WAVEFORMATEX), &c.MaxBlocks, sizeof c.MaxBlocks);
        auto chain = ACMOpenChain(slow, &pcm, 12, true);
        ASSERT_NE(chain, nullptr);
        std::vector<BYTE> pending; // delivered, not yet converted or dropped
        BYTE next = 1;
        for (size_t i = 0; i < c.Deliveries.size(); ++i) {
            std::vector<BYTE> data(static_cast<size_t>(c.Deliveries[i]));
            for (BYTE& b : data)
                b = next++;
            pending.insert(pending.end(), data.begin(), data.end());
            const int n = chain->Convert(data.data(), static_cast<int>(data.size()));
            ASSERT_EQ(n, c.Results[i]) << "max " << c.MaxBlocks << ", delivery " << i;
            if (n < 0) {
                pending.clear();
            } else {
                ASSERT_EQ(std::vector<BYTE>(chain->OutputBuffer(), chain->OutputBuffer() + n),
                    std::vector<BYTE>(pending.begin(), pending.begin() + n));
                pending.erase(pending.begin(), pending.begin() + n);
            }
            ASSERT_EQ(chain->Leftover(), static_cast<int>(pending.size()));
        }
    }
}

TEST_F(MMACMSup, EqualFormatsPassThroughUnchanged)
{
    const WAVEFORMATEX stereo = Pcm(16, 2, 48000);
    auto chain = ACMOpenChain(&stereo, &stereo, 4096, true);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(chain->StepCount(), 0);
    std::vector<BYTE> data(5000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<BYTE>(i * 7);
    EXPECT_EQ(chain->Convert(data.data(), 5000), 4096);
    EXPECT_EQ(std::memcmp(chain->OutputBuffer(), data.data(), 4096), 0);
}

} // namespace
