#include "platform/kernel/Threads.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/MessageWindow.h"
#include "platform/ui/Timer.h"
#include "support/FormText.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

using tonvara::test::WaitUntil;

struct TReceived {
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
    bool OnMainThread;
};

// A hidden window that records what it gets.
class TRecordingWindow {
public:
    TRecordingWindow()
    {
        FHandle = AllocateHWnd([this](TMessage& m) {
            Received.push_back({ m.Msg, m.WParam, m.LParam, QThread::currentThread() == qApp->thread() });
            if (Method)
                Method(m);
        });
    }
    ~TRecordingWindow() { DeallocateHWnd(FHandle); }
    HWND Handle() const { return FHandle; }

    std::vector<TReceived> Received;
    std::function<void(TMessage&)> Method;

private:
    HWND FHandle;
};

// Captures the exception display.
class ApplicationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FPreviousOnException = Application->OnException();
        Application->SetOnException([this](TObject* sender, const std::exception& e) {
            Shown.push_back(ExceptionMessage(e));
            Senders.push_back(sender);
        });
        FPreviousDialogs = SetMessageDialogHandler([this](const TMessageDialogRequest& r) {
            Dialogs.push_back(r);
            return r.DefaultButton;
        });
    }
    void TearDown() override
    {
        Application->SetOnException(FPreviousOnException);
        SetMessageDialogHandler(FPreviousDialogs);
    }

    std::vector<QString> Shown;
    std::vector<TObject*> Senders;
    std::vector<TMessageDialogRequest> Dialogs;

private:
    TExceptionEvent FPreviousOnException;
    TMessageDialogHandler FPreviousDialogs;
};

} // namespace

TEST_F(ApplicationTest, MessagesPostedFromManyThreadsArriveInOrderOnTheMainThread)
{
    TRecordingWindow window;
    constexpr int kThreads = 4;
    constexpr int kPerThread = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&window, t] {
            for (int i = 0; i < kPerThread; ++i)
                ASSERT_TRUE(PostMessage(window.Handle(), WM_USER + 1, static_cast<WPARAM>(t), i));
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    ASSERT_TRUE(WaitUntil([&] { return window.Received.size() == kThreads * kPerThread; }));

    std::vector<LPARAM> next(kThreads, 0);
    for (const TReceived& r : window.Received) {
        EXPECT_TRUE(r.OnMainThread);
        EXPECT_EQ(r.Msg, WM_USER + 1);
        ASSERT_LT(r.WParam, static_cast<WPARAM>(kThreads));
        EXPECT_EQ(r.LParam, next[r.WParam]++) << "messages of one thread out of order";
    }
}

TEST_F(ApplicationTest, RemovePostedMessagesTouchesOnlyTheGivenWindowAndMessage)
{
    TRecordingWindow a;
    TRecordingWindow b;
    std::thread poster([&] {
        PostMessage(a.Handle(), WM_USER + 1, 1, 0);
        PostMessage(a.Handle(), WM_USER + 2, 2, 0);
        PostMessage(b.Handle(), WM_USER + 1, 3, 0);
        PostMessage(a.Handle(), WM_USER + 1, 4, 0);
    });
    poster.join();
    EXPECT_EQ(PostedMessageCount(a.Handle()), 3);

    EXPECT_EQ(RemovePostedMessages(a.Handle(), WM_USER + 1), 2);
    EXPECT_EQ(PostedMessageCount(a.Handle()), 1);
    PostMessage(a.Handle(), WM_USER + 3, 5, 0); // still works afterwards

    ASSERT_TRUE(WaitUntil([&] { return a.Received.size() == 2 && b.Received.size() == 1; }));
    EXPECT_EQ(a.Received[0].WParam, 2u);
    EXPECT_EQ(a.Received[1].WParam, 5u);
    EXPECT_EQ(b.Received[0].Msg, WM_USER + 1);
    EXPECT_EQ(b.Received[0].WParam, 3u);
}

TEST_F(ApplicationTest, DeallocatedWindowGetsNothingMore)
{
    auto* window = new TRecordingWindow;
    const HWND handle = window->Handle();
    PostMessage(handle, WM_USER, 1, 0);
    PostMessage(handle, WM_USER, 2, 0);
    EXPECT_TRUE(IsWindow(handle));
    delete window;
    EXPECT_FALSE(IsWindow(handle));
    EXPECT_FALSE(PostMessage(handle, WM_USER, 3, 0));
    EXPECT_EQ(SendMessage(handle, WM_USER, 3, 0), 0);
    // The pending wake-ups of the deleted window are dropped with it.
    TRecordingWindow other;
    PostMessage(other.Handle(), WM_USER, 9, 0);
    ASSERT_TRUE(WaitUntil([&] { return other.Received.size() == 1; }));
}

