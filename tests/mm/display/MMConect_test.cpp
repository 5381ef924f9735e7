// The connector between a chain and its displays: slices paced to real time
// (never early, late by at most about a frame), GSM converted and spread
// over its play time, the display slots, the stop and pause behaviour, the
// passes of several connectors, the replay against the 1 ms loop, Trigger,
// and the stored form of the main window.
#include "mm/capture/MMACM.h"
#include "mm/capture/MMWRec.h"
#include "mm/display/MMConect.h"
#include "mm/display/MMLight.h"
#include "mm/display/MMMeter.h"
#include "mm/display/MMPacer.h"
#include "mm/format/MMWaveFormat.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/FormWriter.h"
#include "platform/ui/Forms.h"
#include "support/FormText.h"
#include "support/TestSource.h"
#include "support/TestSupport.h"
#include "support/WaveFormats.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

// ---------------------------------------------------------------------------
// A display that records what it is shown

struct TShownSlice {
    std::int64_t Shown = 0; // MicroTime inside ShowSlice
    std::int64_t Arrival = 0; // the connector's arrival time then
    int Offset = 0; // byte offset, read from the data (see StereoCounter)
    bool Silent = false; // all bytes zero
    std::thread::id Thread;
};

class TTestDisplay : public TComponent, public IMMDisplay {
    Q_OBJECT
    Q_INTERFACES(IMMDisplay)
public:
    explicit TTestDisplay(TComponent* owner = nullptr)
        : TComponent(owner)
    {
    }

    int StepSize() const override { return Step; }
    void AdoptFormat(const WAVEFORMATEX* format) override
    {
        std::lock_guard lock(Lock);
        Formats.push_back(*format);
    }
    void ResetDisplay() override { ++Resets; }
    void ShowSlice(const void* data) override
    {
        TShownSlice slice;
        slice.Shown = MicroTime();
        slice.Arrival = Connector != nullptr ? Connector->ArrivalTime() : 0;
        const auto* bytes = static_cast<const BYTE*>(data);
        slice.Silent = std::all_of(bytes, bytes + Step, [](BYTE b) { return b == 0; });
        std::int16_t first;
        std::memcpy(&first, data, sizeof first);
        slice.Offset = first * FrameBytes;
        slice.Thread = std::this_thread::get_id();
        std::lock_guard lock(Lock);
        Slices.push_back(slice);
        if (KeepData)
            Data.insert(Data.end(), bytes, bytes + Step);
    }

    std::vector<TShownSlice> Shown()
    {
        std::lock_guard lock(Lock);
        return Slices;
    }
    size_t Count()
    {
        std::lock_guard lock(Lock);
        return Slices.size();
    }
    void Clear()
    {
        std::lock_guard lock(Lock);
        Slices.clear();
        Data.clear();
    }

    int Step = 80;
    int FrameBytes = 4;
    bool KeepData = false;
    TMMConnector* Connector = nullptr;
    std::atomic<int> Resets { 0 };
    std::mutex Lock;
    std::vector<TShownSlice> Slices;
    std::vector<WAVEFORMATEX> Formats;
    std::vector<BYTE> Data;
};

// A component that is not a display.
class TNotADisplay : public TComponent {
    Q_OBJECT
public:
    using TComponent::TComponent;
};

namespace {

// Frame i of 16-bit stereo holds i on the left and -i on the right, so a
// slice tells where in the buffer it starts.
std::vector<BYTE> StereoCounter(int bytes)
{
    std::vector<BYTE> data(static_cast<size_t>(bytes));
    for (int frame = 0; frame * 4 < bytes; ++frame) {
        const std::int16_t left = static_cast<std::int16_t>(frame);
        const std::int16_t right = static_cast<std::int16_t>(-frame);
        std::memcpy(&data[static_cast<size_t>(frame) * 4], &left, 2);
        std::memcpy(&data[static_cast<size_t>(frame) * 4 + 2], &right, 2);
    }
    return data;
}

WAVEFORMATEX StereoPcm()
{
    WAVEFORMATEX format;
    BuildPCMFormat(&format, 16, 2, 48000);
    return format;
}

using tonvara::test::GsmFormat;
using tonvara::test::TTestSource;

// Handles events (the connector's loop among them) until Done or Seconds.
bool RunUntil(const std::function<bool()>& done, int seconds = 10)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > seconds * 1000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

std::int64_t Median(std::vector<std::int64_t> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Source -> connector, displays in Meter1 and Light1.
class Connector : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(TMMConnector::RegisteredCount(), 0);
        Source = std::make_unique<TTestSource>();
        Conn = std::make_unique<TMMConnector>(nullptr);
        Meter = std::make_unique<TTestDisplay>();
        Meter->Connector = Conn.get();
        Source->SetBufferSize(4096);
        const WAVEFORMATEX format = StereoPcm();
        Source->SetPWaveFormat(&format);
        Conn->SetInput(Source.get());
    }
    void TearDown() override
    {
        Conn.reset();
        Source.reset();
        Meter.reset();
        Light.reset();
        EXPECT_EQ(TMMConnector::RegisteredCount(), 0);
        EXPECT_EQ(TMMConnector::ConnectorWindow(), nullptr);
        EXPECT_EQ(MMTimerSubscriberCount(), 0);
    }
    void StartRunning()
    {
        Source->Start();
        ASSERT_TRUE(Conn->Active());
        ASSERT_TRUE(RunUntil([&] { return Conn->Running(); }));
    }
    TTestDisplay* MakeLight(int step)
    {
        Light = std::make_unique<TTestDisplay>();
        Light->Step = step;
        Light->Connector = Conn.get();
        return Light.get();
    }

