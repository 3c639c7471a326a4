#include "basis.hpp"

#include "memory.hpp"
#include "dispatch.hpp"
#include "parallel.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <new>
#include <utility>

namespace qorv {

namespace {

// order-th derivative of val^p: order 0 is the power itself, order 1 the
// first derivative, any other order the second. The coefficient is exact
// integer arithmetic; powers come from std::pow.
double col_deriv_scalar(double val, int p, int order) {
    const std::int64_t q = p;
    if (order == 0) return std::pow(val, static_cast<double>(q));
    if (order == 1) {
        return q < 1 ? 0.0 : static_cast<double>(q) * std::pow(val, static_cast<double>(q - 1));
    }
    return q < 2 ? 0.0 : static_cast<double>(q * (q - 1)) * std::pow(val, static_cast<double>(q - 2));
}

// Number of monomials of degree 0..deg. A degree below -1 has no size at
// all; it is refused like an impossible allocation so that no negative size
// ever reaches Eigen.
Index basis_size(int deg) {
    if (deg < -1) throw std::bad_alloc();
    return Index{deg} + 1;
}

// R += (d d') w, rounding each product of two entries before the weight is
// applied, so that R(r, c) and R(c, r) stay equal bit for bit.
void add_weighted_outer(Matrix& R, const Vector& d, double w) {
    for (Index c = 0; c < R.cols(); ++c) {
        for (Index r = 0; r < R.rows(); ++r) {
            R(r, c) += (d[r] * d[c]) * w;
        }
    }
}

// Values of the order-0, -1 and -2 derivatives of every monomial of one axis
// at every point of that axis: all power evaluations of a grid happen here.
// Stops (Interrupted) between points once `stop` is requested, looking at
// it about once per thousand evaluations.
using DerivTable = std::array<Matrix, 3>;

DerivTable derivative_table(const Vector& axis, Index n_monomials, const Interruption& stop) {
    const Index points_per_check = std::max<Index>(1, 1024 / std::max<Index>(1, n_monomials));
    DerivTable tab;
    for (int order = 0; order < 3; ++order) {
        Matrix& t = tab[order];
        t = Matrix::Zero(axis.size(), n_monomials);
        for (Index k = 0; k < axis.size(); ++k) {
            if (k % points_per_check == 0) stop.check();
            for (Index p = 0; p < n_monomials; ++p) {
                t(k, p) = col_deriv_scalar(axis[k], static_cast<int>(p), order);
            }
        }
    }
    return tab;
}

// step * T' T for the derivative table T of one axis: the Riemann sum over
// that axis of the products of two monomials' derivatives. Entries (r, c)
// and (c, r) are one sum, so the result is exactly symmetric. Stops between
// entries once `stop` is requested.
Matrix axis_gram(const Matrix& T, double step, const Interruption& stop) {
    const Index m = T.cols();
    Matrix W(m, m);
    for (Index c = 0; c < m; ++c) {
        for (Index r = c; r < m; ++r) {
            stop.check();
            double sum = 0.0;
            for (Index k = 0; k < T.rows(); ++k) sum += T(k, r) * T(k, c);
            W(r, c) = step * sum;
            W(c, r) = W(r, c);
        }
    }
    return W;
}

// A (x) B, the index of A varying slowest. Entry ((i, j), (k, l)) is
// A(i, k) B(j, l), so symmetric factors give an exactly symmetric product.
Matrix kron(const Matrix& A, const Matrix& B, const Interruption& stop) {
    Matrix K(checked_mul(A.rows(), B.rows()), checked_mul(A.cols(), B.cols()));
    for (Index k = 0; k < A.cols(); ++k) {
        stop.check();
        for (Index i = 0; i < A.rows(); ++i) {
            K.block(i * B.rows(), k * B.cols(), B.rows(), B.cols()) = A(i, k) * B;
        }
    }
    return K;
}

// Gram matrices of every axis for derivative orders 0, 1 and 2.
using AxisGrams = std::array<Matrix, 3>;

// The Riemann sum over the grid of products of one partial derivative of
// two basis functions, whose order along axis d is order[d]. A sum over a
// tensor grid of products of per-axis factors is the product of per-axis
// sums, so the M x M matrix is the Kronecker product of the axes' Grams,
// dimension 0 outermost as in the multi-index order.
Matrix grid_gram(const std::vector<AxisGrams>& grams, const std::vector<int>& order,
                 const Interruption& stop) {
    Matrix K = Matrix::Ones(1, 1);
    for (std::size_t d = 0; d < grams.size(); ++d) K = kron(K, grams[d][order[d]], stop);
    return K;
}

// More dimensions than this would already give 2^64 grid points at the
// coarsest grid; the multi-index recursion also goes one call deep per
// dimension.
constexpr std::size_t kMaxDimensions = 64;

// Doubles (ints counted as doubles) that build_penalty_matrices_nd holds at
// its peak: R1 and R2 with a Kronecker product and its scaled copy, the
// multi-index list, the per-axis Grams, and the largest axis with its
// derivative tables (axes are handled one at a time).
Index nd_peak_doubles(const std::vector<Index>& n_monomials, int n) {
    const Index D = static_cast<Index>(n_monomials.size());
    Index M = 1;
    Index grams = 0;
    Index axis = 0;
    for (Index m : n_monomials) {
        M = checked_mul(M, m);
        grams = checked_add(grams, square_storage(3, m, 0));
        axis = std::max(axis, checked_mul(n, checked_add(checked_mul(3, m), 1)));
    }
    const Index result = checked_add(square_storage(4, M, 0), checked_mul(M, checked_add(D, 3)));
    return checked_add(checked_add(result, grams), axis);
}

}  // namespace

namespace {

// Writes out[p] = col_deriv_scalar(x, p, order) for p = 0..deg; out needs at
// least deg + 1 entries.
void deriv_row(double x, int deg, int order, Eigen::Ref<Vector> out) {
    require(out.size() > deg, "out has ", out.size(), " entries but deg ", deg, " needs ",
            Index{deg} + 1);
    for (Index p = 0; p <= deg; ++p) out[p] = col_deriv_scalar(x, static_cast<int>(p), order);
}

}  // namespace

PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max,
                                                 int n_grid, const Interruption& stop) {
    require(deg >= 0, "deg < 0");
    require(n_grid >= 2, "n_grid < 2");
    const Index M = basis_size(deg);
    require_memory_for(square_storage(2, M, 2));
    const double dx = (x_max - x_min) / static_cast<double>(n_grid - 1);
    PenaltyMatrices1D out{Matrix::Zero(M, M), Matrix::Zero(M, M)};
    Vector d1(M);
    Vector d2(M);
    for (int g = 0; g < n_grid; ++g) {
        stop.check();
        const double x = x_min + g * dx;
        deriv_row(x, deg, 1, d1);
        deriv_row(x, deg, 2, d2);
        add_weighted_outer(out.R1, d1, dx);
        add_weighted_outer(out.R2, d2, dx);
    }
    return out;
}

