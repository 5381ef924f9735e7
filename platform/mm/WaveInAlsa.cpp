// The wave input's ALSA backend, in three layers:
//   1. TAlsaPcm: one capture PCM handle (open, configure, read, recover);
//   2. TCaptureStream: the capture thread that reads a PCM without pause into
//      a ring (TFrameRing), keeps its timeline honest (TTimelineGuard), and
//      outlives a close for a while ("parked") so that a reopen continues it;
//   3. TAlsaDevice and the table entries: one open device, its queue of
//      headers and its notifications.
//
// Locks, always taken in this order: gAlsaLock (device list, capabilities,
// parked streams, ALSA configuration), then a stream's FLock (its ring, its
// state and the state of the device attached to it), then nothing else.
// Callbacks run with no lock held.

#include "platform/kernel/Threads.h"
#include "platform/mm/WaveIn.h"
#include "platform/mm/WaveInAlsaTimeline.h"

#include <algorithm>
#include <alsa/asoundlib.h>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using TClock = TTimelineGuard::TClock; // CLOCK_MONOTONIC

// ===========================================================================
// Layer 1: the PCM handle.

constexpr unsigned kPeriodMicroseconds = 20000;
constexpr unsigned kBufferMicroseconds = 2000000;

const char* const kMapperPcm = "default";

// Where a PCM's name leads: the same name reaches another sound server when
// PULSE_SERVER names one, and a capture parked on one server must not
// continue into an open meant for another (nor stand for it being there).
std::string Endpoint()
{
    const char* server = std::getenv("PULSE_SERVER");
    return server != nullptr ? server : "";
}

snd_pcm_format_t AlsaFormat(const WAVEFORMATEX& format)
{
    if (format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT)
        return format.wBitsPerSample == 32 ? SND_PCM_FORMAT_FLOAT_LE : SND_PCM_FORMAT_UNKNOWN;
    switch (format.wBitsPerSample) {
    case 8:
        return SND_PCM_FORMAT_U8;
    case 16:
        return SND_PCM_FORMAT_S16_LE;
    case 24:
        return SND_PCM_FORMAT_S24_3LE;
    case 32:
        return SND_PCM_FORMAT_S32_LE;
    default:
        return SND_PCM_FORMAT_UNKNOWN;
    }
}

// What a failed snd_pcm_open means to a caller of waveInOpen.
MMRESULT OpenErrorCode(int error)
{
    switch (-error) {
    case EBUSY:
    case EAGAIN:
        return MMSYSERR_ALLOCATED;
    case ENOMEM:
        return MMSYSERR_NOMEM;
    case EINVAL:
        return WAVERR_BADFORMAT;
    default:
        // No such PCM, no card, a sound server that does not answer.
        return MMSYSERR_NODRIVER;
    }
}

// What a read failure that recovery could not mend means.
MMRESULT ReadErrorCode(int error)
{
    switch (-error) {
    case EIO:
    case ENODEV:
    case ENXIO:
    case EBADFD:
    case ENOTCONN:
    case ECONNRESET:
    case EPIPE:
        return MMSYSERR_NODRIVER;
    default:
        return MMSYSERR_READERROR;
    }
}

// ----- where a failure came from ------------------------------------------------

constexpr std::size_t kContextLength = 160;

/// The call, ALSA's text for its error, file and line of a failure.
struct TFailure {
    MMRESULT Code = MMSYSERR_NOERROR;
    std::array<char, kContextLength> Text {};
};

// The last failure an entry returned to this thread, for waveInGetErrorTextA.
thread_local TFailure tFailure;

TFailure MakeFailure(MMRESULT code, const char* call, int error, const char* file, int line)
{
    const char* slash = std::strrchr(file, '/');
    TFailure failure;
    failure.Code = code;
    std::snprintf(failure.Text.data(), failure.Text.size(), "%s: %s; %s:%d", call, snd_strerror(error),
        slash != nullptr ? slash + 1 : file, line);
    return failure;
}

/// Keeps Failure as this thread's last one and returns its code.
MMRESULT Remember(const TFailure& failure)
{
    tFailure = failure;
    return failure.Code;
}

// Returns Code from the entry in hand, keeping where it came from.
#define ALSA_FAILURE(code, call, error) Remember(MakeFailure((code), (call), (error), __FILE__, __LINE__))

// Every entry that may return a failure starts afresh.
void ForgetFailure()
{
    tFailure.Code = MMSYSERR_NOERROR;
}

const char* AlsaErrorContext(MMRESULT code)
{
    return tFailure.Code == code && code != MMSYSERR_NOERROR ? tFailure.Text.data() : nullptr;
}

class TAlsaPcm {
public:
    TAlsaPcm() = default;
    TAlsaPcm(const TAlsaPcm&) = delete;
    TAlsaPcm& operator=(const TAlsaPcm&) = delete;
    ~TAlsaPcm() { Close(); }

