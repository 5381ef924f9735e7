#include "platform/ui/Types.h"

#include <algorithm>

TPoint Point(int x, int y)
{
    return { x, y };
}

TRect Rect(int left, int top, int right, int bottom)
{
    return { left, top, right, bottom };
}

TRect Bounds(int left, int top, int width, int height)
{
    return { left, top, left + width, top + height };
}

void InflateRect(TRect& rect, int dx, int dy)
{
    rect.Left -= dx;
    rect.Top -= dy;
    rect.Right += dx;
    rect.Bottom += dy;
}

void OffsetRect(TRect& rect, int dx, int dy)
{
    rect.Left += dx;
    rect.Top += dy;
    rect.Right += dx;
    rect.Bottom += dy;
}

bool IsRectEmpty(const TRect& r)
{
    return r.Right <= r.Left || r.Bottom <= r.Top;
}

bool IntersectRect(TRect& dest, const TRect& a, const TRect& b)
{
    TRect r { std::max(a.Left, b.Left), std::max(a.Top, b.Top), std::min(a.Right, b.Right),
        std::min(a.Bottom, b.Bottom) };
    if (IsRectEmpty(r)) {
        dest = TRect {};
        return false;
    }
    dest = r;
    return true;
}

bool UnionRect(TRect& dest, const TRect& a, const TRect& b)
{
    if (IsRectEmpty(a)) {
        dest = IsRectEmpty(b) ? TRect {} : b;
    } else if (IsRectEmpty(b)) {
        dest = a;
    } else {
        dest = TRect { std::min(a.Left, b.Left), std::min(a.Top, b.Top), std::max(a.Right, b.Right),
            std::max(a.Bottom, b.Bottom) };
    }
    return !IsRectEmpty(dest);
}

bool PtInRect(const TRect& r, const TPoint& p)
{
    return p.X >= r.Left && p.X < r.Right && p.Y >= r.Top && p.Y < r.Bottom;
}

TPoint CenterPoint(const TRect& r)
{
    // Floor division keeps the centre of rectangles with negative edges on the same side.
    auto half = [](int a, int b) {
        const long long sum = static_cast<long long>(a) + b;
        return static_cast<int>(sum >= 0 ? sum / 2 : (sum - 1) / 2);
    };
    return { half(r.Left, r.Right), half(r.Top, r.Bottom) };
}

QRect ToQRect(const TRect& r)
{
    return QRect(r.Left, r.Top, r.Width(), r.Height());
}

TRect ToTRect(const QRect& r)
{
    return Bounds(r.x(), r.y(), r.width(), r.height());
}

QPoint ToQPoint(const TPoint& p)
{
    return QPoint(p.X, p.Y);
}

TPoint ToTPoint(const QPoint& p)
{
    return { p.x(), p.y() };
}
