#include "platform/ui/Bitmap.h"
#include "platform/ui/BmpFile.h"
#include "support/TestSupport.h"

#include <QBuffer>
#include <QFile>
#include <cstring>
#include <gtest/gtest.h>

namespace {

QByteArray Save(TBitmap& bitmap)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    bitmap.SaveToStream(buffer);
    return bytes;
}

void Load(TBitmap& bitmap, QByteArray bytes)
{
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    bitmap.LoadFromStream(buffer);
}

std::uint32_t U32(const QByteArray& b, int at)
{
    return static_cast<std::uint8_t>(b[at]) | static_cast<std::uint8_t>(b[at + 1]) << 8
        | static_cast<std::uint8_t>(b[at + 2]) << 16
        | static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[at + 3])) << 24;
}

void Put32(QByteArray& b, int at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A hand-made BMP file image: 14 + 40 byte headers, colour table, pixels.
QByteArray MakeBmp(
    int width, int height, int bits, int compression, const QByteArray& table, const QByteArray& pixels)
{
    QByteArray b(54, '\0');
    b[0] = 'B';
    b[1] = 'M';
    Put32(b, 2, static_cast<std::uint32_t>(54 + table.size() + pixels.size()));
    Put32(b, 10, static_cast<std::uint32_t>(54 + table.size()));
    Put32(b, 14, 40);
    Put32(b, 18, static_cast<std::uint32_t>(width));
    Put32(b, 22, static_cast<std::uint32_t>(height));
    b[26] = 1;
    b[28] = static_cast<char>(bits);
    Put32(b, 30, static_cast<std::uint32_t>(compression));
    return b + table + pixels;
}

} // namespace

TEST(Bitmap, SizeFormatAndBlankPixels)
{
    TBitmap bitmap;
    EXPECT_TRUE(bitmap.Empty());
    EXPECT_EQ(bitmap.PixelFormat(), pfDevice);
    EXPECT_EQ(bitmap.HandleType(), bmDDB);
    int changes = 0;
    bitmap.SetOnChange([&](TObject*) { ++changes; });
    bitmap.SetSize(7, 5);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(bitmap.Width(), 7);
    EXPECT_EQ(bitmap.Height(), 5);
    EXPECT_EQ(bitmap.Image().pixel(6, 4), qRgb(255, 255, 255));

    bitmap.Canvas()->Brush()->SetColor(clRed);
    bitmap.Canvas()->FillRect(Rect(0, 0, 7, 5));
    bitmap.SetWidth(9);
    EXPECT_EQ(bitmap.Image().pixel(6, 0), qRgb(255, 0, 0));
    EXPECT_EQ(bitmap.Image().pixel(8, 0), qRgb(255, 255, 255));
    bitmap.SetHeight(0);
    EXPECT_TRUE(bitmap.Empty());
}

TEST(Bitmap, ScanLinesUseThePlatformLayouts)
{
    TBitmap b24(3, 2, pf24bit);
    b24.Canvas()->SetPixels(0, 1, RGB(0x11, 0x22, 0x33));
    const auto* row = static_cast<const std::uint8_t*>(b24.ScanLine(1));
    EXPECT_EQ(row[0], 0x33);
    EXPECT_EQ(row[1], 0x22);
    EXPECT_EQ(row[2], 0x11);
    EXPECT_EQ(
        static_cast<const std::uint8_t*>(b24.ScanLine(1)) - static_cast<const std::uint8_t*>(b24.ScanLine(0)),
        12);
    auto* write = static_cast<std::uint8_t*>(b24.ScanLine(0));
    write[3] = 0xFF;
    write[4] = 0;
    write[5] = 0;
    EXPECT_EQ(b24.Canvas()->Pixels(1, 0), clBlue);
    EXPECT_THROW(b24.ScanLine(2), EInvalidGraphicOperation);
    EXPECT_THROW(b24.ScanLine(-1), EInvalidGraphicOperation);

    TBitmap b32(2, 1, pf32bit);
    b32.Canvas()->SetPixels(1, 0, RGB(1, 2, 3));
    const auto* px = static_cast<const std::uint8_t*>(b32.ScanLine(0));
    EXPECT_EQ(px[4], 3);
    EXPECT_EQ(px[5], 2);
    EXPECT_EQ(px[6], 1);
}

