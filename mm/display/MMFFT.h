#pragma once
// The spectrum machinery of the displays: the analysis windows of
// TMMFFTWindow as fixed-point tables, and an in-place forward real FFT on
// single-precision floats for one power-of-two length n = 2^order.
//
// The real input is packed into a complex transform of N = n/2 points
// (z[j] = x[2j] + i x[2j+1]), computed by a decimation-in-frequency
// radix-2^2 kernel whose output comes out in bit-reversed order, then split
// into the spectrum of the real signal. The result replaces the input:
//
//     buffer[2k] = Re X[k], buffer[2k + 1] = Im X[k],  k = 0 .. n/2 - 1
//     X[k] = sum over j of x[j] e^(-2 pi i jk / n)
//
// buffer[1], which would hold Im X[0], is 0; the Nyquist value X[n/2] is
// not kept.
//
// Every table is built once by PrepareRealFFT; DoRealFFT allocates nothing.
// A prepared record may be used by one thread at a time (the transform works
// in the record's scratch area); different records are independent. The
// window routines keep no state and may run on any thread.

#include "mm/core/MMUtils.h"

#include <cstdint>

/// The numerical kernels, chosen once when the unit initialises (a build for
/// processors with AVX2 and FMA where the processor has them). The
/// transform reaches them only through MMFFTKernels().
struct TMMFFTKernels {
    /// Multiplies Count floats of Buffer by Factor.
    void (*Scale)(std::int64_t count, float factor, float* buffer);
    /// A[k] := A[k] x B[k] for Count interleaved complex pairs.
    void (*ComplexMultiply)(std::int64_t count, float* a, const float* b);
    /// Zeroes Count floats.
    void (*Clear)(std::int64_t count, float* buffer);
    /// Zeroes Count complex pairs.
    void (*ClearComplex)(std::int64_t count, float* buffer);
    /// Swaps complex pairs i and Table[i] of Buffer for i < Table[i]
    /// (2^order pairs).
    void (*BitReverseComplex)(int order, const std::int32_t* table, float* buffer);
    /// The whole forward transform of a prepared record (see DoRealFFT).
    void (*RealFFT)(const struct TMMFFTData* fft, float* buffer);
};

/// The kernel table in use.
const TMMFFTKernels& MMFFTKernels();

/// A transform prepared for n = 2^Order real samples. Made by
/// PrepareRealFFT, freed by ReleaseRealFFT; the tables belong to the record.
struct TMMFFTData {
    /// log2 n, 1 .. 31.
    std::int32_t Order = 0;
    /// The number of real samples. 64 bits: 2^31 does not fit 32.
    std::int64_t N = 0;
    /// 1 / n.
    float Scale = 0;
    /// n/2 entries: entry i is i with its Order - 1 low bits reversed.
    std::int32_t* BitReverse = nullptr;
    /// The kernel's twiddles, stage by stage from the longest: for a stage
    /// of quarter length m, six runs of m floats: Re and Im of W^j, W^2j and
    /// W^3j (W = e^(-2 pi i / 4m), j = 0 .. m - 1).
    float* StageTwiddles = nullptr;
    /// n/4 entries of 2 floats: entry k - 1 holds 0.5 cos(k phi) and
    /// 0.5 - 0.5 sin(k phi), phi = pi / (n/2), for k = 1 .. n/4.
    float* SplitTwiddles = nullptr;
    /// 2 x n/2 floats of working space (real parts, then imaginary parts).
    float* Work = nullptr;
};

/// A new record for n = 2^Order, or null when Order is outside 1 .. 31 or
/// the memory for its tables cannot be obtained (nothing is then kept).
TMMFFTData* PrepareRealFFT(int order);

/// Frees the record and its tables and sets Fft to null; null is ignored.
void ReleaseRealFFT(TMMFFTData*& fft);

/// Transforms the record's n floats of Buffer in place (layout above).
/// Direction is clamped to -1 .. 1; a negative direction runs the same
/// forward transform and multiplies the result by 1/n. Nothing happens when
/// Fft or Buffer is null.
void DoRealFFT(const TMMFFTData* fft, float* buffer, int direction = 1);

/// The window Kind at sample I of N (periodic: divided by N, not N - 1),
/// rounded to single precision; 1 for a kind outside the enumeration.
float FFTWindowValue(TMMFFTWindow kind, std::int64_t i, std::int64_t n);

/// Fills 2^Order entries of Table with floor(FFTWindowValue x 32767 + 0.5).
void MakeFFTWindow(std::int32_t* table, TMMFFTWindow kind, int order);
