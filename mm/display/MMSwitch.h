#pragma once
// TMMSwitch: a focusable slide switch with a fixed number of positions. A
// knob picture moves along a horizontal or vertical track, one knob per
// position; clicking the track jumps there, dragging the knob slides it,
// and the arrow keys of the track's direction, Home and End step it. Each
// change of Position is reported through OnChange.
//
// The knob pictures come from Glyph, a strip of NumGlyphs equal images side
// by side: 0 the normal knob, 1 the disabled one (used when NumGlyphs > 1),
// 2 the pressed one while dragging (used when NumGlyphs > 2). The colour of
// the strip's top-left pixel is transparent and shows the control's Color.
// Without a glyph of its own the switch shows the resources "H_SWITCH"
// (skHorizontal) or "V_SWITCH" (skVertical), three knobs each.
//
// The control sizes itself to its track: Width and Height follow from the
// glyph, NumPositions and the bevel whatever bounds it is given (except
// while its form is being read). GUI thread.

#include "mm/core/MMObj.h"
#include "platform/ui/Bitmap.h"
#include "platform/ui/Controls.h"

#include <QObject>
#include <memory>

namespace MMSwitchEnums {
Q_NAMESPACE

enum TMMSwitchKind { skHorizontal, skVertical };
Q_ENUM_NS(TMMSwitchKind)

} // namespace MMSwitchEnums

using MMSwitchEnums::TMMSwitchKind;
using enum MMSwitchEnums::TMMSwitchKind;

/// Number of knob images in a glyph strip, 1 .. 4.
using TNumGlyphs = int;

class TMMSwitch : public TMMCustomControl {
    Q_OBJECT
    Q_PROPERTY(TMMBevel* Bevel READ Bevel WRITE SetBevel)
    Q_PROPERTY(TColor Color READ Color WRITE SetColor)
    Q_CLASSINFO("default:Color", "clWindow")
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_CLASSINFO("default:Enabled", "True")
    Q_PROPERTY(int HelpContext READ HelpContext WRITE SetHelpContext)
    Q_CLASSINFO("default:HelpContext", "0")
    Q_PROPERTY(bool ParentColor READ ParentColor WRITE SetParentColor)
    Q_CLASSINFO("default:ParentColor", "True")
    Q_PROPERTY(bool ParentShowHint READ ParentShowHint WRITE SetParentShowHint)
    Q_CLASSINFO("default:ParentShowHint", "True")
    Q_PROPERTY(bool ShowHint READ ShowHint WRITE SetShowHint)
    Q_CLASSINFO("default:ShowHint", "False")
    Q_PROPERTY(bool TabStop READ TabStop WRITE SetTabStop)
    Q_CLASSINFO("default:TabStop", "True")
    Q_PROPERTY(bool Visible READ Visible WRITE SetVisible)
    Q_CLASSINFO("default:Visible", "True")
    Q_CLASSINFO("default:Width", "1")
    Q_CLASSINFO("default:Height", "1")
    Q_PROPERTY(MMSwitchEnums::TMMSwitchKind Kind READ Kind WRITE SetKind)
    Q_PROPERTY(int NumPositions READ NumPositions WRITE SetNumPositions)
    Q_CLASSINFO("default:NumPositions", "2")
    Q_PROPERTY(int Position READ Position WRITE SetPosition)
    Q_CLASSINFO("default:Position", "0")
    // Stored as the defined property "Glyph.Data", and only when the glyph
    // is the switch's own (see DefineProperties).
    Q_PROPERTY(TBitmap* Glyph READ Glyph WRITE SetGlyph STORED false)
    Q_PROPERTY(int NumGlyphs READ NumGlyphs WRITE SetNumGlyphs)
    Q_CLASSINFO("default:NumGlyphs", "3")
    Q_PROPERTY(TNotifyEvent OnChange READ OnChange WRITE SetOnChange)
    Q_PROPERTY(TNotifyEvent OnClick READ OnClick WRITE SetOnClick)
    Q_PROPERTY(TNotifyEvent OnEnter READ OnEnter WRITE SetOnEnter)
    Q_PROPERTY(TNotifyEvent OnExit READ OnExit WRITE SetOnExit)
    Q_PROPERTY(TMouseEvent OnMouseDown READ OnMouseDown WRITE SetOnMouseDown)
    Q_PROPERTY(TMouseMoveEvent OnMouseMove READ OnMouseMove WRITE SetOnMouseMove)
    Q_PROPERTY(TMouseEvent OnMouseUp READ OnMouseUp WRITE SetOnMouseUp)
public:
    /// A vertical two-position switch at position 0 with the default glyph,
    /// a tab stop. Raises EResNotFound when "V_SWITCH" is missing.
    explicit TMMSwitch(TComponent* owner);
    ~TMMSwitch() override;

