#include "platform/ui/Bitmap.h"

#include "platform/ui/BmpFile.h"
#include "platform/ui/Resources.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QPainter>
#include <algorithm>
#include <cstring>

namespace {

struct GraphicClass {
    QString ClassName;
    QString Extension;
    TGraphicFactory Factory;
};

QMutex& RegistryLock()
{
    static QMutex lock;
    return lock;
}

QList<GraphicClass>& Registry()
{
    static QList<GraphicClass> registry = {
        { QStringLiteral("TBitmap"), QStringLiteral("bmp"), [] { return new TBitmap; } },
    };
    return registry;
}

TGraphic* CreateGraphicByClass(const QString& className)
{
    QMutexLocker locker(&RegistryLock());
    for (const GraphicClass& c : Registry())
        if (c.ClassName.compare(className, Qt::CaseInsensitive) == 0)
            return c.Factory();
    return nullptr;
}

TGraphic* CreateGraphicByExtension(const QString& extension)
{
    QMutexLocker locker(&RegistryLock());
    for (const GraphicClass& c : Registry())
        if (c.Extension.compare(extension, Qt::CaseInsensitive) == 0)
            return c.Factory();
    return nullptr;
}

QByteArray ReadExactly(QIODevice& stream, qint64 count)
{
    QByteArray bytes = stream.read(count);
    if (bytes.size() != count)
        throw EReadError(QStringLiteral("Stream read error"));
    return bytes;
}

void WriteExactly(QIODevice& stream, const QByteArray& bytes)
{
    if (stream.write(bytes) != bytes.size())
        throw EWriteError(QStringLiteral("Stream write error"));
}

QImage::Format StorageFormat(TPixelFormat format)
{
    switch (format) {
    case pf1bit:
        return QImage::Format_Mono;
    case pf4bit:
    case pf8bit:
        return QImage::Format_Indexed8;
    case pf15bit:
        return QImage::Format_RGB555;
    case pf16bit:
        return QImage::Format_RGB16;
    case pf24bit:
        return QImage::Format_BGR888;
    default:
        return QImage::Format_RGB32;
    }
}

TPixelFormat FormatOfImage(const QImage& image)
{
    switch (image.format()) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        return pf1bit;
    case QImage::Format_Indexed8:
        return image.colorCount() <= 16 && image.colorCount() > 0 ? pf4bit : pf8bit;
    case QImage::Format_RGB555:
        return pf15bit;
    case QImage::Format_RGB16:
        return pf16bit;
    case QImage::Format_BGR888:
    case QImage::Format_RGB888:
        return pf24bit;
    default:
        return pf32bit;
    }
}

int BitsOf(TPixelFormat format)
{
    switch (format) {
    case pf1bit:
        return 1;
    case pf4bit:
        return 4;
    case pf8bit:
        return 8;
    case pf15bit:
        return 15;
    case pf16bit:
        return 16;
    case pf24bit:
        return 24;
    default:
        return 32;
    }
}

QList<QRgb> StandardColorTable(TPixelFormat format)
{
    return BmpStandardColorTable(format == pf1bit ? 1 : format == pf4bit ? 4 : 8);
}

int TableSize(TPixelFormat format)
{
    return format == pf1bit ? 2 : format == pf4bit ? 16 : 256;
}

bool IsIndexed(TPixelFormat format)
{
    return format == pf1bit || format == pf4bit || format == pf8bit;
}

int NearestIndex(const QList<QRgb>& table, QRgb color)
{
    int best = 0;
    long bestDistance = -1;
    for (int i = 0; i < table.size(); ++i) {
        const long dr = qRed(table[i]) - qRed(color);
        const long dg = qGreen(table[i]) - qGreen(color);
        const long db = qBlue(table[i]) - qBlue(color);
        const long distance = dr * dr + dg * dg + db * db;
        if (bestDistance < 0 || distance < bestDistance) {
            best = i;
            bestDistance = distance;
            if (distance == 0)
                break;
        }
    }
    return best;
}

