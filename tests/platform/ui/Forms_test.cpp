#include "platform/ui/Application.h"
#include "platform/ui/ExtCtrls.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/FormWriter.h"
#include "platform/ui/Forms.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StdCtrls.h"
#include "support/TestSupport.h"

#include <QBuffer>
#include <QFile>
#include <QGuiApplication>
#include <QImageWriter>
#include <QPointer>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

// A form class with handlers and fields, the way the program's windows are
// written.
class TTestForm : public TForm {
    Q_OBJECT
    Q_PROPERTY(TButton* Button1 MEMBER Button1 STORED false)
    Q_PROPERTY(TLabel* Label1 MEMBER Label1 STORED false)
public:
    explicit TTestForm(TComponent* owner, const QString& resource)
        : TForm(owner)
    {
        ReadForm(resource);
    }
    ~TTestForm() override { DoDestroy(); }

    Q_INVOKABLE void FormCreate(TObject*) { Log.push_back("create " + Label1->Caption().toStdString()); }
    Q_INVOKABLE void FormShow(TObject*) { Log.push_back("show"); }
    Q_INVOKABLE void FormHide(TObject*) { Log.push_back("hide"); }
    Q_INVOKABLE void FormClose(TObject*, TCloseAction& action)
    {
        Log.push_back("close");
        action = NextAction;
    }
    Q_INVOKABLE void FormCloseQuery(TObject*, bool& canClose)
    {
        Log.push_back("query");
        canClose = MayClose;
    }
    Q_INVOKABLE void FormDestroy(TObject*) { Destroyed = true; }
    // Declared with the handler's own names for its types (WORD, not ushort).
    Q_INVOKABLE void FormKeyDown(TObject*, WORD& Key, TShiftState Shift)
    {
        Log.push_back("key " + std::to_string(Key) + (Shift & ssCtrl ? " ctrl" : ""));
        Key = 0;
    }
    Q_INVOKABLE void Button1Click(TObject*) { Log.push_back("button"); }
    Q_INVOKABLE void Button1MouseDown(TObject*, TMouseButton button, TShiftState shift, int x, int y)
    {
        Log.push_back("mouse " + std::to_string(button) + (shift & ssLeft ? " left " : " ")
            + std::to_string(x) + "," + std::to_string(y));
    }

    TButton* Button1 = nullptr;
    TLabel* Label1 = nullptr;
    std::vector<std::string> Log;
    TCloseAction NextAction = caHide;
    bool MayClose = true;
    static inline bool Destroyed = false;
    int WindowCreations = 0;
    bool MappedWhenCreated = true;

protected:
    void WindowCreated() override
    {
        ++WindowCreations;
        MappedWhenCreated = Handle()->isVisible();
    }
};

// A form class that names its stored form for CreateForm.
class TDemoWindow : public TForm {
    Q_OBJECT
    Q_CLASSINFO("StoredForm", "Demo.form")
public:
    explicit TDemoWindow(TComponent* owner)
        : TForm(owner)
    {
    }
};

const char* kTestForm = R"(object TestForm: TTestForm
  Left = 10
  Top = 20
  BorderIcons = [biSystemMenu, biMinimize]
  BorderStyle = bsSingle
  Caption = 'Stored form'
  ClientHeight = 120
  ClientWidth = 240
  Color = clBtnFace
  Font.Height = -11
  Font.Name = 'MS Sans Serif'
  Position = poDesigned
  Visible = True
  OnClose = FormClose
  OnCloseQuery = FormCloseQuery
  OnCreate = FormCreate
  OnDestroy = FormDestroy
  OnHide = FormHide
  OnKeyDown = FormKeyDown
  OnShow = FormShow
  PixelsPerInch = 96
  TextHeight = 13
  object Label1: TLabel
    Left = 8
    Top = 8
    Caption = 'Hello'
  end
  object Button1: TButton
    Left = 8
    Top = 40
    Caption = 'Go'
    TabOrder = 0
    OnClick = Button1Click
    OnMouseDown = Button1MouseDown
  end
end
)";

QString WriteFormFile(const QString& text)
{
    const QString path = tonvara::test::MakeTempDir("forms") + "/Test.form";
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text.toUtf8());
    return path;
}

} // namespace

TEST(Forms, AnEmptyFormIsHiddenWithItsDefaults)
{
    TForm form(nullptr);
    EXPECT_FALSE(form.Visible());
    EXPECT_FALSE(form.Showing());
    EXPECT_EQ(form.ClientWidth(), 320);
    EXPECT_EQ(form.ClientHeight(), 240);
    EXPECT_EQ(form.Color(), clBtnFace);
    EXPECT_EQ(form.BorderStyle(), bsSizeable);
    EXPECT_EQ(form.Font()->Name(), "MS Sans Serif");
    EXPECT_EQ(form.GetParentForm(), &form);
    EXPECT_GE(Screen->FormCount(), 1);
}

