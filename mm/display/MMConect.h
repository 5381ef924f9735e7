#pragma once
// TMMConnector: the chain member that feeds one audio stream to the displays
// (needle meters, light organs). It passes every buffer on to its Output
// unchanged and keeps a copy of the latest one, which it hands to its
// displays slice by slice, each slice when it is due by real time: a slice
// at byte p of a buffer is shown p / nAvgBytesPerSec seconds after the buffer
// arrived. A stream that is not PCM is converted to PCM for the displays
// (MMACMSup), while the chain goes on carrying the original data.
//
// The refresh passes run in the GUI thread. A pass shows every slice due by
// its instant, and a new buffer replaces the one the slices are read from, so
// which slices the displays see depends on when passes run: the connector
// runs them as a pass every millisecond would. Rather than waking every
// millisecond, it keeps the buffers that arrive (with their arrival times) and
// replays the passes of every whole millisecond since the last replay, each
// with its due test against its own instant, once per screen frame
// (TMMFramePacer, first in the frame, so the displays draw what it showed in
// the same frame). While no running connector has a display on screen the
// frames rest: a window of a display coming on screen or an attach wakes
// them (and they look round once a second by itself while displays are
// attached), and the kept buffers are replayed then.
//
// A connector with an OnTrigger handler (fired after every pass) is served
// by a real loop instead: a pass every millisecond from a precise timer. With
// AutoTrigger off the owner calls Trigger; with RealTime off there is no
// loop: a pass runs inside each buffer delivery.
//
// Displays attach to the slots Meter1, Meter2 (needle meters) and Light1,
// Light2 (light organs). A display is a component that implements the
// display contract IMMDisplay. Slices are handed out per kind of display,
// in the order level, meter, oscilloscope, light organ, spectrum,
// spectrogram (only meters and light organs have slots here); the displays
// of one kind get the same slices, of the largest step size among them.
//
// Threads. Properties, slots, the chain notifications and the refresh loop
// belong to the GUI thread. BufferReady (the data intake) runs in the thread
// that delivers the buffers. The pause tick runs on the tick service's
// thread (MMTimer). What they share (the display buffer, its valid bytes, the
// arrival time, the pending flags and read positions) is guarded by the
// connector's critical section; a pass holds it while it shows slices, so a
// buffer is never replaced in the middle of a pass. Trigger may be called
// from any thread.

#include "mm/core/MMDSPObj.h"
#include "mm/display/MMACMSup.h"
#include "mm/display/MMTimer.h"
#include "platform/kernel/SyncObjs.h"
#include "platform/ui/Classes.h"
#include "platform/ui/SysUtils.h"

#include <QObject>
#include <QtPlugin>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

/// The connector's failures: a wrong display, a property that may not change
/// now.
class EMMConnectorError : public Exception {
public:
    using Exception::Exception;
};

/// What a display offers the connector. A display is a QObject-derived
/// component that also derives from IMMDisplay and declares it with
/// Q_INTERFACES(IMMDisplay), so that qobject_cast finds it:
///
///     class TMMMeter : public TMMDIBGraphicControl, public IMMDisplay {
///         Q_OBJECT
///         Q_INTERFACES(IMMDisplay)
///         ...
///
/// The connector calls it in the thread of its refresh passes (the GUI
/// thread, or the buffer thread with RealTime off) and at format changes and
/// stops (GUI thread).
class IMMDisplay {
public:
    virtual ~IMMDisplay() = default;

    /// The bytes of display data one slice takes (a needle meter:
    /// bytes per sample x channels x Samples).
    virtual int StepSize() const = 0;
    /// Takes the display format, an 18-byte PCM WAVEFORMATEX, and sets the
    /// display's sample width and channels (and rate) from it. May raise the
    /// display's own error for a format it cannot show.
    virtual void AdoptFormat(const WAVEFORMATEX* format) = 0;
    /// Back to the idle picture (needles at zero, lamps dark), repainted.
    virtual void ResetDisplay() = 0;
    /// Shows StepSize bytes of display data at Data. Runs while the
    /// connector holds its lock, which a pause tick waits for while it holds
    /// the tick service's: it must not call the tick service (MMTimer*) or
    /// wait for another thread; setting numbers and flags is what it is for.
    virtual void ShowSlice(const void* data) = 0;
};

#define IMMDisplay_iid "org.tonvara.IMMDisplay/1"
Q_DECLARE_INTERFACE(IMMDisplay, IMMDisplay_iid)

