#include "platform/ui/Canvas.h"

#include "platform/ui/Bitmap.h"

#include <QPaintEngine>
#include <QPainter>
#include <QPolygon>
#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

std::optional<QPainter::CompositionMode> PenComposition(TPenMode mode)
{
    switch (mode) {
    case pmBlack:
        return QPainter::RasterOp_ClearDestination;
    case pmWhite:
        return QPainter::RasterOp_SetDestination;
    case pmNop:
        return std::nullopt;
    case pmNot:
        return QPainter::RasterOp_NotDestination;
    case pmCopy:
        return QPainter::CompositionMode_SourceOver;
    case pmNotCopy:
        return QPainter::RasterOp_NotSource;
    case pmMergePenNot:
        return QPainter::RasterOp_SourceOrNotDestination;
    case pmMaskPenNot:
        return QPainter::RasterOp_SourceAndNotDestination;
    case pmMergeNotPen:
        return QPainter::RasterOp_NotSourceOrDestination;
    case pmMaskNotPen:
        return QPainter::RasterOp_NotSourceAndDestination;
    case pmMerge:
        return QPainter::RasterOp_SourceOrDestination;
    case pmNotMerge:
        return QPainter::RasterOp_NotSourceAndNotDestination;
    case pmMask:
        return QPainter::RasterOp_SourceAndDestination;
    case pmNotMask:
        return QPainter::RasterOp_NotSourceOrNotDestination;
    case pmXor:
        return QPainter::RasterOp_SourceXorDestination;
    case pmNotXor:
        return QPainter::RasterOp_NotSourceXorDestination;
    }
    return QPainter::CompositionMode_SourceOver;
}

std::optional<QPainter::CompositionMode> CopyComposition(int rop)
{
    switch (rop) {
    case cmSrcCopy:
        return QPainter::CompositionMode_Source;
    case cmSrcPaint:
        return QPainter::RasterOp_SourceOrDestination;
    case cmSrcAnd:
        return QPainter::RasterOp_SourceAndDestination;
    case cmSrcInvert:
        return QPainter::RasterOp_SourceXorDestination;
    case cmSrcErase:
        return QPainter::RasterOp_SourceAndNotDestination;
    case cmNotSrcCopy:
        return QPainter::RasterOp_NotSource;
    case cmNotSrcErase:
        return QPainter::RasterOp_NotSourceAndNotDestination;
    case cmMergePaint:
        return QPainter::RasterOp_NotSourceOrDestination;
    default:
        return std::nullopt;
    }
}

QPen MakePen(const TPen* pen)
{
    if (pen->Style() == psClear || pen->Color() == clNone)
        return QPen(Qt::NoPen);
    QPen result(ColorToQColor(pen->Color()));
    const int width = std::max(pen->Width(), 1);
    result.setWidth(width);
    // Thin pens leave out their end point as the platform's lines do; wide pens are round.
    result.setCapStyle(width <= 1 ? Qt::FlatCap : Qt::RoundCap);
    result.setJoinStyle(width <= 1 ? Qt::MiterJoin : Qt::RoundJoin);
    if (width <= 1) {
        switch (pen->Style()) {
        case psDash:
            result.setStyle(Qt::DashLine);
            break;
        case psDot:
            result.setStyle(Qt::DotLine);
            break;
        case psDashDot:
            result.setStyle(Qt::DashDotLine);
            break;
        case psDashDotDot:
            result.setStyle(Qt::DashDotDotLine);
            break;
        default:
            break;
        }
    }
    return result;
}

QBrush MakeBrush(const TBrush* brush)
{
    if (brush->Style() == bsClear || brush->Color() == clNone)
        return QBrush(Qt::NoBrush);
    const QColor color = ColorToQColor(brush->Color());
    switch (brush->Style()) {
    case bsHorizontal:
        return QBrush(color, Qt::HorPattern);
    case bsVertical:
        return QBrush(color, Qt::VerPattern);
    case bsFDiagonal:
        return QBrush(color, Qt::FDiagPattern);
    case bsBDiagonal:
        return QBrush(color, Qt::BDiagPattern);
    case bsCross:
        return QBrush(color, Qt::CrossPattern);
    case bsDiagCross:
        return QBrush(color, Qt::DiagCrossPattern);
    default:
        return QBrush(color);
    }
}

