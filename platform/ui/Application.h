#pragma once
// The application object: form creation, the message loop with idle
// processing, termination, the standard exception display, and running
// code in the main (GUI) thread for other threads.
//
// `Application` is always there once a QApplication exists: it is created
// on first use and destroyed with the QApplication. The program's main
// creates a TQtApplication (rather than a plain QApplication), so that an
// exception escaping a Qt event handler reaches the exception display
// instead of ending the program:
//
//     int main(int argc, char** argv)
//     {
//         TQtApplication app(argc, argv);
//         Application->Initialize();
//         Application->CreateForm(AnaForm);
//         Application->Run();
//     }
//
// The framework's own dispatch points (hidden windows, timers, synchronised
// calls) catch exceptions themselves and hand them to HandleException, so
// they behave the same under a plain QApplication (as in the tests).

#include "platform/kernel/WinTypes.h"
#include "platform/ui/Classes.h"

#include <QApplication>
#include <exception>
#include <functional>

class QEvent;

using TExceptionEvent = std::function<void(TObject* Sender, const std::exception& E)>;
using TIdleEvent = std::function<void(TObject* Sender, bool& Done)>;
Q_DECLARE_METATYPE(TExceptionEvent)
Q_DECLARE_METATYPE(TIdleEvent)

/// The program's application object. GUI thread unless a member says
/// otherwise.
class TApplication : public TComponent {
    Q_OBJECT
    Q_PROPERTY(QString Title READ Title WRITE SetTitle)
    Q_PROPERTY(bool ShowMainForm READ ShowMainForm WRITE SetShowMainForm)
    Q_PROPERTY(TExceptionEvent OnException READ OnException WRITE SetOnException)
    Q_PROPERTY(TIdleEvent OnIdle READ OnIdle WRITE SetOnIdle)
public:
    explicit TApplication(TComponent* owner = nullptr);
    ~TApplication() override;

    /// Prepares the message loop: closing the last window no longer ends
    /// it (Terminate does, as closing the main form does).
    void Initialize();

    /// Creates a form of class T owned by the application and stores it in
    /// Reference; the first form created becomes the main form.
    ///
    /// When T has a public AfterConstruction() member, it is called once the
    /// object is complete and Reference is set: the place for a form to read
    /// its stored form and fire OnCreate, since during a base class's
    /// constructor the object's meta-object is still the base's (the derived
    /// form's handlers and fields could not be found), and handlers may use
    /// Reference as the program's global form variable.
    ///
    /// An exception from the constructor or AfterConstruction propagates;
    /// the half-made form is destroyed and Reference is null.
    template <class T> void CreateForm(T*& reference)
    {
        reference = nullptr;
        T* form = new T(this);
        reference = form;
        if constexpr (requires { form->AfterConstruction(); }) {
            try {
                form->AfterConstruction();
            } catch (...) {
                reference = nullptr;
                delete form;
                throw;
            }
        }
        FormCreated(form);
    }

    /// The form CreateForm made first; null before.
    TComponent* MainForm() const { return FMainForm; }
    void SetMainForm(TComponent* form);

    /// Shows the main form (through its Show() invokable or its Visible
    /// property), then runs the message loop until Terminate. Returns at
    /// once when there is no main form or Terminate was already called.
    void Run();

    /// Handles every message waiting now, then returns.
    void ProcessMessages();

    /// Waits for at least one message and handles what is waiting; runs
    /// OnIdle when the queue is empty.
    void HandleMessage();

    /// Ends Run (also from inside nested modal loops). Any thread.
    void Terminate();
    bool Terminated() const { return FTerminated; }

    /// The standard exception display; call inside a catch block. EAbort is
    /// ignored; otherwise OnException gets the exception when set, else
    /// ShowException shows it. Any thread: from another thread the
    /// exception is handed to the GUI thread and handled there later (with
    /// a null Sender), and the call returns at once.
    void HandleException(TObject* sender);
    /// The same for a captured exception.
    void HandleException(TObject* sender, std::exception_ptr error);

    /// A message box with the exception's text, captioned with Title, an
    /// error icon and an OK button. The program goes on.
    void ShowException(const std::exception& error);

    /// The Windows message box (Dialogs.h: ShowMessageBox).
    int MessageBox(const QString& text, const QString& caption, UINT flags);

    /// Caption of message boxes; the application name by default.
    QString Title() const;
    void SetTitle(const QString& value) { FTitle = value; }

    bool ShowMainForm() const { return FShowMainForm; }
    void SetShowMainForm(bool value) { FShowMainForm = value; }

    TExceptionEvent OnException() const { return FOnException; }
    void SetOnException(const TExceptionEvent& value) { FOnException = value; }

    /// Runs whenever the message queue has run empty. Done (true when
    /// called) set to false asks to be called again at once, without
    /// waiting for a message; otherwise the loop sleeps until the next
    /// message. Nothing runs while OnIdle is unassigned.
    TIdleEvent OnIdle() const { return FOnIdle; }
    void SetOnIdle(const TIdleEvent& value);

protected:
    void Notification(TComponent* component, TOperation operation) override;

private:
    void FormCreated(TComponent* form);
    void DoIdle();

    int FFinder = 0;
    TComponent* FMainForm = nullptr;
    bool FTerminated = false;
    bool FRunning = false;
    bool FShowingException = false;
    bool FShowMainForm = true;
    bool FInIdle = false;
    QString FTitle;
    TExceptionEvent FOnException;
    TIdleEvent FOnIdle;
    QMetaObject::Connection FIdleConnection;
};

/// Gives access to the one TApplication, creating it on first use.
class TApplicationAccess {
public:
    TApplication* operator->() const { return Get(); }
    operator TApplication*() const { return Get(); }
    /// The application object; created in the GUI thread on first use (a
    /// first use from another thread waits for the GUI thread to create it).
    /// Null when no QCoreApplication exists.
    static TApplication* Get();
};

/// The application object: Application->Run().
extern const TApplicationAccess Application;

/// A QApplication whose event delivery hands exceptions escaping event
/// handlers to Application->HandleException; the event counts as not
/// handled and the program goes on.
class TQtApplication : public QApplication {
    Q_OBJECT
public:
    TQtApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

/// What TQtApplication::notify does, for any QApplication: delivers Event
/// through App's QApplication::notify and turns an escaping exception into
/// Application->HandleException(nullptr) and false.
bool NotifyGuarded(QApplication* app, QObject* receiver, QEvent* event);

/// Runs Method in the GUI thread and waits until it has run; an exception it
/// raises is raised again in the caller. In the GUI thread itself (or
/// without a QCoreApplication) Method runs directly. The GUI thread serves
/// these calls whenever it processes events: in its message loop, in modal
/// dialogs and in ProcessMessages-based delays. This is the handler
/// TThread::Synchronize uses; it is installed when this unit is linked.
/// Must not be called from a thread the GUI thread is waiting for.
void SynchronizeWithMainThread(const std::function<void()>& method);

/// Runs the synchronised calls waiting now; returns whether there were
/// any. GUI thread; for code that waits in the GUI thread without
/// processing events.
bool CheckSynchronize();

/// Whether the caller runs in the GUI thread (QCoreApplication's thread).
bool IsMainThread();
