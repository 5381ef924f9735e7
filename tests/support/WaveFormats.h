#pragma once
// The formats the tests record and convert: linear PCM of any shape, and
// the GSM 6.10 format the mono recorder stores (8000 samples/s in 65-byte
// blocks of 320 samples, 1625 bytes a second).

#include "platform/mm/MMSystem.h"

namespace tonvara::test {

inline WAVEFORMATEX PcmFormat(DWORD rate, WORD bits, WORD channels)
{
    WAVEFORMATEX f {};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

inline GSM610WAVEFORMAT GsmFormat()
{
    GSM610WAVEFORMAT format {};
    format.wfx = { WAVE_FORMAT_GSM610, 1, 8000, 1625, 65, 0, 2 };
    format.wSamplesPerBlock = 320;
    return format;
}

} // namespace tonvara::test
