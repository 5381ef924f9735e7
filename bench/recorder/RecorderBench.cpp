// What recording costs: the process's CPU time per second of recorded audio
// while the program's two recorders record into a file for 30 s (a sine tone
// playing into the sound server), against the platform's wave input alone
// capturing the same format into the same buffers (no chain, no file) as the
// yardstick measured in the same run.
//
//   MonoDosya    GSM 6.10 through the wave mapper, worker thread (cmThread)
//   StereoDosya  48 kHz 16-bit stereo PCM, GUI thread (cmWindow)
//
// Needs a sound server: bench/recorder/run starts one (or run it under
// scripts/test's servers, PULSE_SERVER set). TONVARA_BENCH_SECONDS changes
// the 30 s.
#include "mm/capture/MMWRec.h"
#include "platform/mm/MSAcm.h"
#include "platform/mm/WaveIn.h"
#include "platform/ui/FormReader.h"
#include "support/RecorderForms.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>
#include <atomic>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using tonvara::test::kMonoDosya;
using tonvara::test::kStereoDosya;

double ProcessCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

int RecordSeconds()
{
    const char* text = std::getenv("TONVARA_BENCH_SECONDS");
    const int seconds = text != nullptr ? std::atoi(text) : 30;
    return seconds > 0 ? seconds : 30;
}

std::string BenchPath(const char* name)
{
    return std::string("/tmp/tonvara-bench-") + std::to_string(::getpid()) + "-" + name;
}

/// A tone into the default sink for the whole measurement.
class TTone {
public:
    explicit TTone(int seconds)
    {
        FProcess.start("sox",
            { "-n", "-q", "-t", "pulseaudio", "default", "synth", QString::number(seconds + 5), "sine",
                "1000", "vol", "0.5" });
        FProcess.waitForStarted(5000);
    }
    ~TTone()
    {
        FProcess.kill();
        FProcess.waitForFinished(5000);
    }

private:
    QProcess FProcess;
};

