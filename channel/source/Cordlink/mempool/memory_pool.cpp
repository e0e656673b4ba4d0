// The channel library's memory pool (see memory_pool.h for the block layout).
//
// Memory comes from VirtualAlloc in segments. Each segment starts with a
// small record and ends with a fence (a permanently in-use 16-byte tag), so
// merging never runs off a segment. The newest segment's free end is the
// "top", carved from when no bin has a fitting block. Free blocks below
// 256 bytes sit in exact-size lists; larger ones in size-class lists (eight
// classes per power of two) searched for the best fit. Requests of 256 KiB or
// more get a VirtualAlloc region of their own that goes straight back to the
// system when freed.
//
// The pool can only give whole regions back to the system, so trimming
// releases the top segment once it is wholly free and more than 2 MiB lies
// free at its top, together with every other wholly free segment; the latter
// are also looked for once every 4095 frees of blocks of 256 bytes or more.
#include "memory_pool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/win_memory.h"

struct CMemoryPool::Chunk {
    uintptr_t uGuard;  // Guard(this) while in use, 0 while free
    size_t cbHead;     // size (a multiple of 16) | flags
    Chunk* pFd;        // free blocks only: bin neighbours
    Chunk* pBk;
};

struct CMemoryPool::Segment {
    uint64_t uMagic;  // Guard(this): recognises the pool's own record
    Segment* pNext;
    Segment* pPrev;
    size_t cbSize;  // size of the VirtualAlloc region
};

namespace {

using Chunk = CMemoryPool::Chunk;
using Segment = CMemoryPool::Segment;

// Record at the base of a region that holds one large block.
struct OwnRegion {
    uint64_t uMagic;  // guard of the record's address
    size_t cbSize;    // size of the VirtualAlloc region
};

constexpr size_t kInUse = 1;
constexpr size_t kPrevInUse = 2;
constexpr size_t kOwnRegionFlag = 4;
constexpr size_t kFlagMask = 15;
constexpr size_t kTagSize = 16;
// A free block holds its tag, two links and its size in its last word.
constexpr size_t kMinChunk = 48;
constexpr size_t kSmallLimit = 256;
constexpr size_t kSegmentRecord = 32;
constexpr size_t kSegmentOverhead = kSegmentRecord + kTagSize;  // record + fence
constexpr size_t kMinGrowth = 0x40000;
constexpr size_t kMaxGrowth = 0x800000;
static_assert(sizeof(Segment) == kSegmentRecord);
static_assert(sizeof(OwnRegion) == kTagSize);

// Settings shared by every pool of the process, set once under the start-up
// lock.
struct PoolSettings {
    size_t cbGranularity;
    size_t cbOwnRegionThreshold;
    size_t cbTrimThreshold;
    uint64_t uCheck;
};

PoolSettings g_settings;
bool g_bSettingsReady = false;
// 0: start-up lock not created, -1: being created, 1: ready.
constinit std::atomic<LONG> g_lStartupState{0};
CRITICAL_SECTION g_csStartup;

[[noreturn]] void Die(const char* lpszWhy) {
    std::fprintf(stderr, "memory pool: %s\n", lpszWhy);
    std::fflush(stderr);
    std::abort();
}

constexpr bool IsPowerOfTwo(size_t n) {
    return n != 0 && (n & (n - 1)) == 0;
}

uintptr_t Addr(const void* p) {
    return reinterpret_cast<uintptr_t>(p);
}
Chunk* ChunkAt(uintptr_t u) {
    return reinterpret_cast<Chunk*>(u);
}
size_t SizeOf(const Chunk* c) {
    return c->cbHead & ~kFlagMask;
}
Chunk* NextOf(const Chunk* c) {
    return ChunkAt(Addr(c) + SizeOf(c));
}
void SetFooter(Chunk* c, size_t cb) {
    *reinterpret_cast<size_t*>(Addr(c) + cb - sizeof(size_t)) = cb;
}
size_t PrevFooter(const Chunk* c) {
    return *reinterpret_cast<const size_t*>(Addr(c) - sizeof(size_t));
}
Chunk* FirstChunk(const Segment* s) {
    return ChunkAt(Addr(s) + kSegmentRecord);
}
Chunk* Fence(const Segment* s) {
    return ChunkAt(Addr(s) + s->cbSize - kTagSize);
}

size_t LargeIndex(size_t cb) {
    const unsigned k = 63u - static_cast<unsigned>(__builtin_clzll(cb));  // k >= 8
    const size_t idx = (k - 8) * 8 + ((cb >> (k - 3)) & 7);
    return idx < 256 ? idx : 255;
}

void EnsureStartupLock() {
    for (;;) {
        LONG lState = 0;
        if (g_lStartupState.compare_exchange_strong(lState, -1)) {
            InitializeCriticalSection(&g_csStartup);
            g_lStartupState.store(1);
            return;
        }
        if (lState == 1)
            return;
        SleepEx(0, FALSE);  // another thread is creating it
    }
}

// Runs under the start-up lock, once per process.
void LoadSettings() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    if (!IsPowerOfTwo(info.dwPageSize) || !IsPowerOfTwo(info.dwAllocationGranularity)) {
        Die("page size or allocation granularity is not a power of two");
    }
    g_settings.cbGranularity = info.dwAllocationGranularity;
    g_settings.cbOwnRegionThreshold = CMemoryPool::kOwnRegionThreshold;
    g_settings.cbTrimThreshold = CMemoryPool::kTrimThreshold;
    // Spread the tick count over all bits; the low bit is forced on so that
    // no guard (check ^ 16-aligned address) is ever 0, the mark of a free tag.
    uint64_t u = static_cast<uint64_t>(GetTickCount()) + 0x9E3779B97F4A7C15ull;
    u = (u ^ (u >> 30)) * 0xBF58476D1CE4E5B9ull;
    u = (u ^ (u >> 27)) * 0x94D049BB133111EBull;
    g_settings.uCheck = (u ^ (u >> 31)) | 1;
    g_bSettingsReady = true;
}

}  // namespace

