#include "platform/ui/Timer.h"

#include "platform/ui/Application.h"

#include <algorithm>

namespace {

constexpr UINT_PTR kTimerId = 1;

} // namespace

TTimer::TTimer(TComponent* owner)
    : TComponent(owner)
{
    FWindowHandle = AllocateHWnd([this](TMessage& message) { WndProc(message); });
}

TTimer::~TTimer()
{
    FEnabled = false;
    DeallocateHWnd(FWindowHandle);
}

void TTimer::SetEnabled(bool value)
{
    if (value == FEnabled)
        return;
    FEnabled = value;
    UpdateTimer();
}

void TTimer::SetInterval(int value)
{
    value = std::max(value, 0);
    if (value == FInterval)
        return;
    FInterval = value;
    UpdateTimer();
}

void TTimer::SetOnTimer(const TNotifyEvent& value)
{
    FOnTimer = value;
    UpdateTimer();
}

void TTimer::UpdateTimer()
{
    KillTimer(FWindowHandle, kTimerId);
    if (FEnabled && FInterval > 0 && FOnTimer && !(ComponentState() & csDesigning)) {
        if (SetTimer(FWindowHandle, kTimerId, static_cast<UINT>(FInterval)) == 0)
            throw EOutOfResources(QStringLiteral("Not enough timers available"));
    }
}

void TTimer::WndProc(TMessage& message)
{
    if (message.Msg != WM_TIMER) {
        message.Result = DefWindowProc(FWindowHandle, message.Msg, message.WParam, message.LParam);
        return;
    }
    try {
        Timer();
    } catch (...) {
        Application->HandleException(this);
    }
}

void TTimer::Timer()
{
    if (FEnabled && FOnTimer) {
        const TNotifyEvent handler = FOnTimer;
        handler(this);
    }
}
