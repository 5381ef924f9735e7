#pragma once
// TMMLight: a three-lamp light organ. Every slice of PCM data the connector
// hands it (see the display contract in MMConect.h) is windowed, run through
// the real FFT (MMFFT) and condensed into three bands, bass, middle and
// treble, split at sqrt(150 x 750) ~ 335 Hz and sqrt(750 x 1750) ~ 1146 Hz;
// each band lights its lamp (red, green, yellow) with a brightness of
// 0 .. 255.
//
// Drawing. The lamps are drawn once into the palette DIB of the control's
// canvas (TMMDIBCanvas), each lamp (lkCircle) or each zone of a lamp
// (lkSphere: concentric zones shaded like a lit half sphere, the outer ring
// darkest) in an animated palette entry of its own. A brightness change
// only rewrites those entries, in one batch, and the canvas is copied to the
// screen; no pixel of the DIB is touched. Slices only change numbers: the
// lamps are recoloured and shown at most once per screen frame
// (TMMFramePacer), and only when a brightness changed.
//
// The spectrum is kept in 16 bits, saturating; the band energies are summed
// in 64 bits, so the loudest input lights its lamp fully.
//
// Threads. Properties, painting and the recolouring belong to the GUI
// thread. ShowSlice runs in the thread of the connector's refresh passes
// (the GUI thread, or the buffer thread without the real-time loop); it
// hands the GUI thread only the three brightness values.

#include "mm/core/MMUtils.h"
#include "mm/display/MMConect.h"
#include "mm/display/MMDIBCv.h"
#include "mm/display/MMFFT.h"
#include "mm/display/MMPacer.h"

#include <QObject>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

/// The light organ's failure: a format it cannot show.
class EMMLightError : public Exception {
public:
    using Exception::Exception;
};

namespace MMLightEnums {
Q_NAMESPACE

enum TMMLightPeakMode { pmRMS, pmPeak, pmAverage };
Q_ENUM_NS(TMMLightPeakMode)
enum TMMLightKind { lkCircle, lkSphere };
Q_ENUM_NS(TMMLightKind)
enum TMMLightArrange { laLine, laTriangle };
Q_ENUM_NS(TMMLightArrange)

} // namespace MMLightEnums

using MMLightEnums::TMMLightArrange;
using MMLightEnums::TMMLightKind;
using MMLightEnums::TMMLightPeakMode;
using enum MMLightEnums::TMMLightPeakMode;
using enum MMLightEnums::TMMLightKind;
using enum MMLightEnums::TMMLightArrange;

class TMMLight : public TMMDIBGraphicControl, public IMMDisplay {
    Q_OBJECT
    Q_INTERFACES(IMMDisplay)
    Q_MOC_INCLUDE("platform/ui/Menus.h")
    Q_PROPERTY(UiEnums::TAlign Align READ Align WRITE SetAlign)
    Q_CLASSINFO("default:Align", "alNone")
    Q_PROPERTY(TMMBevel* Bevel READ Bevel WRITE SetBevel)
    Q_PROPERTY(bool ParentShowHint READ ParentShowHint WRITE SetParentShowHint)
    Q_CLASSINFO("default:ParentShowHint", "True")
    Q_PROPERTY(bool ShowHint READ ShowHint WRITE SetShowHint)
    Q_PROPERTY(bool Visible READ Visible WRITE SetVisible)
    Q_CLASSINFO("default:Visible", "True")
    Q_PROPERTY(TPopupMenu* PopupMenu READ PopupMenu WRITE SetPopupMenu)
    Q_PROPERTY(TColor Color READ Color WRITE SetColor)
    Q_CLASSINFO("default:Color", "clBlack")
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_CLASSINFO("default:Enabled", "True")
    Q_CLASSINFO("default:Width", "194")
    Q_CLASSINFO("default:Height", "90")
    Q_PROPERTY(bool PaletteRealize READ PaletteRealize WRITE SetPaletteRealize)
    Q_CLASSINFO("default:PaletteRealize", "True")
    Q_PROPERTY(bool PaletteMapped READ PaletteMapped WRITE SetPaletteMapped)
    Q_CLASSINFO("default:PaletteMapped", "False")
    Q_PROPERTY(MMEnums::TMMMode Mode READ Mode WRITE SetMode)
    Q_CLASSINFO("default:Mode", "mMono")
    Q_PROPERTY(MMEnums::TMMBits BitLength READ BitLength WRITE SetBitLength)
    Q_CLASSINFO("default:BitLength", "b8Bit")
    Q_PROPERTY(MMEnums::TMMChannel Channel READ Channel WRITE SetChannel)
    Q_CLASSINFO("default:Channel", "chBoth")
    Q_PROPERTY(int SampleRate READ SampleRate WRITE SetSampleRate)
    Q_CLASSINFO("default:SampleRate", "11025")
    Q_PROPERTY(int FFTLength READ FFTLength WRITE SetFFTLength)
    Q_CLASSINFO("default:FFTLength", "128")
    Q_PROPERTY(MMEnums::TMMFFTWindow Window READ Window WRITE SetWindow)
    Q_CLASSINFO("default:Window", "fwHamming")
    Q_PROPERTY(MMEnums::TMMDecayMode DecayMode READ DecayMode WRITE SetDecayMode)
    Q_CLASSINFO("default:DecayMode", "dmNone")
    Q_PROPERTY(int Decay READ Decay WRITE SetDecay)
    Q_CLASSINFO("default:Decay", "1")
    // The amplitude and the gains are always stored.
    Q_PROPERTY(int AmplitudeScale READ AmplitudeScale WRITE SetAmplitudeScale)
    Q_PROPERTY(int GainBass READ GainBass WRITE SetGainBass)
    Q_PROPERTY(int GainMiddle READ GainMiddle WRITE SetGainMiddle)
    Q_PROPERTY(int GainTreble READ GainTreble WRITE SetGainTreble)
    Q_PROPERTY(MMLightEnums::TMMLightPeakMode PeakMode READ PeakMode WRITE SetPeakMode)
    Q_CLASSINFO("default:PeakMode", "pmPeak")
    Q_PROPERTY(MMLightEnums::TMMLightKind Kind READ Kind WRITE SetKind)
    Q_CLASSINFO("default:Kind", "lkCircle")
    Q_PROPERTY(MMLightEnums::TMMLightArrange Arrange READ Arrange WRITE SetArrange)
    Q_CLASSINFO("default:Arrange", "laLine")
    Q_PROPERTY(int TriangleDist READ TriangleDist WRITE SetTriangleDist)
    Q_CLASSINFO("default:TriangleDist", "10")
    Q_PROPERTY(float SphereHorz READ SphereHorz WRITE SetSphereHorz)
    Q_PROPERTY(float SphereVert READ SphereVert WRITE SetSphereVert)
    Q_PROPERTY(int ZoneCount READ ZoneCount WRITE SetZoneCount)
    Q_CLASSINFO("default:ZoneCount", "60")
    Q_PROPERTY(TNotifyEvent OnPcmOverflow READ OnPcmOverflow WRITE SetOnPcmOverflow)
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
    static constexpr int kMaxFFTLength = 4096;
    static constexpr int kLamps = 3;

