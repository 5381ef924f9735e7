#include "mm/display/MMLight.h"

#include "mm/format/MMWaveFormat.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <new>
#include <random>

namespace {

constexpr int kMaxBins = TMMLight::kMaxFFTLength / 2;
constexpr int kRingArrays = 32;
constexpr int kMinFFTLength = 8;

int RoundEven(double value)
{
    return int(std::nearbyint(value));
}

int OrderOf(int length)
{
    return std::countr_zero(unsigned(length));
}

// A spectrum value kept in 16 bits: loud bass saturates instead of wrapping
// to the other sign.
std::int16_t Saturate16(float value)
{
    const float t = std::trunc(value);
    if (!(t > -32768.0f))
        return -32768;
    if (t > 32767.0f)
        return 32767;
    return std::int16_t(t);
}

TColor LampColor(int lamp, int v)
{
    switch (lamp) {
    case 0:
        return TColor(v);
    case 1:
        return TColor(v << 8);
    default:
        return TColor(v | (v << 8));
    }
}

} // namespace

void RegisterLightClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterControlsTypes();
        RegisterMMObjTypes();
        qRegisterMetaType<MMLightEnums::TMMLightPeakMode>();
        qRegisterMetaType<MMLightEnums::TMMLightKind>();
        qRegisterMetaType<MMLightEnums::TMMLightArrange>();
        RegisterClass<TMMLight>();
    });
}

namespace {
[[maybe_unused]] const bool kRegistered = (RegisterLightClasses(), true);
} // namespace

TMMLight::TMMLight(TComponent* owner)
    : TMMDIBGraphicControl(owner)
    , FWindowTable(TMMLight::kMaxFFTLength)
    , FBuffer(TMMLight::kMaxFFTLength)
    , FSpectrum(TMMLight::kMaxFFTLength)
    , FLevels(kMaxBins)
    , FAccu(kMaxBins)
    , FSums(kMaxBins)
    , FPacer(this, [this] { Recolour(); })
{
    RegisterLightClasses();
    // The averaging arrays: as many as can be had, at least one.
    FRing.reserve(kRingArrays);
    for (int i = 0; i < kRingArrays; ++i) {
        try {
            FRing.emplace_back(kMaxBins);
        } catch (const std::bad_alloc&) {
            if (FRing.empty())
                throw;
            break;
        }
    }
    FFFT = PrepareRealFFT(OrderOf(FFFTLength));
    if (FFFT == nullptr)
        throw std::bad_alloc();
    MakeFFTWindow(FWindowTable.data(), FWindow, OrderOf(FFFTLength));
    SetPaletteRealize(true);
    // Bevel and picture cover every pixel: nothing behind needs painting
    // first, which a lamp update would otherwise cost every frame.
    SetControlStyle(ControlStyle() | csOpaque);
    SetColor(clBlack);
    UpdateStepSize();
    ComputeBands();
    SetBounds(Left(), Top(), 194, 90);
}

TMMLight::~TMMLight()
{
    FPacer.Cancel();
    ReleaseRealFFT(FFFT);
}

// -- the display contract --------------------------------------------------------

void TMMLight::AdoptFormat(const WAVEFORMATEX* format)
{
    if (format == nullptr || !IsPCMFormat(format))
        throw EMMLightError(QStringLiteral("Invalid WaveFormat"));
    SetSampleRate(int(format->nSamplesPerSec));
    SetBitLength(TMMBits(format->wBitsPerSample / 8 - 1));
    SetMode(TMMMode(format->nChannels - 1));
}

void TMMLight::ResetDisplay()
{
    ClearData();
    Repaint();
}

void TMMLight::PcmOverflow()
{
    if (FOnPcmOverflow)
        FOnPcmOverflow(this);
}

