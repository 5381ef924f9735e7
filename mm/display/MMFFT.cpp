#include "mm/display/MMFFT.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>

// The kernels are written once as always-inline bodies and instantiated
// twice: for the baseline processor and, on x86-64, for AVX2 with FMA. The
// vectoriser turns the inner loops (contiguous runs of real and imaginary
// parts) into SIMD code for whichever build it compiles.
#define MMFFT_INLINE inline __attribute__((always_inline))

namespace {

constexpr std::size_t kAlign = 64;

float* AllocFloats(std::int64_t count)
{
    if (count <= 0 || std::uint64_t(count) > SIZE_MAX / sizeof(float) - kAlign)
        return nullptr;
    std::size_t bytes = std::size_t(count) * sizeof(float);
    bytes = (bytes + kAlign - 1) / kAlign * kAlign;
    return static_cast<float*>(std::aligned_alloc(kAlign, bytes));
}

std::int32_t* AllocInts(std::int64_t count)
{
    return reinterpret_cast<std::int32_t*>(AllocFloats(count));
}

// ---------------------------------------------------------------------------
// Kernel bodies

MMFFT_INLINE void ScaleBody(std::int64_t count, float factor, float* __restrict buffer)
{
    for (std::int64_t i = 0; i < count; ++i)
        buffer[i] *= factor;
}

MMFFT_INLINE void ComplexMultiplyBody(std::int64_t count, float* __restrict a, const float* __restrict b)
{
    for (std::int64_t k = 0; k < count; ++k) {
        const float ar = a[2 * k], ai = a[2 * k + 1];
        const float br = b[2 * k], bi = b[2 * k + 1];
        a[2 * k] = ar * br - ai * bi;
        a[2 * k + 1] = ar * bi + ai * br;
    }
}

MMFFT_INLINE void BitReverseComplexBody(int order, const std::int32_t* table, float* buffer)
{
    const std::int64_t count = std::int64_t(1) << order;
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t r = table[i];
        if (i < r) {
            std::swap(buffer[2 * i], buffer[2 * r]);
            std::swap(buffer[2 * i + 1], buffer[2 * r + 1]);
        }
    }
}

// One radix-2^2 decimation-in-frequency step over blocks of 4m points held
// as separate real and imaginary runs. Per j the four quarters a, b, c, d
// become a+b+c+d, (a-b+c-d) W^2j, (a-c - i(b-d)) W^j and (a-c + i(b-d))
// W^3j, stored in that order so that the final order is bit-reversed.
MMFFT_INLINE void Radix4Block(float* __restrict r0, float* __restrict r1, float* __restrict r2,
    float* __restrict r3, float* __restrict i0, float* __restrict i1, float* __restrict i2,
    float* __restrict i3, std::int64_t m, const float* __restrict tw)
{
    const float* __restrict w1r = tw;
    const float* __restrict w1i = tw + m;
    const float* __restrict w2r = tw + 2 * m;
    const float* __restrict w2i = tw + 3 * m;
    const float* __restrict w3r = tw + 4 * m;
    const float* __restrict w3i = tw + 5 * m;
    for (std::int64_t j = 0; j < m; ++j) {
        const float t0r = r0[j] + r2[j], t0i = i0[j] + i2[j];
        const float t1r = r0[j] - r2[j], t1i = i0[j] - i2[j];
        const float t2r = r1[j] + r3[j], t2i = i1[j] + i3[j];
        const float t3r = r1[j] - r3[j], t3i = i1[j] - i3[j];
        const float ur = t0r - t2r, ui = t0i - t2i;
        const float vr = t1r + t3i, vi = t1i - t3r;
        const float xr = t1r - t3i, xi = t1i + t3r;
        r0[j] = t0r + t2r;
        i0[j] = t0i + t2i;
        r1[j] = ur * w2r[j] - ui * w2i[j];
        i1[j] = ur * w2i[j] + ui * w2r[j];
        r2[j] = vr * w1r[j] - vi * w1i[j];
        i2[j] = vr * w1i[j] + vi * w1r[j];
        r3[j] = xr * w3r[j] - xi * w3i[j];
        i3[j] = xr * w3i[j] + xi * w3r[j];
    }
}

// The last radix-2^2 step (blocks of 4, every twiddle 1).
MMFFT_INLINE void Radix4Last(float* __restrict re, float* __restrict im, std::int64_t n)
{
    for (std::int64_t s = 0; s < n; s += 4) {
        const float t0r = re[s] + re[s + 2], t0i = im[s] + im[s + 2];
        const float t1r = re[s] - re[s + 2], t1i = im[s] - im[s + 2];
        const float t2r = re[s + 1] + re[s + 3], t2i = im[s + 1] + im[s + 3];
        const float t3r = re[s + 1] - re[s + 3], t3i = im[s + 1] - im[s + 3];
        re[s] = t0r + t2r;
        im[s] = t0i + t2i;
        re[s + 1] = t0r - t2r;
        im[s + 1] = t0i - t2i;
        re[s + 2] = t1r + t3i;
        im[s + 2] = t1i - t3r;
        re[s + 3] = t1r - t3i;
        im[s + 3] = t1i + t3r;
    }
}

