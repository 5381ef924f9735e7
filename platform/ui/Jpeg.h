#pragma once

// TJPEGImage: a picture kept as its JPEG file image and shown from the
// pixels libjpeg decodes from it. The file image is what is stored and
// saved, byte for byte as it was read, so a stored form read and written
// again carries the same JPEG; nothing is ever re-compressed.
//
// JPEG data comes from outside (stored forms, files). Anything libjpeg
// cannot decode completely, including data that ends early or whose
// compressed data is damaged (libjpeg would patch those up with grey and
// only warn), raises EInvalidGraphic "JPEG image is not valid: <reason>";
// the picture keeps what it held before.

#include "platform/ui/Bitmap.h"

#include <QByteArray>
#include <QImage>

class TJPEGImage : public TGraphic {
    Q_OBJECT
public:
    TJPEGImage();
    ~TJPEGImage() override;

    /// Copies another JPEG image (a null source empties this one); a
    /// TPicture holding one copies that one.
    void Assign(TPersistent* source) override;

    bool Empty() const override { return FData.isEmpty(); }
    int Width() const override { return FImage.width(); }
    int Height() const override { return FImage.height(); }
    /// A JPEG takes its size from its data: these do nothing.
    void SetWidth(int) override { }
    void SetHeight(int) override { }

    /// Reads the rest of Stream as a JPEG file image and decodes it. Raises
    /// EInvalidGraphic (also for an empty stream).
    void LoadFromStream(QIODevice& stream) override;
    /// Writes the JPEG file image as it was read; nothing when empty.
    void SaveToStream(QIODevice& stream) override;

    /// Draws the decoded pixels stretched into Rect.
    void Draw(TCanvas* canvas, const TRect& rect) override;

    /// A 32-bit little-endian byte count, then the JPEG file image. Raises
    /// EInvalidGraphic when the count reaches beyond the stored data.
    void ReadData(QIODevice& stream) override;
    void WriteData(QIODevice& stream) override;

    /// The JPEG file image.
    const QByteArray& Data() const { return FData; }
    /// The decoded pixels (QImage::Format_RGB32; null when empty).
    const QImage& Image() const { return FImage; }

protected:
    /// A TBitmap receives the decoded pixels (24-bit).
    void AssignTo(TPersistent* dest) override;

private:
    QByteArray FData;
    QImage FImage;
};

/// Decodes the JPEG file image Data into RGB32 pixels. Raises
/// EInvalidGraphic "JPEG image is not valid: <reason>". Any thread.
QImage DecodeJpeg(const QByteArray& data);

/// Registers TJPEGImage for stored pictures (class "TJPEGImage") and files
/// (".jpg", ".jpeg"). Idempotent; call it before reading a stored form that
/// holds a JPEG picture.
void RegisterJPEGImage();
