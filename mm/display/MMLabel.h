#pragma once
// TMMLabel: a caption drawn with a three-dimensional effect. Under the text
// lie up to two sets of offset copies, a highlight and a shadow, each with
// its own colour, direction and depth (one copy at full depth, or a solid
// extrusion of one copy per step). The face can be filled with a tiled
// texture (Bitmap), the whole can be turned by Angle degrees, and with
// AsButton the label presses in under the mouse like a button.
//
// EffectStyle applies a preset of directions and depths (and resets
// ColourHighlight to white); changing a direction or a depth afterwards
// makes the style lsCustom. Text is drawn without smoothing, so every pixel
// is either a layer's colour or what lay there before. GUI thread.

#include "mm/core/MMObj.h"
#include "platform/ui/Bitmap.h"

#include <QObject>
#include <memory>

namespace MMLabelEnums {
Q_NAMESPACE

enum TMMLabelDirection {
    ldNone,
    ldUp,
    ldUpRight,
    ldRight,
    ldDownRight,
    ldDown,
    ldDownLeft,
    ldLeft,
    ldUpLeft
};
Q_ENUM_NS(TMMLabelDirection)
enum TMMLabelOption { loNormal, loExtrude };
Q_ENUM_NS(TMMLabelOption)
enum TMMLabelStyle { lsNone, lsCustom, lsRaised, lsSunken, lsShadow, lsFlying };
Q_ENUM_NS(TMMLabelStyle)

} // namespace MMLabelEnums

using MMLabelEnums::TMMLabelDirection;
using MMLabelEnums::TMMLabelOption;
using MMLabelEnums::TMMLabelStyle;
using enum MMLabelEnums::TMMLabelDirection;
using enum MMLabelEnums::TMMLabelOption;
using enum MMLabelEnums::TMMLabelStyle;

/// Offset steps of an effect layer, 0 .. 20.
using TMMLabelDepth = int;
/// Degrees, counter-clockwise, 0 .. 360.
using TMMAngle = int;

class TMMLabel : public TMMGraphicControl {
    Q_OBJECT
    Q_PROPERTY(UiEnums::TAlign Align READ Align WRITE SetAlign)
    Q_CLASSINFO("default:Align", "alNone")
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(TColor Color READ Color WRITE SetColor)
    Q_CLASSINFO("default:Color", "clWindow")
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_CLASSINFO("default:Enabled", "True")
    Q_PROPERTY(TFont* Font READ Font WRITE SetFont)
    Q_PROPERTY(bool ParentColor READ ParentColor WRITE SetParentColor)
    Q_CLASSINFO("default:ParentColor", "True")
    Q_PROPERTY(bool ParentFont READ ParentFont WRITE SetParentFont)
    Q_CLASSINFO("default:ParentFont", "True")
    Q_PROPERTY(bool ParentShowHint READ ParentShowHint WRITE SetParentShowHint)
    Q_CLASSINFO("default:ParentShowHint", "True")
    Q_PROPERTY(bool ShowHint READ ShowHint WRITE SetShowHint)
    Q_CLASSINFO("default:ShowHint", "False")
    Q_PROPERTY(bool Visible READ Visible WRITE SetVisible)
    Q_CLASSINFO("default:Visible", "True")
    Q_PROPERTY(TMMBevel* Bevel READ Bevel WRITE SetBevel)
    Q_CLASSINFO("default:Width", "142")
    Q_CLASSINFO("default:Height", "33")
    // The effect properties in this order: a stored form sets them in file
    // order, so a stored direction or depth turns the style to lsCustom (and
    // the highlight white) before a stored ColourHighlight is applied.
    Q_PROPERTY(UiEnums::TAlignment Alignment READ Alignment WRITE SetAlignment)
    Q_CLASSINFO("default:Alignment", "taLeftJustify")
    Q_PROPERTY(bool Transparent READ Transparent WRITE SetTransparent)
    Q_CLASSINFO("default:Transparent", "True")
    // Stored as the defined property "Bitmap.Data" when not empty.
    Q_PROPERTY(TBitmap* Bitmap READ Bitmap WRITE SetBitmap STORED false)
    Q_PROPERTY(int DepthHighlight READ DepthHighlight WRITE SetDepthHighlight)
    Q_CLASSINFO("default:DepthHighlight", "1")
    Q_PROPERTY(int DepthShadow READ DepthShadow WRITE SetDepthShadow)
    Q_CLASSINFO("default:DepthShadow", "1")
    Q_PROPERTY(MMLabelEnums::TMMLabelDirection DirectionHighlight READ DirectionHighlight WRITE
            SetDirectionHighlight)
    Q_CLASSINFO("default:DirectionHighlight", "ldUpLeft")
    Q_PROPERTY(MMLabelEnums::TMMLabelDirection DirectionShadow READ DirectionShadow WRITE SetDirectionShadow)
    Q_CLASSINFO("default:DirectionShadow", "ldDownRight")
    Q_PROPERTY(TColor ColourHighlight READ ColourHighlight WRITE SetColourHighlight)
    Q_CLASSINFO("default:ColourHighlight", "clWhite")
    Q_PROPERTY(TColor ColourShadow READ ColourShadow WRITE SetColourShadow)
    Q_CLASSINFO("default:ColourShadow", "clGray")
    Q_PROPERTY(MMLabelEnums::TMMLabelOption StyleHighlight READ StyleHighlight WRITE SetStyleHighlight)
    Q_CLASSINFO("default:StyleHighlight", "loNormal")
    Q_PROPERTY(MMLabelEnums::TMMLabelOption StyleShadow READ StyleShadow WRITE SetStyleShadow)
    Q_CLASSINFO("default:StyleShadow", "loNormal")
    Q_PROPERTY(MMLabelEnums::TMMLabelStyle EffectStyle READ EffectStyle WRITE SetEffectStyle)
    Q_CLASSINFO("default:EffectStyle", "lsRaised")
    Q_PROPERTY(bool AsButton READ AsButton WRITE SetAsButton)
    Q_CLASSINFO("default:AsButton", "False")
    Q_PROPERTY(int Angle READ Angle WRITE SetAngle)
    Q_CLASSINFO("default:Angle", "0")
    Q_PROPERTY(TNotifyEvent OnClick READ OnClick WRITE SetOnClick)
    Q_PROPERTY(TNotifyEvent OnDblClick READ OnDblClick WRITE SetOnDblClick)
    Q_PROPERTY(TMouseEvent OnMouseDown READ OnMouseDown WRITE SetOnMouseDown)
    Q_PROPERTY(TMouseMoveEvent OnMouseMove READ OnMouseMove WRITE SetOnMouseMove)
    Q_PROPERTY(TMouseEvent OnMouseUp READ OnMouseUp WRITE SetOnMouseUp)
public:
    /// A 142 x 33 transparent label in black 20-point "Times New Roman",
    /// raised effect.
    explicit TMMLabel(TComponent* owner);
    ~TMMLabel() override;

