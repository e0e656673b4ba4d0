// CMemoryMgr: where a channel's receive buffers come from, the memory pool or
// the ordinary heap.
//
// The choice can change at every Open while the host still holds buffers
// from before, so each buffer records its origin in a 16-byte tag in front of
// it, and Free returns it to the allocator that made it whatever the choice
// is now.
#pragma once

#include "platform/win_types.h"

class CMemoryMgr {
public:
    CMemoryMgr() = default;
    virtual ~CMemoryMgr();
    CMemoryMgr(const CMemoryMgr&) = delete;
    CMemoryMgr& operator=(const CMemoryMgr&) = delete;

    // Stores bUsePool in m_bUsePool: non-zero, later buffers come from the
    // pool; 0, from the heap. Always TRUE. Not thread-safe against Alloc.
    BOOL Init(BOOL bUsePool);
    // Size 0: returns null and leaves *pdwSize alone. Otherwise stores dwSize
    // in *pdwSize (when given) and returns a buffer of dwSize bytes aligned
    // to 16, or null when memory is exhausted. Thread-safe.
    LPVOID Alloc(DWORD dwSize, DWORD* pdwSize = nullptr);
    // Returns the buffer to the allocator that made it; null is ignored.
    // Stops the process (abort) on a buffer given back twice or one this
    // class never gave out. Thread-safe.
    void Free(LPVOID lpBuffer);

    BOOL m_bUsePool = TRUE;
};