    std::unique_ptr<TTestSource> Source;
    std::unique_ptr<TMMConnector> Conn;
    std::unique_ptr<TTestDisplay> Meter;
    std::unique_ptr<TTestDisplay> Light;
};

// The real compression manager for the GSM cases.
class ConnectorGsm : public Connector {
protected:
    void SetUp() override
    {
        const std::string module = tonvara::test::AcmModulePath().toStdString();
        ASSERT_TRUE(QFileInfo::exists(QString::fromStdString(module)))
            << module << " is missing: build the tonvara_acm target";
        setenv(kAcmModuleVariable, module.c_str(), 1);
        ReinitializeACM();
        ASSERT_TRUE(ACMUsable());
        Connector::SetUp();
        const GSM610WAVEFORMAT gsm = GsmFormat();
        Source->SetPWaveFormat(&gsm.wfx);
        Meter->Step = 64; // 32 samples of 16-bit mono
        Meter->FrameBytes = 2;
    }
    void TearDown() override
    {
        Connector::TearDown();
        unsetenv(kAcmModuleVariable);
        ReinitializeACM();
    }
    // 63 blocks of GSM 6.10 of a tone, made by the module's encoder.
    static std::vector<BYTE> GsmTone(double frequency)
    {
        WAVEFORMATEX pcm;
        BuildPCMFormat(&pcm, 16, 1, 8000);
        const GSM610WAVEFORMAT gsm = GsmFormat();
        auto encoder = ACMOpenChain(&pcm, &gsm.wfx, 640, true);
        EXPECT_NE(encoder, nullptr);
        std::vector<BYTE> out;
        std::vector<std::int16_t> block(320);
        for (int b = 0; encoder && b < 63; ++b) {
            for (int i = 0; i < 320; ++i)
                block[static_cast<size_t>(i)] = static_cast<std::int16_t>(
                    std::lround(10000 * std::sin(2 * std::numbers::pi * frequency * (b * 320 + i) / 8000)));
            const int n = encoder->Convert(block.data(), 640);
            out.insert(out.end(), encoder->OutputBuffer(), encoder->OutputBuffer() + std::max(n, 0));
        }
        return out;
    }
};

// ---------------------------------------------------------------------------

TEST_F(Connector, PcmSlicesComeInOrderAndNeverBeforeTheyAreDue)
{
    Conn->SetMeter1(Meter.get());
    ASSERT_FALSE(Meter->Formats.empty());
    EXPECT_EQ(Meter->Formats.back().nAvgBytesPerSec, 192000u);
    StartRunning();
    EXPECT_EQ(Conn->DisplayBufferSize(), 4096);

    for (int round = 0; round < 3; ++round) {
        Meter->Clear();
        Source->Deliver(StereoCounter(4096));
        // 4096 bytes give 51 whole slices of 80 bytes: 0, 80, ... 4000.
        ASSERT_TRUE(RunUntil([&] { return Meter->Count() >= 51; })) << Meter->Count();
        const std::vector<TShownSlice> shown = Meter->Shown();
        ASSERT_EQ(shown.size(), 51u);
        std::vector<std::int64_t> late;
        for (size_t k = 0; k < shown.size(); ++k) {
            const int offset = static_cast<int>(k) * 80;
            EXPECT_EQ(shown[k].Offset, offset);
            // Due p / 192000 s after the buffer arrived, never earlier.
            const std::int64_t due = std::int64_t { offset } * 1000000 / 192000;
            EXPECT_GE(shown[k].Shown - shown[k].Arrival, due) << "slice " << k;
            late.push_back(shown[k].Shown - shown[k].Arrival - due);
        }
        // Shown with the first frame after they fall due.
        EXPECT_LE(Median(late), TMMFramePacer::kFrameMs * 1000 + 15000) << "median lateness in microseconds";
        // The last slice is due 20.8 ms after arrival: the slices were spread.
        EXPECT_GE(shown.back().Shown - shown.back().Arrival, 20833);
    }
    // Nothing more comes from a used-up buffer.
    const size_t count = Meter->Count();
    QElapsedTimer timer;
    timer.start();
    RunUntil([&] { return timer.elapsed() > 30; });
    EXPECT_EQ(Meter->Count(), count);
}

