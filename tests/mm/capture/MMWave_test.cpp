// The wave object, the wave file component in a chain (driven by a small
// test device, as the wave input drives it), and the pool of memory blocks.
// Written files are checked byte by byte and by sox, ffmpeg/ffprobe and
// libsndfile.
#include "mm/capture/MMWave.h"
#include "mm/format/MMWaveFormat.h"
#include "platform/ui/Application.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/FormWriter.h"
#include "support/PeerProcess.h"
#include "support/Peers.h"
#include "support/TestSource.h"
#include "support/TestSupport.h"
#include "support/WaveFormats.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstring>
#include <gsm.h>
#include <gtest/gtest.h>
#include <memory>
#include <sndfile.h>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// TMMAllocator

bool AllZero(const void* block, std::size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(block);
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0)
            return false;
    }
    return true;
}

TEST(MMAllocator, HandsOutZeroFilledBlocksAndReusesReleasedOnesOfTheSameSize)
{
    TMMAllocator pool;
    void* a = pool.Allocate(kGPtr, 4176);
    void* b = pool.Allocate(kGPtr, 4176);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_TRUE(AllZero(a, 4176));
    EXPECT_EQ(pool.Count(), 2);
    EXPECT_EQ(pool.UsedCount(), 2);

    std::memset(a, 0x5A, 4176);
    void* released = a;
    pool.Release(a);
    EXPECT_EQ(a, nullptr) << "the caller's pointer is cleared";
    EXPECT_EQ(pool.UsedCount(), 1);

    void* again = pool.Allocate(kGPtr, 4176);
    EXPECT_EQ(again, released) << "the released block comes back";
    EXPECT_TRUE(AllZero(again, 4176)) << "zero-filled again when asked";
    EXPECT_EQ(pool.Count(), 2) << "no new block";
}

TEST(MMAllocator, PrefersAnExactSizeThenTheFirstLargerBlock)
{
    TMMAllocator pool;
    void* big = pool.Allocate(kGPtr, 8000);
    void* larger = pool.Allocate(kGPtr, 9000);
    void* exact = pool.Allocate(kGPtr, 5000);
    void* bigBlock = big;
    void* largerBlock = larger;
    void* exactBlock = exact;
    pool.Release(big);
    pool.Release(larger);
    pool.Release(exact);

    EXPECT_EQ(pool.Allocate(kGPtr, 5000), exactBlock) << "an unused block of exactly that size first";
    EXPECT_EQ(pool.Allocate(kGPtr, 5000), bigBlock) << "then the first unused one that is large enough";
    EXPECT_EQ(pool.BlockSize(bigBlock), 8000u);
    EXPECT_EQ(pool.Allocate(kGPtr, 5000), largerBlock);
    void* fresh = pool.Allocate(kGMemFixed, 5000);
    EXPECT_NE(fresh, nullptr);
    EXPECT_EQ(pool.Count(), 4) << "none unused any more: a new block";
    EXPECT_EQ(pool.UsedCount(), 4);
}

TEST(MMAllocator, LeavesUnknownAndDoublyReleasedBlocksAlone)
{
    TMMAllocator pool;
    int outside = 0;
    void* stranger = &outside;
    pool.Release(stranger);
    EXPECT_EQ(stranger, &outside) << "not the pool's: pointer untouched";
    void* nothing = nullptr;
    pool.Release(nothing);
    EXPECT_EQ(pool.BlockSize(&outside), 0u);

    void* block = pool.Allocate(kGPtr, 64);
    void* copy = block;
    pool.Release(block);
    pool.Release(copy);
    EXPECT_EQ(block, nullptr);
    EXPECT_NE(copy, nullptr) << "a block that is not in use is left alone, pointer and all";
    EXPECT_EQ(pool.UsedCount(), 0) << "a second release does not count below zero";
    void* first = pool.Allocate(kGPtr, 64);
    void* second = pool.Allocate(kGPtr, 64);
    EXPECT_NE(first, second) << "the block is handed out once, not twice";
    EXPECT_EQ(pool.Count(), 2);
}

TEST(MMAllocator, FreeAllEmptiesThePool)
{
    TMMAllocator pool;
    for (int i = 0; i < 20; ++i)
        pool.Allocate(kGPtr, 60 + 4096);
    EXPECT_EQ(pool.Count(), 20);
    pool.FreeAll();
    EXPECT_EQ(pool.Count(), 0);
    EXPECT_EQ(pool.UsedCount(), 0);
    void* block = pool.Allocate(kGPtr, 16);
    EXPECT_NE(block, nullptr);
    EXPECT_EQ(pool.Count(), 1);
}

