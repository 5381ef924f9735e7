#include "mm/capture/MMWRec.h"

#include "mm/capture/MMACM.h"
#include "mm/format/MMWaveFormat.h"
#include "platform/ui/Dialogs.h"

#include <QByteArray>
#include <QIODevice>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

void RegisterWaveRecorderClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterWaveInClasses();
        RegisterMMWaveClasses();
        RegisterClass<TMMWaveRecorder>();
    });
}

namespace {
[[maybe_unused]] const bool kRegistered = (RegisterWaveRecorderClasses(), true);
} // namespace

TMMWaveRecorder::TMMWaveRecorder(TComponent* owner)
    : TMMDSPComponent(owner)
{
    RegisterWaveRecorderClasses();

    FWaveFile = new TMMWaveFile(this);
    FWaveFile->Wave()->SetFileMustExist(false);
    FWaveFile->SetOnChange([this](TObject*) { WaveFileChange(); });
    FWaveFile->SetOnChanged([this](TObject*) { FWaveChanging = false; });
    // The file closed itself (disk full, write failure): recording ends.
    FWaveFile->SetOnClose([this](TObject*) { Stop(); });

    FWaveIn = new TMMWaveIn(this);
    FWaveIn->SetOutput(FWaveFile);
    FWaveIn->SetOnOpen([this](TObject*) {
        if (FOnStart)
            FOnStart(this);
    });
    FWaveIn->SetOnStop([this](TObject*) {
        FWaveIn->Close();
        if (FOnStop)
            FOnStop(this);
    });
    FWaveIn->SetOnPause([this](TObject*) {
        if (FOnPause)
            FOnPause(this);
    });
    FWaveIn->SetOnRestart([this](TObject*) {
        if (FOnRestart)
            FOnRestart(this);
    });
    FWaveIn->SetOnBufferReady([this](TObject*, PWaveHdr lpWaveHdr) {
        if (FOnData)
            FOnData(this, lpWaveHdr);
    });

    FStartOffset = 0;
    // The recorder publishes no Input, yet it is the wave file's Output.
    SetAcceptsInput(true);
    FWaveFile->SetOutput(this);
    SetAcceptsInput(false);
    FWaveChanging = false;
}

TMMWaveRecorder::~TMMWaveRecorder()
{
    Destroying();
    Stop();
    // Gone while the recorder is whole: their destruction still talks to it
    // through the chain.
    DestroyComponents();
    FWaveIn = nullptr;
    FWaveFile = nullptr;
}

// ---------------------------------------------------------------------------
// Operations

void TMMWaveRecorder::Start()
{
    if ((FWaveIn->State() & wsStarted) || Wave()->FileName().isEmpty())
        return;
    FStartOffset = Wave()->Position();
    FWaveIn->Start();
}

void TMMWaveRecorder::Stop()
{
    if (FWaveIn == nullptr)
        return;
    FWaveIn->Stop();
    FWaveIn->Close();
}

int TMMWaveRecorder::Position()
{
    if (FWaveIn->State() & wsOpened) {
        int position = FWaveIn->Position();
        if (!OverwriteExisting())
            position += FStartOffset;
        return position;
    }
    return OverwriteExisting() ? 0 : Wave()->Position();
}

TMMWaveInState TMMWaveRecorder::State() const
{
    return FWaveIn->State();
}

void TMMWaveRecorder::WaveFileChange()
{
    FWaveChanging = true;
    Stop();
    if (FOnChange)
        FOnChange(this);
}

// ---------------------------------------------------------------------------
// Properties

TMMWave* TMMWaveRecorder::Wave() const
{
    return FWaveFile->Wave();
}

void TMMWaveRecorder::SetWave(TMMWave* value)
{
    FWaveFile->SetWave(value);
}

int TMMWaveRecorder::GetBufferSize() const
{
    return FWaveIn != nullptr ? FWaveIn->GetBufferSize() : TMMDSPComponent::GetBufferSize();
}

void TMMWaveRecorder::SetBufferSize(int value)
{
    if (FWaveIn != nullptr)
        FWaveIn->SetBufferSize(value);
}

int TMMWaveRecorder::NumBuffers() const
{
    return FWaveIn->GetNumBuffers();
}

void TMMWaveRecorder::SetNumBuffers(int value)
{
    FWaveIn->SetNumBuffers(value);
}

TMMDeviceId TMMWaveRecorder::DeviceID() const
{
    return FWaveIn->GetDeviceID();
}

void TMMWaveRecorder::SetDeviceID(TMMDeviceId value)
{
    FWaveIn->SetDeviceID(value);
}

QString TMMWaveRecorder::ProductName() const
{
    return FWaveIn->GetProductName();
}

void TMMWaveRecorder::SetProductName(const QString&)
{
}

