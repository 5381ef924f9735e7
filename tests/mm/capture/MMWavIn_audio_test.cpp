// The wave input on the platform's devices, against a real PulseAudio
// server: the counter signal arrives frame by frame in both callback modes,
// stops and restarts join without a missing or doubled frame, the recording
// limit is exact, hundreds of starts and stops end, and a server that dies
// closes the device with a report.
#include "MMWRecAudioSupport.h"
#include "mm/capture/MMWavIn.h"
#include "platform/ui/Application.h"
#include "support/WaveInEvents.h"

#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

using namespace recorder_test;

class WaveInAudio : public testing::TestWithParam<TMMCBMode>, protected tonvara::test::TWaveInEvents {
protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr)
            << "the audio tests need the server scripts/test starts";
        CatchExceptions();
    }
    void TearDown() override { ReleaseExceptions(); }

    /// 48 kHz stereo 16-bit through the mapper, as the stereo recorder
    /// records, into a collector.
    std::unique_ptr<TMMWaveIn> MakeStereo(TMMCBMode mode)
    {
        auto in = std::make_unique<TMMWaveIn>(nullptr);
        in->SetDeviceID(MapperId);
        in->SetCallBackMode(mode);
        in->SetBufferSize(4096);
        in->SetNumBuffers(20);
        in->SetMode(mStereo);
        in->SetBitLength(b16Bit);
        in->SetSampleRate(48000);
        in->SetOutput(&Collector);
        Watch(*in);
        return in;
    }

    TCollector Collector;
};

TEST_P(WaveInAudio, ACounterSignalArrivesFrameByFrame)
{
    auto in = MakeStereo(GetParam());
    TCounterPlayer player(10);
    in->Start();
    player.Start();
    ASSERT_TRUE(player.WaitFinished(40000));
    // What the sink still plays out after pacat has ended.
    const std::size_t now = Collector.Buffers();
    ASSERT_TRUE(WaitUntil([&] { return Collector.Buffers() >= now + 30; }));
    in->Close();
    EXPECT_EQ(Stops, 1);
    EXPECT_EQ(Closes, 1);
    for (DWORD size : Collector.Sizes())
        EXPECT_EQ(size % 4, 0u);
    ExpectWholeCounter(AnalyseCounter(Collector.Data()), player.Frames());
}

TEST_P(WaveInAudio, TwentyStopsAndStartsJoinWithoutAMissingOrDoubledFrame)
{
    auto in = MakeStereo(GetParam());
    TCounterPlayer player(16);
    player.Start();
    std::vector<unsigned char> joined;
    for (int cycle = 0; cycle <= 20; ++cycle) {
        in->Start();
        ASSERT_TRUE(WaitUntil([&] { return Collector.Buffers() >= 25; })) << "cycle " << cycle;
        // As at an hour change: the recording stops, the device closes and
        // opens again at once.
        in->Stop();
        in->Close();
        const std::vector<unsigned char> part = Collector.TakeData();
        joined.insert(joined.end(), part.begin(), part.end());
    }
    ASSERT_TRUE(player.WaitFinished(40000));
    EXPECT_EQ(Stops, 21);
    const TCounterRun run = AnalyseCounter(joined);
    EXPECT_GT(run.Length, static_cast<std::size_t>(8 * 48000))
        << "21 cycles of half a second hold most of the signal";
    EXPECT_EQ(run.Breaks, 0u) << run.FirstBreak;
}

TEST_P(WaveInAudio, MaxRecordTimeStopsAfterExactlyItsBytes)
{
    auto in = MakeStereo(GetParam());
    in->SetMode(mMono);
    in->SetBitLength(b8Bit);
    in->SetSampleRate(8000);
    in->SetBufferSize(2048);
    in->SetTimeFormat(tfMillisecond);
    in->SetMaxRecordTime(1000);
    in->Start();
    ASSERT_TRUE(WaitUntil([&] { return Stops == 1; }));
    const std::vector<DWORD> sizes = Collector.Sizes();
    EXPECT_EQ(sizes, (std::vector<DWORD> { 2048, 2048, 2048, 1856 })) << "the last buffer is cut to fit";
    EXPECT_EQ(Collector.Data().size(), 8000u);
    EXPECT_EQ(in->BytesRecorded(), 8000);
    EXPECT_EQ(in->State(), TMMWaveInState(wsOpened));
    in->Start();
    ASSERT_TRUE(WaitUntil([&] { return Stops == 2; }));
    EXPECT_EQ(Collector.Data().size(), 16000u) << "a new start records the limit again";
    in->Close();
}

