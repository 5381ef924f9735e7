#pragma once
// The audio chain: components linked through Input and Output, the wave
// format that travels down the links, the buffer size fixed at open, the
// open/start state carried along the chain by its notifications, and the
// buffer records that travel down (recording) or up (playback).
//
// Threads. Linking, format changes and the open, start, pause, stop and close
// notifications run in the thread that drives the devices: the GUI thread in
// this program. BufferReady runs in the thread in which the device delivers
// its buffers: the GUI thread for a device in window mode, the device's
// worker thread (a TMMDSPThread) in thread mode. The chain itself takes no
// locks: members sharing state between those threads guard it themselves or
// hand work to the GUI thread with SyncCall. The open and started flags are
// atomic, so that a member may read them in the buffer thread while the GUI
// thread stops the chain.

#include "mm/core/MMObj.h"
#include "mm/core/MMUtils.h"
#include "platform/mm/MMSystem.h"

#include <QMetaType>
#include <QString>
#include <atomic>
#include <cstddef>
#include <functional>
#include <vector>

/// The buffer passed along the chain, as the platform's wave functions see
/// it: the WAVEHDR at the start of a buffer record.
using PWaveHdr = WAVEHDR*;

// ---------------------------------------------------------------------------
// The buffer record

/// One block of memory per buffer: the record, immediately followed by the
/// audio bytes. The record starts with the platform's WAVEHDR, so a record
/// is handed to the wave functions and to BufferReady as a PWaveHdr; the
/// library's fields follow in their fixed order.
///
/// Sizes on 64-bit Linux (the platform's WAVEHDR carries 8-byte pointers, so
/// the record is larger than on the 32-bit system it was laid out for):
///
///     offset  size  field
///          0    48  Header (WAVEHDR: lpData 8, dwBufferLength 4,
///                   dwBytesRecorded 4, dwUser 8, dwFlags 4, dwLoops 4,
///                   lpNext 8, reserved 8)
///         48     4  Spare
///         52     4  SavedBytesRecorded
///         56     8  companion
///         64     4  Looping
///         68     4  LoopCount
///         72     4  LoopsLeft
///         76     4  LoopState
///         80        the audio data (kBufferRecordSize)
///
/// The chain uses Header.lpData (the data, record + kBufferRecordSize),
/// Header.dwBufferLength (capacity of the data area: the device's buffer
/// size) and Header.dwBytesRecorded (valid bytes; 0 means empty), and leaves
/// Header.dwFlags to the platform. Recording devices fill only the header;
/// the other fields serve playback devices.
struct TMMBufferRecord {
    WAVEHDR Header;
    /// Read and written by no component of this system.
    DWORD Spare;
    /// Playback: a copy of Header.dwBytesRecorded.
    DWORD SavedBytesRecorded;
    /// Playback: the record queued after the one being played; null
    /// otherwise. The connector reads it.
    TMMBufferRecord* companion;
    /// Playback: -1 while looping, else 0.
    LONG Looping;
    /// Playback: the configured loop count.
    LONG LoopCount;
    /// Playback: the loops still to play.
    LONG LoopsLeft;
    /// Playback: restart marker.
    LONG LoopState;
};

static_assert(sizeof(WAVEHDR) == 48, "the record layout above assumes the 64-bit WAVEHDR");
static_assert(offsetof(TMMBufferRecord, Header) == 0, "a record must be usable as its WAVEHDR");
static_assert(offsetof(TMMBufferRecord, Spare) == 48);
static_assert(offsetof(TMMBufferRecord, SavedBytesRecorded) == 52);
static_assert(offsetof(TMMBufferRecord, companion) == 56);
static_assert(offsetof(TMMBufferRecord, Looping) == 64);
static_assert(offsetof(TMMBufferRecord, LoopState) == 76);
static_assert(sizeof(TMMBufferRecord) == 80);

using PMMBufferRecord = TMMBufferRecord*;

/// Bytes of the record in front of the audio data: a buffer of N data bytes
/// is one block of kBufferRecordSize + N bytes.
inline constexpr std::size_t kBufferRecordSize = sizeof(TMMBufferRecord);