    TAlignment Alignment() const { return FAlignment; }
    void SetAlignment(TAlignment value);
    /// Keeps what lies beneath between the letters (true) or fills the
    /// label with Color.
    bool Transparent() const { return FTransparent; }
    void SetTransparent(bool value);

    /// The owned texture of the face; empty draws the face in Font's colour.
    TBitmap* Bitmap() const { return FBitmap.get(); }
    /// Copies Value into the owned texture (null empties it).
    void SetBitmap(TBitmap* value);

    TMMLabelDepth DepthHighlight() const { return FDepth[0]; }
    TMMLabelDepth DepthShadow() const { return FDepth[1]; }
    /// Clamped to 0 .. 20; a change makes the style lsCustom.
    void SetDepthHighlight(TMMLabelDepth value) { SetDepth(0, value); }
    void SetDepthShadow(TMMLabelDepth value) { SetDepth(1, value); }
    TMMLabelDirection DirectionHighlight() const { return FDirection[0]; }
    TMMLabelDirection DirectionShadow() const { return FDirection[1]; }
    /// A change makes the style lsCustom.
    void SetDirectionHighlight(TMMLabelDirection value) { SetDirection(0, value); }
    void SetDirectionShadow(TMMLabelDirection value) { SetDirection(1, value); }
    TColor ColourHighlight() const { return FColour[0]; }
    TColor ColourShadow() const { return FColour[1]; }
    void SetColourHighlight(TColor value) { SetColour(0, value); }
    void SetColourShadow(TColor value) { SetColour(1, value); }
    TMMLabelOption StyleHighlight() const { return FStyle[0]; }
    TMMLabelOption StyleShadow() const { return FStyle[1]; }
    /// loExtrude draws one copy per depth step instead of one at full depth.
    void SetStyleHighlight(TMMLabelOption value) { SetLayerStyle(0, value); }
    void SetStyleShadow(TMMLabelOption value) { SetLayerStyle(1, value); }

    TMMLabelStyle EffectStyle() const { return FEffectStyle; }
    /// Applies the preset's directions and depths (lsCustom keeps them) and
    /// sets ColourHighlight to white (gray for lsFlying). lsNone, lsCustom,
    /// lsShadow and lsFlying switch AsButton off.
    void SetEffectStyle(TMMLabelStyle value);
    bool AsButton() const { return FAsButton; }
    /// Turning it on makes the style lsRaised; the left button then presses
    /// the label in (lsSunken) and lets it out (lsRaised).
    void SetAsButton(bool value);
    TMMAngle Angle() const { return FAngle; }
    /// Clamped to 0 .. 360. A turned label is always left-justified.
    void SetAngle(TMMAngle value);

    /// The layer offsets' extremes and the alignment shift of the current
    /// settings (min(0, offsets), max(0, offsets), shift).
    int MinOff() const;
    int MaxOff() const;
    int AlignShift() const;

protected:
    void Paint() override;
    void FontChanged() override;
    void DefineProperties(TFiler* filer) override;
    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
    void MouseMove(TShiftState shift, int x, int y) override;
    void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;

private:
    struct TGeometry;

    void SetDepth(int index, TMMLabelDepth value);
    void SetDirection(int index, TMMLabelDirection value);
    void SetColour(int index, TColor value);
    void SetLayerStyle(int index, TMMLabelOption value);
    bool InClient(int x, int y) const;
    void UpdateOpacity();
    void DrawLayer(TCanvas* canvas, const TGeometry& geometry, int ox, int oy);
    void DrawLayers(TCanvas* canvas, const TGeometry& geometry, int index);

    TAlignment FAlignment = taLeftJustify;
    bool FTransparent = true;
    std::unique_ptr<TBitmap> FBitmap;
    TMMLabelDepth FDepth[2] = { 1, 1 };
    TMMLabelDirection FDirection[2] = { ldUpLeft, ldDownRight };
    TColor FColour[2] = { clWhite, clGray };
    TMMLabelOption FStyle[2] = { loNormal, loNormal };
    TMMLabelStyle FEffectStyle = lsRaised;
    bool FAsButton = false;
    TMMAngle FAngle = 0;
    bool FApplyingPreset = false;
    double FCos = 1.0;
    double FSin = 0.0;
};

/// Registers TMMLabel with the stored-form reader. Idempotent; any thread.
/// Runs by itself when the unit is linked in.
void RegisterLabelClasses();
