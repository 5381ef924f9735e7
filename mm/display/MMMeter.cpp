#include "mm/display/MMMeter.h"

#include "mm/format/MMWaveFormat.h"

#include <QWidget>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <numbers>
#include <optional>
#include <utility>

namespace {

constexpr int kFull = TMMCustomMeter::kFullScale;
constexpr int kTickMs = 25;
constexpr int kPeakFall = 500;
constexpr int kRingSize = 32;
// How far the geometry reaches beyond the drawing area: further out,
// offsets, top space and tick lengths would only turn lines that already
// cross a screen-sized area nearly parallel by a fraction of a pixel more.
// Within it every coordinate stays an int and the lines handed to the
// painter stay short enough to draw at once.
constexpr int kMaxReach = 1 << 16;
// More ticks than the scale has values draw the same lines again.
constexpr int kMaxTicks = kFull + 1;

// Halves to even, as every rounding of the meter.
int RoundEven(double value)
{
    return int(std::nearbyint(value));
}

// The decay factor and window of a Decay setting: 0.0001 with its square
// root taken Decay times, in single precision.
float DecayFactorOf(int decay)
{
    float factor = 0.0001f;
    for (int i = 0; i < decay; ++i)
        factor = std::sqrt(factor);
    return factor;
}

} // namespace

void RegisterMeterClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterControlsTypes();
        RegisterMMObjTypes();
        qRegisterMetaType<MMMeterEnums::TMMScaleOrigin>();
        RegisterClass<TMMMeter>();
    });
}

namespace {
[[maybe_unused]] const bool kRegistered = (RegisterMeterClasses(), true);
} // namespace

TMMCustomMeter::TMMCustomMeter(TComponent* owner)
    : TMMGraphicControl(owner)
    , FWork(std::make_unique<TBitmap>())
    , FScale(std::make_unique<TBitmap>())
    , FBackGroundDIB(std::make_unique<TBitmap>())
    , FPacer(this, [this] { NeedleUpdate(); })
{
    RegisterMeterClasses();
    // Bevel and picture cover every pixel: nothing behind needs painting
    // first, which a needle update would otherwise cost every frame.
    SetControlStyle(ControlStyle() | csOpaque);
    FBackGroundDIB->SetOnChange([this](TObject*) { ScaleChanged(); });
    SetColor(clBlack);
    Font()->SetColor(clSilver);
    Font()->SetStyle(fsBold);
    SetParentFont(false);
    SetCaption(QStringLiteral("dB"));
    SetBounds(Left(), Top(), 170, 90);
    UpdateStepSize();
    if (!(ComponentState() & csDesigning))
        Subscribe();
}

TMMCustomMeter::~TMMCustomMeter()
{
    if (FWatched)
        FWatched->removeEventFilter(this);
    MMTimerUnsubscribe(FTickId);
    FTickId = 0;
    FBackGroundDIB->SetOnChange(nullptr);
}

void TMMCustomMeter::Subscribe()
{
    if (FTickId != 0)
        return;
    FTickId = MMTimerSubscribe(kTickMs, [this] { PeakTick(); });
    if (!Enabled())
        MMTimerSuspend(FTickId);
    if (!FShowPeak)
        MMTimerSuspend(FTickId);
}

void TMMCustomMeter::WatchWindow()
{
    QWindow* window = nullptr;
    if (HandleAllocated() && Handle()->window() != nullptr)
        window = Handle()->window()->windowHandle();
    if (window == FWatched)
        return;
    if (FWatched)
        FWatched->removeEventFilter(this);
    FWatched = window;
    if (window != nullptr)
        window->installEventFilter(this);
    SetOffScreen(window != nullptr && !window->isExposed());
}

bool TMMCustomMeter::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == FWatched && event->type() == QEvent::Expose)
        SetOffScreen(!FWatched->isExposed());
    return TMMGraphicControl::eventFilter(watched, event);
}

void TMMCustomMeter::SetOffScreen(bool value)
{
    if (value == FOffScreen)
        return;
    FOffScreen = value;
    if (FTickId == 0)
        return;
    if (value) {
        FOffSince.start();
        MMTimerSuspend(FTickId);
        return;
    }
    // The peak falls as far as it would have on screen; past a hold and a
    // whole fall more ticks change nothing.
    if (Enabled() && FShowPeak) {
        const qint64 missed = FOffSince.elapsed() / kTickMs;
        const qint64 enough = 2 * FPeakDelay + 2 + qint64 { kFull / kPeakFall + 1 } * (FPeakSpeed + 1);
        for (qint64 i = 0; i < std::min(missed, enough); ++i)
            PeakTick();
    }
    MMTimerResume(FTickId);
}

