// The JPEG picture: decoding against Qt's own JPEG reader and against the
// colours the splash picture's script draws, the stored form of a picture
// holding one, and damaged data refused with EInvalidGraphic.
#include "platform/ui/ExtCtrls.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/FormWriter.h"
#include "platform/ui/Forms.h"
#include "platform/ui/Jpeg.h"
#include "support/TestSupport.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QRegularExpression>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>

namespace {

QString SplashFile()
{
    return tonvara::test::SourceDir() + "/resources/splash/Velmora.jpg";
}

QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// The largest difference of one colour channel between two same-sized images.
int MaxChannelDifference(const QImage& a, const QImage& b)
{
    int worst = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            worst = std::max({ worst, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                std::abs(qBlue(p) - qBlue(q)) });
        }
    return worst;
}

// The mean difference of all colour channels.
double MeanChannelDifference(const QImage& a, const QImage& b)
{
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q))
                + std::abs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * a.width() * a.height());
}

// Qt's reader, the independent decode (its plugin has its own libjpeg set-up).
QImage QtDecode(const QByteArray& data)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    return reader.read().convertToFormat(QImage::Format_RGB32);
}

QByteArray QtEncode(const QImage& image, bool progressive, int quality = 90)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    writer.setProgressiveScanWrite(progressive);
    EXPECT_TRUE(writer.write(image)) << writer.errorString().toStdString();
    return buffer.data();
}

// A picture with edges (a checker of light and dark squares) over smooth
// colour ramps, so that decoding errors show.
QImage TestPattern(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int light = ((x / 16 + y / 16) % 2) ? 50 : -50;
            image.setPixel(x, y,
                qRgb(std::clamp(60 + (x * 140) / width + light, 0, 255),
                    std::clamp(60 + (y * 140) / height + light, 0, 255),
                    std::clamp(60 + ((x + y) * 70) / (width + height) + light, 0, 255)));
        }
    return image;
}

void ExpectInvalid(const QByteArray& data, const char* what)
{
    TJPEGImage jpeg;
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    try {
        jpeg.LoadFromStream(buffer);
        ADD_FAILURE() << what << ": decoded " << jpeg.Width() << " x " << jpeg.Height();
    } catch (const EInvalidGraphic& error) {
        EXPECT_TRUE(error.Message().startsWith("JPEG image is not valid: ")) << what << ": " << error.what();
        EXPECT_GT(error.Message().size(), int(strlen("JPEG image is not valid: "))) << what;
    }
    EXPECT_TRUE(jpeg.Empty()) << what;
}

// Picture.Data of a stored TImage: class name, byte count, file image.
QByteArray PictureData(const QByteArray& jpeg)
{
    QByteArray data;
    data.append(char(10)).append("TJPEGImage");
    const auto size = static_cast<quint32>(jpeg.size());
    for (int i = 0; i < 4; ++i)
        data.append(static_cast<char>((size >> (8 * i)) & 0xFF));
    return data + jpeg;
}

QByteArray StoredImage(const QByteArray& pictureData)
{
    QByteArray text = "object Image1: TImage\n  Left = 2\n  Top = 2\n  Width = 298\n  Height = 197\n"
                      "  Picture.Data = {\n";
    const QByteArray hex = pictureData.toHex().toUpper();
    for (qsizetype i = 0; i < hex.size(); i += 64)
        text += "    " + hex.mid(i, 64) + (i + 64 >= hex.size() ? "}\n" : "\n");
    return text + "  Stretch = True\nend\n";
}

// The bytes of the hex block of Picture.Data in a written stored form.
QByteArray StoredPictureBytes(const QByteArray& text)
{
    const QRegularExpression block(QStringLiteral("Picture\\.Data = \\{([0-9A-Fa-f\\s]*)\\}"));
    const QRegularExpressionMatch match = block.match(QString::fromUtf8(text));
    if (!match.hasMatch())
        return QByteArray();
    QString hex = match.captured(1);
    hex.remove(QRegularExpression(QStringLiteral("\\s")));
    return QByteArray::fromHex(hex.toLatin1());
}

class JpegTest : public testing::Test {
protected:
    void SetUp() override
    {
        RegisterStandardClasses();
        RegisterJPEGImage();
        FSplash = ReadFile(SplashFile());
        ASSERT_GT(FSplash.size(), 1000) << SplashFile().toStdString();
    }

    QByteArray FSplash;
};

TEST_F(JpegTest, DecodesTheSplashPictureAsQtDoes)
{
    TJPEGImage jpeg;
    jpeg.LoadFromFile(SplashFile());
    ASSERT_EQ(jpeg.Width(), 551);
    ASSERT_EQ(jpeg.Height(), 382);
    EXPECT_FALSE(jpeg.Empty());
    EXPECT_EQ(jpeg.Data(), FSplash);

    const QImage reference = QtDecode(FSplash);
    ASSERT_EQ(reference.size(), QSize(551, 382)) << "Qt's JPEG plugin is missing";
    // The same library underneath, set up alike (accurate DCT, smooth
    // chroma): at most rounding apart.
    EXPECT_LE(MaxChannelDifference(jpeg.Image(), reference), 1);
}