void TMMLight::ShowSlice(const void* data)
{
    if (data == nullptr || !Enabled() || !Visible())
        return;
    const int n = FFFTLength;
    const bool stereo = FMode == mStereo;
    if (FBitLength == b16Bit) {
        const auto* s = static_cast<const std::int16_t*>(data);
        const int limit = stereo && FChannel == chBoth ? 32766 : 32767;
        for (int i = 0; i < n; ++i) {
            int v;
            if (!stereo)
                v = s[i];
            else if (FChannel == chLeft)
                v = s[2 * i];
            else if (FChannel == chRight)
                v = s[2 * i + 1];
            else
                v = (s[2 * i] + s[2 * i + 1]) / 2;
            if (v >= limit)
                PcmOverflow();
            FBuffer[i] = float(std::int64_t(v) * FWindowTable[i] / 32768);
        }
    } else {
        const auto* s = static_cast<const std::uint8_t*>(data);
        for (int i = 0; i < n; ++i) {
            int v;
            if (!stereo)
                v = s[i];
            else if (FChannel == chLeft)
                v = s[2 * i];
            else if (FChannel == chRight)
                v = s[2 * i + 1];
            else
                v = (s[2 * i] + s[2 * i + 1]) / 2;
            if (v >= 255)
                PcmOverflow();
            FBuffer[i] = float(std::int64_t(v - 128) * FWindowTable[i] / 128);
        }
    }
    DoRealFFT(FFFT, FBuffer.data());
    const float half = float(n / 2);
    for (int i = 0; i < n; ++i)
        FSpectrum[i] = Saturate16(FBuffer[i] / half);

    FRingIndex = FRingIndex + 1 >= FRingWindow ? 0 : FRingIndex + 1;
    FRingFill = std::min(FRingFill + 1, FRingWindow);
    std::int32_t* ring = FRing[FRingIndex].data();
    for (int k = 0; k < n / 2; ++k) {
        const std::int64_t re = FSpectrum[2 * k];
        const std::int64_t im = FSpectrum[2 * k + 1];
        int level = int(std::sqrt(double(re * re + im * im)) * FAmplitude);
        switch (FDecayMode) {
        case dmStepUp:
            FAccu[k] *= FFactor;
            if (float(level) >= FAccu[k])
                FAccu[k] = float(level);
            else
                level = int(FAccu[k]);
            break;
        case dmExponential:
            FAccu[k] = FAccu[k] * FFactor + (1 - FFactor) * float(level);
            level = int(std::floor(FAccu[k]));
            break;
        case dmUniform:
            FSums[k] += level - ring[k];
            ring[k] = level;
            level = int(FSums[k] / FRingFill);
            break;
        default:
            break;
        }
        FLevels[k] = level;
    }
    ComputeBrightness();
}

void TMMLight::ComputeBrightness()
{
    int lamp = 0;
    for (int j = 0; j < kLamps; ++j) {
        const int first = FBandFirst[j];
        if (first < 0)
            continue;
        const int end = FBandEnd[j];
        const std::int64_t a = FLevels[first];
        std::int64_t value = a;
        if (end != 0) {
            switch (FPeakMode) {
            case pmRMS: {
                double x = double(a);
                for (int k = first; k < end; ++k)
                    x += double(FLevels[k]) * (FLevels[k] + 0.1);
                value = std::int64_t(std::sqrt(x / std::max(end - first, 1)));
                break;
            }
            case pmPeak:
                for (int k = first; k < end; ++k)
                    value = std::max<std::int64_t>(value, FLevels[k]);
                break;
            case pmAverage: {
                std::int64_t sum = a;
                for (int k = first; k < end; ++k)
                    sum += FLevels[k];
                value = sum / (1 + end - first);
                break;
            }
            }
        }
        FBandValue[lamp++] = value;
    }
    bool changed = false;
    for (int i = 0; i < kLamps; ++i) {
        const double factor = FGains[i] * double(1 << i);
        const int b = int(std::clamp<double>(std::trunc(double(FBandValue[i]) * factor), 0, 255));
        if (FBrightness[i].exchange(b, std::memory_order_relaxed) != b)
            changed = true;
    }
    if (changed && Enabled() && Visible())
        FPacer.Request();
}

// -- properties -------------------------------------------------------------------

void TMMLight::UpdateStepSize()
{
    FStepSize = (int(FBitLength) + 1) * (int(FMode) + 1) * FFFTLength;
}

void TMMLight::SetMode(TMMMode value)
{
    if (value == FMode)
        return;
    FMode = value;
    UpdateStepSize();
}

void TMMLight::SetBitLength(TMMBits value)
{
    if (value == FBitLength)
        return;
    FBitLength = value;
    UpdateStepSize();
}

void TMMLight::SetSampleRate(int value)
{
    value = std::clamp(value, 8000, 100000);
    if (value == FSampleRate)
        return;
    FSampleRate = value;
    ComputeBands();
    RebuildPicture();
}

