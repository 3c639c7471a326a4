// Robust statistics and the minimum-description-length score of a linear
// model's predictions.
#pragma once

#include "types.hpp"

#include <cstdint>
#include <vector>

namespace qorv {

// Median of v by selection (v is the function's own copy); 0.0 when empty.
double median_inplace(std::vector<double> v);

// Median absolute deviation of y from its median, without consistency factor.
double mad(const Vector& y);

// Share of indices i < len(yt) with |yp[i] - yt[i]| < eps, floored at
// 1/(2 len(yt)). yp may be longer than yt; a shorter yp is rejected.
double compute_SR(const Vector& yp, const Vector& yt, double eps);

// hits / n floored at 1/(2n), the hit ratio of compute_SR; NaN for n = 0.
double hit_ratio(std::int64_t hits, Index n);

// Number of rows i with |(X beta)[i] - yt[i]| < eps, X having one row per
// entry of yt and one column per entry of beta. Each row of X beta is
// summed exactly as Eigen's matrix-vector product sums it, so the count is
// that of compute_SR(X * beta, yt, eps) bit for bit; the product is never
// stored.
std::int64_t count_product_hits(const Matrix& X, const Vector& beta, const Vector& yt,
                                double eps);

// Hit tolerance for a truth yt: 0.4 * mad(yt), or 0.4 when that is not positive.
double hit_tolerance(const Vector& yt);

// Optional smoothness penalties with their weights. Never owns the matrices.
struct PenaltySpec {
    const Matrix* R1 = nullptr;
    const Matrix* R2 = nullptr;
    double gamma1 = 0.0;
    double gamma2 = 0.0;

    bool active() const;
};

// b' (R b). `work` holds R b, so that repeated calls need not allocate.
double quad_form(const Vector& b, const Matrix& R);
double quad_form(const Vector& b, const Matrix& R, Vector& work);

// MDL score with a precomputed tolerance eps. beta and pen may be null; a
// used penalty matrix must be square with one row per entry of beta. `work`,
// when given, is scratch for the penalty terms.
double mdl_score_cached(const Vector& yp, const Vector& yt, int k, int H, double eps,
                        const Vector* beta, const PenaltySpec* pen,
                        Vector* work = nullptr);

// The MDL score of mdl_score_cached for a known hit ratio sr of n samples,
// without the size checks (the caller has made them).
double mdl_score_of_ratio(double sr, Index n, int k, int H, const Vector* beta,
                          const PenaltySpec* pen, Vector* work = nullptr);

// MDL score with the tolerance derived from yt.
double mdl_score(const Vector& yp, const Vector& yt, int k, int H,
                 const Vector* beta = nullptr, const PenaltySpec* pen = nullptr);

}  // namespace qorv
