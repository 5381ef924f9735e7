#include "platform/mm/WaveMapper.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <new>
#include <thread>
#include <type_traits>

/// The compression manager's entries the mapper uses, bound once.
struct TMapperEncoder::TAcmEntries {
    bool Present = false;
    TAcmFormatSuggest FormatSuggest = nullptr;
    TAcmStreamOpen StreamOpen = nullptr;
    TAcmStreamClose StreamClose = nullptr;
    TAcmStreamSize StreamSize = nullptr;
    TAcmStreamPrepareHeader PrepareHeader = nullptr;
    TAcmStreamUnprepareHeader UnprepareHeader = nullptr;
    TAcmStreamConvert Convert = nullptr;

    static const TAcmEntries& Instance()
    {
        // The module stays loaded for the life of the process.
        static const TAcmEntries entries = [] {
            TAcmEntries bound;
            void* module = AcmLoadModule();
            if (module == nullptr)
                return bound;
            auto bind = [module](auto& entry, const char* name) {
                entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(dlsym(module, name));
                return entry != nullptr;
            };
            bound.Present = bind(bound.FormatSuggest, "acmFormatSuggest")
                & bind(bound.StreamOpen, "acmStreamOpen") & bind(bound.StreamClose, "acmStreamClose")
                & bind(bound.StreamSize, "acmStreamSize")
                & bind(bound.PrepareHeader, "acmStreamPrepareHeader")
                & bind(bound.UnprepareHeader, "acmStreamUnprepareHeader")
                & bind(bound.Convert, "acmStreamConvert");
            return bound;
        }();
        return entries;
    }
};

bool TMapperEncoder::Plan(const WAVEFORMATEX* format, WAVEFORMATEX* capture)
{
    const TAcmEntries& acm = TAcmEntries::Instance();
    if (!acm.Present)
        return false;
    WAVEFORMATEX pcm {};
    pcm.wFormatTag = WAVE_FORMAT_PCM;
    auto* source = const_cast<LPWAVEFORMATEX>(format);
    if (acm.FormatSuggest(nullptr, source, &pcm, sizeof(pcm), ACM_FORMATSUGGESTF_WFORMATTAG)
            != MMSYSERR_NOERROR
        || pcm.wFormatTag != WAVE_FORMAT_PCM || pcm.nBlockAlign == 0)
        return false;
    pcm.cbSize = 0;
    if (acm.StreamOpen(nullptr, nullptr, &pcm, source, nullptr, 0, 0, ACM_STREAMOPENF_QUERY)
        != MMSYSERR_NOERROR)
        return false;
    *capture = pcm;
    return true;
}

MMRESULT TMapperEncoder::Open(const WAVEFORMATEX& capture, const WAVEFORMATEX* format)
{
    const TAcmEntries& acm = TAcmEntries::Instance();
    FAcm = &acm;
    WAVEFORMATEX source = capture;
    MMRESULT result = acm.StreamOpen(&FStream, nullptr, &source, const_cast<LPWAVEFORMATEX>(format), nullptr,
        0, 0, ACM_STREAMOPENF_NONREALTIME);
    if (result != MMSYSERR_NOERROR) {
        FStream = nullptr;
        return WAVERR_BADFORMAT;
    }
    DWORD inputBlock = 0;
    result = acm.StreamSize(FStream, format->nBlockAlign, &inputBlock, ACM_STREAMSIZEF_DESTINATION);
    if (result != MMSYSERR_NOERROR || inputBlock == 0 || inputBlock % capture.nBlockAlign != 0)
        return WAVERR_BADFORMAT;
    try {
        FInput.resize(std::size_t { kMaxBlocks } * inputBlock);
        FOutput.resize(std::size_t { kMaxBlocks } * format->nBlockAlign);
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    }
    FHeader.cbStruct = sizeof(FHeader);
    FHeader.pbSrc = FInput.data();
    FHeader.cbSrcLength = static_cast<DWORD>(FInput.size());
    FHeader.pbDst = FOutput.data();
    FHeader.cbDstLength = static_cast<DWORD>(FOutput.size());
    if (acm.PrepareHeader(FStream, &FHeader, 0) != MMSYSERR_NOERROR)
        return MMSYSERR_NOMEM;
    FPrepared = true;
    FChannels = std::max<WORD>(capture.nChannels, 1);
    FBits = capture.wBitsPerSample;
    FFrameBytes = capture.nBlockAlign;
    FPublic = TWaveInEncoder { inputBlock, format->nBlockAlign, kMaxBlocks, FInput.data(), this, &Encode };
    return MMSYSERR_NOERROR;
}

