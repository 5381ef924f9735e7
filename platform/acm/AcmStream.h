#pragma once
// One conversion stream of the compression manager module: GSM 6.10 to
// 16-bit mono PCM, 16-bit mono PCM to GSM 6.10 (same rate), or PCM to the
// same PCM.

#include "platform/acm/AcmFormats.h"
#include "platform/acm/GsmBlockCodec.h"
#include "platform/mm/MSAcm.h"

#include <memory>

/// What a stream does with its source.
enum class TAcmConversion { Copy, Encode, Decode };

/// A stream. The entries check handles and headers; a stream only converts.
/// Not shared between threads (one conversion at a time, as the entries
/// guarantee).
class TAcmStream {
public:
    /// How Source (SourceSize readable bytes) converts to Destination, or
    /// ACMERR_NOTPOSSIBLE.
    static MMRESULT Plan(const WAVEFORMATEX* source, DWORD sourceSize, const WAVEFORMATEX* destination,
        DWORD destinationSize, TAcmConversion* conversion);

    /// Throws std::bad_alloc.
    TAcmStream(TAcmConversion conversion, const WAVEFORMATEX& source, const WAVEFORMATEX& destination);

    /// acmStreamSize: with ACM_STREAMSIZEF_SOURCE the destination size that
    /// holds the conversion of Input source bytes (a final partial PCM block
    /// counted as a whole one, since an unaligned conversion pads it); with
    /// ACM_STREAMSIZEF_DESTINATION the source size whose conversion fits in
    /// Input destination bytes. ACMERR_NOTPOSSIBLE when that is 0.
    MMRESULT Size(DWORD input, DWORD flags, DWORD* output) const;

    /// Converts Header's source into its destination, as many whole blocks
    /// as both hold; without ACM_STREAMCONVERTF_BLOCKALIGN a final partial
    /// block of PCM source is padded with silence and coded too. START first
    /// forgets the previous frames. Sets the used lengths.
    void Convert(ACMSTREAMHEADER& header, DWORD flags);

private:
    TAcmConversion FConversion;
    DWORD FSourceBlock; // bytes per source block
    DWORD FDestinationBlock; // bytes per destination block
    std::unique_ptr<TGsmBlockCodec> FCodec;
};
