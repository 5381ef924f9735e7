#include "mm/capture/MMWave.h"

#include "mm/format/MMWaveFormat.h"
#include "platform/ui/Application.h"

#include <QBuffer>
#include <QFile>
#include <QIODevice>
#include <QMetaObject>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <limits>
#include <mutex>
#include <string>

bool (*WaveFileEnoughDiskSpace)(const QString& path, std::int32_t bytes) = &EnoughDiskSpace;

namespace {

// Library messages of this unit.
constexpr int kMsgUnknown = 6;
constexpr int kMsgErrorReading = 130;
constexpr int kMsgMemoryWave = 131;
constexpr int kMsgErrorWriting = 132;
constexpr int kMsgInvalidWave = 133;
constexpr int kMsgIOBuffer = 137;
constexpr int kMsgOpenWave = 138;
constexpr int kMsgCreateWave = 139;

constexpr int kDefaultSampleRate = 11025;
constexpr qint64 kCopyChunk = 65536;

// One GSM 6.10 block (WAV49 packing) of 320 silent samples, as libgsm
// encodes them.
constexpr unsigned char kGsmSilenceBlock[65]
    = { 0x20, 0x48, 0x17, 0xD6, 0x84, 0x02, 0x80, 0x24, 0x49, 0x92, 0x24, 0x89, 0x02, 0x80, 0x24, 0x49, 0x92,
          0x24, 0x89, 0x02, 0x80, 0x24, 0x49, 0x92, 0x24, 0x89, 0x02, 0x80, 0x24, 0x49, 0x92, 0x24, 0x09,
          0x82, 0x74, 0x61, 0x4D, 0x28, 0x00, 0x48, 0x92, 0x24, 0x49, 0x92, 0x28, 0x00, 0x48, 0x92, 0x24,
          0x49, 0x92, 0x28, 0x00, 0x48, 0x92, 0x24, 0x49, 0x92, 0x28, 0x00, 0x48, 0x92, 0x24, 0x49, 0x92 };

// What a recording without data gets, so that its data chunk is not empty:
// 4 zero bytes; for a format whose blocks are larger, whole blocks, since
// readers reject part of a block (GSM 6.10 gets a block of real silence).
std::vector<char> NoDataFill(const WAVEFORMATEX* format)
{
    constexpr size_t kFillBytes = 4;
    const size_t block = format != nullptr && format->nBlockAlign > 0 ? format->nBlockAlign : 1;
    if (format != nullptr && format->wFormatTag == WAVE_FORMAT_GSM610 && block == sizeof kGsmSilenceBlock)
        return std::vector<char>(std::begin(kGsmSilenceBlock), std::end(kGsmSilenceBlock));
    return std::vector<char>((kFillBytes + block - 1) / block * block, '\0');
}

QByteArray LocalName(const QString& name)
{
    return QFile::encodeName(name);
}

// Whether the file can be read at all: opened and its first bytes read. A
// directory opens but cannot be read.
bool FileReadable(const QString& name)
{
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    char head[12];
    return file.read(head, sizeof head) >= 0;
}

} // namespace

void RegisterMMWaveClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterEventType<TMMWaveProgress>();
        RegisterClass<TMMWaveFile>();
    });
}

namespace {
[[maybe_unused]] const bool kRegistered = (RegisterMMWaveClasses(), true);
} // namespace

// ---------------------------------------------------------------------------
// TMMWave

TMMWave::TMMWave(QObject* parent)
    : TMMObject(parent)
{
    RegisterMMWaveClasses();
}

TMMWave::~TMMWave()
{
    Detach();
}

void TMMWave::RaiseError(int message) const
{
    throw EMMWaveError(LoadLibStr(message));
}

void TMMWave::ReportChange()
{
    if (FUpdating) {
        FChangePending = true;
        return;
    }
    FChangePending = false;
    Changed();
    FObservable.NotifyObservers(this);
}

