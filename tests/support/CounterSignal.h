#pragma once
// The counter signal the audio tests play into the test sound server's sink:
// frame n carries n & 0xffff on the left, n >> 16 on the right (48 kHz
// stereo S16). A single full-volume stream passes the sink's monitor
// bit-exactly, so a recording of it shows every lost, doubled or reordered
// frame.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tonvara::test {

/// The first frame's value: starting at 0x10000 keeps every frame distinct
/// from silence.
constexpr uint32_t kCounterStart = 0x10000;

/// Seconds of the signal as interleaved samples (left, right, ...).
std::vector<int16_t> CounterSignal(double seconds);

/// What a recording of the counter signal (48 kHz stereo S16 frames) shows.
struct TCounterRun {
    std::size_t Length = 0; // counter frames recorded
    uint32_t FirstValue = 0;
    uint32_t LastValue = 0;
    std::size_t Breaks = 0; // counter frames that do not follow the one before
    std::string FirstBreak;
    std::size_t SilenceInside = 0; // silent frames between counter frames
    int64_t Missing = 0; // counter values skipped at the breaks
};

/// Reads a recording (raw bytes; a partial last frame is ignored).
TCounterRun AnalyseCounter(const std::vector<unsigned char>& data);

} // namespace tonvara::test
