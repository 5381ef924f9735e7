#pragma once

// The shared types of the visual framework: points, sizes and rectangles as
// the components use them, and the enumerations and sets that controls,
// canvases and forms publish.
//
// A TRect is given by its edges; Right and Bottom lie just outside the
// rectangle, so (0, 0, 10, 10) covers 10 x 10 pixels, and a rectangle whose
// Right is not greater than Left (or Bottom not greater than Top) is empty.
//
// The enumerations live in the Qt namespace UiEnums so that any class can
// publish them; the names are also brought into the global namespace, where
// code uses them (alClient, fsBold, TAlign). A Q_PROPERTY must name them
// with the namespace, or moc does not see an enumeration and the stored
// forms cannot use the identifiers:
//
//     Q_PROPERTY(UiEnums::TAlign Align READ Align WRITE SetAlign)
//     Q_PROPERTY(UiEnums::TFontStyles Style READ Style WRITE SetStyle)

#include <QFlags>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSize>

struct TPoint {
    int X = 0;
    int Y = 0;

    friend bool operator==(const TPoint&, const TPoint&) = default;
};

struct TSize {
    int cx = 0;
    int cy = 0;

    friend bool operator==(const TSize&, const TSize&) = default;
};

struct TRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;

    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    TPoint TopLeft() const { return { Left, Top }; }
    TPoint BottomRight() const { return { Right, Bottom }; }

    friend bool operator==(const TRect&, const TRect&) = default;
};

/// The point (x, y).
TPoint Point(int x, int y);
/// The rectangle with the given edges.
TRect Rect(int left, int top, int right, int bottom);
/// The rectangle at (left, top) of the given width and height.
TRect Bounds(int left, int top, int width, int height);

/// Moves every edge outwards by dx horizontally and dy vertically (inwards
/// for negative values).
void InflateRect(TRect& rect, int dx, int dy);
/// Moves the rectangle by (dx, dy).
void OffsetRect(TRect& rect, int dx, int dy);
/// dest := the common part of a and b; an empty result is (0, 0, 0, 0).
/// Returns whether the common part is not empty.
bool IntersectRect(TRect& dest, const TRect& a, const TRect& b);
/// dest := the smallest rectangle holding a and b (an empty one contributes
/// nothing). Returns whether the result is not empty.
bool UnionRect(TRect& dest, const TRect& a, const TRect& b);
/// Whether p lies inside r (Right and Bottom excluded).
bool PtInRect(const TRect& r, const TPoint& p);
/// Whether r covers no pixel.
bool IsRectEmpty(const TRect& r);
/// The point halfway between the edges (rounded down).
TPoint CenterPoint(const TRect& r);

/// Conversions to and from Qt's geometry types (QRect counts its right and
/// bottom edges inside; these conversions keep the covered pixels).
QRect ToQRect(const TRect& r);
TRect ToTRect(const QRect& r);
QPoint ToQPoint(const TPoint& p);
TPoint ToTPoint(const QPoint& p);

// ---------------------------------------------------------------------------
// Published enumerations and sets

namespace UiEnums {
Q_NAMESPACE

enum TFontStyle { fsBold = 0x1, fsItalic = 0x2, fsUnderline = 0x4, fsStrikeOut = 0x8 };
Q_DECLARE_FLAGS(TFontStyles, TFontStyle)
Q_FLAG_NS(TFontStyles)

enum TFontPitch { fpDefault, fpVariable, fpFixed };
Q_ENUM_NS(TFontPitch)

/// How glyph edges are drawn: fqNonAntialiased sets every pixel fully or
/// not at all (masks and colour effects stay exact); the others smooth.
enum TFontQuality { fqDefault, fqDraft, fqProof, fqNonAntialiased, fqAntialiased };
Q_ENUM_NS(TFontQuality)

enum TPenStyle { psSolid, psDash, psDot, psDashDot, psDashDotDot, psClear, psInsideFrame };
Q_ENUM_NS(TPenStyle)

/// How the pen combines with what is already drawn (the raster operations
/// of the platform, in their order).
enum TPenMode {
    pmBlack,
    pmWhite,
    pmNop,
    pmNot,
    pmCopy,
    pmNotCopy,
    pmMergePenNot,
    pmMaskPenNot,
    pmMergeNotPen,
    pmMaskNotPen,
    pmMerge,
    pmNotMerge,
    pmMask,
    pmNotMask,
    pmXor,
    pmNotXor
};
Q_ENUM_NS(TPenMode)

enum TBrushStyle {
    bsSolid,
    bsClear,
    bsHorizontal,
    bsVertical,
    bsFDiagonal,
    bsBDiagonal,
    bsCross,
    bsDiagCross
};
Q_ENUM_NS(TBrushStyle)

enum TPixelFormat { pfDevice, pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit, pfCustom };
Q_ENUM_NS(TPixelFormat)

enum TBitmapHandleType { bmDIB, bmDDB };
Q_ENUM_NS(TBitmapHandleType)

enum TTransparentMode { tmAuto, tmFixed };
Q_ENUM_NS(TTransparentMode)

enum TAlignment { taLeftJustify, taRightJustify, taCenter };
Q_ENUM_NS(TAlignment)

enum TTextLayout { tlTop, tlCenter, tlBottom };
Q_ENUM_NS(TTextLayout)

enum TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient, alCustom };
Q_ENUM_NS(TAlign)

enum TAnchorKind { akLeft = 0x1, akTop = 0x2, akRight = 0x4, akBottom = 0x8 };
Q_DECLARE_FLAGS(TAnchors, TAnchorKind)
Q_FLAG_NS(TAnchors)

