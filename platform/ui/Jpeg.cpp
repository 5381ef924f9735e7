#include "platform/ui/Jpeg.h"

#include <QBuffer>
#include <QIODevice>
#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <jerror.h>
#include <jpeglib.h>
#include <mutex>

namespace {

// Pictures beyond these limits are refused before any pixel memory is taken:
// a few header bytes can claim 65500 x 65500 pixels.
constexpr std::int64_t kMaxPixels = std::int64_t(1) << 26;
constexpr long kMaxDecoderMemory = 512L * 1024 * 1024;
// Progressive files may repeat scans without end; a real one has a few dozen.
constexpr int kMaxScans = 1000;

QString InvalidText(const QString& reason)
{
    return QStringLiteral("JPEG image is not valid: %1").arg(reason);
}

// libjpeg's own error handler prints and calls exit(). This one jumps back
// to the decoder with the library's message, which it raises from there.
struct TErrorManager {
    jpeg_error_mgr Public {};
    std::jmp_buf Jump {};
    char Message[JMSG_LENGTH_MAX] {};
};

[[noreturn]] void ErrorExit(j_common_ptr cinfo)
{
    auto* errors = reinterpret_cast<TErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, errors->Message);
    std::longjmp(errors->Jump, 1);
}

// Warnings are damage libjpeg papers over (data ending early, corrupt
// entropy-coded data): a picture with grey or smeared parts is no picture.
void EmitMessage(j_common_ptr cinfo, int level)
{
    if (level < 0)
        ErrorExit(cinfo);
}

void OutputMessage(j_common_ptr)
{
}

void ProgressMonitor(j_common_ptr cinfo)
{
    auto* info = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (info->is_decompressor && info->progressive_mode && info->input_scan_number > kMaxScans) {
        auto* errors = reinterpret_cast<TErrorManager*>(cinfo->err);
        std::snprintf(errors->Message, sizeof errors->Message, "more than %d scans", kMaxScans);
        std::longjmp(errors->Jump, 1);
    }
}

// Everything the decoder touches between setjmp and longjmp lives here, out
// of the function that calls setjmp, so no local is left indeterminate.
struct TDecoder {
    jpeg_decompress_struct Info {};
    TErrorManager Errors;
    jpeg_progress_mgr Progress {};
    QImage Image;
    bool Created = false;

    ~TDecoder()
    {
        if (Created)
            jpeg_destroy_decompress(&Info);
    }

    // Returns an empty string on success, the reason otherwise.
    QString Run(const QByteArray& data)
    {
        Info.err = jpeg_std_error(&Errors.Public);
        Errors.Public.error_exit = ErrorExit;
        Errors.Public.emit_message = EmitMessage;
        Errors.Public.output_message = OutputMessage;
        if (setjmp(Errors.Jump)) {
            Image = QImage();
            return QString::fromLocal8Bit(Errors.Message);
        }
        jpeg_create_decompress(&Info);
        Created = true;
        Info.mem->max_memory_to_use = kMaxDecoderMemory;
        Progress.progress_monitor = ProgressMonitor;
        Info.progress = &Progress;
        jpeg_mem_src(&Info, reinterpret_cast<const unsigned char*>(data.constData()),
            static_cast<unsigned long>(data.size()));
        jpeg_read_header(&Info, TRUE);

        // Straight into QImage's 32-bit layout; libjpeg refuses CMYK here
        // ("Unsupported color conversion request"), which no picture of
        // this program is.
        Info.out_color_space = JCS_EXT_BGRX;
        jpeg_calc_output_dimensions(&Info);
        const std::int64_t pixels = std::int64_t(Info.output_width) * Info.output_height;
        if (Info.output_width == 0 || Info.output_height == 0 || pixels > kMaxPixels)
            return QStringLiteral("%1 x %2 pixels is beyond what a picture may have")
                .arg(Info.output_width)
                .arg(Info.output_height);

        Image = QImage(
            static_cast<int>(Info.output_width), static_cast<int>(Info.output_height), QImage::Format_RGB32);
        if (Image.isNull())
            return QStringLiteral("out of memory for %1 x %2 pixels")
                .arg(Info.output_width)
                .arg(Info.output_height);
        jpeg_start_decompress(&Info);
        if (Info.output_components != 4)
            return QStringLiteral("unexpected colour layout");
        while (Info.output_scanline < Info.output_height) {
            const int y = static_cast<int>(Info.output_scanline);
            JSAMPROW line = Image.scanLine(y);
            if (jpeg_read_scanlines(&Info, &line, 1) != 1)
                return QStringLiteral("no scan line read");
        }
        jpeg_finish_decompress(&Info);
        return QString();
    }
};