QRect NormalRect(int left, int top, int right, int bottom)
{
    if (right < left)
        std::swap(left, right);
    if (bottom < top)
        std::swap(top, bottom);
    return QRect(left, top, right - left, bottom - top);
}

// Whether the pen draws one-pixel solid lines, which the canvas rasterises
// itself: Qt leaves out the right or bottom end of a line whatever its
// direction, where the platform always leaves out the end point.
bool ThinSolidPen(const TPen* pen)
{
    return (pen->Style() == psSolid || pen->Style() == psInsideFrame) && pen->Width() <= 1
        && pen->Color() != clNone;
}

// The pixels of the line from (x0, y0) towards (x1, y1), the end left out.
void RasterLine(std::vector<QPoint>& pixels, int x0, int y0, int x1, int y1)
{
    const int dx = std::abs(x1 - x0);
    const int dy = std::abs(y1 - y0);
    const int sx = x0 < x1 ? 1 : -1;
    const int sy = y0 < y1 ? 1 : -1;
    int err = dx - dy;
    while (x0 != x1 || y0 != y1) {
        pixels.emplace_back(x0, y0);
        const int e2 = 2 * err;
        if (e2 > -dy) {
            err -= dy;
            x0 += sx;
        }
        if (e2 < dx) {
            err += dx;
            y0 += sy;
        }
    }
}

// The pixels of the line from (x0, y0) towards (x1, y1), the end left out,
// as one rectangle when the line runs straight across or down (the sides
// of every bevel); false for any other line.
bool StraightLine(int x0, int y0, int x1, int y1, QRect& rect)
{
    if (x0 == x1 && y0 != y1)
        rect = y0 < y1 ? QRect(x0, y0, 1, y1 - y0) : QRect(x0, y1 + 1, 1, y0 - y1);
    else if (y0 == y1 && x0 != x1)
        rect = x0 < x1 ? QRect(x0, y0, x1 - x0, 1) : QRect(x1 + 1, y0, x0 - x1, 1);
    else
        return false;
    return true;
}

// Sets Pixels in Color, a rectangle at a time: horizontal runs, and runs of
// the same place and length in consecutive rows as one (a vertical line or a
// bevel's side is one fill, not one per pixel). The pixels are set once
// each, so that a combining pen mode applies once.
void FillPixels(QPainter* painter, std::vector<QPoint>& pixels, const QColor& color)
{
    std::sort(pixels.begin(), pixels.end(),
        [](const QPoint& a, const QPoint& b) { return a.y() != b.y() ? a.y() < b.y() : a.x() < b.x(); });
    pixels.erase(std::unique(pixels.begin(), pixels.end()), pixels.end());
    // The rectangles that reach the previous row, in the order of their left
    // edges, and those that reach the current one.
    std::vector<QRect> open, next;
    const auto flush = [&](const QRect& rect) { painter->fillRect(rect, color); };
    std::size_t i = 0;
    while (i < pixels.size()) {
        const int y = pixels[i].y();
        if (!open.empty() && open.front().bottom() != y - 1) {
            std::for_each(open.begin(), open.end(), flush);
            open.clear();
        }
        next.clear();
        std::size_t k = 0;
        while (i < pixels.size() && pixels[i].y() == y) {
            std::size_t j = i + 1;
            while (j < pixels.size() && pixels[j].y() == y && pixels[j].x() == pixels[j - 1].x() + 1)
                ++j;
            const int x = pixels[i].x();
            const int width = static_cast<int>(j - i);
            while (k < open.size() && open[k].left() < x)
                flush(open[k++]);
            if (k < open.size() && open[k].left() == x && open[k].width() == width) {
                next.push_back(open[k++]);
                next.back().setBottom(y);
            } else {
                next.emplace_back(x, y, width, 1);
            }
            i = j;
        }
        std::for_each(open.begin() + static_cast<std::ptrdiff_t>(k), open.end(), flush);
        open.swap(next);
    }
    std::for_each(open.begin(), open.end(), flush);
}

