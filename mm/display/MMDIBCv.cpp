#include "mm/display/MMDIBCv.h"

#include "platform/kernel/SyncObjs.h"

#include <QHash>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace {

const char* const kNoContext = "Unable to access DIB device context";
const char* const kBitLength = "Bitlength not supported yet";
const char* const kWhileDrawing = "Attempt to create new DIB while initialized for drawing";
const char* const kAnimatedCount = "Invalid count of animated colors";
const char* const kAnimatedIndex = "Invalidate animated color index";
const char* const kGetEntries = "Get palette entries failed";
const char* const kSetEntries = "Set palette entries failed";

// The standard static colours (red, green, blue) of a true-colour display.
constexpr std::uint8_t kLowStatic[10][3]
    = { { 0, 0, 0 }, { 128, 0, 0 }, { 0, 128, 0 }, { 128, 128, 0 }, { 0, 0, 128 }, { 128, 0, 128 },
          { 0, 128, 128 }, { 192, 192, 192 }, { 192, 220, 192 }, { 166, 202, 240 } };
constexpr std::uint8_t kHighStatic[10][3]
    = { { 255, 251, 240 }, { 160, 160, 164 }, { 128, 128, 128 }, { 255, 0, 0 }, { 0, 255, 0 },
          { 255, 255, 0 }, { 0, 0, 255 }, { 255, 0, 255 }, { 0, 255, 255 }, { 255, 255, 255 } };

constexpr int kMaxAnimated = 236;
// Above this radius an ellipse is not walked (see DIBFillEllipse).
constexpr int kLargestWalkedRadius = 1 << 20;
// The platform canvas's 32-bit working copy of the DIB stays within what a
// byte offset of an int reaches.
constexpr std::int64_t kLargestWorkBytes = INT32_MAX;

// The drawing state every primitive works on: one for the process, owned by
// the thread inside BeginDraw .. EndDraw (DrawLock held).
struct TDrawState {
    int BitsPerPixel = 0;
    int BytesPerPixel = 0;
    int Width = 0;
    int Height = 0;
    int Stride = 0;
    int RowStep = 0;
    std::uint8_t* Bits = nullptr;
    TRect Clip;
    std::uint32_t Value = 0;
    TPoint Pen;
};

TDrawState gDraw;

TCriticalSection& DrawLock()
{
    static TCriticalSection lock;
    return lock;
}

std::uint32_t Rgb(const TPaletteEntry& e)
{
    return std::uint32_t(e.peRed) | std::uint32_t(e.peGreen) << 8 | std::uint32_t(e.peBlue) << 16;
}

TPaletteEntry Entry(std::uint32_t rgb, std::uint8_t flags)
{
    return { std::uint8_t(rgb & 0xFF), std::uint8_t(rgb >> 8 & 0xFF), std::uint8_t(rgb >> 16 & 0xFF), flags };
}

inline std::uint8_t* Row(int y)
{
    return gDraw.Bits + std::ptrdiff_t(gDraw.Height - 1 - y) * gDraw.Stride;
}

inline bool Inside(int x, int y)
{
    return x >= gDraw.Clip.Left && x < gDraw.Clip.Right && y >= gDraw.Clip.Top && y < gDraw.Clip.Bottom;
}

enum class TOp { Set, Xor, XorInverse };

inline void Plot(int x, int y, std::uint32_t value, TOp op)
{
    std::uint8_t* p = Row(y) + std::ptrdiff_t(x) * gDraw.BytesPerPixel;
    if (op == TOp::XorInverse)
        value = ~value;
    if (gDraw.BytesPerPixel == 1) {
        if (op == TOp::Set)
            p[0] = std::uint8_t(value);
        else
            p[0] ^= std::uint8_t(value);
        return;
    }
    const std::uint8_t b = std::uint8_t(value >> 16), g = std::uint8_t(value >> 8), r = std::uint8_t(value);
    if (op == TOp::Set) {
        p[0] = b;
        p[1] = g;
        p[2] = r;
    } else {
        p[0] ^= b;
        p[1] ^= g;
        p[2] ^= r;
    }
}

// Span x1 .. x2 - 1 of row y (ends in either order), clipped.
void Span(int x1, int x2, int y, TOp op)
{
    if (!gDraw.Bits || y < gDraw.Clip.Top || y >= gDraw.Clip.Bottom)
        return;
    int from = std::max(std::min(x1, x2), gDraw.Clip.Left);
    int to = std::min(std::max(x1, x2), gDraw.Clip.Right);
    if (from >= to)
        return;
    if (op == TOp::Set && gDraw.BytesPerPixel == 1) {
        std::memset(Row(y) + from, int(gDraw.Value & 0xFF), std::size_t(to - from));
        return;
    }
    for (int x = from; x < to; ++x)
        Plot(x, y, gDraw.Value, op);
}

// Pixels of x1 .. x2 - 1 (or y) whose offset from the start passes Keep.
// The offset is 64-bit: a span may start anywhere in the int range.
template <typename TKeep> void PatternHSpan(int x1, int x2, int y, TKeep keep)
{
    if (!gDraw.Bits || y < gDraw.Clip.Top || y >= gDraw.Clip.Bottom)
        return;
    const int from = std::min(x1, x2), to = std::max(x1, x2);
    for (int x = std::max(from, gDraw.Clip.Left); x < std::min(to, gDraw.Clip.Right); ++x)
        if (keep(std::int64_t(x) - from))
            Plot(x, y, gDraw.Value, TOp::Set);
}

template <typename TKeep> void PatternVSpan(int x, int y1, int y2, TOp op, TKeep keep)
{
    if (!gDraw.Bits || x < gDraw.Clip.Left || x >= gDraw.Clip.Right)
        return;
    const int from = std::min(y1, y2), to = std::max(y1, y2);
    for (int y = std::max(from, gDraw.Clip.Top); y < std::min(to, gDraw.Clip.Bottom); ++y)
        if (keep(std::int64_t(y) - from))
            Plot(x, y, gDraw.Value, op);
}