CMemoryPool::~CMemoryPool() {
    if (!m_bReady.load(std::memory_order_acquire))
        return;
    while (m_pSegments != nullptr) {
        Segment* pNext = m_pSegments->pNext;
        VirtualFree(m_pSegments, 0, MEM_RELEASE);
        m_pSegments = pNext;
    }
    DeleteCriticalSection(&m_cs);
}

bool CMemoryPool::Prepare() {
    if (m_bReady.load(std::memory_order_acquire))
        return true;
    EnsureStartupLock();
    EnterCriticalSection(&g_csStartup);
    if (!g_bSettingsReady)
        LoadSettings();
    if (!m_bReady.load(std::memory_order_relaxed) &&
        InitializeCriticalSectionAndSpinCount(&m_cs, 0x80000FA0)) {
        m_uCheck = (g_settings.uCheck ^ (Addr(this) * 0x9E3779B97F4A7C15ull)) | 1;
        m_uMagic = m_uCheck;
        m_bReady.store(true, std::memory_order_release);
    }
    const bool bReady = m_bReady.load(std::memory_order_relaxed);
    LeaveCriticalSection(&g_csStartup);
    return bReady;
}

void CMemoryPool::CheckState() const {
    if (m_uMagic != m_uCheck || (m_uCheck & 1) == 0)
        Die("pool state corrupted");
}

void* CMemoryPool::Alloc(size_t cbSize) {
    if (!Prepare())
        return nullptr;
    if (cbSize > SIZE_MAX / 4)
        return nullptr;
    EnterCriticalSection(&m_cs);
    CheckState();
    void* pBlock = nullptr;
    if (cbSize >= g_settings.cbOwnRegionThreshold) {
        pBlock = AllocOwnRegion(cbSize);
    } else {
        const size_t cbChunk = std::max(kMinChunk, (cbSize + kTagSize + 15) & ~size_t{15});
        Chunk* c = AllocChunk(cbChunk);
        if (c != nullptr) {
            c->uGuard = Guard(c);
            c->cbHead |= kInUse;
            pBlock = reinterpret_cast<void*>(Addr(c) + kTagSize);
        }
    }
    LeaveCriticalSection(&m_cs);
    return pBlock;
}