TEST_F(Connector, BuffersFromAnotherThreadAreShownInTheGuiThread)
{
    Conn->SetMeter1(Meter.get());
    StartRunning();
    std::atomic<bool> finished { false };
    std::thread feeder([&] {
        // Buffers of 1024 bytes (5.3 ms), as fast as a device gives them.
        for (int i = 0; i < 40; ++i) {
            Source->Deliver(StereoCounter(1024));
            std::this_thread::sleep_for(std::chrono::microseconds(5333));
        }
        finished = true;
    });
    ASSERT_TRUE(RunUntil([&] { return finished.load(); }));
    feeder.join();
    ASSERT_TRUE(RunUntil([&] { return Meter->Count() > 0; }));
    for (const TShownSlice& slice : Meter->Shown()) {
        EXPECT_EQ(slice.Thread, std::this_thread::get_id());
        EXPECT_GE(slice.Shown - slice.Arrival, std::int64_t { slice.Offset } * 1000000 / 192000);
        EXPECT_LT(slice.Offset, 1024);
    }
}

TEST_F(ConnectorGsm, GsmIsConvertedAndSpreadOverItsPlayTime)
{
    Meter->KeepData = true;
    Conn->SetMeter1(Meter.get());
    ASSERT_FALSE(Meter->Formats.empty());
    const WAVEFORMATEX adopted = Meter->Formats.back();
    EXPECT_EQ(adopted.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(adopted.wBitsPerSample, 16);
    EXPECT_EQ(adopted.nChannels, 1);
    EXPECT_EQ(adopted.nSamplesPerSec, 8000u);
    StartRunning();
    EXPECT_EQ(Source->GetBufferSize(), 4095);

    const std::vector<BYTE> gsm = GsmTone(500.0);
    ASSERT_EQ(gsm.size(), 4095u);
    // Delivered from a thread of its own, as the mono recorder does.
    std::thread([&] { Source->Deliver(gsm); }).join();
    // 63 blocks of 320 samples: 40320 bytes of PCM, 630 slices of 64 bytes,
    // the last due 40256 / 16000 s = 2.516 s after arrival.
    ASSERT_TRUE(RunUntil([&] { return Meter->Count() >= 630; }, 20)) << Meter->Count();
    const std::vector<TShownSlice> shown = Meter->Shown();
    EXPECT_EQ(shown.size(), 630u);
    EXPECT_LE(shown.front().Shown - shown.front().Arrival, 500000);
    EXPECT_GE(shown.back().Shown - shown.back().Arrival, 2516000);
    for (size_t k = 0; k < shown.size(); ++k)
        EXPECT_GE(shown[k].Shown - shown[k].Arrival, std::int64_t(k) * 64 * 1000000 / 16000) << k;

    // The tone, at its frequency, past the codec's start-up.
    std::lock_guard lock(Meter->Lock);
    const auto* samples = reinterpret_cast<const std::int16_t*>(Meter->Data.data());
    const size_t count = Meter->Data.size() / 2;
    ASSERT_EQ(count, 20160u);
    int crossings = 0;
    size_t first = 0;
    size_t last = 0;
    long long energy = 0;
    for (size_t i = 641; i < count; ++i) {
        energy += std::abs(samples[i]);
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            first = crossings == 0 ? i : first;
            last = i;
            ++crossings;
        }
    }
    EXPECT_GT(energy / static_cast<long long>(count - 641), 2000);
    ASSERT_GT(crossings, 10);
    EXPECT_NEAR((crossings - 1) * 8000.0 / static_cast<double>(last - first), 500.0, 5.0);
}

TEST_F(ConnectorGsm, WithoutAutoConvertGsmReachesNoDisplay)
{
    Conn->SetAutoConvert(false);
    Conn->SetMeter1(Meter.get());
    EXPECT_TRUE(Meter->Formats.empty()) << "no format to adopt";
    Source->Start();
    EXPECT_FALSE(Conn->Active());
    EXPECT_EQ(Conn->DisplayBufferSize(), 0);
    Source->Deliver(GsmTone(500.0));
    QElapsedTimer timer;
    timer.start();
    RunUntil([&] { return timer.elapsed() > 100; });
    EXPECT_EQ(Meter->Count(), 0u);
    EXPECT_FALSE(Conn->Running());
    Source->Finish();
}

TEST_F(Connector, WithoutSynchronizeEveryPassShowsTheNextSliceOfEachKind)
{
    Conn->SetSynchronize(false);
    Conn->SetAutoTrigger(false);
    int passes = 0;
    Conn->SetOnTrigger([&](TObject* sender) {
        EXPECT_EQ(sender, Conn.get());
        ++passes;
    });
    Conn->SetMeter1(Meter.get());
    Conn->SetLight1(MakeLight(400));
    StartRunning();
    Source->Deliver(StereoCounter(4096));
    for (int k = 0; k < 60; ++k) {
        Conn->Trigger();
        // One slice of each kind per pass, until the buffer is used up.
        EXPECT_EQ(Meter->Count(), std::min<size_t>(k + 1, 51)) << "pass " << k;
        EXPECT_EQ(Light->Count(), std::min<size_t>(k + 1, 10)) << "pass " << k;
    }
    EXPECT_EQ(passes, 60);
    const std::vector<TShownSlice> light = Light->Shown();
    for (size_t k = 0; k < light.size(); ++k)
        EXPECT_EQ(light[k].Offset, static_cast<int>(k) * 400);
    // With AutoTrigger off the loop never shows anything by itself.
    Source->Deliver(StereoCounter(4096));
    QElapsedTimer timer;
    timer.start();
    RunUntil([&] { return timer.elapsed() > 50; });
    EXPECT_EQ(Meter->Count(), 51u);
}

