#pragma once
// The common roots of the audio component library: a persistent object that
// reports its changes (with update brackets), the non-visual component base
// with its design-mode switch, the worker-thread base, and the visual bases
// (a windowed control, a panel and a graphic control) that each own a
// TMMBevel, lay out their content inside it and repaint when it changes.
//
// Everything here belongs to the GUI thread, except TMMThreadEx, whose
// Execute runs in its own thread.

#include "platform/kernel/Threads.h"
#include "platform/ui/Canvas.h"
#include "platform/ui/Classes.h"
#include "platform/ui/Controls.h"
#include "platform/ui/ExtCtrls.h"
#include "platform/ui/Types.h"

#include <functional>

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

// ---------------------------------------------------------------------------
// Visual bases

class TMMBevel;

/// Fills the part of a panel inside its bevel: Sender is the panel, R the
/// rectangle PaintBevel left.
using TMMFillPanel = std::function<void(TObject* Sender, TCanvas* Canvas, TRect R)>;
Q_DECLARE_METATYPE(TMMFillPanel)

/// The cursors of the library: numbers 2001 to 2031, registered with the
/// screen from the resources named "2001" to "2031" (".cur" files; a missing
/// or unreadable one registers a null cursor, shown as the arrow). Runs once,
/// when the first visual component of the library is made. GUI thread.
void RegisterMMCursors();
constexpr int kMMFirstCursor = 2001;
constexpr int kMMLastCursor = 2031;

/// A windowed control of the library: owns a bevel, paints it around a
/// fill of its Color, and repaints when the bevel changes. Opaque: Paint
/// covers every pixel.
class TMMCustomControl : public TCustomControl {
    Q_OBJECT
public:
    explicit TMMCustomControl(TComponent* owner);
    ~TMMCustomControl() override;

    /// The owned bevel. Descendants publish it as
    /// Q_PROPERTY(TMMBevel* Bevel READ Bevel WRITE SetBevel).
    TMMBevel* Bevel() const { return FBevel; }
    /// Copies Value's settings into the owned bevel (one change, one
    /// repaint); the owned object stays.
    void SetBevel(TMMBevel* value);

    /// Pixels the bevel takes on each side.
    int BevelExtent() const;
    /// (0, 0, Width, Height) shrunk by BevelExtent on every side: where the
    /// content goes.
    TRect InnerRect() const;

    /// Switches the control and what it owns into or out of the design
    /// state, then repaints.
    virtual void SetDesignMode(bool value);

protected:
    /// Called whenever the bevel changed; the default invalidates.
    virtual void BevelChanged();
    /// The bevel on the client rectangle, the rest filled with Color.
    void Paint() override;

private:
    TMMBevel* FBevel = nullptr;
};

/// A panel of the library: owns a bevel instead of the framework panel's
/// own frame, keeps aligned children inside it, and paints (in order) the
/// bevel, the inside and the caption. OnCustomPaint, when set, replaces all
/// of that; OnFillInner, when set, replaces the colour fill of the inside.
class TMMCustomPanel : public TCustomPanel {
    Q_OBJECT
public:
    explicit TMMCustomPanel(TComponent* owner);
    ~TMMCustomPanel() override;

    TMMBevel* Bevel() const { return FBevel; }
    void SetBevel(TMMBevel* value);

    int BevelExtent() const;
    TRect InnerRect() const;

    virtual void SetDesignMode(bool value);

    TNotifyEvent OnCustomPaint() const { return FOnCustomPaint; }
    void SetOnCustomPaint(TNotifyEvent handler) { FOnCustomPaint = std::move(handler); }
    TMMFillPanel OnFillInner() const { return FOnFillInner; }
    void SetOnFillInner(TMMFillPanel handler) { FOnFillInner = std::move(handler); }
    /// Passed to PaintBevel: without it the bevel's border ring is not
    /// painted over (the inside fill shows there instead).
    bool DrawBorder() const { return FDrawBorder; }
    void SetDrawBorder(bool value) { FDrawBorder = value; }

protected:
    /// Called after the children were re-aligned for a bevel change; the
    /// default invalidates.
    virtual void BevelChanged();
    void Paint() override;
    /// Aligns the children inside the bevel.
    void AlignControls(TControl* control, TRect& rect) override;

private:
    TMMBevel* FBevel = nullptr;
    TNotifyEvent FOnCustomPaint;
    TMMFillPanel FOnFillInner;
    bool FDrawBorder = true;
};

/// A graphic control of the library: the bevel handling and painting of
/// TMMCustomControl on a control without a window of its own.
class TMMGraphicControl : public TGraphicControl {
    Q_OBJECT
public:
    explicit TMMGraphicControl(TComponent* owner);
    ~TMMGraphicControl() override;

    TMMBevel* Bevel() const { return FBevel; }
    void SetBevel(TMMBevel* value);

    int BevelExtent() const;
    TRect InnerRect() const;

    /// Switches the control and what it owns into or out of the design
    /// state.
    virtual void SetDesignMode(bool value);

protected:
    virtual void BevelChanged();
    void Paint() override;

private:
    TMMBevel* FBevel = nullptr;
};

/// The base of the library's file dialogs.
class TMMCommonDialog : public TComponent {
    Q_OBJECT
public:
    explicit TMMCommonDialog(TComponent* owner);
    ~TMMCommonDialog() override;
};

// The bevel needs TMMObject above; everyone who includes this unit gets it
// whole.
#include "mm/core/MMBevel.h"
