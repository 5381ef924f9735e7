#pragma once
// The wave mapper's encoder: when a caller opens the mapper in a format the
// device cannot capture (GSM 6.10, say), the device captures PCM and this
// converts it through the compression manager (platform/mm/MSAcm.h, bound at
// first use) into the caller's format.
//
// Threads: Plan, Open and destruction run on the thread in waveInOpen and
// waveInClose; the encoder's Encode entry (TWaveInEncoder) on the capture
// thread, while the encoder is open.

#include "platform/mm/MSAcm.h"
#include "platform/mm/WaveIn.h"

#include <atomic>
#include <vector>

/// PCM in, the caller's format out, one ACM stream, buffers prepared once so
/// that the capture thread converts without allocating.
class TMapperEncoder {
public:
    static constexpr DWORD kMaxBlocks = 64;

    TMapperEncoder() = default;
    TMapperEncoder(const TMapperEncoder&) = delete;
    TMapperEncoder& operator=(const TMapperEncoder&) = delete;
    ~TMapperEncoder();

    /// The PCM format the device captures for Format, if the compression
    /// manager can convert it into Format.
    static bool Plan(const WAVEFORMATEX* format, WAVEFORMATEX* capture);

    /// Opens the conversion; MMSYSERR_NOERROR or the reason it cannot.
    MMRESULT Open(const WAVEFORMATEX& capture, const WAVEFORMATEX* format);

    TWaveInEncoder* Public() { return &FPublic; }

    /// The level watch (WaveInSetLevelWatch): false when the captured PCM is
    /// not 16-bit. Any thread.
    bool SetWatch(DWORD threshold);
    /// Fills the watch's fields of Statistics. Any thread.
    void ReadWatch(TWaveInStatistics& statistics) const;

private:
    struct TAcmEntries;

    static bool Encode(void* context, DWORD blocks, BYTE* output);
    void Watch(DWORD blocks); // capture thread

    const TAcmEntries* FAcm = nullptr;
    HACMSTREAM FStream = nullptr;
    ACMSTREAMHEADER FHeader {};
    bool FPrepared = false;
    bool FStarted = false; // capture thread only
    std::vector<BYTE> FInput;
    std::vector<BYTE> FOutput;
    TWaveInEncoder FPublic {};
    WORD FChannels = 1; // of the captured PCM
    WORD FBits = 16;
    DWORD FFrameBytes = 2;
    // The watch, written by the capture thread only. The two counters are
    // read as a pair: FVersion is odd while they change, and a reader that
    // saw it change reads again (the writer never waits).
    std::atomic<DWORD> FThreshold { 0 };
    std::atomic<ULONGLONG> FVersion { 0 };
    std::atomic<ULONGLONG> FWatchedFrames { 0 };
    std::atomic<ULONGLONG> FLoudUntil { 0 };
};
