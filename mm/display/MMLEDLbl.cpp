#include "mm/display/MMLEDLbl.h"

#include "platform/ui/Resources.h"

#include <QEvent>
#include <QFile>
#include <QWidget>
#include <algorithm>
#include <array>
#include <cstdint>
#include <mutex>

namespace {

constexpr int kCellsPerRow = 63;
constexpr int kFirstCode = 32;
constexpr int kSecondRowCode = 95;
constexpr int kLastCode = 157;
constexpr QRgb kWhite = 0xFFFFFF;
constexpr QRgb kSilver = 0xC0C0C0;
constexpr QRgb kBlack = 0x000000;
// The widest a widget can be.
constexpr std::int64_t kLargestWidth = QWIDGETSIZE_MAX;

// Windows-1254 bytes 0x80 .. 0x9F (0 where the code page has none); from
// 0xA0 on it is Latin-1 except for the six Turkish letters below.
constexpr std::array<char16_t, 32> kHighControls = { 0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020,
    0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0, 0, 0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0, 0x0178 };

struct TTurkishLetter {
    char16_t Unicode;
    unsigned char Byte;
};
constexpr std::array<TTurkishLetter, 6> kTurkish = { { { 0x011E, 0xD0 }, { 0x0130, 0xDD }, { 0x015E, 0xDE },
    { 0x011F, 0xF0 }, { 0x0131, 0xFD }, { 0x015F, 0xFE } } };
// The Latin-1 code points that Windows-1254 gives to the Turkish letters.
constexpr std::array<char16_t, 6> kReplacedLatin1 = { 0xD0, 0xDD, 0xDE, 0xF0, 0xFD, 0xFE };

unsigned char ToByte(char32_t ch)
{
    if (ch < 0x80)
        return static_cast<unsigned char>(ch);
    for (const TTurkishLetter& letter : kTurkish)
        if (letter.Unicode == ch)
            return letter.Byte;
    if (ch >= 0xA0 && ch <= 0xFF
        && std::find(kReplacedLatin1.begin(), kReplacedLatin1.end(), ch) == kReplacedLatin1.end())
        return static_cast<unsigned char>(ch);
    for (std::size_t i = 0; i < kHighControls.size(); ++i) {
        if (kHighControls[i] != 0 && kHighControls[i] == ch)
            return static_cast<unsigned char>(0x80 + i);
        // The positions the code page leaves empty keep the control
        // character of their value, so that every cell has a code.
        if (kHighControls[i] == 0 && ch == 0x80 + i)
            return static_cast<unsigned char>(ch);
    }
    return '?';
}

QRgb Rgb(TColor color)
{
    const TColor rgb = ColorToRGB(color);
    return qRgb(GetRValue(rgb), GetGValue(rgb), GetBValue(rgb));
}

QString ResourceName(TMMLEDFontSize size)
{
    switch (size) {
    case fs11x13:
        return QStringLiteral("FONT_11X13");
    case fs11x13_bold:
        return QStringLiteral("FONT_11X13_BOLD");
    case fs16x20:
        break;
    }
    return QStringLiteral("FONT_16X20");
}

} // namespace

QByteArray ToWindows1254(const QString& text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (const char32_t ch : text.toUcs4())
        bytes.append(static_cast<char>(ToByte(ch)));
    return bytes;
}

int LEDCellCode(unsigned char byte)
{
    switch (byte) {
    case 0xC4: // Ä
    case 0xE4: // ä
        return 135;
    case 0xD6: // Ö
    case 0xF6: // ö
        return 140;
    case 0xDC: // Ü
    case 0xFC: // ü
        return 137;
    default:
        break;
    }
    // The font's own symbols (127 .. 157) are reached by their codes, which
    // is why no other letter is moved onto them: é (0xE9) shows a blank.
    if (byte < kFirstCode || byte > kLastCode)
        return kFirstCode;
    return byte;
}

// ---------------------------------------------------------------------------
// TMMLEDFont

bool TMMLEDFont::Load(const QImage& source)
{
    // Narrower than 63 pixels there is no cell width to divide by; lower
    // than 4 no cell row of even one pixel.
    if (source.isNull() || source.width() < kCellsPerRow || source.height() < 4)
        return false;
    FSource = source.convertToFormat(QImage::Format_RGB32);
    FCharWidth = FSource.width() / kCellsPerRow;
    FCharHeight = (FSource.height() - 2) / 2;
    FImage = FSource;
    return true;
}

