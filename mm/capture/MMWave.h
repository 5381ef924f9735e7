#pragma once
// The library's view of one WAV file (TMMWave), the chain component that
// writes a recording into it or plays it (TMMCustomWaveFile, TMMWaveFile),
// the unit's exception class, and the pool of reusable memory blocks the
// wave input takes its buffer records from (TMMAllocator).
//
// Threads. TMMWave and the wave file component belong to the GUI thread,
// with one exception: in a recording chain the component's BufferReady runs
// in the thread that delivers the buffers (the wave input's capture thread in
// thread mode) and writes the file there. Every operation on the wave's file
// holds the wave's lock (TMMWave::Lock), so the GUI thread may set a new
// file name, close the chain or read the sizes while that thread writes.
// OnOpen and OnClose always reach their handlers in the GUI thread.

#include "mm/capture/MMWaveIO.h"
#include "mm/core/MMDSPObj.h"
#include "mm/core/MMObj.h"
#include "mm/core/MMObsrv.h"
#include "mm/core/MMUtils.h"
#include "platform/kernel/SyncObjs.h"
#include "platform/kernel/WinTypes.h"
#include "platform/ui/Classes.h"
#include "platform/ui/SysUtils.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QIODevice;

/// File errors of the wave object and the wave file component. Messages,
/// from the library's message table: 130 "Error reading wave file", 131
/// "Can't write to MemoryWave", 132 "Error writing wave file", 133 "Invalid wave file...", 137 "Unable to
/// setup file IO buffer", 138 "Unable to open wave file", 139 "Unable to
/// create wave file".
class EMMWaveError : public Exception {
public:
    using Exception::Exception;
};

/// Progress of a long operation on a wave (loading or saving a memory
/// image): Progress in percent; a handler may set Cancel.
using TMMWaveProgress = std::function<void(TObject* Sender, int Progress, bool& Cancel)>;
Q_DECLARE_METATYPE(TMMWaveProgress)

/// The free-space test the wave file component makes before every write of
/// a recording: true when the file system holding Path has at least Bytes
/// free. Bound to EnoughDiskSpace; replaceable as a whole (a test makes the
/// disk "fill up"), only while no recording runs.
extern bool (*WaveFileEnoughDiskSpace)(const QString& path, std::int32_t bytes);

// ---------------------------------------------------------------------------
// The wave object

/// One WAV file as the library sees it: a name, the parsed header (format,
/// data size, sample count) kept in the RIFF layer's control block, and the
/// operations to create, reopen, write, read, position and finish it.
///
/// A wave is in one of these states: no file (empty name); a name only (a
/// file that does not exist yet, FileMustExist false); attached (the header
/// of an existing or newly created file is parsed, the file itself closed);
/// open (the file is open for writing or reading). Sizes and positions are
/// reported in TimeFormat units.
///
/// Changes of the attached file are reported to the observers attached to
/// Observable() (the wave file component is one) and through OnChange.
///
/// A memory wave (SetMemoryWave) holds a whole WAV image in memory instead
/// of a file: it can be read, not written, and stores the image as the
/// binary property "Data".
class TMMWave : public TMMObject {
    Q_OBJECT
    Q_PROPERTY(TMMWaveProgress OnProgress READ OnProgress WRITE SetOnProgress)
    Q_PROPERTY(MMEnums::TMMTimeFormats TimeFormat READ TimeFormat WRITE SetTimeFormat)
    Q_PROPERTY(bool FileMustExist READ FileMustExist WRITE SetFileMustExist)
    Q_PROPERTY(QString FileName READ FileName WRITE SetFileName)
    Q_PROPERTY(int BitLength READ BitLength WRITE SetBitLength STORED false)
    Q_PROPERTY(MMEnums::TMMMode Mode READ Mode WRITE SetMode STORED false)
    Q_PROPERTY(int FormatTag READ FormatTag WRITE SetFormatTag STORED false)
    Q_PROPERTY(QString FormatString READ FormatString WRITE SetFormatString STORED false)
    Q_PROPERTY(int SampleRate READ SampleRate WRITE SetSampleRate STORED false)
    Q_PROPERTY(int FileSize READ FileSize WRITE SetFileSize STORED false)
    Q_PROPERTY(int DataSize READ DataSize WRITE SetDataSize STORED false)
    Q_PROPERTY(int IOBufferSize READ IOBufferSize WRITE SetIOBufferSize)
    Q_CLASSINFO("default:TimeFormat", "tfSample")
    Q_CLASSINFO("default:FileMustExist", "True")
    Q_CLASSINFO("default:IOBufferSize", "32768")
public:
    /// IOBufferSize of a new wave, and the least it stores.
    static constexpr int kDefaultIOBufferSize = 32768;
    static constexpr int kMinIOBufferSize = 8192;

