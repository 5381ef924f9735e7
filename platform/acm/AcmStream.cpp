#include "platform/acm/AcmStream.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr DWORD kPcmBlockBytes = TGsmBlockCodec::kSamplesPerBlock * sizeof(int16_t);

bool SamePcm(const WAVEFORMATEX& a, const WAVEFORMATEX& b)
{
    return a.nChannels == b.nChannels && a.nSamplesPerSec == b.nSamplesPerSec
        && a.wBitsPerSample == b.wBitsPerSample;
}

bool IsGsmPartner(const WAVEFORMATEX& pcm, const WAVEFORMATEX& gsm)
{
    return pcm.nChannels == 1 && pcm.wBitsPerSample == 16 && pcm.nSamplesPerSec == gsm.nSamplesPerSec;
}

} // namespace

MMRESULT TAcmStream::Plan(const WAVEFORMATEX* source, DWORD sourceSize, const WAVEFORMATEX* destination,
    DWORD destinationSize, TAcmConversion* conversion)
{
    const TAcmFormatKind from = ClassifyFormat(source, sourceSize);
    const TAcmFormatKind to = ClassifyFormat(destination, destinationSize);
    if (from == TAcmFormatKind::Pcm && to == TAcmFormatKind::Pcm && SamePcm(*source, *destination)) {
        *conversion = TAcmConversion::Copy;
        return MMSYSERR_NOERROR;
    }
    if (from == TAcmFormatKind::Pcm && to == TAcmFormatKind::Gsm && IsGsmPartner(*source, *destination)) {
        *conversion = TAcmConversion::Encode;
        return MMSYSERR_NOERROR;
    }
    if (from == TAcmFormatKind::Gsm && to == TAcmFormatKind::Pcm && IsGsmPartner(*destination, *source)) {
        *conversion = TAcmConversion::Decode;
        return MMSYSERR_NOERROR;
    }
    return ACMERR_NOTPOSSIBLE;
}

TAcmStream::TAcmStream(TAcmConversion conversion, const WAVEFORMATEX& source, const WAVEFORMATEX& destination)
    : FConversion(conversion)
{
    switch (conversion) {
    case TAcmConversion::Copy:
        FSourceBlock = source.nBlockAlign;
        FDestinationBlock = destination.nBlockAlign;
        break;
    case TAcmConversion::Encode:
        FSourceBlock = kPcmBlockBytes;
        FDestinationBlock = TGsmBlockCodec::kBytesPerBlock;
        FCodec = std::make_unique<TGsmBlockCodec>();
        break;
    case TAcmConversion::Decode:
        FSourceBlock = TGsmBlockCodec::kBytesPerBlock;
        FDestinationBlock = kPcmBlockBytes;
        FCodec = std::make_unique<TGsmBlockCodec>();
        break;
    }
}

MMRESULT TAcmStream::Size(DWORD input, DWORD flags, DWORD* output) const
{
    uint64_t blocks = 0;
    if ((flags & ACM_STREAMSIZEF_QUERYMASK) == ACM_STREAMSIZEF_SOURCE) {
        // Only PCM can be padded: a partial GSM block cannot be decoded.
        const bool padsPartial = FConversion == TAcmConversion::Encode;
        blocks = padsPartial ? (uint64_t { input } + FSourceBlock - 1) / FSourceBlock : input / FSourceBlock;
        blocks *= FDestinationBlock;
    } else {
        blocks = uint64_t { input / FDestinationBlock } * FSourceBlock;
    }
    if (blocks == 0 || blocks > 0xFFFFFFFFu)
        return ACMERR_NOTPOSSIBLE;
    *output = static_cast<DWORD>(blocks);
    return MMSYSERR_NOERROR;
}

void TAcmStream::Convert(ACMSTREAMHEADER& header, DWORD flags)
{
    if ((flags & ACM_STREAMCONVERTF_START) != 0 && FCodec)
        FCodec->Reset();
    const DWORD sourceBlocks = header.cbSrcLength / FSourceBlock;
    const DWORD destinationBlocks = header.cbDstLength / FDestinationBlock;
    const DWORD blocks = std::min(sourceBlocks, destinationBlocks);
    const BYTE* source = header.pbSrc;
    BYTE* destination = header.pbDst;
    // Caller buffers need not be aligned for int16_t: blocks go through
    // aligned copies.
    int16_t samples[TGsmBlockCodec::kSamplesPerBlock];
    switch (FConversion) {
    case TAcmConversion::Copy:
        std::memmove(destination, source, std::size_t { blocks } * FSourceBlock);
        break;
    case TAcmConversion::Encode:
        for (DWORD i = 0; i < blocks; ++i) {
            std::memcpy(samples, source + std::size_t { i } * FSourceBlock, kPcmBlockBytes);
            FCodec->EncodeBlock(samples, destination + std::size_t { i } * FDestinationBlock);
        }
        break;
    case TAcmConversion::Decode:
        for (DWORD i = 0; i < blocks; ++i) {
            FCodec->DecodeBlock(source + std::size_t { i } * FSourceBlock, samples);
            std::memcpy(destination + std::size_t { i } * FDestinationBlock, samples, kPcmBlockBytes);
        }
        break;
    }
    DWORD used = blocks * FSourceBlock;
    DWORD produced = blocks * FDestinationBlock;
    const DWORD rest = header.cbSrcLength - used;
    const bool lastPartial = (flags & ACM_STREAMCONVERTF_BLOCKALIGN) == 0 && blocks == sourceBlocks
        && blocks < destinationBlocks && rest >= sizeof(int16_t);
    if (lastPartial && FConversion == TAcmConversion::Encode) {
        const DWORD restSamples = rest / sizeof(int16_t);
        std::fill(std::begin(samples), std::end(samples), int16_t { 0 });
        std::memcpy(samples, source + used, restSamples * sizeof(int16_t));
        FCodec->EncodeBlock(samples, destination + produced);
        used += restSamples * sizeof(int16_t);
        produced += FDestinationBlock;
    }
    header.cbSrcLengthUsed = used;
    header.cbDstLengthUsed = produced;
}
