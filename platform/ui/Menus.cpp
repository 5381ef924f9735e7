#include "platform/ui/Menus.h"

#include "platform/ui/Controls.h"
#include "platform/ui/Forms.h"

#include <QAction>
#include <QFont>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>

namespace {

const struct {
    WORD Key;
    const char* Name;
} kKeyNames[] = {
    { VK_BACK, "BkSp" },
    { VK_TAB, "Tab" },
    { VK_ESCAPE, "Esc" },
    { VK_RETURN, "Enter" },
    { VK_SPACE, "Space" },
    { VK_PRIOR, "PgUp" },
    { VK_NEXT, "PgDn" },
    { VK_END, "End" },
    { VK_HOME, "Home" },
    { VK_LEFT, "Left" },
    { VK_UP, "Up" },
    { VK_RIGHT, "Right" },
    { VK_DOWN, "Down" },
    { VK_INSERT, "Ins" },
    { VK_DELETE, "Del" },
};

QString KeyName(WORD key)
{
    if ((key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z'))
        return QString(QChar(key));
    if (key >= VK_F1 && key < VK_F1 + 24)
        return QStringLiteral("F%1").arg(key - VK_F1 + 1);
    for (const auto& k : kKeyNames)
        if (k.Key == key)
            return QString::fromLatin1(k.Name);
    return {};
}

int QtKeyOf(WORD key)
{
    if ((key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z'))
        return key;
    if (key >= VK_F1 && key < VK_F1 + 24)
        return Qt::Key_F1 + (key - VK_F1);
    for (int qt : { Qt::Key_Backspace, Qt::Key_Tab, Qt::Key_Escape, Qt::Key_Return, Qt::Key_Space,
             Qt::Key_PageUp, Qt::Key_PageDown, Qt::Key_End, Qt::Key_Home, Qt::Key_Left, Qt::Key_Up,
             Qt::Key_Right, Qt::Key_Down, Qt::Key_Insert, Qt::Key_Delete })
        if (QtKeyToVirtualKey(qt) == key)
            return qt;
    return 0;
}

QKeySequence KeySequence(TShortCut shortCut)
{
    const int key = QtKeyOf(static_cast<WORD>(shortCut & 0xFF));
    if (!key)
        return {};
    int modifiers = 0;
    if (shortCut & scShift)
        modifiers |= Qt::SHIFT;
    if (shortCut & scCtrl)
        modifiers |= Qt::CTRL;
    if (shortCut & scAlt)
        modifiers |= Qt::ALT;
    return QKeySequence(key | modifiers);
}

} // namespace

TShortCut ShortCut(WORD key, TShiftState shift)
{
    if (key & 0xFF00)
        return 0;
    TShortCut result = key;
    if (shift & ssShift)
        result |= scShift;
    if (shift & ssCtrl)
        result |= scCtrl;
    if (shift & ssAlt)
        result |= scAlt;
    return result;
}

QString ShortCutToText(TShortCut shortCut)
{
    const QString name = KeyName(static_cast<WORD>(shortCut & 0xFF));
    if (name.isEmpty())
        return {};
    QString text;
    if (shortCut & scShift)
        text += QStringLiteral("Shift+");
    if (shortCut & scCtrl)
        text += QStringLiteral("Ctrl+");
    if (shortCut & scAlt)
        text += QStringLiteral("Alt+");
    return text + name;
}

TShortCut TextToShortCut(const QString& text)
{
    QString rest = text.trimmed();
    TShortCut modifiers = 0;
    for (;;) {
        if (rest.startsWith(QLatin1String("Shift+"), Qt::CaseInsensitive)) {
            modifiers |= scShift;
            rest.remove(0, 6);
        } else if (rest.startsWith(QLatin1String("Ctrl+"), Qt::CaseInsensitive)) {
            modifiers |= scCtrl;
            rest.remove(0, 5);
        } else if (rest.startsWith(QLatin1String("Alt+"), Qt::CaseInsensitive)) {
            modifiers |= scAlt;
            rest.remove(0, 4);
        } else {
            break;
        }
    }
    for (int key = 1; key < 0x100; ++key) {
        const QString name = KeyName(static_cast<WORD>(key));
        if (!name.isEmpty() && name.compare(rest, Qt::CaseInsensitive) == 0)
            return static_cast<TShortCut>(key | modifiers);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// TMenuItem

TMenuItem::TMenuItem(TComponent* owner)
    : TComponent(owner)
{
}

TMenuItem::~TMenuItem()
{
    while (!FItems.isEmpty())
        delete FItems.last();
    // The action belongs to the menu bar, which the next rebuild replaces.
    if (FAction)
        FAction->setVisible(false);
    if (TMenuItem* parent = FParent) {
        parent->FItems.removeAll(this);
        FParent = nullptr;
        try {
            parent->Changed(true);
        } catch (...) {
            // A destructor cannot report it; the menu is rebuilt on its next change.
        }
    }
}

void TMenuItem::SetCaption(const QString& value)
{
    if (value == FCaption)
        return;
    const bool lineChanged = IsLine() != (value == QLatin1String("-"));
    FCaption = value;
    Changed(lineChanged);
}

void TMenuItem::SetChecked(bool value)
{
    if (value == FChecked)
        return;
    FChecked = value;
    Changed(false);
}

void TMenuItem::SetDefault(bool value)
{
    if (value == FDefault)
        return;
    FDefault = value;
    Changed(false);
}

void TMenuItem::SetEnabled(bool value)
{
    if (value == FEnabled)
        return;
    FEnabled = value;
    Changed(false);
}

void TMenuItem::SetGroupIndex(int value)
{
    FGroupIndex = value;
}

void TMenuItem::SetHint(const QString& value)
{
    FHint = value;
    Changed(false);
}

void TMenuItem::SetRadioItem(bool value)
{
    if (value == FRadioItem)
        return;
    FRadioItem = value;
    Changed(false);
}

void TMenuItem::SetShortCut(TShortCut value)
{
    if (value == FShortCut)
        return;
    FShortCut = value;
    Changed(false);
}

void TMenuItem::SetVisible(bool value)
{
    if (value == FVisible)
        return;
    FVisible = value;
    Changed(false);
}

TMenuItem* TMenuItem::Items(int index) const
{
    if (index < 0 || index >= FItems.size())
        throw EListError(QStringLiteral("List index out of bounds (%1)").arg(index));
    return FItems[index];
}

TMenu* TMenuItem::GetParentMenu() const
{
    const TMenuItem* item = this;
    while (item->FParent)
        item = item->FParent;
    return item->FMenu;
}

void TMenuItem::Add(TMenuItem* item)
{
    Insert(Count(), item);
}

void TMenuItem::Insert(int index, TMenuItem* item)
{
    if (!item)
        return;
    if (index < 0 || index > FItems.size())
        throw EListError(QStringLiteral("List index out of bounds (%1)").arg(index));
    if (item->FParent)
        item->FParent->Remove(item);
    FItems.insert(index, item);
    item->FParent = this;
    Changed(true);
}

void TMenuItem::Delete(int index)
{
    TMenuItem* item = Items(index);
    FItems.removeAt(index);
    item->FParent = nullptr;
    if (item->FAction)
        item->FAction->setVisible(false);
    Changed(true);
}

void TMenuItem::Remove(TMenuItem* item)
{
    const int index = IndexOf(item);
    if (index >= 0)
        Delete(index);
}

void TMenuItem::Clear()
{
    while (!FItems.isEmpty())
        delete FItems.last();
}

int TMenuItem::IndexOf(TMenuItem* item) const
{
    return static_cast<int>(FItems.indexOf(item));
}

void TMenuItem::Click()
{
    if (FEnabled && FOnClick)
        FOnClick(this);
}

bool TMenuItem::HasParent() const
{
    return true;
}

TComponent* TMenuItem::GetParentComponent() const
{
    if (FParent && FParent->FMenu)
        return FParent->FMenu;
    return FParent;
}

void TMenuItem::SetParentComponent(TComponent* value)
{
    if (auto* menu = qobject_cast<TMenu*>(value))
        menu->Items()->Add(this);
    else if (auto* item = qobject_cast<TMenuItem*>(value))
        item->Add(this);
}

void TMenuItem::Changed(bool structure)
{
    if (!structure)
        UpdateAction();
    if (TMenu* menu = GetParentMenu())
        menu->MenuChanged(structure);
}

void TMenuItem::UpdateAction()
{
    QAction* action = FAction.data();
    if (!action)
        return;
    if (!IsLine())
        action->setText(FCaption);
    action->setEnabled(FEnabled);
    action->setVisible(FVisible);
    action->setCheckable(FChecked || FRadioItem);
    action->setChecked(FChecked);
    action->setShortcut(KeySequence(FShortCut));
    action->setStatusTip(FHint);
    QFont font = action->font();
    font.setBold(FDefault);
    action->setFont(font);
}

QAction* TMenuItem::MakeAction(QObject* parent)
{
    auto* action = new QAction(parent);
    if (IsLine())
        action->setSeparator(true);
    FAction = action;
    UpdateAction();
    QObject::connect(action, &QAction::triggered, this, [this] { Click(); });
    return action;
}

void TMenuItem::FillMenu(QMenu* menu)
{
    for (TMenuItem* item : std::as_const(FItems)) {
        if (item->Count() > 0 && !item->IsLine()) {
            QMenu* sub = menu->addMenu(item->FCaption);
            item->FAction = sub->menuAction();
            item->UpdateAction();
            item->FillMenu(sub);
        } else {
            menu->addAction(item->MakeAction(menu));
        }
    }
}

// ---------------------------------------------------------------------------
// TMenu

TMenu::TMenu(TComponent* owner)
    : TComponent(owner)
    , FItems(new TMenuItem(nullptr))
{
    FItems->FMenu = this;
}

TMenu::~TMenu()
{
    // The items go with the menu (they leave their owner as they go).
    delete FItems;
}

TMenuItem* TMenu::FindItem(TShortCut shortCut) const
{
    std::function<TMenuItem*(TMenuItem*)> find = [&](TMenuItem* parent) -> TMenuItem* {
        for (int i = 0; i < parent->Count(); ++i) {
            TMenuItem* item = parent->Items(i);
            if (shortCut && item->ShortCut() == shortCut)
                return item;
            if (TMenuItem* found = find(item))
                return found;
        }
        return nullptr;
    };
    return find(FItems);
}

void TMenu::GetChildren(const TGetChildProc& proc, TComponent* root)
{
    for (int i = 0; i < FItems->Count(); ++i) {
        TMenuItem* item = FItems->Items(i);
        if (item->Owner() == root)
            proc(item);
    }
}

void TMenu::MenuChanged(bool)
{
}

// ---------------------------------------------------------------------------
// TMainMenu

TMainMenu::TMainMenu(TComponent* owner)
    : TMenu(owner)
{
}

void TMainMenu::Populate(QMenuBar* bar)
{
    TMenuItem* root = Items();
    for (int i = 0; i < root->Count(); ++i) {
        TMenuItem* item = root->Items(i);
        if (item->Count() > 0) {
            QMenu* sub = bar->addMenu(item->Caption());
            item->FAction = sub->menuAction();
            item->UpdateAction();
            item->FillMenu(sub);
        } else {
            bar->addAction(item->MakeAction(bar));
        }
    }
}

void TMainMenu::MenuChanged(bool structure)
{
    if (!structure || (ComponentState() & csDestroying))
        return;
    if (TScreen* screen = TScreenAccess::Get()) {
        for (int i = 0; i < screen->FormCount(); ++i)
            if (screen->Forms(i)->Menu() == this)
                screen->Forms(i)->MenuChanged();
    }
}

// ---------------------------------------------------------------------------
// TPopupMenu

TPopupMenu::TPopupMenu(TComponent* owner)
    : TMenu(owner)
{
}

void TPopupMenu::Popup(int x, int y)
{
    if (FOnPopup)
        FOnPopup(this);
    QMenu menu;
    Items()->FillMenu(&menu);
    menu.exec(QPoint(x, y));
}
