#include "mm/display/MMFFT.h"

#include <cmath>
#include <fftw3.h>
#include <gtest/gtest.h>
#include <numbers>
#include <random>
#include <vector>

namespace {

struct TFFT {
    explicit TFFT(int order)
        : Data(PrepareRealFFT(order))
    {
    }
    ~TFFT() { ReleaseRealFFT(Data); }
    TMMFFTData* Data;
};

// FFTW's bins 0 .. n/2 - 1 of the same input, as interleaved pairs.
std::vector<float> Reference(const std::vector<float>& input)
{
    const int n = int(input.size());
    std::vector<float> in(input);
    std::vector<fftwf_complex> out(std::size_t(n / 2 + 1));
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(n, in.data(), out.data(), FFTW_ESTIMATE);
    fftwf_execute(plan);
    fftwf_destroy_plan(plan);
    std::vector<float> bins(static_cast<std::size_t>(n));
    for (int k = 0; k < n / 2; ++k) {
        bins[2 * k] = out[k][0];
        bins[2 * k + 1] = out[k][1];
    }
    return bins;
}

} // namespace

TEST(MMFFT, MatchesFftwOnRandomInputForEveryOrder)
{
    std::mt19937 random(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (int order = 1; order <= 16; ++order) {
        SCOPED_TRACE(order);
        TFFT fft(order);
        ASSERT_NE(fft.Data, nullptr);
        std::vector<float> input(std::size_t(1) << order);
        for (float& value : input)
            value = dist(random);
        const std::vector<float> expected = Reference(input);
        std::vector<float> buffer(input);
        DoRealFFT(fft.Data, buffer.data(), 1);
        EXPECT_EQ(buffer[1], 0.0f);
        double error = 0, energy = 0;
        for (std::size_t i = 0; i < buffer.size(); ++i) {
            error += double(buffer[i] - expected[i]) * (buffer[i] - expected[i]);
            energy += double(expected[i]) * expected[i];
        }
        EXPECT_LE(std::sqrt(error / energy), 1e-5);

        // A negative direction is the same transform scaled by 1/n.
        std::vector<float> scaled(input);
        DoRealFFT(fft.Data, scaled.data(), -5);
        for (std::size_t i = 0; i < buffer.size(); i += 97)
            EXPECT_FLOAT_EQ(scaled[i], buffer[i] / float(buffer.size()));
    }
}

TEST(MMFFT, ConstantAndCosineGiveTheirBins)
{
    for (int order : { 2, 3, 7, 10, 12 }) {
        SCOPED_TRACE(order);
        TFFT fft(order);
        const int n = 1 << order;
        std::vector<float> constant(std::size_t(n), 0.25f);
        DoRealFFT(fft.Data, constant.data(), 1);
        EXPECT_EQ(constant[0], 0.25f * float(n));
        for (int i = 1; i < n; ++i)
            ASSERT_EQ(constant[i], 0.0f) << i;

        for (int m : { 1, n / 4 - 1, n / 2 - 1 }) {
            if (m < 1)
                continue;
            SCOPED_TRACE(m);
            std::vector<float> wave(static_cast<std::size_t>(n));
            for (int j = 0; j < n; ++j)
                wave[j] = float(std::cos(2 * std::numbers::pi * m * j / n));
            DoRealFFT(fft.Data, wave.data(), 1);
            const float tolerance = 1e-5f * float(n) / 2;
            for (int k = 0; k < n / 2; ++k) {
                ASSERT_NEAR(wave[2 * k], k == m ? float(n) / 2 : 0.0f, tolerance) << k;
                ASSERT_NEAR(wave[2 * k + 1], 0.0f, tolerance) << k;
            }
        }
    }
}

TEST(MMFFT, PrepareTakesOrdersOneToThirtyOneAndReleaseClears)
{
    EXPECT_EQ(PrepareRealFFT(0), nullptr);
    EXPECT_EQ(PrepareRealFFT(32), nullptr);
    EXPECT_EQ(PrepareRealFFT(-1), nullptr);
    TMMFFTData* fft = PrepareRealFFT(5);
    ASSERT_NE(fft, nullptr);
    EXPECT_EQ(fft->N, 32);
    EXPECT_EQ(fft->Scale, 1.0f / 32);
    // Four bits reversed: 1 -> 8, 6 -> 6, 11 -> 13.
    EXPECT_EQ(fft->BitReverse[1], 8);
    EXPECT_EQ(fft->BitReverse[6], 6);
    EXPECT_EQ(fft->BitReverse[11], 13);
    DoRealFFT(fft, nullptr, 1);
    DoRealFFT(nullptr, nullptr, 1);
    ReleaseRealFFT(fft);
    EXPECT_EQ(fft, nullptr);
    ReleaseRealFFT(fft);
}

TEST(MMFFT, WindowTables)
{
    struct TCase {
        TMMFFTWindow Kind;
        int Index;
        std::int32_t Entry;
    };
    // n = 128. Parzen at 0 is 1 - 128/129; Blackman's terms cancel at 0.
    const TCase cases[] = {
        { fwRectangular, 5, 32767 },
        { fwHamming, 0, 2621 },
        { fwHamming, 64, 32767 },
        { fwHanning, 0, 0 },
        { fwHanning, 32, 16384 },
        { fwBlackman, 0, 0 },
        { fwBlackman, 64, 32767 },
        { fwGaussian, 0, 221 },
        { fwGaussian, 64, 32767 },
        { fwWelch, 64, 32767 },
        { fwParzen, 0, 254 },
        { TMMFFTWindow(9), 3, 32767 },
    };
    std::vector<std::int32_t> table(128);
    for (const TCase& c : cases) {
        SCOPED_TRACE(int(c.Kind));
        MakeFFTWindow(table.data(), c.Kind, 7);
        EXPECT_EQ(table[c.Index], c.Entry) << c.Index;
    }
    EXPECT_EQ(FFTWindowValue(fwGaussian, 0, 128), float(std::exp(-5.0)));
    EXPECT_EQ(FFTWindowValue(fwGaussian, 64, 128), 1.0f);
}