// Converts an image to the storage of Format; indexed formats keep a table
// of the right size (the image's own when it has one).
QImage ToStorage(const QImage& image, TPixelFormat format)
{
    const QImage::Format target = StorageFormat(format);
    if (!IsIndexed(format))
        return image.format() == target ? image : image.convertToFormat(target);
    QList<QRgb> table = image.colorTable();
    if (table.size() != TableSize(format))
        table = StandardColorTable(format);
    if (image.format() == target && image.colorTable() == table)
        return image;
    QImage indexed = image.format() == QImage::Format_Indexed8 || image.format() == QImage::Format_Mono
        ? image.convertToFormat(QImage::Format_RGB32)
        : image;
    QImage result(image.size(), QImage::Format_Indexed8);
    result.setColorTable(table);
    QHash<QRgb, int> cache;
    for (int y = 0; y < indexed.height(); ++y) {
        uchar* line = result.scanLine(y);
        for (int x = 0; x < indexed.width(); ++x) {
            const QRgb c = indexed.pixel(x, y) | 0xFF000000u;
            auto it = cache.find(c);
            if (it == cache.end())
                it = cache.insert(c, NearestIndex(table, c));
            line[x] = static_cast<uchar>(*it);
        }
    }
    return format == pf1bit ? result.convertToFormat(QImage::Format_Mono, table) : result;
}

QImage BlankImage(int width, int height, TPixelFormat format, const QList<QRgb>& table)
{
    QImage image(width, height, StorageFormat(format));
    if (image.isNull())
        throw EOutOfMemory(QStringLiteral("Out of memory"));
    if (IsIndexed(format)) {
        QList<QRgb> colors = table.size() == TableSize(format) ? table : StandardColorTable(format);
        image.setColorTable(colors);
        image.fill(static_cast<uint>(NearestIndex(colors, qRgb(255, 255, 255))));
    } else {
        image.fill(Qt::white);
    }
    return image;
}

} // namespace

// A bitmap's canvas: paints on the bitmap through the bitmap's painter.
class TBitmapCanvas : public TCanvas {
public:
    explicit TBitmapCanvas(TBitmap* bitmap)
        : FBitmap(bitmap)
    {
    }

    QImage GrabImage(const TRect& src) override
    {
        if (FBitmap->Empty() || IsRectEmpty(src))
            return QImage();
        return FBitmap->Image().copy(ToQRect(src)).convertToFormat(QImage::Format_RGB32);
    }

protected:
    void CreateHandle() override { SetHandle(FBitmap->BeginPaint()); }

    void Changed() override
    {
        FBitmap->CanvasChanged();
        TCanvas::Changed();
    }

private:
    TBitmap* FBitmap;
};

// ---------------------------------------------------------------------------
// TGraphic

TGraphic::TGraphic() = default;

TGraphic::~TGraphic() = default;

void TGraphic::SetTransparent(bool value)
{
    if (FTransparent == value)
        return;
    FTransparent = value;
    Changed();
}

void TGraphic::LoadFromFile(const QString& fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw EFOpenError(QStringLiteral("Cannot open file \"%1\". %2").arg(fileName, file.errorString()));
    LoadFromStream(file);
}

void TGraphic::SaveToFile(const QString& fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw EFCreateError(
            QStringLiteral("Cannot create file \"%1\". %2").arg(fileName, file.errorString()));
    SaveToStream(file);
}

void TGraphic::ReadData(QIODevice& stream)
{
    LoadFromStream(stream);
}

void TGraphic::WriteData(QIODevice& stream)
{
    SaveToStream(stream);
}

void TGraphic::Changed()
{
    if (FOnChange)
        FOnChange(this);
}

void TGraphic::DefineProperties(TFiler* filer)
{
    TPersistent::DefineProperties(filer);
    filer->DefineBinaryProperty(
        QStringLiteral("Data"), [this](QIODevice& stream) { ReadData(stream); },
        [this](QIODevice& stream) { WriteData(stream); }, !Empty());
}

void RegisterGraphicClass(const QString& className, const QString& extension, TGraphicFactory factory)
{
    QMutexLocker locker(&RegistryLock());
    QString ext = extension;
    if (ext.startsWith(QLatin1Char('.')))
        ext.remove(0, 1);
    QList<GraphicClass>& registry = Registry();
    registry.erase(
        std::remove_if(registry.begin(), registry.end(),
            [&](const GraphicClass& c) { return c.ClassName.compare(className, Qt::CaseInsensitive) == 0; }),
        registry.end());
    registry.append({ className, ext, std::move(factory) });
}

