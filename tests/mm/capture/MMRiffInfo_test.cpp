#include "mm/capture/MMRiffInfo.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

std::string Le32(uint32_t v)
{
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

std::string Chunk(const char* id, const std::string& body)
{
    std::string c = std::string(id, 4) + Le32(static_cast<uint32_t>(body.size())) + body;
    if (body.size() & 1)
        c += '\0';
    return c;
}

/// A read-only memory file over bytes, positioned after the chunk header that
/// mmioDescend reads first.
class MemoryChunk {
public:
    explicit MemoryChunk(std::string bytes)
        : FBytes(std::move(bytes))
    {
        MMIOINFO info {};
        info.fccIOProc = FOURCC_MEM;
        info.pchBuffer = FBytes.data();
        info.cchBuffer = static_cast<LONG>(FBytes.size());
        FHandle = mmioOpen(nullptr, &info, MMIO_READ);
        EXPECT_NE(FHandle, nullptr);
        EXPECT_EQ(mmioDescend(FHandle, &FChunk, nullptr, 0), MMSYSERR_NOERROR);
    }
    ~MemoryChunk() { mmioClose(FHandle, 0); }

    HMMIO Handle() const { return FHandle; }
    const MMCKINFO* Info() const { return &FChunk; }

private:
    std::string FBytes;
    HMMIO FHandle = nullptr;
    MMCKINFO FChunk {};
};

/// Runs a writer into a growable memory file and returns what it wrote.
template <typename Writer> std::string WrittenBy(Writer write, int expectedResult = kRiffOk)
{
    MMIOINFO info {};
    info.fccIOProc = FOURCC_MEM;
    info.adwInfo[0] = 64;
    HMMIO h = mmioOpen(nullptr, &info, MMIO_READWRITE | MMIO_ALLOCBUF);
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(write(h), expectedResult);
    const LONG end = mmioSeek(h, 0, SEEK_CUR);
    MMIOINFO state {};
    mmioGetInfo(h, &state, 0);
    std::string bytes(state.pchBuffer, static_cast<size_t>(end));
    mmioClose(h, 0);
    return bytes;
}

TEST(MMRiffInfo, TheTableHoldsThe23IdentifiersInOrder)
{
    const char* ids[kRiffInfoCount]
        = { "IARL", "IART", "ICMS", "ICMT", "ICOP", "ICRD", "ICRP", "IDIM", "IDPI", "IENG", "IGNR", "IKEY",
              "ILGT", "IMED", "INAM", "IPLT", "IPRD", "ISBJ", "ISFT", "ISHP", "ISRC", "ISRF", "ITCH" };
    for (int i = 0; i < kRiffInfoCount; ++i) {
        EXPECT_EQ(kRiffInfoIds[i].Id, mmioStringToFOURCC(ids[i], 0)) << i;
        EXPECT_EQ(RiffInfoIndex(kRiffInfoIds[i].Id), i);
        EXPECT_GT(std::strlen(kRiffInfoIds[i].Name), 2u);
        const std::string description = kRiffInfoIds[i].Description;
        EXPECT_EQ(description.back(), '.') << ids[i];
    }
    EXPECT_STREQ(kRiffInfoIds[14].Name, "Name");
    EXPECT_STREQ(kRiffInfoIds[5].Name, "Creation date");
    EXPECT_EQ(RiffInfoIndex(mmioFOURCC('I', 'X', 'Y', 'Z')), -1);
}

TEST(MMRiffInfo, TextsAreSetReadAndClearedByIdentifier)
{
    TRiffInfoList* list = nullptr;
    ASSERT_EQ(RiffCreateInfoList(list), kRiffOk);
    EXPECT_FALSE(RiffHasInfo(list));
    const FOURCC name = mmioFOURCC('I', 'N', 'A', 'M');
    EXPECT_EQ(RiffSetInfo(list, name, "Kayıt"), kRiffOk);
    EXPECT_TRUE(RiffHasInfo(list));
    std::string text;
    EXPECT_EQ(RiffGetInfo(list, name, text), kRiffOk);
    EXPECT_EQ(text, "Kayıt");
    EXPECT_EQ(RiffSetInfo(list, name, nullptr), kRiffOk);
    EXPECT_FALSE(RiffHasInfo(list));
    EXPECT_EQ(RiffSetInfo(list, mmioFOURCC('I', 'X', 'Y', 'Z'), "x"), kRiffBadParam);
    EXPECT_EQ(RiffGetInfo(list, mmioFOURCC('I', 'X', 'Y', 'Z'), text), kRiffBadParam);
    EXPECT_EQ(RiffSetInfo(nullptr, name, "x"), kRiffBadParam);
    EXPECT_EQ(RiffGetInfo(nullptr, name, text), kRiffBadParam);
    EXPECT_FALSE(RiffHasInfo(nullptr));
    RiffFreeInfoList(list);
    EXPECT_EQ(list, nullptr);
}

TEST(MMRiffInfo, ReadingTakesKnownIdsAndSurvivesBrokenSubChunks)
{
    const std::string body = "INFO" + Chunk("IART", std::string("Ada\0", 4)) + Chunk("IXYZ", "other")
        + Chunk("ICMT", std::string("two\0words", 9))
        + Chunk("ISFT", "no zero")
        // A sub-chunk claiming more than the list holds: cut to the list.
        + std::string("INAM") + Le32(1000) + "cut";
    MemoryChunk chunk("LIST" + Le32(static_cast<uint32_t>(body.size())) + body);
    TRiffInfoList list;
    ASSERT_EQ(RiffReadInfoChunk(chunk.Handle(), chunk.Info(), &list), kRiffOk);
    EXPECT_EQ(list.Text[1], "Ada");
    EXPECT_EQ(list.Text[3], "two") << "up to the first zero byte";
    EXPECT_EQ(list.Text[18], "no zero");
    EXPECT_EQ(list.Text[14], "cut");

    // A list whose header claims more than the file has.
    MemoryChunk shortList("LIST" + Le32(500) + "INFO" + std::string("IART") + Le32(2));
    TRiffInfoList other;
    EXPECT_EQ(RiffReadInfoChunk(shortList.Handle(), shortList.Info(), &other), kRiffOk);
    EXPECT_FALSE(RiffHasInfo(&other));
    EXPECT_EQ(RiffReadInfoChunk(nullptr, shortList.Info(), &other), kRiffBadParam);
}

TEST(MMRiffInfo, WritingEmitsNonEmptyTextsInTableOrder)
{
    TRiffInfoList list;
    list.Text[18] = "Tonvara"; // ISFT
    list.Text[0] = "Arsiv"; // IARL
    const std::string written = WrittenBy([&](HMMIO h) { return RiffWriteInfoChunk(h, &list); });
    const std::string expected = Chunk("LIST",
        "INFO" + Chunk("IARL", std::string("Arsiv\0", 6)) + Chunk("ISFT", std::string("Tonvara\0", 8)));
    EXPECT_TRUE(written == expected);

    TRiffInfoList empty;
    EXPECT_EQ(WrittenBy([&](HMMIO h) { return RiffWriteInfoChunk(h, &empty); }), "");
}

TEST(MMRiffInfo, DispEntriesReadInOrderAndOnlyTextAndBitmapsAreWritten)
{
    TRiffDispList* list = nullptr;
    ASSERT_EQ(RiffCreateDispList(list), kRiffOk);
    MemoryChunk text(Chunk("DISP", Le32(1) + std::string("caption\0", 8)));
    ASSERT_EQ(RiffReadDispChunk(text.Handle(), text.Info(), list), kRiffOk);
    MemoryChunk tiny(Chunk("DISP", "ab"));
    ASSERT_EQ(RiffReadDispChunk(tiny.Handle(), tiny.Info(), list), kRiffOk);
    MemoryChunk typeOnly(Chunk("DISP", Le32(8)));
    ASSERT_EQ(RiffReadDispChunk(typeOnly.Handle(), typeOnly.Info(), list), kRiffOk);
    ASSERT_EQ(list->Entries.size(), 2u);
    EXPECT_EQ(list->Entries[0].Type, kDispText);
    EXPECT_EQ(list->Entries[0].Data.size(), 8u);
    EXPECT_EQ(list->Entries[1].Type, kDispDib);
    EXPECT_TRUE(list->Entries[1].Data.empty());

    ASSERT_EQ(RiffAddDisp(list, kDispText, "no zero", 7), kRiffOk);
    ASSERT_EQ(RiffAddDisp(list, 3, "metafile", 8), kRiffOk);
    ASSERT_EQ(RiffAddDisp(list, kDispDib, "BITS", 4), kRiffOk);
    ASSERT_EQ(RiffAddDisp(list, kDispText, "", 1), kRiffOk);
    EXPECT_EQ(RiffAddDisp(list, kDispText, nullptr, 3), kRiffBadParam);
    EXPECT_EQ(RiffAddDisp(nullptr, kDispText, "x", 1), kRiffBadParam);
    const std::string written = WrittenBy([&](HMMIO h) { return RiffWriteDispChunks(h, list); });
    const std::string expected = Chunk("DISP", Le32(1) + std::string("caption\0", 8))
        + Chunk("DISP", Le32(1) + std::string("no zero\0", 8)) + Chunk("DISP", Le32(8) + "BITS");
    EXPECT_TRUE(written == expected);
    RiffFreeDispList(list);
    EXPECT_EQ(list, nullptr);
}

TEST(MMRiffInfo, WriteFailuresAreFileErrors)
{
    char fixed[10];
    MMIOINFO info {};
    info.fccIOProc = FOURCC_MEM;
    info.pchBuffer = fixed;
    info.cchBuffer = sizeof(fixed);
    HMMIO h = mmioOpen(nullptr, &info, MMIO_READWRITE);
    ASSERT_NE(h, nullptr);
    TRiffInfoList list;
    list.Text[0] = "does not fit";
    EXPECT_EQ(RiffWriteInfoChunk(h, &list), kRiffFileError);
    TRiffDispList disp;
    disp.Entries.push_back({ kDispDib, std::vector<char>(40, 'x') });
    EXPECT_EQ(mmioSeek(h, 0, SEEK_SET), 0);
    EXPECT_EQ(RiffWriteDispChunks(h, &disp), kRiffFileError);
    EXPECT_EQ(RiffWriteDispChunks(nullptr, &disp), kRiffBadParam);
    mmioClose(h, 0);
}

} // namespace