TEST(MMAllocator, SeveralThreadsAllocateAndReleaseWithoutSharingABlock)
{
    TMMAllocator pool;
    std::atomic<bool> clash { false };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&pool, &clash, t] {
            for (int round = 0; round < 2000; ++round) {
                auto* block = static_cast<unsigned char*>(pool.Allocate(kGPtr, 256 + (round % 3) * 64));
                if (block == nullptr) {
                    clash = true;
                    return;
                }
                std::memset(block, t + 1, 256);
                for (int i = 0; i < 256; ++i) {
                    if (block[i] != t + 1)
                        clash = true;
                }
                pool.Release(block);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_FALSE(clash.load()) << "a block was handed to two threads at once";
    EXPECT_EQ(pool.UsedCount(), 0);
    EXPECT_LE(pool.Count(), 12);
}

// ---------------------------------------------------------------------------
// Files and readers

std::string ReadWhole(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

void WriteWhole(const QString& path, const std::string& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

std::string Le16(uint16_t v)
{
    return std::string { static_cast<char>(v & 0xFF), static_cast<char>(v >> 8) };
}

std::string Le32(uint32_t v)
{
    std::string s;
    for (int i = 0; i < 4; ++i)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return s;
}

uint32_t DwordAt(const std::string& bytes, size_t offset)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(bytes.at(offset + static_cast<size_t>(i)));
    return v;
}

std::string Pattern(size_t size, unsigned seed)
{
    std::string data(size, '\0');
    uint32_t x = seed;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        data[i] = static_cast<char>(x >> 24);
    }
    return data;
}

WAVEFORMATEX StereoPcm()
{
    WAVEFORMATEX format {};
    BuildPCMFormat(&format, 16, 2, 48000);
    return format;
}

using tonvara::test::GsmFormat;

// Real GSM 6.10 blocks (WAV49 packing) of a tone, made with libgsm.
std::string GsmBlocks(size_t blocks)
{
    gsm g = gsm_create();
    int one = 1;
    gsm_option(g, GSM_OPT_WAV49, &one);
    std::string out;
    for (size_t b = 0; b < blocks; ++b) {
        gsm_signal pcm[320];
        for (int i = 0; i < 320; ++i)
            pcm[i] = static_cast<gsm_signal>(
                8000 * std::sin(2 * M_PI * 440 * static_cast<double>(b * 320 + i) / 8000));
        gsm_byte block[65];
        gsm_encode(g, pcm, block);
        gsm_encode(g, pcm + 160, block + 32);
        out.append(reinterpret_cast<const char*>(block), 65);
    }
    gsm_destroy(g);
    return out;
}

std::string GsmSilence()
{
    gsm g = gsm_create();
    int one = 1;
    gsm_option(g, GSM_OPT_WAV49, &one);
    gsm_signal pcm[320] = {};
    gsm_byte block[65];
    gsm_encode(g, pcm, block);
    gsm_encode(g, pcm + 160, block + 32);
    gsm_destroy(g);
    return std::string(reinterpret_cast<const char*>(block), 65);
}

using tonvara::test::FfmpegRaw;
using tonvara::test::Ffprobe;
using tonvara::test::RunTool;
using tonvara::test::SndfileRaw;
using tonvara::test::SoxRaw;
using tonvara::test::TToolResult;

/// Samples per channel as sox counts them.
long SoxSamples(const QString& path)
{
    const TToolResult r = RunTool("soxi", { "-s", path });
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    return std::strtol(r.Out.c_str(), nullptr, 10);
}

/// A 48 kHz 16-bit stereo file of Frames frames of Data made by libsndfile.
void MakePcmFile(const QString& path, const std::string& data)
{
    SF_INFO info {};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    sf_write_raw(file, data.data(), static_cast<sf_count_t>(data.size()));
    sf_close(file);
}

// ---------------------------------------------------------------------------
// A chain to drive the wave file component

using tonvara::test::TDeliveryThread;
using tonvara::test::TTestSink;
using tonvara::test::TTestSource;

/// Source -> wave file -> sink, recording into Dir.
class WaveFileChain : public ::testing::Test {
protected:
    void SetUp() override
    {
        Dir = tonvara::test::MakeTempDir(QStringLiteral("wavefile"));
        Source = std::make_unique<TTestSource>();
        File = std::make_unique<TMMWaveFile>(nullptr);
        Sink = std::make_unique<TTestSink>();
        File->Wave()->SetFileMustExist(false);
        File->SetInput(Source.get());
        File->SetOutput(Sink.get());
        File->SetOnOpen([this](TObject*) { ++Opens; });
        File->SetOnClose([this](TObject*) {
            ++Closes;
            CloseInMain = IsMainThread();
        });
        File->SetOnChange([this](TObject*) { ++Changes; });
        Application->SetOnException(
            [this](TObject*, const std::exception& e) { Exceptions.push_back(ExceptionMessage(e)); });
    }
    void TearDown() override
    {
        QCoreApplication::sendPostedEvents();
        Application->SetOnException(nullptr);
        File.reset();
        Sink.reset();
        Source.reset();
    }

    QString PathOf(const char* name) const { return Dir + QLatin1Char('/') + QLatin1String(name); }

    void Record(const QString& path, LPCWAVEFORMATEX format, int bufferSize)
    {
        File->Wave()->SetFileName(path);
        Source->SetPWaveFormat(format);
        Source->SetBufferSize(bufferSize);
        Source->Start();
        // Naming the file was a change; count only what follows.
        Changes = 0;
    }

    QString Dir;
    std::unique_ptr<TTestSource> Source;
    std::unique_ptr<TMMWaveFile> File;
    std::unique_ptr<TTestSink> Sink;
    int Opens = 0;
    std::atomic<int> Closes { 0 };
    std::atomic<bool> CloseInMain { false };
    int Changes = 0;
    QStringList Exceptions;
};

// The header the layer writes for 48 kHz 16-bit stereo, up to the data.
std::string PcmHeader(uint32_t riffSize, uint32_t dataSize)
{
    return "RIFF" + Le32(riffSize) + "WAVEfmt " + Le32(18) + Le16(1) + Le16(2) + Le32(48000) + Le32(192000)
        + Le16(4) + Le16(16) + Le16(0) + "data" + Le32(dataSize);
}

// ---------------------------------------------------------------------------
// TMMWave

TEST(MMWave, ANewWaveHasNoFileAndReportsTheDefaults)
{
    TMMWave wave;
    EXPECT_EQ(wave.FileName(), QString());
    EXPECT_TRUE(wave.FileMustExist());
    EXPECT_EQ(wave.TimeFormat(), tfSample);
    EXPECT_EQ(wave.IOBufferSize(), 32768);
    EXPECT_EQ(wave.PWaveFormat(), nullptr);
    EXPECT_EQ(wave.FormatString(), QStringLiteral("Unknown"));
    EXPECT_EQ(wave.SampleRate(), 11025);
    EXPECT_EQ(wave.BitLength(), 0);
    EXPECT_EQ(wave.Mode(), mMono);
    EXPECT_EQ(wave.FormatTag(), 0);
    EXPECT_EQ(wave.DataSize(), 0);
    EXPECT_EQ(wave.FileSize(), 0);
    EXPECT_EQ(wave.Position(), -1);
    EXPECT_TRUE(wave.IsEmpty());
}

TEST(MMWave, IOBufferSizeIsAtLeast8192)
{
    TMMWave wave;
    wave.SetIOBufferSize(1000);
    EXPECT_EQ(wave.IOBufferSize(), 8192);
    wave.SetIOBufferSize(65536);
    EXPECT_EQ(wave.IOBufferSize(), 65536);
}

TEST(MMWave, ANameWithoutAFileAttachesNothingAndReportsAChange)
{
    const QString dir = tonvara::test::MakeTempDir(QStringLiteral("wave-name"));
    TMMWave wave;
    wave.SetFileMustExist(false);
    int changes = 0;
    wave.SetOnChange([&](TObject*) { ++changes; });
    TMMObserver observer;
    int heard = 0;
    observer.SetOnNotify([&](TObject*, TObject* data) {
        ++heard;
        EXPECT_EQ(data, &wave);
    });
    wave.Observable()->AddObserver(&observer);

    wave.SetFileName(dir + QStringLiteral("/sub/../new.wav"));
    EXPECT_EQ(wave.FileName(), dir + QStringLiteral("/new.wav")) << "fully qualified";
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(heard, 1);
    EXPECT_EQ(wave.PWaveFormat(), nullptr);
    EXPECT_EQ(wave.DataSize(), 0);
    EXPECT_EQ(wave.FileSize(), 0);
    EXPECT_EQ(wave.Position(), -1);

    wave.SetFileName(dir + QStringLiteral("/new.wav"));
    EXPECT_EQ(changes, 1) << "the same missing file again is no change";
    wave.SetFileName(QString());
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(wave.FileName(), QString());
    EXPECT_EQ(heard, 2);
}

TEST(MMWave, AttachesAnExistingFileAndReportsItInEveryTimeFormat)
{
    const QString dir = tonvara::test::MakeTempDir(QStringLiteral("wave-attach"));
    const QString path = dir + QStringLiteral("/tone.wav");
    MakePcmFile(path, Pattern(48000 * 4, 1));
    TMMWave wave;
    wave.SetFileName(path);
    EXPECT_EQ(wave.FileName(), path);
    ASSERT_NE(wave.PWaveFormat(), nullptr);
    EXPECT_EQ(wave.FormatTag(), 1);
    EXPECT_EQ(wave.FormatString(), QStringLiteral("PCM"));
    EXPECT_EQ(wave.SampleRate(), 48000);
    EXPECT_EQ(wave.BitLength(), 16);
    EXPECT_EQ(wave.Mode(), mStereo);
    EXPECT_EQ(wave.DataSize(), 48000);
    EXPECT_EQ(wave.FileSize(), QFileInfo(path).size());
    EXPECT_EQ(wave.Position(), 0);
    wave.SetTimeFormat(tfMillisecond);
    EXPECT_EQ(wave.DataSize(), 1000);
    wave.SetTimeFormat(tfByte);
    EXPECT_EQ(wave.DataSize(), 192000);
    wave.SetPosition(4000);
    EXPECT_EQ(wave.Position(), 4000);
    wave.SetPosition(10000000);
    EXPECT_EQ(wave.Position(), 192000) << "clamped to the end";
    ASSERT_EQ(wave.Segments().size(), 1u);
    EXPECT_EQ(wave.Segments()[0].StartSample, 0);
    EXPECT_EQ(wave.Segments()[0].EndSample, 48000);
}

TEST(MMWave, TheSameNameIsAChangeOnlyWhenTheFileChangedSize)
{
    const QString dir = tonvara::test::MakeTempDir(QStringLiteral("wave-same"));
    const QString path = dir + QStringLiteral("/a.wav");
    MakePcmFile(path, Pattern(4000, 2));
    TMMWave wave;
    int changes = 0;
    wave.SetOnChange([&](TObject*) { ++changes; });
    wave.SetFileName(path);
    wave.SetFileName(path);
    EXPECT_EQ(changes, 1);
    MakePcmFile(path, Pattern(8000, 3));
    wave.SetFileName(path);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(wave.DataSize(), 2000);
}

TEST(MMWave, AFileThatIsNoWaveIsInvalidAndOneThatCannotBeReadIsAReadError)
{
    const QString dir = tonvara::test::MakeTempDir(QStringLiteral("wave-errors"));
    const QString good = dir + QStringLiteral("/good.wav");
    MakePcmFile(good, Pattern(400, 4));
    const QString text = dir + QStringLiteral("/notes.wav");
    WriteWhole(text, "These are no sound, just words.\n");
    const QString folder = dir + QStringLiteral("/folder.wav");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString missing = dir + QStringLiteral("/missing.wav");

    for (bool mustExist : { true, false }) {
        TMMWave wave;
        wave.SetFileName(good);
        wave.SetFileMustExist(mustExist);
        int changes = 0;
        wave.SetOnChange([&](TObject*) { ++changes; });
        const auto messageOf = [&](const QString& name) -> QString {
            try {
                wave.SetFileName(name);
            } catch (const EMMWaveError& e) {
                return e.Message();
            }
            return QStringLiteral("(nothing raised)");
        };
        EXPECT_EQ(messageOf(text), QStringLiteral("Invalid wave file...")) << mustExist;
        EXPECT_EQ(messageOf(folder), QStringLiteral("Error reading wave file")) << mustExist;
        // The previous file stays attached after each failure.
        EXPECT_EQ(wave.FileName(), good);
        EXPECT_EQ(wave.DataSize(), 100);
        EXPECT_EQ(changes, 0);
        if (mustExist) {
            EXPECT_EQ(messageOf(missing), QStringLiteral("Error reading wave file"));
            EXPECT_EQ(wave.FileName(), good);
        }
    }
}

TEST(MMWave, CreatesWritesAndFinishesAFile)
{
    const QString dir = tonvara::test::MakeTempDir(QStringLiteral("wave-create"));
    const QString path = dir + QStringLiteral("/made.wav");
    TMMWave wave;
    const WAVEFORMATEX format = StereoPcm();
    wave.CreateWaveFile(path, &format);
    EXPECT_TRUE(wave.IsOpen());
    EXPECT_EQ(wave.FileName(), path);
    const std::string data = Pattern(4096 * 3, 5);
    EXPECT_EQ(wave.WriteBytes(data.data(), 4096), 4096);
    EXPECT_EQ(wave.WriteBytes(data.data() + 4096, 8192), 8192);
    EXPECT_EQ(wave.DataSize(), 3072);
    EXPECT_EQ(wave.Position(), 3072);
    EXPECT_GE(wave.FileSize(), 46 + 12288);
    EXPECT_TRUE(wave.CloseWaveFile());
    EXPECT_FALSE(wave.IsOpen());
    EXPECT_EQ(wave.WriteBytes(data.data(), 4), -1) << "closed";
    EXPECT_EQ(wave.FileSize(), 46 + 12288 + 12);
    EXPECT_EQ(ReadWhole(path), PcmHeader(46 + 12288 + 12 - 8, 12288) + data + "fact" + Le32(4) + Le32(3072));
}

TEST(MMWave, AMemoryWaveIsReadNotWritten)
{
    const QString dir = tonvara::test::MakeTempDir(QStringLiteral("wave-memory"));
    const QString path = dir + QStringLiteral("/m.wav");
    const std::string data = Pattern(4000, 6);
    MakePcmFile(path, data);

    TMMWave wave;
    wave.SetMemoryWave(true);
    EXPECT_TRUE(wave.FileMustExist());
    wave.SetFileMustExist(false);
    EXPECT_TRUE(wave.FileMustExist()) << "fixed for a memory wave";
    wave.SetFileName(path);
    EXPECT_EQ(wave.MemoryData().toStdString(), ReadWhole(path));
    EXPECT_EQ(wave.DataSize(), 1000);

    wave.OpenWaveFile();
    std::string back(4000, '\0');
    EXPECT_EQ(wave.ReadBytes(back.data(), 4000), 4000);
    EXPECT_EQ(back, data);
    try {
        wave.WriteBytes(data.data(), 4);
        ADD_FAILURE() << "writing a memory wave raised nothing";
    } catch (const EMMWaveError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Can't write to MemoryWave"));
    }
    const WAVEFORMATEX format = StereoPcm();
    EXPECT_THROW(wave.CreateWaveFile(dir + QStringLiteral("/x.wav"), &format), EMMWaveError);

    QBuffer saved;
    saved.open(QIODevice::ReadWrite);
    wave.SaveToStream(saved);
    EXPECT_EQ(saved.data().toStdString(), ReadWhole(path));
    saved.seek(0);
    TMMWave copy;
    copy.LoadFromStream(saved);
    EXPECT_TRUE(copy.MemoryWave());
    EXPECT_EQ(copy.DataSize(), 1000);

    QBuffer junk;
    junk.setData(QByteArray("RIFF0000WAVX"));
    junk.open(QIODevice::ReadOnly);
    try {
        copy.LoadFromStream(junk);
        ADD_FAILURE() << "junk was taken";
    } catch (const EMMWaveError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Invalid wave file..."));
    }
    EXPECT_EQ(copy.DataSize(), 1000) << "the image it had stays";
}

TEST(MMWave, AssignCopiesTheFileAndSettingsWithOneChange)
{
    const QString dir = tonvara::test::MakeTempDir(QStringLiteral("wave-assign"));
    const QString path = dir + QStringLiteral("/s.wav");
    MakePcmFile(path, Pattern(40000, 7));
    TMMWave source;
    source.SetFileName(path);
    source.SetTimeFormat(tfMillisecond);
    source.SetIOBufferSize(16384);
    source.SetPosition(50);

    TMMWave copy;
    int changes = 0;
    copy.SetOnChange([&](TObject*) { ++changes; });
    copy.Assign(&source);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(copy.FileName(), path);
    EXPECT_EQ(copy.TimeFormat(), tfMillisecond);
    EXPECT_EQ(copy.IOBufferSize(), 16384);
    EXPECT_EQ(copy.Position(), 50);
    EXPECT_EQ(copy.DataSize(), source.DataSize());

    copy.Assign(nullptr);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(copy.FileName(), QString());
}

// ---------------------------------------------------------------------------
// TMMWaveFile as a sink

TEST_F(WaveFileChain, IsAStoredFormClassWithItsDefaults)
{
    EXPECT_NE(GetClass(QStringLiteral("TMMWaveFile")), nullptr);
    TMMWaveFile file(nullptr);
    EXPECT_TRUE(file.Enabled());
    EXPECT_TRUE(file.OverwriteExisting());
    EXPECT_EQ(file.SilenceByte(), 128);
    const QMetaObject* meta = file.metaObject();
    for (const char* name : { "Input", "Output", "Wave", "Enabled", "OverwriteExisting", "OnOpen", "OnClose",
             "OnChange", "OnChanged", "OnLooping" })
        EXPECT_GE(meta->indexOfProperty(name), 0) << name;
    EXPECT_EQ(meta->property(meta->indexOfProperty("Wave")).read(&file).value<TMMWave*>(), file.Wave());
    const QMetaObject* waveMeta = file.Wave()->metaObject();
    EXPECT_FALSE(waveMeta->property(waveMeta->indexOfProperty("DataSize")).isStored());
    EXPECT_TRUE(waveMeta->property(waveMeta->indexOfProperty("FileName")).isStored());
}

TEST_F(WaveFileChain, ReadsAndWritesItsWaveAsSubObjectPropertiesOfAStoredForm)
{
    const QByteArray stored = "object WaveFile1: TMMWaveFile\n"
                              "  Enabled = False\n"
                              "  OverwriteExisting = False\n"
                              "  Wave.TimeFormat = tfMillisecond\n"
                              "  Wave.FileMustExist = False\n"
                              "  Wave.IOBufferSize = 1000\n"
                              "end\n";
    std::unique_ptr<TComponent> read(ReadComponentFromText(stored, nullptr));
    auto* file = qobject_cast<TMMWaveFile*>(read.get());
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(file->Enabled());
    EXPECT_FALSE(file->OverwriteExisting());
    EXPECT_EQ(file->Wave()->TimeFormat(), tfMillisecond);
    EXPECT_FALSE(file->Wave()->FileMustExist());
    EXPECT_EQ(file->Wave()->IOBufferSize(), 8192);

    const QString text = QString::fromUtf8(ComponentToText(file));
    EXPECT_TRUE(text.contains(QStringLiteral("Wave.TimeFormat = tfMillisecond"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("Wave.IOBufferSize = 8192"))) << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("DataSize"))) << "sizes are not stored";
    EXPECT_FALSE(text.contains(QStringLiteral("Wave.Data"))) << "a file wave stores no image";

    TMMWaveFile plain(nullptr);
    const QString defaults = QString::fromUtf8(ComponentToText(&plain));
    EXPECT_FALSE(defaults.contains(QStringLiteral("Enabled"))) << defaults.toStdString();
    EXPECT_FALSE(defaults.contains(QStringLiteral("Wave."))) << defaults.toStdString();
}

