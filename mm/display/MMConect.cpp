#include "mm/display/MMConect.h"

#include "mm/core/MMUtils.h"
#include "mm/format/MMWaveFormat.h"
#include "platform/kernel/Clock.h"
#include "platform/kernel/Interlocked.h"
#include "platform/mm/MMTimers.h"
#include "platform/ui/Application.h"
#include "platform/ui/Controls.h"
#include "platform/ui/MessageWindow.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>

void RegisterConnectorClasses()
{
    static std::once_flag once;
    std::call_once(once, [] { RegisterClass<TMMConnector>(); });
}

namespace {
[[maybe_unused]] const bool kRegistered = (RegisterConnectorClasses(), true);

constexpr UINT kTimerResolution = 1;
// A chain buffer up to this size sets the pause tick to its own play time.
constexpr int kLongestTickedBuffer = 8191;
// The loop's pace while someone looks.
constexpr int kRoundMs = 1;
// How often a resting loop looks round by itself (see TConnectorUnit::Rest).
constexpr int kIdleRoundMs = 1000;
// Whether anyone looks is asked again every this many rounds: the answer
// walks the displays' widgets and windows, too dear for every millisecond,
// and a window that goes off screen may be served a few rounds longer.
constexpr int kLookRounds = 16;

// Whether a display can be seen: a control must be showing in a window that
// is on screen (not minimised or unmapped); anything else counts as seen.
bool DisplaySeen(TComponent* component)
{
    auto* control = qobject_cast<TControl*>(component);
    if (control == nullptr)
        return true;
    if (!control->HandleAllocated() || !control->Showing())
        return false;
    const QWidget* top = control->Handle()->window();
    const QWindow* window = top != nullptr ? top->windowHandle() : nullptr;
    return window != nullptr && window->isExposed() && !(top->windowState() & Qt::WindowMinimized);
}
// Tells the resting loop that a watched window or control came on screen.
class TWindowWatcher : public QObject {
public:
    void Watch(QWidget* control)
    {
        Add(control);
        QWidget* top = control->window();
        Add(top);
        if (QWindow* window = top->windowHandle())
            Add(window);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Add(QObject* object)
    {
        if (std::find(FWatched.begin(), FWatched.end(), object) != FWatched.end())
            return;
        FWatched.emplace_back(object);
        object->installEventFilter(this);
    }

    std::vector<QPointer<QObject>> FWatched;
};
} // namespace

/// What all connectors share. GUI thread, except Window, which Trigger reads
/// in any thread.
struct TConnectorUnit {
    std::vector<TMMConnector*> Registry;
    std::atomic<HWND> Window { nullptr };
    int RunningAutoTriggers = 0;
    int MaxSpeed = TMMConnector::kMinSpeed;
    bool EnterIdle = false;
    bool IdleInstalled = false;
    // At most one round is scheduled (a pump message or the round timer): a
    // second one (several connectors starting) would only run the loop
    // twice as often.
    bool PumpQueued = false;
    // The loop waits for someone to look (see Rest).
    bool Resting = false;
    // Rounds until the loop asks again whether anyone looks (see Pump).
    int LookCountdown = 0;
    std::unique_ptr<QTimer> Round;
    std::unique_ptr<TWindowWatcher> Watcher;
    std::uint32_t NextSerial = 1;

    static TConnectorUnit& Get()
    {
        static TConnectorUnit unit;
        return unit;
    }

    TMMConnector* Find(LPARAM serial) const
    {
        for (TMMConnector* connector : Registry) {
            if (connector->FSerial == static_cast<std::uint32_t>(serial))
                return connector;
        }
        return nullptr;
    }

    void RecomputeMaxSpeed()
    {
        int speed = TMMConnector::kMinSpeed;
        for (TMMConnector* connector : Registry)
            speed = std::max(speed, connector->FSpeed);
        MaxSpeed = speed;
    }

    void RemoveIdleHandler()
    {
        if (RunningAutoTriggers == 0 && IdleInstalled) {
            if (TApplication* app = TApplicationAccess::Get())
                app->SetOnIdle(TIdleEvent());
            IdleInstalled = false;
        }
    }

    // Whether the round timer paces a running loop.
    bool Pacing() const { return !Resting && Round && Round->isActive(); }