    /// A 194 x 90 organ of three flat lamps in a row on black, analysing
    /// 128 samples of 8-bit mono at 11025 Hz. Raises std::bad_alloc when
    /// not even one averaging array can be had.
    explicit TMMLight(TComponent* owner);
    ~TMMLight() override;

    // -- the display contract ----------------------------------------------------

    int StepSize() const override { return FStepSize; }
    /// Raises EMMLightError "Invalid WaveFormat" unless the format is 8 or
    /// 16-bit, 1 or 2-channel PCM at 4000 .. 100000 Hz; then SampleRate,
    /// BitLength and Mode follow it.
    void AdoptFormat(const WAVEFORMATEX* format) override;
    /// All levels to 0, lamps dark, repainted now.
    void ResetDisplay() override;
    /// Analyses FFTLength samples at Data and sets the lamps' brightness;
    /// fires OnPcmOverflow in the calling thread.
    void ShowSlice(const void* data) override;

    // -- properties ---------------------------------------------------------------

    TMMMode Mode() const { return FMode; }
    void SetMode(TMMMode value);
    TMMBits BitLength() const { return FBitLength; }
    void SetBitLength(TMMBits value);
    TMMChannel Channel() const { return FChannel; }
    void SetChannel(TMMChannel value) { FChannel = value; }
    int SampleRate() const { return FSampleRate; }
    /// Clamped to 8000 .. 100000.
    void SetSampleRate(int value);
    int FFTLength() const { return FFFTLength; }
    /// Clamped to 8 .. 4096 and rounded down to a power of two.
    void SetFFTLength(int value);
    TMMFFTWindow Window() const { return FWindow; }
    void SetWindow(TMMFFTWindow value);
    TMMDecayMode DecayMode() const { return FDecayMode; }
    void SetDecayMode(TMMDecayMode value);
    int Decay() const { return FDecay; }
    /// Clamped to 1 .. 16, as the needle meter's.
    void SetDecay(int value);
    /// In percent, 0 .. 1000.
    int AmplitudeScale() const;
    void SetAmplitudeScale(int value);
    /// The lamp gains, 0 .. 1000 (factor value / 2000; the middle lamp's
    /// doubled, the treble lamp's quadrupled).
    int GainBass() const { return GainOf(0); }
    void SetGainBass(int value) { SetGain(0, value); }
    int GainMiddle() const { return GainOf(1); }
    void SetGainMiddle(int value) { SetGain(1, value); }
    int GainTreble() const { return GainOf(2); }
    void SetGainTreble(int value) { SetGain(2, value); }
    TMMLightPeakMode PeakMode() const { return FPeakMode; }
    void SetPeakMode(TMMLightPeakMode value);
    TMMLightKind Kind() const { return FKind; }
    void SetKind(TMMLightKind value);
    TMMLightArrange Arrange() const { return FArrange; }
    void SetArrange(TMMLightArrange value);
    int TriangleDist() const { return FTriangleDist; }
    /// At least 2.
    void SetTriangleDist(int value);
    float SphereHorz() const { return FSphereHorz; }
    /// Negative values become 0.
    void SetSphereHorz(float value);
    float SphereVert() const { return FSphereVert; }
    void SetSphereVert(float value);
    int ZoneCount() const { return FZoneCount; }
    /// At least 1. More than 78 with lkSphere exceeds the canvas's
    /// animated colours: the picture rebuild raises EMMDIBError "Invalid
    /// count of animated colors" and the previous count stays (as does the
    /// previous Kind when SetKind meets that refusal).
    void SetZoneCount(int value);

