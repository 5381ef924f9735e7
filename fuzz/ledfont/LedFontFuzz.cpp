// The LED font loader takes any bitmap a resource file holds. Whatever
// decodes must either be refused as a font or give cells that lie inside the
// recoloured picture for every byte a caption can hold, with only the three
// font colours replaced.
#include "mm/display/MMLEDLbl.h"
#include "platform/ui/BmpFile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TBmpImage bmp;
    QString error;
    if (!DecodeBmp(data, size, bmp, error))
        return 0;
    TMMLEDFont font;
    if (!font.Load(bmp.Image)) {
        if (bmp.Image.width() >= 63 && bmp.Image.height() >= 4)
            std::abort();
        return 0;
    }
    if (font.CharWidth() < 1 || font.CharHeight() < 1)
        std::abort();
    font.Recolour(clRed, clNavy, clYellow, true);
    const QImage& image = font.Image();
    if (image.size() != bmp.Image.size())
        std::abort();
    for (int byte = 0; byte < 256; ++byte) {
        const TRect cell = font.CellRect(static_cast<unsigned char>(byte));
        if (cell.Left < 0 || cell.Top < 0 || cell.Right > image.width() || cell.Bottom > image.height())
            std::abort();
        // A cell copy as the label makes it.
        if (image.copy(ToQRect(cell)).isNull() && !IsRectEmpty(cell))
            std::abort();
    }
    const QImage source = bmp.Image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb was = source.pixel(x, y) & 0xFFFFFF;
            const QRgb now = image.pixel(x, y) & 0xFFFFFF;
            const QRgb expected = was == 0xFFFFFF ? qRgb(255, 0, 0) & 0xFFFFFF
                : was == 0xC0C0C0                 ? qRgb(0, 0, 128) & 0xFFFFFF
                : was == 0                        ? qRgb(255, 255, 0) & 0xFFFFFF
                                                  : was;
            if (now != expected)
                std::abort();
        }
    return 0;
}
