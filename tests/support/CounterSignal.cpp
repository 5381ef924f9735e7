#include "CounterSignal.h"

#include <cstring>

namespace tonvara::test {

std::vector<int16_t> CounterSignal(double seconds)
{
    const auto frames = static_cast<std::size_t>(seconds * 48000);
    std::vector<int16_t> signal(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const uint32_t n = kCounterStart + static_cast<uint32_t>(i);
        signal[2 * i] = static_cast<int16_t>(n & 0xFFFF);
        signal[2 * i + 1] = static_cast<int16_t>(n >> 16);
    }
    return signal;
}

// Silence between two counter frames that follow each other is the player
// falling behind (the sink then plays silence), not a loss of the recording:
// it is counted apart. A break is a value that is not the previous plus one.
TCounterRun AnalyseCounter(const std::vector<unsigned char>& data)
{
    TCounterRun run;
    bool any = false;
    uint32_t last = 0;
    std::size_t silence = 0;
    for (std::size_t i = 0; i + 4 <= data.size(); i += 4) {
        uint16_t lr[2];
        std::memcpy(lr, &data[i], 4);
        const uint32_t v = static_cast<uint32_t>(lr[0]) | (static_cast<uint32_t>(lr[1]) << 16);
        if (v < kCounterStart) {
            silence += v == 0 ? 1 : 0;
            continue;
        }
        if (!any) {
            any = true;
            run.FirstValue = v;
        } else {
            run.SilenceInside += silence;
            if (v != last + 1) {
                run.Missing += static_cast<int64_t>(v) - static_cast<int64_t>(last) - 1;
                if (run.Breaks++ == 0)
                    run.FirstBreak = "frame " + std::to_string(i / 4) + ": " + std::to_string(last) + " then "
                        + std::to_string(v);
            }
        }
        silence = 0;
        last = v;
        ++run.Length;
    }
    run.LastValue = last;
    return run;
}

} // namespace tonvara::test
