#include "platform/acm/AcmFormats.h"

#include "platform/acm/GsmBlockCodec.h"
#include "platform/mm/MSAcm.h"

#include <cstdio>
#include <iterator>
#include <langinfo.h>

namespace {

constexpr DWORD kPcmRates[] = { 8000, 11025, 22050, 44100, 48000 };
constexpr DWORD kGsmRates[] = { 8000, 11025, 22050, 44100 };
constexpr DWORD kPcmLayoutsPerRate = 4; // 8-bit mono, 8-bit stereo, 16-bit mono, 16-bit stereo

DWORD GsmBytesPerSecond(DWORD rate)
{
    return rate * TGsmBlockCodec::kBytesPerBlock / TGsmBlockCodec::kSamplesPerBlock;
}

bool IsPcm(const WAVEFORMATEX& f)
{
    const bool bitsOk
        = f.wBitsPerSample == 8 || f.wBitsPerSample == 16 || f.wBitsPerSample == 24 || f.wBitsPerSample == 32;
    if (!bitsOk || f.nChannels < 1 || f.nChannels > 8 || f.nSamplesPerSec < 1 || f.nSamplesPerSec > 384000)
        return false;
    const DWORD blockAlign = f.nChannels * f.wBitsPerSample / 8u;
    return f.nBlockAlign == blockAlign && f.nAvgBytesPerSec == f.nSamplesPerSec * blockAlign;
}

} // namespace

TAcmFormatKind ClassifyFormat(const WAVEFORMATEX* format, DWORD size)
{
    if (format == nullptr || size < sizeof(PCMWAVEFORMAT))
        return TAcmFormatKind::Unknown;
    if (format->wFormatTag == WAVE_FORMAT_PCM)
        return IsPcm(*format) ? TAcmFormatKind::Pcm : TAcmFormatKind::Unknown;
    if (format->wFormatTag != WAVE_FORMAT_GSM610 || size < sizeof(GSM610WAVEFORMAT))
        return TAcmFormatKind::Unknown;
    const auto* gsm = reinterpret_cast<const GSM610WAVEFORMAT*>(format);
    const bool ok = format->nChannels == 1 && IsGsmRate(format->nSamplesPerSec)
        && format->nBlockAlign == TGsmBlockCodec::kBytesPerBlock
        && format->nAvgBytesPerSec == GsmBytesPerSecond(format->nSamplesPerSec) && format->cbSize >= 2
        && gsm->wSamplesPerBlock == TGsmBlockCodec::kSamplesPerBlock;
    return ok ? TAcmFormatKind::Gsm : TAcmFormatKind::Unknown;
}

DWORD FormatRecordSize(TAcmFormatKind kind)
{
    switch (kind) {
    case TAcmFormatKind::Pcm:
        return sizeof(WAVEFORMATEX);
    case TAcmFormatKind::Gsm:
        return sizeof(GSM610WAVEFORMAT);
    case TAcmFormatKind::Unknown:
        break;
    }
    return 0;
}

DWORD MinimumRecordSize(WORD tag)
{
    if (tag == WAVE_FORMAT_PCM)
        return sizeof(PCMWAVEFORMAT);
    if (tag == WAVE_FORMAT_GSM610)
        return sizeof(GSM610WAVEFORMAT);
    return 0;
}

bool IsGsmRate(DWORD rate)
{
    for (DWORD known : kGsmRates) {
        if (known == rate)
            return true;
    }
    return false;
}

WAVEFORMATEX MakePcmFormat(DWORD rate, WORD bits, WORD channels)
{
    WAVEFORMATEX f {};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    f.cbSize = 0;
    return f;
}

GSM610WAVEFORMAT MakeGsmFormat(DWORD rate)
{
    GSM610WAVEFORMAT f {};
    f.wfx.wFormatTag = WAVE_FORMAT_GSM610;
    f.wfx.nChannels = 1;
    f.wfx.nSamplesPerSec = rate;
    f.wfx.nAvgBytesPerSec = GsmBytesPerSecond(rate);
    f.wfx.nBlockAlign = TGsmBlockCodec::kBytesPerBlock;
    f.wfx.wBitsPerSample = 0;
    f.wfx.cbSize = 2;
    f.wSamplesPerBlock = TGsmBlockCodec::kSamplesPerBlock;
    return f;
}

DWORD StandardFormatCount(WORD tag)
{
    if (tag == WAVE_FORMAT_PCM)
        return std::size(kPcmRates) * kPcmLayoutsPerRate;
    if (tag == WAVE_FORMAT_GSM610)
        return std::size(kGsmRates);
    return 0;
}

bool StandardFormat(WORD tag, DWORD index, GSM610WAVEFORMAT* format)
{
    if (index >= StandardFormatCount(tag))
        return false;
    *format = {};
    if (tag == WAVE_FORMAT_GSM610) {
        *format = MakeGsmFormat(kGsmRates[index]);
        return true;
    }
    const DWORD layout = index % kPcmLayoutsPerRate;
    const WORD bits = layout < 2 ? 8 : 16;
    const WORD channels = layout % 2 == 0 ? 1 : 2;
    format->wfx = MakePcmFormat(kPcmRates[index / kPcmLayoutsPerRate], bits, channels);
    return true;
}

const char* FormatTagName(WORD tag)
{
    if (tag == WAVE_FORMAT_PCM)
        return "PCM";
    if (tag == WAVE_FORMAT_GSM610)
        return "GSM 6.10";
    return "";
}

DWORD FormatTagSupport(WORD tag)
{
    if (tag == WAVE_FORMAT_PCM)
        return ACMDRIVERDETAILS_SUPPORTF_CONVERTER;
    if (tag == WAVE_FORMAT_GSM610)
        return ACMDRIVERDETAILS_SUPPORTF_CODEC;
    return 0;
}

std::string DescribeFormat(const WAVEFORMATEX& format)
{
    // nl_langinfo reads the locale the program chose with setlocale (Qt does
    // so at start-up), so the description reads as the user's numbers do.
    const char* radix = nl_langinfo(RADIXCHAR);
    if (radix == nullptr || *radix == '\0')
        radix = ".";
    char rate[48];
    std::snprintf(rate, sizeof(rate), "%u%s%03u kHz", format.nSamplesPerSec / 1000, radix,
        format.nSamplesPerSec % 1000);
    char channels[24];
    if (format.nChannels == 1)
        std::snprintf(channels, sizeof(channels), "Mono");
    else if (format.nChannels == 2)
        std::snprintf(channels, sizeof(channels), "Stereo");
    else
        std::snprintf(channels, sizeof(channels), "%u Channels", format.nChannels);
    char text[128];
    if (format.wFormatTag == WAVE_FORMAT_PCM)
        std::snprintf(text, sizeof(text), "%s, %u Bit, %s", rate, format.wBitsPerSample, channels);
    else
        std::snprintf(text, sizeof(text), "%s, %s", rate, channels);
    return text;
}