QPolygon ToPolygon(std::span<const TPoint> points)
{
    QPolygon polygon;
    polygon.reserve(static_cast<qsizetype>(points.size()));
    for (const TPoint& p : points)
        polygon.append(QPoint(p.X, p.Y));
    return polygon;
}

// One line of text as DrawText shows it: the characters without prefix
// marks, and the position of the underlined one.
struct TextLine {
    QString Text;
    int Underline = -1;
};

TextLine StripPrefix(const QString& text, bool prefix)
{
    TextLine line;
    if (!prefix) {
        line.Text = text;
        return line;
    }
    line.Text.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&') && i + 1 < text.size()) {
            ++i;
            if (text[i] != QLatin1Char('&'))
                line.Underline = static_cast<int>(line.Text.size());
        } else if (text[i] == QLatin1Char('&')) {
            continue;
        }
        line.Text.append(text[i]);
    }
    return line;
}

// Widths of text whose tabs jump to multiples of the tab width.
class TextMeasure {
public:
    TextMeasure(const QFontMetrics& metrics, bool expandTabs)
        : FMetrics(metrics)
        , FExpandTabs(expandTabs)
    {
    }

    int Width(const QString& text) const { return XAt(text, text.size()); }

    // Horizontal position of character Index of Text.
    int XAt(const QString& text, qsizetype index) const
    {
        if (!FExpandTabs)
            return FMetrics.horizontalAdvance(text.left(index));
        int x = 0;
        qsizetype start = 0;
        for (qsizetype i = 0; i < index; ++i) {
            if (text[i] == QLatin1Char('\t')) {
                x += FMetrics.horizontalAdvance(text.mid(start, i - start));
                x = (x / TabWidth() + 1) * TabWidth();
                start = i + 1;
            }
        }
        return x + FMetrics.horizontalAdvance(text.mid(start, index - start));
    }

    bool ExpandsTabs() const { return FExpandTabs; }

private:
    // Asked of the font only for a text that has a tab: most have none, and
    // the average width costs a measurement of its own.
    int TabWidth() const
    {
        if (FTab == 0)
            FTab = std::max(1, FMetrics.averageCharWidth() * 8);
        return FTab;
    }

    const QFontMetrics& FMetrics;
    bool FExpandTabs;
    mutable int FTab = 0;
};

std::vector<QString> WrapParagraph(const QString& paragraph, const TextMeasure& measure, int width)
{
    std::vector<QString> lines;
    QString current;
    qsizetype i = 0;
    while (i < paragraph.size()) {
        // A word with the spaces in front of it.
        qsizetype end = i;
        while (end < paragraph.size() && paragraph[end] == QLatin1Char(' '))
            ++end;
        while (end < paragraph.size() && paragraph[end] != QLatin1Char(' '))
            ++end;
        const QString piece = paragraph.mid(i, end - i);
        const QString candidate = current + piece;
        if (!current.isEmpty() && measure.Width(candidate) > width && !piece.trimmed().isEmpty()) {
            lines.push_back(current);
            QString word = piece;
            while (word.startsWith(QLatin1Char(' ')))
                word.remove(0, 1);
            current = word;
        } else {
            current = candidate;
        }
        i = end;
    }
    lines.push_back(current);
    return lines;
}

} // namespace

TCanvas::TCanvas()
    : FFont(new TFont(this))
    , FPen(new TPen(this))
    , FBrush(new TBrush(this))
{
    FFont->SetOnChange([this](TObject*) {
        FFontValid = false;
        FMetrics.reset();
    });
}

TCanvas::~TCanvas() = default;

void TCanvas::SetFont(TFont* value)
{
    FFont->Assign(value);
}

void TCanvas::SetPen(TPen* value)
{
    FPen->Assign(value);
}

void TCanvas::SetBrush(TBrush* value)
{
    FBrush->Assign(value);
}

QPainter* TCanvas::Handle()
{
    if (!FPainter)
        CreateHandle();
    return FPainter;
}

void TCanvas::SetHandle(QPainter* painter)
{
    FPainter = painter;
    if (FPainter) {
        FPainter->setRenderHint(QPainter::Antialiasing, false);
        FPainter->setRenderHint(QPainter::SmoothPixmapTransform, false);
    }
}

void TCanvas::CreateHandle()
{
}