    explicit TMMWave(QObject* parent = nullptr);
    /// Detaches (a file being written is finished first).
    ~TMMWave() override;

    // -- published ----------------------------------------------------------

    TMMWaveProgress OnProgress() const { return FOnProgress; }
    void SetOnProgress(TMMWaveProgress handler) { FOnProgress = std::move(handler); }

    /// Unit of every position and size the wave reports (tfSample by
    /// default).
    TMMTimeFormats TimeFormat() const { return FTimeFormat; }
    void SetTimeFormat(TMMTimeFormats value);

    /// Whether SetFileName insists on an existing file (true by default).
    /// Cannot change for a memory wave.
    bool FileMustExist() const { return FFileMustExist; }
    void SetFileMustExist(bool value);

    /// The fully qualified name of the file (empty: none).
    QString FileName() const;
    /// Attaches the file Value names. Nothing happens when Value names the
    /// file already attached (after expanding it to a full path) and that
    /// file's size on disk is still the wave's FileSize, nor when it names
    /// the file the wave is writing right now. Otherwise: an empty Value
    /// detaches; an existing RIFF WAVE file is parsed and attached; a file
    /// that does not exist is kept as a name only, unless FileMustExist.
    /// Each of these reports a change. Raises EMMWaveError, with the wave
    /// left as it was: "Error reading wave file" when the file does not
    /// exist (FileMustExist) or exists but cannot be read (a directory, no
    /// permission, an I/O error); "Invalid wave file..." when it was read
    /// but is no RIFF WAVE file the layer can use. Detaching a file that is
    /// being written finishes it (header rewritten), so nothing recorded is
    /// lost. GUI thread.
    void SetFileName(const QString& value);

    /// wBitsPerSample of the format, 0 without one. Writing does nothing.
    int BitLength() const;
    void SetBitLength(int) { }
    /// mStereo for two channels, else mMono. Writing does nothing.
    TMMMode Mode() const;
    void SetMode(TMMMode) { }
    /// The format tag, 0 without a format. Writing does nothing.
    int FormatTag() const;
    void SetFormatTag(int) { }
    /// The tag's name from the library's table; "Unknown" without a format.
    /// Writing does nothing.
    QString FormatString() const;
    void SetFormatString(const QString&) { }
    /// nSamplesPerSec, 11025 without a format. Writing does nothing.
    int SampleRate() const;
    void SetSampleRate(int) { }
    /// Bytes of the file: 0 without one; while it is being written, the
    /// bytes it holds up to the end of the data written so far.
    int FileSize() const;
    void SetFileSize(int) { }
    /// Length of the data in TimeFormat units; 0 without a file.
    int DataSize() const;
    void SetDataSize(int) { }

    /// Size of the file's I/O buffer; stored as at least 8192. Applied at
    /// once to a file that is open.
    int IOBufferSize() const { return FIOBufferSize; }
    void SetIOBufferSize(int value);

    // -- state --------------------------------------------------------------

    /// The format of the attached file (or of a wave that holds a format
    /// alone), null without one. Valid until the wave is detached or
    /// attached anew.
    virtual PWAVEFORMATEX PWaveFormat() const;
    /// The RIFF layer's block of the attached file, null without one. Use it
    /// only while holding Lock().
    PWaveIOCB WaveIO() const { return FWaveIO; }
    /// Whether the file is open (OpenWaveFile or CreateWaveFile) and not yet
    /// closed.
    bool IsOpen() const { return FOpen.load(); }
    /// DataSize = 0.
    bool IsEmpty() const { return DataSize() == 0; }
    /// The current position in TimeFormat units; -1 without an attached
    /// file.
    int Position() const;
    /// Moves to Value (TimeFormat units), clamped to the play range. On an
    /// open file the file is positioned there; on a closed one the next
    /// OpenWaveFile goes there.
    virtual void SetPosition(int value);

    /// The play range in samples, and the samples from the range's start to
    /// its end. The segment list: the parts of the range that are played,
    /// in order (the whole range; a wave has no cut list).
    int StartSample() const;
    int EndSample() const;
    struct TSegment {
        int StartSample;
        int EndSample;
    };
    std::vector<TSegment> Segments() const;

    /// The observers of the wave's changes.
    TMMObservable* Observable() { return &FObservable; }

