#pragma once
// Finding another process's window by class and title, and asking for it to
// be brought forward: the two window operations the single-instance rule at
// start-up is written against, carried onto the X display named by $DISPLAY.
//
// What the Windows names mean here:
// - A window's *class name* is the res_class half of its WM_CLASS property
//   (the half X itself calls the class; the other half, res_name, names the
//   instance and is ignored by the lookup). The program gives a Qt window its
//   class with SetWindowClassName before the window is mapped.
// - A window's *title* is its _NET_WM_NAME (UTF-8) or, when that is absent,
//   its WM_NAME converted to UTF-8. Texts passed in are UTF-8, not a code page.
// - HWND is the X window id of the application's own window (the client
//   window a window manager may wrap in a frame), carried in a pointer-sized
//   handle. A null HWND means "no window".
//
// Every call opens its own connection to the display and closes it before it
// returns, so no X state is kept between calls and callers need no X headers.
// Without a display (DISPLAY unset, server unreachable) the calls fail cleanly:
// null, FALSE or false. The calls may come from any thread; they are
// serialised among themselves, because Xlib's error handler, which they borrow
// while they run, is one per process.

#include <cstdint>

// The same aliases platform/kernel/WinTypes.h declares; an alias repeated for
// the same type is allowed, so both headers can be included together while
// this library still links nothing but X11.
struct HWND__;
using HWND = HWND__*;
using BOOL = int32_t;
using LPCSTR = const char*;
#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

/// The handle of the X window with this id (0 gives the null handle).
inline HWND HwndFromWindowId(unsigned long windowId)
{
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(windowId));
}

/// The X window id a handle carries (the null handle gives 0).
inline unsigned long WindowIdFromHwnd(HWND hWnd)
{
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(hWnd));
}

/// Looks through every top-level window of every screen of the display,
/// mapped or not, from the top of the stacking order down, and returns the
/// first whose class name equals `className` and whose title equals
/// `windowName`. A null argument matches any class or any title; a window
/// without a title has the empty title, a window without WM_CLASS has no class
/// and matches only a null `className`. As on Windows, the comparison ignores
/// the case of letters (of the ASCII letters; other characters must be equal).
/// Where a window manager frames windows, the framed application window (the
/// one carrying WM_STATE inside the frame) is the one compared and returned.
/// Returns null when no window matches or there is no display.
HWND FindWindowA(LPCSTR className, LPCSTR windowName);

/// Brings the window forward and gives it the keyboard focus. When a window
/// manager that follows the EWMH conventions runs, it is asked to do so with a
/// _NET_ACTIVE_WINDOW message (as a pager or taskbar would ask, so that
/// focus-stealing prevention lets it through); returns TRUE once the request
/// has reached the server, since the manager answers nobody. Without a window
/// manager the window's top-level window is raised and the window takes the
/// input focus itself; returns TRUE when both succeeded. Returns FALSE for a
/// null or unknown window, without a display, and for a window that is not
/// shown (unmapped and not iconified), which no window system can focus; it
/// is still raised in the stacking order, so that it comes up on top when it
/// is shown.
BOOL SetForegroundWindow(HWND hWnd);

/// Sets the WM_CLASS property of the X window `windowId` to `resName`
/// (instance) and `resClass` (the class name FindWindowA compares); a null
/// `resName` takes `resClass` for both. Returns false without a display, for
/// a null `resClass` or when the window does not exist. The property is on the
/// server when the call returns.
///
/// For a Qt window, call this with winId() after the window's flags are final
/// and before it is shown: changing some flags afterwards (adding
/// Qt::WindowStaysOnTopHint is one) makes Qt replace the X window with a new
/// one that carries Qt's default class again.
/// The top-most shown top-level window of the program that owns `hWnd`
/// (same WM_CLIENT_LEADER, or same _NET_WM_PID and WM_CLIENT_MACHINE when
/// the windows have no leader), other than `hWnd` itself; null when there is
/// none. For reaching a program's main window through a window of its that
/// may be hidden.
HWND FindShownSibling(HWND hWnd);

bool SetWindowClassName(unsigned long windowId, const char* resName, const char* resClass);

/// Waits until no key of the display's keyboard is held down, or until
/// `timeoutMs` milliseconds have passed; true when the keyboard is free,
/// false on time-out or without a display. A program that brings another
/// one forward right after the user pressed a key in it waits for this
/// first: the key's repeats and its release would otherwise reach the
/// window that takes the focus.
bool WaitForKeyboardRelease(int timeoutMs);