void TCanvas::Lock()
{
    FLock.lock();
    ++FLockCount;
}

bool TCanvas::TryLock()
{
    if (!FLock.tryLock())
        return false;
    ++FLockCount;
    return true;
}

void TCanvas::Unlock()
{
    --FLockCount;
    FLock.unlock();
}

void TCanvas::Changing()
{
    if (FOnChanging)
        FOnChanging(this);
}

void TCanvas::Changed()
{
    if (FOnChange)
        FOnChange(this);
}

QFont TCanvas::CurrentFont()
{
    if (!FFontValid) {
        FQFont = FFont->Handle();
        FFontValid = true;
    }
    return FQFont;
}

const QFontMetrics& TCanvas::Metrics()
{
    if (!FMetrics)
        FMetrics.emplace(CurrentFont());
    return *FMetrics;
}

QPainter* TCanvas::Prepare(bool pen, bool brush)
{
    QPainter* painter = Handle();
    if (!painter || !painter->isActive())
        return nullptr;
    Changing();
    painter->setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter->setPen(pen ? MakePen(FPen) : QPen(Qt::NoPen));
    painter->setBrush(brush ? MakeBrush(FBrush) : QBrush(Qt::NoBrush));
    return painter;
}

TRect TCanvas::ClipRect()
{
    QPainter* painter = Handle();
    if (!painter || !painter->isActive())
        return TRect {};
    if (painter->hasClipping())
        return ToTRect(painter->clipBoundingRect().toAlignedRect());
    const QPaintDevice* device = painter->device();
    return Rect(0, 0, device->width(), device->height());
}

QImage* TCanvas::ReadableImage(QPoint& offset, int& scale)
{
    if (!FPainter || !FPainter->isActive())
        return nullptr;
    QPaintEngine* engine = FPainter->paintEngine();
    QPaintDevice* device = engine ? engine->paintDevice() : nullptr;
    if (!device || device->devType() != QInternal::Image)
        return nullptr;
    // A window on a screen of a whole device pixel ratio paints into an
    // image of that many pixels per unit: read it at the same place.
    const QTransform transform = FPainter->deviceTransform();
    if (transform.type() > QTransform::TxScale)
        return nullptr;
    const int ratio = qRound(transform.m11());
    if (ratio < 1 || !qFuzzyCompare(transform.m11(), qreal(ratio))
        || !qFuzzyCompare(transform.m22(), qreal(ratio)))
        return nullptr;
    scale = ratio;
    offset = QPoint(qRound(transform.dx()), qRound(transform.dy()));
    return static_cast<QImage*>(device);
}

void TCanvas::MoveTo(int x, int y)
{
    FPenPos = { x, y };
}

void TCanvas::LineTo(int x, int y)
{
    if (QPainter* painter = Prepare(true, false)) {
        if (const auto mode = PenComposition(FPen->Mode())) {
            painter->setCompositionMode(*mode);
            QRect straight;
            if (ThinSolidPen(FPen) && StraightLine(FPenPos.X, FPenPos.Y, x, y, straight)) {
                painter->fillRect(straight, ColorToQColor(FPen->Color()));
            } else if (ThinSolidPen(FPen)) {
                std::vector<QPoint> pixels;
                RasterLine(pixels, FPenPos.X, FPenPos.Y, x, y);
                FillPixels(painter, pixels, ColorToQColor(FPen->Color()));
            } else {
                painter->drawLine(QPoint(FPenPos.X, FPenPos.Y), QPoint(x, y));
            }
        }
        FPenPos = { x, y };
        Changed();
        return;
    }
    FPenPos = { x, y };
}

void TCanvas::FillWithBrush(QPainter* painter, const QRect& rect)
{
    const QBrush brush = MakeBrush(FBrush);
    if (brush.style() != Qt::NoBrush)
        painter->fillRect(rect, brush);
}

void TCanvas::FillRect(const TRect& rect)
{
    if (IsRectEmpty(rect))
        return;
    if (QPainter* painter = Prepare(false, false)) {
        FillWithBrush(painter, ToQRect(rect));
        Changed();
    }
}

