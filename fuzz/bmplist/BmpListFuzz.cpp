// The bitmap-list stream reader and the LZRW1 block decompressor on
// arbitrary bytes. Whatever the input:
// - the decompressor either refuses the block or yields at most one block of
//   output, and what it yields compresses into a block that decodes to the
//   same bytes;
// - reading a list ends in success or in one of the documented exceptions
//   (EStreamError and its descendants, EInvalidGraphic), never in a crash,
//   another exception or an out-of-bounds access; a list that reads writes
//   both stream forms, and each reads back into the same number of bitmaps
//   of the same sizes.
#include "mm/display/MMBmpLst.h"
#include "mm/display/MMLZRW1.h"

#include <QBuffer>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void Check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "bmplist fuzz: %s\n", what);
        std::abort();
    }
}

void FuzzBlock(const uint8_t* data, size_t size)
{
    QByteArray out;
    const char* error = nullptr;
    if (!LZRWDecompressBlock(data, size, out, error)) {
        Check(out.isEmpty(), "a refused block changed the output");
        Check(error != nullptr, "a refused block gave no reason");
        return;
    }
    Check(std::size_t(out.size()) <= kLZRWBlockSize, "a block decoded to more than a block");
    const QByteArray packed = LZRWCompressBlock(out);
    Check(std::size_t(packed.size()) <= kLZRWMaxCompressedSize,
        "a block compressed to more than a stored block");
    QByteArray again;
    Check(LZRWDecompressBlock(reinterpret_cast<const unsigned char*>(packed.constData()),
              std::size_t(packed.size()), again, error),
        "a compressed block does not decode");
    Check(again == out, "a compressed block decodes to other bytes");
}

QByteArray Save(TMMBitmapList& list, bool compressed)
{
    list.SetCompressed(compressed);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    list.SaveToStream(buffer);
    return bytes;
}

void FuzzList(const uint8_t* data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    TMMBitmapList list(nullptr);
    try {
        list.LoadFromStream(buffer);
    } catch (const EStreamError&) {
        return;
    } catch (const EInvalidGraphic&) {
        return;
    }
    for (bool compressed : { false, true }) {
        QByteArray written = Save(list, compressed);
        QBuffer in(&written);
        in.open(QIODevice::ReadOnly);
        TMMBitmapList back(nullptr);
        back.LoadFromStream(in);
        Check(back.Count() == list.Count(), "a written list reads back with another count");
        for (int i = 0; i < list.Count(); ++i) {
            Check(back.Bitmaps(i)->Width() == list.Bitmaps(i)->Width(),
                "a bitmap reads back with another width");
            Check(back.Bitmaps(i)->Height() == list.Bitmaps(i)->Height(),
                "a bitmap reads back with another height");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzBlock(data, size);
    FuzzList(data, size);
    return 0;
}
