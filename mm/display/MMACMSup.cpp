#include "mm/display/MMACMSup.h"

#include "mm/capture/MMACM.h"
#include "mm/format/MMWaveFormat.h"

#include <algorithm>
#include <cstring>

namespace {

// A format record of any tag, as the search passes them around.
using TFormatBlock = std::vector<BYTE>;

// Intermediate formats on the way to the target; more is never needed for
// the manager's PCM conversions and keeps the search finite.
constexpr int kMaxIntermediates = 2;
// Room for any suggested format record (the manager's largest is far less).
constexpr DWORD kSuggestionBytes = 256;

bool Usable()
{
    const TACMEntries& e = ACMEntries();
    return ACMUsable() && e.acmFormatSuggest != nullptr && e.acmStreamOpen != nullptr
        && e.acmStreamClose != nullptr && e.acmStreamSize != nullptr && e.acmStreamConvert != nullptr
        && e.acmStreamPrepareHeader != nullptr && e.acmStreamUnprepareHeader != nullptr;
}

TFormatBlock BlockOf(LPCWAVEFORMATEX format)
{
    const UINT size = WaveFormatSize(format);
    TFormatBlock block(size);
    std::memcpy(block.data(), format, size);
    if (format->wFormatTag == WAVE_FORMAT_PCM)
        reinterpret_cast<WAVEFORMATEX*>(block.data())->cbSize = 0;
    return block;
}

LPWAVEFORMATEX AsFormat(TFormatBlock& block)
{
    return reinterpret_cast<LPWAVEFORMATEX>(block.data());
}

bool SameShape(LPCWAVEFORMATEX a, LPCWAVEFORMATEX b)
{
    return a->wFormatTag == b->wFormatTag && a->wBitsPerSample == b->wBitsPerSample
        && a->nChannels == b->nChannels && a->nSamplesPerSec == b->nSamplesPerSec;
}

DWORD OpenFlags(bool realTime)
{
    return realTime ? 0 : ACM_STREAMOPENF_NONREALTIME;
}

bool Query(LPCWAVEFORMATEX source, LPCWAVEFORMATEX dest, bool realTime)
{
    // The manager's entries take non-const records and only read them.
    return ACMEntries().acmStreamOpen(nullptr, nullptr, const_cast<LPWAVEFORMATEX>(source),
               const_cast<LPWAVEFORMATEX>(dest), nullptr, 0, 0, ACM_STREAMOPENF_QUERY | OpenFlags(realTime))
        == MMSYSERR_NOERROR;
}

bool Suggest(LPCWAVEFORMATEX source, const WAVEFORMATEX& wanted, DWORD flags, TFormatBlock& result)
{
    result.assign(kSuggestionBytes, 0);
    std::memcpy(result.data(), &wanted, sizeof wanted);
    if (ACMEntries().acmFormatSuggest(
            nullptr, const_cast<LPWAVEFORMATEX>(source), AsFormat(result), kSuggestionBytes, flags)
        != MMSYSERR_NOERROR)
        return false;
    result.resize(WaveFormatSize(AsFormat(result)));
    return true;
}

// The intermediate PCM formats worth trying between Source and Target, in
// the order they are tried.
std::vector<TFormatBlock> Intermediates(LPCWAVEFORMATEX source, LPCWAVEFORMATEX target)
{
    std::vector<TFormatBlock> found;
    WAVEFORMATEX wanted {};
    wanted.wFormatTag = WAVE_FORMAT_PCM;
    wanted.nChannels = target->nChannels;
    wanted.nSamplesPerSec = target->nSamplesPerSec;
    TFormatBlock suggestion;
    if (source->wFormatTag == WAVE_FORMAT_PCM) {
        if (Suggest(
                source, wanted, ACM_FORMATSUGGESTF_NCHANNELS | ACM_FORMATSUGGESTF_NSAMPLESPERSEC, suggestion))
            found.push_back(suggestion);
        // The same with the other sample width.
        wanted.wBitsPerSample = source->wBitsPerSample == 8 ? 16 : 8;
        if (Suggest(source, wanted,
                ACM_FORMATSUGGESTF_NCHANNELS | ACM_FORMATSUGGESTF_NSAMPLESPERSEC
                    | ACM_FORMATSUGGESTF_WBITSPERSAMPLE,
                suggestion))
            found.push_back(suggestion);
    } else {
        if (Suggest(source, wanted,
                ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS
                    | ACM_FORMATSUGGESTF_NSAMPLESPERSEC,
                suggestion))
            found.push_back(suggestion);
        else if (Suggest(source, wanted, ACM_FORMATSUGGESTF_WFORMATTAG, suggestion))
            found.push_back(suggestion);
    }
    return found;
}

// The formats after Source on a way to Target (Target last); empty when the
// two agree. False when there is no way within Depth intermediates.
bool FindPath(
    LPCWAVEFORMATEX source, LPCWAVEFORMATEX target, bool realTime, int depth, std::vector<TFormatBlock>& path)
{
    path.clear();
    if (SameShape(source, target))
        return true;
    if (Query(source, target, realTime)) {
        path.push_back(BlockOf(target));
        return true;
    }
    if (depth == 0)
        return false;
    for (TFormatBlock& between : Intermediates(source, target)) {
        LPCWAVEFORMATEX step = AsFormat(between);
        // A suggestion that goes nowhere would only repeat this search.
        if (SameShape(step, source) || !Query(source, step, realTime))
            continue;
        std::vector<TFormatBlock> rest;
        if (!FindPath(step, target, realTime, depth - 1, rest))
            continue;
        path.push_back(between);
        path.insert(path.end(), rest.begin(), rest.end());
        return true;
    }
    return false;
}

} // namespace