    /// Opens Name for nonblocking capture. A program started before its
    /// sound server keeps a configuration in which "default" never finds the
    /// server: after a failure the configuration is read again and the open
    /// tried once more. Under gAlsaLock.
    int OpenRaw(const std::string& name)
    {
        Close();
        int error = snd_pcm_open(&FPcm, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
        if (error < 0) {
            snd_config_update_free_global();
            error = snd_pcm_open(&FPcm, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
        }
        if (error < 0)
            FPcm = nullptr;
        return error;
    }

    /// Opens and sets Format exactly (no resampling or remixing of our own),
    /// a 20 ms period and as much of 2 s of buffer as the PCM gives.
    MMRESULT Open(const std::string& name, const WAVEFORMATEX& format)
    {
        int error = OpenRaw(name);
        if (error < 0)
            return ALSA_FAILURE(OpenErrorCode(error), "snd_pcm_open", error);
        snd_pcm_hw_params_t* hw;
        snd_pcm_hw_params_alloca(&hw);
        unsigned period = kPeriodMicroseconds;
        unsigned buffer = kBufferMicroseconds;
        int dir = 0;
        const char* call = "snd_pcm_hw_params_any";
        if ((error = snd_pcm_hw_params_any(FPcm, hw)) >= 0) {
            call = "snd_pcm_hw_params_set_access";
            error = snd_pcm_hw_params_set_access(FPcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
        }
        if (error >= 0) {
            call = "snd_pcm_hw_params_set_format";
            error = snd_pcm_hw_params_set_format(FPcm, hw, AlsaFormat(format));
        }
        if (error >= 0) {
            call = "snd_pcm_hw_params_set_channels";
            error = snd_pcm_hw_params_set_channels(FPcm, hw, format.nChannels);
        }
        if (error >= 0) {
            call = "snd_pcm_hw_params_set_rate";
            error = snd_pcm_hw_params_set_rate(FPcm, hw, format.nSamplesPerSec, 0);
        }
        if (error >= 0) {
            snd_pcm_hw_params_set_buffer_time_near(FPcm, hw, &buffer, &dir);
            snd_pcm_hw_params_set_period_time_near(FPcm, hw, &period, &dir);
            call = "snd_pcm_hw_params";
            error = snd_pcm_hw_params(FPcm, hw);
        }
        if (error < 0) {
            Close();
            return ALSA_FAILURE(WAVERR_BADFORMAT, call, error);
        }
        snd_pcm_uframes_t periodFrames = 0;
        snd_pcm_hw_params_get_period_size(hw, &periodFrames, &dir);
        FPeriodFrames = std::max<snd_pcm_uframes_t>(periodFrames, 1);
        snd_pcm_sw_params_t* sw;
        snd_pcm_sw_params_alloca(&sw);
        snd_pcm_sw_params_current(FPcm, sw);
        snd_pcm_sw_params_set_avail_min(FPcm, sw, FPeriodFrames);
        snd_pcm_sw_params(FPcm, sw);
        return MMSYSERR_NOERROR;
    }

    /// Tests whether the open PCM takes Format.
    bool Accepts(const WAVEFORMATEX& format, unsigned rate) const
    {
        snd_pcm_hw_params_t* hw;
        snd_pcm_hw_params_alloca(&hw);
        return snd_pcm_hw_params_any(FPcm, hw) >= 0
            && snd_pcm_hw_params_set_access(FPcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) >= 0
            && snd_pcm_hw_params_set_format(FPcm, hw, AlsaFormat(format)) >= 0
            && snd_pcm_hw_params_set_channels(FPcm, hw, format.nChannels) >= 0
            && snd_pcm_hw_params_test_rate(FPcm, hw, rate, 0) >= 0;
    }

    void Close()
    {
        if (FPcm != nullptr)
            snd_pcm_close(FPcm);
        FPcm = nullptr;
    }

    int Start() { return snd_pcm_start(FPcm); }
    int PollCount() const { return snd_pcm_poll_descriptors_count(FPcm); }
    int FillPoll(pollfd* fds, int count) const { return snd_pcm_poll_descriptors(FPcm, fds, count); }
    snd_pcm_sframes_t Avail() { return snd_pcm_avail_update(FPcm); }
    snd_pcm_sframes_t Read(void* frames, snd_pcm_uframes_t count)
    {
        return snd_pcm_readi(FPcm, frames, count);
    }

    /// Mends an overrun or a suspend; a negative result is the end, and
    /// Call then names the call that failed.
    int Recover(int error, const char*& call)
    {
        call = "snd_pcm_recover";
        const int recovered = snd_pcm_recover(FPcm, error, 1);
        if (recovered < 0)
            return recovered;
        call = "snd_pcm_start";
        return snd_pcm_start(FPcm);
    }

    /// The PCM's state; false when ALSA cannot say.
    bool Status(snd_pcm_status_t* status) { return snd_pcm_status(FPcm, status) >= 0; }

    snd_pcm_uframes_t PeriodFrames() const { return FPeriodFrames; }

private:
    snd_pcm_t* FPcm = nullptr;
    snd_pcm_uframes_t FPeriodFrames = 1;
};

// ===========================================================================
// Layer 2: the capture stream.

class TAlsaDevice;

std::mutex gAlsaLock;

/// One running capture: a PCM, its thread and its ring. Owned by shared
/// pointers: its device's, the parking lot's while parked, and its thread's
/// own, so that it lives as long as any of them needs it.
class TCaptureStream {
public:
    /// The device, its endpoint and the format the caller asked for, as the
    /// key for adopting a parked stream.
    std::string FPcmName;
    std::string FEndpoint;
    std::vector<BYTE> FFormatKey;
    WAVEFORMATEX FCapture {};

    std::mutex FLock;
    std::condition_variable FChanged; // FPcmClosed
    TFrameRing FRing; // under FLock, like the rest
    std::shared_ptr<TAlsaDevice> FDevice; // attached device; null while parked
    TClock::time_point FParkDeadline = TClock::time_point::max(); // only while parked
    bool FQuit = false;
    bool FPcmClosed = false;
    MMRESULT FError = MMSYSERR_NOERROR;
    TFailure FFailure; // where FError came from

    /// Opens the PCM, starts it and its thread. Under gAlsaLock.
    static MMRESULT Create(const std::string& pcmName, const TWaveInOpenRequest& request,
        std::shared_ptr<TCaptureStream>* created);

    ~TCaptureStream()
    {
        if (FWakeFd >= 0)
            ::close(FWakeFd);
    }

    /// Ends the thread soon. Any thread, no lock.
    void RequestQuit()
    {
        {
            std::lock_guard lock(FLock);
            FQuit = true;
        }
        Wake();
    }

    /// Waits until the thread has closed the PCM. Not under gAlsaLock.
    void WaitClosed()
    {
        std::unique_lock lock(FLock);
        FChanged.wait(lock, [&] { return FPcmClosed; });
    }

    void Wake()
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(FWakeFd, &one, sizeof(one));
    }

private:
    void Run();
    void ReadAvailable(bool& failed);
    void Fail(const TFailure& failure);
    bool ExpireIfParked(TClock::time_point now);
    uint64_t OverrunLoss(int error, const char*& call, int& recovered);
    void StallForTest();

    TAlsaPcm FPcm;
    int FWakeFd = -1;
    std::vector<BYTE> FStaging; // frames just read, before they enter the ring
    std::size_t FFrameBytes = 1;
    TTimelineGuard FGuard; // under FLock
    // The test seam (TONVARA_TEST_CAPTURE_STALL): once, after FStallAfter of
    // capture, the thread stalls for FStall and what came meanwhile is lost.
    std::chrono::milliseconds FStallAfter { -1 };
    std::chrono::milliseconds FStall { 0 };
    TClock::time_point FStartedAt;

public:
    std::atomic<bool> FBackpressured { false }; // the started device's ring is full: wake on a new header

private:
    std::shared_ptr<TCaptureStream> FSelf; // the thread's own reference
};

// Streams whose thread runs, for stopping them all at exit.
std::mutex gLiveLock;
std::condition_variable gLiveChanged;
// Never destroyed, like the streams they hold at exit.
auto& gLive = *new std::vector<TCaptureStream*>; // under gLiveLock
auto& gParked = *new std::vector<std::shared_ptr<TCaptureStream>>; // under gAlsaLock
bool gShuttingDown = false; // under gLiveLock

void StopAllStreams()
{
    std::unique_lock lock(gLiveLock);
    gShuttingDown = true;
    for (TCaptureStream* stream : gLive) {
        {
            std::lock_guard streamLock(stream->FLock);
            stream->FQuit = true;
        }
        stream->Wake();
    }
    gLiveChanged.wait_for(lock, std::chrono::seconds(2), [] { return gLive.empty(); });
}

// ===========================================================================
// Layer 3: an open device.

/// A device opened through waveInOpen. Its state is guarded by its stream's
/// FLock, which the capture thread holds while filling headers.
class TAlsaDevice {
public:
    TAlsaDevice(const TWaveInOpenRequest& request, std::shared_ptr<TCaptureStream> stream)
        : FStream(std::move(stream))
        , FEncoder(request.Encoder)
        , FOutputBlock(request.OutputBlock)
        , FFrameBytes(request.CaptureFormat.nBlockAlign)
        , FFramesPerBlock(FEncoder != nullptr ? FEncoder->InputBlock / FFrameBytes : 1)
        , FRate(request.CaptureFormat.nSamplesPerSec)
        , FNotify(request.Notify)
        , FNotifyContext(request.NotifyContext)
    {
        FStatistics.Size = sizeof(FStatistics);
    }

    // Set at the open, then only read.
    std::shared_ptr<TCaptureStream> FStream;
    TWaveInEncoder* const FEncoder;
    const DWORD FOutputBlock; // bytes per frame or block delivered
    const DWORD FFrameBytes; // bytes per captured frame
    const DWORD FFramesPerBlock; // captured frames per delivered block
    const DWORD FRate;

    // Under FStream->FLock.
    std::shared_ptr<TAlsaDevice> FSelf; // the front's reference, dropped by Destroy
    WAVEHDR* FQueueHead = nullptr;
    WAVEHDR* FQueueTail = nullptr;
    WAVEHDR* FDoneHead = nullptr;
    WAVEHDR* FDoneTail = nullptr;
    bool FStarted = false;
    bool FEverStarted = false;
    bool FClosed = false;
    MMRESULT FError = MMSYSERR_NOERROR;
    TFailure FFailure; // where FError came from
    uint64_t FSamples = 0;
    uint64_t FBytes = 0;
    TWaveInStatistics FStatistics {};

    /// Puts what the ring holds into the queued headers while started.
    void Fill()
    {
        TFrameRing& ring = FStream->FRing;
        while (FStarted && FQueueHead != nullptr) {
            WAVEHDR* header = FQueueHead;
            BYTE* target = reinterpret_cast<BYTE*>(header->lpData) + header->dwBytesRecorded;
            const DWORD room = (header->dwBufferLength - header->dwBytesRecorded) / FOutputBlock;
            TSilenceReport report;
            uint64_t frames = 0;
            DWORD bytes = 0;
            if (FEncoder != nullptr) {
                const uint64_t blocks
                    = std::min<uint64_t>({ room, ring.Available() / FFramesPerBlock, FEncoder->MaxBlocks });
                if (blocks > 0) {
                    frames = blocks * FFramesPerBlock;
                    ring.Read(FEncoder->Input, frames, report);
                    if (!FEncoder->Encode(FEncoder->Context, static_cast<DWORD>(blocks), target)) {
                        FailLocked(MakeFailure(
                            MMSYSERR_ERROR, "the format conversion", -EINVAL, __FILE__, __LINE__));
                        return;
                    }
                    bytes = static_cast<DWORD>(blocks) * FOutputBlock;
                }
            } else {
                frames = std::min<uint64_t>(room, ring.Available());
                ring.Read(target, frames, report);
                bytes = static_cast<DWORD>(frames) * FOutputBlock;
            }
            FStatistics.Overruns += report.Runs;
            FStatistics.SilenceSamples += report.Frames;
            FStatistics.LostSamples += report.Lost;
            FStatistics.Breaks += report.Breaks;
            if (report.LastCause != TWaveInLossCause::None)
                FStatistics.LastCause = report.LastCause;
            header->dwBytesRecorded += bytes;
            FSamples += frames;
            FBytes += bytes;
            if (header->dwBufferLength - header->dwBytesRecorded >= FOutputBlock) {
                if (bytes == 0)
                    break; // waiting for input
                continue;
            }
            CompleteHead();
        }
    }

    /// Moves the first queued header to the returned ones.
    void CompleteHead()
    {
        WAVEHDR* header = FQueueHead;
        FQueueHead = header->lpNext;
        if (FQueueHead == nullptr)
            FQueueTail = nullptr;
        header->lpNext = nullptr;
        // A CALLBACK_NULL caller polls WHDR_DONE from its own thread: the
        // flag is published last, after the data and dwBytesRecorded.
        const DWORD flags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        std::atomic_ref<DWORD>(header->dwFlags).store(flags, std::memory_order_release);
        if (FDoneTail != nullptr)
            FDoneTail->lpNext = header;
        else
            FDoneHead = header;
        FDoneTail = header;
    }

    /// The device cannot go on: every header goes back with what it holds.
    void FailLocked(const TFailure& failure)
    {
        FError = failure.Code;
        FFailure = failure;
        FStarted = false;
        while (FQueueHead != nullptr)
            CompleteHead();
    }

    /// Reports returned headers, in order, one at a time. With Wait it also
    /// waits for a report that another thread is making (waveInClose);
    /// otherwise that thread reports ours too. Inside a report on this very
    /// thread it reports the rest at once (a close from the callback).
    void Deliver(bool wait = false)
    {
        if (FDeliverer.load() == std::this_thread::get_id()) {
            if (wait)
                DrainDone();
            return;
        }
        for (;;) {
            std::unique_lock guard(FDeliverLock, std::defer_lock);
            if (wait) {
                guard.lock();
            } else if (!guard.try_lock()) {
                FDeliverPending = true;
                if (!guard.try_lock())
                    return; // the thread reporting now sees FDeliverPending
            }
            FDeliverPending = false;
            FDeliverer = std::this_thread::get_id();
            DrainDone();
            FDeliverer = std::thread::id();
            guard.unlock();
            if (!FDeliverPending.load())
                return;
        }
    }

private:
    void DrainDone()
    {
        for (;;) {
            WAVEHDR* header;
            {
                std::lock_guard lock(FStream->FLock);
                header = FDoneHead;
                if (header == nullptr)
                    return;
                FDoneHead = header->lpNext;
                if (FDoneHead == nullptr)
                    FDoneTail = nullptr;
                header->lpNext = nullptr;
            }
            try {
                FNotify(FNotifyContext, header);
            } catch (...) {
                std::fprintf(stderr, "wave input: a buffer callback raised an exception\n");
            }
        }
    }

    TWaveInNotify FNotify;
    void* FNotifyContext;
    std::mutex FDeliverLock;
    std::atomic<std::thread::id> FDeliverer {};
    std::atomic<bool> FDeliverPending { false };
};

// ----- the capture thread ----------------------------------------------------

MMRESULT TCaptureStream::Create(
    const std::string& pcmName, const TWaveInOpenRequest& request, std::shared_ptr<TCaptureStream>* created)
{
    auto stream = std::make_shared<TCaptureStream>();
    stream->FPcmName = pcmName;
    stream->FEndpoint = Endpoint();
    const auto* key = reinterpret_cast<const BYTE*>(request.Format);
    stream->FFormatKey.assign(key, key + request.FormatSize);
    stream->FCapture = request.CaptureFormat;
    const MMRESULT opened = stream->FPcm.Open(pcmName, request.CaptureFormat);
    if (opened != MMSYSERR_NOERROR)
        return opened;
    stream->FWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stream->FWakeFd < 0)
        return MMSYSERR_NOMEM;
    const WAVEFORMATEX& format = request.CaptureFormat;
    stream->FFrameBytes = format.nBlockAlign;
    // The ring covers a slow consumer and a parked close comfortably; the
    // staging buffer takes what one wake-up finds.
    const std::size_t ringFrames = static_cast<std::size_t>(format.nSamplesPerSec) * 8;
    const uint64_t maxRun = uint64_t { format.nSamplesPerSec } * kWaveInMaxSilenceFill / 1000;
    const BYTE silence = format.wFormatTag == WAVE_FORMAT_PCM && format.wBitsPerSample == 8 ? 0x80 : 0;
    try {
        stream->FRing.Allocate(ringFrames, format.nBlockAlign, silence, maxRun);
        stream->FStaging.resize(
            std::max<std::size_t>(format.nSamplesPerSec / 5, stream->FPcm.PeriodFrames() * 2)
            * format.nBlockAlign);
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    }
    if (const char* stall = std::getenv("TONVARA_TEST_CAPTURE_STALL")) {
        long after = 0;
        long length = 0;
        if (std::sscanf(stall, "%ld,%ld", &after, &length) == 2 && after >= 0 && length > 0) {
            stream->FStallAfter = std::chrono::milliseconds(after);
            stream->FStall = std::chrono::milliseconds(length);
        }
    }
    {
        std::lock_guard live(gLiveLock);
        if (gShuttingDown)
            return MMSYSERR_NOTENABLED;
        static const bool registered = (std::atexit(StopAllStreams), true);
        (void)registered;
        gLive.push_back(stream.get());
    }
    stream->FSelf = stream;
    try {
        std::thread([raw = stream.get()] { raw->Run(); }).detach();
    } catch (const std::system_error&) {
        stream->FSelf.reset();
        std::lock_guard live(gLiveLock);
        gLive.erase(std::find(gLive.begin(), gLive.end(), stream.get()));
        return MMSYSERR_NOMEM;
    }
    *created = std::move(stream);
    return MMSYSERR_NOERROR;
}

void TCaptureStream::Run()
{
    pthread_setname_np(pthread_self(), "wavein-capture");
    // Reading is all this thread does; give it what the process may have.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    const int pcmFds = std::max(FPcm.PollCount(), 0);
    std::vector<pollfd> fds(static_cast<std::size_t>(pcmFds) + 1);
    FPcm.FillPoll(fds.data(), pcmFds);
    fds[static_cast<std::size_t>(pcmFds)] = pollfd { FWakeFd, POLLIN, 0 };

    bool failed = false;
    const char* call = "snd_pcm_start";
    int started = FPcm.Start();
    if (started < 0)
        started = FPcm.Recover(started, call);
    if (started < 0) {
        Fail(MakeFailure(ReadErrorCode(started), call, started, __FILE__, __LINE__));
        failed = true;
    }
    FStartedAt = TClock::now();
    {
        std::lock_guard lock(FLock);
        FGuard.Start(FStartedAt, FCapture.nSamplesPerSec, FPcm.PeriodFrames());
    }
    while (!failed) {
        int timeout = 500;
        {
            std::lock_guard lock(FLock);
            if (FQuit)
                break;
            if (!FDevice) {
                const auto left
                    = std::chrono::duration_cast<std::chrono::milliseconds>(FParkDeadline - TClock::now());
                timeout = static_cast<int>(std::clamp<long long>(left.count() + 1, 0, timeout));
            }
        }
        for (pollfd& fd : fds)
            fd.revents = 0;
        if (FBackpressured) {
            // The PCM has data we have no room for: wait for a wake-up (a
            // header queued) or a period, not for the PCM.
            ::poll(&fds.back(), 1, static_cast<int>(kPeriodMicroseconds / 1000));
        } else {
            ::poll(fds.data(), fds.size(), timeout);
        }
        if ((fds.back().revents & POLLIN) != 0) {
            uint64_t count;
            [[maybe_unused]] const ssize_t got = ::read(FWakeFd, &count, sizeof(count));
        }
        if (ExpireIfParked(TClock::now()))
            break;
        StallForTest();
        ReadAvailable(failed);
    }
    FPcm.Close();
    {
        std::lock_guard lock(gAlsaLock);
        auto it = std::find(gParked.begin(), gParked.end(), FSelf);
        if (it != gParked.end())
            gParked.erase(it);
    }
    std::shared_ptr<TCaptureStream> self;
    {
        std::lock_guard lock(FLock);
        FPcmClosed = true;
        FDevice.reset();
        self = std::move(FSelf);
        FChanged.notify_all();
    }
    {
        std::lock_guard live(gLiveLock);
        gLive.erase(std::find(gLive.begin(), gLive.end(), this));
        gLiveChanged.notify_all();
    }
    // The last reference may be this one: the stream ends with its thread.
}

// Reads what the PCM has and hands it on piece by piece, so that a backlog
// (after a stall) flows through the headers instead of overflowing the ring.
// While a started device has no room left, reading stops: the data waits in
// the PCM's and the server's buffers, which hold far more than the ring.
void TCaptureStream::ReadAvailable(bool& failed)
{
    const auto stagingFrames = static_cast<snd_pcm_sframes_t>(FStaging.size() / FFrameBytes);
    bool caughtUp = false;
    FBackpressured = false;
    snd_pcm_sframes_t pending = 0;
    // Bounded, so that a flood cannot keep the thread from its other duties.
    for (int round = 0; round < 64 && !caughtUp; ++round) {
        const snd_pcm_sframes_t avail = FPcm.Avail();
        if (avail == 0) {
            caughtUp = true;
            break;
        }
        snd_pcm_sframes_t room = stagingFrames;
        {
            std::lock_guard lock(FLock);
            if (FDevice && FDevice->FStarted)
                room = std::min<snd_pcm_sframes_t>(room, static_cast<snd_pcm_sframes_t>(FRing.Free()));
        }
        if (room == 0) {
            FBackpressured = true;
            break;
        }
        const snd_pcm_sframes_t got = avail < 0 ? avail : FPcm.Read(FStaging.data(), std::min(avail, room));
        if (got == -EAGAIN) {
            caughtUp = true;
            break;
        }
        if (got < 0) {
            // An overrun (or a suspend): what the buffer held is gone, and
            // what came until the restart. ALSA says how much; where it
            // cannot, the guard below measures it against the clock.
            const char* call = nullptr;
            int recovered = 0;
            const uint64_t lost = OverrunLoss(static_cast<int>(got), call, recovered);
            if (recovered < 0) {
                char calls[64];
                std::snprintf(calls, sizeof(calls), "%s after %s", call,
                    avail < 0 ? "snd_pcm_avail_update" : "snd_pcm_readi");
                Fail(MakeFailure(ReadErrorCode(recovered), calls, recovered, __FILE__, __LINE__));
                failed = true;
                return;
            }
            if (lost > 0) {
                std::lock_guard lock(FLock);
                FRing.AddSilence(lost, TWaveInLossCause::Overrun);
                FGuard.Advance(lost);
            }
            continue;
        }
        pending = avail - got;
        caughtUp = pending < static_cast<snd_pcm_sframes_t>(FPcm.PeriodFrames());
        std::shared_ptr<TAlsaDevice> device;
        {
            std::lock_guard lock(FLock);
            FRing.Write(FStaging.data(), static_cast<std::size_t>(got));
            FGuard.Advance(static_cast<uint64_t>(got));
            device = FDevice;
            if (device)
                device->Fill();
        }
        if (device)
            device->Deliver();
    }
    std::shared_ptr<TAlsaDevice> device;
    {
        std::lock_guard lock(FLock);
        if (caughtUp) {
            const uint64_t lost = FGuard.Check(TClock::now(), static_cast<uint64_t>(pending));
            if (lost > 0) {
                FRing.AddSilence(lost, TWaveInLossCause::Clock);
                FGuard.Advance(lost);
            }
        }
        device = FDevice;
        if (device)
            device->Fill();
    }
    if (device)
        device->Deliver();
}

void TCaptureStream::Fail(const TFailure& failure)
{
    std::shared_ptr<TAlsaDevice> device;
    {
        std::lock_guard lock(FLock);
        FError = failure.Code;
        FFailure = failure;
        device = FDevice;
        if (device)
            device->FailLocked(failure);
    }
    if (device)
        device->Deliver();
}

// Recovers from Error and tells what it cost from the PCM's status: the
// frames it held when it stopped and the time until it ran again. 0 when
// ALSA cannot say (the guard's clock then decides). Recovered is the
// recovery's result, Call the call it failed in.
uint64_t TCaptureStream::OverrunLoss(int error, const char*& call, int& recovered)
{
    snd_pcm_status_t* status;
    snd_pcm_status_alloca(&status);
    uint64_t held = 0;
    snd_htimestamp_t stoppedAt {};
    bool known = false;
    if ((error == -EPIPE || error == -ESTRPIPE) && FPcm.Status(status)) {
        const snd_pcm_state_t state = snd_pcm_status_get_state(status);
        if (state == SND_PCM_STATE_XRUN || state == SND_PCM_STATE_SUSPENDED) {
            held = snd_pcm_status_get_avail(status);
            snd_pcm_status_get_trigger_htstamp(status, &stoppedAt);
            known = true;
        }
    }
    recovered = FPcm.Recover(error, call);
    if (recovered < 0 || !known || !FPcm.Status(status))
        return 0;
    snd_htimestamp_t restartedAt {};
    snd_pcm_status_get_trigger_htstamp(status, &restartedAt);
    return ::OverrunLoss(held, stoppedAt, restartedAt, FCapture.nSamplesPerSec);
}

// The test seam: the stall a descheduled process or a frozen sound server
// would cause, with the loss the server would then report to nobody.
void TCaptureStream::StallForTest()
{
    if (FStallAfter.count() < 0 || TClock::now() - FStartedAt < FStallAfter)
        return;
    FStallAfter = std::chrono::milliseconds(-1);
    std::this_thread::sleep_for(FStall);
    const auto stagingFrames = static_cast<snd_pcm_uframes_t>(FStaging.size() / FFrameBytes);
    snd_pcm_sframes_t avail;
    while ((avail = FPcm.Avail()) > 0) {
        if (FPcm.Read(FStaging.data(), std::min<snd_pcm_uframes_t>(avail, stagingFrames)) <= 0)
            break;
    }
}

// A parked stream nobody adopted in time ends.
bool TCaptureStream::ExpireIfParked(TClock::time_point now)
{
    {
        std::lock_guard lock(FLock);
        if (FDevice || now < FParkDeadline)
            return false;
    }
    std::lock_guard alsa(gAlsaLock);
    std::lock_guard lock(FLock);
    if (FDevice)
        return false; // adopted meanwhile
    auto it = std::find(gParked.begin(), gParked.end(), FSelf);
    if (it != gParked.end())
        gParked.erase(it);
    FQuit = true;
    return true;
}

// ----- device list and capabilities -------------------------------------------

auto& gDevices = *new std::vector<std::string>; // under gAlsaLock: the last enumeration
auto& gCapabilities = *new std::map<std::string, WAVEINCAPSA>; // under gAlsaLock

void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...)
{
}