enum TBevelCut { bvNone, bvLowered, bvRaised, bvSpace };
Q_ENUM_NS(TBevelCut)

/// Form borders; controls with a border (panels, bevels of the library)
/// accept bsNone and bsSingle of it, as TBorderStyle.
enum TFormBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin };
Q_ENUM_NS(TFormBorderStyle)

enum TBevelShape { bsBox, bsFrame, bsTopLine, bsBottomLine, bsLeftLine, bsRightLine, bsSpacer };
Q_ENUM_NS(TBevelShape)

enum TBevelStyle { bsLowered, bsRaised };
Q_ENUM_NS(TBevelStyle)

enum TBitBtnKind {
    bkCustom,
    bkOK,
    bkCancel,
    bkHelp,
    bkYes,
    bkNo,
    bkClose,
    bkAbort,
    bkRetry,
    bkIgnore,
    bkAll
};
Q_ENUM_NS(TBitBtnKind)

enum TButtonLayout { blGlyphLeft, blGlyphRight, blGlyphTop, blGlyphBottom };
Q_ENUM_NS(TButtonLayout)

enum TPosition {
    poDesigned,
    poDefault,
    poDefaultPosOnly,
    poDefaultSizeOnly,
    poScreenCenter,
    poDesktopCenter,
    poMainFormCenter,
    poOwnerFormCenter
};
Q_ENUM_NS(TPosition)

enum TFormStyle { fsNormal, fsMDIChild, fsMDIForm, fsStayOnTop };
Q_ENUM_NS(TFormStyle)

enum TBorderIcon { biSystemMenu = 0x1, biMinimize = 0x2, biMaximize = 0x4, biHelp = 0x8 };
Q_DECLARE_FLAGS(TBorderIcons, TBorderIcon)
Q_FLAG_NS(TBorderIcons)

enum TWindowState { wsNormal, wsMinimized, wsMaximized };
Q_ENUM_NS(TWindowState)

enum TMouseButton { mbLeft, mbRight, mbMiddle };
Q_ENUM_NS(TMouseButton)

/// dmAutomatic: pressing the left button on the control starts dragging it.
enum TDragMode { dmManual, dmAutomatic };
Q_ENUM_NS(TDragMode)

/// Where a drag is relative to the control OnDragOver asks.
enum TDragState { dsDragEnter, dsDragLeave, dsDragMove };
Q_ENUM_NS(TDragState)

enum TShiftStateFlag {
    ssShift = 0x1,
    ssAlt = 0x2,
    ssCtrl = 0x4,
    ssLeft = 0x8,
    ssRight = 0x10,
    ssMiddle = 0x20,
    ssDouble = 0x40
};
Q_DECLARE_FLAGS(TShiftState, TShiftStateFlag)
Q_FLAG_NS(TShiftState)

} // namespace UiEnums

Q_DECLARE_OPERATORS_FOR_FLAGS(UiEnums::TFontStyles)
Q_DECLARE_OPERATORS_FOR_FLAGS(UiEnums::TAnchors)
Q_DECLARE_OPERATORS_FOR_FLAGS(UiEnums::TBorderIcons)
Q_DECLARE_OPERATORS_FOR_FLAGS(UiEnums::TShiftState)

using UiEnums::TAlign;
using UiEnums::TAlignment;
using UiEnums::TAnchorKind;
using UiEnums::TAnchors;
using UiEnums::TBevelCut;
using UiEnums::TBevelShape;
using UiEnums::TBevelStyle;
using UiEnums::TBitBtnKind;
using UiEnums::TBitmapHandleType;
using UiEnums::TBorderIcon;
using UiEnums::TBorderIcons;
using UiEnums::TBrushStyle;
using UiEnums::TButtonLayout;
using UiEnums::TDragMode;
using UiEnums::TDragState;
using UiEnums::TFontPitch;
using UiEnums::TFontQuality;
using UiEnums::TFontStyle;
using UiEnums::TFontStyles;
using UiEnums::TFormBorderStyle;
using UiEnums::TFormStyle;
using UiEnums::TMouseButton;
using UiEnums::TPenMode;
using UiEnums::TPenStyle;
using UiEnums::TPixelFormat;
using UiEnums::TPosition;
using UiEnums::TShiftState;
using UiEnums::TShiftStateFlag;
using UiEnums::TTextLayout;
using UiEnums::TTransparentMode;
using UiEnums::TWindowState;
using TBorderStyle = UiEnums::TFormBorderStyle;

using enum UiEnums::TAlign;
using enum UiEnums::TAlignment;
using enum UiEnums::TAnchorKind;
using enum UiEnums::TBevelCut;
using enum UiEnums::TBevelShape;
using enum UiEnums::TBevelStyle;
using enum UiEnums::TBitBtnKind;
using enum UiEnums::TBitmapHandleType;
using enum UiEnums::TBorderIcon;
using enum UiEnums::TBrushStyle;
using enum UiEnums::TButtonLayout;
using enum UiEnums::TDragMode;
using enum UiEnums::TDragState;
using enum UiEnums::TFontPitch;
using enum UiEnums::TFontQuality;
using enum UiEnums::TFontStyle;
using enum UiEnums::TFormBorderStyle;
using enum UiEnums::TFormStyle;
using enum UiEnums::TMouseButton;
using enum UiEnums::TPenMode;
using enum UiEnums::TPenStyle;
using enum UiEnums::TPixelFormat;
using enum UiEnums::TPosition;
using enum UiEnums::TShiftStateFlag;
using enum UiEnums::TTextLayout;
using enum UiEnums::TTransparentMode;
using enum UiEnums::TWindowState;
