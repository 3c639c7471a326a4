// The Gram kernels give the same bits for every lane count and tile shape,
// and each entry is the sum of its products in row order: one block at a
// time, a strip of its rows, or a group of blocks one per lane (packed, or
// a single column read in place).
#include "gram_kernels.hpp"
#include "native_check.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <algorithm>
#include <vector>

namespace {

using GramLowerRows = void (*)(const double*, std::int64_t, std::int64_t, std::int64_t,
                              std::int64_t, double*);
using qorv::gram::padded_stride;

using native_check::check;
using native_check::failures;

std::uint64_t state = 987654321;

// Rows of a matrix with m - 1 columns and a target, row-major, m values a
// row (the target last).
std::vector<double> spread_rows(std::int64_t rows, std::int64_t m) {
    std::vector<double> rows_and_target(static_cast<std::size_t>(rows * m));
    for (double& v : rows_and_target) v = native_check::spread_value(state);
    return rows_and_target;
}

// The entries the kernel promises: i < m, j <= i, j < m - 1.
std::vector<double> needed_entries(const std::vector<double>& G, std::int64_t m) {
    const std::int64_t P = padded_stride(m);
    std::vector<double> out;
    for (std::int64_t i = 0; i < m; ++i) {
        for (std::int64_t j = 0; j <= i && j < m - 1; ++j) out.push_back(G[i * P + j]);
    }
    return out;
}

std::vector<double> target(const std::vector<double>& data, std::int64_t rows, std::int64_t m) {
    std::vector<double> y(static_cast<std::size_t>(rows));
    for (std::int64_t r = 0; r < rows; ++r) y[r] = data[r * m + m - 1];
    return y;
}

// The kernel over rows [i_begin, m) and then [0, i_begin) of G, each pass
// packing only the columns it needs.
std::vector<double> run(GramLowerRows kernel, const std::vector<double>& data, std::int64_t rows,
                        std::int64_t m, std::int64_t i_begin) {
    const std::int64_t P = padded_stride(m);
    const std::vector<double> y = target(data, rows, m);
    const qorv::gram::AugmentedRows z{data.data(), m, 1, m - 1, y.data()};
    std::vector<double> G(static_cast<std::size_t>(P * P), 0.0);
    for (const auto& [begin, end] : {std::pair{i_begin, m}, std::pair{std::int64_t{0}, i_begin}}) {
        const std::int64_t cols = padded_stride(end);
        std::vector<double> x(static_cast<std::size_t>(rows * cols), std::nan(""));
        qorv::gram::pack_rows_with_target(z, 0, rows, cols, x.data());
        kernel(x.data(), rows, m, begin, end, G.data());
    }
    return needed_entries(G, m);
}

// The narrow kernel on `rows` rows cut into blocks of `block` rows, one
// lane each: the entries of every block, added in block order.
template <int L, int M>
std::vector<double> run_narrow(const std::vector<double>& data, std::int64_t rows,
                               std::int64_t block) {
    constexpr std::int64_t G = qorv::gram::kGroupBlocks, E = qorv::gram::narrow_entries(M);
    const std::vector<double> y = target(data, rows, M);
    const qorv::gram::AugmentedRows z{data.data(), M, 1, M - 1, y.data()};
    std::int64_t first[G], live[G];
    for (std::int64_t g = 0; g < G; ++g) {
        first[g] = g * block;
        live[g] = std::max<std::int64_t>(0, std::min(block, rows - first[g]));
    }
    std::vector<double> acc(static_cast<std::size_t>(E * G), std::nan(""));
    qorv::gram::gram_narrow<L, M>(z, first, live, acc.data());
    std::vector<double> total(static_cast<std::size_t>(E), 0.0);
    for (std::int64_t g = 0; g < G; ++g) {
        for (std::int64_t e = 0; e < E; ++e) total[e] += acc[e * G + g];
    }
    return total;
}

// The one-column kernel on the same blocks, x and y in arrays of their own.
template <int L>
std::vector<double> run_column(const std::vector<double>& data, std::int64_t rows,
                               std::int64_t block) {
    constexpr std::int64_t G = qorv::gram::kGroupBlocks;
    const std::vector<double> y = target(data, rows, 2);
    std::vector<double> x(static_cast<std::size_t>(rows));
    for (std::int64_t r = 0; r < rows; ++r) x[r] = data[r * 2];
    std::int64_t first[G], live[G];
    for (std::int64_t g = 0; g < G; ++g) {
        first[g] = g * block;
        live[g] = std::max<std::int64_t>(0, std::min(block, rows - first[g]));
    }
    std::vector<double> acc(static_cast<std::size_t>(2 * G), std::nan(""));
    qorv::gram::gram_column<L>(x.data(), y.data(), first, live, acc.data());
    std::vector<double> total(2, 0.0);
    for (std::int64_t g = 0; g < G; ++g) {
        for (std::int64_t e = 0; e < 2; ++e) total[e] += acc[e * G + g];
    }
    return total;
}

// Each entry summed over blocks of `block` rows in row order, the blocks
// added in order.
std::vector<double> in_row_order(const std::vector<double>& data, std::int64_t rows,
                                 std::int64_t m, std::int64_t block) {
    const std::int64_t P = padded_stride(m);
    std::vector<double> G(static_cast<std::size_t>(P * P), 0.0);
    for (std::int64_t i = 0; i < m; ++i) {
        for (std::int64_t j = 0; j <= i; ++j) {
            for (std::int64_t b = 0; b < rows; b += block) {
                double sum = 0.0;
                for (std::int64_t r = b; r < std::min(rows, b + block); ++r) {
                    sum += data[r * m + i] * data[r * m + j];
                }
                G[i * P + j] += sum;
            }
        }
    }
    return needed_entries(G, m);
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    // An empty vector may hold no storage, which memcmp must not be given.
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0);
}

