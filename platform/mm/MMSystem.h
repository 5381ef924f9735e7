#pragma once
// The multimedia types and codes the components are written against, laid
// out as a Windows programmer knows them. Field widths follow the 64-bit
// Linux ABI (pointers and *_PTR are 8 bytes); the on-disk records
// (WAVEFORMATEX, PCMWAVEFORMAT, chunk headers) are packed to their file size.

#include <cstdint>

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using UINT = uint32_t;
using LONG = int32_t;
using BOOL = int32_t;
using DWORD_PTR = uintptr_t;
using LPARAM = intptr_t;
using LPSTR = char*;
using LPCSTR = const char*;
using MMRESULT = UINT;
using MMVERSION = UINT;
using FOURCC = DWORD;

/// Opaque device handles; the backends hand out their own objects.
struct HWAVEIN__;
using HWAVEIN = HWAVEIN__*;
using LPHWAVEIN = HWAVEIN*;

constexpr FOURCC mmioFOURCC(char a, char b, char c, char d)
{
    return static_cast<FOURCC>(static_cast<BYTE>(a)) | (static_cast<FOURCC>(static_cast<BYTE>(b)) << 8)
        | (static_cast<FOURCC>(static_cast<BYTE>(c)) << 16)
        | (static_cast<FOURCC>(static_cast<BYTE>(d)) << 24);
}

// General result codes.
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_BASE = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT MMSYSERR_HANDLEBUSY = 12;
constexpr MMRESULT MMSYSERR_INVALIDALIAS = 13;
constexpr MMRESULT MMSYSERR_BADDB = 14;
constexpr MMRESULT MMSYSERR_KEYNOTFOUND = 15;
constexpr MMRESULT MMSYSERR_READERROR = 16;
constexpr MMRESULT MMSYSERR_WRITEERROR = 17;
constexpr MMRESULT MMSYSERR_DELETEERROR = 18;
constexpr MMRESULT MMSYSERR_VALNOTFOUND = 19;
constexpr MMRESULT MMSYSERR_NODRIVERCB = 20;
constexpr MMRESULT MMSYSERR_MOREDATA = 21;
constexpr MMRESULT MMSYSERR_LASTERROR = 21;

// Wave result codes.
constexpr MMRESULT WAVERR_BASE = 32;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;
constexpr MMRESULT WAVERR_SYNC = 35;
constexpr MMRESULT WAVERR_LASTERROR = 35;

// Timer result codes.
constexpr MMRESULT TIMERR_BASE = 96;
constexpr MMRESULT TIMERR_NOERROR = 0;
constexpr MMRESULT TIMERR_NOCANDO = 97;
constexpr MMRESULT TIMERR_STRUCT = 129;

// Wave input notifications.
constexpr UINT MM_WIM_OPEN = 0x3BE; // 958
constexpr UINT MM_WIM_CLOSE = 0x3BF; // 959
constexpr UINT MM_WIM_DATA = 0x3C0; // 960
constexpr UINT WIM_OPEN = MM_WIM_OPEN;
constexpr UINT WIM_CLOSE = MM_WIM_CLOSE;
constexpr UINT WIM_DATA = MM_WIM_DATA;

// waveInOpen flags.
constexpr UINT WAVE_MAPPER = static_cast<UINT>(-1);
constexpr DWORD WAVE_FORMAT_QUERY = 0x0001;
constexpr DWORD WAVE_ALLOWSYNC = 0x0002;
constexpr DWORD WAVE_MAPPED = 0x0004;
constexpr DWORD CALLBACK_TYPEMASK = 0x00070000;
constexpr DWORD CALLBACK_NULL = 0x00000000;
constexpr DWORD CALLBACK_WINDOW = 0x00010000;
constexpr DWORD CALLBACK_TASK = 0x00020000;
constexpr DWORD CALLBACK_THREAD = CALLBACK_TASK;
constexpr DWORD CALLBACK_FUNCTION = 0x00030000;
constexpr DWORD CALLBACK_EVENT = 0x00050000;