/// The record whose header lpWaveHdr is. Only for headers that really start a
/// buffer record (every buffer passed along the chain does).
inline TMMBufferRecord* BufferRecordOf(PWaveHdr lpWaveHdr)
{
    return reinterpret_cast<TMMBufferRecord*>(lpWaveHdr);
}

/// The audio data of a record: the bytes right after it.
inline char* BufferRecordData(TMMBufferRecord* record)
{
    return reinterpret_cast<char*>(record) + kBufferRecordSize;
}

/// Sets up a freshly allocated block of kBufferRecordSize + BufferLength
/// bytes as an empty buffer record: lpData points right after the record,
/// dwBufferLength is BufferLength, every other field is 0 (null). Any thread.
void InitBufferRecord(TMMBufferRecord* record, DWORD bufferLength);

// ---------------------------------------------------------------------------
// Events

/// A buffer passes a chain member (recording direction).
using TMMBufferEvent = std::function<void(TObject* Sender, PWaveHdr lpWaveHdr)>;
Q_DECLARE_METATYPE(TMMBufferEvent)

/// A buffer is being filled (playback direction); the handler may clear
/// MoreBuffers to say that no data follows.
using TMMBufferLoadEvent = std::function<void(TObject* Sender, PWaveHdr lpWaveHdr, bool& MoreBuffers)>;
Q_DECLARE_METATYPE(TMMBufferLoadEvent)

// ---------------------------------------------------------------------------
// Chain components

/// The common ancestor of the chain members; adds nothing.
class TMMCustomDSPComponent : public TMMNonVisualComponent {
    Q_OBJECT
public:
    explicit TMMCustomDSPComponent(TComponent* owner);
    ~TMMCustomDSPComponent() override;
};

/// A member of an audio chain.
///
/// Links. Input is the upstream partner, Output the downstream one; neither
/// is owned. A concrete class publishes the links it wants as Q_PROPERTYs
/// with the accessors below:
///
///     Q_PROPERTY(TMMDSPComponent* Input READ GetInput WRITE SetInput)
///     Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)
///
/// and a component can be linked as another's Input only when its class
/// publishes Output (or ProvidesOutput is set), as another's Output only
/// when it publishes Input (or AcceptsInput is set). Refused links (self, a
/// cycle, a partner that cannot link back) are ignored silently.
///
/// Format. Each member owns a copy of the stream's format (PWaveFormat);
/// setting it passes it on to Output, so a format set at the head flows to
/// the tail. Linking hands the upstream format down.
///
/// State. Closed -> open (Opened: the real buffer size is fixed) -> started
/// (Started, only while open) -> open (Stopped) -> closed (Closed). Closed on
/// a started member leaves IsStarted set; devices send Stopped first.
/// Changing the format or the buffer size of a started member, and every
/// link change, sends Stopped to it first.
///
/// Unless a member says otherwise, everything runs in the GUI thread (see
/// the head of this file); BufferReady runs in the buffer thread.
class TMMDSPComponent : public TMMCustomDSPComponent {
    Q_OBJECT
public:
    /// Longest back-property name a link keeps.
    static constexpr int kMaxPropNameLength = 20;
    /// BufferSize and RealBufferSize of a new component.
    static constexpr int kDefaultBufferSize = 2048;

    /// A member with no links, no format, buffer size 2048, closed; it
    /// enters the chain registry.
    explicit TMMDSPComponent(TComponent* owner);
    /// Unlinks Input and Output (the partners lose their references to this
    /// component; Output loses its format), frees the format and leaves the
    /// chain registry. No other member keeps a pointer to it afterwards.
    /// This runs after the derived destructors: a derived class whose
    /// notifications must know that it is being destroyed (events not fired,
    /// formats held back) calls Destroying() at the start of its own.
    ~TMMDSPComponent() override;

    // -- links --------------------------------------------------------------

