#pragma once
// TMMMeter: an analog VU meter. A needle swings over an arc-shaped scale of
// ticks and dB labels, with an optional red peak needle that holds the
// highest recent level for a while and then sinks back. The connector feeds
// it slices of PCM data (see the display contract in MMConect.h); each slice
// gives its peak amplitude on one channel (or the average of both), which is
// smoothed by DecayMode and mapped to a needle position on a dB (LogAmp) or
// linear scale. All levels, needle and peak values lie on 0 .. 32767.
//
// Drawing. The scale (background, ticks, labels, caption) is drawn once
// into a saved picture whenever something it shows changes; a needle update
// restores the work picture from it, draws the two needle lines and copies
// the drawing area to the screen. Slices only change numbers: the needle
// layer is redrawn at most once per screen frame (TMMFramePacer), and only
// when the needle or the peak moved.
//
// Geometry: the drawing area is the control inside its bevel, W x H. The
// pivot lies NeedleOffset pixels below it at (W div 2, H + NeedleOffset);
// the needles and the scale have the radius R = H + NeedleOffset -
// TopSpace, and the scale sweeps ScaleAngle degrees symmetrically about the
// vertical. Needle lines leave out their end point, as every line does.
// NeedleOffset, TopSpace and the tick lengths reach at most 2^16 pixels
// (further out a screen-sized area would show the same nearly parallel
// lines), and at most one tick per scale value (32768) is drawn.
//
// Threads. Properties, painting and ShowSlice belong to the GUI thread
// (ShowSlice may also come from the connector's buffer thread when it runs
// without its real-time loop). The peak tick runs on the tick service's
// thread (MMTimer) every 25 ms and changes only the peak value, its hold
// counter and the peak-changed flag, under the meter's own lock; the next
// slice (or Value write) shows the change. While the meter's window is off
// screen (minimised, unmapped) the tick rests, and the ticks it missed are
// made up at once when the window comes back.

#include "mm/core/MMObj.h"
#include "mm/core/MMUtils.h"
#include "mm/display/MMConect.h"
#include "mm/display/MMPacer.h"
#include "mm/display/MMTimer.h"
#include "platform/ui/Bitmap.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QWindow>
#include <cstdint>
#include <memory>
#include <mutex>

/// The meter's failure: a format it cannot show.
class EMMMeterError : public Exception {
public:
    using Exception::Exception;
};

namespace MMMeterEnums {
Q_NAMESPACE

enum TMMScaleOrigin { soInner, soOuter };
Q_ENUM_NS(TMMScaleOrigin)

} // namespace MMMeterEnums

using MMMeterEnums::TMMScaleOrigin;
using enum MMMeterEnums::TMMScaleOrigin;

class TMMCustomMeter : public TMMGraphicControl, public IMMDisplay {
    Q_OBJECT
    Q_INTERFACES(IMMDisplay)
public:
    /// Full scale of levels, needle and peak.
    static constexpr int kFullScale = 32767;
    /// The largest Samples: the step size stays within an int.
    static constexpr int kMaxSamples = 0x7FFFFFFF / 4;

    /// A 170 x 90 meter, caption "dB", silver bold font, black. Subscribes
    /// to the 25 ms tick (not in design state); raises EOutOfResources
    /// "Not enough timers available" when no timer can be had.
    explicit TMMCustomMeter(TComponent* owner);
    /// Ends the tick subscription.
    ~TMMCustomMeter() override;

    // -- the display contract ----------------------------------------------------

    int StepSize() const override { return FStepSize; }
    /// Raises EMMMeterError "Invalid WaveFormat" unless the format is 8 or
    /// 16-bit, 1 or 2-channel PCM at 4000 .. 100000 Hz; then BitLength and
    /// Mode follow it.
    void AdoptFormat(const WAVEFORMATEX* format) override;
    /// Needle and peak to 0, decay state cleared, repainted now.
    void ResetDisplay() override;
    /// One slice of StepSize bytes: its peak amplitude runs the level step.
    /// Fires OnPcmOverflow / OnGainOverflow in the calling thread.
    void ShowSlice(const void* data) override;

    // -- properties ---------------------------------------------------------------

    TColor Scale1Color() const { return FScaleColors[0]; }
    void SetScale1Color(TColor value) { SetScaleColor(0, value); }
    TColor Scale2Color() const { return FScaleColors[1]; }
    void SetScale2Color(TColor value) { SetScaleColor(1, value); }
    TColor Scale3Color() const { return FScaleColors[2]; }
    void SetScale3Color(TColor value) { SetScaleColor(2, value); }
    TColor NeedleColor() const { return FNeedleColor; }
    void SetNeedleColor(TColor value);
    TColor PeakColor() const { return FPeakColor; }
    void SetPeakColor(TColor value);

