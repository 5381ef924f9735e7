#pragma once
// TMMLEDLABEL: a row of dot-matrix LED characters. The caption is shown cell
// by cell from a bitmap font (lit dots in LEDColor, unlit ones in
// InactiveColor), and can scroll to the left one character per timer tick,
// as a marquee.
//
// The fonts are the bitmap resources "FONT_11X13", "FONT_16X20" and
// "FONT_11X13_BOLD" (resources/led/): two rows of 63 cells side by side,
// codes 32 to 94 in the first, 95 to 157 in the second, drawn in white (lit),
// silver (unlit) and black (background) and recoloured when loaded. The
// caption is converted to Windows-1254 bytes first; each byte picks a cell
// (see LEDCellCode).
//
// Without AutoSize the control sizes itself to a whole number of cells:
// Width follows NumChars, NumChars follows the width it is given, and Height
// is always one cell plus the bevel. GUI thread; the scroll timer is a
// message-loop timer on the GUI thread too, and rests while the control's
// window is off screen (minimised, unmapped).

#include "mm/core/MMObj.h"
#include "platform/ui/Bitmap.h"
#include "platform/ui/Timer.h"

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QWindow>
#include <functional>
#include <memory>

namespace MMLEDLblEnums {
Q_NAMESPACE

enum TMMLEDFontSize { fs11x13, fs16x20, fs11x13_bold };
Q_ENUM_NS(TMMLEDFontSize)

} // namespace MMLEDLblEnums

using MMLEDLblEnums::TMMLEDFontSize;
using enum MMLEDLblEnums::TMMLEDFontSize;

/// Replaces the last copy of the double buffer to the screen: Bitmap holds
/// the composed cells, Rect is the content rectangle they belong in.
using TMMLabelDrawEvent = std::function<void(TObject* Sender, TBitmap* aBitmap, TRect aRect)>;
Q_DECLARE_METATYPE(TMMLabelDrawEvent)

/// Text as Windows-1254 bytes, one per character; characters the code page
/// lacks become '?'. The five positions of 0x80 .. 0x9F the code page
/// leaves empty are reached by the control characters of their own value
/// (U+0081 is byte 0x81), as Windows converts them.
QByteArray ToWindows1254(const QString& text);

/// The font cell a caption byte shows, 32 .. 157. Ä/ä, Ö/ö and Ü/ü show the
/// ä, ö and ü cells; every other byte keeps its value, so 127 .. 157 show
/// the font's own symbols and anything outside 32 .. 157 (é among them)
/// shows the space.
int LEDCellCode(unsigned char byte);

/// A loaded LED font: the picture as the resource holds it and the
/// recoloured copy the cells are taken from. Any picture is accepted that
/// has room for one cell of at least one pixel: 63 pixels wide and 4 high.
class TMMLEDFont {
public:
    /// Takes Source as the font. A picture narrower than 63 pixels or lower
    /// than 4 is refused: the result is false and the font stays as it was.
    bool Load(const QImage& source);
    /// Redraws the cells from the loaded picture: white becomes Led, black
    /// Background, silver Inactive (Background when not DrawInactive);
    /// other colours stay. System colours are resolved first.
    void Recolour(TColor led, TColor inactive, TColor background, bool drawInactive);

    bool Empty() const { return FSource.isNull(); }
    /// Picture width div 63.
    int CharWidth() const { return FCharWidth; }
    /// (Picture height - 2) div 2.
    int CharHeight() const { return FCharHeight; }
    /// The recoloured picture (RGB32).
    const QImage& Image() const { return FImage; }
    /// Where the cell of caption byte Byte lies in Image; cells reaching
    /// past the picture are cut to it.
    TRect CellRect(unsigned char byte) const;

private:
    QImage FSource;
    QImage FImage;
    int FCharWidth = 11;
    int FCharHeight = 0;
};

