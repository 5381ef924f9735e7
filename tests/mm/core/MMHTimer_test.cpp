#include "mm/core/MMHTimer.h"
#include "platform/kernel/SyncObjs.h"
#include "platform/mm/MMTimers.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/FormWriter.h"
#include "support/FormText.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QMetaProperty>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using tonvara::test::WaitUntil;

// The threads of the process now, by Linux thread id.
QStringList Threads()
{
    return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
}

// The threads of pools that libraries below us start on first use and keep
// for a while (GLib's and Qt's): no timer of ours makes them.
bool ForeignPoolThread(const QString& id)
{
    QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(id));
    if (!comm.open(QIODevice::ReadOnly))
        return false;
    const QByteArray name = comm.readAll().trimmed();
    return name.startsWith("pool-") || name == "gmain" || name == "gdbus" || name == "Thread (pooled)";
}

// How many threads run now that did not run at Baseline (threads of other
// parts that end meanwhile do not count).
int NewThreads(const QStringList& baseline)
{
    int count = 0;
    for (const QString& id : Threads())
        count += baseline.contains(id) || ForeignPoolThread(id) ? 0 : 1;
    return count;
}

// The names of those threads, for a failure message.
std::string NewThreadNames(const QStringList& baseline)
{
    std::string names;
    for (const QString& id : Threads()) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(id));
        if (!baseline.contains(id) && comm.open(QIODevice::ReadOnly))
            names += comm.readAll().trimmed().toStdString() + ' ';
    }
    return names;
}

bool IsGuiThread()
{
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

// What the handlers of one timer saw; shared so that a handler that runs
// late could never write into a dead test frame.
struct TTicks {
    std::atomic<int> Count { 0 };
    std::atomic<int> OnGuiThread { 0 };
    std::atomic<int> OffGuiThread { 0 };
    std::mutex Lock;
    std::vector<QThread*> Threads;
    std::vector<TObject*> Senders;

    TNotifyEvent Handler()
    {
        return [this](TObject* sender) {
            {
                std::lock_guard lock(Lock);
                Threads.push_back(QThread::currentThread());
                Senders.push_back(sender);
            }
            (IsGuiThread() ? OnGuiThread : OffGuiThread).fetch_add(1);
            Count.fetch_add(1);
        };
    }
};

// A timer that may choose callbacks at timer time, as on the one system
// that allowed them.
class TCallbackTimer : public TMMHiTimer {
    Q_OBJECT
public:
    using TMMHiTimer::TMMHiTimer;

protected:
    bool CallBacksAllowed() const override { return true; }
};

// Lets a few ticks pass on a timer of its own, to show that time went on.
void LetTicksPass(int count = 3)
{
    TMMHiTimer other(nullptr);
    auto ticks = std::make_shared<TTicks>();
    other.SetInterval(5);
    other.SetOnTimer(ticks->Handler());
    ASSERT_TRUE(WaitUntil([&] { return ticks->Count.load() >= count; }));
}

struct THiTimerTest : testing::Test {
    static void SetUpTestSuite()
    {
        // The multimedia timer thread and the application object come into
        // being on first use; they are there for good afterwards.
        TMMHiTimer warmUp(nullptr);
        auto ticks = std::make_shared<TTicks>();
        warmUp.SetInterval(5);
        warmUp.SetCallBackMode(cmThread);
        warmUp.SetOnTimer(ticks->Handler());
        ASSERT_TRUE(WaitUntil([&] { return ticks->Count.load() >= 1; }));
        (void)Application.Get();
    }

    void SetUp() override
    {
        FPreviousDialogs = SetMessageDialogHandler([this](const TMessageDialogRequest& request) {
            Dialogs.push_back(request);
            return mrOk;
        });
        Application->SetOnException([this](TObject* sender, const std::exception& e) {
            Exceptions.push_back({ sender, ExceptionMessage(e) });
        });
    }

    void TearDown() override
    {
        Application->SetOnException(nullptr);
        SetMessageDialogHandler(FPreviousDialogs);
    }

    struct TCaught {
        TObject* Sender;
        QString Message;
    };
    std::vector<TMessageDialogRequest> Dialogs;
    std::vector<TCaught> Exceptions;

private:
    TMessageDialogHandler FPreviousDialogs;
};

// ---------------------------------------------------------------------------

TEST_F(THiTimerTest, DefaultsAndPublishedProperties)
{
    TMMHiTimer timer(nullptr);
    EXPECT_EQ(timer.CallBackMode(), cmWindow);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000);
    EXPECT_FALSE(timer.OnTimer());
    EXPECT_EQ(timer.Priority(), tpNormal);
    EXPECT_TRUE(timer.Synchronize());
    EXPECT_FALSE(timer.WaitForTerminate());
    // Without OnTimer nothing is armed.
    EXPECT_EQ(timer.TimerID(), 0u);
    EXPECT_EQ(timer.WindowHandle(), nullptr);

    const QMetaObject* mo = &TMMHiTimer::staticMetaObject;
    QStringList own;
    for (int i = TMMNonVisualComponent::staticMetaObject.propertyCount(); i < mo->propertyCount(); ++i)
        own << QString::fromLatin1(mo->property(i).name());
    EXPECT_EQ(own,
        (QStringList { "CallBackMode", "Enabled", "Interval", "OnTimer", "Priority", "Synchronize",
            "WaitForTerminate" }));
    EXPECT_NE(GetClass(QStringLiteral("TMMHiTimer")), nullptr);
}

