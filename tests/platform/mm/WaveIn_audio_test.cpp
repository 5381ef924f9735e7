// Wave input against a real PulseAudio server: the one scripts/test starts
// (a null sink whose monitor is the default source), fed with sox and pacat.
// Some cases start a private server of their own, to take it away.
#include "platform/mm/MSAcm.h"
#include "platform/mm/WaveIn.h"
#include "support/CounterSignal.h"
#include "support/PeerProcess.h"
#include "support/Peers.h"
#include "support/SoundServer.h"
#include "support/TestSupport.h"
#include "support/WaveFormats.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

constexpr double kPi = 3.14159265358979323846;

// The mapper loads the compression manager module from the build tree.
const bool kModuleFound = [] {
    setenv(kAcmModuleVariable, tonvara::test::AcmModulePath().toLocal8Bit().constData(), 0);
    return true;
}();

using tonvara::test::GsmFormat;
using tonvara::test::PcmFormat;

TWaveInStatistics EmptyStatistics()
{
    TWaveInStatistics statistics {};
    statistics.Size = sizeof(statistics);
    return statistics;
}

std::string ErrorText(MMRESULT code)
{
    char text[MAXERRORLENGTH];
    waveInGetErrorTextA(code, text, sizeof(text));
    return std::to_string(code) + " " + text;
}

/// A returned buffer as the callback saw it.
struct TReturned {
    DWORD_PTR Index;
    DWORD Flags;
    DWORD Bytes;
    std::vector<BYTE> Data;
};

/// An open device with its own headers, collecting what comes back and,
/// while Requeue is on, queueing each buffer again from the callback (as the
/// recorder's worker does).
class TCapture {
public:
    TCapture(DWORD bufferBytes, int buffers)
        : FBufferBytes(bufferBytes)
    {
        for (int i = 0; i < buffers; ++i) {
            FMemory.emplace_back(bufferBytes);
            auto header = std::make_unique<WAVEHDR>();
            header->lpData = reinterpret_cast<LPSTR>(FMemory.back().data());
            header->dwBufferLength = bufferBytes;
            header->dwUser = static_cast<DWORD_PTR>(i);
            FHeaders.push_back(std::move(header));
        }
    }

    ~TCapture()
    {
        if (FHandle != nullptr) {
            FRequeue = false;
            waveInReset(FHandle);
            Unprepare();
            waveInClose(FHandle);
        }
    }

    MMRESULT Open(UINT device, const WAVEFORMATEX* format)
    {
        FOpened = false;
        FClosed = false;
        return waveInOpen(&FHandle, device, format, reinterpret_cast<DWORD_PTR>(&Callback),
            reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
    }

    void PrepareAndQueue()
    {
        for (auto& header : FHeaders) {
            ASSERT_EQ(waveInPrepareHeader(FHandle, header.get(), sizeof(WAVEHDR)), MMSYSERR_NOERROR);
            ASSERT_EQ(waveInAddBuffer(FHandle, header.get(), sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        }
    }

    void Unprepare()
    {
        for (auto& header : FHeaders)
            EXPECT_EQ(waveInUnprepareHeader(FHandle, header.get(), sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }

    /// Stop, reset, unprepare and close, as the component's Close does.
    void Close()
    {
        FRequeue = false;
        EXPECT_EQ(waveInStop(FHandle), MMSYSERR_NOERROR);
        EXPECT_EQ(waveInReset(FHandle), MMSYSERR_NOERROR);
        Unprepare();
        EXPECT_EQ(waveInClose(FHandle), MMSYSERR_NOERROR);
        EXPECT_TRUE(FClosed);
        FHandle = nullptr;
    }

    bool WaitForReturned(std::size_t count, std::chrono::milliseconds limit = 20s)
    {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, limit, [&] { return FReturned.size() >= count; });
    }

    std::vector<TReturned> Returned()
    {
        std::lock_guard lock(FLock);
        return FReturned;
    }

    /// All data returned so far, in order.
    std::vector<BYTE> Data()
    {
        std::lock_guard lock(FLock);
        std::vector<BYTE> all;
        for (const auto& r : FReturned)
            all.insert(all.end(), r.Data.begin(), r.Data.end());
        return all;
    }

    void ClearReturned()
    {
        std::lock_guard lock(FLock);
        FReturned.clear();
    }

    HWAVEIN FHandle = nullptr;
    std::atomic<bool> FRequeue { true };
    std::atomic<bool> FOpened { false };
    std::atomic<bool> FClosed { false };
    std::atomic<int> FAfterClose { 0 };
    std::atomic<MMRESULT> FRequeueResult { MMSYSERR_NOERROR };
    std::function<void(WAVEHDR*)> FOnData; // runs in the callback, before the requeue
    std::vector<std::unique_ptr<WAVEHDR>> FHeaders;

private:
    static void Callback(HWAVEIN handle, UINT message, DWORD_PTR instance, DWORD_PTR dw1, DWORD_PTR)
    {
        auto* self = reinterpret_cast<TCapture*>(instance);
        if (message == MM_WIM_OPEN) {
            self->FOpened = true;
            return;
        }
        if (message == MM_WIM_CLOSE) {
            self->FClosed = true;
            return;
        }
        if (self->FClosed)
            ++self->FAfterClose;
        auto* header = reinterpret_cast<WAVEHDR*>(dw1);
        {
            std::lock_guard lock(self->FLock);
            const auto* data = reinterpret_cast<const BYTE*>(header->lpData);
            self->FReturned.push_back(TReturned { header->dwUser, header->dwFlags, header->dwBytesRecorded,
                std::vector<BYTE>(data, data + header->dwBytesRecorded) });
        }
        if (self->FOnData)
            self->FOnData(header);
        if (self->FRequeue) {
            const MMRESULT result = waveInAddBuffer(handle, header, sizeof(WAVEHDR));
            if (result != MMSYSERR_NOERROR)
                self->FRequeueResult = result;
        }
        std::lock_guard lock(self->FLock);
        self->FChanged.notify_all();
    }

    DWORD FBufferBytes;
    std::vector<std::vector<BYTE>> FMemory;
    std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<TReturned> FReturned;
};

using tonvara::test::AnalyseCounter;
using tonvara::test::kCounterStart;
using tonvara::test::TCounterPlayer;
using tonvara::test::TCounterRun;
using tonvara::test::TTone;

// The recording holds the counter from (nearly) its first frame to its
// last. A stream that starts while the sink renders ahead loses its first
// few milliseconds at the sink's monitor (the server rewinds the sink, not
// what the monitor already passed on), so the very beginning may be short.
void ExpectWholeSignal(const TCounterRun& run, double seconds)
{
    const auto total = static_cast<std::size_t>(seconds * 48000);
    ASSERT_GT(run.Length, 0u) << "the counter signal did not reach the recording";
    const std::size_t missingStart = run.FirstValue - kCounterStart;
    EXPECT_LT(missingStart, 4800u) << "more than the sink's render-ahead is missing at the start";
    EXPECT_EQ(missingStart + run.Length, total) << "the signal does not reach its end";
    testing::Test::RecordProperty("player_silence_inside", static_cast<int>(run.SilenceInside));
}

// The strongest frequency (10 Hz steps up to Nyquist - 100 Hz) of mono samples.
double DominantFrequency(const std::vector<double>& samples, double rate)
{
    double best = 0;
    double bestPower = -1;
    for (double f = 100; f < rate / 2 - 100; f += 10) {
        double re = 0;
        double im = 0;
        for (std::size_t i = 0; i < samples.size(); ++i) {
            re += samples[i] * std::cos(2 * kPi * f * static_cast<double>(i) / rate);
            im += samples[i] * std::sin(2 * kPi * f * static_cast<double>(i) / rate);
        }
        if (re * re + im * im > bestPower) {
            bestPower = re * re + im * im;
            best = f;
        }
    }
    return best;
}

using tonvara::test::LoudestStretch;

class WaveInAudio : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr)
            << "the audio tests need the server scripts/test starts";
        ASSERT_GT(waveInGetNumDevs(), 0u);
    }
};

TEST_F(WaveInAudio, DevicesAreTheCapturingPcmsWithTheirFormats)
{
    const UINT count = waveInGetNumDevs();
    std::vector<std::string> names;
    for (UINT i = 0; i < count; ++i) {
        WAVEINCAPSA caps {};
        ASSERT_EQ(waveInGetDevCapsA(i, &caps, sizeof(caps)), MMSYSERR_NOERROR);
        names.emplace_back(caps.szPname);
    }
    EXPECT_NE(std::find(names.begin(), names.end(), "default"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "pulse"), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), "null"), names.end());
    WAVEINCAPSA mapper {};
    ASSERT_EQ(waveInGetDevCapsA(WAVE_MAPPER, &mapper, sizeof(mapper)), MMSYSERR_NOERROR);
    EXPECT_STREQ(mapper.szPname, "default");
    EXPECT_EQ(mapper.wChannels, 2);
    EXPECT_NE(mapper.dwFormats & WAVE_FORMAT_4S16, 0u) << "48 kHz stereo 16-bit falls in the top band";
    EXPECT_NE(mapper.dwFormats & WAVE_FORMAT_48S16, 0u);
    EXPECT_NE(mapper.dwFormats & WAVE_FORMAT_1M08, 0u);
    EXPECT_EQ(waveInGetDevCapsA(count, &mapper, sizeof(mapper)), MMSYSERR_BADDEVICEID);
}