class TMMLEDLABEL : public TMMGraphicControl {
    Q_OBJECT
    Q_MOC_INCLUDE("platform/ui/Menus.h")
    Q_PROPERTY(UiEnums::TAlign Align READ Align WRITE SetAlign)
    Q_CLASSINFO("default:Align", "alNone")
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(TColor Color READ Color WRITE SetColor)
    Q_CLASSINFO("default:Color", "clBlack")
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_CLASSINFO("default:Enabled", "True")
    Q_PROPERTY(bool ParentColor READ ParentColor WRITE SetParentColor)
    Q_CLASSINFO("default:ParentColor", "False")
    Q_PROPERTY(bool ParentShowHint READ ParentShowHint WRITE SetParentShowHint)
    Q_CLASSINFO("default:ParentShowHint", "True")
    Q_PROPERTY(TPopupMenu* PopupMenu READ PopupMenu WRITE SetPopupMenu)
    Q_PROPERTY(bool ShowHint READ ShowHint WRITE SetShowHint)
    Q_CLASSINFO("default:ShowHint", "False")
    Q_PROPERTY(bool Visible READ Visible WRITE SetVisible)
    Q_CLASSINFO("default:Visible", "True")
    Q_PROPERTY(TMMBevel* Bevel READ Bevel WRITE SetBevel)
    Q_CLASSINFO("default:Width", "11")
    Q_CLASSINFO("default:Height", "13")
    Q_PROPERTY(bool AutoSize READ AutoSize WRITE SetAutoSize)
    Q_CLASSINFO("default:AutoSize", "True")
    Q_PROPERTY(UiEnums::TAlignment Alignment READ Alignment WRITE SetAlignment)
    Q_CLASSINFO("default:Alignment", "taLeftJustify")
    Q_PROPERTY(MMLEDLblEnums::TMMLEDFontSize FontSize READ FontSize WRITE SetFontSize)
    Q_CLASSINFO("default:FontSize", "fs16x20")
    Q_PROPERTY(bool DrawInactive READ DrawInactive WRITE SetDrawInactive)
    Q_CLASSINFO("default:DrawInactive", "True")
    Q_PROPERTY(TColor InactiveColor READ InactiveColor WRITE SetInactiveColor)
    Q_CLASSINFO("default:InactiveColor", "clGreen")
    Q_PROPERTY(TColor LEDColor READ LEDColor WRITE SetLEDColor)
    Q_CLASSINFO("default:LEDColor", "clLime")
    // Declared 12 while a new label has 11: the value is always stored.
    Q_PROPERTY(int NumChars READ NumChars WRITE SetNumChars)
    Q_CLASSINFO("default:NumChars", "12")
    Q_PROPERTY(int LEDSpace READ LEDSpace WRITE SetLEDSpace)
    Q_CLASSINFO("default:LEDSpace", "1")
    Q_PROPERTY(int ScrollSpeed READ ScrollSpeed WRITE SetScrollSpeed)
    Q_CLASSINFO("default:ScrollSpeed", "100")
    Q_PROPERTY(int StartStep READ StartStep WRITE SetStartStep)
    Q_CLASSINFO("default:StartStep", "0")
    Q_PROPERTY(int CurrentStep READ CurrentStep WRITE SetCurrentStep)
    Q_CLASSINFO("default:CurrentStep", "0")
    Q_PROPERTY(bool AutoScroll READ AutoScroll WRITE SetAutoScroll)
    Q_CLASSINFO("default:AutoScroll", "False")
    Q_PROPERTY(bool DoubleBuffer READ DoubleBuffer WRITE SetDoubleBuffer)
    Q_CLASSINFO("default:DoubleBuffer", "False")
    Q_PROPERTY(int Tag2 MEMBER Tag2)
    Q_CLASSINFO("default:Tag2", "0")
    Q_PROPERTY(TNotifyEvent OnBegin READ OnBegin WRITE SetOnBegin)
    Q_PROPERTY(TNotifyEvent OnStep READ OnStep WRITE SetOnStep)
    Q_PROPERTY(TNotifyEvent OnEnd READ OnEnd WRITE SetOnEnd)
    Q_PROPERTY(TMMLabelDrawEvent OnDrawBitmap READ OnDrawBitmap WRITE SetOnDrawBitmap)
    Q_PROPERTY(TNotifyEvent OnClick READ OnClick WRITE SetOnClick)
    Q_PROPERTY(TNotifyEvent OnDblClick READ OnDblClick WRITE SetOnDblClick)
    Q_PROPERTY(TMouseEvent OnMouseDown READ OnMouseDown WRITE SetOnMouseDown)
    Q_PROPERTY(TMouseMoveEvent OnMouseMove READ OnMouseMove WRITE SetOnMouseMove)
    Q_PROPERTY(TMouseEvent OnMouseUp READ OnMouseUp WRITE SetOnMouseUp)
public:
    /// A black label with a lowered bevel and a two-pixel border space, the
    /// 16 x 20 font in lime on green. Raises EResNotFound when the font
    /// resource is missing.
    explicit TMMLEDLABEL(TComponent* owner);
    ~TMMLEDLABEL() override;

    bool AutoSize() const { return FAutoSize; }
    /// NumChars follows the caption's length (true) or the width (false).
    void SetAutoSize(bool value);

    TAlignment Alignment() const { return FAlignment; }
    /// Which part of a caption longer than the row shows.
    void SetAlignment(TAlignment value);

    TMMLEDFontSize FontSize() const { return FFontSize; }
    /// Loads the font resource of the size; the control follows its cells.
    void SetFontSize(TMMLEDFontSize value);

    bool DrawInactive() const { return FDrawInactive; }
    /// Unlit dots in InactiveColor (true) or in Color.
    void SetDrawInactive(bool value);
    TColor InactiveColor() const { return FInactiveColor; }
    void SetInactiveColor(TColor value);
    TColor LEDColor() const { return FLEDColor; }
    void SetLEDColor(TColor value);

    int NumChars() const { return FNumChars; }
    /// Stored, then replaced by what AutoSize or the width give.
    void SetNumChars(int value);
    int LEDSpace() const { return FLEDSpace; }
    /// Cells are CharWidth + LEDSpace - 1 apart; 0 and below are ignored.
    void SetLEDSpace(int value);

