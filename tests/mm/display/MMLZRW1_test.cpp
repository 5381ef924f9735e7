#include "mm/display/MMLZRW1.h"
#include "platform/ui/SysUtils.h"

#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

QByteArray Decompress(const QByteArray& block, bool* ok = nullptr)
{
    QByteArray out;
    const char* error = nullptr;
    const bool result = LZRWDecompressBlock(
        reinterpret_cast<const unsigned char*>(block.constData()), std::size_t(block.size()), out, error);
    if (ok != nullptr)
        *ok = result;
    return out;
}

bool DecompressFails(const QByteArray& block)
{
    QByteArray out("keep");
    const char* error = nullptr;
    const bool result = LZRWDecompressBlock(
        reinterpret_cast<const unsigned char*>(block.constData()), std::size_t(block.size()), out, error);
    EXPECT_EQ(out, QByteArray("keep")) << "a failed block must leave the output as it was";
    if (!result) {
        EXPECT_NE(error, nullptr);
    }
    return !result;
}

} // namespace

TEST(MMLZRW1, SixtyFourEqualBytesBecomeOneRun)
{
    const QByteArray input(64, char(0xA5));
    const QByteArray packed = LZRWCompressBlock(input);
    EXPECT_EQ(packed, Bytes({ 0x40, 0x80, 0x00, 0x00, 0x00, 0x30, 0xA5 }));
    EXPECT_EQ(Decompress(packed), input);
}

TEST(MMLZRW1, ThreeDistinctBytesAreStored)
{
    const QByteArray input = Bytes({ 1, 2, 3 });
    const QByteArray packed = LZRWCompressBlock(input);
    EXPECT_EQ(packed, Bytes({ 0x80, 1, 2, 3 }));
    EXPECT_EQ(Decompress(packed), input);
}

TEST(MMLZRW1, EmptyBlockIsStored)
{
    EXPECT_EQ(LZRWCompressBlock(QByteArray()), Bytes({ 0x80 }));
    bool ok = false;
    EXPECT_TRUE(Decompress(Bytes({ 0x80 }), &ok).isEmpty());
    EXPECT_TRUE(ok);
}

TEST(MMLZRW1, RepeatedPhraseBecomesCopies)
{
    // "abcd" literals, then 8 more bytes that repeat it: one copy of distance 4.
    const QByteArray input("abcdabcdabcdABCDEFGHIJKLMNOPQRSTUVWXYZ");
    const QByteArray packed = LZRWCompressBlock(input);
    ASSERT_EQ(packed.size(), 1 + 2 + 4 + 2 + 26 + 2);
    EXPECT_EQ(quint8(packed[0]), 0x40);
    // Items: a b c d COPY A..L -> bits 0000 1000 0000 0000, then a second
    // word for the rest.
    EXPECT_EQ(quint8(packed[1]), 0x08);
    EXPECT_EQ(quint8(packed[2]), 0x00);
    EXPECT_EQ(packed.mid(3, 4), QByteArray("abcd"));
    // Distance 4, length 8: (4 << 4) + (8 - 3) = 0x0045.
    EXPECT_EQ(quint8(packed[7]), 0x00);
    EXPECT_EQ(quint8(packed[8]), 0x45);
    EXPECT_EQ(Decompress(packed), input);
}

TEST(MMLZRW1, LongRunsAreCutAt4095)
{
    const QByteArray input(5000, 'z');
    const QByteArray packed = LZRWCompressBlock(input);
    // Run of 4095 (0x0FEF + 16), then a run of 905 (0x0379 + 16).
    EXPECT_EQ(packed, Bytes({ 0x40, 0xC0, 0x00, 0x00, 0x0F, 0xEF, 'z', 0x00, 0x03, 0x79, 'z' }));
    EXPECT_EQ(Decompress(packed), input);
}

TEST(MMLZRW1, RoundTripsAssortedBlocks)
{
    std::mt19937 rng(1234);
    const std::size_t sizes[]
        = { 1, 2, 3, 4, 15, 16, 17, 18, 19, 100, 4096, 4097, 32767, 32768, 32769, kLZRWBlockSize };
    for (std::size_t size : sizes) {
        for (int kind = 0; kind < 4; ++kind) {
            QByteArray input(qsizetype(size), '\0');
            for (std::size_t i = 0; i < size; ++i) {
                switch (kind) {
                case 0:
                    input[qsizetype(i)] = char(rng());
                    break; // incompressible
                case 1:
                    input[qsizetype(i)] = char((i / 37) & 0xFF);
                    break; // runs
                case 2:
                    input[qsizetype(i)] = char("0123456789abcdef"[(i * 7) % 13]);
                    break; // phrases
                default:
                    input[qsizetype(i)] = char(rng() % 4);
                    break; // small alphabet
                }
            }
            const QByteArray packed = LZRWCompressBlock(input);
            ASSERT_LE(std::size_t(packed.size()), size + 1) << size << "/" << kind;
            if (quint8(packed[0]) == 0x40) {
                EXPECT_LE(std::size_t(packed.size()), size) << size << "/" << kind;
            }
            bool ok = false;
            const QByteArray back = Decompress(packed, &ok);
            EXPECT_TRUE(ok) << size << "/" << kind;
            EXPECT_EQ(back, input) << size << "/" << kind;
        }
    }
}