    TMMSwitchKind Kind() const { return FKind; }
    /// Loads the new kind's default glyph when the glyph is the default
    /// one; otherwise only the size follows. Then invalidates.
    void SetKind(TMMSwitchKind value);

    int NumPositions() const { return FNumPositions; }
    /// Values below 2 are ignored. Position is lowered to NumPositions - 1
    /// if it lies beyond, without OnChange.
    void SetNumPositions(int value);

    int Position() const { return FPosition; }
    /// Clamps to 0 .. NumPositions - 1. A change fires OnChange (unless the
    /// form is being read or loaded) and draws the knob at once when the
    /// switch is enabled; a disabled switch shows it at its next repaint.
    void SetPosition(int value);

    /// The owned glyph strip.
    TBitmap* Glyph() const { return FGlyph.get(); }
    /// Copies Value into the owned glyph, which from then on is the
    /// switch's own; null brings back the default glyph. The owned object
    /// itself is ignored. Changing the owned glyph's picture directly also
    /// makes it the switch's own.
    void SetGlyph(TBitmap* value);
    /// Whether the glyph is the default resource picture.
    bool DefaultGlyph() const { return FDefaultGlyph; }

    TNumGlyphs NumGlyphs() const { return FNumGlyphs; }
    /// Clamped to 1 .. 4.
    void SetNumGlyphs(TNumGlyphs value);

    int HelpContext() const { return FHelpContext; }
    void SetHelpContext(int value) { FHelpContext = value; }

    TNotifyEvent OnChange() const { return FOnChange; }
    void SetOnChange(TNotifyEvent handler) { FOnChange = std::move(handler); }

    /// The knob rectangle last drawn; its Left is -1 when there is none.
    TRect KnobRect() const { return FKnobRect; }
    /// Whether a drag of the knob is in progress.
    bool Dragging() const { return FDragging; }

    /// Keeps the size the glyph, NumPositions and the bevel give, whatever
    /// Width and Height are asked for (except while loading).
    void SetBounds(int left, int top, int width, int height) override;

protected:
    /// Fires OnChange unless the form is being read or loaded.
    virtual void Change();
    void Paint() override;
    void BevelChanged() override;
    void Loaded() override;
    void DefineProperties(TFiler* filer) override;

    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
    void MouseMove(TShiftState shift, int x, int y) override;
    void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;
    void KeyDown(WORD& key, TShiftState shift) override;
    bool WantsKey(WORD key) const override;
    void DoEnter() override;
    void DoExit() override;
    void EnabledChanged() override;

private:
    int Extent() const;
    int GlyphWidth() const;
    int GlyphHeight() const;
    bool HasKnob() const;
    TSize ComputeSize() const;
    void AdjustSize();
    void LoadDefaultGlyph();
    void GlyphChanged();
    void DrawKnob(TCanvas* canvas);

    TMMSwitchKind FKind = skVertical;
    int FNumPositions = 2;
    int FPosition = 0;
    TNumGlyphs FNumGlyphs = 3;
    int FHelpContext = 0;
    std::unique_ptr<TBitmap> FGlyph;
    bool FDefaultGlyph = false;
    bool FSettingGlyph = false;
    TRect FKnobRect { -1, 0, -1, 0 };
    bool FDragging = false;
    int FDragX = 0;
    int FDragY = 0;
    int FDragPosition = 0;
    TNotifyEvent FOnChange;
};

/// Registers TMMSwitch with the stored-form reader. Idempotent; any thread.
/// Runs by itself when the unit is linked in.
void RegisterSwitchClasses();
