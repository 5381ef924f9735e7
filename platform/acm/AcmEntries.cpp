#include "platform/acm/AcmEntries.h"

#include "platform/acm/AcmFormats.h"
#include "platform/acm/AcmStream.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

namespace {

struct TOpenStream {
    std::mutex FLock; // one conversion at a time
    TAcmStream FStream;

    TOpenStream(TAcmConversion conversion, const WAVEFORMATEX& source, const WAVEFORMATEX& destination)
        : FStream(conversion, source, destination)
    {
    }
};

// Never destroyed: a program may close a stream from its own static
// destructors, after this module's would have run.
std::mutex gStreamsLock;
auto& gStreams = *new std::map<HACMSTREAM, std::shared_ptr<TOpenStream>>; // under gStreamsLock

std::shared_ptr<TOpenStream> FindStream(HACMSTREAM handle)
{
    std::lock_guard lock(gStreamsLock);
    auto it = gStreams.find(handle);
    return it == gStreams.end() ? nullptr : it->second;
}

// The bytes a caller's record holds, as far as the record itself tells:
// PCM records may be the 16-byte PCMWAVEFORMAT, all others carry cbSize.
DWORD RecordSize(const WAVEFORMATEX* format)
{
    return format->wFormatTag == WAVE_FORMAT_PCM ? sizeof(PCMWAVEFORMAT)
                                                 : sizeof(WAVEFORMATEX) + format->cbSize;
}

// Writes a module-made record into a caller's buffer of Size bytes: PCM
// needs 16 (cbSize only when 18 fit), others their whole record.
MMRESULT StoreFormat(const GSM610WAVEFORMAT& format, LPWAVEFORMATEX target, DWORD size)
{
    const DWORD full
        = format.wfx.wFormatTag == WAVE_FORMAT_PCM ? sizeof(WAVEFORMATEX) : sizeof(GSM610WAVEFORMAT);
    const DWORD least = MinimumRecordSize(format.wfx.wFormatTag);
    if (size < least)
        return MMSYSERR_INVALPARAM;
    std::memcpy(target, &format, size < full ? size : full);
    return MMSYSERR_NOERROR;
}

void FillTagDetails(WORD tag, DWORD index, ACMFORMATTAGDETAILSA* details)
{
    details->dwFormatTagIndex = index;
    details->dwFormatTag = tag;
    details->cbFormatSize = MinimumRecordSize(tag);
    details->fdwSupport = FormatTagSupport(tag);
    details->cStandardFormats = StandardFormatCount(tag);
    std::memset(details->szFormatTag, 0, sizeof(details->szFormatTag));
    std::strncpy(details->szFormatTag, FormatTagName(tag), sizeof(details->szFormatTag) - 1);
}

void FillFormatText(const WAVEFORMATEX& format, ACMFORMATDETAILSA* details)
{
    std::memset(details->szFormat, 0, sizeof(details->szFormat));
    std::strncpy(details->szFormat, DescribeFormat(format).c_str(), sizeof(details->szFormat) - 1);
}

constexpr WORD kTags[] = { WAVE_FORMAT_PCM, WAVE_FORMAT_GSM610 };

// The one format the module suggests for a source, before the caller's
// restrictions: GSM 6.10 decodes to 16-bit PCM; PCM stays itself unless GSM
// 6.10 is asked for.
bool Suggestion(const WAVEFORMATEX* source, WORD wantedTag, bool tagGiven, GSM610WAVEFORMAT* suggestion)
{
    *suggestion = {};
    switch (ClassifyFormat(source, RecordSize(source))) {
    case TAcmFormatKind::Gsm:
        suggestion->wfx = MakePcmFormat(source->nSamplesPerSec, 16, 1);
        return true;
    case TAcmFormatKind::Pcm:
        if (tagGiven && wantedTag == WAVE_FORMAT_GSM610) {
            if (source->nChannels != 1 || source->wBitsPerSample != 16 || !IsGsmRate(source->nSamplesPerSec))
                return false;
            *suggestion = MakeGsmFormat(source->nSamplesPerSec);
            return true;
        }
        suggestion->wfx = MakePcmFormat(source->nSamplesPerSec, source->wBitsPerSample, source->nChannels);
        return true;
    case TAcmFormatKind::Unknown:
        break;
    }
    return false;
}

// What the caller restricts in a suggestion or an enumeration.
struct TRestriction {
    DWORD Flags; // in the ACM_FORMATSUGGESTF_/ACM_FORMATENUMF_ bit positions, which agree
    WAVEFORMATEX Wanted;

