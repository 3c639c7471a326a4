// Passes over the rows for the robust fit of qorv._robust. Each result
// depends on the arguments alone: every sum runs in a fixed order, whatever
// the threads (only bisquare_rows uses more than the calling one).
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

// A vector read in place: entry i at data[i * step] (a step of 0 repeats
// one value for every row).
struct StridedVector {
    const double* data;
    Index step;

    double operator[](Index i) const { return data[i * step]; }
};

// Writes sqrt(a[i]) times row i of Phi, and sqrt(a[i]) * y[i], for each row
// whose weight a[i] is not 0, in row order, into the first rows of the
// row-major Phi_out (Phi.cols entries a row) and of y_out; returns the number
// of rows written. A row of weight 0 adds nothing to the normal equations of
// a weighted least-squares fit, so the rows written have the same ones.
Index weighted_rows(const StridedMatrix& Phi, const double* y, const double* a,
                    double* Phi_out, double* y_out);

// One pass of a bisquare M-step at the coefficients beta: each row's
// residual r = y[i] - (row i of Phi) . beta, v = 1 - min(|r| * inverse[i], 1)^2
// (clipped before squaring so that it cannot overflow) and weight
// a = w[i] * v^2; the rows are written as weighted_rows writes them for the
// weights a. `written`: the number of rows written; `rho_complement`: the
// sum of a * square[i] * v, the weighted sum of square[i] * (1 - rho),
// summed per block of kBisquareBlockRows rows, the blocks' sums added in
// row order. Blocks go to threads where the rows are many enough to pay.
constexpr Index kBisquareBlockRows = 8192;
struct BisquarePass {
    Index written;
    double rho_complement;
};
BisquarePass bisquare_rows(const StridedMatrix& Phi, const double* y, const double* beta,
                           StridedVector w, StridedVector inverse, StridedVector square,
                           double* Phi_out, double* y_out);

// out = Phi beta, each row summed in column order from 0.0, as bisquare_rows
// sums it: the same bits whatever the processor, unlike a BLAS product.
// Blocks of kBisquareBlockRows rows go to threads where the rows pay.
void fitted_values(const StridedMatrix& Phi, const double* beta, double* out);

// The sum over i < n of a[i] * b[i], in the fixed order of the sums here.
double dot(StridedVector a, StridedVector b, Index n);

// The sum over i < n of w[i] * rho(r[i] * inverse), rho the bisquare's
// 1 - (1 - min(u^2, 1))^3, |u| clipped at 1 before squaring so that it
// cannot overflow.
double bisquare_rho_sum(const double* r, const double* w, Index n, double inverse);

// The fixed point s of s^2 = s^2 * bisquare_rho_sum(r, w, n, 1 / (s * tuning))
// / target, iterated from `s` until a step changes s by at most
// `tolerance` * s (that step's value is returned) or `cap` steps were made
// (the last value); 0 as soon as a step gives no positive value.
double bisquare_scale(const double* r, const double* w, Index n, double s, double target,
                      double tuning, double tolerance, int cap);

// The weight w[i] and the weighted square w[i] * a[i]^2 summed over the
// i < n with a[i] <= limit: (sum of weights, sum of squares).
struct WindowSums {
    double weight;
    double squares;
};
WindowSums window_sums(const double* a, const double* w, Index n, double limit);

// The ((n - 1) / 2)-th and (n / 2)-th smallest of x[0..n), n >= 1, counted
// from 0 with NaN above every number (as NumPy's partition orders them):
// the two middle values, equal for odd n.
struct MiddleValues {
    double lower;
    double upper;
};
MiddleValues middle_values(const double* x, Index n);

}  // namespace qorv