void CMemoryPool::Free(void* pBlock) {
    if (pBlock == nullptr)
        return;
    if (!Prepare())
        Die("pointer not given out by the pool");
    EnterCriticalSection(&m_cs);
    CheckState();
    const uintptr_t u = Addr(pBlock);
    if ((u & (kAlignment - 1)) != 0)
        Die("pointer not given out by the pool");
    if (u < kTagSize || u - kTagSize < m_uLeast)
        Die("pointer below the pool's lowest address");
    Chunk* c = ChunkAt(u - kTagSize);
    Segment* pSeg = FindSegment(Addr(c));
    if (pSeg == nullptr) {
        FreeOwnRegion(c);
    } else {
        if (c->uGuard != Guard(c)) {
            // A freed block keeps a zero guard and a plausible free tag until
            // its memory is handed out again.
            const size_t cb = SizeOf(c);
            if (c->uGuard == 0 && (c->cbHead & (kInUse | kOwnRegionFlag)) == 0 && cb >= kMinChunk &&
                cb <= Addr(Fence(pSeg)) - Addr(c)) {
                Die("block freed twice");
            }
            Die("pointer not given out by the pool, or its tag is corrupted");
        }
        const size_t cb = SizeOf(c);
        if ((c->cbHead & (kInUse | kOwnRegionFlag)) != kInUse || cb < kMinChunk ||
            cb > Addr(Fence(pSeg)) - Addr(c) || (NextOf(c)->cbHead & kPrevInUse) == 0) {
            Die("block tag corrupted");
        }
        FreeChunk(pSeg, c);
    }
    LeaveCriticalSection(&m_cs);
}

void CMemoryPool::GetStats(MemoryPoolStats* pStats) {
    if (pStats == nullptr)
        return;
    *pStats = MemoryPoolStats{};
    if (!Prepare())
        return;
    EnterCriticalSection(&m_cs);
    pStats->cbSegments = m_cbSegments;
    pStats->nSegments = m_nSegments;
    pStats->cbOwnRegions = m_cbOwnRegions;
    pStats->nOwnRegions = m_nOwnRegions;
    pStats->cbFree = m_cbFree + m_cbTop;
    pStats->cbTop = m_cbTop;
    LeaveCriticalSection(&m_cs);
}

CMemoryPool::Chunk* CMemoryPool::AllocChunk(size_t cbChunk) {
    Chunk* c = TakeFromBins(cbChunk);
    if (c == nullptr)
        c = TakeFromTop(cbChunk);
    if (c == nullptr && Grow(cbChunk))
        c = TakeFromTop(cbChunk);
    return c;
}

// Validates a link read from a bin: it must point into the span of the
// segments and at a 16-byte boundary, or the list was overwritten.
CMemoryPool::Chunk* CMemoryPool::CheckedLink(Chunk* pLink) const {
    if (pLink == nullptr)
        return nullptr;
    const uintptr_t u = Addr(pLink);
    if (u < m_uLeast || u >= m_uHighest || (u & 15) != 0)
        Die("corrupted bin link");
    if ((pLink->cbHead & kInUse) != 0 || pLink->uGuard != 0)
        Die("corrupted bin link");
    return pLink;
}

CMemoryPool::Chunk* CMemoryPool::TakeFromBins(size_t cbChunk) {
    Chunk* pBest = nullptr;
    size_t cbBest = 0;
    if (cbChunk < kSmallLimit) {
        const uint32_t uMask = m_uSmallMap & ~((1u << (cbChunk >> 4)) - 1);
        if (uMask != 0) {
            const unsigned i = static_cast<unsigned>(__builtin_ctz(uMask));
            pBest = CheckedLink(m_apSmall[i]);
            cbBest = size_t{i} << 4;
            if (SizeOf(pBest) != cbBest)
                Die("corrupted bin link");
        }
    }
    if (pBest == nullptr) {
        size_t idx = cbChunk < kSmallLimit ? 0 : LargeIndex(cbChunk);
        // The request's own class may hold blocks smaller than the request:
        // look for the best fit there first.
        if (cbChunk >= kSmallLimit) {
            for (Chunk* p = CheckedLink(m_apLarge[idx]); p != nullptr; p = CheckedLink(p->pFd)) {
                const size_t cb = SizeOf(p);
                if (cb >= cbChunk && (pBest == nullptr || cb < cbBest)) {
                    pBest = p;
                    cbBest = cb;
                    if (cb == cbChunk)
                        break;
                }
            }
            ++idx;
        }
        // Every block of a higher class fits; the smallest of the first
        // non-empty class is the best fit.
        for (size_t w = idx / 64; pBest == nullptr && w < kLargeBins / 64; ++w) {
            uint64_t uBits = m_auLargeMap[w];
            if (w == idx / 64)
                uBits &= ~uint64_t{0} << (idx % 64);
            if (uBits == 0)
                continue;
            const size_t i = w * 64 + static_cast<size_t>(__builtin_ctzll(uBits));
            for (Chunk* p = CheckedLink(m_apLarge[i]); p != nullptr; p = CheckedLink(p->pFd)) {
                const size_t cb = SizeOf(p);
                if (pBest == nullptr || cb < cbBest) {
                    pBest = p;
                    cbBest = cb;
                }
            }
            if (pBest == nullptr)
                Die("corrupted bin link");
        }
    }
    if (pBest == nullptr)
        return nullptr;
    if (cbBest < cbChunk)
        Die("corrupted bin link");
    UnlinkFree(pBest, cbBest);
    const size_t cbRest = cbBest - cbChunk;
    if (cbRest >= kMinChunk) {
        Chunk* pRest = ChunkAt(Addr(pBest) + cbChunk);
        pRest->uGuard = 0;
        pRest->cbHead = cbRest | kPrevInUse;
        SetFooter(pRest, cbRest);
        InsertFree(pRest, cbRest);
        pBest->cbHead = cbChunk | (pBest->cbHead & kPrevInUse);
    } else {
        NextOf(pBest)->cbHead |= kPrevInUse;
    }
    return pBest;
}

