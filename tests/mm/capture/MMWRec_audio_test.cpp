// The recorder against a real PulseAudio server, with the program's two
// recorders read from their stored forms: the files they write are checked
// byte by byte and by real readers (sox, ffmpeg, ffprobe, libsndfile).
#include "MMWRecAudioSupport.h"
#include "mm/capture/MMWRec.h"
#include "mm/capture/MMWaveIO.h"
#include "platform/mm/WaveIn.h"
#include "platform/ui/Application.h"
#include "platform/ui/FormReader.h"
#include "support/PeerProcess.h"
#include "support/Peers.h"
#include "support/RecorderForms.h"

#include <QFile>
#include <atomic>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <sndfile.h>
#include <vector>

namespace {

using tonvara::test::kMonoDosya;
using tonvara::test::kStereoDosya;
using tonvara::test::ToolOutput;

using namespace recorder_test;

constexpr double kPi = 3.14159265358979323846;

const unsigned char kGsmFormat[20] = { 0x31, 0x00, 0x01, 0x00, 0x40, 0x1F, 0x00, 0x00, 0x59, 0x06, 0x00, 0x00,
    0x41, 0x00, 0x00, 0x00, 0x02, 0x00, 0x40, 0x01 };

std::unique_ptr<TMMWaveRecorder> ReadRecorder(const QByteArray& text)
{
    std::unique_ptr<TComponent> read(ReadComponentFromText(text, nullptr));
    auto* recorder = qobject_cast<TMMWaveRecorder*>(read.get());
    if (recorder != nullptr)
        read.release();
    return std::unique_ptr<TMMWaveRecorder>(recorder);
}

std::vector<double> Samples16(const QByteArray& raw)
{
    std::vector<double> samples(static_cast<std::size_t>(raw.size()) / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        int16_t v;
        std::memcpy(&v, raw.constData() + 2 * i, 2);
        samples[i] = v;
    }
    return samples;
}

/// The frequency of the strongest tone near Around (0.5 Hz steps) in the
/// loudest second of Samples.
double ToneFrequency(const std::vector<double>& samples, double rate, double around)
{
    const std::size_t count = static_cast<std::size_t>(rate);
    if (samples.size() < count)
        return 0;
    const std::vector<double> loudest = tonvara::test::LoudestStretch(samples, count, count / 10);
    double best = 0;
    double bestPower = -1;
    for (double f = around * 0.9; f <= around * 1.1; f += 0.5) {
        double re = 0;
        double im = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const double phase = 2 * kPi * f * static_cast<double>(i) / rate;
            re += loudest[i] * std::cos(phase);
            im += loudest[i] * std::sin(phase);
        }
        if (re * re + im * im > bestPower) {
            bestPower = re * re + im * im;
            best = f;
        }
    }
    return best;
}

