// Writing recordings: the RIFF WAVE layer, with its once-a-second header
// update and fdatasync, against libsndfile writing the same bytes (no sync).
#include "mm/capture/MMWaveIO.h"
#include "mm/format/MMWaveFormat.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <sndfile.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string BenchPath(const char* name)
{
    return std::string("/tmp/tonvara-bench-") + std::to_string(::getpid()) + "-" + name;
}

std::vector<char> Buffer(size_t size)
{
    std::vector<char> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>(i * 7 + (i >> 9));
    return data;
}

// seconds of 48 kHz 16-bit stereo in the recorder's 4096-byte buffers.
void BM_WaveIOWritePcm(benchmark::State& state)
{
    WAVEFORMATEX format {};
    BuildPCMFormat(&format, 16, 2, 48000);
    const std::vector<char> data = Buffer(4096);
    const int64_t buffers = state.range(0) * 192000 / 4096;
    const std::string path = BenchPath("waveio.wav");
    for (auto _ : state) {
        PWaveIOCB cb = nullptr;
        WaveIOFromFormat(&format, &cb);
        WaveIOCreate(cb, path.c_str());
        WaveIOSetBuffer(cb, 32768);
        for (int64_t i = 0; i < buffers; ++i)
            WaveIOWrite(cb, data.data(), 4096);
        WaveIOFree(cb);
    }
    state.SetBytesProcessed(state.iterations() * buffers * 4096);
    std::remove(path.c_str());
}
BENCHMARK(BM_WaveIOWritePcm)->Arg(60)->Unit(benchmark::kMillisecond);

void BM_SndfileWritePcm(benchmark::State& state)
{
    const std::vector<char> data = Buffer(4096);
    const int64_t buffers = state.range(0) * 192000 / 4096;
    const std::string path = BenchPath("sndfile.wav");
    for (auto _ : state) {
        SF_INFO info {};
        info.samplerate = 48000;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        for (int64_t i = 0; i < buffers; ++i)
            sf_write_raw(file, data.data(), 4096);
        sf_close(file);
    }
    state.SetBytesProcessed(state.iterations() * buffers * 4096);
    std::remove(path.c_str());
}
BENCHMARK(BM_SndfileWritePcm)->Arg(60)->Unit(benchmark::kMillisecond);

// An hour of GSM 6.10 in 4095-byte buffers (63 blocks): every buffer holds
// more than a second of audio, so every write syncs.
void BM_WaveIOWriteGsmHour(benchmark::State& state)
{
    GSM610WAVEFORMAT format {};
    format.wfx = { WAVE_FORMAT_GSM610, 1, 8000, 1625, 65, 0, 2 };
    format.wSamplesPerBlock = 320;
    const std::vector<char> data = Buffer(4095);
    const int64_t buffers = 3600 * 1625 / 4095;
    const std::string path = BenchPath("gsm.wav");
    double wallMs = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        PWaveIOCB cb = nullptr;
        WaveIOFromFormat(&format.wfx, &cb);
        WaveIOCreate(cb, path.c_str());
        WaveIOSetBuffer(cb, 32768);
        for (int64_t i = 0; i < buffers; ++i)
            WaveIOWrite(cb, data.data(), 4095);
        WaveIOFree(cb);
        wallMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["syncs"] = static_cast<double>(buffers);
    state.counters["wall_ms_per_sync"] = wallMs / static_cast<double>(buffers * state.iterations());
    std::remove(path.c_str());
}
BENCHMARK(BM_WaveIOWriteGsmHour)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