void TMMLEDFont::Recolour(TColor led, TColor inactive, TColor background, bool drawInactive)
{
    if (FSource.isNull())
        return;
    const QRgb lit = Rgb(led);
    const QRgb back = Rgb(background);
    const QRgb unlit = drawInactive ? Rgb(inactive) : back;
    FImage = FSource;
    for (int y = 0; y < FImage.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(FImage.scanLine(y));
        for (int x = 0; x < FImage.width(); ++x) {
            switch (line[x] & 0xFFFFFF) {
            case kWhite:
                line[x] = lit;
                break;
            case kBlack:
                line[x] = back;
                break;
            case kSilver:
                line[x] = unlit;
                break;
            default:
                break;
            }
        }
    }
}

TRect TMMLEDFont::CellRect(unsigned char byte) const
{
    const int code = LEDCellCode(byte);
    TRect cell = code < kSecondRowCode
        ? Bounds(FCharWidth * (code - kFirstCode), 0, FCharWidth, FCharHeight)
        : Bounds(FCharWidth * (code - kSecondRowCode), FCharHeight + 2, FCharWidth, FCharHeight);
    cell.Right = std::min(cell.Right, FImage.width());
    cell.Bottom = std::min(cell.Bottom, FImage.height());
    return cell;
}

// ---------------------------------------------------------------------------

void RegisterLEDLabelClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterControlsTypes();
        RegisterEventType<TMMLabelDrawEvent>();
        RegisterClass<TMMLEDLABEL>();
    });
}

namespace {
[[maybe_unused]] const bool kRegistered = (RegisterLEDLabelClasses(), true);
} // namespace

TMMLEDLABEL::TMMLEDLABEL(TComponent* owner)
    : TMMGraphicControl(owner)
    , FTimer(std::make_unique<TTimer>(nullptr))
{
    RegisterLEDLabelClasses();
    FTimer->SetEnabled(false);
    FTimer->SetInterval(FScrollSpeed);
    FTimer->SetOnTimer([this](TObject*) { TimerStep(); });
    Bevel()->SetBorderSpace(2);
    SetColor(clBlack);
    SetBounds(Left(), Top(), 11, 13);
    LoadFont();
}

TMMLEDLABEL::~TMMLEDLABEL()
{
    Unpark();
    FTimer->SetEnabled(false);
    FTimer->SetOnTimer(nullptr);
}

void TMMLEDLABEL::LoadFont()
{
    // Fresh from the resource each time, in the colours stored there.
    TBitmap bitmap;
    bitmap.LoadFromResourceName(ResourceName(FFontSize));
    if (!FFont.Load(bitmap.Image()))
        return;
    AdjustSize();
    RecolourFont();
}

bool TMMLEDLABEL::SetFontBitmap(TBitmap* bitmap)
{
    if (bitmap == nullptr || !FFont.Load(bitmap->Image()))
        return false;
    AdjustSize();
    RecolourFont();
    return true;
}

void TMMLEDLABEL::RecolourFont()
{
    FFont.Recolour(FLEDColor, FInactiveColor, Color(), FDrawInactive);
    Invalidate();
}

void TMMLEDLABEL::SetFontSize(TMMLEDFontSize value)
{
    if (value == FFontSize)
        return;
    FFontSize = value;
    LoadFont();
}

void TMMLEDLABEL::SetDrawInactive(bool value)
{
    if (value == FDrawInactive)
        return;
    FDrawInactive = value;
    LoadFont();
}

void TMMLEDLABEL::SetInactiveColor(TColor value)
{
    if (value == FInactiveColor)
        return;
    FInactiveColor = value;
    LoadFont();
}

void TMMLEDLABEL::SetLEDColor(TColor value)
{
    if (value == FLEDColor)
        return;
    FLEDColor = value;
    LoadFont();
}

void TMMLEDLABEL::ColorChanged()
{
    TMMGraphicControl::ColorChanged();
    if (!FFont.Empty())
        LoadFont();
}

void TMMLEDLABEL::SetAutoSize(bool value)
{
    if (value == FAutoSize)
        return;
    FAutoSize = value;
    AdjustSize();
}

void TMMLEDLABEL::SetAlignment(TAlignment value)
{
    if (value == FAlignment)
        return;
    FAlignment = value;
    Invalidate();
}

void TMMLEDLABEL::SetNumChars(int value)
{
    if (value == FNumChars)
        return;
    FNumChars = value;
    AdjustSize();
}

void TMMLEDLABEL::SetLEDSpace(int value)
{
    if (value == FLEDSpace || value <= 0)
        return;
    FLEDSpace = value;
    AdjustSize();
}

void TMMLEDLABEL::SetScrollSpeed(int value)
{
    FScrollSpeed = value;
    FTimer->SetInterval(value);
}

void TMMLEDLABEL::SetCurrentStep(int value)
{
    if (value == FCurrentStep || value < 0 || value > FText.size())
        return;
    FCurrentStep = value;
    Invalidate();
}