void TMMWave::Detach()
{
    TCriticalSectionLock guard(FLock);
    if (FWaveIO != nullptr) {
        // A file that was written is finished here: its header is rewritten,
        // so nothing recorded is lost when the name changes mid-recording.
        WaveIOFree(FWaveIO);
        FWaveIO = nullptr;
    }
    FOpen = false;
    FFileName.clear();
    FMemoryData.reset();
    FMemoryInfo.reset();
    ResetHook();
}

void TMMWave::AttachBlock(PWaveIOCB block)
{
    TCriticalSectionLock guard(FLock);
    FWaveIO = block;
    FOpen = block != nullptr && block->Handle != nullptr;
}

void TMMWave::ResetHook()
{
}

void TMMWave::PositionHook(int)
{
}

// -- published ---------------------------------------------------------------

void TMMWave::SetTimeFormat(TMMTimeFormats value)
{
    // Positions and the segment list are kept in samples: only what is
    // reported changes.
    FTimeFormat = value;
}

void TMMWave::SetFileMustExist(bool value)
{
    if (!FMemoryWave)
        FFileMustExist = value;
}

QString TMMWave::FileName() const
{
    TCriticalSectionLock guard(FLock);
    return FFileName;
}

bool TMMWave::WritingFile(const QString& name) const
{
    TCriticalSectionLock guard(FLock);
    return FOpen.load() && FWaveIO != nullptr && name == FFileName;
}

void TMMWave::SetFileName(const QString& value)
{
    const QString name = value.isEmpty() ? QString() : ::ExpandFileName(value);
    if (FMemoryWave) {
        if (name.isEmpty()) {
            if (FWaveIO == nullptr && FFileName.isEmpty())
                return;
            Detach();
            ReportChange();
            return;
        }
        LoadFileIntoMemory(name);
        return;
    }

    if (name == FileName()) {
        // The file being written grows on disk with every header update; it
        // is still the same file, and a running recording must go on.
        if (WritingFile(name))
            return;
        std::int64_t known = -1;
        {
            TCriticalSectionLock guard(FLock);
            if (FWaveIO != nullptr)
                known = FileSize();
        }
        if (name.isEmpty() || FileSizeByName(name) == known)
            return;
    }

    if (name.isEmpty()) {
        Detach();
        ReportChange();
        return;
    }

    if (FileSizeByName(name) >= 0) {
        PWaveIOCB block = nullptr;
        const int result = WaveIOOpen(LocalName(name).constData(), kWaveIOFile, &block);
        if (result == kWaveIOOk) {
            Detach();
            {
                TCriticalSectionLock guard(FLock);
                AttachBlock(block);
                FFileName = name;
            }
            PositionHook(0);
            ReportChange();
            return;
        }
        // The new file decides the message: one that could be read but
        // gave no usable RIFF WAVE is invalid, anything else a read error.
        RaiseError(result != kWaveIONoMem && FileReadable(name) ? kMsgInvalidWave : kMsgErrorReading);
    }
    if (FFileMustExist)
        RaiseError(kMsgErrorReading);
    Detach();
    {
        TCriticalSectionLock guard(FLock);
        FFileName = name;
    }
    ReportChange();
}

int TMMWave::BitLength() const
{
    const WAVEFORMATEX* format = PWaveFormat();
    return format != nullptr ? format->wBitsPerSample : 0;
}

TMMMode TMMWave::Mode() const
{
    const WAVEFORMATEX* format = PWaveFormat();
    return format != nullptr && format->nChannels == 2 ? mStereo : mMono;
}

int TMMWave::FormatTag() const
{
    const WAVEFORMATEX* format = PWaveFormat();
    return format != nullptr ? format->wFormatTag : 0;
}

QString TMMWave::FormatString() const
{
    const WAVEFORMATEX* format = PWaveFormat();
    if (format == nullptr)
        return LoadLibStr(kMsgUnknown);
    return QString::fromStdString(FormatTagName(format));
}

int TMMWave::SampleRate() const
{
    const WAVEFORMATEX* format = PWaveFormat();
    return format != nullptr ? static_cast<int>(format->nSamplesPerSec) : kDefaultSampleRate;
}

