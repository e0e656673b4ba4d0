// CMemoryMgr: receive buffers from the pool or the heap, each tagged with its
// origin.
#include "memory_mgr.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "memory_pool.h"

namespace {

// The tag in front of every buffer. 16 bytes keep the buffer 16-aligned.
struct BufferTag {
    uint64_t uOrigin;
    uint64_t uSize;
};
static_assert(sizeof(BufferTag) == 16);

constexpr uint64_t kOriginPool = 0x504F4F4C42554631ull;  // "POOLBUF1"
constexpr uint64_t kOriginHeap = 0x4845415042554631ull;  // "HEAPBUF1"
constexpr uint64_t kOriginFreed = 0x4652454544425546ull;

[[noreturn]] void Die(const char* lpszWhy) {
    std::fprintf(stderr, "memory manager: %s\n", lpszWhy);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

CMemoryMgr::~CMemoryMgr() = default;

BOOL CMemoryMgr::Init(BOOL bUsePool) {
    m_bUsePool = bUsePool;
    return TRUE;
}

LPVOID CMemoryMgr::Alloc(DWORD dwSize, DWORD* pdwSize) {
    if (dwSize == 0)
        return nullptr;
    if (pdwSize != nullptr)
        *pdwSize = dwSize;
    const size_t cbTotal = sizeof(BufferTag) + size_t{dwSize};
    BufferTag* pTag;
    uint64_t uOrigin;
    if (m_bUsePool) {
        pTag = static_cast<BufferTag*>(PoolAlloc(cbTotal));
        uOrigin = kOriginPool;
    } else {
        // The nothrow form: an exhausted heap yields null, never an exception
        // across the library's boundary.
        pTag = reinterpret_cast<BufferTag*>(new (std::nothrow) BYTE[cbTotal]);
        uOrigin = kOriginHeap;
    }
    if (pTag == nullptr)
        return nullptr;
    pTag->uOrigin = uOrigin;
    pTag->uSize = dwSize;
    return pTag + 1;
}

void CMemoryMgr::Free(LPVOID lpBuffer) {
    if (lpBuffer == nullptr)
        return;
    BufferTag* pTag = static_cast<BufferTag*>(lpBuffer) - 1;
    const uint64_t uOrigin = pTag->uOrigin;
    if (uOrigin == kOriginPool) {
        pTag->uOrigin = kOriginFreed;
        PoolFree(pTag);
    } else if (uOrigin == kOriginHeap) {
        pTag->uOrigin = kOriginFreed;
        delete[] reinterpret_cast<BYTE*>(pTag);
    } else if (uOrigin == kOriginFreed) {
        Die("buffer given back twice");
    } else {
        Die("buffer not given out by this channel");
    }
}
