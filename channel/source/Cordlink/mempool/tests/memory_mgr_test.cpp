// CMemoryMgr: size reporting, the choice of allocator, and buffers going
// back to the allocator that made them across a change of that choice.
#include <gtest/gtest.h>

#include <cstring>

#include "memory_mgr.h"
#include "memory_pool.h"
#include "platform/win_error.h"
#include "platform/win_memory.h"
#include "platform_testing/fault_injection.h"

namespace {

DWORD StateOf(const void* p) {
    MEMORY_BASIC_INFORMATION info{};
    EXPECT_EQ(VirtualQuery(p, &info, sizeof(info)), sizeof(info));
    return info.State;
}

size_t PoolFreeBytes() {
    MemoryPoolStats stats{};
    PoolGetStats(&stats);
    return stats.cbFree;
}

TEST(MemoryMgr, ZeroSizeAndNullAreNoOpsInBothModes) {
    CMemoryMgr mgr;
    EXPECT_TRUE(mgr.m_bUsePool);
    for (BOOL bUsePool : {TRUE, FALSE}) {
        EXPECT_TRUE(mgr.Init(bUsePool));
        EXPECT_EQ(mgr.m_bUsePool, bUsePool);
        DWORD dwSize = 0xDEADBEEF;
        EXPECT_EQ(mgr.Alloc(0, &dwSize), nullptr);
        EXPECT_EQ(dwSize, 0xDEADBEEFu);
        EXPECT_EQ(mgr.Alloc(0), nullptr);
        mgr.Free(nullptr);
    }
}

TEST(MemoryMgr, AllocReportsTheSizeAndTakesFromTheChosenAllocator) {
    CMemoryMgr mgr;
    DWORD dwSize = 0;
    BYTE* pPool = static_cast<BYTE*>(mgr.Alloc(1500, &dwSize));
    ASSERT_NE(pPool, nullptr);
    EXPECT_EQ(dwSize, 1500u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(pPool) % 16, 0u);
    std::memset(pPool, 0xEE, 1500);
    // Pool buffers live in the pool's virtual memory segments.
    EXPECT_EQ(StateOf(pPool), MEM_COMMIT);

    mgr.Init(FALSE);
    BYTE* pHeap = static_cast<BYTE*>(mgr.Alloc(1500, &dwSize));
    ASSERT_NE(pHeap, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(pHeap) % 16, 0u);
    std::memset(pHeap, 0xDD, 1500);
    EXPECT_EQ(StateOf(pHeap), MEM_FREE);
    mgr.Free(pHeap);
    mgr.Free(pPool);
}

TEST(MemoryMgr, BuffersGoBackToTheirOriginAfterTheModeChanges) {
    CMemoryMgr mgr;
    // First Open with the pool: the host keeps these buffers.
    mgr.Init(TRUE);
    const size_t cbFreeBefore = PoolFreeBytes();
    BYTE* apPool[8];
    for (BYTE*& p : apPool) {
        p = static_cast<BYTE*>(mgr.Alloc(3000));
        ASSERT_NE(p, nullptr);
        std::memset(p, 0x11, 3000);
    }
    BYTE* pLargePool = static_cast<BYTE*>(mgr.Alloc(300 * 1024));
    ASSERT_NE(pLargePool, nullptr);

    // Re-opened with the heap, the host gives the old buffers back: they must
    // reach the pool, not the heap (which would crash or corrupt it).
    mgr.Init(FALSE);
    BYTE* apHeap[8];
    for (BYTE*& p : apHeap) {
        p = static_cast<BYTE*>(mgr.Alloc(3000));
        ASSERT_NE(p, nullptr);
        std::memset(p, 0x22, 3000);
    }
    for (BYTE* p : apPool)
        mgr.Free(p);
    mgr.Free(pLargePool);
    EXPECT_EQ(StateOf(pLargePool), MEM_FREE);
    EXPECT_GE(PoolFreeBytes(), cbFreeBefore);

    // And back to the pool: heap buffers still go to the heap.
    mgr.Init(TRUE);
    for (BYTE* p : apHeap)
        mgr.Free(p);
}

TEST(MemoryMgr, ExhaustedPoolYieldsNull) {
    CMemoryMgr mgr;
    DWORD dwSize = 0;
    platform::InjectFault("VirtualAlloc", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(mgr.Alloc(400 * 1024, &dwSize), nullptr);
    platform::ClearFaults();
    EXPECT_EQ(dwSize, 400u * 1024u);
    void* p = mgr.Alloc(400 * 1024);
    EXPECT_NE(p, nullptr);
    mgr.Free(p);
}

class MemoryMgrDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(MemoryMgrDeathTest, BufferGivenBackTwiceOrForeignStopsTheProcess) {
    EXPECT_DEATH(
        {
            CMemoryMgr mgr;
            void* p = mgr.Alloc(64);
            mgr.Free(p);
            mgr.Free(p);
        },
        "given back twice");
    EXPECT_DEATH(
        {
            CMemoryMgr mgr;
            alignas(16) BYTE abForeign[64] = {};
            mgr.Free(abForeign + 32);
        },
        "not given out");
}

}  // namespace