/// The interleaved frames of a PCM file as libsndfile reads them, as bytes.
std::vector<unsigned char> ReadPcmFrames(const QString& file, int* frames = nullptr)
{
    SF_INFO info {};
    SNDFILE* sf = sf_open(file.toLocal8Bit().constData(), SFM_READ, &info);
    if (sf == nullptr) {
        ADD_FAILURE() << "libsndfile cannot read " << file.toStdString() << ": " << sf_strerror(nullptr);
        return {};
    }
    std::vector<short> samples(static_cast<std::size_t>(info.frames * info.channels));
    const sf_count_t read = sf_readf_short(sf, samples.data(), info.frames);
    sf_close(sf);
    EXPECT_EQ(read, info.frames);
    if (frames != nullptr)
        *frames = static_cast<int>(info.frames);
    std::vector<unsigned char> bytes(samples.size() * 2);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

uint32_t U32(const QByteArray& bytes, int at)
{
    uint32_t v = 0;
    std::memcpy(&v, bytes.constData() + at, 4);
    return v;
}

/// Keeps the buffers the recorder hands out (OnData), from any thread.
struct TDataLog {
    std::mutex Lock;
    std::vector<DWORD> Sizes;
    std::size_t Count()
    {
        std::lock_guard lock(Lock);
        return Sizes.size();
    }
    std::vector<DWORD> All()
    {
        std::lock_guard lock(Lock);
        return Sizes;
    }
    TMMBufferEvent Handler()
    {
        return [this](TObject*, PWaveHdr header) {
            std::lock_guard lock(Lock);
            Sizes.push_back(header->dwBytesRecorded);
        };
    }
};

class WaveRecorderAudio : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr)
            << "the audio tests need the server scripts/test starts";
        Directory = tonvara::test::MakeTempDir("recorder");
        Application->SetOnException(
            [this](TObject*, const std::exception& e) { Exceptions.push_back(ExceptionMessage(e)); });
    }
    void TearDown() override { Application->SetOnException(nullptr); }

    /// Counts the recorder's OnStart and OnStop, its wave input's OnError,
    /// and logs OnData.
    void Watch(TMMWaveRecorder& recorder)
    {
        recorder.SetOnStart([this](TObject*) { ++Starts; });
        recorder.SetOnStop([this](TObject*) { ++Stops; });
        recorder.SetOnData(Data.Handler());
        recorder.WaveIn()->SetOnError([this](TObject*) { ++Errors; });
    }

    void ExpectStartFails(TMMWaveRecorder& recorder, const QString& message)
    {
        const int before = Errors;
        try {
            recorder.Start();
            ADD_FAILURE() << "Start went through, expected " << message.toStdString();
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), message);
            EXPECT_GT(Errors, before) << "OnError fires before the exception";
        }
        EXPECT_EQ(recorder.State(), TMMWaveInState(wsClosed));
    }

    QString Directory;
    int Starts = 0;
    int Stops = 0;
    int Errors = 0;
    TDataLog Data;
    std::vector<QString> Exceptions;
};

