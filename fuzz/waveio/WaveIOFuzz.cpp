// Arbitrary bytes as a WAV image in memory: parse them, and when they parse,
// reopen, seek and read through the whole play range and close again.
#include "mm/capture/MMWaveIO.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > (1u << 24))
        return 0;
    // A private copy: the layer must never write to the image it reads.
    std::vector<char> image(data, data + size);
    MMIOINFO memory {};
    memory.fccIOProc = FOURCC_MEM;
    memory.pchBuffer = image.data();
    memory.cchBuffer = static_cast<LONG>(image.size());
    PWaveIOCB cb = nullptr;
    if (WaveIOOpen(&memory, 0, &cb) != kWaveIOOk)
        return 0;
    if (cb->DataOffset < 0 || cb->DataBytes < 0 || static_cast<size_t>(cb->DataOffset) + cb->DataBytes > size)
        __builtin_trap();
    if (WaveIOReopen(cb) == kWaveIOOk) {
        char buffer[4096];
        LONG total = 0;
        for (LONG got; (got = WaveIORead(cb, buffer, sizeof(buffer))) > 0;)
            total += got;
        if (total > cb->DataBytes)
            __builtin_trap();
        WaveIOSeek(cb, cb->SampleCount / 2);
        WaveIORead(cb, buffer, sizeof(buffer));
        WaveIOSeek(cb, std::numeric_limits<LONG>::max());
        WaveIORead(cb, buffer, sizeof(buffer));
        WaveIOWrite(cb, buffer, 16);
    }
    WaveIOFree(cb);
    if (std::memcmp(image.data(), data, size) != 0)
        __builtin_trap();
    return 0;
}