void every_width_agrees(std::int64_t rows, std::int64_t m) {
    const std::vector<double> x = spread_rows(rows, m);
    const std::vector<double> expected = in_row_order(x, rows, m, rows);
    const GramLowerRows kernels[] = {
        &qorv::gram::gram_lower_rows<1, 1>, &qorv::gram::gram_lower_rows<2, 2>,
        &qorv::gram::gram_lower_rows<2, 4>, &qorv::gram::gram_lower_rows<4, 4>,
        &qorv::gram::gram_lower_rows<8, 4>, &qorv::gram::gram_lower_rows<8, 8>,
        &qorv::gram::gram_lower_rows<4, 4, 2>, &qorv::gram::gram_lower_rows<8, 8, 2>};
    int k = 0;
    for (const GramLowerRows kernel : kernels) {
        for (const std::int64_t i_begin : {std::int64_t{0}, m / 16 * 8}) {
            check(same_bits(run(kernel, x, rows, m, i_begin), expected),
                  "kernel " + std::to_string(k) + " at " + std::to_string(rows) + " x " +
                      std::to_string(m) + " from row " + std::to_string(i_begin) +
                      " sums in row order");
        }
        ++k;
    }
}

template <int M>
void every_narrow_width_agrees(std::int64_t rows, std::int64_t block) {
    const std::vector<double> x = spread_rows(rows, M);
    const std::vector<double> expected = in_row_order(x, rows, M, block);
    const std::vector<double> got[] = {run_narrow<1, M>(x, rows, block),
                                       run_narrow<2, M>(x, rows, block),
                                       run_narrow<4, M>(x, rows, block),
                                       run_narrow<8, M>(x, rows, block)};
    if constexpr (M == 2) {
        for (const std::vector<double>& g :
             {run_column<1>(x, rows, block), run_column<2>(x, rows, block),
              run_column<4>(x, rows, block), run_column<8>(x, rows, block)}) {
            check(same_bits(g, expected), "column kernel at " + std::to_string(rows) +
                                              " rows in blocks of " + std::to_string(block) +
                                              " sums in block order");
        }
    }
    for (const std::vector<double>& g : got) {
        check(same_bits(g, expected), "narrow kernel at " + std::to_string(rows) + " x " +
                                          std::to_string(M) + " in blocks of " +
                                          std::to_string(block) + " sums in block order");
    }
}

// The in-place kernel on the rows of a C-ordered X with a row stride past
// its columns; the last rows end where X's storage ends.
template <int L, int PC>
void in_place_rows_agree(std::int64_t rows) {
    constexpr std::int64_t M = PC + 1, stride = PC + 3;
    const std::vector<double> x = spread_rows(rows, M);
    std::vector<double> X(static_cast<std::size_t>((rows - 1) * stride + PC), std::nan(""));
    for (std::int64_t r = 0; r < rows; ++r) {
        for (std::int64_t j = 0; j < PC; ++j) X[r * stride + j] = x[r * M + j];
    }
    const std::vector<double> y = target(x, rows, M);
    std::vector<double> G(static_cast<std::size_t>(padded_stride(M) * padded_stride(M)), 0.0);
    qorv::gram::gram_rows<L, PC>(X.data(), stride, y.data(), rows, X.data() + X.size(), G.data());
    check(same_bits(needed_entries(G, M), in_row_order(x, rows, M, rows)),
          "in-place kernel with " + std::to_string(L) + " lanes at " + std::to_string(rows) +
              " x " + std::to_string(PC) + " sums in row order");
}

template <int PC>
void in_place_rows_agree_at_every_width() {
    for (const std::int64_t rows : {1, 7, 300}) {
        in_place_rows_agree<2, PC>(rows);
        in_place_rows_agree<4, PC>(rows);
        in_place_rows_agree<8, PC>(rows);
    }
}

}  // namespace

int main() {
    in_place_rows_agree_at_every_width<1>();
    in_place_rows_agree_at_every_width<5>();
    in_place_rows_agree_at_every_width<12>();
    in_place_rows_agree_at_every_width<16>();
    for (const std::int64_t m : {1, 2, 7, 8, 9, 17, 21, 40}) {
        for (const std::int64_t rows : {1, 5, 300}) every_width_agrees(rows, m);
    }
    // Groups of one block, of a short last block, of all eight, chunks of
    // packed rows that do not divide the blocks, and blocks whose lengths
    // differ from each other modulo every tile.
    for (const auto& [rows, block] : {std::pair<std::int64_t, std::int64_t>{5, 8}, {301, 40},
                                      {1000, 125}, {2001, 257}, {1803, 251}}) {
        every_narrow_width_agrees<2>(rows, block);
        every_narrow_width_agrees<5>(rows, block);
        every_narrow_width_agrees<8>(rows, block);
    }
    if (failures == 0) std::printf("test_gram_kernels: all passed\n");
    return failures == 0 ? 0 : 1;
}