CMemoryPool::Chunk* CMemoryPool::TakeFromTop(size_t cbChunk) {
    if (m_pTop == nullptr || m_cbTop < cbChunk)
        return nullptr;
    Chunk* c = m_pTop;
    const size_t cbRest = m_cbTop - cbChunk;
    if (cbRest >= kMinChunk) {
        Chunk* pTop = ChunkAt(Addr(c) + cbChunk);
        pTop->uGuard = 0;
        pTop->cbHead = cbRest | kPrevInUse;
        SetFooter(pTop, cbRest);
        m_pTop = pTop;
        m_cbTop = cbRest;
        c->cbHead = cbChunk | (c->cbHead & kPrevInUse);
    } else {
        // Too little would be left to hold a free tag: hand out all of it.
        NextOf(c)->cbHead |= kPrevInUse;
        m_pTop = nullptr;
        m_cbTop = 0;
    }
    return c;
}

bool CMemoryPool::Grow(size_t cbChunk) {
    const size_t cbGran = g_settings.cbGranularity;
    const size_t cbNeed = cbChunk + kSegmentOverhead;
    const size_t cbStep = std::clamp(m_cbSegments, kMinGrowth, kMaxGrowth);
    const size_t cbSize = (std::max(cbNeed, cbStep) + cbGran - 1) & ~(cbGran - 1);
    void* pBase = VirtualAlloc(nullptr, cbSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (pBase == nullptr)
        return false;

    Segment* s = static_cast<Segment*>(pBase);
    s->uMagic = Guard(s);
    s->cbSize = cbSize;
    s->pPrev = nullptr;
    s->pNext = m_pSegments;
    if (m_pSegments != nullptr)
        m_pSegments->pPrev = s;
    m_pSegments = s;
    m_uLeast = std::min(m_uLeast, Addr(s));
    m_uHighest = std::max(m_uHighest, Addr(s) + cbSize);
    m_cbSegments += cbSize;
    ++m_nSegments;

    // The old top ends at its segment's fence: it becomes an ordinary free
    // block.
    if (m_pTop != nullptr)
        InsertFree(m_pTop, m_cbTop);
    Chunk* pFence = Fence(s);
    pFence->uGuard = Guard(pFence);
    pFence->cbHead = kTagSize | kInUse;
    m_pTop = FirstChunk(s);
    m_cbTop = cbSize - kSegmentOverhead;
    m_pTop->uGuard = 0;
    m_pTop->cbHead = m_cbTop | kPrevInUse;
    SetFooter(m_pTop, m_cbTop);
    m_pTopSegment = s;
    return true;
}

void* CMemoryPool::AllocOwnRegion(size_t cbSize) {
    const size_t cbGran = g_settings.cbGranularity;
    const size_t cbRegion = (cbSize + 2 * kTagSize + cbGran - 1) & ~(cbGran - 1);
    void* pBase =
        VirtualAlloc(nullptr, cbRegion, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_READWRITE);
    if (pBase == nullptr)
        return nullptr;
    OwnRegion* r = static_cast<OwnRegion*>(pBase);
    r->uMagic = Guard(r);
    r->cbSize = cbRegion;
    Chunk* c = ChunkAt(Addr(r) + kTagSize);
    c->uGuard = Guard(c);
    c->cbHead = (cbRegion - kTagSize) | kInUse | kOwnRegionFlag;
    m_uLeast = std::min(m_uLeast, Addr(r));
    m_cbOwnRegions += cbRegion;
    ++m_nOwnRegions;
    return reinterpret_cast<void*>(Addr(c) + kTagSize);
}

void CMemoryPool::FreeOwnRegion(Chunk* c) {
    // Outside every segment: only a region of its own can hold the block.
    // VirtualQuery tells, without touching memory that may not be mapped.
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(c, &info, sizeof(info)) == 0) {
        // The block cannot be checked; keeping it is safer than guessing.
        return;
    }
    const uintptr_t uBase = Addr(info.AllocationBase);
    if (info.State != MEM_COMMIT || uBase == 0 || Addr(c) != uBase + kTagSize) {
        Die("pointer not given out by the pool, or given back already");
    }
    OwnRegion* r = reinterpret_cast<OwnRegion*>(uBase);
    if (r->uMagic != Guard(r))
        Die("pointer not given out by the pool, or given back already");
    if (c->uGuard != Guard(c) ||
        (c->cbHead & (kInUse | kOwnRegionFlag)) != (kInUse | kOwnRegionFlag) ||
        SizeOf(c) != r->cbSize - kTagSize) {
        Die("block tag corrupted");
    }
    const size_t cbRegion = r->cbSize;
    c->uGuard = 0;
    r->uMagic = 0;
    m_cbOwnRegions -= cbRegion;
    --m_nOwnRegions;
    // Give back every region the block spans.
    uintptr_t uCursor = uBase;
    size_t cbLeft = cbRegion;
    while (cbLeft > 0) {
        if (VirtualQuery(reinterpret_cast<LPCVOID>(uCursor), &info, sizeof(info)) == 0 ||
            Addr(info.AllocationBase) != uCursor || info.State != MEM_COMMIT) {
            break;
        }
        if (!VirtualFree(reinterpret_cast<LPVOID>(uCursor), 0, MEM_RELEASE))
            break;
        const size_t cbStep = std::min(cbLeft, static_cast<size_t>(info.RegionSize));
        uCursor += cbStep;
        cbLeft -= cbStep;
    }
}