bool Solid(std::int64_t)
{
    return true;
}

bool Dashed(std::int64_t offset)
{
    return offset % 8 < 4;
}

// Span x1 .. x2 - 1 of row y given in 64 bits (ellipses and arcs reach past
// the int range), clipped first.
void WideSpan(std::int64_t x1, std::int64_t x2, std::int64_t y, TOp op)
{
    if (y < gDraw.Clip.Top || y >= gDraw.Clip.Bottom)
        return;
    const std::int64_t from = std::clamp<std::int64_t>(std::min(x1, x2), gDraw.Clip.Left, gDraw.Clip.Right);
    const std::int64_t to = std::clamp<std::int64_t>(std::max(x1, x2), gDraw.Clip.Left, gDraw.Clip.Right);
    Span(int(from), int(to), int(y), op);
}

enum : int { kAbove = 1, kBelow = 2, kLeft = 4, kRight = 8 };

int OutCode(std::int64_t x, std::int64_t y)
{
    int code = 0;
    if (y < gDraw.Clip.Top)
        code |= kAbove;
    else if (y > gDraw.Clip.Bottom - 1)
        code |= kBelow;
    if (x < gDraw.Clip.Left)
        code |= kLeft;
    else if (x > gDraw.Clip.Right - 1)
        code |= kRight;
    return code;
}

// a + (b - a) * num / den rounded to nearest (halves away from zero). Ends
// a little beyond the int range (arcs) make the product pass 64 bits, so it
// is taken in 128.
std::int64_t Lerp(std::int64_t a, std::int64_t b, std::int64_t num, std::int64_t den)
{
    using TWide = __int128;
    TWide product = TWide(b - a) * num;
    TWide divisor = den;
    if (divisor < 0) {
        // The rounding below needs a positive divisor.
        product = -product;
        divisor = -divisor;
    }
    const TWide q = (2 * product + (product >= 0 ? divisor : -divisor)) / (2 * divisor);
    return a + std::int64_t(q);
}

// Ends may lie anywhere within +-2^40.
void Line(std::int64_t ax, std::int64_t ay, std::int64_t bx, std::int64_t by, TOp op)
{
    if (!gDraw.Bits)
        return;
    std::int64_t x1 = ax, y1 = ay, x2 = bx, y2 = by;
    int c1 = OutCode(x1, y1), c2 = OutCode(x2, y2);
    // Clipping by outcodes: move an outside end onto the edge it is beyond.
    // Exact arithmetic needs at most two moves per end; the rounding of a
    // line that passes a corner by less than a pixel could otherwise move
    // its ends back and forth for ever.
    for (int moves = 0; c1 | c2; ++moves) {
        if ((c1 & c2) || moves == 8)
            return;
        const int code = c1 ? c1 : c2;
        std::int64_t x, y;
        if (code & kAbove) {
            y = gDraw.Clip.Top;
            x = Lerp(x1, x2, y - y1, y2 - y1);
        } else if (code & kBelow) {
            y = gDraw.Clip.Bottom - 1;
            x = Lerp(x1, x2, y - y1, y2 - y1);
        } else if (code & kLeft) {
            x = gDraw.Clip.Left;
            y = Lerp(y1, y2, x - x1, x2 - x1);
        } else {
            x = gDraw.Clip.Right - 1;
            y = Lerp(y1, y2, x - x1, x2 - x1);
        }
        if (code == c1) {
            x1 = x;
            y1 = y;
            c1 = OutCode(x1, y1);
        } else {
            x2 = x;
            y2 = y;
            c2 = OutCode(x2, y2);
        }
    }
    if (y1 == y2) {
        Span(int(std::min(x1, x2)), int(std::max(x1, x2)) + 1, int(y1), op);
        return;
    }
    if (x1 == x2) {
        PatternVSpan(int(x1), int(std::min(y1, y2)), int(std::max(y1, y2)) + 1, op, [](int) { return true; });
        return;
    }
    // Midpoint stepping along the longer axis.
    std::int64_t dx = std::abs(x2 - x1), dy = std::abs(y2 - y1);
    const int sx = x2 > x1 ? 1 : -1, sy = y2 > y1 ? 1 : -1;
    std::int64_t x = x1, y = y1;
    if (dx >= dy) {
        std::int64_t err = 2 * dy - dx;
        for (std::int64_t i = 0; i <= dx; ++i) {
            Plot(int(x), int(y), gDraw.Value, op);
            if (err > 0) {
                y += sy;
                err -= 2 * dx;
            }
            err += 2 * dy;
            x += sx;
        }
    } else {
        std::int64_t err = 2 * dx - dy;
        for (std::int64_t i = 0; i <= dy; ++i) {
            Plot(int(x), int(y), gDraw.Value, op);
            if (err > 0) {
                x += sx;
                err -= 2 * dy;
            }
            err += 2 * dx;
            y += sy;
        }
    }
}

void FillRows(const TRect& rect, TOp op, int rowStep)
{
    // Only the rows inside the clip are walked (a rectangle may span the
    // whole int range); the first keeps the stripes counted from the top.
    const std::int64_t top = std::min(rect.Top, rect.Bottom);
    const std::int64_t bottom = std::min<std::int64_t>(std::max(rect.Top, rect.Bottom), gDraw.Clip.Bottom);
    std::int64_t y = top;
    if (y < gDraw.Clip.Top)
        y += (gDraw.Clip.Top - y + rowStep - 1) / rowStep * rowStep;
    for (; y < bottom; y += rowStep)
        Span(rect.Left, rect.Right, int(y), op);
}

