#include "mm/capture/MMWaveIO.h"
#include "mm/format/MMWaveFormat.h"
#include "support/PeerProcess.h"
#include "support/Peers.h"
#include "support/TestSupport.h"
#include "support/WaveFormats.h"

#include <QCoreApplication>
#include <QFile>
#include <QLibraryInfo>
#include <QProcess>
#include <QResource>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <gsm.h>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <sndfile.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Building files byte by byte.

std::string Le16(uint16_t v)
{
    return std::string { static_cast<char>(v & 0xFF), static_cast<char>(v >> 8) };
}

std::string Le32(uint32_t v)
{
    return Le16(static_cast<uint16_t>(v & 0xFFFF)) + Le16(static_cast<uint16_t>(v >> 16));
}

/// A chunk with its true size and a pad byte after an odd size.
std::string Chunk(const char* id, const std::string& body)
{
    std::string c = std::string(id, 4) + Le32(static_cast<uint32_t>(body.size())) + body;
    if (body.size() & 1)
        c += '\0';
    return c;
}

/// A chunk header declaring any size, followed by body as it is.
std::string ChunkDeclaring(const char* id, uint32_t declared, const std::string& body)
{
    return std::string(id, 4) + Le32(declared) + body;
}

std::string Riff(const std::string& body)
{
    return "RIFF" + Le32(static_cast<uint32_t>(body.size() + 4)) + "WAVE" + body;
}

std::string FmtBody(
    uint16_t tag, uint16_t channels, uint32_t rate, uint32_t avg, uint16_t align, uint16_t bits)
{
    return Le16(tag) + Le16(channels) + Le32(rate) + Le32(avg) + Le16(align) + Le16(bits);
}

std::string Pcm16Body(uint16_t bits, uint16_t channels, uint32_t rate)
{
    const uint16_t align = static_cast<uint16_t>(channels * bits / 8);
    return FmtBody(1, channels, rate, align * rate, align, bits);
}

std::string Pcm18Body(uint16_t bits, uint16_t channels, uint32_t rate)
{
    return Pcm16Body(bits, channels, rate) + Le16(0);
}

std::string GsmBody()
{
    return FmtBody(0x31, 1, 8000, 1625, 65, 0) + Le16(2) + Le16(320);
}

std::string Pattern(size_t size, unsigned seed)
{
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

WAVEFORMATEX PcmFormat(WORD bits, WORD channels, DWORD rate)
{
    WAVEFORMATEX f {};
    BuildPCMFormat(&f, bits, channels, rate);
    return f;
}

using tonvara::test::GsmFormat;

struct FreeBlock {
    void operator()(PWaveIOCB cb) const { WaveIOFree(cb); }
};
using Block = std::unique_ptr<TWaveIOCB, FreeBlock>;

std::string ReadWhole(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.readAll();
    return std::string(data.constData(), static_cast<size_t>(data.size()));
}

void WriteWhole(const std::string& path, const std::string& bytes)
{
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes.data(), static_cast<qint64>(bytes.size())), static_cast<qint64>(bytes.size()));
}

uint32_t DwordAt(const std::string& bytes, size_t offset)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes.at(offset + static_cast<size_t>(i))))
            << (8 * i);
    return v;
}

// ---------------------------------------------------------------------------
// GSM 6.10 blocks through libgsm (65-byte blocks of 320 samples).

std::vector<int16_t> TestSignal(size_t samples, unsigned seed)
{
    std::vector<int16_t> pcm(samples);
    uint32_t x = seed;
    for (size_t i = 0; i < samples; ++i) {
        x = x * 1664525u + 1013904223u;
        const double tone = 6000 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 8000)
            + 3000 * std::sin(2 * M_PI * 1250 * static_cast<double>(i) / 8000);
        pcm[i] = static_cast<int16_t>(tone + static_cast<int>(x >> 22) - 512);
    }
    return pcm;
}

std::string GsmEncode(const std::vector<int16_t>& pcm)
{
    gsm g = gsm_create();
    int one = 1;
    gsm_option(g, GSM_OPT_WAV49, &one);
    std::string blocks;
    std::vector<gsm_signal> in(pcm.begin(), pcm.end());
    for (size_t at = 0; at + 320 <= in.size(); at += 320) {
        gsm_byte block[65];
        gsm_encode(g, in.data() + at, block);
        gsm_encode(g, in.data() + at + 160, block + 32);
        blocks.append(reinterpret_cast<const char*>(block), 65);
    }
    gsm_destroy(g);
    return blocks;
}

std::vector<int16_t> GsmDecode(const std::string& blocks)
{
    gsm g = gsm_create();
    int one = 1;
    gsm_option(g, GSM_OPT_WAV49, &one);
    std::vector<int16_t> pcm;
    for (size_t at = 0; at + 65 <= blocks.size(); at += 65) {
        gsm_byte block[65];
        std::memcpy(block, blocks.data() + at, 65);
        gsm_signal out[320];
        EXPECT_EQ(gsm_decode(g, block, out), 0);
        EXPECT_EQ(gsm_decode(g, block + 33, out + 160), 0);
        pcm.insert(pcm.end(), out, out + 320);
    }
    gsm_destroy(g);
    return pcm;
}

// ---------------------------------------------------------------------------
// Real readers.

using tonvara::test::RunTool;
using tonvara::test::TToolResult;

std::vector<int16_t> ToSamples(const std::string& raw)
{
    std::vector<int16_t> samples(raw.size() / 2);
    std::memcpy(samples.data(), raw.data(), samples.size() * 2);
    return samples;
}

std::vector<int16_t> SoxDecode(const std::string& path)
{
    return ToSamples(tonvara::test::SoxRaw(QString::fromStdString(path)));
}

std::vector<int16_t> FfmpegDecode(const std::string& path)
{
    return ToSamples(tonvara::test::FfmpegRaw(QString::fromStdString(path)));
}

std::string Ffprobe(const std::string& path)
{
    return tonvara::test::Ffprobe(QString::fromStdString(path));
}

std::vector<int16_t> SndfileDecode(const std::string& path, SF_INFO* info = nullptr)
{
    return ToSamples(tonvara::test::SndfileRaw(QString::fromStdString(path), info));
}

// ---------------------------------------------------------------------------
// Which threads make files durable: this definition comes before the C
// library's for the whole test program.

std::mutex gSyncCallersLock;
std::vector<std::thread::id> gSyncCallers;

} // namespace

extern "C" int fdatasync(int fd)
{
    static const auto next = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fdatasync"));
    {
        std::lock_guard lock(gSyncCallersLock);
        gSyncCallers.push_back(std::this_thread::get_id());
    }
    return next(fd);
}

namespace {

// ---------------------------------------------------------------------------
// The writer that the crash test kills. The test executable starts itself
// with TONVARA_WAVEIO_CRASH_CHILD=<pcm|gsm>:<path>; before main runs, this
// writes at real pace, reporting every write with one '.' on stdout, until it
// is killed (or gives up after a minute when nobody does).

constexpr int kPcmChildStepMs = 100;
constexpr int kGsmChildStepMs = 200;
constexpr int kGsmChildBlocksPerStep = 5;

std::string CounterFrames(uint32_t first, uint32_t count)
{
    std::string bytes;
    bytes.reserve(count * 4);
    for (uint32_t n = first; n < first + count; ++n)
        bytes += Le16(static_cast<uint16_t>(n & 0xFFFF)) + Le16(static_cast<uint16_t>(n >> 16));
    return bytes;
}

std::string ChildGsmBlocks()
{
    return GsmEncode(TestSignal(8000 * 70, 7));
}

int RunCrashChildIfAsked()
{
    const char* childArgs = std::getenv("TONVARA_WAVEIO_CRASH_CHILD");
    if (!childArgs)
        return 0;
    const std::string text(childArgs);
    const bool gsmMode = text.rfind("gsm:", 0) == 0;
    const std::string path = text.substr(4);
    const WAVEFORMATEX pcm = PcmFormat(16, 2, 48000);
    const GSM610WAVEFORMAT gsmFormat = GsmFormat();
    PWaveIOCB cb = nullptr;
    if (WaveIOFromFormat(gsmMode ? &gsmFormat.wfx : &pcm, &cb) != kWaveIOOk
        || WaveIOCreate(cb, path.c_str()) != kWaveIOOk || WaveIOSetBuffer(cb, 32768) != kWaveIOOk)
        ::_exit(2);
    const std::string gsmBlocks = gsmMode ? ChildGsmBlocks() : std::string();
    const int stepMs = gsmMode ? kGsmChildStepMs : kPcmChildStepMs;
    timespec deadline {};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    for (int step = 0; step < 60000 / stepMs; ++step) {
        deadline.tv_nsec += static_cast<long>(stepMs) * 1000000;
        if (deadline.tv_nsec >= 1000000000) {
            deadline.tv_nsec -= 1000000000;
            ++deadline.tv_sec;
        }
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) != 0) { }
        std::string chunk;
        if (gsmMode)
            chunk = gsmBlocks.substr(
                static_cast<size_t>(step) * kGsmChildBlocksPerStep * 65, kGsmChildBlocksPerStep * 65);
        else
            chunk = CounterFrames(static_cast<uint32_t>(step) * 4800, 4800);
        if (WaveIOWrite(cb, chunk.data(), static_cast<LONG>(chunk.size())) != static_cast<LONG>(chunk.size()))
            ::_exit(3);
        if (::write(1, ".", 1) != 1)
            ::_exit(4);
    }
    ::_exit(5);
}