int TMMWave::FileSize() const
{
    TCriticalSectionLock guard(FLock);
    if (FWaveIO == nullptr)
        return 0;
    std::int64_t size = FWaveIO->FileSize;
    if (FOpen.load() && (FWaveIO->DataChunk.dwFlags & MMIO_DIRTY)) {
        const std::int64_t dataEnd = static_cast<std::int64_t>(FWaveIO->DataOffset) + FWaveIO->DataBytes;
        size = std::max(size, dataEnd);
    }
    return static_cast<int>(std::min<std::int64_t>(size, std::numeric_limits<int>::max()));
}

int TMMWave::DataSize() const
{
    TCriticalSectionLock guard(FLock);
    if (FWaveIO == nullptr)
        return 0;
    return SamplesToTime(FWaveIO->SampleCount);
}

void TMMWave::SetIOBufferSize(int value)
{
    value = std::max(value, kMinIOBufferSize);
    if (value == FIOBufferSize)
        return;
    TCriticalSectionLock guard(FLock);
    FIOBufferSize = value;
    if (FOpen.load() && FWaveIO != nullptr)
        WaveIOSetBuffer(FWaveIO, value);
}

// -- state -------------------------------------------------------------------

PWAVEFORMATEX TMMWave::PWaveFormat() const
{
    return FWaveIO != nullptr ? &FWaveIO->Format : nullptr;
}

int TMMWave::Position() const
{
    TCriticalSectionLock guard(FLock);
    if (FWaveIO == nullptr)
        return -1;
    return SamplesToTime(FWaveIO->CurrentSample);
}

void TMMWave::SetPosition(int value)
{
    {
        TCriticalSectionLock guard(FLock);
        if (FWaveIO == nullptr)
            return;
        const LONG length = std::max<LONG>(FWaveIO->EndSample - FWaveIO->StartSample, 0);
        const LONG samples = std::clamp<LONG>(TimeToSamples(value), 0, length);
        WaveIOSeek(FWaveIO, samples);
    }
    PositionHook(1);
}

int TMMWave::StartSample() const
{
    TCriticalSectionLock guard(FLock);
    return FWaveIO != nullptr ? FWaveIO->StartSample : 0;
}

int TMMWave::EndSample() const
{
    TCriticalSectionLock guard(FLock);
    return FWaveIO != nullptr ? FWaveIO->EndSample : 0;
}

std::vector<TMMWave::TSegment> TMMWave::Segments() const
{
    TCriticalSectionLock guard(FLock);
    if (FWaveIO == nullptr)
        return {};
    return { TSegment { FWaveIO->StartSample, FWaveIO->EndSample } };
}

// -- memory waves ------------------------------------------------------------

void TMMWave::SetMemoryWave(bool value)
{
    if (value == FMemoryWave)
        return;
    const bool attached = FWaveIO != nullptr || !FileName().isEmpty();
    Detach();
    FMemoryWave = value;
    if (value)
        FFileMustExist = true;
    if (attached)
        ReportChange();
}

QByteArray TMMWave::MemoryData() const
{
    TCriticalSectionLock guard(FLock);
    return FMemoryData ? *FMemoryData : QByteArray();
}

void TMMWave::LoadMemoryImage(const QByteArray& image)
{
    auto data = std::make_unique<QByteArray>(image);
    auto info = std::make_unique<MMIOINFO>();
    std::memset(info.get(), 0, sizeof(MMIOINFO));
    info->fccIOProc = FOURCC_MEM;
    info->pchBuffer = data->data();
    info->cchBuffer = static_cast<LONG>(data->size());
    PWaveIOCB block = nullptr;
    if (data->isEmpty() || data->size() > std::numeric_limits<LONG>::max())
        RaiseError(kMsgInvalidWave);
    const int result = WaveIOOpen(info.get(), kWaveIOMemory, &block);
    if (result != kWaveIOOk)
        RaiseError(result == kWaveIONoMem ? kMsgErrorReading : kMsgInvalidWave);
    Detach();
    {
        TCriticalSectionLock guard(FLock);
        FMemoryWave = true;
        FFileMustExist = true;
        FMemoryData = std::move(data);
        FMemoryInfo = std::move(info);
        AttachBlock(block);
    }
    PositionHook(0);
}