    bool Admits(const WAVEFORMATEX& f) const
    {
        return ((Flags & ACM_FORMATSUGGESTF_WFORMATTAG) == 0 || f.wFormatTag == Wanted.wFormatTag)
            && ((Flags & ACM_FORMATSUGGESTF_NCHANNELS) == 0 || f.nChannels == Wanted.nChannels)
            && ((Flags & ACM_FORMATSUGGESTF_NSAMPLESPERSEC) == 0 || f.nSamplesPerSec == Wanted.nSamplesPerSec)
            && ((Flags & ACM_FORMATSUGGESTF_WBITSPERSAMPLE) == 0
                || f.wBitsPerSample == Wanted.wBitsPerSample);
    }
};

// The header fields saved at prepare time, so convert and unprepare can
// check that the caller kept the buffers it prepared.
struct TPreparedHeader {
    HACMSTREAM Stream;
    LPBYTE Source;
    LPBYTE Destination;
    DWORD SourceLength;
    DWORD DestinationLength;
};
static_assert(sizeof(TPreparedHeader) <= sizeof(ACMSTREAMHEADER::dwReservedDriver));

TPreparedHeader SavedHeader(const ACMSTREAMHEADER& header)
{
    TPreparedHeader saved;
    std::memcpy(&saved, header.dwReservedDriver, sizeof(saved));
    return saved;
}

bool HeaderArgumentsOk(LPACMSTREAMHEADER header)
{
    return header != nullptr && header->cbStruct >= sizeof(ACMSTREAMHEADER);
}

} // namespace