TEST_F(WaveRecorderAudio, MonoDosyaRecordsATenSecondToneIntoAGsmFile)
{
    auto mono = ReadRecorder(kMonoDosya);
    ASSERT_NE(mono, nullptr);
    Watch(*mono);
    const QString file = Directory + "/mono.wav";
    mono->Wave()->SetFileName(file);
    TTone tone(14, 1000);
    ASSERT_TRUE(tone.Started());
    mono->Start();
    EXPECT_EQ(Starts, 1);
    EXPECT_EQ(mono->GetBufferSize(), 4095) << "63 blocks of 65 bytes";
    ASSERT_TRUE(WaitUntil([&] { return mono->Position() >= 10000; }, 30000));
    const int atStop = mono->Position();
    mono->Stop();
    EXPECT_EQ(Stops, 1);
    EXPECT_EQ(mono->State(), TMMWaveInState(wsClosed));
    EXPECT_TRUE(Exceptions.empty());

    // Every buffer the device returned is 63 whole blocks; only the one the
    // stop returned may hold fewer.
    const std::vector<DWORD> sizes = Data.All();
    ASSERT_GE(sizes.size(), 4u);
    for (std::size_t i = 0; i + 1 < sizes.size(); ++i)
        EXPECT_EQ(sizes[i], 4095u) << "buffer " << i;
    EXPECT_EQ(sizes.back() % 65, 0u);
    EXPECT_LE(sizes.back(), 4095u);
    std::size_t total = 0;
    for (DWORD size : sizes)
        total += size;

    // The RIFF layer's layout: RIFF, fmt (the stored 20 bytes), data at 48,
    // fact with the sample count.
    QFile wav(file);
    ASSERT_TRUE(wav.open(QIODevice::ReadOnly));
    const QByteArray bytes = wav.readAll();
    ASSERT_GE(bytes.size(), 48);
    EXPECT_EQ(bytes.left(4), "RIFF");
    EXPECT_EQ(U32(bytes, 4), static_cast<uint32_t>(bytes.size() - 8));
    EXPECT_EQ(bytes.mid(8, 8), "WAVEfmt ");
    EXPECT_EQ(U32(bytes, 16), 20u);
    EXPECT_EQ(bytes.mid(20, 20), QByteArray(reinterpret_cast<const char*>(kGsmFormat), 20));
    EXPECT_EQ(bytes.mid(40, 4), "data");
    const uint32_t dataBytes = U32(bytes, 44);
    EXPECT_EQ(dataBytes, total) << "everything the recorder handed out is in the file";
    EXPECT_EQ(dataBytes % 65, 0u);
    const int fact = 48 + static_cast<int>(dataBytes) + static_cast<int>(dataBytes % 2);
    ASSERT_GE(bytes.size(), fact + 12);
    EXPECT_EQ(bytes.mid(fact, 4), "fact");
    EXPECT_EQ(U32(bytes, fact + 4), 4u);
    EXPECT_EQ(U32(bytes, fact + 8), dataBytes / 65 * 320);

    const double seconds = static_cast<double>(dataBytes) / 65 * 320 / 8000;
    // The file holds what the position counted when we stopped (however
    // long this thread took to get there), and what reached the device
    // between that look and the stop: the capture thread's next 20 ms
    // period, completing at most one more 40 ms block.
    RecordProperty("file_minus_position_ms", static_cast<int>(seconds * 1000) - atStop);
    EXPECT_GE(seconds, atStop / 1000.0);
    EXPECT_LE(seconds, atStop / 1000.0 + 0.04);
    const double probed
        = ToolOutput("ffprobe", { "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", file })
              .trimmed()
              .toDouble();
    EXPECT_NEAR(probed, seconds, 0.001) << "ffprobe reads the sample count of the fact chunk";

    const std::vector<double> soxPcm = Samples16(ToolOutput("sox",
        { "-q", file, "-t", "raw", "-e", "signed-integer", "-b", "16", "-c", "1", "-r", "8000", "-" }));
    const std::vector<double> ffPcm = Samples16(
        ToolOutput("ffmpeg", { "-v", "error", "-i", file, "-f", "s16le", "-ac", "1", "-ar", "8000", "-" }));
    EXPECT_NEAR(static_cast<double>(soxPcm.size()) / 8000, seconds, 0.05);
    EXPECT_NEAR(ToneFrequency(soxPcm, 8000, 1000), 1000, 5) << "sox hears the tone within 0.5 %";
    EXPECT_NEAR(ToneFrequency(ffPcm, 8000, 1000), 1000, 5) << "ffmpeg hears the tone within 0.5 %";
}

TEST_F(WaveRecorderAudio, StereoDosyaRecordsEveryFrameOfAMinuteInOrder)
{
    auto stereo = ReadRecorder(kStereoDosya);
    ASSERT_NE(stereo, nullptr);
    Watch(*stereo);
    const QString file = Directory + "/stereo.wav";
    stereo->Wave()->SetFileName(file);
    TCounterPlayer player(60);
    stereo->Start();
    player.Start();
    ASSERT_TRUE(player.WaitFinished(120000));
    // What the sink still plays out after pacat has ended.
    const int end = stereo->Position();
    ASSERT_TRUE(WaitUntil([&] { return stereo->Position() >= end + 1000; }));
    TWaveInStatistics statistics {};
    statistics.Size = sizeof(statistics);
    ASSERT_EQ(WaveInGetStatistics(stereo->WaveIn()->DeviceHandle(), &statistics), MMSYSERR_NOERROR);
    stereo->Stop();
    EXPECT_TRUE(Exceptions.empty());
    int frames = 0;
    const std::vector<unsigned char> data = ReadPcmFrames(file, &frames);
    EXPECT_GT(frames, 60 * 48000);
    const TCounterRun run = AnalyseCounter(data);
    RecordProperty("silence_inside", static_cast<int>(run.SilenceInside));
    ExpectWholeCounter(run, player.Frames());
    EXPECT_EQ(statistics.Overruns, 0u)
        << "the device lost input: " << statistics.SilenceSamples << " samples filled, " << statistics.Breaks
        << " breaks; " << run.SilenceInside << " silent frames inside the signal";
}

