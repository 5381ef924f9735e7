#include "platform/ui/FormReader.h"
#include "platform/ui/FormWriter.h"
#include "platform/ui/Forms.h"
#include "platform/ui/Menus.h"
#include "platform/ui/StdCtrls.h"
#include "support/FormText.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>

namespace {

const QByteArray kMenuForm = R"(object F: TForm
  ClientHeight = 100
  ClientWidth = 200
  Menu = MainMenu1
  object MainMenu1: TMainMenu
    object File1: TMenuItem
      Caption = '&File'
      object Open1: TMenuItem
        Caption = '&Open'
        ShortCut = 16463
      end
      object N1: TMenuItem
        Caption = '-'
      end
      object Exit1: TMenuItem
        Caption = 'E&xit'
        Enabled = False
      end
    end
    object Help1: TMenuItem
      Caption = '&Help'
      Checked = True
    end
  end
end
)";

std::unique_ptr<TForm> ReadMenuForm()
{
    auto form = std::make_unique<TForm>(nullptr);
    tonvara::test::ReadFormText(kMenuForm, form.get());
    return form;
}

QMenuBar* Bar(TForm* form)
{
    QMenuBar* found = nullptr;
    for (QMenuBar* bar : form->Handle()->findChildren<QMenuBar*>())
        if (bar->isVisibleTo(form->Handle()) || !found)
            found = bar;
    return found;
}

} // namespace

TEST(ShortCuts, TextAndValues)
{
    EXPECT_EQ(ShortCut('S', ssCtrl), scCtrl | 'S');
    EXPECT_EQ(ShortCutToText(scCtrl | 'S'), "Ctrl+S");
    EXPECT_EQ(ShortCutToText(scShift | VK_F1), "Shift+F1");
    EXPECT_EQ(ShortCutToText(scAlt | scCtrl | VK_DELETE), "Ctrl+Alt+Del");
    EXPECT_EQ(ShortCutToText(0), "");
    EXPECT_EQ(TextToShortCut("ctrl+s"), scCtrl | 'S');
    EXPECT_EQ(TextToShortCut("Shift+Ctrl+PgDn"), scShift | scCtrl | VK_NEXT);
    EXPECT_EQ(TextToShortCut("Hyper+Q"), 0);
}

TEST(Menus, StoredItemsNestUnderTheirMenuAndParents)
{
    auto form = ReadMenuForm();
    auto* menu = form->FindComponent<TMainMenu>("MainMenu1");
    auto* file = form->FindComponent<TMenuItem>("File1");
    auto* open = form->FindComponent<TMenuItem>("Open1");
    ASSERT_TRUE(menu && file && open);
    EXPECT_EQ(form->Menu(), menu);
    EXPECT_EQ(menu->Items()->Count(), 2);
    EXPECT_EQ(menu->Items()->Items(0), file);
    EXPECT_EQ(file->Count(), 3);
    EXPECT_EQ(open->Parent(), file);
    EXPECT_EQ(open->GetParentMenu(), menu);
    EXPECT_EQ(file->GetParentComponent(), menu);
    EXPECT_EQ(open->GetParentComponent(), file);
    EXPECT_EQ(open->ShortCut(), scCtrl | 'O');
    EXPECT_TRUE(form->FindComponent<TMenuItem>("N1")->IsLine());
    EXPECT_EQ(menu->FindItem(scCtrl | 'O'), open);
    EXPECT_EQ(menu->FindItem(scCtrl | 'P'), nullptr);
    EXPECT_THROW(file->Items(3), EListError);

    // Written back: the same nesting.
    const QByteArray text = ComponentToText(form.get());
    auto again = std::make_unique<TForm>(nullptr);
    tonvara::test::ReadFormText(text, again.get());
    EXPECT_EQ(ComponentToText(again.get()), text);
    EXPECT_EQ(again->FindComponent<TMenuItem>("Exit1")->Parent()->Name(), "File1");
}

