#include "platform/kernel/Interlocked.h"

#include <climits>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

TEST(Interlocked, ReturnValuesFollowTheWindowsContract)
{
    LONG value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);
    EXPECT_EQ(value, 9);
    EXPECT_EQ(InterlockedExchangeAdd(&value, -4), 9);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 4), 5) << "no exchange when not equal";
    EXPECT_EQ(value, 5);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 5), 5);
    EXPECT_EQ(value, 1);
    LONG top = INT_MAX;
    EXPECT_EQ(InterlockedIncrement(&top), INT_MIN) << "wraps as the 32-bit counter it is";
}

TEST(Interlocked, CountsExactlyUnderContention)
{
    LONG counter = 0;
    LONG claims = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50000; ++i) {
                InterlockedIncrement(&counter);
                InterlockedDecrement(&counter);
                InterlockedIncrement(&counter);
                // Compare-exchange loop: the classic lock-free add.
                LONG seen;
                do {
                    seen = InterlockedRead(&claims);
                } while (InterlockedCompareExchange(&claims, seen + 2, seen) != seen);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(counter, 200000);
    EXPECT_EQ(claims, 400000);
}

} // namespace