void TMMCustomMeter::SetDesignMode(bool value)
{
    TMMGraphicControl::SetDesignMode(value);
    if (!value)
        Subscribe();
}

// -- the display contract --------------------------------------------------------

void TMMCustomMeter::AdoptFormat(const WAVEFORMATEX* format)
{
    if (format == nullptr || !IsPCMFormat(format))
        throw EMMMeterError(QStringLiteral("Invalid WaveFormat"));
    SetBitLength(TMMBits(format->wBitsPerSample / 8 - 1));
    SetMode(TMMMode(format->nChannels - 1));
}

void TMMCustomMeter::ResetDisplay()
{
    ResetLevels();
    Repaint();
}

void TMMCustomMeter::ShowSlice(const void* data)
{
    if (data == nullptr || !Enabled() || !Visible())
        return;
    const bool stereo = FMode == mStereo;
    const std::int64_t offL = FDCOffset[0];
    const std::int64_t offR = FDCOffset[1];
    std::int64_t peak = 0;
    if (FBitLength == b16Bit) {
        const auto* s = static_cast<const std::int16_t*>(data);
        for (int i = 0; i < FSamples; ++i) {
            std::int64_t v;
            if (!stereo)
                v = s[i] + offL;
            else if (FChannel == chLeft)
                v = s[2 * i] + offL;
            else if (FChannel == chRight)
                v = s[2 * i + 1] + offR;
            else
                v = (s[2 * i] + offL + s[2 * i + 1] + offR) / 2;
            peak = std::max(peak, v < 0 ? -v : v);
        }
    } else {
        const auto* s = static_cast<const std::uint8_t*>(data);
        for (int i = 0; i < FSamples; ++i) {
            std::int64_t v;
            if (!stereo)
                v = (s[i] + offL - 128) * 256;
            else if (FChannel == chLeft)
                v = (s[2 * i] + offL - 128) * 256;
            else if (FChannel == chRight)
                v = (s[2 * i + 1] + offR - 128) * 256;
            else
                v = ((s[2 * i] + offL + s[2 * i + 1] + offR) / 2 - 128) * 256;
            peak = std::max(peak, v < 0 ? -v : v);
        }
    }
    if (peak >= kFull)
        PcmOverflow();
    // DC offsets beyond the sample range could carry the level past an int.
    LevelStep(int(std::min<std::int64_t>(peak, 0x7FFFFFFF / 40)));
}

void TMMCustomMeter::PcmOverflow()
{
    if (FOnPcmOverflow)
        FOnPcmOverflow(this);
}

void TMMCustomMeter::GainOverflow()
{
    if (FOnGainOverflow)
        FOnGainOverflow(this);
}

// -- levels -------------------------------------------------------------------------

void TMMCustomMeter::LevelStep(int level)
{
    bool overflow = false;
    bool changed = false;
    {
        std::lock_guard lock(FLock);
        level = std::abs(level);
        FRawLevel = level;
        if (level == 0 && FNeedle == 0 && !FPeakChanged)
            return;
        if (FDecayMode != dmNone) {
            FRingIndex = FRingIndex + 1 >= FWindow ? 0 : FRingIndex + 1;
            FRingFill = std::min(FRingFill + 1, FWindow);
            switch (FDecayMode) {
            case dmStepUp:
                FAccu *= FFactor;
                if (float(level) >= FAccu)
                    FAccu = float(level);
                else
                    level = int(FAccu);
                break;
            case dmExponential:
                FAccu = FAccu * FFactor + (1 - FFactor) * float(level);
                level = int(std::floor(FAccu));
                break;
            case dmUniform:
                FRingSum += level - FRing[FRingIndex];
                FRing[FRingIndex] = level;
                level = FRingSum / FRingFill;
                break;
            default:
                break;
            }
        }
        const std::int64_t g = std::int64_t(level) * FGain / 8;
        const double s = FSensitivy;
        double needle;
        if (FLogAmp) {
            const double db = 20 * std::log10(std::max(double(g) / kFull, 0.00001));
            needle = (db - s) * kFull / -s;
        } else {
            const float c = float(kFull / std::pow(10.0, -s / 20));
            needle = (double(g) - c) * kFull / (kFull - c);
        }
        // Full scale is reached by the rounded position: a needle that
        // stands at the right end overflows.
        const int value = needle >= kFull ? kFull : std::max(0, RoundEven(needle));
        overflow = value >= kFull;
        if (FShowPeak && value > FPeak) {
            FPeak = value;
            FPeakHold = FPeakDelay * 2 + 1;
            FPeakChanged = true;
        }
        if (value != FNeedle || FPeakChanged) {
            FPeakChanged = false;
            FNeedle = value;
            changed = true;
        }
    }
    if (overflow)
        GainOverflow();
    if (changed && Enabled() && Visible())
        FPacer.Request();
}

