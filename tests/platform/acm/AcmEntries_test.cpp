// The compression manager module, loaded and called as the program does:
// through AcmLoadModule and dlsym. libgsm itself is the reference for what
// the streams must produce.
#include "platform/mm/MSAcm.h"
#include "support/TestSupport.h"
#include "support/WaveFormats.h"

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <gsm.h>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

// The module as the build tree has it.
std::string ModulePath()
{
    return tonvara::test::AcmModulePath().toStdString();
}

// The module's entries, found by name.
struct TAcm {
    void* FModule = nullptr;
    TAcmGetVersion GetVersion = nullptr;
    TAcmMetrics Metrics = nullptr;
    TAcmFormatTagDetailsA FormatTagDetails = nullptr;
    TAcmFormatTagEnumA FormatTagEnum = nullptr;
    TAcmFormatDetailsA FormatDetails = nullptr;
    TAcmFormatEnumA FormatEnum = nullptr;
    TAcmFormatSuggest FormatSuggest = nullptr;
    TAcmStreamOpen StreamOpen = nullptr;
    TAcmStreamClose StreamClose = nullptr;
    TAcmStreamSize StreamSize = nullptr;
    TAcmStreamReset StreamReset = nullptr;
    TAcmStreamPrepareHeader PrepareHeader = nullptr;
    TAcmStreamUnprepareHeader UnprepareHeader = nullptr;
    TAcmStreamConvert Convert = nullptr;

    template <class T> void Bind(T& entry, const char* name)
    {
        entry = reinterpret_cast<T>(dlsym(FModule, name));
        EXPECT_NE(entry, nullptr) << name;
    }

    TAcm()
    {
        setenv(kAcmModuleVariable, ModulePath().c_str(), 1);
        FModule = AcmLoadModule();
        if (FModule == nullptr)
            return;
        Bind(GetVersion, "acmGetVersion");
        Bind(Metrics, "acmMetrics");
        Bind(FormatTagDetails, "acmFormatTagDetailsA");
        Bind(FormatTagEnum, "acmFormatTagEnumA");
        Bind(FormatDetails, "acmFormatDetailsA");
        Bind(FormatEnum, "acmFormatEnumA");
        Bind(FormatSuggest, "acmFormatSuggest");
        Bind(StreamOpen, "acmStreamOpen");
        Bind(StreamClose, "acmStreamClose");
        Bind(StreamSize, "acmStreamSize");
        Bind(StreamReset, "acmStreamReset");
        Bind(PrepareHeader, "acmStreamPrepareHeader");
        Bind(UnprepareHeader, "acmStreamUnprepareHeader");
        Bind(Convert, "acmStreamConvert");
    }
    ~TAcm()
    {
        if (FModule != nullptr)
            dlclose(FModule);
    }
};

class AcmModule : public testing::Test {
protected:
    void SetUp() override
    {
        std::setlocale(LC_ALL, "C");
        ASSERT_NE(Acm.FModule, nullptr) << "cannot load " << ModulePath() << ": " << dlerror();
    }

    TAcm Acm;
};

using tonvara::test::GsmFormat;
using tonvara::test::PcmFormat;

// Speech-like test material: two tones and some noise, at 8 kHz.
std::vector<int16_t> TestSignal(std::size_t samples, unsigned seed = 1)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 800.0);
    std::vector<int16_t> pcm(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        const double t = static_cast<double>(i) / 8000.0;
        const double v = 9000.0 * std::sin(2 * kPi * 440.0 * t) + 4000.0 * std::sin(2 * kPi * 1250.0 * t)
            + noise(random);
        pcm[i] = static_cast<int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
    }
    return pcm;
}

// libgsm's own WAV49 coding of whole 320-sample blocks.
std::vector<uint8_t> ReferenceEncode(const std::vector<int16_t>& pcm)
{
    gsm g = gsm_create();
    int one = 1;
    gsm_option(g, GSM_OPT_WAV49, &one);
    std::vector<uint8_t> out(pcm.size() / 320 * 65);
    std::vector<int16_t> copy(pcm);
    for (std::size_t b = 0; b < pcm.size() / 320; ++b) {
        gsm_encode(g, copy.data() + b * 320, out.data() + b * 65);
        gsm_encode(g, copy.data() + b * 320 + 160, out.data() + b * 65 + 32);
    }
    gsm_destroy(g);
    return out;
}

