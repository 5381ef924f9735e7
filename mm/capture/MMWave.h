#pragma once
// The library's view of one WAV file and the pool of reusable memory blocks
// the wave input takes its buffer records from.

#include "platform/kernel/SyncObjs.h"
#include "platform/kernel/WinTypes.h"
#include "platform/ui/Classes.h"

#include <cstddef>
#include <vector>

// ---------------------------------------------------------------------------
// Memory blocks

/// Allocation flags of TMMAllocator::Allocate, with the values of the
/// platform's global-memory flags. Every block is fixed memory here; only
/// kGMemZeroInit changes what a block holds.
constexpr UINT kGMemFixed = 0x0000;
constexpr UINT kGMemZeroInit = 0x0040;
/// Fixed and zero-filled: what the wave input asks for.
constexpr UINT kGPtr = kGMemFixed | kGMemZeroInit;

/// A pool of fixed memory blocks that are handed out, given back and handed
/// out again, so that a device reopened with the same buffer size reuses the
/// same blocks instead of allocating again. The blocks live until FreeAll
/// or the destructor.
///
/// Every operation holds the pool's critical section: any thread may
/// allocate and release (the wave input releases in the GUI thread what its
/// capture thread used).
class TMMAllocator : public TObject {
public:
    TMMAllocator();
    /// FreeAll.
    ~TMMAllocator() override;
    TMMAllocator(const TMMAllocator&) = delete;
    TMMAllocator& operator=(const TMMAllocator&) = delete;

    /// A block of at least Size bytes: an unused block of exactly that size
    /// if there is one, else the first unused block that is larger, else a
    /// new block (appended to the pool). With kGMemZeroInit in Flags the
    /// block is zero-filled, also when it is reused. Null when the system
    /// has no memory for a new block. Never raises.
    void* Allocate(UINT flags, std::size_t size);

    /// Gives Block back to the pool and sets the caller's pointer to null.
    /// A block the pool does not know (null included), or one that is not
    /// in use, is left alone, pointer and all.
    void Release(void*& block);
    template <class T> void Release(T*& block)
    {
        void* raw = block;
        Release(raw);
        block = static_cast<T*>(raw);
    }

    /// Frees every block, the last allocated first. Blocks still in use
    /// become invalid: call it only when nobody uses them.
    void FreeAll();

    /// Blocks in the pool, and how many of them are in use.
    int Count() const;
    int UsedCount() const;
    /// The size Block was allocated with; 0 for a block the pool does not
    /// know.
    std::size_t BlockSize(const void* block) const;

private:
    struct TEntry {
        void* Block;
        std::size_t Size;
        int UseCount;
    };

    mutable TCriticalSection FLock;
    std::vector<TEntry> FEntries;
};