void TMMCustomMeter::PeakTick()
{
    std::lock_guard lock(FLock);
    if (FPeak <= 0)
        return;
    if (--FPeakHold > 0)
        return;
    if (FPeakSpeed == 0) {
        FPeak = FNeedle;
        FPeakHold = 0;
    } else {
        FPeak = std::max(FPeak - kPeakFall, FNeedle);
        FPeakHold = FPeakSpeed;
    }
    FPeakChanged = true;
}

void TMMCustomMeter::ClearDecay()
{
    FAccu = 0;
    std::fill(std::begin(FRing), std::end(FRing), 0);
    FRingIndex = 0;
    FRingFill = 0;
    FRingSum = 0;
}

void TMMCustomMeter::ResetLevels()
{
    std::lock_guard lock(FLock);
    FRawLevel = 0;
    FPeak = 0;
    FPeakHold = 0;
    FNeedle = 0;
    FPeakChanged = false;
    ClearDecay();
}

int TMMCustomMeter::NeedleValue() const
{
    std::lock_guard lock(FLock);
    return FNeedle;
}

int TMMCustomMeter::PeakValue() const
{
    std::lock_guard lock(FLock);
    return FPeak;
}

int TMMCustomMeter::Value() const
{
    const int needle = NeedleValue();
    if (needle == 0)
        return 0;
    if (!FLogAmp)
        return RoundEven(double(needle) * 100 / kFull);
    // Gain -8 makes the level factor 0: nothing can be read back.
    if (FGain == 0)
        return 0;
    const double s = FSensitivy;
    return RoundEven(std::pow(10.0, (s - needle * s / kFull) / 20) * 8 / FGain * 100);
}

void TMMCustomMeter::SetValue(int value)
{
    value = std::clamp(value, 0, 100);
    LevelStep(RoundEven(double(value) * kFull / 100));
}

// -- properties -----------------------------------------------------------------------

void TMMCustomMeter::UpdateStepSize()
{
    FStepSize = (int(FBitLength) + 1) * (int(FMode) + 1) * FSamples;
}

void TMMCustomMeter::ScaleChanged()
{
    FScaleValid = false;
    Invalidate();
}

void TMMCustomMeter::SetScaleColor(int index, TColor value)
{
    if (FScaleColors[index] == value)
        return;
    FScaleColors[index] = value;
    ScaleChanged();
}

void TMMCustomMeter::SetNeedleColor(TColor value)
{
    if (value == FNeedleColor)
        return;
    FNeedleColor = value;
    Invalidate();
}

void TMMCustomMeter::SetPeakColor(TColor value)
{
    if (value == FPeakColor)
        return;
    FPeakColor = value;
    Invalidate();
}

#define MM_METER_INT_SETTER(Name, Field, Expr)                                                               \
    void TMMCustomMeter::Set##Name(int value)                                                                \
    {                                                                                                        \
        value = (Expr);                                                                                      \
        if (value == Field)                                                                                  \
            return;                                                                                          \
        Field = value;                                                                                       \
        ScaleChanged();                                                                                      \
    }

MM_METER_INT_SETTER(NeedleOffset, FNeedleOffset, std::max(value, 0))
MM_METER_INT_SETTER(NeedleWidth, FNeedleWidth, std::max(value, 0))
MM_METER_INT_SETTER(ScaleHeight1, FScaleHeight1, std::max(value, 0))
MM_METER_INT_SETTER(ScaleHeight2, FScaleHeight2, std::max(value, 0))
MM_METER_INT_SETTER(ScaleAngle, FScaleAngle, std::clamp(value, 45, 180))
MM_METER_INT_SETTER(ScaleTicks, FScaleTicks, value)
MM_METER_INT_SETTER(ScaleTicksEnlargeEvery, FEnlargeEvery, value)
MM_METER_INT_SETTER(ScaleTicksTextEvery, FTextEvery, value)
MM_METER_INT_SETTER(TopSpace, FTopSpace, value)
MM_METER_INT_SETTER(Point1, FPoint1, std::clamp(value, 1, 100))
MM_METER_INT_SETTER(Point2, FPoint2, std::clamp(value, 1, 100))
MM_METER_INT_SETTER(Sensitivy, FSensitivy, std::clamp(value, -90, -9))