    void PostPump()
    {
        if (PumpQueued || Pacing())
            return;
        if (PostMessage(Window.load(), TMMConnector::kPumpMessage, 0, 0))
            PumpQueued = true;
    }

    bool LoopGoesOn() const
    {
        TApplication* app = TApplicationAccess::Get();
        return RunningAutoTriggers > 0 && !Registry.empty() && (app == nullptr || !app->Terminated());
    }

    // The round timer and the window watcher live as long as the hidden
    // window: made with the first connector, gone with the last.
    // The round timer repeats: arming a timer anew every millisecond (a
    // timer id, the dispatcher's list) costs more than the round it paces.
    void MakeLoopObjects()
    {
        Round = std::make_unique<QTimer>();
        Round->setTimerType(Qt::PreciseTimer);
        QObject::connect(Round.get(), &QTimer::timeout, [] { Get().Pump(false); });
        Watcher = std::make_unique<TWindowWatcher>();
    }

    void DropLoopObjects()
    {
        Round.reset();
        Watcher.reset();
        Resting = false;
    }

    // Brings a resting loop back: a watched window came on screen, a
    // display was attached or shown, a handler was set.
    void Wake()
    {
        if (Resting) {
            Resting = false;
            if (Round)
                Round->stop();
            PumpQueued = false;
        }
        if (LoopGoesOn())
            PostPump();
    }

    // Nobody looks: the loop rests until a window of one of the displays
    // (or a display itself) is shown or exposed again, with a slow round as
    // a safety net for a change no event tells of. What arrives meanwhile is
    // shown (caught up) once someone looks. Without any display and
    // handler there is nothing to wait for but an attach, which wakes it.
    void Rest()
    {
        bool anyDisplay = false;
        for (TMMConnector* connector : Registry) {
            for (TComponent* slot : connector->FSlots) {
                if (slot == nullptr)
                    continue;
                anyDisplay = true;
                if (auto* control = qobject_cast<TControl*>(slot); control != nullptr && Watcher) {
                    if (control->HandleAllocated())
                        Watcher->Watch(control->Handle());
                }
            }
        }
        Resting = true;
        PumpQueued = true;
        if (Round) {
            if (anyDisplay)
                Round->start(kIdleRoundMs);
            else
                Round->stop();
        }
    }

