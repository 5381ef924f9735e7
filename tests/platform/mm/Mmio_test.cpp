#include "platform/mm/Mmio.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<char>;

class Mmio : public testing::Test {
protected:
    void SetUp() override { FDir = tonvara::test::MakeTempDir("mmio"); }

    std::string Path(const char* name) const { return (FDir + "/" + name).toStdString(); }

    static Bytes ReadFile(const std::string& path)
    {
        QFile file(QString::fromStdString(path));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        const QByteArray data = file.readAll();
        return Bytes(data.begin(), data.end());
    }

    static void WriteFile(const std::string& path, const Bytes& bytes)
    {
        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(
            file.write(bytes.data(), static_cast<qint64>(bytes.size())), static_cast<qint64>(bytes.size()));
    }

    static HMMIO Open(const std::string& path, DWORD flags, LONG bufferSize = 0)
    {
        MMIOINFO info {};
        info.cchBuffer = bufferSize;
        std::string name = path;
        return mmioOpen(name.data(), &info, flags);
    }

    QString FDir;
};

void Append(Bytes& out, const char* text, size_t count)
{
    out.insert(out.end(), text, text + count);
}

void AppendDword(Bytes& out, DWORD value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

TEST_F(Mmio, FourccFromCharactersAndStrings)
{
    EXPECT_EQ(mmioFOURCC('R', 'I', 'F', 'F'), 0x46464952u);
    EXPECT_EQ(mmioStringToFOURCC("fmt", 0), mmioFOURCC('f', 'm', 't', ' '));
    EXPECT_EQ(mmioStringToFOURCC("wave", MMIO_TOUPPER), mmioFOURCC('W', 'A', 'V', 'E'));
    EXPECT_EQ(mmioStringToFOURCC("datalonger", 0), mmioFOURCC('d', 'a', 't', 'a'));
    EXPECT_EQ(mmioStringToFOURCC("", 0), mmioFOURCC(' ', ' ', ' ', ' '));
    EXPECT_EQ(mmioStringToFOURCC(nullptr, 0), mmioFOURCC(' ', ' ', ' ', ' '));
}

TEST_F(Mmio, CreatedChunksGetTheirSizesAndPadBytes)
{
    const std::string path = Path("chunks.riff");
    HMMIO h = Open(path, MMIO_CREATE | MMIO_READWRITE | MMIO_ALLOCBUF);
    ASSERT_NE(h, nullptr);
    MMCKINFO riff {};
    riff.fccType = mmioFOURCC('T', 'E', 'S', 'T');
    ASSERT_EQ(mmioCreateChunk(h, &riff, MMIO_CREATERIFF), MMSYSERR_NOERROR);
    EXPECT_EQ(riff.ckid, FOURCC_RIFF);
    EXPECT_EQ(riff.dwDataOffset, 8u);
    EXPECT_EQ(riff.dwFlags, MMIO_DIRTY);

    MMCKINFO odd {};
    odd.ckid = mmioFOURCC('o', 'd', 'd', ' ');
    ASSERT_EQ(mmioCreateChunk(h, &odd, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(odd.dwDataOffset, 20u);
    ASSERT_EQ(mmioWrite(h, "abc", 3), 3);
    ASSERT_EQ(mmioAscend(h, &odd, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(odd.cksize, 3u);
    EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), 24);

    MMCKINFO list {};
    list.fccType = mmioFOURCC('I', 'N', 'F', 'O');
    list.cksize = 1234; // wrong on purpose: the ascent corrects it
    ASSERT_EQ(mmioCreateChunk(h, &list, MMIO_CREATELIST), MMSYSERR_NOERROR);
    MMCKINFO even {};
    even.ckid = mmioFOURCC('e', 'v', 'e', 'n');
    even.cksize = 2;
    ASSERT_EQ(mmioCreateChunk(h, &even, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mmioWrite(h, "xy", 2), 2);
    ASSERT_EQ(mmioAscend(h, &even, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mmioAscend(h, &list, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(list.cksize, 14u);
    ASSERT_EQ(mmioAscend(h, &riff, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(riff.cksize, 38u);
    ASSERT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);

    Bytes expected;
    Append(expected, "RIFF", 4);
    AppendDword(expected, 38);
    Append(expected, "TEST", 4);
    Append(expected, "odd ", 4);
    AppendDword(expected, 3);
    Append(expected, "abc\0", 4);
    Append(expected, "LIST", 4);
    AppendDword(expected, 14);
    Append(expected, "INFO", 4);
    Append(expected, "even", 4);
    AppendDword(expected, 2);
    Append(expected, "xy", 2);
    EXPECT_EQ(ReadFile(path), expected);
}

Bytes SampleRiff()
{
    // RIFF WAVE { "one " 3 bytes + pad, LIST INFO { "name" 4 }, "two " 2 }
    Bytes b;
    Append(b, "RIFF", 4);
    AppendDword(b, 4 + 12 + 24 + 10);
    Append(b, "WAVE", 4);
    Append(b, "one ", 4);
    AppendDword(b, 3);
    Append(b, "123\0", 4);
    Append(b, "LIST", 4);
    AppendDword(b, 16);
    Append(b, "INFO", 4);
    Append(b, "name", 4);
    AppendDword(b, 4);
    Append(b, "abcd", 4);
    Append(b, "two ", 4);
    AppendDword(b, 2);
    Append(b, "xy", 2);
    return b;
}

TEST_F(Mmio, DescendFindsChunksWithinTheirParent)
{
    const std::string path = Path("find.riff");
    WriteFile(path, SampleRiff());
    HMMIO h = Open(path, MMIO_READ | MMIO_ALLOCBUF);
    ASSERT_NE(h, nullptr);

    MMCKINFO riff {};
    riff.fccType = mmioFOURCC('W', 'A', 'V', 'E');
    ASSERT_EQ(mmioDescend(h, &riff, nullptr, MMIO_FINDRIFF), MMSYSERR_NOERROR);
    EXPECT_EQ(riff.cksize, 50u);
    EXPECT_EQ(riff.dwDataOffset, 8u);
    EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), 12);

    MMCKINFO two {};
    two.ckid = mmioFOURCC('t', 'w', 'o', ' ');
    ASSERT_EQ(mmioDescend(h, &two, &riff, MMIO_FINDCHUNK), MMSYSERR_NOERROR);
    EXPECT_EQ(two.cksize, 2u);
    EXPECT_EQ(two.dwDataOffset, 56u);
    char data[2];
    ASSERT_EQ(mmioRead(h, data, 2), 2);
    EXPECT_EQ(std::string(data, 2), "xy");

    ASSERT_EQ(mmioSeek(h, 12, SEEK_SET), 12);
    MMCKINFO list {};
    list.fccType = mmioFOURCC('I', 'N', 'F', 'O');
    ASSERT_EQ(mmioDescend(h, &list, &riff, MMIO_FINDLIST), MMSYSERR_NOERROR);
    EXPECT_EQ(list.dwDataOffset, 32u);
    MMCKINFO name {};
    ASSERT_EQ(mmioDescend(h, &name, &list, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(name.ckid, mmioFOURCC('n', 'a', 'm', 'e'));
    ASSERT_EQ(mmioAscend(h, &name, 0), MMSYSERR_NOERROR);
    // The list ends here: no further chunk inside it.
    MMCKINFO none {};
    EXPECT_EQ(mmioDescend(h, &none, &list, 0), MMIOERR_CHUNKNOTFOUND);
    ASSERT_EQ(mmioAscend(h, &list, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), 48);

    ASSERT_EQ(mmioSeek(h, 12, SEEK_SET), 12);
    MMCKINFO missing {};
    missing.ckid = mmioFOURCC('n', 'o', 'n', 'e');
    EXPECT_EQ(mmioDescend(h, &missing, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
    EXPECT_EQ(missing.ckid, mmioFOURCC('n', 'o', 'n', 'e'));
    EXPECT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);
}

TEST_F(Mmio, HostileChunkSizesEndTheSearchInsteadOfWrapping)
{
    Bytes b;
    Append(b, "RIFF", 4);
    AppendDword(b, 0xFFFFFFFF);
    Append(b, "WAVE", 4);
    Append(b, "huge", 4);
    AppendDword(b, 0xFFFFFFF7);
    Append(b, "zz", 2);
    Append(b, "tail", 4); // a truncated header: 4 of 8 bytes
    const std::string path = Path("hostile.riff");
    WriteFile(path, b);
    HMMIO h = Open(path, MMIO_READ | MMIO_ALLOCBUF);
    ASSERT_NE(h, nullptr);
    MMCKINFO riff {};
    ASSERT_EQ(mmioDescend(h, &riff, nullptr, 0), MMSYSERR_NOERROR);
    MMCKINFO find {};
    find.ckid = mmioFOURCC('t', 'a', 'i', 'l');
    EXPECT_EQ(mmioDescend(h, &find, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);

    ASSERT_EQ(mmioSeek(h, 12, SEEK_SET), 12);
    MMCKINFO huge {};
    ASSERT_EQ(mmioDescend(h, &huge, &riff, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(huge.cksize, 0xFFFFFFF7u);
    // Its end lies past what a 32-bit signed offset can reach.
    EXPECT_EQ(mmioAscend(h, &huge, 0), MMIOERR_CANNOTSEEK);

    ASSERT_EQ(mmioSeek(h, 22, SEEK_SET), 22);
    MMCKINFO cut {};
    EXPECT_EQ(mmioDescend(h, &cut, nullptr, 0), MMIOERR_CHUNKNOTFOUND);
    EXPECT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);

    // A RIFF header that stops inside its form type.
    const std::string shortPath = Path("short.riff");
    WriteFile(shortPath, Bytes { 'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A' });
    h = Open(shortPath, MMIO_READ | MMIO_ALLOCBUF);
    ASSERT_NE(h, nullptr);
    MMCKINFO partial {};
    EXPECT_EQ(mmioDescend(h, &partial, nullptr, 0), MMIOERR_CHUNKNOTFOUND);
    EXPECT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);
}

TEST_F(Mmio, SeekFromEveryOrigin)
{
    const std::string path = Path("seek.bin");
    WriteFile(path, Bytes(100, 'a'));
    HMMIO h = Open(path, MMIO_READWRITE | MMIO_ALLOCBUF, 16);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(mmioSeek(h, 10, SEEK_SET), 10);
    EXPECT_EQ(mmioSeek(h, 5, SEEK_CUR), 15);
    EXPECT_EQ(mmioSeek(h, -3, SEEK_CUR), 12);
    EXPECT_EQ(mmioSeek(h, 0, SEEK_END), 100);
    EXPECT_EQ(mmioSeek(h, -100, SEEK_END), 0);
    EXPECT_EQ(mmioSeek(h, -1, SEEK_SET), -1);
    EXPECT_EQ(mmioSeek(h, 0, 7), -1);
    EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), 0) << "a failed seek leaves the position alone";
    // Past the end: reading gives nothing, writing extends with a hole of zeros.
    EXPECT_EQ(mmioSeek(h, 110, SEEK_SET), 110);
    char c;
    EXPECT_EQ(mmioRead(h, &c, 1), 0);
    EXPECT_EQ(mmioWrite(h, "z", 1), 1);
    EXPECT_EQ(mmioSeek(h, 0, SEEK_END), 111) << "buffered bytes count towards the end";
    EXPECT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);
    Bytes expected(100, 'a');
    expected.resize(110, 0);
    expected.push_back('z');
    EXPECT_EQ(ReadFile(path), expected);
}

// Random reads, writes and seeks through buffers of several sizes must leave
// the file exactly as the same operations on a plain byte vector.
TEST_F(Mmio, BufferedReadsAndWritesMatchAPlainModel)
{
    for (LONG bufferSize : { 0, 1, 7, 64, 8192 }) {
        std::mt19937 rng(static_cast<unsigned>(1000 + bufferSize));
        const std::string path = Path(("model" + std::to_string(bufferSize)).c_str());
        Bytes model(300);
        for (char& b : model)
            b = static_cast<char>(rng());
        WriteFile(path, model);
        HMMIO h = Open(path, MMIO_READWRITE | (bufferSize ? MMIO_ALLOCBUF : 0), bufferSize);
        ASSERT_NE(h, nullptr);
        size_t pos = 0;
        for (int step = 0; step < 3000; ++step) {
            const unsigned op = rng() % 3;
            const size_t count = rng() % 100;
            if (op == 0) {
                Bytes got(count);
                const LONG n = mmioRead(h, got.data(), static_cast<LONG>(count));
                const size_t expect = pos >= model.size() ? 0 : std::min(count, model.size() - pos);
                ASSERT_EQ(n, static_cast<LONG>(expect)) << "buffer " << bufferSize << " step " << step;
                ASSERT_TRUE(std::equal(got.begin(), got.begin() + n, model.begin() + static_cast<long>(pos)))
                    << "buffer " << bufferSize << " step " << step;
                pos += static_cast<size_t>(n);
            } else if (op == 1) {
                Bytes data(count);
                for (char& b : data)
                    b = static_cast<char>(rng());
                ASSERT_EQ(mmioWrite(h, data.data(), static_cast<LONG>(count)), static_cast<LONG>(count));
                if (model.size() < pos + count)
                    model.resize(pos + count, 0);
                std::copy(data.begin(), data.end(), model.begin() + static_cast<long>(pos));
                pos += count;
            } else {
                pos = rng() % (model.size() + 20);
                ASSERT_EQ(mmioSeek(h, static_cast<LONG>(pos), SEEK_SET), static_cast<LONG>(pos));
            }
        }
        EXPECT_EQ(mmioSeek(h, 0, SEEK_END), static_cast<LONG>(model.size()));
        ASSERT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);
        EXPECT_EQ(ReadFile(path), model) << "buffer " << bufferSize;
    }
}

TEST_F(Mmio, FlushMakesBufferedBytesVisibleThroughTheDescriptor)
{
    const std::string path = Path("flush.bin");
    HMMIO h = Open(path, MMIO_CREATE | MMIO_READWRITE | MMIO_ALLOCBUF);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(mmioWrite(h, "hello", 5), 5);
    EXPECT_TRUE(ReadFile(path).empty()) << "still in the buffer";
    MMIOINFO info {};
    ASSERT_EQ(mmioGetInfo(h, &info, 0), MMSYSERR_NOERROR);
    EXPECT_TRUE(info.dwFlags & MMIO_DIRTY);
    EXPECT_EQ(info.pchNext - info.pchBuffer, 5);
    EXPECT_EQ(info.cchBuffer, MMIO_DEFAULTBUFFER);
    ASSERT_EQ(mmioFlush(h, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(ReadFile(path), (Bytes { 'h', 'e', 'l', 'l', 'o' }));
    ASSERT_EQ(mmioGetInfo(h, &info, 0), MMSYSERR_NOERROR);
    EXPECT_FALSE(info.dwFlags & MMIO_DIRTY);
    const int fd = static_cast<int>(info.adwInfo[0]);
    EXPECT_EQ(::fdatasync(fd), 0);
    char c;
    EXPECT_EQ(::pread(fd, &c, 1, 4), 1);
    EXPECT_EQ(c, 'o');
    EXPECT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);
}

TEST_F(Mmio, DirectBufferAccessWritesAndReads)
{
    const std::string path = Path("direct.bin");
    HMMIO h = Open(path, MMIO_CREATE | MMIO_READWRITE | MMIO_ALLOCBUF, 8);
    ASSERT_NE(h, nullptr);
    MMIOINFO info {};
    ASSERT_EQ(mmioGetInfo(h, &info, 0), MMSYSERR_NOERROR);
    for (int i = 0; i < 20; ++i) {
        if (info.pchNext == info.pchEndWrite) {
            info.dwFlags |= MMIO_DIRTY;
            ASSERT_EQ(mmioAdvance(h, &info, MMIO_WRITE), MMSYSERR_NOERROR);
        }
        *info.pchNext++ = static_cast<char>('A' + i);
    }
    info.dwFlags |= MMIO_DIRTY;
    ASSERT_EQ(mmioSetInfo(h, &info, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), 20);
    ASSERT_EQ(mmioWrite(h, "!", 1), 1);

    ASSERT_EQ(mmioSeek(h, 3, SEEK_SET), 3);
    ASSERT_EQ(mmioGetInfo(h, &info, 0), MMSYSERR_NOERROR);
    std::string read;
    for (;;) {
        if (info.pchNext == info.pchEndRead) {
            ASSERT_EQ(mmioAdvance(h, &info, MMIO_READ), MMSYSERR_NOERROR);
            if (info.pchNext == info.pchEndRead)
                break;
        }
        read += *info.pchNext++;
    }
    ASSERT_EQ(mmioSetInfo(h, &info, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(read, "DEFGHIJKLMNOPQRST!");

    MMIOINFO bad = info;
    bad.pchNext = info.pchBuffer + info.cchBuffer + 1;
    EXPECT_EQ(mmioSetInfo(h, &bad, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(ReadFile(path).size(), 21u);
}

TEST_F(Mmio, UnbufferedFilesRefuseDirectAccessAndSetBufferSwitches)
{
    const std::string path = Path("switch.bin");
    HMMIO h = Open(path, MMIO_CREATE | MMIO_READWRITE);
    ASSERT_NE(h, nullptr);
    MMIOINFO info {};
    ASSERT_EQ(mmioGetInfo(h, &info, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(info.pchBuffer, nullptr);
    EXPECT_EQ(mmioAdvance(h, &info, MMIO_READ), MMIOERR_UNBUFFERED);
    ASSERT_EQ(mmioWrite(h, "abc", 3), 3);
    EXPECT_EQ(ReadFile(path).size(), 3u) << "unbuffered writes go straight to the file";

    ASSERT_EQ(mmioSetBuffer(h, nullptr, 4, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mmioWrite(h, "defgh", 5), 5);
    std::vector<char> own(32);
    ASSERT_EQ(mmioSetBuffer(h, own.data(), static_cast<LONG>(own.size()), 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mmioWrite(h, "ij", 2), 2);
    ASSERT_EQ(mmioGetInfo(h, &info, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(info.pchBuffer, own.data());
    ASSERT_EQ(mmioSetBuffer(h, nullptr, 0, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(mmioSetBuffer(h, nullptr, -1, 0), MMSYSERR_INVALPARAM);
    ASSERT_EQ(mmioWrite(h, "k", 1), 1);
    ASSERT_EQ(mmioSeek(h, 0, SEEK_SET), 0);
    char all[16] = {};
    EXPECT_EQ(mmioRead(h, all, 16), 11);
    EXPECT_EQ(std::string(all), "abcdefghijk");
    EXPECT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);
}

TEST_F(Mmio, FixedMemoryFileReadsWritesAndStopsAtItsEnd)
{
    char image[8] = { '0', '1', '2', '3', '4', '5', '6', '7' };
    MMIOINFO info {};
    info.fccIOProc = FOURCC_MEM;
    info.pchBuffer = image;
    info.cchBuffer = sizeof(image);
    HMMIO h = mmioOpen(nullptr, &info, MMIO_READWRITE);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(mmioSeek(h, 0, SEEK_END), 8);
    ASSERT_EQ(mmioSeek(h, 2, SEEK_SET), 2);
    ASSERT_EQ(mmioWrite(h, "ab", 2), 2);
    EXPECT_EQ(std::string(image, 8), "01ab4567");
    ASSERT_EQ(mmioSeek(h, 6, SEEK_SET), 6);
    EXPECT_EQ(mmioWrite(h, "xyz", 3), -1) << "not growable";
    char got[8];
    EXPECT_EQ(mmioRead(h, got, 8), 2);
    EXPECT_EQ(mmioRead(h, got, 8), 0);
    MMIOINFO state {};
    ASSERT_EQ(mmioGetInfo(h, &state, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(state.fccIOProc, FOURCC_MEM);
    EXPECT_EQ(state.pchEndRead, image + 8);
    EXPECT_EQ(mmioAdvance(h, &state, MMIO_WRITE), MMIOERR_CANNOTEXPAND);
    EXPECT_EQ(mmioSetBuffer(h, nullptr, 16, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(std::string(image, 8), "01ab4567") << "the caller's image stays the caller's";

    // Read-only memory files refuse writes.
    info = {};
    info.fccIOProc = FOURCC_MEM;
    info.pchBuffer = image;
    info.cchBuffer = sizeof(image);
    h = mmioOpen(nullptr, &info, MMIO_READ);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(mmioWrite(h, "q", 1), -1);
    EXPECT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);
}

TEST_F(Mmio, GrowableMemoryFileKeepsARiffImage)
{
    MMIOINFO info {};
    info.fccIOProc = FOURCC_MEM;
    info.pchBuffer = static_cast<char*>(std::malloc(4));
    info.cchBuffer = 4;
    info.adwInfo[0] = 16;
    HMMIO h = mmioOpen(nullptr, &info, MMIO_READWRITE);
    ASSERT_NE(h, nullptr);
    MMCKINFO riff {};
    riff.fccType = mmioFOURCC('W', 'A', 'V', 'E');
    ASSERT_EQ(mmioCreateChunk(h, &riff, MMIO_CREATERIFF), MMSYSERR_NOERROR);
    MMCKINFO ck {};
    ck.ckid = mmioFOURCC('d', 'a', 't', 'a');
    ASSERT_EQ(mmioCreateChunk(h, &ck, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mmioWrite(h, "12345", 5), 5);
    ASSERT_EQ(mmioAscend(h, &ck, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mmioAscend(h, &riff, 0), MMSYSERR_NOERROR);
    MMIOINFO state {};
    ASSERT_EQ(mmioGetInfo(h, &state, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(state.cchBuffer, 36) << "grown in steps of 16 from 4";
    Bytes expected;
    Append(expected, "RIFF", 4);
    AppendDword(expected, 18);
    Append(expected, "WAVEdata", 8);
    AppendDword(expected, 5);
    Append(expected, "12345\0", 6);
    EXPECT_EQ(Bytes(state.pchBuffer, state.pchBuffer + 26), expected);
    EXPECT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);
    std::free(state.pchBuffer);

    // An internal image, grown through direct access.
    info = {};
    info.fccIOProc = FOURCC_MEM;
    info.adwInfo[0] = 10;
    h = mmioOpen(nullptr, &info, MMIO_READWRITE | MMIO_ALLOCBUF);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(mmioGetInfo(h, &state, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(state.pchNext, state.pchEndWrite);
    ASSERT_EQ(mmioAdvance(h, &state, MMIO_WRITE), MMSYSERR_NOERROR);
    EXPECT_EQ(state.pchEndWrite - state.pchNext, 10);
    EXPECT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);
}

TEST_F(Mmio, PathRequestsQualifyTestAndDelete)
{
    const QString old = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(FDir));
    const std::string dir = QDir::currentPath().toStdString();
    std::vector<char> name(MMIO_MAXPATH);
    std::strcpy(name.data(), "./sub/../x.wav");
    EXPECT_NE(mmioOpen(name.data(), nullptr, MMIO_PARSE), nullptr);
    EXPECT_EQ(std::string(name.data()), dir + "/x.wav");

    std::strcpy(name.data(), "x.wav");
    MMIOINFO info {};
    EXPECT_EQ(mmioOpen(name.data(), &info, MMIO_EXIST), nullptr);
    EXPECT_EQ(info.wErrorRet, MMIOERR_FILENOTFOUND);
    WriteFile(dir + "/x.wav", Bytes { '1' });
    EXPECT_NE(mmioOpen(name.data(), &info, MMIO_EXIST), nullptr);
    EXPECT_EQ(std::string(name.data()), dir + "/x.wav");

    std::strcpy(name.data(), ".");
    EXPECT_EQ(mmioOpen(name.data(), nullptr, MMIO_EXIST), nullptr) << "a directory is no file";

    std::strcpy(name.data(), "x.wav");
    EXPECT_NE(mmioOpen(name.data(), &info, MMIO_DELETE), nullptr);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(dir + "/x.wav")));
    EXPECT_EQ(mmioOpen(name.data(), &info, MMIO_DELETE), nullptr);
    EXPECT_EQ(info.wErrorRet, MMIOERR_FILENOTFOUND);
    ASSERT_TRUE(QDir::setCurrent(old));
}

TEST_F(Mmio, OpenFailuresAndAccessModes)
{
    MMIOINFO info {};
    std::string missing = Path("missing.wav");
    EXPECT_EQ(mmioOpen(missing.data(), &info, MMIO_READ), nullptr);
    EXPECT_EQ(info.wErrorRet, MMIOERR_FILENOTFOUND);
    std::string inMissingDir = Path("nodir/x.wav");
    EXPECT_EQ(mmioOpen(inMissingDir.data(), &info, MMIO_CREATE | MMIO_WRITE), nullptr);
    EXPECT_EQ(info.wErrorRet, MMIOERR_PATHNOTFOUND);
    std::string dir = FDir.toStdString();
    EXPECT_EQ(mmioOpen(dir.data(), &info, MMIO_READ), nullptr);
    EXPECT_EQ(info.wErrorRet, MMIOERR_ACCESSDENIED);
    info.fccIOProc = mmioFOURCC('Z', 'I', 'P', ' ');
    EXPECT_EQ(mmioOpen(missing.data(), &info, MMIO_READ), nullptr);
    EXPECT_EQ(info.wErrorRet, MMIOERR_INVALIDFILE);

    const std::string path = Path("modes.bin");
    WriteFile(path, Bytes { 'a', 'b' });
    HMMIO reader = Open(path, MMIO_READ | MMIO_ALLOCBUF);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(mmioWrite(reader, "x", 1), -1);
    EXPECT_EQ(mmioClose(reader, 0), MMSYSERR_NOERROR);
    HMMIO writer = Open(path, MMIO_WRITE | MMIO_ALLOCBUF);
    ASSERT_NE(writer, nullptr);
    char c;
    EXPECT_EQ(mmioRead(writer, &c, 1), -1);
    EXPECT_EQ(mmioWrite(writer, "x", 1), 1);
    EXPECT_EQ(mmioClose(writer, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(ReadFile(path), (Bytes { 'x', 'b' })) << "opening for writing keeps the contents";
}

TEST_F(Mmio, ExclusiveOpenExcludesOtherHandlesAndCreateDoesNotTruncateALockedFile)
{
    const std::string path = Path("locked.bin");
    WriteFile(path, Bytes { 'k', 'e', 'e', 'p' });
    HMMIO first = Open(path, MMIO_READWRITE | MMIO_EXCLUSIVE);
    ASSERT_NE(first, nullptr);
    MMIOINFO info {};
    std::string name = path;
    EXPECT_EQ(mmioOpen(name.data(), &info, MMIO_READ | MMIO_DENYNONE), nullptr);
    EXPECT_EQ(info.wErrorRet, MMIOERR_SHARINGVIOLATION);
    EXPECT_EQ(mmioOpen(name.data(), &info, MMIO_CREATE | MMIO_WRITE), nullptr);
    EXPECT_EQ(info.wErrorRet, MMIOERR_SHARINGVIOLATION);
    EXPECT_EQ(ReadFile(path).size(), 4u);
    EXPECT_EQ(mmioClose(first, 0), MMSYSERR_NOERROR);

    HMMIO shared1 = Open(path, MMIO_READ);
    HMMIO shared2 = Open(path, MMIO_READ | MMIO_DENYWRITE);
    EXPECT_NE(shared1, nullptr);
    EXPECT_NE(shared2, nullptr);
    EXPECT_EQ(mmioOpen(name.data(), &info, MMIO_READ | MMIO_EXCLUSIVE), nullptr);
    EXPECT_EQ(info.wErrorRet, MMIOERR_SHARINGVIOLATION);
    mmioClose(shared1, 0);
    mmioClose(shared2, 0);
}

TEST_F(Mmio, CloseKeepsTheDescriptorWhenAsked)
{
    const std::string path = Path("keep.bin");
    HMMIO h = Open(path, MMIO_CREATE | MMIO_READWRITE | MMIO_ALLOCBUF);
    ASSERT_NE(h, nullptr);
    MMIOINFO info {};
    ASSERT_EQ(mmioGetInfo(h, &info, 0), MMSYSERR_NOERROR);
    const int fd = static_cast<int>(info.adwInfo[0]);
    ASSERT_EQ(mmioWrite(h, "abc", 3), 3);
    EXPECT_EQ(mmioClose(h, MMIO_FHOPEN), MMSYSERR_NOERROR);
    EXPECT_EQ(::pwrite(fd, "d", 1, 3), 1) << "descriptor still open";
    EXPECT_EQ(::close(fd), 0);
    EXPECT_EQ(ReadFile(path), (Bytes { 'a', 'b', 'c', 'd' }));
}

TEST_F(Mmio, NullHandlesAndBadArgumentsAreRefused)
{
    char c = 0;
    EXPECT_EQ(mmioRead(nullptr, &c, 1), -1);
    EXPECT_EQ(mmioWrite(nullptr, &c, 1), -1);
    EXPECT_EQ(mmioSeek(nullptr, 0, SEEK_SET), -1);
    EXPECT_EQ(mmioClose(nullptr, 0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(mmioFlush(nullptr, 0), MMSYSERR_INVALHANDLE);
    MMCKINFO ck {};
    EXPECT_EQ(mmioDescend(nullptr, &ck, nullptr, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(mmioAscend(nullptr, &ck, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(mmioCreateChunk(nullptr, &ck, 0), MMSYSERR_INVALPARAM);

    const std::string path = Path("args.bin");
    HMMIO h = Open(path, MMIO_CREATE | MMIO_READWRITE | MMIO_ALLOCBUF);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(mmioWrite(h, &c, -1), -1);
    EXPECT_EQ(mmioRead(h, nullptr, 4), -1);
    EXPECT_EQ(mmioSeek(h, std::numeric_limits<LONG>::max(), SEEK_SET), std::numeric_limits<LONG>::max());
    EXPECT_EQ(mmioWrite(h, &c, 1), -1) << "would pass the largest offset";
    EXPECT_EQ(mmioSeek(h, 1, SEEK_CUR), -1);
    EXPECT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);
}

} // namespace
