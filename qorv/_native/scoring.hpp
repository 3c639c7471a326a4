// Robust statistics and the minimum-description-length score of a linear
// model's predictions.
#pragma once

#include "types.hpp"

#include <cstdint>
#include <vector>

namespace qorv {

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

// A penalty term takes part only when its matrix is given and its weight is
// nonzero (NaN counts as nonzero).
inline bool penalty_used(const Matrix* R, double gamma) {
    return R != nullptr && gamma != 0.0;
}

// Checks that a penalty matrix that will be used is p x p.
inline void require_penalty_shape(const char* name, const Matrix* R, double gamma,
                                  Index p, const char* p_name) {
    if (!penalty_used(R, gamma)) return;
    require(R->rows() == R->cols(), name, " is ", R->rows(), " x ", R->cols(),
            " but must be square");
    require(R->rows() == p, name, " is ", R->rows(), " x ", R->cols(), " but ", p_name,
            " has ", p, " entries");
}

// Optional smoothness penalties with their weights. Never owns the matrices.
struct PenaltySpec {
    const Matrix* R1 = nullptr;
    const Matrix* R2 = nullptr;
    double gamma1 = 0.0;
    double gamma2 = 0.0;

    bool active() const;
};

// The MDL score of mdl_score for a known hit ratio sr of n samples and
// tolerance, without the size checks (the caller has made them). `work`,
// when given, is scratch for the penalty terms.
double mdl_score_of_ratio(double sr, Index n, int k, int H, const Vector* beta,
                          const PenaltySpec* pen, Vector* work = nullptr);

// MDL score with the tolerance derived from yt. beta and pen may be null; a
// used penalty matrix must be square with one row per entry of beta.
double mdl_score(const Vector& yp, const Vector& yt, int k, int H,
                 const Vector* beta = nullptr, const PenaltySpec* pen = nullptr);

}  // namespace qorv
