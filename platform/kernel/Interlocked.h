#pragma once
// Interlocked operations on 32-bit counters shared between threads. Each is
// one sequentially consistent atomic operation on the addressed value; every
// access to such a counter from more than one thread must go through them.

#include "platform/kernel/WinTypes.h"

/// ++*Addend; returns the new value.
inline LONG InterlockedIncrement(LONG volatile* addend)
{
    return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}

/// --*Addend; returns the new value.
inline LONG InterlockedDecrement(LONG volatile* addend)
{
    return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}

/// *Target := Value; returns the previous value.
inline LONG InterlockedExchange(LONG volatile* target, LONG value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

/// *Addend += Value; returns the previous value.
inline LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value)
{
    return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}

/// *Destination := Exchange if it equals Comparand; returns the previous value
/// either way (equal to Comparand exactly when the exchange happened).
inline LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

/// Reads *Source atomically (the sequentially consistent load the others pair with).
inline LONG InterlockedRead(LONG volatile* source)
{
    return __atomic_load_n(source, __ATOMIC_SEQ_CST);
}