// ---------------------------------------------------------------------------
// TBitmap

TBitmap::TBitmap()
{
    RegisterGraphicsTypes();
}

TBitmap::TBitmap(int width, int height, TPixelFormat format)
    : TBitmap()
{
    FPixelFormat = format == pfCustom ? pfDevice : format;
    FHandleType = FPixelFormat == pfDevice ? bmDDB : bmDIB;
    SetSize(width, height);
}

TBitmap::~TBitmap()
{
    EndPaint();
}

void TBitmap::Assign(TPersistent* source)
{
    if (source == nullptr) {
        Replace(QImage(), FPixelFormat);
        return;
    }
    if (auto* picture = qobject_cast<TPicture*>(source)) {
        if (auto* bitmap = qobject_cast<TBitmap*>(picture->Graphic())) {
            Assign(bitmap);
            return;
        }
    }
    auto* bitmap = qobject_cast<TBitmap*>(source);
    if (!bitmap) {
        TGraphic::Assign(source);
        return;
    }
    if (bitmap == this)
        return;
    // A painter may be drawing into the source's pixels: take a copy of its own.
    const QImage image = bitmap->FPainter ? bitmap->Image().copy() : bitmap->Image();
    FTransparentMode = bitmap->FTransparentMode;
    FTransparentColor = bitmap->FTransparentColor;
    FHandleType = bitmap->FHandleType;
    const bool transparent = bitmap->Transparent();
    Replace(image, bitmap->FPixelFormat);
    if (Transparent() != transparent)
        SetTransparent(transparent);
}

TCanvas* TBitmap::Canvas()
{
    if (!FCanvas)
        FCanvas = std::make_unique<TBitmapCanvas>(this);
    return FCanvas.get();
}

bool TBitmap::Empty() const
{
    return FImage.isNull();
}

int TBitmap::Width() const
{
    return FImage.width();
}

int TBitmap::Height() const
{
    return FImage.height();
}

void TBitmap::SetWidth(int value)
{
    SetSize(value, Height());
}

void TBitmap::SetHeight(int value)
{
    SetSize(Width(), value);
}

void TBitmap::SetSize(int width, int height)
{
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (width == Width() && height == Height())
        return;
    SyncImage();
    if (width == 0 || height == 0) {
        Replace(QImage(), FPixelFormat);
        return;
    }
    QImage image = BlankImage(width, height, FPixelFormat, FImage.colorTable());
    if (!FImage.isNull()) {
        const int bits = FImage.depth();
        const int rows = std::min(height, FImage.height());
        if (FImage.format() == QImage::Format_Mono) {
            for (int y = 0; y < rows; ++y)
                for (int x = 0; x < std::min(width, FImage.width()); ++x)
                    image.setPixel(x, y, FImage.pixelIndex(x, y));
        } else {
            const std::size_t bytes = static_cast<std::size_t>(std::min(width, FImage.width())) * (bits / 8);
            for (int y = 0; y < rows; ++y)
                std::memcpy(image.scanLine(y), FImage.constScanLine(y), bytes);
        }
    }
    Replace(image, FPixelFormat);
}

void TBitmap::SetPixelFormat(TPixelFormat value)
{
    if (value == pfCustom || value == FPixelFormat)
        return;
    SyncImage();
    FHandleType = value == pfDevice ? bmDDB : bmDIB;
    Replace(FImage.isNull() ? QImage() : ToStorage(FImage, value), value);
}

TBitmapHandleType TBitmap::HandleType() const
{
    return FPixelFormat == pfDevice ? bmDDB : bmDIB;
}

void TBitmap::SetHandleType(TBitmapHandleType value)
{
    if (value == HandleType())
        return;
    SetPixelFormat(value == bmDDB ? pfDevice : pf32bit);
}

void TBitmap::SetMonochrome(bool value)
{
    if (value == Monochrome())
        return;
    SetPixelFormat(value ? pf1bit : pfDevice);
}

QList<QRgb> TBitmap::Palette() const
{
    return IsIndexed(FPixelFormat) ? FImage.colorTable() : QList<QRgb>();
}