TEST_F(Connector, TriggerFromAnotherThreadIsPostedOnce)
{
    Conn->SetSynchronize(false);
    Conn->SetAutoTrigger(false);
    std::atomic<int> passes { 0 };
    std::thread::id passThread;
    Conn->SetOnTrigger([&](TObject*) {
        passThread = std::this_thread::get_id();
        ++passes;
    });
    Conn->SetMeter1(Meter.get());
    StartRunning();
    Source->Deliver(StereoCounter(4096));
    std::thread([&] {
        Conn->Trigger();
        Conn->Trigger(); // one is pending: not posted again
    }).join();
    EXPECT_EQ(passes.load(), 0) << "the other thread never runs a pass itself";
    ASSERT_TRUE(RunUntil([&] { return passes.load() == 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(passes.load(), 1);
    EXPECT_EQ(passThread, std::this_thread::get_id());
    EXPECT_EQ(Meter->Count(), 1u);
    // Once handled, the next trigger from a thread goes through again.
    std::thread([&] { Conn->Trigger(); }).join();
    ASSERT_TRUE(RunUntil([&] { return passes.load() == 2; }));
    EXPECT_EQ(Meter->Count(), 2u);
}

TEST_F(Connector, WithoutRealTimeThePassRunsInTheDeliveringThread)
{
    Conn->SetRealTime(false);
    Conn->SetSynchronize(false);
    Conn->SetMeter1(Meter.get());
    Source->Start();
    EXPECT_TRUE(Conn->Active());
    std::thread::id feeder;
    std::thread([&] {
        feeder = std::this_thread::get_id();
        Source->Deliver(StereoCounter(4096));
    }).join();
    EXPECT_FALSE(Conn->Running()) << "no loop without RealTime";
    const std::vector<TShownSlice> shown = Meter->Shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].Thread, feeder);
    EXPECT_EQ(shown[0].Offset, 0);
}

TEST_F(Connector, StopsAndEnabledResetTheDisplays)
{
    Conn->SetMeter1(Meter.get());
    Conn->SetLight2(MakeLight(400));
    StartRunning();
    Source->Finish();
    EXPECT_FALSE(Conn->Active());
    EXPECT_FALSE(Conn->Running());
    EXPECT_EQ(Meter->Resets.load(), 1) << "RefreshOnStop";
    EXPECT_EQ(Light->Resets.load(), 1);

    Conn->SetRefreshOnStop(false);
    StartRunning();
    Source->Finish();
    EXPECT_EQ(Meter->Resets.load(), 1) << "the last picture stays";

    StartRunning();
    Conn->SetEnabled(false);
    EXPECT_EQ(Meter->Resets.load(), 2) << "Enabled off resets at once";
    EXPECT_EQ(Light->Resets.load(), 2);
    EXPECT_FALSE(Conn->Running());
    Source->Deliver(StereoCounter(4096));
    QElapsedTimer timer;
    timer.start();
    RunUntil([&] { return timer.elapsed() > 50; });
    EXPECT_EQ(Meter->Count(), 0u);
    // On again while active: the loop serves it again.
    Conn->SetEnabled(true);
    ASSERT_TRUE(RunUntil([&] { return Conn->Running(); }));
    Source->Deliver(StereoCounter(4096));
    ASSERT_TRUE(RunUntil([&] { return Meter->Count() == 51; }));
    Source->Finish();
}

TEST_F(Connector, SlotsTakeDisplaysOnly)
{
    Conn->SetMeter1(Conn.get());
    EXPECT_EQ(Conn->Meter1(), nullptr) << "the connector itself is ignored";
    TNotADisplay other(nullptr);
    other.SetName(QStringLiteral("Sw"));
    try {
        Conn->SetLight1(&other);
        ADD_FAILURE() << "no exception";
    } catch (const EMMConnectorError& e) {
        EXPECT_EQ(e.Message(),
            QStringLiteral("Sw (TNotADisplay) is not a display and cannot be attached as Light1"));
    }
    EXPECT_EQ(Conn->Light1(), nullptr);

    Conn->SetMeter1(Meter.get());
    const size_t formats = Meter->Formats.size();
    Conn->SetMeter2(Meter.get());
    EXPECT_EQ(Conn->Meter2(), nullptr) << "already Meter1";
    Conn->SetMeter1(Meter.get());
    EXPECT_EQ(Meter->Formats.size(), formats) << "the same display again changes nothing";

    // Removal clears the slot.
    auto second = std::make_unique<TTestDisplay>();
    Conn->SetLight2(second.get());
    EXPECT_EQ(Conn->Light2(), second.get());
    second.reset();
    EXPECT_EQ(Conn->Light2(), nullptr);
    Meter.reset();
    EXPECT_EQ(Conn->Meter1(), nullptr);
}

TEST_F(Connector, MetersOfDifferentStepsGetTheLargerStepAtTheSamePositions)
{
    auto meter2 = std::make_unique<TTestDisplay>();
    meter2->Step = 160;
    Conn->SetMeter1(Meter.get());
    Conn->SetMeter2(meter2.get());
    StartRunning();
    Source->Deliver(StereoCounter(4096));
    // 160-byte slices: 0 .. 3840, 25 of them.
    ASSERT_TRUE(RunUntil([&] { return meter2->Count() >= 25; }));
    ASSERT_TRUE(RunUntil([&] { return Meter->Count() >= 25; }));
    const auto one = Meter->Shown();
    const auto two = meter2->Shown();
    ASSERT_EQ(one.size(), 25u);
    ASSERT_EQ(two.size(), 25u);
    for (size_t k = 0; k < one.size(); ++k) {
        EXPECT_EQ(one[k].Offset, static_cast<int>(k) * 160);
        EXPECT_EQ(two[k].Offset, one[k].Offset);
    }
    Conn.reset(); // before meter2 goes
}

TEST_F(Connector, PropertiesKeepTheirRanges)
{
    EXPECT_EQ(Conn->Speed(), 5000);
    Conn->SetSpeed(0);
    EXPECT_EQ(Conn->Speed(), 1);
    Conn->SetSpeed(6000);
    EXPECT_EQ(Conn->Speed(), 5000);
    Conn->SetSpeed(-7);
    EXPECT_EQ(Conn->Speed(), 1);
    Conn->SetSpeed(4990);
    EXPECT_EQ(Conn->Speed(), 4990);

    // RealTime may change only while the chain is closed.
    Conn->SetRealTime(false);
    EXPECT_FALSE(Conn->RealTime());
    Source->Opened();
    try {
        Conn->SetRealTime(true);
        ADD_FAILURE() << "no exception";
    } catch (const EMMConnectorError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Change to property while device was open"));
    }
    EXPECT_FALSE(Conn->RealTime());
    Conn->SetRealTime(false); // unchanged: no error
    Source->Closed();
    Conn->SetRealTime(true);
    EXPECT_TRUE(Conn->RealTime());

    EXPECT_FALSE(Conn->EnterIdle());
    TMMConnector other(nullptr);
    other.SetEnterIdle(true);
    EXPECT_TRUE(Conn->EnterIdle()) << "one setting for all connectors";
    other.SetEnterIdle(false);
}

TEST_F(Connector, DestroyingOneOfTwoConnectorsKeepsTheOtherRunning)
{
    auto source2 = std::make_unique<TTestSource>();
    source2->SetBufferSize(4096);
    const WAVEFORMATEX format = StereoPcm();
    source2->SetPWaveFormat(&format);
    auto conn2 = std::make_unique<TMMConnector>(nullptr);
    auto meter2 = std::make_unique<TTestDisplay>();
    meter2->Connector = conn2.get();
    conn2->SetInput(source2.get());
    conn2->SetMeter1(meter2.get());
    Conn->SetMeter1(Meter.get());
    EXPECT_EQ(TMMConnector::RegisteredCount(), 2);
    const HWND window = TMMConnector::ConnectorWindow();

    // The second one starts, and is destroyed before its start message is
    // handled: the message must not reach it, and the first one's must.
    source2->Start();
    Source->Start();
    conn2.reset();
    EXPECT_EQ(TMMConnector::RegisteredCount(), 1);
    EXPECT_EQ(TMMConnector::ConnectorWindow(), window);
    ASSERT_TRUE(RunUntil([&] { return Conn->Running(); }));
    Source->Deliver(StereoCounter(4096));
    ASSERT_TRUE(RunUntil([&] { return Meter->Count() == 51; }));

    // The same when both run already.
    auto conn3 = std::make_unique<TMMConnector>(nullptr);
    auto source3 = std::make_unique<TTestSource>();
    source3->SetPWaveFormat(&format);
    conn3->SetInput(source3.get());
    conn3->SetMeter1(meter2.get());
    source3->Start();
    ASSERT_TRUE(RunUntil([&] { return conn3->Running(); }));
    conn3.reset();
    Meter->Clear();
    Source->Deliver(StereoCounter(4096));
    ASSERT_TRUE(RunUntil([&] { return Meter->Count() == 51; }));
    Source->Finish();
}

TEST_F(Connector, PauseShowsSilenceThroughTheTickService)
{
    Conn->SetMeter1(Meter.get());
    StartRunning();
    Source->Deliver(StereoCounter(4096));
    ASSERT_TRUE(RunUntil([&] { return Meter->Count() == 51; }));
    EXPECT_FALSE(Meter->Shown()[1].Silent);

    Source->Paused();
    EXPECT_TRUE(Conn->IsPaused());
    EXPECT_NE(Conn->PauseTickId(), 0u);
    EXPECT_EQ(MMTimerSubscriberCount(), 1);
    // Deliveries while paused are not taken.
    Source->Deliver(StereoCounter(4096));
    Meter->Clear();
    // The tick shows the silent buffer again, more than once.
    ASSERT_TRUE(RunUntil([&] { return Meter->Count() >= 2 * 51; }));
    for (const TShownSlice& slice : Meter->Shown())
        EXPECT_TRUE(slice.Silent);

    Source->Restarted();
    EXPECT_FALSE(Conn->IsPaused());
    EXPECT_EQ(Conn->PauseTickId(), 0u);
    EXPECT_EQ(MMTimerSubscriberCount(), 0);
    Meter->Clear();
    Source->Deliver(StereoCounter(4096));
    ASSERT_TRUE(RunUntil([&] { return Meter->Count() == 51; }));
    EXPECT_FALSE(Meter->Shown()[1].Silent);

    // Stopping while paused ends the subscription too.
    Source->Paused();
    EXPECT_EQ(MMTimerSubscriberCount(), 1);
    Source->Finish();
    EXPECT_EQ(MMTimerSubscriberCount(), 0);
    EXPECT_FALSE(Conn->IsPaused());
}

// ---------------------------------------------------------------------------
// The frames' replay against the 1 ms loop, on a simulated clock: the same
// buffers at the same arrival times give the same slices in the same order,
// and the same needles and lamps after every frame.

std::atomic<std::int64_t> gSimulated { 0 };
std::atomic<bool> gClockReadElsewhere { false };
std::thread::id gTestThread;

std::int64_t SimulatedClock()
{
    // A pause tick of the real tick service would read it on its thread.
    if (std::this_thread::get_id() != gTestThread)
        gClockReadElsewhere = true;
    return gSimulated.load();
}

struct TSliceRecord {
    int Display = 0;
    std::int64_t Arrival = 0; // which buffer
    std::uint64_t Hash = 0; // which slice of it
    bool operator==(const TSliceRecord&) const = default;
};

// After a frame: the slices shown so far, the two needles, the three lamps.
using TFrameRecord = std::array<std::int64_t, 6>;

// A real meter or light organ that notes each slice it is shown.
template <class TDisplay> class TLogged : public TDisplay {
public:
    TLogged(TComponent* owner, int id, TMMConnector* connector, std::vector<TSliceRecord>* log)
        : TDisplay(owner)
        , FId(id)
        , FConnector(connector)
        , FLog(log)
    {
    }
    void ShowSlice(const void* data) override
    {
        std::uint64_t hash = 14695981039346656037ull;
        const auto* bytes = static_cast<const BYTE*>(data);
        for (int i = 0; i < this->StepSize(); ++i)
            hash = (hash ^ bytes[i]) * 1099511628211ull;
        FLog->push_back({ FId, FConnector->ArrivalTime(), hash });
        TDisplay::ShowSlice(data);
    }

private:
    int FId;
    TMMConnector* FConnector;
    std::vector<TSliceRecord>* FLog;
};

enum TEventKind { evDeliver, evPause, evTick, evRestart, evFrame };
struct TEvent {
    std::int64_t Time = 0; // microseconds
    TEventKind Kind = evFrame;
};

struct TRun {
    std::vector<TSliceRecord> Slices;
    std::vector<TFrameRecord> Frames;
    int Replays = 0; // frames that ran a replay
};

class ConnectorOracle : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv(kAcmModuleVariable, tonvara::test::AcmModulePath().toStdString().c_str(), 1);
        ReinitializeACM();
        gTestThread = std::this_thread::get_id();
    }
    void TearDown() override
    {
        TMMConnector::SetClock(nullptr);
        unsetenv(kAcmModuleVariable);
        ReinitializeACM();
    }

    // Buffer B of the stream: a tone whose loudness and pitch change from
    // buffer to buffer (GSM: encoded by the module).
    std::vector<BYTE> Buffer(bool gsm, int b)
    {
        const double amplitude = 3000.0 + 2500.0 * (b % 5);
        if (!gsm) {
            std::vector<BYTE> data(4096);
            for (int frame = 0; frame < 1024; ++frame) {
                const double t = (b * 1024 + frame) / 48000.0;
                const auto left
                    = std::int16_t(std::lround(amplitude * std::sin(2 * std::numbers::pi * 700 * t)));
                const auto right
                    = std::int16_t(std::lround(0.5 * amplitude * std::sin(2 * std::numbers::pi * 1500 * t)));
                std::memcpy(&data[size_t(frame) * 4], &left, 2);
                std::memcpy(&data[size_t(frame) * 4 + 2], &right, 2);
            }
            return data;
        }
        std::vector<BYTE> out;
        std::vector<std::int16_t> block(320);
        for (int k = 0; k < 10; ++k) {
            for (int i = 0; i < 320; ++i)
                block[size_t(i)] = std::int16_t(std::lround(amplitude
                    * std::sin(2 * std::numbers::pi * (400 + 100 * b) * ((b * 10 + k) * 320 + i) / 8000)));
            const int n = FEncoder->Convert(block.data(), 640);
            out.insert(out.end(), FEncoder->OutputBuffer(), FEncoder->OutputBuffer() + std::max(n, 0));
        }
        return out;
    }

    // The events in time order, through the 1 ms loop (a connector with an
    // OnTrigger handler, one pass per simulated millisecond) or the replay.
    TRun Run(bool replay, bool gsm, const std::vector<TEvent>& events)
    {
        TRun run;
        gSimulated = 0;
        TMMConnector::SetClock(SimulatedClock);
        WAVEFORMATEX pcm;
        BuildPCMFormat(&pcm, 16, 1, 8000);
        const GSM610WAVEFORMAT gsmFormat = GsmFormat();
        FEncoder = ACMOpenChain(&pcm, &gsmFormat.wfx, 640, true);
        TForm form(nullptr);
        form.SetBounds(0, 0, 600, 300);
        TTestSource source;
        source.SetBufferSize(gsm ? 650 : 4096);
        const WAVEFORMATEX stereo = StereoPcm();
        source.SetPWaveFormat(gsm ? &gsmFormat.wfx : &stereo);
        TMMConnector connector(nullptr);
        int passes = 0;
        if (!replay)
            connector.SetOnTrigger([&](TObject*) { ++passes; });
        auto* meter1 = new TLogged<TMMMeter>(&form, 1, &connector, &run.Slices);
        auto* meter2 = new TLogged<TMMMeter>(&form, 2, &connector, &run.Slices);
        auto* light = new TLogged<TMMLight>(&form, 3, &connector, &run.Slices);
        int left = 10;
        for (TMMCustomMeter* meter :
            { static_cast<TMMCustomMeter*>(meter1), static_cast<TMMCustomMeter*>(meter2) }) {
            meter->SetParent(&form);
            meter->SetBounds(left, 10, 151, 65);
            meter->SetShowPeak(false);
            left += 160;
        }
        meter1->SetChannel(chLeft);
        meter2->SetChannel(chRight);
        light->SetParent(&form);
        light->SetBounds(330, 10, 249, 169);
        connector.SetInput(&source);
        connector.SetMeter1(meter1);
        connector.SetMeter2(meter2);
        connector.SetLight1(light);
        form.Show();
        source.Start();
        EXPECT_TRUE(RunUntil([&] { return connector.Running() && connector.WantsLoop(); }));

        int buffer = 0;
        auto apply = [&](const TEvent& event) {
            gSimulated = event.Time;
            switch (event.Kind) {
            case evDeliver:
                source.Deliver(Buffer(gsm, buffer++));
                break;
            case evPause:
                source.Paused();
                // Its ticks come from the events, on the simulated clock.
                MMTimerSuspend(connector.PauseTickId());
                break;
            case evTick:
                connector.PauseTick();
                break;
            case evRestart:
                source.Restarted();
                break;
            case evFrame:
                if (replay && TMMFramePacer::DrawFrameNow())
                    ++run.Replays;
                run.Frames.push_back(
                    { std::int64_t(run.Slices.size()), meter1->NeedleValue(), meter2->NeedleValue(),
                        light->Brightness(0), light->Brightness(1), light->Brightness(2) });
                break;
            }
        };
        if (replay) {
            for (const TEvent& event : events)
                apply(event);
        } else {
            // A pass at every whole millisecond, after what came by then; a
            // frame sees the passes up to its time.
            size_t next = 0;
            for (std::int64_t instant = 0; next < events.size(); instant += 1000) {
                while (next < events.size() && events[next].Time <= instant && events[next].Kind != evFrame)
                    apply(events[next++]);
                gSimulated = instant;
                const int before = passes;
                EXPECT_TRUE(RunUntil([&] { return passes > before; }));
                while (next < events.size() && events[next].Time < instant + 1000
                    && events[next].Kind == evFrame)
                    apply(events[next++]);
            }
        }
        source.Finish();
        connector.SetInput(nullptr);
        FEncoder.reset();
        return run;
    }

    std::unique_ptr<TMMACMChain> FEncoder;
};