MMFFT_INLINE void Radix2Last(float* __restrict re, float* __restrict im, std::int64_t n)
{
    for (std::int64_t s = 0; s < n; s += 2) {
        const float ar = re[s], ai = im[s];
        re[s] = ar + re[s + 1];
        im[s] = ai + im[s + 1];
        re[s + 1] = ar - re[s + 1];
        im[s + 1] = ai - im[s + 1];
    }
}

MMFFT_INLINE void RealFFTBody(const TMMFFTData* fft, float* __restrict buffer)
{
    const std::int64_t count = fft->N / 2; // complex points
    float* __restrict re = fft->Work;
    float* __restrict im = fft->Work + count;
    for (std::int64_t j = 0; j < count; ++j) {
        re[j] = buffer[2 * j];
        im[j] = buffer[2 * j + 1];
    }

    // The complex transform, in place, longest stage first.
    const float* tw = fft->StageTwiddles;
    std::int64_t length = count;
    for (; length > 4; length /= 4) {
        const std::int64_t m = length / 4;
        for (std::int64_t s = 0; s < count; s += length)
            Radix4Block(re + s, re + s + m, re + s + 2 * m, re + s + 3 * m, im + s, im + s + m,
                im + s + 2 * m, im + s + 3 * m, m, tw);
        tw += 6 * m;
    }
    if (length == 4)
        Radix4Last(re, im, count);
    else if (length == 2)
        Radix2Last(re, im, count);

    // Bit reversal, the real split and the return to interleaved pairs in
    // one pass: Z[k] is read where the kernel left it.
    const std::int32_t* __restrict rev = fft->BitReverse;
    buffer[0] = re[0] + im[0];
    buffer[1] = 0;
    const std::int64_t half = count / 2;
    const float* __restrict split = fft->SplitTwiddles;
    for (std::int64_t k = 1; k < half; ++k) {
        const std::int64_t p = rev[k], q = rev[count - k];
        const float a = re[p], b = im[p], c = re[q], d = im[q];
        const float h = split[2 * (k - 1)], g = split[2 * (k - 1) + 1];
        const float diff = a - c, sum = b + d;
        const float mm = diff * g + sum * h;
        const float l = sum * g - diff * h;
        buffer[2 * k] = c + mm;
        buffer[2 * (count - k)] = a - mm;
        buffer[2 * k + 1] = l - d;
        buffer[2 * (count - k) + 1] = l - b;
    }
    if (count >= 2) {
        const std::int64_t p = rev[half];
        buffer[2 * half] = re[p];
        buffer[2 * half + 1] = -im[p];
    }
}

// ---------------------------------------------------------------------------
// Instantiations

void ScaleGeneric(std::int64_t count, float factor, float* buffer)
{
    ScaleBody(count, factor, buffer);
}
void ComplexMultiplyGeneric(std::int64_t count, float* a, const float* b)
{
    ComplexMultiplyBody(count, a, b);
}
void ClearGeneric(std::int64_t count, float* buffer)
{
    std::memset(buffer, 0, std::size_t(count) * sizeof(float));
}
void ClearComplexGeneric(std::int64_t count, float* buffer)
{
    std::memset(buffer, 0, std::size_t(count) * 2 * sizeof(float));
}
void BitReverseComplexGeneric(int order, const std::int32_t* table, float* buffer)
{
    BitReverseComplexBody(order, table, buffer);
}
void RealFFTGeneric(const TMMFFTData* fft, float* buffer)
{
    RealFFTBody(fft, buffer);
}

#if defined(__x86_64__)
#define MMFFT_AVX2 __attribute__((target("avx2,fma")))
MMFFT_AVX2 void ScaleAvx2(std::int64_t count, float factor, float* buffer)
{
    ScaleBody(count, factor, buffer);
}
MMFFT_AVX2 void ComplexMultiplyAvx2(std::int64_t count, float* a, const float* b)
{
    ComplexMultiplyBody(count, a, b);
}
MMFFT_AVX2 void RealFFTAvx2(const TMMFFTData* fft, float* buffer)
{
    RealFFTBody(fft, buffer);
}
#endif

TMMFFTKernels ChooseKernels()
{
    TMMFFTKernels kernels { ScaleGeneric, ComplexMultiplyGeneric, ClearGeneric, ClearComplexGeneric,
        BitReverseComplexGeneric, RealFFTGeneric };
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        kernels.Scale = ScaleAvx2;
        kernels.ComplexMultiply = ComplexMultiplyAvx2;
        kernels.RealFFT = RealFFTAvx2;
    }
#endif
    return kernels;
}

const TMMFFTKernels kKernels = ChooseKernels();

// ---------------------------------------------------------------------------
// Tables

