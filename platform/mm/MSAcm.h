#pragma once
// The compression manager's types, codes and entries, laid out as a Windows
// programmer knows them (64-bit Linux widths: pointers and *_PTR are 8 bytes,
// so ACMFORMATDETAILSA is 160 bytes and ACMSTREAMHEADER 128).
//
// The entries live in a module of their own, libtonvara_acm.so
// (platform/acm), which the program loads at run time: it starts and records
// PCM without it. Nothing links against the entries declared here; callers
// find them with dlsym in the handle AcmLoadModule gives, through the pointer
// types below (TAcmStreamOpen ...), so a missing module is a null handle, not
// a failure to start.
//
// What the module offers: the format tags PCM (converter) and GSM 6.10
// (codec, WAV49 packing: 65-byte blocks of 320 samples); streams GSM 6.10
// <-> 16-bit mono PCM at the same rate, and PCM -> the same PCM; no driver
// handles (every HACMDRIVER argument must be null), no filters, no dialogs,
// no asynchronous streams.

#include "platform/mm/MMSystem.h"

struct HACMDRIVERID__;
using HACMDRIVERID = HACMDRIVERID__*;
struct HACMDRIVER__;
using HACMDRIVER = HACMDRIVER__*;
struct HACMSTREAM__;
using HACMSTREAM = HACMSTREAM__*;
using LPHACMSTREAM = HACMSTREAM*;
struct HACMOBJ__;
using HACMOBJ = HACMOBJ__*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;

// Result codes beyond the MMSYSERR_ ones.
constexpr MMRESULT ACMERR_BASE = 512;
constexpr MMRESULT ACMERR_NOTPOSSIBLE = 512;
constexpr MMRESULT ACMERR_BUSY = 513;
constexpr MMRESULT ACMERR_UNPREPARED = 514;
constexpr MMRESULT ACMERR_CANCELED = 515;

// acmMetrics.
constexpr UINT ACM_METRIC_COUNT_DRIVERS = 1;
constexpr UINT ACM_METRIC_COUNT_CODECS = 2;
constexpr UINT ACM_METRIC_COUNT_CONVERTERS = 3;
constexpr UINT ACM_METRIC_COUNT_FILTERS = 4;
constexpr UINT ACM_METRIC_COUNT_DISABLED = 5;
constexpr UINT ACM_METRIC_COUNT_HARDWARE = 6;
constexpr UINT ACM_METRIC_COUNT_LOCAL_DRIVERS = 20;
constexpr UINT ACM_METRIC_COUNT_LOCAL_CODECS = 21;
constexpr UINT ACM_METRIC_COUNT_LOCAL_CONVERTERS = 22;
constexpr UINT ACM_METRIC_COUNT_LOCAL_FILTERS = 23;
constexpr UINT ACM_METRIC_COUNT_LOCAL_DISABLED = 24;
constexpr UINT ACM_METRIC_HARDWARE_WAVE_INPUT = 30;
constexpr UINT ACM_METRIC_HARDWARE_WAVE_OUTPUT = 31;
constexpr UINT ACM_METRIC_MAX_SIZE_FORMAT = 50;
constexpr UINT ACM_METRIC_MAX_SIZE_FILTER = 51;
constexpr UINT ACM_METRIC_DRIVER_SUPPORT = 100;
constexpr UINT ACM_METRIC_DRIVER_PRIORITY = 101;

// fdwSupport bits.
constexpr DWORD ACMDRIVERDETAILS_SUPPORTF_CODEC = 0x00000001;
constexpr DWORD ACMDRIVERDETAILS_SUPPORTF_CONVERTER = 0x00000002;
constexpr DWORD ACMDRIVERDETAILS_SUPPORTF_FILTER = 0x00000004;
constexpr DWORD ACMDRIVERDETAILS_SUPPORTF_HARDWARE = 0x00000008;
constexpr DWORD ACMDRIVERDETAILS_SUPPORTF_ASYNC = 0x00000010;
constexpr DWORD ACMDRIVERDETAILS_SUPPORTF_LOCAL = 0x40000000;
constexpr DWORD ACMDRIVERDETAILS_SUPPORTF_DISABLED = 0x80000000;

constexpr int ACMFORMATTAGDETAILS_FORMATTAG_CHARS = 48;
constexpr int ACMFORMATDETAILS_FORMAT_CHARS = 128;

/// One format tag: its name and how large its format records get (72 bytes).
struct ACMFORMATTAGDETAILSA {
    DWORD cbStruct;
    DWORD dwFormatTagIndex;
    DWORD dwFormatTag;
    DWORD cbFormatSize;
    DWORD fdwSupport;
    DWORD cStandardFormats;
    char szFormatTag[ACMFORMATTAGDETAILS_FORMATTAG_CHARS];
};
static_assert(sizeof(ACMFORMATTAGDETAILSA) == 72);
using LPACMFORMATTAGDETAILSA = ACMFORMATTAGDETAILSA*;

