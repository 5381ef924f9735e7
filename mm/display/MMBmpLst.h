#pragma once
// TMMBitmapList: a non-visual component holding an ordered list of bitmaps
// that it stores in the form (the binary property "ListItems"), plain or
// compressed, and whose changes it reports to its events and to attached
// observers (a TMMPanelFill repaints through one).
//
// The stored stream, all integers 32-bit little-endian:
//
//     "MBML" or "MBMC"     magic: plain or compressed entries
//     N                    number of bitmaps
//     N entries            plain:      L, then the L bytes of the bitmap's
//                                      BMP file image
//                          compressed: T, then blocks until T bytes are
//                                      used: C, then C bytes of one LZRW1
//                                      block (MMLZRW1.h) holding the next
//                                      at most 32781 bytes of the image
//
// GUI thread.

#include "mm/core/MMObj.h"
#include "platform/ui/Bitmap.h"

#include <QList>
#include <functional>
#include <memory>

class QIODevice;
class TMMObservable;
class TMMObserver;

/// Sees (and may change in place) the bytes of one compressed block: after
/// compression before they are stored, and after they are read before they
/// are decompressed.
using TEncodeEvent = std::function<void(TObject* Sender, char* Buffer, unsigned Length)>;
Q_DECLARE_METATYPE(TEncodeEvent)

/// Reports a bitmap just read from a stream (Bmp: the list's own object).
using TLoadedEvent = std::function<void(TObject* Sender, TBitmap* Bmp)>;
Q_DECLARE_METATYPE(TLoadedEvent)

class TMMBitmapList : public TMMNonVisualComponent {
    Q_OBJECT
    Q_PROPERTY(bool Compressed READ Compressed WRITE SetCompressed)
    Q_CLASSINFO("default:Compressed", "False")
    Q_PROPERTY(UiEnums::TBitmapHandleType HandleType READ HandleType WRITE SetHandleType)
    Q_CLASSINFO("default:HandleType", "bmDDB")
    Q_PROPERTY(TNotifyEvent OnChange READ OnChange WRITE SetOnChange)
    Q_PROPERTY(TNotifyEvent OnChanging READ OnChanging WRITE SetOnChanging)
    Q_PROPERTY(TEncodeEvent OnEncode READ OnEncode WRITE SetOnEncode)
    Q_PROPERTY(TEncodeEvent OnDecode READ OnDecode WRITE SetOnDecode)
    Q_PROPERTY(TLoadedEvent OnBmpLoaded READ OnBmpLoaded WRITE SetOnBmpLoaded)
public:
    explicit TMMBitmapList(TComponent* owner);
    /// Clears the events, deletes the bitmaps (one last notification to the
    /// observers), then detaches every observer.
    ~TMMBitmapList() override;

    /// Number of stored bitmaps.
    int Count() const { return static_cast<int>(FList.size()); }

    /// The stored bitmap at Index (not a copy), switched to HandleType first
    /// without that counting as a change. Raises EListError
    /// "List index out of bounds (<index>)".
    virtual TBitmap* Bitmaps(int index);
    /// Copies Bitmap's image into the stored bitmap at Index (null empties
    /// it), between one Changing and one Changed. The list never keeps the
    /// caller's object. Raises EListError as Bitmaps.
    virtual void SetBitmaps(int index, TBitmap* bitmap);

    /// Insert(Count, Bitmap); returns the new index.
    int Add(TBitmap* bitmap);
    /// Stores a copy of Bitmap (null: an empty bitmap) at Index (0..Count),
    /// between Changing and Changed; later changes of the copy's image count
    /// as changes of the list. Raises EListError outside 0..Count.
    void Insert(int index, TBitmap* bitmap);
    /// Removes and frees the bitmap at Index, between Changing and Changed.
    /// Raises EListError as Bitmaps.
    void Delete(int index);
    /// Deletes every bitmap, last first, inside one update bracket.
    void Clear();
    /// Adds copies of Source's bitmaps in order, inside one update bracket.
    void AddList(TMMBitmapList* source);
    /// Null clears; another list is copied (bitmaps and Compressed) inside
    /// one update bracket; anything else goes to the inherited Assign.
    void Assign(TPersistent* source) override;