TEST_F(ConnectorOracle, TheReplayShowsWhatALoopEveryMillisecondShows)
{
    struct TCase {
        const char* Name;
        bool Gsm;
        std::int64_t FrameUs; // a frame every this many microseconds
        std::int64_t EndUs;
        std::vector<std::pair<std::int64_t, TEventKind>> Events;
    };
    // Stereo buffers play 21.3 ms, GSM ones 400 ms. Buffers arrive between
    // two frames, two within one frame, one before its predecessor is used
    // up, and across a pause with its ticks.
    const TCase cases[] = {
        { "stereo PCM", false, 16667, 215000,
            { { 300, evDeliver }, { 19700, evDeliver }, { 27500, evDeliver }, { 29100, evDeliver },
                { 49000, evDeliver }, { 60400, evPause }, { 85200, evTick }, { 110900, evTick },
                { 130500, evRestart }, { 131000, evDeliver }, { 152600, evDeliver },
                { 172000, evDeliver } } },
        { "mono GSM", true, 16667, 900000,
            { { 300, evDeliver }, { 250000, evDeliver }, { 262000, evDeliver }, { 268000, evDeliver },
                { 500000, evPause }, { 530200, evTick }, { 560700, evTick }, { 600400, evRestart },
                { 601000, evDeliver } } },
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<TEvent> events;
        for (const auto& [time, kind] : c.Events)
            events.push_back({ time, kind });
        for (std::int64_t t = 5000; t < c.EndUs; t += c.FrameUs)
            events.push_back({ t, evFrame });
        std::stable_sort(
            events.begin(), events.end(), [](const TEvent& a, const TEvent& b) { return a.Time < b.Time; });
        // A pause tick of the real tick service before the test held it
        // would make the runs differ: run again then.
        TRun loop, replay;
        for (int attempt = 0; attempt < 3; ++attempt) {
            gClockReadElsewhere = false;
            loop = Run(false, c.Gsm, events);
            replay = Run(true, c.Gsm, events);
            if (!gClockReadElsewhere)
                break;
        }
        ASSERT_FALSE(gClockReadElsewhere);
        ASSERT_GT(loop.Slices.size(), 100u);
        EXPECT_GT(replay.Replays, 5);
        ASSERT_EQ(replay.Slices.size(), loop.Slices.size());
        for (size_t k = 0; k < loop.Slices.size(); ++k)
            ASSERT_EQ(replay.Slices[k], loop.Slices[k]) << "slice " << k;
        ASSERT_EQ(replay.Frames.size(), loop.Frames.size());
        for (size_t f = 0; f < loop.Frames.size(); ++f)
            EXPECT_EQ(replay.Frames[f], loop.Frames[f]) << "frame " << f;
    }
}