const std::array<std::int16_t, 360>& SinTable()
{
    static const std::array<std::int16_t, 360> table = [] {
        std::array<std::int16_t, 360> t {};
        for (int d = 0; d < 360; ++d)
            t[d] = std::int16_t(std::lround(std::sin(d * 3.14159265358979323846 / 180) * 8192));
        return t;
    }();
    return table;
}

} // namespace

// ---------------------------------------------------------------------------
// TMMDIBCanvas

TMMDIBCanvas::TMMDIBCanvas()
    : FBackGroundBitmap(new TBitmap)
    , FClipRect(Rect(0, 0, 1, 1))
{
    FBackGroundBitmap->setParent(this);
    FBackGroundBitmap->SetOnChange([this](TObject*) { BackGroundChanged(); });
    HandleNeeded();
}

TMMDIBCanvas::~TMMDIBCanvas()
{
    FBackGroundBitmap->SetOnChange(nullptr);
    Release();
}

void TMMDIBCanvas::CheckNotDrawing() const
{
    if (!FNotDrawing)
        throw EMMDIBError(kWhileDrawing);
}

void TMMDIBCanvas::SetBitsPerPixel(int value)
{
    if (value != 8 && value != 24)
        throw EMMDIBError(kBitLength);
    if (value == FBitsPerPixel)
        return;
    CheckNotDrawing();
    FBitsPerPixel = value;
    Rebuild();
}

void TMMDIBCanvas::SetPaletteRealize(bool value)
{
    if (value == FPaletteRealize)
        return;
    CheckNotDrawing();
    FPaletteRealize = value;
    Rebuild();
}

void TMMDIBCanvas::SetBackGroundBitmap(TBitmap* value)
{
    CheckNotDrawing();
    FBackGroundBitmap->Assign(value);
}

void TMMDIBCanvas::BackGroundChanged()
{
    // A picture that changes inside a drawing bracket is built at the next
    // handle use after it.
    if (!FNotDrawing) {
        MarkRebuild();
        return;
    }
    Rebuild();
}

void TMMDIBCanvas::SetStretchBackGround(bool value)
{
    if (value == FStretchBackGround)
        return;
    if (!FBackGroundBitmap->Empty())
        CheckNotDrawing();
    FStretchBackGround = value;
    if (!FBackGroundBitmap->Empty())
        Rebuild();
}

void TMMDIBCanvas::SetSize(int width, int height)
{
    if (width == FWidth && height == FHeight)
        return;
    FWidth = width;
    FHeight = height;
    FClipRect = Rect(0, 0, width, height);
    MarkRebuild();
}

void TMMDIBCanvas::SetPalette(const TMaxLogPalette* palette)
{
    CheckNotDrawing();
    FCallerPalette.reset();
    if (palette && palette->palVersion >= 0x300 && palette->palNumEntries <= 256)
        FCallerPalette = std::make_unique<TMaxLogPalette>(*palette);
    Rebuild();
}

void TMMDIBCanvas::SetAnimatedCount(int value)
{
    if (value < 0 || value > kMaxAnimated)
        throw EMMDIBError(kAnimatedCount);
    if (value == FAnimatedCount)
        return;
    CheckNotDrawing();
    FAnimatedCount = value;
    Rebuild();
}

void TMMDIBCanvas::MarkRebuild()
{
    // The painter shows the old surface: it goes with the handle.
    SetHandle(nullptr);
    FPainter.reset();
    FNeedsRebuild = true;
}

void TMMDIBCanvas::CreateHandle()
{
    HandleNeeded();
}

void TMMDIBCanvas::HandleNeeded()
{
    if (!FHasContext) {
        FHasContext = true;
        FNeedsRebuild = true;
    }
    if (FNeedsRebuild || FBits.empty())
        Rebuild();
}

void TMMDIBCanvas::Rebuild()
{
    CheckNotDrawing();
    Release();
    Create();
}

void TMMDIBCanvas::Release()
{
    SetHandle(nullptr);
    FPainter.reset();
    FWork = QImage();
    FBackBits.clear();
    FBits.clear();
    FHasPalette = false;
}

void TMMDIBCanvas::Create()
{
    if (!FHasContext)
        return;
    FDIBBitsPerPixel = FBitsPerPixel > 8 ? 24 : 8;
    FDIBWidth = std::max(FWidth, 1);
    FDIBHeight = std::max(FHeight, 1);
    const std::int64_t stride = (std::int64_t(FDIBWidth) * (FDIBBitsPerPixel / 8) + 3) & ~std::int64_t(3);
    // A size the platform could not give a DIB is refused before anything
    // is allocated; an allocation that fails below that limit is refused
    // the same way, leaving no DIB (the next use tries again).
    if (stride * FDIBHeight > std::int64_t(INT32_MAX)
        || 4 * std::int64_t(FDIBWidth) * FDIBHeight > kLargestWorkBytes)
        throw EMMDIBError(kNoContext);
    FStride = int(stride);
    try {
        BuildPalette();
        if (!FBackGroundBitmap->Empty())
            BuildBackground();
        FBits.assign(std::size_t(FStride) * std::size_t(FDIBHeight), 0);
        FWork = QImage(FDIBWidth, FDIBHeight, QImage::Format_RGB32);
        if (FWork.isNull())
            throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
        Release();
        throw EMMDIBError(kNoContext);
    }
    FWork.fill(Qt::black);
    FPainter = std::make_unique<QPainter>(&FWork);
    SetHandle(FPainter.get());
    FNeedsRebuild = false;
}

