#pragma once
// Wave input: the thirteen waveIn* entries and their three notifications, as
// a Windows programmer knows them, recording from ALSA.
//
// Devices. WAVE_MAPPER (-1) is ALSA's "default" PCM (on a desktop: the sound
// server). Device numbers 0..waveInGetNumDevs()-1 are the ALSA PCMs that can
// capture, in the order ALSA's name hints list them ("default", "pulse",
// "hw:CARD=...", ...); the product name is the PCM's name. The "null" PCM
// (silence at any speed) and "jack" (would start a JACK server) are left out.
// waveInGetNumDevs enumerates afresh, so a sound server started after the
// program is found; the other entries use the list of the last enumeration.
//
// Formats. PCM (8, 16, 24 and 32 bits, any channel count and rate the PCM
// accepts) and IEEE float are captured as they are. Any other format is
// served by the wave mapper's conversion through the compression manager
// module (platform/mm/MSAcm.h): for GSM 6.10 the device captures 16-bit mono
// PCM at the format's rate and every returned buffer holds whole 65-byte
// blocks. WAVE_FORMAT_DIRECT refuses such a conversion.
//
// Buffers. waveInAddBuffer queues a prepared header; the device fills the
// queued headers in order and returns each full one (WHDR_DONE set,
// WHDR_INQUEUE cleared, dwBytesRecorded = whole frames or blocks) with
// MM_WIM_DATA. waveInStop returns the partly filled header and keeps the
// empty ones queued; waveInReset returns every queued header and sets the
// position to 0. The position counts samples (and bytes) put into headers
// since the device was opened or last reset.
//
// Notifications go, in order and never two at a time for one device, to
// CALLBACK_FUNCTION (DRVCALLBACK with dw1 = the header for MM_WIM_DATA),
// CALLBACK_EVENT (the event is set) or CALLBACK_THREAD (PostThreadMessage
// with wParam = the handle, lParam = the header). MM_WIM_OPEN is sent inside
// waveInOpen, after *phwi is set; MM_WIM_CLOSE inside waveInClose, as the
// last one. MM_WIM_DATA comes from the device's capture thread, except for
// the headers waveInStop and waveInReset return: those are reported inside
// the call, on the caller's thread. A callback may call waveInAddBuffer,
// waveInStop, waveInReset, waveInGetPosition and even waveInClose on its own
// device. A CALLBACK_NULL caller polls WHDR_DONE: it is set (with release
// ordering) after the data and dwBytesRecorded.
//
// Nothing lost, nothing shifted:
// - The capture thread reads continuously into a ring of several seconds, so
//   a late waveInAddBuffer or a slow callback costs no audio.
// - Lost input (an ALSA overrun, or a sound server that dropped data it held
//   for us) is measured against CLOCK_MONOTONIC and filled with silence of
//   the same length, so that positions keep matching the clock; it is counted
//   (WaveInGetStatistics). A loss longer than kWaveInMaxSilenceFill is not
//   filled but counted as a break. The silence goes where the loss was
//   noticed, which may be up to a few seconds after where it happened.
// - Restarts are gapless: when a device is closed and the same device is
//   opened again in the same format (and on the same sound server: the
//   PULSE_SERVER of the open) within kWaveInParkMilliseconds, the new
//   open continues the old capture: everything captured after the last frame
//   the old open delivered (including what came between its waveInStop and
//   the new waveInStart) is delivered first. The recorder's Stop followed by
//   Start at every hour change thus loses and doubles no sample. Until then a
//   closed device keeps its PCM running, "parked".
// - A pause (waveInStop, later waveInStart on the same open device) drops
//   what came in between, as its namesake does.
//
// Errors. When the device fails for good (the sound server went away: ALSA
// reports an overrun and then cannot recover), every queued header is
// returned with what it holds and the device keeps the error:
// waveInAddBuffer and waveInStart return it from then on (MMSYSERR_NODRIVER,
// or MMSYSERR_READERROR for another read failure); waveInStop, waveInReset,
// waveInGetPosition and waveInClose still work. waveInGetErrorTextA has a
// text for every code the entries return.
//
// Every entry may be called from any thread.

#include "platform/mm/MMSystem.h"

#include <cstddef>

/// The number of capture devices, found afresh (tests each PCM: may take a
/// few tens of milliseconds).
UINT waveInGetNumDevs();

/// Capabilities of device uDeviceID (or WAVE_MAPPER): the PCM's name as
/// product name, the WAVE_FORMAT_* bits of the layouts it accepts (the
/// 44.1 kHz band bits also when it takes 48 kHz), 1 or 2 channels. Copies at
/// most cbwic bytes. MMSYSERR_BADDEVICEID for a number out of range.
MMRESULT waveInGetDevCapsA(UINT_PTR uDeviceID, LPWAVEINCAPSA pwic, UINT cbwic);

