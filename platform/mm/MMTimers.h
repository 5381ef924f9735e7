#pragma once
// Multimedia timers: periodic and one-shot timers whose callbacks run on one
// timer thread, and the timer-resolution calls that go with them.
//
// The timer thread sleeps to absolute deadlines on CLOCK_MONOTONIC: a periodic
// timer's n-th expiry is due at start + n * period, however long the earlier
// callbacks took, so ticks never drift. When the thread falls behind by a whole
// period (a callback that ran longer than the period, a stalled machine), the
// missed expiries are skipped rather than fired in a burst, and the timer keeps
// its phase. All timers share the one thread, as their Windows namesakes do: a
// callback that blocks delays every other timer.
//
// Linux high-resolution timers already wake with sub-millisecond accuracy, so
// timeBeginPeriod/timeEndPeriod only check and balance their arguments.
//
// Every function may be called from any thread, including from inside a
// timer callback.

#include "platform/mm/MMSystem.h"

/// The range of periods timeSetEvent and timeBeginPeriod accept:
/// 1 to 1 000 000 ms. TIMERR_STRUCT when cbtc is smaller than TIMECAPS.
MMRESULT timeGetDevCaps(LPTIMECAPS ptc, UINT cbtc);

/// Asks for a timer resolution of uPeriod milliseconds until the matching
/// timeEndPeriod. TIMERR_NOCANDO for a period outside timeGetDevCaps' range.
MMRESULT timeBeginPeriod(UINT uPeriod);

/// Ends one timeBeginPeriod with the same period. TIMERR_NOCANDO for a period
/// outside the range or without a matching timeBeginPeriod.
MMRESULT timeEndPeriod(UINT uPeriod);

/// Milliseconds since boot on CLOCK_MONOTONIC, wrapping every 49.7 days.
DWORD timeGetTime();

/// Starts a timer that expires uDelay milliseconds from now and, with
/// TIME_PERIODIC, every uDelay milliseconds after that (TIME_ONESHOT: once).
/// On expiry it calls fptc(id, 0, dwUser, 0, 0) on the timer thread
/// (TIME_CALLBACK_FUNCTION), or, with TIME_CALLBACK_EVENT_SET, fptc is the
/// HANDLE of an event (platform/kernel CreateEvent) that it sets.
/// uResolution is accepted and not needed. Returns the timer's identifier
/// (never 0), or 0 when uDelay is outside timeGetDevCaps' range, fptc is null,
/// the flags are unknown (TIME_CALLBACK_EVENT_PULSE is not offered) or too many
/// timers exist. A one-shot timer ends by itself after its callback returns.
MMRESULT timeSetEvent(UINT uDelay, UINT uResolution, LPTIMECALLBACK fptc, DWORD_PTR dwUser, UINT fuEvent);

/// Stops a timer. When it returns, no callback of that timer runs any more
/// and none will: if one is running on the timer thread, the call waits for
/// it to return. Called from a timer callback (its own timer's or another's)
/// it never waits, since the timer thread is then the caller itself; the
/// running callback is the last. MMSYSERR_INVALPARAM for an identifier that is
/// not a live timer (also a one-shot timer that has already fired).
MMRESULT timeKillEvent(UINT uTimerID);
