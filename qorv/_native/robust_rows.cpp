#include "robust_rows.hpp"

#include <algorithm>
#include <cmath>

namespace qorv {

Index weighted_rows(const StridedMatrix& Phi, const double* y, const double* a,
                    double* Phi_out, double* y_out) {
    const Index p = Phi.cols;
    Index written = 0;
    for (Index i = 0; i < Phi.rows; ++i) {
        if (a[i] == 0.0) continue;
        const double root = std::sqrt(a[i]);
        const double* row = Phi.data + i * Phi.row_stride;
        double* out = Phi_out + written * p;
        for (Index j = 0; j < p; ++j) out[j] = row[j * Phi.col_stride] * root;
        y_out[written] = y[i] * root;
        ++written;
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

}  // namespace qorv
