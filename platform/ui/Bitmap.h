#pragma once

// Pictures: TGraphic (anything a canvas can draw), TBitmap (pixels in a
// QImage, read and written as BMP file images) and TPicture (the holder a
// TImage publishes, which stores the graphic's class with its data).
//
// A bitmap keeps its pixels in the layout of its PixelFormat: pf1bit and
// pf8bit as the platform's DIB rows (1 bit per pixel, most significant
// first; one byte per pixel), pf4bit as one byte per pixel (Qt has no
// 4-bit layout; the index is in the low nibble), pf15bit and pf16bit as
// 5-5-5 and 5-6-5 words, pf24bit as blue, green, red bytes, pf32bit and
// pfDevice as blue, green, red, 0xFF. Rows are 32-bit aligned. Indexed
// formats carry a colour table (Palette) that can be rewritten without
// touching the pixels (palette animation).
//
// The canvas paints on a 32-bit working copy of non-32-bit layouts; its
// changes reach the pixels before anything reads them (Image, ScanLine,
// SaveToStream, ...). On indexed layouts only the pixels the canvas changed
// are mapped to the nearest palette entry.

#include "platform/ui/Canvas.h"
#include "platform/ui/Graphics.h"

#include <QImage>
#include <QList>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

class QIODevice;
class QPainter;

/// The bytes are not a picture of the expected kind ("Bitmap image is not
/// valid: ...").
class EInvalidGraphic : public Exception {
public:
    using Exception::Exception;
};

/// An operation the picture cannot do ("Scan line index out of range").
class EInvalidGraphicOperation : public Exception {
public:
    using Exception::Exception;
};

/// One entry of a logical palette.
struct TPaletteEntry {
    std::uint8_t peRed = 0;
    std::uint8_t peGreen = 0;
    std::uint8_t peBlue = 0;
    std::uint8_t peFlags = 0;
};
inline constexpr std::uint8_t PC_RESERVED = 0x01;
inline constexpr std::uint8_t PC_EXPLICIT = 0x02;
inline constexpr std::uint8_t PC_NOCOLLAPSE = 0x04;

/// A logical palette record of up to 256 entries.
struct TMaxLogPalette {
    std::uint16_t palVersion = 0x300;
    std::uint16_t palNumEntries = 0;
    TPaletteEntry palPalEntry[256];
};

/// Something a canvas can draw: a bitmap, or a picture format registered
/// with RegisterGraphicClass.
class TGraphic : public TPersistent {
    Q_OBJECT
public:
    TGraphic();
    ~TGraphic() override;

    virtual bool Empty() const = 0;
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    virtual void SetWidth(int value) = 0;
    virtual void SetHeight(int value) = 0;

    /// Whether Draw leaves the transparent colour's pixels alone.
    bool Transparent() const { return FTransparent; }
    virtual void SetTransparent(bool value);

    /// Reads the picture from the current position of Stream (the picture's
    /// file image). Raises EInvalidGraphic for bytes that are not one.
    virtual void LoadFromStream(QIODevice& stream) = 0;
    /// Writes the picture's file image at the current position of Stream.
    virtual void SaveToStream(QIODevice& stream) = 0;
    /// Raises EFOpenError "Cannot open file "<name>". <reason>".
    void LoadFromFile(const QString& fileName);
    /// Raises EFCreateError "Cannot create file "<name>". <reason>".
    void SaveToFile(const QString& fileName);

    /// Draws the picture stretched into Rect of Canvas.
    virtual void Draw(TCanvas* canvas, const TRect& rect) = 0;

    /// The stored form of the picture's data (the "Data" property): the
    /// file image (bitmaps put a 32-bit little-endian byte count first).
    /// ReadData raises EInvalidGraphic.
    virtual void ReadData(QIODevice& stream);
    virtual void WriteData(QIODevice& stream);

    TNotifyEvent OnChange() const { return FOnChange; }
    void SetOnChange(TNotifyEvent handler) { FOnChange = std::move(handler); }

protected:
    /// Fires OnChange.
    virtual void Changed();
    /// Declares "Data" (written when the picture is not empty).
    void DefineProperties(TFiler* filer) override;

private:
    bool FTransparent = false;
    TNotifyEvent FOnChange;
};

/// Makes a graphic of a registered class.
using TGraphicFactory = std::function<TGraphic*()>;
/// Registers a picture class for stored pictures (TPicture's "Data" names
/// the class) and files (by extension, ".bmp"). TBitmap is registered.
void RegisterGraphicClass(const QString& className, const QString& extension, TGraphicFactory factory);

class TBitmapCanvas;

class TBitmap : public TGraphic {
    Q_OBJECT
public:
    TBitmap();
    /// A Width x Height bitmap of the given format, white.
    TBitmap(int width, int height, TPixelFormat format = pfDevice);
    ~TBitmap() override;

    /// Copies another bitmap's pixels and settings (a null source empties
    /// this one); a TPicture holding a bitmap copies that bitmap.
    void Assign(TPersistent* source) override;

    /// The canvas that paints on the pixels.
    TCanvas* Canvas();

