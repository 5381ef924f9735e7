// JPEG file images come from stored forms and picture files. Any bytes must
// decode or be refused with EInvalidGraphic and a reason, never end the
// process; what decodes has the size its header claims, within the limits,
// and the stored form of the picture reads back to the same pixels.
#include "platform/ui/Jpeg.h"

#include <QBuffer>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    TJPEGImage jpeg;
    QByteArray input = bytes;
    QBuffer in(&input);
    in.open(QIODevice::ReadOnly);
    try {
        jpeg.LoadFromStream(in);
    } catch (const EInvalidGraphic& error) {
        if (!error.Message().startsWith(QStringLiteral("JPEG image is not valid: ")) || !jpeg.Empty())
            std::abort();
        return 0;
    }
    const QImage& image = jpeg.Image();
    if (image.isNull() || image.width() != jpeg.Width() || image.height() != jpeg.Height()
        || std::int64_t(image.width()) * image.height() > (std::int64_t(1) << 26) || jpeg.Data() != bytes)
        std::abort();

    QByteArray stored;
    QBuffer out(&stored);
    out.open(QIODevice::WriteOnly);
    jpeg.WriteData(out);
    out.close();
    out.open(QIODevice::ReadOnly);
    TJPEGImage again;
    again.ReadData(out);
    if (again.Data() != bytes || again.Image() != image)
        std::abort();
    return 0;
}
