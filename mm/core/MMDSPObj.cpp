#include "mm/core/MMDSPObj.h"

#include "mm/format/MMWaveFormat.h"
#include "platform/kernel/Threads.h"

#include <QMetaObject>
#include <QMetaProperty>
#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

const QString kInputProp = QStringLiteral("Input");
const QString kOutputProp = QStringLiteral("Output");

// The registries are unit-level lists that exist while they have members.
// Their locks are never freed, so that a component or thread destroyed
// during program exit still finds them.
std::mutex& ChainLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}
std::vector<TMMDSPComponent*>* gChain = nullptr; // guarded by ChainLock()

std::mutex& DeviceThreadLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}
std::vector<TMMDSPThread*>* gDeviceThreads = nullptr; // guarded by DeviceThreadLock()

void EnterChain(TMMDSPComponent* component)
{
    std::lock_guard lock(ChainLock());
    if (gChain == nullptr)
        gChain = new std::vector<TMMDSPComponent*>;
    gChain->push_back(component);
}

void LeaveChain(TMMDSPComponent* component)
{
    std::lock_guard lock(ChainLock());
    if (gChain == nullptr)
        return;
    std::erase(*gChain, component);
    if (gChain->empty()) {
        delete gChain;
        gChain = nullptr;
    }
}

bool InChain(TMMDSPComponent* component)
{
    std::lock_guard lock(ChainLock());
    return gChain != nullptr && std::find(gChain->begin(), gChain->end(), component) != gChain->end();
}

// Links are acyclic when made through SetInput and SetOutput, but the raw
// link writers can close a loop; no walk along the links takes more steps
// than there are members.
int WalkLimit()
{
    std::lock_guard lock(ChainLock());
    return gChain != nullptr ? static_cast<int>(gChain->size()) + 1 : 1;
}

// CanConnectInput and CanConnectOutput ask along the links through virtual
// calls; this bounds that recursion the same way.
thread_local int tConnectDepth = 0;

class TConnectDepth {
public:
    TConnectDepth() { ++tConnectDepth; }
    ~TConnectDepth() { --tConnectDepth; }
    TConnectDepth(const TConnectDepth&) = delete;
    TConnectDepth& operator=(const TConnectDepth&) = delete;
    bool TooDeep() const { return tConnectDepth > WalkLimit(); }
};

bool PublishesProperty(const TMMDSPComponent* component, const QString& name)
{
    return component->metaObject()->indexOfProperty(name.toLatin1().constData()) >= 0;
}

// What Sender's link property Name points at: the published property when
// its class has one, else the link accessor of that name.
const QObject* LinkTarget(TMMDSPComponent* sender, const QString& name)
{
    const QMetaObject* mo = sender->metaObject();
    const int index = mo->indexOfProperty(name.toLatin1().constData());
    if (index >= 0) {
        const QMetaProperty property = mo->property(index);
        if (!(property.metaType().flags() & QMetaType::PointerToQObject))
            return nullptr;
        return property.read(sender).value<QObject*>();
    }
    if (name == kInputProp)
        return sender->GetInput();
    if (name == kOutputProp)
        return sender->GetOutput();
    return nullptr;
}

bool IsDevice(TMMDSPComponent* component)
{
    return qobject_cast<TMMCustomSoundComponent*>(component) != nullptr;
}

PWAVEFORMATEX CopyFormat(LPCWAVEFORMATEX format)
{
    if (format == nullptr)
        return nullptr;
    const UINT size = WaveFormatSize(format);
    auto* copy = static_cast<PWAVEFORMATEX>(GlobalAllocMem(size));
    std::memcpy(copy, format, size);
    if (copy->wFormatTag == WAVE_FORMAT_PCM)
        copy->cbSize = 0;
    return copy;
}

void RegisterChainEventTypes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterEventType<TMMBufferEvent>();
        RegisterEventType<TMMBufferLoadEvent>();
    });
}

} // namespace

void InitBufferRecord(TMMBufferRecord* record, DWORD bufferLength)
{
    std::memset(record, 0, kBufferRecordSize);
    record->Header.lpData = BufferRecordData(record);
    record->Header.dwBufferLength = bufferLength;
}

// ---------------------------------------------------------------------------

TMMCustomDSPComponent::TMMCustomDSPComponent(TComponent* owner)
    : TMMNonVisualComponent(owner)
{
}

TMMCustomDSPComponent::~TMMCustomDSPComponent() = default;

// ---------------------------------------------------------------------------

TMMDSPComponent::TMMDSPComponent(TComponent* owner)
    : TMMCustomDSPComponent(owner)
{
    RegisterChainEventTypes();
    EnterChain(this);
}

