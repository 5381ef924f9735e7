#pragma once
// The GSM 6.10 format the mono recorder stores: 8000 samples/s in 65-byte
// blocks of 320 samples, 1625 bytes a second.

#include "platform/mm/MMSystem.h"

namespace tonvara::test {

inline GSM610WAVEFORMAT GsmFormat()
{
    GSM610WAVEFORMAT format {};
    format.wfx = { WAVE_FORMAT_GSM610, 1, 8000, 1625, 65, 0, 2 };
    format.wSamplesPerBlock = 320;
    return format;
}

} // namespace tonvara::test