void TMMDIBCanvas::BuildPalette()
{
    TMaxLogPalette& pal = FLogPalette;
    pal.palVersion = 0x300;
    pal.palNumEntries = 256;
    for (TPaletteEntry& e : pal.palPalEntry)
        e = TPaletteEntry {};
    for (int i = 0; i < 10; ++i) {
        pal.palPalEntry[i] = { kLowStatic[i][0], kLowStatic[i][1], kLowStatic[i][2], 0 };
        pal.palPalEntry[246 + i] = { kHighStatic[i][0], kHighStatic[i][1], kHighStatic[i][2], 0 };
    }
    if (!FBackGroundBitmap->Empty()) {
        const QList<QRgb> table = FBackGroundBitmap->Palette();
        for (int i = 10; i <= 244 && i < table.size(); ++i)
            pal.palPalEntry[i] = { std::uint8_t(qRed(table[i])), std::uint8_t(qGreen(table[i])),
                std::uint8_t(qBlue(table[i])), 0 };
    } else if (FCallerPalette) {
        for (int i = 10; i <= 246 && i < FCallerPalette->palNumEntries; ++i) {
            pal.palPalEntry[i] = FCallerPalette->palPalEntry[i];
            pal.palPalEntry[i].peFlags = PC_NOCOLLAPSE;
        }
    }

    FAnimatedColors.clear();
    FFirstAnimated = 256;
    if (FAnimatedCount > 0) {
        FFirstAnimated = 247 - FAnimatedCount;
        // Placeholders: the smallest values no other entry holds, so that no
        // colour drawn by value ever lands on an animated entry.
        std::vector<std::uint32_t> taken;
        for (int i = 0; i < 256; ++i)
            if (i < FFirstAnimated || i > 246)
                taken.push_back(Rgb(pal.palPalEntry[i]));
        std::sort(taken.begin(), taken.end());
        std::uint32_t candidate = 0;
        for (int i = FFirstAnimated; i <= 246; ++i) {
            while (std::binary_search(taken.begin(), taken.end(), candidate))
                ++candidate;
            pal.palPalEntry[i] = Entry(candidate, PC_RESERVED);
            FAnimatedColors.push_back(candidate);
            ++candidate;
        }
    }
    if (FAnimateLevel > 0) {
        // A batch open across a change of the count keeps what it noted for
        // the entries that remain and takes the new ones at their
        // placeholders: the list always has an entry per animated colour.
        const std::size_t kept = std::min(FBatch.size(), FAnimatedColors.size());
        FBatch.resize(FAnimatedColors.size());
        std::copy(FAnimatedColors.begin() + std::ptrdiff_t(kept), FAnimatedColors.end(),
            FBatch.begin() + std::ptrdiff_t(kept));
    }

    for (int i = 0; i < 256; ++i) {
        const TPaletteEntry& e = pal.palPalEntry[i];
        FColorTable[4 * i] = e.peBlue;
        FColorTable[4 * i + 1] = e.peGreen;
        FColorTable[4 * i + 2] = e.peRed;
        FColorTable[4 * i + 3] = (i >= 10 && i <= 245 && i < FFirstAnimated) ? 4 : 0;
    }
    FHasPalette = true;
}

int TMMDIBCanvas::NearestIndex(std::uint32_t rgb) const
{
    const int r = int(rgb & 0xFF), g = int(rgb >> 8 & 0xFF), b = int(rgb >> 16 & 0xFF);
    int best = 0;
    int bestDistance = INT32_MAX;
    for (int i = 0; i < 256; ++i) {
        if (i >= FFirstAnimated && i <= 246)
            continue;
        const TPaletteEntry& e = FLogPalette.palPalEntry[i];
        const int dr = e.peRed - r, dg = e.peGreen - g, db = e.peBlue - b;
        const int distance = dr * dr + dg * dg + db * db;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = i;
            if (distance == 0)
                break;
        }
    }
    return best;
}

