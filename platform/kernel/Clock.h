#pragma once
// Clocks and sleeping, all on CLOCK_MONOTONIC: they never jump with the
// wall clock, and they count from boot (time in suspend excluded).

#include "platform/kernel/WinTypes.h"

/// Milliseconds since boot, wrapping every 49.7 days: compare two readings
/// by their unsigned difference.
DWORD GetTickCount();

/// Milliseconds since boot, without wrapping.
ULONGLONG GetTickCount64();

/// The performance counter: nanoseconds since boot. Always TRUE.
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);

/// The performance counter's ticks per second: always 1 000 000 000 (it counts
/// nanoseconds). Always TRUE.
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);

/// Nanoseconds per second of the performance counter.
constexpr LONGLONG kPerformanceFrequency = 1000000000;

/// Suspends the calling thread for at least Milliseconds (signals do not cut
/// it short); 0 only yields the processor; INFINITE never returns.
void Sleep(DWORD milliseconds);