Matrix boundary_reduce_1d(int deg, double x_min, double x_max) {
    const Index M = basis_size(deg);
    require_memory_for(square_storage(2, M, 4));
    Vector a1(M), a2(M), b1(M), b2(M);
    deriv_row(x_min, deg, 1, a1);
    deriv_row(x_min, deg, 2, a2);
    deriv_row(x_max, deg, 1, b1);
    deriv_row(x_max, deg, 2, b2);
    Matrix Rb = b2 * b1.transpose();
    Rb.noalias() -= a2 * a1.transpose();
    return (Rb + Rb.transpose()) * 0.5;
}

Matrix design_matrix_1d(int deg, const Vector& x) {
    require(deg >= 0, "deg is ", deg, " but must be at least 0");
    const Index cols = basis_size(deg);
    require_memory_for(checked_mul(x.size(), cols));
    Matrix Phi = uninitialized_matrix(x.size(), cols);
    Phi.col(0).setOnes();
    for (Index p = 1; p < cols; ++p) Phi.col(p) = Phi.col(p - 1).cwiseProduct(x);
    return Phi;
}

namespace {

// Appends every multi-index with 0 <= e[d] <= degrees[d] for d >= dim to out,
// lexicographically with the lowest dimension slowest. current has one entry
// per dimension and is overwritten.
void generate_multi_indices(const std::vector<int>& degrees, std::size_t dim,
                            MultiIndex& current, MultiIndexList& out) {
    require(current.size() == degrees.size(), "current has ", current.size(),
            " entries but degrees has ", degrees.size());
    require(dim <= degrees.size(), "dim is ", dim, " but degrees has ", degrees.size(),
            " entries");
    if (dim == degrees.size()) {
        out.push_back(current);
        return;
    }
    for (std::int64_t i = 0; i <= degrees[dim]; ++i) {
        current[dim] = static_cast<int>(i);
        generate_multi_indices(degrees, dim + 1, current, out);
    }
}

// The distinct powers (dimension, exponent) a basis uses, each formed once
// however many columns use it, and the factors of column j in dimension
// order: indices into `powers` at factors[first[j] .. first[j + 1]).
struct PowerPlan {
    std::vector<std::pair<std::size_t, int>> powers;
    std::vector<std::size_t> factors;
    std::vector<std::size_t> first;
};

PowerPlan plan_powers(const MultiIndexList& multi_indices, std::size_t D) {
    PowerPlan plan;
    plan.first.reserve(multi_indices.size() + 1);
    std::map<std::pair<std::size_t, int>, std::size_t> index;
    for (const MultiIndex& mi : multi_indices) {
        plan.first.push_back(plan.factors.size());
        for (std::size_t d = 0; d < D; ++d) {
            if (mi[d] <= 0) continue;
            const auto [at, added] = index.emplace(std::make_pair(d, mi[d]), plan.powers.size());
            if (added) plan.powers.emplace_back(d, mi[d]);
            plan.factors.push_back(at->second);
        }
    }
    plan.first.push_back(plan.factors.size());
    return plan;
}

// Rows per task. Even, so that Eigen's power takes the same packet or scalar
// path for every entry as over a whole column (only a last odd entry goes
// scalar), and small enough that a task's powers stay in cache.
constexpr Index kDesignChunk = 2048;

// Rows r0 .. r0 + h of Phi: each entry is 1.0 times its factors, multiplied
// in dimension order; each factor is one Eigen power. Stopped, it leaves the
// remaining columns unwritten.
void fill_design_rows(const PowerPlan& plan, const std::vector<Vector>& X_cols, Index r0,
                      Index h, Matrix& Phi, const Interruption& stop) {
    std::vector<Vector> powers(plan.powers.size());
    for (std::size_t k = 0; k < powers.size(); ++k) {
        const auto [d, p] = plan.powers[k];
        powers[k] = X_cols[d].segment(r0, h).array().pow(static_cast<double>(p));
    }
    std::vector<const double*> factors(plan.factors.size());
    for (std::size_t f = 0; f < factors.size(); ++f) factors[f] = powers[plan.factors[f]].data();
    for (std::size_t j = 0; j + 1 < plan.first.size() && !stop.requested(); ++j) {
        kernels().multiply_columns(Phi.col(static_cast<Index>(j)).data() + r0, h,
                                   factors.data() + plan.first[j],
                                   static_cast<int>(plan.first[j + 1] - plan.first[j]));
    }
}

}  // namespace

