#pragma once
// TMMPanelFill: a TMMPanel whose background is a bitmap of a TMMBitmapList,
// tiled over the whole panel, or its colour when it has no bitmap; the
// bevel rings are drawn over that background. And TileBitmap, the tiling
// itself (also used by textured effect labels). GUI thread, except
// TileBitmap.

#include "mm/display/MMBmpLst.h"
#include "mm/display/MMPanel.h"
#include "platform/ui/Bitmap.h"
#include "platform/ui/Canvas.h"
#include "platform/ui/Types.h"

#include <memory>

class TMMObserver;

/// Covers Rect of Canvas with copies of Bitmap laid side by side from
/// Rect's top-left corner, row by row, each combined with what is there by
/// the raster operation RasterOp (cmSrcCopy, cmSrcInvert, ...). Tiles are
/// not stretched: those at the right and bottom edges are the bitmap's
/// top-left part, cropped to what is left. A null or empty bitmap, or an
/// empty rectangle, draws nothing. Holds BitmapDrawLock() while it draws,
/// so it may be called from any thread for a canvas that thread owns.
void TileBitmap(TCanvas* canvas, TBitmap* bitmap, const TRect& rect, int rasterOp);

class TMMPanelFill : public TMMPanel {
    Q_OBJECT
    Q_PROPERTY(int BitmapIndex READ BitmapIndex WRITE SetBitmapIndex)
    Q_CLASSINFO("default:BitmapIndex", "-1")
    Q_PROPERTY(TMMBitmapList* BitmapList READ BitmapList WRITE SetBitmapList)
    Q_PROPERTY(TMMFillPanel OnFillPanel READ OnFillPanel WRITE SetOnFillPanel)
    Q_PROPERTY(bool FillBevel READ FillBevel WRITE SetFillBevel)
    Q_CLASSINFO("default:FillBevel", "True")
public:
    explicit TMMPanelFill(TComponent* owner);
    ~TMMPanelFill() override;

    int BitmapIndex() const { return FBitmapIndex; }
    /// Values below -1 become -1; there is no upper bound (an index beyond
    /// the list shows no bitmap). A change repaints at once.
    void SetBitmapIndex(int value);

    TMMBitmapList* BitmapList() const { return FBitmapList; }
    /// Follows Value's changes from now on (and no longer the previous
    /// list's) and repaints at once. A list that is destroyed, on this form
    /// or another, is forgotten (BitmapList becomes null).
    void SetBitmapList(TMMBitmapList* value);

    /// Whether a bitmap is shown: BitmapList is set and BitmapIndex lies in
    /// 0 .. its Count - 1.
    bool HasBitmap() const;

    /// True (the default): the border ring shows the background instead of
    /// the bevel's BorderColor.
    bool FillBevel() const { return !DrawBorder(); }
    void SetFillBevel(bool value);

    /// When set, paints the background instead of the bitmap or colour
    /// (Sender: the panel; R: the client rectangle).
    TMMFillPanel OnFillPanel() const { return FOnFillPanel; }
    void SetOnFillPanel(TMMFillPanel handler) { FOnFillPanel = std::move(handler); }

protected:
    void Paint() override;
    void Notification(TComponent* component, TOperation operation) override;

private:
    int FBitmapIndex = -1;
    TMMBitmapList* FBitmapList = nullptr;
    std::unique_ptr<TMMObserver> FObserver;
    TMMFillPanel FOnFillPanel;
};

/// Registers TMMPanelFill with the stored-form reader. Idempotent; any
/// thread. Runs by itself when the unit is linked in.
void RegisterPanelFillClasses();
