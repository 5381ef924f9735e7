#pragma once

// Menus: TMainMenu (the menu bar of a form, set as the form's Menu),
// TPopupMenu (shown at a point) and their TMenuItems. Items nest: in a
// stored form an item's object block lies inside its menu's or its parent
// item's block. A caption of "-" is a separator; '&' marks the access key
// ("&Help" is Alt+H), "&&" is a plain '&'.

#include "platform/kernel/WinTypes.h"
#include "platform/ui/Classes.h"
#include "platform/ui/Types.h"

#include <QList>
#include <QPointer>
#include <QString>

class QAction;
class QMenu;
class QMenuBar;
class TMenu;

/// A key with modifiers: the virtual-key code in the low byte, scShift,
/// scCtrl and scAlt above it; 0 is none.
using TShortCut = WORD;
inline constexpr TShortCut scShift = 0x2000;
inline constexpr TShortCut scCtrl = 0x4000;
inline constexpr TShortCut scAlt = 0x8000;
inline constexpr TShortCut scNone = 0;

TShortCut ShortCut(WORD key, TShiftState shift);
/// "Ctrl+S", "Shift+F1", "Alt+Del"; empty for 0.
QString ShortCutToText(TShortCut shortCut);
/// The short cut of such a text (case-insensitive); 0 when it is none.
TShortCut TextToShortCut(const QString& text);

class TMenuItem : public TComponent {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(bool Checked READ Checked WRITE SetChecked)
    Q_PROPERTY(bool Default READ Default WRITE SetDefault)
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(int GroupIndex READ GroupIndex WRITE SetGroupIndex)
    Q_PROPERTY(QString Hint READ Hint WRITE SetHint)
    Q_PROPERTY(bool RadioItem READ RadioItem WRITE SetRadioItem)
    Q_PROPERTY(int ShortCut READ ShortCutValue WRITE SetShortCutValue)
    Q_PROPERTY(bool Visible READ Visible WRITE SetVisible)
    Q_PROPERTY(TNotifyEvent OnClick READ OnClick WRITE SetOnClick)
    Q_CLASSINFO("default:Checked", "False")
    Q_CLASSINFO("default:Default", "False")
    Q_CLASSINFO("default:Enabled", "True")
    Q_CLASSINFO("default:GroupIndex", "0")
    Q_CLASSINFO("default:RadioItem", "False")
    Q_CLASSINFO("default:ShortCut", "0")
    Q_CLASSINFO("default:Visible", "True")
public:
    explicit TMenuItem(TComponent* owner);
    ~TMenuItem() override;

    QString Caption() const { return FCaption; }
    void SetCaption(const QString& value);
    bool Checked() const { return FChecked; }
    void SetChecked(bool value);
    bool Default() const { return FDefault; }
    void SetDefault(bool value);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool value);
    int GroupIndex() const { return FGroupIndex; }
    void SetGroupIndex(int value);
    QString Hint() const { return FHint; }
    void SetHint(const QString& value);
    bool RadioItem() const { return FRadioItem; }
    void SetRadioItem(bool value);
    TShortCut ShortCut() const { return FShortCut; }
    void SetShortCut(TShortCut value);
    int ShortCutValue() const { return FShortCut; }
    void SetShortCutValue(int value) { SetShortCut(static_cast<TShortCut>(value)); }
    bool Visible() const { return FVisible; }
    void SetVisible(bool value);
    bool IsLine() const { return FCaption == QLatin1String("-"); }

    TNotifyEvent OnClick() const { return FOnClick; }
    void SetOnClick(const TNotifyEvent& value) { FOnClick = value; }

    /// Child items.
    int Count() const { return static_cast<int>(FItems.size()); }
    /// Raises EListError "List index out of bounds (<index>)".
    TMenuItem* Items(int index) const;
    /// The item this one is a child of (null for the items of a menu's
    /// root, which belong to the menu).
    TMenuItem* Parent() const { return FParent; }
    /// The menu the item is in, null when none.
    TMenu* GetParentMenu() const;
    void Add(TMenuItem* item);
    /// Raises EListError for an index outside 0..Count.
    void Insert(int index, TMenuItem* item);
    /// Removes the child at Index (it is not destroyed).
    void Delete(int index);
    void Remove(TMenuItem* item);
    /// Destroys every child.
    void Clear();
    int IndexOf(TMenuItem* item) const;

    /// Fires OnClick (toggles nothing). Runs what choosing the item does.
    Q_INVOKABLE virtual void Click();

    bool HasParent() const override;
    TComponent* GetParentComponent() const override;
    void SetParentComponent(TComponent* value) override;

private:
    friend class TMenu;
    friend class TMainMenu;
    friend class TPopupMenu;

    void Changed(bool structure);
    void FillMenu(QMenu* menu);
    QAction* MakeAction(QObject* parent);
    void UpdateAction();

    QString FCaption;
    bool FChecked = false;
    bool FDefault = false;
    bool FEnabled = true;
    int FGroupIndex = 0;
    QString FHint;
    bool FRadioItem = false;
    TShortCut FShortCut = 0;
    bool FVisible = true;
    TNotifyEvent FOnClick;
    TMenuItem* FParent = nullptr;
    TMenu* FMenu = nullptr; // set on the root item of a menu
    QList<TMenuItem*> FItems;
    QPointer<QAction> FAction;
};

class TMenu : public TComponent {
    Q_OBJECT
public:
    explicit TMenu(TComponent* owner);
    ~TMenu() override;

    /// The root item; its children are the menu's items.
    TMenuItem* Items() const { return FItems; }

    /// The item whose short cut is ShortCut (searched depth first), null
    /// when none.
    TMenuItem* FindItem(TShortCut shortCut) const;

    void GetChildren(const TGetChildProc& proc, TComponent* root) override;

protected:
    friend class TMenuItem;
    /// An item changed; Structure says items were added or removed.
    virtual void MenuChanged(bool structure);

private:
    TMenuItem* FItems;
};

/// The menu bar of the forms whose Menu it is.
class TMainMenu : public TMenu {
    Q_OBJECT
public:
    explicit TMainMenu(TComponent* owner);

    /// Fills Bar with the items: an item with children becomes a drop-down
    /// menu, one without a command on the bar.
    void Populate(QMenuBar* bar);

protected:
    void MenuChanged(bool structure) override;
};

/// A menu shown at a point (a control's PopupMenu on a right click).
class TPopupMenu : public TMenu {
    Q_OBJECT
    Q_PROPERTY(TNotifyEvent OnPopup READ OnPopup WRITE SetOnPopup)
public:
    explicit TPopupMenu(TComponent* owner);

    /// Fires OnPopup, then shows the menu with its top-left corner at the
    /// screen point (x, y) and returns when it closes (the chosen item's
    /// OnClick has run).
    void Popup(int x, int y);

    TNotifyEvent OnPopup() const { return FOnPopup; }
    void SetOnPopup(const TNotifyEvent& value) { FOnPopup = value; }

private:
    TNotifyEvent FOnPopup;
};
