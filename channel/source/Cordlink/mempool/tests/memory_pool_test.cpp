// The memory pool: concurrent use, alignment, large blocks in regions of
// their own, merging, giving memory back, and the checks that stop the
// process on misuse.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "memory_pool.h"
#include "platform/win_memory.h"
#include "platform_testing/fault_injection.h"

namespace {

constexpr size_t kSegmentOverhead = 48;  // segment record and end fence

uintptr_t Addr(const void* p) {
    return reinterpret_cast<uintptr_t>(p);
}

MemoryPoolStats StatsOf(CMemoryPool& pool) {
    MemoryPoolStats stats{};
    pool.GetStats(&stats);
    return stats;
}

DWORD StateOf(const void* p) {
    MEMORY_BASIC_INFORMATION info{};
    EXPECT_EQ(VirtualQuery(p, &info, sizeof(info)), sizeof(info));
    return info.State;
}

// Every byte of a block depends on its serial number and position, so a
// block overlapping another or clobbered by the pool's tags is noticed.
void Fill(BYTE* p, size_t cb, uint32_t uSerial) {
    for (size_t i = 0; i < cb; ++i)
        p[i] = static_cast<BYTE>(uSerial * 31u + i * 7u);
}

bool Intact(const BYTE* p, size_t cb, uint32_t uSerial) {
    for (size_t i = 0; i < cb; ++i) {
        if (p[i] != static_cast<BYTE>(uSerial * 31u + i * 7u))
            return false;
    }
    return true;
}

struct Block {
    BYTE* p;
    size_t cb;
    uint32_t uSerial;
};

TEST(MemoryPoolThreads, OneThreadAllocatesAnotherFreesWithoutCorruption) {
    CMemoryPool pool;
    constexpr uint32_t kBlocks = 60000;
    std::mutex lock;
    std::condition_variable ready;
    std::deque<Block> queue;
    bool bDone = false;
    uint32_t nCorrupt = 0;
    uint32_t nFreed = 0;

    std::thread consumer([&] {
        for (;;) {
            std::unique_lock<std::mutex> guard(lock);
            ready.wait(guard, [&] { return !queue.empty() || bDone; });
            if (queue.empty())
                return;
            std::deque<Block> batch;
            batch.swap(queue);
            guard.unlock();
            for (const Block& b : batch) {
                if (!Intact(b.p, b.cb, b.uSerial))
                    ++nCorrupt;
                pool.Free(b.p);
                ++nFreed;
            }
        }
    });

    uint32_t uRandom = 12345;
    std::vector<Block> kept;  // some blocks live long, as a slow host's do
    for (uint32_t i = 0; i < kBlocks; ++i) {
        uRandom = uRandom * 1103515245u + 12345u;
        const size_t cb = 16 + (uRandom >> 8) % (4096 - 16 + 1);
        BYTE* p = static_cast<BYTE*>(pool.Alloc(cb));
        ASSERT_NE(p, nullptr);
        Fill(p, cb, i);
        if (i % 97 == 0) {
            kept.push_back(Block{p, cb, i});
            continue;
        }
        std::lock_guard<std::mutex> guard(lock);
        queue.push_back(Block{p, cb, i});
        if (queue.size() >= 64)
            ready.notify_one();
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        bDone = true;
    }
    ready.notify_one();
    consumer.join();
    EXPECT_EQ(nCorrupt, 0u);
    EXPECT_EQ(nFreed + kept.size(), kBlocks);
    for (const Block& b : kept) {
        EXPECT_TRUE(Intact(b.p, b.cb, b.uSerial)) << b.uSerial;
        pool.Free(b.p);
    }
    // Everything came back and merged: each segment is one free block.
    MemoryPoolStats stats = StatsOf(pool);
    EXPECT_EQ(stats.cbFree, stats.cbSegments - stats.nSegments * kSegmentOverhead);
}

TEST(MemoryPoolLayout, BlocksAreAlignedAndDoNotOverlap) {
    CMemoryPool pool;
    std::vector<Block> blocks;
    for (uint32_t cb = 1; cb <= 700; cb += 3) {
        BYTE* p = static_cast<BYTE*>(pool.Alloc(cb));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(Addr(p) % CMemoryPool::kAlignment, 0u) << cb;
        Fill(p, cb, cb);
        blocks.push_back(Block{p, cb, cb});
    }
    BYTE* pLarge = static_cast<BYTE*>(pool.Alloc(CMemoryPool::kOwnRegionThreshold));
    ASSERT_NE(pLarge, nullptr);
    EXPECT_EQ(Addr(pLarge) % CMemoryPool::kAlignment, 0u);
    BYTE* pZero = static_cast<BYTE*>(pool.Alloc(0));
    ASSERT_NE(pZero, nullptr);
    EXPECT_EQ(Addr(pZero) % CMemoryPool::kAlignment, 0u);
    for (const Block& b : blocks)
        EXPECT_TRUE(Intact(b.p, b.cb, b.uSerial)) << b.cb;
    for (const Block& b : blocks)
        pool.Free(b.p);
    pool.Free(pLarge);
    pool.Free(pZero);
    pool.Free(nullptr);
}

TEST(MemoryPoolLayout, NeighboursMergeAndServeTheMergedSizeWithoutNewMemory) {
    CMemoryPool pool;
    // Each 1008-byte request takes a 1024-byte block; they lie side by side.
    BYTE* a = static_cast<BYTE*>(pool.Alloc(1008));
    BYTE* b = static_cast<BYTE*>(pool.Alloc(1008));
    BYTE* c = static_cast<BYTE*>(pool.Alloc(1008));
    BYTE* d = static_cast<BYTE*>(pool.Alloc(1008));
    ASSERT_EQ(Addr(b), Addr(a) + 1024);
    ASSERT_EQ(Addr(c), Addr(b) + 1024);
    ASSERT_EQ(Addr(d), Addr(c) + 1024);
    const MemoryPoolStats before = StatsOf(pool);

    // Freed with the later block first and then the earlier one: both
    // directions of merging.
    pool.Free(c);
    pool.Free(a);
    pool.Free(b);
    platform::InjectFault("VirtualAlloc", ERROR_NOT_ENOUGH_MEMORY);
    BYTE* merged = static_cast<BYTE*>(pool.Alloc(3 * 1024 - 16));
    platform::ClearFaults();
    EXPECT_EQ(merged, a);
    EXPECT_EQ(StatsOf(pool).cbSegments, before.cbSegments);

    // Split again: the front part is reused, the rest stays free beside it.
    pool.Free(merged);
    BYTE* front = static_cast<BYTE*>(pool.Alloc(1008));
    EXPECT_EQ(front, a);
    BYTE* rest = static_cast<BYTE*>(pool.Alloc(2 * 1024 - 16));
    EXPECT_EQ(rest, b);
    pool.Free(front);
    pool.Free(rest);
    pool.Free(d);
}

TEST(MemoryPoolSystem, LargeBlockGetsARegionOfItsOwnThatGoesBackWhenFreed) {
    CMemoryPool pool;
    BYTE* pSmall = static_cast<BYTE*>(pool.Alloc(CMemoryPool::kOwnRegionThreshold - 1));
    ASSERT_NE(pSmall, nullptr);
    EXPECT_EQ(StatsOf(pool).nOwnRegions, 0u);

    const size_t cb = 300 * 1024;
    BYTE* p = static_cast<BYTE*>(pool.Alloc(cb));
    ASSERT_NE(p, nullptr);
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_EQ(VirtualQuery(p, &info, sizeof(info)), sizeof(info));
    EXPECT_EQ(info.State, MEM_COMMIT);
    EXPECT_GE(Addr(info.BaseAddress) + info.RegionSize, Addr(p) + cb);
    EXPECT_LE(Addr(info.AllocationBase), Addr(p));
    const void* pRegion = info.AllocationBase;
    std::memset(p, 0x5A, cb);
    MemoryPoolStats stats = StatsOf(pool);
    EXPECT_EQ(stats.nOwnRegions, 1u);
    EXPECT_EQ(stats.cbOwnRegions, info.RegionSize);

    pool.Free(p);
    EXPECT_EQ(StateOf(pRegion), MEM_FREE);
    EXPECT_EQ(StateOf(p + cb - 1), MEM_FREE);
    EXPECT_EQ(StatsOf(pool).nOwnRegions, 0u);
    pool.Free(pSmall);
}

TEST(MemoryPoolSystem, ExhaustionYieldsNullAndThePoolStaysUsable) {
    CMemoryPool pool;
    platform::InjectFault("VirtualAlloc", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(pool.Alloc(100), nullptr);
    EXPECT_EQ(pool.Alloc(1 << 20), nullptr);
    platform::ClearFaults();
    void* p = pool.Alloc(100);
    ASSERT_NE(p, nullptr);
    pool.Free(p);

    CMemoryPool unlocked;
    platform::InjectFault("InitializeCriticalSectionAndSpinCount", ERROR_NOT_ENOUGH_MEMORY, 0, 1);
    EXPECT_EQ(unlocked.Alloc(100), nullptr);
    p = unlocked.Alloc(100);
    EXPECT_NE(p, nullptr);
    unlocked.Free(p);
}

TEST(MemoryPoolSystem, FreeTopBeyondTwoMebibytesGoesBackToTheSystem) {
    CMemoryPool pool;
    // 200 KiB blocks stay in the segments; the segments grow with the pool
    // until the newest one is 4 MiB.
    std::vector<BYTE*> blocks;
    while (StatsOf(pool).cbSegments < 8u << 20) {
        BYTE* p = static_cast<BYTE*>(pool.Alloc(200 * 1024));
        ASSERT_NE(p, nullptr);
        blocks.push_back(p);
    }
    const MemoryPoolStats full = StatsOf(pool);
    ASSERT_GT(full.nSegments, 2u);
    EXPECT_EQ(full.nOwnRegions, 0u);

    // While the newest segment holds a block nothing goes back, though the
    // older segments become wholly free.
    for (size_t i = 0; i + 1 < blocks.size(); ++i)
        pool.Free(blocks[i]);
    EXPECT_EQ(StatsOf(pool).nSegments, full.nSegments);
    EXPECT_EQ(StateOf(blocks.front()), MEM_COMMIT);

    pool.Free(blocks.back());
    MemoryPoolStats after = StatsOf(pool);
    EXPECT_EQ(after.nSegments, 0u);
    EXPECT_EQ(after.cbSegments, 0u);
    EXPECT_EQ(StateOf(blocks.front()), MEM_FREE);
    EXPECT_EQ(StateOf(blocks.back()), MEM_FREE);

    // A small pool keeps its memory: no trimming at or below the threshold.
    void* p = pool.Alloc(1000);
    pool.Free(p);
    EXPECT_EQ(StatsOf(pool).nSegments, 1u);
}

TEST(MemoryPoolSystem, WhollyFreeSegmentsGoBackAfter4095LargeFrees) {
    CMemoryPool pool;
    BYTE* a = static_cast<BYTE*>(pool.Alloc(200 * 1024));
    BYTE* b = static_cast<BYTE*>(pool.Alloc(200 * 1024));  // opens a second segment
    ASSERT_EQ(StatsOf(pool).nSegments, 2u);
    pool.Free(a);  // first large free: a's segment is now wholly free
    unsigned nFrees = 1;
    while (nFrees + 1 < CMemoryPool::kReleaseCheckPeriod) {
        pool.Free(pool.Alloc(1000));
        ++nFrees;
    }
    EXPECT_EQ(StatsOf(pool).nSegments, 2u);
    EXPECT_EQ(StateOf(a), MEM_COMMIT);
    pool.Free(pool.Alloc(1000));
    EXPECT_EQ(StatsOf(pool).nSegments, 1u);
    EXPECT_EQ(StateOf(a), MEM_FREE);
    pool.Free(b);
}

class MemoryPoolDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(MemoryPoolDeathTest, BlockFreedTwiceStopsTheProcess) {
    EXPECT_DEATH(
        {
            void* p = PoolAlloc(100);
            PoolFree(p);
            PoolFree(p);
        },
        "block freed twice");
    // Also once the block has merged with a free neighbour.
    EXPECT_DEATH(
        {
            CMemoryPool pool;
            void* a = pool.Alloc(100);
            void* b = pool.Alloc(100);
            void* c = pool.Alloc(100);
            pool.Free(a);
            pool.Free(b);
            pool.Free(b);
            pool.Free(c);
        },
        "block freed twice");
    // And for a block that had a region of its own.
    EXPECT_DEATH(
        {
            void* p = PoolAlloc(CMemoryPool::kOwnRegionThreshold);
            PoolFree(p);
            PoolFree(p);
        },
        "given back already");
}

TEST_F(MemoryPoolDeathTest, PointerThePoolNeverGaveOutStopsTheProcess) {
    static BYTE s_abStatic[64];
    EXPECT_DEATH(
        {
            PoolFree(PoolAlloc(100));
            PoolFree(s_abStatic + 16);
        },
        "memory pool");
    EXPECT_DEATH(
        {
            alignas(16) BYTE abStack[64];
            PoolFree(PoolAlloc(100));
            PoolFree(abStack + 16);
        },
        "not given out");
    EXPECT_DEATH(
        {
            void* pHeap = std::malloc(64);
            PoolFree(PoolAlloc(100));
            PoolFree(pHeap);
        },
        "memory pool");
    // Inside the pool, but not the start of a block.
    EXPECT_DEATH(
        {
            BYTE* p = static_cast<BYTE*>(PoolAlloc(1000));
            std::memset(p, 0, 1000);
            PoolFree(p + 64);
        },
        "not given out");
    EXPECT_DEATH(
        {
            BYTE* p = static_cast<BYTE*>(PoolAlloc(1000));
            PoolFree(p + 8);
        },
        "not given out");
    // A block of another pool.
    EXPECT_DEATH(
        {
            CMemoryPool other;
            PoolFree(PoolAlloc(100));
            PoolFree(other.Alloc(100));
        },
        "memory pool");
}

TEST_F(MemoryPoolDeathTest, CorruptedTagOrBinLinkStopsTheProcess) {
    // A block whose tag was overwritten by the one before it.
    EXPECT_DEATH(
        {
            CMemoryPool pool;
            BYTE* a = static_cast<BYTE*>(pool.Alloc(32));
            BYTE* b = static_cast<BYTE*>(pool.Alloc(32));
            std::memset(a, 0x41, static_cast<size_t>(b - a));
            pool.Free(b);
        },
        "memory pool");
    // A free block whose list link was overwritten after it was freed.
    EXPECT_DEATH(
        {
            CMemoryPool pool;
            BYTE* a = static_cast<BYTE*>(pool.Alloc(1000));
            BYTE* guard = static_cast<BYTE*>(pool.Alloc(1000));
            pool.Free(a);
            std::memset(a, 0x41, 16);
            pool.Alloc(1000);
            pool.Free(guard);
        },
        "corrupted bin link");
}

}  // namespace
