// Gram-matrix kernels over packed row blocks of a matrix, written with
// GCC vector types of L lanes and no Eigen, so that each processor level can
// compile its own copy (kernels.inl includes this file inside its level's
// namespace: builtins only, no library function). Every entry of a block's
// Gram matrix is the sum of its products in row order, starting from the
// first row; the lanes only compute several entries, or several blocks, at
// once, so every lane count and every tile shape gives the same bits.
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

// The rows of [X y] that a fit sums over: X has p columns, entry (r, j) at
// X[r rs + j cs]; column p is y; columns beyond it are zero.
struct AugmentedRows {
    const double* X;
    std::int64_t rs;
    std::int64_t cs;
    std::int64_t p;
    const double* y;

    double at(std::int64_t r, std::int64_t j) const {
        return j < p ? X[r * rs + j * cs] : j == p ? y[r] : 0.0;
    }
};

// Packs rows [first, first + rows) of the first P columns of [X y] (P a
// multiple of kTileCols) into `out` in panels. The loops follow X's
// contiguous direction: a C-ordered row goes panel by panel, kTileCols
// neighbouring doubles at a time; otherwise each column goes down its panel.
inline void pack_rows_with_target(const AugmentedRows& z, std::int64_t first, std::int64_t rows,
                                  std::int64_t P, double* out) {
    const std::int64_t from_X = z.p < P ? z.p : P;
    const std::int64_t whole = z.cs == 1 ? from_X / kTileCols : 0;
    const std::int64_t panel_size = rows * kTileCols;
    for (std::int64_t r = 0; r < rows; ++r) {
        const double* in = z.X + (first + r) * z.rs;
        double* to = out + r * kTileCols;
        for (std::int64_t k = 0; k < whole; ++k) {
            __builtin_memcpy(to + k * panel_size, in + k * kTileCols, kTileCols * sizeof(double));
        }
    }
    for (std::int64_t j = whole * kTileCols; j < from_X; ++j) {
        const double* in = z.X + first * z.rs + j * z.cs;
        double* to = packed_entry(out, rows, 0, j);
        for (std::int64_t r = 0; r < rows; ++r) to[r * kTileCols] = in[r * z.rs];
    }
    for (std::int64_t j = from_X; j < P; ++j) {
        double* to = packed_entry(out, rows, 0, j);
        for (std::int64_t r = 0; r < rows; ++r) to[r * kTileCols] = z.at(first + r, j);
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

    // a * b with the double at a in every lane. GCC would load a row's
    // neighbouring doubles at once and shuffle each out, and the shuffles
    // take the ports the products need: the tiles ran at two thirds of the
    // speed at AVX2 and half at AVX-512, where the broadcast is best the
    // multiplication's own memory operand.
    static void mul_splat(V& product, const double* a, const V& b) {
#if defined(__AVX512F__)
        if constexpr (L == 8) {
            // The packed blocks the kernels read are written before they are
            // called and never while they run, so the read from *a need not
            // be declared (here and below); declared as a memory operand, it
            // made GCC keep the tiles' accumulators in memory.
            asm("vmulpd (%1)%{1to8%}, %2, %0" : "=v"(product) : "r"(a), "v"(b));
            return;
        }
#endif
        V splatted;
#if defined(__AVX__)
        if constexpr (L == 4) {
            // A broadcast from memory takes a load port only.
            asm("vbroadcastsd (%1), %0" : "=v"(splatted) : "r"(a));
            product = splatted * b;
            return;
        }
#endif
        splat(splatted, *a);
        product = splatted * b;
    }
};

// G[i][j] += the sum over the `rows` rows of the packed block x, for i in
// [i0, i0 + TI), j in [j0, j0 + W kTileCols); G has row stride P. Rows i0
// to i0 + TI - 1 lie in one panel, and j0 starts one of W panels side by
// side.
template <int L, int TI, int W = 1>
inline void gram_tile(const double* x, std::int64_t rows, std::int64_t P, std::int64_t i0,
                      std::int64_t j0, double* G) {
    using Pack = Lanes<L>;
    using V = typename Pack::V;
    constexpr int NV = W * static_cast<int>(kTileCols) / L;
    const std::int64_t panel_size = rows * kTileCols;
    const double* a_panel = x + (i0 / kTileCols) * panel_size + i0 % kTileCols;
    const double* b_panel = x + (j0 / kTileCols) * panel_size;
    V acc[TI][NV] = {};
    for (std::int64_t r = 0; r < rows; ++r) {
        const double* a_row = a_panel + r * kTileCols;
        V b[NV];
        for (int c = 0; c < NV; ++c) {
            Pack::load(b[c], b_panel + (c * L / kTileCols) * panel_size + r * kTileCols +
                                 c * L % kTileCols);
        }
        for (int t = 0; t < TI; ++t) {
            for (int c = 0; c < NV; ++c) {
                V product;
                Pack::mul_splat(product, a_row + t, b[c]);
                acc[t][c] += product;
            }
        }
    }
    // Unrolled, so that the accumulators stay in registers: an indexed
    // array of them went through the stack, zeroed there at every call.
#pragma GCC unroll 8
    for (int t = 0; t < TI; ++t) {
#pragma GCC unroll 8
        for (int c = 0; c < NV; ++c) {
            double* g = G + (i0 + t) * P + j0 + c * L;
            V sum;
            Pack::load(sum, g);
            Pack::store(g, sum + acc[t][c]);
        }
    }
}

// Adds rows [i_begin, i_end) of the lower triangle of x'x without its last
// diagonal entry (i < m, j <= i, j < m - 1) to G (stride P =
// padded_stride(m)) for a packed block x of `rows` rows whose first
// padded_stride(i_end) columns are packed. Other entries that share a tile
// with these change too. i_begin is a multiple of kTileCols.
// L lanes per vector (dividing kTileCols), TI output rows per tile (dividing
// kTileCols), tiles up to W panels wide.
template <int L, int TI, int W = 1>
void gram_lower_rows(const double* x, std::int64_t rows, std::int64_t m, std::int64_t i_begin,
                     std::int64_t i_end, double* G) {
    static_assert(kTileCols % L == 0 && kTileCols % TI == 0, "tiles must divide the stride");
    const std::int64_t P = padded_stride(m);
    for (std::int64_t i0 = i_begin; i0 < i_end; i0 += TI) {
        // A last group with fewer rows than TI goes one row at a time rather
        // than through rows of padding.
        const std::int64_t group_end = i0 + TI <= i_end ? i0 + TI : i_end;
        const std::int64_t j_end = group_end < m - 1 ? group_end : m - 1;
        for (std::int64_t j0 = 0; j0 < j_end;) {
            const bool wide = W > 1 && j0 + (W - 1) * kTileCols < j_end;
            if (group_end < i0 + TI) {
                for (std::int64_t i = i0; i < group_end; ++i) gram_tile<L, 1>(x, rows, P, i, j0, G);
            } else if (wide) {
                gram_tile<L, TI, W>(x, rows, P, i0, j0, G);
            } else {
                gram_tile<L, TI>(x, rows, P, i0, j0, G);
            }
            j0 += wide && group_end == i0 + TI ? W * kTileCols : kTileCols;
        }
    }
}

// Up to a dozen or so columns of a C-ordered X, read in place: lanes hold
// entries of one row of the Gram matrix, each summed in row order, and a
// row of X is a few vector loads, so the block needs no packed copy.
constexpr std::int64_t kMaxRowCols = 16;

// Adds to G (stride padded_stride(PC + 1)) the entries i <= PC, j <= i,
// j < PC of [X y]'[X y] over `rows` rows of X (PC columns, row r at
// X + r rs, its columns contiguous, X's storage ending at X_end) and y.
// Other entries of the vectors that hold these change too: the lanes past
// a row's end read the next row, whose products land in the padding.
template <int L, int PC>
void gram_rows(const double* X, std::int64_t rs, const double* y, std::int64_t rows,
               const double* X_end, double* G) {
    using Pack = Lanes<L>;
    using V = typename Pack::V;
    constexpr int M = PC + 1;
    constexpr int NV = (PC + L - 1) / L;
    constexpr int P = static_cast<int>(padded_stride(M));
    V acc[M][NV] = {};
    for (std::int64_t r = 0; r < rows; ++r) {
        const double* row = X + r * rs;
        V x[NV];
        if (X_end - row >= NV * L) {
#pragma GCC unroll 16
            for (int c = 0; c < NV; ++c) Pack::load(x[c], row + c * L);
        } else {
            // The last rows: nothing past X_end is read.
            double part[NV * L] = {};
            for (int j = 0; j < PC; ++j) part[j] = row[j];
            for (int c = 0; c < NV; ++c) Pack::load(x[c], part + c * L);
        }
#pragma GCC unroll 17
        for (int i = 0; i < M; ++i) {
            V a;
            Pack::splat(a, i < PC ? row[i] : y[r]);
            const int nv = ((i + 1 < PC ? i + 1 : PC) + L - 1) / L;
#pragma GCC unroll 16
            for (int c = 0; c < nv; ++c) acc[i][c] += a * x[c];
        }
    }
    for (int i = 0; i < M; ++i) {
        const int nv = ((i + 1 < PC ? i + 1 : PC) + L - 1) / L;
        for (int c = 0; c < nv; ++c) {
            double* g = G + i * P + c * L;
            V sum;
            Pack::load(sum, g);
            Pack::store(g, sum + acc[i][c]);
        }
    }
}

// gram_rows for a p from 1 to PC known only at run time, with the lanes
// that lanes_for(p) gives.
template <class LanesFor, int PC = static_cast<int>(kMaxRowCols)>
void gram_rows_any(std::int64_t p, const double* X, std::int64_t rs, const double* y,
                   std::int64_t rows, const double* X_end, double* G) {
    if constexpr (PC > 1) {
        if (p < PC) return gram_rows_any<LanesFor, PC - 1>(p, X, rs, y, rows, X_end, G);
    }
    gram_rows<LanesFor::template lanes<PC>(), PC>(X, rs, y, rows, X_end, G);
}

// Few columns: too few entries to fill the lanes, and too few to hide the
// latency of a chain of additions per entry. Lanes then hold the same entry
// of kGroupBlocks different blocks instead, each still summed in row order.
constexpr std::int64_t kGroupBlocks = 8;
// Widest [X y] (m columns) summed this way.
constexpr std::int64_t kMaxNarrow = 8;

// Entries of a block's Gram matrix that the fits read: i < m, j <= i,
// j < m - 1, row after row.
constexpr std::int64_t narrow_entries(std::int64_t m) { return m * (m + 1) / 2 - 1; }

// Packs rows [row, row + rows) of a group of blocks of [X y] (M columns,
// M - 1 = z.p) into out[(r M + j) kGroupBlocks + g]: block g starts at
// row first[g] and has `live[g]` rows left; its rows beyond them are zero.
// Zero rows change no sum: a sum from +0.0 is never -0.0, and adding +0.0
// to anything else keeps it.
template <int M>
void pack_group_rows(const AugmentedRows& z, const std::int64_t* first, const std::int64_t* live,
                     std::int64_t row, std::int64_t rows, double* out) {
    constexpr std::int64_t stride = M * kGroupBlocks;
    for (std::int64_t g = 0; g < kGroupBlocks; ++g) {
        const std::int64_t left = live[g] - row;
        const std::int64_t n = left < 0 ? 0 : left < rows ? left : rows;
        const std::int64_t at = first[g] + row;
        double* dst = out + g;
        if (z.cs == 1) {
            for (std::int64_t r = 0; r < n; ++r) {
                const double* in = z.X + (at + r) * z.rs;
                for (int j = 0; j < M - 1; ++j) dst[r * stride + j * kGroupBlocks] = in[j];
            }
        } else {
            for (int j = 0; j < M - 1; ++j) {
                const double* in = z.X + at * z.rs + j * z.cs;
                for (std::int64_t r = 0; r < n; ++r) dst[r * stride + j * kGroupBlocks] = in[r * z.rs];
            }
        }
        for (std::int64_t r = 0; r < n; ++r) dst[r * stride + (M - 1) * kGroupBlocks] = z.y[at + r];
        for (std::int64_t r = n; r < rows; ++r) {
            for (int j = 0; j < M; ++j) dst[r * stride + j * kGroupBlocks] = 0.0;
        }
    }
}

// acc[e kGroupBlocks + g] += the sums over `rows` rows packed by
// pack_group_rows of entry e (narrow_entries order) of block g.
template <int L, int M>
void gram_narrow_rows(const double* x, std::int64_t rows, double* acc) {
    using Pack = Lanes<L>;
    using V = typename Pack::V;
    constexpr int NV = static_cast<int>(kGroupBlocks) / L;
    constexpr int E = static_cast<int>(narrow_entries(M));
    V sum[E][NV];
    for (int e = 0; e < E; ++e) {
        for (int c = 0; c < NV; ++c) Pack::load(sum[e][c], acc + e * kGroupBlocks + c * L);
    }
    for (std::int64_t r = 0; r < rows; ++r) {
        const double* row = x + r * M * kGroupBlocks;
        V v[M][NV];
        for (int j = 0; j < M; ++j) {
            for (int c = 0; c < NV; ++c) Pack::load(v[j][c], row + j * kGroupBlocks + c * L);
        }
        int e = 0;
        for (int i = 0; i < M; ++i) {
            for (int j = 0; j <= i && j < M - 1; ++j, ++e) {
                for (int c = 0; c < NV; ++c) sum[e][c] += v[i][c] * v[j][c];
            }
        }
    }
    for (int e = 0; e < E; ++e) {
        for (int c = 0; c < NV; ++c) Pack::store(acc + e * kGroupBlocks + c * L, sum[e][c]);
    }
}

// Doubles of a group's rows packed at a time: a few kB, so that they stay
// in the first-level cache beside the rows they come from.
constexpr std::int64_t kNarrowChunk = 1024;

// acc[e kGroupBlocks + g] = the sums of entry e (narrow_entries order) of
// block g of [X y] (M = z.p + 1 columns), which starts at row first[g] and
// has live[g] rows (0 for a lane without a block).
template <int L, int M>
void gram_narrow(const AugmentedRows& z, const std::int64_t* first, const std::int64_t* live,
                 double* acc) {
    constexpr std::int64_t chunk_rows = kNarrowChunk / (M * kGroupBlocks);
    double packed[kNarrowChunk];
    for (std::int64_t e = 0; e < narrow_entries(M) * kGroupBlocks; ++e) acc[e] = 0.0;
    std::int64_t longest = 0;
    for (std::int64_t g = 0; g < kGroupBlocks; ++g) longest = live[g] > longest ? live[g] : longest;
    for (std::int64_t row = 0; row < longest; row += chunk_rows) {
        const std::int64_t rows = longest - row < chunk_rows ? longest - row : chunk_rows;
        pack_group_rows<M>(z, first, live, row, rows, packed);
        gram_narrow_rows<L, M>(packed, rows, acc);
    }
}

// One contiguous column and y: a block's entries xx and yx want no packed
// copy. Lanes still hold L blocks, but each block's rows are read as whole
// vectors, their products formed in place, and an in-register transpose of
// an L x L tile (L blocks by L rows) turns them into L vectors of one row of
// every block, added in row order.

// Lane numbers 0 to L - 1 as a parameter pack, for shuffles whose lane
// choices are constants.
template <int... I>
struct LaneList {};
template <int L>
using LanesOf = LaneList<__integer_pack(L)...>;

// Swaps the off-diagonal S x S sub-tiles of every 2S x 2S one between rows
// v[i] and v[i + S] of an L x L tile, for every i with bit S clear; then
// the smaller sub-tiles, down to single lanes.
template <int L, int S, int... I>
__attribute__((always_inline)) inline void transpose_stage(typename Lanes<L>::V (&v)[L],
                                                           LaneList<I...> lanes) {
    using V = typename Lanes<L>::V;
#pragma GCC unroll 8
    for (int i = 0; i < L; ++i) {
        if ((i & S) != 0) continue;
        const V a = v[i], b = v[i + S];
        v[i] = __builtin_shufflevector(a, b, ((I & S) == 0 ? I : L + I - S)...);
        v[i + S] = __builtin_shufflevector(a, b, ((I & S) == 0 ? I + S : L + I)...);
    }
    if constexpr (S > 1) transpose_stage<L, S / 2>(v, lanes);
}

// Transposes the L x L tile of v[0..L) in place: v[i][l] becomes v[l][i].
// One lane is its own transpose.
template <int L>
__attribute__((always_inline)) inline void transpose_tile(typename Lanes<L>::V (&v)[L]) {
    if constexpr (L > 1) transpose_stage<L, L / 2>(v, LanesOf<L>{});
}

// sums[g] (xx) and sums[L + g] (yx) += the products of rows [at[g],
// at[g] + rows) of x and y in row order, for L blocks at once; rows is a
// multiple of L.
template <int L>
void column_tiles(const double* x, const double* y, const std::int64_t* at, std::int64_t rows,
                  double* sums) {
    using Pack = Lanes<L>;
    using V = typename Pack::V;
    V xx, yx;
    Pack::load(xx, sums);
    Pack::load(yx, sums + L);
    for (std::int64_t r = 0; r < rows; r += L) {
        V px[L], py[L];
        for (int l = 0; l < L; ++l) {
            V xv, yv;
            Pack::load(xv, x + at[l] + r);
            Pack::load(yv, y + at[l] + r);
            px[l] = xv * xv;
            py[l] = yv * xv;
        }
        transpose_tile<L>(px);
        transpose_tile<L>(py);
        for (int t = 0; t < L; ++t) {
            xx += px[t];
            yx += py[t];
        }
    }
    Pack::store(sums, xx);
    Pack::store(sums + L, yx);
}

// gram_narrow for one column x (entry r at x[r]) and y. The lanes of a
// pass read whole tiles: a lane whose block has fewer than L rows left
// reads those of another block, and its sums are dropped; the last rows of
// each block, fewer than L, are added one at a time.
template <int L>
void gram_column(const double* x, const double* y, const std::int64_t* first,
                 const std::int64_t* live, double* acc) {
    constexpr std::int64_t G = kGroupBlocks;
    for (std::int64_t g = 0; g < 2 * G; ++g) acc[g] = 0.0;
    std::int64_t done[G] = {};
    for (std::int64_t lane0 = 0; lane0 < G; lane0 += L) {
        for (;;) {
            std::int64_t lead = lane0, rows = 0;
            for (std::int64_t g = lane0; g < lane0 + L; ++g) {
                const std::int64_t left = live[g] - done[g];
                if (left > live[lead] - done[lead]) lead = g;
                if (left >= L && (rows == 0 || left < rows)) rows = left;
            }
            rows -= rows % L;
            if (rows == 0) break;
            std::int64_t at[L];
            double sums[2 * L];
            for (int l = 0; l < L; ++l) {
                const std::int64_t g = lane0 + l;
                at[l] = live[g] - done[g] >= L ? first[g] + done[g] : first[lead] + done[lead];
                sums[l] = acc[g];
                sums[L + l] = acc[G + g];
            }
            column_tiles<L>(x, y, at, rows, sums);
            for (int l = 0; l < L; ++l) {
                const std::int64_t g = lane0 + l;
                if (live[g] - done[g] < L) continue;
                acc[g] = sums[l];
                acc[G + g] = sums[L + l];
                done[g] += rows;
            }
        }
    }
    for (std::int64_t g = 0; g < G; ++g) {
        for (std::int64_t r = first[g] + done[g]; r < first[g] + live[g]; ++r) {
            acc[g] += x[r] * x[r];
            acc[G + g] += y[r] * x[r];
        }
    }
}

// gram_narrow for z.p + 1 from 2 to kMaxNarrow.
template <int L>
void gram_narrow_any(const AugmentedRows& z, const std::int64_t* first, const std::int64_t* live,
                     double* acc) {
    switch (z.p + 1) {
        case 2: return gram_narrow<L, 2>(z, first, live, acc);
        case 3: return gram_narrow<L, 3>(z, first, live, acc);
        case 4: return gram_narrow<L, 4>(z, first, live, acc);
        case 5: return gram_narrow<L, 5>(z, first, live, acc);
        case 6: return gram_narrow<L, 6>(z, first, live, acc);
        case 7: return gram_narrow<L, 7>(z, first, live, acc);
        default: return gram_narrow<L, 8>(z, first, live, acc);
    }
}

}  // namespace qorv::gram
