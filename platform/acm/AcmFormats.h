#pragma once
// The formats the compression manager module knows: 16-bit and 8-bit PCM
// (and PCM of any common layout, for naming) and GSM 6.10, their standard
// lists, their checks and their descriptions.

#include "platform/mm/MMSystem.h"

#include <string>

/// What a format record is to the module.
enum class TAcmFormatKind { Unknown, Pcm, Gsm };

/// Reads only the bytes Size allows (PCM records may be 16 bytes); a GSM 6.10
/// record needs 20. Pcm: tag 1, 1 to 8 channels, 8/16/24/32 bits, 1 to
/// 384000 Hz, block align and byte rate consistent. Gsm: tag 0x31, mono, one
/// of the GSM rates, block 65 bytes of 320 samples, byte rate rate*65/320.
TAcmFormatKind ClassifyFormat(const WAVEFORMATEX* format, DWORD size);

/// The size of the record of a format of this kind as the module writes it:
/// PCM 18 (cbSize 0), GSM 6.10 20.
DWORD FormatRecordSize(TAcmFormatKind kind);

/// The smallest record a caller may hand for a format of this tag: PCM 16,
/// GSM 6.10 20; 0 for a tag the module does not know.
DWORD MinimumRecordSize(WORD tag);

/// The GSM 6.10 rates: the ones the standard list names.
bool IsGsmRate(DWORD rate);

/// Fills a PCM record (18 bytes, cbSize 0).
WAVEFORMATEX MakePcmFormat(DWORD rate, WORD bits, WORD channels);

/// Fills a GSM 6.10 record (20 bytes, 320 samples per block).
GSM610WAVEFORMAT MakeGsmFormat(DWORD rate);

/// The number of standard formats of a tag (PCM 20, GSM 6.10 4, others 0)
/// and the Index-th of them (false past the end).
DWORD StandardFormatCount(WORD tag);
bool StandardFormat(WORD tag, DWORD index, GSM610WAVEFORMAT* format);

/// The tag's name ("PCM", "GSM 6.10"), empty for a tag the module does not
/// know.
const char* FormatTagName(WORD tag);

/// What ACMFORMATTAGDETAILSA.fdwSupport says of a tag: PCM is handled by a
/// converter, GSM 6.10 by a codec.
DWORD FormatTagSupport(WORD tag);

/// The description of a known format: "48.000 kHz, 16 Bit, Stereo",
/// "8.000 kHz, Mono" (GSM 6.10 has no sample width of its own). The decimal
/// separator is the one of the user's LC_NUMERIC.
std::string DescribeFormat(const WAVEFORMATEX& format);