// WAVEHDR.dwFlags.
constexpr DWORD WHDR_DONE = 0x00000001;
constexpr DWORD WHDR_PREPARED = 0x00000002;
constexpr DWORD WHDR_BEGINLOOP = 0x00000004;
constexpr DWORD WHDR_ENDLOOP = 0x00000008;
constexpr DWORD WHDR_INQUEUE = 0x00000010;

// Format tags.
constexpr WORD WAVE_FORMAT_UNKNOWN = 0x0000;
constexpr WORD WAVE_FORMAT_PCM = 0x0001;
constexpr WORD WAVE_FORMAT_ADPCM = 0x0002;
constexpr WORD WAVE_FORMAT_IEEE_FLOAT = 0x0003;
constexpr WORD WAVE_FORMAT_ALAW = 0x0006;
constexpr WORD WAVE_FORMAT_MULAW = 0x0007;
constexpr WORD WAVE_FORMAT_DVI_ADPCM = 0x0011;
constexpr WORD WAVE_FORMAT_GSM610 = 0x0031;

// WAVEINCAPS.dwFormats bits: rate band, then mono/stereo, 8/16 bit.
constexpr DWORD WAVE_INVALIDFORMAT = 0x00000000;
constexpr DWORD WAVE_FORMAT_1M08 = 0x00000001;
constexpr DWORD WAVE_FORMAT_1S08 = 0x00000002;
constexpr DWORD WAVE_FORMAT_1M16 = 0x00000004;
constexpr DWORD WAVE_FORMAT_1S16 = 0x00000008;
constexpr DWORD WAVE_FORMAT_2M08 = 0x00000010;
constexpr DWORD WAVE_FORMAT_2S08 = 0x00000020;
constexpr DWORD WAVE_FORMAT_2M16 = 0x00000040;
constexpr DWORD WAVE_FORMAT_2S16 = 0x00000080;
constexpr DWORD WAVE_FORMAT_4M08 = 0x00000100;
constexpr DWORD WAVE_FORMAT_4S08 = 0x00000200;
constexpr DWORD WAVE_FORMAT_4M16 = 0x00000400;
constexpr DWORD WAVE_FORMAT_4S16 = 0x00000800;

// MMTIME.wType.
constexpr UINT TIME_MS = 0x0001;
constexpr UINT TIME_SAMPLES = 0x0002;
constexpr UINT TIME_BYTES = 0x0004;
constexpr UINT TIME_SMPTE = 0x0008;
constexpr UINT TIME_MIDI = 0x0010;
constexpr UINT TIME_TICKS = 0x0020;

constexpr int MAXPNAMELEN = 32;
constexpr int MAXERRORLENGTH = 256;

#pragma pack(push, 1)
/// The wave format record as stored in a `fmt ` chunk: 18 bytes, followed by
/// cbSize bytes of format-specific data for formats other than PCM.
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};
static_assert(sizeof(WAVEFORMATEX) == 18);

/// The 14-byte format head without bit depth, as in the oldest PCM files.
struct WAVEFORMAT {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
};
static_assert(sizeof(WAVEFORMAT) == 14);

/// The 16-byte PCM format record.
struct PCMWAVEFORMAT {
    WAVEFORMAT wf;
    WORD wBitsPerSample;
};
static_assert(sizeof(PCMWAVEFORMAT) == 16);

/// GSM 6.10: a WAVEFORMATEX with cbSize 2 and the samples per block (320).
struct GSM610WAVEFORMAT {
    WAVEFORMATEX wfx;
    WORD wSamplesPerBlock;
};
static_assert(sizeof(GSM610WAVEFORMAT) == 20);
#pragma pack(pop)

using PWAVEFORMATEX = WAVEFORMATEX*;
using LPWAVEFORMATEX = WAVEFORMATEX*;
using LPCWAVEFORMATEX = const WAVEFORMATEX*;

