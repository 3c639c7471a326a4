// The Gram kernel gives the same bits for every lane count and tile shape,
// and each entry is the sum of its products in row order.
#include "gram_kernels.hpp"
#include "native_check.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using GramLowerBlock = void (*)(const double*, std::int64_t, std::int64_t, double*);
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

std::vector<double> run(GramLowerBlock kernel, const std::vector<double>& data,
                        std::int64_t rows, std::int64_t m) {
    const std::int64_t P = padded_stride(m);
    std::vector<double> y(static_cast<std::size_t>(rows));
    for (std::int64_t r = 0; r < rows; ++r) y[r] = data[r * m + m - 1];
    std::vector<double> x(static_cast<std::size_t>(rows * P), std::nan(""));
    qorv::gram::pack_rows_with_target(data.data(), m, 1, m - 1, y.data(), rows, P, x.data());
    std::vector<double> G(static_cast<std::size_t>(P * P), std::nan(""));
    kernel(x.data(), rows, m, G.data());
    return needed_entries(G, m);
}

std::vector<double> in_row_order(const std::vector<double>& data, std::int64_t rows,
                                 std::int64_t m) {
    const std::int64_t P = padded_stride(m);
    std::vector<double> G(static_cast<std::size_t>(P * P), 0.0);
    for (std::int64_t i = 0; i < m; ++i) {
        for (std::int64_t j = 0; j <= i; ++j) {
            double sum = 0.0;
            for (std::int64_t r = 0; r < rows; ++r) sum += data[r * m + i] * data[r * m + j];
            G[i * P + j] = sum;
        }
    }
    return needed_entries(G, m);
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0;
}

void every_width_agrees(std::int64_t rows, std::int64_t m) {
    const std::vector<double> x = spread_rows(rows, m);
    const std::vector<double> expected = in_row_order(x, rows, m);
    const GramLowerBlock kernels[] = {
        &qorv::gram::gram_lower_block<1, 1>, &qorv::gram::gram_lower_block<2, 2>,
        &qorv::gram::gram_lower_block<2, 4>, &qorv::gram::gram_lower_block<4, 4>,
        &qorv::gram::gram_lower_block<8, 4>, &qorv::gram::gram_lower_block<8, 8>};
    int k = 0;
    for (const GramLowerBlock kernel : kernels) {
        check(same_bits(run(kernel, x, rows, m), expected),
              "kernel " + std::to_string(k++) + " at " + std::to_string(rows) + " x " +
                  std::to_string(m) + " sums in row order");
    }
}

}  // namespace

int main() {
    for (const std::int64_t m : {1, 2, 7, 8, 9, 17, 21, 40}) {
        for (const std::int64_t rows : {1, 5, 300}) every_width_agrees(rows, m);
    }
    if (failures == 0) std::printf("test_gram_kernels: all passed\n");
    return failures == 0 ? 0 : 1;
}
