#include "svd_solve.hpp"

#include "dispatch.hpp"
#include "householder.hpp"
#include "parallel.hpp"
#include "power_of_two.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace qorv {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kTiny = (std::numeric_limits<double>::min)();

// Rough cost of an entry in each pass, in nanoseconds, from which the
// threads of a pass are chosen: the matrix outgrows the second-level cache
// from a few hundred columns, and both passes then wait on memory, the first
// reading and writing each entry, the second reading it.
constexpr double kNsPerColumnEntry = 0.35;
constexpr double kNsPerRowEntry = 0.2;

// Columns (first pass) and rows (second pass) of one task. Every column's
// sums, and every row's, stay within one task, so the split never changes
// a result.
constexpr Index kTaskCols = 32;
constexpr Index kTaskRows = 256;

using householder::Reflector;

// The reflector that takes x (n entries, stride s) to beta e_0; v[1...]
// replaces x[1...]. A tail too small to square leaves x as it is, with
// tau = 0.
Reflector make_reflector(double* x, Index n, Index s) {
    Reflector h{x[0], 0.0};
    householder::make_reflector(x[0], x + s, n - 1, s, x + s, s, h);
    return h;
}

// A = U B V' with B upper bidiagonal (d on the diagonal, e above it). U's
// reflectors stay below A's diagonal, V's right of its superdiagonal.
struct Bidiagonal {
    Matrix A;
    Vector d, e, tau_u, tau_v;

    explicit Bidiagonal(Matrix M)
        : A(std::move(M)),
          d(A.cols()),
          e(std::max<Index>(A.cols() - 1, 0)),
          tau_u(A.cols()),
          tau_v(A.cols()) {}

    // U's reflector k applied to x (A's rows).
    void reflect_left(Index k, Vector& x) const {
        const Index m = A.rows();
        double s = x(k);
        for (Index i = k + 1; i < m; ++i) s += A(i, k) * x(i);
        s = tau_u(k) * s;
        x(k) -= s;
        for (Index i = k + 1; i < m; ++i) x(i) -= s * A(i, k);
    }

    // V's reflector k applied to x (A's columns).
    void reflect_right(Index k, Vector& x) const {
        const Index n = A.cols();
        double s = x(k + 1);
        for (Index j = k + 2; j < n; ++j) s += A(k, j) * x(j);
        s = tau_v(k) * s;
        x(k + 1) -= s;
        for (Index j = k + 2; j < n; ++j) x(j) -= s * A(k, j);
    }
};

// The passes of the bidiagonalisation. Step k forms U's reflector from
// column k and applies it to the columns beyond; then V's reflector from
// row k, whose update of the rows below waits for the next step's pass over
// the columns: one pass reads and writes the columns, one reads them for the
// rows' sums.
class Bidiagonaliser {
public:
    Bidiagonaliser(Bidiagonal& B, Vector* b)
        : B_(B), A_(B.A), m_(A_.rows()), n_(A_.cols()), b_(b), u_(m_), z_(m_), v_(n_), tv_(n_) {}

    void run() {
        for (Index k = 0; k < n_; ++k) {
            left_step(k);
            pending_ = false;
            if (k + 1 < n_) right_step(k);
        }
    }

private:
    void left_step(Index k) {
        const Index r = m_ - k;
        double* column = &A_(k, k);
        if (pending_) {
            for (Index i = 0; i < r; ++i) column[i] = column[i] - z_(k + i) * tv_(k);
        }
        const Reflector h = make_reflector(column, r, 1);
        B_.d(k) = h.beta;
        B_.tau_u(k) = h.tau;
        u_(0) = 1.0;
        for (Index i = 1; i < r; ++i) u_(i) = column[i];
        const Index cols = n_ - k - 1;
        const double* z = pending_ ? z_.data() + k : nullptr;
        const Index tasks = (cols + kTaskCols - 1) / kTaskCols;
        const double task_ns = kNsPerColumnEntry * static_cast<double>(r * kTaskCols);
        parallel_for_each_task(static_cast<int>(tasks), task_ns, [&](int t) {
            const Index c0 = k + 1 + t * kTaskCols;
            kernels().bidiag_columns(&A_(k, c0), m_, std::min(kTaskCols, n_ - c0), r, z,
                                     tv_.data() + c0, u_.data(), h.tau);
        });
        if (b_ != nullptr) {
            kernels().bidiag_columns(b_->data() + k, m_, 1, r, nullptr, nullptr, u_.data(), h.tau);
        }
    }

