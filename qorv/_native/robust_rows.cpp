#include "robust_rows.hpp"

#include "parallel.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>
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
// `Cols`: Phi.cols when known at compile time (the loop over the columns is
// then unrolled), 0 otherwise.
template <Index Cols = 0>
inline Index write_row(const StridedMatrix& Phi, Index i, double y_i, double root, bool kept,
                       Index written, double* Phi_out, double* y_out) {
    const Index cols = Cols > 0 ? Cols : Phi.cols;
    const double* row = Phi.data + i * Phi.row_stride;
    double* out = Phi_out + written * cols;
    for (Index j = 0; j < cols; ++j) out[j] = row[j * Phi.col_stride] * root;
    y_out[written] = y_i * root;
    return written + (kept ? 1 : 0);
}

// body(std::integral_constant<Index, cols>) for the few columns of a
// polynomial in one feature, body(std::integral_constant<Index, 0>) beyond.
template <class Body>
void with_columns(Index cols, const Body& body) {
    switch (cols) {
        case 2: body(std::integral_constant<Index, 2>{}); break;
        case 3: body(std::integral_constant<Index, 3>{}); break;
        case 4: body(std::integral_constant<Index, 4>{}); break;
        case 5: body(std::integral_constant<Index, 5>{}); break;
        case 6: body(std::integral_constant<Index, 6>{}); break;
        default: body(std::integral_constant<Index, 0>{}); break;
    }
}

// r[k] += x[k * step] * factor for k < n; a loop of its own for contiguous
// x, which the compiler vectorises (x and r never overlap).
inline void add_multiple(const double* x, Index step, double factor, Index n, double* r) {
    if (step == 1) {
        for (Index k = 0; k < n; ++k) r[k] += x[k] * factor;
    } else {
        for (Index k = 0; k < n; ++k) r[k] += x[k * step] * factor;
    }
}

// Rows whose fitted values stay in the first-level cache while every column
// is added to them.
constexpr Index kFittedChunk = 512;

// out[k] = (row first + k of Phi) . beta for k < rows, a column at a time
// (each row summed in column order): loops over contiguous columns that the
// compiler can vectorise.
inline void fitted_block(const StridedMatrix& Phi, const double* beta, Index first, Index rows,
                         double* out) {
    for (Index start = 0; start < rows; start += kFittedChunk) {
        const Index count = std::min(kFittedChunk, rows - start);
        double* chunk = out + start;
        std::fill(chunk, chunk + count, 0.0);
        for (Index j = 0; j < Phi.cols; ++j) {
            const double* column =
                Phi.data + (first + start) * Phi.row_stride + j * Phi.col_stride;
            add_multiple(column, Phi.row_stride, beta[j], count, chunk);
        }
    }
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

// Rough cost of one entry of a row in each of bisquare_rows' two passes, in
// nanoseconds, from which its threads are chosen.
constexpr double kNsPerEntry = 1.5;

// Blocks of kBisquareBlockRows rows in n rows, and the threads that pay for
// passes over them of `cols` entries a row.
int row_blocks(Index n) {
    return static_cast<int>((n + kBisquareBlockRows - 1) / kBisquareBlockRows);
}

int row_block_team(int blocks, Index cols) {
    return team_size(blocks, kNsPerEntry * static_cast<double>(kBisquareBlockRows * cols));
}

// Fewer values than this are selected directly: a sample would not pay.
constexpr Index kSampledFrom = 2048;

// Values that middle_values passes over between checks of its room.
constexpr Index kBandChunk = 1024;

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
    const int blocks = row_blocks(n);
    // Block b's rows kept, the end of its last kept row and its sum of the
    // complements; `root`: room for the roots of its weights.
    struct Weights {
        Index kept;
        Index end;
        double complement;
    };
    const auto weigh = [&](int b, double* root) -> Weights {
        const Index first = b * kBisquareBlockRows;
        const Index rows = std::min(kBisquareBlockRows, n - first);
        // Phi beta, then in its place the root of each weight
        fitted_block(Phi, beta, first, rows, root);
        LaneSum sum;
        Index count = 0;
        Index last = first;
        // the block starts at a multiple of kLanes: each row keeps its lane
        for_each_in_lanes(rows, [&](Index k, Index lane) {
            const Index i = first + k;
            const double u = std::min(std::abs(y[i] - root[k]) * inverse[i], 1.0);
            const double v = 1.0 - u * u;
            const double a = w[i] * (v * v);
            sum.add(lane, (a * square[i]) * v);
            root[k] = std::sqrt(a);
            count += root[k] != 0.0 ? 1 : 0;
            last = root[k] != 0.0 ? i + 1 : last;
        });
        return {count, last, sum.total()};
    };
    // Block b writes its rows from place on; it stops at its last kept row,
    // so that the row after, dropped, is not written over the first row of
    // the next block.
    const auto write = [&](int b, Index place, Index stop, const double* root) {
        const Index first = b * kBisquareBlockRows;
        // a copy, which the stores of the rows cannot change: kept in registers
        const StridedMatrix X = Phi;
        with_columns(X.cols, [&](auto cols) {
            Index at = place;
            for (Index i = first; i < stop; ++i) {
                const double r = root[i - first];
                at = write_row<decltype(cols)::value>(X, i, y[i], r, r != 0.0, at, Phi_out, y_out);
            }
        });
    };
    const int team = row_block_team(blocks, Phi.cols);
    Index written = 0;
    double total = 0.0;
    if (team == 1) {
        // each block is written while its rows are still in cache, its
        // roots in room for one block
        std::vector<double> root(static_cast<std::size_t>(std::min(n, kBisquareBlockRows)));
        for (int b = 0; b < blocks; ++b) {
            const Weights weights = weigh(b, root.data());
            write(b, written, weights.end, root.data());
            written += weights.kept;
            total += weights.complement;
        }
        return {written, total};
    }
    // every block's roots, kept from its weighing to its writing, which
    // waits for the places that the blocks before it take
    std::vector<double> root(static_cast<std::size_t>(n));
    const auto block_root = [&](int b) { return root.data() + b * kBisquareBlockRows; };
    std::vector<Weights> weights(static_cast<std::size_t>(blocks));
    parallel_for_each_index(
        blocks, [&](int b) { weights[static_cast<std::size_t>(b)] = weigh(b, block_root(b)); },
        Interruption(), team);
    std::vector<Index> place(static_cast<std::size_t>(blocks));
    for (int b = 0; b < blocks; ++b) {
        const auto slot = static_cast<std::size_t>(b);
        place[slot] = written;
        written += weights[slot].kept;
        total += weights[slot].complement;
    }
    parallel_for_each_index(
        blocks,
        [&](int b) {
            const auto slot = static_cast<std::size_t>(b);
            write(b, place[slot], weights[slot].end, block_root(b));
        },
        Interruption(), team);
    return {written, total};
}