void TMMLEDLABEL::SetStartStep(int value)
{
    if (value == FStartStep || value < 0 || value > FText.size())
        return;
    FStartStep = value;
    FCurrentStep = value;
    Invalidate();
}

void TMMLEDLABEL::SetAutoScroll(bool value)
{
    if (value == FAutoScroll)
        return;
    FAutoScroll = value;
    if (value)
        StartScroll();
    else
        StopScroll();
    FCurrentStep = FStartStep;
    Invalidate();
}

void TMMLEDLABEL::StartScroll()
{
    if (FTimer->Enabled() || FResting)
        return;
    if (FText.size() < FCurrentStep)
        FCurrentStep = FStartStep;
    SetAlignment(taLeftJustify);
    if (FOnBegin)
        FOnBegin(this);
    FTimer->SetEnabled(true);
}

void TMMLEDLABEL::StopScroll()
{
    FTimer->SetEnabled(false);
    Unpark();
}

void TMMLEDLABEL::TimerStep()
{
    // A marquee in a window off screen (minimised, unmapped) rests instead
    // of waking the program every step for nobody; it goes on where it
    // stood when the window comes back. Somebody who listens to the steps
    // gets them on schedule all the same.
    QWindow* window = nullptr;
    if (HandleAllocated() && Handle()->window() != nullptr)
        window = Handle()->window()->windowHandle();
    if (window != nullptr && !window->isExposed() && !FOnStep && !FOnEnd) {
        Rest(window);
        return;
    }
    Step();
}

void TMMLEDLABEL::Rest(QWindow* window)
{
    FTimer->SetEnabled(false);
    FResting = true;
    FParked = window;
    window->installEventFilter(this);
    // A native window made anew while hidden (a change of flags or parent)
    // never becomes exposed: its widget's next Show wakes the marquee.
    FParkedGone = connect(window, &QObject::destroyed, this, [this] { RestOnWidget(); });
}

void TMMLEDLABEL::RestOnWidget()
{
    QObject::disconnect(FParkedGone);
    QWidget* top = HandleAllocated() ? Handle()->window() : nullptr;
    if (top == nullptr) {
        Wake();
        return;
    }
    FParkedWidget = top;
    top->installEventFilter(this);
}

void TMMLEDLABEL::Wake()
{
    Unpark();
    FTimer->SetEnabled(true);
}

void TMMLEDLABEL::Unpark()
{
    QObject::disconnect(FParkedGone);
    if (FParked)
        FParked->removeEventFilter(this);
    if (FParkedWidget)
        FParkedWidget->removeEventFilter(this);
    FParked = nullptr;
    FParkedWidget = nullptr;
    FResting = false;
}

bool TMMLEDLABEL::eventFilter(QObject* watched, QEvent* event)
{
    if (FResting) {
        const bool exposed = watched == FParked && event->type() == QEvent::Expose && FParked->isExposed();
        const bool shown = watched == FParkedWidget && event->type() == QEvent::Show;
        if (exposed || shown)
            Wake();
    }
    return TMMGraphicControl::eventFilter(watched, event);
}

void TMMLEDLABEL::SetOnStep(TNotifyEvent handler)
{
    FOnStep = std::move(handler);
    if (FOnStep && FResting)
        Wake();
}

void TMMLEDLABEL::SetOnEnd(TNotifyEvent handler)
{
    FOnEnd = std::move(handler);
    if (FOnEnd && FResting)
        Wake();
}

void TMMLEDLABEL::Step()
{
    ++FCurrentStep;
    if (Visible() || (ComponentState() & csDesigning))
        PaintDirect([this](TCanvas* canvas) { DrawCells(canvas); });
    if (FCurrentStep >= FText.size()) {
        if (FAutoScroll)
            FCurrentStep = FStartStep;
        else
            FTimer->SetEnabled(false);
        if (FOnEnd)
            FOnEnd(this);
    } else if (FOnStep) {
        FOnStep(this);
    }
}

void TMMLEDLABEL::SetDoubleBuffer(bool value)
{
    if (value == FDoubleBuffer && (!value || FBuffer))
        return;
    FDoubleBuffer = value;
    if (value) {
        if (!(ComponentState() & (csDesigning | csReading | csLoading)))
            MakeBuffer();
    } else {
        FBuffer.reset();
    }
    Invalidate();
}

void TMMLEDLABEL::MakeBuffer()
{
    const int width = std::max(0, Width() - 2 * FExtent);
    const int height = std::max(0, Height() - 2 * FExtent);
    FBuffer = std::make_unique<TBitmap>(width, height, pf32bit);
}