std::vector<int16_t> ReferenceDecode(const std::vector<uint8_t>& blocks)
{
    gsm g = gsm_create();
    int one = 1;
    gsm_option(g, GSM_OPT_WAV49, &one);
    std::vector<int16_t> out(blocks.size() / 65 * 320);
    std::vector<uint8_t> copy(blocks);
    for (std::size_t b = 0; b < blocks.size() / 65; ++b) {
        gsm_decode(g, copy.data() + b * 65, out.data() + b * 320);
        gsm_decode(g, copy.data() + b * 65 + 33, out.data() + b * 320 + 160);
    }
    gsm_destroy(g);
    return out;
}

// Runs a whole byte string through an open stream in pieces of the given
// sizes, the way the display conversion does: whole blocks per call, the
// unconsumed rest carried in front of the next piece.
std::vector<uint8_t> ConvertInPieces(TAcm& acm, HACMSTREAM stream, const std::vector<uint8_t>& input,
    const std::vector<std::size_t>& pieces, DWORD destinationSize)
{
    std::vector<uint8_t> source(16384);
    std::vector<uint8_t> destination(destinationSize);
    ACMSTREAMHEADER header {};
    header.cbStruct = sizeof(header);
    header.pbSrc = source.data();
    header.cbSrcLength = static_cast<DWORD>(source.size());
    header.pbDst = destination.data();
    header.cbDstLength = destinationSize;
    EXPECT_EQ(acm.PrepareHeader(stream, &header, 0), MMSYSERR_NOERROR);
    std::vector<uint8_t> output;
    std::size_t carried = 0;
    std::size_t position = 0;
    // Until the input is used up and a call converts nothing more.
    for (std::size_t i = 0;; ++i) {
        const std::size_t piece = std::min(pieces[i % pieces.size()], input.size() - position);
        EXPECT_LE(carried + piece, source.size());
        std::memcpy(source.data() + carried, input.data() + position, piece);
        position += piece;
        header.cbSrcLength = static_cast<DWORD>(carried + piece);
        header.cbDstLength = destinationSize;
        EXPECT_EQ(acm.Convert(stream, &header, ACM_STREAMCONVERTF_BLOCKALIGN), MMSYSERR_NOERROR);
        EXPECT_NE(header.fdwStatus & ACMSTREAMHEADER_STATUSF_DONE, 0u);
        output.insert(output.end(), destination.begin(), destination.begin() + header.cbDstLengthUsed);
        carried = header.cbSrcLength - header.cbSrcLengthUsed;
        std::memmove(source.data(), source.data() + header.cbSrcLengthUsed, carried);
        if (position == input.size() && header.cbDstLengthUsed == 0)
            break;
    }
    header.cbSrcLength = static_cast<DWORD>(source.size());
    header.cbDstLength = destinationSize;
    EXPECT_EQ(acm.UnprepareHeader(stream, &header, 0), MMSYSERR_NOERROR);
    return output;
}

std::vector<uint8_t> Bytes(const std::vector<int16_t>& pcm)
{
    std::vector<uint8_t> bytes(pcm.size() * 2);
    std::memcpy(bytes.data(), pcm.data(), bytes.size());
    return bytes;
}

std::vector<int16_t> Samples(const std::vector<uint8_t>& bytes)
{
    std::vector<int16_t> pcm(bytes.size() / 2);
    std::memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
    return pcm;
}

TEST(AcmLoadModule, TheVariableNamesTheOnlyPlaceLooked)
{
    setenv(kAcmModuleVariable, "/nonexistent/libtonvara_acm.so", 1);
    EXPECT_EQ(AcmLoadModule(), nullptr);
    setenv(kAcmModuleVariable, "", 1);
    EXPECT_EQ(AcmLoadModule(), nullptr);
    setenv(kAcmModuleVariable, ModulePath().c_str(), 1);
    void* module = AcmLoadModule();
    ASSERT_NE(module, nullptr) << dlerror();
    EXPECT_NE(dlsym(module, "acmStreamOpen"), nullptr);
    // Only the entries are exported, none of the module's helpers.
    EXPECT_EQ(dlsym(module, "_Z14ClassifyFormatPK12WAVEFORMATEXj"), nullptr);
    dlclose(module);
}

TEST_F(AcmModule, VersionIsFourOrAbove)
{
    EXPECT_GE(Acm.GetVersion() >> 16, 0x0400u);
}