TEST_F(WaveInAudio, RecordsAToneInStereoPcmBufferByBufferInOrder)
{
    const WAVEFORMATEX format = PcmFormat(48000, 16, 2);
    TCapture capture(4096, 8);
    const auto opening = TClock::now();
    ASSERT_EQ(capture.Open(WAVE_MAPPER, &format), MMSYSERR_NOERROR);
    const auto openTime = TClock::now() - opening;
    EXPECT_TRUE(capture.FOpened) << "MM_WIM_OPEN comes inside waveInOpen";
    RecordProperty(
        "open_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(openTime).count()));
    UINT id = 0;
    ASSERT_EQ(waveInGetID(capture.FHandle, &id), MMSYSERR_NOERROR);
    EXPECT_EQ(id, WAVE_MAPPER);
    capture.PrepareAndQueue();
    for (auto& header : capture.FHeaders)
        EXPECT_EQ(header->dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
    ASSERT_EQ(waveInStart(capture.FHandle), MMSYSERR_NOERROR);
    TTone tone(1.5, 1000);
    ASSERT_TRUE(tone.Started() && tone.WaitFinished(11500));
    ASSERT_TRUE(capture.WaitForReturned(150));
    capture.Close();
    const std::vector<TReturned> returned = capture.Returned();
    ASSERT_GE(returned.size(), 150u);
    std::size_t fullOnes = 0;
    for (std::size_t i = 0; i < returned.size(); ++i) {
        EXPECT_EQ(returned[i].Index, i % 8) << "buffers come back in the order they were queued";
        EXPECT_NE(returned[i].Flags & WHDR_DONE, 0u);
        EXPECT_EQ(returned[i].Flags & WHDR_INQUEUE, 0u);
        EXPECT_NE(returned[i].Flags & WHDR_PREPARED, 0u);
        EXPECT_EQ(returned[i].Bytes % 4, 0u);
        fullOnes += returned[i].Bytes == 4096 ? 1 : 0;
    }
    EXPECT_GE(fullOnes, returned.size() - 9) << "only the stopped and the reset buffers may be partial";

    std::vector<BYTE> data = capture.Data();
    std::vector<double> left;
    for (std::size_t i = 0; i + 4 <= data.size(); i += 4) {
        int16_t lr[2];
        std::memcpy(lr, &data[i], 4);
        left.push_back(lr[0]);
    }
    const std::vector<double> loud = LoudestStretch(left, 4800, 480);
    double peak = 0;
    for (double v : loud)
        peak = std::max(peak, std::abs(v));
    EXPECT_GT(peak, 8000.0) << "the tone did not reach the recording";
    EXPECT_EQ(DominantFrequency(loud, 48000), 1000.0);
}

TEST_F(WaveInAudio, PositionCountsSamplesAndBytesSinceStart)
{
    const WAVEFORMATEX format = PcmFormat(48000, 16, 2);
    TCapture capture(4096, 8);
    ASSERT_EQ(capture.Open(WAVE_MAPPER, &format), MMSYSERR_NOERROR);
    capture.PrepareAndQueue();
    MMTIME time { TIME_SAMPLES, {} };
    ASSERT_EQ(waveInGetPosition(capture.FHandle, &time, sizeof(time)), MMSYSERR_NOERROR);
    EXPECT_EQ(time.u.sample, 0u);
    ASSERT_EQ(waveInStart(capture.FHandle), MMSYSERR_NOERROR);
    ASSERT_TRUE(capture.WaitForReturned(40));
    ASSERT_EQ(waveInStop(capture.FHandle), MMSYSERR_NOERROR);
    std::size_t delivered = 0;
    for (const auto& r : capture.Returned())
        delivered += r.Bytes;
    time.wType = TIME_BYTES;
    ASSERT_EQ(waveInGetPosition(capture.FHandle, &time, sizeof(time)), MMSYSERR_NOERROR);
    EXPECT_EQ(time.wType, TIME_BYTES);
    EXPECT_EQ(time.u.cb, delivered);
    time.wType = TIME_SAMPLES;
    ASSERT_EQ(waveInGetPosition(capture.FHandle, &time, sizeof(time)), MMSYSERR_NOERROR);
    EXPECT_EQ(time.u.sample, delivered / 4);
    time.wType = TIME_MS;
    ASSERT_EQ(waveInGetPosition(capture.FHandle, &time, sizeof(time)), MMSYSERR_NOERROR);
    EXPECT_EQ(time.u.ms, delivered / 4 * 1000 / 48000);
    time.wType = TIME_SMPTE;
    ASSERT_EQ(waveInGetPosition(capture.FHandle, &time, sizeof(time)), MMSYSERR_NOERROR);
    EXPECT_EQ(time.wType, TIME_BYTES) << "an unknown unit is answered in bytes";
    EXPECT_EQ(waveInGetPosition(capture.FHandle, &time, sizeof(time) - 1), MMSYSERR_INVALPARAM);
    ASSERT_EQ(waveInReset(capture.FHandle), MMSYSERR_NOERROR);
    time.wType = TIME_SAMPLES;
    ASSERT_EQ(waveInGetPosition(capture.FHandle, &time, sizeof(time)), MMSYSERR_NOERROR);
    EXPECT_EQ(time.u.sample, 0u) << "a reset starts the position again";
}

// GSM 6.10 decoded by the compression manager module (itself checked
// against libgsm in tests/platform/acm).
std::vector<int16_t> DecodeGsm(const std::vector<BYTE>& blocks)
{
    void* module = AcmLoadModule();
    EXPECT_NE(module, nullptr);
    auto open = reinterpret_cast<TAcmStreamOpen>(dlsym(module, "acmStreamOpen"));
    auto prepare = reinterpret_cast<TAcmStreamPrepareHeader>(dlsym(module, "acmStreamPrepareHeader"));
    auto convert = reinterpret_cast<TAcmStreamConvert>(dlsym(module, "acmStreamConvert"));
    auto unprepare = reinterpret_cast<TAcmStreamUnprepareHeader>(dlsym(module, "acmStreamUnprepareHeader"));
    auto close = reinterpret_cast<TAcmStreamClose>(dlsym(module, "acmStreamClose"));
    GSM610WAVEFORMAT gsm = GsmFormat();
    WAVEFORMATEX pcm = PcmFormat(8000, 16, 1);
    HACMSTREAM stream = nullptr;
    EXPECT_EQ(open(&stream, nullptr, &gsm.wfx, &pcm, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    std::vector<BYTE> source(blocks);
    std::vector<int16_t> decoded(blocks.size() / 65 * 320);
    ACMSTREAMHEADER header {};
    header.cbStruct = sizeof(header);
    header.pbSrc = source.data();
    header.cbSrcLength = static_cast<DWORD>(source.size());
    header.pbDst = reinterpret_cast<LPBYTE>(decoded.data());
    header.cbDstLength = static_cast<DWORD>(decoded.size() * 2);
    EXPECT_EQ(prepare(stream, &header, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(convert(stream, &header, ACM_STREAMCONVERTF_BLOCKALIGN), MMSYSERR_NOERROR);
    EXPECT_EQ(header.cbDstLengthUsed, decoded.size() * 2);
    unprepare(stream, &header, 0);
    close(stream, 0);
    dlclose(module);
    return decoded;
}

TEST_F(WaveInAudio, TheMapperRecordsGsmInWholeBlocks)
{
    GSM610WAVEFORMAT gsm = GsmFormat();
    ASSERT_EQ(waveInOpen(nullptr, WAVE_MAPPER, &gsm.wfx, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    // The recorder's buffers: 4096 bytes asked, 4095 (63 blocks) used.
    TCapture capture(4095, 4);
    ASSERT_EQ(capture.Open(WAVE_MAPPER, &gsm.wfx), MMSYSERR_NOERROR);
    capture.PrepareAndQueue();
    ASSERT_EQ(waveInStart(capture.FHandle), MMSYSERR_NOERROR);
    tonvara::test::TPeerProcess sox;
    ASSERT_TRUE(sox.Start(
        "sox", { "-n", "-q", "-t", "pulseaudio", "default", "synth", "6", "sine", "1000", "vol", "0.5" }));
    ASSERT_TRUE(capture.WaitForReturned(2)) << "each buffer holds 2.52 s";
    MMTIME samples { TIME_SAMPLES, {} };
    MMTIME bytes { TIME_BYTES, {} };
    ASSERT_EQ(waveInGetPosition(capture.FHandle, &samples, sizeof(samples)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInGetPosition(capture.FHandle, &bytes, sizeof(bytes)), MMSYSERR_NOERROR);
    EXPECT_EQ(bytes.u.cb % 65, 0u);
    EXPECT_EQ(samples.u.sample, bytes.u.cb / 65 * 320);
    ASSERT_EQ(waveInStop(capture.FHandle), MMSYSERR_NOERROR);
    sox.WaitFinished(10000);
    capture.Close();
    const std::vector<TReturned> returned = capture.Returned();
    ASSERT_GE(returned.size(), 2u);
    EXPECT_EQ(returned[0].Bytes, 4095u);
    EXPECT_EQ(returned[1].Bytes, 4095u);
    for (const auto& r : returned)
        EXPECT_EQ(r.Bytes % 65, 0u) << "a GSM buffer holds whole blocks only";

    const std::vector<int16_t> pcm = DecodeGsm(capture.Data());
    std::vector<double> samplesOut(pcm.begin(), pcm.end());
    const std::vector<double> loud = LoudestStretch(samplesOut, 4000, 80);
    double peak = 0;
    for (double v : loud)
        peak = std::max(peak, std::abs(v));
    EXPECT_GT(peak, 5000.0) << "the tone did not reach the recording";
    EXPECT_EQ(DominantFrequency(loud, 8000), 1000.0);
}

TEST_F(WaveInAudio, GsmRestartsKeepTheTimeline)
{
    // Ten close/reopen cycles in GSM 6.10: what the reopened devices deliver
    // adds up to the time that passed, so no restart lost a piece (a fresh
    // open each time would lose 10 to 30 ms per restart) and none repeated
    // one.
    //
    // The audio and the clock cannot agree exactly; the bounds are what the
    // device's buffering allows, and both stay well inside the 0.2 s that a
    // lost or a doubled buffer moves the sum:
    // - Ahead of the clock by at most kLead. The first open may continue a
    //   capture parked by an earlier test of this process: its ring holds
    //   audio from before our clock started, reported as CarriedSamples and
    //   taken off. Beyond that, the sink's monitor hands out audio as the null
    //   sink renders it, up to two of its blocks ahead of the clock (its
    //   latency is 10 ms on the test server, set by the loopback): 20 ms,
    //   with as much again for a sink that chose a longer block.
    // - Behind the clock by at most kInFlight, measured from the first open's
    //   return to the last stop (so that a slow open or close cannot count):
    //   at the stop, the partial 40 ms GSM block, the 20 ms period the
    //   capture thread has not read yet and the server's 20 ms fragment on
    //   its way to it are not delivered; 80 ms, and 20 ms for the capture
    //   thread's start after the open.
    constexpr double kLead = 0.04;
    constexpr double kInFlight = 0.1;
    GSM610WAVEFORMAT gsm = GsmFormat();
    std::size_t bytes = 0;
    int continued = 0;
    uint64_t carried = 0;
    const auto beforeOpen = TClock::now();
    TClock::time_point afterOpen;
    TClock::time_point beforeStop;
    for (int cycle = 0; cycle < 10; ++cycle) {
        TCapture capture(325, 4); // 5 blocks, 0.2 s
        ASSERT_EQ(capture.Open(WAVE_MAPPER, &gsm.wfx), MMSYSERR_NOERROR);
        if (cycle == 0)
            afterOpen = TClock::now();
        capture.PrepareAndQueue();
        ASSERT_EQ(waveInStart(capture.FHandle), MMSYSERR_NOERROR);
        ASSERT_TRUE(capture.WaitForReturned(2));
        TWaveInStatistics statistics = EmptyStatistics();
        ASSERT_EQ(WaveInGetStatistics(capture.FHandle, &statistics), MMSYSERR_NOERROR);
        continued += statistics.Continued ? 1 : 0;
        if (cycle == 0)
            carried = statistics.CarriedSamples;
        beforeStop = TClock::now();
        capture.Close();
        for (const auto& r : capture.Returned()) {
            EXPECT_EQ(r.Bytes % 65, 0u);
            bytes += r.Bytes;
        }
    }
    const auto afterClose = TClock::now();
    auto seconds = [](TClock::duration d) { return std::chrono::duration<double>(d).count(); };
    const double recorded = (static_cast<double>(bytes) / 65 * 320 - static_cast<double>(carried)) / 8000;
    RecordProperty("recorded_ms", static_cast<int>(recorded * 1000));
    RecordProperty("elapsed_ms", static_cast<int>(seconds(afterClose - beforeOpen) * 1000));
    RecordProperty("carried_samples", static_cast<int>(carried));
    EXPECT_GE(continued, 9);
    EXPECT_LE(recorded, seconds(afterClose - beforeOpen) + kLead)
        << "more audio than time: a piece came twice";
    EXPECT_GE(recorded, seconds(beforeStop - afterOpen) - kInFlight)
        << "less audio than time: a piece was lost";
}

TEST_F(WaveInAudio, TheMappersLevelWatchFollowsTheCapturedInputAheadOfItsBuffers)
{
    // A GSM device's buffers carry 2.52 s each; its level watch tells what
    // the capture holds up to its newest 40 ms block. Against the clock the
    // count keeps the bounds derived for GsmRestartsKeepTheTimeline: ahead
    // by at most kLead beyond what a parked capture carried in, behind by at
    // most kInFlight.
    constexpr double kLead = 0.04;
    constexpr double kInFlight = 0.1;
    constexpr DWORD kThreshold = 104; // -50 dBFS
    auto seconds = [](TClock::duration d) { return std::chrono::duration<double>(d).count(); };
    auto play = [](double dbfs) {
        tonvara::test::TPeerProcess sox;
        return sox.Start("sox",
                   { "-n", "-q", "-t", "pulseaudio", "default", "synth", "1", "sine", "997", "vol",
                       QString::number(std::pow(10.0, dbfs / 20)) })
            && sox.WaitFinished(10000);
    };
    auto watch = [](HWAVEIN handle) {
        TWaveInStatistics statistics = EmptyStatistics();
        EXPECT_EQ(WaveInGetStatistics(handle, &statistics), MMSYSERR_NOERROR);
        return statistics;
    };

    {
        TCapture pcm(4096, 2);
        WAVEFORMATEX stereo = PcmFormat(48000, 16, 2);
        ASSERT_EQ(pcm.Open(WAVE_MAPPER, &stereo), MMSYSERR_NOERROR);
        EXPECT_EQ(WaveInSetLevelWatch(pcm.FHandle, kThreshold), MMSYSERR_NOTSUPPORTED);
    }

    GSM610WAVEFORMAT gsm = GsmFormat();
    TCapture capture(4095, 4);
    const auto beforeOpen = TClock::now();
    ASSERT_EQ(capture.Open(WAVE_MAPPER, &gsm.wfx), MMSYSERR_NOERROR);
    const auto afterOpen = TClock::now();
    ASSERT_EQ(WaveInSetLevelWatch(capture.FHandle, kThreshold), MMSYSERR_NOERROR);
    capture.PrepareAndQueue();
    ASSERT_EQ(waveInStart(capture.FHandle), MMSYSERR_NOERROR);

    // Digital silence, then a tone 10 dB below the level: still silence.
    ASSERT_TRUE(play(-60));
    const auto beforeRead = TClock::now();
    const TWaveInStatistics quiet = watch(capture.FHandle);
    const auto afterRead = TClock::now();
    EXPECT_EQ(quiet.LoudUntil, 0u);
    EXPECT_LE(quiet.WatchedFrames, quiet.CarriedSamples + (seconds(afterRead - beforeOpen) + kLead) * 8000);
    EXPECT_GE(quiet.WatchedFrames, (seconds(beforeRead - afterOpen) - kInFlight) * 8000);

    // A tone at -20 dBFS, then half a second of silence after it.
    ASSERT_TRUE(play(-20));
    ASSERT_TRUE(tonvara::test::PollUntil(
        [&] {
            const TWaveInStatistics now = watch(capture.FHandle);
            return now.LoudUntil > 0 && now.WatchedFrames - now.LoudUntil >= 4000;
        },
        5000));
    ASSERT_EQ(waveInStop(capture.FHandle), MMSYSERR_NOERROR);
    const TWaveInStatistics end = watch(capture.FHandle);
    TWaveInStatistics base {};
    base.Size = kWaveInStatisticsBaseSize;
    base.WatchedFrames = 7;
    ASSERT_EQ(WaveInGetStatistics(capture.FHandle, &base), MMSYSERR_NOERROR);
    EXPECT_EQ(base.WatchedFrames, 7u) << "a caller without the watch's fields gets only its own";
    capture.Close();

    // The watch counted what the buffers carry, and its last loud frame is
    // where the recording's tone ends. The tone stops at once, so its PCM
    // falls below -30 and -50 dBFS at the same frame; the coder moves where
    // the decoded tone falls below -30 dBFS by a few samples mostly, but its
    // long-term prediction can carry the tone on into the next 160-sample
    // frame (233 samples seen once in a dozen runs): within one 320-sample block,
    // the unit this format codes. Above -50 dBFS it leaves a tail of a few
    // hundred.
    const std::vector<int16_t> decoded = DecodeGsm(capture.Data());
    EXPECT_EQ(end.WatchedFrames, decoded.size());
    constexpr int kToneEndLevel = 1037; // -30 dBFS
    std::size_t toneUntil = 0;
    for (std::size_t i = 0; i < decoded.size(); ++i)
        if (std::abs(int { decoded[i] }) >= kToneEndLevel)
            toneUntil = i + 1;
    ASSERT_GT(toneUntil, 0u) << "the tone did not reach the recording";
    EXPECT_NEAR(static_cast<double>(end.LoudUntil), static_cast<double>(toneUntil), 320);
}

TEST_F(WaveInAudio, ACallbackMayCloseItsOwnDevice)
{
    const WAVEFORMATEX format = PcmFormat(48000, 16, 2);
    TCapture capture(4096, 4);
    std::atomic<MMRESULT> closed { 0xFFFF };
    std::atomic<bool> inside { false };
    capture.FOnData = [&](WAVEHDR*) {
        if (capture.Returned().size() != 3 || inside.exchange(true))
            return;
        capture.FRequeue = false;
        HWAVEIN handle = capture.FHandle;
        waveInReset(handle);
        for (auto& header : capture.FHeaders)
            waveInUnprepareHeader(handle, header.get(), sizeof(WAVEHDR));
        closed = waveInClose(handle);
    };
    ASSERT_EQ(capture.Open(WAVE_MAPPER, &format), MMSYSERR_NOERROR);
    capture.PrepareAndQueue();
    ASSERT_EQ(waveInStart(capture.FHandle), MMSYSERR_NOERROR);
    const auto deadline = TClock::now() + 10s;
    while (!capture.FClosed && TClock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(capture.FClosed);
    EXPECT_EQ(closed.load(), MMSYSERR_NOERROR);
    EXPECT_EQ(capture.FAfterClose.load(), 0) << "MM_WIM_CLOSE was not the last notification";
    EXPECT_EQ(capture.Returned().size(), 6u) << "three full buffers, then the rest returned by the reset";
    EXPECT_EQ(waveInStart(capture.FHandle), MMSYSERR_INVALHANDLE);
    capture.FHandle = nullptr;
}

TEST_F(WaveInAudio, StopReturnsThePartialBufferAndResetTheRest)
{
    const WAVEFORMATEX format = PcmFormat(48000, 16, 2);
    // Four seconds per buffer: the first is partly filled when we stop a
    // quarter of a second in, even if this thread is kept waiting for seconds
    // between the position and the stop.
    TCapture capture(4 * 192000, 3);
    capture.FRequeue = false;
    ASSERT_EQ(capture.Open(WAVE_MAPPER, &format), MMSYSERR_NOERROR);
    capture.PrepareAndQueue();
    ASSERT_EQ(waveInStart(capture.FHandle), MMSYSERR_NOERROR);
    MMTIME time { TIME_SAMPLES, {} };
    const auto deadline = TClock::now() + 10s;
    do {
        std::this_thread::sleep_for(20ms);
        ASSERT_EQ(waveInGetPosition(capture.FHandle, &time, sizeof(time)), MMSYSERR_NOERROR);
    } while (time.u.sample < 12000 && TClock::now() < deadline);
    ASSERT_GE(time.u.sample, 12000u);
    ASSERT_EQ(waveInStop(capture.FHandle), MMSYSERR_NOERROR);
    ASSERT_TRUE(capture.WaitForReturned(1));
    std::vector<TReturned> returned = capture.Returned();
    ASSERT_EQ(returned.size(), 1u) << "waveInStop returns the partial buffer only";
    EXPECT_EQ(returned[0].Index, 0u);
    EXPECT_GT(returned[0].Bytes, 0u);
    EXPECT_LT(returned[0].Bytes, 4 * 192000u);
    EXPECT_EQ(returned[0].Bytes % 4, 0u);
    EXPECT_EQ(returned[0].Flags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
    EXPECT_EQ(capture.FHeaders[1]->dwFlags & (WHDR_DONE | WHDR_INQUEUE), WHDR_INQUEUE);
    ASSERT_EQ(waveInGetPosition(capture.FHandle, &time, sizeof(time)), MMSYSERR_NOERROR);
    EXPECT_EQ(time.u.sample, returned[0].Bytes / 4) << "the position stops with the device";
    EXPECT_EQ(waveInStop(capture.FHandle), MMSYSERR_NOERROR) << "stopping twice does nothing";
    EXPECT_EQ(waveInClose(capture.FHandle), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveInUnprepareHeader(capture.FHandle, capture.FHeaders[1].get(), sizeof(WAVEHDR)),
        WAVERR_STILLPLAYING);

    ASSERT_EQ(waveInReset(capture.FHandle), MMSYSERR_NOERROR);
    ASSERT_TRUE(capture.WaitForReturned(3));
    returned = capture.Returned();
    ASSERT_EQ(returned.size(), 3u);
    EXPECT_EQ(returned[1].Index, 1u);
    EXPECT_EQ(returned[2].Index, 2u);
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(returned[i].Bytes, 0u);
        EXPECT_EQ(returned[i].Flags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
    }
    capture.Unprepare();
    ASSERT_EQ(waveInClose(capture.FHandle), MMSYSERR_NOERROR);
    EXPECT_TRUE(capture.FClosed);
    EXPECT_EQ(waveInStart(capture.FHandle), MMSYSERR_INVALHANDLE) << "a closed handle is gone";
    capture.FHandle = nullptr;
}

TEST_F(WaveInAudio, BuffersAreQueuedInOrderAndAPauseDropsWhatCameMeanwhile)
{
    TCounterPlayer player(8);
    const WAVEFORMATEX format = PcmFormat(48000, 16, 2);
    TCapture capture(9600, 8);
    ASSERT_EQ(capture.Open(WAVE_MAPPER, &format), MMSYSERR_NOERROR);
    capture.PrepareAndQueue();
    player.Start();
    ASSERT_EQ(waveInStart(capture.FHandle), MMSYSERR_NOERROR);
    ASSERT_TRUE(capture.WaitForReturned(60));
    const auto stopping = TClock::now();
    ASSERT_EQ(waveInStop(capture.FHandle), MMSYSERR_NOERROR);
    const auto stopped = TClock::now();
    const std::size_t before = capture.Returned().size();
    const std::vector<BYTE> paused = capture.Data();
    const TCounterRun first = AnalyseCounter(paused);
    std::this_thread::sleep_for(500ms);
    const auto starting = TClock::now();
    ASSERT_EQ(waveInStart(capture.FHandle), MMSYSERR_NOERROR);
    const auto started = TClock::now();
    ASSERT_TRUE(capture.WaitForReturned(before + 40));
    capture.Close();
    const std::vector<BYTE> all = capture.Data();
    const TCounterRun second = AnalyseCounter(
        std::vector<BYTE>(all.begin() + static_cast<std::ptrdiff_t>(paused.size()), all.end()));
    ASSERT_GT(first.Length, 0u) << "the counter signal did not reach the recording";
    ASSERT_GT(second.Length, 0u);
    EXPECT_EQ(first.Breaks, 0u) << first.FirstBreak;
    EXPECT_EQ(second.Breaks, 0u) << second.FirstBreak;
    // The counter skipped what played during the pause, as the clock
    // measured it (a sleep may last longer than asked). What was on its way
    // to the capture at the stop is dropped with the pause and what is on
    // its way at the start is kept, so the skip differs from the pause by
    // the change in what is in flight: at most the 20 ms period the capture
    // thread has not read, the server's 20 ms fragment and the sink's 10 ms
    // block, 50 ms. A pause that kept its audio, or lost more, still fails.
    constexpr double kInFlight = 0.05;
    auto frames = [](TClock::duration d) { return std::chrono::duration<double>(d).count() * 48000; };
    const auto skipped = static_cast<double>(
        static_cast<int64_t>(second.FirstValue) - static_cast<int64_t>(first.FirstValue + first.Length));
    RecordProperty("skipped_frames", static_cast<int>(skipped));
    RecordProperty("pause_frames", static_cast<int>(frames(starting - stopped)));
    EXPECT_GE(skipped, frames(starting - stopped) - kInFlight * 48000);
    EXPECT_LE(skipped, frames(started - stopping) + kInFlight * 48000);
}

// Records the counter signal of the given length and checks every frame.
void RecordCounter(double seconds)
{
    TCounterPlayer player(seconds);
    const WAVEFORMATEX format = PcmFormat(48000, 16, 2);
    TCapture capture(4096, 10);
    ASSERT_EQ(capture.Open(WAVE_MAPPER, &format), MMSYSERR_NOERROR);
    capture.PrepareAndQueue();
    ASSERT_EQ(waveInStart(capture.FHandle), MMSYSERR_NOERROR);
    player.Start();
    ASSERT_TRUE(player.WaitFinished(static_cast<int>(seconds * 1000) + 20000));
    // What the sink still plays out after pacat has ended.
    const std::size_t now = capture.Returned().size();
    ASSERT_TRUE(capture.WaitForReturned(now + 30));
    TWaveInStatistics statistics = EmptyStatistics();
    ASSERT_EQ(WaveInGetStatistics(capture.FHandle, &statistics), MMSYSERR_NOERROR);
    capture.Close();
    const TCounterRun run = AnalyseCounter(capture.Data());
    EXPECT_EQ(run.Breaks, 0u) << run.FirstBreak;
    ExpectWholeSignal(run, seconds);
    EXPECT_EQ(statistics.Overruns, 0u);
    EXPECT_EQ(statistics.SilenceSamples, 0u);
}

TEST_F(WaveInAudio, ACounterSignalComesThroughWithoutGapOrRepeat)
{
    RecordCounter(15);
}

TEST_F(WaveInAudio, ACounterSignalOfAMinuteComesThroughWhole)
{
    if (std::getenv("TONVARA_LONG_TESTS") == nullptr)
        GTEST_SKIP() << "a minute long: set TONVARA_LONG_TESTS=1 to run it";
    RecordCounter(60);
}

TEST_F(WaveInAudio, TwentyCloseAndReopenCyclesJoinWithoutAMissingOrDoubledSample)
{
    constexpr double kSeconds = 16;
    TCounterPlayer player(kSeconds);
    const WAVEFORMATEX format = PcmFormat(48000, 16, 2);
    player.Start();
    std::vector<BYTE> joined;
    int continued = 0;
    uint64_t carried = 0;
    for (int cycle = 0; cycle < 20; ++cycle) {
        TCapture capture(4096, 10);
        ASSERT_EQ(capture.Open(WAVE_MAPPER, &format), MMSYSERR_NOERROR) << "cycle " << cycle;
        capture.PrepareAndQueue();
        ASSERT_EQ(waveInStart(capture.FHandle), MMSYSERR_NOERROR);
        ASSERT_TRUE(capture.WaitForReturned(30)); // about 0.64 s
        TWaveInStatistics statistics = EmptyStatistics();
        ASSERT_EQ(WaveInGetStatistics(capture.FHandle, &statistics), MMSYSERR_NOERROR);
        continued += statistics.Continued ? 1 : 0;
        carried += statistics.CarriedSamples;
        EXPECT_EQ(statistics.Overruns, 0u);
        capture.Close();
        const std::vector<BYTE> data = capture.Data();
        joined.insert(joined.end(), data.begin(), data.end());
        EXPECT_EQ(capture.FAfterClose.load(), 0) << "a buffer came after MM_WIM_CLOSE";
    }
    ASSERT_TRUE(player.WaitFinished(30000));
    // The first open may continue a capture an earlier test left parked.
    EXPECT_GE(continued, 19) << "every reopen continues the previous capture";
    RecordProperty("carried_samples", static_cast<int>(carried));
    const TCounterRun run = AnalyseCounter(joined);
    EXPECT_GT(run.Length, static_cast<std::size_t>(12 * 48000))
        << "20 cycles of 0.64 s hold most of the signal";
    EXPECT_EQ(run.Breaks, 0u) << run.FirstBreak;
}

TEST_F(WaveInAudio, ANewFormatOrALateReopenStartsAFreshCapture)
{
    const WAVEFORMATEX stereo = PcmFormat(48000, 16, 2);
    const WAVEFORMATEX mono = PcmFormat(48000, 16, 1);
    {
        TCapture capture(4096, 4);
        ASSERT_EQ(capture.Open(WAVE_MAPPER, &stereo), MMSYSERR_NOERROR);
        capture.PrepareAndQueue();
        ASSERT_EQ(waveInStart(capture.FHandle), MMSYSERR_NOERROR);
        ASSERT_TRUE(capture.WaitForReturned(5));
        capture.Close();
    }
    TWaveInStatistics statistics = EmptyStatistics();
    {
        TCapture capture(4096, 4);
        ASSERT_EQ(capture.Open(WAVE_MAPPER, &mono), MMSYSERR_NOERROR);
        ASSERT_EQ(WaveInGetStatistics(capture.FHandle, &statistics), MMSYSERR_NOERROR);
        EXPECT_FALSE(statistics.Continued) << "another format never continues";
        capture.Close();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kWaveInParkMilliseconds + 500));
    {
        TCapture capture(4096, 4);
        ASSERT_EQ(capture.Open(WAVE_MAPPER, &mono), MMSYSERR_NOERROR);
        ASSERT_EQ(WaveInGetStatistics(capture.FHandle, &statistics), MMSYSERR_NOERROR);
        EXPECT_FALSE(statistics.Continued) << "a parked capture ends after two seconds";
        capture.Close();
    }
}

TEST_F(WaveInAudio, AStalledConsumerCostsNoAudio)
{
    // The callback holds the capture thread for a while: the ring keeps
    // everything meanwhile.
    constexpr double kSeconds = 6;
    TCounterPlayer player(kSeconds);
    const WAVEFORMATEX format = PcmFormat(48000, 16, 2);
    TCapture capture(4096, 10);
    int calls = 0;
    capture.FOnData = [&](WAVEHDR*) {
        if (++calls == 100)
            std::this_thread::sleep_for(1500ms);
    };
    ASSERT_EQ(capture.Open(WAVE_MAPPER, &format), MMSYSERR_NOERROR);
    capture.PrepareAndQueue();
    ASSERT_EQ(waveInStart(capture.FHandle), MMSYSERR_NOERROR);
    player.Start();
    ASSERT_TRUE(player.WaitFinished(30000));
    const std::size_t now = capture.Returned().size();
    ASSERT_TRUE(capture.WaitForReturned(now + 30));
    TWaveInStatistics statistics = EmptyStatistics();
    ASSERT_EQ(WaveInGetStatistics(capture.FHandle, &statistics), MMSYSERR_NOERROR);
    capture.Close();
    const TCounterRun run = AnalyseCounter(capture.Data());
    EXPECT_EQ(run.Breaks, 0u) << run.FirstBreak;
    ExpectWholeSignal(run, kSeconds);
    EXPECT_EQ(statistics.Overruns, 0u);
}

TEST_F(WaveInAudio, UnsupportedFormatsFailWithBadFormat)
{
    HWAVEIN handle = nullptr;
    WAVEFORMATEX broken = PcmFormat(48000, 16, 2);
    broken.nBlockAlign = 3;
    EXPECT_EQ(waveInOpen(&handle, WAVE_MAPPER, &broken, 0, 0, CALLBACK_NULL), WAVERR_BADFORMAT);
    EXPECT_EQ(waveInOpen(nullptr, WAVE_MAPPER, &broken, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
    WAVEFORMATEX twelveBits = PcmFormat(48000, 12, 1);
    twelveBits.nBlockAlign = 2;
    twelveBits.nAvgBytesPerSec = 96000;
    EXPECT_EQ(waveInOpen(&handle, WAVE_MAPPER, &twelveBits, 0, 0, CALLBACK_NULL), WAVERR_BADFORMAT);
    WAVEFORMATEX mulaw = PcmFormat(8000, 8, 1);
    mulaw.wFormatTag = WAVE_FORMAT_MULAW;
    EXPECT_EQ(waveInOpen(&handle, WAVE_MAPPER, &mulaw, 0, 0, CALLBACK_NULL), WAVERR_BADFORMAT);
    GSM610WAVEFORMAT gsm = GsmFormat();
    EXPECT_EQ(waveInOpen(&handle, WAVE_MAPPER, &gsm.wfx, 0, 0, CALLBACK_NULL | WAVE_FORMAT_DIRECT),
        WAVERR_BADFORMAT);
    gsm.wSamplesPerBlock = 160;
    EXPECT_EQ(waveInOpen(&handle, WAVE_MAPPER, &gsm.wfx, 0, 0, CALLBACK_NULL), WAVERR_BADFORMAT);
    EXPECT_EQ(handle, nullptr);
    // A PCM record of 16 bytes is read as such: cbSize is not looked at.
    PCMWAVEFORMAT shortPcm {};
    std::memcpy(&shortPcm, &broken, sizeof(shortPcm));
    shortPcm.wf.nBlockAlign = 4;
    EXPECT_EQ(waveInOpen(nullptr, WAVE_MAPPER, reinterpret_cast<LPCWAVEFORMATEX>(&shortPcm), 0, 0,
                  WAVE_FORMAT_QUERY),
        MMSYSERR_NOERROR);
}

TEST_F(WaveInAudio, CallbackEventAndNullDevicesWork)
{
    const WAVEFORMATEX format = PcmFormat(8000, 8, 1);
    HWAVEIN handle = nullptr;
    ASSERT_EQ(waveInOpen(&handle, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    std::vector<char> memory(800);
    WAVEHDR header {};
    header.lpData = memory.data();
    header.dwBufferLength = 800;
    ASSERT_EQ(waveInAddBuffer(handle, &header, sizeof(header)), WAVERR_UNPREPARED);
    ASSERT_EQ(waveInPrepareHeader(handle, &header, sizeof(header)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(handle, &header, sizeof(header)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInAddBuffer(handle, &header, sizeof(header)), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
    const auto deadline = TClock::now() + 10s;
    auto done = [&] {
        return (std::atomic_ref<DWORD>(header.dwFlags).load(std::memory_order_acquire) & WHDR_DONE) != 0;
    };
    while (!done() && TClock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(done()) << "a CALLBACK_NULL device is polled by its WHDR_DONE flag";
    EXPECT_EQ(header.dwBytesRecorded, 800u);
    // 8-bit silence is 128.
    EXPECT_TRUE(std::all_of(
        memory.begin(), memory.end(), [](char c) { return static_cast<unsigned char>(c) > 100; }));
    ASSERT_EQ(waveInReset(handle), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInUnprepareHeader(handle, &header, sizeof(header)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(handle), MMSYSERR_NOERROR);
}

using tonvara::test::MissingServer;
using tonvara::test::TPrivateServer;
using tonvara::test::TServerOverride;

TEST_F(WaveInAudio, WithoutAServerOpenFailsCleanlyAndAServerFoundLaterIsUsed)
{
    const std::string missing = MissingServer();
    const WAVEFORMATEX format = PcmFormat(48000, 16, 2);
    {
        TServerOverride noServer(missing);
        const auto start = TClock::now();
        EXPECT_EQ(waveInGetNumDevs(), 0u) << "no PCM captures without the server";
        HWAVEIN handle = nullptr;
        const MMRESULT result = waveInOpen(&handle, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL);
        EXPECT_EQ(result, MMSYSERR_NODRIVER) << ErrorText(result);
        EXPECT_NE(ErrorText(result).find("(snd_pcm_open: "), std::string::npos) << ErrorText(result);
        EXPECT_NE(ErrorText(result).find("WaveInAlsa.cpp:"), std::string::npos) << ErrorText(result);
        EXPECT_EQ(handle, nullptr);
        EXPECT_EQ(waveInOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NODRIVER);
        EXPECT_LT(TClock::now() - start, 10s) << "failing must not hang";
    }
    // The server is back (as when the program was started before it).
    EXPECT_GT(waveInGetNumDevs(), 0u);
    TCapture capture(4096, 4);
    ASSERT_EQ(capture.Open(WAVE_MAPPER, &format), MMSYSERR_NOERROR);
    capture.PrepareAndQueue();
    ASSERT_EQ(waveInStart(capture.FHandle), MMSYSERR_NOERROR);
    ASSERT_TRUE(capture.WaitForReturned(4));
    capture.Close();
}

TEST_F(WaveInAudio, AServerKilledMidCaptureEndsInAnErrorNotAHang)
{
    TPrivateServer server;
    ASSERT_GT(server.FPid, 0) << "the private server did not start";
    TServerOverride useIt(server.FServer);
    const WAVEFORMATEX format = PcmFormat(48000, 16, 2);
    TCapture capture(4096, 6);
    ASSERT_EQ(capture.Open(WAVE_MAPPER, &format), MMSYSERR_NOERROR);
    capture.PrepareAndQueue();
    ASSERT_EQ(waveInStart(capture.FHandle), MMSYSERR_NOERROR);
    ASSERT_TRUE(capture.WaitForReturned(20));
    // Queued buffers stop coming back as full ones; the callback's requeue
    // fails once the device knows.
    server.Kill();
    const auto killed = TClock::now();
    const auto deadline = killed + 10s;
    while (capture.FRequeueResult == MMSYSERR_NOERROR && TClock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(capture.FRequeueResult.load(), MMSYSERR_NODRIVER) << ErrorText(capture.FRequeueResult);
    RecordProperty("error_after_ms",
        static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - killed).count()));
    for (auto& header : capture.FHeaders)
        EXPECT_EQ(header->dwFlags & WHDR_INQUEUE, 0u) << "every queued buffer came back";
    std::vector<char> memory(4096);
    WAVEHDR header {};
    header.lpData = memory.data();
    header.dwBufferLength = 4096;
    ASSERT_EQ(waveInPrepareHeader(capture.FHandle, &header, sizeof(header)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInAddBuffer(capture.FHandle, &header, sizeof(header)), MMSYSERR_NODRIVER);
    // The text names the call that failed on the capture thread.
    EXPECT_NE(ErrorText(MMSYSERR_NODRIVER).find("(snd_pcm_"), std::string::npos)
        << ErrorText(MMSYSERR_NODRIVER);
    EXPECT_EQ(header.dwFlags & WHDR_INQUEUE, 0u);
    EXPECT_EQ(waveInStart(capture.FHandle), MMSYSERR_NODRIVER);
    ASSERT_EQ(waveInUnprepareHeader(capture.FHandle, &header, sizeof(header)), MMSYSERR_NOERROR);
    capture.Close();
}

TEST_F(WaveInAudio, InputLostInAStallIsFilledWithSilenceAndTheRecordingKeepsTheWallTime)
{
    // The capture thread stalls for 0.1 s, 2 s into the capture, and what
    // came meanwhile is lost, as a sound server drops what nobody read.
    constexpr double kSeconds = 5;
    constexpr DWORD kBufferBytes = 19200; // 0.1 s
    TCounterPlayer player(kSeconds);
    const WAVEFORMATEX format = PcmFormat(48000, 16, 2);
    const WAVEFORMATEX mono = PcmFormat(48000, 16, 1);
    {
        // A stereo capture an earlier test left parked gives way to this
        // one, which parks in its turn and gives way to the stalling one.
        TCapture release(4096, 2);
        ASSERT_EQ(release.Open(WAVE_MAPPER, &mono), MMSYSERR_NOERROR);
        release.Close();
    }
    TCapture capture(kBufferBytes, 10);
    setenv("TONVARA_TEST_CAPTURE_STALL", "2000,100", 1);
    const MMRESULT opened = capture.Open(WAVE_MAPPER, &format);
    unsetenv("TONVARA_TEST_CAPTURE_STALL");
    ASSERT_EQ(opened, MMSYSERR_NOERROR);
    capture.PrepareAndQueue();
    ASSERT_EQ(waveInStart(capture.FHandle), MMSYSERR_NOERROR);
    const auto started = TClock::now();
    player.Start();
    ASSERT_TRUE(player.WaitFinished(static_cast<int>(kSeconds * 1000) + 20000));
    // Long enough after the player for a change of the sink's render-ahead
    // to be taken for a loss, were it one.
    const std::size_t now = capture.Returned().size();
    ASSERT_TRUE(capture.WaitForReturned(now + 15));
    ASSERT_EQ(waveInStop(capture.FHandle), MMSYSERR_NOERROR);
    const double elapsed = std::chrono::duration<double>(TClock::now() - started).count();
    TWaveInStatistics statistics = EmptyStatistics();
    ASSERT_EQ(WaveInGetStatistics(capture.FHandle, &statistics), MMSYSERR_NOERROR);
    MMTIME time { TIME_SAMPLES, {} };
    ASSERT_EQ(waveInGetPosition(capture.FHandle, &time, sizeof(time)), MMSYSERR_NOERROR);
    capture.Close();
    const TCounterRun run = AnalyseCounter(capture.Data());
    RecordProperty("lost_samples", static_cast<int>(statistics.LostSamples));
    RecordProperty("counter_missing", static_cast<int>(run.Missing));
    RecordProperty("position_minus_elapsed_ms", static_cast<int>((time.u.sample / 48000.0 - elapsed) * 1000));
    EXPECT_EQ(statistics.Overruns, 1u);
    EXPECT_EQ(statistics.LastCause, TWaveInLossCause::Clock) << "found from the clock";
    EXPECT_EQ(run.Breaks, 1u) << run.FirstBreak;
    EXPECT_GE(run.Missing, 4800) << "the stall lost its 0.1 s";
    // The silence is as long as the loss, within the guard's few ms.
    EXPECT_NEAR(static_cast<double>(statistics.SilenceSamples), static_cast<double>(run.Missing), 480);
    EXPECT_EQ(statistics.SilenceSamples, statistics.LostSamples);
    EXPECT_GE(run.SilenceInside, statistics.SilenceSamples) << "the filled gap is silence";
    // Position and wall time differ by what is in flight at the start (up
    // to a period) and at the stop (two periods and the server's 10 ms) and
    // by the fill's error (10 ms): 80 ms, within one 0.1 s buffer.
    EXPECT_NEAR(time.u.sample / 48000.0, elapsed, kBufferBytes / 4 / 48000.0);
}

} // namespace