/// Runs the event loop for Seconds (the GUI thread's share of the work
/// happens here in window mode).
void RunFor(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

/// The yardsticks, CPU seconds per second of audio, by format.
double gRawGsm = 0;
double gRawPcm = 0;

void Report(benchmark::State& state, double cpu, double wall, double audioSeconds, double yardstick)
{
    const double perSecond = audioSeconds > 0 ? cpu / audioSeconds : 0;
    state.counters["cpu_ms_per_audio_s"] = perSecond * 1000;
    state.counters["cpu_load_pct"] = wall > 0 ? cpu / wall * 100 : 0;
    state.counters["audio_s"] = audioSeconds;
    if (yardstick > 0)
        state.counters["x_raw_capture"] = perSecond / yardstick;
}

// The platform's wave input alone: the callback queues every buffer again.
struct TRawCapture {
    HWAVEIN Handle = nullptr;
    std::atomic<bool> Requeue { true };
    std::atomic<std::uint64_t> Bytes { 0 };

    static void Callback(HWAVEIN handle, UINT msg, DWORD_PTR instance, DWORD_PTR dw1, DWORD_PTR)
    {
        if (msg != MM_WIM_DATA)
            return;
        auto* self = reinterpret_cast<TRawCapture*>(instance);
        auto* header = reinterpret_cast<WAVEHDR*>(dw1);
        self->Bytes += header->dwBytesRecorded;
        if (self->Requeue)
            waveInAddBuffer(handle, header, sizeof(WAVEHDR));
    }
};

void RawCapture(benchmark::State& state, const WAVEFORMATEX* format, DWORD bufferBytes, double* yardstick)
{
    const int seconds = RecordSeconds();
    TTone tone(seconds);
    for (auto _ : state) {
        TRawCapture capture;
        std::vector<std::vector<char>> memory(20, std::vector<char>(bufferBytes));
        std::vector<WAVEHDR> headers(20);
        if (waveInOpen(&capture.Handle, WAVE_MAPPER, format,
                reinterpret_cast<DWORD_PTR>(&TRawCapture::Callback), reinterpret_cast<DWORD_PTR>(&capture),
                CALLBACK_FUNCTION)
            != MMSYSERR_NOERROR) {
            state.SkipWithError("the device does not open: is a sound server running?");
            return;
        }
        const double cpu0 = ProcessCpuSeconds();
        QElapsedTimer wall;
        wall.start();
        for (std::size_t i = 0; i < headers.size(); ++i) {
            headers[i].lpData = memory[i].data();
            headers[i].dwBufferLength = bufferBytes;
            waveInPrepareHeader(capture.Handle, &headers[i], sizeof(WAVEHDR));
            waveInAddBuffer(capture.Handle, &headers[i], sizeof(WAVEHDR));
        }
        waveInStart(capture.Handle);
        RunFor(seconds);
        capture.Requeue = false;
        waveInReset(capture.Handle);
        for (WAVEHDR& header : headers)
            waveInUnprepareHeader(capture.Handle, &header, sizeof(WAVEHDR));
        waveInClose(capture.Handle);
        const double cpu = ProcessCpuSeconds() - cpu0;
        const double audio = static_cast<double>(capture.Bytes.load()) / format->nAvgBytesPerSec;
        *yardstick = audio > 0 ? cpu / audio : 0;
        Report(state, cpu, static_cast<double>(wall.elapsed()) / 1000, audio, 0);
    }
}

void Record(benchmark::State& state, const QByteArray& form, const char* fileName, double yardstick)
{
    const int seconds = RecordSeconds();
    const std::string path = BenchPath(fileName);
    TTone tone(seconds);
    for (auto _ : state) {
        std::unique_ptr<TComponent> read(ReadComponentFromText(form, nullptr));
        auto* recorder = qobject_cast<TMMWaveRecorder*>(read.get());
        std::atomic<std::uint64_t> bytes { 0 };
        recorder->SetOnData([&bytes](TObject*, PWaveHdr header) { bytes += header->dwBytesRecorded; });
        recorder->Wave()->SetFileName(QString::fromStdString(path));
        const double cpu0 = ProcessCpuSeconds();
        QElapsedTimer wall;
        wall.start();
        try {
            recorder->Start();
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            return;
        }
        RunFor(seconds);
        recorder->Stop();
        const double cpu = ProcessCpuSeconds() - cpu0;
        const double audio = static_cast<double>(bytes.load()) / recorder->PWaveFormat()->nAvgBytesPerSec;
        Report(state, cpu, static_cast<double>(wall.elapsed()) / 1000, audio, yardstick);
    }
    std::remove(path.c_str());
}

GSM610WAVEFORMAT GsmFormat()
{
    GSM610WAVEFORMAT f {};
    f.wfx = { WAVE_FORMAT_GSM610, 1, 8000, 1625, 65, 0, 2 };
    f.wSamplesPerBlock = 320;
    return f;
}

void BM_RawCaptureGsm(benchmark::State& state)
{
    const GSM610WAVEFORMAT gsm = GsmFormat();
    RawCapture(state, &gsm.wfx, 4095, &gRawGsm);
}

void BM_MonoDosya(benchmark::State& state)
{
    Record(state, kMonoDosya, "mono.wav", gRawGsm);
}

void BM_RawCapturePcm(benchmark::State& state)
{
    WAVEFORMATEX pcm { WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0 };
    RawCapture(state, &pcm, 4096, &gRawPcm);
}

void BM_StereoDosya(benchmark::State& state)
{
    Record(state, kStereoDosya, "stereo.wav", gRawPcm);
}

BENCHMARK(BM_RawCaptureGsm)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MonoDosya)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RawCapturePcm)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StereoDosya)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    // The mapper's GSM 6.10 comes from the compression manager module of
    // this build tree (lib/ two levels above bench/recorder/).
    std::error_code error;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::string module
        = (exe.parent_path() / "../../lib/libtonvara_acm.so").lexically_normal().string();
    setenv(kAcmModuleVariable, module.c_str(), 0);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    if (std::getenv("PULSE_SERVER") == nullptr)
        std::fprintf(stderr, "bench_recorder: PULSE_SERVER is not set; run it through bench/recorder/run\n");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