void TCanvas::FrameRect(const TRect& rect)
{
    if (IsRectEmpty(rect))
        return;
    if (QPainter* painter = Prepare(false, false)) {
        const QRect r = ToQRect(rect);
        FillWithBrush(painter, QRect(r.left(), r.top(), r.width(), 1));
        FillWithBrush(painter, QRect(r.left(), r.bottom(), r.width(), 1));
        FillWithBrush(painter, QRect(r.left(), r.top(), 1, r.height()));
        FillWithBrush(painter, QRect(r.right(), r.top(), 1, r.height()));
        Changed();
    }
}

void TCanvas::Rectangle(int left, int top, int right, int bottom)
{
    QPainter* painter = Prepare(true, true);
    if (!painter)
        return;
    const QRect r = NormalRect(left, top, right, bottom);
    if (const auto mode = PenComposition(FPen->Mode())) {
        painter->setCompositionMode(*mode);
        // The platform's rectangle ends one pixel before its right and bottom edges.
        if (r.width() > 0 && r.height() > 0)
            painter->drawRect(QRect(r.left(), r.top(), r.width() - 1, r.height() - 1));
    }
    Changed();
}

void TCanvas::Rectangle(const TRect& rect)
{
    Rectangle(rect.Left, rect.Top, rect.Right, rect.Bottom);
}

void TCanvas::Ellipse(int left, int top, int right, int bottom)
{
    QPainter* painter = Prepare(true, true);
    if (!painter)
        return;
    const QRect r = NormalRect(left, top, right, bottom);
    if (const auto mode = PenComposition(FPen->Mode())) {
        painter->setCompositionMode(*mode);
        if (r.width() > 0 && r.height() > 0)
            painter->drawEllipse(QRect(r.left(), r.top(), r.width() - 1, r.height() - 1));
    }
    Changed();
}

void TCanvas::Ellipse(const TRect& rect)
{
    Ellipse(rect.Left, rect.Top, rect.Right, rect.Bottom);
}

void TCanvas::Polygon(std::span<const TPoint> points)
{
    if (points.size() < 2)
        return;
    QPainter* painter = Prepare(true, true);
    if (!painter)
        return;
    if (const auto mode = PenComposition(FPen->Mode())) {
        painter->setCompositionMode(*mode);
        painter->drawPolygon(ToPolygon(points), Qt::OddEvenFill);
    }
    Changed();
}

void TCanvas::Polygon(std::initializer_list<TPoint> points)
{
    Polygon(std::span<const TPoint>(points.begin(), points.size()));
}

void TCanvas::Polyline(std::span<const TPoint> points)
{
    if (points.size() < 2)
        return;
    QPainter* painter = Prepare(true, false);
    if (!painter)
        return;
    if (const auto mode = PenComposition(FPen->Mode())) {
        painter->setCompositionMode(*mode);
        QRect straight;
        if (ThinSolidPen(FPen) && points.size() == 2
            && StraightLine(points[0].X, points[0].Y, points[1].X, points[1].Y, straight)) {
            painter->fillRect(straight, ColorToQColor(FPen->Color()));
        } else if (ThinSolidPen(FPen)) {
            // Each segment leaves out its end, where the next one starts; the last end stays out.
            std::vector<QPoint> pixels;
            for (std::size_t i = 1; i < points.size(); ++i)
                RasterLine(pixels, points[i - 1].X, points[i - 1].Y, points[i].X, points[i].Y);
            FillPixels(painter, pixels, ColorToQColor(FPen->Color()));
        } else {
            painter->drawPolyline(ToPolygon(points));
        }
    }
    Changed();
}

void TCanvas::Polyline(std::initializer_list<TPoint> points)
{
    Polyline(std::span<const TPoint>(points.begin(), points.size()));
}

TColor TCanvas::Pixels(int x, int y)
{
    Handle();
    QPoint offset;
    int scale = 1;
    const QImage* image = ReadableImage(offset, scale);
    const QPoint p(x * scale + offset.x(), y * scale + offset.y());
    if (!image || !image->rect().contains(p))
        return TColor(-1);
    return QColorToColor(QColor::fromRgb(image->pixel(p)));
}

void TCanvas::SetPixels(int x, int y, TColor color)
{
    if (QPainter* painter = Prepare(false, false)) {
        painter->setCompositionMode(QPainter::CompositionMode_Source);
        painter->fillRect(QRect(x, y, 1, 1), ColorToQColor(color));
        Changed();
    }
}

