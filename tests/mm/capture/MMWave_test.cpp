// The wave object, the wave file component in a chain, and the pool of
// memory blocks.
#include "mm/capture/MMWave.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// TMMAllocator

bool AllZero(const void* block, std::size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(block);
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0)
            return false;
    }
    return true;
}

TEST(MMAllocator, HandsOutZeroFilledBlocksAndReusesReleasedOnesOfTheSameSize)
{
    TMMAllocator pool;
    void* a = pool.Allocate(kGPtr, 4176);
    void* b = pool.Allocate(kGPtr, 4176);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_TRUE(AllZero(a, 4176));
    EXPECT_EQ(pool.Count(), 2);
    EXPECT_EQ(pool.UsedCount(), 2);

    std::memset(a, 0x5A, 4176);
    void* released = a;
    pool.Release(a);
    EXPECT_EQ(a, nullptr) << "the caller's pointer is cleared";
    EXPECT_EQ(pool.UsedCount(), 1);

    void* again = pool.Allocate(kGPtr, 4176);
    EXPECT_EQ(again, released) << "the released block comes back";
    EXPECT_TRUE(AllZero(again, 4176)) << "zero-filled again when asked";
    EXPECT_EQ(pool.Count(), 2) << "no new block";
}

TEST(MMAllocator, PrefersAnExactSizeThenTheFirstLargerBlock)
{
    TMMAllocator pool;
    void* big = pool.Allocate(kGPtr, 8000);
    void* larger = pool.Allocate(kGPtr, 9000);
    void* exact = pool.Allocate(kGPtr, 5000);
    void* bigBlock = big;
    void* largerBlock = larger;
    void* exactBlock = exact;
    pool.Release(big);
    pool.Release(larger);
    pool.Release(exact);

    EXPECT_EQ(pool.Allocate(kGPtr, 5000), exactBlock) << "an unused block of exactly that size first";
    EXPECT_EQ(pool.Allocate(kGPtr, 5000), bigBlock) << "then the first unused one that is large enough";
    EXPECT_EQ(pool.BlockSize(bigBlock), 8000u);
    EXPECT_EQ(pool.Allocate(kGPtr, 5000), largerBlock);
    void* fresh = pool.Allocate(kGMemFixed, 5000);
    EXPECT_NE(fresh, nullptr);
    EXPECT_EQ(pool.Count(), 4) << "none unused any more: a new block";
    EXPECT_EQ(pool.UsedCount(), 4);
}

TEST(MMAllocator, LeavesUnknownAndDoublyReleasedBlocksAlone)
{
    TMMAllocator pool;
    int outside = 0;
    void* stranger = &outside;
    pool.Release(stranger);
    EXPECT_EQ(stranger, &outside) << "not the pool's: pointer untouched";
    void* nothing = nullptr;
    pool.Release(nothing);
    EXPECT_EQ(pool.BlockSize(&outside), 0u);

    void* block = pool.Allocate(kGPtr, 64);
    void* copy = block;
    pool.Release(block);
    pool.Release(copy);
    EXPECT_EQ(block, nullptr);
    EXPECT_NE(copy, nullptr) << "a block that is not in use is left alone, pointer and all";
    EXPECT_EQ(pool.UsedCount(), 0) << "a second release does not count below zero";
    void* first = pool.Allocate(kGPtr, 64);
    void* second = pool.Allocate(kGPtr, 64);
    EXPECT_NE(first, second) << "the block is handed out once, not twice";
    EXPECT_EQ(pool.Count(), 2);
}

TEST(MMAllocator, FreeAllEmptiesThePool)
{
    TMMAllocator pool;
    for (int i = 0; i < 20; ++i)
        pool.Allocate(kGPtr, 60 + 4096);
    EXPECT_EQ(pool.Count(), 20);
    pool.FreeAll();
    EXPECT_EQ(pool.Count(), 0);
    EXPECT_EQ(pool.UsedCount(), 0);
    void* block = pool.Allocate(kGPtr, 16);
    EXPECT_NE(block, nullptr);
    EXPECT_EQ(pool.Count(), 1);
}

TEST(MMAllocator, SeveralThreadsAllocateAndReleaseWithoutSharingABlock)
{
    TMMAllocator pool;
    std::atomic<bool> clash { false };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&pool, &clash, t] {
            for (int round = 0; round < 2000; ++round) {
                auto* block = static_cast<unsigned char*>(pool.Allocate(kGPtr, 256 + (round % 3) * 64));
                if (block == nullptr) {
                    clash = true;
                    return;
                }
                std::memset(block, t + 1, 256);
                for (int i = 0; i < 256; ++i) {
                    if (block[i] != t + 1)
                        clash = true;
                }
                pool.Release(block);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_FALSE(clash.load()) << "a block was handed to two threads at once";
    EXPECT_EQ(pool.UsedCount(), 0);
    EXPECT_LE(pool.Count(), 12);
}

} // namespace