namespace MMConectEnums {
Q_NAMESPACE

/// Oscilloscope trigger (kept for the stored forms; no oscilloscope slot is
/// built).
enum TMMTriggerMode { tmNone, tmUpFlank, tmDownFlank };
Q_ENUM_NS(TMMTriggerMode)

} // namespace MMConectEnums

using MMConectEnums::TMMTriggerMode;
using enum MMConectEnums::TMMTriggerMode;

class TMMConnector : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(TNotifyEvent OnTrigger READ OnTrigger WRITE SetOnTrigger)
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_CLASSINFO("default:Enabled", "True")
    Q_PROPERTY(bool AutoConvert READ AutoConvert WRITE SetAutoConvert)
    Q_CLASSINFO("default:AutoConvert", "True")
    Q_PROPERTY(bool AutoTrigger READ AutoTrigger WRITE SetAutoTrigger)
    Q_CLASSINFO("default:AutoTrigger", "True")
    Q_PROPERTY(bool Synchronize READ Synchronize WRITE SetSynchronize)
    Q_CLASSINFO("default:Synchronize", "True")
    Q_PROPERTY(int Speed READ Speed WRITE SetSpeed)
    Q_CLASSINFO("default:Speed", "5000")
    Q_PROPERTY(MMConectEnums::TMMTriggerMode TriggerMode READ TriggerMode WRITE SetTriggerMode)
    Q_CLASSINFO("default:TriggerMode", "tmNone")
    Q_PROPERTY(int TriggerLevel READ TriggerLevel WRITE SetTriggerLevel)
    Q_CLASSINFO("default:TriggerLevel", "0")
    Q_PROPERTY(bool RefreshOnStop READ RefreshOnStop WRITE SetRefreshOnStop)
    Q_CLASSINFO("default:RefreshOnStop", "True")
    Q_PROPERTY(bool RealTime READ RealTime WRITE SetRealTime)
    Q_CLASSINFO("default:RealTime", "True")
    // Unit-wide and always stored.
    Q_PROPERTY(bool EnterIdle READ EnterIdle WRITE SetEnterIdle)
    Q_PROPERTY(TMMDSPComponent* Input READ GetInput WRITE SetInput)
    Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)
    Q_PROPERTY(TComponent* Meter1 READ Meter1 WRITE SetMeter1)
    Q_PROPERTY(TComponent* Meter2 READ Meter2 WRITE SetMeter2)
    Q_PROPERTY(TComponent* Light1 READ Light1 WRITE SetLight1)
    Q_PROPERTY(TComponent* Light2 READ Light2 WRITE SetLight2)
