// The test binary's global operator new, counting per thread when armed.
#include "alloc_counter.h"

#include <cstdlib>
#include <new>

namespace {
thread_local bool t_bArmed = false;
thread_local int t_nAllocs = 0;
}  // namespace

void* operator new(std::size_t cb) {
    if (t_bArmed)
        ++t_nAllocs;
    void* p = std::malloc(cb == 0 ? 1 : cb);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace vxlog_test {
void ArmAllocCounter(bool bArmed) {
    if (bArmed)
        t_nAllocs = 0;
    t_bArmed = bArmed;
}
int AllocCount() {
    return t_nAllocs;
}
}  // namespace vxlog_test