void TBitmap::SetPalette(const QList<QRgb>& table)
{
    if (!IsIndexed(FPixelFormat) || FImage.isNull())
        return;
    // The canvas's working copy shows the old colours: bring its changes in and drop it.
    EndPaint();
    const int count = std::min<int>(static_cast<int>(table.size()), FImage.colorCount());
    for (int i = 0; i < count; ++i)
        FImage.setColor(i, table[i] | 0xFF000000u);
    Changed();
}

int TBitmap::GetPaletteEntries(int start, int count, TPaletteEntry* entries) const
{
    const QList<QRgb> table = Palette();
    int copied = 0;
    for (int i = start; i < start + count && i >= 0 && i < table.size(); ++i, ++copied)
        entries[copied] = TPaletteEntry { static_cast<std::uint8_t>(qRed(table[i])),
            static_cast<std::uint8_t>(qGreen(table[i])), static_cast<std::uint8_t>(qBlue(table[i])), 0 };
    return copied;
}

int TBitmap::SetPaletteEntries(int start, int count, const TPaletteEntry* entries)
{
    QList<QRgb> table = Palette();
    int written = 0;
    for (int i = start; i < start + count && i >= 0 && i < table.size(); ++i, ++written)
        table[i] = qRgb(entries[written].peRed, entries[written].peGreen, entries[written].peBlue);
    if (written)
        SetPalette(table);
    return written;
}

TColor TBitmap::TransparentColor()
{
    if (FTransparentMode == tmFixed && FTransparentColor != clDefault)
        return FTransparentColor;
    if (Empty())
        return clDefault;
    return QColorToColor(QColor::fromRgb(Image().pixel(0, Height() - 1)));
}

void TBitmap::SetTransparentColor(TColor value)
{
    if (value == FTransparentColor)
        return;
    FTransparentColor = value;
    FTransparentMode = value == clDefault ? tmAuto : tmFixed;
    Changed();
}

void TBitmap::SetTransparentMode(TTransparentMode value)
{
    if (value == FTransparentMode)
        return;
    if (value == tmAuto)
        SetTransparentColor(clDefault);
    else
        SetTransparentColor(TransparentColor());
}

void* TBitmap::ScanLine(int row)
{
    if (row < 0 || row >= Height())
        throw EInvalidGraphicOperation(QStringLiteral("Scan line index out of range"));
    if (!FWork.isNull())
        EndPaint();
    return FImage.scanLine(row);
}

void TBitmap::Modified()
{
    Changed();
}

const QImage& TBitmap::Image()
{
    SyncImage();
    return FImage;
}

void TBitmap::SetImage(const QImage& image, TPixelFormat format)
{
    if (image.isNull()) {
        Replace(QImage(), FPixelFormat);
        return;
    }
    const TPixelFormat target = format == pfCustom ? FormatOfImage(image) : format;
    FHandleType = target == pfDevice ? bmDDB : bmDIB;
    Replace(ToStorage(image, target), target);
}

void TBitmap::LoadFromStream(QIODevice& stream)
{
    const qint64 start = stream.pos();
    const QByteArray bytes = stream.readAll();
    TBmpImage decoded;
    QString error;
    if (!DecodeBmp(reinterpret_cast<const unsigned char*>(bytes.constData()),
            static_cast<std::size_t>(bytes.size()), decoded, error))
        throw EInvalidGraphic(error);
    if (!stream.isSequential())
        stream.seek(start + static_cast<qint64>(decoded.Consumed));
    TPixelFormat format = pf32bit;
    switch (decoded.BitsPerPixel) {
    case 1:
        format = pf1bit;
        break;
    case 4:
        format = pf4bit;
        break;
    case 8:
        format = pf8bit;
        break;
    case 15:
        format = pf15bit;
        break;
    case 16:
        format = pf16bit;
        break;
    case 24:
        format = pf24bit;
        break;
    default:
        break;
    }
    FHandleType = bmDIB;
    Replace(decoded.Image, format);
}

void TBitmap::SaveToStream(QIODevice& stream)
{
    if (Empty())
        return;
    WriteExactly(stream, EncodeBmp(Image(), BitsOf(FPixelFormat)));
}

