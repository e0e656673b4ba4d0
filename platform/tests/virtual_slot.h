// The virtual-table entry a member function occupies, for tests that pin an
// interface's binary layout: hosts built separately call its operations by
// position.
#pragma once

#include <cstddef>
#include <cstring>

namespace platform_test {

// With the Itanium C++ ABI (g++, clang on Linux) a pointer to a virtual
// member function holds 1 + the function's byte offset in the table. A
// virtual destructor takes two entries there (the complete and the deleting
// destructor), where the Microsoft ABI has one.
template <class M>
std::ptrdiff_t VirtualSlot(M pfn) {
    struct {
        std::ptrdiff_t ptr;
        std::ptrdiff_t adj;
    } rep;
    static_assert(sizeof pfn == sizeof rep);
    std::memcpy(&rep, &pfn, sizeof rep);
    return (rep.ptr - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

}  // namespace platform_test
