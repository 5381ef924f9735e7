#include "mm/display/MMConect.h"

#include "mm/core/MMUtils.h"
#include "mm/display/MMPacer.h"
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
// The loop's pace, and the instants a replay runs its passes at.
constexpr int kRoundMs = 1;
constexpr std::int64_t kInstantUs = 1000 * kRoundMs;
// How often resting frames look round by themselves (see TConnectorUnit::Rest).
constexpr int kIdleRoundMs = 1000;
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
// Deliveries at most this far apart ask for the frames themselves.
constexpr std::int64_t kFrequentUs = 2000 * TMMFramePacer::kFrameMs;

std::atomic<TMMConnector::TClock> gClock { nullptr };

std::int64_t ClockNow()
{
    const TMMConnector::TClock clock = gClock.load(std::memory_order_relaxed);
    return clock != nullptr ? clock() : MicroTime();
}

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
// Tells resting frames that a watched window or control came on screen.
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

/// What all connectors share. GUI thread, except Window, Frame and Resting,
/// which intake and Trigger read in any thread.
struct TConnectorUnit {
    std::vector<TMMConnector*> Registry;
    std::atomic<HWND> Window { nullptr };
    int RunningAutoTriggers = 0;
    int MaxSpeed = TMMConnector::kMinSpeed;
    bool EnterIdle = false;
    bool IdleInstalled = false;
    // At most one loop round is scheduled (a pump message or the round
    // timer): a second one (several connectors starting) would only run
    // the loop twice as often.
    bool PumpQueued = false;
    // The frames wait for someone to look (see Rest).
    std::atomic<bool> Resting { false };
    std::unique_ptr<QTimer> Round;
    std::unique_ptr<QTimer> IdleRound;
    std::unique_ptr<QObject> FrameContext;
    std::unique_ptr<TMMFramePacer> Frame;
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

    static bool Terminating()
    {
        TApplication* app = TApplicationAccess::Get();
        return app != nullptr && app->Terminated();
    }

    // A connector the 1 ms loop serves (one with an OnTrigger handler).
    static bool Looped(const TMMConnector* connector)
    {
        return connector->AutoTrigger() && connector->Enabled() && connector->Running()
            && !connector->Replayed();
    }
    // A connector the frames' replay serves.
    static bool Replaying(const TMMConnector* connector)
    {
        return connector->AutoTrigger() && connector->Enabled() && connector->Running()
            && connector->Replayed();
    }

    bool LoopGoesOn() const
    {
        if (RunningAutoTriggers == 0 || Registry.empty() || Terminating())
            return false;
        return std::any_of(Registry.begin(), Registry.end(), Looped);
    }

    // The round timer repeats: arming a timer anew every millisecond (a
    // timer id, the dispatcher's list) costs more than the round it paces.
    // These objects live as long as the hidden window: made with the first
    // connector, gone with the last.
    void MakeLoopObjects()
    {
        Round = std::make_unique<QTimer>();
        Round->setTimerType(Qt::PreciseTimer);
        QObject::connect(Round.get(), &QTimer::timeout, [] { Get().Pump(false); });
        IdleRound = std::make_unique<QTimer>();
        QObject::connect(IdleRound.get(), &QTimer::timeout, [] { Get().Wake(); });
        FrameContext = std::make_unique<QObject>();
        Frame = std::make_unique<TMMFramePacer>(
            FrameContext.get(), [] { Get().ReplayFrame(); }, true);
        Watcher = std::make_unique<TWindowWatcher>();
    }

    void DropLoopObjects()
    {
        Round.reset();
        IdleRound.reset();
        Frame.reset();
        FrameContext.reset();
        Watcher.reset();
        Resting.store(false);
        PumpQueued = false;
    }

    void PostPump()
    {
        if (PumpQueued || (Round && Round->isActive()))
            return;
        if (PostMessage(Window.load(), TMMConnector::kPumpMessage, 0, 0))
            PumpQueued = true;
    }

    // A frame for the replay, unless the frames rest. Any thread.
    void RequestFrame()
    {
        if (!Resting.load() && Frame)
            Frame->Request();
    }

    // Brings resting frames back: a watched window came on screen, a
    // display was attached or shown, the slow round came.
    void Wake()
    {
        if (Resting.exchange(false) && IdleRound)
            IdleRound->stop();
        RequestFrame();
    }

