// Virtual memory and system information.
#pragma once

#include "platform/win_types.h"

#define MEM_COMMIT 0x00001000u
#define MEM_RESERVE 0x00002000u
#define MEM_DECOMMIT 0x00004000u
#define MEM_RELEASE 0x00008000u
#define MEM_FREE 0x00010000u
#define MEM_PRIVATE 0x00020000u
#define MEM_TOP_DOWN 0x00100000u
#define PAGE_NOACCESS 0x01u
#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u

typedef struct _MEMORY_BASIC_INFORMATION {
    LPVOID BaseAddress;
    LPVOID AllocationBase;
    DWORD AllocationProtect;
    SIZE_T RegionSize;
    DWORD State;
    DWORD Protect;
    DWORD Type;
} MEMORY_BASIC_INFORMATION, *PMEMORY_BASIC_INFORMATION;

typedef struct _SYSTEM_INFO {
    WORD wProcessorArchitecture;
    WORD wReserved;
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress;
    LPVOID lpMaximumApplicationAddress;
    DWORD_PTR dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
} SYSTEM_INFO, *LPSYSTEM_INFO;

extern "C" {
// Reserves and commits (MEM_RESERVE | MEM_COMMIT) read/write memory, zero
// filled, sizes rounded up to the allocation granularity. MEM_TOP_DOWN is a
// placement hint. Null with ERROR_NOT_ENOUGH_MEMORY on failure. Thread-safe.
PLATFORM_API LPVOID VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType,
                                 DWORD flProtect);
// MEM_RELEASE with dwSize 0 releases the whole region that VirtualAlloc
// returned at lpAddress. Other addresses: ERROR_INVALID_ADDRESS.
PLATFORM_API BOOL VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType);
// Describes the region containing lpAddress (MEM_COMMIT for a live region
// made by VirtualAlloc, MEM_FREE otherwise). Returns the record size, 0 on
// failure.
PLATFORM_API SIZE_T VirtualQuery(LPCVOID lpAddress, PMEMORY_BASIC_INFORMATION lpBuffer,
                                 SIZE_T dwLength);
PLATFORM_API void GetSystemInfo(LPSYSTEM_INFO lpSystemInfo);
}