void TMMLight::SetFFTLength(int value)
{
    value = int(std::bit_floor(unsigned(std::clamp(value, kMinFFTLength, kMaxFFTLength))));
    if (value == FFFTLength)
        return;
    TMMFFTData* fft = PrepareRealFFT(OrderOf(value));
    if (fft == nullptr)
        throw std::bad_alloc();
    ReleaseRealFFT(FFFT);
    FFFT = fft;
    FFFTLength = value;
    MakeFFTWindow(FWindowTable.data(), FWindow, OrderOf(value));
    ComputeBands();
    UpdateStepSize();
    RebuildPicture();
}

void TMMLight::SetWindow(TMMFFTWindow value)
{
    if (value == FWindow)
        return;
    FWindow = value;
    MakeFFTWindow(FWindowTable.data(), FWindow, OrderOf(FFFTLength));
}

void TMMLight::SetDecayMode(TMMDecayMode value)
{
    if (value == FDecayMode)
        return;
    FDecayMode = value;
    ClearDecay();
}

void TMMLight::SetDecay(int value)
{
    value = std::clamp(value, 1, 16);
    if (value == FDecay)
        return;
    FDecay = value;
    float factor = 0.0001f;
    for (int i = 0; i < value; ++i)
        factor = std::sqrt(factor);
    FFactor = factor;
    FRingWindow = std::min(std::clamp((value - 1) * 2, 1, kRingArrays), int(FRing.size()));
    if (FDecayMode == dmUniform)
        ClearDecay();
}

int TMMLight::AmplitudeScale() const
{
    return RoundEven(FAmplitude / 0.01);
}

void TMMLight::SetAmplitudeScale(int value)
{
    value = std::clamp(value, 0, 1000);
    if (value == AmplitudeScale())
        return;
    FAmplitude = float(value * 0.01);
    ClearData();
}

int TMMLight::GainOf(int lamp) const
{
    return RoundEven(FGains[lamp] / 0.0005);
}

void TMMLight::SetGain(int lamp, int value)
{
    value = std::clamp(value, 0, 1000);
    if (value == GainOf(lamp))
        return;
    FGains[lamp] = float(value * 0.0005);
    ClearData();
}

void TMMLight::SetPeakMode(TMMLightPeakMode value)
{
    if (value == FPeakMode)
        return;
    FPeakMode = value;
    Invalidate();
}

void TMMLight::SetKind(TMMLightKind value)
{
    if (value == FKind)
        return;
    const TMMLightKind previous = FKind;
    FKind = value;
    RebuildOrRestore([&] { FKind = previous; });
}

void TMMLight::SetArrange(TMMLightArrange value)
{
    if (value == FArrange)
        return;
    FArrange = value;
    RebuildPicture();
}

void TMMLight::SetTriangleDist(int value)
{
    value = std::max(value, 2);
    if (value == FTriangleDist)
        return;
    FTriangleDist = value;
    RebuildPicture();
}

void TMMLight::SetSphereHorz(float value)
{
    value = std::max(value, 0.0f);
    if (value == FSphereHorz)
        return;
    FSphereHorz = value;
    RebuildPicture();
}

void TMMLight::SetSphereVert(float value)
{
    value = std::max(value, 0.0f);
    if (value == FSphereVert)
        return;
    FSphereVert = value;
    RebuildPicture();
}

void TMMLight::SetZoneCount(int value)
{
    value = std::max(value, 1);
    if (value == FZoneCount)
        return;
    const int previous = FZoneCount;
    FZoneCount = value;
    RebuildOrRestore([&] { FZoneCount = previous; });
}

void TMMLight::RebuildOrRestore(const std::function<void()>& restore)
{
    // A picture the canvas refuses (more zones than animated colours) leaves
    // the canvas with the previous one; the lamps keep being recoloured by
    // the zones that picture was drawn with.
    try {
        RebuildPicture();
    } catch (const EMMDIBError&) {
        restore();
        throw;
    }
}

void TMMLight::ColorChanged()
{
    TMMDIBGraphicControl::ColorChanged();
    RebuildPicture();
}

void TMMLight::EnabledChanged()
{
    TMMDIBGraphicControl::EnabledChanged();
    RebuildPicture();
}

// -- analysis state -------------------------------------------------------------------