TMMTimeFormats TMMWaveRecorder::TimeFormat() const
{
    return FWaveIn->TimeFormat();
}

void TMMWaveRecorder::SetTimeFormat(TMMTimeFormats value)
{
    FWaveIn->SetTimeFormat(value);
    Wave()->SetTimeFormat(value);
}

TMMCBMode TMMWaveRecorder::CallBackMode() const
{
    return FWaveIn->GetCallBackMode();
}

void TMMWaveRecorder::SetCallBackMode(TMMCBMode value)
{
    FWaveIn->SetCallBackMode(value);
}

int TMMWaveRecorder::MaxRecordTime() const
{
    return FWaveIn->MaxRecordTime();
}

void TMMWaveRecorder::SetMaxRecordTime(int value)
{
    FWaveIn->SetMaxRecordTime(value);
}

TMMMode TMMWaveRecorder::Mode() const
{
    return FWaveIn->Mode();
}

void TMMWaveRecorder::SetMode(TMMMode value)
{
    FWaveIn->SetMode(value);
}

TMMBits TMMWaveRecorder::BitLength() const
{
    return FWaveIn->BitLength();
}

void TMMWaveRecorder::SetBitLength(TMMBits value)
{
    FWaveIn->SetBitLength(value);
}

int TMMWaveRecorder::SampleRate() const
{
    return FWaveIn->SampleRate();
}

void TMMWaveRecorder::SetSampleRate(int value)
{
    FWaveIn->SetSampleRate(value);
}

QString TMMWaveRecorder::InputFormat() const
{
    const LPCWAVEFORMATEX format = FWaveIn->GetPWaveFormat();
    if (format == nullptr)
        return LoadLibStr(6);
    QString name;
    QString description;
    GetFormatNames(format, name, description);
    return name + QLatin1Char(' ') + description;
}

void TMMWaveRecorder::SetInputFormat(const QString&)
{
    MessageDlg(
        QStringLiteral("This is a read-only property, please use SelectFormat."), mtInformation, { mbOK });
}

bool TMMWaveRecorder::OverwriteExisting() const
{
    return FWaveFile->OverwriteExisting();
}

void TMMWaveRecorder::SetOverwriteExisting(bool value)
{
    FWaveFile->SetOverwriteExisting(value);
}

// ---------------------------------------------------------------------------
// Chain

void TMMWaveRecorder::SetPWaveFormat(LPCWAVEFORMATEX format)
{
    if (FWaveChanging)
        return;
    if (format == nullptr || FWaveIn == nullptr) {
        TMMDSPComponent::SetPWaveFormat(format);
        return;
    }
    const LPCWAVEFORMATEX own = FWaveIn->GetPWaveFormat();
    if (own == nullptr || !WaveFormatsEqual(format, own)) {
        // Back here through the wave file, equal then.
        FWaveIn->SetPWaveFormat(format);
        return;
    }
    TMMDSPComponent::SetPWaveFormat(format);
}

// ---------------------------------------------------------------------------
// "WaveFormatEx"

void TMMWaveRecorder::DefineProperties(TFiler* filer)
{
    TMMDSPComponent::DefineProperties(filer);
    const LPCWAVEFORMATEX own = GetPWaveFormat();
    const bool hasData
        = own != nullptr && own->wFormatTag != WAVE_FORMAT_PCM && FWaveIn->GetPWaveFormat() != nullptr;
    filer->DefineBinaryProperty(
        QStringLiteral("WaveFormatEx"), [this](QIODevice& stream) { ReadWaveFormat(stream); },
        [this](QIODevice& stream) { WriteWaveFormat(stream); }, hasData);
}

void TMMWaveRecorder::ReadWaveFormat(QIODevice& stream)
{
    const QByteArray data = stream.readAll();
    // A record is never shorter than its 18 bytes plus the extra bytes it
    // announces (PCM: 18); reading past a shorter block would take memory
    // that is not the stored format.
    if (data.size() < static_cast<qsizetype>(sizeof(WAVEFORMATEX)))
        throw EReadError(LoadLibStr(89));
    std::vector<unsigned char> record(static_cast<std::size_t>(data.size()));
    std::memcpy(record.data(), data.constData(), record.size());
    const auto* format = reinterpret_cast<LPCWAVEFORMATEX>(record.data());
    if (WaveFormatSize(format) > record.size())
        throw EReadError(LoadLibStr(89));
    FWaveIn->SetPWaveFormat(format);
}

void TMMWaveRecorder::WriteWaveFormat(QIODevice& stream)
{
    const LPCWAVEFORMATEX format = FWaveIn->GetPWaveFormat();
    if (format == nullptr)
        return;
    stream.write(reinterpret_cast<const char*>(format), static_cast<qint64>(WaveFormatSize(format)));
}
