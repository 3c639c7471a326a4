// Numeric types shared by every subsystem, and the size checks that guard
// each operation's entry.
#pragma once

#include <Eigen/Dense>

#ifdef __linux__
#include <sys/mman.h>
#endif
#include <unistd.h>

#include <cstdint>
#include <limits>
#include <new>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace qorv {

using Vector = Eigen::VectorXd;
using Matrix = Eigen::MatrixXd;
using Index = Eigen::Index;

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

// Exponents of one monomial, one per input dimension.
using MultiIndex = std::vector<int>;
using MultiIndexList = std::vector<MultiIndex>;

// Throws std::invalid_argument with the parts streamed together when `ok`
// is false; the message is only built on failure.
template <class... Parts>
void require(bool ok, const Parts&... parts) {
    if (ok) return;
    std::ostringstream msg;
    (msg << ... << parts);
    throw std::invalid_argument(msg.str());
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

// A penalty term takes part only when its matrix is given and its weight is
// nonzero (NaN counts as nonzero).
inline bool penalty_used(const Matrix* R, double gamma) {
    return R != nullptr && gamma != 0.0;
}

// Checks that a penalty matrix that will be used is p x p.
inline void require_penalty_shape(const char* name, const Matrix* R, double gamma,
                                  Index p, const char* p_name) {
    if (!penalty_used(R, gamma)) return;
    require(R->rows() == R->cols(), name, " is ", R->rows(), " x ", R->cols(),
            " but must be square");
    require(R->rows() == p, name, " is ", R->rows(), " x ", R->cols(), " but ", p_name,
            " has ", p, " entries");
}

}  // namespace qorv
