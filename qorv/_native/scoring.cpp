#include "scoring.hpp"

#include "dispatch.hpp"

#include <algorithm>
#include <cmath>

namespace qorv {

namespace {

// Median of v by selection (v is the function's own copy); 0.0 when empty.
double median_inplace(std::vector<double> v) {
    const std::size_t n = v.size();
    if (n == 0) return 0.0;
    const std::size_t mid = n / 2;
    std::nth_element(v.begin(), v.begin() + mid, v.end());
    const double a = v[mid];
    if (n % 2 == 1) return a;
    // Selection left every element before mid not greater than a; the
    // largest of them is the lower middle value.
    double b = v[0];
    for (std::size_t i = 1; i < mid; ++i) {
        if (v[i] > b) b = v[i];
    }
    return 0.5 * (a + b);
}

}  // namespace

double mad(const Vector& y) {
    std::vector<double> buf(y.data(), y.data() + y.size());
    const double m = median_inplace(buf);
    for (double& v : buf) v = std::abs(v - m);
    return median_inplace(std::move(buf));
}

double compute_SR(const Vector& yp, const Vector& yt, double eps) {
    require(yp.size() >= yt.size(), "yp has ", yp.size(), " entries but yt has ", yt.size());
    const Index n = yt.size();
    const double* p = yp.data();
    const double* t = yt.data();
    std::int64_t hit = 0;
    for (Index i = 0; i < n; ++i) {
        hit += std::abs(p[i] - t[i]) < eps;
    }
    return hit_ratio(hit, n);
}

double hit_ratio(std::int64_t hits, Index n) {
    const double nd = static_cast<double>(n);
    const double sr = static_cast<double>(hits) / nd;
    // std::max would drop a NaN ratio (empty input); keep it.
    const double floor = 1.0 / (2.0 * nd);
    return sr < floor ? floor : sr;
}

namespace {

// Columns per block of Eigen 3.4's column-major matrix-vector product. A
// single row goes through its dot product instead, one sequential sum.
Index eigen_gemv_col_block(Index rows, Index cols) {
    if (cols < 128 || rows == 1) return std::max<Index>(cols, 1);
    return rows * static_cast<Index>(sizeof(double)) < 32000 ? 16 : 4;
}

}  // namespace

std::int64_t count_product_hits(const Matrix& X, const Vector& beta, const Vector& yt,
                                double eps) {
    require(X.rows() == yt.size(), "X has ", X.rows(), " rows but yt has ", yt.size(),
            " entries");
    require(X.cols() == beta.size(), "X has ", X.cols(), " columns but beta has ",
            beta.size(), " entries");
    return kernels().count_product_hits(X.data(), X.rows(), X.cols(),
                                        eigen_gemv_col_block(X.rows(), X.cols()), beta.data(),
                                        yt.data(), eps);
}

double hit_tolerance(const Vector& yt) {
    const double m = mad(yt);
    return m > 0.0 ? 0.4 * m : 0.4;
}

bool PenaltySpec::active() const {
    return penalty_used(R1, gamma1) || penalty_used(R2, gamma2);
}

namespace {

// b' (R b). `work` holds R b, so that repeated calls need not allocate.
double quad_form(const Vector& b, const Matrix& R, Vector& work) {
    work.resize(R.rows());
    work.noalias() = R * b;
    return b.dot(work);
}

bool is_penalised(const Vector* beta, const PenaltySpec* pen) {
    return beta != nullptr && pen != nullptr && pen->active();
}

void check_score_inputs(const Vector& yp, const Vector& yt, const Vector* beta,
                        const PenaltySpec* pen) {
    require(yp.size() >= yt.size(), "yp has ", yp.size(), " entries but yt has ", yt.size());
    if (!is_penalised(beta, pen)) return;
    require_penalty_shape("R1", pen->R1, pen->gamma1, beta->size(), "beta");
    require_penalty_shape("R2", pen->R2, pen->gamma2, beta->size(), "beta");
}

// MDL score with a precomputed tolerance eps; checks the sizes.
double mdl_score_cached(const Vector& yp, const Vector& yt, int k, int H, double eps,
                        const Vector* beta, const PenaltySpec* pen, Vector* work) {
    check_score_inputs(yp, yt, beta, pen);
    return mdl_score_of_ratio(compute_SR(yp, yt, eps), yt.size(), k, H, beta, pen, work);
}

}  // namespace

double mdl_score_of_ratio(double sr, Index n_samples, int k, int H, const Vector* beta,
                          const PenaltySpec* pen, Vector* work) {
    const double n = static_cast<double>(n_samples);
    const double logHk = k > 0 ? k * std::log(2.0 * static_cast<double>(H)) : 0.0;
    const double model = (logHk / n) * k;
    double L = std::fma(-n, std::log(sr), model);
    if (!is_penalised(beta, pen)) return L;

    Vector local;
    Vector& scratch = work != nullptr ? *work : local;
    if (penalty_used(pen->R1, pen->gamma1)) {
        L = std::fma(pen->gamma1, quad_form(*beta, *pen->R1, scratch), L);
    }
    if (penalty_used(pen->R2, pen->gamma2)) {
        L = std::fma(pen->gamma2, quad_form(*beta, *pen->R2, scratch), L);
    }
    return L;
}

double mdl_score(const Vector& yp, const Vector& yt, int k, int H, const Vector* beta,
                 const PenaltySpec* pen) {
    return mdl_score_cached(yp, yt, k, H, hit_tolerance(yt), beta, pen, nullptr);
}

}  // namespace qorv