void TMMWave::LoadFileIntoMemory(const QString& name)
{
    QFile file(name);
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        RaiseError(kMsgErrorReading);
    const QByteArray image = file.readAll();
    if (file.error() != QFileDevice::NoError)
        RaiseError(kMsgErrorReading);
    LoadMemoryImage(image);
    {
        TCriticalSectionLock guard(FLock);
        FFileName = name;
    }
    ReportChange();
}

void TMMWave::LoadFromStream(QIODevice& stream)
{
    QByteArray image;
    bool cancel = false;
    const qint64 total = stream.size() - stream.pos();
    while (!cancel) {
        const QByteArray chunk = stream.read(kCopyChunk);
        if (chunk.isEmpty()) {
            if (!stream.atEnd() && !stream.isSequential())
                RaiseError(kMsgErrorReading);
            break;
        }
        image.append(chunk);
        if (FOnProgress && total > 0)
            FOnProgress(this, static_cast<int>(std::min<qint64>(image.size() * 100 / total, 100)), cancel);
    }
    if (cancel)
        return;
    LoadMemoryImage(image);
    ReportChange();
}

void TMMWave::SaveToStream(QIODevice& stream)
{
    QByteArray image;
    {
        TCriticalSectionLock guard(FLock);
        if (FMemoryWave) {
            if (FMemoryData)
                image = *FMemoryData;
        } else if (FWaveIO != nullptr && !FFileName.isEmpty()) {
            // A file being written is brought up to date on disk first.
            if (FOpen.load())
                WaveIOSync(FWaveIO);
            QFile file(FFileName);
            if (!file.open(QIODevice::ReadOnly))
                RaiseError(kMsgErrorReading);
            image = file.readAll();
            if (file.error() != QFileDevice::NoError)
                RaiseError(kMsgErrorReading);
        }
    }
    bool cancel = false;
    for (qint64 done = 0; done < image.size() && !cancel;) {
        const qint64 part = std::min<qint64>(kCopyChunk, image.size() - done);
        if (stream.write(image.constData() + done, part) != part)
            throw EMMWaveError(QStringLiteral("Stream write error"));
        done += part;
        if (FOnProgress)
            FOnProgress(this, static_cast<int>(done * 100 / image.size()), cancel);
    }
}

void TMMWave::DefineProperties(TFiler* filer)
{
    TMMObject::DefineProperties(filer);
    const bool hasData = FMemoryWave && FMemoryData && !FMemoryData->isEmpty();
    filer->DefineBinaryProperty(
        QStringLiteral("Data"), [this](QIODevice& stream) { LoadFromStream(stream); },
        [this](QIODevice& stream) { SaveToStream(stream); }, hasData);
}

// -- file operations ---------------------------------------------------------

void TMMWave::CreateWaveFile(const QString& name, LPCWAVEFORMATEX format)
{
    if (FMemoryWave)
        RaiseError(kMsgMemoryWave);
    std::string qualified;
    if (name.isEmpty() || !WaveIOQualifyName(LocalName(name).constData(), qualified))
        RaiseError(kMsgCreateWave);
    const QString full = QFile::decodeName(QByteArray::fromStdString(qualified));
    const bool nameChanged = full != FileName();

    {
        TCriticalSectionLock guard(FLock);
        // The old file (perhaps this very one, open) is finished and let go
        // before its name is reused; the name stays if creation fails.
        Detach();
        FFileName = full;
        PWaveIOCB block = nullptr;
        if (WaveIOFromFormat(format, &block) != kWaveIOOk)
            RaiseError(kMsgCreateWave);
        if (WaveIOFileExists(qualified.c_str()))
            WaveIODeleteFile(qualified.c_str());
        if (WaveIOCreate(block, qualified.c_str()) != kWaveIOOk) {
            WaveIOFree(block);
            RaiseError(kMsgCreateWave);
        }
        AttachBlock(block);
        if (WaveIOSetBuffer(block, FIOBufferSize) != kWaveIOOk) {
            WaveIOFree(block);
            FWaveIO = nullptr;
            FOpen = false;
            WaveIODeleteFile(qualified.c_str());
            RaiseError(kMsgIOBuffer);
        }
    }
    PositionHook(0);
    if (nameChanged)
        ReportChange();
}