    /// The lock held by every operation on the file. Any thread; recursive.
    TCriticalSection& Lock() const { return FLock; }

    // -- memory waves -------------------------------------------------------

    /// Whether the wave holds its data in memory. Switching detaches.
    bool MemoryWave() const { return FMemoryWave; }
    void SetMemoryWave(bool value);
    /// The WAV image of a memory wave (empty when none is loaded).
    QByteArray MemoryData() const;

    // -- file operations ----------------------------------------------------

    /// Creates Name (an existing file of that name is deleted first) as an
    /// empty RIFF WAVE file in Format, attaches it open for writing and sets
    /// FileName; the I/O buffer gets IOBufferSize. A change is reported only
    /// when the name differs from the previous FileName. Raises EMMWaveError
    /// "Can't write to MemoryWave" for a memory wave, "Unable to create wave
    /// file" when the name cannot be qualified or the file not created,
    /// "Unable to setup file IO buffer" when the buffer cannot be set.
    void CreateWaveFile(const QString& name, LPCWAVEFORMATEX format);
    /// Reopens the attached file for reading and writing (read-only when
    /// writing is not allowed) at the current position. Nothing without an
    /// attached file or when it is open. Raises EMMWaveError "Unable to open
    /// wave file" or "Unable to setup file IO buffer".
    virtual void OpenWaveFile();
    /// Closes the file: a file that was written is finished (data size, fact
    /// chunk, RIFF size). Position and bytes remaining become 0. False when
    /// finishing failed (the file keeps what its last header update
    /// described); never raises.
    virtual bool CloseWaveFile();

    /// Appends (or overwrites at the current position) Count bytes of
    /// audio. Returns the count written, 0 when writing failed, -1 without
    /// an attached file or when the file is not open. Raises EMMWaveError
    /// "Can't write to MemoryWave" for a memory wave. Any thread (the
    /// recording's buffer thread).
    virtual LONG WriteBytes(const void* data, LONG count);
    /// Reads up to Count bytes from the current position, within the play
    /// range. Returns the count read, -1 when the file is not open.
    virtual LONG ReadBytes(void* data, LONG count);

    /// Conversions between samples and TimeFormat units, with the wave's
    /// format (0 without one).
    virtual LONG SamplesToTime(LONG samples) const;
    virtual LONG TimeToSamples(LONG value) const;
    virtual LONG SamplesToBytes(LONG samples) const;
    virtual LONG BytesToSamples(LONG bytes) const;

    /// Reads a whole WAV image from Stream (from its position to its end)
    /// into a memory wave and attaches it. Raises EMMWaveError "Invalid wave
    /// file..." when the image is no RIFF WAVE, "Error reading wave file"
    /// when the stream cannot be read.
    virtual void LoadFromStream(QIODevice& stream);
    /// Writes the wave's whole WAV image (the memory image, or the attached
    /// file as it is on disk) to Stream. Raises EMMWaveError "Error reading
    /// wave file" when the file cannot be read.
    virtual void SaveToStream(QIODevice& stream);

    /// Copies another wave: its FileMustExist, file (or memory image, or
    /// format alone), TimeFormat, play range, position and IOBufferSize,
    /// reporting at most one change. Null detaches. Other classes go to the
    /// inherited assignment.
    void Assign(TPersistent* source) override;

    /// Called with 0 when a file opens, is created or starts playing, with
    /// 1 after a seek. Empty here.
    virtual void PositionHook(int reason);

protected:
    void DefineProperties(TFiler* filer) override;

    /// Called when the wave is detached. Empty here.
    virtual void ResetHook();

    /// Reports a change: only marks it inside Assign; otherwise OnChange
    /// (Changed) and then every attached observer.
    void ReportChange();

private:
    void Detach();
    void AttachBlock(PWaveIOCB block);
    void RaiseError(int message) const;
    void LoadMemoryImage(const QByteArray& image);
    void LoadFileIntoMemory(const QString& name);
    bool WritingFile(const QString& name) const;

    mutable TCriticalSection FLock;
    QString FFileName;
    bool FFileMustExist = true;
    TMMTimeFormats FTimeFormat = tfSample;
    int FIOBufferSize = kDefaultIOBufferSize;
    PWaveIOCB FWaveIO = nullptr;
    std::atomic<bool> FOpen { false };
    bool FMemoryWave = false;
    // The image a memory block points into; lives as long as the block.
    std::unique_ptr<QByteArray> FMemoryData;
    std::unique_ptr<MMIOINFO> FMemoryInfo;
    bool FUpdating = false;
    bool FChangePending = false;
    TMMObservable FObservable;
    TMMWaveProgress FOnProgress;
};