    int NeedleOffset() const { return FNeedleOffset; }
    /// Negative values are stored as 0.
    void SetNeedleOffset(int value);
    int NeedleWidth() const { return FNeedleWidth; }
    /// Negative values are stored as 0.
    void SetNeedleWidth(int value);
    TMMScaleOrigin ScaleOrigin() const { return FScaleOrigin; }
    void SetScaleOrigin(TMMScaleOrigin value);
    int ScaleHeight1() const { return FScaleHeight1; }
    void SetScaleHeight1(int value);
    int ScaleHeight2() const { return FScaleHeight2; }
    void SetScaleHeight2(int value);
    int ScaleAngle() const { return FScaleAngle; }
    /// Clamped to 45 .. 180.
    void SetScaleAngle(int value);
    int ScaleTicks() const { return FScaleTicks; }
    /// Fewer than 2 draw no ticks.
    void SetScaleTicks(int value);
    int ScaleTicksEnlargeEvery() const { return FEnlargeEvery; }
    void SetScaleTicksEnlargeEvery(int value);
    int ScaleTicksTextEvery() const { return FTextEvery; }
    void SetScaleTicksTextEvery(int value);
    bool DrawScale() const { return FDrawScale; }
    void SetDrawScale(bool value);
    int TopSpace() const { return FTopSpace; }
    void SetTopSpace(int value);
    int Point1() const { return FPoint1; }
    /// Clamped to 1 .. 100.
    void SetPoint1(int value);
    int Point2() const { return FPoint2; }
    /// Clamped to 1 .. 100.
    void SetPoint2(int value);

    TMMBits BitLength() const { return FBitLength; }
    void SetBitLength(TMMBits value);
    TMMChannel Channel() const { return FChannel; }
    void SetChannel(TMMChannel value) { FChannel = value; }
    TMMMode Mode() const { return FMode; }
    void SetMode(TMMMode value);
    int Gain() const { return FGain - 8; }
    /// Eighths added to the level factor; outside -8 .. 32 ignored.
    void SetGain(int value);
    int Samples() const { return FSamples; }
    /// Clamped to 1 .. kMaxSamples.
    void SetSamples(int value);
    int Sensitivy() const { return FSensitivy; }
    /// The dB value at the left end, clamped to -90 .. -9.
    void SetSensitivy(int value);
    bool LogAmp() const { return FLogAmp; }
    void SetLogAmp(bool value);
    TMMDecayMode DecayMode() const { return FDecayMode; }
    void SetDecayMode(TMMDecayMode value);
    int Decay() const { return FDecay; }
    /// Clamped to 1 .. 16: factor 0.0001^(1/2^Decay), window (Decay-1) x 2.
    void SetDecay(int value);
    bool ShowPeak() const { return FShowPeak; }
    /// Suspends or resumes the peak tick.
    void SetShowPeak(bool value);
    int PeakSpeed() const { return FPeakSpeed; }
    /// Ticks between peak drops, clamped to 0 .. 50.
    void SetPeakSpeed(int value);
    int PeakDelay() const { return FPeakDelay; }
    /// Hold of PeakDelay x 2 + 1 ticks, clamped to 0 .. 50.
    void SetPeakDelay(int value);
    int DCOffsetL() const { return int(-FDCOffset[0]); }
    void SetDCOffsetL(int value) { FDCOffset[0] = -std::int64_t(value); }
    int DCOffsetR() const { return int(-FDCOffset[1]); }
    void SetDCOffsetR(int value) { FDCOffset[1] = -std::int64_t(value); }
    TBitmap* BackGroundDIB() const { return FBackGroundDIB.get(); }
    /// Copies Value in; an empty picture means Color.
    void SetBackGroundDIB(TBitmap* value);

    /// The needle in percent of the scale (0 when it rests).
    int Value() const;
    /// Moves the needle by hand (clamped to 0 .. 100), through the decay and
    /// the scale mapping like measured data.
    void SetValue(int value);

    TNotifyEvent OnGainOverflow() const { return FOnGainOverflow; }
    void SetOnGainOverflow(TNotifyEvent handler) { FOnGainOverflow = std::move(handler); }
    TNotifyEvent OnPcmOverflow() const { return FOnPcmOverflow; }
    void SetOnPcmOverflow(TNotifyEvent handler) { FOnPcmOverflow = std::move(handler); }
    TNotifyEvent OnPostPaint() const { return FOnPostPaint; }
    void SetOnPostPaint(TNotifyEvent handler) { FOnPostPaint = std::move(handler); }