const int kCrashChild = RunCrashChildIfAsked();

// ---------------------------------------------------------------------------

class WaveIO : public testing::Test {
protected:
    void SetUp() override { FDir = tonvara::test::MakeTempDir("waveio").toStdString(); }

    std::string Path(const std::string& name) const { return FDir + "/" + name; }

    /// Writes bytes to a file and parses it.
    int OpenBytes(
        const std::string& bytes, Block& block, DWORD flags = kWaveIOFile, const char* name = "in.wav")
    {
        const std::string path = Path(name);
        WriteWhole(path, bytes);
        PWaveIOCB cb = nullptr;
        const int result = WaveIOOpen(path.c_str(), flags, &cb);
        block.reset(cb);
        return result;
    }

    /// Creates a file from a format, writes data in pieces and closes it.
    void WriteFile(
        const std::string& path, const WAVEFORMATEX* format, const std::string& data, size_t piece = 4096)
    {
        PWaveIOCB cb = nullptr;
        ASSERT_EQ(WaveIOFromFormat(format, &cb), kWaveIOOk);
        Block block(cb);
        ASSERT_EQ(WaveIOCreate(cb, path.c_str()), kWaveIOOk);
        for (size_t at = 0; at < data.size(); at += piece) {
            const std::string part = data.substr(at, piece);
            ASSERT_EQ(
                WaveIOWrite(cb, part.data(), static_cast<LONG>(part.size())), static_cast<LONG>(part.size()));
        }
        ASSERT_EQ(WaveIOClose(cb), kWaveIOOk);
    }

    std::string FDir;
};

// ------------------------------- parsing -----------------------------------