TEST(MMWave, AMemoryWaveStoresItsImageAsTheDataProperty)
{
    const QString dir = tonvara::test::MakeTempDir(QStringLiteral("wave-stored"));
    const QString path = dir + QStringLiteral("/m.wav");
    MakePcmFile(path, Pattern(400, 18));
    TMMWaveFile file(nullptr);
    file.SetName(QStringLiteral("WaveFile1"));
    file.Wave()->SetMemoryWave(true);
    file.Wave()->SetFileName(path);
    const QByteArray text = ComponentToText(&file);
    EXPECT_TRUE(text.contains("Wave.Data = {")) << text.toStdString();

    std::unique_ptr<TComponent> read(ReadComponentFromText(text, nullptr));
    auto* copy = qobject_cast<TMMWaveFile*>(read.get());
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(copy->Wave()->MemoryWave());
    EXPECT_EQ(copy->Wave()->MemoryData().toStdString(), ReadWhole(path));
    EXPECT_EQ(copy->Wave()->DataSize(), 100);
}

TEST_F(WaveFileChain, WritesPcmBuffersByteForByteAndPeersReadThem)
{
    const QString path = PathOf("pcm.wav");
    const WAVEFORMATEX format = StereoPcm();
    Record(path, &format, 4096);
    EXPECT_TRUE(File->FileOpen());
    EXPECT_TRUE(File->FileStarted());
    EXPECT_EQ(Opens, 1);
    EXPECT_EQ(File->SilenceByte(), 0);

    std::string all;
    for (int i = 0; i < 50; ++i) {
        const std::string data = Pattern(4096, 100 + i);
        Source->Deliver(data);
        all += data;
    }
    Source->Deliver(std::string());
    Source->Finish();
    EXPECT_EQ(Closes.load(), 1);
    EXPECT_FALSE(File->FileOpen());
    EXPECT_EQ(Sink->Buffers.load(), 51) << "every buffer passes on";
    EXPECT_EQ(Sink->Bytes.load(), 50 * 4096);

    const uint32_t dataSize = 50 * 4096;
    const std::string expected
        = PcmHeader(46 + dataSize + 12 - 8, dataSize) + all + "fact" + Le32(4) + Le32(dataSize / 4);
    EXPECT_EQ(ReadWhole(path), expected);

    EXPECT_EQ(SoxSamples(path), dataSize / 4);
    EXPECT_EQ(SoxRaw(path), all);
    EXPECT_EQ(FfmpegRaw(path), all);
    EXPECT_NE(Ffprobe(path).find("codec_name=pcm_s16le"), std::string::npos);
    SF_INFO info {};
    EXPECT_EQ(SndfileRaw(path, &info), all);
    EXPECT_EQ(info.frames, dataSize / 4);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.channels, 2);
}

