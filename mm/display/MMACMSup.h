#pragma once
// The displays' format conversion: finds the PCM format a display can be fed
// for a compressed stream and converts the stream to it through the
// compression manager (mm/capture/MMACM.h), possibly in several steps (for
// example GSM 6.10 -> 16-bit PCM -> 8-bit PCM).
//
// Every call fails (suggests nothing, finds nothing possible, opens nothing)
// while the manager is not bound or older than version 2.00.
//
// Threads. A chain belongs to one caller at a time: open and close it where
// the chain is started and stopped, convert in the buffer thread, and keep
// the two apart (the connector does so with its critical section). The
// other functions may be called from any thread.

#include "platform/mm/MMSystem.h"

#include <cstdint>
#include <memory>
#include <vector>

/// The 18-byte PCM format (cbSize 0) a display gets for Source: Source itself
/// (copied) when it is PCM, else the manager's PCM suggestion for it if the
/// manager can also convert Source to it. Otherwise Dest is all zeros
/// (wFormatTag 0: not convertible) and the result is false.
bool ACMSuggestPCMFormat(LPCWAVEFORMATEX source, WAVEFORMATEX* dest);

/// Whether Source can be converted to Dest: formats that agree in tag, bits
/// per sample, channels and rate need no conversion; otherwise directly, or
/// through up to two intermediate PCM formats that the manager suggests.
/// RealTime false also accepts conversions that are too slow for real time.
bool ACMConversionPossible(LPCWAVEFORMATEX source, LPCWAVEFORMATEX dest, bool realTime);

/// An open conversion from one format to another, one manager stream per
/// step, with its buffers. Made by ACMOpenChain.
///
/// Each step keeps the source bytes its stream did not consume (a partial
/// block) and puts them in front of its next input. Its source buffer holds
/// a whole input plus such a remainder, so no delivery, however it is cut,
/// can overflow it.
class TMMACMChain {
public:
    ~TMMACMChain();
    TMMACMChain(const TMMACMChain&) = delete;
    TMMACMChain& operator=(const TMMACMChain&) = delete;

    /// The most bytes one Convert takes from its caller: the buffer size
    /// given at open rounded down to whole source blocks (at least one).
    int SourceSize() const { return FSourceSize; }
    /// Where the converted data is: valid after Convert, up to its result.
    const BYTE* OutputBuffer() const;
    /// The capacity of OutputBuffer: no Convert yields more.
    int OutputSize() const;
    /// The number of conversion steps (0 when the formats agree).
    int StepCount() const { return static_cast<int>(FSteps.size()); }
    /// The source bytes the first step holds back for the next delivery.
    int Leftover() const;

    /// Converts the first min(Count, SourceSize) bytes of Data, after the
    /// bytes held back from the previous call, through every step. Returns
    /// the number of converted bytes in OutputBuffer (0 when too little came
    /// for one block), or -1 when the manager reports an error or a step's
    /// codec leaves a whole block or more unconverted (the bytes that step
    /// held back are then dropped; the next call goes on from its own data).
    /// Allocates nothing.
    int Convert(const void* data, int count);

private:
    friend std::unique_ptr<TMMACMChain> ACMOpenChain(LPCWAVEFORMATEX, LPCWAVEFORMATEX, int, bool);
    struct TStep;
    TMMACMChain();

    int FSourceSize = 0;
    std::vector<std::unique_ptr<TStep>> FSteps;
    std::vector<BYTE> FPlain; // the output of a chain without steps
};

/// Opens a conversion from Source to Dest for deliveries of up to
/// BufferSize bytes (the search of ACMConversionPossible picks the steps).
/// Null when the conversion is not possible or a step cannot be opened; what
/// was opened is closed again.
std::unique_ptr<TMMACMChain> ACMOpenChain(
    LPCWAVEFORMATEX source, LPCWAVEFORMATEX dest, int bufferSize, bool realTime);