int TCanvas::TextWidth(const QString& text)
{
    return Metrics().horizontalAdvance(text);
}

int TCanvas::TextHeight(const QString&)
{
    return Metrics().height();
}

TSize TCanvas::TextExtent(const QString& text)
{
    return { TextWidth(text), TextHeight(text) };
}

void TCanvas::TextOut(int x, int y, const QString& text)
{
    const int width = TextWidth(text);
    if (QPainter* painter = Prepare(false, false)) {
        const QFontMetrics& metrics = Metrics();
        const int orientation = FFont->Orientation();
        if (orientation != 0) {
            // Turned about the starting point, counter-clockwise on the screen.
            painter->save();
            painter->translate(x, y);
            painter->rotate(-orientation / 10.0);
            FillWithBrush(painter, QRect(0, 0, width, metrics.height()));
            painter->setFont(CurrentFont());
            painter->setPen(ColorToQColor(FFont->Color()));
            painter->drawText(QPoint(0, metrics.ascent()), text);
            painter->restore();
        } else {
            FillWithBrush(painter, QRect(x, y, width, metrics.height()));
            painter->setFont(CurrentFont());
            painter->setPen(ColorToQColor(FFont->Color()));
            painter->drawText(QPoint(x, y + metrics.ascent()), text);
        }
        Changed();
    }
    FPenPos = { x + width, y };
}

void TCanvas::TextRect(const TRect& rect, int x, int y, const QString& text)
{
    QPainter* painter = Prepare(false, false);
    if (!painter)
        return;
    painter->save();
    painter->setClipRect(ToQRect(rect), Qt::IntersectClip);
    if (!IsRectEmpty(rect))
        FillWithBrush(painter, ToQRect(rect));
    painter->setFont(CurrentFont());
    painter->setPen(ColorToQColor(FFont->Color()));
    painter->drawText(QPoint(x, y + Metrics().ascent()), text);
    painter->restore();
    Changed();
}