TEST_F(AcmModule, MetricsCountOneDriverAndTheLargestFormat)
{
    DWORD value = 0;
    ASSERT_EQ(Acm.Metrics(nullptr, ACM_METRIC_COUNT_DRIVERS, &value), MMSYSERR_NOERROR);
    EXPECT_EQ(value, 1u);
    ASSERT_EQ(Acm.Metrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &value), MMSYSERR_NOERROR);
    EXPECT_EQ(value, sizeof(GSM610WAVEFORMAT));
    EXPECT_EQ(Acm.Metrics(nullptr, ACM_METRIC_DRIVER_PRIORITY, &value), MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(Acm.Metrics(reinterpret_cast<HACMOBJ>(&value), ACM_METRIC_COUNT_DRIVERS, &value),
        MMSYSERR_INVALHANDLE);
}

TEST_F(AcmModule, FormatTagDetailsNameBothTags)
{
    ACMFORMATTAGDETAILSA details {};
    details.cbStruct = sizeof(details);
    details.dwFormatTag = WAVE_FORMAT_GSM610;
    ASSERT_EQ(Acm.FormatTagDetails(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG), MMSYSERR_NOERROR);
    EXPECT_STREQ(details.szFormatTag, "GSM 6.10");
    EXPECT_EQ(details.cbFormatSize, 20u);
    EXPECT_EQ(details.fdwSupport, ACMDRIVERDETAILS_SUPPORTF_CODEC);
    EXPECT_EQ(details.cStandardFormats, 4u);

    details = {};
    details.cbStruct = sizeof(details);
    details.dwFormatTag = WAVE_FORMAT_PCM;
    ASSERT_EQ(Acm.FormatTagDetails(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG), MMSYSERR_NOERROR);
    EXPECT_STREQ(details.szFormatTag, "PCM");
    EXPECT_EQ(details.cbFormatSize, 16u);
    EXPECT_EQ(details.fdwSupport, ACMDRIVERDETAILS_SUPPORTF_CONVERTER);

    details = {};
    details.cbStruct = sizeof(details);
    details.dwFormatTagIndex = 1;
    ASSERT_EQ(Acm.FormatTagDetails(nullptr, &details, ACM_FORMATTAGDETAILSF_INDEX), MMSYSERR_NOERROR);
    EXPECT_EQ(details.dwFormatTag, WAVE_FORMAT_GSM610);
    details.dwFormatTagIndex = 2;
    EXPECT_EQ(Acm.FormatTagDetails(nullptr, &details, ACM_FORMATTAGDETAILSF_INDEX), ACMERR_NOTPOSSIBLE);

    details = {};
    details.cbStruct = sizeof(details);
    details.dwFormatTag = WAVE_FORMAT_UNKNOWN;
    ASSERT_EQ(Acm.FormatTagDetails(nullptr, &details, ACM_FORMATTAGDETAILSF_LARGESTSIZE), MMSYSERR_NOERROR);
    EXPECT_EQ(details.cbFormatSize, 20u);

    details.dwFormatTag = WAVE_FORMAT_MULAW;
    EXPECT_EQ(Acm.FormatTagDetails(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG), ACMERR_NOTPOSSIBLE);
    details.cbStruct = sizeof(details) - 1;
    EXPECT_EQ(Acm.FormatTagDetails(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG), MMSYSERR_INVALPARAM);
    details.cbStruct = sizeof(details);
    EXPECT_EQ(Acm.FormatTagDetails(nullptr, &details, 0x100), MMSYSERR_INVALFLAG);
}

TEST_F(AcmModule, FormatDetailsDescribeTheFormats)
{
    GSM610WAVEFORMAT gsm = GsmFormat();
    ACMFORMATDETAILSA details {};
    details.cbStruct = sizeof(details);
    details.dwFormatTag = WAVE_FORMAT_GSM610;
    details.pwfx = &gsm.wfx;
    details.cbwfx = sizeof(gsm);
    ASSERT_EQ(Acm.FormatDetails(nullptr, &details, ACM_FORMATDETAILSF_FORMAT), MMSYSERR_NOERROR);
    EXPECT_STREQ(details.szFormat, "8.000 kHz, Mono");

    WAVEFORMATEX pcm = PcmFormat(48000, 16, 2);
    details.dwFormatTag = WAVE_FORMAT_PCM;
    details.pwfx = &pcm;
    details.cbwfx = sizeof(pcm);
    ASSERT_EQ(Acm.FormatDetails(nullptr, &details, ACM_FORMATDETAILSF_FORMAT), MMSYSERR_NOERROR);
    EXPECT_STREQ(details.szFormat, "48.000 kHz, 16 Bit, Stereo");

    pcm = PcmFormat(11025, 8, 1);
    ASSERT_EQ(Acm.FormatDetails(nullptr, &details, ACM_FORMATDETAILSF_FORMAT), MMSYSERR_NOERROR);
    EXPECT_STREQ(details.szFormat, "11.025 kHz, 8 Bit, Mono");

    // A GSM record with the wrong block size is no format the module knows.
    gsm.wfx.nBlockAlign = 66;
    details.dwFormatTag = WAVE_FORMAT_GSM610;
    details.pwfx = &gsm.wfx;
    details.cbwfx = sizeof(gsm);
    EXPECT_EQ(Acm.FormatDetails(nullptr, &details, ACM_FORMATDETAILSF_FORMAT), ACMERR_NOTPOSSIBLE);
    // The tag of the details and of the record must agree.
    gsm = GsmFormat();
    details.dwFormatTag = WAVE_FORMAT_PCM;
    EXPECT_EQ(Acm.FormatDetails(nullptr, &details, ACM_FORMATDETAILSF_FORMAT), MMSYSERR_INVALPARAM);
}