    // Nobody looks: the frames rest until a window of one of the displays
    // (or a display itself) is shown or exposed again, with a slow round as
    // a safety net for a change no event tells of. What arrives meanwhile is
    // kept and replayed once someone looks. Without any display there is
    // nothing to wait for but an attach, which wakes them.
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
        Resting.store(true);
        if (IdleRound) {
            if (anyDisplay)
                IdleRound->start(kIdleRoundMs);
            else
                IdleRound->stop();
        }
    }

    // A frame: every connector the replay serves runs the passes it owes
    // up to now; the displays draw what they were shown right after, in
    // this frame. Another frame follows while any has slices to come.
    void ReplayFrame()
    {
        if (Terminating())
            return;
        bool any = false;
        bool seen = false;
        for (TMMConnector* connector : Registry) {
            if (Replaying(connector)) {
                any = true;
                seen = seen || connector->WantsLoop();
            }
        }
        if (!any)
            return;
        if (!seen) {
            Rest();
            return;
        }
        const std::int64_t now = ClockNow();
        bool more = false;
        bool frequent = true;
        // Connectors may come and go in a display's ShowSlice: the registry
        // is read afresh at every step.
        for (size_t i = 0; i < Registry.size(); ++i) {
            TMMConnector* connector = Registry[i];
            if (Replaying(connector) && connector->Replay(now)) {
                more = true;
                frequent = frequent && connector->DeliveriesFrequent(now);
            }
        }
        // Buffers that come more often than every other frame bring their
        // own frames (a delivery asks for one): the slices still to come are
        // shown then, and a frame of its own follows only if none comes.
        if (more && frequent)
            Frame->RequestLater(kFrequentUs / 1000);
        else if (more)
            Frame->Request();
    }

    // A loop round, from the pump message (FromMessage) or the round timer.
    void Pump(bool fromMessage)
    {
        if (fromMessage)
            PumpQueued = false;
        // One round: the program handles what is waiting (the event loop's
        // own turn that brought us here is the first of the Speed rounds),
        // then a pass of every looped connector. Connectors may come and go
        // meanwhile, so the registry is read afresh at every step.
        const int rounds = TMMConnector::kMaxSpeed - MaxSpeed;
        for (int i = 0; i < rounds; ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (LoopGoesOn()) {
            for (size_t i = 0; i < Registry.size(); ++i) {
                TMMConnector* connector = Registry[i];
                if (Looped(connector))
                    connector->RefreshPass();
            }
        }
        if (!LoopGoesOn()) {
            if (Round)
                Round->stop();
            return; // the next start message or handler begins it anew
        }
        if (PumpQueued) {
            // A start message meanwhile posted the next round.
            if (Round)
                Round->stop();
            return;
        }
        // The wait for the next round is the event loop's: it sleeps in its
        // poll and handles whatever comes meanwhile (the idle processing
        // included, when it is about to block), instead of this thread
        // sleeping and then posting itself a message to wake up again.
        if (Round && !Round->isActive())
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
        if (TConnectorUnit::Get().Resting.load())
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
    Settle();
    {
        TCriticalSectionLock lock(FLock);
        FSlots[slot] = value;
        FDisplays[slot] = display;
        FPending[KindOf(slot)] = false;
    }
    if (value != nullptr) {
        FreeNotification(value);
        FormatPush();
        if (!Designing() && TConnectorUnit::Get().Resting.load())
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
        FPool.clear();
        FWaitingFirst = 0;
        FWaitingCount = 0;
        FCurrentSlot = 0;
        FCopySize = 0;
        FDisplayBufferSize = 0;
        FValidBytes = 0;
        if (own->wFormatTag == WAVE_FORMAT_PCM) {
            FInputIsPCM = true;
            FConverting = false;
            std::memcpy(&FDisplayFormat, own, sizeof FDisplayFormat);
            FDisplayFormat.cbSize = 0;
            FCopySize = bufferSize;
            FDisplayBufferSize = bufferSize;
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
                    FDisplayBufferSize = FChain->OutputSize();
                }
            }
        }
        if (FDisplayBufferSize > 0) {
            FPool.assign(static_cast<size_t>(FDisplayBufferSize) * kKeptBuffers, 0);
            FDisplayData = FPool.data();
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
    FLastInstant = ClockNow();
    FRunning.store(true);
    if (FAutoTrigger.load()) {
        TConnectorUnit& unit = TConnectorUnit::Get();
        ++unit.RunningAutoTriggers;
        if (Replayed())
            unit.Wake();
        else
            unit.PostPump();
    }
}

void TMMConnector::SetOnTrigger(TNotifyEvent handler)
{
    // The replay owes passes up to now before the loop takes over; the
    // loop has run them up to now when the replay does.
    if (handler)
        Settle();
    FOnTrigger = std::move(handler);
    FHasOnTrigger.store(bool(FOnTrigger));
    FLastInstant = ClockNow();
    if (!FRegistered || !FRunning.load() || !FAutoTrigger.load())
        return;
    TConnectorUnit& unit = TConnectorUnit::Get();
    if (Replayed())
        unit.Wake();
    else
        unit.PostPump();
}

void TMMConnector::SetSynchronize(bool value)
{
    if (value == FSynchronize.load())
        return;
    Settle();
    FSynchronize.store(value);
}

void TMMConnector::SetClock(TClock clock)
{
    gClock.store(clock);
}

bool TMMConnector::Replayed() const
{
    return FRealTime.load() && FAutoTrigger.load() && !FHasOnTrigger.load();
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
    // The buffer that is shown from now on is the newest one.
    ApplyArrivals(kNever);
    if (FDisplayData != nullptr && (FInputIsPCM || FConverting))
        std::memset(const_cast<BYTE*>(FDisplayData), FSilence, static_cast<size_t>(FDisplayBufferSize));
}

void TMMConnector::MarkPending()
{
    // Caller holds FLock.
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
    {
        TCriticalSectionLock lock(FLock);
        if (!FActive.load())
            return;
        // The silent buffer again, as if it had arrived now.
        const TKept newest = FWaitingCount > 0 ? FWaiting[(FWaitingFirst + FWaitingCount - 1) % kKeptBuffers]
                                               : TKept { FCurrentSlot, FValidBytes, FArrival };
        Keep(newest.Slot, newest.Valid, ClockNow());
    }
    if (Replayed())
        TConnectorUnit::Get().RequestFrame();
}

void TMMConnector::Paused()
{
    if (!Designing() && FActive.load() && !FPaused.load()) {
        Settle();
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
        Settle();
        FPaused.store(false);
        if (FRealTime.load())
            EndPauseTick();
    }
    TMMDSPComponent::Restarted();
}

void TMMConnector::Reset()
{
    if (!Designing() && FActive.load()) {
        Settle();
        FillSilence();
    }
    TMMDSPComponent::Reset();
}

void TMMConnector::Stopped()
{
    if (!Designing() && FActive.load()) {
        // The last picture stays: it shows what the passes up to now showed.
        if (!FRefreshOnStop && (ComponentState() & csDestroying) == 0)
            Settle();
        StopRunning();
        FPaused.store(false);
        if (FPauseTick != 0)
            EndPauseTick();
        {
            TCriticalSectionLock lock(FLock);
            FActive.store(false);
            FChain.reset();
            FPool = std::vector<BYTE>();
            FWaitingCount = 0;
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
        const std::int64_t arrival = ClockNow();
        FDeliveryGap = arrival - FLastDelivery;
        FLastDelivery = arrival;
        const int n = std::min(count, FCopySize);
        const BYTE* source = static_cast<const BYTE*>(data);
        int valid = n;
        if (FConverting) {
            valid = FChain->Convert(data, n);
            if (valid <= 0)
                return; // nothing to show yet (or an error): no slices
            source = FChain->OutputBuffer();
        }
        valid = std::min(valid, FDisplayBufferSize);
        const int slot = FreeSlot();
        std::memcpy(FPool.data() + static_cast<size_t>(slot) * FDisplayBufferSize, source,
            static_cast<size_t>(valid));
        Keep(slot, valid, arrival);
    }
    if (!FRealTime.load()) {
        if (FAutoTrigger.load())
            RefreshPass();
    } else if (Replayed()) {
        TConnectorUnit::Get().RequestFrame();
    }
}

int TMMConnector::FreeSlot()
{
    // Caller holds FLock.
    for (;;) {
        for (int slot = 0; slot < kKeptBuffers; ++slot) {
            if (slot == FCurrentSlot)
                continue;
            bool taken = false;
            for (int k = 0; k < FWaitingCount && !taken; ++k)
                taken = FWaiting[(FWaitingFirst + k) % kKeptBuffers].Slot == slot;
            if (!taken)
                return slot;
        }
        DropOldestKept();
    }
}

void TMMConnector::DropOldestKept()
{
    // Caller holds FLock. Passes held up this long: the oldest waiting
    // buffer goes unseen, as it would with a loop held up as long.
    FWaitingFirst = (FWaitingFirst + 1) % kKeptBuffers;
    --FWaitingCount;
}

void TMMConnector::Keep(int slot, int valid, std::int64_t arrival)
{
    // Caller holds FLock.
    if (FWaitingCount == kKeptBuffers)
        DropOldestKept();
    FWaiting[(FWaitingFirst + FWaitingCount) % kKeptBuffers] = TKept { slot, valid, arrival };
    ++FWaitingCount;
    FNextDue.store(0, std::memory_order_release);
}

void TMMConnector::ApplyArrivals(std::int64_t until)
{
    // Caller holds FLock. What a pass at Until sees: every buffer that
    // arrived by then has replaced the one before, in turn.
    while (FWaitingCount > 0 && FWaiting[FWaitingFirst].Arrival <= until) {
        const TKept kept = FWaiting[FWaitingFirst];
        FWaitingFirst = (FWaitingFirst + 1) % kKeptBuffers;
        --FWaitingCount;
        FCurrentSlot = kept.Slot;
        FDisplayData = FPool.data() + static_cast<size_t>(kept.Slot) * FDisplayBufferSize;
        FValidBytes = kept.Valid;
        FArrival = kept.Arrival;
        MarkPending();
    }
}

bool TMMConnector::DeliveriesFrequent(std::int64_t now) const
{
    TCriticalSectionLock lock(FLock);
    return !FPaused.load() && FDeliveryGap <= kFrequentUs && now - FLastDelivery < kFrequentUs;
}

bool TMMConnector::AnyPending() const
{
    // Caller holds FLock.
    return FWaitingCount > 0
        || std::any_of(std::begin(FPending), std::end(FPending), [](bool p) { return p; });
}

void TMMConnector::RefreshPass()
{
    if (!Servable())
        return;
    // Most rounds of the loop come between two slices: nothing to take the
    // lock for.
    const std::int64_t now = ClockNow();
    if (now >= FNextDue.load(std::memory_order_acquire)) {
        TCriticalSectionLock lock(FLock);
        if (FDisplayData == nullptr)
            return;
        PassAt(now);
    }
    if (FOnTrigger)
        FOnTrigger(this);
}

bool TMMConnector::Replay(std::int64_t now)
{
    TCriticalSectionLock lock(FLock);
    if (FDisplayData == nullptr)
        return false;
    // The instants of a pass every millisecond since the last replay; those
    // at which nothing falls due (no slice, no arrival) are skipped, as
    // their passes would show nothing.
    const std::int64_t base = FLastInstant;
    if (now - base < kInstantUs)
        return AnyPending();
    const std::int64_t last = base + (now - base) / kInstantUs * kInstantUs;
    std::int64_t instant = base + kInstantUs;
    while (instant <= last) {
        PassAt(instant);
        const std::int64_t next = FNextDue.load(std::memory_order_relaxed);
        if (next == kNever)
            break;
        if (next > instant + kInstantUs)
            instant = base + (next - base + kInstantUs - 1) / kInstantUs * kInstantUs;
        else
            instant += kInstantUs;
    }
    FLastInstant = last;
    return AnyPending();
}

void TMMConnector::Settle()
{
    // Before a change the kept buffers cannot carry (a pause, a slot, the
    // pacing): the passes owed up to now run first, so the change meets the
    // displays where a pass every millisecond would have.
    if (!IsMainThread() || !Replayed() || !FActive.load() || !Servable() || !FAutoTrigger.load())
        return;
    const std::int64_t now = ClockNow();
    if (TConnectorUnit::Get().Resting.load())
        return; // nobody looks: the frames replay it when someone does
    // A pass at this very instant comes after the change, as a buffer
    // arriving at it comes before the pass.
    Replay(now - 1);
}

void TMMConnector::PassAt(std::int64_t instant)
{
    // Caller holds FLock.
    ApplyArrivals(instant);
    const bool synchronize = FSynchronize.load();
    const std::int64_t elapsed = instant - FArrival;
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
        // at 48 kHz stereo a meter's slices fall due more often than
        // passes come round, and one per pass would fall further and
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
    // When a pass next has something to do: a slice falls due or a kept
    // buffer arrives. Until then a pass has nothing to do.
    std::int64_t nextDue = FWaitingCount > 0 ? FWaiting[FWaitingFirst].Arrival : kNever;
    for (int kind = 0; kind < kKindCount; ++kind) {
        if (FPending[kind])
            nextDue = synchronize
                ? std::min(nextDue, FArrival + std::int64_t { FPositions[kind] } * 1000000 / bytesPerSecond)
                : 0;
    }
    FNextDue.store(nextDue, std::memory_order_release);
}