TEST_F(WaveRecorderAudio, TwentyHourChangesGiveTwentyOneFilesThatJoinFrameByFrame)
{
    auto stereo = ReadRecorder(kStereoDosya);
    ASSERT_NE(stereo, nullptr);
    Watch(*stereo);
    TCounterPlayer player(16);
    player.Start();
    std::vector<QString> files;
    auto next = [&] {
        files.push_back(QString("%1/Tarih_%2.wav").arg(Directory).arg(files.size(), 2, 10, QChar('0')));
        stereo->Wave()->SetFileName(files.back());
        stereo->Start();
    };
    next();
    for (int change = 0; change < 20; ++change) {
        ASSERT_TRUE(WaitUntil([&] { return stereo->Position() >= 500; })) << "change " << change;
        // What the program does when the hour changes.
        stereo->Stop();
        next();
    }
    ASSERT_TRUE(WaitUntil([&] { return stereo->Position() >= 500; }));
    stereo->Stop();
    ASSERT_TRUE(player.WaitFinished(40000));
    EXPECT_EQ(Stops, 21);
    EXPECT_TRUE(Exceptions.empty());

    ASSERT_EQ(files.size(), 21u);
    std::vector<unsigned char> joined;
    for (const QString& file : files) {
        int frames = 0;
        const std::vector<unsigned char> part = ReadPcmFrames(file, &frames);
        EXPECT_GE(frames, 24000) << file.toStdString();
        joined.insert(joined.end(), part.begin(), part.end());
    }
    const TCounterRun run = AnalyseCounter(joined);
    EXPECT_GT(run.Length, static_cast<std::size_t>(8 * 48000)) << "the files hold most of the signal";
    EXPECT_EQ(run.Breaks, 0u) << run.FirstBreak;
}

TEST_F(WaveRecorderAudio, ANewFileNameStopsTheRecordingAndTheSameNameDoesNot)
{
    auto stereo = ReadRecorder(kStereoDosya);
    ASSERT_NE(stereo, nullptr);
    Watch(*stereo);
    int changes = 0;
    stereo->SetOnChange([&](TObject*) { ++changes; });
    const QString first = Directory + "/first.wav";
    stereo->Wave()->SetFileName(first);
    EXPECT_EQ(changes, 1) << "a first name is a change too";
    changes = 0;
    stereo->Start();
    ASSERT_TRUE(WaitUntil([&] { return stereo->Position() >= 300; }));
    // The window gives the recorder the name of the file it is writing
    // again (when it becomes active): nothing changes.
    stereo->Wave()->SetFileName(first);
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(stereo->State() & wsStarted, wsStarted);
    const std::size_t count = Data.Count();
    ASSERT_TRUE(WaitUntil([&] { return Data.Count() >= count + 10; }));

    stereo->Wave()->SetFileName(Directory + "/second.wav");
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(Stops, 1) << "another file stops the recording";
    EXPECT_EQ(stereo->State(), TMMWaveInState(wsClosed));
    int frames = 0;
    ReadPcmFrames(first, &frames);
    EXPECT_GT(frames, 48000 * 3 / 10) << "the first file is finished";
    stereo->Start();
    ASSERT_TRUE(WaitUntil([&] { return stereo->Position() >= 300; }));
    stereo->Stop();
    ReadPcmFrames(Directory + "/second.wav", &frames);
    EXPECT_GT(frames, 48000 * 3 / 10);
    EXPECT_TRUE(Exceptions.empty());
}

class WaveRecorderModes : public WaveRecorderAudio, public testing::WithParamInterface<TMMCBMode> { };

