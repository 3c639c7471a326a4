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
using lanes::store;

template <class V>
inline V splat(double x) {
    return x - V{};
}

// Column col (r rows) first loses z[i] tv (the right reflector's update,
// when z is not null), then its sum with u in the fixed order.
template <int L>
inline double update_and_dot(double* col, std::int64_t r, const double* z, double tv,
                             const double* u) {
    using V = typename lanes::Lanes<L>::V;
    constexpr int NV = kSumLanes / L;
    V acc[NV];
    for (int q = 0; q < NV; ++q) acc[q] = V{};
    const V t = splat<V>(tv);
    const std::int64_t whole = r - r % kSumLanes;
    for (std::int64_t i = 0; i < whole; i += kSumLanes) {
        for (int q = 0; q < NV; ++q) {
            V x, uq;
            load(x, col + i + q * L);
            if (z != nullptr) {
                V zq;
                load(zq, z + i + q * L);
                x = x - zq * t;
                store(col + i + q * L, x);
            }
            load(uq, u + i + q * L);
            acc[q] += uq * x;
        }
    }
    double s[kSumLanes];
    for (int q = 0; q < NV; ++q) store(s + q * L, acc[q]);
    double sum = ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
    for (std::int64_t i = whole; i < r; ++i) {
        if (z != nullptr) col[i] = col[i] - z[i] * tv;
        sum += u[i] * col[i];
    }
    return sum;
}

// col[i] -= t u[i] for i < r.
template <int L>
inline void subtract_multiple(double* col, std::int64_t r, double t, const double* u) {
    using V = typename lanes::Lanes<L>::V;
    const V tt = splat<V>(t);
    std::int64_t i = 0;
    for (; i + L <= r; i += L) {
        V x, uq;
        load(x, col + i);
        load(uq, u + i);
        store(col + i, x - tt * uq);
    }
    for (; i < r; ++i) col[i] = col[i] - t * u[i];
}

// For each column c < cols of A (column stride lda, r rows from the
// reflectors' first row): when z is not null, A[i, c] -= z[i] tv[c]; then
// the left reflector I - tau u u': w = sum_i u[i] A[i, c] in the fixed
// order, A[i, c] -= (tau w) u[i].
template <int L>
void update_columns(double* A, std::int64_t lda, std::int64_t cols, std::int64_t r,
                    const double* z, const double* tv, const double* u, double tau) {
    for (std::int64_t c = 0; c < cols; ++c) {
        double* col = A + c * lda;
        const double w = update_and_dot<L>(col, r, z, z != nullptr ? tv[c] : 0.0, u);
        subtract_multiple<L>(col, r, tau * w, u);
    }
}

// Columns added to a vector of row sums between its load and its store.
constexpr int kColumnsAtOnce = 4;

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