// ---------------------------------------------------------------------------
// The wave file component

/// A chain member that owns a TMMWave. With an Input it is a sink: every
/// buffer passing through is written into the wave's file (the recorder's
/// path). Without one it is a source that plays the file (BufferLoad).
///
/// Sink, in chain order:
///   Opened   takes the Input's format and creates the file (OverwriteExisting,
///            or a wave without data) or reopens the existing one to write
///            from the wave's position; fires OnOpen (GUI thread). File errors
///            raise EMMWaveError out of the device's Open.
///   Started  starts writing.
///   BufferReady (buffer thread) appends each buffer with data, after
///            checking that IOBufferSize + the buffer + 10240 bytes are free.
///            When space runs short or a write fails, the file is finished
///            and closed at once (Closed below), nothing is raised, OnClose
///            tells the GUI thread; this and later buffers still pass on to
///            Output, unwritten.
///   Stopped  stops writing.
///   Closed   finishes the file, closes it and fires OnClose (GUI thread).
///            When finishing fails (the disk is full, an I/O error), the
///            file keeps the header of its last sync and, after OnClose,
///            EMMWaveError "Error writing wave file" goes to the standard
///            exception display (posted to the GUI thread). A
///            file without data first gets 4 zero bytes of data, so that no
///            recording is left with an empty data chunk; where 4 bytes are
///            not whole blocks of the format, whole blocks instead (for GSM
///            6.10 one 65-byte block of encoded silence), since readers
///            reject a part of a block.
///
/// A change of the wave's file (Wave.FileName set to another file) fires
/// OnChange, hands the new file's format down the chain and fires
/// OnChanged. Setting it to the file being written is no change.
class TMMCustomWaveFile : public TMMDSPComponent {
    Q_OBJECT
public:
    /// Space kept free beyond the I/O buffer and the buffer being written.
    static constexpr int kDiskReserve = 10240;

    explicit TMMCustomWaveFile(TComponent* owner);
    /// Closes a file still open (finishing it), then frees the wave.
    ~TMMCustomWaveFile() override;

    /// The owned wave. The setter copies Value into it (Assign).
    TMMWave* Wave() const { return FWave; }
    void SetWave(TMMWave* value);

    /// Whether buffers are written (sink) or read (source); true by default.
    bool Enabled() const { return FEnabled.load(); }
    void SetEnabled(bool value) { FEnabled.store(value); }
    /// Whether a recording replaces an existing file (true by default) or
    /// writes into it from the wave's position.
    bool OverwriteExisting() const { return FOverwriteExisting; }
    void SetOverwriteExisting(bool value) { FOverwriteExisting = value; }

    /// Whether the sink has its file open (from Opened to Closed) and is
    /// writing (from Started to Stopped).
    bool FileOpen() const { return FFileOpen.load(); }
    bool FileStarted() const { return FFileStarted.load(); }
    /// The byte a silent buffer is filled with: 128 for 8-bit PCM, else 0.
    unsigned char SilenceByte() const { return FSilence; }

    TNotifyEvent OnOpen() const { return FOnOpen; }
    void SetOnOpen(TNotifyEvent handler) { FOnOpen = std::move(handler); }
    TNotifyEvent OnClose() const { return FOnClose; }
    void SetOnClose(TNotifyEvent handler) { FOnClose = std::move(handler); }
    TNotifyEvent OnChange() const { return FOnChange; }
    void SetOnChange(TNotifyEvent handler) { FOnChange = std::move(handler); }
    TNotifyEvent OnChanged() const { return FOnChanged; }
    void SetOnChanged(TNotifyEvent handler) { FOnChanged = std::move(handler); }
    TNotifyEvent OnLooping() const { return FOnLooping; }
    void SetOnLooping(TNotifyEvent handler) { FOnLooping = std::move(handler); }

    /// Inherited, then the silence byte follows the format.
    void SetPWaveFormat(LPCWAVEFORMATEX format) override;

    void Opened() override;
    void Started() override;
    void Stopped() override;
    void Reset() override;
    void Closed() override;
    /// Runs in the buffer thread; see the class comment.
    void BufferReady(PWaveHdr lpWaveHdr) override;
    /// Source: fills the record from the wave (silence while not started or
    /// not enabled); at the end of the data clears MoreBuffers, or, when the
    /// record asks for looping, rewinds and fires OnLooping.
    void BufferLoad(PWaveHdr lpWaveHdr, bool& moreBuffers) override;

protected:
    /// The wave reported a change: OnChange, the wave's format down the
    /// chain (when FileMustExist or the wave has a format), OnChanged.
    virtual void WaveChanged();

private:
    void CloseFile();
    void FireSynchronized(const TNotifyEvent& event);