void TBitmap::LoadFromResourceName(const QString& name)
{
    LoadFromFile(ResourceFile(name, QStringLiteral(".bmp")));
}

void TBitmap::ReadData(QIODevice& stream)
{
    const QByteArray sizeBytes = ReadExactly(stream, 4);
    std::uint32_t size = 0;
    for (int i = 3; i >= 0; --i)
        size = (size << 8) | static_cast<std::uint8_t>(sizeBytes[i]);
    if (!stream.isSequential() && size > static_cast<std::uint64_t>(stream.bytesAvailable()))
        throw EInvalidGraphic(QStringLiteral("Bitmap image is not valid: stored size beyond the data"));
    QByteArray image = ReadExactly(stream, size);
    QBuffer buffer(&image);
    buffer.open(QIODevice::ReadOnly);
    LoadFromStream(buffer);
}

void TBitmap::WriteData(QIODevice& stream)
{
    QByteArray image;
    QBuffer buffer(&image);
    buffer.open(QIODevice::WriteOnly);
    SaveToStream(buffer);
    QByteArray sizeBytes(4, '\0');
    const std::uint32_t size = static_cast<std::uint32_t>(image.size());
    for (int i = 0; i < 4; ++i)
        sizeBytes[i] = static_cast<char>((size >> (8 * i)) & 0xFF);
    WriteExactly(stream, sizeBytes);
    WriteExactly(stream, image);
}

void TBitmap::Draw(TCanvas* canvas, const TRect& rect)
{
    if (!canvas || Empty())
        return;
    const QImage& image = Image();
    if (!Transparent()) {
        canvas->DrawImage(rect, image, canvas->CopyMode());
        return;
    }
    const QRgb key = ColorToQColor(TransparentColor()).rgb() | 0xFF000000u;
    QImage masked = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < masked.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(masked.scanLine(y));
        for (int x = 0; x < masked.width(); ++x)
            if ((line[x] | 0xFF000000u) == key)
                line[x] = 0;
    }
    canvas->DrawImage(rect, masked, cmSrcCopy);
}

void TBitmap::Changed()
{
    TGraphic::Changed();
}

QPainter* TBitmap::BeginPaint()
{
    if (FPainter)
        return FPainter.get();
    if (FImage.isNull())
        return nullptr;
    if (FImage.format() == QImage::Format_RGB32) {
        FPainter = std::make_unique<QPainter>(&FImage);
    } else {
        FWork = FImage.convertToFormat(QImage::Format_RGB32);
        if (IsIndexed(FPixelFormat))
            FSnapshot = FWork.copy();
        FWorkDirty = false;
        FPainter = std::make_unique<QPainter>(&FWork);
    }
    return FPainter.get();
}

void TBitmap::CanvasChanged()
{
    if (!FWork.isNull())
        FWorkDirty = true;
    Changed();
}

void TBitmap::SyncImage()
{
    if (FWork.isNull() || !FWorkDirty)
        return;
    if (IsIndexed(FPixelFormat)) {
        // Only pixels the canvas changed get a new index, so entries of equal
        // colour (animated placeholders, black fillers) keep their identity.
        const QList<QRgb> table = FImage.colorTable();
        QImage indices = FImage.format() == QImage::Format_Mono
            ? FImage.convertToFormat(QImage::Format_Indexed8)
            : FImage;
        QHash<QRgb, int> cache;
        for (int y = 0; y < FWork.height(); ++y) {
            const auto* work = reinterpret_cast<const QRgb*>(FWork.constScanLine(y));
            const auto* before = reinterpret_cast<const QRgb*>(FSnapshot.constScanLine(y));
            uchar* line = nullptr;
            for (int x = 0; x < FWork.width(); ++x) {
                if (work[x] == before[x])
                    continue;
                if (!line)
                    line = indices.scanLine(y);
                const QRgb c = work[x] | 0xFF000000u;
                auto it = cache.find(c);
                if (it == cache.end())
                    it = cache.insert(c, NearestIndex(table, c));
                line[x] = static_cast<uchar>(*it);
            }
        }
        FImage = FImage.format() == QImage::Format_Mono ? indices.convertToFormat(QImage::Format_Mono, table)
                                                        : indices;
        FSnapshot = FWork.copy();
    } else {
        FImage = FWork.convertToFormat(FImage.format());
    }
    FWorkDirty = false;
}