TEST(MMLZRW1, PositionsPastTheSignedRangeNeverMatch)
{
    // Zeros up to 32768, then "ABCDEFG" and "ABCDEF": the second phrase would
    // be a copy of the first, but the first one's table entry wrapped to a
    // negative position, so the second stays literal: the block ends with
    // the literals "GABCDEF" after the second control word.
    QByteArray input(32768, '\0');
    input += QByteArray("ABCDEFG");
    input += QByteArray("ABCDEF");
    ASSERT_EQ(std::size_t(input.size()), kLZRWBlockSize);
    const QByteArray packed = LZRWCompressBlock(input);
    EXPECT_EQ(quint8(packed[0]), 0x40);
    EXPECT_EQ(packed.right(7), QByteArray("GABCDEF"));
    EXPECT_EQ(Decompress(packed), input);
}

TEST(MMLZRW1, RefusesBlocksLargerThanABlock)
{
    const QByteArray input(qsizetype(kLZRWBlockSize + 1), 'x');
    EXPECT_THROW(LZRWCompressBlock(input), EArgumentError);
}

TEST(MMLZRW1, CorruptBlocksAreRefused)
{
    EXPECT_TRUE(DecompressFails(QByteArray()));
    // No room for the first control word.
    EXPECT_TRUE(DecompressFails(Bytes({ 0x40, 0x00 })));
    // A copy of distance 1 with nothing written yet.
    EXPECT_TRUE(DecompressFails(Bytes({ 0x40, 0x80, 0x00, 0x00, 0x10 })));
    // A copy of distance 5 after two literals.
    EXPECT_TRUE(DecompressFails(Bytes({ 0x40, 0x20, 0x00, 'a', 'b', 0x00, 0x50 })));
    // A copy item cut after its first byte.
    EXPECT_TRUE(DecompressFails(Bytes({ 0x40, 0x80, 0x00, 0x00 })));
    // A run item cut after three bytes.
    EXPECT_TRUE(DecompressFails(Bytes({ 0x40, 0x80, 0x00, 0x00, 0x00, 0x30 })));
    // The longest run the item can describe, 0x0FFF + 16, is fine on its own.
    {
        bool ok = false;
        EXPECT_EQ(Decompress(Bytes({ 0x40, 0x80, 0x00, 0x00, 0x0F, 0xFF, 'r' }), &ok), QByteArray(4111, 'r'));
        EXPECT_TRUE(ok);
    }
    // Runs that together pass the end of a block: 9 x 4095 > 32781.
    {
        QByteArray block = Bytes({ 0x40, 0xFF, 0xC0 });
        for (int i = 0; i < 9; ++i)
            block += Bytes({ 0x00, 0x0F, 0xEF, 'r' });
        EXPECT_TRUE(DecompressFails(block));
    }
    // A stored block longer than a block.
    {
        QByteArray block(qsizetype(kLZRWBlockSize + 2), 's');
        block[0] = char(0x80);
        EXPECT_TRUE(DecompressFails(block));
    }
    // Sixteen literals, then a control word cut after one byte.
    {
        QByteArray block = Bytes({ 0x40, 0x00, 0x00 });
        block += QByteArray(16, 'l');
        block += Bytes({ 0x00 });
        EXPECT_TRUE(DecompressFails(block));
    }
}

TEST(MMLZRW1, CopiesMayOverlapTheirOwnOutput)
{
    // 'a', then a copy of distance 1 and length 18: nineteen 'a's.
    const QByteArray block = Bytes({ 0x40, 0x40, 0x00, 'a', 0x00, 0x1F });
    bool ok = false;
    EXPECT_EQ(Decompress(block, &ok), QByteArray(19, 'a'));
    EXPECT_TRUE(ok);
}

TEST(MMLZRW1, ABlockFillsExactlyToItsEnd)
{
    // Eight runs of 4095 and one of 21 give 32781 bytes: accepted.
    QByteArray block = Bytes({ 0x40, 0xFF, 0x80 });
    for (int i = 0; i < 8; ++i)
        block += Bytes({ 0x00, 0x0F, 0xEF, 'q' });
    block += Bytes({ 0x00, 0x00, 0x05, 'q' });
    bool ok = false;
    const QByteArray out = Decompress(block, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(std::size_t(out.size()), kLZRWBlockSize);
    // One literal more does not fit.
    QByteArray over = block;
    over[2] = char(0x80);
    over += Bytes({ '!' });
    EXPECT_TRUE(DecompressFails(over));
}
