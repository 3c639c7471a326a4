// Gram-matrix kernels over row blocks of a row-major matrix, written with
// GCC vector types of L lanes and no Eigen, so that each processor level can
// compile its own copy. Every entry of a block's Gram matrix is the sum of
// its products in row order, starting from the first row; the lanes only
// compute several entries at once, so every lane count and every tile shape
// gives the same bits.
#pragma once

#include <cstdint>
#include <cstring>

namespace qorv::gram {

// Width of a tile of output columns, and the multiple to which the padded
// row stride of a packed block is rounded.
constexpr std::int64_t kTileCols = 8;

// Row stride of a packed block with `m` columns: every tile reads whole
// groups of kTileCols entries.
constexpr std::int64_t padded_stride(std::int64_t m) {
    return (m + kTileCols - 1) / kTileCols * kTileCols;
}

// Copies `rows` rows of X (row-major, leading dimension ld, p columns) and the
// matching entries of y into `out` (stride P): X's row, then y, then zeros.
inline void pack_rows_with_target(const double* X, std::int64_t ld, std::int64_t p,
                                  const double* y, std::int64_t rows, std::int64_t P,
                                  double* out) {
    for (std::int64_t r = 0; r < rows; ++r) {
        double* row = out + r * P;
        const double* in = X + r * ld;
        // A copy loop of its own: rows are short, and a library call per row
        // costs as much as the copy.
        for (std::int64_t j = 0; j < p; ++j) row[j] = in[j];
        row[p] = y[r];
        for (std::int64_t j = p + 1; j < P; ++j) row[j] = 0.0;
    }
}

template <int L>
struct Lanes {
    typedef double V __attribute__((vector_size(L * sizeof(double))));

    // Loads and broadcasts write through a reference: a vector returned by
    // value would take a different calling convention at each level.
    static void load(V& v, const double* p) { std::memcpy(&v, p, sizeof v); }

    static void store(double* p, const V& v) { std::memcpy(p, &v, sizeof v); }

    static void splat(V& v, double a) {
        double lanes[L];
        for (double& lane : lanes) lane = a;
        load(v, lanes);
    }
};

// G[i][j] for i in [i0, i0 + TI), j in [j0, j0 + kTileCols) over `rows` rows
// of the packed block x (stride P); G has stride P.
template <int L, int TI>
inline void gram_tile(const double* x, std::int64_t rows, std::int64_t P, std::int64_t i0,
                      std::int64_t j0, double* G) {
    using Pack = Lanes<L>;
    using V = typename Pack::V;
    constexpr int NV = static_cast<int>(kTileCols) / L;
    V acc[TI][NV] = {};
    for (std::int64_t r = 0; r < rows; ++r) {
        const double* row = x + r * P;
        V b[NV];
        for (int c = 0; c < NV; ++c) Pack::load(b[c], row + j0 + c * L);
        for (int t = 0; t < TI; ++t) {
            V a;
            Pack::splat(a, row[i0 + t]);
            for (int c = 0; c < NV; ++c) acc[t][c] += a * b[c];
        }
    }
    for (int t = 0; t < TI; ++t) {
        for (int c = 0; c < NV; ++c) Pack::store(G + (i0 + t) * P + j0 + c * L, acc[t][c]);
    }
}

// Lower triangle of x'x without its last diagonal entry (i < m, j <= i,
// j < m - 1) for a packed block x of `rows` rows and stride
// P = padded_stride(m), into G (P x P, stride P). Other entries that share a
// tile with these are written too.
// L lanes per vector (dividing kTileCols), TI output rows per tile (dividing
// kTileCols).
template <int L, int TI>
void gram_lower_block(const double* x, std::int64_t rows, std::int64_t m, double* G) {
    static_assert(kTileCols % L == 0 && kTileCols % TI == 0, "tiles must divide the stride");
    const std::int64_t P = padded_stride(m);
    for (std::int64_t i0 = 0; i0 < m; i0 += TI) {
        // A last group with fewer rows than TI goes one row at a time rather
        // than through rows of padding.
        const std::int64_t group_end = i0 + TI <= m ? i0 + TI : m;
        for (std::int64_t j0 = 0; j0 < group_end && j0 < m - 1; j0 += kTileCols) {
            if (group_end == i0 + TI) {
                gram_tile<L, TI>(x, rows, P, i0, j0, G);
            } else {
                for (std::int64_t i = i0; i < group_end; ++i) gram_tile<L, 1>(x, rows, P, i, j0, G);
            }
        }
    }
}

// The kernel as the fits call it.
using GramLowerBlock = void (*)(const double* x, std::int64_t rows, std::int64_t m, double* G);

}  // namespace qorv::gram
