#pragma once
// Hidden message windows: a window handle with a message method and its own
// queue of posted messages, plus message timers, as the components use
// them (a timer that posts its ticks, a device that hands buffers to the
// GUI thread). Thread messages without a window are platform/kernel's
// (Messages.h there: PostThreadMessage, WM_USER, WM_QUIT).
//
// A window belongs to the thread that allocated it, which must run a Qt
// event loop (in this program: the GUI thread). Its messages are handled
// there, one per turn of the event loop, in the order they were posted. An
// exception escaping the message method goes to the application's standard
// exception display (TApplication::HandleException) and the window goes on.

#include "platform/kernel/Messages.h"
#include "platform/kernel/WinTypes.h"

#include <functional>

/// A message as a window method receives it; Result is what SendMessage
/// returns.
struct TMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_TIMER = 0x0113;

/// Smallest message-timer interval; shorter ones are raised to it, as on
/// Windows (and so that no timer spins a core).
constexpr UINT USER_TIMER_MINIMUM = 10;

/// Most messages one window's queue holds; PostMessage fails beyond it.
constexpr int kMaxWindowMessages = 10000;

using TWndMethod = std::function<void(TMessage& message)>;

/// A new hidden window whose messages go to Method. Call in a thread with a
/// Qt event loop; the window belongs to that thread.
HWND AllocateHWnd(TWndMethod method);

/// Destroys the window: its queued messages are discarded, its timers
/// stopped, and PostMessage to it fails from now on. A null or unknown
/// window is ignored. A window may deallocate itself from inside its message
/// method. Called from another thread, the window object is deleted later
/// by its own thread.
void DeallocateHWnd(HWND window);

/// Whether Window is a live window of AllocateHWnd. Any thread.
BOOL IsWindow(HWND window);

/// Appends a message to Window's queue and returns at once. Any thread.
/// FALSE when the window does not exist (any more) or its queue is full.
BOOL PostMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
inline BOOL PostMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return PostMessage(window, msg, wParam, lParam);
}

/// Calls Window's message method and returns its Result. In the window's
/// thread the call is direct; from another thread it waits until the
/// window's thread has handled it (which must not be waiting for the
/// caller). 0 for an unknown window or one destroyed before it handled the
/// message.
LRESULT SendMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
inline LRESULT SendMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return SendMessage(window, msg, wParam, lParam);
}

/// Discards the messages Msg queued for Window and not yet handled,
/// whichever thread posted them; other windows' messages stay. Returns how
/// many were discarded. Any thread.
int RemovePostedMessages(HWND window, UINT msg);

/// How many messages wait in Window's queue. Any thread.
int PostedMessageCount(HWND window);

/// Starts (or restarts with the new interval) timer Id of Window: every
/// Elapse milliseconds (at least USER_TIMER_MINIMUM) the window gets
/// WM_TIMER with WParam = Id. Like on Windows, ticks do not pile up: a
/// window busy for several intervals gets one WM_TIMER afterwards. Call in
/// the window's thread. Returns Id, or 0 when the window is unknown or
/// belongs to another thread, or Id is 0.
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse);

/// Stops timer Id of Window. FALSE when there is no such timer. Call in the
/// window's thread.
BOOL KillTimer(HWND window, UINT_PTR id);

/// The default handling of a message nobody wants: nothing, result 0.
LRESULT DefWindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