void TMMLight::ComputeBands()
{
    if (ComponentState() & csLoading)
        return;
    const float edges[kLamps] = { 0.0f, std::sqrt(150.0f * 750.0f), std::sqrt(750.0f * 1750.0f) };
    const int halfLength = FFFTLength / 2;
    for (int j = 0; j < kLamps; ++j)
        FBandFirst[j]
            = std::clamp(RoundEven(edges[j] / float(FSampleRate) * float(FFFTLength)), 0, halfLength);
    for (int j = 0; j < kLamps; ++j) {
        FBandEnd[j] = j + 1 < kLamps ? FBandFirst[j + 1] : halfLength - 1;
        if (FBandEnd[j] <= FBandFirst[j] + 1)
            FBandEnd[j] = 0;
    }
    for (int j = kLamps - 1; j >= 1; --j)
        if (FBandFirst[j] == FBandFirst[j - 1]) {
            FBandFirst[j] = -1;
            FBandEnd[j] = 0;
        }
    // A band past the last bin there is reads the last one.
    for (int j = 0; j < kLamps; ++j)
        if (FBandFirst[j] >= halfLength)
            FBandFirst[j] = halfLength - 1;
}

void TMMLight::ClearDecay()
{
    std::fill(FAccu.begin(), FAccu.end(), 0.0f);
    std::fill(FSums.begin(), FSums.end(), 0);
    for (auto& ring : FRing)
        std::fill(ring.begin(), ring.end(), 0);
    FRingIndex = 0;
    FRingFill = 0;
}

void TMMLight::ClearData()
{
    if ((ComponentState() & csDesigning) && Enabled()) {
        // A preview picture for the designer.
        std::minstd_rand random(std::random_device {}());
        for (auto& level : FLevels)
            level = int(random() % 32767);
    } else {
        std::fill(FLevels.begin(), FLevels.end(), 0);
        std::fill(FSpectrum.begin(), FSpectrum.end(), 0);
        ClearDecay();
    }
    for (int i = 0; i < kLamps; ++i) {
        FLastBrightness[i] = -1;
        FBandValue[i] = 0;
        FBrightness[i].store(0, std::memory_order_relaxed);
    }
    if (ComponentState() & csDesigning)
        ComputeBrightness();
}

int TMMLight::ZoneShade(int z, int c) const
{
    const int zones = FZoneCount;
    double d = zones - z - 1;
    if (d > zones * double(FSphereHorz))
        d = std::trunc(zones * double(FSphereHorz));
    if (FSphereHorz == 0 || FSphereVert == 0)
        return 0;
    const double h = d / FSphereHorz;
    const double g = std::trunc(FSphereVert * std::sqrt(std::max(0.0, double(zones) * zones - h * h)));
    const double s = std::trunc(g / (zones * double(FSphereVert)) * 255);
    return int(std::trunc(c / 255.0 * s));
}

// -- picture ----------------------------------------------------------------------------

void TMMLight::SetBounds(int left, int top, int width, int height)
{
    const int minimum = 2 * BevelExtent() + 5;
    TMMDIBGraphicControl::SetBounds(left, top, std::max(width, minimum), std::max(height, minimum));
    ResizeCanvas();
}

void TMMLight::Resize()
{
    TMMDIBGraphicControl::Resize();
    ResizeCanvas();
}

void TMMLight::BevelChanged()
{
    ResizeCanvas();
    TMMDIBGraphicControl::BevelChanged();
}

void TMMLight::Loaded()
{
    TMMDIBGraphicControl::Loaded();
    ComputeBands();
    RebuildPicture();
}

void TMMLight::ResizeCanvas()
{
    FArea = InnerRect();
    const int w = std::max(4, FArea.Right - FArea.Left);
    const int h = std::max(4, FArea.Bottom - FArea.Top);
    DIBCanvas()->SetSize(w, h);
    RebuildPicture();
}

