#pragma once

// TCanvas: the drawing surface the components paint with, over a QPainter.
// A control's canvas paints on the control while it paints (see
// TControl::Paint and TControl::PaintDirect); a bitmap's canvas paints on
// the bitmap's pixels.
//
// Geometry follows the platform rules the components are written for:
// rectangles exclude their right and bottom edges (FillRect(0, 0, 10, 10)
// covers exactly 10 x 10 pixels), lines are drawn without antialiasing and
// without their end point (MoveTo(0, 0); LineTo(10, 0) sets x 0..9), and
// Rectangle and Ellipse fit inside their bounding rectangle.
//
// Reading pixels (Pixels, CopyRect from this canvas, raster operations that
// need the destination) works wherever the painter draws into an image: a
// bitmap, or a window's backing store while the control paints. Elsewhere
// Pixels reads -1 and such copies draw nothing.
//
// Drawing on a canvas that has no painter (a control's canvas outside its
// paint) does nothing; measuring text always works.

#include "platform/ui/Graphics.h"
#include "platform/ui/Types.h"

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QRecursiveMutex>
#include <QString>
#include <initializer_list>
#include <optional>
#include <span>

class QPainter;
class TGraphic;
class TBitmap;

/// Raster operations of CopyRect and Draw (the platform's ternary codes).
inline constexpr int cmBlackness = 0x00000042;
inline constexpr int cmDstInvert = 0x00550009;
inline constexpr int cmMergeCopy = 0x00C000CA;
inline constexpr int cmMergePaint = 0x00BB0226;
inline constexpr int cmNotSrcCopy = 0x00330008;
inline constexpr int cmNotSrcErase = 0x001100A6;
inline constexpr int cmPatCopy = 0x00F00021;
inline constexpr int cmPatInvert = 0x005A0049;
inline constexpr int cmPatPaint = 0x00FB0A09;
inline constexpr int cmSrcAnd = 0x008800C6;
inline constexpr int cmSrcCopy = 0x00CC0020;
inline constexpr int cmSrcErase = 0x00440328;
inline constexpr int cmSrcInvert = 0x00660046;
inline constexpr int cmSrcPaint = 0x00EE0086;
inline constexpr int cmWhiteness = 0x00FF0062;

/// DrawText flags.
inline constexpr unsigned DT_TOP = 0x0;
inline constexpr unsigned DT_LEFT = 0x0;
inline constexpr unsigned DT_CENTER = 0x1;
inline constexpr unsigned DT_RIGHT = 0x2;
inline constexpr unsigned DT_VCENTER = 0x4;
inline constexpr unsigned DT_BOTTOM = 0x8;
inline constexpr unsigned DT_WORDBREAK = 0x10;
inline constexpr unsigned DT_SINGLELINE = 0x20;
inline constexpr unsigned DT_EXPANDTABS = 0x40;
inline constexpr unsigned DT_TABSTOP = 0x80;
inline constexpr unsigned DT_NOCLIP = 0x100;
inline constexpr unsigned DT_EXTERNALLEADING = 0x200;
inline constexpr unsigned DT_CALCRECT = 0x400;
inline constexpr unsigned DT_NOPREFIX = 0x800;
inline constexpr unsigned DT_END_ELLIPSIS = 0x8000;

class TCanvas : public TPersistent {
    Q_OBJECT
public:
    TCanvas();
    ~TCanvas() override;

    TFont* Font() const { return FFont; }
    /// Copies the settings (Assign); the canvas keeps its own object.
    void SetFont(TFont* value);
    TPen* Pen() const { return FPen; }
    void SetPen(TPen* value);
    TBrush* Brush() const { return FBrush; }
    void SetBrush(TBrush* value);

    TPoint PenPos() const { return FPenPos; }
    void SetPenPos(const TPoint& value) { FPenPos = value; }

    /// The raster operation of CopyRect and Draw; cmSrcCopy by default.
    int CopyMode() const { return FCopyMode; }
    void SetCopyMode(int value) { FCopyMode = value; }

    /// The painter, created on demand by CreateHandle; null when the canvas
    /// cannot draw now.
    QPainter* Handle();
    /// Gives the canvas a painter (or takes it away with null). The canvas
    /// does not own it; the caller keeps it alive while it is set.
    void SetHandle(QPainter* painter);
    bool HandleAllocated() const { return FPainter != nullptr; }

    /// A recursive lock for drawing from more than one thread.
    void Lock();
    bool TryLock();
    void Unlock();
    int LockCount() const { return FLockCount; }

    /// The part of the surface drawing can reach, in canvas coordinates.
    TRect ClipRect();