    /// Links Value as the upstream partner. Ignored when Value is the
    /// current Input or CanConnectInput(Value) is false. Otherwise: Stopped
    /// on this component; the old Input (if any) loses its Output and this
    /// component its format; nil stops there. Else whatever was Value's
    /// Output loses its Input, Value's Output becomes this component, and
    /// Value's format is handed down from here (UpdateFormat).
    virtual void SetInput(TMMDSPComponent* value);
    virtual TMMDSPComponent* GetInput() const;

    /// The mirror of SetInput: Stopped here; the old Output loses its Input
    /// and its format; whatever was Value's Input loses its Output; then this
    /// component's format goes down to Value.
    virtual void SetOutput(TMMDSPComponent* value);
    virtual TMMDSPComponent* GetOutput() const;

    /// Raw stores of the partner and the name of its property that points
    /// back here (cut to 20 characters); nothing else happens.
    virtual void SetInputLink(TMMDSPComponent* component, const QString& propName);
    virtual void SetOutputLink(TMMDSPComponent* component, const QString& propName);

    /// Whether Component may become this component's Input: not this
    /// component, a TMMDSPComponent that publishes Output or has
    /// ProvidesOutput, and not already downstream of this component (no
    /// cycles). Asks down the Outputs.
    virtual bool CanConnectInput(TComponent* component);
    /// Whether Component may become this component's Output: the mirror
    /// (publishes Input or has AcceptsInput; not already upstream). Asks up
    /// the Inputs.
    virtual bool CanConnectOutput(TComponent* component);

    /// The back-link release every link change broadcasts to all chain
    /// members (in creation order). InputSide true: when Sender is this
    /// component's Input, InputPropName is PropName and Sender's property
    /// PropName points at this component, the Input link is cleared (raw,
    /// nothing else happens). InputSide false: the same for Output.
    /// Sender's property is its published Q_PROPERTY of that name; a class
    /// that links without publishing it ("Input" or "Output") is asked
    /// through GetInput or GetOutput instead, so no one-sided link survives.
    virtual void LinkReleased(TMMDSPComponent* sender, bool inputSide, const QString& propName);

    /// Lets the component be linked as another's Output although its class
    /// does not publish Input.
    bool AcceptsInput() const { return FAcceptsInput; }
    void SetAcceptsInput(bool value) { FAcceptsInput = value; }
    /// Lets the component be linked as another's Input although its class
    /// does not publish Output.
    bool ProvidesOutput() const { return FProvidesOutput; }
    void SetProvidesOutput(bool value) { FProvidesOutput = value; }

    /// The property of the Input partner that points back here ("Output"),
    /// empty without Input.
    QString InputPropName() const { return FInputPropName; }
    /// The property of the Output partner that points back here ("Input"),
    /// empty without Output.
    QString OutputPropName() const { return FOutputPropName; }

    // -- format -------------------------------------------------------------

    /// How a neighbour hands this component a format (null: none). The
    /// default calls SetPWaveFormat.
    virtual void InputFormatChanged(LPCWAVEFORMATEX format);

    /// Stores an owned copy of Format (18 bytes for PCM with cbSize 0,
    /// 18 + cbSize otherwise; null stays null), stopping a started
    /// component first. Format may be the current PWaveFormat itself: then
    /// nothing is copied. Either way the own format is then passed to
    /// Output's InputFormatChanged, unless the component is loading, being
    /// read or being destroyed. Raises EOutOfMemory when no copy can be
    /// made; the old format then stays.
    virtual void SetPWaveFormat(LPCWAVEFORMATEX format);
    /// The owned copy, null when there is none.
    virtual PWAVEFORMATEX GetPWaveFormat() const;
    PWAVEFORMATEX PWaveFormat() const { return GetPWaveFormat(); }

    /// Re-sends a format across the links (after a link is made): with an
    /// Input, this component takes the Input's format; otherwise its own
    /// format goes to Output. Not while loading, being read or destroyed.
    virtual void UpdateFormat();

    // -- buffer size --------------------------------------------------------