TEST_F(ApplicationTest, WindowMayDeallocateItselfInItsMethod)
{
    HWND handle = nullptr;
    int calls = 0;
    handle = AllocateHWnd([&](TMessage&) {
        ++calls;
        DeallocateHWnd(handle);
    });
    PostMessage(handle, WM_USER, 0, 0);
    PostMessage(handle, WM_USER, 0, 0);
    TRecordingWindow marker;
    PostMessage(marker.Handle(), WM_USER, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return marker.Received.size() == 1; }));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(IsWindow(handle));
}

TEST_F(ApplicationTest, SendMessageReturnsTheResultFromTheWindowsThread)
{
    TRecordingWindow window;
    window.Method = [](TMessage& m) { m.Result = static_cast<LRESULT>(m.WParam * 2); };
    EXPECT_EQ(SendMessage(window.Handle(), WM_USER, 21, 0), 42);
    ASSERT_EQ(window.Received.size(), 1u);

    std::atomic<LRESULT> result { 0 };
    std::atomic<bool> done { false };
    std::thread sender([&] {
        result = SendMessage(window.Handle(), WM_USER, 50, 0);
        done = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
    sender.join();
    EXPECT_EQ(result.load(), 100);
    ASSERT_EQ(window.Received.size(), 2u);
    EXPECT_TRUE(window.Received[1].OnMainThread);
}

TEST_F(ApplicationTest, TimerMessagesCarryTheTimerId)
{
    TRecordingWindow window;
    EXPECT_EQ(SetTimer(window.Handle(), 7, 10), 7u);
    ASSERT_TRUE(WaitUntil([&] { return window.Received.size() >= 3; }));
    for (const TReceived& r : window.Received) {
        EXPECT_EQ(r.Msg, WM_TIMER);
        EXPECT_EQ(r.WParam, 7u);
    }
    EXPECT_TRUE(KillTimer(window.Handle(), 7));
    EXPECT_FALSE(KillTimer(window.Handle(), 7));
    EXPECT_EQ(SetTimer(window.Handle(), 0, 10), 0u);

    // From another thread a timer cannot be set on the window.
    UINT_PTR fromThread = 99;
    std::thread other([&] { fromThread = SetTimer(window.Handle(), 8, 10); });
    other.join();
    EXPECT_EQ(fromThread, 0u);
}

TEST_F(ApplicationTest, WindowDeallocatedByAnotherThreadStopsAtOnce)
{
    int ticks = 0;
    const HWND handle = AllocateHWnd([&](TMessage& m) {
        if (m.Msg == WM_TIMER)
            ++ticks;
    });
    ASSERT_EQ(SetTimer(handle, 1, 10), 1u);
    ASSERT_TRUE(WaitUntil([&] { return ticks >= 1; }));
    PostMessage(handle, WM_USER, 0, 0);
    std::thread other([handle] { DeallocateHWnd(handle); });
    other.join();
    const int stopped = ticks;
    EXPECT_FALSE(IsWindow(handle));

    TRecordingWindow marker;
    SetTimer(marker.Handle(), 1, 10);
    ASSERT_TRUE(WaitUntil([&] { return marker.Received.size() >= 3; }));
    EXPECT_EQ(ticks, stopped);
}

TEST_F(ApplicationTest, ExceptionInAWindowMethodIsShownAndTheWindowGoesOn)
{
    TRecordingWindow window;
    window.Method = [](TMessage& m) {
        if (m.WParam == 1)
            throw EInvalidOperation(QStringLiteral("Kayıt başlatılamadı"));
    };
    PostMessage(window.Handle(), WM_USER, 1, 0);
    PostMessage(window.Handle(), WM_USER, 2, 0);
    ASSERT_TRUE(WaitUntil([&] { return window.Received.size() == 2; }));
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_EQ(Shown[0], QString("Kayıt başlatılamadı"));
}

TEST_F(ApplicationTest, SynchronizeRunsOnTheMainThreadWhileTheCallerWaits)
{
    std::atomic<bool> ranOnMain { false };
    std::atomic<bool> workerDone { false };
    int sideEffect = 0;
    std::thread worker([&] {
        SynchronizeWithMainThread([&] {
            ranOnMain = QThread::currentThread() == qApp->thread();
            sideEffect = 1;
        });
        // The call has returned only after the method ran.
        EXPECT_EQ(sideEffect, 1);
        workerDone = true;
    });
    // A message-processing delay, as Delay(ms, true) does it.
    while (!workerDone.load())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    worker.join();
    EXPECT_TRUE(ranOnMain.load());
}

TEST_F(ApplicationTest, SynchronizeOnTheMainThreadIsADirectCall)
{
    bool ran = false;
    SynchronizeWithMainThread([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST_F(ApplicationTest, SynchronizeRaisesTheMethodsExceptionInTheCaller)
{
    std::atomic<bool> caught { false };
    std::atomic<bool> done { false };
    std::thread worker([&] {
        try {
            SynchronizeWithMainThread([] { throw EInvalidOperation(QStringLiteral("no")); });
        } catch (const EInvalidOperation& e) {
            caught = e.Message() == QLatin1String("no");
        }
        done = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_TRUE(caught.load());
    EXPECT_TRUE(Shown.empty());
}

namespace {

class TSyncThread : public TThread {
public:
    TSyncThread()
        : TThread(true)
    {
    }
    std::atomic<bool> RanOnMain { false };

protected:
    void Execute() override
    {
        Synchronize([this] { RanOnMain = QThread::currentThread() == qApp->thread(); });
    }
};

} // namespace

TEST_F(ApplicationTest, KernelThreadSynchronizeIsServedByTheMainThread)
{
    (void)Application.Get(); // the unit installs its handler
    TSyncThread thread;
    thread.Resume();
    ASSERT_TRUE(WaitUntil([&] { return thread.Finished(); }));
    EXPECT_TRUE(thread.RanOnMain.load());
    EXPECT_FALSE(thread.FatalException());
}

TEST_F(ApplicationTest, ExceptionDisplayUsesOnExceptionAndIgnoresEAbort)
{
    TComponent sender(nullptr);
    try {
        throw EConvertError(QStringLiteral("'x' is not a valid integer value"));
    } catch (...) {
        Application->HandleException(&sender);
    }
    try {
        throw EAbort(QStringLiteral("silent"));
    } catch (...) {
        Application->HandleException(&sender);
    }
    try {
        throw 42;
    } catch (...) {
        Application->HandleException(nullptr);
    }
    ASSERT_EQ(Shown.size(), 2u);
    EXPECT_EQ(Shown[0], QString("'x' is not a valid integer value"));
    EXPECT_EQ(Senders[0], &sender);
    EXPECT_EQ(Shown[1], QString("Unknown exception"));
}

TEST_F(ApplicationTest, StandardDisplayIsAnErrorBoxWithTheText)
{
    Application->SetOnException({});
    Application->SetTitle("Tonvara");
    try {
        throw std::runtime_error("Disk dolu");
    } catch (...) {
        Application->HandleException(nullptr);
    }
    Application->SetTitle(QString());
    ASSERT_EQ(Dialogs.size(), 1u);
    EXPECT_EQ(Dialogs[0].Text, QString("Disk dolu"));
    EXPECT_EQ(Dialogs[0].Caption, QString("Tonvara"));
    EXPECT_EQ(Dialogs[0].Type, mtError);
    EXPECT_EQ(Dialogs[0].Buttons, std::vector<TModalResult>({ mrOk }));
}

TEST_F(ApplicationTest, ExceptionFromAnotherThreadIsShownOnTheMainThread)
{
    std::thread worker([] {
        try {
            throw EInvalidOperation(QStringLiteral("from the worker"));
        } catch (...) {
            Application->HandleException(nullptr);
        }
    });
    worker.join();
    ASSERT_TRUE(WaitUntil([&] { return !Shown.empty(); }));
    EXPECT_EQ(Shown[0], QString("from the worker"));
}

namespace {

class TThrowingObject : public QObject {
protected:
    bool event(QEvent* e) override
    {
        if (e->type() == QEvent::User)
            throw EInvalidOperation(QStringLiteral("handler failed"));
        return QObject::event(e);
    }
};

} // namespace

TEST_F(ApplicationTest, ExceptionsEscapingEventHandlersReachTheDisplay)
{
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    ASSERT_NE(app, nullptr);
    TThrowingObject object;
    QEvent event(QEvent::User);
    EXPECT_FALSE(NotifyGuarded(app, &object, &event));
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_EQ(Shown[0], QString("handler failed"));
    QEvent harmless(QEvent::None);
    NotifyGuarded(app, &object, &harmless);
    EXPECT_EQ(Shown.size(), 1u);
}

TEST_F(ApplicationTest, MessageDialogsDescribeTheirButtons)
{
    EXPECT_EQ(MessageDlg("Program Şu Anda Zaten Çalışıyor!!", mtInformation, { mbOK }, 0), mrOk);
    ASSERT_EQ(Dialogs.size(), 1u);
    EXPECT_EQ(Dialogs[0].Caption, QString("Information"));
    EXPECT_EQ(Dialogs[0].Text, QString("Program Şu Anda Zaten Çalışıyor!!"));
    EXPECT_EQ(Dialogs[0].Type, mtInformation);
    EXPECT_EQ(Dialogs[0].Buttons, std::vector<TModalResult>({ mrOk }));

    EXPECT_EQ(MessageDlg("?", mtConfirmation, { mbCancel, mbNo, mbYes }), mrYes);
    EXPECT_EQ(Dialogs[1].Buttons, std::vector<TModalResult>({ mrYes, mrNo, mrCancel }));
    EXPECT_EQ(Dialogs[1].Caption, QString("Confirmation"));

    EXPECT_EQ(Application->MessageBox("Unable to load parcacik.bmp", "Loading Textures",
                  MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2),
        IDNO);
    EXPECT_EQ(Dialogs[2].Buttons, std::vector<TModalResult>({ IDYES, IDNO }));
    EXPECT_EQ(Dialogs[2].Type, mtConfirmation);
    EXPECT_EQ(Dialogs[2].Caption, QString("Loading Textures"));

    ShowMessage("hello");
    EXPECT_EQ(Dialogs[3].Buttons, std::vector<TModalResult>({ mrOk }));
}

TEST_F(ApplicationTest, MessageDialogFromAWorkerIsShownByTheMainThread)
{
    std::atomic<bool> done { false };
    std::atomic<int> result { 0 };
    bool shownOnMain = false;
    SetMessageDialogHandler([&](const TMessageDialogRequest& r) {
        shownOnMain = QThread::currentThread() == qApp->thread();
        return r.Buttons.back();
    });
    std::thread worker([&] {
        result = ShowMessageBox("x", "y", MB_OKCANCEL);
        done = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_TRUE(shownOnMain);
    EXPECT_EQ(result.load(), IDCANCEL);
}

TEST_F(ApplicationTest, RealModalBoxShowsTheTextAndReturnsTheClickedButton)
{
    SetMessageDialogHandler({});
    QString seenText;
    QString seenTitle;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr)
            return;
        seenText = box->text();
        seenTitle = box->windowTitle();
        for (QAbstractButton* button : box->buttons()) {
            if (button->text() == QLatin1String("&No"))
                button->click();
        }
    });
    closer.start(20);
    const TModalResult result = MessageDlg("Kaydı durdur?", mtConfirmation, { mbYes, mbNo });
    closer.stop();
    EXPECT_EQ(result, mrNo);
    EXPECT_EQ(seenText, QString("Kaydı durdur?"));
    EXPECT_EQ(seenTitle, QString("Confirmation"));
}

TEST_F(ApplicationTest, IdleRunsOnlyAsLongAsAskedFor)
{
    TApplication app(nullptr);
    QEventLoop loop;
    int spins = 0;
    // Done = false: called again and again without any event.
    app.SetOnIdle([&](TObject* sender, bool& done) {
        EXPECT_EQ(sender, &app);
        done = false;
        if (++spins == 50)
            loop.quit();
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, &loop, &QEventLoop::quit);
    watchdog.start(10000);
    loop.exec();
    EXPECT_EQ(spins, 50);

    // Done = true: once per wake-up, so a handful of events give a handful
    // of calls, not a spinning core.
    int calls = 0;
    app.SetOnIdle([&](TObject*, bool& done) {
        done = true;
        ++calls;
    });
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (++ticks == 5)
            loop.quit();
    });
    ticker.start(20);
    loop.exec();
    ticker.stop();
    EXPECT_GE(calls, 1);
    EXPECT_LE(calls, 40);

    app.SetOnIdle({});
    const int before = calls;
    ticks = 0;
    ticker.start(5);
    loop.exec();
    EXPECT_EQ(calls, before);
}

namespace {

class TTestMainForm : public TComponent {
    Q_OBJECT
public:
    explicit TTestMainForm(TComponent* owner)
        : TComponent(owner)
    {
    }
    Q_INVOKABLE void Show() { Shown = true; }
    bool Shown = false;
};

class TLoadingForm;
TLoadingForm* gLoadingForm = nullptr;

// Reads its stored form once complete, as forms do.
class TLoadingForm : public TComponent {
    Q_OBJECT
    Q_PROPERTY(QString Caption MEMBER FCaption)
public:
    using TComponent::TComponent;
    void AfterConstruction()
    {
        GlobalWasSet = gLoadingForm == this;
        const QByteArray text = Fail ? "object F: TLoadingForm\n  Nope = 1\nend\n"
                                     : "object F: TLoadingForm\n  Caption = 'Velmora'\nend\n";
        tonvara::test::ReadFormText(text, this, "F.dfm");
    }
    QString FCaption;
    bool GlobalWasSet = false;
    static inline bool Fail = false;
};

class TFailingForm : public TComponent {
    Q_OBJECT
public:
    explicit TFailingForm(TComponent* owner)
        : TComponent(owner)
    {
        throw EInvalidOperation(QStringLiteral("form failed"));
    }
};

} // namespace

TEST_F(ApplicationTest, RunShowsTheMainFormAndEndsOnTerminate)
{
    TApplication app(nullptr);
    app.Initialize();
    TTestMainForm* form = nullptr;
    TTestMainForm* second = nullptr;
    app.CreateForm(form);
    app.CreateForm(second);
    EXPECT_EQ(app.MainForm(), form);
    EXPECT_EQ(form->Owner(), &app);

    QTimer::singleShot(10, [&] {
        EXPECT_TRUE(form->Shown);
        app.Terminate();
    });
    app.Run();
    EXPECT_TRUE(app.Terminated());
    EXPECT_TRUE(form->Shown);
    EXPECT_FALSE(second->Shown);

    // Terminated: Run returns at once.
    app.Run();

    delete form;
    EXPECT_EQ(app.MainForm(), nullptr);

    app.CreateForm(gLoadingForm);
    ASSERT_NE(gLoadingForm, nullptr);
    EXPECT_TRUE(gLoadingForm->GlobalWasSet);
    EXPECT_EQ(gLoadingForm->FCaption, QString("Velmora"));
    EXPECT_EQ(gLoadingForm->Name(), QString("F"));
    delete gLoadingForm;
    const int before = app.ComponentCount();
    TLoadingForm::Fail = true;
    EXPECT_THROW(app.CreateForm(gLoadingForm), EReadError);
    TLoadingForm::Fail = false;
    EXPECT_EQ(gLoadingForm, nullptr);
    EXPECT_EQ(app.ComponentCount(), before);

    TFailingForm* failing = nullptr;
    EXPECT_THROW(app.CreateForm(failing), EInvalidOperation);
    EXPECT_EQ(failing, nullptr);
    EXPECT_EQ(app.ComponentCount(), 1);
}

TEST_F(ApplicationTest, TimerComponentFiresWhileEnabledAndSurvivesExceptions)
{
    TComponent owner(nullptr);
    auto* timer = new TTimer(&owner);
    EXPECT_TRUE(timer->Enabled());
    EXPECT_EQ(timer->Interval(), 1000);
    int ticks = 0;
    TObject* sender = nullptr;
    timer->SetInterval(10);
    timer->SetOnTimer([&](TObject* s) {
        sender = s;
        if (++ticks == 2)
            throw EInvalidOperation(QStringLiteral("tick failed"));
    });
    ASSERT_TRUE(WaitUntil([&] { return ticks >= 4; }));
    EXPECT_EQ(sender, timer);
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_EQ(Shown[0], QString("tick failed"));

    timer->SetEnabled(false);
    const int stopped = ticks;
    TRecordingWindow marker;
    SetTimer(marker.Handle(), 1, 30);
    ASSERT_TRUE(WaitUntil([&] { return marker.Received.size() >= 3; }));
    EXPECT_EQ(ticks, stopped);
}

#include "Application_test.moc"

TEST_F(ApplicationTest, AnExceptionWhileOneIsShownIsNotShownInsideIt)
{
    // The framework's own display: what a failing timer tick meets while
    // the box of the previous tick is still open.
    Application->SetOnException({});
    int nested = 0;
    SetMessageDialogHandler([&](const TMessageDialogRequest& r) {
        Dialogs.push_back(r);
        if (Dialogs.size() == 1) {
            // The box's modal loop delivers the next failure.
            try {
                throw Exception("second");
            } catch (...) {
                Application->HandleException(nullptr);
            }
            ++nested;
        }
        return r.DefaultButton;
    });
    try {
        throw Exception("first");
    } catch (...) {
        Application->HandleException(nullptr);
    }
    EXPECT_EQ(nested, 1);
    ASSERT_EQ(Dialogs.size(), 1u);
    EXPECT_EQ(Dialogs[0].Text, "first");
    // Once the box is closed, the next failure is shown again.
    try {
        throw Exception("third");
    } catch (...) {
        Application->HandleException(nullptr);
    }
    ASSERT_EQ(Dialogs.size(), 2u);
    EXPECT_EQ(Dialogs[1].Text, "third");
}
