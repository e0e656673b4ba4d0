// Virtual memory regions over mmap/munmap, and the system information that
// describes them.
//
// Windows hands out regions aligned to the 64 KiB allocation granularity and
// can describe any address (VirtualQuery). mmap does neither, so every region
// made here is over-mapped, cut to the granularity, and recorded in a small
// process-wide registry that VirtualFree and VirtualQuery consult.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <iterator>
#include <map>
#include <mutex>

#include "error_from_errno.h"
#include "fault_hit.h"
#include "platform/win_error.h"
#include "platform/win_memory.h"

namespace {

constexpr SIZE_T kAllocationGranularity = 0x10000;
// The user part of the x86-64 address space as Windows reports it.
constexpr uintptr_t kMinimumApplicationAddress = 0x10000;
constexpr uintptr_t kMaximumApplicationAddress = 0x7FFFFFFEFFFFull;

// The processor architecture of this build, as Windows numbers it.
#if defined(__x86_64__)
constexpr WORD kArchitecture = 9;
#elif defined(__aarch64__)
constexpr WORD kArchitecture = 12;
#else
constexpr WORD kArchitecture = 0xFFFF;  // unknown
#endif

SIZE_T PageSize() {
    static const SIZE_T s_cbPage = static_cast<SIZE_T>(sysconf(_SC_PAGESIZE));
    return s_cbPage;
}

SIZE_T Granularity() {
    // A system with pages larger than 64 KiB allocates whole pages.
    return PageSize() > kAllocationGranularity ? PageSize() : kAllocationGranularity;
}

// Live regions by base address, with their sizes. Never destroyed, so a
// region may still be released while the process runs its exit handlers.
struct Registry {
    std::mutex lock;
    std::map<uintptr_t, SIZE_T> regions;
};

Registry& Regions() {
    static Registry* s_pRegistry = new Registry;
    return *s_pRegistry;
}

}  // namespace

extern "C" LPVOID VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType,
                               DWORD flProtect) {
    if (platform::FaultHit("VirtualAlloc"))
        return nullptr;
    // Placement at a chosen address and reserving without committing are not
    // offered: every region is committed read/write where the system puts it.
    const DWORD dwKnown = MEM_COMMIT | MEM_RESERVE | MEM_TOP_DOWN;
    if (lpAddress != nullptr || dwSize == 0 || (flAllocationType & ~dwKnown) != 0 ||
        (flAllocationType & MEM_COMMIT) == 0 || flProtect != PAGE_READWRITE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const SIZE_T cbGran = Granularity();
    if (dwSize > SIZE_MAX / 2 - cbGran) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const SIZE_T cbRegion = (dwSize + cbGran - 1) & ~(cbGran - 1);
    // mmap only promises page alignment: map one granule more than needed and
    // cut the unaligned head and the surplus tail. MEM_TOP_DOWN needs nothing
    // extra, since the kernel's default layout already hands out addresses
    // downwards from below the stack.
    const SIZE_T cbMapped = cbRegion + cbGran - PageSize();
    void* pMapped =
        mmap(nullptr, cbMapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pMapped == MAP_FAILED) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const uintptr_t uMapped = reinterpret_cast<uintptr_t>(pMapped);
    const uintptr_t uBase = (uMapped + cbGran - 1) & ~(cbGran - 1);
    const SIZE_T cbHead = uBase - uMapped;
    const SIZE_T cbTail = cbMapped - cbHead - cbRegion;
    if (cbHead != 0)
        munmap(pMapped, cbHead);
    if (cbTail != 0)
        munmap(reinterpret_cast<void*>(uBase + cbRegion), cbTail);

    Registry& registry = Regions();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.regions[uBase] = cbRegion;
    return reinterpret_cast<LPVOID>(uBase);
}

extern "C" BOOL VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType) {
    if (platform::FaultHit("VirtualFree"))
        return FALSE;
    // Only whole regions go back; decommitting parts of one is not offered.
    if (dwFreeType != MEM_RELEASE || dwSize != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Registry& registry = Regions();
    std::lock_guard<std::mutex> guard(registry.lock);
    auto it = registry.regions.find(reinterpret_cast<uintptr_t>(lpAddress));
    if (it == registry.regions.end()) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    // Unmapped under the lock, so the address cannot be handed out and
    // registered again before its old entry is gone.
    if (munmap(lpAddress, it->second) != 0) {
        platform::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    registry.regions.erase(it);
    return TRUE;
}

extern "C" SIZE_T VirtualQuery(LPCVOID lpAddress, PMEMORY_BASIC_INFORMATION lpBuffer,
                               SIZE_T dwLength) {
    if (platform::FaultHit("VirtualQuery"))
        return 0;
    const uintptr_t uAddress = reinterpret_cast<uintptr_t>(lpAddress);
    if (lpBuffer == nullptr || dwLength < sizeof(MEMORY_BASIC_INFORMATION) ||
        uAddress > kMaximumApplicationAddress) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const uintptr_t uPage = uAddress & ~(PageSize() - 1);
    MEMORY_BASIC_INFORMATION info{};
    info.BaseAddress = reinterpret_cast<LPVOID>(uPage);

    Registry& registry = Regions();
    std::lock_guard<std::mutex> guard(registry.lock);
    auto next = registry.regions.upper_bound(uAddress);
    if (next != registry.regions.begin()) {
        auto it = std::prev(next);
        if (uAddress - it->first < it->second) {
            info.AllocationBase = reinterpret_cast<LPVOID>(it->first);
            info.AllocationProtect = PAGE_READWRITE;
            info.RegionSize = it->first + it->second - uPage;
            info.State = MEM_COMMIT;
            info.Protect = PAGE_READWRITE;
            info.Type = MEM_PRIVATE;
            *lpBuffer = info;
            return sizeof(info);
        }
    }
    // Not a region of ours. The range may still hold other mappings of the
    // process (heap, libraries); to the callers of this API it is free.
    const uintptr_t uEnd =
        next != registry.regions.end() ? next->first : kMaximumApplicationAddress + 1;
    info.RegionSize = uEnd - uPage;
    info.State = MEM_FREE;
    info.Protect = PAGE_NOACCESS;
    *lpBuffer = info;
    return sizeof(info);
}

extern "C" void GetSystemInfo(LPSYSTEM_INFO lpSystemInfo) {
    if (lpSystemInfo == nullptr)
        return;
    SYSTEM_INFO info{};
    info.wProcessorArchitecture = kArchitecture;
#if defined(__x86_64__)
    info.dwProcessorType = 8664;
#endif
    info.dwPageSize = static_cast<DWORD>(PageSize());
    info.lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(kMinimumApplicationAddress);
    info.lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(kMaximumApplicationAddress);
    long nProcessors = sysconf(_SC_NPROCESSORS_ONLN);
    if (nProcessors < 1)
        nProcessors = 1;
    info.dwNumberOfProcessors = static_cast<DWORD>(nProcessors);
    info.dwActiveProcessorMask =
        nProcessors >= 64 ? ~DWORD_PTR{0} : (DWORD_PTR{1} << nProcessors) - 1;
    info.dwAllocationGranularity = static_cast<DWORD>(Granularity());
    *lpSystemInfo = info;
}
