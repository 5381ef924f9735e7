// A 48 kHz 16-bit stereo recording written through the wave file component
// at real pace, in the recorder's 4096-byte buffers, on a disk whose
// fdatasync takes 500 ms (the SlowSync shim; the program runs itself again
// under it). Measures how long each buffer's write holds the writing thread
// (the GUI thread in the program), against the 21.3 ms one buffer lasts, and
// checks that libsndfile reads back every byte. TONVARA_BENCH_SECONDS sets
// how long it records (10 s by default).
#include "mm/capture/MMWave.h"
#include "mm/format/MMWaveFormat.h"
#include "support/TestSource.h"

#include <QCoreApplication>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sndfile.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using tonvara::test::TTestSource;

constexpr int kBufferSize = 4096;
constexpr int kBytesPerSecond = 192000;
constexpr double kBufferMs = 1000.0 * kBufferSize / kBytesPerSecond;

int RecordSeconds()
{
    const char* text = std::getenv("TONVARA_BENCH_SECONDS");
    const int seconds = text ? std::atoi(text) : 10;
    return std::max(seconds, 2);
}

void Advance(timespec& deadline, long ns)
{
    deadline.tv_nsec += ns;
    while (deadline.tv_nsec >= 1000000000) {
        deadline.tv_nsec -= 1000000000;
        ++deadline.tv_sec;
    }
}

void BM_SlowDiskStereoWrites(benchmark::State& state)
{
    WAVEFORMATEX format {};
    BuildPCMFormat(&format, 16, 2, 48000);
    std::vector<char> block(kBufferRecordSize + kBufferSize);
    auto* record = reinterpret_cast<TMMBufferRecord*>(block.data());
    InitBufferRecord(record, kBufferSize);
    record->Header.dwBytesRecorded = kBufferSize;

    const std::string path = "/tmp/tonvara-bench-" + std::to_string(::getpid()) + "-slowdisk.wav";
    const int64_t buffers = int64_t { RecordSeconds() } * kBytesPerSecond / kBufferSize;
    for (auto _ : state) {
        TTestSource source;
        TMMWaveFile file(nullptr);
        file.Wave()->SetFileMustExist(false);
        file.SetInput(&source);
        source.SetPWaveFormat(&format);
        source.SetBufferSize(kBufferSize);
        file.Wave()->SetFileName(QString::fromStdString(path));
        source.Start();
        std::vector<double> writeMs;
        writeMs.reserve(static_cast<size_t>(buffers));
        timespec deadline {};
        ::clock_gettime(CLOCK_MONOTONIC, &deadline);
        for (int64_t i = 0; i < buffers; ++i) {
            Advance(deadline, static_cast<long>(kBufferMs * 1e6));
            while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) != 0) { }
            // Every buffer holds its own index, so a lost or doubled one shows.
            for (int at = 0; at < kBufferSize; at += 8)
                std::memcpy(record->Header.lpData + at, &i, 8);
            const auto start = std::chrono::steady_clock::now();
            source.BufferReady(&record->Header);
            writeMs.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
        int syncs = 0;
        {
            TCriticalSectionLock guard(file.Wave()->Lock());
            syncs = WaveIOSyncCount(file.Wave()->WaveIO());
        }
        const bool open = file.FileOpen();
        source.Finish();

        SF_INFO info {};
        SNDFILE* read = sf_open(path.c_str(), SFM_READ, &info);
        int64_t intact = 0;
        if (read) {
            std::vector<char> got(kBufferSize);
            while (sf_read_raw(read, got.data(), kBufferSize) == kBufferSize) {
                int64_t index = 0;
                std::memcpy(&index, got.data() + kBufferSize - 8, 8);
                if (index != intact)
                    break;
                ++intact;
            }
            sf_close(read);
        }
        std::remove(path.c_str());

        std::vector<double> sorted = writeMs;
        std::sort(sorted.begin(), sorted.end());
        const double maxMs = sorted.back();
        const auto longest = std::max_element(writeMs.begin(), writeMs.end()) - writeMs.begin();
        const double p99Ms = sorted[static_cast<size_t>(static_cast<double>(sorted.size() - 1) * 0.99)];
        state.counters["max_ms"] = maxMs;
        state.counters["p99_ms"] = p99Ms;
        state.counters["syncs"] = syncs;
        state.counters["bytes"] = static_cast<double>(buffers * kBufferSize);
        state.counters["lost_buffers"] = static_cast<double>(buffers - intact);
        std::printf(
            "slow disk (fdatasync +%s ms), %lld buffers of %d bytes: longest write %.3f ms (buffer %lld), "
            "p99 %.3f ms "
            "(%.3f / %.3f of a buffer's %.1f ms), %d syncs, %lld bytes, %lld read back in order, file %s\n",
            std::getenv("TONVARA_SLOW_SYNC_MS") ? std::getenv("TONVARA_SLOW_SYNC_MS") : "500",
            static_cast<long long>(buffers), kBufferSize, maxMs, static_cast<long long>(longest), p99Ms,
            maxMs / kBufferMs, p99Ms / kBufferMs, kBufferMs, syncs,
            static_cast<long long>(buffers * kBufferSize), static_cast<long long>(intact * kBufferSize),
            open ? "open to the end" : "CLOSED EARLY");
    }
}

} // namespace

BENCHMARK(BM_SlowDiskStereoWrites)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    // The slow disk is a preloaded shim: run again under it.
    const char* preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "slowsync")) {
        ::setenv("LD_PRELOAD", TONVARA_SLOWSYNC, 1);
        ::execv("/proc/self/exe", argv);
        std::perror("execv");
        return 1;
    }
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
