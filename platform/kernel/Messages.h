#pragma once
// Per-thread message queues: PostThreadMessage from any thread into the
// queue of a thread, PeekMessage and GetMessage by that thread, and
// MsgWaitForMultipleObjects to wait for "a message or one of these events".
//
// A thread gets its queue with its first PeekMessage, GetMessage or
// MsgWaitForMultipleObjects call (a worker calls PeekMessage with PM_NOREMOVE
// before telling anybody it is ready); posting to a thread without a queue
// fails. The queue goes when its thread ends. These queues carry thread
// messages only (no window): windows and their messages live in platform/ui.

#include "platform/kernel/WinTypes.h"

/// A queued message.
struct MSG {
    HWND hwnd; // always nullptr: thread messages
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time; // GetTickCount() when it was posted
    POINT pt; // {0, 0}
};
using LPMSG = MSG*;

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;

// PeekMessage removal flags.
constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;
constexpr UINT PM_NOYIELD = 0x0002;

// Wake masks of MsgWaitForMultipleObjects. Only posted messages exist here,
// so any mask containing QS_POSTMESSAGE or QS_ALLPOSTMESSAGE wakes on them.
constexpr DWORD QS_KEY = 0x0001;
constexpr DWORD QS_MOUSEMOVE = 0x0002;
constexpr DWORD QS_MOUSEBUTTON = 0x0004;
constexpr DWORD QS_POSTMESSAGE = 0x0008;
constexpr DWORD QS_TIMER = 0x0010;
constexpr DWORD QS_PAINT = 0x0020;
constexpr DWORD QS_SENDMESSAGE = 0x0040;
constexpr DWORD QS_HOTKEY = 0x0080;
constexpr DWORD QS_ALLPOSTMESSAGE = 0x0100;
constexpr DWORD QS_MOUSE = QS_MOUSEMOVE | QS_MOUSEBUTTON;
constexpr DWORD QS_INPUT = QS_MOUSE | QS_KEY;
constexpr DWORD QS_ALLEVENTS = QS_INPUT | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_HOTKEY;
constexpr DWORD QS_ALLINPUT = QS_ALLEVENTS | QS_SENDMESSAGE;

/// Most messages one queue holds; posting beyond fails with
/// ERROR_NOT_ENOUGH_QUOTA rather than letting a stalled thread eat memory.
constexpr int kMaxQueuedMessages = 10000;

/// Appends a message to the queue of thread ThreadId. FALSE with
/// ERROR_INVALID_THREAD_ID when that thread has no queue (not created yet, or
/// the thread has ended), ERROR_NOT_ENOUGH_QUOTA when the queue is full.
BOOL PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
inline BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return PostThreadMessage(threadId, msg, wParam, lParam);
}

/// Looks at the calling thread's queue without waiting: TRUE and the oldest
/// message with FilterMin <= message <= FilterMax (both 0: any) in Msg,
/// removed from the queue when RemoveMsg has PM_REMOVE; FALSE when there is
/// none. Window must be nullptr (or (HWND)-1: thread messages); a real window
/// has no messages here, so the call returns FALSE.
BOOL PeekMessage(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMsg);
inline BOOL PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMsg)
{
    return PeekMessage(msg, window, filterMin, filterMax, removeMsg);
}

/// Waits for and removes the oldest message in the filter range (as
/// PeekMessage). Returns 0 when it was WM_QUIT, -1 for a null Msg or a real
/// window, otherwise nonzero.
BOOL GetMessage(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);
inline BOOL GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax)
{
    return GetMessage(msg, window, filterMin, filterMax);
}

/// Waits until one of Count handles is signalled (WAIT_OBJECT_0 + its index,
/// an auto-reset event being reset), the calling thread's queue holds a
/// message the WakeMask admits (WAIT_OBJECT_0 + Count; the message stays
/// queued), or Milliseconds have passed (WAIT_TIMEOUT). WaitAll TRUE waits
/// for all handles and a message together. Count may be 0; Count + 1 must not
/// exceed MAXIMUM_WAIT_OBJECTS. WAIT_FAILED for bad handles or arguments.
///
/// Any message already in the queue satisfies the wait, also one an earlier
/// PeekMessage saw and left there: a message posted just before the wait is
/// never missed.
DWORD MsgWaitForMultipleObjects(
    DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds, DWORD wakeMask);
