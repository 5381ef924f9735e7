// The wave input without a sound server: its properties and stored form, and
// its logic against a scripted device filled into its device table (each
// entry can be made to fail; buffers come back when a test says so, from a
// thread of its own as a capture thread would return them).
#include "mm/capture/MMWavIn.h"
#include "mm/format/MMWaveFormat.h"
#include "platform/kernel/Threads.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/FormWriter.h"
#include "support/TestSupport.h"
#include "support/WaveFormats.h"
#include "support/WaveInEvents.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// ----- the scripted device ---------------------------------------------------------

const auto kFakeHandle = reinterpret_cast<HWAVEIN>(static_cast<uintptr_t>(0x5A5A0));
constexpr MMRESULT kNoText = 999; // a code the device has no text for

struct TFakeDevice {
    std::mutex Lock;
    std::condition_variable HandedOver; // a buffer was reported done
    int Reported = 0; // full buffers reported done so far
    UINT NumDevs = 2;
    DWORD Formats = 0xFFF;
    std::map<std::string, MMRESULT> Fail;
    bool SilentOpen = false;
    bool SilentClose = false;
    DRVCALLBACK Callback = nullptr;
    DWORD_PTR Instance = 0;
    bool IsOpen = false;
    bool Started = false;
    std::deque<WAVEHDR*> Queue;
    DWORD Position = 0;
    DWORD PartialBytes = 0; // what the head buffer holds when the device stops
    BYTE NextByte = 0;
    std::vector<std::string> Calls;
    std::function<void()> AfterStart; // runs once the device has started

    MMRESULT Failure(const char* entry)
    {
        std::lock_guard lock(Lock);
        Calls.emplace_back(entry);
        auto it = Fail.find(entry);
        return it == Fail.end() ? MMSYSERR_NOERROR : it->second;
    }

    // Fills the header with the running byte sequence and reports it.
    void Return(WAVEHDR* header, DWORD bytes)
    {
        {
            std::lock_guard lock(Lock);
            for (DWORD i = 0; i < bytes; ++i)
                header->lpData[i] = static_cast<char>(NextByte++);
            header->dwBytesRecorded = bytes;
            header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        }
        Callback(kFakeHandle, MM_WIM_DATA, Instance, reinterpret_cast<DWORD_PTR>(header), 0);
    }

    // Returns Count full buffers (fewer when fewer are queued).
    int Deliver(int count)
    {
        int delivered = 0;
        for (; delivered < count; ++delivered) {
            WAVEHDR* header = nullptr;
            {
                std::lock_guard lock(Lock);
                if (Queue.empty() || !Started)
                    break;
                header = Queue.front();
                Queue.pop_front();
                Position += header->dwBufferLength;
            }
            Return(header, header->dwBufferLength);
            {
                std::lock_guard lock(Lock);
                ++Reported;
            }
            HandedOver.notify_all();
        }
        return delivered;
    }

    /// Waits (at most 10 s) until Count full buffers in all have been
    /// reported done, as a device reports them: in the order of its queue.
    bool WaitReported(int count)
    {
        std::unique_lock lock(Lock);
        return HandedOver.wait_for(lock, std::chrono::seconds(10), [&] { return Reported >= count; });
    }

    // Delivers from a thread of its own, as the capture thread does.
    int DeliverFromThread(int count)
    {
        int delivered = 0;
        std::thread capture([&] { delivered = Deliver(count); });
        capture.join();
        return delivered;
    }

    int Queued()
    {
        std::lock_guard lock(Lock);
        return static_cast<int>(Queue.size());
    }

    /// Forgets what a failed case left queued.
    void Forget()
    {
        std::lock_guard lock(Lock);
        Queue.clear();
        IsOpen = false;
        Started = false;
        Fail.clear();
    }
};

TFakeDevice* gDevice = nullptr;

UINT FakeNumDevs()
{
    return gDevice->NumDevs;
}

MMRESULT FakeDevCaps(UINT_PTR, LPWAVEINCAPSA caps, UINT size)
{
    if (MMRESULT r = gDevice->Failure("caps"))
        return r;
    WAVEINCAPSA c {};
    std::snprintf(c.szPname, sizeof(c.szPname), "Fake input");
    c.dwFormats = gDevice->Formats;
    c.wChannels = 2;
    std::memcpy(caps, &c, std::min<std::size_t>(size, sizeof(c)));
    return MMSYSERR_NOERROR;
}

MMRESULT FakeErrorText(MMRESULT code, LPSTR text, UINT size)
{
    if (code == kNoText)
        return MMSYSERR_BADERRNUM;
    std::snprintf(text, size, "fake error %u", code);
    return MMSYSERR_NOERROR;
}

