#pragma once
// WAVEFORMATEX helpers and the conversions between bytes, samples and
// milliseconds that every audio component uses.
//
// A format record is always handled as at least its 18 bytes: PCM (tag 1) is
// 18 bytes whatever its cbSize says; any other format is 18 + cbSize bytes.
// Functions that take a format pointer read that many bytes from it.
//
// Every conversion tolerates a null format and a format with a zero rate,
// byte rate or block size: it then returns 0 instead of dividing by zero
// (a zero block size skips the rounding to whole blocks). 32-bit results that
// would overflow are clamped to the LONG range.
//
// All functions are safe to call from any thread.

#include "platform/mm/MMSystem.h"

#include <cstdint>
#include <string>

/// Bytes of the format record: 0 for null, 18 for PCM, otherwise 18 + cbSize.
UINT WaveFormatSize(LPCWAVEFORMATEX pwfx);

/// A new zero-initialised copy of the record (WaveFormatSize bytes; cbSize 0
/// for PCM), or null for null. The block comes from std::calloc, the heap the
/// library's global memory routines use; release it with FreeWaveFormat (or
/// std::free). Throws std::bad_alloc when memory runs out.
PWAVEFORMATEX CopyWaveFormat(LPCWAVEFORMATEX pwfx);

/// Releases a CopyWaveFormat block and sets the pointer to null.
void FreeWaveFormat(PWAVEFORMATEX& pwfx);

/// True for the PCM the library records and displays: tag 1, 8 or 16 bits,
/// 1 or 2 channels, 4000..100000 samples per second.
bool IsPCMFormat(LPCWAVEFORMATEX pwfx);

/// Fills the 18 bytes of *pwfx with a PCM format: nBlockAlign = channels *
/// bits / 8 (16-bit arithmetic), nAvgBytesPerSec = nBlockAlign * rate,
/// cbSize 0. Does nothing for a null pwfx.
void BuildPCMFormat(LPWAVEFORMATEX pwfx, WORD bits, WORD channels, DWORD rate);

/// True when the format can be used to size and convert data: not null, at
/// least one channel and non-zero rate, byte rate and block size.
bool IsValidWaveFormat(LPCWAVEFORMATEX pwfx);

/// True when both formats have the same size and the same bytes (both null
/// counts as equal).
bool WaveFormatsEqual(LPCWAVEFORMATEX a, LPCWAVEFORMATEX b);

/// The name of the format's tag from the library's table of 38 tags;
/// "Unknown" for null or an unlisted tag.
std::string FormatTagName(LPCWAVEFORMATEX pwfx);

/// "48,000 kHz, 16 Bit, Stereo" and the like (see the overload), with the
/// program's decimal separator (FormatSettings.h: the user's LC_NUMERIC one
/// unless the program set its own), and as list separator ';' where the
/// decimal separator is ',' and ',' elsewhere. "Unknown" for null.
std::string FormatDescription(LPCWAVEFORMATEX pwfx);

/// The description with the given separators: rate div 1000, the decimal
/// separator, rate mod 1000 in three digits, " kHz", the list separator, " ",
/// the bits (nAvgBytesPerSec * 8 / rate / channels), " Bit", the list
/// separator, " ", then "Mono", "Stereo" or "<n> Channels".
std::string FormatDescription(LPCWAVEFORMATEX pwfx, char listSeparator, char decimalSeparator);

/// A source of format names better than the table, such as the compression
/// manager. Each entry, when set, returns true and the text when it can name
/// the format, and false otherwise; it may be called from any thread.
struct TWaveFormatNamer {
    bool (*TagName)(LPCWAVEFORMATEX pwfx, std::string& name) = nullptr;
    bool (*Description)(LPCWAVEFORMATEX pwfx, std::string& description) = nullptr;
};

/// Installs the namer used by GetWaveFormatNames; returns the previous one.
/// A default-constructed namer removes it.
TWaveFormatNamer SetWaveFormatNamer(const TWaveFormatNamer& namer);

/// The format's tag name and description, each from the installed namer when
/// it answers, else from FormatTagName and FormatDescription. False (and both
/// texts empty) for null.
bool GetWaveFormatNames(LPCWAVEFORMATEX pwfx, std::string& name, std::string& description);

// Conversions. Rounded ones compute a*b/c with a 64-bit intermediate as the
// quotient plus (2 * remainder) / c, which rounds halves away from zero; the
// 64-bit ones compute a*b/c in floating point and truncate. "Up to whole
// blocks" rounds a byte count up to the next multiple of nBlockAlign.

/// Rounded bytes * nSamplesPerSec / nAvgBytesPerSec.
LONG BytesToSamples(LPCWAVEFORMATEX pwfx, LONG bytes);

/// Rounded bytes * 1000 / nAvgBytesPerSec.
LONG BytesToMs(LPCWAVEFORMATEX pwfx, LONG bytes);

/// Rounded samples * nAvgBytesPerSec / nSamplesPerSec, up to whole blocks.
LONG SamplesToBytes(LPCWAVEFORMATEX pwfx, LONG samples);

/// Rounded samples * 1000 / nSamplesPerSec.
LONG SamplesToMs(LPCWAVEFORMATEX pwfx, LONG samples);

/// Rounded ms * nSamplesPerSec / 1000.
LONG MsToSamples(LPCWAVEFORMATEX pwfx, LONG ms);

/// Rounded ms * nAvgBytesPerSec / 1000, up to whole blocks.
LONG MsToBytes(LPCWAVEFORMATEX pwfx, LONG ms);

/// Truncated samples * nAvgBytesPerSec / nSamplesPerSec, up to whole blocks.
int64_t SamplesToBytes64(LPCWAVEFORMATEX pwfx, int64_t samples);

/// Truncated samples * 1000 / nSamplesPerSec.
int64_t SamplesToMs64(LPCWAVEFORMATEX pwfx, int64_t samples);
