#include "mm/display/MMBmpLst.h"

#include "mm/core/MMObsrv.h"
#include "mm/display/MMLZRW1.h"
#include "platform/ui/SysUtils.h"

#include <QBuffer>
#include <QIODevice>
#include <algorithm>
#include <cstdint>
#include <mutex>

namespace {

constexpr char kMagicPlain[4] = { 'M', 'B', 'M', 'L' };
constexpr char kMagicCompressed[4] = { 'M', 'B', 'M', 'C' };

// Reads of lengths taken from the stream grow the buffer only as far as the
// bytes actually arrive, so a hostile length cannot demand memory.
constexpr qint64 kReadChunk = 64 * 1024;

/// Restores a counter on every way out of a scope.
class TCounterRaise {
public:
    explicit TCounterRaise(int& counter)
        : FCounter(counter)
    {
        ++FCounter;
    }
    ~TCounterRaise() { --FCounter; }
    TCounterRaise(const TCounterRaise&) = delete;
    TCounterRaise& operator=(const TCounterRaise&) = delete;

private:
    int& FCounter;
};

[[noreturn]] void ReadError()
{
    throw EReadError(QStringLiteral("Stream read error"));
}

[[noreturn]] void CorruptBlock(const QString& reason)
{
    throw EStreamError(QStringLiteral("Corrupt BitmapList block: ") + reason);
}

QByteArray ReadExact(QIODevice& stream, quint64 count)
{
    QByteArray out;
    while (quint64(out.size()) < count) {
        const qint64 want = qint64(std::min<quint64>(count - quint64(out.size()), quint64(kReadChunk)));
        const qsizetype at = out.size();
        out.resize(at + want);
        const qint64 got = stream.read(out.data() + at, want);
        if (got <= 0)
            ReadError();
        out.resize(at + got);
    }
    return out;
}

quint32 ReadU32(QIODevice& stream)
{
    const QByteArray bytes = ReadExact(stream, 4);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    return quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16) | (quint32(p[3]) << 24);
}

void AppendU32(QByteArray& out, quint32 value)
{
    const char bytes[4] = { char(value & 0xFF), char((value >> 8) & 0xFF), char((value >> 16) & 0xFF),
        char((value >> 24) & 0xFF) };
    out.append(bytes, 4);
}

void WriteAll(QIODevice& stream, const QByteArray& bytes)
{
    if (stream.write(bytes) != bytes.size())
        throw EWriteError(QStringLiteral("Stream write error"));
}

QByteArray FileImage(TBitmap* bitmap)
{
    QByteArray image;
    QBuffer buffer(&image);
    buffer.open(QIODevice::WriteOnly);
    bitmap->SaveToStream(buffer);
    return image;
}

} // namespace

void RegisterBitmapListClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterClass<TMMBitmapList>();
        RegisterEventType<TEncodeEvent>();
        RegisterEventType<TLoadedEvent>();
    });
}

namespace {
[[maybe_unused]] const bool kRegistered = (RegisterBitmapListClasses(), true);
} // namespace

TMMBitmapList::TMMBitmapList(TComponent* owner)
    : TMMNonVisualComponent(owner)
    , FObservable(std::make_unique<TMMObservable>())
{
    RegisterBitmapListClasses();
}

TMMBitmapList::~TMMBitmapList()
{
    FOnChange = nullptr;
    FOnChanging = nullptr;
    FOnEncode = nullptr;
    FOnDecode = nullptr;
    FOnBmpLoaded = nullptr;
    Clear();
    // Detaching the observers here, while the list is whole, lets a panel
    // that hears of the list's removal afterwards simply forget it.
    FObservable.reset();
}

TBitmap* TMMBitmapList::CheckedItem(int index) const
{
    if (index < 0 || index >= Count())
        throw EListError(QStringLiteral("List index out of bounds (%1)").arg(index));
    return FList[index];
}

TBitmap* TMMBitmapList::Bitmaps(int index)
{
    TBitmap* bitmap = CheckedItem(index);
    TCounterRaise quiet(FUpdateCount);
    bitmap->SetHandleType(FHandleType);
    return bitmap;
}

