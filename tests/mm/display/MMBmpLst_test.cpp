#include "mm/core/MMObsrv.h"
#include "mm/display/MMBmpLst.h"
#include "mm/display/MMLZRW1.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/FormWriter.h"
#include "support/FormText.h"

#include <QBuffer>
#include <gtest/gtest.h>
#include <vector>

namespace {

class TListForm : public TComponent {
    Q_OBJECT
public:
    using TComponent::TComponent;
};

quint32 U32(const QByteArray& b, qsizetype at)
{
    return quint32(quint8(b[at])) | quint32(quint8(b[at + 1])) << 8 | quint32(quint8(b[at + 2])) << 16
        | quint32(quint8(b[at + 3])) << 24;
}

QByteArray U32Bytes(quint32 v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char((v >> (8 * i)) & 0xFF);
    return b;
}

QByteArray Save(TMMBitmapList& list)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    list.SaveToStream(buffer);
    return bytes;
}

void Load(TMMBitmapList& list, QByteArray bytes)
{
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    list.LoadFromStream(buffer);
}

QByteArray FileImage(TBitmap& bitmap)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    bitmap.SaveToStream(buffer);
    return bytes;
}

// A picture with something different in every pixel's neighbourhood.
std::unique_ptr<TBitmap> Pattern(int width, int height, TPixelFormat format, int seed)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(
                x, y, qRgb((x * 7 + seed) & 0xFF, (y * 13 + seed * 3) & 0xFF, ((x ^ y) * 5) & 0xFF));
    auto bitmap = std::make_unique<TBitmap>();
    bitmap->SetImage(image, pf32bit);
    bitmap->SetPixelFormat(format);
    return bitmap;
}

void ExpectSamePixels(TBitmap& a, TBitmap& b, const char* what)
{
    ASSERT_EQ(a.Width(), b.Width()) << what;
    ASSERT_EQ(a.Height(), b.Height()) << what;
    const QImage& ia = a.Image();
    const QImage& ib = b.Image();
    int differing = 0;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x)
            if ((ia.pixel(x, y) & 0xFFFFFF) != (ib.pixel(x, y) & 0xFFFFFF))
                ++differing;
    EXPECT_EQ(differing, 0) << what;
}

class MMBmpLstTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { RegisterClass<TListForm>(); }

    // Three bitmaps of different layouts; the 24-bit one is larger than one
    // compressed block, so its image spans several blocks.
    void Fill(TMMBitmapList& list)
    {
        std::vector<std::unique_ptr<TBitmap>> originals;
        originals.push_back(Pattern(40, 30, pf24bit, 1));
        originals.push_back(Pattern(130, 90, pf24bit, 2));
        originals.push_back(Pattern(17, 9, pf8bit, 3));
        originals.push_back(Pattern(33, 5, pf1bit, 4));
        for (auto& b : originals)
            list.Add(b.get());
        Originals = std::move(originals);
    }

    std::vector<std::unique_ptr<TBitmap>> Originals;
};

} // namespace

TEST_P(MMBmpLstTest, StreamReadsBackPixelForPixel)
{
    TMMBitmapList list(nullptr);
    list.SetCompressed(GetParam());
    Fill(list);
    ASSERT_EQ(list.Count(), 4);
    const QByteArray bytes = Save(list);
    EXPECT_EQ(bytes.left(4), QByteArray(GetParam() ? "MBMC" : "MBML"));
    EXPECT_EQ(U32(bytes, 4), 4u);

    TMMBitmapList back(nullptr);
    Load(back, bytes);
    ASSERT_EQ(back.Count(), 4);
    // What was read is written again byte for byte (before reading through
    // Bitmaps switches the handle type, and so the layout).
    back.SetCompressed(GetParam());
    EXPECT_EQ(Save(back), bytes);
    for (int i = 0; i < 4; ++i)
        ExpectSamePixels(*list.Bitmaps(i), *back.Bitmaps(i), "entry");
    for (int i = 0; i < 4; ++i)
        ExpectSamePixels(*Originals[size_t(i)], *back.Bitmaps(i), "original");
}

TEST_P(MMBmpLstTest, StoredFormCarriesListItems)
{
    TListForm form(nullptr);
    form.SetName("Form1");
    auto* list = new TMMBitmapList(&form);
    list->SetName("Pictures");
    list->SetCompressed(GetParam());
    Fill(*list);
    const QByteArray text = ComponentToText(&form);
    EXPECT_TRUE(text.contains("ListItems = {")) << text.left(300).constData();
    EXPECT_EQ(text.contains("Compressed = True"), GetParam());

    TListForm copy(nullptr);
    tonvara::test::ReadFormText(text, &copy, "list.dfm");
    auto* copyList = copy.FindComponent<TMMBitmapList>("Pictures");
    ASSERT_NE(copyList, nullptr);
    ASSERT_EQ(copyList->Count(), 4);
    EXPECT_EQ(copyList->Compressed(), GetParam());
    for (int i = 0; i < 4; ++i)
        ExpectSamePixels(*list->Bitmaps(i), *copyList->Bitmaps(i), "form");
}