    int ScrollSpeed() const { return FScrollSpeed; }
    /// Milliseconds per scroll step.
    void SetScrollSpeed(int value);
    int StartStep() const { return FStartStep; }
    /// Where a scroll cycle begins again; also sets CurrentStep. Values
    /// below 0 or beyond the caption's length are ignored.
    void SetStartStep(int value);
    int CurrentStep() const { return FCurrentStep; }
    /// Characters scrolled out on the left; values below 0 or beyond the
    /// caption's length are ignored.
    void SetCurrentStep(int value);
    bool AutoScroll() const { return FAutoScroll; }
    /// True scrolls for ever, false stops; both go back to StartStep.
    void SetAutoScroll(bool value);
    bool DoubleBuffer() const { return FDoubleBuffer; }
    /// Composes the cells off screen and shows them in one copy (or hands
    /// them to OnDrawBitmap).
    void SetDoubleBuffer(bool value);

    /// Starts scrolling (nothing when it runs): Alignment turns to
    /// taLeftJustify, OnBegin fires, the timer runs.
    void StartScroll();
    /// Stops the timer.
    void StopScroll();
    /// Whether the marquee scrolls (its timer runs, or rests while its
    /// window is off screen).
    bool Scrolling() const { return FTimer->Enabled() || FResting; }
    /// Whether the marquee rests: its window is off screen and no OnStep or
    /// OnEnd handler waits for the steps. It goes on when the window is
    /// exposed again (or, when that native window was destroyed meanwhile,
    /// when its widget is shown again).
    bool Resting() const { return FResting; }

    /// The caption as the cells show it (Windows-1254 bytes).
    QByteArray CaptionBytes() const { return FText; }
    /// The loaded, recoloured font.
    const TMMLEDFont& LEDFont() const { return FFont; }
    int CharWidth() const { return FFont.CharWidth(); }
    int CharHeight() const { return FFont.CharHeight(); }
    /// Uses Bitmap as the font instead of the resource of FontSize, until
    /// the next font change. A picture the font refuses (see TMMLEDFont)
    /// leaves the current font: the result is false.
    bool SetFontBitmap(TBitmap* bitmap);
    /// The off-screen bitmap; null unless DoubleBuffer is on and the form
    /// has been loaded.
    TBitmap* Buffer() const { return FBuffer.get(); }

    /// Runs one scroll step as the timer does.
    void Step();

    TNotifyEvent OnBegin() const { return FOnBegin; }
    void SetOnBegin(TNotifyEvent handler) { FOnBegin = std::move(handler); }
    TNotifyEvent OnStep() const { return FOnStep; }
    /// A handler ends a rest: it gets every step on schedule.
    void SetOnStep(TNotifyEvent handler);
    TNotifyEvent OnEnd() const { return FOnEnd; }
    void SetOnEnd(TNotifyEvent handler);
    TMMLabelDrawEvent OnDrawBitmap() const { return FOnDrawBitmap; }
    void SetOnDrawBitmap(TMMLabelDrawEvent handler) { FOnDrawBitmap = std::move(handler); }

    /// A free value for the user.
    int Tag2 = 0;

    /// Keeps the size the cells give (see the class comment), except while
    /// the form is being read or loaded.
    void SetBounds(int left, int top, int width, int height) override;

protected:
    void Paint() override;
    void Loaded() override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void BevelChanged() override;
    void TextChanged() override;
    void ColorChanged() override;

private:
    void TimerStep();
    void Rest(QWindow* window);
    void RestOnWidget();
    void Wake();
    void Unpark();
    void LoadFont();
    void RecolourFont();
    TSize ComputeSize(int width, int height);
    void AdjustSize();
    QByteArray VisibleText() const;
    void DrawCells(TCanvas* canvas);
    void ShowBuffer(TCanvas* canvas);
    void MakeBuffer();

    // The rest (GUI thread): the window off screen the marquee waits for,
    // and, once that native window is gone, the top-level widget whose next
    // Show ends the rest.
    bool FResting = false;
    QPointer<QWindow> FParked;
    QPointer<QWidget> FParkedWidget;
    QMetaObject::Connection FParkedGone;
    bool FAutoSize = true;
    TAlignment FAlignment = taLeftJustify;
    TMMLEDFontSize FFontSize = fs16x20;
    bool FDrawInactive = true;
    TColor FInactiveColor = clGreen;
    TColor FLEDColor = clLime;
    int FNumChars = 11;
    int FLEDSpace = 1;
    int FScrollSpeed = 100;
    int FStartStep = 0;
    int FCurrentStep = 0;
    bool FAutoScroll = false;
    bool FDoubleBuffer = false;
    int FExtent = 0;
    QByteArray FText;
    TMMLEDFont FFont;
    std::unique_ptr<TTimer> FTimer;
    std::unique_ptr<TBitmap> FBuffer;
    TNotifyEvent FOnBegin;
    TNotifyEvent FOnStep;
    TNotifyEvent FOnEnd;
    TMMLabelDrawEvent FOnDrawBitmap;
};

/// Registers TMMLEDLABEL with the stored-form reader. Idempotent; any
/// thread. Runs by itself when the unit is linked in.
void RegisterLEDLabelClasses();