void TMMLight::RebuildPicture()
{
    if (ComponentState() & csLoading)
        return;
    TMMDIBCanvas* dib = DIBCanvas();
    dib->SetAnimatedCount(FKind == lkSphere ? kLamps * FZoneCount : kLamps);
    dib->BeginDraw();
    try {
        dib->SetDrawColor(Color());
        dib->DIBClear();
        ClearData();

        int w = dib->Width();
        int h = dib->Height();
        const int areaW = w;
        const int areaH = h;
        const int half = FTriangleDist / 2;
        int r;
        if (FArrange == laLine) {
            if (h > w) {
                const int t = h / 3;
                if (t > w)
                    h = 3 * w;
                else
                    w = t;
                r = (h / 3) / 2 - half;
            } else {
                const int t = w / 3;
                if (t > h)
                    w = 3 * h;
                else
                    h = t;
                r = (w / 3) / 2 - half;
            }
        } else {
            w = std::min(w, h);
            r = (w - 4 * half) / 4;
            const int m = r + half;
            w = 4 * m;
            h = int(m * (2 + std::sqrt(3.0)));
        }
        FLampRadius = 0;
        if (r >= 1) {
            FLampRadius = r;
            const int left = (areaW - w) / 2;
            const int top = (areaH - h) / 2;
            const int side = 2 * r;
            for (int i = 0; i < kLamps; ++i) {
                TPoint corner;
                if (FArrange == laLine) {
                    if (areaH > areaW)
                        corner = Point(left + half, top + side * i + (2 * i + 1) * half);
                    else
                        corner = Point(left + side * i + (2 * i + 1) * half, top + half);
                } else {
                    const TPoint centres[kLamps] = { Point(left + w / 2 - r - half, top + r + half),
                        Point(left + w / 2, top + h - half - r),
                        Point(left + w / 2 + r + half, top + r + half) };
                    corner = Point(centres[i].X - r, centres[i].Y - r);
                }
                const TPoint centre = Point(corner.X + side / 2, corner.Y + side / 2);
                FLampCentres[i] = centre;
                if (FKind == lkCircle) {
                    dib->SetDrawValue(std::uint32_t(dib->AnimatedIndex(i)));
                    dib->DIBFillEllipse(centre.X, centre.Y, side / 2, side / 2);
                } else {
                    for (int z = 0; z < FZoneCount; ++z) {
                        const int dz = int(double(side) / FZoneCount / 2 * z);
                        dib->SetDrawValue(std::uint32_t(dib->AnimatedIndex(z + i * FZoneCount)));
                        dib->DIBFillEllipse(centre.X, centre.Y, (side - 2 * dz) / 2, (side - 2 * dz) / 2);
                    }
                }
            }
        }
    } catch (...) {
        dib->EndDraw();
        throw;
    }
    dib->EndDraw();
    Invalidate();
}

void TMMLight::Recolour()
{
    if (!Visible())
        return;
    // Brightness that came back to what the lamps show leaves the picture
    // as it is.
    bool changed = false;
    for (int i = 0; i < kLamps; ++i)
        changed = changed || FBrightness[i].load(std::memory_order_relaxed) != FLastBrightness[i];
    if (!changed)
        return;
    PaintDirect([this](TCanvas* canvas) { LampUpdate(canvas, false); });
}

void TMMLight::LampUpdate(TCanvas* canvas, bool whole)
{
    TMMDIBCanvas* dib = DIBCanvas();
    // The part of the picture that changed: the animated colours of a lamp
    // are used inside its circle only, so only the changed lamps' squares
    // need converting to screen colours and copying, a third of the
    // picture or less while one lamp flickers.
    TRect changed = Rect(0, 0, 0, 0);
    if (FLampRadius > 0) {
        dib->BeginAnimate();
        try {
            for (int i = 0; i < kLamps; ++i) {
                const int b = FBrightness[i].load(std::memory_order_relaxed);
                if (b == FLastBrightness[i])
                    continue;
                FLastBrightness[i] = b;
                if (FKind == lkCircle) {
                    dib->SetAnimatedColor(i, LampColor(i, b));
                } else {
                    for (int z = 0; z < FZoneCount; ++z)
                        dib->SetAnimatedColor(z + i * FZoneCount, LampColor(i, ZoneShade(z, b)));
                }
                const TPoint c = FLampCentres[i];
                const int r = FLampRadius + 1;
                const TRect lamp = Rect(c.X - r, c.Y - r, c.X + r + 1, c.Y + r + 1);
                UnionRect(changed, changed, lamp);
            }
        } catch (...) {
            dib->EndAnimate();
            throw;
        }
        dib->EndAnimate();
    }
    if (whole || FLampRadius <= 0) {
        dib->DrawTo(canvas, Rect(FArea.Left, FArea.Top, dib->Width(), dib->Height()), 0, 0);
        return;
    }
    const int left = std::max(changed.Left, 0);
    const int top = std::max(changed.Top, 0);
    const int right = std::min(changed.Right, dib->Width());
    const int bottom = std::min(changed.Bottom, dib->Height());
    if (left < right && top < bottom)
        dib->DrawTo(canvas, Rect(FArea.Left + left, FArea.Top + top, right - left, bottom - top), left, top);
}

void TMMLight::Paint()
{
    FPacer.Cancel();
    Bevel()->PaintBevel(Canvas(), ClientRect(), true);
    LampUpdate(Canvas(), true);
}
