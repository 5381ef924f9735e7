#pragma once
// A minimal observer pattern: observables (a bitmap list, for example) tell
// the observers attached to them that something changed; each observer
// passes the news on through its OnNotify event.
//
// Both sides belong to one thread (the GUI thread in this program). An
// observer is attached to at most one observable at a time; either side may
// be destroyed first, and the other forgets it.

#include "platform/ui/Classes.h"

#include <QList>
#include <functional>

class TMMObservable;

/// The event an observer raises for each notification: Sender is the
/// observer, Data what the observable passed to NotifyObservers.
using TMMObserverNotifyEvent = std::function<void(TObject* Sender, TObject* Data)>;

/// Hears the notifications of the observable it is attached to.
class TMMObserver : public TObject {
public:
    TMMObserver();
    /// Detaches from its observable first.
    ~TMMObserver() override;
    TMMObserver(const TMMObserver&) = delete;
    TMMObserver& operator=(const TMMObserver&) = delete;

    /// The observable it is attached to, null when detached.
    TMMObservable* Observable() const { return FObservable; }

    /// While not 0, notifications are ignored.
    int Locked() const { return FLocked; }
    void SetLocked(int value) { FLocked = value; }

    TMMObserverNotifyEvent OnNotify() const { return FOnNotify; }
    void SetOnNotify(TMMObserverNotifyEvent handler) { FOnNotify = std::move(handler); }

    /// Called by the observable: raises OnNotify(this, Data) when it is set
    /// and the observer is not locked.
    virtual void Update(TObject* data);

private:
    friend class TMMObservable;

    TMMObservable* FObservable = nullptr;
    int FLocked = 0;
    TMMObserverNotifyEvent FOnNotify;
};

/// Keeps the attached observers in attach order and notifies them.
class TMMObservable : public TObject {
public:
    TMMObservable();
    /// Detaches the observers one by one, the last attached first.
    ~TMMObservable() override;
    TMMObservable(const TMMObservable&) = delete;
    TMMObservable& operator=(const TMMObservable&) = delete;

    /// Attaches Observer at the end of the list, moving it away from the
    /// observable it was attached to (this one included). Null, or a call
    /// while this observable is being destroyed, does nothing.
    void AddObserver(TMMObserver* observer);

    /// Detaches Observer if it is attached to this observable; otherwise
    /// nothing happens.
    void RemoveObserver(TMMObserver* observer);

    /// Unless locked, calls Update(Data) on every attached observer, the
    /// last attached first. An observer that is detached (or destroyed) by
    /// an earlier one's notification is skipped; one attached meanwhile
    /// hears only the next notification.
    void NotifyObservers(TObject* data);

    /// While not 0, NotifyObservers does nothing.
    int Locked() const { return FLocked; }
    void SetLocked(int value) { FLocked = value; }

    /// The attached observers in attach order.
    const QList<TMMObserver*>& Observers() const { return FObservers; }

private:
    QList<TMMObserver*> FObservers;
    int FLocked = 0;
    bool FDestroying = false;
};