TEST(Bitmap, EightBitPaletteRoundTripAndAnimation)
{
    TBitmap bitmap(5, 3, pf8bit);
    QList<QRgb> table(256, qRgb(0, 0, 0));
    table[10] = qRgb(10, 20, 30);
    table[200] = qRgb(250, 100, 50);
    bitmap.SetPalette(table);
    auto* row = static_cast<std::uint8_t*>(bitmap.ScanLine(0));
    row[0] = 10;
    row[4] = 200;
    static_cast<std::uint8_t*>(bitmap.ScanLine(2))[2] = 200;

    const QByteArray bytes = Save(bitmap);
    // 14 + 40 header bytes, 256 four-byte entries, rows of 8 bytes.
    ASSERT_EQ(bytes.size(), 54 + 1024 + 3 * 8);
    EXPECT_EQ(bytes[28], 8);
    EXPECT_EQ(U32(bytes, 10), 54u + 1024u);
    EXPECT_EQ(static_cast<std::uint8_t>(bytes[54 + 4 * 200]), 50); // blue first
    // Bottom-up: the last stored row is row 0.
    EXPECT_EQ(static_cast<std::uint8_t>(bytes[54 + 1024 + 2 * 8 + 4]), 200);

    TBitmap copy;
    Load(copy, bytes);
    EXPECT_EQ(copy.PixelFormat(), pf8bit);
    EXPECT_EQ(copy.Width(), 5);
    EXPECT_EQ(copy.Height(), 3);
    EXPECT_EQ(copy.Palette()[200], qRgb(250, 100, 50));
    EXPECT_EQ(static_cast<std::uint8_t*>(copy.ScanLine(0))[4], 200);
    EXPECT_EQ(static_cast<std::uint8_t*>(copy.ScanLine(2))[2], 200);
    EXPECT_EQ(copy.Canvas()->Pixels(0, 0), RGB(10, 20, 30));

    // Rewriting an entry recolours its pixels without touching the indices.
    TPaletteEntry entry { 1, 2, 3, PC_RESERVED };
    EXPECT_EQ(copy.SetPaletteEntries(200, 1, &entry), 1);
    EXPECT_EQ(copy.Canvas()->Pixels(4, 0), RGB(1, 2, 3));
    EXPECT_EQ(static_cast<std::uint8_t*>(copy.ScanLine(0))[4], 200);
    TPaletteEntry read[2];
    EXPECT_EQ(copy.GetPaletteEntries(199, 2, read), 2);
    EXPECT_EQ(read[1].peBlue, 3);
    EXPECT_EQ(copy.GetPaletteEntries(255, 5, read), 1);
}

TEST(Bitmap, CanvasOnIndexedBitmapKeepsUntouchedIndices)
{
    TBitmap bitmap(4, 1, pf8bit);
    QList<QRgb> table(256, qRgb(0, 0, 0));
    table[7] = qRgb(255, 0, 0);
    bitmap.SetPalette(table);
    auto* row = static_cast<std::uint8_t*>(bitmap.ScanLine(0));
    row[0] = 100; // black, like entry 0
    row[1] = 50;
    // Painting red on pixel 2 picks entry 7; pixels 0 and 1 keep their (black) indices.
    bitmap.Canvas()->SetPixels(2, 0, clRed);
    row = static_cast<std::uint8_t*>(bitmap.ScanLine(0));
    EXPECT_EQ(row[0], 100);
    EXPECT_EQ(row[1], 50);
    EXPECT_EQ(row[2], 7);
}

TEST(Bitmap, TwentyFourBitRoundTripThroughAFile)
{
    TBitmap bitmap(3, 2, pf24bit);
    bitmap.Canvas()->SetPixels(0, 0, RGB(1, 2, 3));
    bitmap.Canvas()->SetPixels(2, 1, RGB(200, 100, 50));
    const QString file = tonvara::test::MakeTempDir("bitmap") + "/b24.bmp";
    bitmap.SaveToFile(file);
    QFile raw(file);
    ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
    const QByteArray bytes = raw.readAll();
    ASSERT_EQ(bytes.size(), 54 + 2 * 12);
    EXPECT_EQ(U32(bytes, 2), 78u);
    EXPECT_EQ(bytes[28], 24);
    // Row 1 (bottom) is stored first; pixel 2 of it in blue, green, red.
    EXPECT_EQ(static_cast<std::uint8_t>(bytes[54 + 6]), 50);
    EXPECT_EQ(static_cast<std::uint8_t>(bytes[54 + 8]), 200);

    TBitmap copy;
    copy.LoadFromFile(file);
    EXPECT_EQ(copy.PixelFormat(), pf24bit);
    EXPECT_EQ(copy.Canvas()->Pixels(0, 0), RGB(1, 2, 3));
    EXPECT_EQ(copy.Canvas()->Pixels(2, 1), RGB(200, 100, 50));
    EXPECT_EQ(copy.Canvas()->Pixels(1, 1), clWhite);
    EXPECT_THROW(copy.LoadFromFile(file + ".missing"), EFOpenError);
}