    void right_step(Index k) {
        const Index cols = n_ - k - 1;
        if (cols == 1) {
            B_.e(k) = A_(k, k + 1);
            B_.tau_v(k) = 0.0;
            return;
        }
        const Reflector g = make_reflector(&A_(k, k + 1), cols, m_);
        B_.e(k) = g.beta;
        B_.tau_v(k) = g.tau;
        const Index rows = m_ - k - 1;
        if (g.tau == 0.0 || rows == 0) return;
        v_(k + 1) = 1.0;
        for (Index j = k + 2; j < n_; ++j) v_(j) = A_(k, j);
        for (Index j = k + 1; j < n_; ++j) tv_(j) = g.tau * v_(j);
        const Index tasks = (rows + kTaskRows - 1) / kTaskRows;
        const double task_ns = kNsPerRowEntry * static_cast<double>(cols * kTaskRows);
        parallel_for_each_task(static_cast<int>(tasks), task_ns, [&](int t) {
            const Index i0 = k + 1 + t * kTaskRows;
            kernels().bidiag_rows(&A_(i0, k + 1), m_, std::min(kTaskRows, m_ - i0), cols,
                                  v_.data() + k + 1, z_.data() + i0);
        });
        pending_ = true;
    }

    Bidiagonal& B_;
    Matrix& A_;
    const Index m_, n_;
    Vector* b_;
    Vector u_, z_, v_, tv_;
    bool pending_ = false;
};

// (a, b) <- (c a + s b, c b - s a).
void rotate(double& a, double& b, double c, double s) {
    const double t = c * a + s * b;
    b = c * b - s * a;
    a = t;
}

struct Rotation {
    double c, s, r;
};

// c f + s g = r, c g - s f = 0, with c >= 0. Arguments far from 1 are
// scaled by a power of two first, so that the squares neither overflow nor
// vanish.
Rotation givens(double f, double g) {
    if (g == 0.0) return {1.0, 0.0, f};
    if (f == 0.0) return {0.0, 1.0, g};
    const double scale = std::max(std::abs(f), std::abs(g));
    double r = 0.0;
    if (scale > 1e-150 && scale < 1e150) {
        r = std::sqrt(f * f + g * g);
    } else {
        int exponent = 0;
        std::frexp(scale, &exponent);
        const double fs = std::ldexp(f, -exponent), gs = std::ldexp(g, -exponent);
        r = std::ldexp(std::sqrt(fs * fs + gs * gs), exponent);
    }
    r = std::copysign(r, f);
    return {f / r, g / r, r};
}

// The smaller singular value of [f g; 0 h], without overflow.
double smaller_singular_value(double f, double g, double h) {
    const double fa = std::abs(f), ga = std::abs(g), ha = std::abs(h);
    const double fhmn = std::min(fa, ha), fhmx = std::max(fa, ha);
    if (fhmn == 0.0) return 0.0;
    if (ga < fhmx) {
        const double as = 1.0 + fhmn / fhmx, at = (fhmx - fhmn) / fhmx;
        const double au = (ga / fhmx) * (ga / fhmx);
        const double c = 2.0 / (std::sqrt(as * as + au) + std::sqrt(at * at + au));
        return fhmn * c;
    }
    const double au = fhmx / ga;
    if (au == 0.0) return (fhmn * fhmx) / ga;
    const double as = 1.0 + fhmn / fhmx, at = (fhmx - fhmn) / fhmx;
    const double c = 1.0 / (std::sqrt(1.0 + (as * au) * (as * au)) +
                            std::sqrt(1.0 + (at * au) * (at * au)));
    const double s = (fhmn * c) * au;
    return s + s;
}

