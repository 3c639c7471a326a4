// Gram-matrix kernels over packed row blocks of a matrix, written with
// GCC vector types of L lanes and no Eigen, so that each processor level can
// compile its own copy (kernels.inl includes this file inside its level's
// namespace: builtins only, no library function). Every entry of a block's Gram matrix is the sum of
// its products in row order, starting from the first row; the lanes only
// compute several entries at once, so every lane count and every tile shape
// gives the same bits.
#pragma once

#include <cstdint>

namespace qorv::gram {

// Columns of a panel of a packed block, and the width of a tile of output
// columns.
constexpr std::int64_t kTileCols = 8;

// Columns of a packed block with `m` columns, whole panels; also the row
// stride of the Gram matrices.
constexpr std::int64_t padded_stride(std::int64_t m) {
    return (m + kTileCols - 1) / kTileCols * kTileCols;
}

// A packed block of `rows` rows stores its columns in panels of kTileCols:
// panel k holds columns [k kTileCols, (k + 1) kTileCols) of every row, row
// after row, so that a tile reads two contiguous panels however wide the
// matrix is. Returns entry (r, j).
inline double* packed_entry(double* x, std::int64_t rows, std::int64_t r, std::int64_t j) {
    return x + ((j / kTileCols) * rows + r) * kTileCols + j % kTileCols;
}

// Packs `rows` rows of X (p columns; entry (r, j) at X[r rs + j cs]) and the
// matching entries of y into `out` (rows x P, P = padded_stride(p + 1)): row
// r is X's row, then y[r], then zeros. The loops follow X's contiguous
// direction: along rows for a C-ordered X, down columns otherwise.
inline void pack_rows_with_target(const double* X, std::int64_t rs, std::int64_t cs,
                                  std::int64_t p, const double* y, std::int64_t rows,
                                  std::int64_t P, double* out) {
    if (cs == 1) {
        for (std::int64_t r = 0; r < rows; ++r) {
            const double* in = X + r * rs;
            for (std::int64_t j = 0; j < p; ++j) *packed_entry(out, rows, r, j) = in[j];
        }
    } else {
        for (std::int64_t j = 0; j < p; ++j) {
            const double* in = X + j * cs;
            for (std::int64_t r = 0; r < rows; ++r) *packed_entry(out, rows, r, j) = in[r * rs];
        }
    }
    for (std::int64_t r = 0; r < rows; ++r) {
        for (std::int64_t j = p; j < P; ++j) *packed_entry(out, rows, r, j) = j == p ? y[r] : 0.0;
    }
}

template <int L>
struct Lanes {
    typedef double V __attribute__((vector_size(L * sizeof(double))));

    // Loads and broadcasts write through a reference: a vector returned by
    // value would take a different calling convention at each level.
    static void load(V& v, const double* p) { __builtin_memcpy(&v, p, sizeof v); }

    static void store(double* p, const V& v) { __builtin_memcpy(p, &v, sizeof v); }

    static void splat(V& v, double a) {
        double lanes[L];
        for (double& lane : lanes) lane = a;
        load(v, lanes);
    }
};

// G[i][j] for i in [i0, i0 + TI), j in [j0, j0 + kTileCols) over the `rows`
// rows of the packed block x; G has row stride P. Rows i0 to i0 + TI - 1 lie
// in one panel, and j0 starts one.
template <int L, int TI>
inline void gram_tile(const double* x, std::int64_t rows, std::int64_t P, std::int64_t i0,
                      std::int64_t j0, double* G) {
    using Pack = Lanes<L>;
    using V = typename Pack::V;
    constexpr int NV = static_cast<int>(kTileCols) / L;
    const double* a_panel = x + (i0 / kTileCols) * rows * kTileCols + i0 % kTileCols;
    const double* b_panel = x + (j0 / kTileCols) * rows * kTileCols;
    V acc[TI][NV] = {};
    for (std::int64_t r = 0; r < rows; ++r) {
        const double* a_row = a_panel + r * kTileCols;
        const double* b_row = b_panel + r * kTileCols;
        V b[NV];
        for (int c = 0; c < NV; ++c) Pack::load(b[c], b_row + c * L);
        for (int t = 0; t < TI; ++t) {
            V a;
            Pack::splat(a, a_row[t]);
            for (int c = 0; c < NV; ++c) acc[t][c] += a * b[c];
        }
    }
    for (int t = 0; t < TI; ++t) {
        for (int c = 0; c < NV; ++c) Pack::store(G + (i0 + t) * P + j0 + c * L, acc[t][c]);
    }
}

// Lower triangle of x'x without its last diagonal entry (i < m, j <= i,
// j < m - 1) for a packed block x of `rows` rows and m columns, into G
// (P x P, stride P = padded_stride(m)). Other entries that share a
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

}  // namespace qorv::gram
