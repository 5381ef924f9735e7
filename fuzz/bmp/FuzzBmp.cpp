// BMP file images come from resource files and stored forms. Any bytes must
// decode or be refused with a reason; what decodes must encode again and
// decode to the same pixels.
#include "platform/ui/BmpFile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TBmpImage image;
    QString error;
    if (!DecodeBmp(data, size, image, error)) {
        if (error.isEmpty())
            std::abort();
        return 0;
    }
    if (image.Image.isNull() || image.Consumed > size)
        std::abort();
    const QByteArray again = EncodeBmp(image.Image, image.BitsPerPixel);
    TBmpImage second;
    if (!DecodeBmp(reinterpret_cast<const unsigned char*>(again.constData()),
            static_cast<size_t>(again.size()), second, error))
        std::abort();
    if (second.Image.size() != image.Image.size())
        std::abort();
    for (int y = 0; y < image.Image.height(); ++y)
        for (int x = 0; x < image.Image.width(); ++x)
            if (image.Image.pixel(x, y) != second.Image.pixel(x, y))
                std::abort();
    return 0;
}
