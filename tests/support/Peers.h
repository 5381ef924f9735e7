#pragma once
// Recorded files as other programs see them: ffprobe, sox and libsndfile,
// and where a steady tone stands in them.

#include <QString>
#include <cstdint>
#include <vector>

namespace tonvara::test {

/// What ffprobe says of a file's first audio stream; Ok is its exit status.
struct TProbe {
    bool Ok = false;
    QString Codec;
    int Rate = 0;
    int Channels = 0;
    double Seconds = 0;
};
TProbe Probe(const QString& path);

/// The file's first channel decoded by sox to 16-bit samples at its rate;
/// empty when sox fails.
std::vector<int16_t> DecodeWithSox(const QString& path);

/// The frames libsndfile reads from the file to its end, -1 when it cannot
/// open it or reads fewer than it announces.
long long SndfileFrames(const QString& path);

/// The phase of a steady tone of Frequency in Samples[From, From + Count),
/// as a time offset in samples: samples taken from a run that continues an
/// earlier run by Offset samples give the same value when no sample was lost
/// or doubled between them. Requires Count well over one period.
double TonePhase(const std::vector<int16_t>& samples, std::size_t from, std::size_t count, double frequency,
    int rate, long long offset);

/// The shift, in samples, of the tone at the start of After against the
/// tone at the end of Before, as if After followed Before directly: 0 for a
/// continuous junction, +1 for a lost sample, -1 for a doubled one (within
/// half a period). Skip leaves out that many samples at After's start.
double JunctionShift(const std::vector<int16_t>& before, const std::vector<int16_t>& after, double frequency,
    int rate, std::size_t skip = 0);

} // namespace tonvara::test
