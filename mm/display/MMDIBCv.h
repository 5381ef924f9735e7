#pragma once
// The drawing surface of the real-time displays: TMMDIBCanvas owns an
// off-screen device-independent bitmap (DIB) of 8 or 24 bits per pixel that
// the displays write with their own fast primitives, a 256-entry palette
// with palette animation, and an optional background DIB made from a
// picture; DrawTo copies a block of it to a screen canvas in one piece.
// TMMDIBGraphicControl is a graphic control that owns such a canvas of its
// own size.
//
// The DIB is a byte buffer of its own: rows are stored bottom-up, each
// padded to a multiple of 4 bytes (stride = (Width x bytes per pixel + 3)
// and not 3). Drawing coordinates have y = 0 at the top, so pixel (x, y)
// lives at Bits() + (Height - 1 - y) x stride + x x bytes per pixel. An
// 8-bit pixel is a palette index; a 24-bit pixel is the bytes blue, green,
// red. Pixel values passed to the primitives are a palette index (8 bits)
// or a colour in 0x00BBGGRR form (24 bits).
//
// Palette of an 8-bit canvas: entries 0 .. 9 and 246 .. 255 hold the
// standard static colours (the display is always true colour); entries
// 10 .. 244 come from the background picture's colour table when there is
// one, otherwise 10 .. 246 from a palette given by SetPalette, otherwise
// black. With AnimatedCount = n > 0 the entries FirstAnimated = 247 - n ..
// 246 are animated: each starts with a placeholder colour no other entry
// has, and SetAnimatedColor changes what an animated index shows at the
// next DrawTo without touching a pixel byte.
//
// Threads. The canvas belongs to the thread that made it (the GUI thread),
// except the drawing bracket: BeginDraw .. EndDraw holds one process-wide
// lock, because every primitive works on one shared drawing state; only one
// canvas in the process draws at a time and other threads wait in
// BeginDraw. The primitives (the DIB* members) act on the canvas inside
// that bracket and do nothing outside any bracket. DrawTo and the palette
// animation do not take the lock.
//
// The platform canvas operations inherited from TCanvas (text, pens,
// brushes) draw into the DIB as well, through a 32-bit working copy; on an
// 8-bit canvas the pixels they change take the nearest non-animated
// palette entry.
//
// Every failure raises EMMDIBError with its fixed text (listed with the
// operations below) and leaves the canvas as it was.

#include "mm/core/MMObj.h"
#include "platform/ui/Bitmap.h"
#include "platform/ui/Canvas.h"
#include "platform/ui/Graphics.h"
#include "platform/ui/Types.h"

#include <QImage>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QPainter;

/// The error of this unit.
class EMMDIBError : public Exception {
public:
    using Exception::Exception;
};

class TMMDIBCanvas : public TCanvas {
    Q_OBJECT
    Q_PROPERTY(int BitsPerPixel READ BitsPerPixel WRITE SetBitsPerPixel)
    Q_CLASSINFO("default:BitsPerPixel", "8")
    Q_PROPERTY(bool PaletteRealize READ PaletteRealize WRITE SetPaletteRealize)
    Q_CLASSINFO("default:PaletteRealize", "False")
    Q_PROPERTY(bool PaletteMapped READ PaletteMapped WRITE SetPaletteMapped)
    Q_CLASSINFO("default:PaletteMapped", "False")
    Q_PROPERTY(TBitmap* BackGroundBitmap READ BackGroundBitmap WRITE SetBackGroundBitmap)
    Q_PROPERTY(bool StretchBackGround READ StretchBackGround WRITE SetStretchBackGround)
    Q_CLASSINFO("default:StretchBackGround", "True")
    Q_PROPERTY(int Width READ Width WRITE SetWidth)
    Q_CLASSINFO("default:Width", "1")
    Q_PROPERTY(int Height READ Height WRITE SetHeight)
    Q_CLASSINFO("default:Height", "1")
public:
    /// An 8-bit 1 x 1 canvas, its DIB made at once (black).
    TMMDIBCanvas();
    ~TMMDIBCanvas() override;

    int BitsPerPixel() const { return FBitsPerPixel; }
    /// 8 or 24; a change rebuilds the DIB at once. Raises EMMDIBError
    /// "Bitlength not supported yet" for other values, and "Attempt to
    /// create new DIB while initialized for drawing" inside BeginDraw (the
    /// depth then stays).
    void SetBitsPerPixel(int value);