void TMMWave::OpenWaveFile()
{
    {
        TCriticalSectionLock guard(FLock);
        if (FWaveIO == nullptr || FOpen.load())
            return;
        if (WaveIOReopen(FWaveIO) != kWaveIOOk)
            RaiseError(kMsgOpenWave);
        if (WaveIOSetBuffer(FWaveIO, FIOBufferSize) != kWaveIOOk) {
            WaveIOClose(FWaveIO);
            RaiseError(kMsgIOBuffer);
        }
        FOpen = true;
    }
    PositionHook(0);
}

bool TMMWave::CloseWaveFile()
{
    TCriticalSectionLock guard(FLock);
    if (FWaveIO == nullptr || !FOpen.load())
        return true;
    const int result = WaveIOClose(FWaveIO);
    FOpen = false;
    return result == kWaveIOOk;
}

LONG TMMWave::WriteBytes(const void* data, LONG count)
{
    if (FMemoryWave)
        RaiseError(kMsgMemoryWave);
    TCriticalSectionLock guard(FLock);
    if (FWaveIO == nullptr || !FOpen.load())
        return -1;
    return WaveIOWrite(FWaveIO, data, count);
}

LONG TMMWave::ReadBytes(void* data, LONG count)
{
    TCriticalSectionLock guard(FLock);
    if (FWaveIO == nullptr || !FOpen.load())
        return -1;
    return WaveIORead(FWaveIO, data, count);
}

LONG TMMWave::SamplesToTime(LONG samples) const
{
    switch (FTimeFormat) {
    case tfMillisecond:
        return ::SamplesToMs(PWaveFormat(), samples);
    case tfByte:
        return ::SamplesToBytes(PWaveFormat(), samples);
    case tfSample:
        break;
    }
    return samples;
}

LONG TMMWave::TimeToSamples(LONG value) const
{
    switch (FTimeFormat) {
    case tfMillisecond:
        return ::MsToSamples(PWaveFormat(), value);
    case tfByte:
        return ::BytesToSamples(PWaveFormat(), value);
    case tfSample:
        break;
    }
    return value;
}

LONG TMMWave::SamplesToBytes(LONG samples) const
{
    return ::SamplesToBytes(PWaveFormat(), samples);
}

LONG TMMWave::BytesToSamples(LONG bytes) const
{
    return ::BytesToSamples(PWaveFormat(), bytes);
}

void TMMWave::Assign(TPersistent* source)
{
    if (source == nullptr) {
        const bool attached = FWaveIO != nullptr || !FileName().isEmpty();
        Detach();
        if (attached)
            ReportChange();
        return;
    }
    auto* other = qobject_cast<TMMWave*>(source);
    if (other == nullptr) {
        TMMObject::Assign(source);
        return;
    }
    if (other == this)
        return;

    FUpdating = true;
    FChangePending = false;
    try {
        const bool attached = FWaveIO != nullptr || !FileName().isEmpty();
        Detach();
        FChangePending = attached;
        FMemoryWave = other->FMemoryWave;
        FFileMustExist = other->FFileMustExist;
        const QString otherName = other->FileName();
        if (other->FMemoryWave && other->FMemoryData) {
            LoadMemoryImage(other->MemoryData());
            FFileName = otherName;
            FChangePending = true;
        } else if (!otherName.isEmpty()) {
            SetFileName(otherName);
        } else if (other->PWaveFormat() != nullptr) {
            PWaveIOCB block = nullptr;
            if (WaveIOFromFormat(other->PWaveFormat(), &block) == kWaveIOOk) {
                AttachBlock(block);
                FChangePending = true;
            }
        }
        FTimeFormat = other->FTimeFormat;
        {
            TCriticalSectionLock guard(FLock);
            TCriticalSectionLock otherGuard(other->FLock);
            if (FWaveIO != nullptr && other->FWaveIO != nullptr) {
                FWaveIO->StartSample = std::clamp<LONG>(other->FWaveIO->StartSample, 0, FWaveIO->SampleCount);
                FWaveIO->EndSample
                    = std::clamp<LONG>(other->FWaveIO->EndSample, FWaveIO->StartSample, FWaveIO->SampleCount);
                WaveIOSeek(FWaveIO, other->FWaveIO->CurrentSample);
            }
        }
        SetIOBufferSize(other->FIOBufferSize);
    } catch (...) {
        FUpdating = false;
        if (FChangePending)
            ReportChange();
        throw;
    }
    FUpdating = false;
    if (FChangePending)
        ReportChange();
}

