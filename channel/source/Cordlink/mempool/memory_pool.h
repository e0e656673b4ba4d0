// The channel library's memory pool: a general-purpose allocator of its own,
// separate from the process heap, that takes its memory from the system's
// virtual memory in segments and serves receive buffers from size-segregated
// bins.
//
// Blocks carry a 16-byte boundary tag in front of them (a guard word derived
// from the pool's check value and the block's address, then the size with
// in-use flags); free blocks also carry their size in their last word, so a
// freed block finds and merges with a free neighbour on either side. Returned
// blocks are aligned to 16 bytes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/win_sync.h"
#include "platform/win_types.h"

// Allocates cbSize bytes from the process-wide pool. Returns a block aligned
// to 16 bytes, or null when memory is exhausted. Thread-safe.
void* PoolAlloc(size_t cbSize);
// Returns a block to the process-wide pool; null is ignored. Stops the
// process (abort) on a block freed twice, a pointer the pool never gave out or
// a corrupted tag. Thread-safe.
void PoolFree(void* pBlock);

struct MemoryPoolStats;
// Stores the process-wide pool's holdings in *pStats. Thread-safe.
void PoolGetStats(MemoryPoolStats* pStats);

// What a pool holds from the system, for monitoring and tests.
struct MemoryPoolStats {
    size_t cbSegments;    // bytes in segments (excluding own regions)
    size_t nSegments;     // number of segments
    size_t cbOwnRegions;  // bytes in regions of their own (large blocks)
    size_t nOwnRegions;   // number of such regions
    size_t cbFree;        // free bytes inside the segments (bins and top)
    size_t cbTop;         // free bytes at the top of the newest segment
};

// One pool. The process-wide pool behind PoolAlloc/PoolFree is an instance
// that lives until the process ends; further instances (tests) give back
// their segments when destroyed. Non-copyable.
class CMemoryPool {
public:
    // Requests of this size or more get a region of their own.
    static constexpr size_t kOwnRegionThreshold = 0x40000;
    // More free bytes than this at the top of the pool make a free trim.
    static constexpr size_t kTrimThreshold = 0x200000;
    // Wholly free segments are looked for once per this many large frees.
    static constexpr unsigned kReleaseCheckPeriod = 4095;
    static constexpr size_t kAlignment = 16;

    constexpr CMemoryPool() = default;
    ~CMemoryPool();
    CMemoryPool(const CMemoryPool&) = delete;
    CMemoryPool& operator=(const CMemoryPool&) = delete;

    // Returns a block of at least cbSize bytes aligned to kAlignment, or null
    // when memory is exhausted or the pool's lock cannot be created.
    // Thread-safe.
    void* Alloc(size_t cbSize);
    // Returns the block to the pool; null is ignored. Aborts on a block freed
    // twice, one the pool never gave out, or a corrupted tag or bin link.
    // Thread-safe.
    void Free(void* pBlock);
    // Stores the pool's current holdings in *pStats. Thread-safe.
    void GetStats(MemoryPoolStats* pStats);

    struct Chunk;
    struct Segment;

private:
    static constexpr size_t kSmallBins = 16;    // exact sizes 16 * i, below 256
    static constexpr size_t kLargeBins = 256;   // 8 classes per power of two
    static constexpr unsigned kLargeSplit = 3;  // log2 of the classes per power

    bool Prepare();
    void CheckState() const;
    Chunk* AllocChunk(size_t cbChunk);
    Chunk* TakeFromBins(size_t cbChunk);
    Chunk* TakeFromTop(size_t cbChunk);
    bool Grow(size_t cbChunk);
    void* AllocOwnRegion(size_t cbSize);
    void FreeOwnRegion(Chunk* pChunk);
    void FreeChunk(Segment* pSeg, Chunk* pChunk);
    Segment* FindSegment(uintptr_t uAddr) const;
    void InsertFree(Chunk* pChunk, size_t cbChunk);
    void UnlinkFree(Chunk* pChunk, size_t cbChunk);
    Chunk* CheckedLink(Chunk* pLink) const;
    void Trim();
    void ReleaseUnusedSegments();
    bool ReleaseSegment(Segment* pSeg);
    uintptr_t Guard(const void* p) const { return m_uCheck ^ reinterpret_cast<uintptr_t>(p); }

    std::atomic<bool> m_bReady{false};
    CRITICAL_SECTION m_cs{};
    uint64_t m_uCheck = 0;             // this pool's check value; also marks its state
    uint64_t m_uMagic = 0;             // m_uCheck again: a pool whose copy differs is corrupted
    uintptr_t m_uLeast = UINTPTR_MAX;  // lowest segment address ever held
    uintptr_t m_uHighest = 0;          // end of the highest segment ever held
    Segment* m_pSegments = nullptr;    // newest first
    Segment* m_pTopSegment = nullptr;
    Chunk* m_pTop = nullptr;  // free space at the end of the top segment
    size_t m_cbTop = 0;
    uint32_t m_uSmallMap = 0;  // bit i: m_apSmall[i] is not empty
    uint64_t m_auLargeMap[kLargeBins / 64] = {};
    Chunk* m_apSmall[kSmallBins] = {};
    Chunk* m_apLarge[kLargeBins] = {};
    unsigned m_nLargeFrees = 0;
    size_t m_cbSegments = 0;
    size_t m_nSegments = 0;
    size_t m_cbOwnRegions = 0;
    size_t m_nOwnRegions = 0;
    size_t m_cbFree = 0;
};