TEST_F(JpegTest, SplashPixelsHaveTheColoursTheScriptDraws)
{
    // resources/splash/make-splash.sh: the meter box is filled with #0b1522
    // (its arc keeps 92 pixels around 428,176), the waveform's baseline row
    // y = 296 is #24405e between the bars, the cursor is #e0493a, 2 pixels
    // wide at x = 402 and 403. JPEG keeps flat areas within a few levels.
    TJPEGImage jpeg;
    jpeg.LoadFromFile(SplashFile());
    const QImage& image = jpeg.Image();
    auto near = [&](int x, int y, QRgb expected, int tolerance) {
        const QRgb p = image.pixel(x, y);
        EXPECT_LE(std::abs(qRed(p) - qRed(expected)), tolerance) << x << "," << y;
        EXPECT_LE(std::abs(qGreen(p) - qGreen(expected)), tolerance) << x << "," << y;
        EXPECT_LE(std::abs(qBlue(p) - qBlue(expected)), tolerance) << x << "," << y;
    };
    near(330, 195, qRgb(0x0b, 0x15, 0x22), 8);
    near(528, 72, qRgb(0x0b, 0x15, 0x22), 8);
    near(470, 190, qRgb(0x0b, 0x15, 0x22), 8);
    // The cursor is thin: its chroma is shared with its dark neighbours, so
    // only its red dominance is certain.
    const QRgb cursor = image.pixel(402, 320);
    EXPECT_GT(qRed(cursor), 150);
    EXPECT_GT(qRed(cursor), qGreen(cursor) + 60);
    EXPECT_GT(qRed(cursor), qBlue(cursor) + 60);
}

TEST_F(JpegTest, DecodesProgressiveAndGreyPictures)
{
    const QImage pattern = TestPattern(123, 77);
    for (bool progressive : { false, true }) {
        const QByteArray data = QtEncode(pattern, progressive);
        const QImage decoded = DecodeJpeg(data);
        ASSERT_EQ(decoded.size(), pattern.size());
        EXPECT_LE(MaxChannelDifference(decoded, QtDecode(data)), 1) << progressive;
        // And it is the picture that was encoded, within JPEG's losses
        // (which are largest at the blue squares' edges, whose colour is
        // kept at half resolution).
        EXPECT_LT(MeanChannelDifference(decoded, pattern), 4.0) << progressive;
    }
    const QByteArray grey = QtEncode(pattern.convertToFormat(QImage::Format_Grayscale8), false);
    const QImage decoded = DecodeJpeg(grey);
    ASSERT_EQ(decoded.size(), pattern.size());
    for (int y = 0; y < decoded.height(); y += 7)
        for (int x = 0; x < decoded.width(); x += 5) {
            const QRgb p = decoded.pixel(x, y);
            ASSERT_EQ(qRed(p), qGreen(p));
            ASSERT_EQ(qRed(p), qBlue(p));
        }
    EXPECT_LE(MaxChannelDifference(decoded, QtDecode(grey)), 1);
}

TEST_F(JpegTest, StoredPictureReadsAndWritesTheSameBytes)
{
    const QByteArray data = PictureData(FSplash);
    std::unique_ptr<TComponent> component(ReadComponentFromText(StoredImage(data), nullptr, "image.form"));
    auto* image = qobject_cast<TImage*>(component.get());
    ASSERT_NE(image, nullptr);
    auto* jpeg = qobject_cast<TJPEGImage*>(image->Picture()->Graphic());
    ASSERT_NE(jpeg, nullptr);
    EXPECT_EQ(jpeg->Width(), 551);
    EXPECT_EQ(jpeg->Height(), 382);

    const QByteArray written = ComponentToText(image);
    EXPECT_EQ(StoredPictureBytes(written), data);

    // The written form reads again into the same picture.
    std::unique_ptr<TComponent> again(ReadComponentFromText(written, nullptr, "again.form"));
    auto* second = qobject_cast<TJPEGImage*>(qobject_cast<TImage*>(again.get())->Picture()->Graphic());
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->Data(), FSplash);
    EXPECT_EQ(second->Image(), jpeg->Image());

    // WriteData on its own: the count, then the file image.
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    jpeg->WriteData(buffer);
    EXPECT_EQ(buffer.data(), data.mid(11));
}