constexpr DWORD ACM_FORMATTAGDETAILSF_INDEX = 0x00000000;
constexpr DWORD ACM_FORMATTAGDETAILSF_FORMATTAG = 0x00000001;
constexpr DWORD ACM_FORMATTAGDETAILSF_LARGESTSIZE = 0x00000002;
constexpr DWORD ACM_FORMATTAGDETAILSF_QUERYMASK = 0x0000000F;

/// One format and its description ("8.000 kHz, Mono").
struct ACMFORMATDETAILSA {
    DWORD cbStruct;
    DWORD dwFormatIndex;
    DWORD dwFormatTag;
    DWORD fdwSupport;
    LPWAVEFORMATEX pwfx;
    DWORD cbwfx;
    char szFormat[ACMFORMATDETAILS_FORMAT_CHARS];
};
static_assert(sizeof(ACMFORMATDETAILSA) == 160);
using LPACMFORMATDETAILSA = ACMFORMATDETAILSA*;

constexpr DWORD ACM_FORMATDETAILSF_INDEX = 0x00000000;
constexpr DWORD ACM_FORMATDETAILSF_FORMAT = 0x00000001;
constexpr DWORD ACM_FORMATDETAILSF_QUERYMASK = 0x0000000F;

/// Enumeration callbacks: return TRUE to go on, FALSE to stop.
using ACMFORMATTAGENUMCBA
    = BOOL (*)(HACMDRIVERID hadid, LPACMFORMATTAGDETAILSA paftd, DWORD_PTR dwInstance, DWORD fdwSupport);
using ACMFORMATENUMCBA
    = BOOL (*)(HACMDRIVERID hadid, LPACMFORMATDETAILSA pafd, DWORD_PTR dwInstance, DWORD fdwSupport);

constexpr DWORD ACM_FORMATENUMF_WFORMATTAG = 0x00010000;
constexpr DWORD ACM_FORMATENUMF_NCHANNELS = 0x00020000;
constexpr DWORD ACM_FORMATENUMF_NSAMPLESPERSEC = 0x00040000;
constexpr DWORD ACM_FORMATENUMF_WBITSPERSAMPLE = 0x00080000;
constexpr DWORD ACM_FORMATENUMF_CONVERT = 0x00100000;
constexpr DWORD ACM_FORMATENUMF_SUGGEST = 0x00200000;
constexpr DWORD ACM_FORMATENUMF_HARDWARE = 0x00400000;
constexpr DWORD ACM_FORMATENUMF_INPUT = 0x00800000;
constexpr DWORD ACM_FORMATENUMF_OUTPUT = 0x01000000;

constexpr DWORD ACM_FORMATSUGGESTF_WFORMATTAG = 0x00010000;
constexpr DWORD ACM_FORMATSUGGESTF_NCHANNELS = 0x00020000;
constexpr DWORD ACM_FORMATSUGGESTF_NSAMPLESPERSEC = 0x00040000;
constexpr DWORD ACM_FORMATSUGGESTF_WBITSPERSAMPLE = 0x00080000;
constexpr DWORD ACM_FORMATSUGGESTF_TYPEMASK = 0x00FF0000;

/// A filter description (acmStreamOpen's pwfltr; the module offers none).
struct WAVEFILTER {
    DWORD cbStruct;
    DWORD dwFilterTag;
    DWORD fdwFilter;
    DWORD dwReserved[5];
};
using LPWAVEFILTER = WAVEFILTER*;

constexpr DWORD ACM_STREAMOPENF_QUERY = 0x00000001;
constexpr DWORD ACM_STREAMOPENF_ASYNC = 0x00000002;
constexpr DWORD ACM_STREAMOPENF_NONREALTIME = 0x00000004;

constexpr DWORD ACM_STREAMSIZEF_SOURCE = 0x00000000;
constexpr DWORD ACM_STREAMSIZEF_DESTINATION = 0x00000001;
constexpr DWORD ACM_STREAMSIZEF_QUERYMASK = 0x0000000F;

constexpr DWORD ACM_STREAMCONVERTF_BLOCKALIGN = 0x00000004;
constexpr DWORD ACM_STREAMCONVERTF_START = 0x00000010;
constexpr DWORD ACM_STREAMCONVERTF_END = 0x00000020;

constexpr DWORD ACMSTREAMHEADER_STATUSF_DONE = 0x00010000;
constexpr DWORD ACMSTREAMHEADER_STATUSF_PREPARED = 0x00020000;
constexpr DWORD ACMSTREAMHEADER_STATUSF_INQUEUE = 0x00100000;

