// Virtual memory regions: alignment, rounding, description, release, and
// the failures callers must handle.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/win_error.h"
#include "platform/win_memory.h"
#include "platform_testing/fault_injection.h"

namespace {

constexpr SIZE_T kGranularity = 0x10000;

uintptr_t Addr(LPCVOID p) {
    return reinterpret_cast<uintptr_t>(p);
}

MEMORY_BASIC_INFORMATION Query(LPCVOID p) {
    MEMORY_BASIC_INFORMATION info{};
    EXPECT_EQ(VirtualQuery(p, &info, sizeof(info)), sizeof(info));
    return info;
}

TEST(VirtualMemory, SystemInfoReportsPowersOfTwo) {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    EXPECT_EQ(info.dwAllocationGranularity, kGranularity);
    ASSERT_GT(info.dwPageSize, 0u);
    EXPECT_EQ(info.dwPageSize & (info.dwPageSize - 1), 0u);
    EXPECT_EQ(info.dwAllocationGranularity % info.dwPageSize, 0u);
    EXPECT_GE(info.dwNumberOfProcessors, 1u);
    EXPECT_NE(info.dwActiveProcessorMask, 0u);
}

TEST(VirtualMemory, RegionIsAlignedRoundedZeroedAndDescribed) {
    SYSTEM_INFO sys{};
    GetSystemInfo(&sys);
    const SIZE_T cbAsked = kGranularity + 1;
    BYTE* p = static_cast<BYTE*>(
        VirtualAlloc(nullptr, cbAsked, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_READWRITE));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Addr(p) % kGranularity, 0u);
    // The whole rounded size is usable and starts out zero.
    for (SIZE_T i = 0; i < 2 * kGranularity; i += 4096)
        EXPECT_EQ(p[i], 0) << i;
    std::memset(p, 0xA5, 2 * kGranularity);

    MEMORY_BASIC_INFORMATION info = Query(p + kGranularity + 100);
    EXPECT_EQ(info.AllocationBase, p);
    EXPECT_EQ(Addr(info.BaseAddress),
              Addr(p + kGranularity + 100) & ~uintptr_t{sys.dwPageSize - 1});
    EXPECT_EQ(Addr(info.BaseAddress) + info.RegionSize, Addr(p) + 2 * kGranularity);
    EXPECT_EQ(info.State, MEM_COMMIT);
    EXPECT_EQ(info.Protect, PAGE_READWRITE);

    // Just past the end belongs to no region.
    info = Query(p + 2 * kGranularity);
    EXPECT_EQ(info.State, MEM_FREE);
    EXPECT_EQ(info.AllocationBase, nullptr);

    ASSERT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    info = Query(p);
    EXPECT_EQ(info.State, MEM_FREE);
    EXPECT_GE(info.RegionSize, 2 * kGranularity);
}

TEST(VirtualMemory, FreeAcceptsOnlyAWholeRegionAtItsBase) {
    BYTE* p = static_cast<BYTE*>(
        VirtualAlloc(nullptr, 3 * kGranularity, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(p, nullptr);
    SetLastError(0);
    EXPECT_FALSE(VirtualFree(p + kGranularity, 0, MEM_RELEASE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
    EXPECT_FALSE(VirtualFree(p, kGranularity, MEM_RELEASE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(VirtualFree(p, kGranularity, MEM_DECOMMIT));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // The failed calls left the region intact.
    EXPECT_EQ(Query(p + 2 * kGranularity).State, MEM_COMMIT);
    p[3 * kGranularity - 1] = 1;

    ASSERT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    EXPECT_FALSE(VirtualFree(p, 0, MEM_RELEASE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
}

TEST(VirtualMemory, BadArgumentsAreRejected) {
    SetLastError(0);
    EXPECT_EQ(VirtualAlloc(nullptr, 0, MEM_COMMIT, PAGE_READWRITE), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(VirtualAlloc(nullptr, 100, MEM_RESERVE, PAGE_READWRITE), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(VirtualAlloc(nullptr, 100, MEM_COMMIT, PAGE_NOACCESS), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(VirtualAlloc(nullptr, SIZE_MAX - 10, MEM_COMMIT, PAGE_READWRITE), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);

    MEMORY_BASIC_INFORMATION info{};
    EXPECT_EQ(VirtualQuery(&info, nullptr, sizeof(info)), 0u);
    EXPECT_EQ(VirtualQuery(&info, &info, sizeof(info) - 1), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(VirtualMemory, FaultSeamFailsEachCallWithTheChosenError) {
    platform::InjectFault("VirtualAlloc", ERROR_NOT_ENOUGH_MEMORY, 0, 1);
    EXPECT_EQ(VirtualAlloc(nullptr, 1, MEM_COMMIT, PAGE_READWRITE), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);

    LPVOID p = VirtualAlloc(nullptr, 1, MEM_COMMIT, PAGE_READWRITE);
    ASSERT_NE(p, nullptr);
    MEMORY_BASIC_INFORMATION info{};
    platform::InjectFault("VirtualQuery", ERROR_NOACCESS, 0, 1);
    EXPECT_EQ(VirtualQuery(p, &info, sizeof(info)), 0u);
    EXPECT_EQ(GetLastError(), ERROR_NOACCESS);

    platform::InjectFault("VirtualFree", ERROR_ACCESS_DENIED, 0, 1);
    EXPECT_FALSE(VirtualFree(p, 0, MEM_RELEASE));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Query(p).State, MEM_COMMIT);
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    platform::ClearFaults();
}

TEST(VirtualMemory, ConcurrentAllocAndFreeKeepTheRegistryConsistent) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::atomic<int> nFailures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&nFailures, t] {
            for (int i = 0; i < kRounds; ++i) {
                const SIZE_T cb = static_cast<SIZE_T>(1 + (i % 3)) * kGranularity;
                BYTE* p = static_cast<BYTE*>(
                    VirtualAlloc(nullptr, cb, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
                if (p == nullptr) {
                    ++nFailures;
                    continue;
                }
                p[0] = static_cast<BYTE>(t);
                p[cb - 1] = static_cast<BYTE>(i);
                MEMORY_BASIC_INFORMATION info{};
                if (VirtualQuery(p + cb - 1, &info, sizeof(info)) != sizeof(info) ||
                    info.AllocationBase != p || info.State != MEM_COMMIT ||
                    p[0] != static_cast<BYTE>(t)) {
                    ++nFailures;
                }
                if (!VirtualFree(p, 0, MEM_RELEASE))
                    ++nFailures;
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(nFailures.load(), 0);
}

}  // namespace
