// A compression manager with one codec that takes fewer whole blocks per
// conversion than it is offered, for the display conversion's tests. Its
// source tag is kSlowTag with 4-byte blocks; its target 16-bit mono PCM of
// the same rate, each block becoming two samples of the same bytes. The
// WORD after the source format's cbSize caps the blocks one conversion
// takes (0: all it is offered).
#include "platform/mm/MSAcm.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr WORD kSlowTag = 0x7E57;
constexpr DWORD kBlock = 4;

struct TSlowStream {
    DWORD MaxBlocks = 0;
};

bool Convertible(LPWAVEFORMATEX source, LPWAVEFORMATEX dest)
{
    return source->wFormatTag == kSlowTag && source->nBlockAlign == kBlock && source->cbSize >= 2
        && dest->wFormatTag == WAVE_FORMAT_PCM && dest->nChannels == 1 && dest->wBitsPerSample == 16
        && dest->nSamplesPerSec == source->nSamplesPerSec;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) DWORD acmGetVersion()
{
    return 0x02000000;
}

__attribute__((visibility("default"))) MMRESULT acmFormatSuggest(
    HACMDRIVER, LPWAVEFORMATEX, LPWAVEFORMATEX, DWORD, DWORD)
{
    return ACMERR_NOTPOSSIBLE;
}

__attribute__((visibility("default"))) MMRESULT acmStreamOpen(LPHACMSTREAM phas, HACMDRIVER,
    LPWAVEFORMATEX pwfxSrc, LPWAVEFORMATEX pwfxDst, LPWAVEFILTER, DWORD_PTR, DWORD_PTR, DWORD fdwOpen)
{
    if (!Convertible(pwfxSrc, pwfxDst))
        return ACMERR_NOTPOSSIBLE;
    if ((fdwOpen & ACM_STREAMOPENF_QUERY) != 0)
        return MMSYSERR_NOERROR;
    WORD maxBlocks = 0;
    std::memcpy(&maxBlocks, reinterpret_cast<const BYTE*>(pwfxSrc) + sizeof(WAVEFORMATEX), sizeof maxBlocks);
    auto* stream = new TSlowStream { maxBlocks };
    *phas = reinterpret_cast<HACMSTREAM>(stream);
    return MMSYSERR_NOERROR;
}

__attribute__((visibility("default"))) MMRESULT acmStreamClose(HACMSTREAM has, DWORD)
{
    delete reinterpret_cast<TSlowStream*>(has);
    return MMSYSERR_NOERROR;
}

__attribute__((visibility("default"))) MMRESULT acmStreamSize(
    HACMSTREAM, DWORD cbInput, LPDWORD pdwOutputBytes, DWORD)
{
    *pdwOutputBytes = cbInput - cbInput % kBlock;
    return MMSYSERR_NOERROR;
}

__attribute__((visibility("default"))) MMRESULT acmStreamPrepareHeader(
    HACMSTREAM, LPACMSTREAMHEADER pash, DWORD)
{
    pash->fdwStatus = ACMSTREAMHEADER_STATUSF_PREPARED;
    return MMSYSERR_NOERROR;
}

__attribute__((visibility("default"))) MMRESULT acmStreamUnprepareHeader(
    HACMSTREAM, LPACMSTREAMHEADER pash, DWORD)
{
    pash->fdwStatus = 0;
    return MMSYSERR_NOERROR;
}

__attribute__((visibility("default"))) MMRESULT acmStreamConvert(
    HACMSTREAM has, LPACMSTREAMHEADER pash, DWORD)
{
    const auto* stream = reinterpret_cast<const TSlowStream*>(has);
    DWORD blocks = std::min(pash->cbSrcLength, pash->cbDstLength) / kBlock;
    if (stream->MaxBlocks != 0)
        blocks = std::min<DWORD>(blocks, stream->MaxBlocks);
    std::memcpy(pash->pbDst, pash->pbSrc, blocks * kBlock);
    pash->cbSrcLengthUsed = blocks * kBlock;
    pash->cbDstLengthUsed = blocks * kBlock;
    pash->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
    return MMSYSERR_NOERROR;
}
}