TEST_F(WaveFileChain, WritesGsmBlocksByteForByteAndPeersDecodeThem)
{
    const QString path = PathOf("gsm.wav");
    const GSM610WAVEFORMAT format = GsmFormat();
    Record(path, &format.wfx, 4096);
    EXPECT_EQ(File->RealBufferSize(), 4095) << "63 whole blocks";
    const std::string blocks = GsmBlocks(63 * 4);
    for (int i = 0; i < 4; ++i)
        Source->Deliver(blocks.substr(static_cast<size_t>(i) * 4095, 4095));
    Source->Finish();

    const uint32_t dataSize = 63 * 4 * 65;
    const uint32_t samples = 63 * 4 * 320;
    const std::string header = "RIFF" + Le32(48 + dataSize + 12 - 8) + "WAVEfmt " + Le32(20) + Le16(0x31)
        + Le16(1) + Le32(8000) + Le32(1625) + Le16(65) + Le16(0) + Le16(2) + Le16(320) + "data"
        + Le32(dataSize);
    EXPECT_EQ(ReadWhole(path), header + blocks + "fact" + Le32(4) + Le32(samples));

    EXPECT_EQ(SoxSamples(path), samples);
    const std::string sox = SoxRaw(path);
    EXPECT_EQ(sox.size(), samples * 2u);
    EXPECT_EQ(FfmpegRaw(path), sox) << "the same decoding";
    const std::string probe = Ffprobe(path);
    EXPECT_NE(probe.find("codec_name=gsm_ms"), std::string::npos) << probe;
    EXPECT_NE(probe.find("duration_ts=" + std::to_string(samples)), std::string::npos) << probe;
    SF_INFO info {};
    EXPECT_EQ(SndfileRaw(path, &info), sox);
    EXPECT_EQ(info.frames, samples);
}