#undef MM_METER_INT_SETTER

void TMMCustomMeter::SetScaleOrigin(TMMScaleOrigin value)
{
    if (value == FScaleOrigin)
        return;
    FScaleOrigin = value;
    ScaleChanged();
}

void TMMCustomMeter::SetDrawScale(bool value)
{
    if (value == FDrawScale)
        return;
    FDrawScale = value;
    ScaleChanged();
}

void TMMCustomMeter::SetLogAmp(bool value)
{
    if (value == FLogAmp)
        return;
    FLogAmp = value;
    ScaleChanged();
}

void TMMCustomMeter::SetBitLength(TMMBits value)
{
    if (value == FBitLength)
        return;
    FBitLength = value;
    UpdateStepSize();
    Invalidate();
}

void TMMCustomMeter::SetMode(TMMMode value)
{
    if (value == FMode)
        return;
    FMode = value;
    UpdateStepSize();
    Invalidate();
}

void TMMCustomMeter::SetSamples(int value)
{
    value = std::clamp(value, 1, kMaxSamples);
    if (value == FSamples)
        return;
    FSamples = value;
    UpdateStepSize();
    Invalidate();
}

void TMMCustomMeter::SetGain(int value)
{
    if (value < -8 || value > 32)
        return;
    FGain = value + 8;
}

void TMMCustomMeter::SetDecayMode(TMMDecayMode value)
{
    if (value == FDecayMode)
        return;
    std::lock_guard lock(FLock);
    FDecayMode = value;
    ClearDecay();
}

void TMMCustomMeter::SetDecay(int value)
{
    value = std::clamp(value, 1, 16);
    if (value == FDecay)
        return;
    std::lock_guard lock(FLock);
    FDecay = value;
    FFactor = DecayFactorOf(value);
    FWindow = std::clamp((value - 1) * 2, 1, kRingSize);
    if (FDecayMode == dmUniform)
        ClearDecay();
}

void TMMCustomMeter::SetShowPeak(bool value)
{
    if (value == FShowPeak)
        return;
    {
        std::lock_guard lock(FLock);
        FShowPeak = value;
        FPeakHold = 0;
    }
    if (FTickId != 0) {
        if (value)
            MMTimerResume(FTickId);
        else
            MMTimerSuspend(FTickId);
    }
    Invalidate();
}

void TMMCustomMeter::SetPeakSpeed(int value)
{
    value = std::clamp(value, 0, 50);
    if (value == FPeakSpeed)
        return;
    std::lock_guard lock(FLock);
    FPeakSpeed = value;
    FPeakHold = 0;
    Invalidate();
}

void TMMCustomMeter::SetPeakDelay(int value)
{
    value = std::clamp(value, 0, 50);
    if (value == FPeakDelay)
        return;
    std::lock_guard lock(FLock);
    FPeakDelay = value;
    FPeakHold = 0;
    Invalidate();
}

void TMMCustomMeter::SetBackGroundDIB(TBitmap* value)
{
    FBackGroundDIB->Assign(value);
}

void TMMCustomMeter::EnabledChanged()
{
    TMMGraphicControl::EnabledChanged();
    ResetLevels();
    if (FTickId != 0) {
        if (Enabled())
            MMTimerResume(FTickId);
        else
            MMTimerSuspend(FTickId);
    }
    Invalidate();
}

void TMMCustomMeter::TextChanged()
{
    TMMGraphicControl::TextChanged();
    ScaleChanged();
}

void TMMCustomMeter::FontChanged()
{
    TMMGraphicControl::FontChanged();
    ScaleChanged();
}

void TMMCustomMeter::ColorChanged()
{
    TMMGraphicControl::ColorChanged();
    ScaleChanged();
}

// -- geometry and drawing ---------------------------------------------------------------