void TBitmap::EndPaint()
{
    SyncImage();
    if (FCanvas)
        FCanvas->SetHandle(nullptr);
    FPainter.reset();
    FWork = QImage();
    FSnapshot = QImage();
    FWorkDirty = false;
}

void TBitmap::Replace(const QImage& image, TPixelFormat format)
{
    EndPaint();
    FImage = image;
    FPixelFormat = format;
    Changed();
}

// ---------------------------------------------------------------------------
// TPicture

TPicture::TPicture(QObject* parent)
    : TPersistent(parent)
{
}

TPicture::~TPicture() = default;

void TPicture::Assign(TPersistent* source)
{
    if (source == nullptr) {
        Adopt(nullptr);
        return;
    }
    if (auto* picture = qobject_cast<TPicture*>(source)) {
        if (picture != this)
            SetGraphic(picture->Graphic());
        return;
    }
    if (auto* graphic = qobject_cast<TGraphic*>(source)) {
        SetGraphic(graphic);
        return;
    }
    TPersistent::Assign(source);
}

void TPicture::SetGraphic(TGraphic* value)
{
    if (!value) {
        Adopt(nullptr);
        return;
    }
    TGraphic* copy = CreateGraphicByClass(value->ClassName());
    if (!copy)
        throw EInvalidGraphic(QStringLiteral("Unknown picture class %1").arg(value->ClassName()));
    try {
        copy->Assign(value);
    } catch (...) {
        delete copy;
        throw;
    }
    Adopt(copy);
}

TBitmap* TPicture::Bitmap()
{
    auto* bitmap = qobject_cast<TBitmap*>(FGraphic.get());
    if (!bitmap) {
        bitmap = new TBitmap;
        Adopt(bitmap);
    }
    return bitmap;
}

void TPicture::SetBitmap(TBitmap* value)
{
    SetGraphic(value);
}

int TPicture::Width() const
{
    return FGraphic ? FGraphic->Width() : 0;
}

int TPicture::Height() const
{
    return FGraphic ? FGraphic->Height() : 0;
}

void TPicture::LoadFromFile(const QString& fileName)
{
    const QString extension = QFileInfo(fileName).suffix();
    TGraphic* graphic = CreateGraphicByExtension(extension);
    if (!graphic)
        throw EInvalidGraphic(QStringLiteral("Unknown picture file extension (.%1)").arg(extension));
    try {
        graphic->LoadFromFile(fileName);
    } catch (...) {
        delete graphic;
        throw;
    }
    Adopt(graphic);
}

void TPicture::SaveToFile(const QString& fileName)
{
    if (FGraphic)
        FGraphic->SaveToFile(fileName);
}

void TPicture::DefineProperties(TFiler* filer)
{
    TPersistent::DefineProperties(filer);
    filer->DefineBinaryProperty(
        QStringLiteral("Data"),
        [this](QIODevice& stream) {
            const QByteArray length = ReadExactly(stream, 1);
            const QString className = QString::fromLatin1(ReadExactly(stream, static_cast<uchar>(length[0])));
            if (className.isEmpty()) {
                Adopt(nullptr);
                return;
            }
            TGraphic* graphic = CreateGraphicByClass(className);
            if (!graphic)
                throw EInvalidGraphic(QStringLiteral("Unknown picture class %1").arg(className));
            try {
                graphic->ReadData(stream);
            } catch (...) {
                delete graphic;
                throw;
            }
            Adopt(graphic);
        },
        [this](QIODevice& stream) {
            const QByteArray className = FGraphic ? FGraphic->ClassName().toLatin1().left(255) : QByteArray();
            WriteExactly(stream, QByteArray(1, static_cast<char>(className.size())) + className);
            if (FGraphic)
                FGraphic->WriteData(stream);
        },
        FGraphic && !FGraphic->Empty());
}

void TPicture::Adopt(TGraphic* graphic)
{
    FGraphic.reset(graphic);
    if (FGraphic)
        FGraphic->SetOnChange([this](TObject*) { Changed(); });
    Changed();
}

void TPicture::Changed()
{
    if (FOnChange)
        FOnChange(this);
}