INSTANTIATE_TEST_SUITE_P(PlainAndCompressed, MMBmpLstTest, ::testing::Values(false, true),
    [](const auto& info) { return info.param ? "Compressed" : "Plain"; });

TEST(MMBmpLst, EmptyListWritesNoListItems)
{
    RegisterClass<TListForm>();
    TListForm form(nullptr);
    form.SetName("Form1");
    auto* list = new TMMBitmapList(&form);
    list->SetName("Pictures");
    const QByteArray text = ComponentToText(&form);
    EXPECT_TRUE(text.contains("object Pictures: TMMBitmapList"));
    EXPECT_FALSE(text.contains("ListItems"));
    EXPECT_FALSE(text.contains("Compressed"));
    EXPECT_FALSE(text.contains("HandleType"));
}

TEST(MMBmpLst, PlainEntryIsLengthAndFileImage)
{
    TMMBitmapList list(nullptr);
    auto bitmap = Pattern(5, 3, pf24bit, 9);
    list.Add(bitmap.get());
    const QByteArray image = FileImage(*bitmap);
    const QByteArray bytes = Save(list);
    EXPECT_EQ(bytes, QByteArray("MBML") + U32Bytes(1) + U32Bytes(quint32(image.size())) + image);
}

TEST(MMBmpLst, CompressedEntryIsTotalAndBlocks)
{
    TMMBitmapList list(nullptr);
    list.SetCompressed(true);
    auto bitmap = Pattern(200, 100, pf24bit, 5); // 60054 bytes: two blocks
    list.Add(bitmap.get());
    const QByteArray image = FileImage(*bitmap);
    ASSERT_GT(image.size(), qsizetype(kLZRWBlockSize));
    ASSERT_LE(image.size(), qsizetype(2 * kLZRWBlockSize));
    const QByteArray first = LZRWCompressBlock(image.left(qsizetype(kLZRWBlockSize)));
    const QByteArray second = LZRWCompressBlock(image.mid(qsizetype(kLZRWBlockSize)));
    const QByteArray expected = QByteArray("MBMC") + U32Bytes(1)
        + U32Bytes(quint32(4 + first.size() + 4 + second.size())) + U32Bytes(quint32(first.size())) + first
        + U32Bytes(quint32(second.size())) + second;
    EXPECT_EQ(Save(list), expected);
}

TEST(MMBmpLst, EncodeAndDecodeSeeEveryBlock)
{
    TMMBitmapList list(nullptr);
    list.SetCompressed(true);
    auto bitmap = Pattern(200, 100, pf24bit, 6);
    list.Add(bitmap.get());
    std::vector<unsigned> encoded;
    list.SetOnEncode([&](TObject* sender, char* buffer, unsigned length) {
        EXPECT_EQ(sender, &list);
        encoded.push_back(length);
        for (unsigned i = 0; i < length; ++i)
            buffer[i] = char(buffer[i] ^ 0x5A);
    });
    const QByteArray bytes = Save(list);
    ASSERT_EQ(encoded.size(), 2u);
    // The stored lengths are those the encoder saw; the bytes are scrambled.
    EXPECT_EQ(U32(bytes, 12), encoded[0]);
    EXPECT_NE(quint8(bytes[16]), 0x40);

    TMMBitmapList back(nullptr);
    std::vector<unsigned> decoded;
    back.SetOnDecode([&](TObject*, char* buffer, unsigned length) {
        decoded.push_back(length);
        for (unsigned i = 0; i < length; ++i)
            buffer[i] = char(buffer[i] ^ 0x5A);
    });
    Load(back, bytes);
    EXPECT_EQ(decoded, encoded);
    ASSERT_EQ(back.Count(), 1);
    ExpectSamePixels(*bitmap, *back.Bitmaps(0), "decoded");
}

TEST(MMBmpLst, UnknownMagicLeavesAnEmptyListAndClosesTheBracket)
{
    TMMBitmapList list(nullptr);
    auto bitmap = Pattern(4, 4, pf24bit, 1);
    list.Add(bitmap.get());
    int changing = 0;
    int changed = 0;
    list.SetOnChanging([&](TObject*) { ++changing; });
    list.SetOnChange([&](TObject*) { ++changed; });
    try {
        Load(list, QByteArray("MBMX") + U32Bytes(0));
        FAIL() << "no exception";
    } catch (const EStreamError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Invalid BitmapList stream"));
    }
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(changing, 1);
    EXPECT_EQ(changed, 1);
    // The bracket is closed: the next change notifies at once.
    list.Add(bitmap.get());
    EXPECT_EQ(changed, 2);
}