TEST_F(AcmModule, FormatDetailsByIndexGiveTheStandardFormats)
{
    GSM610WAVEFORMAT format {};
    ACMFORMATDETAILSA details {};
    details.cbStruct = sizeof(details);
    details.dwFormatTag = WAVE_FORMAT_GSM610;
    details.pwfx = &format.wfx;
    details.cbwfx = sizeof(format);
    details.dwFormatIndex = 0;
    ASSERT_EQ(Acm.FormatDetails(nullptr, &details, ACM_FORMATDETAILSF_INDEX), MMSYSERR_NOERROR);
    const GSM610WAVEFORMAT expected = GsmFormat();
    EXPECT_EQ(std::memcmp(&format, &expected, sizeof(format)), 0);
    details.dwFormatIndex = 4;
    EXPECT_EQ(Acm.FormatDetails(nullptr, &details, ACM_FORMATDETAILSF_INDEX), ACMERR_NOTPOSSIBLE);
    details.dwFormatIndex = 0;
    details.cbwfx = 18;
    EXPECT_EQ(Acm.FormatDetails(nullptr, &details, ACM_FORMATDETAILSF_INDEX), MMSYSERR_INVALPARAM);
}

struct TEnumLog {
    std::vector<GSM610WAVEFORMAT> Formats;
    std::vector<std::string> Texts;
};

BOOL CollectFormat(HACMDRIVERID, LPACMFORMATDETAILSA details, DWORD_PTR instance, DWORD)
{
    auto* log = reinterpret_cast<TEnumLog*>(instance);
    GSM610WAVEFORMAT f {};
    std::memcpy(
        &f, details->pwfx, details->dwFormatTag == WAVE_FORMAT_PCM ? sizeof(WAVEFORMATEX) : sizeof(f));
    log->Formats.push_back(f);
    log->Texts.emplace_back(details->szFormat);
    return 1;
}

BOOL CollectTag(HACMDRIVERID, LPACMFORMATTAGDETAILSA details, DWORD_PTR instance, DWORD)
{
    reinterpret_cast<std::vector<std::string>*>(instance)->emplace_back(details->szFormatTag);
    return 1;
}