    /// RealBufferSize while open, else BufferSize.
    virtual int GetBufferSize() const;
    /// Stores Value as BufferSize when it differs, calling Stopped first on
    /// a started component. No range check here (devices clamp).
    virtual void SetBufferSize(int value);
    /// The requested size in bytes.
    int BufferSize() const { return FBufferSize; }
    /// The size fixed at Opened: BufferSize rounded down to whole blocks of
    /// the format, at least one block.
    int RealBufferSize() const { return FRealBufferSize; }

    bool IsOpen() const { return FIsOpen.load(); }
    bool IsStarted() const { return FIsStarted.load(); }

    // -- chain notifications ------------------------------------------------

    /// Opens the component: unless it is open already, fixes RealBufferSize
    /// (BufferSize without a format; with one, BufferSize rounded down to a
    /// multiple of nBlockAlign but at least nBlockAlign; a format whose
    /// nBlockAlign is 0 has no blocks, so BufferSize is kept), then IsOpen.
    virtual void Opened();
    /// Clears IsOpen (IsStarted is left as it is).
    virtual void Closed();
    /// Sets IsStarted when open and not started.
    virtual void Started();
    /// Nothing at this level.
    virtual void Paused();
    /// Nothing at this level.
    virtual void Restarted();
    /// Clears IsStarted.
    virtual void Stopped();
    /// Nothing at this level.
    virtual void Reset();
    /// Nothing at this level.
    virtual void Looped();

    // -- buffers ------------------------------------------------------------

    /// Recording direction: fires OnBufferReady(this, lpWaveHdr), then hands
    /// the same record to Output. A member that changes the data changes it
    /// for everything downstream. Runs in the buffer thread.
    virtual void BufferReady(PWaveHdr lpWaveHdr);
    /// Playback direction: fires OnBufferLoad(this, lpWaveHdr, MoreBuffers),
    /// then asks Input to fill the record (the request travels up to the
    /// source, which fills dwBytesRecorded and the data).
    virtual void BufferLoad(PWaveHdr lpWaveHdr, bool& moreBuffers);

    TMMBufferEvent OnBufferReady() const { return FOnBufferReady; }
    void SetOnBufferReady(TMMBufferEvent handler) { FOnBufferReady = std::move(handler); }
    TMMBufferLoadEvent OnBufferLoad() const { return FOnBufferLoad; }
    void SetOnBufferLoad(TMMBufferLoadEvent handler) { FOnBufferLoad = std::move(handler); }

    // -- chain registry -----------------------------------------------------

    /// Every live TMMDSPComponent, in creation order. Any thread (a
    /// snapshot).
    static std::vector<TMMDSPComponent*> ChainRegistry();

protected:
    /// Inherited handling, then SetPWaveFormat(PWaveFormat): forwards the
    /// format that was held back while the form was loading.
    void Loaded() override;

    /// A removed Input or Output is unlinked (SetInput(nil) or
    /// SetOutput(nil)).
    void Notification(TComponent* component, TOperation operation) override;

    /// Broadcasts LinkReleased(Sender, InputSide, PropName) to every member
    /// of the chain registry, in registry order.
    static void BroadcastLinkReleased(TMMDSPComponent* sender, bool inputSide, const QString& propName);

    /// Whether the component is loading, being read or being destroyed: the
    /// states in which formats are held back.
    bool HoldsFormats() const;

private:
    TMMDSPComponent* FInput = nullptr;
    TMMDSPComponent* FOutput = nullptr;
    PWAVEFORMATEX FPWaveFormat = nullptr;
    int FBufferSize = kDefaultBufferSize;
    int FRealBufferSize = kDefaultBufferSize;
    // Written by the notifications (GUI thread), read in the buffer thread.
    std::atomic<bool> FIsOpen { false };
    std::atomic<bool> FIsStarted { false };
    TMMBufferEvent FOnBufferReady;
    TMMBufferLoadEvent FOnBufferLoad;
    bool FAcceptsInput = false;
    bool FProvidesOutput = false;
    QString FInputPropName;
    QString FOutputPropName;
};

// ---------------------------------------------------------------------------
// Devices