/// The text of a result code, cut to cchText - 1 characters and terminated;
/// when an entry returned that code to the calling thread last, the text
/// ends with where the failure came from ("(snd_pcm_open: No such file or
/// directory; WaveInAlsa.cpp:131)"). MMSYSERR_BADERRNUM for a code that has
/// none.
MMRESULT waveInGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText);

/// Opens device uDeviceID (or WAVE_MAPPER) for recording in format pwfx.
/// fdwOpen: one of CALLBACK_NULL/FUNCTION/EVENT/THREAD (CALLBACK_WINDOW is
/// MMSYSERR_NOTSUPPORTED), WAVE_FORMAT_QUERY (only test: no handle, no
/// notification), WAVE_FORMAT_DIRECT, WAVE_MAPPED and WAVE_ALLOWSYNC (both
/// accepted, nothing to do). WAVERR_BADFORMAT for a format the device cannot
/// record, MMSYSERR_NODRIVER when the PCM cannot be opened (no sound
/// server), MMSYSERR_ALLOCATED when it is busy.
MMRESULT waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
    DWORD_PTR dwInstance, DWORD fdwOpen);

/// Closes the device: WAVERR_STILLPLAYING while headers are queued (reset
/// first). Headers returned before and not yet reported are reported first,
/// MM_WIM_CLOSE last; when it returns no callback of the device runs any
/// more (unless it is called from that callback).
MMRESULT waveInClose(HWAVEIN hwi);

/// Marks a header prepared (WHDR_PREPARED); cbwh is sizeof(WAVEHDR) or more.
MMRESULT waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);

/// Clears WHDR_PREPARED; WAVERR_STILLPLAYING while the header is queued.
MMRESULT waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);

/// Queues a prepared header (WAVERR_UNPREPARED otherwise; WAVERR_STILLPLAYING
/// when it is queued already): clears WHDR_DONE and dwBytesRecorded, sets
/// WHDR_INQUEUE. MMSYSERR_INVALPARAM when it cannot hold one frame (one block
/// of a mapped format).
MMRESULT waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);

/// Starts (or restarts after waveInStop) filling headers.
MMRESULT waveInStart(HWAVEIN hwi);

/// Stops filling: the partly filled header is returned, empty ones stay
/// queued. Stopping a stopped device does nothing.
MMRESULT waveInStop(HWAVEIN hwi);

/// Stops and returns every queued header; the position goes back to 0.
MMRESULT waveInReset(HWAVEIN hwi);

/// The position in pmmt->wType's unit: TIME_SAMPLES, TIME_BYTES or TIME_MS;
/// any other unit is answered in TIME_BYTES (wType says so).
MMRESULT waveInGetPosition(HWAVEIN hwi, LPMMTIME pmmt, UINT cbmmt);

/// The device number the handle was opened with (WAVE_MAPPER stays so).
MMRESULT waveInGetID(HWAVEIN hwi, UINT* puDeviceID);

/// How long a closed device stays parked for a gapless reopen.
constexpr DWORD kWaveInParkMilliseconds = 2000;

/// The longest loss of input that is filled with silence, in milliseconds.
constexpr DWORD kWaveInMaxSilenceFill = 60000;

/// Why input was lost.
enum class TWaveInLossCause : DWORD {
    None = 0, // nothing lost yet
    Overrun = 1, // ALSA reported an overrun (or a suspend) and said how much
    Clock = 2, // the input fell behind the clock: the sound server dropped what it held
    RingFull = 3, // nobody took the captured frames for longer than the ring holds
};

/// What a device has repaired in its timeline since it was opened (the
/// counters of a continued capture start again at 0 with the new open).
struct TWaveInStatistics {
    DWORD Size; // sizeof(TWaveInStatistics), set by the caller
    DWORD Overruns; // losses of input, each filled with silence
    ULONGLONG SilenceSamples; // samples of silence put in for them
    DWORD Breaks; // losses too long to fill: the timeline jumps there
    BOOL Continued; // this open continued a parked capture
    ULONGLONG CarriedSamples; // samples delivered that were captured before this open
    ULONGLONG LostSamples; // samples of input lost (SilenceSamples of them filled)
    TWaveInLossCause LastCause; // why the last loss came about
    // The level watch (WaveInSetLevelWatch); filled when Size covers them.
    ULONGLONG WatchedFrames; // frames of captured input coded since the open
    ULONGLONG LoudUntil; // 1 + the last of them with a sample at the level; 0: none yet
};

