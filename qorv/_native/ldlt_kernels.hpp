// The update of an LDL' factorisation by finished columns, written with GCC
// vector types of L lanes and no Eigen, so that each processor level can
// compile its own copy (kernels.inl includes this file inside its level's
// namespace: builtins only, no library function). Every entry is summed
// over the columns in order; the lanes only form several rows at once, so
// every lane count and tile shape gives the same bits.
#pragma once

#include <cstdint>

#include "lanes.hpp"

namespace qorv::ldlt {

// What update() reads and writes: T (column stride ldt) loses, or with
// Carry gains, the products of L (column stride ldl, J columns) with W (J
// weights per column of T, W[c J + j] for column c).
struct Update {
    const double* L;
    std::int64_t ldl;
    const double* W;
    std::int64_t J;
    // Columns of L whose products are summed from 0.0 and subtracted
    // together, block after block.
    std::int64_t block;
    double* T;
    std::int64_t ldt;
};

using lanes::load;
using lanes::store;

// Rows [i, i + R lanes) of columns [c, c + NC) of T, V holding one double
// or a vector of them.
template <bool Carry, class V, int R, int NC>
__attribute__((always_inline)) inline void tile(const Update& u, std::int64_t i, std::int64_t c) {
    constexpr int lanes = static_cast<int>(sizeof(V) / sizeof(double));
    for (std::int64_t j0 = 0; j0 < u.J; j0 += u.block) {
        const std::int64_t j1 = j0 + u.block < u.J ? j0 + u.block : u.J;
        V acc[R][NC];
        for (int r = 0; r < R; ++r) {
            for (int n = 0; n < NC; ++n) {
                if (Carry) {
                    load(acc[r][n], u.T + (c + n) * u.ldt + i + r * lanes);
                } else {
                    acc[r][n] = V{};
                }
            }
        }
        for (std::int64_t j = j0; j < j1; ++j) {
            V a[R];
            for (int r = 0; r < R; ++r) load(a[r], u.L + j * u.ldl + i + r * lanes);
            for (int n = 0; n < NC; ++n) {
                // w - (+0.0) is w for every w, -0.0 included: a broadcast.
                const V w = u.W[(c + n) * u.J + j] - V{};
                for (int r = 0; r < R; ++r) acc[r][n] = acc[r][n] + a[r] * w;
            }
        }
        for (int r = 0; r < R; ++r) {
            for (int n = 0; n < NC; ++n) {
                double* t = u.T + (c + n) * u.ldt + i + r * lanes;
                if (Carry) {
                    store(t, acc[r][n]);
                } else {
                    V old;
                    load(old, t);
                    store(t, old - acc[r][n]);
                }
            }
        }
    }
}

// Columns [c, c + NC) of T, `rows` rows: tiles of R vectors of L lanes,
// then single vectors, then single rows.
template <bool Carry, int L, int R, int NC>
inline void column_group(const Update& u, std::int64_t rows, std::int64_t c) {
    using V = typename lanes::Lanes<L>::V;
    std::int64_t i = 0;
    for (; i + R * L <= rows; i += R * L) tile<Carry, V, R, NC>(u, i, c);
    for (; i + L <= rows; i += L) tile<Carry, V, 1, NC>(u, i, c);
    for (; i < rows; ++i) tile<Carry, double, 1, NC>(u, i, c);
}

// Every entry (i, c), i < rows, c < cols, of T: t - s_0 - s_1 - ... with
// s_b = 0.0 + l_i,j w_c,j + ... over the columns j of block b in order; with
// Carry t + l_i,0 w_c,0 + l_i,1 w_c,1 + ... in column order. Tiles of R
// vectors by NC columns.
template <bool Carry, int L, int R, int NC>
void update(const Update& u, std::int64_t rows, std::int64_t cols) {
    std::int64_t c = 0;
    for (; c + NC <= cols; c += NC) column_group<Carry, L, R, NC>(u, rows, c);
    for (; c < cols; ++c) column_group<Carry, L, R, 1>(u, rows, c);
}

}  // namespace qorv::ldlt
