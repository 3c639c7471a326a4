// The QR step of a least-squares fit: rows folded into a triangular factor
// by Householder reflectors, written with GCC vector types of L lanes and no
// Eigen, so that each processor level can compile its own copy (kernels.inl
// includes this file inside its level's namespace: builtins only, no
// library function). Lanes hold neighbouring columns; each column's sums run
// down the rows in order, so every lane count and every tile shape gives the
// same bits.
#pragma once

#include <cstdint>

#include "householder.hpp"
#include "lanes.hpp"

namespace qorv::qr {

// Columns whose reflectors are formed one by one before they go to the
// columns beyond as one block reflector I - V T V': its matrix products then
// do most of the work, at the cost of the products with T, a fraction
// kPanelCols / (2 rows) of theirs.
constexpr std::int64_t kPanelCols = 16;

// Doubles of scratch that fold_rows needs for m columns: T, V'V, and two
// products with the columns beyond a panel.
constexpr std::int64_t fold_work(std::int64_t m) { return 2 * kPanelCols * (kPanelCols + m); }

using lanes::load;
using lanes::splat;
using lanes::store;

// `fresh` in the lanes of columns j + l >= first, `old` in the others: a
// vector that starts left of a panel's first column to update keeps the
// columns before it as they were.
inline double from_column(std::int64_t, std::int64_t, double, double fresh) { return fresh; }

template <class V>
inline V from_column(std::int64_t first, std::int64_t j, const V& old, const V& fresh) {
    constexpr int L = sizeof(V) / sizeof(double);
    V column;
    for (int l = 0; l < L; ++l) column[l] = static_cast<double>(j + l);
    return column >= splat<V>(static_cast<double>(first)) ? fresh : old;
}

// w[j'] = u[j'] + sum_i v[i vs] D[i][j'] for i < r, in order, then u[j'] -=
// tau w[j'] and D[i][j'] -= tau w[j'] v[i vs], for the vector of columns
// from j, those before `first` left alone. V is a GCC vector type of
// doubles, or double itself for a single column: a one-lane vector type
// would go through memory at every step.
template <class V>
inline void reflect_columns(double* u, double* D, std::int64_t ldd, std::int64_t r,
                            const double* v, std::int64_t vs, double tau, std::int64_t j,
                            std::int64_t first) {
    V w;
    load(w, u + j);
    for (std::int64_t i = 0; i < r; ++i) {
        V d;
        load(d, D + i * ldd + j);
        w += splat<V>(v[i * vs]) * d;
    }
    w = splat<V>(tau) * w;
    V x;
    load(x, u + j);
    store(u + j, from_column(first, j, x, x - w));
    for (std::int64_t i = 0; i < r; ++i) {
        V d;
        load(d, D + i * ldd + j);
        store(D + i * ldd + j, from_column(first, j, d, d - w * splat<V>(v[i * vs])));
    }
}

// Columns [first, end) of row u of R and of D's first r rows take the
// reflector I - tau v v' (v[i vs], i < r, below R's entry), in vectors of
// L columns from `start` (a vector may begin before `first`), then one by
// one where fewer than L remain.
template <int L>
inline void reflect(double* u, double* D, std::int64_t ldd, std::int64_t r, const double* v,
                    std::int64_t vs, double tau, std::int64_t start, std::int64_t first,
                    std::int64_t end) {
    using V = typename lanes::Lanes<L>::V;
    std::int64_t j = start;
    for (; j + L <= end; j += L) reflect_columns<V>(u, D, ldd, r, v, vs, tau, j, first);
    for (j = j > first ? j : first; j < end; ++j) {
        reflect_columns<double>(u, D, ldd, r, v, vs, tau, j, first);
    }
}

// A product of a small matrix with rows of B, for RA rows of the small
// matrix and NV vectors of B's columns: sum_k A[a as + k ks] B[k][j], k < K
// in order from 0.0, stored into out[a][j] or, when Subtract, taken off
// it.
template <class V, int RA, int NV, bool Subtract>
inline void product_tile(const double* A, std::int64_t as, std::int64_t ks, std::int64_t K,
                         const double* B, std::int64_t ldb, double* out, std::int64_t ldo) {
    constexpr std::int64_t L = sizeof(V) / sizeof(double);
    V acc[RA][NV];
    for (int a = 0; a < RA; ++a) {
        for (int c = 0; c < NV; ++c) acc[a][c] = V{};
    }
    for (std::int64_t k = 0; k < K; ++k) {
        V b[NV];
        for (int c = 0; c < NV; ++c) load(b[c], B + k * ldb + c * L);
        for (int a = 0; a < RA; ++a) {
            const V s = splat<V>(A[a * as + k * ks]);
            for (int c = 0; c < NV; ++c) acc[a][c] += s * b[c];
        }
    }
    for (int a = 0; a < RA; ++a) {
        for (int c = 0; c < NV; ++c) {
            double* at = out + a * ldo + c * L;
            if (Subtract) {
                V x;
                load(x, at);
                store(at, x - acc[a][c]);
            } else {
                store(at, acc[a][c]);
            }
        }
    }
}

// product_tile over `rows` rows of the small matrix, RA at a time, then
// one at a time.
template <class V, int RA, int NV, bool Subtract>
inline void product_rows(const double* A, std::int64_t as, std::int64_t ks, std::int64_t K,
                         const double* B, std::int64_t ldb, double* out, std::int64_t ldo,
                         std::int64_t rows) {
    std::int64_t a = 0;
    for (; a + RA <= rows; a += RA) {
        product_tile<V, RA, NV, Subtract>(A + a * as, as, ks, K, B, ldb, out + a * ldo, ldo);
    }
    for (; a < rows; ++a) {
        product_tile<V, 1, NV, Subtract>(A + a * as, as, ks, K, B, ldb, out + a * ldo, ldo);
    }
}

// Tiles of RA rows by NV vectors: 8 accumulators in 16 vector registers,
// 12 in AVX-512's 32.
template <int L>
struct Tile {
    static constexpr int RA = 4;
    static constexpr int NV = L == 8 ? 3 : 2;
};

// The product of product_tile for `rows` rows of A and columns [0, cols)
// of B and out: tiles of columns outermost, so that the K rows of a tile's
// columns of B stay in the first-level cache for every row of A.
template <int L, bool Subtract>
void product(const double* A, std::int64_t as, std::int64_t ks, std::int64_t K,
             const double* B, std::int64_t ldb, double* out, std::int64_t ldo,
             std::int64_t rows, std::int64_t cols) {
    using V = typename lanes::Lanes<L>::V;
    constexpr int RA = Tile<L>::RA, NV = Tile<L>::NV;
    std::int64_t j = 0;
    for (; j + NV * L <= cols; j += NV * L) {
        product_rows<V, RA, NV, Subtract>(A, as, ks, K, B + j, ldb, out + j, ldo, rows);
    }
    for (; j + L <= cols; j += L) {
        product_rows<V, RA, 1, Subtract>(A, as, ks, K, B + j, ldb, out + j, ldo, rows);
    }
    for (; j < cols; ++j) {
        product_rows<double, RA, 1, Subtract>(A, as, ks, K, B + j, ldb, out + j, ldo, rows);
    }
}

// T (nb x nb, upper triangular, row stride kPanelCols, zeros below) of the
// block reflector H_0 H_1 ... = I - V T V' of the panel's reflectors, V's
// column a being e_a above D's rows and V[i][a] (i < r, row stride vs)
// within them: T[a][a] = tau_a and, above, T[b][a] = -tau_a sum_{b <= c <
// a} T[b][c] G[c][a] in order, G = V'V (sums in row order, the lanes of
// product: `G` holds kPanelCols^2 doubles).
template <int L>
void block_reflector(const double* V, std::int64_t vs, std::int64_t r, std::int64_t nb,
                     const double* tau, double* T, double* G) {
    product<L, false>(V, 1, vs, r, V, vs, G, kPanelCols, nb, nb);
    for (std::int64_t a = 0; a < nb; ++a) {
        for (std::int64_t b = 0; b < a; ++b) {
            double sum = 0.0;
            for (std::int64_t c = b; c < a; ++c) {
                sum += T[b * kPanelCols + c] * G[c * kPanelCols + a];
            }
            T[b * kPanelCols + a] = -tau[a] * sum;
        }
        T[a * kPanelCols + a] = tau[a];
        for (std::int64_t b = a + 1; b < nb; ++b) T[b * kPanelCols + a] = 0.0;
    }
}

// Panel [j0, j1) of fold_rows: each column's reflector, formed as Eigen's
// makeHouseholder forms it from R's diagonal entry and D's column, goes to
// the panel's columns beyond it and is kept in D's column (zeros where there
// is none), its tau in tau[].
template <int L>
void fold_panel(double* R, std::int64_t ldr, double* D, std::int64_t ldd, std::int64_t rows,
                bool triangular, std::int64_t j0, std::int64_t j1, double* tau) {
    for (std::int64_t k = j0; k < j1; ++k) {
        const std::int64_t r = triangular && k + 1 < rows ? k + 1 : rows;
        householder::Reflector h;
        double* v = D + k;
        if (!householder::make_reflector(R[k * ldr + k], v, r, ldd, v, ldd, h)) {
            for (std::int64_t i = 0; i < r; ++i) v[i * ldd] = 0.0;
            tau[k - j0] = 0.0;
            continue;
        }
        tau[k - j0] = h.tau;
        R[k * ldr + k] = h.beta;
        const std::int64_t start = j0 + (k + 1 - j0) / L * L;
        reflect<L>(R + k * ldr, D, ldd, r, v, ldd, h.tau, start, k + 1, j1);
    }
}

// R (m x m upper triangular, row stride ldr) becomes the triangular factor
// of [R; D], for the `rows` x m matrix D (row stride ldd), which is
// overwritten. When `triangular`, D is upper triangular too (zeros below
// its diagonal) and column k's reflector meets its rows 0 to k only. Panels
// of kPanelCols columns are factored column by column (fold_panel); the
// columns beyond take the panel's block reflector, Q' = I - V T' V':
// W = V' D, plus R's panel rows once summed; W' = T' W (T's zeros below
// its diagonal included); R's panel rows -= W' and D -= V W'. Each sum runs
// in the order of its index from 0.0. `work` holds fold_work(m) doubles.
template <int L>
void fold_rows(double* R, std::int64_t ldr, double* D, std::int64_t ldd, std::int64_t rows,
               std::int64_t m, bool triangular, double* work) {
    constexpr std::int64_t P = kPanelCols;
    double* T = work;
    double* G = T + P * P;
    double* W = G + P * P;
    double* TW = W + P * m;
    double tau[P];
    for (std::int64_t j0 = 0; j0 < m; j0 += P) {
        const std::int64_t j1 = j0 + P < m ? j0 + P : m, nb = j1 - j0;
        fold_panel<L>(R, ldr, D, ldd, rows, triangular, j0, j1, tau);
        const std::int64_t cols = m - j1;
        if (cols == 0) break;
        // Rows of D that the panel's reflectors meet.
        const std::int64_t r = triangular && j1 < rows ? j1 : rows;
        const double* V = D + j0;
        block_reflector<L>(V, ldd, r, nb, tau, T, G);
        double* Rp = R + j0 * ldr + j1;
        product<L, false>(V, 1, ldd, r, D + j1, ldd, W, m, nb, cols);
        for (std::int64_t a = 0; a < nb; ++a) {
            for (std::int64_t j = 0; j < cols; ++j) W[a * m + j] += Rp[a * ldr + j];
        }
        product<L, false>(T, 1, P, nb, W, m, TW, m, nb, cols);
        for (std::int64_t a = 0; a < nb; ++a) {
            for (std::int64_t j = 0; j < cols; ++j) Rp[a * ldr + j] -= TW[a * m + j];
        }
        product<L, true>(V, ldd, 1, nb, TW, m, D + j1, ldd, r, cols);
    }
}

// X (p x p, row stride ldx, zeros below its diagonal) becomes R^-1 for the
// upper triangular R (row stride ldr), rows of kPanelCols from the last up.
// Row i: X[i][i] = 1 / R[i][i] and, right of it, X[i][j] = -t / R[i][i],
// t = S[i][j] + sum_{i < k < i1} R[i][k] X[k][j] in order, i1 the end of
// row i's panel and S[i][j] the sum over k >= i1 (0.0 for j < i1), formed
// by product from 0.0 in order of k, X's zeros included.
template <int L>
void upper_inverse(const double* R, std::int64_t ldr, std::int64_t p, double* X,
                   std::int64_t ldx) {
    using V = typename lanes::Lanes<L>::V;
    for (std::int64_t i0 = (p - 1) / kPanelCols * kPanelCols; i0 >= 0; i0 -= kPanelCols) {
        const std::int64_t i1 = i0 + kPanelCols < p ? i0 + kPanelCols : p;
        if (i1 < p) {
            product<L, false>(R + i0 * ldr + i1, ldr, 1, p - i1, X + i1 * ldx + i1, ldx,
                              X + i0 * ldx + i1, ldx, i1 - i0, p - i1);
        }
        for (std::int64_t i = i1 - 1; i >= i0; --i) {
            double* x = X + i * ldx;
            const double d = R[i * ldr + i];
            for (std::int64_t j = i + 1; j < i1; ++j) x[j] = 0.0;
            std::int64_t j = i + 1;
            for (; j + L <= p; j += L) {
                V t;
                load(t, x + j);
                for (std::int64_t k = i + 1; k < i1; ++k) {
                    V y;
                    load(y, X + k * ldx + j);
                    t += splat<V>(R[i * ldr + k]) * y;
                }
                store(x + j, -t / splat<V>(d));
            }
            for (; j < p; ++j) {
                double t = x[j];
                for (std::int64_t k = i + 1; k < i1; ++k) t += R[i * ldr + k] * X[k * ldx + j];
                x[j] = -t / d;
            }
            x[i] = 1.0 / d;
        }
    }
}

}  // namespace qorv::qr
