#pragma once
// The common roots of the audio component library: a persistent object that
// reports its changes (with update brackets), the non-visual component base
// with its design-mode switch, and the worker-thread base.
//
// Everything here belongs to the GUI thread, except TMMThreadEx, whose
// Execute runs in its own thread.

#include "platform/kernel/Threads.h"
#include "platform/ui/Classes.h"

/// A persistent object that reports changes of its settings. Setters of
/// descendants store a new value and call Changed only when the value
/// differs; inside BeginUpdate/EndUpdate those calls are silent and the
/// outermost EndUpdate reports once. GUI thread (or whichever single thread
/// owns the object).
class TMMObject : public TPersistent {
    Q_OBJECT
public:
    explicit TMMObject(QObject* parent = nullptr);
    ~TMMObject() override;

    /// Opens an update bracket. The outermost one raises OnChanging (through
    /// SetUpdateState(true) and Changing) before the counter rises.
    void BeginUpdate();
    /// Closes a bracket. When the counter reaches 0, SetUpdateState(false)
    /// raises OnChange through Changed. An unbalanced EndUpdate drives the
    /// counter below 0; nothing then notifies until balancing BeginUpdates
    /// bring it back to 0. Nothing is reported.
    void EndUpdate();

    /// Depth of the open brackets.
    int UpdateCount() const { return FUpdateCount; }

    /// Raised (Sender: this object) when the outermost bracket opens.
    TNotifyEvent OnChanging() const { return FOnChanging; }
    void SetOnChanging(TNotifyEvent handler) { FOnChanging = std::move(handler); }
    /// Raised (Sender: this object) by Changed when no bracket is open.
    TNotifyEvent OnChange() const { return FOnChange; }
    void SetOnChange(TNotifyEvent handler) { FOnChange = std::move(handler); }

    /// Raises OnChanging if it is set and no bracket is open.
    virtual void Changing();
    /// Raises OnChange if it is set and no bracket is open.
    virtual void Changed();

protected:
    /// Updating true calls Changing, false calls Changed.
    virtual void SetUpdateState(bool updating);

private:
    int FUpdateCount = 0;
    TNotifyEvent FOnChanging;
    TNotifyEvent FOnChange;
};

/// The root of the library's components.
class TMMComponent : public TComponent {
    Q_OBJECT
public:
    explicit TMMComponent(TComponent* owner);
    ~TMMComponent() override;

    /// Switches this component and everything it owns into (true) or out of
    /// the design state (csDesigning). Descendants override it to react (a
    /// timer disarms in design state); overrides call the inherited one
    /// first.
    virtual void SetDesignMode(bool value);
};

/// The base of the library's non-visual components (the chain components,
/// the high-resolution timer, the bitmap list).
class TMMNonVisualComponent : public TMMComponent {
    Q_OBJECT
public:
    explicit TMMNonVisualComponent(TComponent* owner);
    ~TMMNonVisualComponent() override;
};

/// Thread priorities are published (a timer's Priority) by their names,
/// "tpIdle" to "tpTimeCritical".
Q_DECLARE_METATYPE(TThreadPriority)

/// Registers the identifiers of TThreadPriority with the stored-form reader
/// and writer. Runs once at start-up by itself; components publishing a
/// priority call it in their constructor as well. Idempotent, any thread.
void RegisterMMObjTypes();

/// The base of the library's worker threads: a TThread whose priority is
/// set from the seven-step scale.
class TMMThreadEx : public TThread {
public:
    explicit TMMThreadEx(bool createSuspended);
    ~TMMThreadEx() override;

    /// Applies the priority whose ordinal is the low seven bits of Value:
    /// idle -15, lowest -2, below normal -1, normal 0, above normal 1,
    /// highest 2, time-critical 15 (SetThreadPriority on the thread's
    /// handle). An ordinal beyond the scale changes nothing. Any thread.
    void SetPriority(TThreadPriority value);
};