// Left out: "null" records silence at any speed, and "jack" would try to
// start a JACK server just to be looked at.
bool IsCandidateType(const char* name)
{
    snd_config_t* definition = nullptr;
    if (snd_config_update() < 0 || snd_config_search_definition(snd_config, "pcm", name, &definition) < 0)
        return false;
    bool candidate = true;
    snd_config_t* typeNode = nullptr;
    const char* type = nullptr;
    if (snd_config_search(definition, "type", &typeNode) >= 0 && snd_config_get_string(typeNode, &type) >= 0)
        candidate = std::strcmp(type, "null") != 0 && std::strcmp(type, "jack") != 0;
    snd_config_delete(definition);
    return candidate;
}

bool IsSameDevice(const TCaptureStream& stream, const std::string& name, const std::string& endpoint)
{
    return stream.FPcmName == name && stream.FEndpoint == endpoint;
}

bool IsParked(const std::string& name)
{
    const std::string endpoint = Endpoint();
    return std::any_of(
        gParked.begin(), gParked.end(), [&](const auto& s) { return IsSameDevice(*s, name, endpoint); });
}

UINT AlsaGetNumDevs()
{
    std::lock_guard lock(gAlsaLock);
    static const bool quiet = (snd_lib_error_set_handler(&QuietAlsaErrors), true);
    (void)quiet;
    // Read the configuration afresh: a sound server may have started since.
    snd_config_update_free_global();
    gDevices.clear();
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0)
        return 0;
    for (void** hint = hints; *hint != nullptr; ++hint) {
        char* name = snd_device_name_get_hint(*hint, "NAME");
        char* io = snd_device_name_get_hint(*hint, "IOID");
        const bool capture = io == nullptr || std::strcmp(io, "Input") == 0;
        if (name != nullptr && capture && IsCandidateType(name)) {
            bool opens = IsParked(name);
            if (!opens) {
                TAlsaPcm pcm;
                opens = pcm.OpenRaw(name) >= 0;
            }
            if (opens && std::find(gDevices.begin(), gDevices.end(), name) == gDevices.end())
                gDevices.emplace_back(name);
        }
        std::free(name);
        std::free(io);
    }
    snd_device_name_free_hint(hints);
    return static_cast<UINT>(gDevices.size());
}

