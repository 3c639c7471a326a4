#include "robust_rows.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace qorv {

namespace {

// Sums of many terms keep this many partial sums, term i going to sum
// i % kLanes, added in a fixed order at the end: one running sum would wait
// for each addition to finish before the next.
constexpr Index kLanes = 4;

class LaneSum {
public:
    void add(Index lane, double term) { lanes_[lane] += term; }
    double total() const { return (lanes_[0] + lanes_[1]) + (lanes_[2] + lanes_[3]); }

private:
    double lanes_[kLanes] = {0.0, 0.0, 0.0, 0.0};
};

// body(i, i % kLanes) for i < n in order, the lane a constant in the
// unrolled loop, so that the partial sums stay in registers.
template <class Body>
void for_each_in_lanes(Index n, const Body& body) {
    Index i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (Index lane = 0; lane < kLanes; ++lane) body(i + lane, lane);
    }
    for (; i < n; ++i) body(i, i % kLanes);
}

// Writes root times row i of Phi and y_i at place `written`, which only a
// row of nonzero weight keeps (the next one overwrites it otherwise): no
// branch on the weights, which would be guessed wrong at every outlier. A
// place is never past the row being read.
inline Index write_row(const StridedMatrix& Phi, Index i, double y_i, double root, bool kept,
                       Index written, double* Phi_out, double* y_out) {
    const double* row = Phi.data + i * Phi.row_stride;
    double* out = Phi_out + written * Phi.cols;
    for (Index j = 0; j < Phi.cols; ++j) out[j] = row[j * Phi.col_stride] * root;
    y_out[written] = y_i * root;
    return written + (kept ? 1 : 0);
}

// NumPy's order of doubles: NaN above every number.
constexpr auto before = [](double a, double b) { return a < b || (b != b && a == a); };

// The k-th smallest of values[0..count), counted from 0, and the next one
// unless `alone` (then that one again); reorders the values.
MiddleValues select_pair(double* values, Index count, Index k, bool alone) {
    double* lower = values + k;
    std::nth_element(values, lower, values + count, before);
    const double upper = alone ? *lower : *std::min_element(lower + 1, values + count, before);
    return {*lower, upper};
}

// Fewer values than this are selected directly: a sample would not pay.
constexpr Index kSampledFrom = 2048;

}  // namespace

Index weighted_rows(const StridedMatrix& Phi, const double* y, const double* a,
                    double* Phi_out, double* y_out) {
    Index written = 0;
    for (Index i = 0; i < Phi.rows; ++i) {
        written = write_row(Phi, i, y[i], std::sqrt(a[i]), a[i] != 0.0, written, Phi_out, y_out);
    }
    return written;
}

BisquarePass bisquare_rows(const StridedMatrix& Phi, const double* y, const double* beta,
                           StridedVector w, StridedVector inverse, StridedVector square,
                           double* Phi_out, double* y_out) {
    const Index n = Phi.rows;
    // Phi beta, a column at a time (each row summed in column order) into
    // y_out, then in its place the root of each weight: loops over
    // contiguous columns that the compiler can vectorise.
    std::fill(y_out, y_out + n, 0.0);
    for (Index j = 0; j < Phi.cols; ++j) {
        const double* column = Phi.data + j * Phi.col_stride;
        for (Index i = 0; i < n; ++i) y_out[i] += column[i * Phi.row_stride] * beta[j];
    }
    LaneSum complement;
    for_each_in_lanes(n, [&](Index i, Index lane) {
        const double u = std::min(std::abs(y[i] - y_out[i]) * inverse[i], 1.0);
        const double v = 1.0 - u * u;
        const double a = w[i] * (v * v);
        complement.add(lane, (a * square[i]) * v);
        y_out[i] = std::sqrt(a);
    });
    Index written = 0;
    for (Index i = 0; i < n; ++i) {
        const double root = y_out[i];
        written = write_row(Phi, i, y[i], root, root != 0.0, written, Phi_out, y_out);
    }
    return {written, complement.total()};
}

double bisquare_rho_sum(const double* r, const double* w, Index n, double inverse) {
    LaneSum sum;
    for_each_in_lanes(n, [&](Index i, Index lane) {
        const double u = std::min(std::abs(r[i]) * inverse, 1.0);
        const double v = 1.0 - u * u;
        sum.add(lane, w[i] * (1.0 - v * v * v));
    });
    return sum.total();
}

WindowSums window_sums(const double* a, const double* w, Index n, double limit) {
    LaneSum weight, squares;
    for_each_in_lanes(n, [&](Index i, Index lane) {
        // a weight of 0 outside the window, without a branch on the residuals
        // (both values loaded first, the compiler selects by a mask)
        const double weight_i = w[i];
        const double inside = a[i] <= limit ? weight_i : 0.0;
        weight.add(lane, inside);
        squares.add(lane, inside * (a[i] * a[i]));
    });
    return {weight.total(), squares.total()};
}

MiddleValues middle_values(const double* x, Index n) {
    std::vector<double> kept(static_cast<std::size_t>(n));
    if (n >= kSampledFrom) {
        // Floyd and Rivest: the middle values lie, but for rare data, between
        // two values of an evenly spaced sample a few of its standard
        // errors either side of its median; one pass counts the values
        // below that band and keeps those inside, and a selection among
        // them settles the answer. Where the band misses, every value is
        // selected from.
        const auto s = static_cast<Index>(std::cbrt(static_cast<double>(n)) *
                                          std::cbrt(static_cast<double>(n)));
        std::vector<double> sample(static_cast<std::size_t>(s));
        for (Index k = 0; k < s; ++k) sample[static_cast<std::size_t>(k)] = x[k * n / s];
        std::sort(sample.begin(), sample.end(), before);
        const auto margin = static_cast<Index>(2.0 * std::sqrt(static_cast<double>(s)));
        const double lo = sample[static_cast<std::size_t>(std::max<Index>((s - 1) / 2 - margin, 0))];
        const double hi =
            sample[static_cast<std::size_t>(std::min<Index>(s / 2 + margin, s - 1))];
        Index below = 0;
        Index inside = 0;
        for (Index i = 0; i < n; ++i) {
            // no branch on the values: every one is written, only those in
            // the band are kept
            const double v = x[i];
            kept[static_cast<std::size_t>(inside)] = v;
            below += static_cast<Index>(v < lo);
            inside += static_cast<Index>(v >= lo) & static_cast<Index>(v <= hi);
        }
        if (below <= (n - 1) / 2 && n / 2 < below + inside) {
            return select_pair(kept.data(), inside, (n - 1) / 2 - below, n % 2 == 1);
        }
    }
    std::copy(x, x + n, kept.begin());
    return select_pair(kept.data(), n, (n - 1) / 2, n % 2 == 1);
}

}  // namespace qorv