TMapperEncoder::~TMapperEncoder()
{
    if (FPrepared) {
        FHeader.cbSrcLength = static_cast<DWORD>(FInput.size());
        FHeader.cbDstLength = static_cast<DWORD>(FOutput.size());
        FAcm->UnprepareHeader(FStream, &FHeader, 0);
    }
    if (FStream != nullptr)
        FAcm->StreamClose(FStream, 0);
}

// Runs on the capture thread.
bool TMapperEncoder::Encode(void* context, DWORD blocks, BYTE* output)
{
    auto* self = static_cast<TMapperEncoder*>(context);
    ACMSTREAMHEADER& header = self->FHeader;
    header.cbSrcLength = blocks * self->FPublic.InputBlock;
    header.cbDstLength = blocks * self->FPublic.OutputBlock;
    // The first conversion of an open starts the coder afresh: every
    // recording decodes on its own.
    const DWORD flags = ACM_STREAMCONVERTF_BLOCKALIGN | (self->FStarted ? 0 : ACM_STREAMCONVERTF_START);
    if (self->FAcm->Convert(self->FStream, &header, flags) != MMSYSERR_NOERROR
        || header.cbDstLengthUsed != header.cbDstLength || header.cbSrcLengthUsed != header.cbSrcLength)
        return false;
    self->FStarted = true;
    std::memcpy(output, self->FOutput.data(), header.cbDstLengthUsed);
    self->Watch(blocks);
    return true;
}

// Runs on the capture thread: one pass over what Input holds.
void TMapperEncoder::Watch(DWORD blocks)
{
    const ULONGLONG before = FWatchedFrames.load(std::memory_order_relaxed);
    const ULONGLONG frames = ULONGLONG { blocks } * FPublic.InputBlock / FFrameBytes;
    const DWORD threshold = FThreshold.load(std::memory_order_relaxed);
    std::size_t loudEnd = 0; // 1 + the last loud sample
    if (threshold != 0 && FBits == 16) {
        const std::size_t samples = frames * FChannels;
        // The PCM in Input is aligned for its samples (a vector of bytes).
        const auto* pcm = reinterpret_cast<const std::int16_t*>(FInput.data());
        for (std::size_t i = samples; i > 0; --i) {
            if (static_cast<DWORD>(std::abs(int { pcm[i - 1] })) >= threshold) {
                loudEnd = i;
                break;
            }
        }
    }
    const ULONGLONG version = FVersion.load(std::memory_order_relaxed);
    FVersion.store(version + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    FWatchedFrames.store(before + frames, std::memory_order_relaxed);
    if (loudEnd != 0)
        FLoudUntil.store(before + (loudEnd - 1) / FChannels + 1, std::memory_order_relaxed);
    FVersion.store(version + 2, std::memory_order_release);
}

bool TMapperEncoder::SetWatch(DWORD threshold)
{
    if (FBits != 16)
        return false;
    FThreshold.store(threshold, std::memory_order_relaxed);
    return true;
}

void TMapperEncoder::ReadWatch(TWaveInStatistics& statistics) const
{
    for (;;) {
        const ULONGLONG version = FVersion.load(std::memory_order_acquire);
        statistics.WatchedFrames = FWatchedFrames.load(std::memory_order_relaxed);
        statistics.LoudUntil = FLoudUntil.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (version % 2 == 0 && FVersion.load(std::memory_order_relaxed) == version)
            return;
        std::this_thread::yield();
    }
}
