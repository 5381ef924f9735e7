// The real FFT of the displays against FFTW's single-precision real-to-
// complex transform (planned with FFTW_MEASURE) at the lengths the light
// organ and the spectrum displays use. Prints our time over FFTW's for each
// length at the end.
#include "mm/display/MMFFT.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <fftw3.h>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kOrders[] = { 7, 10, 12 };

std::vector<float> Noise(std::int64_t n)
{
    std::mt19937 random(12);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> data(std::size_t(n), 0.0f);
    for (float& value : data)
        value = dist(random);
    return data;
}

void BM_MMFFT(benchmark::State& state)
{
    TMMFFTData* fft = PrepareRealFFT(int(state.range(0)));
    const std::vector<float> input = Noise(fft->N);
    float* buffer = fftwf_alloc_real(std::size_t(fft->N));
    for (auto _ : state) {
        // The transform is in place: every round starts from the same input.
        std::copy(input.begin(), input.end(), buffer);
        DoRealFFT(fft, buffer, 1);
        benchmark::DoNotOptimize(buffer);
        benchmark::ClobberMemory();
    }
    fftwf_free(buffer);
    ReleaseRealFFT(fft);
}

void BM_FFTW(benchmark::State& state)
{
    const int n = 1 << state.range(0);
    float* in = fftwf_alloc_real(std::size_t(n));
    fftwf_complex* out = fftwf_alloc_complex(std::size_t(n / 2 + 1));
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(n, in, out, FFTW_MEASURE);
    const std::vector<float> input = Noise(n);
    for (auto _ : state) {
        // The same copy as above, so that the ratio compares transforms.
        std::copy(input.begin(), input.end(), in);
        fftwf_execute(plan);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    fftwf_destroy_plan(plan);
    fftwf_free(out);
    fftwf_free(in);
}

// Keeps the CPU time per iteration (steadier than wall time on a shared machine) of each run, for the ratios
// at the end.
class TRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && run.iterations > 0)
                FTimes[run.benchmark_name()] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    double Time(const std::string& name) const
    {
        auto it = FTimes.find(name);
        return it == FTimes.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> FTimes;
};

} // namespace

BENCHMARK(BM_MMFFT)->Arg(7)->Arg(10)->Arg(12)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_FFTW)->Arg(7)->Arg(10)->Arg(12)->Unit(benchmark::kNanosecond);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (int order : kOrders) {
        const double ours = reporter.Time("BM_MMFFT/" + std::to_string(order));
        const double fftw = reporter.Time("BM_FFTW/" + std::to_string(order));
        if (ours > 0 && fftw > 0)
            std::printf("N = %5d: ours %.3f us, FFTW %.3f us, ratio %.2fx\n", 1 << order, ours / 1000,
                fftw / 1000, ours / fftw);
    }
    benchmark::Shutdown();
    return 0;
}