int TCanvas::DrawText(const QString& text, TRect& rect, unsigned flags)
{
    const QFontMetrics& metrics = Metrics();
    const TextMeasure measure(metrics, flags & DT_EXPANDTABS);
    const bool single = flags & DT_SINGLELINE;
    const bool prefix = !(flags & DT_NOPREFIX);
    const int lineHeight = metrics.height() + ((flags & DT_EXTERNALLEADING) ? metrics.leading() : 0);

    // Lines as shown: paragraphs, then word breaks.
    std::vector<TextLine> lines;
    if (single) {
        QString flat = text;
        flat.remove(QLatin1Char('\r'));
        flat.remove(QLatin1Char('\n'));
        lines.push_back(StripPrefix(flat, prefix));
    } else {
        QString normal = text;
        normal.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        normal.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        for (const QString& paragraph : normal.split(QLatin1Char('\n'))) {
            if (flags & DT_WORDBREAK) {
                // Prefix marks come out before wrapping so that they do not count as width.
                const TextLine stripped = StripPrefix(paragraph, prefix);
                int consumed = 0;
                for (const QString& piece : WrapParagraph(stripped.Text, measure, rect.Width())) {
                    TextLine line { piece, -1 };
                    const int start = static_cast<int>(stripped.Text.indexOf(piece, consumed));
                    if (stripped.Underline >= 0 && start >= 0 && stripped.Underline >= start
                        && stripped.Underline < start + piece.size())
                        line.Underline = stripped.Underline - start;
                    if (start >= 0)
                        consumed = start + static_cast<int>(piece.size());
                    lines.push_back(line);
                }
            } else {
                lines.push_back(StripPrefix(paragraph, prefix));
            }
        }
    }
    if ((flags & DT_END_ELLIPSIS) && lines.size() == 1 && measure.Width(lines[0].Text) > rect.Width()
        && !measure.ExpandsTabs())
        lines[0].Text = metrics.elidedText(lines[0].Text, Qt::ElideRight, rect.Width());

    // Each line is measured once: shaping is the dear part of a caption.
    std::vector<int> widths;
    widths.reserve(lines.size());
    int widest = 0;
    for (const TextLine& line : lines) {
        widths.push_back(measure.Width(line.Text));
        widest = std::max(widest, widths.back());
    }
    const int totalHeight = lineHeight * static_cast<int>(lines.size());

    if (flags & DT_CALCRECT) {
        rect.Right = rect.Left + widest;
        rect.Bottom = rect.Top + totalHeight;
        return totalHeight;
    }

    int top = rect.Top;
    if (single && (flags & DT_VCENTER))
        top = (rect.Top + rect.Bottom - lineHeight) / 2;
    else if (single && (flags & DT_BOTTOM))
        top = rect.Bottom - lineHeight;
    const int result
        = (single && (flags & (DT_VCENTER | DT_BOTTOM))) ? top - rect.Top + lineHeight : totalHeight;

    QPainter* painter = Prepare(false, false);
    if (!painter)
        return result;
    painter->save();
    if (!(flags & DT_NOCLIP))
        painter->setClipRect(ToQRect(rect), Qt::IntersectClip);
    painter->setFont(CurrentFont());
    const QColor textColor = ColorToQColor(FFont->Color());
    int y = top;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const TextLine& line = lines[n];
        const int width = widths[n];
        int x = rect.Left;
        if (flags & DT_CENTER)
            x = (rect.Left + rect.Right - width) / 2;
        else if (flags & DT_RIGHT)
            x = rect.Right - width;
        FillWithBrush(painter, QRect(x, y, width, lineHeight));
        painter->setPen(textColor);
        const int baseline = y + metrics.ascent();
        if (measure.ExpandsTabs()) {
            qsizetype start = 0;
            for (qsizetype i = 0; i <= line.Text.size(); ++i) {
                if (i == line.Text.size() || line.Text[i] == QLatin1Char('\t')) {
                    painter->drawText(
                        QPoint(x + measure.XAt(line.Text, start), baseline), line.Text.mid(start, i - start));
                    start = i + 1;
                }
            }
        } else {
            painter->drawText(QPoint(x, baseline), line.Text);
        }
        if (line.Underline >= 0 && line.Underline < line.Text.size()) {
            const int ux = x + measure.XAt(line.Text, line.Underline);
            const int uw = metrics.horizontalAdvance(line.Text.at(line.Underline));
            painter->fillRect(QRect(ux, baseline + 1, std::max(uw, 1), 1), textColor);
        }
        y += lineHeight;
    }
    painter->restore();
    Changed();
    return result;
}

