#include "platform/ui/Application.h"

#include "platform/kernel/Threads.h"
#include "platform/ui/Dialogs.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QMetaProperty>
#include <QScopeGuard>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>

const TApplicationAccess Application;

namespace {

std::atomic<TApplication*> gApplication { nullptr };

// ---------------------------------------------------------------------------
// Synchronised calls: a queue the GUI thread empties whenever it gets the
// wake event, so that it serves them in every kind of event processing.

const QEvent::Type kSyncEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct TSyncRequest {
    const std::function<void()>* Method = nullptr;
    std::exception_ptr Error;
    bool Done = false;
};

class TSyncReceiver : public QObject {
protected:
    bool event(QEvent* e) override
    {
        if (e->type() == kSyncEvent) {
            CheckSynchronize();
            return true;
        }
        return QObject::event(e);
    }
};

struct TSyncState {
    std::mutex Lock;
    std::condition_variable Finished;
    std::deque<TSyncRequest*> Queue;
    TSyncReceiver* Receiver = nullptr; // lives in the GUI thread
    bool ShutDown = false;
};

TSyncState& SyncState()
{
    static TSyncState state;
    return state;
}

// With the QApplication gone nobody serves the queue: run what waits, and
// let later calls run directly in their callers.
void ShutDownSynchronize()
{
    CheckSynchronize();
    TSyncState& s = SyncState();
    std::lock_guard lock(s.Lock);
    s.ShutDown = true;
    delete s.Receiver;
    s.Receiver = nullptr;
}

void SynchronizeHandler(const std::function<void()>& method)
{
    SynchronizeWithMainThread(method);
}

const bool kSynchronizeInstalled = [] {
    TThread::SetSynchronizeHandler(&SynchronizeHandler);
    return true;
}();

void DestroyApplication()
{
    delete gApplication.load();
    ShutDownSynchronize();
}

void ShowForm(TComponent* form)
{
    const QMetaObject* mo = form->metaObject();
    const int show = mo->indexOfMethod("Show()");
    if (show >= 0) {
        mo->method(show).invoke(form, Qt::DirectConnection);
        return;
    }
    const int visible = mo->indexOfProperty("Visible");
    if (visible >= 0)
        mo->property(visible).write(form, QVariant(true));
}

} // namespace

// ---------------------------------------------------------------------------

bool IsMainThread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app == nullptr || QThread::currentThread() == app->thread();
}

void SynchronizeWithMainThread(const std::function<void()>& method)
{
    if (QCoreApplication::instance() == nullptr || IsMainThread()) {
        method();
        return;
    }
    TSyncState& s = SyncState();
    TSyncRequest request;
    request.Method = &method;
    {
        std::unique_lock lock(s.Lock);
        if (s.ShutDown) {
            lock.unlock();
            method();
            return;
        }
        if (s.Receiver == nullptr) {
            // Made here, pushed to the GUI thread from here: moveToThread
            // must be called in the object's current thread.
            s.Receiver = new TSyncReceiver;
            s.Receiver->moveToThread(QCoreApplication::instance()->thread());
        }
        s.Queue.push_back(&request);
        QCoreApplication::postEvent(s.Receiver, new QEvent(kSyncEvent));
        s.Finished.wait(lock, [&request] { return request.Done; });
    }
    if (request.Error)
        std::rethrow_exception(request.Error);
}

bool CheckSynchronize()
{
    if (!IsMainThread())
        return false;
    TSyncState& s = SyncState();
    bool any = false;
    for (;;) {
        TSyncRequest* request = nullptr;
        {
            std::lock_guard lock(s.Lock);
            if (s.Queue.empty())
                break;
            request = s.Queue.front();
            s.Queue.pop_front();
        }
        any = true;
        try {
            (*request->Method)();
        } catch (...) {
            request->Error = std::current_exception();
        }
        std::lock_guard lock(s.Lock);
        request->Done = true;
        s.Finished.notify_all();
    }
    return any;
}

// ---------------------------------------------------------------------------

TApplication* TApplicationAccess::Get()
{
    if (TApplication* app = gApplication.load())
        return app;
    if (QCoreApplication::instance() == nullptr)
        return nullptr;
    if (!IsMainThread()) {
        SynchronizeWithMainThread([] { Get(); });
        return gApplication.load();
    }
    auto* app = new TApplication(nullptr);
    qAddPostRoutine(&DestroyApplication);
    return app;
}

TApplication::TApplication(TComponent* owner)
    : TComponent(owner)
{
    TApplication* expected = nullptr;
    gApplication.compare_exchange_strong(expected, this);
    TThread::SetSynchronizeHandler(&SynchronizeHandler);
    FFinder = RegisterFindGlobalComponent([this](const QString& name) { return FindComponent(name); });
}