void TMMDIBCanvas::BuildBackground()
{
    const QImage source = FBackGroundBitmap->Image().convertToFormat(QImage::Format_RGB32);
    QImage picture;
    if (FStretchBackGround) {
        // Plain deletion of rows and columns, no blending.
        picture = source.scaled(FDIBWidth, FDIBHeight, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    } else {
        picture = QImage(FDIBWidth, FDIBHeight, QImage::Format_RGB32);
        picture.fill(Qt::black);
        QPainter painter(&picture);
        for (int y = 0; y < FDIBHeight; y += source.height())
            for (int x = 0; x < FDIBWidth; x += source.width())
                painter.drawImage(x, y, source);
    }
    FBackBits.assign(std::size_t(FStride) * std::size_t(FDIBHeight), 0);
    QHash<QRgb, std::uint8_t> nearest;
    for (int y = 0; y < FDIBHeight; ++y) {
        const QRgb* in = reinterpret_cast<const QRgb*>(picture.constScanLine(y));
        std::uint8_t* out = FBackBits.data() + std::ptrdiff_t(FDIBHeight - 1 - y) * FStride;
        for (int x = 0; x < FDIBWidth; ++x) {
            const QRgb c = in[x] & 0xFFFFFF;
            if (FDIBBitsPerPixel == 8) {
                auto it = nearest.find(c);
                if (it == nearest.end())
                    it = nearest.insert(c,
                        std::uint8_t(NearestIndex(std::uint32_t(qRed(c)) | std::uint32_t(qGreen(c)) << 8
                            | std::uint32_t(qBlue(c)) << 16)));
                out[x] = *it;
            } else {
                out[3 * x] = std::uint8_t(qBlue(c));
                out[3 * x + 1] = std::uint8_t(qGreen(c));
                out[3 * x + 2] = std::uint8_t(qRed(c));
            }
        }
    }
}

QImage TMMDIBCanvas::DIBImage(int srcX, int srcY, int width, int height)
{
    HandleNeeded();
    const int x0 = std::max(srcX, 0), y0 = std::max(srcY, 0);
    const int x1 = int(std::min<std::int64_t>(std::int64_t(srcX) + width, FDIBWidth));
    const int y1 = int(std::min<std::int64_t>(std::int64_t(srcY) + height, FDIBHeight));
    if (x0 >= x1 || y0 >= y1)
        return QImage();
    const int w = x1 - x0, h = y1 - y0;
    const int bytes = FDIBBitsPerPixel / 8;
    QImage image(w, h, bytes == 1 ? QImage::Format_Indexed8 : QImage::Format_BGR888);
    if (bytes == 1) {
        QList<QRgb> table(256);
        for (int i = 0; i < 256; ++i)
            table[i] = qRgb(FColorTable[4 * i + 2], FColorTable[4 * i + 1], FColorTable[4 * i]);
        image.setColorTable(table);
    }
    for (int y = 0; y < h; ++y)
        std::memcpy(image.scanLine(y),
            FBits.data() + std::ptrdiff_t(FDIBHeight - 1 - (y0 + y)) * FStride + std::ptrdiff_t(x0) * bytes,
            std::size_t(w) * bytes);
    return image;
}

void TMMDIBCanvas::DrawTo(TCanvas* dest, const TRect& r, int srcX, int srcY)
{
    if (dest == nullptr)
        return;
    // The screen is true colour: a realised palette would change nothing,
    // the colour table travels with the image.
    const QImage image = DIBImage(srcX, srcY, r.Right, r.Bottom);
    if (image.isNull())
        return;
    const int left = int(r.Left + std::max<std::int64_t>(0, -std::int64_t(srcX)));
    const int top = int(r.Top + std::max<std::int64_t>(0, -std::int64_t(srcY)));
    dest->DrawImage(Bounds(left, top, image.width(), image.height()), image, cmSrcCopy);
}

std::uint32_t TMMDIBCanvas::ColorToPixel(TColor color)
{
    const std::uint32_t rgb = std::uint32_t(ColorToRGB(color)) & 0xFFFFFF;
    if (FBitsPerPixel > 8)
        return rgb;
    if (!FHasPalette)
        HandleNeeded();
    return std::uint32_t(NearestIndex(rgb));
}

std::uint32_t TMMDIBCanvas::SetDrawColor(TColor color)
{
    const std::uint32_t pixel = ColorToPixel(color);
    gDraw.Value = FBitsPerPixel > 8 ? pixel : pixel * 0x01010101u;
    return gDraw.Value;
}

void TMMDIBCanvas::SetDrawValue(std::uint32_t value)
{
    gDraw.Value = FBitsPerPixel > 8 ? value : (value & 0xFF) * 0x01010101u;
}

void TMMDIBCanvas::BeginDraw()
{
    DrawLock().Enter();
    try {
        TCanvas::Changing();
        HandleNeeded();
    } catch (...) {
        DrawLock().Leave();
        throw;
    }
    gDraw.Pen = TPoint { 0, 0 };
    gDraw.BitsPerPixel = FDIBBitsPerPixel;
    gDraw.BytesPerPixel = FDIBBitsPerPixel / 8;
    gDraw.Height = FDIBHeight;
    gDraw.Width = FDIBWidth;
    gDraw.Stride = FStride;
    gDraw.RowStep = -FStride;
    gDraw.Bits = FBits.data();
    gDraw.Clip = Rect(0, 0, std::min(FClipRect.Right, FDIBWidth), std::min(FClipRect.Bottom, FDIBHeight));
    FNotDrawing = false;
    ++FDrawLevel;
}

void TMMDIBCanvas::EndDraw()
{
    // Every BeginDraw entered the lock once, so every EndDraw leaves it once;
    // only the outermost ends the drawing state.
    if (FDrawLevel == 0)
        return;
    if (--FDrawLevel == 0) {
        const std::uint32_t value = gDraw.Value;
        gDraw = TDrawState {};
        gDraw.Value = value;
        FNotDrawing = true;
    }
    TCanvas::Changed();
    DrawLock().Leave();
}

void TMMDIBCanvas::SetAnimatedColor(int i, TColor color)
{
    if (i < 0 || i >= int(FAnimatedColors.size()))
        throw EMMDIBError(kAnimatedIndex);
    const std::uint32_t rgb = std::uint32_t(ColorToRGB(color)) & 0xFFFFFF;
    if (FAnimateLevel > 0) {
        FBatch[std::size_t(i)] = rgb;
        return;
    }
    if (FBits.empty() || FDIBBitsPerPixel != 8)
        throw EMMDIBError(kGetEntries);
    const int index = FFirstAnimated + i;
    FLogPalette.palPalEntry[index] = Entry(rgb, PC_RESERVED);
    FColorTable[4 * index] = std::uint8_t(rgb >> 16);
    FColorTable[4 * index + 1] = std::uint8_t(rgb >> 8);
    FColorTable[4 * index + 2] = std::uint8_t(rgb);
    FAnimatedColors[std::size_t(i)] = rgb;
}

void TMMDIBCanvas::BeginAnimate()
{
    if (FAnimateLevel == 0 && !FAnimatedColors.empty()) {
        if (FBits.empty() || FDIBBitsPerPixel != 8)
            throw EMMDIBError(kGetEntries);
        FBatch.clear();
        for (int i = 0; i < int(FAnimatedColors.size()); ++i) {
            const int index = FFirstAnimated + i;
            FBatch.push_back(std::uint32_t(FColorTable[4 * index + 2])
                | std::uint32_t(FColorTable[4 * index + 1]) << 8
                | std::uint32_t(FColorTable[4 * index]) << 16);
        }
    }
    ++FAnimateLevel;
}

void TMMDIBCanvas::EndAnimate()
{
    if (FAnimateLevel <= 0)
        return;
    if (--FAnimateLevel > 0)
        return;
    if (FAnimatedColors.empty()) {
        FBatch.clear();
        return;
    }
    std::vector<std::uint32_t> batch;
    batch.swap(FBatch);
    // A rebuild inside the batch may have changed the count: only the
    // entries that still exist are written.
    if (FBits.empty() || FDIBBitsPerPixel != 8)
        throw EMMDIBError(kSetEntries);
    const std::size_t count = std::min(batch.size(), FAnimatedColors.size());
    for (std::size_t i = 0; i < count; ++i) {
        const int index = FFirstAnimated + int(i);
        FLogPalette.palPalEntry[index] = Entry(batch[i], PC_RESERVED);
        FColorTable[4 * index] = std::uint8_t(batch[i] >> 16);
        FColorTable[4 * index + 1] = std::uint8_t(batch[i] >> 8);
        FColorTable[4 * index + 2] = std::uint8_t(batch[i]);
        FAnimatedColors[i] = batch[i];
    }
}

// ---------------------------------------------------------------------------
// The platform canvas on the DIB

void TMMDIBCanvas::Changing()
{
    if (FWorkDepth++ == 0)
        LoadWork();
    TCanvas::Changing();
}

void TMMDIBCanvas::Changed()
{
    if (FWorkDepth > 0 && --FWorkDepth == 0)
        StoreWork();
    TCanvas::Changed();
}

void TMMDIBCanvas::LoadWork()
{
    if (FWork.isNull() || FBits.empty())
        return;
    const QImage image = DIBImage(0, 0, FDIBWidth, FDIBHeight).convertToFormat(QImage::Format_RGB32);
    FWorkBefore.resize(std::size_t(FDIBWidth) * FDIBHeight);
    for (int y = 0; y < FDIBHeight; ++y) {
        std::memcpy(FWork.scanLine(y), image.constScanLine(y), std::size_t(FDIBWidth) * 4);
        std::memcpy(FWorkBefore.data() + std::size_t(y) * FDIBWidth, image.constScanLine(y),
            std::size_t(FDIBWidth) * 4);
    }
}

void TMMDIBCanvas::StoreWork()
{
    if (FWork.isNull() || FBits.empty() || FWorkBefore.size() != std::size_t(FDIBWidth) * FDIBHeight)
        return;
    for (int y = 0; y < FDIBHeight; ++y) {
        const QRgb* now = reinterpret_cast<const QRgb*>(FWork.constScanLine(y));
        const QRgb* before = FWorkBefore.data() + std::size_t(y) * FDIBWidth;
        std::uint8_t* out = FBits.data() + std::ptrdiff_t(FDIBHeight - 1 - y) * FStride;
        for (int x = 0; x < FDIBWidth; ++x) {
            if (now[x] == before[x])
                continue;
            const std::uint32_t rgb = std::uint32_t(qRed(now[x])) | std::uint32_t(qGreen(now[x])) << 8
                | std::uint32_t(qBlue(now[x])) << 16;
            if (FDIBBitsPerPixel == 8) {
                out[x] = std::uint8_t(NearestIndex(rgb));
            } else {
                out[3 * x] = std::uint8_t(qBlue(now[x]));
                out[3 * x + 1] = std::uint8_t(qGreen(now[x]));
                out[3 * x + 2] = std::uint8_t(qRed(now[x]));
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Primitives

void TMMDIBCanvas::DIBSetPixel(int x, int y, std::uint32_t value)
{
    if (gDraw.Bits && Inside(x, y))
        Plot(x, y, value, TOp::Set);
}

std::int32_t TMMDIBCanvas::DIBGetPixel(int x, int y)
{
    if (!gDraw.Bits || !Inside(x, y))
        return -1;
    const std::uint8_t* p = Row(y) + std::ptrdiff_t(x) * gDraw.BytesPerPixel;
    if (gDraw.BytesPerPixel == 1)
        return p[0];
    return std::int32_t(p[2]) | std::int32_t(p[1]) << 8 | std::int32_t(p[0]) << 16;
}

void TMMDIBCanvas::DIBMoveTo(int x, int y)
{
    gDraw.Pen = TPoint { x, y };
}

void TMMDIBCanvas::DIBLineTo(int x, int y)
{
    Line(gDraw.Pen.X, gDraw.Pen.Y, x, y, TOp::Set);
    gDraw.Pen = TPoint { x, y };
}

void TMMDIBCanvas::DIBLine(int x1, int y1, int x2, int y2)
{
    Line(x1, y1, x2, y2, TOp::Set);
}

void TMMDIBCanvas::DIBXorLine(int x1, int y1, int x2, int y2)
{
    Line(x1, y1, x2, y2, TOp::XorInverse);
}

void TMMDIBCanvas::DIBHLine(int x1, int x2, int y)
{
    Span(x1, x2, y, TOp::Set);
}

void TMMDIBCanvas::DIBHLineDashed(int x1, int x2, int y)
{
    PatternHSpan(x1, x2, y, Dashed);
}

void TMMDIBCanvas::DIBHLineDotted(int x1, int x2, int y, int gap)
{
    const std::int64_t period = std::int64_t(std::max(gap, 1)) + 1;
    PatternHSpan(x1, x2, y, [period](std::int64_t offset) { return offset % period == 0; });
}

void TMMDIBCanvas::DIBVLine(int x, int y1, int y2)
{
    PatternVSpan(x, y1, y2, TOp::Set, Solid);
}

void TMMDIBCanvas::DIBVLineDashed(int x, int y1, int y2)
{
    PatternVSpan(x, y1, y2, TOp::Set, Dashed);
}

void TMMDIBCanvas::DIBVLineDotted(int x, int y1, int y2, int gap)
{
    const std::int64_t period = std::int64_t(std::max(gap, 1)) + 1;
    PatternVSpan(x, y1, y2, TOp::Set, [period](std::int64_t offset) { return offset % period == 0; });
}

void TMMDIBCanvas::DIBVLineXor(int x, int y1, int y2)
{
    PatternVSpan(x, y1, y2, TOp::Xor, Solid);
}

void TMMDIBCanvas::DIBVLineXorInverse(int x, int y1, int y2)
{
    PatternVSpan(x, y1, y2, TOp::XorInverse, Solid);
}

void TMMDIBCanvas::DIBVLineCopy(int x, int y1, int y2, const std::uint8_t* bytes)
{
    if (!gDraw.Bits || gDraw.BytesPerPixel != 1 || bytes == nullptr)
        return;
    if (x < gDraw.Clip.Left || x >= gDraw.Clip.Right)
        return;
    for (int y = std::max(y1, gDraw.Clip.Top); y < std::min(y2, gDraw.Clip.Bottom); ++y)
        Row(y)[x] = bytes[std::ptrdiff_t(y) - y1];
}

void TMMDIBCanvas::DIBFrameRect(int left, int top, int right, int bottom)
{
    DIBHLine(left, right, top);
    // An edge at INT_MIN has its last row or column beyond any canvas.
    if (bottom > INT32_MIN)
        DIBHLine(left, right, bottom - 1);
    DIBVLine(left, top, bottom);
    if (right > INT32_MIN)
        DIBVLine(right - 1, top, bottom);
}

void TMMDIBCanvas::DIBFillRect(const TRect& rect)
{
    FillRows(rect, TOp::Set, 1);
}

void TMMDIBCanvas::DIBXorRect(const TRect& rect)
{
    FillRows(rect, TOp::Xor, 1);
}

void TMMDIBCanvas::DIBFillRectStriped(const TRect& rect, bool striped)
{
    FillRows(rect, TOp::Set, striped ? 2 : 1);
}

void TMMDIBCanvas::DIBClear()
{
    if (!gDraw.Bits)
        return;
    if (gDraw.BytesPerPixel == 1) {
        // Rows are whole 32-bit words: the index repeated in every byte.
        std::uint32_t* word = reinterpret_cast<std::uint32_t*>(gDraw.Bits);
        std::fill(word, word + std::size_t(gDraw.Stride) * gDraw.Height / 4, gDraw.Value);
        return;
    }
    for (int y = 0; y < gDraw.Height; ++y)
        for (int x = 0; x < gDraw.Width; ++x)
            Plot(x, y, gDraw.Value, TOp::Set);
}

void TMMDIBCanvas::DIBCopyBits(int x, int y, int w, int h, int srcX, int srcY, const std::uint8_t* srcBits)
{
    if (!gDraw.Bits || srcBits == nullptr)
        return;
    // Clip the block against both the target and the source rectangle, in
    // 64 bits: any int position and size is accepted.
    const TRect& clip = gDraw.Clip;
    std::int64_t dx = x, dy = y, sx = srcX, sy = srcY, width = w, height = h;
    if (dx < clip.Left) {
        width -= clip.Left - dx;
        sx += clip.Left - dx;
        dx = clip.Left;
    }
    if (dy < clip.Top) {
        height -= clip.Top - dy;
        sy += clip.Top - dy;
        dy = clip.Top;
    }
    if (sx < 0) {
        width += sx;
        dx -= sx;
        sx = 0;
    }
    if (sy < 0) {
        height += sy;
        dy -= sy;
        sy = 0;
    }
    width = std::min<std::int64_t>({ width, clip.Right - dx, gDraw.Width - sx });
    height = std::min<std::int64_t>({ height, clip.Bottom - dy, gDraw.Height - sy });
    if (width <= 0 || height <= 0)
        return;
    const int bytes = gDraw.BytesPerPixel;
    auto copyRow = [&](std::int64_t row) {
        std::memmove(Row(int(dy + row)) + dx * bytes,
            srcBits + (gDraw.Height - 1 - (sy + row)) * gDraw.Stride + sx * bytes,
            std::size_t(width) * bytes);
    };
    // Within one buffer, a block moving down is copied from its last row
    // up, so that no row is overwritten before it was read.
    if (srcBits == gDraw.Bits && dy > sy) {
        for (std::int64_t row = height - 1; row >= 0; --row)
            copyRow(row);
    } else {
        for (std::int64_t row = 0; row < height; ++row)
            copyRow(row);
    }
}

void TMMDIBCanvas::DIBArc(int cx, int cy, int rx, int ry, int startAngle, int endAngle)
{
    if (!gDraw.Bits || rx < 1 || ry < 1 || startAngle == endAngle)
        return;
    const auto& table = SinTable();
    // Points reach up to twice the int range from the centre's far side:
    // they stay 64-bit until the line clips them.
    struct TWidePoint {
        std::int64_t X, Y;
    };
    auto point = [&](int degree) {
        const int d = degree % 360;
        const std::int64_t c = table[std::size_t((d + 90) % 360)], s = table[std::size_t(d)];
        return TWidePoint { cx + ((std::int64_t(rx) * c) >> 13), cy - ((std::int64_t(ry) * s) >> 13) };
    };
    const int start = ((startAngle % 360) + 360) % 360;
    int sweep = int(((std::int64_t(endAngle) - startAngle) % 360 + 360) % 360);
    if (sweep == 0)
        sweep = 360;
    TWidePoint previous = point(start);
    Line(previous.X, previous.Y, previous.X, previous.Y, TOp::Set);
    for (int step = 1; step <= sweep; ++step) {
        const TWidePoint next = point(start + step);
        Line(previous.X, previous.Y, next.X, next.Y, TOp::Set);
        previous = next;
    }
}

void TMMDIBCanvas::DIBFillEllipse(int cx, int cy, int rx, int ry)
{
    if (!gDraw.Bits || rx < 1 || ry < 1)
        return;
    if (std::max(rx, ry) > kLargestWalkedRadius) {
        // The walk would take billions of steps, nearly all on rows outside
        // the canvas, and its terms would pass 64 bits: the rows inside
        // the clip get the span of the ellipse's own equation instead.
        const long double a = rx, b = ry;
        for (int row = gDraw.Clip.Top; row < gDraw.Clip.Bottom; ++row) {
            const long double dy = std::abs(std::int64_t(row) - cy);
            if (dy > b)
                continue;
            const auto half = std::int64_t(std::floor(a * std::sqrt(1 - (dy / b) * (dy / b))));
            WideSpan(std::int64_t(cx) - half, std::int64_t(cx) + half + 1, row, TOp::Set);
        }
        return;
    }
    // 64-bit terms: the squares times the radii overflow 32 bits from radii
    // near 1000 on.
    const std::int64_t a2 = std::int64_t(rx) * rx, b2 = std::int64_t(ry) * ry;
    std::int64_t x = 0, y = ry;
    std::int64_t err = b2 - 2 * ry * a2 + a2;
    while (y >= 0) {
        // Both ends belong to the span, so the shape is symmetric about cx.
        WideSpan(cx - x, cx + x + 1, cy - y, TOp::Set);
        if (y != 0)
            WideSpan(cx - x, cx + x + 1, cy + y, TOp::Set);
        if (err >= 0 && 2 * err - 2 * x * b2 - b2 > 0) {
            y -= 1;
            err += a2 - 2 * y * a2;
        } else if (err < 0 && 2 * err + 2 * y * a2 - a2 <= 0) {
            x += 1;
            err += 2 * x * b2 + b2;
        } else {
            x += 1;
            y -= 1;
            err += 2 * x * b2 - 2 * y * a2 + a2 + b2;
        }
    }
}

// ---------------------------------------------------------------------------
// TMMDIBGraphicControl

TMMDIBGraphicControl::TMMDIBGraphicControl(TComponent* owner)
    : TMMGraphicControl(owner)
    , FDIBCanvas(new TMMDIBCanvas)
    , FBackGroundDIB(new TBitmap)
{
    FDIBCanvas->setParent(this);
    FBackGroundDIB->setParent(this);
    FBackGroundDIB->SetOnChange([this](TObject*) { BackGroundDIBChanged(); });
}

TMMDIBGraphicControl::~TMMDIBGraphicControl()
{
    FBackGroundDIB->SetOnChange(nullptr);
}

int TMMDIBGraphicControl::BitsPerPixel() const
{
    return FDIBCanvas->BitsPerPixel();
}

void TMMDIBGraphicControl::SetBitsPerPixel(int value)
{
    FDIBCanvas->SetBitsPerPixel(value);
    Invalidate();
}

bool TMMDIBGraphicControl::PaletteRealize() const
{
    return FDIBCanvas->PaletteRealize();
}

void TMMDIBGraphicControl::SetPaletteRealize(bool value)
{
    if (value == FDIBCanvas->PaletteRealize())
        return;
    FDIBCanvas->SetPaletteRealize(value);
    Invalidate();
}

bool TMMDIBGraphicControl::PaletteMapped() const
{
    return FDIBCanvas->PaletteMapped();
}

void TMMDIBGraphicControl::SetPaletteMapped(bool value)
{
    if (value == FDIBCanvas->PaletteMapped())
        return;
    FDIBCanvas->SetPaletteMapped(value);
    Invalidate();
}

const TMaxLogPalette* TMMDIBGraphicControl::GetPalette() const
{
    return FDIBCanvas->PaletteRealize() ? FDIBCanvas->LogPalette() : nullptr;
}

void TMMDIBGraphicControl::SetBackGroundDIB(TBitmap* value)
{
    FBackGroundDIB->Assign(value);
}

void TMMDIBGraphicControl::SetUseBackGroundDIB(bool value)
{
    if (ComponentState() & csLoading) {
        FLoadedUseBackGroundDIB = value;
        return;
    }
    if (value && FBackGroundDIB->Empty())
        value = false;
    if (value == FUseBackGroundDIB)
        return;
    FUseBackGroundDIB = value;
    FDIBCanvas->SetPaletteRealize(value);
    UpdateCanvasBackground();
    Invalidate();
}

void TMMDIBGraphicControl::Loaded()
{
    TMMGraphicControl::Loaded();
    SetUseBackGroundDIB(FLoadedUseBackGroundDIB);
}

void TMMDIBGraphicControl::UpdateCanvasBackground()
{
    FDIBCanvas->SetBackGroundBitmap(FUseBackGroundDIB ? FBackGroundDIB : nullptr);
}

void TMMDIBGraphicControl::BackGroundDIBChanged()
{
    if (ComponentState() & csLoading)
        return;
    if (ComponentState() & csDesigning) {
        const bool has = !FBackGroundDIB->Empty();
        FDIBCanvas->SetPaletteRealize(has);
        if (!has)
            FDIBCanvas->SetPaletteMapped(false);
        FUseBackGroundDIB = has;
    } else if (FBackGroundDIB->Empty()) {
        // A background that is gone cannot stay in use.
        FUseBackGroundDIB = false;
    }
    UpdateCanvasBackground();
    Invalidate();
}

void TMMDIBGraphicControl::SetBounds(int left, int top, int width, int height)
{
    TMMGraphicControl::SetBounds(left, top, width, height);
    FDIBCanvas->SetSize(Width(), Height());
}

void TMMDIBGraphicControl::DrawBackground()
{
    if (FDIBCanvas->BackGroundBits() != nullptr) {
        FDIBCanvas->DIBCopyBits(
            0, 0, FDIBCanvas->Width(), FDIBCanvas->Height(), 0, 0, FDIBCanvas->BackGroundBits());
    } else {
        FDIBCanvas->SetDrawColor(Color());
        FDIBCanvas->DIBClear();
    }
}

void TMMDIBGraphicControl::DrawOnParent(const TMMDIBDrawProc& proc, void* arg)
{
    if (!proc || !Visible() || Parent() == nullptr || !Parent()->HandleAllocated())
        return;
    Canvas()->Lock();
    try {
        PaintDirect([&](TCanvas*) { proc(arg); });
    } catch (...) {
        Canvas()->Unlock();
        throw;
    }
    Canvas()->Unlock();
}
