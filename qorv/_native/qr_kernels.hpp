// The QR step of a least-squares fit: rows folded into a triangular factor
// by Householder reflectors, written with GCC vector types of L lanes and no
// Eigen, so that each processor level can compile its own copy (kernels.inl
// includes this file inside its level's namespace: builtins only, no
// library function). Lanes hold neighbouring columns; each column's sums run
// down the rows in order, so every lane count gives the same bits.
#pragma once

#include <cstdint>

#include "householder.hpp"
#include "lanes.hpp"

namespace qorv::qr {

// Columns a pass of the reflector takes at once, in vectors.
constexpr int kVectors = 4;

using lanes::load;
using lanes::splat;
using lanes::store;

// w[j] = u[j] + sum_i v[i] D[i][j] for i < r, in order, then u[j] -= tau
// w[j] and D[i][j] -= tau w[j] v[i], for the NV vectors of columns from j.
// V is a GCC vector type of doubles, or double itself for a single column:
// a one-lane vector type would go through memory at every step.
template <class V, int NV>
inline void reflect_columns(double* u, double* D, std::int64_t ldd, std::int64_t r,
                            const double* v, double tau, std::int64_t j) {
    constexpr std::int64_t L = sizeof(V) / sizeof(double);
    V w[NV];
    for (int c = 0; c < NV; ++c) load(w[c], u + j + c * L);
    for (std::int64_t i = 0; i < r; ++i) {
        const V s = splat<V>(v[i]);
        for (int c = 0; c < NV; ++c) {
            V d;
            load(d, D + i * ldd + j + c * L);
            w[c] += s * d;
        }
    }
    for (int c = 0; c < NV; ++c) {
        w[c] = splat<V>(tau) * w[c];
        V x;
        load(x, u + j + c * L);
        store(u + j + c * L, x - w[c]);
    }
    for (std::int64_t i = 0; i < r; ++i) {
        const V s = splat<V>(v[i]);
        for (int c = 0; c < NV; ++c) {
            V d;
            load(d, D + i * ldd + j + c * L);
            store(D + i * ldd + j + c * L, d - w[c] * s);
        }
    }
}

// R (m x m, upper triangular, row stride ldr) becomes the triangular factor
// of [R; D], for the `rows` x m matrix D (row stride ldd), which is
// overwritten. When `triangular`, D is upper triangular too and column k's
// reflector meets its rows 0 to k only. Each reflector is formed as Eigen's
// makeHouseholder forms it. v holds `rows` doubles of scratch.
template <int L>
void fold_rows(double* R, std::int64_t ldr, double* D, std::int64_t ldd, std::int64_t rows,
               std::int64_t m, bool triangular, double* v) {
    for (std::int64_t k = 0; k < m; ++k) {
        const std::int64_t r = triangular && k + 1 < rows ? k + 1 : rows;
        householder::Reflector h;
        if (!householder::make_reflector(R[k * ldr + k], D + k, r, ldd, v, 1, h)) continue;
        const double tau = h.tau;
        R[k * ldr + k] = h.beta;
        double* u = R + k * ldr;
        using V = typename lanes::Lanes<L>::V;
        std::int64_t j = k + 1;
        for (; j + kVectors * L <= m; j += kVectors * L) {
            reflect_columns<V, kVectors>(u, D, ldd, r, v, tau, j);
        }
        for (; j + L <= m; j += L) reflect_columns<V, 1>(u, D, ldd, r, v, tau, j);
        for (; j < m; ++j) reflect_columns<double, 1>(u, D, ldd, r, v, tau, j);
    }
}

}  // namespace qorv::qr