    bool Empty() const override;
    int Width() const override;
    int Height() const override;
    /// Resizing keeps the pixels of the common part; new pixels are white
    /// (the palette entry nearest to white for indexed formats).
    void SetWidth(int value) override;
    void SetHeight(int value) override;
    void SetSize(int width, int height);

    TPixelFormat PixelFormat() const { return FPixelFormat; }
    /// Converts the pixels. Indexed formats get a standard colour table
    /// (black and white; the 16 VGA colours; a 6x6x6 cube and greys) unless
    /// they already have one of that size.
    void SetPixelFormat(TPixelFormat value);

    /// bmDDB turns the format into pfDevice; bmDIB turns pfDevice into
    /// pf32bit. Other formats count as DIBs.
    TBitmapHandleType HandleType() const;
    void SetHandleType(TBitmapHandleType value);

    bool Monochrome() const { return FPixelFormat == pf1bit; }
    void SetMonochrome(bool value);

    /// The colour table of an indexed format (empty otherwise).
    QList<QRgb> Palette() const;
    /// Replaces the colour table of an indexed format (entries beyond its
    /// size are ignored, missing ones keep their colours); the pixels keep
    /// their indices. Nothing happens for other formats.
    void SetPalette(const QList<QRgb>& table);
    /// Copies Count entries from Start; returns how many were copied.
    int GetPaletteEntries(int start, int count, TPaletteEntry* entries) const;
    /// Rewrites Count entries from Start; returns how many were written.
    int SetPaletteEntries(int start, int count, const TPaletteEntry* entries);

    /// The colour Draw leaves out when Transparent: with tmAuto the colour
    /// of the bottom-left pixel, with tmFixed the colour set.
    TColor TransparentColor();
    void SetTransparentColor(TColor value);
    TTransparentMode TransparentMode() const { return FTransparentMode; }
    void SetTransparentMode(TTransparentMode value);

    /// The first byte of row Row (0 = top) in the format's layout; writing
    /// through it changes the pixels (call Changed-raising operations or
    /// Modified() afterwards to notify). Raises EInvalidGraphicOperation
    /// "Scan line index out of range".
    void* ScanLine(int row);
    /// Fires OnChange after pixels were written through ScanLine.
    void Modified();

    /// The pixels, up to date with the canvas.
    const QImage& Image();
    /// Takes over Image as the pixels; Format names the layout (pfCustom:
    /// derived from the image's format).
    void SetImage(const QImage& image, TPixelFormat format = pfCustom);

    void LoadFromStream(QIODevice& stream) override;
    /// Writes nothing for an empty bitmap.
    void SaveToStream(QIODevice& stream) override;
    /// Loads the bitmap resource Name (see Resources.h; the file Name.bmp).
    /// Raises EResNotFound "Resource <name> not found", EInvalidGraphic.
    void LoadFromResourceName(const QString& name);

    void Draw(TCanvas* canvas, const TRect& rect) override;
    /// A 32-bit little-endian byte count, then the BMP file image.
    void ReadData(QIODevice& stream) override;
    void WriteData(QIODevice& stream) override;

protected:
    void Changed() override;

private:
    friend class TBitmapCanvas;

    QPainter* BeginPaint();
    void CanvasChanged();
    void SyncImage();
    void EndPaint();
    void Replace(const QImage& image, TPixelFormat format);

    QImage FImage;
    TPixelFormat FPixelFormat = pfDevice;
    TBitmapHandleType FHandleType = bmDDB;
    TTransparentMode FTransparentMode = tmAuto;
    TColor FTransparentColor = clDefault;
    std::unique_ptr<TBitmapCanvas> FCanvas;
    std::unique_ptr<QPainter> FPainter;
    QImage FWork; // the canvas's 32-bit surface for layouts QPainter cannot paint
    QImage FSnapshot; // FWork as it was last synchronised (indexed layouts)
    bool FWorkDirty = false;
};

/// The picture a TImage shows: one graphic of any registered class.
class TPicture : public TPersistent {
    Q_OBJECT
public:
    explicit TPicture(QObject* parent = nullptr);
    ~TPicture() override;

    /// Copies a picture's or a graphic's image (null empties).
    void Assign(TPersistent* source) override;

    TGraphic* Graphic() const { return FGraphic.get(); }
    /// Takes a copy of Value (null empties).
    void SetGraphic(TGraphic* value);
    /// The graphic as a bitmap; an empty bitmap replaces a graphic of
    /// another class.
    TBitmap* Bitmap();
    void SetBitmap(TBitmap* value);

    int Width() const;
    int Height() const;

    /// Picks the class by the file's extension; raises EInvalidGraphic
    /// "Unknown picture file extension (.<ext>)".
    void LoadFromFile(const QString& fileName);
    void SaveToFile(const QString& fileName);

    TNotifyEvent OnChange() const { return FOnChange; }
    void SetOnChange(TNotifyEvent handler) { FOnChange = std::move(handler); }

protected:
    /// Declares "Data": the graphic's class name (a length byte and the
    /// characters), then the graphic's ReadData/WriteData bytes.
    void DefineProperties(TFiler* filer) override;

private:
    void Adopt(TGraphic* graphic);
    void Changed();

    std::unique_ptr<TGraphic> FGraphic;
    TNotifyEvent FOnChange;
};
