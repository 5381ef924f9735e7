// The connector behind real recorders on the test sound server: the GSM
// recorder delivering from its worker thread, the PCM one through the GUI
// thread. The display sees PCM of the played tone, in slices that keep pace
// with the recording, and its rest picture after the stop.
#include "mm/capture/MMWRec.h"
#include "mm/capture/MMWRecAudioSupport.h"
#include "mm/capture/MMWave.h"
#include "mm/display/MMConect.h"
#include "platform/ui/FormReader.h"
#include "support/RecorderForms.h"

#include <QElapsedTimer>
#include <atomic>
#include <cmath>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace recorder_test;

namespace {

// Keeps the samples of every slice it is shown (16-bit, first channel).
class TSampleDisplay : public TComponent, public IMMDisplay {
    Q_OBJECT
    Q_INTERFACES(IMMDisplay)
public:
    explicit TSampleDisplay(int step)
        : TComponent(nullptr)
        , FStep(step)
    {
    }
    int StepSize() const override { return FStep; }
    void AdoptFormat(const WAVEFORMATEX* format) override { Format = *format; }
    void ResetDisplay() override { ++Resets; }
    void ShowSlice(const void* data) override
    {
        EXPECT_EQ(std::this_thread::get_id(), FGuiThread) << "slices are shown in the GUI thread";
        const auto* samples = static_cast<const std::int16_t*>(data);
        const int channels = Format.nChannels ? Format.nChannels : 1;
        std::lock_guard lock(FLock);
        for (int i = 0; i < FStep / 2; i += channels)
            FSamples.push_back(samples[i]);
        ++FSlices;
    }
    std::size_t Slices()
    {
        std::lock_guard lock(FLock);
        return FSlices;
    }
    std::vector<std::int16_t> Samples()
    {
        std::lock_guard lock(FLock);
        return FSamples;
    }

    WAVEFORMATEX Format {};
    std::atomic<int> Resets { 0 };

private:
    const int FStep;
    const std::thread::id FGuiThread = std::this_thread::get_id();
    std::mutex FLock;
    std::size_t FSlices = 0;
    std::vector<std::int16_t> FSamples;
};

std::unique_ptr<TMMWaveRecorder> ReadRecorder(const QByteArray& text)
{
    auto* recorder = qobject_cast<TMMWaveRecorder*>(ReadComponentFromText(text, nullptr));
    return std::unique_ptr<TMMWaveRecorder>(recorder);
}

} // namespace

TEST(ConnectorAudio, AGsmRecordingReachesTheDisplayAsPcmOfTheTone)
{
    auto recorder = ReadRecorder(tonvara::test::kMonoDosya);
    ASSERT_NE(recorder, nullptr);
    TMMConnector connector(nullptr);
    TSampleDisplay display(2 * 20);
    connector.SetMeter1(&display);
    connector.SetInput(recorder.get());
    recorder->Wave()->SetFileName(tonvara::test::MakeTempDir("connector-gsm") + "/tone.wav");

    TTone tone(8, 1000);
    ASSERT_TRUE(tone.Started());
    recorder->Start();
    ASSERT_TRUE(recorder->Wave()->FileName().endsWith("tone.wav"));
    // Three seconds of 8 kHz mono, 20 samples a slice.
    ASSERT_TRUE(WaitUntil([&] { return display.Slices() >= 3 * 8000 / 20; }, 15000))
        << display.Slices() << " slices";
    recorder->Stop();

    EXPECT_EQ(display.Format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(display.Format.nSamplesPerSec, 8000u);
    EXPECT_EQ(display.Format.nChannels, 1);
    EXPECT_EQ(display.Format.wBitsPerSample, 16);
    EXPECT_NEAR(ToneFrequency(display.Samples(), 8000), 1000, 20);
    EXPECT_GE(display.Resets.load(), 1) << "the stop puts the display to rest";
}

TEST(ConnectorAudio, APcmRecordingIsShownAtItsOwnPace)
{
    auto recorder = ReadRecorder(tonvara::test::kStereoDosya);
    ASSERT_NE(recorder, nullptr);
    TMMConnector connector(nullptr);
    TSampleDisplay display(80);
    connector.SetMeter1(&display);
    connector.SetInput(recorder.get());
    recorder->Wave()->SetFileName(tonvara::test::MakeTempDir("connector-pcm") + "/tone.wav");

    TTone tone(8, 440);
    ASSERT_TRUE(tone.Started());
    recorder->Start();
    ASSERT_TRUE(WaitUntil([&] { return recorder->Position() >= 300; }, 10000));
    const std::size_t before = display.Slices();
    const int from = recorder->Position();
    ASSERT_TRUE(WaitUntil([&] { return recorder->Position() >= from + 3000; }, 10000));
    const std::size_t after = display.Slices();
    const int recorded = recorder->Position() - from;
    recorder->Stop();

    // 2400 slices a second of recording at most: the displays never run
    // ahead of the sound. The connector shows the latest buffer only, so
    // when the device hands over two buffers at once the first one's slices
    // are skipped; most of them are shown all the same.
    const double realTime = recorded / 1000.0 * 2400;
    const double shown = double(after - before);
    EXPECT_LE(shown, realTime * 1.02 + 4096 / 80) << "slices ran ahead of the recording";
    EXPECT_GE(shown, realTime * 0.5) << "the display fell behind the recording";
    // What it shows is the tone as played (sox at half of full scale).
    const std::vector<std::int16_t> samples = display.Samples();
    double energy = 0;
    for (std::int16_t sample : samples)
        energy += double(sample) * sample;
    const double rms = std::sqrt(energy / double(samples.size()));
    EXPECT_NEAR(rms, 16384 / std::sqrt(2.0), 16384 / std::sqrt(2.0) * 0.25);
}

#include "MMConect_audio_test.moc"