/// One conversion: source bytes in, destination bytes out. The caller owns
/// both buffers; dwReservedDriver belongs to the module between prepare and
/// unprepare.
struct ACMSTREAMHEADER {
    DWORD cbStruct;
    DWORD fdwStatus;
    DWORD_PTR dwUser;
    LPBYTE pbSrc;
    DWORD cbSrcLength;
    DWORD cbSrcLengthUsed;
    DWORD_PTR dwSrcUser;
    LPBYTE pbDst;
    DWORD cbDstLength;
    DWORD cbDstLengthUsed;
    DWORD_PTR dwDstUser;
    DWORD dwReservedDriver[15];
};
static_assert(sizeof(ACMSTREAMHEADER) == 128);
using LPACMSTREAMHEADER = ACMSTREAMHEADER*;

// The module's entries. Declared for the module to define and for decltype;
// call them only through the pointers dlsym gives.
extern "C" {
DWORD acmGetVersion();
MMRESULT acmMetrics(HACMOBJ hao, UINT uMetric, void* pMetric);
MMRESULT acmFormatTagDetailsA(HACMDRIVER had, LPACMFORMATTAGDETAILSA paftd, DWORD fdwDetails);
MMRESULT acmFormatTagEnumA(HACMDRIVER had, LPACMFORMATTAGDETAILSA paftd, ACMFORMATTAGENUMCBA fnCallback,
    DWORD_PTR dwInstance, DWORD fdwEnum);
MMRESULT acmFormatDetailsA(HACMDRIVER had, LPACMFORMATDETAILSA pafd, DWORD fdwDetails);
MMRESULT acmFormatEnumA(HACMDRIVER had, LPACMFORMATDETAILSA pafd, ACMFORMATENUMCBA fnCallback,
    DWORD_PTR dwInstance, DWORD fdwEnum);
MMRESULT acmFormatSuggest(
    HACMDRIVER had, LPWAVEFORMATEX pwfxSrc, LPWAVEFORMATEX pwfxDst, DWORD cbwfxDst, DWORD fdwSuggest);
MMRESULT acmStreamOpen(LPHACMSTREAM phas, HACMDRIVER had, LPWAVEFORMATEX pwfxSrc, LPWAVEFORMATEX pwfxDst,
    LPWAVEFILTER pwfltr, DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT acmStreamClose(HACMSTREAM has, DWORD fdwClose);
MMRESULT acmStreamSize(HACMSTREAM has, DWORD cbInput, LPDWORD pdwOutputBytes, DWORD fdwSize);
MMRESULT acmStreamReset(HACMSTREAM has, DWORD fdwReset);
MMRESULT acmStreamPrepareHeader(HACMSTREAM has, LPACMSTREAMHEADER pash, DWORD fdwPrepare);
MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, LPACMSTREAMHEADER pash, DWORD fdwUnprepare);
MMRESULT acmStreamConvert(HACMSTREAM has, LPACMSTREAMHEADER pash, DWORD fdwConvert);
}

// Pointer types for the entries found with dlsym.
using TAcmGetVersion = decltype(&acmGetVersion);
using TAcmMetrics = decltype(&acmMetrics);
using TAcmFormatTagDetailsA = decltype(&acmFormatTagDetailsA);
using TAcmFormatTagEnumA = decltype(&acmFormatTagEnumA);
using TAcmFormatDetailsA = decltype(&acmFormatDetailsA);
using TAcmFormatEnumA = decltype(&acmFormatEnumA);
using TAcmFormatSuggest = decltype(&acmFormatSuggest);
using TAcmStreamOpen = decltype(&acmStreamOpen);
using TAcmStreamClose = decltype(&acmStreamClose);
using TAcmStreamSize = decltype(&acmStreamSize);
using TAcmStreamReset = decltype(&acmStreamReset);
using TAcmStreamPrepareHeader = decltype(&acmStreamPrepareHeader);
using TAcmStreamUnprepareHeader = decltype(&acmStreamUnprepareHeader);
using TAcmStreamConvert = decltype(&acmStreamConvert);

/// The module's file name, as the dynamic linker looks it up.
constexpr const char* kAcmModuleName = "libtonvara_acm.so";

/// The environment variable that names the module file to load instead
/// (tests point it at the build tree, or at nothing to see the program
/// without the module).
constexpr const char* kAcmModuleVariable = "TONVARA_ACM_MODULE";

/// Loads the module and returns its dlopen handle, or nullptr when it cannot
/// be found or loaded. Where it looks, in order:
///   1. $TONVARA_ACM_MODULE when it is set (and nowhere else then);
///   2. lib/ beside the executable and ../lib from it ($ORIGIN/lib,
///      $ORIGIN/../lib: the build tree and an installed bin/ + lib/ layout);
///   3. the dynamic linker's own search for kAcmModuleName (the executable's
///      RUNPATH, LD_LIBRARY_PATH, the system's library folders).
/// Every call gives a new reference; give it back with dlclose. Any thread.
void* AcmLoadModule();