    /// A counted bracket: the outermost BeginUpdate raises Changing, the
    /// outermost EndUpdate raises Changed; changes in between are silent.
    void BeginUpdate();
    void EndUpdate();

    /// Raises OnChanging when no bracket is open.
    virtual void Changing();
    /// When no bracket is open: notifies the observers (Data: this list),
    /// then raises OnChange, with the counter raised meanwhile, so changes
    /// made by those handlers notify nobody.
    virtual void Changed();

    /// Attaches Observer (moving it from any other observable); its
    /// notifications come last-attached first.
    void AddObserver(TMMObserver* observer);
    /// Detaches Observer if it is attached here.
    void RemoveObserver(TMMObserver* observer);

    /// Replaces the list by the bitmaps of the stream at Stream's position,
    /// inside one update bracket. Raises EStreamError "Invalid BitmapList
    /// stream" for an unknown magic (the list is then empty), EReadError
    /// "Stream read error" when the stream ends early, EStreamError "Corrupt
    /// BitmapList block: <reason>" for a compressed block that does not
    /// decode, and EInvalidGraphic for an image that is no bitmap; the
    /// bitmaps read before the failure stay in the list.
    void LoadFromStream(QIODevice& stream);
    /// Writes every bitmap in the form Compressed chooses, inside one update
    /// bracket. Raises EWriteError "Stream write error" when the stream
    /// refuses bytes.
    void SaveToStream(QIODevice& stream);

    bool Compressed() const { return FCompressed; }
    void SetCompressed(bool value) { FCompressed = value; }
    TBitmapHandleType HandleType() const { return FHandleType; }
    void SetHandleType(TBitmapHandleType value) { FHandleType = value; }

    TNotifyEvent OnChange() const { return FOnChange; }
    void SetOnChange(TNotifyEvent handler) { FOnChange = std::move(handler); }
    TNotifyEvent OnChanging() const { return FOnChanging; }
    void SetOnChanging(TNotifyEvent handler) { FOnChanging = std::move(handler); }
    TEncodeEvent OnEncode() const { return FOnEncode; }
    void SetOnEncode(TEncodeEvent handler) { FOnEncode = std::move(handler); }
    TEncodeEvent OnDecode() const { return FOnDecode; }
    void SetOnDecode(TEncodeEvent handler) { FOnDecode = std::move(handler); }
    TLoadedEvent OnBmpLoaded() const { return FOnBmpLoaded; }
    void SetOnBmpLoaded(TLoadedEvent handler) { FOnBmpLoaded = std::move(handler); }

protected:
    /// The reader of "ListItems": LoadFromStream.
    virtual void ReadData(QIODevice& stream);
    /// The writer of "ListItems": SaveToStream.
    virtual void WriteData(QIODevice& stream);
    /// True raises Changing, false Changed.
    virtual void SetUpdateState(bool updating);
    /// Declares "ListItems", stored only while the list holds bitmaps.
    void DefineProperties(TFiler* filer) override;

private:
    TBitmap* CheckedItem(int index) const;
    void ReadEntry(QIODevice& stream, bool compressed);
    void WriteEntry(QIODevice& stream, TBitmap* bitmap);

    QList<TBitmap*> FList;
    int FUpdateCount = 0;
    std::unique_ptr<TMMObservable> FObservable;
    bool FCompressed = false;
    TBitmapHandleType FHandleType = bmDDB;
    TNotifyEvent FOnChange;
    TNotifyEvent FOnChanging;
    TEncodeEvent FOnEncode;
    TEncodeEvent FOnDecode;
    TLoadedEvent FOnBmpLoaded;
};

/// Registers TMMBitmapList and its event types with the stored-form reader
/// and writer. Idempotent; any thread. Runs by itself when the unit is
/// linked in.
void RegisterBitmapListClasses();