TEST_F(WaveFileChain, ARecordingWithoutDataLeavesFourZeroBytesOfData)
{
    const QString path = PathOf("empty.wav");
    const WAVEFORMATEX format = StereoPcm();
    Record(path, &format, 4096);
    Source->Finish();
    EXPECT_EQ(
        ReadWhole(path), PcmHeader(46 + 4 + 12 - 8, 4) + std::string(4, '\0') + "fact" + Le32(4) + Le32(1));
    EXPECT_EQ(SoxSamples(path), 1);
    SF_INFO info {};
    EXPECT_EQ(SndfileRaw(path, &info), std::string(4, '\0'));
    EXPECT_EQ(info.frames, 1);
}

TEST_F(WaveFileChain, WhileNotEnabledBuffersPassOnUnwritten)
{
    const QString path = PathOf("disabled.wav");
    const WAVEFORMATEX format = StereoPcm();
    Record(path, &format, 4096);
    const std::string first = Pattern(4096, 19);
    Source->Deliver(first);
    File->SetEnabled(false);
    Source->Deliver(Pattern(4096, 20));
    File->SetEnabled(true);
    const std::string third = Pattern(4096, 21);
    Source->Deliver(third);
    Source->Finish();
    EXPECT_EQ(Sink->Buffers.load(), 3);
    EXPECT_EQ(SndfileRaw(path), first + third);
}