TMMDSPComponent::~TMMDSPComponent()
{
    // From here on formats are held back, and neighbours that are being
    // destroyed too are not asked to react to losing this one.
    Destroying();
    try {
        SetInput(nullptr);
        SetOutput(nullptr);
    } catch (...) {
        // A neighbour's reaction to losing its format failed; the links are
        // cleared below all the same.
    }
    // Only the base is left of this object: its published properties can no
    // longer be looked up, and a partner may hold a link that was never
    // answered from this side. No member may keep a pointer to it.
    for (TMMDSPComponent* member : ChainRegistry()) {
        if (member == this || !InChain(member))
            continue;
        if (member->FInput == this)
            member->SetInputLink(nullptr, QString());
        if (member->FOutput == this)
            member->SetOutputLink(nullptr, QString());
    }
    FInput = nullptr;
    FOutput = nullptr;
    GlobalFreeMem(FPWaveFormat);
    LeaveChain(this);
}

std::vector<TMMDSPComponent*> TMMDSPComponent::ChainRegistry()
{
    std::lock_guard lock(ChainLock());
    return gChain != nullptr ? *gChain : std::vector<TMMDSPComponent*>();
}

bool TMMDSPComponent::HoldsFormats() const
{
    return (ComponentState() & (csLoading | csReading | csDestroying)) != 0;
}

// -- links --------------------------------------------------------------------

void TMMDSPComponent::SetInput(TMMDSPComponent* value)
{
    if (value == FInput || (value != nullptr && !CanConnectInput(value)))
        return;
    Stopped();
    if (FInput != nullptr) {
        BroadcastLinkReleased(this, false, kInputProp);
        SetInputLink(nullptr, QString());
        InputFormatChanged(nullptr);
    }
    if (value == nullptr)
        return;
    BroadcastLinkReleased(value, true, kOutputProp);
    SetInputLink(value, kOutputProp);
    value->SetOutputLink(this, kInputProp);
    UpdateFormat();
}

TMMDSPComponent* TMMDSPComponent::GetInput() const
{
    return FInput;
}

void TMMDSPComponent::SetOutput(TMMDSPComponent* value)
{
    if (value == FOutput || (value != nullptr && !CanConnectOutput(value)))
        return;
    Stopped();
    if (FOutput != nullptr) {
        TMMDSPComponent* oldOutput = FOutput;
        BroadcastLinkReleased(this, true, kOutputProp);
        if (!(oldOutput->ComponentState() & csDestroying))
            oldOutput->InputFormatChanged(nullptr);
        SetOutputLink(nullptr, QString());
    }
    if (value == nullptr)
        return;
    BroadcastLinkReleased(value, false, kInputProp);
    SetOutputLink(value, kInputProp);
    value->SetInputLink(this, kOutputProp);
    UpdateFormat();
}

TMMDSPComponent* TMMDSPComponent::GetOutput() const
{
    return FOutput;
}

void TMMDSPComponent::SetInputLink(TMMDSPComponent* component, const QString& propName)
{
    FInput = component;
    FInputPropName = propName.left(kMaxPropNameLength);
}

void TMMDSPComponent::SetOutputLink(TMMDSPComponent* component, const QString& propName)
{
    FOutput = component;
    FOutputPropName = propName.left(kMaxPropNameLength);
}

bool TMMDSPComponent::CanConnectInput(TComponent* component)
{
    auto* candidate = qobject_cast<TMMDSPComponent*>(component);
    if (candidate == nullptr || candidate == this)
        return false;
    if (!PublishesProperty(candidate, kOutputProp) && !candidate->ProvidesOutput())
        return false;
    if (FOutput == nullptr)
        return true;
    const TConnectDepth depth;
    if (depth.TooDeep())
        return false;
    return FOutput->CanConnectInput(component);
}

bool TMMDSPComponent::CanConnectOutput(TComponent* component)
{
    auto* candidate = qobject_cast<TMMDSPComponent*>(component);
    if (candidate == nullptr || candidate == this)
        return false;
    if (!PublishesProperty(candidate, kInputProp) && !candidate->AcceptsInput())
        return false;
    if (FInput == nullptr)
        return true;
    const TConnectDepth depth;
    if (depth.TooDeep())
        return false;
    return FInput->CanConnectOutput(component);
}

void TMMDSPComponent::LinkReleased(TMMDSPComponent* sender, bool inputSide, const QString& propName)
{
    if (sender == nullptr)
        return;
    const QObject* self = this;
    if (inputSide) {
        if (sender == FInput && FInputPropName == propName && LinkTarget(sender, propName) == self)
            SetInputLink(nullptr, QString());
    } else {
        if (sender == FOutput && FOutputPropName == propName && LinkTarget(sender, propName) == self)
            SetOutputLink(nullptr, QString());
    }
}

