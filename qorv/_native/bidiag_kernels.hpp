// The two passes of a Householder bidiagonalisation over a column-major
// matrix, written with GCC vector types of L lanes and no Eigen, so that
// each processor level can compile its own copy (kernels.inl includes this
// file inside its level's namespace: builtins only, no library function).
// A sum down a column runs in kSumLanes interleaved partial sums, combined
// in one fixed tree; a sum across columns runs column after column. Neither
// order depends on L, so every level gives the same bits.
#pragma once

#include <cstdint>

#include "lanes.hpp"

namespace qorv::bidiag {

// Partial sums of a sum down a column: row i goes to sum i % kSumLanes.
constexpr int kSumLanes = 8;

using lanes::load;
using lanes::splat;
using lanes::store;

// The sum of s[0 ... kSumLanes), in the fixed tree.
inline double combine(const double* s) {
    return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
}

// NC columns from col (stride lda, r rows) first lose z[i] tv[c] (the right
// reflector's update, when Right), then lose (tau w_c) u[i], w_c being the
// column's sum with u in the fixed order. The columns share every load of
// z and u.
template <int L, int NC, bool Right>
inline void update_group(double* col, std::int64_t lda, std::int64_t r, const double* z,
                         const double* tv, const double* u, double tau) {
    using V = typename lanes::Lanes<L>::V;
    constexpr int NV = kSumLanes / L;
    V acc[NC][NV];
    V t[NC];
    for (int c = 0; c < NC; ++c) {
        for (int q = 0; q < NV; ++q) acc[c][q] = V{};
        t[c] = splat<V>(Right ? tv[c] : 0.0);
    }
    const std::int64_t whole = r - r % kSumLanes;
    for (std::int64_t i = 0; i < whole; i += kSumLanes) {
        for (int q = 0; q < NV; ++q) {
            V uq, zq{};
            load(uq, u + i + q * L);
            if (Right) load(zq, z + i + q * L);
            for (int c = 0; c < NC; ++c) {
                double* at = col + c * lda + i + q * L;
                V x;
                load(x, at);
                if (Right) {
                    x = x - zq * t[c];
                    store(at, x);
                }
                acc[c][q] += uq * x;
            }
        }
    }
    V tw[NC];
    double tws[NC];
    for (int c = 0; c < NC; ++c) {
        double* x = col + c * lda;
        double s[kSumLanes];
        for (int q = 0; q < NV; ++q) store(s + q * L, acc[c][q]);
        double sum = combine(s);
        for (std::int64_t i = whole; i < r; ++i) {
            if (Right) x[i] = x[i] - z[i] * tv[c];
            sum += u[i] * x[i];
        }
        tws[c] = tau * sum;
        tw[c] = splat<V>(tws[c]);
    }
    std::int64_t i = 0;
    for (; i + L <= r; i += L) {
        V uq;
        load(uq, u + i);
        for (int c = 0; c < NC; ++c) {
            double* at = col + c * lda + i;
            V x;
            load(x, at);
            store(at, x - tw[c] * uq);
        }
    }
    for (; i < r; ++i) {
        for (int c = 0; c < NC; ++c) col[c * lda + i] = col[c * lda + i] - tws[c] * u[i];
    }
}

// Columns a group takes at once: their partial sums fill eight vector
// registers.
template <int L>
constexpr int group_columns() {
    return L >= 4 ? 4 : 2;
}

template <int L, bool Right>
void update_columns(double* A, std::int64_t lda, std::int64_t cols, std::int64_t r,
                    const double* z, const double* tv, const double* u, double tau) {
    constexpr int NC = group_columns<L>();
    std::int64_t c = 0;
    for (; c + NC <= cols; c += NC) {
        update_group<L, NC, Right>(A + c * lda, lda, r, z, tv + c, u, tau);
    }
    for (; c < cols; ++c) update_group<L, 1, Right>(A + c * lda, lda, r, z, tv + c, u, tau);
}

// For each column c < cols of A (column stride lda, r rows from the
// reflectors' first row): when z is not null, A[i, c] -= z[i] tv[c]; then
// the left reflector I - tau u u': w = sum_i u[i] A[i, c] in the fixed
// order, A[i, c] -= (tau w) u[i].
template <int L>
void update_columns(double* A, std::int64_t lda, std::int64_t cols, std::int64_t r,
                    const double* z, const double* tv, const double* u, double tau) {
    if (z != nullptr) return update_columns<L, true>(A, lda, cols, r, z, tv, u, tau);
    update_columns<L, false>(A, lda, cols, r, z, tv, u, tau);
}

// Columns added to a vector of row sums between its load and its store.
constexpr int kColumnsAtOnce = 8;

// z[i] = sum over c < cols, in column order from 0.0, of v[c] A[i, c], for
// i < rows (A column-major, column stride lda). Each vector of rows takes
// kColumnsAtOnce columns between a load and a store of its sums.
template <int L>
void column_combination(const double* A, std::int64_t lda, std::int64_t rows,
                        std::int64_t cols, const double* v, double* z) {
    using V = typename lanes::Lanes<L>::V;
    for (std::int64_t i = 0; i < rows; ++i) z[i] = 0.0;
    std::int64_t c = 0;
    for (; c + kColumnsAtOnce <= cols; c += kColumnsAtOnce) {
        const double* a[kColumnsAtOnce];
        V s[kColumnsAtOnce];
        for (int k = 0; k < kColumnsAtOnce; ++k) {
            a[k] = A + (c + k) * lda;
            s[k] = splat<V>(v[c + k]);
        }
        std::int64_t i = 0;
        for (; i + L <= rows; i += L) {
            V acc;
            load(acc, z + i);
            for (int k = 0; k < kColumnsAtOnce; ++k) {
                V x;
                load(x, a[k] + i);
                acc += x * s[k];
            }
            store(z + i, acc);
        }
        for (; i < rows; ++i) {
            double acc = z[i];
            for (int k = 0; k < kColumnsAtOnce; ++k) acc += a[k][i] * v[c + k];
            z[i] = acc;
        }
    }
    for (; c < cols; ++c) {
        const double* a = A + c * lda;
        for (std::int64_t i = 0; i < rows; ++i) z[i] += a[i] * v[c];
    }
}

}  // namespace qorv::bidiag