    /// Stored and rebuilt on change. The display is true colour, so
    /// realising the palette changes nothing on screen.
    bool PaletteRealize() const { return FPaletteRealize; }
    void SetPaletteRealize(bool value);
    bool PaletteMapped() const { return FPaletteMapped; }
    void SetPaletteMapped(bool value) { FPaletteMapped = value; }

    /// The picture the background DIB is made from (owned; empty: none).
    /// Writing copies Value in; any change of the picture rebuilds.
    TBitmap* BackGroundBitmap() const { return FBackGroundBitmap; }
    void SetBackGroundBitmap(TBitmap* value);
    /// True: the picture is stretched over the canvas; false: tiled from
    /// the top-left at its own size.
    bool StretchBackGround() const { return FStretchBackGround; }
    void SetStretchBackGround(bool value);

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    void SetWidth(int value) { SetSize(value, FHeight); }
    void SetHeight(int value) { SetSize(FWidth, value); }
    /// Stores a new size (values below 1 count as 1 in the DIB), releases
    /// the handle and marks for rebuild; the DIB is made again on the next
    /// use of the handle (Handle, DrawTo, BeginDraw). A size whose DIB or
    /// 32-bit working copy would pass 2 GB, or whose memory cannot be had,
    /// raises "Unable to access DIB device context" there and leaves no DIB
    /// (the next use tries again).
    void SetSize(int width, int height);

    /// Keeps a copy of Palette (version at least 0x300, at most 256
    /// entries; anything else or null drops the copy) and rebuilds.
    void SetPalette(const TMaxLogPalette* palette);
    /// The canvas's logical palette (what a control realises with
    /// PaletteRealize); null before the first build.
    const TMaxLogPalette* LogPalette() const { return FHasPalette ? &FLogPalette : nullptr; }

    /// Makes the DIB now when it is missing or marked for rebuild. Raises
    /// "Attempt to create new DIB while initialized for drawing" inside
    /// BeginDraw.
    void HandleNeeded();

    // The DIB as it stands (valid until the next rebuild).
    const std::uint8_t* Bits() const { return FBits.empty() ? nullptr : FBits.data(); }
    /// The background DIB, same geometry; null when there is no picture.
    const std::uint8_t* BackGroundBits() const { return FBackBits.empty() ? nullptr : FBackBits.data(); }
    /// Bytes per stored row.
    int Stride() const { return FStride; }
    /// The DIB's colour table (blue, green, red, flags), as DrawTo shows it.
    const std::array<std::uint8_t, 4 * 256>& ColorTable() const { return FColorTable; }

    /// The block (SrcX, SrcY, Width, Height) of the DIB as an image (8 bits:
    /// indexed with the current colour table; 24 bits: BGR888), clipped to
    /// the DIB. What DrawTo copies.
    QImage DIBImage(int srcX, int srcY, int width, int height);
    /// Copies the block of R.Right x R.Bottom pixels at (SrcX, SrcY) to
    /// (R.Left, R.Top) of Dest in one block. Nothing when Dest is null.
    /// Makes the DIB first if it is due (raises as HandleNeeded).
    void DrawTo(TCanvas* dest, const TRect& r, int srcX, int srcY);

    /// The colour resolved to RGB: for 24 bits the RGB value, for 8 bits
    /// the index of the nearest non-animated palette entry.
    std::uint32_t ColorToPixel(TColor color);
    /// Sets the draw value from a colour (8 bits: the nearest index in all
    /// four bytes) and returns it.
    std::uint32_t SetDrawColor(TColor color);
    /// Sets the draw value from a raw pixel value (8 bits: the low byte in
    /// all four bytes).
    void SetDrawValue(std::uint32_t value);

    /// Enters the process-wide drawing lock (waiting for another thread's
    /// bracket to end), fires OnChanging, makes the DIB if due and
    /// publishes it to the primitives; the pen goes to (0, 0). Raises as
    /// HandleNeeded (the lock is then left again). Brackets nest; balance
    /// each with EndDraw on the same thread.
    void BeginDraw();
    /// Ends a bracket: fires OnChange and leaves the lock once; the
    /// outermost one also clears the drawing state. Nothing outside any
    /// bracket.
    void EndDraw();
    bool Drawing() const { return !FNotDrawing; }

