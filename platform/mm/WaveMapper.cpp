#include "platform/mm/WaveMapper.h"

#include <cstring>
#include <dlfcn.h>
#include <new>
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
    return true;
}