MMRESULT FakeOpen(
    LPHWAVEIN handle, UINT, LPCWAVEFORMATEX format, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    if (format->wFormatTag == WAVE_FORMAT_MULAW)
        return WAVERR_BADFORMAT;
    if (flags & WAVE_FORMAT_QUERY)
        return gDevice->Failure("query");
    if (MMRESULT r = gDevice->Failure("open"))
        return r;
    gDevice->Callback = reinterpret_cast<DRVCALLBACK>(callback);
    gDevice->Instance = instance;
    gDevice->IsOpen = true;
    gDevice->Position = 0;
    *handle = kFakeHandle;
    if (!gDevice->SilentOpen)
        gDevice->Callback(kFakeHandle, MM_WIM_OPEN, instance, 0, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT FakeClose(HWAVEIN)
{
    if (MMRESULT r = gDevice->Failure("close"))
        return r;
    if (gDevice->Queued() > 0)
        return WAVERR_STILLPLAYING;
    gDevice->IsOpen = false;
    if (!gDevice->SilentClose)
        gDevice->Callback(kFakeHandle, MM_WIM_CLOSE, gDevice->Instance, 0, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT FakePrepare(HWAVEIN, LPWAVEHDR header, UINT)
{
    if (MMRESULT r = gDevice->Failure("prepare"))
        return r;
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT FakeUnprepare(HWAVEIN, LPWAVEHDR header, UINT)
{
    if (MMRESULT r = gDevice->Failure("unprepare"))
        return r;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT FakeAddBuffer(HWAVEIN, LPWAVEHDR header, UINT)
{
    if (MMRESULT r = gDevice->Failure("add"))
        return r;
    if (!(header->dwFlags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    std::lock_guard lock(gDevice->Lock);
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    header->dwBytesRecorded = 0;
    gDevice->Queue.push_back(header);
    return MMSYSERR_NOERROR;
}

MMRESULT FakeStart(HWAVEIN)
{
    if (MMRESULT r = gDevice->Failure("start"))
        return r;
    {
        std::lock_guard lock(gDevice->Lock);
        gDevice->Started = true;
    }
    if (gDevice->AfterStart)
        gDevice->AfterStart();
    return MMSYSERR_NOERROR;
}

MMRESULT FakeStop(HWAVEIN)
{
    if (MMRESULT r = gDevice->Failure("stop"))
        return r;
    WAVEHDR* partial = nullptr;
    DWORD bytes = 0;
    {
        std::lock_guard lock(gDevice->Lock);
        if (gDevice->Started && !gDevice->Queue.empty() && gDevice->PartialBytes > 0) {
            partial = gDevice->Queue.front();
            gDevice->Queue.pop_front();
            bytes = gDevice->PartialBytes;
            gDevice->Position += bytes;
        }
        gDevice->Started = false;
    }
    if (partial != nullptr)
        gDevice->Return(partial, bytes);
    return MMSYSERR_NOERROR;
}

MMRESULT FakeReset(HWAVEIN handle)
{
    if (MMRESULT r = gDevice->Failure("reset"))
        return r;
    FakeStop(handle);
    std::deque<WAVEHDR*> queued;
    {
        std::lock_guard lock(gDevice->Lock);
        queued.swap(gDevice->Queue);
        gDevice->Position = 0;
    }
    for (WAVEHDR* header : queued)
        gDevice->Return(header, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT FakePosition(HWAVEIN, LPMMTIME time, UINT)
{
    if (MMRESULT r = gDevice->Failure("position"))
        return r;
    std::lock_guard lock(gDevice->Lock);
    if (time->wType == TIME_SAMPLES)
        time->u.sample = gDevice->Position;
    else
        time->u.cb = gDevice->Position;
    return MMSYSERR_NOERROR;
}

MMRESULT FakeGetID(HWAVEIN, UINT* id)
{
    *id = 0;
    return MMSYSERR_NOERROR;
}

/// A wave input on the scripted device.
class TFakeWaveIn : public TMMCustomWaveIn {
    Q_OBJECT
public:
    explicit TFakeWaveIn(TComponent* owner = nullptr)
        : TMMCustomWaveIn(owner)
    {
        TFakeWaveIn::InitDeviceFunctions();
        ReadDevices();
    }

protected:
    void InitDeviceFunctions() override
    {
        FDevice = TMMWaveInFunctions { &FakeNumDevs, &FakeDevCaps, &FakeErrorText, &FakeOpen, &FakeClose,
            &FakePrepare, &FakeUnprepare, &FakeAddBuffer, &FakeStart, &FakeStop, &FakeReset, &FakePosition,
            &FakeGetID, nullptr, nullptr };
    }
};

/// The end of the chain: keeps what passes, and when.
class TCollector : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(TMMDSPComponent* Input READ GetInput WRITE SetInput)
public:
    explicit TCollector(TComponent* owner = nullptr)
        : TMMDSPComponent(owner)
    {
    }

    void BufferReady(PWaveHdr header) override
    {
        {
            std::lock_guard lock(FLock);
            Data.insert(Data.end(), header->lpData, header->lpData + header->dwBytesRecorded);
            Sizes.push_back(header->dwBytesRecorded);
            Threads.push_back(GetCurrentThreadId());
        }
        FArrived.notify_all();
        TMMDSPComponent::BufferReady(header);
    }
    void Opened() override
    {
        TMMDSPComponent::Opened();
        Note("Opened");
    }
    void Started() override
    {
        TMMDSPComponent::Started();
        Note("Started");
    }
    void Stopped() override
    {
        TMMDSPComponent::Stopped();
        Note("Stopped");
    }
    void Closed() override
    {
        TMMDSPComponent::Closed();
        Note("Closed");
    }

    std::size_t BufferCount()
    {
        std::lock_guard lock(FLock);
        return Sizes.size();
    }
    std::vector<DWORD> SizesNow()
    {
        std::lock_guard lock(FLock);
        return Sizes;
    }
    /// Waits (at most 5 s) until Count buffers have arrived.
    bool WaitBuffers(std::size_t count)
    {
        std::unique_lock lock(FLock);
        return FArrived.wait_for(lock, std::chrono::seconds(5), [&] { return Sizes.size() >= count; });
    }
    std::vector<std::string> EventsNow()
    {
        std::lock_guard lock(FLock);
        return Events;
    }

    std::vector<char> Data;
    std::vector<DWORD> Sizes;
    std::vector<DWORD> Threads;
    std::vector<std::string> Events;

private:
    void Note(const char* what)
    {
        std::lock_guard lock(FLock);
        Events.push_back(std::string(what) + "@" + std::to_string(Data.size()));
    }
    std::mutex FLock;
    std::condition_variable FArrived;
};

using tonvara::test::WaitUntil;

// Returns Count buffers one by one, each once the component has queued one
// again (the GUI thread processes them in window mode meanwhile).
bool DeliverAll(TFakeDevice& device, int count)
{
    for (int i = 0; i < count; ++i) {
        if (!WaitUntil([&] { return device.Queued() > 0; }) || device.DeliverFromThread(1) != 1)
            return false;
    }
    return true;
}

// Whether the collected bytes are the device's running sequence from its
// first byte on, without a gap or a repeat.
bool IsRunningSequence(const std::vector<char>& data)
{
    for (std::size_t i = 0; i < data.size(); ++i)
        if (static_cast<BYTE>(data[i]) != static_cast<BYTE>(i))
            return false;
    return true;
}

class WaveInTest : public testing::Test, protected tonvara::test::TWaveInEvents {
protected:
    void SetUp() override
    {
        gDevice = &FDevice;
        FPreviousDialogs = SetMessageDialogHandler([this](const TMessageDialogRequest& request) {
            Dialogs.push_back(request);
            return mrOk;
        });
        CatchExceptions();
    }

    void TearDown() override
    {
        ReleaseExceptions();
        SetMessageDialogHandler(FPreviousDialogs);
    }

    /// A wave input on the scripted device with a collector as Output,
    /// counting OnError (and the State it sees there), OnStop and OnClose.
    std::unique_ptr<TFakeWaveIn> MakeWaveIn(TMMCBMode mode = cmWindow)
    {
        auto in = std::make_unique<TFakeWaveIn>();
        in->SetCallBackMode(mode);
        in->SetSampleRate(8000);
        in->SetOutput(&Collector);
        Watch(*in);
        return in;
    }

    TFakeDevice FDevice;
    TCollector Collector;
    std::vector<TMessageDialogRequest> Dialogs;

private:
    TMessageDialogHandler FPreviousDialogs;
};

// ----- properties ----------------------------------------------------------------------

TEST_F(WaveInTest, StartsClosedWithTheDefaultsAndTheirPcmFormat)
{
    TFakeWaveIn in;
    EXPECT_EQ(in.GetBufferSize(), 2048);
    EXPECT_EQ(in.GetCallBackMode(), cmWindow);
    EXPECT_EQ(in.GetDeviceID(), TMMDeviceId(0));
    EXPECT_EQ(in.GetNumBuffers(), 10);
    EXPECT_EQ(in.Mode(), mMono);
    EXPECT_EQ(in.BitLength(), b8Bit);
    EXPECT_EQ(in.SampleRate(), 11025);
    EXPECT_EQ(in.TimeFormat(), tfByte);
    EXPECT_EQ(in.MaxRecordTime(), -1);
    EXPECT_EQ(in.Priority(), tpHigher);
    EXPECT_EQ(in.State(), TMMWaveInState(wsClosed));
    EXPECT_EQ(in.GetProductName(), "Fake input");
    EXPECT_EQ(in.NumDevs(), 2);
    ASSERT_NE(in.PWaveFormat(), nullptr);
    WAVEFORMATEX expected;
    BuildPCMFormat(&expected, 8, 1, 11025);
    EXPECT_TRUE(WaveFormatsEqual(in.PWaveFormat(), &expected));
    EXPECT_EQ(in.Position(), 0);
    EXPECT_NE(in.WindowHandle(), nullptr);
}

TEST_F(WaveInTest, SettersClampAndIgnoreAsDocumented)
{
    TFakeWaveIn in;
    in.SetNumBuffers(1);
    EXPECT_EQ(in.GetNumBuffers(), 10);
    in.SetNumBuffers(800);
    EXPECT_EQ(in.GetNumBuffers(), 500);
    in.SetBufferSize(10);
    EXPECT_EQ(in.GetBufferSize(), 32);
    in.SetSampleRate(200000);
    EXPECT_EQ(in.SampleRate(), 100000);
    in.SetSampleRate(100);
    EXPECT_EQ(in.SampleRate(), 8000);
    in.SetMode(mStereo);
    in.SetBitLength(b16Bit);
    in.SetSampleRate(48000);
    WAVEFORMATEX expected;
    BuildPCMFormat(&expected, 16, 2, 48000);
    EXPECT_TRUE(WaveFormatsEqual(in.PWaveFormat(), &expected));
    in.SetMode(static_cast<TMMMode>(7));
    EXPECT_EQ(in.Mode(), mStereo);
    in.SetProductName("other");
    EXPECT_EQ(in.GetProductName(), "Fake input");

    in.SetDeviceID(TMMDeviceId(2));
    EXPECT_EQ(in.GetDeviceID(), InvalidId);
    EXPECT_EQ(in.GetProductName(), "No wave audio recording device found");
    in.SetDeviceID(MapperId);
    EXPECT_EQ(in.GetDeviceID(), MapperId);
    EXPECT_EQ(in.GetProductName(), "Fake input");
    FDevice.Fail["caps"] = MMSYSERR_NODRIVER;
    in.SetDeviceID(TMMDeviceId(1));
    EXPECT_EQ(in.GetDeviceID(), TMMDeviceId(1));
    EXPECT_EQ(in.GetProductName(), "No wave audio recording device found");
}

TEST_F(WaveInTest, APcmFormatSetsTheLayoutAndACompressedOneKeepsIt)
{
    TFakeWaveIn in;
    WAVEFORMATEX pcm;
    BuildPCMFormat(&pcm, 16, 2, 22050);
    in.SetPWaveFormat(&pcm);
    EXPECT_EQ(in.Mode(), mStereo);
    EXPECT_EQ(in.BitLength(), b16Bit);
    EXPECT_EQ(in.SampleRate(), 22050);
    GSM610WAVEFORMAT gsm = tonvara::test::GsmFormat();
    in.SetPWaveFormat(&gsm.wfx);
    EXPECT_EQ(in.SampleRate(), 22050);
    EXPECT_EQ(in.Mode(), mStereo);
    ASSERT_NE(in.PWaveFormat(), nullptr);
    EXPECT_EQ(WaveFormatSize(in.PWaveFormat()), 20u);
    EXPECT_EQ(in.PWaveFormat()->wFormatTag, WAVE_FORMAT_GSM610);
}

TEST_F(WaveInTest, CallbacksAtInterruptTimeAreRefusedWithAMessageBox)
{
    TFakeWaveIn in;
    in.SetCallBackMode(cmCallback);
    EXPECT_EQ(in.GetCallBackMode(), cmWindow);
    ASSERT_EQ(Dialogs.size(), 1u);
    EXPECT_EQ(Dialogs[0].Text,
        "\"CallBacks\" are called at interrupt time !\n\rThis is currently only supported under Windows 95");
    EXPECT_EQ(Dialogs[0].Caption, "TMMWaveIn");
    in.SetCallBackMode(cmThread);
    EXPECT_EQ(in.GetCallBackMode(), cmThread);
}

TEST_F(WaveInTest, TimeFormatReexpressesTheLimit)
{
    TFakeWaveIn in;
    in.SetSampleRate(8000);
    in.SetTimeFormat(tfMillisecond);
    in.SetMaxRecordTime(1000);
    EXPECT_EQ(in.MaxRecordBytes(), 8000);
    in.SetTimeFormat(tfSample);
    EXPECT_EQ(in.MaxRecordTime(), 8000);
    in.SetTimeFormat(tfByte);
    EXPECT_EQ(in.MaxRecordTime(), 8000);
    in.SetMaxRecordTime(-1);
    EXPECT_EQ(in.MaxRecordBytes(), 2147483647);
    in.SetTimeFormat(tfMillisecond);
    EXPECT_EQ(in.MaxRecordTime(), -1);
}

TEST_F(WaveInTest, AStoredFormSetsAndKeepsTheProperties)
{
    RegisterClass<TFakeWaveIn>();
    const QByteArray text = "object In1: TFakeWaveIn\n"
                            "  BufferSize = 4096\n"
                            "  CallBackMode = cmThread\n"
                            "  DeviceID = MapperId\n"
                            "  NumBuffers = 20\n"
                            "  Mode = mStereo\n"
                            "  BitLength = b16Bit\n"
                            "  SampleRate = 48000\n"
                            "  TimeFormat = tfMillisecond\n"
                            "  MaxRecordTime = 1500\n"
                            "  Priority = tpHighest\n"
                            "end\n";
    std::unique_ptr<TComponent> read(ReadComponentFromText(text, nullptr));
    auto* in = qobject_cast<TFakeWaveIn*>(read.get());
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(in->GetBufferSize(), 4096);
    EXPECT_EQ(in->GetCallBackMode(), cmThread);
    EXPECT_EQ(in->GetDeviceID(), MapperId);
    EXPECT_EQ(in->GetNumBuffers(), 20);
    EXPECT_EQ(in->PWaveFormat()->nAvgBytesPerSec, 192000u);
    EXPECT_EQ(in->MaxRecordTime(), 1500);
    EXPECT_EQ(in->Priority(), tpHighest);
    const QString written = QString::fromUtf8(ComponentToText(in));
    EXPECT_TRUE(written.contains("DeviceID = MapperId")) << written.toStdString();
    EXPECT_TRUE(written.contains("CallBackMode = cmThread"));
    EXPECT_FALSE(written.contains("ProductName"));

    TFakeWaveIn plain;
    const QString defaults = QString::fromUtf8(ComponentToText(&plain));
    EXPECT_FALSE(defaults.contains("BufferSize")) << defaults.toStdString();
    EXPECT_FALSE(defaults.contains("SampleRate"));
    EXPECT_FALSE(defaults.contains("Priority"));
}

// ----- the failure table -------------------------------------------------------------

TEST_F(WaveInTest, OpenChecksDevicesIdAndFormatFirst)
{
    FDevice.NumDevs = 0;
    auto none = MakeWaveIn();
    none->SetDeviceID(MapperId);
    ExpectError([&] { none->Open(); }, "No wave audio recording device found");
    FDevice.NumDevs = 2;
    // A device that appears later is found by the next Open.
    EXPECT_NO_THROW(none->Open());
    none->Close();

    auto in = MakeWaveIn();
    in->SetDeviceID(TMMDeviceId(5));
    ExpectError([&] { in->Open(); }, "Invalid DeviceID");
    in->SetDeviceID(TMMDeviceId(0));
    in->SetPWaveFormat(nullptr);
    ExpectError([&] { in->Start(); }, "Invalid wave format");
    EXPECT_EQ(in->State(), TMMWaveInState(wsClosed));
}

TEST_F(WaveInTest, FormatsTheDeviceCannotRecordAreRefused)
{
    auto in = MakeWaveIn();
    WAVEFORMATEX mulaw;
    BuildPCMFormat(&mulaw, 8, 1, 8000);
    mulaw.wFormatTag = WAVE_FORMAT_MULAW;
    in->SetPWaveFormat(&mulaw);
    const QString message = "WaveInOpen:\n\rThe actual device can''t record this format";
    ExpectError([&] { in->Start(); }, message);
    EXPECT_EQ(in->State(), TMMWaveInState(wsClosed));
    EXPECT_EQ(in->DeviceHandle(), nullptr);

    // PCM also needs the capability bit of its band and layout: 48000 Hz
    // stereo 16-bit is bit 11.
    in->SetMode(mStereo);
    in->SetBitLength(b16Bit);
    in->SetSampleRate(48000);
    FDevice.Formats = 0xFFF & ~WAVE_FORMAT_4S16;
    EXPECT_FALSE(in->FormatSupported(TMMDeviceId(0), in->PWaveFormat()));
    ExpectError([&] { in->Open(); }, message);
    FDevice.Formats = WAVE_FORMAT_4S16;
    EXPECT_TRUE(in->FormatSupported(TMMDeviceId(0), in->PWaveFormat()));
    EXPECT_TRUE(in->FormatSupported(MapperId, in->PWaveFormat()));
    EXPECT_FALSE(in->FormatSupported(TMMDeviceId(2), in->PWaveFormat()));
    // Outside 8000 ... 48000 Hz only the query counts.
    in->SetSampleRate(96000);
    EXPECT_TRUE(in->FormatSupported(TMMDeviceId(0), in->PWaveFormat()));
    FDevice.Fail["query"] = WAVERR_BADFORMAT;
    EXPECT_FALSE(in->FormatSupported(TMMDeviceId(0), in->PWaveFormat()));
}

TEST_F(WaveInTest, EveryDeviceFailureReadsAsItsCallAndTheDeviceText)
{
    struct TCase {
        const char* Entry;
        const char* Message;
        std::function<void(TFakeWaveIn&)> Provoke;
    };
    const std::vector<TCase> cases = {
        { "open", "WaveInOpen:\n\rfake error 4", [](TFakeWaveIn& in) { in.Open(); } },
        { "prepare", "WaveInPrepareHeader:\n\rfake error 4", [](TFakeWaveIn& in) { in.Open(); } },
        { "add", "WaveInAddBuffer:\n\rfake error 4", [](TFakeWaveIn& in) { in.Start(); } },
        { "start", "WaveInStart:\n\rfake error 4", [](TFakeWaveIn& in) { in.Start(); } },
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Entry);
        auto in = MakeWaveIn();
        FDevice.Fail = { { c.Entry, MMSYSERR_ALLOCATED } };
        ExpectError([&] { c.Provoke(*in); }, c.Message);
        EXPECT_EQ(in->State(), TMMWaveInState(wsClosed)) << "a failed Open or Start leaves the device closed";
        EXPECT_EQ(in->DeviceHandle(), nullptr);
        EXPECT_EQ(FDevice.Queued(), 0);
        EXPECT_FALSE(FDevice.IsOpen);
        FDevice.Forget();
    }

    const std::vector<TCase> running = {
        { "stop", "WaveInPause:\n\rfake error 4", [](TFakeWaveIn& in) { in.Pause(); } },
        { "stop", "WaveInStop:\n\rfake error 4", [](TFakeWaveIn& in) { in.Stop(); } },
        { "reset", "WaveInReset:\n\rfake error 4", [](TFakeWaveIn& in) { in.Stop(); } },
    };
    for (const TCase& c : running) {
        SCOPED_TRACE(c.Message);
        auto in = MakeWaveIn();
        FDevice.Fail.clear();
        in->Start();
        FDevice.Fail = { { c.Entry, MMSYSERR_ALLOCATED } };
        ExpectError([&] { c.Provoke(*in); }, c.Message);
        FDevice.Fail.clear();
        in->Close();
        EXPECT_EQ(in->State(), TMMWaveInState(wsClosed));
        FDevice.Forget();
    }

    auto paused = MakeWaveIn();
    FDevice.Fail.clear();
    paused->Start();
    paused->Pause();
    EXPECT_EQ(paused->State(), TMMWaveInState(wsOpened | wsStarted | wsPaused));
    FDevice.Fail = { { "start", MMSYSERR_ALLOCATED } };
    ExpectError([&] { paused->Restart(); }, "WaveInRestart:\n\rfake error 4");
    EXPECT_EQ(paused->State(), TMMWaveInState(wsClosed));

    auto position = MakeWaveIn();
    FDevice.Fail.clear();
    position->Start();
    FDevice.Fail = { { "position", MMSYSERR_NODRIVER } };
    ExpectError([&] { position->Position(); }, "WaveInGetPosition:\n\rfake error 6");
    FDevice.Fail.clear();

    auto unknown = MakeWaveIn();
    FDevice.Fail = { { "open", kNoText } };
    ExpectError(
        [&] { unknown->Open(); }, "WaveInOpen:\n\rSpecified error number is out of range (unknown error)");
    FDevice.Fail.clear();
}

TEST_F(WaveInTest, CloseReportsThroughOnErrorOnlyAndStillFinishesTheChain)
{
    auto in = MakeWaveIn();
    in->Start();
    FDevice.Fail = { { "unprepare", MMSYSERR_ERROR } };
    const int errors = Errors;
    EXPECT_NO_THROW(in->Close());
    EXPECT_EQ(Errors, errors + 1);
    EXPECT_EQ(in->State(), TMMWaveInState(wsClosed));
    EXPECT_FALSE(Collector.IsOpen()) << "the chain hears Closed although a step failed";
    EXPECT_EQ(Closes, 1);
    FDevice.Fail.clear();

    auto silent = MakeWaveIn();
    silent->Open();
    FDevice.SilentClose = true;
    EXPECT_NO_THROW(silent->Close());
    EXPECT_EQ(Errors, errors + 2) << "WaveInClose:\n\rUnable to close device";
    EXPECT_EQ(silent->State(), TMMWaveInState(wsClosed));
}

TEST_F(WaveInTest, EveryEndOfARecordingSendsStoppedThenClosedOnce)
{
    struct TCase {
        const char* Name;
        const char* FailingEntry; // or nullptr: a member fails on the stop's partial buffer
        bool ByClose;
    };
    const std::vector<TCase> cases = {
        { "stop fails", "stop", false },
        { "reset fails", "reset", false },
        { "stop fails under Close", "stop", true },
        { "a member fails while the stop drains", nullptr, false },
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TCollector tail;
        auto in = MakeWaveIn();
        in->SetOutput(&tail);
        in->SetBufferSize(100);
        in->SetNumBuffers(3);
        if (c.FailingEntry == nullptr)
            in->SetOnBufferReady([](TObject*, PWaveHdr) { throw Exception("member failed"); });
        FDevice.PartialBytes = 10;
        in->Start();
        const int stops = Stops;
        const int closes = Closes;
        if (c.FailingEntry != nullptr)
            FDevice.Fail = { { c.FailingEntry, MMSYSERR_ERROR } };
        if (c.ByClose) {
            EXPECT_NO_THROW(in->Close());
        } else {
            EXPECT_ANY_THROW(in->Stop());
        }
        FDevice.Fail.clear();
        EXPECT_EQ(tail.EventsNow().size(), 4u);
        const std::vector<std::string> events = tail.EventsNow();
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ(events[events.size() - 2].substr(0, 8), "Stopped@");
        EXPECT_EQ(events.back().substr(0, 7), "Closed@");
        EXPECT_FALSE(tail.IsStarted()) << "the next Started must not find it started";
        EXPECT_FALSE(tail.IsOpen());
        EXPECT_EQ(Stops, stops + 1);
        EXPECT_EQ(Closes, closes + 1);
        EXPECT_EQ(in->State(), TMMWaveInState(wsClosed));
        FDevice.Forget();
    }
}

TEST_F(WaveInTest, AMissingOpenNotificationFailsTheOpen)
{
    auto in = MakeWaveIn();
    FDevice.SilentOpen = true;
    ExpectError([&] { in->Open(); }, "WaveInOpen:\n\rUnable to open device");
    EXPECT_EQ(in->State(), TMMWaveInState(wsClosed));
    EXPECT_FALSE(FDevice.IsOpen);
}

TEST_F(WaveInTest, PropertiesDoNotChangeWhileOpen)
{
    auto in = MakeWaveIn();
    in->Start();
    const QString message = "Change to property while device was open";
    ExpectError([&] { in->SetBufferSize(4096); }, message);
    ExpectError([&] { in->SetNumBuffers(20); }, message);
    ExpectError([&] { in->SetDeviceID(TMMDeviceId(0)); }, message);
    ExpectError([&] { in->SetCallBackMode(cmWindow); }, message);
    ExpectError([&] { in->SetMode(mStereo); }, message);
    ExpectError([&] { in->SetBitLength(b16Bit); }, message);
    ExpectError([&] { in->SetSampleRate(11025); }, message);
    // Values that change nothing are no change.
    EXPECT_NO_THROW(in->SetNumBuffers(1));
    EXPECT_NO_THROW(in->SetMode(mMono));
    EXPECT_NO_THROW(in->SetSampleRate(8000));
    EXPECT_EQ(in->State(), TMMWaveInState(wsOpened | wsStarted)) << "the device goes on recording";
    EXPECT_EQ(FDevice.DeliverFromThread(3), 3);
    EXPECT_TRUE(WaitUntil([&] { return Collector.BufferCount() == 3; }));
    in->Close();
}

// ----- buffers, in both modes ----------------------------------------------------------

class WaveInModes : public WaveInTest, public testing::WithParamInterface<TMMCBMode> { };

TEST_P(WaveInModes, BuffersGoDownInOrderInTheModesThreadAndAreQueuedAgain)
{
    auto in = MakeWaveIn(GetParam());
    in->SetBufferSize(100);
    in->SetNumBuffers(4);
    in->Start();
    EXPECT_EQ(FDevice.Queued(), 4);
    EXPECT_EQ(Collector.EventsNow(), (std::vector<std::string> { "Opened@0", "Started@0" }));
    EXPECT_TRUE(DeliverAll(FDevice, 25)) << "every returned buffer is queued again";
    ASSERT_TRUE(WaitUntil([&] { return Collector.BufferCount() == 25; }));
    ASSERT_TRUE(WaitUntil([&] { return in->QueuedCount() == 4; }));
    EXPECT_EQ(FDevice.Queued(), 4);
    const DWORD expected = GetParam() == cmWindow ? GetCurrentThreadId() : Collector.Threads[0];
    for (DWORD thread : Collector.Threads)
        EXPECT_EQ(thread, expected) << "all buffers are processed in one thread";
    if (GetParam() == cmThread) {
        EXPECT_NE(expected, GetCurrentThreadId());
    }
    EXPECT_EQ(in->BytesRecorded(), 2500);
    EXPECT_TRUE(IsRunningSequence(Collector.Data));
    EXPECT_EQ(in->Position(), 2500) << "tfByte: the device's position in bytes";
    in->Close();
}

TEST_P(WaveInModes, TheBufferPartlyFilledAtTheStopGoesDownBeforeStopped)
{
    auto in = MakeWaveIn(GetParam());
    in->SetBufferSize(100);
    in->SetNumBuffers(4);
    in->Start();
    // Returned but perhaps not processed yet when the stop comes: they must
    // not be lost either.
    ASSERT_EQ(FDevice.DeliverFromThread(3), 3);
    FDevice.PartialBytes = 37;
    in->Stop();
    EXPECT_EQ(Stops, 1);
    EXPECT_EQ(in->State(), TMMWaveInState(wsOpened));
    EXPECT_EQ(Collector.SizesNow(), (std::vector<DWORD> { 100, 100, 100, 37 }))
        << "the full buffers and the partial one; the empty ones are dropped";
    EXPECT_TRUE(IsRunningSequence(Collector.Data));
    EXPECT_EQ(Collector.EventsNow().back(), "Stopped@337") << "the chain hears Stopped after the last data";
    EXPECT_EQ(in->QueuedCount(), 0);
    EXPECT_EQ(FDevice.Queued(), 0);

    // Started again, the same open device goes on.
    in->Start();
    ASSERT_TRUE(DeliverAll(FDevice, 2));
    ASSERT_TRUE(WaitUntil([&] { return Collector.BufferCount() == 6; }));
    FDevice.PartialBytes = 0;
    in->Close();
    EXPECT_TRUE(IsRunningSequence(Collector.Data));
    EXPECT_EQ(Closes, 1);
    EXPECT_EQ(Collector.EventsNow().back(), "Closed@537");
}

TEST_P(WaveInModes, AStopFromInsideTheChainCompletesOnceItsBufferIsDone)
{
    auto in = MakeWaveIn(GetParam());
    in->SetBufferSize(100);
    in->SetNumBuffers(4);
    int seen = 0;
    in->SetOnBufferReady([&](TObject*, PWaveHdr) {
        if (++seen == 3) {
            in->Stop();
            EXPECT_TRUE(in->StopPending()) << "it cannot wait for the buffer it is called from";
        }
    });
    in->Start();
    FDevice.PartialBytes = 10;
    ASSERT_EQ(FDevice.DeliverFromThread(3), 3);
    ASSERT_TRUE(WaitUntil([&] { return Stops == 1; }));
    EXPECT_FALSE(in->StopPending());
    EXPECT_EQ(in->State(), TMMWaveInState(wsOpened));
    EXPECT_EQ(Collector.SizesNow(), (std::vector<DWORD> { 100, 100, 100, 10 }));
    EXPECT_EQ(FDevice.Queued(), 0);
    EXPECT_EQ(in->QueuedCount(), 0);
    in->Close();
    EXPECT_EQ(Stops, 1);
}

TEST_P(WaveInModes, StopsAskedAgainAndLateDoNotStopTheNextRecording)
{
    auto in = MakeWaveIn(GetParam());
    in->SetBufferSize(100);
    in->SetNumBuffers(4);
    std::atomic<bool> stopEveryBuffer { true };
    in->SetOnBufferReady([&](TObject*, PWaveHdr) {
        if (!stopEveryBuffer)
            return;
        // Both buffers are reported before the first stop: from the worker
        // thread a stop resets the device at once, and a device reports the
        // partial buffer of a reset after the full ones before it.
        EXPECT_TRUE(FDevice.WaitReported(2));
        in->Stop();
    });
    in->Start();
    FDevice.PartialBytes = 10;
    ASSERT_EQ(FDevice.DeliverFromThread(2), 2);
    ASSERT_TRUE(WaitUntil([&] { return Stops == 1; }));
    EXPECT_EQ(Collector.SizesNow(), (std::vector<DWORD> { 100, 100, 10 }));
    stopEveryBuffer = false;
    FDevice.PartialBytes = 0;

    in->Start();
    PostMessage(in->WindowHandle(), MM_WAVEIN_STOP, reinterpret_cast<WPARAM>(in->DeviceHandle()), 0);
    ASSERT_TRUE(DeliverAll(FDevice, 6));
    ASSERT_TRUE(WaitUntil([&] { return Collector.BufferCount() == 9 && in->QueuedCount() == 4; }));
    EXPECT_EQ(Stops, 1) << "no stop request of the first recording reached the second";
    EXPECT_EQ(in->State(), TMMWaveInState(wsOpened | wsStarted));
    EXPECT_TRUE(IsRunningSequence(Collector.Data));
    in->Close();
}

TEST_P(WaveInModes, ACloseAskedWhileTheStopIsPendingIsDoneWithIt)
{
    auto in = MakeWaveIn(GetParam());
    in->SetBufferSize(100);
    in->SetNumBuffers(3);
    int seen = 0;
    in->SetOnBufferReady([&](TObject*, PWaveHdr) {
        if (++seen == 1) {
            in->Stop();
            in->Close();
            EXPECT_TRUE(in->ClosePending());
            EXPECT_EQ(in->State() & wsOpened, wsOpened);
        }
    });
    in->Start();
    ASSERT_EQ(FDevice.DeliverFromThread(1), 1);
    ASSERT_TRUE(WaitUntil([&] { return Closes == 1; }));
    EXPECT_EQ(Stops, 1);
    EXPECT_EQ(in->State(), TMMWaveInState(wsClosed));
    EXPECT_FALSE(FDevice.IsOpen);
}

TEST_P(WaveInModes, MaxRecordTimeCutsTheLastBufferAndStops)
{
    auto in = MakeWaveIn(GetParam());
    in->SetTimeFormat(tfMillisecond);
    in->SetMaxRecordTime(1000);
    in->Start();
    EXPECT_EQ(in->MaxRecordBytes(), 8000);
    ASSERT_EQ(FDevice.DeliverFromThread(4), 4);
    ASSERT_TRUE(WaitUntil([&] { return Stops == 1; }));
    EXPECT_EQ(Collector.SizesNow(), (std::vector<DWORD> { 2048, 2048, 2048, 1856 }));
    EXPECT_EQ(in->BytesRecorded(), 8000);
    EXPECT_EQ(in->State(), TMMWaveInState(wsOpened));
    EXPECT_EQ(in->Position(), 0) << "stopped: the device position starts again";
    in->Close();
}

TEST_P(WaveInModes, ThePositionCountsTheDeviceCounterAndItsWraps)
{
    auto in = MakeWaveIn(GetParam());
    in->SetTimeFormat(tfSample);
    in->SetBufferSize(100);
    in->SetNumBuffers(4);
    in->Start();
    FDevice.Position = 0x1FFF00;
    ASSERT_TRUE(DeliverAll(FDevice, 1));
    ASSERT_TRUE(WaitUntil([&] { return Collector.BufferCount() == 1 && in->QueuedCount() == 4; }));
    EXPECT_EQ(in->GetPosition64(), 0x1FFF64);
    FDevice.Position = 0x40;
    ASSERT_TRUE(DeliverAll(FDevice, 1));
    ASSERT_TRUE(WaitUntil([&] { return Collector.BufferCount() == 2 && in->QueuedCount() == 4; }));
    EXPECT_EQ(in->GetPosition64(), 0xA4 + 0x1FFFFF) << "one wrap of the device counter";
    FDevice.Position = 0x1000;
    ASSERT_TRUE(DeliverAll(FDevice, 1));
    ASSERT_TRUE(WaitUntil([&] { return Collector.BufferCount() == 3 && in->QueuedCount() == 4; }));
    EXPECT_EQ(in->GetPosition64(), 0x1064 + 0x1FFFFF) << "a small step forward is no wrap";
    in->SetMaxRecordTime(0x100);
    EXPECT_EQ(in->Position(), 0x100) << "the position stops at the limit";
    in->Close();
    EXPECT_EQ(in->Position(), 0);
}

TEST_P(WaveInModes, ADeviceThatCannotTakeBuffersAnyMoreIsClosedAndReported)
{
    auto in = MakeWaveIn(GetParam());
    in->SetBufferSize(100);
    in->SetNumBuffers(4);
    in->Start();
    FDevice.Fail = { { "add", MMSYSERR_NODRIVER } };
    FDevice.PartialBytes = 50;
    ASSERT_EQ(FDevice.DeliverFromThread(2), 2);
    ASSERT_TRUE(WaitUntil([&] { return Closes == 1; }));
    EXPECT_EQ(in->State(), TMMWaveInState(wsClosed));
    EXPECT_GE(Errors, 1);
    EXPECT_EQ(Stops, 1);
    ASSERT_EQ(Exceptions.size(), 1u);
    EXPECT_EQ(Exceptions[0], "WaveInAddBuffer:\n\rfake error 6");
    // What came back holding data went down: both full ones and the part
    // the stop returned.
    EXPECT_EQ(Collector.SizesNow(), (std::vector<DWORD> { 100, 100, 50 }));
    EXPECT_TRUE(IsRunningSequence(Collector.Data));
    EXPECT_FALSE(Collector.IsOpen());
    FDevice.Fail.clear();
}

TEST_P(WaveInModes, ManyStartsAndStopsLeaveNothingBehind)
{
    auto in = MakeWaveIn(GetParam());
    in->SetBufferSize(64);
    in->SetNumBuffers(3);
    FDevice.PartialBytes = 5;
    for (int i = 0; i < 200; ++i) {
        in->Start();
        ASSERT_EQ(FDevice.DeliverFromThread(i % 4), i % 4);
        if (i % 3 == 0)
            QCoreApplication::processEvents();
        if (i % 2 == 0)
            in->Stop();
        else
            in->Close();
    }
    EXPECT_EQ(Stops, 200);
    EXPECT_TRUE(IsRunningSequence(Collector.Data));
    in->Close();
    EXPECT_EQ(FDevice.Queued(), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, WaveInModes, testing::Values(cmWindow, cmThread),
    [](const testing::TestParamInfo<TMMCBMode>& info) {
        return info.param == cmWindow ? "Window" : "Thread";
    });

TEST_F(WaveInTest, AMemberFailingInTheWorkerDuringAStopDoesNotHoldTheStopUp)
{
    auto in = MakeWaveIn(cmThread);
    in->SetBufferSize(100);
    in->SetNumBuffers(4);
    in->SetOnBufferReady([](TObject*, PWaveHdr header) {
        if (header->dwBytesRecorded == 10)
            throw Exception("member failed");
    });
    in->Start();
    FDevice.PartialBytes = 10;
    QElapsedTimer timer;
    timer.start();
    in->Stop();
    // The stop gives up waiting only after a second; every buffer is back
    // long before that unless the failed one was never counted back.
    EXPECT_LT(timer.elapsed(), 500);
    EXPECT_EQ(Stops, 1);
    ASSERT_TRUE(WaitUntil([&] { return Closes == 1; })) << "the failure closes the device";
    ASSERT_EQ(Exceptions.size(), 1u);
    EXPECT_EQ(Exceptions[0], "member failed");
    const std::vector<std::string> events = Collector.EventsNow();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[2].substr(0, 8), "Stopped@");
    EXPECT_EQ(events[3].substr(0, 7), "Closed@");
}

TEST_F(WaveInTest, TheChainHearsStartedBeforeTheWorkerCanPassItABuffer)
{
    auto in = MakeWaveIn(cmThread);
    in->SetBufferSize(100);
    in->SetNumBuffers(4);
    bool arrived = false;
    FDevice.AfterStart = [&] {
        // The device returns its first buffer at once.
        EXPECT_EQ(FDevice.DeliverFromThread(1), 1);
        arrived = Collector.WaitBuffers(1);
    };
    in->Start();
    EXPECT_TRUE(arrived);
    EXPECT_EQ(Collector.EventsNow(), (std::vector<std::string> { "Opened@0", "Started@0" }));
    FDevice.AfterStart = nullptr;
    in->Close();
    EXPECT_EQ(Collector.SizesNow(), (std::vector<DWORD> { 100 }));
}

TEST_F(WaveInTest, AWorkerEndingLateLeavesTheCurrentOneAlone)
{
    auto in = MakeWaveIn(cmThread);
    in->SetBufferSize(100);
    in->SetNumBuffers(4);
    const int before = TMMDSPThread::DeviceThreadCount();
    // A worker of an earlier open that the wave input stopped waiting for.
    auto link = std::make_shared<TMMWaveInThreadLink>();
    auto* late = new TMMWaveInThread(in.get(), link);
    late->SetFreeOnTerminate(true);
    late->Resume();
    ASSERT_EQ(link->Signal.WaitFor(5000), wrSignaled);
    in->Start();
    link->Stop.SetEvent();
    ASSERT_EQ(link->Signal.WaitFor(5000), wrSignaled) << "the late worker has ended";
    ASSERT_TRUE(DeliverAll(FDevice, 6));
    ASSERT_TRUE(Collector.WaitBuffers(6));
    in->Close();
    EXPECT_TRUE(WaitUntil([&] { return TMMDSPThread::DeviceThreadCount() == before; }))
        << "Close ends the current worker";
}

TEST_F(WaveInTest, TheWorkerTakesThePriorityAndEndsWithTheDevice)
{
    auto in = MakeWaveIn(cmThread);
    const int before = TMMDSPThread::DeviceThreadCount();
    in->Open();
    EXPECT_EQ(TMMDSPThread::DeviceThreadCount(), before + 1);
    in->SetPriority(tpLower);
    EXPECT_EQ(in->Priority(), tpLower);
    in->Close();
    EXPECT_TRUE(WaitUntil([&] { return TMMDSPThread::DeviceThreadCount() == before; }));
}

} // namespace

#include "MMWavIn_test.moc"