void TMMBitmapList::SetBitmaps(int index, TBitmap* bitmap)
{
    TBitmap* slot = CheckedItem(index);
    BeginUpdate();
    try {
        slot->Assign(bitmap);
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

int TMMBitmapList::Add(TBitmap* bitmap)
{
    const int index = Count();
    Insert(index, bitmap);
    return index;
}

void TMMBitmapList::Insert(int index, TBitmap* bitmap)
{
    if (index < 0 || index > Count())
        throw EListError(QStringLiteral("List index out of bounds (%1)").arg(index));
    Changing();
    auto copy = std::make_unique<TBitmap>();
    copy->Assign(bitmap);
    copy->SetOnChange([this](TObject*) { Changed(); });
    FList.insert(index, copy.release());
    Changed();
}

void TMMBitmapList::Delete(int index)
{
    TBitmap* bitmap = CheckedItem(index);
    Changing();
    FList.removeAt(index);
    bitmap->SetOnChange(nullptr);
    delete bitmap;
    Changed();
}

void TMMBitmapList::Clear()
{
    BeginUpdate();
    try {
        for (int i = Count() - 1; i >= 0; --i)
            Delete(i);
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

void TMMBitmapList::AddList(TMMBitmapList* source)
{
    if (source == nullptr)
        return;
    BeginUpdate();
    try {
        // The count is taken first so that adding a list to itself doubles
        // it instead of running forever.
        const int count = source->Count();
        for (int i = 0; i < count; ++i)
            Add(source->Bitmaps(i));
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

void TMMBitmapList::Assign(TPersistent* source)
{
    if (source == nullptr) {
        Clear();
        return;
    }
    auto* other = qobject_cast<TMMBitmapList*>(source);
    if (other == nullptr) {
        TMMNonVisualComponent::Assign(source);
        return;
    }
    if (other == this)
        return;
    BeginUpdate();
    try {
        Clear();
        AddList(other);
        SetCompressed(other->Compressed());
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

void TMMBitmapList::BeginUpdate()
{
    if (FUpdateCount == 0)
        SetUpdateState(true);
    ++FUpdateCount;
}

void TMMBitmapList::EndUpdate()
{
    --FUpdateCount;
    if (FUpdateCount == 0)
        SetUpdateState(false);
}

void TMMBitmapList::SetUpdateState(bool updating)
{
    if (updating)
        Changing();
    else
        Changed();
}

void TMMBitmapList::Changing()
{
    if (FUpdateCount == 0 && FOnChanging)
        FOnChanging(this);
}

void TMMBitmapList::Changed()
{
    if (FUpdateCount != 0)
        return;
    TCounterRaise quiet(FUpdateCount);
    if (FObservable)
        FObservable->NotifyObservers(this);
    if (FOnChange)
        FOnChange(this);
}

void TMMBitmapList::AddObserver(TMMObserver* observer)
{
    if (FObservable)
        FObservable->AddObserver(observer);
}

void TMMBitmapList::RemoveObserver(TMMObserver* observer)
{
    if (FObservable)
        FObservable->RemoveObserver(observer);
}

void TMMBitmapList::DefineProperties(TFiler* filer)
{
    TMMNonVisualComponent::DefineProperties(filer);
    filer->DefineBinaryProperty(
        QStringLiteral("ListItems"), [this](QIODevice& stream) { ReadData(stream); },
        [this](QIODevice& stream) { WriteData(stream); }, Count() > 0);
}

void TMMBitmapList::ReadData(QIODevice& stream)
{
    LoadFromStream(stream);
}

void TMMBitmapList::WriteData(QIODevice& stream)
{
    SaveToStream(stream);
}

void TMMBitmapList::LoadFromStream(QIODevice& stream)
{
    BeginUpdate();
    try {
        Clear();
        const QByteArray magic = ReadExact(stream, 4);
        bool compressed = false;
        if (magic == QByteArray(kMagicCompressed, 4))
            compressed = true;
        else if (magic != QByteArray(kMagicPlain, 4))
            throw EStreamError(QStringLiteral("Invalid BitmapList stream"));
        const quint32 count = ReadU32(stream);
        for (quint32 i = 0; i < count; ++i)
            ReadEntry(stream, compressed);
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

void TMMBitmapList::ReadEntry(QIODevice& stream, bool compressed)
{
    QByteArray image;
    if (!compressed) {
        image = ReadExact(stream, ReadU32(stream));
    } else {
        quint64 remaining = ReadU32(stream);
        while (remaining > 0) {
            if (remaining < 4)
                CorruptBlock(QStringLiteral("block header past the end of the entry"));
            const quint32 length = ReadU32(stream);
            remaining -= 4;
            if (length > remaining)
                CorruptBlock(QStringLiteral("block past the end of the entry"));
            if (length > kLZRWMaxCompressedSize)
                CorruptBlock(QStringLiteral("block of %1 bytes").arg(length));
            QByteArray block = ReadExact(stream, length);
            remaining -= length;
            if (FOnDecode)
                FOnDecode(this, block.data(), length);
            const char* error = nullptr;
            if (!LZRWDecompressBlock(reinterpret_cast<const unsigned char*>(block.constData()),
                    std::size_t(block.size()), image, error))
                CorruptBlock(QString::fromLatin1(error));
        }
    }

    // An empty bitmap writes an empty image; it reads back as one.
    TBitmap bitmap;
    if (!image.isEmpty()) {
        QBuffer buffer(&image);
        buffer.open(QIODevice::ReadOnly);
        bitmap.LoadFromStream(buffer);
    }
    const int index = Add(&bitmap);
    if (FOnBmpLoaded)
        FOnBmpLoaded(this, FList[index]);
}

void TMMBitmapList::SaveToStream(QIODevice& stream)
{
    BeginUpdate();
    try {
        QByteArray head(FCompressed ? kMagicCompressed : kMagicPlain, 4);
        AppendU32(head, quint32(Count()));
        WriteAll(stream, head);
        for (int i = 0; i < Count(); ++i)
            WriteEntry(stream, FList[i]);
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

void TMMBitmapList::WriteEntry(QIODevice& stream, TBitmap* bitmap)
{
    const QByteArray image = FileImage(bitmap);
    QByteArray entry;
    if (!FCompressed) {
        AppendU32(entry, quint32(image.size()));
        entry += image;
    } else {
        QByteArray blocks;
        const auto* data = reinterpret_cast<const unsigned char*>(image.constData());
        const std::size_t size = std::size_t(image.size());
        for (std::size_t at = 0; at < size; at += kLZRWBlockSize) {
            QByteArray block = LZRWCompressBlock(data + at, std::min(kLZRWBlockSize, size - at));
            const auto length = quint32(block.size());
            AppendU32(blocks, length);
            if (FOnEncode)
                FOnEncode(this, block.data(), length);
            blocks += block;
        }
        AppendU32(entry, quint32(blocks.size()));
        entry += blocks;
    }
    WriteAll(stream, entry);
}