    // Palette animation (8-bit canvases).
    int AnimatedCount() const { return FAnimatedCount; }
    /// 0 .. 236; a change rebuilds at once (an open BeginAnimate batch
    /// grows or shrinks with it). Raises "Invalid count of animated colors"
    /// outside that range, and as SetBitsPerPixel inside BeginDraw.
    void SetAnimatedCount(int value);
    /// The first animated entry, 247 - AnimatedCount (256 without any).
    int FirstAnimated() const { return FFirstAnimated; }
    /// The pixel value that shows animated colour I.
    int AnimatedIndex(int i) const { return FFirstAnimated + i; }
    /// Gives animated colour I the colour Color (resolved to RGB). Inside a
    /// BeginAnimate batch it is only noted; otherwise it shows at the next
    /// DrawTo. Raises "Invalidate animated color index" for I outside
    /// 0 .. AnimatedCount - 1; "Get palette entries failed" when the DIB
    /// has no colour table (24 bits, or no DIB).
    void SetAnimatedColor(int i, TColor color);
    /// Opens a batch (nested batches count); the outermost one notes the
    /// current animated colours. Raises "Get palette entries failed" as
    /// above (the batch is then not opened).
    void BeginAnimate();
    /// Closes a batch; the outermost one shows every colour set inside it
    /// at once. Raises "Set palette entries failed" when the colour table
    /// is gone; the batch is closed either way.
    void EndAnimate();

    // Drawing primitives: only inside BeginDraw .. EndDraw, clipped to
    // (0, 0, Width, Height). A span from x1 to x2 covers x1 .. x2 - 1.
    void DIBSetPixel(int x, int y, std::uint32_t value);
    /// The pixel value; -1 outside the canvas. 24 bits give 0x00BBGGRR.
    std::int32_t DIBGetPixel(int x, int y);
    void DIBMoveTo(int x, int y);
    /// Line from the pen to (x, y), both ends included; the pen moves.
    void DIBLineTo(int x, int y);
    /// Line with both ends included, in the draw value.
    void DIBLine(int x1, int y1, int x2, int y2);
    /// The same line, each pixel exclusive-or the complement of the value.
    void DIBXorLine(int x1, int y1, int x2, int y2);
    void DIBHLine(int x1, int x2, int y);
    /// 4 pixels on, 4 off, from x1.
    void DIBHLineDashed(int x1, int x2, int y);
    /// One pixel every gap + 1 (a gap below 1 counts as 1), from x1.
    void DIBHLineDotted(int x1, int x2, int y, int gap);
    void DIBVLine(int x, int y1, int y2);
    void DIBVLineDashed(int x, int y1, int y2);
    void DIBVLineDotted(int x, int y1, int y2, int gap);
    void DIBVLineXor(int x, int y1, int y2);
    void DIBVLineXorInverse(int x, int y1, int y2);
    /// Copies Bytes[0 ..] into rows y1 .. y2 - 1 of column x (8 bits only).
    void DIBVLineCopy(int x, int y1, int y2, const std::uint8_t* bytes);
    void DIBFrameRect(int left, int top, int right, int bottom);
    void DIBFillRect(const TRect& rect);
    void DIBXorRect(const TRect& rect);
    /// With Striped, fills every second row from the top only.
    void DIBFillRectStriped(const TRect& rect, bool striped);
    void DIBClear();
    /// Copies the W x H block at (SrcX, SrcY) of SrcBits, a buffer of this
    /// DIB's geometry (BackGroundBits, or Bits itself: overlaps copy
    /// correctly), to (X, Y).
    void DIBCopyBits(int x, int y, int w, int h, int srcX, int srcY, const std::uint8_t* srcBits);
    /// Outline of the elliptical arc from StartAngle to EndAngle (whole
    /// degrees, counter-clockwise, 0 = right); nothing when a radius is
    /// below 1 or the angles are equal.
    void DIBArc(int cx, int cy, int rx, int ry, int startAngle, int endAngle);
    /// Filled ellipse: every row cy - ry .. cy + ry gets the span the
    /// error-term walk gives, both ends included. Nothing for a radius
    /// below 1. A radius above 2^20 is not walked: each row inside the clip
    /// gets the span of the ellipse's equation.
    void DIBFillEllipse(int cx, int cy, int rx, int ry);

protected:
    void CreateHandle() override;
    /// Around TCanvas operations: the working copy is brought up to date
    /// before, and what changed goes back into the DIB after.
    void Changing() override;
    void Changed() override;

private:
    void MarkRebuild();
    void Rebuild();
    void Release();
    void Create();
    void BuildPalette();
    void BuildBackground();
    int NearestIndex(std::uint32_t rgb) const;
    void CheckNotDrawing() const;
    void BackGroundChanged();
    void LoadWork();
    void StoreWork();

