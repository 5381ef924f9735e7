#pragma once
// Tiling a bitmap over a rectangle, the background of TMMPanelFill (and of
// textured effect labels).

#include "platform/ui/Bitmap.h"
#include "platform/ui/Canvas.h"
#include "platform/ui/Types.h"

/// Covers Rect of Canvas with copies of Bitmap laid side by side from
/// Rect's top-left corner, row by row, each combined with what is there by
/// the raster operation RasterOp (cmSrcCopy, cmSrcInvert, ...). Tiles are
/// not stretched: those at the right and bottom edges are the bitmap's
/// top-left part, cropped to what is left. A null or empty bitmap, or an
/// empty rectangle, draws nothing. Holds BitmapDrawLock() while it draws,
/// so it may be called from any thread for a canvas that thread owns.
void TileBitmap(TCanvas* canvas, TBitmap* bitmap, const TRect& rect, int rasterOp);
