#include "Peers.h"

#include "PeerProcess.h"

#include <QFile>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <numbers>

namespace tonvara::test {

TProbe Probe(const QString& path)
{
    const TToolResult ffprobe = RunTool(QStringLiteral("ffprobe"),
        { "-v", "error", "-select_streams", "a:0", "-show_entries",
            "stream=codec_name,sample_rate,channels,duration", "-of", "default=noprint_wrappers=1", path },
        30000);
    TProbe probe;
    probe.Ok = ffprobe.ExitCode == 0;
    for (const QString& line : QString::fromStdString(ffprobe.Out).split('\n')) {
        const QString value = line.section('=', 1);
        if (line.startsWith("codec_name="))
            probe.Codec = value;
        else if (line.startsWith("sample_rate="))
            probe.Rate = value.toInt();
        else if (line.startsWith("channels="))
            probe.Channels = value.toInt();
        else if (line.startsWith("duration="))
            probe.Seconds = value.toDouble();
    }
    return probe;
}

std::vector<int16_t> DecodeWithSox(const QString& path)
{
    const TToolResult sox = RunTool(QStringLiteral("sox"),
        { "-q", path, "-t", "raw", "-e", "signed", "-b", "16", "-L", "-", "remix", "1" }, 60000);
    if (sox.ExitCode != 0)
        return {};
    std::vector<int16_t> samples(sox.Out.size() / 2);
    if (!samples.empty())
        std::memcpy(samples.data(), sox.Out.data(), samples.size() * 2);
    return samples;
}

std::string SoxRaw(const QString& path)
{
    const TToolResult r
        = RunTool("sox", { "-V1", path, "-t", "raw", "-e", "signed-integer", "-b", "16", "-L", "-" });
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    return r.Out;
}

std::string FfmpegRaw(const QString& path)
{
    const TToolResult r = RunTool("ffmpeg", { "-v", "error", "-nostdin", "-i", path, "-f", "s16le", "-" });
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.Err, "") << "ffmpeg complained";
    return r.Out;
}

std::string Ffprobe(const QString& path)
{
    const TToolResult r = RunTool("ffprobe",
        { "-v", "error", "-show_entries", "stream=codec_name,sample_rate,channels,duration_ts", "-of",
            "default=noprint_wrappers=1", path });
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.Err, "") << "ffprobe complained";
    return r.Out;
}

std::string SndfileRaw(const QString& path, SF_INFO* infoOut)
{
    SF_INFO info {};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
    if (file == nullptr)
        return {};
    std::vector<short> samples(static_cast<size_t>(info.frames * info.channels));
    const sf_count_t got = sf_readf_short(file, samples.data(), info.frames);
    sf_close(file);
    if (infoOut != nullptr)
        *infoOut = info;
    return std::string(
        reinterpret_cast<const char*>(samples.data()), static_cast<size_t>(got * info.channels * 2));
}

long long SndfileFrames(const QString& path)
{
    SF_INFO info {};
    SNDFILE* file = sf_open(path.toLocal8Bit().constData(), SFM_READ, &info);
    if (file == nullptr)
        return -1;
    std::vector<short> buffer(4096 * static_cast<std::size_t>(info.channels));
    long long total = 0;
    for (sf_count_t got; (got = sf_readf_short(file, buffer.data(), 4096)) > 0;)
        total += got;
    sf_close(file);
    return total == info.frames ? total : -1;
}

std::vector<double> LoudestStretch(const std::vector<double>& samples, std::size_t count, std::size_t step)
{
    if (samples.size() <= count)
        return samples;
    std::size_t bestStart = 0;
    double bestEnergy = -1;
    for (std::size_t start = 0; start + count <= samples.size(); start += step) {
        double energy = 0;
        for (std::size_t i = start; i < start + count; ++i)
            energy += samples[i] * samples[i];
        if (energy > bestEnergy) {
            bestEnergy = energy;
            bestStart = start;
        }
    }
    return { samples.begin() + static_cast<std::ptrdiff_t>(bestStart),
        samples.begin() + static_cast<std::ptrdiff_t>(bestStart + count) };
}

double TonePhase(const std::vector<int16_t>& samples, std::size_t from, std::size_t count, double frequency,
    int rate, long long offset)
{
    // Least squares of a cos + b sin over the window, at absolute sample
    // numbers: the angle of (a, b) is the tone's phase at sample 0.
    const double omega = 2 * std::numbers::pi * frequency / rate;
    double cc = 0, ss = 0, cs = 0, xc = 0, xs = 0;
    for (std::size_t i = from; i < from + count && i < samples.size(); ++i) {
        const double t = omega * double(static_cast<long long>(i) + offset);
        const double c = std::cos(t), s = std::sin(t);
        cc += c * c;
        ss += s * s;
        cs += c * s;
        xc += samples[i] * c;
        xs += samples[i] * s;
    }
    const double det = cc * ss - cs * cs;
    const double a = (xc * ss - xs * cs) / det;
    const double b = (xs * cc - xc * cs) / det;
    return std::atan2(b, a) / omega;
}

double JunctionShift(const std::vector<int16_t>& before, const std::vector<int16_t>& after, double frequency,
    int rate, std::size_t skip)
{
    const std::size_t window = static_cast<std::size_t>(rate / 10);
    if (before.size() < window || after.size() < skip + window)
        return NAN;
    const double period = rate / frequency;
    const double end = TonePhase(before, before.size() - window, window, frequency, rate, 0);
    const double start
        = TonePhase(after, skip, window, frequency, rate, static_cast<long long>(before.size()));
    // A lost sample brings every later one a sample early: the tone seems
    // to have started a sample earlier.
    return std::remainder(end - start, period);
}

} // namespace tonvara::test