std::string PcmName(UINT device)
{
    return device == WAVE_MAPPER || device >= gDevices.size() ? kMapperPcm : gDevices[device];
}

MMRESULT AlsaGetDevCaps(UINT device, WAVEINCAPSA* caps)
{
    ForgetFailure();
    std::lock_guard lock(gAlsaLock);
    if (device != WAVE_MAPPER && device >= gDevices.size())
        return MMSYSERR_BADDEVICEID;
    const std::string name = PcmName(device);
    // A PCM in use may refuse a second open: what it took before still holds.
    auto known = gCapabilities.find(name);
    if (known != gCapabilities.end()) {
        *caps = known->second;
        return MMSYSERR_NOERROR;
    }
    TAlsaPcm pcm;
    const int error = pcm.OpenRaw(name);
    if (error < 0)
        return ALSA_FAILURE(OpenErrorCode(error), "snd_pcm_open", error);
    WAVEINCAPSA result {};
    result.wMid = MM_UNMAPPED;
    result.wPid = MM_UNMAPPED;
    result.vDriverVersion = (SND_LIB_MAJOR << 8) | SND_LIB_MINOR;
    std::snprintf(result.szPname, sizeof(result.szPname), "%s", name.c_str());
    constexpr unsigned kBandRates[] = { 11025, 22050, 44100 };
    for (unsigned band = 0; band < 3; ++band) {
        for (unsigned layout = 0; layout < 4; ++layout) {
            WAVEFORMATEX format {};
            format.wFormatTag = WAVE_FORMAT_PCM;
            format.wBitsPerSample = layout < 2 ? 8 : 16;
            format.nChannels = static_cast<WORD>(layout % 2 + 1);
            const DWORD bit = 1u << (band * 4 + layout);
            const bool at48 = pcm.Accepts(format, 48000);
            // The top band is the one 48 kHz falls in too.
            if (pcm.Accepts(format, kBandRates[band]) || (band == 2 && at48))
                result.dwFormats |= bit;
            if (band == 2 && at48)
                result.dwFormats |= bit << 4; // WAVE_FORMAT_48M08 ...
        }
    }
    WAVEFORMATEX stereo {};
    stereo.wFormatTag = WAVE_FORMAT_PCM;
    stereo.wBitsPerSample = 16;
    stereo.nChannels = 2;
    result.wChannels = pcm.Accepts(stereo, 48000) || pcm.Accepts(stereo, 44100) ? 2 : 1;
    gCapabilities[name] = result;
    *caps = result;
    return MMSYSERR_NOERROR;
}