/// A buffer handed to a wave device.
struct WAVEHDR {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    WAVEHDR* lpNext;
    DWORD_PTR reserved;
};
using PWAVEHDR = WAVEHDR*;
using LPWAVEHDR = WAVEHDR*;

/// Capabilities of a wave input device (48 bytes, as the components expect).
struct WAVEINCAPSA {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    char szPname[MAXPNAMELEN];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
};
static_assert(sizeof(WAVEINCAPSA) == 48);
using LPWAVEINCAPSA = WAVEINCAPSA*;

/// A device position in the unit named by wType (12 bytes).
#pragma pack(push, 4)
struct MMTIME {
    UINT wType;
    union {
        DWORD ms;
        DWORD sample;
        DWORD cb;
        DWORD ticks;
        struct {
            BYTE hour, min, sec, frame, fps, dummy, pad[2];
        } smpte;
        struct {
            DWORD songptrpos;
        } midi;
    } u;
};
#pragma pack(pop)
static_assert(sizeof(MMTIME) == 12);
using LPMMTIME = MMTIME*;

/// The callback of CALLBACK_FUNCTION devices: it runs on the device's own
/// thread and must only hand the notification on.
using DRVCALLBACK = void (*)(HWAVEIN hdrvr, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);
using LPDRVCALLBACK = DRVCALLBACK;

// More waveInOpen flags and WAVEINCAPSA.dwFormats bits.
constexpr DWORD WAVE_FORMAT_DIRECT = 0x0008;
constexpr DWORD WAVE_FORMAT_44M08 = WAVE_FORMAT_4M08;
constexpr DWORD WAVE_FORMAT_44S08 = WAVE_FORMAT_4S08;
constexpr DWORD WAVE_FORMAT_44M16 = WAVE_FORMAT_4M16;
constexpr DWORD WAVE_FORMAT_44S16 = WAVE_FORMAT_4S16;
constexpr DWORD WAVE_FORMAT_48M08 = 0x00001000;
constexpr DWORD WAVE_FORMAT_48S08 = 0x00002000;
constexpr DWORD WAVE_FORMAT_48M16 = 0x00004000;
constexpr DWORD WAVE_FORMAT_48S16 = 0x00008000;
constexpr DWORD WAVE_FORMAT_96M08 = 0x00010000;
constexpr DWORD WAVE_FORMAT_96S08 = 0x00020000;
constexpr DWORD WAVE_FORMAT_96M16 = 0x00040000;
constexpr DWORD WAVE_FORMAT_96S16 = 0x00080000;

/// WAVEINCAPSA.wMid/wPid of a device without a registered manufacturer.
constexpr WORD MM_UNMAPPED = 0xFFFF;

// timeSetEvent flags: the kind of timer, then what it does when it expires.
constexpr UINT TIME_ONESHOT = 0x0000;
constexpr UINT TIME_PERIODIC = 0x0001;
constexpr UINT TIME_CALLBACK_FUNCTION = 0x0000;
constexpr UINT TIME_CALLBACK_EVENT_SET = 0x0010;
constexpr UINT TIME_CALLBACK_EVENT_PULSE = 0x0020;
constexpr UINT TIME_KILL_SYNCHRONOUS = 0x0100;

/// The range of periods the multimedia timers accept, in milliseconds.
struct TIMECAPS {
    UINT wPeriodMin;
    UINT wPeriodMax;
};
using PTIMECAPS = TIMECAPS*;
using LPTIMECAPS = TIMECAPS*;

/// A multimedia timer's callback: runs on the timer thread; uMsg, dw1 and dw2
/// are 0.
using TIMECALLBACK = void(UINT uTimerID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);
using LPTIMECALLBACK = TIMECALLBACK*;

using UINT_PTR = uintptr_t;
using ULONGLONG = uint64_t;
