// A stored form with nested panels, labels, a bevel, an image, bitmap
// buttons and a main menu, read, shown on a real X server and looked at;
// then written back and read again.
#include "platform/ui/Application.h"
#include "platform/ui/Buttons.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/ExtCtrls.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/FormWriter.h"
#include "platform/ui/Forms.h"
#include "platform/ui/Menus.h"
#include "platform/ui/StdCtrls.h"
#include "support/OtherProgram.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QBuffer>
#include <QGuiApplication>
#include <QMenuBar>
#include <QMetaProperty>
#include <QPixmap>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

QString DemoForm()
{
    return tonvara::test::SourceDir() + "/resources/demo/Demo.form";
}

// What the X server shows of the form's window.
QImage Grab(TForm* form)
{
    QWidget* window = form->Handle();
    return QGuiApplication::primaryScreen()
        ->grabWindow(window->winId())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

// Client coordinates of a control on the form, as pixels of the window.
QPoint OnWindow(TForm* form, TControl* control, int x, int y)
{
    const TPoint p = control->ClientToScreen(Point(x, y));
    return form->Handle()->mapFromGlobal(QPoint(p.X, p.Y));
}

QRgb Rgb(TColor color)
{
    return ColorToQColor(color).rgb() | 0xFF000000u;
}

void ShowAndWait(TForm* form)
{
    form->Show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form->Handle()));
    // Exposed is not yet painted: a busy machine may let a grab see the
    // window before its first backing-store flush. Paint and flush now.
    form->Handle()->repaint();
    QCoreApplication::processEvents();
}

// Every stored value of Object and its sub-objects, by dotted name.
void CollectValues(QObject* object, const QString& prefix, QMap<QString, QString>& values)
{
    const QMetaObject* mo = object->metaObject();
    for (int i = 0; i < mo->propertyCount(); ++i) {
        const QMetaProperty p = mo->property(i);
        if (!p.isStored() || QByteArray(p.name()) == "objectName")
            continue;
        const QString name = prefix + QString::fromLatin1(p.name());
        const QVariant value = p.read(object);
        if (p.metaType().flags() & QMetaType::PointerToQObject) {
            QObject* sub = value.value<QObject*>();
            if (auto* component = qobject_cast<TComponent*>(sub))
                values[name] = component->Name();
            else if (sub)
                CollectValues(sub, name + ".", values);
            continue;
        }
        if (auto* binding = FindEventTypeInfo(p.metaType())) {
            values[name] = binding->Assigned(value) ? binding->MethodName(value) : QString();
            continue;
        }
        values[name] = value.toString() + "/" + QString::number(value.toLongLong());
    }
    if (auto* picture = qobject_cast<TPicture*>(object)) {
        if (auto* bitmap = qobject_cast<TBitmap*>(picture->Graphic())) {
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            bitmap->SaveToStream(buffer);
            values[prefix + "Data"] = QString::fromLatin1(bytes.toHex());
        }
    }
}

QMap<QString, QString> FormValues(TForm* form)
{
    QMap<QString, QString> values;
    CollectValues(form, "", values);
    for (int i = 0; i < form->ComponentCount(); ++i) {
        TComponent* c = form->Components(i);
        CollectValues(c, c->Name() + ".", values);
        if (auto* control = qobject_cast<TControl*>(c))
            values[c->Name() + ".(parent)"] = control->Parent() ? control->Parent()->Name() : QString();
        if (auto* item = qobject_cast<TMenuItem*>(c))
            values[c->Name() + ".(menu parent)"] = item->GetParentComponent()->Name();
    }
    return values;
}

} // namespace