/// The Size of a TWaveInStatistics without the level watch's fields.
constexpr DWORD kWaveInStatisticsBaseSize = offsetof(TWaveInStatistics, WatchedFrames);

/// Fills Statistics up to its Size (kWaveInStatisticsBaseSize or more must be
/// set). Any thread.
MMRESULT WaveInGetStatistics(HWAVEIN hwi, TWaveInStatistics* statistics);

/// Watches the level of a mapped device's captured PCM (16-bit) as it is
/// converted: a frame with a sample whose magnitude is Threshold or more is
/// loud; 0 stops the watch. WatchedFrames and LoudUntil of
/// WaveInGetStatistics then tell the silence up to the newest input within
/// one block of conversion (40 ms for GSM 6.10), where the delivered buffers
/// may carry seconds each. MMSYSERR_NOTSUPPORTED for a device that records
/// its capture format as it is. Any thread.
MMRESULT WaveInSetLevelWatch(HWAVEIN hwi, DWORD threshold);

// ---------------------------------------------------------------------------
// The backend table. The entries above check every argument and reach a
// device only through this table; a backend may assume what is listed with
// each member. Entries a backend cannot serve fail with a code, never null.

/// A device opened by a backend (the backend's own type).
struct TWaveInStream;

/// The mapper's converter from captured PCM to the format the caller asked
/// for, made by the front. The backend moves whole input blocks into Input
/// and calls Encode; it runs on the capture thread and never allocates.
struct TWaveInEncoder {
    DWORD InputBlock; // bytes of captured PCM per block
    DWORD OutputBlock; // bytes of the caller's format per block
    DWORD MaxBlocks; // blocks Input holds
    BYTE* Input; // MaxBlocks * InputBlock bytes
    void* Context;
    /// Codes the first Blocks blocks of Input into Output (Blocks *
    /// OutputBlock bytes); false on a coding failure.
    bool (*Encode)(void* context, DWORD blocks, BYTE* output);
};

/// Reports a returned header (MM_WIM_DATA). Called on the capture thread or
/// on the thread in waveInStop/waveInReset, never twice at once per stream,
/// outside every backend lock.
using TWaveInNotify = void (*)(void* context, WAVEHDR* header);

/// What waveInOpen has settled before a backend sees it.
struct TWaveInOpenRequest {
    UINT Device; // WAVE_MAPPER or below the backend's last GetNumDevs
    WAVEFORMATEX CaptureFormat; // PCM or IEEE float, consistent, cbSize 0
    const WAVEFORMATEX* Format; // the caller's format (FormatSize bytes), for matching a parked device
    DWORD FormatSize;
    DWORD OutputBlock; // bytes per frame or block the caller receives
    TWaveInEncoder* Encoder; // nullptr: the capture format is delivered as it is
    TWaveInNotify Notify;
    void* NotifyContext;
};

struct TWaveInBackend {
    /// Enumerates the devices.
    UINT (*GetNumDevs)();
    /// Device is WAVE_MAPPER or below the last count; Caps is zeroed.
    MMRESULT (*GetDevCaps)(UINT device, WAVEINCAPSA* caps);
    /// Whether Request could be opened now (Encoder and Notify unused).
    MMRESULT (*Query)(const TWaveInOpenRequest& request);
    /// Opens; Stream stays valid until Destroy.
    MMRESULT (*Open)(const TWaveInOpenRequest& request, TWaveInStream** stream);
    /// Header is prepared, not queued, holds at least OutputBlock bytes;
    /// its flags and dwBytesRecorded are set for the queue.
    MMRESULT (*AddBuffer)(TWaveInStream* stream, WAVEHDR* header);
    MMRESULT (*Start)(TWaveInStream* stream);
    MMRESULT (*Stop)(TWaveInStream* stream);
    MMRESULT (*Reset)(TWaveInStream* stream);
    /// Time is a valid MMTIME.
    MMRESULT (*GetPosition)(TWaveInStream* stream, MMTIME* time);
    /// Statistics is a valid TWaveInStatistics.
    MMRESULT (*GetStatistics)(TWaveInStream* stream, TWaveInStatistics* statistics);
    /// Reports the returned headers, then closes; no notification follows
    /// (unless it is called from one).
    MMRESULT (*Close)(TWaveInStream* stream);
    /// Frees a stream, closed or not, that no other thread uses any more.
    void (*Destroy)(TWaveInStream* stream);
    /// Where the last failure with Code that an entry returned to the
    /// calling thread came from (the call, the system's text, file and
    /// line), or nullptr.
    const char* (*ErrorContext)(MMRESULT code);
};

/// The ALSA backend (platform/mm/WaveInAlsa.cpp).
const TWaveInBackend& WaveInAlsaBackend();