    // Lines and shapes. The pen draws outlines, the brush fills.
    void MoveTo(int x, int y);
    /// Line from the pen position to (x, y), excluding (x, y); the pen
    /// position moves there.
    void LineTo(int x, int y);
    /// Fills Rect with the brush (nothing for bsClear); raster modes do not
    /// apply.
    void FillRect(const TRect& rect);
    /// One-pixel frame in the brush colour.
    void FrameRect(const TRect& rect);
    /// Outline with the pen inside (left, top)..(right - 1, bottom - 1),
    /// inside filled with the brush.
    void Rectangle(int left, int top, int right, int bottom);
    void Rectangle(const TRect& rect);
    void Ellipse(int left, int top, int right, int bottom);
    void Ellipse(const TRect& rect);
    /// Filled polygon (alternate fill), outlined with the pen.
    void Polygon(std::span<const TPoint> points);
    void Polygon(std::initializer_list<TPoint> points);
    /// Connected lines; the last point is not drawn.
    void Polyline(std::span<const TPoint> points);
    void Polyline(std::initializer_list<TPoint> points);

    /// The pixel's colour as RGB, -1 when it cannot be read.
    TColor Pixels(int x, int y);
    void SetPixels(int x, int y, TColor color);

    // Text, in the font; the brush fills the text background unless its
    // style is bsClear.
    /// Text with its top-left corner at (x, y); the pen position moves to
    /// (x + TextWidth(text), y).
    void TextOut(int x, int y, const QString& text);
    /// Text at (x, y), clipped to Rect; with a solid brush, Rect is filled
    /// first.
    void TextRect(const TRect& rect, int x, int y, const QString& text);
    int TextWidth(const QString& text);
    int TextHeight(const QString& text);
    TSize TextExtent(const QString& text);
    /// Formats Text into Rect by Flags (DT_*): alignment, vertical centring
    /// and bottom alignment of single lines, word breaks, tabs expanded to
    /// eight average character widths, '&' marking the underlined character
    /// unless DT_NOPREFIX ("&&" is one '&'), clipping unless DT_NOCLIP. With
    /// DT_CALCRECT nothing is drawn: Rect's right and bottom edges are set
    /// to the extent of the text. Returns the height of the text.
    int DrawText(const QString& text, TRect& rect, unsigned flags);

    // Copies. CopyMode applies.
    /// Copies Source's Src rectangle into Dest, stretching when the sizes
    /// differ.
    void CopyRect(const TRect& dest, TCanvas* source, const TRect& src);
    /// Copies Bitmap's Source rectangle into Dest, replacing the pixels of
    /// Color by the brush colour.
    void BrushCopy(const TRect& dest, TBitmap* bitmap, const TRect& source, TColor color);
    /// Draws the graphic at its own size with its top-left corner at (x, y).
    void Draw(int x, int y, TGraphic* graphic);
    /// Draws the graphic stretched to Rect.
    void StretchDraw(const TRect& rect, TGraphic* graphic);

    /// The pixels of Src as an RGB32 image, for copies from this canvas;
    /// null when the surface cannot be read.
    virtual QImage GrabImage(const TRect& src);

    /// Draws Image (stretched to Dest) with the raster operation Rop.
    void DrawImage(const TRect& dest, const QImage& image, int rop);

    TNotifyEvent OnChange() const { return FOnChange; }
    void SetOnChange(TNotifyEvent handler) { FOnChange = std::move(handler); }
    TNotifyEvent OnChanging() const { return FOnChanging; }
    void SetOnChanging(TNotifyEvent handler) { FOnChanging = std::move(handler); }

protected:
    /// Called when the canvas needs a painter and has none; descendants
    /// create one and hand it to SetHandle. The default does nothing.
    virtual void CreateHandle();
    /// Around every drawing operation: OnChanging before, OnChange after.
    virtual void Changing();
    virtual void Changed();

private:
    QPainter* Prepare(bool pen, bool brush);
    QFont CurrentFont();
    const QFontMetrics& Metrics();
    /// The image the painter draws into, when it can be read: Offset and
    /// Scale map a canvas point p to its pixel p * Scale + Offset.
    QImage* ReadableImage(QPoint& offset, int& scale);
    void FillWithBrush(QPainter* painter, const QRect& rect);

    TFont* FFont;
    TPen* FPen;
    TBrush* FBrush;
    TPoint FPenPos;
    int FCopyMode = cmSrcCopy;
    QPainter* FPainter = nullptr;
    QRecursiveMutex FLock;
    int FLockCount = 0;
    bool FFontValid = false;
    QFont FQFont;
    std::optional<QFontMetrics> FMetrics;
    TNotifyEvent FOnChange;
    TNotifyEvent FOnChanging;
};

/// The same as Canvas->DrawText(Text, Rect, Flags).
int DrawText(TCanvas* canvas, const QString& text, TRect& rect, unsigned flags);

/// Copies a Width x Height block from (SrcX, SrcY) of Source to (X, Y) of
/// Dest with the raster operation Rop.
void BitBlt(TCanvas* dest, int x, int y, int width, int height, TCanvas* source, int srcX, int srcY, int rop);