TEST(MMBmpLst, TruncatedStreamKeepsTheEntriesReadSoFar)
{
    TMMBitmapList list(nullptr);
    auto a = Pattern(6, 6, pf24bit, 1);
    auto b = Pattern(7, 7, pf24bit, 2);
    list.Add(a.get());
    list.Add(b.get());
    for (bool compressed : { false, true }) {
        list.SetCompressed(compressed);
        const QByteArray bytes = Save(list);
        TMMBitmapList back(nullptr);
        EXPECT_THROW(Load(back, bytes.left(bytes.size() - 3)), EReadError) << compressed;
        ASSERT_EQ(back.Count(), 1) << compressed;
        ExpectSamePixels(*a, *back.Bitmaps(0), "first");
    }
}

TEST(MMBmpLst, CorruptBlocksAndLengthsAreErrors)
{
    TMMBitmapList list(nullptr);
    // A block reaching back before its start.
    const QByteArray copyBack = QByteArray("\x40\x80\x00\x00\x10", 5);
    EXPECT_THROW(
        Load(list, QByteArray("MBMC") + U32Bytes(1) + U32Bytes(9) + U32Bytes(5) + copyBack), EStreamError);
    // A block longer than its entry's total.
    EXPECT_THROW(
        Load(list, QByteArray("MBMC") + U32Bytes(1) + U32Bytes(8) + U32Bytes(5) + copyBack), EStreamError);
    // A total that leaves less than a block header.
    EXPECT_THROW(
        Load(list, QByteArray("MBMC") + U32Bytes(1) + U32Bytes(2) + QByteArray(2, '\0')), EStreamError);
    // A block length beyond any block.
    EXPECT_THROW(Load(list, QByteArray("MBMC") + U32Bytes(1) + U32Bytes(0xFFFFFFF0u) + U32Bytes(0xFFFFFF00u)),
        EStreamError);
    // A plain entry claiming 4 GiB ends in a read error, not in an allocation.
    EXPECT_THROW(Load(list, QByteArray("MBML") + U32Bytes(1) + U32Bytes(0xFFFFFFFFu) + QByteArray(10, 'x')),
        EReadError);
    // Bytes that are no bitmap.
    EXPECT_THROW(Load(list, QByteArray("MBML") + U32Bytes(1) + U32Bytes(4) + QByteArray("junk")), Exception);
    EXPECT_EQ(list.Count(), 0);
}

TEST(MMBmpLst, EmptyBitmapRoundTrips)
{
    TMMBitmapList list(nullptr);
    TBitmap empty;
    list.Add(&empty);
    for (bool compressed : { false, true }) {
        list.SetCompressed(compressed);
        TMMBitmapList back(nullptr);
        Load(back, Save(list));
        ASSERT_EQ(back.Count(), 1);
        EXPECT_TRUE(back.Bitmaps(0)->Empty());
    }
}

TEST(MMBmpLst, BmpLoadedReportsTheStoredBitmaps)
{
    TMMBitmapList list(nullptr);
    auto a = Pattern(3, 3, pf24bit, 1);
    auto b = Pattern(5, 2, pf24bit, 2);
    list.Add(a.get());
    list.Add(b.get());
    TMMBitmapList back(nullptr);
    std::vector<TBitmap*> loaded;
    back.SetOnBmpLoaded([&](TObject* sender, TBitmap* bmp) {
        EXPECT_EQ(sender, &back);
        loaded.push_back(bmp);
    });
    Load(back, Save(list));
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded[0], back.Bitmaps(0));
    EXPECT_EQ(loaded[1], back.Bitmaps(1));
    EXPECT_EQ(loaded[1]->Width(), 5);
}

