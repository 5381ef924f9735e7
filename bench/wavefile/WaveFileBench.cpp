// One hour of 48 kHz 16-bit stereo recording written through the wave file
// component in a chain, in the recorder's 4096-byte buffers (with the RIFF
// layer's once-a-second header update and fdatasync), against libsndfile
// writing the same buffers (no sync). Prints the ratio of the two times.
#include "mm/capture/MMWave.h"
#include "mm/format/MMWaveFormat.h"
#include "support/TestSource.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <sndfile.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using tonvara::test::TTestSource;

constexpr int kBufferSize = 4096;
constexpr int64_t kHourBytes = int64_t { 3600 } * 192000;
constexpr int64_t kHourBuffers = kHourBytes / kBufferSize;

// Real and CPU seconds of each run.
double gChainSeconds = 0;
double gChainCpuSeconds = 0;
double gSndfileSeconds = 0;
double gSndfileCpuSeconds = 0;

std::string BenchPath(const char* name)
{
    return std::string("/tmp/tonvara-bench-") + std::to_string(::getpid()) + "-" + name;
}

std::vector<char> Data()
{
    std::vector<char> data(kBufferSize);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + (i >> 9));
    return data;
}

void BM_WaveFileChainHour(benchmark::State& state)
{
    WAVEFORMATEX format {};
    BuildPCMFormat(&format, 16, 2, 48000);
    const std::vector<char> data = Data();
    std::vector<char> block(kBufferRecordSize + kBufferSize);
    auto* record = reinterpret_cast<TMMBufferRecord*>(block.data());
    InitBufferRecord(record, kBufferSize);
    std::copy(data.begin(), data.end(), record->Header.lpData);
    record->Header.dwBytesRecorded = kBufferSize;

    const std::string path = BenchPath("wavefile.wav");
    TTestSource source;
    TMMWaveFile file(nullptr);
    file.Wave()->SetFileMustExist(false);
    file.SetInput(&source);
    source.SetPWaveFormat(&format);
    source.SetBufferSize(kBufferSize);
    for (auto _ : state) {
        file.Wave()->SetFileName(QString::fromStdString(path));
        source.Start();
        for (int64_t i = 0; i < kHourBuffers; ++i)
            source.BufferReady(&record->Header);
        source.Finish();
    }
    state.SetBytesProcessed(state.iterations() * kHourBuffers * kBufferSize);
    std::remove(path.c_str());
}

void BM_SndfileHour(benchmark::State& state)
{
    const std::vector<char> data = Data();
    const std::string path = BenchPath("sndfile.wav");
    for (auto _ : state) {
        SF_INFO info {};
        info.samplerate = 48000;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        for (int64_t i = 0; i < kHourBuffers; ++i)
            sf_write_raw(file, data.data(), kBufferSize);
        sf_close(file);
    }
    state.SetBytesProcessed(state.iterations() * kHourBuffers * kBufferSize);
    std::remove(path.c_str());
}

// Keeps the real time of each run, for the ratio printed at the end.
class TRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            const double seconds = run.GetAdjustedRealTime() / 1000.0;
            const double cpuSeconds = run.GetAdjustedCPUTime() / 1000.0;
            if (run.benchmark_name().rfind("BM_WaveFileChainHour", 0) == 0) {
                gChainSeconds = seconds;
                gChainCpuSeconds = cpuSeconds;
            } else if (run.benchmark_name().rfind("BM_SndfileHour", 0) == 0) {
                gSndfileSeconds = seconds;
                gSndfileCpuSeconds = cpuSeconds;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

BENCHMARK(BM_WaveFileChainHour)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SndfileHour)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // The chain makes the file durable once a second (3600 fdatasyncs an
    // hour), libsndfile never: real time shows what the syncs cost, CPU time
    // what the chain and the RIFF layer cost.
    if (gChainSeconds > 0 && gSndfileSeconds > 0 && gSndfileCpuSeconds > 0)
        std::printf(
            "wave file chain / libsndfile (one hour, 48 kHz stereo, %d-byte buffers): real time %.2f, "
            "CPU time %.2f\n",
            kBufferSize, gChainSeconds / gSndfileSeconds, gChainCpuSeconds / gSndfileCpuSeconds);
    benchmark::Shutdown();
    return 0;
}