TEST(Forms, ReadsItsStoredFormBindsHandlersAndFieldsThenShows)
{
    TTestForm::Destroyed = false;
    auto form = std::make_unique<TTestForm>(nullptr, WriteFormFile(kTestForm));
    ASSERT_NE(form->Button1, nullptr);
    ASSERT_NE(form->Label1, nullptr);
    EXPECT_EQ(form->Caption(), "Stored form");
    EXPECT_EQ(form->Handle()->windowTitle(), "Stored form");
    EXPECT_EQ(form->ClientWidth(), 240);
    EXPECT_EQ(form->ClientHeight(), 120);
    // OnCreate ran after loading, then the stored Visible showed the form.
    EXPECT_EQ(form->Log, (std::vector<std::string> { "create Hello", "show" }));
    EXPECT_TRUE(form->Showing());
    EXPECT_EQ(form->WindowCreations, 1);
    EXPECT_FALSE(form->MappedWhenCreated);
    // A single border gives a fixed size; no maximise button.
    QWidget* window = form->Handle();
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(window->pos(), QPoint(10, 20));

    QTest::mouseClick(form->Button1->Handle(), Qt::LeftButton, Qt::NoModifier, QPoint(3, 3));
    EXPECT_EQ(form->Log.back(), "button");
    EXPECT_EQ(form->Log[form->Log.size() - 2], "mouse 0 left 3,3");
    // A key handler with a var parameter is bound by name too, and what it
    // does to the key reaches the caller.
    ASSERT_TRUE(form->OnKeyDown());
    WORD key = 'Q';
    form->OnKeyDown()(form.get(), key, TShiftState { ssCtrl });
    EXPECT_EQ(form->Log.back(), "key 81 ctrl");
    EXPECT_EQ(key, 0);

    // Close: the query, then OnClose decides.
    form->Log.clear();
    form->MayClose = false;
    form->Close();
    EXPECT_TRUE(form->Showing());
    form->MayClose = true;
    form->NextAction = caNone;
    form->Close();
    EXPECT_TRUE(form->Showing());
    form->NextAction = caHide;
    form->Close();
    EXPECT_FALSE(form->Showing());
    EXPECT_EQ(form->Log, (std::vector<std::string> { "query", "query", "close", "query", "close", "hide" }));

    // caFree releases the form once the event loop gets to it.
    QPointer<TTestForm> watch(form.get());
    form->NextAction = caFree;
    form->Show();
    form.release()->Close();
    EXPECT_FALSE(watch.isNull());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(watch.isNull());
    EXPECT_TRUE(TTestForm::Destroyed);
}

TEST(Forms, CreateFormReadsTheStoredFormTheClassNames)
{
    TDemoWindow* window = nullptr;
    Application->CreateForm(window);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->Name(), "DemoForm");
    EXPECT_NE(window->FindComponent("StartButton"), nullptr);
    // Reading happens once.
    const int components = window->ComponentCount();
    window->AfterConstruction();
    EXPECT_EQ(window->ComponentCount(), components);
    delete window;
}

TEST(Forms, StoredFormErrors)
{
    EXPECT_THROW(TForm(nullptr, "NoSuchForm.form"), EResNotFound);
    EXPECT_THROW(TForm(nullptr, "/nonexistent/dir/x.form"), EFOpenError);
    EXPECT_THROW(TForm(nullptr, WriteFormFile("object F: TForm\n  Nope = 1\nend\n")), EReadError);
    // A resource name finds the file in the resource folders.
    TForm demo(nullptr, "Demo.form");
    EXPECT_EQ(demo.Name(), "DemoForm");
}