/// The base of devices (the wave input). A device drives the chain: it
/// sends each notification to itself and to the non-device members of its
/// part of the chain, that is from the chain head (or from itself, when
/// another device lies upstream) down to the next device.
///
/// Opened on device D: the members from there down get SetBufferSize(D's
/// buffer size) and Opened; the next device downstream gets the same and
/// carries it on; then D opens itself. Started, Paused, Restarted, Reset and
/// Looped walk the same way without buffer sizes. Closed and Stopped first
/// reach the next device downstream, then the members of D's part (up to,
/// not including, that device), then D itself. So the members open before
/// the device and close before it.
class TMMCustomSoundComponent : public TMMDSPComponent {
    Q_OBJECT
public:
    explicit TMMCustomSoundComponent(TComponent* owner);
    ~TMMCustomSoundComponent() override;

    /// Set by Opened when another device lies upstream of this one.
    bool HasUpstreamDevice() const { return FHasUpstreamDevice; }

    void Opened() override;
    void Closed() override;
    void Started() override;
    void Paused() override;
    void Restarted() override;
    void Stopped() override;
    void Reset() override;
    void Looped() override;

    /// The accessors of the devices' published NumBuffers, DeviceID,
    /// ProductName and CallBackMode.
    virtual void SetNumBuffers(int value) = 0;
    virtual int GetNumBuffers() const = 0;
    virtual void SetDeviceID(TMMDeviceId value) = 0;
    virtual TMMDeviceId GetDeviceID() const = 0;
    virtual void SetProductName(const QString& value) = 0;
    virtual QString GetProductName() const = 0;
    virtual void SetCallBackMode(TMMCBMode value) = 0;
    virtual TMMCBMode GetCallBackMode() const = 0;

private:
    using TNotify = void (TMMDSPComponent::*)();

    // The first component of this device's part of the chain: itself when
    // another device lies upstream, else the chain head.
    TMMDSPComponent* WalkStart(bool* upstreamDevice);
    // From Start down: every non-device member gets Notify (with this
    // device's buffer size first when SetSizes), this device is skipped,
    // the first other device gets it too and ends the walk.
    void NotifyDownFrom(TMMDSPComponent* start, TNotify notify, bool setSizes);
    // Closed and Stopped: the next device downstream first, then the
    // members of this part (that device not included).
    void NotifyEndingWalk(TNotify notify);

    bool FHasUpstreamDevice = false;
};

/// The base of playback devices. It adds nothing to what every device has:
/// a playback device pulls its data up the chain with BufferLoad. No
/// playback device is used in this program.
class TMMCustomWaveOutComponent : public TMMCustomSoundComponent {
    Q_OBJECT
public:
    explicit TMMCustomWaveOutComponent(TComponent* owner);
    ~TMMCustomWaveOutComponent() override;
};

// ---------------------------------------------------------------------------
// Device threads

/// A device's worker thread. Created suspended; from construction to
/// destruction it is in the device-thread registry, which makes SyncCall in
/// it run its method in the GUI thread.
class TMMDSPThread : public TMMThreadEx {
public:
    /// Owner: the device the thread works for (not owned).
    explicit TMMDSPThread(TMMCustomSoundComponent* owner);
    ~TMMDSPThread() override;

    TMMCustomSoundComponent* Owner() const { return FOwner; }

    /// Whether the thread with that id is a registered device thread. Any
    /// thread.
    static bool IsDeviceThread(DWORD threadId);
    /// The number of registered device threads. Any thread.
    static int DeviceThreadCount();

private:
    TMMCustomSoundComponent* FOwner;
};

/// Runs Method in the GUI thread when called from a registered device
/// thread (through the platform's synchronise-with-main-thread call, which
/// waits for it and raises again what it raised); from any other thread,
/// the GUI thread included, calls it directly.
void SyncCall(const std::function<void()>& method);

/// SyncCall of a parameterless method of Object.
template <class T> void SyncCall(T* object, void (T::*method)())
{
    SyncCall([object, method] { (object->*method)(); });
}
