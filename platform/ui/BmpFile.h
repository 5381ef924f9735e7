#pragma once

// The BMP file image: a BITMAPFILEHEADER, a BITMAPINFOHEADER (or one of its
// older and newer relatives), the colour table and the pixel rows. This is
// the byte layout bitmaps are stored in (files, resources, stored forms,
// bitmap-list streams); TBitmap reads and writes it through these two
// functions.
//
// Read: 1, 4, 8, 16, 24 and 32 bits per pixel; uncompressed, RLE8, RLE4 and
// BI_BITFIELDS; bottom-up and top-down rows; the 12-byte core header and the
// 40-, 52-, 56-, 108- and 124-byte info headers. Malformed input never reads
// outside the given bytes: it is refused with a reason.
// Written: 1, 4, 8 (full colour tables), 16 (5-5-5 uncompressed or 5-6-5 as
// BI_BITFIELDS), 24 and 32 bits per pixel, uncompressed and bottom-up, with
// the 40-byte info header.

#include <QByteArray>
#include <QImage>
#include <QString>
#include <cstddef>
#include <cstdint>

/// A decoded BMP file image.
struct TBmpImage {
    /// The pixels: Format_Mono for 1 bit (the DIB bit order), Format_Indexed8
    /// for 4 and 8 bits (one byte per pixel, colour table of 16 or 256
    /// entries), Format_RGB555 (15), Format_RGB16 (16), Format_BGR888 (24) or
    /// Format_RGB32 (32). 16- and 32-bit images with other channel masks are
    /// converted to Format_RGB32.
    QImage Image;
    /// 1, 4, 8, 15 (5-5-5), 16 (5-6-5), 24 or 32: the layout the image keeps.
    int BitsPerPixel = 0;
    /// Bytes of the input that belong to the image (the file header's size
    /// when it is plausible, otherwise everything given).
    std::size_t Consumed = 0;
};

/// Largest accepted width and height, and pixel count.
inline constexpr int kBmpMaxSide = 32768;
inline constexpr std::int64_t kBmpMaxPixels = std::int64_t(1) << 26;

/// The colour table an indexed layout gets when nothing gives one: for 1
/// bit black and white, for 4 bits the sixteen VGA colours, otherwise (8
/// bits) a 6 x 6 x 6 colour cube followed by a grey ramp, 256 entries.
QList<QRgb> BmpStandardColorTable(int bitsPerPixel);

/// Decodes the BMP file image in data[0 .. size). Returns false and sets
/// error to a one-line reason when the bytes are not a valid image.
bool DecodeBmp(const unsigned char* data, std::size_t size, TBmpImage& out, QString& error);

/// Encodes image as a BMP file image with the given bits per pixel (1, 4, 8,
/// 15, 16, 24 or 32; anything else is taken as 32). Indexed layouts use the
/// image's colour table when it has one (entries beyond it are black);
/// otherwise colours are mapped to the nearest entry of a standard table.
/// An image without pixels gives an empty array.
QByteArray EncodeBmp(const QImage& image, int bitsPerPixel);