// ---------------------------------------------------------------------------
// TMMCustomWaveFile

TMMCustomWaveFile::TMMCustomWaveFile(TComponent* owner)
    : TMMDSPComponent(owner)
    , FWave(new TMMWave(this))
{
    RegisterMMWaveClasses();
    FObserver.SetOnNotify([this](TObject*, TObject*) { WaveChanged(); });
    FWave->Observable()->AddObserver(&FObserver);
}

TMMCustomWaveFile::~TMMCustomWaveFile()
{
    // Nobody is told any more, but the file is finished.
    FOnOpen = nullptr;
    FOnClose = nullptr;
    FOnChange = nullptr;
    FOnChanged = nullptr;
    FOnLooping = nullptr;
    CloseFile();
    FWave->Observable()->RemoveObserver(&FObserver);
    delete FWave;
    FWave = nullptr;
}

void TMMCustomWaveFile::SetWave(TMMWave* value)
{
    if (value != nullptr && value != FWave)
        FWave->Assign(value);
}

void TMMCustomWaveFile::FireSynchronized(const TNotifyEvent& event)
{
    if (event)
        SyncCall([this, event] { event(this); });
}

void TMMCustomWaveFile::SetPWaveFormat(LPCWAVEFORMATEX format)
{
    TMMDSPComponent::SetPWaveFormat(format);
    const WAVEFORMATEX* own = GetPWaveFormat();
    FSilence = own != nullptr && own->wFormatTag == WAVE_FORMAT_PCM && own->wBitsPerSample == 8 ? 128 : 0;
}

void TMMCustomWaveFile::Opened()
{
    TMMDSPComponent::Opened();
    if (FFileOpen.load())
        return;
    if (GetInput() != nullptr) {
        SetPWaveFormat(GetInput()->GetPWaveFormat());
        const WAVEFORMATEX* format = GetPWaveFormat();
        const QString name = FWave->FileName();
        if (format != nullptr && !name.isEmpty()) {
            if (FWave->MemoryWave())
                throw EMMWaveError(LoadLibStr(kMsgMemoryWave));
            if (!FOverwriteExisting && FWave->WaveIO() != nullptr && !FWave->IsEmpty()) {
                // Writing data of another format into the file would corrupt
                // what it holds: refuse rather than replace or damage it.
                if (!WaveFormatsEqual(FWave->PWaveFormat(), format))
                    throw EMMWaveError(LoadLibStr(kMsgOpenWave));
                FWave->OpenWaveFile();
            } else {
                FWave->CreateWaveFile(name, format);
            }
            FFileOpen = true;
        }
    } else if (FWave->WaveIO() != nullptr && !FWave->IsEmpty()) {
        FWave->OpenWaveFile();
        FStartPosition = FWave->Position();
        FFileOpen = true;
    }
    if (FFileOpen.load())
        FireSynchronized(FOnOpen);
}

void TMMCustomWaveFile::Started()
{
    TMMDSPComponent::Started();
    if (FFileOpen.load() && !FFileStarted.load()) {
        if (GetInput() == nullptr)
            FWave->SetPosition(FStartPosition);
        FFileStarted = true;
        FWave->PositionHook(0);
    }
}