extern "C" {

DWORD acmGetVersion()
{
    return kAcmVersion;
}

MMRESULT acmMetrics(HACMOBJ hao, UINT uMetric, void* pMetric)
{
    if (hao != nullptr)
        return MMSYSERR_INVALHANDLE;
    if (pMetric == nullptr)
        return MMSYSERR_INVALPARAM;
    DWORD value = 0;
    switch (uMetric) {
    case ACM_METRIC_COUNT_DRIVERS:
    case ACM_METRIC_COUNT_CODECS:
    case ACM_METRIC_COUNT_CONVERTERS:
        value = 1;
        break;
    case ACM_METRIC_COUNT_FILTERS:
    case ACM_METRIC_COUNT_DISABLED:
    case ACM_METRIC_COUNT_HARDWARE:
    case ACM_METRIC_COUNT_LOCAL_DRIVERS:
    case ACM_METRIC_COUNT_LOCAL_CODECS:
    case ACM_METRIC_COUNT_LOCAL_CONVERTERS:
    case ACM_METRIC_COUNT_LOCAL_FILTERS:
    case ACM_METRIC_COUNT_LOCAL_DISABLED:
    case ACM_METRIC_MAX_SIZE_FILTER:
        value = 0;
        break;
    case ACM_METRIC_MAX_SIZE_FORMAT:
        value = sizeof(GSM610WAVEFORMAT);
        break;
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
    *static_cast<DWORD*>(pMetric) = value;
    return MMSYSERR_NOERROR;
}

MMRESULT acmFormatTagDetailsA(HACMDRIVER had, LPACMFORMATTAGDETAILSA paftd, DWORD fdwDetails)
{
    if (had != nullptr)
        return MMSYSERR_INVALHANDLE;
    if (paftd == nullptr || paftd->cbStruct < sizeof(ACMFORMATTAGDETAILSA))
        return MMSYSERR_INVALPARAM;
    if ((fdwDetails & ~ACM_FORMATTAGDETAILSF_QUERYMASK) != 0)
        return MMSYSERR_INVALFLAG;
    switch (fdwDetails) {
    case ACM_FORMATTAGDETAILSF_INDEX:
        if (paftd->dwFormatTagIndex >= std::size(kTags))
            return ACMERR_NOTPOSSIBLE;
        FillTagDetails(kTags[paftd->dwFormatTagIndex], paftd->dwFormatTagIndex, paftd);
        return MMSYSERR_NOERROR;
    case ACM_FORMATTAGDETAILSF_FORMATTAG:
    case ACM_FORMATTAGDETAILSF_LARGESTSIZE: {
        // The largest record of all tags is GSM 6.10's.
        const DWORD tag
            = fdwDetails == ACM_FORMATTAGDETAILSF_LARGESTSIZE && paftd->dwFormatTag == WAVE_FORMAT_UNKNOWN
            ? WAVE_FORMAT_GSM610
            : paftd->dwFormatTag;
        for (DWORD i = 0; i < std::size(kTags); ++i) {
            if (kTags[i] == tag) {
                FillTagDetails(kTags[i], i, paftd);
                return MMSYSERR_NOERROR;
            }
        }
        return ACMERR_NOTPOSSIBLE;
    }
    default:
        return MMSYSERR_INVALFLAG;
    }
}

MMRESULT acmFormatTagEnumA(HACMDRIVER had, LPACMFORMATTAGDETAILSA paftd, ACMFORMATTAGENUMCBA fnCallback,
    DWORD_PTR dwInstance, DWORD fdwEnum)
{
    if (had != nullptr)
        return MMSYSERR_INVALHANDLE;
    if (paftd == nullptr || paftd->cbStruct < sizeof(ACMFORMATTAGDETAILSA) || fnCallback == nullptr)
        return MMSYSERR_INVALPARAM;
    if (fdwEnum != 0)
        return MMSYSERR_INVALFLAG;
    for (DWORD i = 0; i < std::size(kTags); ++i) {
        FillTagDetails(kTags[i], i, paftd);
        if (!fnCallback(nullptr, paftd, dwInstance, paftd->fdwSupport))
            break;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT acmFormatDetailsA(HACMDRIVER had, LPACMFORMATDETAILSA pafd, DWORD fdwDetails)
{
    if (had != nullptr)
        return MMSYSERR_INVALHANDLE;
    if (pafd == nullptr || pafd->cbStruct < sizeof(ACMFORMATDETAILSA) || pafd->pwfx == nullptr)
        return MMSYSERR_INVALPARAM;
    if ((fdwDetails & ~ACM_FORMATDETAILSF_QUERYMASK) != 0)
        return MMSYSERR_INVALFLAG;
    if (fdwDetails == ACM_FORMATDETAILSF_FORMAT) {
        const WAVEFORMATEX& format = *pafd->pwfx;
        if (pafd->dwFormatTag != format.wFormatTag || pafd->cbwfx < sizeof(PCMWAVEFORMAT))
            return MMSYSERR_INVALPARAM;
        if (ClassifyFormat(&format, pafd->cbwfx) == TAcmFormatKind::Unknown)
            return ACMERR_NOTPOSSIBLE;
        pafd->dwFormatIndex = 0;
        GSM610WAVEFORMAT standard;
        for (DWORD i = 0; StandardFormat(format.wFormatTag, i, &standard); ++i) {
            if (standard.wfx.nSamplesPerSec == format.nSamplesPerSec
                && standard.wfx.nChannels == format.nChannels
                && standard.wfx.wBitsPerSample == format.wBitsPerSample) {
                pafd->dwFormatIndex = i;
                break;
            }
        }
        pafd->fdwSupport = FormatTagSupport(format.wFormatTag);
        FillFormatText(format, pafd);
        return MMSYSERR_NOERROR;
    }
    if (fdwDetails != ACM_FORMATDETAILSF_INDEX)
        return MMSYSERR_INVALFLAG;
    GSM610WAVEFORMAT standard;
    if (pafd->dwFormatTag > 0xFFFF
        || !StandardFormat(static_cast<WORD>(pafd->dwFormatTag), pafd->dwFormatIndex, &standard))
        return ACMERR_NOTPOSSIBLE;
    if (const MMRESULT stored = StoreFormat(standard, pafd->pwfx, pafd->cbwfx); stored != MMSYSERR_NOERROR)
        return stored;
    pafd->fdwSupport = FormatTagSupport(standard.wfx.wFormatTag);
    FillFormatText(standard.wfx, pafd);
    return MMSYSERR_NOERROR;
}

MMRESULT acmFormatEnumA(HACMDRIVER had, LPACMFORMATDETAILSA pafd, ACMFORMATENUMCBA fnCallback,
    DWORD_PTR dwInstance, DWORD fdwEnum)
{
    constexpr DWORD kRestrictions = ACM_FORMATENUMF_WFORMATTAG | ACM_FORMATENUMF_NCHANNELS
        | ACM_FORMATENUMF_NSAMPLESPERSEC | ACM_FORMATENUMF_WBITSPERSAMPLE;
    constexpr DWORD kKnown = kRestrictions | ACM_FORMATENUMF_CONVERT | ACM_FORMATENUMF_SUGGEST
        | ACM_FORMATENUMF_HARDWARE | ACM_FORMATENUMF_INPUT | ACM_FORMATENUMF_OUTPUT;
    if (had != nullptr)
        return MMSYSERR_INVALHANDLE;
    if (pafd == nullptr || pafd->cbStruct < sizeof(ACMFORMATDETAILSA) || pafd->pwfx == nullptr
        || fnCallback == nullptr)
        return MMSYSERR_INVALPARAM;
    if ((fdwEnum & ~kKnown) != 0)
        return MMSYSERR_INVALFLAG;
    if ((fdwEnum & (ACM_FORMATENUMF_HARDWARE | ACM_FORMATENUMF_INPUT | ACM_FORMATENUMF_OUTPUT)) != 0)
        return ACMERR_NOTPOSSIBLE;
    const bool onlyPcm
        = (fdwEnum & ACM_FORMATENUMF_WFORMATTAG) != 0 && pafd->pwfx->wFormatTag == WAVE_FORMAT_PCM;
    if (pafd->cbwfx < (onlyPcm ? sizeof(PCMWAVEFORMAT) : sizeof(GSM610WAVEFORMAT)))
        return MMSYSERR_INVALPARAM;
    if ((fdwEnum & ACM_FORMATENUMF_WFORMATTAG) != 0 && pafd->dwFormatTag != pafd->pwfx->wFormatTag)
        return MMSYSERR_INVALPARAM;

    // pwfx is the question and, for each answer, the place of the answer:
    // keep the question first.
    GSM610WAVEFORMAT question {};
    std::memcpy(&question, pafd->pwfx, std::min<DWORD>(pafd->cbwfx, sizeof(question)));
    const TRestriction restriction { fdwEnum & kRestrictions, question.wfx };
    const bool convertible = (fdwEnum & ACM_FORMATENUMF_CONVERT) != 0;
    const bool suggested = (fdwEnum & ACM_FORMATENUMF_SUGGEST) != 0;
    GSM610WAVEFORMAT suggestion {};
    if (suggested && !Suggestion(&question.wfx, 0, false, &suggestion))
        return ACMERR_NOTPOSSIBLE;

    bool any = false;
    for (WORD tag : kTags) {
        GSM610WAVEFORMAT candidate;
        for (DWORD i = 0; StandardFormat(tag, i, &candidate); ++i) {
            if (!restriction.Admits(candidate.wfx))
                continue;
            TAcmConversion conversion;
            if (convertible
                && TAcmStream::Plan(&question.wfx, RecordSize(&question.wfx), &candidate.wfx,
                       RecordSize(&candidate.wfx), &conversion)
                    != MMSYSERR_NOERROR)
                continue;
            if (suggested && std::memcmp(&candidate, &suggestion, sizeof(candidate)) != 0)
                continue;
            any = true;
            StoreFormat(candidate, pafd->pwfx, pafd->cbwfx);
            pafd->dwFormatIndex = i;
            pafd->dwFormatTag = tag;
            pafd->fdwSupport = FormatTagSupport(tag);
            FillFormatText(candidate.wfx, pafd);
            if (!fnCallback(nullptr, pafd, dwInstance, pafd->fdwSupport))
                return MMSYSERR_NOERROR;
        }
    }
    return any ? MMSYSERR_NOERROR : ACMERR_NOTPOSSIBLE;
}

MMRESULT acmFormatSuggest(
    HACMDRIVER had, LPWAVEFORMATEX pwfxSrc, LPWAVEFORMATEX pwfxDst, DWORD cbwfxDst, DWORD fdwSuggest)
{
    if (had != nullptr)
        return MMSYSERR_INVALHANDLE;
    if (pwfxSrc == nullptr || pwfxDst == nullptr)
        return MMSYSERR_INVALPARAM;
    if ((fdwSuggest & ~ACM_FORMATSUGGESTF_TYPEMASK) != 0)
        return MMSYSERR_INVALFLAG;
    WAVEFORMATEX wanted {};
    std::memcpy(&wanted, pwfxDst, std::min<DWORD>(cbwfxDst, sizeof(wanted)));
    const TRestriction restriction { fdwSuggest, wanted };
    GSM610WAVEFORMAT suggestion;
    if (!Suggestion(
            pwfxSrc, wanted.wFormatTag, (fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) != 0, &suggestion)
        || !restriction.Admits(suggestion.wfx))
        return ACMERR_NOTPOSSIBLE;
    return StoreFormat(suggestion, pwfxDst, cbwfxDst);
}

MMRESULT acmStreamOpen(LPHACMSTREAM phas, HACMDRIVER had, LPWAVEFORMATEX pwfxSrc, LPWAVEFORMATEX pwfxDst,
    LPWAVEFILTER pwfltr, DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen)
{
    constexpr DWORD kCallbackFlags = CALLBACK_TYPEMASK;
    constexpr DWORD kKnown
        = ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_ASYNC | ACM_STREAMOPENF_NONREALTIME | kCallbackFlags;
    const bool query = (fdwOpen & ACM_STREAMOPENF_QUERY) != 0;
    if (phas != nullptr)
        *phas = nullptr;
    if (had != nullptr)
        return MMSYSERR_INVALHANDLE;
    if ((!query && phas == nullptr) || pwfxSrc == nullptr || pwfxDst == nullptr)
        return MMSYSERR_INVALPARAM;
    if ((fdwOpen & ~kKnown) != 0)
        return MMSYSERR_INVALFLAG;
    // Conversions finish inside acmStreamConvert; there is no filter.
    if ((fdwOpen & ACM_STREAMOPENF_ASYNC) != 0 || pwfltr != nullptr)
        return ACMERR_NOTPOSSIBLE;
    TAcmConversion conversion;
    const MMRESULT planned
        = TAcmStream::Plan(pwfxSrc, RecordSize(pwfxSrc), pwfxDst, RecordSize(pwfxDst), &conversion);
    if (planned != MMSYSERR_NOERROR || query)
        return planned;
    std::shared_ptr<TOpenStream> stream;
    try {
        stream = std::make_shared<TOpenStream>(conversion, *pwfxSrc, *pwfxDst);
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    }
    auto handle = reinterpret_cast<HACMSTREAM>(stream.get());
    std::lock_guard lock(gStreamsLock);
    gStreams.emplace(handle, std::move(stream));
    *phas = handle;
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamClose(HACMSTREAM has, DWORD fdwClose)
{
    std::lock_guard lock(gStreamsLock);
    auto it = gStreams.find(has);
    if (it == gStreams.end())
        return MMSYSERR_INVALHANDLE;
    if (fdwClose != 0)
        return MMSYSERR_INVALFLAG;
    // A conversion running in another thread keeps its own reference.
    gStreams.erase(it);
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamSize(HACMSTREAM has, DWORD cbInput, LPDWORD pdwOutputBytes, DWORD fdwSize)
{
    const auto stream = FindStream(has);
    if (!stream)
        return MMSYSERR_INVALHANDLE;
    if (pdwOutputBytes == nullptr)
        return MMSYSERR_INVALPARAM;
    if ((fdwSize & ~ACM_STREAMSIZEF_QUERYMASK) != 0
        || (fdwSize & ACM_STREAMSIZEF_QUERYMASK) > ACM_STREAMSIZEF_DESTINATION)
        return MMSYSERR_INVALFLAG;
    return stream->FStream.Size(cbInput, fdwSize, pdwOutputBytes);
}

MMRESULT acmStreamReset(HACMSTREAM has, DWORD fdwReset)
{
    if (!FindStream(has))
        return MMSYSERR_INVALHANDLE;
    // Nothing is ever pending: every conversion ends inside acmStreamConvert.
    return fdwReset == 0 ? MMSYSERR_NOERROR : MMSYSERR_INVALFLAG;
}

MMRESULT acmStreamPrepareHeader(HACMSTREAM has, LPACMSTREAMHEADER pash, DWORD fdwPrepare)
{
    const auto stream = FindStream(has);
    if (!stream)
        return MMSYSERR_INVALHANDLE;
    if (!HeaderArgumentsOk(pash) || pash->pbSrc == nullptr || pash->pbDst == nullptr || pash->cbSrcLength == 0
        || pash->cbDstLength == 0)
        return MMSYSERR_INVALPARAM;
    if (fdwPrepare != 0)
        return MMSYSERR_INVALFLAG;
    std::lock_guard lock(stream->FLock);
    if ((pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) != 0)
        return SavedHeader(*pash).Stream == has ? MMSYSERR_NOERROR : MMSYSERR_INVALPARAM;
    const TPreparedHeader saved { has, pash->pbSrc, pash->pbDst, pash->cbSrcLength, pash->cbDstLength };
    std::memset(pash->dwReservedDriver, 0, sizeof(pash->dwReservedDriver));
    std::memcpy(pash->dwReservedDriver, &saved, sizeof(saved));
    pash->fdwStatus = ACMSTREAMHEADER_STATUSF_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, LPACMSTREAMHEADER pash, DWORD fdwUnprepare)
{
    const auto stream = FindStream(has);
    if (!stream)
        return MMSYSERR_INVALHANDLE;
    if (!HeaderArgumentsOk(pash))
        return MMSYSERR_INVALPARAM;
    if (fdwUnprepare != 0)
        return MMSYSERR_INVALFLAG;
    std::lock_guard lock(stream->FLock);
    if ((pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) == 0)
        return ACMERR_UNPREPARED;
    if ((pash->fdwStatus & ACMSTREAMHEADER_STATUSF_INQUEUE) != 0)
        return ACMERR_BUSY;
    // The buffers and their full lengths must be those that were prepared.
    const TPreparedHeader saved = SavedHeader(*pash);
    if (saved.Stream != has || saved.Source != pash->pbSrc || saved.Destination != pash->pbDst
        || saved.SourceLength != pash->cbSrcLength || saved.DestinationLength != pash->cbDstLength)
        return MMSYSERR_INVALPARAM;
    pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamConvert(HACMSTREAM has, LPACMSTREAMHEADER pash, DWORD fdwConvert)
{
    constexpr DWORD kKnown
        = ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END;
    const auto stream = FindStream(has);
    if (!stream)
        return MMSYSERR_INVALHANDLE;
    if (!HeaderArgumentsOk(pash))
        return MMSYSERR_INVALPARAM;
    if ((fdwConvert & ~kKnown) != 0)
        return MMSYSERR_INVALFLAG;
    std::lock_guard lock(stream->FLock);
    if ((pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) == 0)
        return ACMERR_UNPREPARED;
    if ((pash->fdwStatus & ACMSTREAMHEADER_STATUSF_INQUEUE) != 0)
        return ACMERR_BUSY;
    // Lengths may shrink between conversions (the last piece of a stream),
    // never grow past what was prepared.
    const TPreparedHeader saved = SavedHeader(*pash);
    if (saved.Stream != has || saved.Source != pash->pbSrc || saved.Destination != pash->pbDst
        || pash->cbSrcLength > saved.SourceLength || pash->cbDstLength > saved.DestinationLength)
        return MMSYSERR_INVALPARAM;
    pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_DONE;
    stream->FStream.Convert(*pash, fdwConvert);
    pash->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
    return MMSYSERR_NOERROR;
}

} // extern "C"