void TMMCustomMeter::SetBounds(int left, int top, int width, int height)
{
    TMMGraphicControl::SetBounds(left, top, width, height);
    ComputeArea();
}

void TMMCustomMeter::Resize()
{
    TMMGraphicControl::Resize();
    ComputeArea();
}

void TMMCustomMeter::BevelChanged()
{
    ComputeArea();
    TMMGraphicControl::BevelChanged();
}

void TMMCustomMeter::ComputeArea()
{
    const TRect area = InnerRect();
    const int w = std::max(0, area.Right - area.Left);
    const int h = std::max(0, area.Bottom - area.Top);
    if (area == FArea && FWork->Width() == w && FWork->Height() == h)
        return;
    FArea = area;
    FWork->SetSize(w, h);
    FScale->SetSize(w, h);
    FScaleValid = false;
    ResetLevels();
    Invalidate();
}

int TMMCustomMeter::Radius() const
{
    return (FArea.Bottom - FArea.Top) + std::min(FNeedleOffset, kMaxReach)
        - std::clamp(FTopSpace, -kMaxReach, kMaxReach);
}

TPoint TMMCustomMeter::Pivot() const
{
    return Point(
        (FArea.Right - FArea.Left) / 2, (FArea.Bottom - FArea.Top) + std::min(FNeedleOffset, kMaxReach));
}

TPoint TMMCustomMeter::NeedlePoint(int v, int r) const
{
    const float a0 = float(180 - FScaleAngle) * std::numbers::pi_v<float> / 360;
    const double angle = a0 + (std::numbers::pi - 2 * double(a0)) * v / kFull;
    const TPoint pivot = Pivot();
    return Point(pivot.X - RoundEven(std::cos(angle) * r), pivot.Y - RoundEven(std::sin(angle) * r));
}

void TMMCustomMeter::DrawScalePicture()
{
    const int w = FScale->Width();
    const int h = FScale->Height();
    FScaleValid = true;
    if (w <= 0 || h <= 0)
        return;
    TCanvas* c = FScale->Canvas();
    if (FBackGroundDIB->Empty()) {
        c->Brush()->SetStyle(bsSolid);
        c->Brush()->SetColor(Color());
        c->FillRect(Rect(0, 0, w, h));
    } else {
        c->StretchDraw(Rect(0, 0, w, h), FBackGroundDIB.get());
    }

    const int r = Radius();
    const double s = FSensitivy;
    const float lowest = float(kFull / std::pow(10.0, -s / 20));
    const int ticks = std::min(FScaleTicks, kMaxTicks);
    if (FDrawScale && ticks > 1) {
        c->Pen()->SetWidth(1);
        c->Pen()->SetStyle(psSolid);
        c->Brush()->SetStyle(bsClear);
        c->Font()->SetName(QStringLiteral("Small Fonts"));
        c->Font()->SetSize(6);
        c->Font()->SetColor(Font()->Color());
        c->Font()->SetStyle({});
        const int span = ticks - 1;
        const int height1 = std::min(FScaleHeight1, kMaxReach);
        const int height2 = std::min(FScaleHeight2, kMaxReach);
        // Ticks denser than the pixels of the arc fall on the lines and
        // labels drawn just before them: those are drawn once.
        struct TTick {
            TPoint From, To;
            TColor Color;
            bool operator==(const TTick&) const = default;
        };
        std::optional<TTick> lastTick;
        std::optional<std::pair<TPoint, int>> lastLabel;
        for (int i = 0; i < ticks; ++i) {
            const int v = int(std::int64_t(kFull) * i / span);
            const bool large = FEnlargeEvery == 0 || i == span || i % FEnlargeEvery == 0;
            const int outer = r - 2;
            const int inner = r - height2 - 2;
            const int small = r + height1 - height2 - 2;
            int from, to;
            if (FScaleOrigin == soInner) {
                from = inner;
                to = large ? outer : small;
            } else {
                from = outer;
                to = large ? inner : small;
            }
            TColor color = FScaleColors[2];
            if (v <= FPoint1 * double(kFull) / 100)
                color = FScaleColors[0];
            else if (v <= FPoint2 * double(kFull) / 100)
                color = FScaleColors[1];
            const TTick tick { NeedlePoint(v, from), NeedlePoint(v, to), color };
            if (tick != lastTick) {
                c->Pen()->SetColor(color);
                c->MoveTo(tick.From.X, tick.From.Y);
                c->LineTo(tick.To.X, tick.To.Y);
                lastTick = tick;
            }

            if (FTextEvery > 0 && i % FTextEvery == 0) {
                int n;
                if (FLogAmp)
                    n = (ticks - i - 1) * FSensitivy / span;
                else
                    n = RoundEven(20 * std::log10((lowest + (kFull - lowest) * double(i) / span) / kFull));
                const TPoint p = NeedlePoint(v, r - 2);
                if (lastLabel == std::pair(p, n))
                    continue;
                lastLabel = std::pair(p, n);
                const QString text = QString::number(n);
                const int x = p.X + c->TextWidth(QString::number(std::abs(n))) / 2 - c->TextWidth(text) + 1;
                const int y = p.Y - c->TextHeight(QStringLiteral("0")) - 3;
                c->TextOut(x, y, text);
            }
        }
    }

    c->Brush()->SetStyle(bsClear);
    c->Font()->Assign(Font());
    const int lineHeight = c->TextHeight(QStringLiteral("W"));
    TRect box = Rect(0, h - h / 16 - lineHeight, w, h - h / 16);
    c->DrawText(Caption(), box, DT_CENTER | DT_VCENTER | DT_EXPANDTABS);
}