TEST_F(WaveFileChain, AGsmRecordingWithoutDataGetsOneBlockOfSilence)
{
    const QString path = PathOf("empty-gsm.wav");
    const GSM610WAVEFORMAT format = GsmFormat();
    Record(path, &format.wfx, 4096);
    Source->Finish();
    const std::string file = ReadWhole(path);
    ASSERT_EQ(file.size(), 48u + 66u + 12u) << "one block and its pad byte";
    EXPECT_EQ(file.substr(40, 8), "data" + Le32(65));
    EXPECT_EQ(file.substr(48, 65), GsmSilence()) << "what libgsm makes of 320 silent samples";
    EXPECT_EQ(file.substr(114), "fact" + Le32(4) + Le32(320));
    EXPECT_EQ(SoxSamples(path), 320);
    const std::string decoded = FfmpegRaw(path);
    ASSERT_EQ(decoded.size(), 640u);
    int peak = 0;
    for (size_t i = 0; i < decoded.size(); i += 2) {
        int16_t sample;
        std::memcpy(&sample, decoded.data() + i, 2);
        peak = std::max(peak, std::abs(static_cast<int>(sample)));
    }
    EXPECT_LT(peak, 64) << "silence";
    SF_INFO info {};
    EXPECT_FALSE(SndfileRaw(path, &info).empty());
}

TEST_F(WaveFileChain, AnExistingFileIsReplacedWithOverwriteExisting)
{
    const QString path = PathOf("old.wav");
    MakePcmFile(path, Pattern(400000, 8));
    File->Wave()->SetFileName(path);
    EXPECT_EQ(File->Wave()->DataSize(), 100000);
    const WAVEFORMATEX format = StereoPcm();
    Record(path, &format, 4096);
    const std::string data = Pattern(4096, 9);
    Source->Deliver(data);
    Source->Finish();
    EXPECT_EQ(ReadWhole(path), PcmHeader(46 + 4096 + 12 - 8, 4096) + data + "fact" + Le32(4) + Le32(1024));
    EXPECT_EQ(File->Wave()->DataSize(), 1024);
}

TEST_F(WaveFileChain, WithoutOverwriteExistingItWritesIntoTheFileFromTheWavesPosition)
{
    const QString path = PathOf("append.wav");
    const std::string old = Pattern(8000, 10);
    MakePcmFile(path, old);
    File->SetOverwriteExisting(false);
    File->Wave()->SetFileName(path);
    File->Wave()->SetPosition(File->Wave()->DataSize());
    const WAVEFORMATEX format = StereoPcm();
    Record(path, &format, 4096);
    const std::string data = Pattern(4096, 11);
    Source->Deliver(data);
    Source->Finish();
    EXPECT_EQ(SndfileRaw(path), old + data);
    EXPECT_EQ(SoxRaw(path), old + data);
}

