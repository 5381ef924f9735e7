#include "mm/display/MMLZRW1.h"

#include "platform/ui/SysUtils.h"

#include <array>
#include <cstdint>
#include <vector>

namespace {

constexpr unsigned char kFlagCompressed = 0x40;
constexpr unsigned char kFlagStored = 0x80;
constexpr int kHashSize = 4096;
constexpr std::size_t kMaxRun = 4095;
constexpr std::size_t kMinRun = 16;
constexpr std::size_t kMaxMatch = 18;
constexpr std::size_t kMinMatch = 3;
constexpr std::size_t kMaxDistance = 4096;
constexpr int kItemsPerWord = 16;

// Items may run a few bytes past the input's length before the loop notices
// that the data did not shrink: a control word (2) and a run (4).
constexpr std::size_t kOutputSlack = 8;

unsigned Hash(const unsigned char* p)
{
    const unsigned mixed = ((((unsigned(p[0]) << 4) ^ p[1]) << 4) ^ p[2]);
    return ((mixed * 40543u) >> 4) & (kHashSize - 1);
}

QByteArray StoredBlock(const unsigned char* data, std::size_t size)
{
    QByteArray out;
    out.reserve(qsizetype(size + 1));
    out.append(char(kFlagStored));
    out.append(reinterpret_cast<const char*>(data), qsizetype(size));
    return out;
}

} // namespace

QByteArray LZRWCompressBlock(const unsigned char* data, std::size_t size)
{
    if (size > kLZRWBlockSize)
        throw EArgumentError(QStringLiteral("LZRW block too large (%1 bytes)").arg(qulonglong(size)));

    // Positions are kept as 16-bit signed values; those of 32768 and beyond
    // wrap to negative numbers and so never pass the distance test.
    std::array<std::int16_t, kHashSize> table;
    table.fill(-1);

    std::vector<unsigned char> out(size + kOutputSlack + 3);
    out[0] = kFlagCompressed;
    std::size_t controlPos = 1;
    std::size_t outPos = 3;
    std::size_t x = 0;
    unsigned word = 0;
    int items = 0;

    auto storeWord = [&](unsigned value) {
        out[controlPos] = static_cast<unsigned char>((value >> 8) & 0xFF);
        out[controlPos + 1] = static_cast<unsigned char>(value & 0xFF);
    };

    while (x < size && outPos <= size) {
        if (items == kItemsPerWord) {
            storeWord(word);
            controlPos = outPos;
            outPos += 2;
            items = 0;
            word = 0;
        }

        std::size_t run = 1;
        while (run < kMaxRun && x + run < size && data[x + run] == data[x])
            ++run;
        if (run >= kMinRun) {
            out[outPos++] = 0x00;
            out[outPos++] = static_cast<unsigned char>((run - kMinRun) >> 8);
            out[outPos++] = static_cast<unsigned char>((run - kMinRun) & 0xFF);
            out[outPos++] = data[x];
            x += run;
            word = (word << 1) | 1;
            ++items;
            continue;
        }

        // Fewer than three bytes left cannot match; hashing them would read
        // past the block, and the table entry it sets is never consulted
        // again because every later position is just as close to the end.
        if (x + kMinMatch <= size) {
            const unsigned h = Hash(data + x);
            const int candidate = table[h];
            table[h] = static_cast<std::int16_t>(static_cast<std::uint16_t>(x));
            if (candidate != -1
                && static_cast<long long>(x) - candidate < static_cast<long long>(kMaxDistance)) {
                const auto p = static_cast<std::size_t>(candidate);
                std::size_t count = 0;
                while (count < kMaxMatch && x + count < size && data[x + count] == data[p + count])
                    ++count;
                if (count >= kMinMatch) {
                    const unsigned item = unsigned((x - p) << 4) + unsigned(count - kMinMatch);
                    out[outPos++] = static_cast<unsigned char>(item >> 8);
                    out[outPos++] = static_cast<unsigned char>(item & 0xFF);
                    x += count;
                    word = (word << 1) | 1;
                    ++items;
                    continue;
                }
            }
        }

        out[outPos++] = data[x];
        ++x;
        word <<= 1;
        ++items;
    }
    storeWord((word << (kItemsPerWord - items)) & 0xFFFF);

    if (outPos > size)
        return StoredBlock(data, size);
    return QByteArray(reinterpret_cast<const char*>(out.data()), qsizetype(outPos));
}

QByteArray LZRWCompressBlock(const QByteArray& data)
{
    return LZRWCompressBlock(
        reinterpret_cast<const unsigned char*>(data.constData()), std::size_t(data.size()));
}

bool LZRWDecompressBlock(const unsigned char* data, std::size_t size, QByteArray& out, const char*& error)
{
    if (size == 0) {
        error = "empty block";
        return false;
    }
    if (data[0] == kFlagStored) {
        if (size - 1 > kLZRWBlockSize) {
            error = "stored block longer than a block";
            return false;
        }
        out.append(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
        return true;
    }
    if (size < 3) {
        error = "block cut off in its first control word";
        return false;
    }

    std::vector<unsigned char> block;
    block.reserve(kLZRWBlockSize);
    unsigned word = (unsigned(data[1]) << 8) | data[2];
    int used = 0;
    std::size_t pos = 3;
    while (pos < size) {
        if (used == kItemsPerWord) {
            if (size - pos < 2) {
                error = "block cut off in a control word";
                return false;
            }
            word = (unsigned(data[pos]) << 8) | data[pos + 1];
            pos += 2;
            used = 0;
            // A control word is only written before an item, but a block that
            // ends right after one is harmless: it describes nothing.
            if (pos == size)
                break;
        }
        if ((word & 0x8000) == 0) {
            if (block.size() >= kLZRWBlockSize) {
                error = "literal past the end of the block";
                return false;
            }
            block.push_back(data[pos]);
            pos += 1;
        } else {
            if (size - pos < 2) {
                error = "block cut off in a copy item";
                return false;
            }
            const std::size_t offset = (std::size_t(data[pos]) << 4) | (data[pos + 1] >> 4);
            if (offset != 0) {
                const std::size_t length = std::size_t(data[pos + 1] & 0x0F) + kMinMatch;
                if (offset > block.size()) {
                    error = "copy from before the start of the block";
                    return false;
                }
                if (length > kLZRWBlockSize - block.size()) {
                    error = "copy past the end of the block";
                    return false;
                }
                // One byte at a time: source and destination may overlap.
                std::size_t from = block.size() - offset;
                for (std::size_t i = 0; i < length; ++i)
                    block.push_back(block[from + i]);
                pos += 2;
            } else {
                if (size - pos < 4) {
                    error = "block cut off in a run item";
                    return false;
                }
                const std::size_t length = ((std::size_t(data[pos + 1]) << 8) | data[pos + 2]) + kMinRun;
                if (length > kLZRWBlockSize - block.size()) {
                    error = "run past the end of the block";
                    return false;
                }
                block.insert(block.end(), length, data[pos + 3]);
                pos += 4;
            }
        }
        word = (word << 1) & 0xFFFF;
        ++used;
    }
    out.append(reinterpret_cast<const char*>(block.data()), qsizetype(block.size()));
    return true;
}
