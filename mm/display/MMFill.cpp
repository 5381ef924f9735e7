#include "mm/display/MMFill.h"

#include "mm/core/MMUtils.h"
#include "platform/kernel/SyncObjs.h"

#include <algorithm>

void TileBitmap(TCanvas* canvas, TBitmap* bitmap, const TRect& rect, int rasterOp)
{
    if (canvas == nullptr || bitmap == nullptr)
        return;
    TCriticalSectionLock lock(BitmapDrawLock());
    const QImage& source = bitmap->Image();
    const int width = source.width();
    const int height = source.height();
    // A bitmap without pixels would never use up the rectangle.
    if (width <= 0 || height <= 0)
        return;
    const QImage tile = source.convertToFormat(QImage::Format_RGB32);
    for (int y = rect.Top; y < rect.Bottom; y += height) {
        const int rowHeight = std::min(height, rect.Bottom - y);
        for (int x = rect.Left; x < rect.Right; x += width) {
            const int columnWidth = std::min(width, rect.Right - x);
            const TRect dest = Bounds(x, y, columnWidth, rowHeight);
            if (columnWidth == width && rowHeight == height)
                canvas->DrawImage(dest, tile, rasterOp);
            else
                canvas->DrawImage(dest, tile.copy(0, 0, columnWidth, rowHeight), rasterOp);
        }
    }
}
