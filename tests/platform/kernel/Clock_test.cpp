#include "platform/kernel/Clock.h"

#include <ctime>
#include <gtest/gtest.h>

namespace {

TEST(Clock, PerformanceCounterCountsNanosecondsOfTheMonotonicClock)
{
    LARGE_INTEGER frequency {};
    ASSERT_EQ(QueryPerformanceFrequency(&frequency), TRUE);
    EXPECT_EQ(frequency.QuadPart, 1000000000);
    timespec before {}, after {};
    LARGE_INTEGER count {};
    clock_gettime(CLOCK_MONOTONIC, &before);
    ASSERT_EQ(QueryPerformanceCounter(&count), TRUE);
    clock_gettime(CLOCK_MONOTONIC, &after);
    const LONGLONG low = before.tv_sec * 1000000000LL + before.tv_nsec;
    const LONGLONG high = after.tv_sec * 1000000000LL + after.tv_nsec;
    EXPECT_GE(count.QuadPart, low);
    EXPECT_LE(count.QuadPart, high);
}

TEST(Clock, TickCountsAreMillisecondsOfTheSameClock)
{
    timespec before {}, after {};
    clock_gettime(CLOCK_MONOTONIC, &before);
    const ULONGLONG ticks64 = GetTickCount64();
    const DWORD ticks = GetTickCount();
    clock_gettime(CLOCK_MONOTONIC, &after);
    const ULONGLONG low = before.tv_sec * 1000ULL + before.tv_nsec / 1000000;
    const ULONGLONG high = after.tv_sec * 1000ULL + after.tv_nsec / 1000000;
    EXPECT_GE(ticks64, low);
    EXPECT_LE(ticks64, high);
    EXPECT_LE(static_cast<DWORD>(ticks - static_cast<DWORD>(ticks64)), static_cast<DWORD>(high - low))
        << "GetTickCount is the low 32 bits";
}

TEST(Clock, SleepLastsAtLeastTheGivenTime)
{
    LARGE_INTEGER start {}, end {};
    QueryPerformanceCounter(&start);
    Sleep(25);
    QueryPerformanceCounter(&end);
    EXPECT_GE(end.QuadPart - start.QuadPart, 25000000);
    QueryPerformanceCounter(&start);
    Sleep(0);
    QueryPerformanceCounter(&end);
    EXPECT_GE(end.QuadPart, start.QuadPart);
}

} // namespace
