#pragma once

// TBitBtn: a push button with a glyph beside its caption. A Kind other than
// bkCustom gives the button a standard glyph (the resources BTN_OK,
// BTN_CANCEL, ... in resources/ui/), a ModalResult and the Default or Cancel
// role; a caption is only set by the kind when the button has none (stored
// forms keep their own captions).

#include "platform/ui/Bitmap.h"
#include "platform/ui/StdCtrls.h"

/// How many images a glyph strip holds: up, disabled, clicked, down.
using TNumGlyphs = int;

class TBitBtn : public TButton {
    Q_OBJECT
    Q_PROPERTY(TBitmap* Glyph READ Glyph WRITE SetGlyph)
    Q_PROPERTY(UiEnums::TBitBtnKind Kind READ Kind WRITE SetKind)
    Q_PROPERTY(UiEnums::TButtonLayout Layout READ Layout WRITE SetLayout)
    Q_PROPERTY(int Margin READ Margin WRITE SetMargin)
    Q_PROPERTY(int NumGlyphs READ NumGlyphs WRITE SetNumGlyphs)
    Q_PROPERTY(int Spacing READ Spacing WRITE SetSpacing)
    Q_CLASSINFO("default:Kind", "bkCustom")
    Q_CLASSINFO("default:Layout", "blGlyphLeft")
    Q_CLASSINFO("default:Margin", "-1")
    Q_CLASSINFO("default:NumGlyphs", "1")
    Q_CLASSINFO("default:Spacing", "4")
public:
    explicit TBitBtn(TComponent* owner);
    ~TBitBtn() override;

    /// The glyph strip set by the program or the stored form (empty when the
    /// button shows its kind's standard glyph). Writing copies the bitmap.
    TBitmap* Glyph() const { return FGlyph; }
    void SetGlyph(TBitmap* value);
    /// Sets Default (bkOK, bkYes, bkAll), Cancel (bkCancel, bkNo, bkAbort),
    /// ModalResult and the standard glyph; the caption only when empty or
    /// when the program (not the stored form) changes the kind.
    TBitBtnKind Kind() const { return FKind; }
    void SetKind(TBitBtnKind value);
    TButtonLayout Layout() const { return FLayout; }
    void SetLayout(TButtonLayout value);
    /// Pixels between the button's edge and the glyph; -1 centres glyph and
    /// caption together.
    int Margin() const { return FMargin; }
    void SetMargin(int value);
    /// Images in the glyph strip (1..4); other values are ignored.
    int NumGlyphs() const { return FNumGlyphs; }
    void SetNumGlyphs(int value);
    /// Pixels between glyph and caption; -1 spreads them evenly.
    int Spacing() const { return FSpacing; }
    void SetSpacing(int value);

    /// The strip being drawn: Glyph, or the kind's standard glyph.
    TBitmap* ShownGlyph() const;
    /// The standard caption of a kind ("OK", "Cancel", "&Help", ...).
    static QString KindCaption(TBitBtnKind kind);

protected:
    void PaintContent(const TRect& rect) override;

private:
    void GlyphChanged();
    int ShownNumGlyphs() const;

    TBitmap* FGlyph;
    TBitmap* FKindGlyph;
    TBitBtnKind FKind = bkCustom;
    TButtonLayout FLayout = blGlyphLeft;
    int FMargin = -1;
    int FNumGlyphs = 1;
    int FSpacing = 4;
};