TEST_F(AcmModule, EnumerationsListTagsAndConvertibleFormats)
{
    std::vector<std::string> tags;
    ACMFORMATTAGDETAILSA tagDetails {};
    tagDetails.cbStruct = sizeof(tagDetails);
    ASSERT_EQ(Acm.FormatTagEnum(nullptr, &tagDetails, &CollectTag, reinterpret_cast<DWORD_PTR>(&tags), 0),
        MMSYSERR_NOERROR);
    EXPECT_EQ(tags, (std::vector<std::string> { "PCM", "GSM 6.10" }));

    // What 8 kHz GSM converts to: its own 16-bit mono PCM only.
    GSM610WAVEFORMAT question = GsmFormat();
    ACMFORMATDETAILSA details {};
    details.cbStruct = sizeof(details);
    details.pwfx = &question.wfx;
    details.cbwfx = sizeof(question);
    TEnumLog log;
    ASSERT_EQ(Acm.FormatEnum(nullptr, &details, &CollectFormat, reinterpret_cast<DWORD_PTR>(&log),
                  ACM_FORMATENUMF_CONVERT),
        MMSYSERR_NOERROR);
    ASSERT_EQ(log.Formats.size(), 1u);
    EXPECT_EQ(log.Formats[0].wfx.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(log.Formats[0].wfx.wBitsPerSample, 16);
    EXPECT_EQ(log.Formats[0].wfx.nSamplesPerSec, 8000u);
    EXPECT_EQ(log.Texts[0], "8.000 kHz, 16 Bit, Mono");

    // All stereo PCM formats.
    WAVEFORMATEX stereo {};
    stereo.wFormatTag = WAVE_FORMAT_PCM;
    stereo.nChannels = 2;
    details.pwfx = &stereo;
    details.cbwfx = sizeof(stereo);
    details.dwFormatTag = WAVE_FORMAT_PCM;
    TEnumLog stereoLog;
    ASSERT_EQ(Acm.FormatEnum(nullptr, &details, &CollectFormat, reinterpret_cast<DWORD_PTR>(&stereoLog),
                  ACM_FORMATENUMF_WFORMATTAG | ACM_FORMATENUMF_NCHANNELS),
        MMSYSERR_NOERROR);
    EXPECT_EQ(stereoLog.Formats.size(), 10u);
    for (const auto& f : stereoLog.Formats)
        EXPECT_EQ(f.wfx.nChannels, 2);
}

TEST_F(AcmModule, SuggestionsDecodeGsmAndEncodeMonoPcm)
{
    GSM610WAVEFORMAT gsm = GsmFormat();
    WAVEFORMATEX pcm {};
    pcm.wFormatTag = WAVE_FORMAT_PCM;
    ASSERT_EQ(Acm.FormatSuggest(nullptr, &gsm.wfx, &pcm, sizeof(pcm), ACM_FORMATSUGGESTF_WFORMATTAG),
        MMSYSERR_NOERROR);
    const WAVEFORMATEX expected = PcmFormat(8000, 16, 1);
    EXPECT_EQ(std::memcmp(&pcm, &expected, sizeof(pcm)), 0);

    GSM610WAVEFORMAT suggested {};
    suggested.wfx.wFormatTag = WAVE_FORMAT_GSM610;
    WAVEFORMATEX source = PcmFormat(8000, 16, 1);
    ASSERT_EQ(
        Acm.FormatSuggest(nullptr, &source, &suggested.wfx, sizeof(suggested), ACM_FORMATSUGGESTF_WFORMATTAG),
        MMSYSERR_NOERROR);
    EXPECT_EQ(std::memcmp(&suggested, &gsm, sizeof(gsm)), 0);
    // Too small a record for GSM 6.10, and what cannot be reached.
    EXPECT_EQ(Acm.FormatSuggest(nullptr, &source, &suggested.wfx, 18, ACM_FORMATSUGGESTF_WFORMATTAG),
        MMSYSERR_INVALPARAM);
    WAVEFORMATEX stereo = PcmFormat(8000, 16, 2);
    suggested.wfx.wFormatTag = WAVE_FORMAT_GSM610;
    EXPECT_EQ(
        Acm.FormatSuggest(nullptr, &stereo, &suggested.wfx, sizeof(suggested), ACM_FORMATSUGGESTF_WFORMATTAG),
        ACMERR_NOTPOSSIBLE);
    pcm.nChannels = 2;
    EXPECT_EQ(Acm.FormatSuggest(nullptr, &gsm.wfx, &pcm, sizeof(pcm),
                  ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS),
        ACMERR_NOTPOSSIBLE);
}

TEST_F(AcmModule, QueriesAcceptOnlyWhatTheStreamsDo)
{
    GSM610WAVEFORMAT gsm = GsmFormat();
    WAVEFORMATEX pcm = PcmFormat(8000, 16, 1);
    EXPECT_EQ(Acm.StreamOpen(nullptr, nullptr, &gsm.wfx, &pcm, nullptr, 0, 0, ACM_STREAMOPENF_QUERY),
        MMSYSERR_NOERROR);
    EXPECT_EQ(Acm.StreamOpen(nullptr, nullptr, &pcm, &gsm.wfx, nullptr, 0, 0, ACM_STREAMOPENF_QUERY),
        MMSYSERR_NOERROR);
    WAVEFORMATEX other = PcmFormat(8000, 8, 1);
    EXPECT_EQ(Acm.StreamOpen(nullptr, nullptr, &other, &gsm.wfx, nullptr, 0, 0, ACM_STREAMOPENF_QUERY),
        ACMERR_NOTPOSSIBLE);
    other = PcmFormat(16000, 16, 1);
    EXPECT_EQ(Acm.StreamOpen(nullptr, nullptr, &gsm.wfx, &other, nullptr, 0, 0, ACM_STREAMOPENF_QUERY),
        ACMERR_NOTPOSSIBLE);
    other = PcmFormat(8000, 16, 2);
    EXPECT_EQ(Acm.StreamOpen(nullptr, nullptr, &gsm.wfx, &other, nullptr, 0, 0, ACM_STREAMOPENF_QUERY),
        ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(Acm.StreamOpen(nullptr, nullptr, &other, &other, nullptr, 0, 0, ACM_STREAMOPENF_QUERY),
        MMSYSERR_NOERROR);
    EXPECT_EQ(Acm.StreamOpen(nullptr, nullptr, &gsm.wfx, &pcm, nullptr, 0, 0,
                  ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_ASYNC),
        ACMERR_NOTPOSSIBLE);
    HACMSTREAM stream = nullptr;
    EXPECT_EQ(Acm.StreamOpen(&stream, reinterpret_cast<HACMDRIVER>(&pcm), &gsm.wfx, &pcm, nullptr, 0, 0, 0),
        MMSYSERR_INVALHANDLE);
    EXPECT_EQ(Acm.StreamOpen(nullptr, nullptr, &gsm.wfx, &pcm, nullptr, 0, 0, 0), MMSYSERR_INVALPARAM);
}

TEST_F(AcmModule, StreamSizesCountWholeBlocks)
{
    GSM610WAVEFORMAT gsm = GsmFormat();
    WAVEFORMATEX pcm = PcmFormat(8000, 16, 1);
    HACMSTREAM decoder = nullptr;
    HACMSTREAM encoder = nullptr;
    ASSERT_EQ(Acm.StreamOpen(&decoder, nullptr, &gsm.wfx, &pcm, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(Acm.StreamOpen(&encoder, nullptr, &pcm, &gsm.wfx, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    DWORD size = 0;
    EXPECT_EQ(Acm.StreamSize(decoder, 4095, &size, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
    EXPECT_EQ(size, 63u * 640);
    EXPECT_EQ(Acm.StreamSize(decoder, 4096, &size, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
    EXPECT_EQ(size, 63u * 640);
    EXPECT_EQ(Acm.StreamSize(decoder, 64, &size, ACM_STREAMSIZEF_SOURCE), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(Acm.StreamSize(decoder, 1280, &size, ACM_STREAMSIZEF_DESTINATION), MMSYSERR_NOERROR);
    EXPECT_EQ(size, 130u);
    EXPECT_EQ(Acm.StreamSize(encoder, 641, &size, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
    EXPECT_EQ(size, 130u);
    EXPECT_EQ(Acm.StreamSize(encoder, 4095, &size, ACM_STREAMSIZEF_DESTINATION), MMSYSERR_NOERROR);
    EXPECT_EQ(size, 63u * 640);
    EXPECT_EQ(Acm.StreamSize(encoder, 64, &size, ACM_STREAMSIZEF_DESTINATION), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(Acm.StreamSize(encoder, 64, &size, 7), MMSYSERR_INVALFLAG);
    EXPECT_EQ(Acm.StreamClose(decoder, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(Acm.StreamClose(encoder, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(Acm.StreamSize(decoder, 4095, &size, ACM_STREAMSIZEF_SOURCE), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(Acm.StreamClose(decoder, 0), MMSYSERR_INVALHANDLE);
}

TEST_F(AcmModule, DecodingEqualsLibgsmsOwn)
{
    const std::vector<uint8_t> blocks = ReferenceEncode(TestSignal(320 * 200));
    const std::vector<int16_t> reference = ReferenceDecode(blocks);
    GSM610WAVEFORMAT gsm = GsmFormat();
    WAVEFORMATEX pcm = PcmFormat(8000, 16, 1);
    HACMSTREAM stream = nullptr;
    ASSERT_EQ(Acm.StreamOpen(&stream, nullptr, &gsm.wfx, &pcm, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME),
        MMSYSERR_NOERROR);
    // Pieces that split blocks, the rest carried over; a destination smaller
    // than some pieces' conversion, so that source stays unused.
    const std::vector<uint8_t> decoded
        = ConvertInPieces(Acm, stream, blocks, { 100, 4095, 7, 650, 65 }, 6400);
    EXPECT_EQ(Samples(decoded), reference);
    EXPECT_EQ(Acm.StreamClose(stream, 0), MMSYSERR_NOERROR);
}

TEST_F(AcmModule, EncodingEqualsLibgsmsOwn)
{
    const std::vector<int16_t> signal = TestSignal(320 * 150, 7);
    const std::vector<uint8_t> reference = ReferenceEncode(signal);
    GSM610WAVEFORMAT gsm = GsmFormat();
    WAVEFORMATEX pcm = PcmFormat(8000, 16, 1);
    HACMSTREAM stream = nullptr;
    ASSERT_EQ(Acm.StreamOpen(&stream, nullptr, &pcm, &gsm.wfx, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    const std::vector<uint8_t> encoded
        = ConvertInPieces(Acm, stream, Bytes(signal), { 1000, 641, 3, 8000 }, 4095);
    EXPECT_EQ(encoded, reference);
    EXPECT_EQ(Acm.StreamClose(stream, 0), MMSYSERR_NOERROR);
}

// The strongest frequency between 100 and 3900 Hz, in 10 Hz steps.
double DominantFrequency(const std::vector<int16_t>& pcm, std::size_t from)
{
    double best = 0;
    double bestPower = -1;
    for (double f = 100; f <= 3900; f += 10) {
        double re = 0;
        double im = 0;
        for (std::size_t i = from; i < pcm.size(); ++i) {
            re += pcm[i] * std::cos(2 * kPi * f * static_cast<double>(i) / 8000.0);
            im += pcm[i] * std::sin(2 * kPi * f * static_cast<double>(i) / 8000.0);
        }
        if (re * re + im * im > bestPower) {
            bestPower = re * re + im * im;
            best = f;
        }
    }
    return best;
}

TEST_F(AcmModule, ARoundTripKeepsAToneItsFrequency)
{
    std::vector<int16_t> tone(320 * 25);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<int16_t>(
            std::lround(12000.0 * std::sin(2 * kPi * 1000.0 * static_cast<double>(i) / 8000.0)));
    GSM610WAVEFORMAT gsm = GsmFormat();
    WAVEFORMATEX pcm = PcmFormat(8000, 16, 1);
    HACMSTREAM encoder = nullptr;
    HACMSTREAM decoder = nullptr;
    ASSERT_EQ(Acm.StreamOpen(&encoder, nullptr, &pcm, &gsm.wfx, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(Acm.StreamOpen(&decoder, nullptr, &gsm.wfx, &pcm, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    const std::vector<uint8_t> blocks = ConvertInPieces(Acm, encoder, Bytes(tone), { 4096 }, 4095);
    ASSERT_EQ(blocks.size(), 25u * 65);
    const std::vector<int16_t> decoded = Samples(ConvertInPieces(Acm, decoder, blocks, { 4095 }, 8192));
    ASSERT_EQ(decoded.size(), tone.size());
    EXPECT_EQ(DominantFrequency(decoded, 640), 1000.0);
    double energy = 0;
    for (std::size_t i = 640; i < decoded.size(); ++i)
        energy += static_cast<double>(decoded[i]) * decoded[i];
    const double rms = std::sqrt(energy / static_cast<double>(decoded.size() - 640));
    EXPECT_GT(rms, 12000.0 / std::sqrt(2.0) * 0.5) << "the tone came back far too weak";
    Acm.StreamClose(encoder, 0);
    Acm.StreamClose(decoder, 0);
}

TEST_F(AcmModule, StartForgetsThePreviousFramesAndUnalignedEndsArePadded)
{
    const std::vector<int16_t> signal = TestSignal(320 * 3, 3);
    std::vector<uint8_t> source = Bytes(signal);
    GSM610WAVEFORMAT gsm = GsmFormat();
    WAVEFORMATEX pcm = PcmFormat(8000, 16, 1);
    HACMSTREAM stream = nullptr;
    ASSERT_EQ(Acm.StreamOpen(&stream, nullptr, &pcm, &gsm.wfx, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    std::vector<uint8_t> out(4 * 65);
    ACMSTREAMHEADER header {};
    header.cbStruct = sizeof(header);
    header.pbSrc = source.data();
    header.cbSrcLength = static_cast<DWORD>(source.size());
    header.pbDst = out.data();
    header.cbDstLength = static_cast<DWORD>(out.size());
    ASSERT_EQ(Acm.PrepareHeader(stream, &header, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(Acm.Convert(stream, &header, ACM_STREAMCONVERTF_BLOCKALIGN), MMSYSERR_NOERROR);
    const std::vector<uint8_t> first(out.begin(), out.begin() + header.cbDstLengthUsed);
    ASSERT_EQ(Acm.Convert(stream, &header, ACM_STREAMCONVERTF_BLOCKALIGN), MMSYSERR_NOERROR);
    const std::vector<uint8_t> carriedOn(out.begin(), out.begin() + header.cbDstLengthUsed);
    ASSERT_EQ(Acm.Convert(stream, &header, ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START),
        MMSYSERR_NOERROR);
    const std::vector<uint8_t> restarted(out.begin(), out.begin() + header.cbDstLengthUsed);
    EXPECT_EQ(first, ReferenceEncode(signal));
    EXPECT_NE(carriedOn, first) << "the coder did not carry its state from one call to the next";
    EXPECT_EQ(restarted, first);

    // 2.5 blocks of PCM: aligned, two blocks and 320 bytes left; unaligned at
    // the end, a third block of the rest and silence.
    header.cbSrcLength = 2 * 640 + 320;
    ASSERT_EQ(Acm.Convert(stream, &header, ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START),
        MMSYSERR_NOERROR);
    EXPECT_EQ(header.cbSrcLengthUsed, 1280u);
    EXPECT_EQ(header.cbDstLengthUsed, 130u);
    ASSERT_EQ(
        Acm.Convert(stream, &header, ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END), MMSYSERR_NOERROR);
    EXPECT_EQ(header.cbSrcLengthUsed, 1600u);
    EXPECT_EQ(header.cbDstLengthUsed, 195u);
    std::vector<int16_t> padded(signal.begin(), signal.begin() + 800);
    padded.resize(960, 0);
    const std::vector<uint8_t> expected = ReferenceEncode(padded);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));

    header.cbSrcLength = static_cast<DWORD>(source.size());
    ASSERT_EQ(Acm.UnprepareHeader(stream, &header, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(Acm.StreamClose(stream, 0), MMSYSERR_NOERROR);
}

TEST_F(AcmModule, HeadersMustBePreparedAndKeepTheirBuffers)
{
    GSM610WAVEFORMAT gsm = GsmFormat();
    WAVEFORMATEX pcm = PcmFormat(8000, 16, 1);
    HACMSTREAM stream = nullptr;
    HACMSTREAM other = nullptr;
    ASSERT_EQ(Acm.StreamOpen(&stream, nullptr, &gsm.wfx, &pcm, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(Acm.StreamOpen(&other, nullptr, &gsm.wfx, &pcm, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    std::vector<uint8_t> source(650);
    std::vector<uint8_t> destination(6400);
    std::vector<uint8_t> elsewhere(6400);
    ACMSTREAMHEADER header {};
    header.cbStruct = sizeof(header);
    header.pbSrc = source.data();
    header.cbSrcLength = 650;
    header.pbDst = destination.data();
    header.cbDstLength = 6400;
    EXPECT_EQ(Acm.Convert(stream, &header, 0), ACMERR_UNPREPARED);
    EXPECT_EQ(Acm.UnprepareHeader(stream, &header, 0), ACMERR_UNPREPARED);
    ASSERT_EQ(Acm.PrepareHeader(stream, &header, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(header.fdwStatus, ACMSTREAMHEADER_STATUSF_PREPARED);
    EXPECT_EQ(Acm.Convert(other, &header, 0), MMSYSERR_INVALPARAM);
    header.cbSrcLength = 651;
    EXPECT_EQ(Acm.Convert(stream, &header, 0), MMSYSERR_INVALPARAM);
    header.cbSrcLength = 130;
    EXPECT_EQ(Acm.Convert(stream, &header, 0x1000), MMSYSERR_INVALFLAG);
    ASSERT_EQ(Acm.Convert(stream, &header, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(header.cbDstLengthUsed, 1280u);
    EXPECT_EQ(Acm.UnprepareHeader(stream, &header, 0), MMSYSERR_INVALPARAM)
        << "a shrunk length must be restored";
    header.cbSrcLength = 650;
    header.pbDst = elsewhere.data();
    EXPECT_EQ(Acm.Convert(stream, &header, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(Acm.UnprepareHeader(stream, &header, 0), MMSYSERR_INVALPARAM);
    header.pbDst = destination.data();
    EXPECT_EQ(Acm.StreamReset(stream, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(Acm.UnprepareHeader(stream, &header, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(header.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED, 0u);
    EXPECT_EQ(Acm.StreamClose(stream, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(Acm.StreamClose(other, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(Acm.PrepareHeader(stream, &header, 0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(Acm.Convert(reinterpret_cast<HACMSTREAM>(&header), &header, 0), MMSYSERR_INVALHANDLE);
}

} // namespace
