#include "OtherProgram.h"

#include <X11/Xlib.h>

namespace tonvara::test {

struct TOtherProgram::TState {
    Display* FDisplay = nullptr;
    Window FWindow = 0;
};

TOtherProgram::TOtherProgram()
    : FState(std::make_unique<TState>())
{
    FState->FDisplay = XOpenDisplay(nullptr);
    if (FState->FDisplay == nullptr)
        return;
    Display* display = FState->FDisplay;
    FState->FWindow = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 60, 60, 0, 0, 0);
    XStoreName(display, FState->FWindow, "Another program");
    XSelectInput(display, FState->FWindow, StructureNotifyMask);
    XMapRaised(display, FState->FWindow);
    // Focus can only go to a viewable window: wait until the server mapped it.
    XEvent event {};
    do
        XWindowEvent(display, FState->FWindow, StructureNotifyMask, &event);
    while (event.type != MapNotify);
}

TOtherProgram::~TOtherProgram()
{
    if (FState->FDisplay == nullptr)
        return;
    if (FState->FWindow != 0)
        XDestroyWindow(FState->FDisplay, FState->FWindow);
    XCloseDisplay(FState->FDisplay);
}

bool TOtherProgram::Valid() const
{
    return FState->FDisplay != nullptr && FState->FWindow != 0;
}

void TOtherProgram::TakeFocus()
{
    if (!Valid())
        return;
    XRaiseWindow(FState->FDisplay, FState->FWindow);
    XSetInputFocus(FState->FDisplay, FState->FWindow, RevertToParent, CurrentTime);
    XSync(FState->FDisplay, False);
}

void TOtherProgram::ReturnFocusTo(unsigned long window)
{
    if (!Valid())
        return;
    XRaiseWindow(FState->FDisplay, window);
    XSetInputFocus(FState->FDisplay, window, RevertToParent, CurrentTime);
    XSync(FState->FDisplay, False);
}

} // namespace tonvara::test
