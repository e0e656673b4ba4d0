// Allocation and release of receive-sized blocks (16 B to 4 KiB, one fixed
// pseudo-random sequence) by the memory pool, against glibc malloc in the
// same run.
//
// Single: one thread keeps a window of 32 live blocks, as a host that works
// through a few queued messages: each step frees the oldest block and
// allocates the next. Handover: one thread allocates (the receive thread),
// another frees (the host) what it receives through a single-producer
// single-consumer ring. Each block's first and last byte are written, as a
// read into it would.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "memory_pool.h"

namespace {

constexpr size_t kSequence = 4096;  // a power of two
constexpr size_t kWindow = 32;
constexpr size_t kRing = 1024;  // a power of two

const std::vector<size_t>& Sizes() {
    static const std::vector<size_t> s_sizes = [] {
        std::vector<size_t> sizes(kSequence);
        uint32_t u = 2463534242u;
        for (size_t& cb : sizes) {
            u ^= u << 13;
            u ^= u >> 17;
            u ^= u << 5;
            cb = 16 + u % (4096 - 16 + 1);
        }
        return sizes;
    }();
    return s_sizes;
}

struct PoolAllocator {
    static void* Alloc(size_t cb) { return PoolAlloc(cb); }
    static void Free(void* p) { PoolFree(p); }
};

struct MallocAllocator {
    static void* Alloc(size_t cb) { return std::malloc(cb); }
    static void Free(void* p) { std::free(p); }
};

void Touch(void* p, size_t cb) {
    static_cast<volatile unsigned char*>(p)[0] = 1;
    static_cast<volatile unsigned char*>(p)[cb - 1] = 2;
}

template <class A>
void BM_Single(benchmark::State& state) {
    const std::vector<size_t>& sizes = Sizes();
    void* apLive[kWindow] = {};
    size_t i = 0;
    for (auto _ : state) {
        void*& slot = apLive[i % kWindow];
        A::Free(slot);
        const size_t cb = sizes[i % kSequence];
        slot = A::Alloc(cb);
        if (slot == nullptr) {
            state.SkipWithError("out of memory");
            break;
        }
        Touch(slot, cb);
        ++i;
    }
    for (void* p : apLive)
        A::Free(p);
    state.SetItemsProcessed(state.iterations());
}

// Single producer, single consumer; indexes only grow.
struct Ring {
    void* apSlots[kRing];
    alignas(64) std::atomic<size_t> uHead{0};  // next slot to fill
    alignas(64) std::atomic<size_t> uTail{0};  // next slot to drain
    alignas(64) std::atomic<bool> bDone{false};
};

template <class A>
void BM_Handover(benchmark::State& state) {
    const std::vector<size_t>& sizes = Sizes();
    Ring ring;
    std::thread freer([&ring] {
        for (;;) {
            const size_t uTail = ring.uTail.load(std::memory_order_relaxed);
            if (uTail == ring.uHead.load(std::memory_order_acquire)) {
                if (ring.bDone.load(std::memory_order_acquire) &&
                    uTail == ring.uHead.load(std::memory_order_acquire)) {
                    return;
                }
                std::this_thread::yield();
                continue;
            }
            A::Free(ring.apSlots[uTail % kRing]);
            ring.uTail.store(uTail + 1, std::memory_order_release);
        }
    });
    size_t uHead = 0;
    for (auto _ : state) {
        const size_t cb = sizes[uHead % kSequence];
        void* p = A::Alloc(cb);
        if (p == nullptr) {
            state.SkipWithError("out of memory");
            break;
        }
        Touch(p, cb);
        while (uHead - ring.uTail.load(std::memory_order_acquire) >= kRing) {
            std::this_thread::yield();
        }
        ring.apSlots[uHead % kRing] = p;
        ring.uHead.store(++uHead, std::memory_order_release);
    }
    ring.bDone.store(true, std::memory_order_release);
    freer.join();
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK_TEMPLATE(BM_Single, PoolAllocator)->Name("Single/Pool");
BENCHMARK_TEMPLATE(BM_Single, MallocAllocator)->Name("Single/Malloc");
BENCHMARK_TEMPLATE(BM_Handover, PoolAllocator)->Name("Handover/Pool")->UseRealTime();
BENCHMARK_TEMPLATE(BM_Handover, MallocAllocator)->Name("Handover/Malloc")->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