void TMMDSPComponent::BroadcastLinkReleased(TMMDSPComponent* sender, bool inputSide, const QString& propName)
{
    // A receiver may be destroyed by what another one does; only members
    // still registered are called.
    for (TMMDSPComponent* member : ChainRegistry()) {
        if (InChain(member))
            member->LinkReleased(sender, inputSide, propName);
    }
}

void TMMDSPComponent::Notification(TComponent* component, TOperation operation)
{
    TMMCustomDSPComponent::Notification(component, operation);
    if (operation != opRemove || component == nullptr)
        return;
    if (component == static_cast<TComponent*>(FInput))
        SetInput(nullptr);
    else if (component == static_cast<TComponent*>(FOutput))
        SetOutput(nullptr);
}

// -- format -------------------------------------------------------------------

void TMMDSPComponent::InputFormatChanged(LPCWAVEFORMATEX format)
{
    SetPWaveFormat(format);
}

void TMMDSPComponent::SetPWaveFormat(LPCWAVEFORMATEX format)
{
    if (format != FPWaveFormat) {
        if (IsStarted())
            Stopped();
        // Copied before the old one goes: Format may be any caller's block.
        PWAVEFORMATEX copy = CopyFormat(format);
        GlobalFreeMem(FPWaveFormat);
        FPWaveFormat = copy;
    }
    if (!HoldsFormats() && FOutput != nullptr)
        FOutput->InputFormatChanged(FPWaveFormat);
}

PWAVEFORMATEX TMMDSPComponent::GetPWaveFormat() const
{
    return FPWaveFormat;
}

void TMMDSPComponent::UpdateFormat()
{
    if (HoldsFormats())
        return;
    if (FInput != nullptr)
        InputFormatChanged(FInput->GetPWaveFormat());
    else if (FOutput != nullptr)
        FOutput->InputFormatChanged(GetPWaveFormat());
}

void TMMDSPComponent::Loaded()
{
    TMMCustomDSPComponent::Loaded();
    SetPWaveFormat(FPWaveFormat);
}

// -- buffer size --------------------------------------------------------------

int TMMDSPComponent::GetBufferSize() const
{
    return IsOpen() ? FRealBufferSize : FBufferSize;
}

void TMMDSPComponent::SetBufferSize(int value)
{
    if (value == FBufferSize)
        return;
    if (IsStarted())
        Stopped();
    FBufferSize = value;
}

// -- notifications ------------------------------------------------------------

void TMMDSPComponent::Opened()
{
    if (IsOpen())
        return;
    int realSize = FBufferSize;
    const WAVEFORMATEX* format = GetPWaveFormat();
    if (format != nullptr && format->nBlockAlign > 0) {
        const int block = format->nBlockAlign;
        realSize = std::max(FBufferSize - FBufferSize % block, block);
    }
    FRealBufferSize = realSize;
    FIsOpen.store(true);
}

void TMMDSPComponent::Closed()
{
    FIsOpen.store(false);
}

void TMMDSPComponent::Started()
{
    if (IsOpen() && !IsStarted())
        FIsStarted.store(true);
}

void TMMDSPComponent::Paused()
{
}

void TMMDSPComponent::Restarted()
{
}

void TMMDSPComponent::Stopped()
{
    FIsStarted.store(false);
}

void TMMDSPComponent::Reset()
{
}

void TMMDSPComponent::Looped()
{
}

// -- buffers ------------------------------------------------------------------

void TMMDSPComponent::BufferReady(PWaveHdr lpWaveHdr)
{
    if (FOnBufferReady)
        FOnBufferReady(this, lpWaveHdr);
    if (FOutput != nullptr)
        FOutput->BufferReady(lpWaveHdr);
}

void TMMDSPComponent::BufferLoad(PWaveHdr lpWaveHdr, bool& moreBuffers)
{
    if (FOnBufferLoad)
        FOnBufferLoad(this, lpWaveHdr, moreBuffers);
    if (FInput != nullptr)
        FInput->BufferLoad(lpWaveHdr, moreBuffers);
}

// ---------------------------------------------------------------------------

TMMCustomSoundComponent::TMMCustomSoundComponent(TComponent* owner)
    : TMMDSPComponent(owner)
{
}

TMMCustomSoundComponent::~TMMCustomSoundComponent() = default;

TMMDSPComponent* TMMCustomSoundComponent::WalkStart(bool* upstreamDevice)
{
    TMMDSPComponent* head = this;
    int steps = WalkLimit();
    for (TMMDSPComponent* member = GetInput(); member != nullptr && steps-- > 0;
         member = member->GetInput()) {
        if (IsDevice(member)) {
            if (upstreamDevice != nullptr)
                *upstreamDevice = true;
            return this;
        }
        head = member;
    }
    return head;
}