    // A round, from the pump message (FromMessage) or the round timer.
    void Pump(bool fromMessage)
    {
        if (fromMessage || Resting)
            PumpQueued = false;
        if (Resting) {
            Resting = false;
            LookCountdown = 0; // the slow round asks at once
        }
        // One round: the program handles what is waiting (the event loop's
        // own turn that brought us here is the first of the Speed rounds),
        // then a pass of every running connector. Connectors may come and
        // go meanwhile, so the registry is read afresh at every step.
        const int rounds = TMMConnector::kMaxSpeed - MaxSpeed;
        for (int i = 0; i < rounds; ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        const bool look = fromMessage || --LookCountdown <= 0 || !Pacing();
        bool wanted = !look;
        if (LoopGoesOn()) {
            for (size_t i = 0; i < Registry.size(); ++i) {
                TMMConnector* connector = Registry[i];
                if (connector->AutoTrigger() && connector->Enabled() && connector->Running()) {
                    connector->RefreshPass();
                    if (look)
                        wanted = wanted || connector->WantsLoop();
                }
            }
        }
        if (look)
            LookCountdown = kLookRounds;
        if (!LoopGoesOn()) {
            if (Round)
                Round->stop();
            return; // the next start message begins it anew
        }
        if (PumpQueued) {
            // A start message meanwhile posted the next round.
            if (Round)
                Round->stop();
            return;
        }
        if (!wanted) {
            Rest();
            return;
        }
        // The wait for the next round is the event loop's: it sleeps in its
        // poll and handles whatever comes meanwhile (the idle processing
        // included, when it is about to block), instead of this thread
        // sleeping and then posting itself a message to wake up again.
        if (Round && (!Round->isActive() || Round->interval() != kRoundMs))
            Round->start(kRoundMs);
    }

    static void WindowMethod(TMessage& message)
    {
        TConnectorUnit& unit = Get();
        switch (message.Msg) {
        case TMMConnector::kStartMessage:
            // A connector destroyed since it posted is no longer found.
            if (TMMConnector* connector = unit.Find(message.LParam))
                connector->StartMessage();
            break;
        case TMMConnector::kTriggerMessage:
            if (TMMConnector* connector = unit.Find(message.LParam))
                connector->TriggerMessage();
            break;
        case TMMConnector::kPumpMessage:
            unit.Pump(true);
            break;
        default:
            message.Result = DefWindowProc(unit.Window.load(), message.Msg, message.WParam, message.LParam);
            break;
        }
    }
};

bool TWindowWatcher::eventFilter(QObject*, QEvent* event)
{
    switch (event->type()) {
    case QEvent::Expose:
    case QEvent::Show:
    case QEvent::WindowStateChange:
        if (TConnectorUnit::Get().Resting)
            TConnectorUnit::Get().Wake();
        break;
    default:
        break;
    }
    return false;
}

// ---------------------------------------------------------------------------

TMMConnector::TMMConnector(TComponent* owner)
    : TMMDSPComponent(owner)
{
    RegisterConnectorClasses();
    if (!Designing())
        Register();
}

TMMConnector::~TMMConnector()
{
    Destroying();
    // Stopped's own handling (the base destructor would reach only the
    // base's).
    try {
        TMMConnector::Stopped();
    } catch (...) {
        // A display that failed to reset must not keep the connector alive.
    }
    Unregister();
}

bool TMMConnector::Designing() const
{
    return (ComponentState() & csDesigning) != 0;
}

TMMConnector::TKind TMMConnector::KindOf(int slot)
{
    return slot == kMeter1 || slot == kMeter2 ? kMeter : kLight;
}

void TMMConnector::Register()
{
    if (FRegistered)
        return;
    TConnectorUnit& unit = TConnectorUnit::Get();
    timeBeginPeriod(kTimerResolution);
    if (unit.Registry.empty()) {
        unit.Window.store(AllocateHWnd(&TConnectorUnit::WindowMethod));
        unit.MakeLoopObjects();
    }
    FSerial = unit.NextSerial++;
    if (unit.NextSerial == 0)
        unit.NextSerial = 1;
    unit.Registry.push_back(this);
    FRegistered = true;
    unit.RecomputeMaxSpeed();
}

void TMMConnector::Unregister()
{
    if (!FRegistered)
        return;
    TConnectorUnit& unit = TConnectorUnit::Get();
    timeEndPeriod(kTimerResolution);
    // This connector's queued start and trigger messages find no connector
    // any more (they carry its serial number, which is never reused); the
    // pump message stays for the others.
    std::erase(unit.Registry, this);
    FRegistered = false;
    if (unit.Registry.empty()) {
        DeallocateHWnd(unit.Window.exchange(nullptr));
        unit.DropLoopObjects();
        unit.PumpQueued = false;
    }
}

int TMMConnector::RegisteredCount()
{
    return static_cast<int>(TConnectorUnit::Get().Registry.size());
}

HWND TMMConnector::ConnectorWindow()
{
    return TConnectorUnit::Get().Window.load();
}

void TMMConnector::SetDesignMode(bool value)
{
    TMMDSPComponent::SetDesignMode(value);
    if (!Designing())
        Register();
}

// -- properties -----------------------------------------------------------------

void TMMConnector::StopRunning()
{
    if (!FRunning.load())
        return;
    FRunning.store(false);
    TConnectorUnit& unit = TConnectorUnit::Get();
    if (FAutoTrigger.load()) {
        --unit.RunningAutoTriggers;
        unit.RemoveIdleHandler();
    }
}

void TMMConnector::SetEnabled(bool value)
{
    if (value == FEnabled.load())
        return;
    FEnabled.store(value);
    if (Designing())
        return;
    if (!value) {
        StopRunning();
        ResetDisplays();
    } else if (FActive.load() && FRealTime.load()) {
        ScheduleStart();
    }
}

void TMMConnector::SetAutoTrigger(bool value)
{
    if (value == FAutoTrigger.load())
        return;
    if (Designing()) {
        FAutoTrigger.store(value);
        return;
    }
    if (!value) {
        // Leaves the running count with the setting it was counted under.
        StopRunning();
        FAutoTrigger.store(false);
    } else {
        FAutoTrigger.store(true);
        if (FActive.load() && FEnabled.load() && FRealTime.load())
            ScheduleStart();
    }
}

void TMMConnector::SetSpeed(int value)
{
    value = std::clamp(value, kMinSpeed, kMaxSpeed);
    if (value == FSpeed)
        return;
    FSpeed = value;
    if (!Designing())
        TConnectorUnit::Get().RecomputeMaxSpeed();
}

void TMMConnector::SetRealTime(bool value)
{
    if (value == FRealTime.load())
        return;
    if (IsOpen())
        throw EMMConnectorError(QStringLiteral("Change to property while device was open"));
    FRealTime.store(value);
}

bool TMMConnector::EnterIdle() const
{
    return TConnectorUnit::Get().EnterIdle;
}

void TMMConnector::SetEnterIdle(bool value)
{
    TConnectorUnit::Get().EnterIdle = value;
}

void TMMConnector::SetSlot(int slot, TComponent* value)
{
    if (value == this)
        return;
    IMMDisplay* display = nullptr;
    if (value != nullptr) {
        display = qobject_cast<IMMDisplay*>(value);
        if (display == nullptr) {
            static const char* const kNames[kSlotCount] = { "Meter1", "Meter2", "Light1", "Light2" };
            const QString who = value->Name().isEmpty()
                ? value->ClassName()
                : value->Name() + QStringLiteral(" (") + value->ClassName() + QLatin1Char(')');
            throw EMMConnectorError(QStringLiteral("%1 is not a display and cannot be attached as %2")
                                        .arg(who, QLatin1String(kNames[slot])));
        }
    }
    if (value == FSlots[slot])
        return;
    const int other = slot ^ 1; // the other slot of the same kind
    if (value != nullptr && value == FSlots[other])
        return;
    {
        TCriticalSectionLock lock(FLock);
        FSlots[slot] = value;
        FDisplays[slot] = display;
        FPending[KindOf(slot)] = false;
    }
    if (value != nullptr) {
        FreeNotification(value);
        FormatPush();
        if (!Designing() && TConnectorUnit::Get().Resting)
            TConnectorUnit::Get().Wake();
    }
}

void TMMConnector::Notification(TComponent* component, TOperation operation)
{
    TMMDSPComponent::Notification(component, operation);
    if (operation != opRemove || component == nullptr)
        return;
    TCriticalSectionLock lock(FLock);
    for (int slot = 0; slot < kSlotCount; ++slot) {
        if (FSlots[slot] == component) {
            FSlots[slot] = nullptr;
            FDisplays[slot] = nullptr;
            FPending[KindOf(slot)] = false;
        }
    }
}

// -- state ----------------------------------------------------------------------

WAVEFORMATEX TMMConnector::DisplayFormat() const
{
    TCriticalSectionLock lock(FLock);
    return FDisplayFormat;
}

int TMMConnector::DisplayBufferSize() const
{
    TCriticalSectionLock lock(FLock);
    return FDisplayBufferSize;
}

std::int64_t TMMConnector::ArrivalTime() const
{
    TCriticalSectionLock lock(FLock);
    return FArrival;
}

// -- chain ----------------------------------------------------------------------

void TMMConnector::SetPWaveFormat(LPCWAVEFORMATEX format)
{
    TMMDSPComponent::SetPWaveFormat(format);
    FormatPush();
}

void TMMConnector::FormatPush()
{
    const WAVEFORMATEX* own = GetPWaveFormat();
    if (own == nullptr)
        return;
    WAVEFORMATEX pushed {};
    if (FActive.load()) {
        TCriticalSectionLock lock(FLock);
        pushed = FDisplayFormat;
    } else {
        bool usable = false;
        if (own->wFormatTag == WAVE_FORMAT_PCM) {
            std::memcpy(&pushed, own, sizeof pushed);
            pushed.cbSize = 0;
            usable = true;
        } else if (FAutoConvert) {
            usable = ACMSuggestPCMFormat(own, &pushed) && ACMConversionPossible(own, &pushed, true);
        }
        TCriticalSectionLock lock(FLock);
        FInputIsPCM = own->wFormatTag == WAVE_FORMAT_PCM;
        FConverting = !FInputIsPCM && usable;
        if (!usable)
            return;
    }
    if (pushed.wFormatTag != WAVE_FORMAT_PCM)
        return;
    IMMDisplay* displays[kSlotCount];
    {
        TCriticalSectionLock lock(FLock);
        FSilence = pushed.wBitsPerSample == 8 ? 128 : 0;
        std::copy(std::begin(FDisplays), std::end(FDisplays), displays);
    }
    for (IMMDisplay* display : displays) {
        if (display != nullptr) {
            WAVEFORMATEX copy = pushed; // each display gets its own 18 bytes
            display->AdoptFormat(&copy);
        }
    }
}

void TMMConnector::Started()
{
    TMMDSPComponent::Started();
    const WAVEFORMATEX* own = GetPWaveFormat();
    if (Designing() || own == nullptr || FActive.load())
        return;
    const int bufferSize = GetBufferSize();
    {
        TCriticalSectionLock lock(FLock);
        FDisplayData = nullptr;
        FChain.reset();
        FCopyBuffer.clear();
        FCopySize = 0;
        FDisplayBufferSize = 0;
        FValidBytes = 0;
        if (own->wFormatTag == WAVE_FORMAT_PCM) {
            FInputIsPCM = true;
            FConverting = false;
            std::memcpy(&FDisplayFormat, own, sizeof FDisplayFormat);
            FDisplayFormat.cbSize = 0;
            FCopySize = bufferSize;
            FCopyBuffer.assign(static_cast<size_t>(bufferSize), 0);
            FDisplayBufferSize = bufferSize;
            FDisplayData = FCopyBuffer.data();
        } else {
            FInputIsPCM = false;
            FConverting = false;
            FDisplayFormat = {};
            WAVEFORMATEX suggested {};
            if (FAutoConvert && ACMSuggestPCMFormat(own, &suggested)) {
                // The chain keeps its own source buffer, with room for a
                // partial block held back plus a whole delivery.
                FChain = ACMOpenChain(own, &suggested, bufferSize, true);
                if (FChain) {
                    FConverting = true;
                    FDisplayFormat = suggested;
                    FCopySize = FChain->SourceSize();
                    FDisplayData = FChain->OutputBuffer();
                    FDisplayBufferSize = FChain->OutputSize();
                }
            }
        }
        std::fill(std::begin(FPending), std::end(FPending), false);
        std::fill(std::begin(FCounters), std::end(FCounters), 0u);
        FNextDue.store(0, std::memory_order_release);
        if ((!FInputIsPCM && !FConverting) || FDisplayData == nullptr)
            return; // inactive: the displays get nothing
        FActive.store(true);
    }
    TConnectorUnit::Get().RecomputeMaxSpeed();
    FormatPush();
    if (FEnabled.load() && FRealTime.load())
        ScheduleStart();
}

void TMMConnector::ScheduleStart()
{
    TConnectorUnit& unit = TConnectorUnit::Get();
    TApplication* app = TApplicationAccess::Get();
    if (FAutoTrigger.load() && unit.EnterIdle && app != nullptr && !app->OnIdle() && !unit.IdleInstalled) {
        app->SetOnIdle([](TObject*, bool& done) { done = false; });
        unit.IdleInstalled = true;
    }
    PostMessage(unit.Window.load(), kStartMessage, 0, static_cast<LPARAM>(FSerial));
}

void TMMConnector::StartMessage()
{
    if (!FActive.load() || FRunning.load())
        return;
    InterlockedExchange(&FPendingTriggers, 0);
    FRunning.store(true);
    if (FAutoTrigger.load()) {
        TConnectorUnit& unit = TConnectorUnit::Get();
        ++unit.RunningAutoTriggers;
        unit.Wake();
    }
}

void TMMConnector::SetOnTrigger(TNotifyEvent handler)
{
    FOnTrigger = std::move(handler);
    TConnectorUnit& unit = TConnectorUnit::Get();
    if (FOnTrigger && FRegistered && unit.Resting)
        unit.Wake();
}

bool TMMConnector::WantsLoop() const
{
    if (FOnTrigger)
        return true;
    for (TComponent* slot : FSlots) {
        if (slot != nullptr && DisplaySeen(slot))
            return true;
    }
    return false;
}

bool TMMConnector::Servable() const
{
    return FEnabled.load() && (FRunning.load() || (!FRealTime.load() && FActive.load()));
}

void TMMConnector::TriggerMessage()
{
    // The count goes down whatever happens, or no later Trigger from
    // another thread would ever be posted again.
    if (Servable())
        RefreshPass();
    InterlockedDecrement(&FPendingTriggers);
}

void TMMConnector::Trigger()
{
    if (!Servable() || FAutoTrigger.load() || InterlockedRead(&FPendingTriggers) != 0)
        return;
    if (IsMainThread() || !FRealTime.load()) {
        RefreshPass();
        return;
    }
    InterlockedIncrement(&FPendingTriggers);
    if (!PostMessage(TConnectorUnit::Get().Window.load(), kTriggerMessage, 0, static_cast<LPARAM>(FSerial)))
        InterlockedDecrement(&FPendingTriggers);
}

void TMMConnector::FillSilence()
{
    TCriticalSectionLock lock(FLock);
    if (FDisplayData != nullptr && (FInputIsPCM || FConverting))
        std::memset(const_cast<BYTE*>(FDisplayData), FSilence, static_cast<size_t>(FDisplayBufferSize));
}

void TMMConnector::MarkPending()
{
    // Caller holds FLock.
    FNextDue.store(0, std::memory_order_release);
    for (int slot = 0; slot < kSlotCount; ++slot) {
        if (FDisplays[slot] != nullptr) {
            FPending[KindOf(slot)] = true;
            FPositions[KindOf(slot)] = 0;
        }
    }
}

void TMMConnector::SubscribePauseTick()
{
    EndPauseTick();
    int interval = kMMTimerPeriod;
    const WAVEFORMATEX* own = GetPWaveFormat();
    const int bufferSize = GetBufferSize();
    if (bufferSize <= kLongestTickedBuffer && own != nullptr && own->nAvgBytesPerSec > 0) {
        const std::int64_t product = std::int64_t { bufferSize } * 1000;
        interval = static_cast<int>((product + own->nAvgBytesPerSec / 2) / own->nAvgBytesPerSec);
    }
    // The tick service's lock is taken without holding FLock: a tick holds
    // it while it waits for FLock.
    FPauseTick = MMTimerSubscribe(interval, [this] { PauseTick(); });
}

void TMMConnector::EndPauseTick()
{
    {
        TCriticalSectionLock lock(FLock);
        std::fill(std::begin(FPending), std::end(FPending), false);
    }
    const TMMTimerId tick = FPauseTick;
    FPauseTick = 0;
    MMTimerUnsubscribe(tick);
}

void TMMConnector::PauseTick()
{
    if (!FPaused.load())
        return;
    TCriticalSectionLock lock(FLock);
    FArrival = MicroTime();
    MarkPending();
}

void TMMConnector::Paused()
{
    if (!Designing() && FActive.load() && !FPaused.load()) {
        FPaused.store(true);
        FillSilence();
        if (FRealTime.load())
            SubscribePauseTick();
    }
    TMMDSPComponent::Paused();
}

void TMMConnector::Restarted()
{
    if (!Designing() && FPaused.load()) {
        FPaused.store(false);
        if (FRealTime.load())
            EndPauseTick();
    }
    TMMDSPComponent::Restarted();
}

void TMMConnector::Reset()
{
    if (!Designing() && FActive.load())
        FillSilence();
    TMMDSPComponent::Reset();
}

void TMMConnector::Stopped()
{
    if (!Designing() && FActive.load()) {
        StopRunning();
        FPaused.store(false);
        if (FPauseTick != 0)
            EndPauseTick();
        {
            TCriticalSectionLock lock(FLock);
            FActive.store(false);
            FChain.reset();
            FCopyBuffer = std::vector<BYTE>();
            FCopySize = 0;
            FDisplayData = nullptr;
            FDisplayBufferSize = 0;
            FValidBytes = 0;
            FConverting = false;
            std::fill(std::begin(FPending), std::end(FPending), false);
        }
        if (FRefreshOnStop)
            ResetDisplays();
    }
    TMMDSPComponent::Stopped();
}

void TMMConnector::ResetDisplays()
{
    IMMDisplay* displays[kSlotCount];
    {
        TCriticalSectionLock lock(FLock);
        std::copy(std::begin(FDisplays), std::end(FDisplays), displays);
    }
    for (IMMDisplay* display : displays) {
        if (display != nullptr)
            display->ResetDisplay();
    }
}

// -- data -----------------------------------------------------------------------

void TMMConnector::BufferReady(PWaveHdr lpWaveHdr)
{
    if (lpWaveHdr != nullptr) {
        TMMBufferRecord* record = BufferRecordOf(lpWaveHdr);
        if (FSynchronize.load() && record->companion != nullptr && lpWaveHdr->dwBytesRecorded > 0)
            record = record->companion;
        if (record != nullptr)
            DataArrived(record->Header.lpData, static_cast<int>(record->Header.dwBytesRecorded));
    }
    TMMDSPComponent::BufferReady(lpWaveHdr);
}

void TMMConnector::BufferLoad(PWaveHdr lpWaveHdr, bool& moreBuffers)
{
    TMMDSPComponent::BufferLoad(lpWaveHdr, moreBuffers);
    if (lpWaveHdr != nullptr)
        DataArrived(lpWaveHdr->lpData, static_cast<int>(lpWaveHdr->dwBytesRecorded));
}

void TMMConnector::DataArrived(const void* data, int count)
{
    if (!FEnabled.load() || FPaused.load() || data == nullptr || count <= 0)
        return;
    {
        TCriticalSectionLock lock(FLock);
        // Stopped frees the buffers under the lock: test again inside.
        if (!FActive.load() || (!FInputIsPCM && !FConverting))
            return;
        FArrival = MicroTime();
        const int n = std::min(count, FCopySize);
        if (FConverting) {
            const int converted = FChain->Convert(data, n);
            if (converted <= 0)
                return; // nothing to show yet (or an error): no slices
            FValidBytes = converted;
        } else {
            std::memcpy(FCopyBuffer.data(), data, static_cast<size_t>(n));
            FValidBytes = n;
        }
        MarkPending();
    }
    if (!FRealTime.load() && FAutoTrigger.load())
        RefreshPass();
}

void TMMConnector::RefreshPass()
{
    if (!Servable())
        return;
    const bool synchronize = FSynchronize.load();
    // Most rounds come between two slices: nothing to take the lock for.
    if (synchronize && MicroTime() < FNextDue.load(std::memory_order_acquire)) {
        if (FOnTrigger)
            FOnTrigger(this);
        return;
    }
    {
        TCriticalSectionLock lock(FLock);
        if (FDisplayData == nullptr)
            return;
        const std::int64_t now = MicroTime();
        const std::int64_t elapsed = now - FArrival;
        // A copy first: the format record is packed, its fields unaligned.
        const DWORD averageBytes = FDisplayFormat.nAvgBytesPerSec;
        const std::int64_t bytesPerSecond = std::max<DWORD>(averageBytes, 1);
        for (int kind = 0; kind < kKindCount; ++kind) {
            if (!FPending[kind])
                continue;
            int step = 0;
            for (int slot = 0; slot < kSlotCount; ++slot) {
                if (FDisplays[slot] != nullptr && KindOf(slot) == kind)
                    step = std::max(step, FDisplays[slot]->StepSize());
            }
            if (step <= 0) {
                FPending[kind] = false; // a display that takes nothing would never use it up
                continue;
            }
            // Synchronized, every slice that is due by now is shown, in order:
            // at 48 kHz stereo a meter's slices fall due more often than the
            // loop comes round, and one per pass would fall further and
            // further behind. Unsynchronized, one slice per pass.
            do {
                const std::int64_t position = FPositions[kind];
                if (synchronize && position * 1000000 / bytesPerSecond > elapsed)
                    break;
                FPositions[kind] = static_cast<int>(position) + step;
                if (position + step > FValidBytes) {
                    FPending[kind] = false; // the buffer is used up
                    break;
                }
                for (int slot = 0; slot < kSlotCount; ++slot) {
                    if (FDisplays[slot] != nullptr && KindOf(slot) == kind)
                        FDisplays[slot]->ShowSlice(FDisplayData + position);
                }
                ++FCounters[kind];
            } while (synchronize);
        }
        // When the next slice of any kind falls due; until then a pass has
        // nothing to do. A new buffer or a pause tick brings it forward.
        std::int64_t nextDue = std::numeric_limits<std::int64_t>::max();
        for (int kind = 0; kind < kKindCount; ++kind) {
            if (FPending[kind])
                nextDue = std::min(
                    nextDue, FArrival + std::int64_t { FPositions[kind] } * 1000000 / bytesPerSecond);
        }
        FNextDue.store(synchronize ? nextDue : 0, std::memory_order_release);
    }
    if (FOnTrigger)
        FOnTrigger(this);
}
