#include "scoring.hpp"

#include "dispatch.hpp"
#include "parallel.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

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

// The median absolute deviation by two std::nth_element selections on
// copies; the reference order of operations, kept for input with a NaN,
// where the selection's order is not a total one.
double mad_by_nth_element(const Vector& y) {
    std::vector<double> buf(y.data(), y.data() + y.size());
    const double m = median_inplace(buf);
    for (double& v : buf) v = std::abs(v - m);
    return median_inplace(std::move(buf));
}

// Below this length the selections are quicker than histograms of keys.
constexpr Index kSmallMad = 1 << 14;

using Key = std::uint64_t;
constexpr Key kSignBit = Key{1} << 63;

// Keys whose unsigned order is the order of doubles without NaN (with -0.0
// just below +0.0).
Key order_key(double x) {
    Key b;
    std::memcpy(&b, &x, sizeof b);
    return (b & kSignBit) != 0 ? ~b : b | kSignBit;
}

double key_value(Key k) {
    const Key b = (k & kSignBit) != 0 ? k & ~kSignBit : ~k;
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

constexpr int kBucketBits = 16;
constexpr std::size_t kBuckets = std::size_t{1} << kBucketBits;
// Keys per histogram task, at least: enough to outweigh the task's own
// histogram.
constexpr Index kKeysPerTask = Index{1} << 19;
constexpr Index kMaxHistogramTasks = 16;

std::size_t bucket_of(Key k) { return static_cast<std::size_t>(k >> (64 - kBucketBits)); }

// Number of keys per bucket of the top bits. The counts are exact, so any
// split of the work gives the same histogram.
template <class KeyOf>
std::vector<Index> bucket_counts(const KeyOf& key_of, Index n) {
    const Index tasks = std::clamp<Index>(n / kKeysPerTask, 1, kMaxHistogramTasks);
    std::vector<std::vector<Index>> part(static_cast<std::size_t>(tasks),
                                         std::vector<Index>(kBuckets, 0));
    parallel_for_each_task(static_cast<int>(tasks), [&](int t) {
        std::vector<Index>& count = part[static_cast<std::size_t>(t)];
        const Index end = n * (t + 1) / tasks;
        for (Index i = n * t / tasks; i < end; ++i) ++count[bucket_of(key_of(i))];
    });
    for (std::size_t t = 1; t < part.size(); ++t) {
        for (std::size_t b = 0; b < kBuckets; ++b) part[0][b] += part[t][b];
    }
    return std::move(part[0]);
}

// The value at sorted position `rank` of key_of(0), ..., key_of(n - 1) and,
// when `with_lower`, the one at position rank - 1: the two middle values of
// the median, found by one histogram of the top key bits and a selection
// among the keys of one bucket. Keys are totally ordered, so the values are
// those of any exact selection.
template <class KeyOf>
std::pair<double, double> values_at_rank(const KeyOf& key_of, Index n, Index rank,
                                         bool with_lower) {
    const std::vector<Index> count = bucket_counts(key_of, n);
    std::size_t bucket = 0;
    Index below = 0;
    while (below + count[bucket] <= rank) below += count[bucket++];
    std::vector<Key> keys;
    keys.reserve(static_cast<std::size_t>(count[bucket]));
    for (Index i = 0; i < n; ++i) {
        const Key k = key_of(i);
        if (bucket_of(k) == bucket) keys.push_back(k);
    }
    const auto r = static_cast<std::ptrdiff_t>(rank - below);
    std::nth_element(keys.begin(), keys.begin() + r, keys.end());
    const Key at = keys[static_cast<std::size_t>(r)];
    if (!with_lower) return {key_value(at), key_value(at)};
    Key lower = 0;
    if (r > 0) {
        lower = *std::max_element(keys.begin(), keys.begin() + r);
    } else {
        // Position rank - 1 is the largest key of the lower buckets.
        for (Index i = 0; i < n; ++i) {
            const Key k = key_of(i);
            if (k < at && k > lower) lower = k;
        }
    }
    return {key_value(at), key_value(lower)};
}

// Median of key_of(0), ..., key_of(n - 1), n >= 1, formed as median_inplace
// forms it from its two middle values.
template <class KeyOf>
double median_of_keys(const KeyOf& key_of, Index n) {
    const bool even = n % 2 == 0;
    const auto [a, b] = values_at_rank(key_of, n, n / 2, even);
    return even ? 0.5 * (a + b) : a;
}

}  // namespace

// Same result as mad_by_nth_element: each median has the same value, except
// that a zero median may come out with the other sign, which no deviation
// |y - m| and hence no result can see.
double mad(const Vector& y) {
    if (y.size() < kSmallMad || y.hasNaN()) return mad_by_nth_element(y);
    const double* v = y.data();
    const double m = median_of_keys([v](Index i) { return order_key(v[i]); }, y.size());
    // Deviations from an infinite or NaN median hold NaN (inf - inf).
    if (!std::isfinite(m)) return mad_by_nth_element(y);
    return median_of_keys([v, m](Index i) { return order_key(std::abs(v[i] - m)); },
                          y.size());
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
