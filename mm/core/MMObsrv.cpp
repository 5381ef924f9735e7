#include "mm/core/MMObsrv.h"

TMMObserver::TMMObserver() = default;

TMMObserver::~TMMObserver()
{
    if (FObservable != nullptr)
        FObservable->RemoveObserver(this);
}

void TMMObserver::Update(TObject* data)
{
    if (FLocked == 0 && FOnNotify)
        FOnNotify(this, data);
}

// ---------------------------------------------------------------------------

TMMObservable::TMMObservable() = default;

TMMObservable::~TMMObservable()
{
    FDestroying = true;
    while (!FObservers.isEmpty())
        RemoveObserver(FObservers.last());
}

void TMMObservable::AddObserver(TMMObserver* observer)
{
    if (observer == nullptr || FDestroying)
        return;
    if (observer->FObservable != nullptr)
        observer->FObservable->RemoveObserver(observer);
    FObservers.append(observer);
    observer->FObservable = this;
}

void TMMObservable::RemoveObserver(TMMObserver* observer)
{
    if (observer == nullptr || observer->FObservable != this)
        return;
    FObservers.removeOne(observer);
    observer->FObservable = nullptr;
}

void TMMObservable::NotifyObservers(TObject* data)
{
    if (FLocked != 0)
        return;
    // A handler may detach or destroy observers: walk a snapshot and ask
    // the live list before each call, so that no removed observer is
    // reached and no index runs past the shrunk list.
    const QList<TMMObserver*> snapshot = FObservers;
    for (qsizetype i = snapshot.size() - 1; i >= 0; --i) {
        TMMObserver* observer = snapshot[i];
        if (FObservers.contains(observer))
            observer->Update(data);
    }
}