    int FBitsPerPixel = 8;
    bool FPaletteRealize = false;
    bool FPaletteMapped = false;
    TBitmap* FBackGroundBitmap;
    bool FStretchBackGround = true;
    int FWidth = 1;
    int FHeight = 1;

    bool FHasContext = false;
    std::vector<std::uint8_t> FBits;
    std::vector<std::uint8_t> FBackBits;
    int FDIBWidth = 0;
    int FDIBHeight = 0;
    int FDIBBitsPerPixel = 0;
    int FStride = 0;
    std::array<std::uint8_t, 4 * 256> FColorTable {};
    TMaxLogPalette FLogPalette;
    bool FHasPalette = false;
    std::unique_ptr<TMaxLogPalette> FCallerPalette;
    TRect FClipRect;
    bool FNeedsRebuild = false;
    bool FNotDrawing = true;
    int FDrawLevel = 0; // open BeginDraw brackets, each holding the lock once
    int FFirstAnimated = 256;
    std::vector<std::uint32_t> FAnimatedColors;
    int FAnimateLevel = 0;
    std::vector<std::uint32_t> FBatch;
    int FAnimatedCount = 0;

    // The platform canvas's surface: a 32-bit copy of the DIB.
    QImage FWork;
    std::unique_ptr<QPainter> FPainter;
    std::vector<QRgb> FWorkBefore;
    int FWorkDepth = 0;
};

/// What DrawOnParent runs; Arg is passed through.
using TMMDIBDrawProc = std::function<void(void* arg)>;

/// A graphic control that owns a TMMDIBCanvas of its own size and offers
/// its descendants a background picture and the palette options. GUI
/// thread.
class TMMDIBGraphicControl : public TMMGraphicControl {
    Q_OBJECT
    Q_PROPERTY(int Tag2 READ Tag2 WRITE SetTag2)
    Q_CLASSINFO("default:Tag2", "0")
public:
    explicit TMMDIBGraphicControl(TComponent* owner);
    ~TMMDIBGraphicControl() override;

    int Tag2() const { return FTag2; }
    void SetTag2(int value) { FTag2 = value; }

    /// The owned canvas.
    TMMDIBCanvas* DIBCanvas() const { return FDIBCanvas; }

    /// The canvas's depth. Raises as TMMDIBCanvas::SetBitsPerPixel.
    int BitsPerPixel() const;
    virtual void SetBitsPerPixel(int value);
    bool PaletteRealize() const;
    void SetPaletteRealize(bool value);
    bool PaletteMapped() const;
    void SetPaletteMapped(bool value);
    /// With PaletteRealize the canvas's logical palette, otherwise null.
    const TMaxLogPalette* GetPalette() const;

    /// The picture for the canvas background (owned; writing copies it
    /// in).
    TBitmap* BackGroundDIB() const { return FBackGroundDIB; }
    void SetBackGroundDIB(TBitmap* value);
    /// Whether BackGroundDIB is the canvas background: it can only become
    /// true while BackGroundDIB holds a picture, and PaletteRealize follows
    /// it. While the form loads the value is only noted.
    bool UseBackGroundDIB() const { return FUseBackGroundDIB; }
    void SetUseBackGroundDIB(bool value);

    /// The base bounds change, then the canvas takes the new size.
    void SetBounds(int left, int top, int width, int height) override;

    /// Runs Proc(Arg) at once with the control's canvas drawing on the
    /// control (clipped to it) outside the paint cycle, when the control is
    /// visible on a parent that has a window; the canvas is locked
    /// meanwhile.
    void DrawOnParent(const TMMDIBDrawProc& proc, void* arg);

protected:
    /// Inside DIBCanvas' BeginDraw .. EndDraw: copies the background DIB
    /// into the drawing DIB, or clears it to Color.
    virtual void DrawBackground();
    void Loaded() override;

private:
    void BackGroundDIBChanged();
    void UpdateCanvasBackground();

    int FTag2 = 0;
    TMMDIBCanvas* FDIBCanvas;
    TBitmap* FBackGroundDIB;
    bool FUseBackGroundDIB = false;
    bool FLoadedUseBackGroundDIB = false;
};