TEST(Menus, TheMenuBarShowsTheItemsAboveTheClientArea)
{
    auto form = ReadMenuForm();
    form->SetPosition(poDesigned);
    form->Show();
    QMenuBar* bar = Bar(form.get());
    ASSERT_NE(bar, nullptr);
    const int barHeight = bar->height();
    EXPECT_GT(barHeight, 10);
    EXPECT_EQ(form->ClientHeight(), 100);
    EXPECT_EQ(form->Height(), 100 + barHeight);
    EXPECT_EQ(form->ClientHandle()->geometry(), QRect(0, barHeight, 200, 100));

    const QList<QAction*> top = bar->actions();
    ASSERT_EQ(top.size(), 2);
    EXPECT_EQ(top[0]->text(), "&File");
    ASSERT_NE(top[0]->menu(), nullptr);
    const QList<QAction*> items = top[0]->menu()->actions();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0]->text(), "&Open");
    EXPECT_EQ(items[0]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
    EXPECT_TRUE(items[1]->isSeparator());
    EXPECT_FALSE(items[2]->isEnabled());
    EXPECT_TRUE(top[1]->isChecked());

    // Choosing an item runs its OnClick; a change of an item shows at once.
    auto* open = form->FindComponent<TMenuItem>("Open1");
    int clicks = 0;
    open->SetOnClick([&](TObject* sender) {
        EXPECT_EQ(sender, open);
        ++clicks;
    });
    items[0]->trigger();
    EXPECT_EQ(clicks, 1);
    open->SetCaption("&Load");
    EXPECT_EQ(items[0]->text(), "&Load");
    // A disabled item does nothing.
    open->SetEnabled(false);
    open->Click();
    EXPECT_EQ(clicks, 1);

    // New items rebuild the bar; the client area keeps its size.
    auto* extra = new TMenuItem(form.get());
    extra->SetCaption("&Extra");
    form->Menu()->Items()->Add(extra);
    EXPECT_EQ(Bar(form.get())->actions().size(), 3);
    EXPECT_EQ(form->ClientHeight(), 100);

    // Without a menu the client area takes the window.
    form->SetMenu(nullptr);
    EXPECT_EQ(form->ClientHeight(), 100);
    EXPECT_EQ(form->Height(), 100);
    EXPECT_EQ(form->ClientHandle()->geometry(), QRect(0, 0, 200, 100));
}

TEST(Menus, DestroyingTheMenuDetachesItFromTheForm)
{
    auto form = ReadMenuForm();
    form->Show();
    auto* menu = form->FindComponent<TMainMenu>("MainMenu1");
    delete menu;
    EXPECT_EQ(form->Menu(), nullptr);
    EXPECT_EQ(form->FindComponent<TMenuItem>("Open1"), nullptr);
    EXPECT_EQ(form->ClientHeight(), 100);
}

TEST(Menus, PopupMenuOpensOnARightClickAndRunsTheChosenItem)
{
    const QByteArray text = R"(object F: TForm
  object Label1: TLabel
    Left = 8
    Top = 8
    Caption = 'Right-click me'
    PopupMenu = PopupMenu1
  end
  object PopupMenu1: TPopupMenu
    object Copy1: TMenuItem
      Caption = '&Copy'
    end
  end
end
)";
    TForm form(nullptr);
    tonvara::test::ReadFormText(text, &form);
    auto* label = form.FindComponent<TLabel>("Label1");
    auto* popup = form.FindComponent<TPopupMenu>("PopupMenu1");
    ASSERT_TRUE(label && popup);
    EXPECT_EQ(label->PopupMenu(), popup);
    int popups = 0;
    popup->SetOnPopup([&](TObject*) { ++popups; });
    int copies = 0;
    form.FindComponent<TMenuItem>("Copy1")->SetOnClick([&](TObject*) { ++copies; });
    form.Show();
    QTimer::singleShot(0, [] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        ASSERT_EQ(menu->actions().size(), 1);
        EXPECT_EQ(menu->actions()[0]->text(), "&Copy");
        menu->actions()[0]->trigger();
        menu->close();
    });
    QTest::mouseClick(label->Handle(), Qt::RightButton, Qt::NoModifier, QPoint(2, 2));
    EXPECT_EQ(popups, 1);
    EXPECT_EQ(copies, 1);
    delete popup;
    EXPECT_EQ(label->PopupMenu(), nullptr);
}