TEST_F(WaveFileChain, RefusesToWriteAnotherFormatIntoAnExistingFile)
{
    const QString path = PathOf("stereo.wav");
    MakePcmFile(path, Pattern(8000, 12));
    const std::string before = ReadWhole(path);
    File->SetOverwriteExisting(false);
    File->Wave()->SetFileName(path);
    const GSM610WAVEFORMAT format = GsmFormat();
    File->Wave()->SetFileName(path);
    Source->SetPWaveFormat(&format.wfx);
    try {
        Source->Opened();
        ADD_FAILURE() << "GSM data went into a PCM file";
    } catch (const EMMWaveError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Unable to open wave file"));
    }
    EXPECT_FALSE(File->FileOpen());
    EXPECT_EQ(ReadWhole(path), before) << "the file is untouched";
}

TEST_F(WaveFileChain, SettingTheNameOfTheFileBeingWrittenKeepsTheRecordingGoing)
{
    const QString path = PathOf("running.wav");
    const WAVEFORMATEX format = StereoPcm();
    Record(path, &format, 4096);
    const std::string first = Pattern(48000 * 4, 13);
    Source->Deliver(first);
    File->Wave()->SetFileName(path);
    File->Wave()->SetFileName(Dir + QStringLiteral("/./running.wav"));
    EXPECT_EQ(Changes, 0) << "no change of file";
    EXPECT_TRUE(File->FileStarted());
    const std::string second = Pattern(4096, 14);
    Source->Deliver(second);
    Source->Finish();
    EXPECT_EQ(SndfileRaw(path), first + second);
}

TEST_F(WaveFileChain, AnotherNameWhileRecordingFinishesTheFileAndReportsAChange)
{
    const QString path = PathOf("first.wav");
    const WAVEFORMATEX format = StereoPcm();
    Record(path, &format, 4096);
    const std::string data = Pattern(4096 * 3, 15);
    Source->Deliver(data);
    int changed = 0;
    File->SetOnChanged([&](TObject*) { ++changed; });
    File->Wave()->SetFileName(PathOf("second.wav"));
    EXPECT_EQ(Changes, 1);
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(SndfileRaw(path), data) << "finished with everything written";
    EXPECT_EQ(ReadWhole(path).size(), 46u + data.size() + 12u);
    Source->Deliver(Pattern(4096, 16));
    EXPECT_EQ(Sink->Buffers.load(), 2) << "buffers still pass on";
    Source->Finish();
    EXPECT_EQ(Closes.load(), 1);
    EXPECT_FALSE(QFile::exists(PathOf("second.wav"))) << "nothing is written until the next start";
}

TEST_F(WaveFileChain, TooLittleFreeSpaceFinishesTheFileAndClosesInTheMainThread)
{
    const QString path = PathOf("full.wav");
    static std::atomic<int> allowed;
    static std::atomic<std::int32_t> asked;
    allowed = 5;
    const auto saved = WaveFileEnoughDiskSpace;
    WaveFileEnoughDiskSpace = [](const QString&, std::int32_t bytes) {
        asked = bytes;
        return allowed.fetch_sub(1) > 0;
    };
    const WAVEFORMATEX format = StereoPcm();
    Record(path, &format, 4096);
    std::string written;
    TEvent done(true, false);
    TDeliveryThread thread(Source.get(), [&] {
        for (int i = 0; i < 8; ++i) {
            const std::string data = Pattern(4096, 200 + i);
            if (i < 5)
                written += data;
            Source->Deliver(data);
        }
        done.SetEvent();
    });
    thread.Resume();
    for (int round = 0; round < 3000 && done.WaitFor(0) != wrSignaled; ++round)
        Delay(10, true);
    ASSERT_EQ(done.WaitFor(0), wrSignaled);
    WaveFileEnoughDiskSpace = saved;

    EXPECT_EQ(asked.load(), 32768 + 4096 + 10240);
    EXPECT_EQ(Closes.load(), 1);
    EXPECT_TRUE(CloseInMain.load()) << "OnClose runs in the main thread";
    EXPECT_FALSE(File->FileOpen());
    EXPECT_EQ(Sink->Buffers.load(), 8) << "later buffers still pass on, unwritten";
    const std::string file = ReadWhole(path);
    EXPECT_EQ(
        file, PcmHeader(46 + 5 * 4096 + 12 - 8, 5 * 4096) + written + "fact" + Le32(4) + Le32(5 * 1024));
    Source->Finish();
    EXPECT_EQ(Closes.load(), 1) << "closed once";
    EXPECT_EQ(ReadWhole(path), file);
}

// The file may not grow past a limit (RLIMIT_FSIZE, no privileges needed):
// writes beyond it fail with EFBIG.
class WaveFileSizeLimit {
public:
    explicit WaveFileSizeLimit(rlim_t bytes)
    {
        FSignal = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &FSaved);
        const rlimit limited { bytes, FSaved.rlim_max };
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~WaveFileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &FSaved);
        std::signal(SIGXFSZ, FSignal);
    }

private:
    rlimit FSaved {};
    void (*FSignal)(int) = nullptr;
};

TEST_F(WaveFileChain, AFailedFinishIsReportedAndLeavesTheHeaderOfTheLastSync)
{
    // The limit stops the buffered audio, or only the chunks after it.
    for (const int allowed : { 0, 2 * 4096 }) {
        SCOPED_TRACE(allowed);
        const QString path = PathOf("limited.wav");
        const WAVEFORMATEX format = StereoPcm();
        Record(path, &format, 4096);
        for (int i = 0; i < 10; ++i)
            Source->Deliver(Pattern(4096, 400 + i));
        {
            TCriticalSectionLock guard(File->Wave()->Lock());
            ASSERT_EQ(WaveIOSync(File->Wave()->WaveIO()), kWaveIOOk);
        }
        const std::string synced = ReadWhole(path).substr(0, 46);
        Source->Deliver(Pattern(4096, 410));
        Source->Deliver(Pattern(4096, 411));
        const int closesBefore = Closes.load();
        {
            const WaveFileSizeLimit limit(46 + 10 * 4096 + allowed);
            Source->Finish();
        }
        EXPECT_EQ(Closes.load(), closesBefore + 1);
        QCoreApplication::sendPostedEvents();
        EXPECT_EQ(Exceptions, QStringList { "Error writing wave file" });
        Exceptions.clear();
        EXPECT_EQ(ReadWhole(path).substr(0, 46), synced) << "the header is the last sync's";
        EXPECT_EQ(synced, PcmHeader(38 + 10 * 4096, 10 * 4096));
    }
}