// The implicit-shift QR iteration on an upper bidiagonal B = Q S P' of n
// rows, with the zero shift, the splitting and the convergence tests of
// relative accuracy. Each sweep chases the bulge from the top of the block
// down. The rotations of one side go straight to the vector `now` (Q' now,
// or P' now), those of the other side are recorded, so that `replay` can
// apply P (or Q) to a vector afterwards.
class BidiagonalQR {
public:
    BidiagonalQR(Vector& d, Vector& e, Vector& now, bool left_now)
        : d_(d), e_(e), now_(now), left_now_(left_now), n_(d.size()) {}

    // False when the iteration did not converge.
    bool run() {
        if (n_ <= 1) return true;
        const double n = static_cast<double>(n_);
        // eps^(-1/8) eps: sqrt(8192) is 2^6.5, rounded once.
        tol_ = std::sqrt(8192.0) * kEps;
        thresh_ = std::max(tol_ * smallest_estimate() / std::sqrt(n), 6.0 * n * n * kTiny);
        const double max_iterations = 6.0 * n * n;
        double iterations = 0.0;
        for (Index m = n_ - 1; m > 0;) {
            if (iterations > max_iterations) return false;
            const Index ll = block_start(m);
            if (ll == m) {
                --m;
                continue;
            }
            if (converged(ll, m)) continue;
            const double shift = choose_shift(ll, m);
            iterations += static_cast<double>(m - ll);
            sweeps_.push_back({ll, m - ll, turns_.size()});
            if (shift == 0.0) {
                zero_shift_sweep(ll, m);
            } else {
                shifted_sweep(ll, m, shift);
            }
        }
        return true;
    }

    // The recorded side, last rotation first, applied to x.
    void replay(Vector& x) const {
        for (auto sweep = sweeps_.rbegin(); sweep != sweeps_.rend(); ++sweep) {
            for (Index k = sweep->count - 1; k >= 0; --k) {
                const Turn& g = turns_[sweep->offset + static_cast<std::size_t>(k)];
                rotate(x(sweep->first + k), x(sweep->first + k + 1), g.c, -g.s);
            }
        }
    }

private:
    struct Sweep {
        Index first, count;
        std::size_t offset;
    };

    struct Turn {
        double c, s;
    };

    // A lower bound of the smallest singular value, up to a factor sqrt(n).
    double smallest_estimate() const {
        double smallest = std::abs(d_(0));
        double mu = smallest;
        for (Index i = 1; i < n_ && smallest != 0.0; ++i) {
            mu = std::abs(d_(i)) * (mu / (mu + std::abs(e_(i - 1))));
            smallest = std::min(smallest, mu);
        }
        return smallest;
    }

    // First row of the unreduced block that ends at row m (m itself when
    // e[m - 1] is negligible); smax_ becomes the block's largest entry.
    Index block_start(Index m) {
        smax_ = std::abs(d_(m));
        for (Index l = m - 1; l >= 0; --l) {
            if (std::abs(e_(l)) <= thresh_) {
                e_(l) = 0.0;
                return l + 1;
            }
            smax_ = std::max({smax_, std::abs(d_(l)), std::abs(e_(l))});
        }
        return 0;
    }

    // Sets negligible superdiagonal entries of the block to zero, relative
    // to the singular values the recurrence bounds; sminl_ becomes that
    // bound.
    bool converged(Index ll, Index m) {
        if (std::abs(e_(m - 1)) <= tol_ * std::abs(d_(m))) {
            e_(m - 1) = 0.0;
            return true;
        }
        double mu = std::abs(d_(ll));
        sminl_ = mu;
        for (Index l = ll; l < m; ++l) {
            if (std::abs(e_(l)) <= tol_ * mu) {
                e_(l) = 0.0;
                return true;
            }
            mu = std::abs(d_(l + 1)) * (mu / (mu + std::abs(e_(l))));
            sminl_ = std::min(sminl_, mu);
        }
        return false;
    }