QImage TCanvas::GrabImage(const TRect& src)
{
    Handle();
    QPoint offset;
    int scale = 1;
    const QImage* image = ReadableImage(offset, scale);
    if (!image || IsRectEmpty(src))
        return QImage();
    const QRect area = ToQRect(src);
    QImage copy = image->copy(QRect(area.topLeft() * scale + offset, area.size() * scale))
                      .convertToFormat(QImage::Format_RGB32);
    copy.setDevicePixelRatio(1);
    // One pixel of each unit square: the colours stay the surface's own, as
    // a copy at a ratio of 1 gives them.
    return scale == 1 ? copy : copy.scaled(area.size(), Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

void TCanvas::DrawImage(const TRect& dest, const QImage& image, int rop)
{
    if (IsRectEmpty(dest))
        return;
    QPainter* painter = Prepare(false, false);
    if (!painter)
        return;
    const QRect target = ToQRect(dest);
    auto scaled = [&](const QImage& source) {
        QImage result = source.size() == target.size()
            ? source
            : source.scaled(target.size(), Qt::IgnoreAspectRatio, Qt::FastTransformation);
        return result;
    };

    switch (rop) {
    case cmBlackness:
        painter->setCompositionMode(QPainter::CompositionMode_Source);
        painter->fillRect(target, QColor(0, 0, 0));
        break;
    case cmWhiteness:
        painter->setCompositionMode(QPainter::CompositionMode_Source);
        painter->fillRect(target, QColor(255, 255, 255));
        break;
    case cmDstInvert:
        painter->setCompositionMode(QPainter::RasterOp_NotDestination);
        painter->fillRect(target, QColor(0, 0, 0));
        break;
    case cmPatCopy:
        painter->setCompositionMode(QPainter::CompositionMode_Source);
        FillWithBrush(painter, target);
        break;
    case cmPatInvert:
        painter->setCompositionMode(QPainter::RasterOp_SourceXorDestination);
        painter->fillRect(target, ColorToQColor(FBrush->Color()));
        break;
    default: {
        if (image.isNull())
            break;
        const auto mode = CopyComposition(rop);
        if (rop == cmSrcCopy && image.hasAlphaChannel()) {
            painter->setCompositionMode(QPainter::CompositionMode_SourceOver);
            painter->drawImage(target.topLeft(), scaled(image));
        } else if (mode) {
            painter->setCompositionMode(*mode);
            painter->drawImage(target.topLeft(), scaled(image.convertToFormat(QImage::Format_RGB32)));
        } else {
            // Any other ternary operation, pixel by pixel: bit i of the code's third
            // byte is the result for pattern, source and destination bits (P S D) = i.
            QImage source = scaled(image.convertToFormat(QImage::Format_RGB32));
            QPoint offset;
            int scale = 1;
            const QImage* destination = ReadableImage(offset, scale);
            const unsigned code = (static_cast<unsigned>(rop) >> 16) & 0xFF;
            const QRgb pattern = ColorToQColor(FBrush->Color()).rgb();
            QImage result(source.size(), QImage::Format_RGB32);
            for (int y = 0; y < source.height(); ++y) {
                for (int x = 0; x < source.width(); ++x) {
                    const QPoint dp(
                        (target.left() + x) * scale + offset.x(), (target.top() + y) * scale + offset.y());
                    const QRgb d
                        = destination && destination->rect().contains(dp) ? destination->pixel(dp) : 0;
                    const QRgb s = source.pixel(x, y);
                    QRgb r = 0;
                    for (int bit = 0; bit < 24; ++bit) {
                        const unsigned index
                            = (((pattern >> bit) & 1) << 2) | (((s >> bit) & 1) << 1) | ((d >> bit) & 1);
                        r |= static_cast<QRgb>((code >> index) & 1) << bit;
                    }
                    result.setPixel(x, y, 0xFF000000u | r);
                }
            }
            painter->setCompositionMode(QPainter::CompositionMode_Source);
            painter->drawImage(target.topLeft(), result);
        }
        break;
    }
    }
    Changed();
}

void TCanvas::CopyRect(const TRect& dest, TCanvas* source, const TRect& src)
{
    if (!source)
        return;
    const QImage image = source->GrabImage(src);
    if (image.isNull() && CopyComposition(FCopyMode))
        return;
    DrawImage(dest, image, FCopyMode);
}

void TCanvas::BrushCopy(const TRect& dest, TBitmap* bitmap, const TRect& source, TColor color)
{
    if (!bitmap || bitmap->Empty())
        return;
    QImage image = bitmap->Image().copy(ToQRect(source)).convertToFormat(QImage::Format_RGB32);
    const QRgb key = ColorToQColor(color).rgb() | 0xFF000000u;
    const QRgb fill = ColorToQColor(FBrush->Color()).rgb() | 0xFF000000u;
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if ((line[x] | 0xFF000000u) == key)
                line[x] = fill;
    }
    DrawImage(dest, image, cmSrcCopy);
}

void TCanvas::Draw(int x, int y, TGraphic* graphic)
{
    if (!graphic || graphic->Empty())
        return;
    StretchDraw(Bounds(x, y, graphic->Width(), graphic->Height()), graphic);
}

void TCanvas::StretchDraw(const TRect& rect, TGraphic* graphic)
{
    if (!graphic || graphic->Empty())
        return;
    graphic->Draw(this, rect);
}

int DrawText(TCanvas* canvas, const QString& text, TRect& rect, unsigned flags)
{
    return canvas ? canvas->DrawText(text, rect, flags) : 0;
}

void BitBlt(TCanvas* dest, int x, int y, int width, int height, TCanvas* source, int srcX, int srcY, int rop)
{
    if (!dest)
        return;
    const TRect target = Bounds(x, y, width, height);
    const QImage image = source ? source->GrabImage(Bounds(srcX, srcY, width, height)) : QImage();
    dest->DrawImage(target, image, rop);
}