TEST_F(JpegTest, PicturesCopyAndTurnIntoBitmaps)
{
    TPicture picture;
    picture.LoadFromFile(SplashFile());
    auto* jpeg = qobject_cast<TJPEGImage*>(picture.Graphic());
    ASSERT_NE(jpeg, nullptr);

    TPicture copy;
    copy.Assign(&picture);
    auto* copied = qobject_cast<TJPEGImage*>(copy.Graphic());
    ASSERT_NE(copied, nullptr);
    EXPECT_NE(copied, jpeg);
    EXPECT_EQ(copied->Data(), jpeg->Data());

    TBitmap bitmap;
    bitmap.Assign(jpeg);
    ASSERT_EQ(bitmap.Width(), 551);
    EXPECT_EQ(bitmap.PixelFormat(), pf24bit);
    EXPECT_EQ(MaxChannelDifference(bitmap.Image().convertToFormat(QImage::Format_RGB32), jpeg->Image()), 0);

    copied->Assign(nullptr);
    EXPECT_TRUE(copied->Empty());
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    copied->SaveToStream(buffer);
    EXPECT_TRUE(buffer.data().isEmpty());
}

TEST_F(JpegTest, TruncatedDataIsRefused)
{
    ExpectInvalid(QByteArray(), "empty");
    const qsizetype size = FSplash.size();
    for (qsizetype cut : { qsizetype(1), qsizetype(2), qsizetype(3), qsizetype(20), qsizetype(200), size / 8,
             size / 3, size / 2, size - 100, size - 2, size - 1 })
        ExpectInvalid(FSplash.left(cut), qPrintable(QStringLiteral("first %1 bytes").arg(cut)));
}

TEST_F(JpegTest, CorruptDataIsRefused)
{
    ExpectInvalid(QByteArray("GIF89a not a jpeg at all"), "not a JPEG");
    ExpectInvalid(QByteArray(4096, '\0'), "zeros");

    // The frame header (SOF0): precision, height, width.
    const qsizetype sof = FSplash.indexOf(QByteArray("\xFF\xC0", 2));
    ASSERT_GT(sof, 0);
    QByteArray noWidth = FSplash;
    noWidth[sof + 7] = 0;
    noWidth[sof + 8] = 0;
    ExpectInvalid(noWidth, "width 0");
    QByteArray precision = FSplash;
    precision[sof + 4] = 3;
    ExpectInvalid(precision, "3-bit samples");
    QByteArray huge = FSplash;
    huge[sof + 5] = char(0xFF);
    huge[sof + 6] = char(0xF0);
    huge[sof + 7] = char(0xFF);
    huge[sof + 8] = char(0xF0);
    ExpectInvalid(huge, "65520 x 65520");
    // Within libjpeg's limits but more pixels than a picture here may have.
    huge[sof + 5] = char(0x4E);
    huge[sof + 6] = char(0x20);
    huge[sof + 7] = char(0x4E);
    huge[sof + 8] = char(0x20);
    ExpectInvalid(huge, "20000 x 20000");

    // A Huffman table whose code counts add up to more than the codes given.
    const qsizetype dht = FSplash.indexOf(QByteArray("\xFF\xC4", 2));
    ASSERT_GT(dht, 0);
    QByteArray table = FSplash;
    for (int i = 0; i < 16; ++i)
        table[dht + 5 + i] = char(0xFF);
    ExpectInvalid(table, "Huffman counts");

    // Compressed data overwritten with a marker that does not belong there.
    const qsizetype sos = FSplash.indexOf(QByteArray("\xFF\xDA", 2));
    ASSERT_GT(sos, 0);
    QByteArray scan = FSplash;
    const qsizetype middle = sos + (FSplash.size() - sos) / 2;
    scan[middle] = char(0xFF);
    scan[middle + 1] = char(0xD0 + 5);
    ExpectInvalid(scan, "restart marker in the scan");
}

TEST_F(JpegTest, FailedLoadKeepsThePicture)
{
    TJPEGImage jpeg;
    jpeg.LoadFromFile(SplashFile());
    QByteArray broken = FSplash.left(FSplash.size() / 2);
    QBuffer buffer(&broken);
    buffer.open(QIODevice::ReadOnly);
    EXPECT_THROW(jpeg.LoadFromStream(buffer), EInvalidGraphic);
    EXPECT_EQ(jpeg.Data(), FSplash);
    EXPECT_EQ(jpeg.Width(), 551);

    // A stored count beyond the stored bytes, and a stored picture cut short.
    for (const QByteArray& data : { PictureData(FSplash).left(2000), PictureData(FSplash).left(13) }) {
        QByteArray stored = data.mid(11);
        QBuffer in(&stored);
        in.open(QIODevice::ReadOnly);
        EXPECT_THROW(jpeg.ReadData(in), EInvalidGraphic);
        EXPECT_EQ(jpeg.Data(), FSplash);
    }
    // A stored form holding a damaged picture fails to read, with the reason.
    try {
        std::unique_ptr<TComponent> component(
            ReadComponentFromText(StoredImage(PictureData(FSplash.left(5000))), nullptr, "image.form"));
        ADD_FAILURE() << "a damaged stored picture was read";
    } catch (const EReadError& error) {
        EXPECT_TRUE(error.Message().contains("JPEG image is not valid")) << error.what();
    }
}

} // namespace