public:
    /// The hidden window's messages (wParam 0, lParam the connector's
    /// serial number, or 0 for the pump).
    static constexpr UINT kStartMessage = 0xB1F5;
    static constexpr UINT kTriggerMessage = 0xB1F6;
    static constexpr UINT kPumpMessage = 0xB1F7;
    /// Speed's range.
    static constexpr int kMinSpeed = 1;
    static constexpr int kMaxSpeed = 5000;
    /// Buffers kept for their passes (the one being shown included).
    static constexpr int kKeptBuffers = 8;

    /// The defaults; unless in design state, asks for 1 ms timer resolution
    /// and joins the connectors' registry (the first one makes the hidden
    /// window).
    explicit TMMConnector(TComponent* owner);
    /// Stops (as Stopped), leaves the registry (the last one destroys the
    /// hidden window; this connector's queued messages are dropped, the
    /// loop goes on for the others) and unlinks.
    ~TMMConnector() override;

    // -- properties -------------------------------------------------------------

    TNotifyEvent OnTrigger() const { return FOnTrigger; }
    /// A handler set moves the connector from the frames' replay to the
    /// 1 ms loop (the handler is fired after every pass); cleared, back.
    void SetOnTrigger(TNotifyEvent handler);

    bool Enabled() const { return FEnabled.load(); }
    /// Off: stops feeding and resets every display at once. On while
    /// active: the loop serves this connector again.
    void SetEnabled(bool value);

    bool AutoConvert() const { return FAutoConvert; }
    void SetAutoConvert(bool value) { FAutoConvert = value; }

    bool AutoTrigger() const { return FAutoTrigger.load(); }
    /// Off: the loop no longer serves this connector; the owner calls
    /// Trigger.
    void SetAutoTrigger(bool value);

    bool Synchronize() const { return FSynchronize.load(); }
    /// Off: every pass shows the next slice of every pending kind at once.
    void SetSynchronize(bool value);

    int Speed() const { return FSpeed; }
    /// Clamped to 1..5000. The loop handles waiting messages
    /// 5000 - (the largest Speed of all connectors) + 1 times per round.
    void SetSpeed(int value);

    TMMTriggerMode TriggerMode() const { return FTriggerMode; }
    void SetTriggerMode(TMMTriggerMode value) { FTriggerMode = value; }
    int TriggerLevel() const { return FTriggerLevel; }
    void SetTriggerLevel(int value) { FTriggerLevel = value; }

    bool RefreshOnStop() const { return FRefreshOnStop; }
    void SetRefreshOnStop(bool value) { FRefreshOnStop = value; }

    bool RealTime() const { return FRealTime.load(); }
    /// Raises EMMConnectorError "Change to property while device was open"
    /// while the chain is open.
    void SetRealTime(bool value);

    /// One setting for all connectors: the loop lets the application run its
    /// idle processing every round.
    bool EnterIdle() const;
    void SetEnterIdle(bool value);

    /// The display slots. A display must implement IMMDisplay; anything
    /// else raises EMMConnectorError. The connector itself, the display
    /// already in the slot and the display of the other slot of the same
    /// kind are ignored. Attaching pushes the display format to every
    /// display. A destroyed display leaves its slot.
    TComponent* Meter1() const { return FSlots[kMeter1]; }
    void SetMeter1(TComponent* value) { SetSlot(kMeter1, value); }
    TComponent* Meter2() const { return FSlots[kMeter2]; }
    void SetMeter2(TComponent* value) { SetSlot(kMeter2, value); }
    TComponent* Light1() const { return FSlots[kLight1]; }
    void SetLight1(TComponent* value) { SetSlot(kLight1, value); }
    TComponent* Light2() const { return FSlots[kLight2]; }
    void SetLight2(TComponent* value) { SetSlot(kLight2, value); }

    // -- operations -------------------------------------------------------------

    /// One refresh pass on demand, for AutoTrigger off. Does nothing unless
    /// Enabled and running (with RealTime off: active), AutoTrigger off and
    /// no trigger from another thread is still pending. In the GUI thread
    /// the pass runs at once; from another thread it is posted to the GUI
    /// thread (a second one is not posted while one is pending). With
    /// RealTime off a pass may run in any thread.
    virtual void Trigger();

    /// The data intake: takes a copy of Count bytes at Data (at most one
    /// chain buffer), converts it when the stream is not PCM, and keeps it
    /// with its arrival time; the first pass at or after that time shows its
    /// slices. Buffer thread. Allocates nothing. Up to kKeptBuffers buffers
    /// wait for their passes; when a further one comes (passes held up that
    /// long), the oldest waiting one goes unseen, as it would in a loop held
    /// up as long.
    virtual void DataArrived(const void* data, int count);

    /// The pause tick's work (the tick service calls it on its thread every
    /// buffer's play time while paused): shows the silent buffer again from
    /// its start. Does nothing unless paused.
    void PauseTick();

    /// The clock slices are timed by, in microseconds: MicroTime unless a
    /// test sets a simulated one (null restores MicroTime). GUI thread, while
    /// no connector is active.
    using TClock = std::int64_t (*)();
    static void SetClock(TClock clock);

    // -- state, for the owner and tests -------------------------------------------

    /// Display buffer allocated (Started with a usable format, until Stopped).
    bool Active() const { return FActive.load(); }
    /// The loop serves the connector (its start message was handled).
    bool Running() const { return FRunning.load(); }
    bool IsPaused() const { return FPaused.load(); }
    /// The PCM format the displays get (wFormatTag 0 when there is none).
    WAVEFORMATEX DisplayFormat() const;
    /// The display buffer's size in bytes (0 while inactive).
    int DisplayBufferSize() const;
    /// MicroTime when the current buffer arrived or the last pause tick
    /// fired; a slice at byte p is due p * 1 000 000 / nAvgBytesPerSec
    /// microseconds later. Displays may read it from ShowSlice.
    std::int64_t ArrivalTime() const;
    /// Whether the passes have someone to show to: an OnTrigger handler is
    /// set or an attached display can be seen (a control showing in a window
    /// that is on screen). Otherwise the frames rest, and the kept buffers
    /// are replayed when they find someone to show them to. GUI thread.
    bool WantsLoop() const;
    /// The pause tick's subscription (0 when there is none).
    TMMTimerId PauseTickId() const { return FPauseTick; }

    /// How many connectors are registered (live, not in design state).
    static int RegisteredCount();
    /// The connectors' hidden window, null while none is registered.
    static HWND ConnectorWindow();

    // -- chain --------------------------------------------------------------------

    void SetPWaveFormat(LPCWAVEFORMATEX format) override;
    void Started() override;
    void Paused() override;
    void Restarted() override;
    void Stopped() override;
    void Reset() override;
    void BufferReady(PWaveHdr lpWaveHdr) override;
    void BufferLoad(PWaveHdr lpWaveHdr, bool& moreBuffers) override;
    void SetDesignMode(bool value) override;