void TMMCustomSoundComponent::NotifyDownFrom(TMMDSPComponent* start, TNotify notify, bool setSizes)
{
    int steps = WalkLimit();
    for (TMMDSPComponent* member = start; member != nullptr && steps-- > 0; member = member->GetOutput()) {
        if (member == this)
            continue;
        const bool device = IsDevice(member);
        if (setSizes)
            member->SetBufferSize(GetBufferSize());
        (member->*notify)();
        if (device)
            return;
    }
}

void TMMCustomSoundComponent::NotifyEndingWalk(TNotify notify)
{
    int steps = WalkLimit();
    for (TMMDSPComponent* member = GetOutput(); member != nullptr && steps-- > 0;
         member = member->GetOutput()) {
        if (IsDevice(member)) {
            (member->*notify)();
            break;
        }
    }
    steps = WalkLimit();
    for (TMMDSPComponent* member = WalkStart(nullptr); member != nullptr && steps-- > 0;
         member = member->GetOutput()) {
        if (member == this)
            continue;
        if (IsDevice(member))
            return;
        (member->*notify)();
    }
}

void TMMCustomSoundComponent::Opened()
{
    FHasUpstreamDevice = false;
    TMMDSPComponent* start = WalkStart(&FHasUpstreamDevice);
    NotifyDownFrom(start, &TMMDSPComponent::Opened, true);
    TMMDSPComponent::Opened();
}

void TMMCustomSoundComponent::Closed()
{
    NotifyEndingWalk(&TMMDSPComponent::Closed);
    TMMDSPComponent::Closed();
}

void TMMCustomSoundComponent::Started()
{
    NotifyDownFrom(WalkStart(nullptr), &TMMDSPComponent::Started, false);
    TMMDSPComponent::Started();
}

void TMMCustomSoundComponent::Paused()
{
    NotifyDownFrom(WalkStart(nullptr), &TMMDSPComponent::Paused, false);
    TMMDSPComponent::Paused();
}

void TMMCustomSoundComponent::Restarted()
{
    NotifyDownFrom(WalkStart(nullptr), &TMMDSPComponent::Restarted, false);
    TMMDSPComponent::Restarted();
}

void TMMCustomSoundComponent::Stopped()
{
    NotifyEndingWalk(&TMMDSPComponent::Stopped);
    TMMDSPComponent::Stopped();
}

void TMMCustomSoundComponent::Reset()
{
    NotifyDownFrom(WalkStart(nullptr), &TMMDSPComponent::Reset, false);
    TMMDSPComponent::Reset();
}

void TMMCustomSoundComponent::Looped()
{
    NotifyDownFrom(WalkStart(nullptr), &TMMDSPComponent::Looped, false);
    TMMDSPComponent::Looped();
}

// ---------------------------------------------------------------------------

TMMCustomWaveOutComponent::TMMCustomWaveOutComponent(TComponent* owner)
    : TMMCustomSoundComponent(owner)
{
}

TMMCustomWaveOutComponent::~TMMCustomWaveOutComponent() = default;

// ---------------------------------------------------------------------------

TMMDSPThread::TMMDSPThread(TMMCustomSoundComponent* owner)
    : TMMThreadEx(true)
    , FOwner(owner)
{
    std::lock_guard lock(DeviceThreadLock());
    if (gDeviceThreads == nullptr)
        gDeviceThreads = new std::vector<TMMDSPThread*>;
    gDeviceThreads->push_back(this);
}

TMMDSPThread::~TMMDSPThread()
{
    std::lock_guard lock(DeviceThreadLock());
    if (gDeviceThreads == nullptr)
        return;
    std::erase(*gDeviceThreads, this);
    if (gDeviceThreads->empty()) {
        delete gDeviceThreads;
        gDeviceThreads = nullptr;
    }
}

bool TMMDSPThread::IsDeviceThread(DWORD threadId)
{
    std::lock_guard lock(DeviceThreadLock());
    if (gDeviceThreads == nullptr)
        return false;
    return std::any_of(gDeviceThreads->begin(), gDeviceThreads->end(),
        [threadId](const TMMDSPThread* thread) { return thread->ThreadID() == threadId; });
}

int TMMDSPThread::DeviceThreadCount()
{
    std::lock_guard lock(DeviceThreadLock());
    return gDeviceThreads != nullptr ? static_cast<int>(gDeviceThreads->size()) : 0;
}

void SyncCall(const std::function<void()>& method)
{
    if (!method)
        return;
    if (TMMDSPThread::IsDeviceThread(GetCurrentThreadId()))
        TThread::SynchronizeMethod(method);
    else
        method();
}
