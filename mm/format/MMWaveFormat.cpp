#include "mm/format/MMWaveFormat.h"

#include "platform/kernel/FormatSettings.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>

namespace {

struct TTagName {
    WORD Tag;
    const char* Name;
};

// Searched in this order; the second 0x0011 row is never reached.
constexpr TTagName kTagNames[] = {
    { 0x0000, "Unknown" },
    { 0x0001, "PCM" },
    { 0x020C, "PCM 32" },
    { 0x0002, "Microsoft ADPCM" },
    { 0x0003, "Mediavision's ADPCM" },
    { 0x0005, "IBM CVSD" },
    { 0x0006, "CCITT A-Law" },
    { 0x0007, "CCITT mu-Law" },
    { 0x0010, "OKI ADPCM" },
    { 0x0011, "IMA ADPCM" },
    { 0x0011, "DVI ADPCM" },
    { 0x0012, "Mediaspace's ADPCM" },
    { 0x0013, "Sierra's ADPCM" },
    { 0x0014, "CCITT G.723 ADPCM" },
    { 0x0015, "Digisound DIGISTD" },
    { 0x0016, "Digisound DIGIFIX" },
    { 0x0017, "Dialogic OKI ADPCM" },
    { 0x0020, "Yamaha ADPCM" },
    { 0x0021, "Sonarc" },
    { 0x0022, "DSP Group's Truespeech" },
    { 0x0023, "Echo SC1" },
    { 0x0024, "Audiofile AF36" },
    { 0x0025, "Audio Processing Technology" },
    { 0x0026, "Audiofile AF10" },
    { 0x0030, "Dolby AC2" },
    { 0x0209, "Dolby AC2" },
    { 0x0031, "GSM 6.10" },
    { 0x0033, "Antex ADPCME" },
    { 0x0039, "CS IMA ADPCM" },
    { 0x0040, "CCITT G.721 ADPCM" },
    { 0x0050, "MPEG 1" },
    { 0x0055, "MPEG Layer-3" },
    { 0x0200, "Creative's ADPCM" },
    { 0x1001, "Olivetti's ADPCM" },
    { 0x0204, "CDI-C" },
    { 0x0205, "CDI-B" },
    { 0x0206, "Antex-DVI-OKI ADPCME" },
    { 0xFFFF, "*DEVELOPMENT ONLY TAG*" },
};
static_assert(std::size(kTagNames) == 38);

constexpr const char* kUnknown = "Unknown";

std::atomic<bool (*)(LPCWAVEFORMATEX, std::string&)> gTagNameHook { nullptr };
std::atomic<bool (*)(LPCWAVEFORMATEX, std::string&)> gDescriptionHook { nullptr };

LONG Clamp32(int64_t value)
{
    if (value > std::numeric_limits<LONG>::max())
        return std::numeric_limits<LONG>::max();
    if (value < std::numeric_limits<LONG>::min())
        return std::numeric_limits<LONG>::min();
    return static_cast<LONG>(value);
}

// a * b / c rounded to nearest, halves away from zero; c > 0. The operands
// are at most 32 bits wide, so the product fits in 64.
int64_t MulDivRounded(int64_t a, int64_t b, int64_t c)
{
    const int64_t product = a * b;
    return product / c + (product % c) * 2 / c;
}

int64_t UpToBlock(int64_t bytes, WORD blockAlign)
{
    if (blockAlign == 0)
        return bytes;
    const int64_t rest = bytes % blockAlign;
    if (rest > 0)
        return bytes + (blockAlign - rest);
    if (rest < 0)
        return bytes - rest;
    return bytes;
}

int64_t Truncate64(long double value)
{
    if (!(value == value))
        return 0;
    if (value >= static_cast<long double>(std::numeric_limits<int64_t>::max()))
        return std::numeric_limits<int64_t>::max();
    if (value <= static_cast<long double>(std::numeric_limits<int64_t>::min()))
        return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

} // namespace

UINT WaveFormatSize(LPCWAVEFORMATEX pwfx)
{
    if (!pwfx)
        return 0;
    if (pwfx->wFormatTag == WAVE_FORMAT_PCM)
        return sizeof(WAVEFORMATEX);
    return sizeof(WAVEFORMATEX) + pwfx->cbSize;
}

PWAVEFORMATEX CopyWaveFormat(LPCWAVEFORMATEX pwfx)
{
    const UINT size = WaveFormatSize(pwfx);
    if (size == 0)
        return nullptr;
    auto* copy = static_cast<PWAVEFORMATEX>(std::calloc(size, 1));
    if (!copy)
        throw std::bad_alloc();
    std::memcpy(copy, pwfx, size);
    if (copy->wFormatTag == WAVE_FORMAT_PCM)
        copy->cbSize = 0;
    return copy;
}

void FreeWaveFormat(PWAVEFORMATEX& pwfx)
{
    std::free(pwfx);
    pwfx = nullptr;
}

bool IsPCMFormat(LPCWAVEFORMATEX pwfx)
{
    return pwfx && pwfx->wFormatTag == WAVE_FORMAT_PCM
        && (pwfx->wBitsPerSample == 8 || pwfx->wBitsPerSample == 16)
        && (pwfx->nChannels == 1 || pwfx->nChannels == 2) && pwfx->nSamplesPerSec >= 4000
        && pwfx->nSamplesPerSec <= 100000;
}

void BuildPCMFormat(LPWAVEFORMATEX pwfx, WORD bits, WORD channels, DWORD rate)
{
    if (!pwfx)
        return;
    pwfx->wFormatTag = WAVE_FORMAT_PCM;
    pwfx->nChannels = channels;
    pwfx->nSamplesPerSec = rate;
    pwfx->wBitsPerSample = bits;
    pwfx->nBlockAlign = static_cast<WORD>(static_cast<WORD>(channels * bits) / 8);
    pwfx->nAvgBytesPerSec = static_cast<DWORD>(pwfx->nBlockAlign) * rate;
    pwfx->cbSize = 0;
}

bool IsValidWaveFormat(LPCWAVEFORMATEX pwfx)
{
    return pwfx && pwfx->nChannels > 0 && pwfx->nSamplesPerSec > 0 && pwfx->nAvgBytesPerSec > 0
        && pwfx->nBlockAlign > 0;
}

bool WaveFormatsEqual(LPCWAVEFORMATEX a, LPCWAVEFORMATEX b)
{
    if (!a || !b)
        return a == b;
    const UINT size = WaveFormatSize(a);
    if (size != WaveFormatSize(b))
        return false;
    return std::memcmp(a, b, size) == 0;
}

std::string FormatTagName(LPCWAVEFORMATEX pwfx)
{
    if (!pwfx)
        return kUnknown;
    for (const TTagName& row : kTagNames)
        if (row.Tag == pwfx->wFormatTag)
            return row.Name;
    return kUnknown;
}

std::string FormatDescription(LPCWAVEFORMATEX pwfx)
{
    if (!pwfx)
        return kUnknown;
    const char decimalSeparator = DecimalSeparator();
    return FormatDescription(pwfx, decimalSeparator == ',' ? ';' : ',', decimalSeparator);
}

std::string FormatDescription(LPCWAVEFORMATEX pwfx, char listSeparator, char decimalSeparator)
{
    if (!pwfx)
        return kUnknown;
    const DWORD rate = pwfx->nSamplesPerSec;
    uint64_t bits = 0;
    if (rate > 0 && pwfx->nChannels > 0)
        bits = static_cast<uint64_t>(pwfx->nAvgBytesPerSec) * 8 / rate / pwfx->nChannels;
    char text[128];
    if (pwfx->nChannels == 1 || pwfx->nChannels == 2) {
        std::snprintf(text, sizeof(text), "%u%c%.03u kHz%c %llu Bit%c %s", rate / 1000, decimalSeparator,
            rate % 1000, listSeparator, static_cast<unsigned long long>(bits), listSeparator,
            pwfx->nChannels == 1 ? "Mono" : "Stereo");
    } else {
        std::snprintf(text, sizeof(text), "%u%c%.03u kHz%c %llu Bit%c %u Channels", rate / 1000,
            decimalSeparator, rate % 1000, listSeparator, static_cast<unsigned long long>(bits),
            listSeparator, static_cast<unsigned>(pwfx->nChannels));
    }
    return text;
}

TWaveFormatNamer SetWaveFormatNamer(const TWaveFormatNamer& namer)
{
    TWaveFormatNamer previous;
    previous.TagName = gTagNameHook.exchange(namer.TagName);
    previous.Description = gDescriptionHook.exchange(namer.Description);
    return previous;
}

bool GetWaveFormatNames(LPCWAVEFORMATEX pwfx, std::string& name, std::string& description)
{
    name.clear();
    description.clear();
    if (!pwfx)
        return false;
    const auto tagName = gTagNameHook.load();
    if (!tagName || !tagName(pwfx, name))
        name = FormatTagName(pwfx);
    const auto describe = gDescriptionHook.load();
    if (!describe || !describe(pwfx, description))
        description = FormatDescription(pwfx);
    return true;
}

LONG BytesToSamples(LPCWAVEFORMATEX pwfx, LONG bytes)
{
    if (!pwfx || pwfx->nAvgBytesPerSec == 0)
        return 0;
    return Clamp32(MulDivRounded(bytes, pwfx->nSamplesPerSec, pwfx->nAvgBytesPerSec));
}

LONG BytesToMs(LPCWAVEFORMATEX pwfx, LONG bytes)
{
    if (!pwfx || pwfx->nAvgBytesPerSec == 0)
        return 0;
    return Clamp32(MulDivRounded(bytes, 1000, pwfx->nAvgBytesPerSec));
}

LONG SamplesToBytes(LPCWAVEFORMATEX pwfx, LONG samples)
{
    if (!pwfx || pwfx->nSamplesPerSec == 0)
        return 0;
    return Clamp32(
        UpToBlock(MulDivRounded(samples, pwfx->nAvgBytesPerSec, pwfx->nSamplesPerSec), pwfx->nBlockAlign));
}

LONG SamplesToMs(LPCWAVEFORMATEX pwfx, LONG samples)
{
    if (!pwfx || pwfx->nSamplesPerSec == 0)
        return 0;
    return Clamp32(MulDivRounded(samples, 1000, pwfx->nSamplesPerSec));
}

LONG MsToSamples(LPCWAVEFORMATEX pwfx, LONG ms)
{
    if (!pwfx)
        return 0;
    return Clamp32(MulDivRounded(ms, pwfx->nSamplesPerSec, 1000));
}

LONG MsToBytes(LPCWAVEFORMATEX pwfx, LONG ms)
{
    if (!pwfx)
        return 0;
    return Clamp32(UpToBlock(MulDivRounded(ms, pwfx->nAvgBytesPerSec, 1000), pwfx->nBlockAlign));
}

int64_t SamplesToBytes64(LPCWAVEFORMATEX pwfx, int64_t samples)
{
    if (!pwfx || pwfx->nSamplesPerSec == 0)
        return 0;
    const int64_t bytes
        = Truncate64(static_cast<long double>(samples) * pwfx->nAvgBytesPerSec / pwfx->nSamplesPerSec);
    // Near the int64 limits rounding up to a block could overflow.
    if (bytes > std::numeric_limits<int64_t>::max() - 65535
        || bytes < std::numeric_limits<int64_t>::min() + 65535)
        return bytes;
    return UpToBlock(bytes, pwfx->nBlockAlign);
}

int64_t SamplesToMs64(LPCWAVEFORMATEX pwfx, int64_t samples)
{
    if (!pwfx || pwfx->nSamplesPerSec == 0)
        return 0;
    return Truncate64(static_cast<long double>(samples) * 1000 / pwfx->nSamplesPerSec);
}
