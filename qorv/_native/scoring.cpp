#include "scoring.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace qorv {

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
    const double nd = static_cast<double>(n);
    const double sr = static_cast<double>(hit) / nd;
    // std::max would drop a NaN ratio (empty input); keep it.
    const double floor = 1.0 / (2.0 * nd);
    return sr < floor ? floor : sr;
}

double hit_tolerance(const Vector& yt) {
    const double m = mad(yt);
    return m > 0.0 ? 0.4 * m : 0.4;
}

bool PenaltySpec::active() const {
    return penalty_used(R1, gamma1) || penalty_used(R2, gamma2);
}

double quad_form(const Vector& b, const Matrix& R, Vector& work) {
    work.resize(R.rows());
    work.noalias() = R * b;
    return b.dot(work);
}

double quad_form(const Vector& b, const Matrix& R) {
    Vector work;
    return quad_form(b, R, work);
}

namespace {

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

}  // namespace

double mdl_score_cached(const Vector& yp, const Vector& yt, int k, int H, double eps,
                        const Vector* beta, const PenaltySpec* pen, Vector* work) {
    check_score_inputs(yp, yt, beta, pen);
    const bool penalised = is_penalised(beta, pen);
    const double n = static_cast<double>(yt.size());
    const double sr = compute_SR(yp, yt, eps);
    const double logHk = k > 0 ? k * std::log(2.0 * static_cast<double>(H)) : 0.0;
    const double model = (logHk / n) * k;
    double L = std::fma(-n, std::log(sr), model);
    if (!penalised) return L;

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
    check_score_inputs(yp, yt, beta, pen);
    return mdl_score_cached(yp, yt, k, H, hit_tolerance(yt), beta, pen);
}

}  // namespace qorv
