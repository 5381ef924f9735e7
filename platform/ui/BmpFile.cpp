#include "platform/ui/BmpFile.h"

#include <QList>
#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kBiRle8 = 1;
constexpr std::uint32_t kBiRle4 = 2;
constexpr std::uint32_t kBiBitfields = 3;
constexpr std::size_t kFileHeaderSize = 14;
constexpr std::size_t kInfoHeaderSize = 40;

std::uint16_t Get16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t Get32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8)
        | (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void Put16(QByteArray& out, std::uint16_t v)
{
    out.append(static_cast<char>(v & 0xFF));
    out.append(static_cast<char>(v >> 8));
}

void Put32(QByteArray& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.append(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// One colour channel described by a bit mask, scaled to 0..255.
struct Channel {
    std::uint32_t Mask = 0;
    int Shift = 0;
    int Bits = 0;

    explicit Channel(std::uint32_t mask = 0)
        : Mask(mask)
    {
        if (!mask)
            return;
        while (!((mask >> Shift) & 1))
            ++Shift;
        while (Shift + Bits < 32 && ((mask >> (Shift + Bits)) & 1))
            ++Bits;
    }

    int Value(std::uint32_t pixel) const
    {
        if (!Bits)
            return 0;
        const std::uint32_t v = (pixel & Mask) >> Shift;
        if (Bits >= 8)
            return static_cast<int>(v >> (Bits - 8));
        const std::uint32_t max = (1u << Bits) - 1;
        return static_cast<int>((v * 255 + max / 2) / max);
    }
};

bool Fail(QString& error, const char* reason)
{
    error = QString::fromLatin1(reason);
    return false;
}

// Run-length decoding into an index image of one byte per pixel. Rows are
// bottom-up; pixels never written stay at index 0, and a code that would
// leave the image ends the decoding as the end-of-bitmap code does.
void DecodeRle(const unsigned char* src, std::size_t size, bool fourBits, QImage& image)
{
    const int width = image.width();
    const int height = image.height();
    int x = 0;
    int row = 0; // counted from the bottom
    std::size_t pos = 0;
    auto put = [&](int index) {
        if (x < width && row < height)
            image.scanLine(height - 1 - row)[x] = static_cast<uchar>(index);
        ++x;
    };
    while (pos + 1 < size && row < height) {
        const int count = src[pos];
        const int value = src[pos + 1];
        pos += 2;
        if (count > 0) {
            for (int i = 0; i < count && x < width; ++i)
                put(fourBits ? ((i & 1) ? (value & 0x0F) : (value >> 4)) : value);
            continue;
        }
        if (value == 0) { // end of line
            x = 0;
            ++row;
        } else if (value == 1) { // end of bitmap
            return;
        } else if (value == 2) { // delta
            if (pos + 1 >= size)
                return;
            x += src[pos];
            row += src[pos + 1];
            pos += 2;
        } else { // absolute run of `value` pixels, padded to a 16-bit boundary
            const std::size_t bytes
                = fourBits ? static_cast<std::size_t>((value + 1) / 2) : static_cast<std::size_t>(value);
            if (pos + bytes > size)
                return;
            for (int i = 0; i < value; ++i) {
                const int b = src[pos + static_cast<std::size_t>(fourBits ? i / 2 : i)];
                put(fourBits ? ((i & 1) ? (b & 0x0F) : (b >> 4)) : b);
            }
            pos += (bytes + 1) & ~std::size_t(1);
        }
    }
}

// The colour table of an indexed layout and, for each pixel, its index.
struct IndexedPixels {
    QList<QRgb> Table;
    QImage Indices; // Format_Indexed8 or Format_Mono
};

IndexedPixels ToIndexed(const QImage& image, int bits)
{
    const int entries = 1 << bits;
    IndexedPixels result;
    if (image.format() == QImage::Format_Indexed8 || image.format() == QImage::Format_Mono) {
        result.Table = image.colorTable();
        result.Indices
            = image.format() == QImage::Format_Mono ? image.convertToFormat(QImage::Format_Indexed8) : image;
    } else {
        result.Table = BmpStandardColorTable(bits);
        result.Indices = image.convertToFormat(
            QImage::Format_Indexed8, result.Table, Qt::ThresholdDither | Qt::AvoidDither);
    }
    while (result.Table.size() < entries)
        result.Table.append(qRgb(0, 0, 0));
    result.Table.resize(entries);
    return result;
}

} // namespace

QList<QRgb> BmpStandardColorTable(int bitsPerPixel)
{
    QList<QRgb> table;
    if (bitsPerPixel == 1) {
        table = { qRgb(0, 0, 0), qRgb(255, 255, 255) };
    } else if (bitsPerPixel == 4) {
        static const unsigned vga[16]
            = { 0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0x808080, 0xC0C0C0,
                  0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF };
        for (unsigned c : vga)
            table.append(0xFF000000u | c);
    } else {
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b)
                    table.append(qRgb(r * 51, g * 51, b * 51));
        for (int i = 0; table.size() < 256; ++i)
            table.append(qRgb(i * 6, i * 6, i * 6));
    }
    return table;
}

bool DecodeBmp(const unsigned char* data, std::size_t size, TBmpImage& out, QString& error)
{
    if (!data || size < kFileHeaderSize + 12)
        return Fail(error, "Bitmap image is not valid: too short");
    if (data[0] != 'B' || data[1] != 'M')
        return Fail(error, "Bitmap image is not valid: no BM signature");
    const std::uint32_t fileSize = Get32(data + 2);
    const std::uint32_t offBits = Get32(data + 10);
    const unsigned char* info = data + kFileHeaderSize;
    const std::size_t infoAvail = size - kFileHeaderSize;
    const std::uint32_t headerSize = Get32(info);

    std::int64_t width = 0;
    std::int64_t height = 0;
    int planes = 0;
    int bits = 0;
    std::uint32_t compression = kBiRgb;
    std::uint32_t clrUsed = 0;
    std::uint32_t masks[3] = { 0, 0, 0 };
    bool core = false;
    std::size_t tableOffset = 0;
    if (headerSize == 12) {
        core = true;
        width = Get16(info + 4);
        height = static_cast<std::int16_t>(Get16(info + 6));
        planes = Get16(info + 8);
        bits = Get16(info + 10);
        tableOffset = kFileHeaderSize + 12;
    } else if (headerSize == 40 || headerSize == 52 || headerSize == 56 || headerSize == 64
        || headerSize == 108 || headerSize == 124) {
        if (infoAvail < headerSize)
            return Fail(error, "Bitmap image is not valid: truncated header");
        width = static_cast<std::int32_t>(Get32(info + 4));
        height = static_cast<std::int32_t>(Get32(info + 8));
        planes = Get16(info + 12);
        bits = Get16(info + 14);
        compression = Get32(info + 16);
        clrUsed = Get32(info + 32);
        tableOffset = kFileHeaderSize + headerSize;
        if (compression == kBiBitfields) {
            if (headerSize >= 52) {
                for (int i = 0; i < 3; ++i)
                    masks[i] = Get32(info + 40 + 4 * i);
            } else {
                if (infoAvail < headerSize + 12)
                    return Fail(error, "Bitmap image is not valid: truncated colour masks");
                for (int i = 0; i < 3; ++i)
                    masks[i] = Get32(info + headerSize + 4 * static_cast<std::size_t>(i));
                tableOffset += 12;
            }
        }
    } else {
        return Fail(error, "Bitmap image is not valid: unknown header size");
    }

    if (planes != 1)
        return Fail(error, "Bitmap image is not valid: plane count is not 1");
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return Fail(error, "Bitmap image is not valid: unsupported bits per pixel");
    const bool topDown = height < 0;
    if (topDown)
        height = -height;
    if (width <= 0 || height <= 0)
        return Fail(error, "Bitmap image is not valid: empty or negative size");
    if (width > kBmpMaxSide || height > kBmpMaxSide || width * height > kBmpMaxPixels)
        return Fail(error, "Bitmap image is not valid: too large");
    switch (compression) {
    case kBiRgb:
        break;
    case kBiRle8:
        if (bits != 8 || topDown)
            return Fail(error, "Bitmap image is not valid: RLE8 needs 8 bits per pixel, bottom-up");
        break;
    case kBiRle4:
        if (bits != 4 || topDown)
            return Fail(error, "Bitmap image is not valid: RLE4 needs 4 bits per pixel, bottom-up");
        break;
    case kBiBitfields:
        if (bits != 16 && bits != 32)
            return Fail(error, "Bitmap image is not valid: bit fields need 16 or 32 bits per pixel");
        if (!masks[0] || !masks[1] || !masks[2])
            return Fail(error, "Bitmap image is not valid: empty colour mask");
        break;
    default:
        return Fail(error, "Bitmap image is not valid: unsupported compression");
    }

    // Colour table.
    QList<QRgb> table;
    const std::size_t entrySize = core ? 3 : 4;
    if (bits <= 8) {
        const std::uint32_t full = 1u << bits;
        std::uint32_t count = clrUsed ? clrUsed : full;
        if (count > 256)
            return Fail(error, "Bitmap image is not valid: colour table too long");
        if (tableOffset + count * entrySize > size)
            return Fail(error, "Bitmap image is not valid: truncated colour table");
        const std::uint32_t kept = std::min(count, full);
        for (std::uint32_t i = 0; i < kept; ++i) {
            const unsigned char* e = data + tableOffset + i * entrySize;
            table.append(qRgb(e[2], e[1], e[0]));
        }
        while (table.size() < static_cast<qsizetype>(full))
            table.append(qRgb(0, 0, 0));
        tableOffset += count * entrySize;
    }

    // Pixel rows start at bfOffBits when that points past the headers, else right after them.
    std::size_t pixels = tableOffset;
    if (offBits >= tableOffset && offBits < size)
        pixels = offBits;
    else if (offBits >= tableOffset)
        return Fail(error, "Bitmap image is not valid: pixel data offset beyond the end");
    const std::size_t avail = size - pixels;
    const std::size_t stride = static_cast<std::size_t>(((width * bits + 31) / 32) * 4);
    const int w = static_cast<int>(width);
    const int h = static_cast<int>(height);

    TBmpImage result;
    result.BitsPerPixel = bits;
    if (compression == kBiRle8 || compression == kBiRle4) {
        QImage image(w, h, QImage::Format_Indexed8);
        if (image.isNull())
            return Fail(error, "Bitmap image is not valid: out of memory");
        image.fill(0);
        DecodeRle(data + pixels, avail, compression == kBiRle4, image);
        image.setColorTable(table);
        result.Image = image;
    } else {
        if (stride * static_cast<std::size_t>(h) > avail)
            return Fail(error, "Bitmap image is not valid: truncated pixel data");
        auto rowAt = [&](int y) {
            return data + pixels + stride * static_cast<std::size_t>(topDown ? y : h - 1 - y);
        };
        QImage::Format format = QImage::Format_RGB32;
        Channel r, g, b;
        bool direct = true; // rows are copied byte for byte
        switch (bits) {
        case 1:
            format = QImage::Format_Mono;
            break;
        case 4:
        case 8:
            format = QImage::Format_Indexed8;
            direct = bits == 8;
            break;
        case 16: {
            const std::uint32_t m0 = compression == kBiBitfields ? masks[0] : 0x7C00;
            const std::uint32_t m1 = compression == kBiBitfields ? masks[1] : 0x03E0;
            const std::uint32_t m2 = compression == kBiBitfields ? masks[2] : 0x001F;
            if (m0 == 0x7C00 && m1 == 0x03E0 && m2 == 0x001F) {
                format = QImage::Format_RGB555;
                result.BitsPerPixel = 15;
            } else if (m0 == 0xF800 && m1 == 0x07E0 && m2 == 0x001F) {
                format = QImage::Format_RGB16;
            } else {
                r = Channel(m0), g = Channel(m1), b = Channel(m2);
                direct = false;
                result.BitsPerPixel = 32;
            }
            break;
        }
        case 24:
            format = QImage::Format_BGR888;
            break;
        default:
            if (compression == kBiBitfields
                && !(masks[0] == 0xFF0000 && masks[1] == 0xFF00 && masks[2] == 0xFF)) {
                r = Channel(masks[0]), g = Channel(masks[1]), b = Channel(masks[2]);
                direct = false;
            }
            break;
        }
        QImage image(w, h, format);
        if (image.isNull())
            return Fail(error, "Bitmap image is not valid: out of memory");
        const std::size_t rowBytes
            = std::min<std::size_t>(stride, static_cast<std::size_t>(image.bytesPerLine()));
        for (int y = 0; y < h; ++y) {
            const unsigned char* src = rowAt(y);
            uchar* dst = image.scanLine(y);
            if (direct) {
                std::memcpy(dst, src, rowBytes);
                if (bits == 32) {
                    auto* px = reinterpret_cast<QRgb*>(dst);
                    for (int x = 0; x < w; ++x)
                        px[x] |= 0xFF000000u;
                }
            } else if (bits == 4) {
                for (int x = 0; x < w; ++x)
                    dst[x] = static_cast<uchar>((x & 1) ? (src[x / 2] & 0x0F) : (src[x / 2] >> 4));
            } else {
                auto* px = reinterpret_cast<QRgb*>(dst);
                for (int x = 0; x < w; ++x) {
                    const std::uint32_t v = bits == 16 ? Get16(src + 2 * x) : Get32(src + 4 * x);
                    px[x] = qRgb(r.Value(v), g.Value(v), b.Value(v));
                }
            }
        }
        if (bits <= 8)
            image.setColorTable(table);
        result.Image = image;
    }
    result.Consumed = (fileSize >= pixels && fileSize <= size) ? fileSize : size;
    out = result;
    return true;
}

QByteArray EncodeBmp(const QImage& image, int bitsPerPixel)
{
    if (image.isNull() || image.width() <= 0 || image.height() <= 0)
        return {};
    int bits = bitsPerPixel;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 15 && bits != 16 && bits != 24)
        bits = 32;
    const int fileBits = bits == 15 ? 16 : bits;
    const int w = image.width();
    const int h = image.height();
    const std::size_t stride
        = static_cast<std::size_t>(((static_cast<std::int64_t>(w) * fileBits + 31) / 32) * 4);
    const bool fields = bits == 16;
    const std::size_t tableSize = bits <= 8 ? (std::size_t(1) << bits) * 4 : (fields ? 12 : 0);
    const std::size_t offBits = kFileHeaderSize + kInfoHeaderSize + tableSize;
    const std::size_t imageSize = stride * static_cast<std::size_t>(h);

    QByteArray out;
    out.reserve(static_cast<qsizetype>(offBits + imageSize));
    out.append("BM", 2);
    Put32(out, static_cast<std::uint32_t>(offBits + imageSize));
    Put32(out, 0);
    Put32(out, static_cast<std::uint32_t>(offBits));
    Put32(out, kInfoHeaderSize);
    Put32(out, static_cast<std::uint32_t>(w));
    Put32(out, static_cast<std::uint32_t>(h));
    Put16(out, 1);
    Put16(out, static_cast<std::uint16_t>(fileBits));
    Put32(out, fields ? kBiBitfields : kBiRgb);
    Put32(out, static_cast<std::uint32_t>(imageSize));
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, 0);

    IndexedPixels indexed;
    QImage direct;
    if (bits <= 8) {
        indexed = ToIndexed(image, bits);
        for (QRgb c : indexed.Table) {
            out.append(static_cast<char>(qBlue(c)));
            out.append(static_cast<char>(qGreen(c)));
            out.append(static_cast<char>(qRed(c)));
            out.append('\0');
        }
    } else {
        if (fields) {
            Put32(out, 0xF800);
            Put32(out, 0x07E0);
            Put32(out, 0x001F);
        }
        const QImage::Format format = bits == 15 ? QImage::Format_RGB555
            : bits == 16                         ? QImage::Format_RGB16
            : bits == 24                         ? QImage::Format_BGR888
                                                 : QImage::Format_RGB32;
        direct = image.format() == format ? image : image.convertToFormat(format);
    }

    QByteArray row(static_cast<qsizetype>(stride), '\0');
    auto* dst = reinterpret_cast<unsigned char*>(row.data());
    for (int y = h - 1; y >= 0; --y) {
        std::fill(dst, dst + stride, 0);
        if (bits <= 8) {
            const uchar* src = indexed.Indices.constScanLine(y);
            for (int x = 0; x < w; ++x) {
                const int index = std::min<int>(src[x], (1 << bits) - 1);
                if (bits == 8)
                    dst[x] = static_cast<unsigned char>(index);
                else if (bits == 4)
                    dst[x / 2] |= static_cast<unsigned char>((x & 1) ? index : index << 4);
                else if (index)
                    dst[x / 8] |= static_cast<unsigned char>(0x80 >> (x & 7));
            }
        } else {
            const std::size_t bytes = static_cast<std::size_t>(w) * static_cast<std::size_t>(fileBits / 8);
            std::memcpy(dst, direct.constScanLine(y), bytes);
            if (bits == 32)
                for (int x = 0; x < w; ++x)
                    dst[4 * x + 3] = 0;
        }
        out.append(row);
    }
    return out;
}