TEST(MMBmpLst, ChangesNotifyOnceAndBracketsOnce)
{
    TMMBitmapList list(nullptr);
    int changing = 0;
    int changed = 0;
    list.SetOnChanging([&](TObject*) { ++changing; });
    list.SetOnChange([&](TObject*) { ++changed; });
    auto bitmap = Pattern(4, 4, pf24bit, 1);

    EXPECT_EQ(list.Add(bitmap.get()), 0);
    EXPECT_EQ(changing, 1);
    EXPECT_EQ(changed, 1);
    // The list keeps a copy: changing the original is no change of the list.
    bitmap->SetWidth(9);
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(list.Bitmaps(0)->Width(), 4);
    // Changing the stored one is.
    list.Bitmaps(0)->SetWidth(6);
    EXPECT_EQ(changed, 2);
    // A handle-type switch on reading is not.
    list.SetHandleType(bmDIB);
    EXPECT_EQ(list.Bitmaps(0)->HandleType(), bmDIB);
    EXPECT_EQ(changed, 2);

    list.BeginUpdate();
    list.BeginUpdate();
    list.Add(bitmap.get());
    list.Add(bitmap.get());
    list.Delete(0);
    list.EndUpdate();
    EXPECT_EQ(changed, 2);
    list.EndUpdate();
    EXPECT_EQ(changing, 2);
    EXPECT_EQ(changed, 3);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Bitmaps(0)->Width(), 9);

    list.Clear();
    EXPECT_EQ(changed, 4);
    EXPECT_EQ(list.Count(), 0);
}

TEST(MMBmpLst, ChangesInsideHandlersNotifyNobody)
{
    TMMBitmapList list(nullptr);
    auto bitmap = Pattern(2, 2, pf24bit, 1);
    int changed = 0;
    list.SetOnChange([&](TObject*) {
        ++changed;
        if (list.Count() < 3)
            list.Add(bitmap.get());
    });
    list.Add(bitmap.get());
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(list.Count(), 2);
}

TEST(MMBmpLst, ObserversHearChangesLastAttachedFirst)
{
    TMMBitmapList list(nullptr);
    TMMObserver first;
    TMMObserver second;
    std::vector<int> order;
    first.SetOnNotify([&](TObject*, TObject* data) {
        EXPECT_EQ(data, &list);
        order.push_back(1);
    });
    second.SetOnNotify([&](TObject*, TObject*) { order.push_back(2); });
    list.AddObserver(&first);
    list.AddObserver(&second);
    auto bitmap = Pattern(2, 2, pf24bit, 1);
    list.Add(bitmap.get());
    EXPECT_EQ(order, (std::vector<int> { 2, 1 }));
    list.RemoveObserver(&second);
    list.Delete(0);
    EXPECT_EQ(order, (std::vector<int> { 2, 1, 1 }));
}

TEST(MMBmpLst, IndexOutsideTheListIsAListError)
{
    TMMBitmapList list(nullptr);
    auto bitmap = Pattern(2, 2, pf24bit, 1);
    list.Add(bitmap.get());
    try {
        list.Bitmaps(1);
        FAIL() << "no exception";
    } catch (const EListError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("List index out of bounds (1)"));
    }
    EXPECT_THROW(list.Bitmaps(-1), EListError);
    EXPECT_THROW(list.Delete(3), EListError);
    EXPECT_THROW(list.Insert(2, bitmap.get()), EListError);
    EXPECT_THROW(list.SetBitmaps(1, bitmap.get()), EListError);
}

TEST(MMBmpLst, WritingASlotCopiesTheImage)
{
    TMMBitmapList list(nullptr);
    auto a = Pattern(2, 2, pf24bit, 1);
    auto b = Pattern(8, 3, pf24bit, 2);
    list.Add(a.get());
    int changing = 0;
    int changed = 0;
    list.SetOnChanging([&](TObject*) { ++changing; });
    list.SetOnChange([&](TObject*) { ++changed; });
    TBitmap* stored = list.Bitmaps(0);
    list.SetBitmaps(0, b.get());
    EXPECT_EQ(list.Bitmaps(0), stored);
    EXPECT_EQ(changing, 1);
    EXPECT_EQ(changed, 1);
    ExpectSamePixels(*b, *list.Bitmaps(0), "slot");
}

TEST(MMBmpLst, AssignCopiesBitmapsAndCompression)
{
    TMMBitmapList source(nullptr);
    source.SetCompressed(true);
    auto a = Pattern(3, 2, pf24bit, 1);
    auto b = Pattern(2, 3, pf24bit, 2);
    source.Add(a.get());
    source.Add(b.get());
    TMMBitmapList target(nullptr);
    target.Add(b.get());
    int changed = 0;
    target.SetOnChange([&](TObject*) { ++changed; });
    target.Assign(&source);
    EXPECT_EQ(changed, 1);
    EXPECT_TRUE(target.Compressed());
    ASSERT_EQ(target.Count(), 2);
    EXPECT_NE(target.Bitmaps(0), source.Bitmaps(0));
    ExpectSamePixels(*a, *target.Bitmaps(0), "a");
    ExpectSamePixels(*b, *target.Bitmaps(1), "b");
    target.Assign(nullptr);
    EXPECT_EQ(target.Count(), 0);
    TBitmap notAList;
    EXPECT_THROW(target.Assign(&notAList), EConvertError);
}

#include "MMBmpLst_test.moc"