    TMMWave* FWave;
    TMMObserver FObserver;
    std::atomic<bool> FFileOpen { false };
    std::atomic<bool> FFileStarted { false };
    std::atomic<bool> FEnabled { true };
    bool FOverwriteExisting = true;
    int FStartPosition = 0;
    unsigned char FSilence = 128;
    TNotifyEvent FOnOpen;
    TNotifyEvent FOnClose;
    TNotifyEvent FOnChange;
    TNotifyEvent FOnChanged;
    TNotifyEvent FOnLooping;
};

/// The wave file component as stored forms know it.
class TMMWaveFile : public TMMCustomWaveFile {
    Q_OBJECT
    Q_PROPERTY(TNotifyEvent OnOpen READ OnOpen WRITE SetOnOpen)
    Q_PROPERTY(TNotifyEvent OnClose READ OnClose WRITE SetOnClose)
    Q_PROPERTY(TNotifyEvent OnChange READ OnChange WRITE SetOnChange)
    Q_PROPERTY(TNotifyEvent OnChanged READ OnChanged WRITE SetOnChanged)
    Q_PROPERTY(TNotifyEvent OnLooping READ OnLooping WRITE SetOnLooping)
    Q_PROPERTY(TMMDSPComponent* Input READ GetInput WRITE SetInput)
    Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(bool OverwriteExisting READ OverwriteExisting WRITE SetOverwriteExisting)
    Q_PROPERTY(TMMWave* Wave READ Wave WRITE SetWave)
    Q_CLASSINFO("default:Enabled", "True")
    Q_CLASSINFO("default:OverwriteExisting", "True")
public:
    explicit TMMWaveFile(TComponent* owner);
    ~TMMWaveFile() override;
};

/// Registers the unit's classes and event types with the stored-form reader
/// and writer. Runs at start-up by itself; idempotent, any thread.
void RegisterMMWaveClasses();

// ---------------------------------------------------------------------------
// Memory blocks

/// Allocation flags of TMMAllocator::Allocate, with the values of the
/// platform's global-memory flags. Every block is fixed memory here; only
/// kGMemZeroInit changes what a block holds.
constexpr UINT kGMemFixed = 0x0000;
constexpr UINT kGMemZeroInit = 0x0040;
/// Fixed and zero-filled: what the wave input asks for.
constexpr UINT kGPtr = kGMemFixed | kGMemZeroInit;

/// A pool of fixed memory blocks that are handed out, given back and handed
/// out again, so that a device reopened with the same buffer size reuses the
/// same blocks instead of allocating again. The blocks live until FreeAll
/// or the destructor.
///
/// Every operation holds the pool's critical section: any thread may
/// allocate and release (the wave input releases in the GUI thread what its
/// capture thread used).
class TMMAllocator : public TObject {
public:
    TMMAllocator();
    /// FreeAll.
    ~TMMAllocator() override;
    TMMAllocator(const TMMAllocator&) = delete;
    TMMAllocator& operator=(const TMMAllocator&) = delete;

    /// A block of at least Size bytes: an unused block of exactly that size
    /// if there is one, else the first unused block that is larger, else a
    /// new block (appended to the pool). With kGMemZeroInit in Flags the
    /// block is zero-filled, also when it is reused. Null when the system
    /// has no memory for a new block. Never raises.
    void* Allocate(UINT flags, std::size_t size);

    /// Gives Block back to the pool and sets the caller's pointer to null.
    /// A block the pool does not know (null included), or one that is not
    /// in use, is left alone, pointer and all.
    void Release(void*& block);
    template <class T> void Release(T*& block)
    {
        void* raw = block;
        Release(raw);
        block = static_cast<T*>(raw);
    }

    /// Frees every block, the last allocated first. Blocks still in use
    /// become invalid: call it only when nobody uses them.
    void FreeAll();

    /// Blocks in the pool, and how many of them are in use.
    int Count() const;
    int UsedCount() const;
    /// The size Block was allocated with; 0 for a block the pool does not
    /// know.
    std::size_t BlockSize(const void* block) const;

private:
    struct TEntry {
        void* Block;
        std::size_t Size;
        int UseCount;
    };

    mutable TCriticalSection FLock;
    std::vector<TEntry> FEntries;
};