CMemoryPool::Segment* CMemoryPool::FindSegment(uintptr_t uAddr) const {
    for (Segment* s = m_pSegments; s != nullptr; s = s->pNext) {
        if (uAddr >= Addr(FirstChunk(s)) && uAddr < Addr(Fence(s))) {
            if (s->uMagic != Guard(s))
                Die("pool state corrupted");
            return s;
        }
    }
    return nullptr;
}

void CMemoryPool::FreeChunk(Segment* pSeg, Chunk* c) {
    size_t cb = SizeOf(c);
    const size_t cbHead = c->cbHead;
    Chunk* pNext = NextOf(c);
    // Marked free at once: if it merges into the block before it, its old
    // tag still tells a second free what happened.
    c->uGuard = 0;
    c->cbHead &= ~kInUse;
    if (cb >= kSmallLimit)
        ++m_nLargeFrees;

    if ((cbHead & kPrevInUse) == 0) {
        const size_t cbPrev = PrevFooter(c);
        if (cbPrev < kMinChunk || (cbPrev & kFlagMask) != 0 ||
            cbPrev > Addr(c) - Addr(FirstChunk(pSeg))) {
            Die("block tag corrupted");
        }
        Chunk* pPrev = ChunkAt(Addr(c) - cbPrev);
        if (pPrev->cbHead != (cbPrev | kPrevInUse) || pPrev == m_pTop)
            Die("block tag corrupted");
        UnlinkFree(pPrev, cbPrev);
        c = pPrev;
        cb += cbPrev;
    }
    if (pNext == m_pTop) {
        m_pTop = c;
        m_cbTop += cb;
        c->cbHead = m_cbTop | kPrevInUse;
        SetFooter(c, m_cbTop);
        if (m_cbTop > g_settings.cbTrimThreshold)
            Trim();
    } else {
        if ((pNext->cbHead & kInUse) == 0) {
            const size_t cbNext = SizeOf(pNext);
            UnlinkFree(pNext, cbNext);
            cb += cbNext;
        }
        c->cbHead = cb | kPrevInUse;
        SetFooter(c, cb);
        NextOf(c)->cbHead &= ~kPrevInUse;
        InsertFree(c, cb);
    }
    if (m_nLargeFrees >= kReleaseCheckPeriod) {
        m_nLargeFrees = 0;
        ReleaseUnusedSegments();
    }
}