TEST_F(THiTimerTest, WindowModeTicksInTheGuiThreadAndDisarmsCompletely)
{
    auto ticks = std::make_shared<TTicks>();
    TMMHiTimer timer(nullptr);
    timer.SetInterval(10);
    timer.SetOnTimer(ticks->Handler());
    const UINT id = timer.TimerID();
    const HWND window = timer.WindowHandle();
    ASSERT_NE(id, 0u);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(IsWindow(window));

    ASSERT_TRUE(WaitUntil([&] { return ticks->Count.load() >= 3; }));
    EXPECT_EQ(ticks->OffGuiThread.load(), 0);
    {
        std::lock_guard lock(ticks->Lock);
        for (TObject* sender : ticks->Senders)
            EXPECT_EQ(sender, &timer);
    }

    timer.SetEnabled(false);
    EXPECT_EQ(timer.TimerID(), 0u);
    EXPECT_EQ(timer.WindowHandle(), nullptr);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(timeKillEvent(id), MMSYSERR_INVALPARAM);
    EXPECT_EQ(timer.PendingTicks(), 0);

    const int count = ticks->Count.load();
    LetTicksPass();
    EXPECT_EQ(ticks->Count.load(), count);
}

TEST_F(THiTimerTest, SlowHandlerNeverHasMoreThanTenTicksWaitingAndHandlesEachOnce)
{
    TMMHiTimer timer(nullptr);
    std::vector<unsigned> handled;
    std::atomic<int> maxQueued { 0 };
    std::atomic<int> maxPending { 0 };
    int depth = 0;
    int maxDepth = 0;
    auto noteMax = [](std::atomic<int>& max, int value) {
        int seen = max.load();
        while (value > seen && !max.compare_exchange_weak(seen, value)) { }
    };

    timer.SetInterval(50);
    timer.SetOnTimer([&](TObject*) {
        maxDepth = std::max(maxDepth, ++depth);
        handled.push_back(timer.CurrentTick());
        noteMax(maxQueued, PostedMessageCount(timer.WindowHandle()));
        noteMax(maxPending, timer.PendingTicks());
        // The handler's own work: four timer periods.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        --depth;
    });
    const HWND window = timer.WindowHandle();
    ASSERT_NE(window, nullptr);

    std::atomic<bool> sampling { true };
    std::thread sampler([&] {
        while (sampling.load()) {
            noteMax(maxQueued, PostedMessageCount(window));
            noteMax(maxPending, timer.PendingTicks());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const bool sawDrops = WaitUntil([&] { return timer.TicksDropped() > 0 && handled.size() >= 8; }, 30000);
    sampling.store(false);
    sampler.join();
    timer.SetEnabled(false);

    ASSERT_TRUE(sawDrops);
    EXPECT_LE(maxQueued.load(), kMaxPendingTicks);
    EXPECT_LE(maxPending.load(), kMaxPendingTicks);
    EXPECT_GE(maxQueued.load(), kMaxPendingTicks - 1); // the queue did fill up
    EXPECT_EQ(maxDepth, 1);
    // Every tick handled carries a number of its own, in posting order.
    ASSERT_FALSE(handled.empty());
    EXPECT_EQ(handled.front(), 1u);
    for (std::size_t i = 1; i < handled.size(); ++i)
        EXPECT_GT(handled[i], handled[i - 1]) << "tick " << handled[i] << " handled after " << handled[i - 1];
    EXPECT_LE(handled.back(), timer.TicksPosted());
}

TEST_F(THiTimerTest, EqualValuesDoNotRearm)
{
    auto ticks = std::make_shared<TTicks>();
    TMMHiTimer timer(nullptr);
    timer.SetInterval(20);
    timer.SetOnTimer(ticks->Handler());
    const UINT id = timer.TimerID();
    const HWND window = timer.WindowHandle();
    ASSERT_NE(id, 0u);

    timer.SetEnabled(true);
    timer.SetInterval(20);
    timer.SetCallBackMode(cmWindow);
    EXPECT_EQ(timer.TimerID(), id);
    EXPECT_EQ(timer.WindowHandle(), window);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_NE(timeKillEvent(id + 1000000), MMSYSERR_NOERROR);
}

TEST_F(THiTimerTest, ReassigningTheSameHandlerRearms)
{
    auto ticks = std::make_shared<TTicks>();
    TMMHiTimer timer(nullptr);
    timer.SetInterval(20);
    const TNotifyEvent handler = ticks->Handler();
    timer.SetOnTimer(handler);
    const UINT first = timer.TimerID();
    ASSERT_NE(first, 0u);
    timer.SetOnTimer(handler);
    const UINT second = timer.TimerID();
    ASSERT_NE(second, 0u);
    EXPECT_NE(second, first);
    EXPECT_EQ(timeKillEvent(first), MMSYSERR_INVALPARAM);
    ASSERT_TRUE(WaitUntil([&] { return ticks->Count.load() >= 2; }));
}

TEST_F(THiTimerTest, EachConditionDisarmsAndArmsAgain)
{
    auto ticks = std::make_shared<TTicks>();
    TMMHiTimer timer(nullptr);
    timer.SetInterval(20);
    timer.SetOnTimer(ticks->Handler());
    UINT id = timer.TimerID();
    ASSERT_NE(id, 0u);

    timer.SetInterval(30); // a new period re-arms
    EXPECT_NE(timer.TimerID(), 0u);
    EXPECT_NE(timer.TimerID(), id);
    EXPECT_EQ(timeKillEvent(id), MMSYSERR_INVALPARAM);

    timer.SetInterval(0);
    EXPECT_EQ(timer.TimerID(), 0u);
    EXPECT_EQ(timer.WindowHandle(), nullptr);
    timer.SetInterval(15);
    EXPECT_NE(timer.TimerID(), 0u);

    timer.SetOnTimer(nullptr);
    EXPECT_EQ(timer.TimerID(), 0u);
    timer.SetOnTimer(ticks->Handler());
    EXPECT_NE(timer.TimerID(), 0u);

    timer.SetEnabled(false);
    EXPECT_EQ(timer.TimerID(), 0u);
    timer.SetEnabled(true);
    EXPECT_NE(timer.TimerID(), 0u);
    const int before = ticks->Count.load();
    ASSERT_TRUE(WaitUntil([&] { return ticks->Count.load() >= before + 2; }));
}

TEST_F(THiTimerTest, DesignStateDisarmsAndLeavingItArmsAgain)
{
    auto ticks = std::make_shared<TTicks>();
    TMMHiTimer timer(nullptr);
    timer.SetInterval(10);
    timer.SetOnTimer(ticks->Handler());
    ASSERT_NE(timer.TimerID(), 0u);

    timer.SetDesignMode(true);
    EXPECT_TRUE(timer.ComponentState() & csDesigning);
    EXPECT_EQ(timer.TimerID(), 0u);
    EXPECT_EQ(timer.WindowHandle(), nullptr);
    // Changes in design state arm nothing.
    timer.SetInterval(12);
    timer.SetOnTimer(ticks->Handler());
    EXPECT_EQ(timer.TimerID(), 0u);
    const int count = ticks->Count.load();
    LetTicksPass();
    EXPECT_EQ(ticks->Count.load(), count);

    timer.SetDesignMode(false);
    EXPECT_NE(timer.TimerID(), 0u);
    ASSERT_TRUE(WaitUntil([&] { return ticks->Count.load() >= count + 2; }));
}

TEST_F(THiTimerTest, OwnerSwitchingToDesignStateStopsAnOwnedTimerToo)
{
    auto ticks = std::make_shared<TTicks>();
    TMMComponent owner(nullptr);
    auto* timer = new TMMHiTimer(&owner);
    timer->SetInterval(10);
    timer->SetOnTimer(ticks->Handler());
    ASSERT_NE(timer->TimerID(), 0u);
    timer->SetDesignMode(true);
    EXPECT_EQ(timer->TimerID(), 0u);
}

TEST_F(THiTimerTest, CallbackModeIsRefusedWithAMessage)
{
    auto ticks = std::make_shared<TTicks>();
    TMMHiTimer timer(nullptr);
    timer.SetInterval(20);
    timer.SetOnTimer(ticks->Handler());
    const UINT id = timer.TimerID();

    timer.SetCallBackMode(cmCallback);
    EXPECT_EQ(timer.CallBackMode(), cmWindow);
    ASSERT_EQ(Dialogs.size(), 1u);
    EXPECT_EQ(Dialogs[0].Text,
        QStringLiteral("\"CallBacks\" are called at interrupt time !\n\rThis is currently only supported "
                       "under Windows 95"));
    EXPECT_EQ(Dialogs[0].Caption, QStringLiteral("TMMHiTimer"));
    EXPECT_EQ(Dialogs[0].Buttons, std::vector<TModalResult> { mrOk });
    EXPECT_EQ(timer.TimerID(), id); // nothing was re-armed

    timer.SetCallBackMode(cmThread);
    EXPECT_EQ(timer.CallBackMode(), cmThread);
    EXPECT_EQ(Dialogs.size(), 1u);
}

TEST_F(THiTimerTest, CallbackModeRunsInTheTimerThread)
{
    auto ticks = std::make_shared<TTicks>();
    TCallbackTimer timer(nullptr);
    timer.SetCallBackMode(cmCallback);
    EXPECT_TRUE(Dialogs.empty());
    EXPECT_EQ(timer.CallBackMode(), cmCallback);
    timer.SetInterval(5);
    timer.SetOnTimer(ticks->Handler());
    EXPECT_EQ(timer.WindowHandle(), nullptr);
    EXPECT_FALSE(timer.ThreadActive());
    ASSERT_TRUE(WaitUntil([&] { return ticks->Count.load() >= 3; }));
    EXPECT_EQ(ticks->OnGuiThread.load(), 0);

    timer.SetEnabled(false);
    const int count = ticks->Count.load();
    LetTicksPass();
    EXPECT_EQ(ticks->Count.load(), count);
}

struct TThreadCase {
    const char* Name;
    bool Synchronize;
    bool WaitForTerminate;
};

TEST_F(THiTimerTest, ThreadModeRunsInTheWorkerOrSynchronisedInTheGuiThread)
{
    for (const TThreadCase& c : { TThreadCase { "worker", false, false },
             TThreadCase { "synchronised", true, false }, TThreadCase { "worker, waiting", false, true } }) {
        SCOPED_TRACE(c.Name);
        auto ticks = std::make_shared<TTicks>();
        TMMHiTimer timer(nullptr);
        timer.SetCallBackMode(cmThread);
        timer.SetSynchronize(c.Synchronize);
        timer.SetWaitForTerminate(c.WaitForTerminate);
        timer.SetInterval(5);
        timer.SetOnTimer(ticks->Handler());
        EXPECT_TRUE(timer.ThreadActive());
        EXPECT_EQ(timer.WindowHandle(), nullptr);
        ASSERT_NE(timer.ThreadHandle(), nullptr);
        ASSERT_TRUE(WaitUntil([&] { return ticks->Count.load() >= 3; }));
        if (c.Synchronize) {
            EXPECT_EQ(ticks->OffGuiThread.load(), 0);
        } else {
            EXPECT_EQ(ticks->OnGuiThread.load(), 0);
            std::lock_guard lock(ticks->Lock);
            // One worker runs every tick.
            for (QThread* thread : ticks->Threads)
                EXPECT_EQ(thread, ticks->Threads.front());
        }
        timer.SetEnabled(false);
        EXPECT_FALSE(timer.ThreadActive());
        const int count = ticks->Count.load();
        LetTicksPass();
        EXPECT_EQ(ticks->Count.load(), count);
    }
}

TEST_F(THiTimerTest, WorkerTakesThePriorityAndFollowsItsChanges)
{
    auto ticks = std::make_shared<TTicks>();
    TMMHiTimer timer(nullptr);
    timer.SetCallBackMode(cmThread);
    timer.SetPriority(tpLowest);
    timer.SetInterval(20);
    timer.SetOnTimer(ticks->Handler());
    const HANDLE thread = timer.ThreadHandle();
    ASSERT_NE(thread, nullptr);
    // The worker sets its priority before it reports that it runs.
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_LOWEST);
    timer.SetPriority(tpHigher);
    EXPECT_EQ(timer.Priority(), tpHigher);
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_ABOVE_NORMAL);
}

// ---------------------------------------------------------------------------
// Destruction

struct TDestroyCase {
    const char* Name;
    TMMCBMode Mode;
    bool Synchronize;
    bool WaitForTerminate;
};

TEST_F(THiTimerTest, DestroyingAnArmedTimerLeavesNoTimerWindowThreadOrEvent)
{
    const TDestroyCase cases[] = {
        { "window", cmWindow, true, false },
        { "callback", cmCallback, true, false },
        { "thread, synchronised", cmThread, true, false },
        { "thread, in the worker", cmThread, false, false },
        { "thread, waiting for the worker", cmThread, false, true },
        { "thread, synchronised and waiting", cmThread, true, true },
    };
    for (const TDestroyCase& c : cases) {
        SCOPED_TRACE(c.Name);
        ASSERT_TRUE(WaitUntil([] { return true; }));
        const QStringList baseline = Threads();
        auto ticks = std::make_shared<TTicks>();
        auto* timer = new TCallbackTimer(nullptr);
        timer->SetCallBackMode(c.Mode);
        timer->SetSynchronize(c.Synchronize);
        timer->SetWaitForTerminate(c.WaitForTerminate);
        timer->SetInterval(5);
        timer->SetOnTimer(ticks->Handler());
        ASSERT_TRUE(WaitUntil([&] { return ticks->Count.load() >= 2; }));

        const UINT id = timer->TimerID();
        const HWND window = timer->WindowHandle();
        const HANDLE thread = timer->ThreadHandle();
        const HANDLE tick = timer->TickEvent();
        const HANDLE started = timer->StartedEvent();
        ASSERT_NE(id, 0u);
        EXPECT_EQ(window != nullptr, c.Mode == cmWindow);
        EXPECT_EQ(thread != nullptr, c.Mode == cmThread);
        if (c.Mode == cmThread) {
            EXPECT_EQ(NewThreads(baseline), 1);
        }

        delete timer;
        const int count = ticks->Count.load();

        EXPECT_EQ(timeKillEvent(id), MMSYSERR_INVALPARAM);
        if (window != nullptr) {
            EXPECT_FALSE(IsWindow(window));
        }
        EXPECT_TRUE(WaitUntil([&] { return NewThreads(baseline) == 0; }))
            << NewThreads(baseline) << " threads left: " << NewThreadNames(baseline);
        if (thread != nullptr) {
            EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
        }
        if (tick != nullptr) {
            EXPECT_FALSE(SetEvent(tick));
            EXPECT_FALSE(SetEvent(started));
        }
        LetTicksPass();
        EXPECT_EQ(ticks->Count.load(), count); // no OnTimer after destruction
    }
}

TEST_F(THiTimerTest, TimerDestroyedInsideItsOwnHandlerInTheGuiThread)
{
    for (TMMCBMode mode : { cmWindow, cmThread }) {
        SCOPED_TRACE(mode);
        const QStringList baseline = Threads();
        auto* timer = new TMMHiTimer(nullptr);
        QPointer<TMMHiTimer> watch(timer);
        int calls = 0;
        timer->SetCallBackMode(mode);
        timer->SetWaitForTerminate(true);
        timer->SetInterval(5);
        timer->SetOnTimer([&](TObject*) {
            ++calls;
            delete timer;
        });
        ASSERT_TRUE(WaitUntil([&] { return watch.isNull(); }));
        EXPECT_TRUE(WaitUntil([&] { return NewThreads(baseline) == 0; })) << NewThreadNames(baseline);
        LetTicksPass();
        EXPECT_EQ(calls, 1);
    }
}

TEST_F(THiTimerTest, DisarmingFromInsideTheHandlerKeepsTheTickCountRight)
{
    auto ticks = std::make_shared<TTicks>();
    TMMHiTimer timer(nullptr);
    int inHandler = 0;
    timer.SetInterval(5);
    timer.SetOnTimer([&](TObject*) {
        ++inHandler;
        if (inHandler == 1) {
            // A new period from inside the handler: a new window, a fresh
            // count that the old tick must not lower.
            timer.SetInterval(6);
        } else if (inHandler == 3) {
            timer.SetEnabled(false);
        }
        EXPECT_GE(timer.PendingTicks(), 0);
    });
    ASSERT_TRUE(WaitUntil([&] { return inHandler >= 3; }));
    EXPECT_EQ(timer.TimerID(), 0u);
    EXPECT_EQ(timer.PendingTicks(), 0);
    LetTicksPass();
    EXPECT_EQ(inHandler, 3);

    timer.SetEnabled(true);
    ASSERT_TRUE(WaitUntil([&] { return inHandler >= 5; }));
    EXPECT_GE(timer.PendingTicks(), 0);
    EXPECT_LE(timer.PendingTicks(), kMaxPendingTicks);
}

TEST_F(THiTimerTest, DisarmingFromInsideASynchronisedHandlerDoesNotWaitForItself)
{
    TMMHiTimer timer(nullptr);
    std::atomic<int> calls { 0 };
    timer.SetCallBackMode(cmThread);
    timer.SetWaitForTerminate(true);
    timer.SetInterval(5);
    const QStringList baseline = Threads();
    timer.SetOnTimer([&](TObject*) {
        EXPECT_TRUE(IsGuiThread());
        if (calls.fetch_add(1) == 0)
            timer.SetEnabled(false);
    });
    ASSERT_TRUE(WaitUntil([&] { return calls.load() >= 1; }));
    EXPECT_FALSE(timer.ThreadActive());
    EXPECT_EQ(timer.TimerID(), 0u);
    EXPECT_TRUE(WaitUntil([&] { return NewThreads(baseline) == 0; }));
    LetTicksPass();
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(THiTimerTest, DisarmingWaitsForAHandlerRunningInTheWorker)
{
    TMMHiTimer timer(nullptr);
    TEvent entered(true, false);
    std::atomic<bool> running { false };
    std::atomic<int> calls { 0 };
    timer.SetCallBackMode(cmThread);
    timer.SetSynchronize(false);
    timer.SetInterval(5);
    timer.SetOnTimer([&](TObject*) {
        running.store(true);
        calls.fetch_add(1);
        entered.SetEvent();
        // A handler that also needs the GUI thread while the timer is being
        // disarmed there.
        TThread::SynchronizeMethod([] {});
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        running.store(false);
    });
    ASSERT_EQ(entered.WaitFor(10000), wrSignaled);
    timer.SetEnabled(false);
    EXPECT_FALSE(running.load());
    const int count = calls.load();
    LetTicksPass();
    EXPECT_EQ(calls.load(), count);
}

// ---------------------------------------------------------------------------
// Failures

TEST_F(THiTimerTest, HandlerExceptionsGoToTheApplicationAndTheTimerGoesOn)
{
    TMMHiTimer timer(nullptr);
    int calls = 0;
    timer.SetInterval(5);
    timer.SetOnTimer([&](TObject*) {
        ++calls;
        throw EInvalidOperation("tick failed");
    });
    ASSERT_TRUE(WaitUntil([&] { return calls >= 3 && Exceptions.size() >= 3; }));
    EXPECT_EQ(Exceptions[0].Sender, &timer);
    EXPECT_EQ(Exceptions[0].Message, QStringLiteral("tick failed"));
    EXPECT_NE(timer.TimerID(), 0u);
}

TEST_F(THiTimerTest, WorkerHandlerExceptionsGoToTheApplication)
{
    TMMHiTimer timer(nullptr);
    std::atomic<int> calls { 0 };
    timer.SetCallBackMode(cmThread);
    timer.SetSynchronize(false);
    timer.SetInterval(5);
    timer.SetOnTimer([&](TObject*) {
        calls.fetch_add(1);
        throw EInvalidOperation("worker tick failed");
    });
    ASSERT_TRUE(WaitUntil([&] { return calls.load() >= 3 && Exceptions.size() >= 2; }));
    EXPECT_EQ(Exceptions[0].Message, QStringLiteral("worker tick failed"));
    EXPECT_TRUE(timer.ThreadActive());
    timer.SetEnabled(false);
}

TEST_F(THiTimerTest, NoTimerForTheIntervalRaisesAndLeavesNothingArmed)
{
    for (TMMCBMode mode : { cmWindow, cmThread }) {
        SCOPED_TRACE(mode);
        const QStringList baseline = Threads();
        auto ticks = std::make_shared<TTicks>();
        TMMHiTimer timer(nullptr);
        timer.SetCallBackMode(mode);
        timer.SetInterval(2000000);
        try {
            timer.SetOnTimer(ticks->Handler());
            FAIL() << "no exception";
        } catch (const EOutOfResources& e) {
            EXPECT_EQ(e.Message(), QStringLiteral("Not enough timers available"));
        }
        EXPECT_EQ(timer.Interval(), 2000000);
        EXPECT_EQ(timer.TimerID(), 0u);
        EXPECT_EQ(timer.WindowHandle(), nullptr);
        EXPECT_FALSE(timer.ThreadActive());
        EXPECT_TRUE(WaitUntil([&] { return NewThreads(baseline) == 0; }));

        // A period that can be had arms again.
        timer.SetInterval(5);
        EXPECT_NE(timer.TimerID(), 0u);
        ASSERT_TRUE(WaitUntil([&] { return ticks->Count.load() >= 1; }));
    }
}

// A worker that signals its start only after arming gave up on it.
class TLateWorkerTimer : public TMMHiTimer {
    Q_OBJECT
public:
    using TMMHiTimer::TMMHiTimer;
    bool Late = true;

protected:
    bool WaitForWorkerStart(DWORD milliseconds) override
    {
        return TMMHiTimer::WaitForWorkerStart(milliseconds) && !Late;
    }
};

TEST_F(THiTimerTest, AWorkerThatDoesNotSignalItsStartRaisesAndLeavesNothingArmed)
{
    const QStringList baseline = Threads();
    auto ticks = std::make_shared<TTicks>();
    TLateWorkerTimer timer(nullptr);
    timer.SetCallBackMode(cmThread);
    timer.SetInterval(5);
    try {
        timer.SetOnTimer(ticks->Handler());
        FAIL() << "no exception";
    } catch (const EMMHiTimerError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("HiTimer:\n\rCould not create thread"));
    }
    EXPECT_FALSE(timer.ThreadActive());
    EXPECT_EQ(timer.ThreadHandle(), nullptr);
    EXPECT_EQ(timer.TickEvent(), nullptr);
    EXPECT_EQ(timer.TimerID(), 0u);
    EXPECT_TRUE(WaitUntil([&] { return NewThreads(baseline) == 0; }))
        << NewThreads(baseline) << " threads left: " << NewThreadNames(baseline);

    timer.Late = false;
    timer.SetOnTimer(ticks->Handler());
    EXPECT_TRUE(timer.ThreadActive());
    ASSERT_TRUE(WaitUntil([&] { return ticks->Count.load() >= 1; }));
}

TEST_F(THiTimerTest, NegativeIntervalCannotBeArmed)
{
    auto ticks = std::make_shared<TTicks>();
    TMMHiTimer timer(nullptr);
    timer.SetOnTimer(ticks->Handler());
    EXPECT_THROW(timer.SetInterval(-5), EOutOfResources);
    EXPECT_EQ(timer.TimerID(), 0u);
}

// ---------------------------------------------------------------------------
// Stored forms

class TTimerForm : public TComponent {
    Q_OBJECT
    Q_PROPERTY(TMMHiTimer* Timer1 MEMBER Timer1 STORED false)
public:
    using TComponent::TComponent;
    TMMHiTimer* Timer1 = nullptr;
    int Fired = 0;
    UINT ArmedWhenLoaded = 0;

    Q_INVOKABLE void Timer1Timer(TObject*) { ++Fired; }

protected:
    void Loaded() override
    {
        TComponent::Loaded();
        if (Timer1 != nullptr)
            ArmedWhenLoaded = Timer1->TimerID();
    }
};

TEST_F(THiTimerTest, StoredFormArmsTheTimerWhileLoadingAndWritesOnlyWhatDiffers)
{
    const QByteArray text = "object TimerForm: TTimerForm\n"
                            "  object Timer1: TMMHiTimer\n"
                            "    Interval = 7\n"
                            "    OnTimer = Timer1Timer\n"
                            "    Priority = tpHigher\n"
                            "  end\n"
                            "end\n";
    TTimerForm form(nullptr);
    tonvara::test::ReadFormText(text, &form, QStringLiteral("timer.form"));
    ASSERT_NE(form.Timer1, nullptr);
    EXPECT_NE(form.ArmedWhenLoaded, 0u);
    EXPECT_EQ(form.Timer1->Interval(), 7);
    EXPECT_EQ(form.Timer1->Priority(), tpHigher);
    ASSERT_TRUE(WaitUntil([&] { return form.Fired >= 2; }));

    const QString written = QString::fromUtf8(ComponentToText(&form));
    EXPECT_TRUE(written.contains(QStringLiteral("Interval = 7"))) << written.toStdString();
    EXPECT_TRUE(written.contains(QStringLiteral("OnTimer = Timer1Timer"))) << written.toStdString();
    EXPECT_TRUE(written.contains(QStringLiteral("Priority = tpHigher"))) << written.toStdString();
    for (const char* name : { "CallBackMode", "Enabled", "Synchronize", "WaitForTerminate" })
        EXPECT_FALSE(written.contains(QLatin1String(name))) << name << " in\n" << written.toStdString();
}

} // namespace

#include "MMHTimer_test.moc"