protected:
    /// A removed display leaves its slot.
    void Notification(TComponent* component, TOperation operation) override;

private:
    // The kinds, in the order a pass serves them.
    enum TKind { kLevel, kMeter, kOscope, kLight, kSpectrum, kSpectrogram, kKindCount };
    // The slots, in the order displays are called.
    enum TSlot { kMeter1, kMeter2, kLight1, kLight2, kSlotCount };
    static TKind KindOf(int slot);

    friend struct TConnectorUnit;

    void SetSlot(int slot, TComponent* value);
    bool Designing() const;
    void Register();
    void Unregister();
    void ScheduleStart();
    void StopRunning();
    void FormatPush();
    void ResetDisplays();
    void FillSilence();
    void SubscribePauseTick();
    void EndPauseTick();
    void MarkPending();
    void RefreshPass();
    // The replay (see the unit's comment); GUI thread.
    bool Replayed() const;
    bool Replay(std::int64_t now);
    void Settle();
    // Caller holds FLock.
    void PassAt(std::int64_t instant);
    void ApplyArrivals(std::int64_t until);
    int FreeSlot();
    void Keep(int slot, int valid, std::int64_t arrival);
    void DropOldestKept();
    bool AnyPending() const;
    bool DeliveriesFrequent(std::int64_t now) const;
    void StartMessage();
    void TriggerMessage();
    bool Servable() const;

    TNotifyEvent FOnTrigger;
    // Whether FOnTrigger is set, for the buffer and tick threads.
    std::atomic<bool> FHasOnTrigger { false };
    std::atomic<bool> FEnabled { true };
    bool FAutoConvert = true;
    std::atomic<bool> FAutoTrigger { true };
    std::atomic<bool> FSynchronize { true };
    int FSpeed = kMaxSpeed;
    TMMTriggerMode FTriggerMode = tmNone;
    int FTriggerLevel = 0;
    bool FRefreshOnStop = true;
    std::atomic<bool> FRealTime { true };

    // Slots: written in the GUI thread under FLock, read by passes under it.
    TComponent* FSlots[kSlotCount] = {};
    IMMDisplay* FDisplays[kSlotCount] = {};

    bool FRegistered = false;
    std::uint32_t FSerial = 0;
    TMMTimerId FPauseTick = 0; // GUI thread

    std::atomic<bool> FActive { false };
    std::atomic<bool> FRunning { false };
    std::atomic<bool> FPaused { false };
    LONG FPendingTriggers = 0; // interlocked

    // Guarded by FLock from here on.
    mutable TCriticalSection FLock;
    BYTE FSilence = 0;
    bool FInputIsPCM = false;
    bool FConverting = false;
    WAVEFORMATEX FDisplayFormat {};
    std::unique_ptr<TMMACMChain> FChain;
    // The kept buffers: kKeptBuffers slots of FDisplayBufferSize bytes. One
    // is the buffer being shown (FCurrentSlot; FDisplayData points into it),
    // the others wait in FWaiting, oldest first, for their arrival's pass.
    // A pause tick's entry names the slot of the newest buffer again.
    struct TKept {
        int Slot = 0;
        int Valid = 0;
        std::int64_t Arrival = 0;
    };
    std::vector<BYTE> FPool;
    TKept FWaiting[kKeptBuffers] = {};
    int FWaitingFirst = 0;
    int FWaitingCount = 0;
    int FCurrentSlot = 0;
    int FCopySize = 0; // the most one delivery may bring
    const BYTE* FDisplayData = nullptr;
    int FDisplayBufferSize = 0;
    int FValidBytes = 0;
    std::int64_t FArrival = 0;
    bool FPending[kKindCount] = {};
    int FPositions[kKindCount] = {};
    std::uint32_t FCounters[kKindCount] = {};
    // When the last buffer came, and how long after the one before.
    std::int64_t FLastDelivery = 0;
    std::int64_t FDeliveryGap = 0;
    // The last instant replayed (GUI thread).
    std::int64_t FLastInstant = 0;
    // The time of the next pass that has something to do (a slice due, a
    // kept buffer's arrival; 0: the next pass); written under FLock, read
    // without it by the loop's first check.
    std::atomic<std::int64_t> FNextDue { 0 };
};

/// Registers TMMConnector with the stored-form reader. Idempotent; any
/// thread. Runs by itself when the unit is linked in.
void RegisterConnectorClasses();