TEST_P(WaveRecorderModes, ASecondOfEightBitMonoIsExactlyEightThousandBytes)
{
    TMMWaveRecorder recorder(nullptr);
    Watch(recorder);
    recorder.SetDeviceID(MapperId);
    recorder.SetCallBackMode(GetParam());
    recorder.SetMode(mMono);
    recorder.SetBitLength(b8Bit);
    recorder.SetSampleRate(8000);
    recorder.SetTimeFormat(tfMillisecond);
    recorder.SetMaxRecordTime(1000);
    const QString file = Directory + "/second.wav";
    recorder.Wave()->SetFileName(file);
    EXPECT_EQ(recorder.Position(), 0) << "idle";
    recorder.Start();
    recorder.Start();
    EXPECT_EQ(Starts, 1) << "the second Start does nothing";
    ASSERT_TRUE(WaitUntil([&] { return Stops == 1; }));
    EXPECT_EQ(recorder.State(), TMMWaveInState(wsClosed))
        << "a recording that ends by itself closes the device";
    EXPECT_EQ(recorder.Position(), 0) << "idle";
    std::size_t total = 0;
    for (DWORD size : Data.All())
        total += size;
    EXPECT_EQ(total, 8000u);
    PWaveIOCB block = nullptr;
    ASSERT_EQ(WaveIOOpen(file.toLocal8Bit().constData(), kWaveIOFile, &block), kWaveIOOk);
    EXPECT_EQ(block->DataBytes, 8000);
    EXPECT_EQ(block->SampleCount, 8000);
    WaveIOFree(block);
}

TEST_P(WaveRecorderModes, TwoHundredStartsAndStopsEndEveryTime)
{
    auto recorder = ReadRecorder(kStereoDosya);
    ASSERT_NE(recorder, nullptr);
    recorder->SetCallBackMode(GetParam());
    recorder->SetNumBuffers(4);
    Watch(*recorder);
    recorder->Wave()->SetFileName(Directory + "/cycles.wav");
    for (int cycle = 0; cycle < 200; ++cycle) {
        // Every other recording ends by itself after 30 ms: a stop from
        // inside the buffer processing, completed afterwards.
        const bool limited = cycle % 2 == 0;
        recorder->SetMaxRecordTime(limited ? 30 : -1);
        const std::size_t before = Data.Count();
        recorder->Start();
        if (limited) {
            ASSERT_TRUE(WaitUntil([&] { return Stops == cycle + 1; })) << "cycle " << cycle;
        } else {
            ASSERT_TRUE(WaitUntil([&] { return Data.Count() > before; })) << "cycle " << cycle;
            recorder->Stop();
        }
        ASSERT_EQ(Stops, cycle + 1);
        ASSERT_EQ(recorder->State(), TMMWaveInState(wsClosed)) << "cycle " << cycle;
    }
    EXPECT_EQ(Starts, 200);
    EXPECT_TRUE(Exceptions.empty());
    int frames = 0;
    ReadPcmFrames(Directory + "/cycles.wav", &frames);
    EXPECT_GT(frames, 0) << "the last file is whole";
}