    // -- state, for the owner and tests --------------------------------------------

    /// The needle value and the peak value, 0 .. 32767.
    int NeedleValue() const;
    int PeakValue() const;
    /// The decay factor and window length in use.
    float DecayFactor() const { return FFactor; }
    int DecayWindow() const { return FWindow; }
    /// The needle's point for value V (0 .. 32767) at radius R, in drawing
    /// area coordinates.
    TPoint NeedlePoint(int v, int r) const;
    /// The pivot, in drawing area coordinates.
    TPoint Pivot() const;
    /// The radius of needles and scale.
    int Radius() const;
    /// The drawing area inside the bevel.
    TRect DrawArea() const { return FArea; }
    /// One peak tick as the tick service runs it (any thread).
    void PeakTick();
    /// The tick subscription (0 in design state).
    TMMTimerId TickId() const { return FTickId; }
    /// The frame pacer of the needle layer.
    const TMMFramePacer& Pacer() const { return FPacer; }

    void SetBounds(int left, int top, int width, int height) override;
    void SetDesignMode(bool value) override;
    /// Follows its window's exposure (see Threads above).
    bool eventFilter(QObject* watched, QEvent* event) override;

protected:
    virtual void GainOverflow();
    virtual void PcmOverflow();
    void Paint() override;
    void Resize() override;
    void BevelChanged() override;
    void TextChanged() override;
    void FontChanged() override;
    void ColorChanged() override;
    void EnabledChanged() override;

private:
    // Where the needle lines of these values lie on screen.
    struct TNeedleShape {
        TPoint Pivot, Needle, Peak;
        bool operator==(const TNeedleShape&) const = default;
    };
    TNeedleShape NeedleShape(int needle, int peak) const;
    void SetScaleColor(int index, TColor value);
    void ScaleChanged();
    void UpdateStepSize();
    void ClearDecay();
    void ResetLevels();
    void LevelStep(int level);
    void ComputeArea();
    void DrawScalePicture();
    void DrawNeedles(TCanvas* canvas, int needle, int peak, bool showPeak);
    void NeedleUpdate();
    void Subscribe();
    void WatchWindow();
    void SetOffScreen(bool value);

    TColor FScaleColors[3] = { clGreen, clYellow, clRed };
    TColor FNeedleColor = clWhite;
    TColor FPeakColor = clRed;
    int FNeedleOffset = 30;
    int FNeedleWidth = 1;
    TMMScaleOrigin FScaleOrigin = soInner;
    int FScaleHeight1 = 4;
    int FScaleHeight2 = 8;
    int FScaleAngle = 90;
    int FScaleTicks = 41;
    int FEnlargeEvery = 4;
    int FTextEvery = 8;
    bool FDrawScale = true;
    int FTopSpace = 14;
    int FPoint1 = 60;
    int FPoint2 = 80;
    TMMBits FBitLength = b8Bit;
    TMMChannel FChannel = chBoth;
    TMMMode FMode = mMono;
    int FGain = 8;
    int FSamples = 50;
    int FSensitivy = -50;
    bool FLogAmp = true;
    TMMDecayMode FDecayMode = dmNone;
    int FDecay = 1;
    bool FShowPeak = true;
    int FPeakSpeed = 0;
    int FPeakDelay = 20;
    std::int64_t FDCOffset[2] = { 0, 0 }; // negated: -INT_MIN must fit
    int FStepSize = 50;

    // Levels. The peak fields are shared with the tick thread under FLock;
    // the rest belongs to the thread that shows slices.
    mutable std::mutex FLock;
    int FRawLevel = 0;
    int FNeedle = 0;
    int FPeak = 0;
    int FPeakHold = 0;
    bool FPeakChanged = false;
    float FAccu = 0;
    float FFactor = 0.0001f;
    int FWindow = 1;
    int FRing[32] = {};
    int FRingIndex = 0;
    int FRingFill = 0;
    int FRingSum = 0;

    TRect FArea;
    std::unique_ptr<TBitmap> FWork;
    std::unique_ptr<TBitmap> FScale;
    std::unique_ptr<TBitmap> FBackGroundDIB;
    bool FScaleValid = false;
    TNeedleShape FShown {}; // what the screen shows, when FShownValid
    bool FShownValid = false;
    TMMTimerId FTickId = 0;
    TMMFramePacer FPacer;
    // The window whose exposure rests the tick, and since when it has
    // been off screen (GUI thread).
    QPointer<QWindow> FWatched;
    bool FOffScreen = false;
    QElapsedTimer FOffSince;