TEST(Bitmap, OtherDepthsRoundTrip)
{
    for (TPixelFormat format : { pf1bit, pf4bit, pf15bit, pf16bit, pf32bit }) {
        TBitmap bitmap(9, 3, format);
        bitmap.Canvas()->Brush()->SetColor(clBlack);
        bitmap.Canvas()->FillRect(Rect(0, 0, 4, 2));
        bitmap.Canvas()->SetPixels(8, 2, clRed);
        TBitmap copy;
        Load(copy, Save(bitmap));
        EXPECT_EQ(copy.PixelFormat(), format) << format;
        EXPECT_EQ(copy.Width(), 9);
        EXPECT_EQ(copy.Canvas()->Pixels(3, 1), clBlack) << format;
        EXPECT_EQ(copy.Canvas()->Pixels(4, 1), clWhite) << format;
        if (format != pf1bit) {
            EXPECT_EQ(copy.Canvas()->Pixels(8, 2), clRed) << format;
        }
    }
}

TEST(Bitmap, TopDownRle8AndBitfieldsAreRead)
{
    // Top-down 24-bit: the first stored row is the top one.
    QByteArray rows;
    rows += QByteArray("\x00\x00\xFF\x00", 4); // top: red, padding
    rows += QByteArray("\xFF\x00\x00\x00", 4); // bottom: blue
    QByteArray topDown = MakeBmp(1, -2, 24, 0, QByteArray(), rows);
    TBitmap bitmap;
    Load(bitmap, topDown);
    EXPECT_EQ(bitmap.Canvas()->Pixels(0, 0), clRed);
    EXPECT_EQ(bitmap.Canvas()->Pixels(0, 1), clBlue);

    // RLE8: a run of 3 index-1 pixels, end of line, an absolute run of 3 (padded), end of bitmap.
    QByteArray table(256 * 4, '\0');
    table[4 + 2] = static_cast<char>(0xFF); // entry 1 red
    table[8 + 1] = static_cast<char>(0xFF); // entry 2 green
    QByteArray rle("\x03\x01\x00\x00\x00\x03\x02\x01\x00\x00\x00\x01", 12);
    Load(bitmap, MakeBmp(3, 2, 8, 1, table, rle));
    EXPECT_EQ(bitmap.PixelFormat(), pf8bit);
    EXPECT_EQ(bitmap.Canvas()->Pixels(0, 1), clRed); // first decoded row is the bottom one
    EXPECT_EQ(bitmap.Canvas()->Pixels(2, 1), clRed);
    EXPECT_EQ(bitmap.Canvas()->Pixels(0, 0), clLime);
    EXPECT_EQ(bitmap.Canvas()->Pixels(1, 0), clRed);
    EXPECT_EQ(bitmap.Canvas()->Pixels(2, 0), clBlack);

    // 16-bit 5-6-5 bit fields.
    QByteArray masks;
    masks += QByteArray("\x00\xF8\x00\x00", 4);
    masks += QByteArray("\xE0\x07\x00\x00", 4);
    masks += QByteArray("\x1F\x00\x00\x00", 4);
    QByteArray b565 = MakeBmp(1, 1, 16, 3, masks, QByteArray("\x1F\x00\x00\x00", 4));
    Load(bitmap, b565);
    EXPECT_EQ(bitmap.PixelFormat(), pf16bit);
    EXPECT_EQ(bitmap.Canvas()->Pixels(0, 0), clBlue);
}