// ---------------------------------------------------------------------------

bool ACMSuggestPCMFormat(LPCWAVEFORMATEX source, WAVEFORMATEX* dest)
{
    if (dest == nullptr)
        return false;
    *dest = {};
    if (source == nullptr)
        return false;
    if (source->wFormatTag == WAVE_FORMAT_PCM) {
        std::memcpy(dest, source, sizeof *dest);
        dest->cbSize = 0;
        return true;
    }
    if (!Usable())
        return false;
    WAVEFORMATEX wanted {};
    wanted.wFormatTag = WAVE_FORMAT_PCM;
    TFormatBlock suggestion;
    if (!Suggest(source, wanted, ACM_FORMATSUGGESTF_WFORMATTAG, suggestion)
        || AsFormat(suggestion)->wFormatTag != WAVE_FORMAT_PCM || !Query(source, AsFormat(suggestion), true))
        return false;
    std::memcpy(dest, suggestion.data(), sizeof *dest);
    dest->cbSize = 0;
    return true;
}

bool ACMConversionPossible(LPCWAVEFORMATEX source, LPCWAVEFORMATEX dest, bool realTime)
{
    if (source == nullptr || dest == nullptr)
        return false;
    if (SameShape(source, dest))
        return true;
    if (!Usable())
        return false;
    std::vector<TFormatBlock> path;
    return FindPath(source, dest, realTime, kMaxIntermediates, path);
}

// ---------------------------------------------------------------------------

struct TMMACMChain::TStep {
    HACMSTREAM Stream = nullptr;
    ACMSTREAMHEADER Header {};
    bool Prepared = false;
    DWORD SourceBlock = 1;
    // Source holds the step's input: the bytes held back (Leftover) and then
    // the new input, at most InputSize bytes.
    std::vector<BYTE> Source;
    DWORD InputSize = 0;
    DWORD Leftover = 0;
    std::vector<BYTE> Output;
};

TMMACMChain::TMMACMChain() = default;

TMMACMChain::~TMMACMChain()
{
    const TACMEntries& e = ACMEntries();
    for (auto& step : FSteps) {
        if (step->Prepared && e.acmStreamUnprepareHeader != nullptr) {
            // Unprepare wants the lengths that were prepared.
            step->Header.cbSrcLength = static_cast<DWORD>(step->Source.size());
            step->Header.cbDstLength = static_cast<DWORD>(step->Output.size());
            e.acmStreamUnprepareHeader(step->Stream, &step->Header, 0);
        }
        if (step->Stream != nullptr && e.acmStreamClose != nullptr)
            e.acmStreamClose(step->Stream, 0);
    }
}

const BYTE* TMMACMChain::OutputBuffer() const
{
    return FSteps.empty() ? FPlain.data() : FSteps.back()->Output.data();
}

int TMMACMChain::OutputSize() const
{
    return static_cast<int>(FSteps.empty() ? FPlain.size() : FSteps.back()->Output.size());
}

int TMMACMChain::Leftover() const
{
    return FSteps.empty() ? 0 : static_cast<int>(FSteps.front()->Leftover);
}