TEST(Forms, ShowModalReturnsTheModalResult)
{
    TForm form(nullptr);
    auto* ok = new TButton(&form);
    ok->SetParent(&form);
    ok->SetModalResult(mrOk);
    std::vector<std::string> log;
    form.SetOnClose([&](TObject*, TCloseAction& action) {
        log.push_back("close " + std::to_string(form.ModalResult()));
        if (log.size() == 1)
            action = caNone;
    });
    QTimer::singleShot(0, [&] {
        EXPECT_TRUE(form.Modal());
        EXPECT_TRUE(form.Showing());
        EXPECT_THROW(form.ShowModal(), EInvalidOperation);
        // The first close is refused by OnClose; the form stays modal.
        form.Close();
        QTimer::singleShot(0, [&] {
            EXPECT_TRUE(form.Modal());
            QTest::mouseClick(ok->Handle(), Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
        });
    });
    EXPECT_EQ(form.ShowModal(), mrOk);
    EXPECT_EQ(log, (std::vector<std::string> { "close 2", "close 1" }));
    EXPECT_FALSE(form.Showing());
    EXPECT_FALSE(form.Modal());
}

TEST(Forms, PositionsAndWindowKinds)
{
    TForm form(nullptr);
    form.SetClientWidth(200);
    form.SetClientHeight(100);
    form.SetPosition(poScreenCenter);
    form.Show();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(form.Left(), (screen.width() - 200) / 2);
    EXPECT_EQ(form.Top(), (screen.height() - 100) / 2);
    form.Hide();

    form.SetBorderStyle(bsNone);
    form.SetFormStyle(fsStayOnTop);
    EXPECT_TRUE(form.Handle()->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(form.Handle()->windowFlags() & Qt::WindowStaysOnTopHint);
    form.SetBorderStyle(bsSizeable);
    EXPECT_FALSE(form.Handle()->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_NE(form.Handle()->minimumSize(), form.Handle()->maximumSize());
}

TEST(Forms, EventsOfShowingResizingAndPainting)
{
    TForm form(nullptr);
    form.SetPosition(poDesigned);
    std::vector<std::string> log;
    form.SetOnShow([&](TObject*) { log.push_back("show"); });
    form.SetOnHide([&](TObject*) { log.push_back("hide"); });
    form.SetOnActivate([&](TObject*) { log.push_back("activate"); });
    form.SetOnResize([&](TObject*) { log.push_back("resize " + std::to_string(form.ClientWidth())); });
    form.SetOnPaint([&](TObject*) {
        form.Canvas()->Brush()->SetColor(clRed);
        form.Canvas()->FillRect(Rect(0, 0, 10, 10));
    });
    form.Show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.Handle()));
    EXPECT_TRUE(form.Active());
    EXPECT_EQ(Screen->ActiveForm(), &form);
    form.SetClientWidth(300);
    form.Hide();
    EXPECT_EQ(log, (std::vector<std::string> { "show", "activate", "resize 300", "hide" }));

    QImage image(form.ClientHandle()->size(), QImage::Format_RGB32);
    form.ClientHandle()->render(&image);
    EXPECT_EQ(image.pixel(9, 9), qRgb(255, 0, 0));
    EXPECT_EQ(image.pixel(10, 10), ColorToQColor(clBtnFace).rgb());
}

TEST(Forms, IconsAreStoredAsTheirFileImage)
{
    QImage picture(32, 32, QImage::Format_ARGB32);
    picture.fill(Qt::red);
    QByteArray ico;
    QBuffer out(&ico);
    out.open(QIODevice::WriteOnly);
    QImageWriter writer(&out, "ico");
    ASSERT_TRUE(writer.write(picture));

    TForm form(nullptr);
    form.SetName("IconForm");
    QBuffer in(&ico);
    in.open(QIODevice::ReadOnly);
    form.Icon()->LoadFromStream(in);
    EXPECT_EQ(form.Icon()->Width(), 32);
    EXPECT_FALSE(form.Handle()->windowIcon().isNull());

    const QByteArray text = ComponentToText(&form);
    EXPECT_TRUE(text.contains("Icon.Data"));
    TForm again(nullptr);
    QBuffer stored;
    stored.setData(text);
    stored.open(QIODevice::ReadOnly);
    ReadComponent(stored, &again);
    QByteArray bytes;
    QBuffer back(&bytes);
    back.open(QIODevice::WriteOnly);
    again.Icon()->SaveToStream(back);
    EXPECT_EQ(bytes, ico);

    TIcon broken;
    QByteArray junk("not an icon");
    QBuffer bad(&junk);
    bad.open(QIODevice::ReadOnly);
    EXPECT_THROW(broken.LoadFromStream(bad), EInvalidGraphic);
}

TEST(ScreenObject, CursorsAndForms)
{
    EXPECT_GT(Screen->Width(), 0);
    EXPECT_GT(Screen->Height(), 0);
    EXPECT_EQ(Screen->PixelsPerInch(), 96);
    for (int n = 2001; n <= 2031; ++n)
        Screen->SetCursors(n, std::nullopt);
    EXPECT_TRUE(Screen->HasCursor(2017));
    EXPECT_EQ(Screen->Cursors(2017).shape(), Qt::ArrowCursor);
    EXPECT_EQ(Screen->Cursors(crHourGlass).shape(), Qt::WaitCursor);
    EXPECT_FALSE(Screen->HasCursor(1999));

    const int before = Screen->FormCount();
    auto form = std::make_unique<TForm>(nullptr);
    EXPECT_EQ(Screen->FormCount(), before + 1);
    EXPECT_EQ(Screen->Forms(before), form.get());
    form.reset();
    EXPECT_EQ(Screen->FormCount(), before);
    EXPECT_THROW(Screen->Forms(before), EListError);
}

#include "Forms_test.moc"