// A small file system of its own, so that the disk really fills up. Needs
// the right to mount (root); skipped elsewhere.
class WaveFileOnSmallDisk : public WaveFileChain {
protected:
    void SetUp() override
    {
        WaveFileChain::SetUp();
        Mount = Dir + QStringLiteral("/disk");
        ASSERT_TRUE(QDir().mkpath(Mount));
        if (::mount("tonvara-test", QFile::encodeName(Mount).constData(), "tmpfs", 0, "size=1m") != 0)
            GTEST_SKIP() << "cannot mount a small tmpfs here";
        Mounted = true;
    }
    void TearDown() override
    {
        WaveFileChain::TearDown();
        if (Mounted)
            ::umount(QFile::encodeName(Mount).constData());
    }

    /// Delivers buffers until the component closes the file by itself.
    std::string RecordUntilClosed(const QString& path)
    {
        const WAVEFORMATEX format = StereoPcm();
        Record(path, &format, 4096);
        std::string written;
        for (int i = 0; i < 1000 && File->FileOpen(); ++i) {
            const std::string data = Pattern(4096, 300 + i);
            Source->Deliver(data);
            if (File->FileOpen())
                written += data;
        }
        return written;
    }

    QString Mount;
    bool Mounted = false;
};

TEST_F(WaveFileOnSmallDisk, StopsWritingBeforeTheDiskIsFullAndLeavesAValidFile)
{
    const QString path = Mount + QStringLiteral("/rec.wav");
    const std::string written = RecordUntilClosed(path);
    EXPECT_FALSE(File->FileOpen());
    EXPECT_EQ(Closes.load(), 1);
    EXPECT_GT(written.size(), 600000u);
    SF_INFO info {};
    const std::string read = SndfileRaw(path, &info);
    EXPECT_GE(read.size(), written.size()) << "everything written before the check failed";
    EXPECT_EQ(read.substr(0, written.size()), written);
    EXPECT_EQ(SoxRaw(path), read);
    EXPECT_EQ(DwordAt(ReadWhole(path), 4) + 8, ReadWhole(path).size()) << "finished: RIFF size fixed";
}

TEST_F(WaveFileOnSmallDisk, AFailedWriteClosesTheFileWhichReadersStillTake)
{
    const auto saved = WaveFileEnoughDiskSpace;
    WaveFileEnoughDiskSpace = [](const QString&, std::int32_t) { return true; };
    const QString path = Mount + QStringLiteral("/rec.wav");
    const std::string written = RecordUntilClosed(path);
    WaveFileEnoughDiskSpace = saved;
    EXPECT_FALSE(File->FileOpen()) << "the disk filled up and a write failed";
    EXPECT_EQ(Closes.load(), 1);
    SF_INFO info {};
    const std::string read = SndfileRaw(path, &info);
    EXPECT_GT(read.size(), 0u);
    EXPECT_LE(read.size(), written.size());
    EXPECT_EQ(read, written.substr(0, read.size())) << "what readers get is what was recorded";
    EXPECT_GT(read.size() + 192000u, written.size()) << "at most about a second is lost";
}

// ---------------------------------------------------------------------------
// TMMWaveFile as a source

TEST(MMWaveFileSource, PlaysTheFileThenSaysThereIsNoMore)
{
    const QString dir = tonvara::test::MakeTempDir(QStringLiteral("wave-play"));
    const QString path = dir + QStringLiteral("/play.wav");
    const std::string data = Pattern(4096 * 2 + 1000, 17);
    MakePcmFile(path, data);
    TMMWaveFile file(nullptr);
    file.Wave()->SetFileName(path);
    ASSERT_NE(file.PWaveFormat(), nullptr) << "the file's format is handed down";
    std::vector<char> block(kBufferRecordSize + 4096);
    auto* record = reinterpret_cast<TMMBufferRecord*>(block.data());
    InitBufferRecord(record, 4096);

    bool more = true;
    file.Opened();
    file.BufferLoad(&record->Header, more);
    EXPECT_EQ(record->Header.dwBytesRecorded, 4096u);
    EXPECT_EQ(std::string(record->Header.lpData, 4096), std::string(4096, '\0')) << "silence before Started";

    file.Started();
    std::string played;
    for (int i = 0; i < 5 && more; ++i) {
        file.BufferLoad(&record->Header, more);
        played.append(record->Header.lpData, record->Header.dwBytesRecorded);
    }
    EXPECT_FALSE(more);
    EXPECT_EQ(played, data);

    record->Looping = -1;
    record->LoopsLeft = 1;
    int loops = 0;
    file.SetOnLooping([&](TObject*) { ++loops; });
    file.Wave()->SetPosition(2048);
    more = true;
    played.clear();
    for (int i = 0; i < 10 && more; ++i) {
        file.BufferLoad(&record->Header, more);
        played.append(record->Header.lpData, record->Header.dwBytesRecorded);
    }
    EXPECT_EQ(loops, 1);
    EXPECT_EQ(played, data.substr(2048 * 4) + data);
    file.Stopped();
    file.Closed();
}

} // namespace

#include "MMWave_test.moc"
