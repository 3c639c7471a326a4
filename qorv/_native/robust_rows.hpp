// Passes over the rows for the robust fit of qorv._robust. Each reads the
// rows once, in order, on the calling thread, so that its result depends on
// its arguments alone.
#pragma once

#include "types.hpp"

namespace qorv {

// A matrix read in place: entry (i, j) at data[i * row_stride + j * col_stride]
// (strides in doubles, either sign).
struct StridedMatrix {
    const double* data;
    Index rows;
    Index cols;
    Index row_stride;
    Index col_stride;
};

// Writes sqrt(a[i]) times row i of Phi, and sqrt(a[i]) * y[i], for each row
// whose weight a[i] is not 0, in row order, into the first rows of the
// row-major Phi_out (Phi.cols entries a row) and of y_out; returns the number
// of rows written. A row of weight 0 adds nothing to the normal equations of
// a weighted least-squares fit, so the rows written have the same ones.
Index weighted_rows(const StridedMatrix& Phi, const double* y, const double* a,
                    double* Phi_out, double* y_out);

// The sum over i < n of w[i] * rho(r[i] * inverse), rho the bisquare's
// 1 - (1 - min(u^2, 1))^3, |u| clipped at 1 before squaring so that it
// cannot overflow.
double bisquare_rho_sum(const double* r, const double* w, Index n, double inverse);

// The weight w[i] and the weighted square w[i] * a[i]^2 summed over the
// i < n with a[i] <= limit: (sum of weights, sum of squares).
struct WindowSums {
    double weight;
    double squares;
};
WindowSums window_sums(const double* a, const double* w, Index n, double limit);

}  // namespace qorv