TEST(StoredFormOnX, LoadsAndShows)
{
    auto form = std::make_unique<TForm>(nullptr, DemoForm());
    EXPECT_EQ(form->Name(), "DemoForm");
    EXPECT_EQ(form->Caption(), "Tonvara");
    EXPECT_EQ(form->ClientWidth(), 440);
    EXPECT_EQ(form->ClientHeight(), 320);
    ASSERT_NE(form->Menu(), nullptr);

    auto* outer = form->FindComponent<TPanel>("Outer");
    auto* inner = form->FindComponent<TPanel>("Inner");
    auto* buttons = form->FindComponent<TPanel>("Buttons");
    auto* scope = form->FindComponent<TImage>("Scope");
    auto* start = form->FindComponent<TBitBtn>("StartButton");
    auto* stop = form->FindComponent<TBitBtn>("StopButton");
    auto* title = form->FindComponent<TLabel>("Title");
    auto* exitItem = form->FindComponent<TMenuItem>("Exit1");
    ASSERT_TRUE(outer && inner && buttons && scope && start && stop && title && exitItem);
    EXPECT_EQ(inner->Parent(), outer);
    EXPECT_EQ(scope->Parent(), inner);
    EXPECT_EQ(start->Parent(), buttons);
    EXPECT_EQ(exitItem->Parent()->Caption(), "&Dosya");
    EXPECT_EQ(exitItem->ShortCut(), scCtrl | 'Q');
    EXPECT_EQ(start->Caption(), QString::fromUtf8("Kayda Başla"));
    EXPECT_EQ(start->ModalResult(), mrOk);
    EXPECT_TRUE(start->Default());
    EXPECT_EQ(scope->Picture()->Width(), 48);
    // The bottom-aligned panel spans the client width at its bottom.
    EXPECT_EQ(buttons->BoundsRect(), Rect(0, 284, 440, 320));

    ShowAndWait(form.get());
    QWidget* window = form->Handle();
    // The window holds the menu bar above the 440 x 320 client area.
    auto* bar = window->findChild<QMenuBar*>();
    ASSERT_NE(bar, nullptr);
    EXPECT_GT(bar->height(), 10);
    EXPECT_EQ(window->width(), 440);
    EXPECT_EQ(window->height(), 320 + bar->height());
    EXPECT_EQ(bar->actions().size(), 2);
    EXPECT_EQ(bar->actions().at(0)->text(), "&Dosya");
    // Centred on the screen.
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(form->Left(), (screen.width() - window->width()) / 2);

    const QImage shot = Grab(form.get());
    shot.save(tonvara::test::MakeTempDir("forms-x11") + "/demo.png");
    ASSERT_EQ(shot.width(), window->width());

    // Outer panel: raised bevel (light top-left), lowered inner bevel, its colour inside.
    EXPECT_EQ(shot.pixel(OnWindow(form.get(), outer, 0, 5)), Rgb(clBtnHighlight));
    EXPECT_EQ(shot.pixel(OnWindow(form.get(), outer, outer->Width() - 1, 5)), Rgb(clBtnShadow));
    EXPECT_EQ(shot.pixel(OnWindow(form.get(), outer, 2, 40)), Rgb(TColor(5718462)));
    EXPECT_EQ(shot.pixel(OnWindow(form.get(), outer, 3, 40)), Rgb(clBtnShadow));
    EXPECT_EQ(shot.pixel(OnWindow(form.get(), outer, 8, 100)), Rgb(TColor(5718462)));
    // Inner panel: navy with a lowered bevel.
    EXPECT_EQ(shot.pixel(OnWindow(form.get(), inner, 0, 50)), Rgb(clBtnShadow));
    EXPECT_EQ(shot.pixel(OnWindow(form.get(), inner, 200, 110)), Rgb(clNavy));
    // The picture, stretched twice: its grey frame, then the dark screen.
    EXPECT_EQ(shot.pixel(OnWindow(form.get(), scope, 0, 0)), qRgb(160, 160, 160));
    EXPECT_EQ(shot.pixel(OnWindow(form.get(), scope, 4, 4)), qRgb(8, 24, 32));
    // The title has yellow letters on the panel colour (transparent label).
    int yellow = 0;
    for (int x = 0; x < title->Width(); ++x)
        for (int y = 0; y < title->Height(); ++y)
            yellow += shot.pixel(OnWindow(form.get(), title, x, y)) == Rgb(clYellow);
    EXPECT_GT(yellow, 50);
    EXPECT_EQ(shot.pixel(OnWindow(form.get(), title, 1, 1)), Rgb(TColor(5718462)));
    // Bitmap button: face colour, and the green check of the OK glyph on it.
    EXPECT_EQ(shot.pixel(OnWindow(form.get(), start, 4, 4)), Rgb(clBtnFace));
    int green = 0;
    for (int x = 0; x < 30; ++x)
        for (int y = 0; y < start->Height(); ++y)
            green += shot.pixel(OnWindow(form.get(), start, x, y)) == qRgb(0, 128, 0);
    EXPECT_GT(green, 20);
    // The disabled No button shows the grey image of its strip, not the red sign.
    int red = 0;
    for (int x = 0; x < 30; ++x)
        for (int y = 0; y < stop->Height(); ++y)
            red += shot.pixel(OnWindow(form.get(), stop, x, y)) == qRgb(192, 0, 0);
    EXPECT_EQ(red, 0);
}

