#pragma once
// TTimer: a message-loop timer component. OnTimer runs in the GUI thread
// every Interval milliseconds while Enabled; the timer runs only while
// Enabled is true, Interval is above 0 and OnTimer is assigned (and not in
// design mode). Ticks do not pile up behind a slow handler. An exception
// from OnTimer goes to the standard exception display and the timer goes on.

#include "platform/ui/Classes.h"
#include "platform/ui/MessageWindow.h"

class TTimer : public TComponent {
    Q_OBJECT
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(int Interval READ Interval WRITE SetInterval)
    Q_PROPERTY(TNotifyEvent OnTimer READ OnTimer WRITE SetOnTimer)
    Q_CLASSINFO("default:Enabled", "True")
    Q_CLASSINFO("default:Interval", "1000")
public:
    explicit TTimer(TComponent* owner);
    ~TTimer() override;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool value);

    /// Milliseconds; values below 0 are taken as 0 (timer stopped).
    int Interval() const { return FInterval; }
    void SetInterval(int value);

    TNotifyEvent OnTimer() const { return FOnTimer; }
    void SetOnTimer(const TNotifyEvent& value);

protected:
    /// Fires OnTimer; overrides may do more.
    virtual void Timer();

private:
    void UpdateTimer();
    void WndProc(TMessage& message);

    bool FEnabled = true;
    int FInterval = 1000;
    TNotifyEvent FOnTimer;
    HWND FWindowHandle = nullptr;
};