void TMMCustomWaveFile::Stopped()
{
    FFileStarted = false;
    TMMDSPComponent::Stopped();
}

void TMMCustomWaveFile::Reset()
{
    TMMDSPComponent::Reset();
    if (GetInput() == nullptr && FFileOpen.load())
        FWave->SetPosition(FStartPosition);
}

void TMMCustomWaveFile::CloseFile()
{
    bool closed = false;
    bool finished = true;
    {
        TCriticalSectionLock guard(FWave->Lock());
        // The buffer thread (after a failed write) and the GUI thread (the
        // chain closing) may both get here: the first one closes.
        if (FFileOpen.load()) {
            FFileStarted = false;
            TMMDSPComponent::Stopped();
            PWaveIOCB block = FWave->WaveIO();
            if (GetInput() != nullptr && GetPWaveFormat() != nullptr && !FWave->FileName().isEmpty()
                && FWave->IsOpen() && block != nullptr && block->DataBytes == 0) {
                const std::vector<char> fill = NoDataFill(FWave->PWaveFormat());
                FWave->WriteBytes(fill.data(), static_cast<LONG>(fill.size()));
            }
            finished = FWave->CloseWaveFile();
            FFileOpen = false;
            closed = true;
        }
    }
    if (closed)
        FireSynchronized(FOnClose);
    if (!finished) {
        // No caller can take an exception here (the chain's close, a failed
        // write in the buffer thread, the destructor): the standard exception
        // display gets it once the close is over.
        const std::exception_ptr failure
            = std::make_exception_ptr(EMMWaveError(LoadLibStr(kMsgErrorWriting)));
        TApplication* application = Application;
        QMetaObject::invokeMethod(
            application, [application, failure] { application->HandleException(nullptr, failure); },
            Qt::QueuedConnection);
    }
}

void TMMCustomWaveFile::Closed()
{
    CloseFile();
    TMMDSPComponent::Closed();
}

void TMMCustomWaveFile::BufferReady(PWaveHdr lpWaveHdr)
{
    bool failed = false;
    const LONG bytes = lpWaveHdr != nullptr ? static_cast<LONG>(lpWaveHdr->dwBytesRecorded) : 0;
    if (FFileStarted.load() && FEnabled.load() && GetInput() != nullptr && bytes > 0) {
        TCriticalSectionLock guard(FWave->Lock());
        const QString name = FWave->FileName();
        // Checked again under the lock: the GUI thread may have closed the
        // file, or let go of it for another name, meanwhile.
        if (FFileStarted.load() && FFileOpen.load() && FWave->IsOpen() && !name.isEmpty()) {
            const std::int64_t needed
                = static_cast<std::int64_t>(FWave->IOBufferSize()) + bytes + kDiskReserve;
            const auto asked = static_cast<std::int32_t>(
                std::min<std::int64_t>(needed, std::numeric_limits<std::int32_t>::max()));
            failed
                = !WaveFileEnoughDiskSpace(name, asked) || FWave->WriteBytes(lpWaveHdr->lpData, bytes) <= 0;
        }
    }
    if (failed)
        Closed();
    TMMDSPComponent::BufferReady(lpWaveHdr);
}

void TMMCustomWaveFile::BufferLoad(PWaveHdr lpWaveHdr, bool& moreBuffers)
{
    if (GetInput() != nullptr || lpWaveHdr == nullptr) {
        TMMDSPComponent::BufferLoad(lpWaveHdr, moreBuffers);
        return;
    }
    TMMBufferRecord* record = BufferRecordOf(lpWaveHdr);
    char* data = lpWaveHdr->lpData;
    const LONG capacity = static_cast<LONG>(lpWaveHdr->dwBufferLength);
    if (FWave->WaveIO() == nullptr || FWave->IsEmpty()) {
        lpWaveHdr->dwBytesRecorded = 0;
    } else if (!FFileStarted.load() || !FEnabled.load()) {
        std::memset(data, FSilence, static_cast<size_t>(capacity));
        lpWaveHdr->dwBytesRecorded = static_cast<DWORD>(capacity);
    } else {
        LONG total = 0;
        bool rewound = false;
        while (total < capacity) {
            const LONG got = FWave->ReadBytes(data + total, capacity - total);
            if (got > 0) {
                total += got;
                rewound = false;
                continue;
            }
            if (record->Looping != 0 && record->LoopsLeft > 0 && !rewound) {
                --record->LoopsLeft;
                FWave->SetPosition(0);
                rewound = true;
                if (FOnLooping)
                    FOnLooping(this);
                continue;
            }
            moreBuffers = false;
            break;
        }
        lpWaveHdr->dwBytesRecorded = static_cast<DWORD>(total);
    }
    TMMDSPComponent::BufferLoad(lpWaveHdr, moreBuffers);
}