TEST_F(WaveIO, OpensAPlainPcmFileAndReturnsItClosed)
{
    const std::string data = Pattern(4000, 1);
    const std::string file = Riff(Chunk("fmt ", Pcm16Body(16, 2, 44100)) + Chunk("data", data));
    Block b;
    ASSERT_EQ(OpenBytes(file, b), kWaveIOOk);
    EXPECT_EQ(b->Handle, nullptr);
    EXPECT_EQ(b->OpenFlags, kWaveIOFile);
    EXPECT_STREQ(b->FileNameText, Path("in.wav").c_str());
    EXPECT_EQ(b->FileSize, static_cast<LONG>(file.size()));
    EXPECT_EQ(b->DataOffset, 44);
    EXPECT_EQ(b->DataBytes, 4000);
    EXPECT_EQ(b->SampleCount, 1000);
    EXPECT_EQ(b->StartSample, 0);
    EXPECT_EQ(b->EndSample, 1000);
    EXPECT_EQ(b->BytesRemaining, 0);
    EXPECT_EQ(b->CurrentSample, 0);
    EXPECT_EQ(b->RiffChunk.cksize, file.size() - 8);
    EXPECT_EQ(b->DataChunk.ckid, mmioFOURCC('d', 'a', 't', 'a'));
    EXPECT_EQ(b->DataChunk.cksize, 4000u);
    EXPECT_EQ(b->Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(b->Format.nBlockAlign, 4);
    EXPECT_EQ(b->Format.cbSize, 0) << "a 16-byte fmt chunk gives cbSize 0";
    EXPECT_GE(b->BlockSize, offsetof(TWaveIOCB, Format) + sizeof(WAVEFORMATEX) + 1);
    ASSERT_NE(b->InfoList, nullptr);
    ASSERT_NE(b->DispList, nullptr);
    EXPECT_TRUE(b->DispList->Entries.empty());
}

TEST_F(WaveIO, DataDeclaredLongerThanTheFileIsCutToTheFileAndWholeBlocks)
{
    const std::string data = Pattern(1002, 2);
    const std::string body = Chunk("fmt ", Pcm16Body(16, 2, 8000)) + ChunkDeclaring("data", 40000, data);
    Block b;
    ASSERT_EQ(OpenBytes("RIFF" + Le32(4 + 40000 + 24) + "WAVE" + body, b), kWaveIOOk);
    EXPECT_EQ(b->DataBytes, 1000);
    EXPECT_EQ(b->SampleCount, 250);
    EXPECT_EQ(b->RiffChunk.cksize, 4 + body.size()) << "RIFF size cut to the file";
}

TEST_F(WaveIO, BytesAfterAFinalDataChunksDeclaredEndCountAsData)
{
    // An unfinished recording: the header still says 100 bytes.
    const std::string data = Pattern(900, 3);
    const std::string body = Chunk("fmt ", Pcm16Body(8, 1, 8000)) + ChunkDeclaring("data", 100, data);
    Block b;
    ASSERT_EQ(OpenBytes("RIFF" + Le32(4 + 24 + 108) + "WAVE" + body, b), kWaveIOOk);
    EXPECT_EQ(b->DataBytes, 900);
    EXPECT_EQ(b->SampleCount, 900);
}

TEST_F(WaveIO, DataEndsAtTheNextChunkAndTheFactCountGivesWay)
{
    const std::string body = Chunk("fmt ", Pcm16Body(16, 1, 8000)) + Chunk("data", Pattern(100, 4))
        + Chunk("fact", Le32(12345)) + Chunk("junk", Pattern(30, 5));
    Block b;
    ASSERT_EQ(OpenBytes(Riff(body), b), kWaveIOOk);
    EXPECT_EQ(b->DataBytes, 100);
    EXPECT_EQ(b->SampleCount, 50) << "the fact count gives way to the data";

    // A damaged size after the data: the data still ends where that header starts.
    const std::string damaged = Chunk("fmt ", Pcm16Body(16, 1, 8000)) + Chunk("data", Pattern(100, 4))
        + ChunkDeclaring("fact", 0x7FFFFFF0, Le32(1));
    ASSERT_EQ(OpenBytes(Riff(damaged), b), kWaveIOOk);
    EXPECT_EQ(b->DataBytes, 100);
}

TEST_F(WaveIO, ThePadByteAfterAnOddDataChunkIsNoAudio)
{
    // With a chunk after the data, and with the data last in the file.
    for (const std::string& after : { Chunk("fact", Le32(99)), std::string() }) {
        const std::string body = Chunk("fmt ", Pcm16Body(8, 1, 8000)) + Chunk("data", Pattern(99, 6)) + after;
        Block b;
        ASSERT_EQ(OpenBytes(Riff(body), b), kWaveIOOk);
        EXPECT_EQ(b->DataBytes, 99) << after.size();
        EXPECT_EQ(b->SampleCount, 99) << after.size();
    }
}

TEST_F(WaveIO, GsmDataIsCountedInWholeBlocksWithTheFactCountReplaced)
{
    const std::string blocks = Pattern(65 * 3, 7);
    const std::string body = Chunk("fmt ", GsmBody()) + Chunk("data", blocks + "xy") + Chunk("fact", Le32(1));
    Block b;
    ASSERT_EQ(OpenBytes(Riff(body), b), kWaveIOOk);
    EXPECT_EQ(b->DataOffset, 48);
    EXPECT_EQ(b->DataBytes, 195);
    EXPECT_EQ(b->SampleCount, 960);
    EXPECT_EQ(b->Format.cbSize, 2);
    EXPECT_EQ(reinterpret_cast<const GSM610WAVEFORMAT*>(&b->Format)->wSamplesPerBlock, 320);
}

TEST_F(WaveIO, AWrongPcmBlockAlignAndByteRateAreCorrected)
{
    const std::string fmt = FmtBody(1, 2, 22050, 12345, 3, 16) + Le16(7);
    Block b;
    ASSERT_EQ(OpenBytes(Riff(Chunk("fmt ", fmt) + Chunk("data", Pattern(401, 8))), b), kWaveIOOk);
    EXPECT_EQ(b->Format.nBlockAlign, 4);
    EXPECT_EQ(b->Format.nAvgBytesPerSec, 88200u);
    EXPECT_EQ(b->Format.cbSize, 0);
    EXPECT_EQ(b->DataBytes, 400) << "whole frames of the corrected block size";
    EXPECT_EQ(b->SampleCount, 100);

    // 24-bit samples take three whole bytes.
    ASSERT_EQ(
        OpenBytes(Riff(Chunk("fmt ", FmtBody(1, 2, 48000, 1, 1, 24)) + Chunk("data", Pattern(60, 9))), b),
        kWaveIOOk);
    EXPECT_EQ(b->Format.nBlockAlign, 6);
    EXPECT_EQ(b->SampleCount, 10);
}

TEST_F(WaveIO, TheScanStopsAtASecondFmtChunk)
{
    const std::string info = Chunk("LIST", "INFO" + Chunk("INAM", std::string("late\0", 5)));
    const std::string body = Chunk("fmt ", Pcm16Body(16, 1, 8000)) + Chunk("data", Pattern(50, 10))
        + Chunk("fmt ", Pcm16Body(8, 2, 11025)) + info;
    Block b;
    ASSERT_EQ(OpenBytes(Riff(body), b), kWaveIOOk);
    EXPECT_EQ(b->Format.nSamplesPerSec, 8000u);
    EXPECT_EQ(b->DataBytes, 50);
    std::string text;
    ASSERT_EQ(RiffGetInfo(b->InfoList, mmioFOURCC('I', 'N', 'A', 'M'), text), kRiffOk);
    EXPECT_EQ(text, "") << "chunks after the second fmt are not read";
}

TEST_F(WaveIO, TheScanStopsAtASecondDataChunk)
{
    const std::string body = Chunk("fmt ", Pcm16Body(8, 1, 8000)) + Chunk("data", Pattern(10, 11))
        + Chunk("data", Pattern(20, 12));
    Block b;
    ASSERT_EQ(OpenBytes(Riff(body), b), kWaveIOOk);
    EXPECT_EQ(b->DataBytes, 10);
}

TEST_F(WaveIO, ChunksPastTheRiffEndAreCutBeforeFmtAndDataAndEndTheScanAfter)
{
    // The data chunk claims far more than there is: cut to the file's end.
    const std::string data = Pattern(64, 13);
    std::string body = Chunk("fmt ", Pcm16Body(16, 1, 8000)) + ChunkDeclaring("data", 0x7FFFFF00, data);
    Block b;
    ASSERT_EQ(OpenBytes(Riff(body), b), kWaveIOOk);
    EXPECT_EQ(b->DataBytes, 64);

    // After fmt and data a chunk running past the end stops the scan; the
    // data ends at its header.
    body = Chunk("fmt ", Pcm16Body(16, 1, 8000)) + Chunk("data", data)
        + ChunkDeclaring("LIST", 5000, "INFO" + Chunk("INAM", std::string("x\0", 2)));
    ASSERT_EQ(OpenBytes(Riff(body), b), kWaveIOOk);
    EXPECT_EQ(b->DataBytes, 64);
    std::string text;
    ASSERT_EQ(RiffGetInfo(b->InfoList, mmioFOURCC('I', 'N', 'A', 'M'), text), kRiffOk);
    EXPECT_EQ(text, "");

    // Before fmt an oversized chunk swallows the rest of the file.
    body = ChunkDeclaring("junk", 0xFFFFFFF0, "abcd") + Chunk("fmt ", Pcm16Body(16, 1, 8000))
        + Chunk("data", data);
    EXPECT_EQ(OpenBytes(Riff(body), b), kWaveIOError);
    EXPECT_EQ(b.get(), nullptr);
}

TEST_F(WaveIO, NotAWaveFileIsAFileError)
{
    Block b;
    EXPECT_EQ(OpenBytes("", b), kWaveIOFileError);
    EXPECT_EQ(OpenBytes("RIFF", b), kWaveIOFileError);
    EXPECT_EQ(OpenBytes("RIFF" + Le32(4) + "AVI ", b), kWaveIOFileError);
    EXPECT_EQ(OpenBytes("LIST" + Le32(4) + "WAVE", b), kWaveIOFileError);
    EXPECT_EQ(OpenBytes(Pattern(300, 14), b), kWaveIOFileError);
    PWaveIOCB cb = reinterpret_cast<PWaveIOCB>(1);
    EXPECT_EQ(WaveIOOpen(Path("missing.wav").c_str(), kWaveIOFile, &cb), kWaveIOFileError);
    EXPECT_EQ(cb, nullptr);
    EXPECT_EQ(WaveIOOpen(static_cast<LPCSTR>(nullptr), kWaveIOFile, &cb), kWaveIOBadParam);
    EXPECT_EQ(WaveIOOpen("", kWaveIOFile, &cb), kWaveIOBadParam);
    EXPECT_EQ(WaveIOOpen(Path("x").c_str(), kWaveIOFile, nullptr), kWaveIOBadParam);
}

TEST_F(WaveIO, MissingFmtOrDataIsAGeneralError)
{
    Block b;
    EXPECT_EQ(OpenBytes(Riff(Chunk("data", Pattern(10, 15))), b), kWaveIOError);
    EXPECT_EQ(OpenBytes(Riff(Chunk("fmt ", Pcm16Body(16, 1, 8000))), b), kWaveIOError);
    EXPECT_EQ(OpenBytes(Riff(""), b), kWaveIOError);
}

TEST_F(WaveIO, FormatsThatCannotBeDividedIntoBlocksAreFileErrors)
{
    Block b;
    const std::string data = Chunk("data", Pattern(100, 16));
    EXPECT_EQ(OpenBytes(Riff(Chunk("fmt ", FmtBody(0x31, 1, 8000, 1625, 0, 0) + Le16(0)) + data), b),
        kWaveIOFileError);
    EXPECT_EQ(OpenBytes(Riff(Chunk("fmt ", FmtBody(1, 1, 8000, 16000, 0, 16)) + data), b), kWaveIOFileError)
        << "nBlockAlign 0, even for PCM";
    EXPECT_EQ(OpenBytes(Riff(Chunk("fmt ", FmtBody(1, 1, 0, 0, 2, 16)) + data), b), kWaveIOFileError);
    EXPECT_EQ(OpenBytes(Riff(Chunk("fmt ", FmtBody(0x31, 1, 8000, 0, 65, 0) + Le16(0)) + data), b),
        kWaveIOFileError);
    EXPECT_EQ(OpenBytes(Riff(Chunk("fmt ", FmtBody(1, 0, 8000, 16000, 2, 16)) + data), b), kWaveIOFileError);
    EXPECT_EQ(OpenBytes(Riff(Chunk("fmt ", FmtBody(1, 1, 8000, 16000, 2, 0)) + data), b), kWaveIOFileError);
    EXPECT_EQ(OpenBytes(Riff(Chunk("fmt ", "\x01\x00") + data), b), kWaveIOFileError);
}

TEST_F(WaveIO, ExtraFormatBytesTheChunkDoesNotHoldAreDropped)
{
    // cbSize claims 40 extra bytes; the chunk holds 2.
    const std::string fmt = FmtBody(0x31, 1, 8000, 1625, 65, 0) + Le16(40) + Le16(320);
    Block b;
    ASSERT_EQ(OpenBytes(Riff(Chunk("fmt ", fmt) + Chunk("data", Pattern(130, 17))), b), kWaveIOOk);
    EXPECT_EQ(b->Format.cbSize, 2);
    EXPECT_EQ(WaveFormatSize(&b->Format), 20u);
    PWAVEFORMATEX copy = CopyWaveFormat(&b->Format);
    EXPECT_EQ(reinterpret_cast<GSM610WAVEFORMAT*>(copy)->wSamplesPerBlock, 320);
    FreeWaveFormat(copy);
}

TEST_F(WaveIO, InfoAndDispChunksAreRead)
{
    const std::string info = "INFO" + Chunk("INAM", std::string("Kay\xc4\xb1t 1\0", 9))
        + Chunk("IXYZ", std::string("skip\0", 5)) + Chunk("ICMT", "no terminator");
    const std::string body = Chunk("LIST", info) + Chunk("fmt ", Pcm16Body(8, 1, 8000))
        + Chunk("DISP", Le32(1) + std::string("title\0", 6)) + Chunk("data", Pattern(10, 18))
        + Chunk("DISP", "ab");
    Block b;
    ASSERT_EQ(OpenBytes(Riff(body), b), kWaveIOOk);
    std::string text;
    ASSERT_EQ(RiffGetInfo(b->InfoList, mmioFOURCC('I', 'N', 'A', 'M'), text), kRiffOk);
    EXPECT_EQ(text, "Kay\xc4\xb1t 1");
    ASSERT_EQ(RiffGetInfo(b->InfoList, mmioFOURCC('I', 'C', 'M', 'T'), text), kRiffOk);
    EXPECT_EQ(text, "no terminator");
    ASSERT_EQ(b->DispList->Entries.size(), 1u) << "the 2-byte DISP chunk has no type";
    EXPECT_EQ(b->DispList->Entries[0].Type, kDispText);
    EXPECT_EQ(std::string(b->DispList->Entries[0].Data.begin(), b->DispList->Entries[0].Data.end()),
        std::string("title\0", 6));
    EXPECT_EQ(b->DataBytes, 10);
}

TEST_F(WaveIO, HeaderOnlyGivesTheParsedHeaderThatCannotBeReopened)
{
    const std::string file = Riff(Chunk("fmt ", GsmBody()) + Chunk("data", Pattern(130, 19)));
    Block b;
    ASSERT_EQ(OpenBytes(file, b, kWaveIOFile | kWaveIOHeaderOnly), kWaveIOOk);
    EXPECT_EQ(b->OpenFlags, kWaveIOHeaderOnly);
    EXPECT_EQ(b->Format.wFormatTag, WAVE_FORMAT_GSM610);
    EXPECT_EQ(b->SampleCount, 640);
    EXPECT_EQ(WaveIOReopen(b.get()), kWaveIOFileError);
    EXPECT_EQ(OpenBytes(Riff(Chunk("data", "x")), b, kWaveIOHeaderOnly), kWaveIOError);
}

TEST_F(WaveIO, MemoryImagesParseReopenAndStayUntouched)
{
    const std::string data = Pattern(400, 20);
    std::string image = Riff(Chunk("fmt ", Pcm18Body(16, 1, 16000)) + Chunk("data", data));
    const std::string original = image;
    MMIOINFO memory {};
    memory.fccIOProc = FOURCC_MEM;
    memory.pchBuffer = image.data();
    memory.cchBuffer = static_cast<LONG>(image.size());
    PWaveIOCB cb = nullptr;
    ASSERT_EQ(WaveIOOpen(&memory, 0, &cb), kWaveIOOk);
    Block b(cb);
    EXPECT_EQ(b->OpenFlags, kWaveIOMemory);
    EXPECT_EQ(b->DataOffset, 46);
    EXPECT_EQ(b->SampleCount, 200);
    EXPECT_EQ(std::memcmp(b->FileNameText, &memory, sizeof(MMIOINFO)), 0) << "the descriptor is copied";
    memory.pchBuffer = nullptr;

    ASSERT_EQ(WaveIOReopen(cb), kWaveIOOk);
    std::string got(400, '\0');
    EXPECT_EQ(WaveIORead(cb, got.data(), 1000), 400);
    EXPECT_EQ(got, data);
    EXPECT_EQ(WaveIOWrite(cb, "zz", 2), 0) << "memory images are read-only";
    EXPECT_EQ(WaveIOSetBuffer(cb, 4096), kWaveIOOk);
    EXPECT_EQ(WaveIOClose(cb), kWaveIOOk);
    EXPECT_EQ(image, original);

    MMIOINFO empty {};
    EXPECT_EQ(WaveIOOpen(&empty, 0, &cb), kWaveIOFileError);
    EXPECT_EQ(WaveIOOpen(static_cast<LPCMMIOINFO>(nullptr), 0, &cb), kWaveIOBadParam);
}

TEST_F(WaveIO, ResourcesComeFromQtResourcesOrFiles)
{
    const std::string data = Pattern(200, 21);
    const std::string file = Riff(Chunk("fmt ", Pcm16Body(8, 2, 8000)) + Chunk("data", data));
    const std::string wav = Path("beep.wav");
    WriteWhole(wav, file);

    // A file by path, loaded like a resource.
    PWaveIOCB cb = nullptr;
    ASSERT_EQ(WaveIOOpen(wav.c_str(), kWaveIOResource, &cb), kWaveIOOk);
    Block fromFile(cb);
    EXPECT_EQ(fromFile->OpenFlags, kWaveIOResource);
    EXPECT_EQ(fromFile->SampleCount, 100);

    // A compiled Qt resource: ":/WAVE/BEEP" by its full path and by name.
    const QString rcc = QLibraryInfo::path(QLibraryInfo::LibraryExecutablesPath) + "/rcc";
    const std::string qrc = Path("beep.qrc");
    WriteWhole(
        qrc, "<RCC><qresource prefix=\"/WAVE\"><file alias=\"BEEP\">beep.wav</file></qresource></RCC>");
    const std::string compiled = Path("beep.rcc");
    const TToolResult built
        = RunTool(rcc, { "-binary", QString::fromStdString(qrc), "-o", QString::fromStdString(compiled) });
    ASSERT_EQ(built.ExitCode, 0) << built.Err;
    ASSERT_TRUE(QResource::registerResource(QString::fromStdString(compiled)));
    for (const char* name : { ":/WAVE/BEEP", "BEEP" }) {
        ASSERT_EQ(WaveIOOpen(name, kWaveIOResource, &cb), kWaveIOOk) << name;
        Block b(cb);
        EXPECT_EQ(b->SampleCount, 100);
        ASSERT_EQ(WaveIOReopen(cb), kWaveIOOk);
        EXPECT_NE(b->ResourceHandle, nullptr);
        std::string got(200, '\0');
        EXPECT_EQ(WaveIORead(cb, got.data(), 200), 200);
        EXPECT_EQ(got, data);
        EXPECT_EQ(WaveIOClose(cb), kWaveIOOk);
        EXPECT_EQ(b->ResourceHandle, nullptr) << "the resource is released on close";
    }
    EXPECT_TRUE(QResource::unregisterResource(QString::fromStdString(compiled)));
    EXPECT_EQ(WaveIOOpen(":/WAVE/NONE", kWaveIOResource, &cb), kWaveIOFileError);
}

// ------------------------------ creating -----------------------------------

TEST_F(WaveIO, APcmRecordingHasTheExactLayout)
{
    const WAVEFORMATEX format = PcmFormat(16, 2, 48000);
    const std::string data = Pattern(48000 * 4 / 10, 22); // 100 ms
    const std::string path = Path("pcm.wav");
    WriteFile(path, &format, data, 1000);
    const std::string expected
        = Riff(Chunk("fmt ", Pcm18Body(16, 2, 48000)) + Chunk("data", data) + Chunk("fact", Le32(4800)));
    const std::string actual = ReadWhole(path);
    ASSERT_EQ(actual.size(), expected.size());
    EXPECT_TRUE(actual == expected);
    EXPECT_EQ(actual.substr(46, 16), data.substr(0, 16)) << "PCM data starts at byte 46";
}

TEST_F(WaveIO, AGsmRecordingHasTheExactLayoutWithPadAndFact)
{
    const GSM610WAVEFORMAT format = GsmFormat();
    for (int blocks : { 3, 4 }) {
        const std::string data = Pattern(static_cast<size_t>(65 * blocks), 23);
        const std::string path = Path("gsm" + std::to_string(blocks) + ".wav");
        WriteFile(path, &format.wfx, data, 65);
        const std::string expected = Riff(Chunk("fmt ", GsmBody()) + Chunk("data", data)
            + Chunk("fact", Le32(static_cast<uint32_t>(320 * blocks))));
        const std::string actual = ReadWhole(path);
        EXPECT_TRUE(actual == expected) << blocks << " blocks";
        EXPECT_EQ(actual.substr(48, 65), data.substr(0, 65)) << "GSM data starts at byte 48";
        EXPECT_EQ(actual.size() % 2, 0u);
    }
}

TEST_F(WaveIO, CreateLeavesTheBlockOpenAtTheDataStart)
{
    const GSM610WAVEFORMAT format = GsmFormat();
    PWaveIOCB cb = nullptr;
    ASSERT_EQ(WaveIOFromFormat(&format.wfx, &cb), kWaveIOOk);
    Block b(cb);
    EXPECT_EQ(b->Format.cbSize, 2);
    EXPECT_EQ(b->Handle, nullptr);
    ASSERT_EQ(WaveIOCreate(cb, Path("open.wav").c_str()), kWaveIOOk);
    EXPECT_NE(b->Handle, nullptr);
    EXPECT_EQ(b->DataOffset, 48);
    EXPECT_EQ(b->SampleCount, 0);
    EXPECT_EQ(b->EndSample, 0);
    EXPECT_EQ(b->RiffChunk.dwDataOffset, 8u);
    EXPECT_EQ(b->DataChunk.dwDataOffset, 48u);
    EXPECT_STREQ(b->FileNameText, Path("open.wav").c_str());
    EXPECT_EQ(WaveIOCreate(cb, Path("other.wav").c_str()), kWaveIOError) << "already open";

    ASSERT_EQ(WaveIOWrite(cb, Pattern(65, 24).data(), 65), 65);
    EXPECT_EQ(b->DataBytes, 65);
    EXPECT_EQ(b->CurrentSample, 320);
    EXPECT_EQ(b->SampleCount, 320);
    EXPECT_EQ(b->EndSample, 320);
    EXPECT_EQ(b->BytesRemaining, 0);
    EXPECT_TRUE(b->DataChunk.dwFlags & MMIO_DIRTY);
    ASSERT_EQ(WaveIOClose(cb), kWaveIOOk);
    EXPECT_EQ(b->Handle, nullptr);
    EXPECT_EQ(b->FileSize, 48 + 66 + 12);
    EXPECT_EQ(WaveIOWrite(cb, "x", 1), -1) << "closed";
}

TEST_F(WaveIO, AFileClosedWithoutWritesKeepsItsHeaderAsCreated)
{
    const WAVEFORMATEX format = PcmFormat(16, 2, 48000);
    const std::string path = Path("empty.wav");
    WriteFile(path, &format, "");
    const std::string expected
        = "RIFF" + Le32(0) + "WAVE" + Chunk("fmt ", Pcm18Body(16, 2, 48000)) + "data" + Le32(0);
    EXPECT_TRUE(ReadWhole(path) == expected);
}

TEST_F(WaveIO, InfoAndDispChunksFollowTheFactChunk)
{
    const WAVEFORMATEX format = PcmFormat(8, 1, 8000);
    PWaveIOCB cb = nullptr;
    ASSERT_EQ(WaveIOFromFormat(&format, &cb), kWaveIOOk);
    Block b(cb);
    ASSERT_EQ(RiffSetInfo(cb->InfoList, mmioFOURCC('I', 'S', 'F', 'T'), "Tonvara"), kRiffOk);
    ASSERT_EQ(RiffSetInfo(cb->InfoList, mmioFOURCC('I', 'N', 'A', 'M'), "Kayit"), kRiffOk);
    ASSERT_EQ(RiffSetInfo(cb->InfoList, mmioFOURCC('I', 'C', 'M', 'T'), "odd"), kRiffOk);
    ASSERT_EQ(RiffAddDisp(cb->DispList, kDispText, "hi", 3), kRiffOk);
    ASSERT_EQ(RiffAddDisp(cb->DispList, 5, "ignored", 7), kRiffOk);
    const std::string dib = Pattern(44, 25);
    ASSERT_EQ(RiffAddDisp(cb->DispList, kDispDib, dib.data(), static_cast<DWORD>(dib.size())), kRiffOk);
    const std::string path = Path("info.wav");
    ASSERT_EQ(WaveIOCreate(cb, path.c_str()), kWaveIOOk);
    ASSERT_EQ(WaveIOWrite(cb, "abcd", 4), 4);
    ASSERT_EQ(WaveIOClose(cb), kWaveIOOk);

    const std::string expected
        = Riff(Chunk("fmt ", Pcm18Body(8, 1, 8000)) + Chunk("data", "abcd") + Chunk("fact", Le32(4))
            + Chunk("DISP", Le32(1) + std::string("hi\0", 3)) + Chunk("DISP", Le32(8) + dib)
            + Chunk("LIST",
                "INFO" + Chunk("ICMT", std::string("odd\0", 4)) + Chunk("INAM", std::string("Kayit\0", 6))
                    + Chunk("ISFT", std::string("Tonvara\0", 8))));
    EXPECT_TRUE(ReadWhole(path) == expected);

    PWaveIOCB back = nullptr;
    ASSERT_EQ(WaveIOOpen(path.c_str(), kWaveIOFile, &back), kWaveIOOk);
    Block parsed(back);
    std::string text;
    ASSERT_EQ(RiffGetInfo(back->InfoList, mmioFOURCC('I', 'S', 'F', 'T'), text), kRiffOk);
    EXPECT_EQ(text, "Tonvara");
    ASSERT_EQ(back->DispList->Entries.size(), 2u);
    EXPECT_EQ(back->DispList->Entries[1].Type, kDispDib);
    EXPECT_EQ(back->DataBytes, 4);
}

TEST_F(WaveIO, CreateFailuresLeaveNoFileAndBadArgumentsAreRefused)
{
    const WAVEFORMATEX format = PcmFormat(16, 1, 8000);
    PWaveIOCB cb = nullptr;
    ASSERT_EQ(WaveIOFromFormat(&format, &cb), kWaveIOOk);
    Block b(cb);
    EXPECT_EQ(WaveIOCreate(cb, Path("no/such/dir.wav").c_str()), kWaveIOFileError);
    EXPECT_EQ(b->Handle, nullptr);
    EXPECT_EQ(WaveIOCreate(cb, nullptr), kWaveIOBadParam);
    EXPECT_EQ(WaveIOCreate(cb, ""), kWaveIOBadParam);
    EXPECT_EQ(WaveIOCreate(nullptr, "x.wav"), kWaveIOBadParam);

    PWaveIOCB other = nullptr;
    EXPECT_EQ(WaveIOFromFormat(nullptr, &other), kWaveIOBadParam);
    WAVEFORMATEX bad = format;
    bad.nBlockAlign = 0;
    EXPECT_EQ(WaveIOFromFormat(&bad, &other), kWaveIOBadParam);
    bad = format;
    bad.nSamplesPerSec = 0;
    EXPECT_EQ(WaveIOFromFormat(&bad, &other), kWaveIOBadParam);
    EXPECT_EQ(other, nullptr);

    EXPECT_EQ(WaveIOClose(nullptr), kWaveIOBadParam);
    EXPECT_EQ(WaveIOFree(nullptr), kWaveIOBadParam);
    EXPECT_EQ(WaveIOSeek(nullptr, 0), kWaveIOBadParam);
    EXPECT_EQ(WaveIOReopen(nullptr), kWaveIOBadParam);
    EXPECT_EQ(WaveIOSetBuffer(nullptr, 10), kWaveIOBadParam);
    EXPECT_EQ(WaveIOSetBuffer(cb, 10), kWaveIOError) << "closed";
    EXPECT_EQ(WaveIORead(cb, nullptr, 10), -1);
    EXPECT_EQ(WaveIOWrite(nullptr, "x", 1), -1);
}

TEST_F(WaveIO, WritingRefusesEmptyWritesAndRawBlocks)
{
    const WAVEFORMATEX format = PcmFormat(8, 1, 8000);
    PWaveIOCB cb = nullptr;
    ASSERT_EQ(WaveIOFromFormat(&format, &cb), kWaveIOOk);
    Block b(cb);
    const std::string path = Path("raw.wav");
    ASSERT_EQ(WaveIOCreate(cb, path.c_str()), kWaveIOOk);
    EXPECT_EQ(WaveIOWrite(cb, "x", 0), -1);
    EXPECT_EQ(WaveIOWrite(cb, "x", -5), -1);
    EXPECT_EQ(WaveIOWrite(cb, nullptr, 5), -1);
    EXPECT_EQ(WaveIOSetBuffer(cb, -1), kWaveIOError);
    EXPECT_EQ(WaveIOSetBuffer(cb, 0), kWaveIOOk);
    ASSERT_EQ(WaveIOWrite(cb, "abcdef", 6), 6);
    ASSERT_EQ(WaveIOClose(cb), kWaveIOOk);

    PWaveIOCB raw = nullptr;
    ASSERT_EQ(WaveIOOpen(path.c_str(), kWaveIOFile | kWaveIORaw, &raw), kWaveIOOk);
    Block r(raw);
    EXPECT_EQ(r->OpenFlags, kWaveIOFile | kWaveIORaw);
    ASSERT_EQ(WaveIOReopen(raw), kWaveIOOk);
    EXPECT_EQ(WaveIOWrite(raw, "zz", 2), -1);
    EXPECT_EQ(WaveIOSetBuffer(raw, 100), kWaveIOOk);
    ASSERT_EQ(WaveIOSeek(raw, 2), kWaveIOOk);
    char got[8] = {};
    EXPECT_EQ(WaveIORead(raw, got, 8), 4);
    EXPECT_STREQ(got, "cdef");
    EXPECT_EQ(WaveIOClose(raw), kWaveIOOk);
}

// --------------------------- reading and seeking ---------------------------

TEST_F(WaveIO, SeekAndReadFollowThePlayRange)
{
    const WAVEFORMATEX format = PcmFormat(16, 2, 8000);
    const std::string data = Pattern(4000, 26);
    const std::string path = Path("read.wav");
    WriteFile(path, &format, data);
    PWaveIOCB cb = nullptr;
    ASSERT_EQ(WaveIOOpen(path.c_str(), kWaveIOFile, &cb), kWaveIOOk);
    Block b(cb);
    EXPECT_EQ(WaveIORead(cb, nullptr, 10), -1) << "not open";
    ASSERT_EQ(WaveIOReopen(cb), kWaveIOOk);
    EXPECT_EQ(b->BytesRemaining, 4000);
    EXPECT_EQ(b->CurrentSample, 0);

    std::string got(100, '\0');
    ASSERT_EQ(WaveIORead(cb, got.data(), 100), 100);
    EXPECT_EQ(got, data.substr(0, 100));
    EXPECT_EQ(b->BytesRemaining, 3900);
    EXPECT_EQ(b->CurrentSample, 25);

    ASSERT_EQ(WaveIOSeek(cb, 500), kWaveIOOk);
    EXPECT_EQ(b->CurrentSample, 500);
    EXPECT_EQ(b->BytesRemaining, 2000);
    got.assign(8, '\0');
    ASSERT_EQ(WaveIORead(cb, got.data(), 8), 8);
    EXPECT_EQ(got, data.substr(2000, 8));

    ASSERT_EQ(WaveIOSeek(cb, 999), kWaveIOOk);
    got.assign(100, '\0');
    EXPECT_EQ(WaveIORead(cb, got.data(), 100), 4) << "only BytesRemaining";
    EXPECT_EQ(got.substr(0, 4), data.substr(3996, 4));
    EXPECT_EQ(b->CurrentSample, 1000);
    EXPECT_EQ(WaveIORead(cb, got.data(), 100), 0);

    ASSERT_EQ(WaveIOSeek(cb, 123456), kWaveIOOk);
    EXPECT_EQ(b->CurrentSample, 1000) << "clamped to the end";
    EXPECT_EQ(b->BytesRemaining, 0);
    EXPECT_EQ(WaveIOSeek(cb, -1), kWaveIOFileError);
    ASSERT_EQ(WaveIOClose(cb), kWaveIOOk);
    EXPECT_EQ(b->CurrentSample, 0);
    EXPECT_EQ(b->BytesRemaining, 0);
    EXPECT_TRUE(ReadWhole(path).size() == 46 + 4000 + 12) << "reading rewrites nothing";

    // A closed block remembers a seek for the next reopen.
    ASSERT_EQ(WaveIOSeek(cb, 750), kWaveIOOk);
    ASSERT_EQ(WaveIOReopen(cb), kWaveIOOk);
    got.assign(4, '\0');
    ASSERT_EQ(WaveIORead(cb, got.data(), 4), 4);
    EXPECT_EQ(got, data.substr(3000, 4));
}

TEST_F(WaveIO, ReadingNeverPassesTheDataWhateverTheFormatsRounding)
{
    // 3 samples/s at 4 bytes/s: 10 bytes are 7.5 samples, rounded to 8, and 8
    // samples convert back to 11 bytes.
    const std::string fmt = FmtBody(0x55, 1, 3, 4, 1, 0) + std::string(2, '\0');
    Block b;
    ASSERT_EQ(
        OpenBytes(Riff(Chunk("fmt ", fmt) + Chunk("data", Pattern(10, 32)) + Chunk("fact", Le32(8))), b),
        kWaveIOOk);
    EXPECT_EQ(b->SampleCount, 8);
    ASSERT_EQ(WaveIOReopen(b.get()), kWaveIOOk);
    char got[32];
    EXPECT_EQ(WaveIORead(b.get(), got, 32), 10);
}

TEST_F(WaveIO, WritingAfterSeekingBackKeepsTheLaterData)
{
    const WAVEFORMATEX format = PcmFormat(16, 2, 8000);
    const std::string data = Pattern(1000, 27);
    PWaveIOCB cb = nullptr;
    ASSERT_EQ(WaveIOFromFormat(&format, &cb), kWaveIOOk);
    Block b(cb);
    const std::string path = Path("back.wav");
    ASSERT_EQ(WaveIOCreate(cb, path.c_str()), kWaveIOOk);
    ASSERT_EQ(WaveIOWrite(cb, data.data(), 1000), 1000);
    ASSERT_EQ(WaveIOSeek(cb, 0), kWaveIOOk);
    EXPECT_EQ(b->BytesRemaining, 1000);
    ASSERT_EQ(WaveIOWrite(cb, "ABCDEFGH", 8), 8);
    EXPECT_EQ(b->CurrentSample, 2);
    EXPECT_EQ(b->DataBytes, 1000);
    EXPECT_EQ(b->SampleCount, 250);
    EXPECT_EQ(b->BytesRemaining, 992);
    ASSERT_EQ(WaveIOClose(cb), kWaveIOOk);
    const std::string expected = Riff(Chunk("fmt ", Pcm18Body(16, 2, 8000))
        + Chunk("data", "ABCDEFGH" + data.substr(8)) + Chunk("fact", Le32(250)));
    EXPECT_TRUE(ReadWhole(path) == expected);
}

// ------------------------------ reopening ----------------------------------

TEST_F(WaveIO, AReopenedFileGrowsAndIsFinishedAgain)
{
    const WAVEFORMATEX format = PcmFormat(8, 1, 8000);
    const std::string path = Path("append.wav");
    WriteFile(path, &format, "abc");
    PWaveIOCB cb = nullptr;
    ASSERT_EQ(WaveIOOpen(path.c_str(), kWaveIOFile, &cb), kWaveIOOk);
    Block b(cb);
    EXPECT_EQ(b->DataBytes, 3);
    ASSERT_EQ(WaveIOReopen(cb), kWaveIOOk);
    ASSERT_EQ(WaveIOSeek(cb, b->EndSample), kWaveIOOk);
    ASSERT_EQ(WaveIOWrite(cb, "de", 2), 2);
    EXPECT_EQ(b->SampleCount, 5);
    ASSERT_EQ(WaveIOClose(cb), kWaveIOOk);
    const std::string expected
        = Riff(Chunk("fmt ", Pcm18Body(8, 1, 8000)) + Chunk("data", "abcde") + Chunk("fact", Le32(5)));
    EXPECT_TRUE(ReadWhole(path) == expected);
    EXPECT_EQ(b->FileSize, static_cast<LONG>(expected.size()));
    EXPECT_EQ(b->EndSample, 5);

    // Reopening a block that is open changes nothing.
    ASSERT_EQ(WaveIOReopen(cb), kWaveIOOk);
    HMMIO handle = b->Handle;
    EXPECT_EQ(WaveIOReopen(cb), kWaveIOOk);
    EXPECT_EQ(b->Handle, handle);
}

TEST_F(WaveIO, AReopenedFileKeepsOneFactChunkWithTheNewCount)
{
    // Peers take the duration from the first fact chunk: one before the
    // data is brought up to date in place, and no second one is written.
    const std::string path = Path("fact-first.wav");
    const std::string fmt = Chunk("fmt ", Pcm18Body(8, 1, 8000));
    WriteWhole(path, Riff(fmt + Chunk("fact", Le32(3)) + Chunk("data", "abc")));
    PWaveIOCB cb = nullptr;
    ASSERT_EQ(WaveIOOpen(path.c_str(), kWaveIOFile, &cb), kWaveIOOk);
    Block b(cb);
    EXPECT_EQ(b->DataBytes, 3) << "the pad byte of the last chunk is no audio";
    ASSERT_EQ(WaveIOReopen(cb), kWaveIOOk);
    ASSERT_EQ(WaveIOSeek(cb, b->EndSample), kWaveIOOk);
    ASSERT_EQ(WaveIOWrite(cb, "de", 2), 2);
    ASSERT_EQ(WaveIOClose(cb), kWaveIOOk);
    EXPECT_TRUE(ReadWhole(path) == Riff(fmt + Chunk("fact", Le32(5)) + Chunk("data", "abcde")));
}

TEST_F(WaveIO, AReopenedFileKeepsItsInfoAndLosesStaleTrailingBytes)
{
    const std::string data = Pattern(10, 28);
    const std::string original = Riff(Chunk("fmt ", Pcm18Body(8, 1, 8000)) + Chunk("data", data)
        + Chunk("fact", Le32(10)) + Chunk("LIST", "INFO" + Chunk("INAM", std::string("name\0", 5)))
        + Chunk("junk", Pattern(300, 29)));
    const std::string path = Path("middle.wav");
    WriteWhole(path, original);
    PWaveIOCB cb = nullptr;
    ASSERT_EQ(WaveIOOpen(path.c_str(), kWaveIOFile, &cb), kWaveIOOk);
    Block b(cb);
    ASSERT_EQ(WaveIOReopen(cb), kWaveIOOk);
    ASSERT_EQ(WaveIOSeek(cb, 2), kWaveIOOk);
    ASSERT_EQ(WaveIOWrite(cb, "ZZ", 2), 2);
    ASSERT_EQ(WaveIOClose(cb), kWaveIOOk);
    std::string changed = data;
    changed.replace(2, 2, "ZZ");
    const std::string expected = Riff(Chunk("fmt ", Pcm18Body(8, 1, 8000)) + Chunk("data", changed)
        + Chunk("fact", Le32(10)) + Chunk("LIST", "INFO" + Chunk("INAM", std::string("name\0", 5))));
    EXPECT_TRUE(ReadWhole(path) == expected) << "the junk chunk is gone, the file cut at its new end";
}

TEST_F(WaveIO, ValidityAndPathHelpers)
{
    const WAVEFORMATEX format = PcmFormat(8, 1, 8000);
    const std::string path = Path("valid.wav");
    WriteFile(path, &format, "abcd");
    EXPECT_TRUE(WaveFileValid(path.c_str()));
    WriteWhole(Path("invalid.wav"), "RIFF....AVI ");
    EXPECT_FALSE(WaveFileValid(Path("invalid.wav").c_str()));
    EXPECT_FALSE(WaveFileValid(Path("missing.wav").c_str()));
    EXPECT_FALSE(WaveFileValid(nullptr));

    std::string qualified;
    ASSERT_TRUE(WaveIOQualifyName((FDir + "/sub/../valid.wav").c_str(), qualified));
    EXPECT_EQ(qualified, path);
    EXPECT_FALSE(WaveIOQualifyName("", qualified));
    EXPECT_TRUE(WaveIOFileExists(path.c_str()));
    EXPECT_FALSE(WaveIOFileExists(FDir.c_str()));
    EXPECT_TRUE(WaveIODeleteFile(path.c_str()));
    EXPECT_FALSE(WaveIOFileExists(path.c_str()));
    EXPECT_FALSE(WaveIODeleteFile(path.c_str()));
}

// ------------------------------ crash safety --------------------------------

TEST_F(WaveIO, ASecondOfAudioMakesTheSizesOnDiskCurrent)
{
    const WAVEFORMATEX format = PcmFormat(16, 1, 8000); // 16000 bytes a second
    PWaveIOCB cb = nullptr;
    ASSERT_EQ(WaveIOFromFormat(&format, &cb), kWaveIOOk);
    Block b(cb);
    const std::string path = Path("live.wav");
    ASSERT_EQ(WaveIOCreate(cb, path.c_str()), kWaveIOOk);
    ASSERT_EQ(WaveIOSetBuffer(cb, 65536), kWaveIOOk);
    const std::string data = Pattern(16000, 30);
    ASSERT_EQ(WaveIOWrite(cb, data.data(), 16000), 16000);
    ASSERT_EQ(WaveIOSyncWait(cb), kWaveIOOk);
    EXPECT_EQ(WaveIOSyncCount(cb), 1) << "the write asked for one sync by itself";
    std::string onDisk = ReadWhole(path);
    ASSERT_EQ(onDisk.size(), 46u + 16000);
    EXPECT_EQ(DwordAt(onDisk, 4), 38u + 16000);
    EXPECT_EQ(DwordAt(onDisk, 42), 16000u);
    EXPECT_EQ(onDisk.substr(46), data);

    // The live file is a complete WAV file to a second reader.
    PWaveIOCB reader = nullptr;
    ASSERT_EQ(WaveIOOpen(path.c_str(), kWaveIOFile, &reader), kWaveIOOk);
    EXPECT_EQ(reader->SampleCount, 8000);
    WaveIOFree(reader);
    EXPECT_EQ(SoxDecode(path).size(), 8000u);

    ASSERT_EQ(WaveIOWrite(cb, "ab", 2), 2);
    ASSERT_EQ(WaveIOSync(cb), kWaveIOOk);
    onDisk = ReadWhole(path);
    EXPECT_EQ(DwordAt(onDisk, 4), 38u + 16002);
    EXPECT_EQ(DwordAt(onDisk, 42), 16002u);
    ASSERT_EQ(WaveIOClose(cb), kWaveIOOk);
    EXPECT_EQ(DwordAt(ReadWhole(path), 4), 38u + 16002 + 12) << "finished with the fact chunk";
    EXPECT_EQ(WaveIOSync(cb), kWaveIOError) << "closed";
}

// Where a process killed after a sync of a reopened file leaves it: data,
// then what is left of the chunks that followed it, all inside the RIFF chunk.
struct TTrailingCase {
    const char* Name;
    LONG From; // sample the writing starts at; -1: the end
    LONG Bytes;
    bool InfoLeft; // the LIST/INFO chunk is still whole
};

class WaveIOTrailing : public WaveIO, public testing::WithParamInterface<TTrailingCase> { };

TEST_P(WaveIOTrailing, ASyncKeepsEveryChunkAfterTheDataInsideTheRiffChunk)
{
    const TTrailingCase c = GetParam();
    const std::string path = Path("reopened.wav");
    WriteWhole(path,
        Riff(Chunk("fmt ", Pcm18Body(8, 1, 8000)) + Chunk("data", Pattern(1000, 40))
            + Chunk("fact", Le32(1000)) + Chunk("LIST", "INFO" + Chunk("INAM", std::string("name\0", 5)))));
    PWaveIOCB cb = nullptr;
    ASSERT_EQ(WaveIOOpen(path.c_str(), kWaveIOFile, &cb), kWaveIOOk);
    Block b(cb);
    ASSERT_EQ(WaveIOReopen(cb), kWaveIOOk);
    ASSERT_EQ(WaveIOSeek(cb, c.From < 0 ? b->EndSample : c.From), kWaveIOOk);
    const std::string audio = Pattern(static_cast<size_t>(c.Bytes), 41);
    ASSERT_EQ(WaveIOWrite(cb, audio.data(), c.Bytes), c.Bytes);
    ASSERT_EQ(WaveIOSync(cb), kWaveIOOk);

    // The file as it is now is what a killed writer leaves.
    const std::string onDisk = ReadWhole(path);
    const uint32_t dataBytes
        = static_cast<uint32_t>(std::max<LONG>(1000, (c.From < 0 ? 1000 : c.From) + c.Bytes));
    EXPECT_EQ(DwordAt(onDisk, 42), dataBytes);
    const size_t riffEnd = 8 + DwordAt(onDisk, 4);
    EXPECT_EQ(riffEnd, onDisk.size()) << "the RIFF chunk holds all the file holds";
    size_t at = 12;
    while (at + 8 <= riffEnd)
        at += 8 + DwordAt(onDisk, at + 4) + (DwordAt(onDisk, at + 4) & 1);
    EXPECT_EQ(at, riffEnd) << "whole chunks up to the RIFF end";

    SF_INFO info {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.frames, static_cast<sf_count_t>(dataBytes));
    const char* title = sf_get_string(file, SF_STR_TITLE);
    EXPECT_EQ(title != nullptr && std::string(title) == "name", c.InfoLeft)
        << "libsndfile finds the INFO text";
    sf_close(file);
    PWaveIOCB reader = nullptr;
    ASSERT_EQ(WaveIOOpen(path.c_str(), kWaveIOFile, &reader), kWaveIOOk);
    EXPECT_EQ(reader->DataBytes, static_cast<LONG>(dataBytes));
    WaveIOFree(reader);
}

INSTANTIATE_TEST_SUITE_P(Writes, WaveIOTrailing,
    testing::Values(TTrailingCase { "OverwritingFromTheStart", 0, 800, true },
        TTrailingCase { "AppendingOverTheFactChunk", -1, 12, true },
        TTrailingCase { "AppendingIntoTheFactChunk", -1, 2, true },
        TTrailingCase { "AppendingOverEverything", -1, 8000, false }),
    [](const testing::TestParamInfo<TTrailingCase>& info) { return std::string(info.param.Name); });

TEST_F(WaveIO, WritesLeaveTheSyncsToAThreadOfTheFilesOwn)
{
    const WAVEFORMATEX format = PcmFormat(16, 2, 48000);
    PWaveIOCB cb = nullptr;
    ASSERT_EQ(WaveIOFromFormat(&format, &cb), kWaveIOOk);
    Block b(cb);
    ASSERT_EQ(WaveIOCreate(cb, Path("threads.wav").c_str()), kWaveIOOk);
    ASSERT_EQ(WaveIOSetBuffer(cb, 32768), kWaveIOOk);
    {
        std::lock_guard lock(gSyncCallersLock);
        gSyncCallers.clear();
    }
    const std::string data = Pattern(4096, 50);
    for (int i = 0; i < 3 * 192000 / 4096; ++i)
        ASSERT_EQ(WaveIOWrite(cb, data.data(), 4096), 4096);
    ASSERT_EQ(WaveIOSyncWait(cb), kWaveIOOk);
    std::vector<std::thread::id> callers;
    {
        std::lock_guard lock(gSyncCallersLock);
        callers = gSyncCallers;
    }
    EXPECT_FALSE(callers.empty());
    EXPECT_EQ(std::count(callers.begin(), callers.end(), std::this_thread::get_id()), 0)
        << "the writing thread never waits for the disk";
    EXPECT_EQ(static_cast<LONG>(DwordAt(ReadWhole(Path("threads.wav")), 42)), b->SyncedBytes)
        << "the last sync asked for is on disk";
}

struct TCrashCase {
    const char* Mode;
    int Reports; // writes to wait for: 3 s of audio
};

class WaveIOCrash : public WaveIO, public testing::WithParamInterface<TCrashCase> { };

TEST_P(WaveIOCrash, AKilledWriterLeavesAReadableFileWithAllButTheLastSecond)
{
    const TCrashCase c = GetParam();
    const bool gsmMode = std::string(c.Mode) == "gsm";
    const std::string path = Path(std::string("killed-") + c.Mode + ".wav");
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TONVARA_WAVEIO_CRASH_CHILD", QString(c.Mode) + ":" + QString::fromStdString(path));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {});
    ASSERT_TRUE(child.waitForStarted(30000));
    int reports = 0;
    while (reports < c.Reports) {
        ASSERT_TRUE(child.waitForReadyRead(30000)) << "the writer stopped reporting";
        reports += static_cast<int>(child.readAllStandardOutput().count('.'));
    }
    child.kill();
    ASSERT_TRUE(child.waitForFinished(30000));
    ASSERT_EQ(child.exitStatus(), QProcess::CrashExit);

    const int rate = gsmMode ? 8000 : 48000;
    const std::vector<int16_t> sox = SoxDecode(path);
    const std::vector<int16_t> ffmpeg = FfmpegDecode(path);
    const std::string probe = Ffprobe(path);
    EXPECT_NE(probe.find(gsmMode ? "codec_name=gsm_ms" : "codec_name=pcm_s16le"), std::string::npos) << probe;
    const size_t channels = gsmMode ? 1 : 2;
    const size_t written = static_cast<size_t>(reports) * (gsmMode ? 320 * kGsmChildBlocksPerStep : 4800);
    EXPECT_GE(sox.size() / channels, static_cast<size_t>(2 * rate));
    // The writer may have written once more between its last report and the kill.
    const size_t perWrite = gsmMode ? 320 * kGsmChildBlocksPerStep : 4800;
    EXPECT_LE(sox.size() / channels, written + perWrite);
    EXPECT_EQ(ffmpeg.size(), sox.size());
    if (gsmMode) {
        const std::vector<int16_t> reference = GsmDecode(ChildGsmBlocks().substr(0, sox.size() / 320 * 65));
        EXPECT_TRUE(sox == reference) << "sox decodes what was written";
        EXPECT_TRUE(ffmpeg == reference) << "ffmpeg decodes what was written";
    } else {
        const std::string counter = CounterFrames(0, static_cast<uint32_t>(sox.size() / 2));
        EXPECT_TRUE(std::memcmp(sox.data(), counter.data(), counter.size()) == 0) << "every frame in order";
        EXPECT_TRUE(ffmpeg == sox);
    }
    // The layer itself reads the data up to the end of the file.
    PWaveIOCB cb = nullptr;
    ASSERT_EQ(WaveIOOpen(path.c_str(), kWaveIOFile, &cb), kWaveIOOk);
    EXPECT_GE(static_cast<size_t>(cb->SampleCount), sox.size() / channels);
    WaveIOFree(cb);
}

INSTANTIATE_TEST_SUITE_P(Formats, WaveIOCrash,
    testing::Values(
        TCrashCase { "pcm", 3000 / kPcmChildStepMs }, TCrashCase { "gsm", 3000 / kGsmChildStepMs }),
    [](const testing::TestParamInfo<TCrashCase>& info) { return std::string(info.param.Mode); });

// ------------------------------ real readers --------------------------------

TEST_F(WaveIO, PeersDecodeAPcmRecordingToTheSamplesWritten)
{
    const WAVEFORMATEX format = PcmFormat(16, 2, 48000);
    const std::string data = Pattern(48000 * 4, 31);
    const std::string path = Path("peer-pcm.wav");
    WriteFile(path, &format, data, 4096);
    std::vector<int16_t> written(data.size() / 2);
    std::memcpy(written.data(), data.data(), data.size());
    EXPECT_TRUE(SoxDecode(path) == written) << "sox";
    EXPECT_TRUE(FfmpegDecode(path) == written) << "ffmpeg";
    SF_INFO info {};
    EXPECT_TRUE(SndfileDecode(path, &info) == written) << "libsndfile";
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    const std::string probe = Ffprobe(path);
    EXPECT_NE(probe.find("duration_ts=48000"), std::string::npos) << probe;
}

TEST_F(WaveIO, PeersDecodeAGsmRecordingAsLibgsmDoes)
{
    const GSM610WAVEFORMAT format = GsmFormat();
    const std::string blocks = GsmEncode(TestSignal(320 * 51, 3)); // odd: the data gets a pad byte
    ASSERT_EQ(blocks.size(), 65u * 51);
    const std::string path = Path("peer-gsm.wav");
    WriteFile(path, &format.wfx, blocks, 4095);
    const std::vector<int16_t> reference = GsmDecode(blocks);
    ASSERT_EQ(reference.size(), 320u * 51);
    EXPECT_TRUE(SoxDecode(path) == reference) << "sox";
    EXPECT_TRUE(FfmpegDecode(path) == reference) << "ffmpeg";
    SF_INFO info {};
    std::vector<int16_t> sndfile = SndfileDecode(path, &info);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_GSM610);
    // libsndfile decodes one block of noise past an odd data chunk's pad byte.
    ASSERT_GE(sndfile.size(), reference.size());
    sndfile.resize(reference.size());
    EXPECT_TRUE(sndfile == reference) << "libsndfile";
    const std::string probe = Ffprobe(path);
    EXPECT_NE(probe.find("duration_ts=16320"), std::string::npos)
        << "ffprobe counts the fact samples: " << probe;
}

} // namespace
