#pragma once
// Recorded files as other programs see them: ffprobe, sox, ffmpeg and
// libsndfile, and where a steady tone stands in them.

#include <QString>
#include <cstdint>
#include <sndfile.h>
#include <string>
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

/// The bytes sox or ffmpeg decode the file to (16-bit little-endian PCM,
/// every channel). A reader that fails, or ffmpeg saying anything on its
/// standard error, fails the running test.
std::string SoxRaw(const QString& path);
std::string FfmpegRaw(const QString& path);
/// ffprobe's lines of the file's streams: "codec_name=", "sample_rate=",
/// "channels=", "duration_ts="; checked as the decoders are.
std::string Ffprobe(const QString& path);
/// libsndfile's 16-bit samples of the file as bytes, and what it says of the
/// file in Info; a file it cannot open fails the running test.
std::string SndfileRaw(const QString& path, SF_INFO* info = nullptr);

/// The frames libsndfile reads from the file to its end, -1 when it cannot
/// open it or reads fewer than it announces.
long long SndfileFrames(const QString& path);

/// The loudest stretch of Count samples, looked for in steps of Step; all
/// of Samples when they are no more than Count.
std::vector<double> LoudestStretch(const std::vector<double>& samples, std::size_t count, std::size_t step);

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