void TMMCustomMeter::DrawNeedles(TCanvas* canvas, int needle, int peak, bool showPeak)
{
    const TPoint pivot = Pivot();
    const int r = Radius();
    canvas->Pen()->SetWidth(FNeedleWidth);
    canvas->Pen()->SetStyle(psSolid);
    if (showPeak) {
        const TPoint tip = NeedlePoint(peak, r);
        canvas->Pen()->SetColor(FPeakColor);
        canvas->MoveTo(pivot.X, pivot.Y);
        canvas->LineTo(tip.X, tip.Y);
    }
    const TPoint tip = NeedlePoint(needle, r);
    canvas->Pen()->SetColor(FNeedleColor);
    canvas->MoveTo(pivot.X, pivot.Y);
    canvas->LineTo(tip.X, tip.Y);
}

TMMCustomMeter::TNeedleShape TMMCustomMeter::NeedleShape(int needle, int peak) const
{
    const int r = Radius();
    return { Pivot(), NeedlePoint(needle, r), FShowPeak ? NeedlePoint(peak, r) : Pivot() };
}

void TMMCustomMeter::Paint()
{
    FPacer.Cancel();
    WatchWindow();
    Bevel()->PaintBevel(Canvas(), ClientRect(), true);
    if (!FScaleValid)
        DrawScalePicture();
    FShownValid = false;
    if (FWork->Width() > 0 && FWork->Height() > 0) {
        int needle, peak;
        {
            std::lock_guard lock(FLock);
            needle = FNeedle;
            peak = FPeak;
        }
        TCanvas* work = FWork->Canvas();
        work->Draw(0, 0, FScale.get());
        DrawNeedles(work, needle, peak, FShowPeak);
        Canvas()->Draw(FArea.Left, FArea.Top, FWork.get());
        FShown = NeedleShape(needle, peak);
        FShownValid = true;
    }
    if (FOnPostPaint)
        FOnPostPaint(this);
}

void TMMCustomMeter::NeedleUpdate()
{
    if (!Visible() || Parent() == nullptr || !Parent()->HandleAllocated())
        return;
    if (!FScaleValid || FWork->Width() <= 0 || FWork->Height() <= 0) {
        Invalidate();
        return;
    }
    int needle, peak;
    {
        std::lock_guard lock(FLock);
        needle = FNeedle;
        peak = FPeak;
    }
    // A level change smaller than a pixel of the needle's sweep leaves the
    // picture as it is: most of them, with a steady signal.
    const TNeedleShape shape = NeedleShape(needle, peak);
    if (FShownValid && shape == FShown)
        return;
    PaintDirect([this, needle, peak, shape](TCanvas* canvas) {
        TCanvas* work = FWork->Canvas();
        work->Draw(0, 0, FScale.get());
        DrawNeedles(work, needle, peak, FShowPeak);
        canvas->Draw(FArea.Left, FArea.Top, FWork.get());
        FShown = shape;
        FShownValid = true;
        if (FOnPostPaint)
            FOnPostPaint(this);
    });
}

// ---------------------------------------------------------------------------

TMMMeter::TMMMeter(TComponent* owner)
    : TMMCustomMeter(owner)
{
}

TMMMeter::~TMMMeter() = default;