TApplication::~TApplication()
{
    UnregisterFindGlobalComponent(FFinder);
    if (FIdleConnection)
        QObject::disconnect(FIdleConnection);
    // The forms go while the application is still whole, so that its
    // Notification clears MainForm.
    Destroying();
    DestroyComponents();
    TApplication* self = this;
    gApplication.compare_exchange_strong(self, nullptr);
}

void TApplication::Initialize()
{
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        app->setQuitOnLastWindowClosed(false);
}

void TApplication::FormCreated(TComponent* form)
{
    if (FMainForm == nullptr)
        FMainForm = form;
}

void TApplication::SetMainForm(TComponent* form)
{
    FMainForm = form;
}

void TApplication::Notification(TComponent* component, TOperation operation)
{
    TComponent::Notification(component, operation);
    if (operation == opRemove && component == FMainForm)
        FMainForm = nullptr;
}

void TApplication::Run()
{
    if (FRunning || FMainForm == nullptr || FTerminated)
        return;
    FRunning = true;
    try {
        if (FShowMainForm)
            ShowForm(FMainForm);
        if (!FTerminated)
            QCoreApplication::exec();
    } catch (...) {
        FRunning = false;
        throw;
    }
    FRunning = false;
    FTerminated = true;
}

void TApplication::ProcessMessages()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TApplication::HandleMessage()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void TApplication::Terminate()
{
    FTerminated = true;
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr)
        return;
    if (IsMainThread())
        QCoreApplication::exit(0);
    else
        QMetaObject::invokeMethod(
            app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void TApplication::HandleException(TObject* sender)
{
    HandleException(sender, std::current_exception());
}

void TApplication::HandleException(TObject* sender, std::exception_ptr error)
{
    if (!error)
        return;
    if (!IsMainThread()) {
        // The sender may be gone by the time the GUI thread gets to it.
        QMetaObject::invokeMethod(
            this, [this, error] { HandleException(nullptr, error); }, Qt::QueuedConnection);
        return;
    }
    auto show = [&](const std::exception& e) {
        try {
            if (FOnException) {
                FOnException(sender, e);
            } else if (FShowingException) {
                // A timer that fails on every tick would otherwise open a
                // box inside the box's own modal loop, again and again,
                // until the stack gave out. One box at a time; the rest go
                // to stderr.
                std::fprintf(stderr, "%s\n", qPrintable(ExceptionMessage(e)));
            } else {
                FShowingException = true;
                const auto done = qScopeGuard([this] { FShowingException = false; });
                ShowException(e);
            }
        } catch (...) {
            // The display itself failed; stderr is all that is left.
            std::fprintf(stderr, "%s\n", qPrintable(ExceptionMessage(std::current_exception())));
        }
    };
    try {
        std::rethrow_exception(error);
    } catch (const EAbort&) {
        return;
    } catch (const std::exception& e) {
        show(e);
    } catch (...) {
        show(Exception(QStringLiteral("Unknown exception")));
    }
}

void TApplication::ShowException(const std::exception& error)
{
    MessageBox(ExceptionMessage(error), Title(), MB_OK | MB_ICONSTOP);
}

int TApplication::MessageBox(const QString& text, const QString& caption, UINT flags)
{
    return ShowMessageBox(text, caption, flags);
}

QString TApplication::Title() const
{
    return FTitle.isEmpty() ? QCoreApplication::applicationName() : FTitle;
}

void TApplication::SetOnIdle(const TIdleEvent& value)
{
    FOnIdle = value;
    if (FOnIdle && !FIdleConnection) {
        if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread()))
            FIdleConnection
                = connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &TApplication::DoIdle);
    } else if (!FOnIdle && FIdleConnection) {
        QObject::disconnect(FIdleConnection);
        FIdleConnection = {};
    }
}

void TApplication::DoIdle()
{
    if (FInIdle || !FOnIdle)
        return;
    FInIdle = true;
    bool done = true;
    try {
        const TIdleEvent idle = FOnIdle;
        idle(this, done);
    } catch (...) {
        HandleException(this);
    }
    FInIdle = false;
    if (!done) {
        // Asked to be called again: keep the loop from going to sleep.
        if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread()))
            dispatcher->wakeUp();
    }
}

// ---------------------------------------------------------------------------

TQtApplication::TQtApplication(int& argc, char** argv)
    : QApplication(argc, argv)
{
}

bool TQtApplication::notify(QObject* receiver, QEvent* event)
{
    return NotifyGuarded(this, receiver, event);
}

bool NotifyGuarded(QApplication* app, QObject* receiver, QEvent* event)
{
    try {
        return app->QApplication::notify(receiver, event);
    } catch (...) {
        if (TApplication* application = Application)
            application->HandleException(nullptr, std::current_exception());
        return false;
    }
}