void TMMLEDLABEL::TextChanged()
{
    FText = ToWindows1254(Caption());
    AdjustSize();
    Invalidate();
}

void TMMLEDLABEL::BevelChanged()
{
    AdjustSize();
}

void TMMLEDLABEL::Loaded()
{
    TMMGraphicControl::Loaded();
    AdjustSize();
    SetDoubleBuffer(FDoubleBuffer);
}

TSize TMMLEDLABEL::ComputeSize(int width, int height)
{
    FExtent = BevelExtent();
    // In 64 bits: LEDSpace may be anything up to INT_MAX. A width beyond
    // what a widget can have is cut to that.
    const std::int64_t pitch = std::int64_t(FFont.CharWidth()) + FLEDSpace - 1;
    if (FAutoSize)
        FNumChars = static_cast<int>(FText.size());
    else if (pitch > 0)
        FNumChars
            = int(std::max<std::int64_t>(0, (std::int64_t(width) - 2 * FExtent + FLEDSpace - 1) / pitch));
    if (Align() != alTop && Align() != alBottom)
        width = int(std::clamp<std::int64_t>(
            2 * FExtent + pitch * FNumChars - (FLEDSpace - 1), -kLargestWidth, kLargestWidth));
    height = 2 * FExtent + FFont.CharHeight();
    return { width, height };
}

void TMMLEDLABEL::SetBounds(int left, int top, int width, int height)
{
    if (!(ComponentState() & (csReading | csLoading)) && !FFont.Empty()) {
        const TSize size = ComputeSize(width, height);
        width = size.cx;
        height = size.cy;
    }
    const bool resized = width != Width() || height != Height();
    TMMGraphicControl::SetBounds(left, top, width, height);
    if (resized && FBuffer)
        MakeBuffer();
}

void TMMLEDLABEL::AdjustSize()
{
    if ((ComponentState() & (csReading | csLoading)) || FFont.Empty())
        return;
    const TSize size = ComputeSize(Width(), Height());
    if (size.cx == Width() && size.cy == Height())
        Invalidate();
    else
        SetBounds(Left(), Top(), size.cx, size.cy);
}

QByteArray TMMLEDLABEL::VisibleText() const
{
    const int count = std::max(0, FNumChars);
    const int length = static_cast<int>(FText.size());
    QByteArray shown;
    switch (FAlignment) {
    case taLeftJustify:
        shown = FText.mid(std::min(FCurrentStep, length), count);
        shown.append(QByteArray(count - shown.size(), ' '));
        break;
    case taRightJustify:
        shown = FText.right(count);
        shown.prepend(QByteArray(count - shown.size(), ' '));
        break;
    case taCenter: {
        const int start = std::max(0, (length - count) / 2);
        const QByteArray slice = FText.mid(start, count);
        shown = QByteArray(count, ' ');
        shown.replace((count - slice.size()) / 2, slice.size(), slice);
        break;
    }
    }
    return shown;
}

void TMMLEDLABEL::DrawCells(TCanvas* canvas)
{
    if (FFont.Empty())
        return;
    const QByteArray shown = VisibleText();
    const std::int64_t pitch = std::int64_t(FFont.CharWidth()) + FLEDSpace - 1;
    const bool buffered = FDoubleBuffer && FBuffer;
    TCanvas* target = buffered ? FBuffer->Canvas() : canvas;
    const int origin = buffered ? 0 : FExtent;
    for (int i = 0; i < shown.size(); ++i) {
        const std::int64_t x = i * pitch + origin;
        if (x >= Width()) // cells beyond the control show nowhere
            break;
        const TRect source = FFont.CellRect(static_cast<unsigned char>(shown[i]));
        const TRect dest = Bounds(int(x), origin, source.Width(), source.Height());
        target->DrawImage(dest, FFont.Image().copy(ToQRect(source)), cmSrcCopy);
    }
    if (buffered)
        ShowBuffer(canvas);
}

void TMMLEDLABEL::ShowBuffer(TCanvas* canvas)
{
    if (FOnDrawBitmap) {
        TRect content = ClientRect();
        InflateRect(content, -FExtent, -FExtent);
        FOnDrawBitmap(this, FBuffer.get(), content);
        return;
    }
    canvas->Draw(FExtent, FExtent, FBuffer.get());
}

void TMMLEDLABEL::Paint()
{
    TMMGraphicControl::Paint();
    if (FBuffer) {
        // The gaps between cells keep the background, as on screen.
        FBuffer->Canvas()->Brush()->SetColor(Color());
        FBuffer->Canvas()->Brush()->SetStyle(bsSolid);
        FBuffer->Canvas()->FillRect(Rect(0, 0, FBuffer->Width(), FBuffer->Height()));
    }
    DrawCells(Canvas());
}