    TNotifyEvent OnPcmOverflow() const { return FOnPcmOverflow; }
    void SetOnPcmOverflow(TNotifyEvent handler) { FOnPcmOverflow = std::move(handler); }

    // -- state, for the owner and tests --------------------------------------------

    /// Band J's first bin (-1: absent) and end bin (exclusive; 0: the first
    /// bin alone).
    int BandFirst(int j) const { return FBandFirst[j]; }
    int BandEnd(int j) const { return FBandEnd[j]; }
    /// Lamp I's brightness from the last slice, 0 .. 255.
    int Brightness(int i) const { return FBrightness[i].load(std::memory_order_relaxed); }
    /// The smoothed level of FFT bin K.
    int BinLevel(int k) const { return FLevels[k]; }
    /// Lamp I's centre and radius in lamp area coordinates (radius 0: not
    /// drawn).
    TPoint LampCentre(int i) const { return FLampCentres[i]; }
    int LampRadius() const { return FLampRadius; }
    /// The lamp area inside the bevel.
    TRect LampArea() const { return FArea; }
    /// The shade of zone Z at brightness C (lkSphere).
    int ZoneShade(int z, int c) const;
    /// The frame pacer of the recolouring.
    const TMMFramePacer& Pacer() const { return FPacer; }

    void SetBounds(int left, int top, int width, int height) override;

protected:
    virtual void PcmOverflow();
    void Paint() override;
    void Loaded() override;
    void Resize() override;
    void BevelChanged() override;
    void ColorChanged() override;
    void EnabledChanged() override;

private:
    int GainOf(int lamp) const;
    void SetGain(int lamp, int value);
    void UpdateStepSize();
    void ComputeBands();
    void ClearDecay();
    void ClearData();
    void RebuildPicture();
    void RebuildOrRestore(const std::function<void()>& restore);
    void ResizeCanvas();
    void ComputeBrightness();
    // Recolours the lamps whose brightness changed and copies the picture
    // to Canvas: all of it (a paint) or only those lamps (Whole false).
    void LampUpdate(TCanvas* canvas, bool whole);
    void Recolour();

    TMMMode FMode = mMono;
    TMMBits FBitLength = b8Bit;
    TMMChannel FChannel = chBoth;
    int FSampleRate = 11025;
    int FFFTLength = 128;
    TMMFFTWindow FWindow = fwHamming;
    TMMDecayMode FDecayMode = dmNone;
    int FDecay = 1;
    float FAmplitude = 1.0f;
    float FGains[kLamps] = { 0.05f, 0.05f, 0.05f };
    TMMLightPeakMode FPeakMode = pmPeak;
    TMMLightKind FKind = lkCircle;
    TMMLightArrange FArrange = laLine;
    int FTriangleDist = 10;
    float FSphereHorz = 1.0f;
    float FSphereVert = 1.0f;
    int FZoneCount = 60;
    int FStepSize = 128;

    TMMFFTData* FFFT = nullptr;
    std::vector<std::int32_t> FWindowTable;
    std::vector<float> FBuffer;
    std::vector<std::int16_t> FSpectrum;
    std::vector<std::int32_t> FLevels;
    std::vector<float> FAccu;
    std::vector<std::int64_t> FSums;
    std::vector<std::vector<std::int32_t>> FRing;
    int FRingIndex = 0;
    int FRingFill = 0;
    int FRingWindow = 1;
    float FFactor = 0.0001f;

    int FBandFirst[kLamps] = { 0, -1, -1 };
    int FBandEnd[kLamps] = { 0, 0, 0 };
    std::int64_t FBandValue[kLamps] = {};
    std::atomic<int> FBrightness[kLamps] = {};
    int FLastBrightness[kLamps] = { -1, -1, -1 };

    TRect FArea;
    TPoint FLampCentres[kLamps] = {};
    int FLampRadius = 0;
    TMMFramePacer FPacer;
    TNotifyEvent FOnPcmOverflow;
};

/// Registers TMMLight with the stored-form reader. Idempotent; any thread.
/// Runs by itself when the unit is linked in.
void RegisterLightClasses();