void TMMCustomWaveFile::WaveChanged()
{
    if (FOnChange)
        FOnChange(this);
    try {
        if (FWave->FileMustExist() || FWave->PWaveFormat() != nullptr)
            SetPWaveFormat(FWave->PWaveFormat());
    } catch (...) {
        if (FOnChanged)
            FOnChanged(this);
        throw;
    }
    if (FOnChanged)
        FOnChanged(this);
}

// ---------------------------------------------------------------------------
// TMMWaveFile

TMMWaveFile::TMMWaveFile(TComponent* owner)
    : TMMCustomWaveFile(owner)
{
}

TMMWaveFile::~TMMWaveFile() = default;

// ---------------------------------------------------------------------------
// TMMAllocator

TMMAllocator::TMMAllocator() = default;

TMMAllocator::~TMMAllocator()
{
    FreeAll();
}

void* TMMAllocator::Allocate(UINT flags, std::size_t size)
{
    std::lock_guard guard(FLock);
    TEntry* found = nullptr;
    for (TEntry& entry : FEntries) {
        if (entry.UseCount == 0 && entry.Size == size) {
            found = &entry;
            break;
        }
    }
    if (found == nullptr) {
        for (TEntry& entry : FEntries) {
            if (entry.UseCount == 0 && entry.Size >= size) {
                found = &entry;
                break;
            }
        }
    }
    if (found != nullptr) {
        found->UseCount = 1;
        // A reused block still holds what its last user left in it.
        if (flags & kGMemZeroInit)
            std::memset(found->Block, 0, found->Size);
        return found->Block;
    }

    // A block of at least one byte, so that a size of 0 still names a block.
    void* block
        = (flags & kGMemZeroInit) ? std::calloc(size == 0 ? 1 : size, 1) : std::malloc(size == 0 ? 1 : size);
    if (block == nullptr)
        return nullptr;
    try {
        FEntries.push_back({ block, size, 1 });
    } catch (...) {
        std::free(block);
        return nullptr;
    }
    return block;
}

void TMMAllocator::Release(void*& block)
{
    if (block == nullptr)
        return;
    std::lock_guard guard(FLock);
    for (TEntry& entry : FEntries) {
        if (entry.Block == block) {
            // A second release of the same block must not drive the count
            // below zero, or the block would never be handed out again.
            if (entry.UseCount > 0) {
                --entry.UseCount;
                block = nullptr;
            }
            return;
        }
    }
}

void TMMAllocator::FreeAll()
{
    std::lock_guard guard(FLock);
    while (!FEntries.empty()) {
        std::free(FEntries.back().Block);
        FEntries.pop_back();
    }
}

int TMMAllocator::Count() const
{
    std::lock_guard guard(FLock);
    return static_cast<int>(FEntries.size());
}

int TMMAllocator::UsedCount() const
{
    std::lock_guard guard(FLock);
    int used = 0;
    for (const TEntry& entry : FEntries)
        used += entry.UseCount > 0 ? 1 : 0;
    return used;
}

std::size_t TMMAllocator::BlockSize(const void* block) const
{
    std::lock_guard guard(FLock);
    for (const TEntry& entry : FEntries) {
        if (entry.Block == block)
            return entry.Size;
    }
    return 0;
}