void CMemoryPool::InsertFree(Chunk* c, size_t cb) {
    Chunk** ppHead;
    if (cb < kSmallLimit) {
        ppHead = &m_apSmall[cb >> 4];
        m_uSmallMap |= 1u << (cb >> 4);
    } else {
        const size_t idx = LargeIndex(cb);
        ppHead = &m_apLarge[idx];
        m_auLargeMap[idx / 64] |= uint64_t{1} << (idx % 64);
    }
    c->uGuard = 0;
    c->pBk = nullptr;
    c->pFd = *ppHead;
    if (*ppHead != nullptr)
        (*ppHead)->pBk = c;
    *ppHead = c;
    m_cbFree += cb;
}

void CMemoryPool::UnlinkFree(Chunk* c, size_t cb) {
    Chunk* pFd = CheckedLink(c->pFd);
    Chunk* pBk = CheckedLink(c->pBk);
    const bool bSmall = cb < kSmallLimit;
    const size_t idx = bSmall ? cb >> 4 : LargeIndex(cb);
    Chunk** ppHead = bSmall ? &m_apSmall[idx] : &m_apLarge[idx];
    if ((pFd != nullptr && pFd->pBk != c) || (pBk != nullptr && pBk->pFd != c) ||
        (pBk == nullptr && *ppHead != c)) {
        Die("corrupted bin link");
    }
    if (pFd != nullptr)
        pFd->pBk = pBk;
    if (pBk != nullptr) {
        pBk->pFd = pFd;
    } else {
        *ppHead = pFd;
        if (pFd == nullptr) {
            if (bSmall) {
                m_uSmallMap &= ~(1u << idx);
            } else {
                m_auLargeMap[idx / 64] &= ~(uint64_t{1} << (idx % 64));
            }
        }
    }
    m_cbFree -= cb;
}

void CMemoryPool::Trim() {
    Segment* s = m_pTopSegment;
    if (s != nullptr && m_pTop == FirstChunk(s)) {
        // The whole top segment is free: give it back.
        Chunk* pTop = m_pTop;
        const size_t cbTop = m_cbTop;
        m_pTop = nullptr;
        m_cbTop = 0;
        m_pTopSegment = nullptr;
        if (!ReleaseSegment(s)) {
            m_pTop = pTop;
            m_cbTop = cbTop;
            m_pTopSegment = s;
        }
    }
    ReleaseUnusedSegments();
}

void CMemoryPool::ReleaseUnusedSegments() {
    Segment* s = m_pSegments;
    while (s != nullptr) {
        Segment* pNext = s->pNext;
        Chunk* c = FirstChunk(s);
        const size_t cbArea = s->cbSize - kSegmentOverhead;
        if (s != m_pTopSegment && (c->cbHead & kInUse) == 0 && SizeOf(c) == cbArea) {
            UnlinkFree(c, cbArea);
            if (!ReleaseSegment(s))
                InsertFree(c, cbArea);
        }
        s = pNext;
    }
}

bool CMemoryPool::ReleaseSegment(Segment* s) {
    Segment* pNext = s->pNext;
    Segment* pPrev = s->pPrev;
    const size_t cbSize = s->cbSize;
    if (!VirtualFree(s, 0, MEM_RELEASE))
        return false;
    if (pPrev != nullptr) {
        pPrev->pNext = pNext;
    } else {
        m_pSegments = pNext;
    }
    if (pNext != nullptr)
        pNext->pPrev = pPrev;
    m_cbSegments -= cbSize;
    --m_nSegments;
    return true;
}

namespace {

// The process-wide pool lives until the process ends: buffers may still come
// back from static objects of the host after this library's static objects
// are gone, so its destructor must never run.
union ProcessPool {
    constexpr ProcessPool() : pool() {}
    ~ProcessPool() {}
    CMemoryPool pool;
};

constinit ProcessPool g_processPool;

}  // namespace

void* PoolAlloc(size_t cbSize) {
    return g_processPool.pool.Alloc(cbSize);
}

void PoolFree(void* pBlock) {
    g_processPool.pool.Free(pBlock);
}

void PoolGetStats(MemoryPoolStats* pStats) {
    g_processPool.pool.GetStats(pStats);
}
