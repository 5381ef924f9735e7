#pragma once
// TMMPanel: a container panel that paints its bevel, fills the inside with
// its colour and centres its caption (TMMCustomPanel does the painting);
// this class only publishes what a panel on a form shows. GUI thread.

#include "mm/core/MMObj.h"

class TMMPanel : public TMMCustomPanel {
    Q_OBJECT
    Q_MOC_INCLUDE("platform/ui/Menus.h")
    Q_PROPERTY(UiEnums::TAlign Align READ Align WRITE SetAlign)
    Q_CLASSINFO("default:Align", "alNone")
    Q_PROPERTY(UiEnums::TAlignment Alignment READ Alignment WRITE SetAlignment)
    Q_CLASSINFO("default:Alignment", "taCenter")
    Q_PROPERTY(TMMBevel* Bevel READ Bevel WRITE SetBevel)
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(TColor Color READ Color WRITE SetColor)
    Q_CLASSINFO("default:Color", "clBtnFace")
    Q_PROPERTY(bool Ctl3D READ Ctl3D WRITE SetCtl3D)
    Q_CLASSINFO("default:Ctl3D", "True")
    Q_CLASSINFO("stored:Ctl3D", "IsCtl3DStored")
    Q_PROPERTY(TCursor DragCursor READ DragCursor WRITE SetDragCursor)
    Q_CLASSINFO("default:DragCursor", "crDrag")
    Q_PROPERTY(UiEnums::TDragMode DragMode READ DragMode WRITE SetDragMode)
    Q_CLASSINFO("default:DragMode", "dmManual")
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_CLASSINFO("default:Enabled", "True")
    Q_PROPERTY(TFont* Font READ Font WRITE SetFont)
    Q_PROPERTY(bool ParentColor READ ParentColor WRITE SetParentColor)
    Q_CLASSINFO("default:ParentColor", "False")
    Q_PROPERTY(bool ParentCtl3D READ ParentCtl3D WRITE SetParentCtl3D)
    Q_CLASSINFO("default:ParentCtl3D", "True")
    Q_PROPERTY(bool ParentFont READ ParentFont WRITE SetParentFont)
    Q_CLASSINFO("default:ParentFont", "True")
    Q_PROPERTY(bool ParentShowHint READ ParentShowHint WRITE SetParentShowHint)
    Q_CLASSINFO("default:ParentShowHint", "True")
    Q_PROPERTY(TPopupMenu* PopupMenu READ PopupMenu WRITE SetPopupMenu)
    Q_PROPERTY(bool ShowHint READ ShowHint WRITE SetShowHint)
    Q_CLASSINFO("default:ShowHint", "False")
    Q_PROPERTY(bool TabStop READ TabStop WRITE SetTabStop)
    Q_CLASSINFO("default:TabStop", "False")
    Q_PROPERTY(bool Visible READ Visible WRITE SetVisible)
    Q_CLASSINFO("default:Visible", "True")
    Q_PROPERTY(TNotifyEvent OnClick READ OnClick WRITE SetOnClick)
    Q_PROPERTY(TNotifyEvent OnDblClick READ OnDblClick WRITE SetOnDblClick)
    Q_PROPERTY(TDragDropEvent OnDragDrop READ OnDragDrop WRITE SetOnDragDrop)
    Q_PROPERTY(TDragOverEvent OnDragOver READ OnDragOver WRITE SetOnDragOver)
    Q_PROPERTY(TEndDragEvent OnEndDrag READ OnEndDrag WRITE SetOnEndDrag)
    Q_PROPERTY(TNotifyEvent OnEnter READ OnEnter WRITE SetOnEnter)
    Q_PROPERTY(TNotifyEvent OnExit READ OnExit WRITE SetOnExit)
    Q_PROPERTY(TMouseEvent OnMouseDown READ OnMouseDown WRITE SetOnMouseDown)
    Q_PROPERTY(TMouseMoveEvent OnMouseMove READ OnMouseMove WRITE SetOnMouseMove)
    Q_PROPERTY(TMouseEvent OnMouseUp READ OnMouseUp WRITE SetOnMouseUp)
    Q_PROPERTY(TNotifyEvent OnResize READ OnResize WRITE SetOnResize)
    Q_PROPERTY(TStartDragEvent OnStartDrag READ OnStartDrag WRITE SetOnStartDrag)
public:
    explicit TMMPanel(TComponent* owner);
    ~TMMPanel() override;
};

/// Registers TMMPanel with the stored-form reader. Idempotent; any thread.
/// Runs by itself when the unit is linked in.
void RegisterPanelClasses();