    // Zero where a shift would cost the small singular values their
    // relative accuracy, otherwise the bottom 2 x 2 block's smaller
    // singular value.
    double choose_shift(Index ll, Index m) const {
        const double n = static_cast<double>(n_);
        if (n * tol_ * (sminl_ / smax_) <= std::max(kEps, 0.01 * tol_)) return 0.0;
        const double sll = std::abs(d_(ll));
        const double shift = smaller_singular_value(d_(m - 1), e_(m - 1), d_(m));
        if (sll > 0.0 && (shift / sll) * (shift / sll) < kEps) return 0.0;
        return shift;
    }

    void record(Index i, const Rotation& left, const Rotation& right) {
        const Rotation& now = left_now_ ? left : right;
        rotate(now_(i), now_(i + 1), now.c, now.s);
        const Rotation& later = left_now_ ? right : left;
        turns_.push_back({later.c, later.s});
    }

    void zero_shift_sweep(Index ll, Index m) {
        double cs = 1.0, oldcs = 1.0, oldsn = 0.0;
        for (Index i = ll; i < m; ++i) {
            const Rotation right = givens(d_(i) * cs, e_(i));
            cs = right.c;
            if (i > ll) e_(i - 1) = oldsn * right.r;
            const Rotation left = givens(oldcs * right.r, d_(i + 1) * right.s);
            oldcs = left.c;
            oldsn = left.s;
            d_(i) = left.r;
            record(i, left, right);
        }
        const double h = d_(m) * cs;
        d_(m) = h * oldcs;
        e_(m - 1) = h * oldsn;
        if (std::abs(e_(m - 1)) <= thresh_) e_(m - 1) = 0.0;
    }

    void shifted_sweep(Index ll, Index m, double shift) {
        double f = (std::abs(d_(ll)) - shift) * (std::copysign(1.0, d_(ll)) + shift / d_(ll));
        double g = e_(ll);
        for (Index i = ll; i < m; ++i) {
            const Rotation right = givens(f, g);
            if (i > ll) e_(i - 1) = right.r;
            f = right.c * d_(i) + right.s * e_(i);
            e_(i) = right.c * e_(i) - right.s * d_(i);
            g = right.s * d_(i + 1);
            d_(i + 1) = right.c * d_(i + 1);
            const Rotation left = givens(f, g);
            d_(i) = left.r;
            f = left.c * e_(i) + left.s * d_(i + 1);
            d_(i + 1) = left.c * d_(i + 1) - left.s * e_(i);
            if (i < m - 1) {
                g = left.s * e_(i + 1);
                e_(i + 1) = left.c * e_(i + 1);
            }
            record(i, left, right);
        }
        e_(m - 1) = f;
        if (std::abs(e_(m - 1)) <= thresh_) e_(m - 1) = 0.0;
    }

    Vector& d_;
    Vector& e_;
    Vector& now_;
    const bool left_now_;
    const Index n_;
    double tol_ = 0.0, thresh_ = 0.0, smax_ = 0.0, sminl_ = 0.0;
    std::vector<Sweep> sweeps_;
    std::vector<Turn> turns_;
};

// x = S^+ x for the singular values |d|, those not above the cut-off taken
// as zero. The sign of d stays with the division.
void divide_by_singular_values(const Vector& d, double cutoff, Vector& x) {
    double largest = 0.0;
    for (Index i = 0; i < d.size(); ++i) largest = std::max(largest, std::abs(d(i)));
    const double cut = std::max(largest * cutoff, kTiny);
    for (Index i = 0; i < d.size(); ++i) x(i) = std::abs(d(i)) > cut ? x(i) / d(i) : 0.0;
}