Matrix design_matrix_nd(const MultiIndexList& multi_indices, const std::vector<Vector>& X_cols,
                        const Interruption& stop) {
    require(!X_cols.empty(), "X_cols is empty but needs at least one vector");
    const std::size_t D = X_cols.size();
    const Index n = X_cols[0].size();
    for (std::size_t d = 1; d < D; ++d) {
        require(X_cols[d].size() >= n, "X_cols[", d, "] has ", X_cols[d].size(),
                " entries but X_cols[0] has ", n);
    }
    for (std::size_t j = 0; j < multi_indices.size(); ++j) {
        require(multi_indices[j].size() >= D, "multi_indices[", j, "] has ",
                multi_indices[j].size(), " entries but X_cols has ", D, " vectors");
    }
    const Index M = static_cast<Index>(multi_indices.size());
    require_memory_for(checked_mul(n, M));
    const PowerPlan plan = plan_powers(multi_indices, D);
    Matrix Phi = uninitialized_matrix(n, M);
    const Index chunks = (n + kDesignChunk - 1) / kDesignChunk;
    parallel_for_each_task(static_cast<int>(chunks), [&](int c) {
        const Index r0 = c * kDesignChunk;
        fill_design_rows(plan, X_cols, r0, std::min(kDesignChunk, n - r0), Phi, stop);
    }, stop);
    return Phi;
}

PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees,
                                            const std::vector<std::pair<double, double>>& bounds,
                                            int n_grid_per_dim, const Interruption& stop) {
    const std::size_t D = degrees.size();
    require(bounds.size() == D, "Dimension mismatch.");
    require(n_grid_per_dim >= 2, "n_grid_per_dim is ", n_grid_per_dim,
            " but must be at least 2");
    require(D <= kMaxDimensions, "degrees has ", D, " entries but at most ", kMaxDimensions,
            " dimensions are supported");
    std::vector<Index> n_monomials;
    for (int deg : degrees) n_monomials.push_back(basis_size(deg));
    // With a degree of -1 the basis is empty: nothing to integrate, and no
    // grid worth building however fine it is.
    if (std::find(n_monomials.begin(), n_monomials.end(), 0) != n_monomials.end()) return {};
    require_memory_for(nd_peak_doubles(n_monomials, n_grid_per_dim));
    Index M = 1;
    for (Index m : n_monomials) M *= m;

    // Both results are allocated before the basis is listed, so that a basis
    // too large for them fails at once.
    PenaltyMatricesND out{Matrix::Zero(M, M), Matrix::Zero(M, M), {}};
    MultiIndex current(D, 0);
    generate_multi_indices(degrees, 0, current, out.multi_indices);

    std::vector<AxisGrams> grams(D);
    for (std::size_t d = 0; d < D; ++d) {
        const double lo = bounds[d].first;
        const double hi = bounds[d].second;
        const double step = (hi - lo) / static_cast<double>(n_grid_per_dim - 1);
        const DerivTable tab = derivative_table(Vector::LinSpaced(n_grid_per_dim, lo, hi),
                                                basis_size(degrees[d]), stop);
        for (int order = 0; order < 3; ++order) {
            grams[d][order] = axis_gram(tab[order], step, stop);
        }
    }

    // d2/dxi dxj and d2/dxj dxi have the same orders: each pair i < j
    // counts twice.
    std::vector<int> order(D);
    for (std::size_t i = 0; i < D; ++i) {
        for (std::size_t j = i; j < D; ++j) {
            for (std::size_t d = 0; d < D; ++d) order[d] = (d == i) + (d == j);
            out.R2 += (i == j ? 1.0 : 2.0) * grid_gram(grams, order, stop);
        }
        for (std::size_t d = 0; d < D; ++d) order[d] = (d == i);
        out.R1 += grid_gram(grams, order, stop);
    }
    return out;
}

}  // namespace qorv
