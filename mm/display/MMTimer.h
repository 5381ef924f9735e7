#pragma once
// The library's shared tick service: one periodic multimedia timer of 25 ms
// that calls any number of subscribers, each at its own interval. The
// connector uses it to show a paused buffer again, the needle meter to let
// its peaks fall.
//
// The underlying timer (timeSetEvent, with timeBeginPeriod(25)) runs only
// while there are subscribers that are not suspended: the first such
// subscription or resume starts it, ending or suspending the last one stops
// it (timeKillEvent, timeEndPeriod(25)), so that a program whose displays all
// rest is not woken 40 times a second for nothing.
//
// Each subscriber counts the 25 ms steps of the timer; when the count reaches
// its interval (an interval below 25 ms counts as 25) it is called and the
// count starts again. Subscribers are called in subscription order. A tick
// that arrives while the previous one is still running is skipped.
//
// Threads. Every function may be called from any thread, including from a
// subscriber's own callback. Callbacks run on the multimedia timer's thread
// and should only change numbers and flags; drawing belongs to the GUI thread.
// When MMTimerUnsubscribe returns (called anywhere but from a callback), the
// subscriber's callback is not running and will not run again.

#include <cstdint>
#include <functional>

/// What a subscriber runs on the timer thread at each of its intervals.
using TMMTimerCallback = std::function<void()>;

/// Names one subscription; 0 is no subscription.
using TMMTimerId = std::uint32_t;

/// The period of the underlying timer in milliseconds.
constexpr int kMMTimerPeriod = 25;

/// Adds a subscriber that is called every IntervalMs milliseconds (rounded
/// down to whole 25 ms steps, at least one). Starts the underlying timer when
/// this is the first subscriber. Raises EOutOfResources "Not enough timers
/// available" when the platform has no timer left (the subscriber is then not
/// added).
TMMTimerId MMTimerSubscribe(int intervalMs, TMMTimerCallback callback);

/// Ends a subscription; 0 and unknown ids are ignored. Stops the underlying
/// timer when it was the last one.
void MMTimerUnsubscribe(TMMTimerId id);

/// Suspends a subscriber: it is skipped until as many MMTimerResume calls as
/// suspends have been made. Each suspend also restarts its step count.
/// Unknown ids are ignored. Stops the underlying timer when no subscriber is
/// left that is not suspended.
void MMTimerSuspend(TMMTimerId id);

/// Undoes one MMTimerSuspend. Resuming a subscriber that is not suspended
/// does nothing. Starts the underlying timer when it was stopped; raises
/// EOutOfResources "Not enough timers available" when the platform has no
/// timer left (the subscriber counts as resumed; the next subscription or
/// resume tries again).
void MMTimerResume(TMMTimerId id);

/// Changes a subscriber's interval (as at MMTimerSubscribe) and restarts its
/// step count. Unknown ids are ignored.
void MMTimerSetInterval(TMMTimerId id, int intervalMs);

/// Whether the subscriber exists and is suspended.
bool MMTimerSuspended(TMMTimerId id);

/// The number of subscribers.
int MMTimerSubscriberCount();

/// The identifier of the running multimedia timer, 0 while none runs.
unsigned MMTimerTimerId();
