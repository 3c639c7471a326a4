// count_product_hits sums every row of X beta exactly as Eigen's product
// does: with the smallest positive tolerance, a row is a hit only when the
// two sums agree in every bit. Entries spread over many magnitudes make any
// change of summation order show.
#include "native_check.hpp"
#include "scoring.hpp"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

namespace {

using qorv::Index;
using qorv::Matrix;
using qorv::Vector;

using native_check::check;
using native_check::failures;

std::uint64_t state = 12345;

Matrix spread_matrix(Index rows, Index cols) {
    Matrix m(rows, cols);
    for (Index c = 0; c < cols; ++c) {
        for (Index r = 0; r < rows; ++r) m(r, c) = native_check::spread_value(state);
    }
    return m;
}

void sums_match_eigen(Index rows, Index cols) {
    const Matrix X = spread_matrix(rows, cols);
    const Vector beta = spread_matrix(cols, 1);
    const Vector exact = X * beta;
    const std::string shape = std::to_string(rows) + " x " + std::to_string(cols);
    check(qorv::count_product_hits(X, beta, exact, std::numeric_limits<double>::denorm_min()) ==
              rows,
          "every row of " + shape + " summed as Eigen sums it");

    const Vector y = exact + spread_matrix(rows, 1);
    const double eps = 3.0;
    const double ratio = qorv::hit_ratio(qorv::count_product_hits(X, beta, y, eps), rows);
    const double expected = qorv::compute_SR(exact, y, eps);
    check(ratio == expected || (std::isnan(ratio) && std::isnan(expected)),
          "hits of " + shape + " as compute_SR counts them");
}

}  // namespace

int main() {
    // Rows: empty, scalar tails, single packets, blocks of packets, and
    // 4001 rows, past which Eigen sums >= 128 columns in blocks of 4, not 16;
    // one row is a dot product, whatever the number of columns.
    for (Index rows : {0, 1, 3, 16, 17, 35, 200, 4001}) {
        for (Index cols : {0, 1, 4, 8, 127, 128, 130, 300}) sums_match_eigen(rows, cols);
    }
    sums_match_eigen(3999, 300);
    if (failures == 0) std::puts("ok");
    return failures == 0 ? 0 : 1;
}