int TMMACMChain::Convert(const void* data, int count)
{
    if (data == nullptr || count <= 0)
        return 0;
    const int n = std::min(count, FSourceSize);
    if (FSteps.empty()) {
        std::memcpy(FPlain.data(), data, static_cast<size_t>(n));
        return n;
    }
    const TACMEntries& e = ACMEntries();
    const BYTE* input = static_cast<const BYTE*>(data);
    DWORD inputBytes = static_cast<DWORD>(n);
    for (auto& stepPtr : FSteps) {
        TStep& step = *stepPtr;
        // Never more than the step was sized for; the remainder is at most a
        // block less one byte, for which Source has room.
        inputBytes = std::min(inputBytes, step.InputSize);
        std::memcpy(step.Source.data() + step.Leftover, input, inputBytes);
        const DWORD total = step.Leftover + inputBytes;
        DWORD produced = 0;
        if (total >= step.SourceBlock) {
            step.Header.cbSrcLength = total;
            step.Header.cbDstLength = static_cast<DWORD>(step.Output.size());
            step.Header.cbSrcLengthUsed = 0;
            step.Header.cbDstLengthUsed = 0;
            if (e.acmStreamConvert(step.Stream, &step.Header, ACM_STREAMCONVERTF_BLOCKALIGN)
                    != MMSYSERR_NOERROR
                || (step.Header.fdwStatus & ACMSTREAMHEADER_STATUSF_DONE) == 0
                || step.Header.cbSrcLengthUsed > total || step.Header.cbDstLengthUsed > step.Output.size())
                return -1;
            const DWORD used = step.Header.cbSrcLengthUsed;
            // Source has room for less than a block besides a whole input. A
            // codec that left a block or more would make the next input
            // overflow it: its held bytes are dropped, and the gap this makes
            // in the stream is reported rather than passed on.
            if (total - used >= step.SourceBlock) {
                step.Leftover = 0;
                return -1;
            }
            step.Leftover = total - used;
            std::memmove(step.Source.data(), step.Source.data() + used, step.Leftover);
            produced = step.Header.cbDstLengthUsed;
        } else {
            step.Leftover = total;
        }
        input = step.Output.data();
        inputBytes = produced;
    }
    return static_cast<int>(inputBytes);
}

std::unique_ptr<TMMACMChain> ACMOpenChain(
    LPCWAVEFORMATEX source, LPCWAVEFORMATEX dest, int bufferSize, bool realTime)
{
    if (source == nullptr || dest == nullptr || bufferSize <= 0)
        return nullptr;
    const DWORD sourceBlock = std::max<DWORD>(source->nBlockAlign, 1);
    std::unique_ptr<TMMACMChain> chain(new TMMACMChain);
    chain->FSourceSize = static_cast<int>(std::max<DWORD>(
        static_cast<DWORD>(bufferSize) - static_cast<DWORD>(bufferSize) % sourceBlock, sourceBlock));
    if (SameShape(source, dest)) {
        chain->FPlain.assign(static_cast<size_t>(chain->FSourceSize), 0);
        return chain;
    }
    if (!Usable())
        return nullptr;
    std::vector<TFormatBlock> path;
    if (!FindPath(source, dest, realTime, kMaxIntermediates, path) || path.empty())
        return nullptr;

    const TACMEntries& e = ACMEntries();
    TFormatBlock from = BlockOf(source);
    DWORD inputSize = static_cast<DWORD>(chain->FSourceSize);
    // Each failure below returns, and the chain's destructor closes the
    // steps opened so far.
    for (TFormatBlock& to : path) {
        auto step = std::make_unique<TMMACMChain::TStep>();
        TMMACMChain::TStep& s = *step;
        chain->FSteps.push_back(std::move(step));
        s.SourceBlock = std::max<DWORD>(AsFormat(from)->nBlockAlign, 1);
        s.InputSize = inputSize;
        s.Source.assign(static_cast<size_t>(inputSize) + s.SourceBlock - 1, 0);
        if (e.acmStreamOpen(
                &s.Stream, nullptr, AsFormat(from), AsFormat(to), nullptr, 0, 0, OpenFlags(realTime))
            != MMSYSERR_NOERROR) {
            s.Stream = nullptr;
            return nullptr;
        }
        DWORD outputSize = 0;
        if (e.acmStreamSize(
                s.Stream, static_cast<DWORD>(s.Source.size()), &outputSize, ACM_STREAMSIZEF_SOURCE)
                != MMSYSERR_NOERROR
            || outputSize == 0)
            return nullptr;
        s.Output.assign(outputSize, 0);
        s.Header.cbStruct = sizeof s.Header;
        s.Header.pbSrc = s.Source.data();
        s.Header.cbSrcLength = static_cast<DWORD>(s.Source.size());
        s.Header.pbDst = s.Output.data();
        s.Header.cbDstLength = outputSize;
        if (e.acmStreamPrepareHeader(s.Stream, &s.Header, 0) != MMSYSERR_NOERROR)
            return nullptr;
        s.Prepared = true;
        from = to;
        inputSize = outputSize;
    }
    return chain;
}