// Whether no singular value of B (d on the diagonal, e above) can fall to
// the cut-off, by clear_of_cutoff's bounds, which cost O(n) here: row i of
// B^-1 is (e_i' - e_i row i+1) / d_i, whose two parts are orthogonal. A
// zero, tiny or huge entry answers no.
bool certainly_full_rank(const Vector& d, const Vector& e, double cutoff) {
    const Index n = d.size();
    double inverse2 = 0.0, row2 = 0.0, norm2 = 0.0;
    for (Index i = n - 1; i >= 0; --i) {
        const double numerator = i + 1 < n ? 1.0 + e(i) * e(i) * row2 : 1.0;
        row2 = numerator / (d(i) * d(i));
        inverse2 += row2;
        norm2 += i + 1 < n ? d(i) * d(i) + e(i) * e(i) : d(i) * d(i);
    }
    return clear_of_cutoff(norm2, inverse2, cutoff);
}

// x = B^-1 x, or B'^-1 x when `transposed`, for B as above.
void bidiagonal_solve(const Vector& d, const Vector& e, bool transposed, Vector& x) {
    const Index n = d.size();
    if (transposed) {
        x(0) = x(0) / d(0);
        for (Index i = 1; i < n; ++i) x(i) = (x(i) - e(i - 1) * x(i - 1)) / d(i);
        return;
    }
    x(n - 1) = x(n - 1) / d(n - 1);
    for (Index i = n - 2; i >= 0; --i) x(i) = (x(i) - e(i) * x(i + 1)) / d(i);
}

// Beyond 2^kScaleBound, A is scaled by a power of two that brings its largest
// magnitude near 1, so that no square of the bidiagonalisation overflows or
// vanishes. Scaling is exact, so ordinary input gives the bits it would give
// unscaled.
constexpr int kScaleBound = 500;

}  // namespace

bool clear_of_cutoff(double norm2, double inverse2, double cutoff) {
    const double cut = 2.0 * std::max(std::sqrt(norm2) * cutoff, kTiny);
    return inverse2 * (cut * cut) < 1.0;
}

std::optional<Vector> svd_solve(Matrix A, Vector b, bool transposed, double cutoff) {
    const Index m = A.rows(), n = A.cols();
    if (!A.allFinite()) {
        return Vector::Constant(transposed ? m : n, std::numeric_limits<double>::quiet_NaN());
    }
    // A' = A 2^-s has the solution x' = x 2^s.
    const int exponent = scale_exponent(A, kScaleBound);
    if (exponent != 0) A = times_power_of_two(A, -exponent);
    Bidiagonal B(std::move(A));
    Bidiagonaliser(B, transposed ? nullptr : &b).run();
    // U' b, or V' b: the vector the bidiagonal solves for.
    Vector c(n);
    if (transposed) {
        for (Index k = 0; k + 2 < n; ++k) {
            if (B.tau_v(k) != 0.0) B.reflect_right(k, b);
        }
        c = b;
    } else {
        c = b.head(n);
    }
    // With no singular value near the cut-off, the minimum-norm solution is
    // the only one, and substitution finds it without the QR iteration.
    if (certainly_full_rank(B.d, B.e, cutoff)) {
        bidiagonal_solve(B.d, B.e, transposed, c);
    } else {
        BidiagonalQR qr(B.d, B.e, c, !transposed);
        if (!qr.run()) return std::nullopt;
        divide_by_singular_values(B.d, cutoff, c);
        qr.replay(c);
    }
    if (!transposed) {
        for (Index k = n - 3; k >= 0; --k) {
            if (B.tau_v(k) != 0.0) B.reflect_right(k, c);
        }
        if (exponent != 0) c = times_power_of_two(c, -exponent);
        return c;
    }
    Vector x = Vector::Zero(m);
    x.head(n) = c;
    for (Index k = n - 1; k >= 0; --k) {
        if (B.tau_u(k) != 0.0) B.reflect_left(k, x);
    }
    if (exponent != 0) x = times_power_of_two(x, -exponent);
    return x;
}

}  // namespace qorv