    TNotifyEvent FOnGainOverflow;
    TNotifyEvent FOnPcmOverflow;
    TNotifyEvent FOnPostPaint;
};

class TMMMeter : public TMMCustomMeter {
    Q_OBJECT
    Q_MOC_INCLUDE("platform/ui/Menus.h")
    Q_PROPERTY(UiEnums::TAlign Align READ Align WRITE SetAlign)
    Q_CLASSINFO("default:Align", "alNone")
    Q_PROPERTY(TMMBevel* Bevel READ Bevel WRITE SetBevel)
    Q_PROPERTY(bool ParentShowHint READ ParentShowHint WRITE SetParentShowHint)
    Q_CLASSINFO("default:ParentShowHint", "True")
    Q_PROPERTY(bool ParentColor READ ParentColor WRITE SetParentColor)
    Q_CLASSINFO("default:ParentColor", "False")
    Q_PROPERTY(bool ParentFont READ ParentFont WRITE SetParentFont)
    Q_CLASSINFO("default:ParentFont", "False")
    Q_PROPERTY(TPopupMenu* PopupMenu READ PopupMenu WRITE SetPopupMenu)
    Q_PROPERTY(bool ShowHint READ ShowHint WRITE SetShowHint)
    Q_PROPERTY(bool Visible READ Visible WRITE SetVisible)
    Q_CLASSINFO("default:Visible", "True")
    Q_PROPERTY(TColor Color READ Color WRITE SetColor)
    Q_CLASSINFO("default:Color", "clBlack")
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_CLASSINFO("default:Caption", "'dB'")
    Q_PROPERTY(TFont* Font READ Font WRITE SetFont)
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_CLASSINFO("default:Enabled", "True")
    Q_CLASSINFO("default:Width", "170")
    Q_CLASSINFO("default:Height", "90")
    Q_PROPERTY(TColor Scale1Color READ Scale1Color WRITE SetScale1Color)
    Q_CLASSINFO("default:Scale1Color", "clGreen")
    Q_PROPERTY(TColor Scale2Color READ Scale2Color WRITE SetScale2Color)
    Q_CLASSINFO("default:Scale2Color", "clYellow")
    Q_PROPERTY(TColor Scale3Color READ Scale3Color WRITE SetScale3Color)
    Q_CLASSINFO("default:Scale3Color", "clRed")
    Q_PROPERTY(TColor NeedleColor READ NeedleColor WRITE SetNeedleColor)
    Q_CLASSINFO("default:NeedleColor", "clWhite")
    Q_PROPERTY(TColor PeakColor READ PeakColor WRITE SetPeakColor)
    Q_CLASSINFO("default:PeakColor", "clRed")
    Q_PROPERTY(int NeedleOffset READ NeedleOffset WRITE SetNeedleOffset)
    Q_CLASSINFO("default:NeedleOffset", "30")
    Q_PROPERTY(int NeedleWidth READ NeedleWidth WRITE SetNeedleWidth)
    Q_CLASSINFO("default:NeedleWidth", "1")
    Q_PROPERTY(MMMeterEnums::TMMScaleOrigin ScaleOrigin READ ScaleOrigin WRITE SetScaleOrigin)
    Q_CLASSINFO("default:ScaleOrigin", "soInner")
    Q_PROPERTY(int ScaleHeight1 READ ScaleHeight1 WRITE SetScaleHeight1)
    Q_CLASSINFO("default:ScaleHeight1", "4")
    Q_PROPERTY(int ScaleHeight2 READ ScaleHeight2 WRITE SetScaleHeight2)
    Q_CLASSINFO("default:ScaleHeight2", "8")
    Q_PROPERTY(int ScaleAngle READ ScaleAngle WRITE SetScaleAngle)
    Q_CLASSINFO("default:ScaleAngle", "90")
    Q_PROPERTY(int ScaleTicks READ ScaleTicks WRITE SetScaleTicks)
    Q_CLASSINFO("default:ScaleTicks", "41")
    Q_PROPERTY(int ScaleTicksEnlargeEvery READ ScaleTicksEnlargeEvery WRITE SetScaleTicksEnlargeEvery)
    Q_CLASSINFO("default:ScaleTicksEnlargeEvery", "4")
    Q_PROPERTY(int ScaleTicksTextEvery READ ScaleTicksTextEvery WRITE SetScaleTicksTextEvery)
    Q_CLASSINFO("default:ScaleTicksTextEvery", "8")
    Q_PROPERTY(bool DrawScale READ DrawScale WRITE SetDrawScale)
    Q_CLASSINFO("default:DrawScale", "True")
    Q_PROPERTY(int TopSpace READ TopSpace WRITE SetTopSpace)
    Q_CLASSINFO("default:TopSpace", "14")
    Q_PROPERTY(int Point1 READ Point1 WRITE SetPoint1)
    Q_CLASSINFO("default:Point1", "60")
    Q_PROPERTY(int Point2 READ Point2 WRITE SetPoint2)
    Q_CLASSINFO("default:Point2", "80")
    Q_PROPERTY(MMEnums::TMMBits BitLength READ BitLength WRITE SetBitLength)
    Q_CLASSINFO("default:BitLength", "b8Bit")
    Q_PROPERTY(MMEnums::TMMChannel Channel READ Channel WRITE SetChannel)
    Q_CLASSINFO("default:Channel", "chBoth")
    Q_PROPERTY(MMEnums::TMMMode Mode READ Mode WRITE SetMode)
    Q_CLASSINFO("default:Mode", "mMono")
    Q_PROPERTY(int Gain READ Gain WRITE SetGain)
    Q_CLASSINFO("default:Gain", "0")
    Q_PROPERTY(int Samples READ Samples WRITE SetSamples)
    Q_CLASSINFO("default:Samples", "50")
    Q_PROPERTY(int Sensitivy READ Sensitivy WRITE SetSensitivy)
    Q_CLASSINFO("default:Sensitivy", "-50")
    Q_PROPERTY(bool LogAmp READ LogAmp WRITE SetLogAmp)
    Q_CLASSINFO("default:LogAmp", "True")
    Q_PROPERTY(MMEnums::TMMDecayMode DecayMode READ DecayMode WRITE SetDecayMode)
    Q_CLASSINFO("default:DecayMode", "dmNone")
    Q_PROPERTY(int Decay READ Decay WRITE SetDecay)
    Q_CLASSINFO("default:Decay", "1")
    Q_PROPERTY(bool ShowPeak READ ShowPeak WRITE SetShowPeak)
    Q_CLASSINFO("default:ShowPeak", "True")
    Q_PROPERTY(int PeakSpeed READ PeakSpeed WRITE SetPeakSpeed)
    Q_CLASSINFO("default:PeakSpeed", "0")
    Q_PROPERTY(int PeakDelay READ PeakDelay WRITE SetPeakDelay)
    Q_CLASSINFO("default:PeakDelay", "20")
    Q_PROPERTY(TBitmap* BackGroundDIB READ BackGroundDIB WRITE SetBackGroundDIB)
    Q_PROPERTY(int Value READ Value WRITE SetValue STORED false)
    Q_PROPERTY(int DCOffsetL READ DCOffsetL WRITE SetDCOffsetL)
    Q_CLASSINFO("default:DCOffsetL", "0")
    Q_PROPERTY(int DCOffsetR READ DCOffsetR WRITE SetDCOffsetR)
    Q_CLASSINFO("default:DCOffsetR", "0")
    Q_PROPERTY(TNotifyEvent OnGainOverflow READ OnGainOverflow WRITE SetOnGainOverflow)
    Q_PROPERTY(TNotifyEvent OnPcmOverflow READ OnPcmOverflow WRITE SetOnPcmOverflow)
    Q_PROPERTY(TNotifyEvent OnPostPaint READ OnPostPaint WRITE SetOnPostPaint)
    Q_PROPERTY(TNotifyEvent OnClick READ OnClick WRITE SetOnClick)
    Q_PROPERTY(TNotifyEvent OnDblClick READ OnDblClick WRITE SetOnDblClick)
    Q_PROPERTY(TMouseEvent OnMouseDown READ OnMouseDown WRITE SetOnMouseDown)
    Q_PROPERTY(TMouseMoveEvent OnMouseMove READ OnMouseMove WRITE SetOnMouseMove)
    Q_PROPERTY(TMouseEvent OnMouseUp READ OnMouseUp WRITE SetOnMouseUp)
    Q_PROPERTY(TDragDropEvent OnDragDrop READ OnDragDrop WRITE SetOnDragDrop)
    Q_PROPERTY(TDragOverEvent OnDragOver READ OnDragOver WRITE SetOnDragOver)
    Q_PROPERTY(TEndDragEvent OnEndDrag READ OnEndDrag WRITE SetOnEndDrag)
    Q_PROPERTY(TStartDragEvent OnStartDrag READ OnStartDrag WRITE SetOnStartDrag)
public:
    explicit TMMMeter(TComponent* owner);
    ~TMMMeter() override;
};

/// Registers TMMMeter with the stored-form reader. Idempotent; any thread.
/// Runs by itself when the unit is linked in.
void RegisterMeterClasses();