TEST_P(WaveRecorderModes, AServerKilledWhileRecordingEndsInAFinishedFileAndAReport)
{
    TPrivateServer server;
    ASSERT_GT(server.FPid, 0) << "the private server did not start";
    TServerOverride useIt(server.FServer);
    auto recorder = ReadRecorder(kStereoDosya);
    ASSERT_NE(recorder, nullptr);
    recorder->SetCallBackMode(GetParam());
    // A rate no test before uses: a capture of the shared server that an
    // earlier test parked for a gapless reopen must not be continued.
    recorder->SetSampleRate(44100);
    Watch(*recorder);
    const QString file = Directory + "/killed.wav";
    recorder->Wave()->SetFileName(file);
    recorder->Start();
    ASSERT_TRUE(WaitUntil([&] { return Data.Count() >= 20; }));
    server.Kill();
    ASSERT_TRUE(WaitUntil([&] { return Stops == 1; }, 20000)) << "the recorder did not stop";
    EXPECT_EQ(recorder->State(), TMMWaveInState(wsClosed));
    EXPECT_GE(Errors, 1);
    ASSERT_EQ(Exceptions.size(), 1u);
    EXPECT_TRUE(Exceptions[0].startsWith("WaveInAddBuffer:\n\r")) << Exceptions[0].toStdString();

    // Finished: sizes and fact chunk written, readable by every reader.
    std::size_t total = 0;
    for (DWORD size : Data.All())
        total += size;
    PWaveIOCB block = nullptr;
    ASSERT_EQ(WaveIOOpen(file.toLocal8Bit().constData(), kWaveIOFile, &block), kWaveIOOk);
    EXPECT_EQ(static_cast<std::size_t>(block->DataBytes), total);
    WaveIOFree(block);
    QFile wav(file);
    ASSERT_TRUE(wav.open(QIODevice::ReadOnly));
    const QByteArray bytes = wav.readAll();
    EXPECT_EQ(U32(bytes, 4), static_cast<uint32_t>(bytes.size() - 8));
    EXPECT_EQ(U32(bytes, 42), total) << "the data size in the header";
    EXPECT_EQ(bytes.mid(46 + static_cast<int>(total), 4), "fact");
    int frames = 0;
    ReadPcmFrames(file, &frames);
    EXPECT_EQ(static_cast<std::size_t>(frames), total / 4);
    const double probed
        = ToolOutput("ffprobe", { "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", file })
              .trimmed()
              .toDouble();
    EXPECT_NEAR(probed, static_cast<double>(total) / 4 / 44100, 0.01);
    EXPECT_FALSE(ToolOutput("sox", { "--i", "-s", file }).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Modes, WaveRecorderModes, testing::Values(cmWindow, cmThread),
    [](const testing::TestParamInfo<TMMCBMode>& info) {
        return info.param == cmWindow ? "Window" : "Thread";
    });

TEST_F(WaveRecorderAudio, TheFailuresThatCanBeProvokedHereReadAsDocumented)
{
    auto stereo = ReadRecorder(kStereoDosya);
    ASSERT_NE(stereo, nullptr);
    Watch(*stereo);
    const QString file = Directory + "/failures.wav";
    stereo->Wave()->SetFileName(file);

    stereo->SetDeviceID(TMMDeviceId(99));
    ExpectStartFails(*stereo, "Invalid DeviceID");
    stereo->SetDeviceID(MapperId);

    WAVEFORMATEX mulaw = PcmFormat(8000, 8, 1);
    mulaw.wFormatTag = WAVE_FORMAT_MULAW;
    stereo->SetPWaveFormat(&mulaw);
    ExpectStartFails(*stereo, "WaveInOpen:\n\rThe actual device can''t record this format");
    EXPECT_FALSE(QFile::exists(file)) << "the format is tried before the file is made";

    const WAVEFORMATEX pcm = PcmFormat(48000, 16, 2);
    stereo->SetPWaveFormat(&pcm);
    stereo->Wave()->SetFileName(Directory + "/no/such/folder/x.wav");
    ExpectStartFails(*stereo, "Unable to create wave file");

    stereo->Wave()->SetFileName(file);
    stereo->Start();
    const int before = Errors;
    try {
        stereo->SetSampleRate(22050);
        ADD_FAILURE() << "a property changed while recording";
    } catch (const EMMWaveInError& e) {
        EXPECT_EQ(e.Message(), "Change to property while device was open");
        EXPECT_GT(Errors, before);
    }
    const std::size_t count = Data.Count();
    ASSERT_TRUE(WaitUntil([&] { return Data.Count() >= count + 10; })) << "the recording goes on";
    EXPECT_EQ(stereo->SampleRate(), 48000);
    stereo->Stop();
    EXPECT_TRUE(Exceptions.empty());
    int frames = 0;
    ReadPcmFrames(file, &frames);
    EXPECT_GT(frames, 0);
}

} // namespace