void fitted_values(const StridedMatrix& Phi, const double* beta, double* out) {
    const Index n = Phi.rows;
    const int blocks = row_blocks(n);
    const auto block = [&](int b) {
        const Index first = b * kBisquareBlockRows;
        fitted_block(Phi, beta, first, std::min(kBisquareBlockRows, n - first), out + first);
    };
    parallel_for_each_index(blocks, block, Interruption(), row_block_team(blocks, Phi.cols));
}

double dot(StridedVector a, StridedVector b, Index n) {
    LaneSum sum;
    for_each_in_lanes(n, [&](Index i, Index lane) { sum.add(lane, a[i] * b[i]); });
    return sum.total();
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

double bisquare_scale(const double* r, const double* w, Index n, double s, double target,
                      double tuning, double tolerance, int cap) {
    for (int step = 0; step < cap; ++step) {
        const double next = s * std::sqrt(bisquare_rho_sum(r, w, n, 1.0 / (s * tuning)) / target);
        if (!(next > 0.0)) return 0.0;
        if (std::abs(next - s) <= tolerance * s) return next;
        s = next;
    }
    return s;
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
    if (n >= kSampledFrom) {
        // Floyd and Rivest: the middle values lie, but for rare data, between
        // two values of an evenly spaced sample a few of its standard
        // errors either side of its median; one pass counts the values
        // below that band and keeps those inside, and a selection among
        // them settles the answer. Where the band misses, or holds more
        // than twice its share on average (4 / sqrt(s) of the values), every
        // value is selected from.
        const auto s = static_cast<Index>(std::cbrt(static_cast<double>(n)) *
                                          std::cbrt(static_cast<double>(n)));
        std::vector<double> sample(static_cast<std::size_t>(s));
        for (Index k = 0; k < s; ++k) sample[static_cast<std::size_t>(k)] = x[k * n / s];
        std::sort(sample.begin(), sample.end(), before);
        const auto margin = static_cast<Index>(2.0 * std::sqrt(static_cast<double>(s)));
        const double lo = sample[static_cast<std::size_t>(std::max<Index>((s - 1) / 2 - margin, 0))];
        const double hi =
            sample[static_cast<std::size_t>(std::min<Index>(s / 2 + margin, s - 1))];
        const Index room = std::min(
            n, static_cast<Index>(8.0 * static_cast<double>(n) / std::sqrt(static_cast<double>(s))) +
                   kBandChunk);
        std::vector<double> kept(static_cast<std::size_t>(room));
        Index below = 0;
        Index inside = 0;
        Index i = 0;
        // a chunk at a time, while the room holds a whole chunk more
        for (; i < n && inside + kBandChunk <= room; ) {
            for (const Index chunk_end = std::min(n, i + kBandChunk); i < chunk_end; ++i) {
                // no branch on the values: every one is written, only those
                // in the band are kept
                const double v = x[i];
                kept[static_cast<std::size_t>(inside)] = v;
                below += static_cast<Index>(v < lo);
                inside += static_cast<Index>(v >= lo) & static_cast<Index>(v <= hi);
            }
        }
        if (i == n && below <= (n - 1) / 2 && n / 2 < below + inside) {
            return select_pair(kept.data(), inside, (n - 1) / 2 - below, n % 2 == 1);
        }
    }
    std::vector<double> all(x, x + n);
    return select_pair(all.data(), n, (n - 1) / 2, n % 2 == 1);
}

}  // namespace qorv