TEST_P(WaveInAudio, TwoHundredStartsAndStopsEndEveryTime)
{
    auto in = MakeStereo(GetParam());
    in->SetNumBuffers(4);
    std::atomic<bool> stopInside { false };
    in->SetOnBufferReady([&](TObject*, PWaveHdr) {
        if (stopInside)
            in->Stop();
    });
    for (int cycle = 0; cycle < 200; ++cycle) {
        stopInside = cycle % 4 == 1;
        const std::size_t before = Collector.Buffers();
        in->Start();
        ASSERT_TRUE(WaitUntil([&] { return Collector.Buffers() > before; }))
            << "cycle " << cycle << ": state " << in->State().toInt() << ", queued " << in->QueuedCount()
            << ", stop pending " << in->StopPending() << ", position " << in->Position();
        if (stopInside) {
            // Deferred: it completes once the buffer it came from is done.
            ASSERT_TRUE(WaitUntil([&] { return Stops == cycle + 1; }))
                << "cycle " << cycle << ": stop pending " << in->StopPending() << ", queued "
                << in->QueuedCount() << ", state " << in->State().toInt();
            stopInside = false;
        } else {
            in->Stop();
        }
        ASSERT_EQ(Stops, cycle + 1);
        EXPECT_FALSE(in->State() & wsStarted);
        if (cycle % 3 == 2)
            in->Close();
    }
    in->Close();
    EXPECT_EQ(in->State(), TMMWaveInState(wsClosed));
    EXPECT_TRUE(Exceptions.empty());
}

TEST_P(WaveInAudio, AServerThatDiesClosesTheDeviceWithAReport)
{
    TPrivateServer server;
    ASSERT_GT(server.FPid, 0) << "the private server did not start";
    TServerOverride useIt(server.FServer);
    auto in = MakeStereo(GetParam());
    // A rate no test before uses: a capture of the shared server that an
    // earlier test parked for a gapless reopen must not be continued.
    in->SetSampleRate(44100);
    in->Start();
    ASSERT_TRUE(WaitUntil([&] { return Collector.Buffers() >= 20; }));
    server.Kill();
    ASSERT_TRUE(WaitUntil([&] { return Closes == 1; }, 20000))
        << "the device was not closed: errors " << Errors << ", stops " << Stops << ", reports "
        << Exceptions.size() << ", state " << in->State().toInt() << ", queued " << in->QueuedCount()
        << ", buffers " << Collector.Buffers();
    EXPECT_EQ(in->State(), TMMWaveInState(wsClosed));
    EXPECT_EQ(Stops, 1);
    EXPECT_GE(Errors, 1);
    ASSERT_EQ(Exceptions.size(), 1u);
    EXPECT_TRUE(Exceptions[0].startsWith("WaveInAddBuffer:\n\r")) << Exceptions[0].toStdString();
    EXPECT_FALSE(Collector.IsOpen()) << "the chain heard Closed";
    for (DWORD size : Collector.Sizes())
        EXPECT_EQ(size % 4, 0u);
}

TEST_P(WaveInAudio, TheFailuresThatCanBeProvokedHereReadAsDocumented)
{
    {
        TServerOverride noServer(MissingServer());
        auto none = MakeStereo(GetParam());
        EXPECT_EQ(none->NumDevs(), 0);
        none->SetDeviceID(MapperId);
        ExpectError([&] { none->Start(); }, "No wave audio recording device found");
        EXPECT_EQ(none->State(), TMMWaveInState(wsClosed));
    }

    auto in = MakeStereo(GetParam());
    in->SetDeviceID(TMMDeviceId(99));
    ExpectError([&] { in->Start(); }, "Invalid DeviceID");
    in->SetDeviceID(MapperId);

    WAVEFORMATEX mulaw = PcmFormat(8000, 8, 1);
    mulaw.wFormatTag = WAVE_FORMAT_MULAW;
    in->SetPWaveFormat(&mulaw);
    ExpectError([&] { in->Start(); }, "WaveInOpen:\n\rThe actual device can''t record this format");
    EXPECT_EQ(in->State(), TMMWaveInState(wsClosed));
    EXPECT_EQ(in->DeviceHandle(), nullptr);

    // The layout properties did not change with the compressed format, so
    // the PCM format is given back as a whole.
    const WAVEFORMATEX stereo = PcmFormat(48000, 16, 2);
    in->SetPWaveFormat(&stereo);
    in->Start();
    ExpectError([&] { in->SetMode(mMono); }, "Change to property while device was open");
    ExpectError([&] { in->SetNumBuffers(8); }, "Change to property while device was open");
    const std::size_t before = Collector.Buffers();
    ASSERT_TRUE(WaitUntil([&] { return Collector.Buffers() >= before + 10; }))
        << "the device goes on recording";
    EXPECT_EQ(in->Mode(), mStereo);
    in->Close();
    EXPECT_TRUE(Exceptions.empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, WaveInAudio, testing::Values(cmWindow, cmThread),
    [](const testing::TestParamInfo<TMMCBMode>& info) {
        return info.param == cmWindow ? "Window" : "Thread";
    });

} // namespace