// ---------------------------------------------------------------------------
// The main window's stored connector

class StoredConnector : public ::testing::Test { };

TEST_F(StoredConnector, ReadsTheMainWindowsConnector)
{
    RegisterClass<TForm>();
    RegisterClass<TTestDisplay>();
    const QByteArray text = "object Form1: TForm\n"
                            "  object MonoDosya: TMMWaveRecorder\n"
                            "  end\n"
                            "  object Meter1: TTestDisplay\n"
                            "  end\n"
                            "  object MMLight2: TTestDisplay\n"
                            "  end\n"
                            "  object Connector: TMMConnector\n"
                            "    EnterIdle = False\n"
                            "    Input = MonoDosya\n"
                            "    Meter1 = Meter1\n"
                            "    Light1 = MMLight2\n"
                            "  end\n"
                            "end\n";
    {
        TForm form(nullptr);
        tonvara::test::ReadFormText(text, &form, "anaform.form");
        auto* connector = form.FindComponent<TMMConnector>("Connector");
        ASSERT_NE(connector, nullptr);
        auto* recorder = form.FindComponent<TMMWaveRecorder>("MonoDosya");
        EXPECT_EQ(connector->GetInput(), recorder);
        EXPECT_EQ(recorder->GetOutput(), connector);
        EXPECT_EQ(connector->Meter1(), form.FindComponent("Meter1"));
        EXPECT_EQ(connector->Light1(), form.FindComponent("MMLight2"));
        EXPECT_EQ(connector->Meter2(), nullptr);
        EXPECT_FALSE(connector->EnterIdle());
        EXPECT_TRUE(connector->Enabled());
        EXPECT_EQ(connector->Speed(), 5000);
        // The recorder's format reached the displays.
        auto* meter = form.FindComponent<TTestDisplay>("Meter1");
        ASSERT_FALSE(meter->Formats.empty());
        EXPECT_EQ(meter->Formats.back().wFormatTag, WAVE_FORMAT_PCM);

        // Written back: EnterIdle is always stored, defaults are not.
        const QByteArray written = ComponentToText(&form);
        EXPECT_TRUE(written.contains("object Connector: TMMConnector")) << written.constData();
        EXPECT_TRUE(written.contains("EnterIdle = False"));
        EXPECT_TRUE(written.contains("Meter1 = Meter1"));
        EXPECT_TRUE(written.contains("Light1 = MMLight2"));
        EXPECT_FALSE(written.contains("Speed"));
    }
    EXPECT_EQ(TMMConnector::RegisteredCount(), 0);

    // A slot refuses what is not a display, as a read error.
    RegisterClass<TNotADisplay>();
    const QByteArray wrong = "object Form1: TForm\n"
                             "  object Sw: TNotADisplay\n"
                             "  end\n"
                             "  object Connector: TMMConnector\n"
                             "    Meter1 = Sw\n"
                             "  end\n"
                             "end\n";
    TForm form(nullptr);
    QBuffer buffer;
    buffer.setData(wrong);
    buffer.open(QIODevice::ReadOnly);
    try {
        ReadComponent(buffer, &form, "wrong.form");
        ADD_FAILURE() << "no exception";
    } catch (const EReadError& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("is not a display"))) << e.what();
    }
}

} // namespace

#include "MMConect_test.moc"