QByteArray ReadStored(QIODevice& stream, qint64 count)
{
    QByteArray bytes = stream.read(count);
    if (bytes.size() != count)
        throw EInvalidGraphic(InvalidText(QStringLiteral("stored size beyond the data")));
    return bytes;
}

void WriteExactly(QIODevice& stream, const QByteArray& bytes)
{
    if (stream.write(bytes) != bytes.size())
        throw EWriteError(QStringLiteral("Stream write error"));
}

} // namespace

QImage DecodeJpeg(const QByteArray& data)
{
    if (data.isEmpty())
        throw EInvalidGraphic(InvalidText(QStringLiteral("no data")));
    TDecoder decoder;
    const QString error = decoder.Run(data);
    if (!error.isEmpty())
        throw EInvalidGraphic(InvalidText(error));
    return decoder.Image;
}

void RegisterJPEGImage()
{
    static std::once_flag once;
    // The registry keeps one file extension per class: ".jpg" is the one
    // pictures of this program use.
    std::call_once(once, [] {
        RegisterGraphicClass(
            QStringLiteral("TJPEGImage"), QStringLiteral("jpg"), [] { return new TJPEGImage; });
    });
}

namespace {
// Programs that link the JPEG picture can read it from stored forms without
// asking first.
const bool kJpegRegistered = (RegisterJPEGImage(), true);
} // namespace

// ---------------------------------------------------------------------------
// TJPEGImage

TJPEGImage::TJPEGImage() = default;

TJPEGImage::~TJPEGImage() = default;

void TJPEGImage::Assign(TPersistent* source)
{
    if (source == nullptr) {
        FData.clear();
        FImage = QImage();
        Changed();
        return;
    }
    if (auto* picture = qobject_cast<TPicture*>(source)) {
        if (auto* jpeg = qobject_cast<TJPEGImage*>(picture->Graphic())) {
            Assign(jpeg);
            return;
        }
    }
    if (auto* jpeg = qobject_cast<TJPEGImage*>(source)) {
        if (jpeg == this)
            return;
        FData = jpeg->FData;
        FImage = jpeg->FImage;
        Changed();
        return;
    }
    TGraphic::Assign(source);
}

void TJPEGImage::AssignTo(TPersistent* dest)
{
    if (auto* bitmap = qobject_cast<TBitmap*>(dest)) {
        bitmap->SetImage(FImage.isNull() ? QImage() : FImage.convertToFormat(QImage::Format_BGR888), pf24bit);
        return;
    }
    TGraphic::AssignTo(dest);
}

void TJPEGImage::LoadFromStream(QIODevice& stream)
{
    const QByteArray data = stream.readAll();
    QImage image = DecodeJpeg(data);
    FData = data;
    FImage = std::move(image);
    Changed();
}

void TJPEGImage::SaveToStream(QIODevice& stream)
{
    if (!FData.isEmpty())
        WriteExactly(stream, FData);
}

void TJPEGImage::Draw(TCanvas* canvas, const TRect& rect)
{
    if (!canvas || FImage.isNull())
        return;
    canvas->DrawImage(rect, FImage, canvas->CopyMode());
}

void TJPEGImage::ReadData(QIODevice& stream)
{
    const QByteArray sizeBytes = ReadStored(stream, 4);
    std::uint32_t size = 0;
    for (int i = 3; i >= 0; --i)
        size = (size << 8) | static_cast<std::uint8_t>(sizeBytes[i]);
    if (!stream.isSequential() && size > static_cast<std::uint64_t>(stream.bytesAvailable()))
        throw EInvalidGraphic(InvalidText(QStringLiteral("stored size beyond the data")));
    QByteArray data = ReadStored(stream, size);
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    LoadFromStream(buffer);
}

void TJPEGImage::WriteData(QIODevice& stream)
{
    QByteArray sizeBytes(4, '\0');
    const auto size = static_cast<std::uint32_t>(FData.size());
    for (int i = 0; i < 4; ++i)
        sizeBytes[i] = static_cast<char>((size >> (8 * i)) & 0xFF);
    WriteExactly(stream, sizeBytes);
    WriteExactly(stream, FData);
}
