#include "mm/capture/MMWave.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

// ---------------------------------------------------------------------------
// TMMAllocator

TMMAllocator::TMMAllocator() = default;

TMMAllocator::~TMMAllocator()
{
    FreeAll();
}

void* TMMAllocator::Allocate(UINT flags, std::size_t size)
{
    std::lock_guard guard(FLock);
    TEntry* found = nullptr;
    for (TEntry& entry : FEntries) {
        if (entry.UseCount == 0 && entry.Size == size) {
            found = &entry;
            break;
        }
    }
    if (found == nullptr) {
        for (TEntry& entry : FEntries) {
            if (entry.UseCount == 0 && entry.Size >= size) {
                found = &entry;
                break;
            }
        }
    }
    if (found != nullptr) {
        found->UseCount = 1;
        // A reused block still holds what its last user left in it.
        if (flags & kGMemZeroInit)
            std::memset(found->Block, 0, found->Size);
        return found->Block;
    }

    // A block of at least one byte, so that a size of 0 still names a block.
    void* block = (flags & kGMemZeroInit) ? std::calloc(size == 0 ? 1 : size, 1) : std::malloc(size == 0 ? 1 : size);
    if (block == nullptr)
        return nullptr;
    try {
        FEntries.push_back({ block, size, 1 });
    } catch (...) {
        std::free(block);
        return nullptr;
    }
    return block;
}

void TMMAllocator::Release(void*& block)
{
    if (block == nullptr)
        return;
    std::lock_guard guard(FLock);
    for (TEntry& entry : FEntries) {
        if (entry.Block == block) {
            // A second release of the same block must not drive the count
            // below zero, or the block would never be handed out again.
            if (entry.UseCount > 0) {
                --entry.UseCount;
                block = nullptr;
            }
            return;
        }
    }
}

void TMMAllocator::FreeAll()
{
    std::lock_guard guard(FLock);
    while (!FEntries.empty()) {
        std::free(FEntries.back().Block);
        FEntries.pop_back();
    }
}

int TMMAllocator::Count() const
{
    std::lock_guard guard(FLock);
    return static_cast<int>(FEntries.size());
}

int TMMAllocator::UsedCount() const
{
    std::lock_guard guard(FLock);
    int used = 0;
    for (const TEntry& entry : FEntries)
        used += entry.UseCount > 0 ? 1 : 0;
    return used;
}

std::size_t TMMAllocator::BlockSize(const void* block) const
{
    std::lock_guard guard(FLock);
    for (const TEntry& entry : FEntries) {
        if (entry.Block == block)
            return entry.Size;
    }
    return 0;
}
