// Memory accounting for operations whose sizes come from their arguments:
// overflow-checked element counts, a bound by the machine's physical memory,
// and uninitialised results offered to transparent huge pages.
#pragma once

#include "types.hpp"

#ifdef __linux__
#include <sys/mman.h>
#endif
#include <unistd.h>

#include <cstdint>
#include <limits>
#include <new>

namespace qorv {

// An uninitialised rows x cols matrix. Its storage, when large, is offered to
// the kernel's transparent huge pages, as NumPy does for its arrays: filling
// a fresh result then faults once per 2 MB instead of once per 4 kB, which
// for results of tens of MB costs more than computing them.
inline Matrix uninitialized_matrix(Index rows, Index cols) {
    Matrix m(rows, cols);
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t huge_page = std::uintptr_t{1} << 21;
    const auto begin = reinterpret_cast<std::uintptr_t>(m.data());
    const std::uintptr_t end = begin + sizeof(double) * static_cast<std::uintptr_t>(m.size());
    const std::uintptr_t first = (begin + huge_page - 1) & ~(huge_page - 1);
    const std::uintptr_t last = end & ~(huge_page - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
    return m;
}

// a * b and a + b for element counts; a result that does not fit could
// never be allocated.
inline Index checked_mul(Index a, Index b) {
    Index r = 0;
    if (__builtin_mul_overflow(a, b, &r)) throw std::bad_alloc();
    return r;
}

inline Index checked_add(Index a, Index b) {
    Index r = 0;
    if (__builtin_add_overflow(a, b, &r)) throw std::bad_alloc();
    return r;
}

// Doubles in `matrices` square matrices of side m plus `vectors` vectors of
// m entries.
inline Index square_storage(Index matrices, Index m, Index vectors) {
    return checked_add(checked_mul(matrices, checked_mul(m, m)), checked_mul(vectors, m));
}

// Bytes of physical memory, or the largest Index when the system cannot say.
inline Index physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    Index bytes = 0;
    if (pages <= 0 || page_size <= 0 ||
        __builtin_mul_overflow(Index{pages}, Index{page_size}, &bytes)) {
        return std::numeric_limits<Index>::max();
    }
    return bytes;
}

// Throws std::bad_alloc when `doubles` doubles exceed the machine's physical
// memory. Linux may grant such a request and kill the process only once the
// pages are touched, so operations whose sizes come from integer arguments
// check them here before they allocate anything.
inline void require_memory_for(Index doubles) {
    static const Index limit = physical_memory_bytes();
    if (checked_mul(doubles, Index{sizeof(double)}) > limit) throw std::bad_alloc();
}

}  // namespace qorv
