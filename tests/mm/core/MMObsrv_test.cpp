#include "mm/core/MMObsrv.h"

#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

struct TCall {
    TObject* Sender;
    TObject* Data;
};

// Observers that write into one shared log, to show the order of calls.
struct TObserverSet {
    std::vector<std::unique_ptr<TMMObserver>> Items;
    std::vector<int> Order;
    std::vector<TCall> Calls;

    TMMObserver* Make(int id)
    {
        auto observer = std::make_unique<TMMObserver>();
        observer->SetOnNotify([this, id](TObject* sender, TObject* data) {
            Order.push_back(id);
            Calls.push_back({ sender, data });
        });
        Items.push_back(std::move(observer));
        return Items.back().get();
    }
};

TEST(TMMObservableTest, NotifiesInReverseAttachOrderWithObserverAsSender)
{
    TMMObservable observable;
    TObserverSet set;
    TMMObserver* a = set.Make(1);
    TMMObserver* b = set.Make(2);
    TMMObserver* c = set.Make(3);
    observable.AddObserver(a);
    observable.AddObserver(b);
    observable.AddObserver(c);

    TObject payload;
    observable.NotifyObservers(&payload);
    EXPECT_EQ(set.Order, (std::vector<int> { 3, 2, 1 }));
    ASSERT_EQ(set.Calls.size(), 3u);
    EXPECT_EQ(set.Calls[0].Sender, c);
    EXPECT_EQ(set.Calls[2].Sender, a);
    for (const TCall& call : set.Calls)
        EXPECT_EQ(call.Data, &payload);
}

TEST(TMMObservableTest, AttachingAnAttachedObserverMovesIt)
{
    TMMObservable first;
    TMMObservable second;
    TObserverSet set;
    TMMObserver* a = set.Make(1);
    TMMObserver* b = set.Make(2);
    first.AddObserver(a);
    first.AddObserver(b);
    second.AddObserver(a);

    EXPECT_EQ(a->Observable(), &second);
    EXPECT_EQ(first.Observers(), QList<TMMObserver*> { b });
    EXPECT_EQ(second.Observers(), QList<TMMObserver*> { a });

    first.NotifyObservers(nullptr);
    EXPECT_EQ(set.Order, std::vector<int> { 2 });
    second.NotifyObservers(nullptr);
    EXPECT_EQ(set.Order, (std::vector<int> { 2, 1 }));
}

TEST(TMMObservableTest, ReattachingToTheSameObservableMovesItToTheEnd)
{
    TMMObservable observable;
    TObserverSet set;
    TMMObserver* a = set.Make(1);
    TMMObserver* b = set.Make(2);
    observable.AddObserver(a);
    observable.AddObserver(b);
    observable.AddObserver(a);
    EXPECT_EQ(observable.Observers(), (QList<TMMObserver*> { b, a }));
    observable.NotifyObservers(nullptr);
    EXPECT_EQ(set.Order, (std::vector<int> { 1, 2 }));
}

TEST(TMMObservableTest, NullObserverAndForeignRemovalDoNothing)
{
    TMMObservable observable;
    TMMObservable other;
    TObserverSet set;
    TMMObserver* a = set.Make(1);
    other.AddObserver(a);

    observable.AddObserver(nullptr);
    observable.RemoveObserver(nullptr);
    observable.RemoveObserver(a);
    EXPECT_TRUE(observable.Observers().isEmpty());
    EXPECT_EQ(a->Observable(), &other);
    EXPECT_EQ(other.Observers().size(), 1);
}

TEST(TMMObservableTest, RemoveDetaches)
{
    TMMObservable observable;
    TObserverSet set;
    TMMObserver* a = set.Make(1);
    TMMObserver* b = set.Make(2);
    observable.AddObserver(a);
    observable.AddObserver(b);
    observable.RemoveObserver(a);
    EXPECT_EQ(a->Observable(), nullptr);
    observable.NotifyObservers(nullptr);
    EXPECT_EQ(set.Order, std::vector<int> { 2 });
}

TEST(TMMObservableTest, LocksSilenceNotifications)
{
    TMMObservable observable;
    TObserverSet set;
    TMMObserver* a = set.Make(1);
    TMMObserver* b = set.Make(2);
    observable.AddObserver(a);
    observable.AddObserver(b);

    observable.SetLocked(1);
    observable.NotifyObservers(nullptr);
    EXPECT_TRUE(set.Order.empty());

    observable.SetLocked(0);
    b->SetLocked(1);
    observable.NotifyObservers(nullptr);
    EXPECT_EQ(set.Order, std::vector<int> { 1 });
}

TEST(TMMObservableTest, DestroyingTheObservableDetachesEveryObserver)
{
    TObserverSet set;
    TMMObserver* a = set.Make(1);
    TMMObserver* b = set.Make(2);
    {
        TMMObservable observable;
        observable.AddObserver(a);
        observable.AddObserver(b);
    }
    EXPECT_EQ(a->Observable(), nullptr);
    EXPECT_EQ(b->Observable(), nullptr);
    // Attaching elsewhere afterwards works as usual.
    TMMObservable next;
    next.AddObserver(a);
    EXPECT_EQ(a->Observable(), &next);
}

TEST(TMMObservableTest, DestroyingAnObserverDetachesIt)
{
    TMMObservable observable;
    TObserverSet set;
    TMMObserver* a = set.Make(1);
    TMMObserver* b = set.Make(2);
    observable.AddObserver(a);
    observable.AddObserver(b);
    set.Items[0].reset();
    EXPECT_EQ(observable.Observers(), QList<TMMObserver*> { b });
    observable.NotifyObservers(nullptr);
    EXPECT_EQ(set.Order, std::vector<int> { 2 });
}

TEST(TMMObservableTest, ObserverRemovedDuringNotificationIsSkipped)
{
    TMMObservable observable;
    TObserverSet set;
    TMMObserver* a = set.Make(1);
    TMMObserver* b = set.Make(2);
    auto remover = std::make_unique<TMMObserver>();
    std::vector<int> order;
    remover->SetOnNotify([&](TObject*, TObject*) {
        order.push_back(3);
        observable.RemoveObserver(b);
        set.Items[0].reset(); // destroys a
    });
    observable.AddObserver(a);
    observable.AddObserver(b);
    observable.AddObserver(remover.get());

    observable.NotifyObservers(nullptr);
    EXPECT_EQ(order, std::vector<int> { 3 });
    EXPECT_TRUE(set.Order.empty());
    EXPECT_EQ(observable.Observers(), QList<TMMObserver*> { remover.get() });
}

// Overriding Update replaces what a notification does.
class TCountingObserver : public TMMObserver {
public:
    int Updates = 0;
    void Update(TObject* data) override
    {
        ++Updates;
        TMMObserver::Update(data);
    }
};

TEST(TMMObserverTest, UpdateIsVirtualAndWorksWithoutAnEvent)
{
    TMMObservable observable;
    TCountingObserver observer;
    observable.AddObserver(&observer);
    observable.NotifyObservers(nullptr);
    observable.NotifyObservers(nullptr);
    EXPECT_EQ(observer.Updates, 2);
}

} // namespace