void FillBitReverse(std::int32_t* table, int bits)
{
    const std::int64_t count = std::int64_t(1) << bits;
    for (std::int64_t i = 0; i < count; ++i) {
        std::int64_t result = 0;
        for (std::int64_t mask = count >> 1; mask > 0; mask >>= 1) {
            result >>= 1;
            if (i & mask)
                result += count >> 1;
        }
        table[i] = std::int32_t(result);
    }
}

std::int64_t StageTwiddleCount(std::int64_t count)
{
    std::int64_t total = 0;
    for (std::int64_t length = count; length > 4; length /= 4)
        total += 6 * (length / 4);
    return total;
}

// Each value straight from cos and sin in extended precision: a running
// rotation drifts over the long stages.
void FillStageTwiddles(float* tw, std::int64_t count)
{
    for (std::int64_t length = count; length > 4; length /= 4) {
        const std::int64_t m = length / 4;
        const long double theta = 2.0L * std::numbers::pi_v<long double> / (long double)length;
        for (std::int64_t j = 0; j < m; ++j) {
            for (int p = 1; p <= 3; ++p) {
                const long double angle = theta * (long double)(p * j);
                tw[(2 * (p - 1)) * m + j] = float(std::cos(angle));
                tw[(2 * (p - 1) + 1) * m + j] = float(-std::sin(angle));
            }
        }
        tw += 6 * m;
    }
}

void FillSplitTwiddles(float* split, std::int64_t count)
{
    const long double phi = std::numbers::pi_v<long double> / (long double)count;
    for (std::int64_t k = 1; k <= count / 2; ++k) {
        split[2 * (k - 1)] = float(0.5L * std::cos(phi * (long double)k));
        split[2 * (k - 1) + 1] = float(0.5L - 0.5L * std::sin(phi * (long double)k));
    }
}

} // namespace

const TMMFFTKernels& MMFFTKernels()
{
    return kKernels;
}

TMMFFTData* PrepareRealFFT(int order)
{
    if (order < 1 || order > 31)
        return nullptr;
    auto* fft = new (std::nothrow) TMMFFTData;
    if (fft == nullptr)
        return nullptr;
    fft->Order = order;
    fft->N = std::int64_t(1) << order;
    fft->Scale = float(1.0L / (long double)fft->N);
    const std::int64_t count = fft->N / 2;
    fft->BitReverse = AllocInts(count);
    const std::int64_t stageCount = StageTwiddleCount(count);
    fft->StageTwiddles = AllocFloats(stageCount > 0 ? stageCount : 1);
    fft->SplitTwiddles = AllocFloats(count >= 2 ? count : 1);
    fft->Work = AllocFloats(2 * count);
    if (!fft->BitReverse || !fft->StageTwiddles || !fft->SplitTwiddles || !fft->Work) {
        ReleaseRealFFT(fft);
        return nullptr;
    }
    FillBitReverse(fft->BitReverse, order - 1);
    FillStageTwiddles(fft->StageTwiddles, count);
    FillSplitTwiddles(fft->SplitTwiddles, count);
    return fft;
}

void ReleaseRealFFT(TMMFFTData*& fft)
{
    if (fft == nullptr)
        return;
    std::free(fft->BitReverse);
    std::free(fft->StageTwiddles);
    std::free(fft->SplitTwiddles);
    std::free(fft->Work);
    delete fft;
    fft = nullptr;
}

void DoRealFFT(const TMMFFTData* fft, float* buffer, int direction)
{
    if (fft == nullptr || buffer == nullptr)
        return;
    kKernels.RealFFT(fft, buffer);
    if (direction < 0)
        kKernels.Scale(fft->N, fft->Scale, buffer);
}

float FFTWindowValue(TMMFFTWindow kind, std::int64_t i, std::int64_t n)
{
    const long double pi = std::numbers::pi_v<long double>;
    const long double x = (long double)i / (long double)n;
    const long double c = (long double)(2 * i - n);
    const long double d = c / (long double)(n + 1);
    long double value = 1;
    switch (kind) {
    case fwRectangular:
        value = 1;
        break;
    case fwHamming:
        value = 0.54L - 0.46L * std::cos(2 * pi * x);
        break;
    case fwHanning:
        value = 0.5L - 0.5L * std::cos(2 * pi * x);
        break;
    case fwBlackman:
        value = 0.42L - 0.5L * std::cos(2 * pi * x) + 0.08L * std::cos(4 * pi * x);
        break;
    case fwGaussian:
        value = std::exp(-5 * c * c / ((long double)n * (long double)n));
        break;
    case fwWelch:
        value = 1 - d * d;
        break;
    case fwParzen:
        value = 1 - std::fabs(d);
        break;
    }
    return float(value);
}

void MakeFFTWindow(std::int32_t* table, TMMFFTWindow kind, int order)
{
    if (table == nullptr || order < 0 || order > 31)
        return;
    const std::int64_t n = std::int64_t(1) << order;
    for (std::int64_t i = 0; i < n; ++i)
        table[i] = std::int32_t(std::floor((long double)FFTWindowValue(kind, i, n) * 32767.0L + 0.5L));
}