TEST(Bitmap, MalformedImagesAreRefused)
{
    TBitmap bitmap(2, 2, pf24bit);
    const QByteArray good = Save(bitmap);
    auto expectInvalid = [&](QByteArray bytes, const char* reason) {
        TBitmap target;
        try {
            Load(target, bytes);
            ADD_FAILURE() << "accepted: " << reason;
        } catch (const EInvalidGraphic& e) {
            EXPECT_TRUE(e.Message().startsWith("Bitmap image is not valid")) << e.what();
            EXPECT_TRUE(e.Message().contains(reason)) << e.what();
        }
        EXPECT_TRUE(target.Empty());
    };
    expectInvalid(QByteArray(), "too short");
    QByteArray bad = good;
    bad[0] = 'X';
    expectInvalid(bad, "signature");
    expectInvalid(good.left(good.size() - 1), "truncated pixel data");
    bad = good;
    bad[28] = 7;
    expectInvalid(bad, "bits per pixel");
    bad = good;
    Put32(bad, 18, 0x7FFFFFFF);
    expectInvalid(bad, "too large");
    bad = good;
    Put32(bad, 14, 77);
    expectInvalid(bad, "header size");
    bad = good;
    Put32(bad, 30, 1);
    expectInvalid(bad, "RLE8");
}

TEST(Bitmap, StreamPositionAfterTheImage)
{
    TBitmap bitmap(2, 2, pf24bit);
    QByteArray bytes = Save(bitmap);
    const int size = bytes.size();
    bytes += "tail";
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    TBitmap copy;
    copy.LoadFromStream(buffer);
    EXPECT_EQ(buffer.pos(), size);
    EXPECT_EQ(buffer.readAll(), QByteArray("tail"));
}

TEST(Bitmap, AssignAndPixelFormatConversion)
{
    TBitmap source(3, 3, pf24bit);
    source.Canvas()->SetPixels(1, 1, clRed);
    source.SetTransparent(true);
    TBitmap copy;
    copy.Assign(&source);
    EXPECT_EQ(copy.PixelFormat(), pf24bit);
    EXPECT_TRUE(copy.Transparent());
    EXPECT_EQ(copy.Canvas()->Pixels(1, 1), clRed);
    // The copy is independent.
    source.Canvas()->SetPixels(1, 1, clBlue);
    EXPECT_EQ(copy.Canvas()->Pixels(1, 1), clRed);

    copy.SetPixelFormat(pf8bit);
    EXPECT_EQ(copy.Palette().size(), 256);
    EXPECT_EQ(copy.Canvas()->Pixels(1, 1), clRed);
    copy.SetPixelFormat(pf1bit);
    EXPECT_TRUE(copy.Monochrome());
    EXPECT_EQ(copy.Canvas()->Pixels(0, 0), clWhite);
    copy.SetHandleType(bmDDB);
    EXPECT_EQ(copy.PixelFormat(), pfDevice);

    TFont font;
    EXPECT_THROW(copy.Assign(&font), EConvertError);
    copy.Assign(nullptr);
    EXPECT_TRUE(copy.Empty());
}

TEST(Picture, StoredDataNamesTheClass)
{
    TPicture picture;
    int changes = 0;
    picture.SetOnChange([&](TObject*) { ++changes; });
    picture.Bitmap()->SetSize(2, 2);
    EXPECT_GE(changes, 2);
    EXPECT_EQ(picture.Width(), 2);

    TBitmap other(4, 1, pf24bit);
    picture.SetGraphic(&other);
    EXPECT_EQ(picture.Width(), 4);
    EXPECT_NE(picture.Graphic(), &other);
    EXPECT_THROW(picture.LoadFromFile("picture.xyz"), EInvalidGraphic);
}

TEST(BmpFile, DecoderNeverReadsPastTheEnd)
{
    TBitmap bitmap(5, 4, pf8bit);
    const QByteArray good = Save(bitmap);
    // Every prefix of a valid image is refused or decoded, never read beyond.
    for (int n = 0; n < good.size(); ++n) {
        QByteArray prefix = good.left(n);
        TBmpImage image;
        QString error;
        EXPECT_FALSE(DecodeBmp(reinterpret_cast<const unsigned char*>(prefix.constData()),
            static_cast<std::size_t>(prefix.size()), image, error));
        EXPECT_FALSE(error.isEmpty());
    }
    TBmpImage image;
    QString error;
    EXPECT_TRUE(DecodeBmp(reinterpret_cast<const unsigned char*>(good.constData()),
        static_cast<std::size_t>(good.size()), image, error));
    EXPECT_EQ(image.BitsPerPixel, 8);
    EXPECT_EQ(image.Consumed, static_cast<std::size_t>(good.size()));
}