TEST(StoredFormOnX, WrittenBackReadsTheSame)
{
    auto form = std::make_unique<TForm>(nullptr, DemoForm());
    const QByteArray text = ComponentToText(form.get());
    const QString file = tonvara::test::MakeTempDir("forms-x11") + "/written.form";
    WriteComponentRes(file, form.get());

    auto again = std::make_unique<TForm>(nullptr, file);
    const QMap<QString, QString> before = FormValues(form.get());
    const QMap<QString, QString> after = FormValues(again.get());
    EXPECT_GT(before.size(), 100);
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        EXPECT_EQ(after.value(it.key(), "<missing>").toStdString(), it.value().toStdString())
            << it.key().toStdString();
    EXPECT_EQ(after.size(), before.size());
    EXPECT_EQ(ComponentToText(again.get()).toStdString(), text.toStdString());

    // Both show the same pixels.
    form->SetPosition(poDesigned);
    again->SetPosition(poDesigned);
    ShowAndWait(form.get());
    ShowAndWait(again.get());
    EXPECT_EQ(Grab(form.get()), Grab(again.get()));
}

TEST(StoredFormOnX, ButtonsAndMenuRespondToTheMouse)
{
    auto form = std::make_unique<TForm>(nullptr, DemoForm());
    auto* exitButton = form->FindComponent<TBitBtn>("ExitButton");
    auto* exitItem = form->FindComponent<TMenuItem>("Exit1");
    int clicks = 0;
    exitButton->SetOnClick([&](TObject* sender) {
        EXPECT_EQ(sender, exitButton);
        ++clicks;
    });
    int menuClicks = 0;
    exitItem->SetOnClick([&](TObject*) { ++menuClicks; });
    ShowAndWait(form.get());
    QWidget* widget = exitButton->Handle();
    QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    EXPECT_EQ(clicks, 1);
    // Released outside the button: no click.
    QTest::mousePress(widget, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    QTest::mouseRelease(widget, Qt::LeftButton, Qt::NoModifier, QPoint(200, 10));
    EXPECT_EQ(clicks, 1);
    // The menu item's short cut runs it.
    form->Handle()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form->Handle()));
    QTest::keyClick(form->Handle(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(menuClicks, 1);
}

TEST(StoredFormOnX, ActivationIsAChangeOfTheProgramsActiveWindow)
{
    // A form hears OnActivate when it is shown and when the user comes back
    // to it from another window of this program (a message box), not when
    // the user comes back from another program.
    TForm form(nullptr);
    std::vector<std::string> log;
    form.SetOnActivate([&](TObject*) { log.push_back("activate"); });
    form.SetOnDeactivate([&](TObject*) { log.push_back("deactivate"); });
    ShowAndWait(&form);
    form.Handle()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.Handle()));
    EXPECT_EQ(log, (std::vector<std::string> { "activate" }));

    tonvara::test::TOtherProgram other;
    ASSERT_TRUE(other.Valid());
    for (int round = 0; round < 2; ++round) {
        other.TakeFocus();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !form.Handle()->isActiveWindow(); }, 5000));
        other.ReturnFocusTo(form.Handle()->winId());
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.Handle()));
    }
    EXPECT_EQ(log, (std::vector<std::string> { "activate" }));
    EXPECT_TRUE(form.Active());
    EXPECT_EQ(Screen->ActiveForm(), &form);

    // A box of this program takes over and, once dismissed, gives back.
    QTimer::singleShot(0, [&] {
        ASSERT_TRUE(QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 5000));
        QWidget* box = QApplication::activeModalWidget();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(box));
        other.ReturnFocusTo(box->winId());
        ASSERT_TRUE(QTest::qWaitFor([&] { return log.size() == 2; }, 5000));
        QTest::keyClick(box, Qt::Key_Return);
    });
    EXPECT_EQ(MessageDlg("Taken over", mtInformation, { mbOK }, 0), mrOk);
    other.ReturnFocusTo(form.Handle()->winId());
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.size() == 3; }, 5000)) << testing::PrintToString(log);
    EXPECT_EQ(log, (std::vector<std::string> { "activate", "deactivate", "activate" }));
}

// Last in this file: it ends the application's message loop for good.
class TDemoMainWindow : public TForm {
public:
    explicit TDemoMainWindow(TComponent* owner)
        : TForm(owner, DemoForm())
    {
        FindComponent<TBitBtn>("ExitButton")->SetOnClick([this](TObject*) { Close(); });
    }
};

TEST(StoredFormOnX, ClosingTheMainFormEndsTheMessageLoop)
{
    TDemoMainWindow* window = nullptr;
    Application->CreateForm(window);
    ASSERT_EQ(Application->MainForm(), window);
    QTimer::singleShot(0, [&] {
        EXPECT_TRUE(window->Showing());
        QTest::mouseClick(window->FindComponent<TBitBtn>("ExitButton")->Handle(), Qt::LeftButton,
            Qt::NoModifier, QPoint(5, 5));
    });
    Application->Run();
    EXPECT_TRUE(Application->Terminated());
    delete window;
}