// ----- the table entries -------------------------------------------------------

bool MatchesParked(const TCaptureStream& stream, const std::string& name, const TWaveInOpenRequest& request)
{
    return IsSameDevice(stream, name, Endpoint()) && stream.FFormatKey.size() == request.FormatSize
        && std::memcmp(stream.FFormatKey.data(), request.Format, request.FormatSize) == 0;
}

MMRESULT AlsaQuery(const TWaveInOpenRequest& request)
{
    ForgetFailure();
    std::lock_guard lock(gAlsaLock);
    const std::string name = PcmName(request.Device);
    for (const auto& parked : gParked) {
        if (MatchesParked(*parked, name, request))
            return MMSYSERR_NOERROR;
    }
    TAlsaPcm pcm;
    const int error = pcm.OpenRaw(name);
    if (error < 0)
        return ALSA_FAILURE(OpenErrorCode(error), "snd_pcm_open", error);
    return pcm.Accepts(request.CaptureFormat, request.CaptureFormat.nSamplesPerSec) ? MMSYSERR_NOERROR
                                                                                    : WAVERR_BADFORMAT;
}

TAlsaDevice* Device(TWaveInStream* stream)
{
    return reinterpret_cast<TAlsaDevice*>(stream);
}

MMRESULT AlsaOpen(const TWaveInOpenRequest& request, TWaveInStream** result)
{
    ForgetFailure();
    std::unique_lock lock(gAlsaLock);
    const std::string name = PcmName(request.Device);
    // Continue a parked capture of the same device and format.
    for (auto it = gParked.begin(); it != gParked.end(); ++it) {
        std::shared_ptr<TCaptureStream> stream = *it;
        if (!MatchesParked(*stream, name, request))
            continue;
        gParked.erase(it);
        auto device = std::make_shared<TAlsaDevice>(request, stream);
        std::lock_guard streamLock(stream->FLock);
        if (stream->FQuit || stream->FError != MMSYSERR_NOERROR)
            break;
        stream->FDevice = device;
        device->FSelf = device;
        device->FStatistics.Continued = TRUE;
        device->FStatistics.CarriedSamples = stream->FRing.Available();
        *result = reinterpret_cast<TWaveInStream*>(device.get());
        return MMSYSERR_NOERROR;
    }
    // Another format wants the device: parked captures of it go first, since
    // a device may take one user only.
    std::vector<std::shared_ptr<TCaptureStream>> released;
    const std::string endpoint = Endpoint();
    for (auto it = gParked.begin(); it != gParked.end();) {
        if (IsSameDevice(**it, name, endpoint)) {
            released.push_back(*it);
            it = gParked.erase(it);
        } else {
            ++it;
        }
    }
    if (!released.empty()) {
        lock.unlock();
        for (const auto& stream : released) {
            stream->RequestQuit();
            stream->WaitClosed();
        }
        lock.lock();
    }
    std::shared_ptr<TCaptureStream> stream;
    const MMRESULT created = TCaptureStream::Create(name, request, &stream);
    if (created != MMSYSERR_NOERROR)
        return created;
    auto device = std::make_shared<TAlsaDevice>(request, stream);
    device->FSelf = device;
    {
        std::lock_guard streamLock(stream->FLock);
        stream->FDevice = device;
    }
    *result = reinterpret_cast<TWaveInStream*>(device.get());
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaAddBuffer(TWaveInStream* handle, WAVEHDR* header)
{
    TAlsaDevice* device = Device(handle);
    bool wake = false;
    ForgetFailure();
    {
        std::lock_guard lock(device->FStream->FLock);
        if (device->FClosed)
            return MMSYSERR_INVALHANDLE;
        if (device->FError != MMSYSERR_NOERROR)
            return Remember(device->FFailure);
        header->lpNext = nullptr;
        if (device->FQueueTail != nullptr)
            device->FQueueTail->lpNext = header;
        else
            device->FQueueHead = header;
        device->FQueueTail = header;
        // The capture thread fills it: buffers come back from that thread
        // only, never from inside the caller's waveInAddBuffer.
        wake = device->FStarted && device->FStream->FRing.Available() > 0;
    }
    if (wake || device->FStream->FBackpressured)
        device->FStream->Wake();
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaStart(TWaveInStream* handle)
{
    TAlsaDevice* device = Device(handle);
    ForgetFailure();
    {
        std::lock_guard lock(device->FStream->FLock);
        if (device->FClosed)
            return MMSYSERR_INVALHANDLE;
        if (device->FError != MMSYSERR_NOERROR)
            return Remember(device->FFailure);
        if (device->FStarted)
            return MMSYSERR_NOERROR;
        // Only a continued capture keeps what came before this start: the
        // rest of the previous open's timeline. Otherwise what came before
        // (since the open, or since a pause began) is not wanted.
        if (device->FEverStarted || !device->FStatistics.Continued)
            device->FStream->FRing.Clear();
        device->FEverStarted = true;
        device->FStarted = true;
    }
    device->FStream->Wake();
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaStop(TWaveInStream* handle)
{
    TAlsaDevice* device = Device(handle);
    {
        std::lock_guard lock(device->FStream->FLock);
        if (device->FClosed)
            return MMSYSERR_INVALHANDLE;
        if (device->FStarted) {
            device->Fill();
            device->FStarted = false;
            if (device->FQueueHead != nullptr && device->FQueueHead->dwBytesRecorded > 0)
                device->CompleteHead();
        }
    }
    device->Deliver();
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaReset(TWaveInStream* handle)
{
    TAlsaDevice* device = Device(handle);
    {
        std::lock_guard lock(device->FStream->FLock);
        if (device->FClosed)
            return MMSYSERR_INVALHANDLE;
        if (device->FStarted)
            device->Fill();
        device->FStarted = false;
        while (device->FQueueHead != nullptr)
            device->CompleteHead();
        device->FSamples = 0;
        device->FBytes = 0;
    }
    device->Deliver();
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaGetPosition(TWaveInStream* handle, MMTIME* time)
{
    TAlsaDevice* device = Device(handle);
    std::lock_guard lock(device->FStream->FLock);
    if (device->FClosed)
        return MMSYSERR_INVALHANDLE;
    switch (time->wType) {
    case TIME_SAMPLES:
        time->u.sample = static_cast<DWORD>(device->FSamples);
        break;
    case TIME_MS:
        time->u.ms = static_cast<DWORD>(device->FSamples * 1000 / device->FRate);
        break;
    default:
        time->wType = TIME_BYTES;
        time->u.cb = static_cast<DWORD>(device->FBytes);
        break;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaGetStatistics(TWaveInStream* handle, TWaveInStatistics* statistics)
{
    TAlsaDevice* device = Device(handle);
    std::lock_guard lock(device->FStream->FLock);
    if (device->FClosed)
        return MMSYSERR_INVALHANDLE;
    *statistics = device->FStatistics;
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaClose(TWaveInStream* handle)
{
    TAlsaDevice* device = Device(handle);
    {
        std::lock_guard lock(device->FStream->FLock);
        if (device->FClosed)
            return MMSYSERR_INVALHANDLE;
        if (device->FQueueHead != nullptr)
            return WAVERR_STILLPLAYING;
    }
    device->Deliver(true);
    std::shared_ptr<TCaptureStream> stream = device->FStream;
    bool quit = false;
    {
        std::lock_guard alsa(gAlsaLock);
        std::lock_guard lock(stream->FLock);
        if (device->FQueueHead != nullptr)
            return WAVERR_STILLPLAYING;
        device->FClosed = true;
        device->FStarted = false;
        stream->FDevice.reset();
        // A healthy capture is parked for a gapless reopen; the rest of its
        // timeline stays in its ring meanwhile.
        if (stream->FError == MMSYSERR_NOERROR && !stream->FQuit && !stream->FPcmClosed) {
            stream->FParkDeadline = TClock::now() + std::chrono::milliseconds(kWaveInParkMilliseconds);
            gParked.push_back(stream);
        } else {
            quit = true;
        }
    }
    if (quit)
        stream->RequestQuit();
    else
        stream->Wake();
    return MMSYSERR_NOERROR;
}

void AlsaDestroy(TWaveInStream* handle)
{
    TAlsaDevice* device = Device(handle);
    std::shared_ptr<TAlsaDevice> self;
    {
        std::lock_guard lock(device->FStream->FLock);
        if (!device->FClosed) {
            // Destroyed without a close (the front's open failed after ours).
            device->FClosed = true;
            device->FStream->FDevice.reset();
            device->FStream->FQuit = true;
        }
        self = std::move(device->FSelf);
    }
    device->FStream->Wake();
}

const TWaveInBackend kAlsaBackend = {
    &AlsaGetNumDevs,
    &AlsaGetDevCaps,
    &AlsaQuery,
    &AlsaOpen,
    &AlsaAddBuffer,
    &AlsaStart,
    &AlsaStop,
    &AlsaReset,
    &AlsaGetPosition,
    &AlsaGetStatistics,
    &AlsaClose,
    &AlsaDestroy,
    &AlsaErrorContext,
};

} // namespace

const TWaveInBackend& WaveInAlsaBackend()
{
    return kAlsaBackend;
}
