#include "robust_rows.hpp"

#include <algorithm>
#include <cmath>

namespace qorv {

Index weighted_rows(const StridedMatrix& Phi, const double* y, const double* a,
                    double* Phi_out, double* y_out) {
    const Index p = Phi.cols;
    Index written = 0;
    // Every row is written at the next place, which only a row of nonzero
    // weight keeps: no branch on the weights, which would be guessed wrong
    // at every outlier. A place is never past the row being read.
    for (Index i = 0; i < Phi.rows; ++i) {
        const double root = std::sqrt(a[i]);
        const double* row = Phi.data + i * Phi.row_stride;
        double* out = Phi_out + written * p;
        for (Index j = 0; j < p; ++j) out[j] = row[j * Phi.col_stride] * root;
        y_out[written] = y[i] * root;
        written += a[i] != 0.0;
    }
    return written;
}

double bisquare_rho_sum(const double* r, const double* w, Index n, double inverse) {
    double sum = 0.0;
    for (Index i = 0; i < n; ++i) {
        const double u = std::min(std::abs(r[i]) * inverse, 1.0);
        const double v = 1.0 - u * u;
        sum += w[i] * (1.0 - v * v * v);
    }
    return sum;
}

WindowSums window_sums(const double* a, const double* w, Index n, double limit) {
    WindowSums sums{0.0, 0.0};
    for (Index i = 0; i < n; ++i) {
        // a weight of 0 outside the window, without a branch on the residuals
        const double inside = a[i] <= limit ? w[i] : 0.0;
        sums.weight += inside;
        sums.squares += inside * (a[i] * a[i]);
    }
    return sums;
}

}  // namespace qorv
