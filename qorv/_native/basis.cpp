#include "basis.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <new>

namespace qorv {

namespace {

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

// Copies the strictly lower triangle onto the upper one.
void mirror_lower(Matrix& R) {
    for (Index c = 1; c < R.cols(); ++c) {
        for (Index r = 0; r < c; ++r) R(r, c) = R(c, r);
    }
}

// Values of the order-0, -1 and -2 derivatives of every monomial of one axis
// at every point of that axis: all power evaluations of a grid happen here.
using DerivTable = std::array<Matrix, 3>;

DerivTable derivative_table(const Vector& axis, Index n_monomials) {
    DerivTable tab;
    for (int order = 0; order < 3; ++order) {
        Matrix& t = tab[order];
        t = Matrix::Zero(axis.size(), n_monomials);
        for (Index k = 0; k < axis.size(); ++k) {
            for (Index p = 0; p < n_monomials; ++p) {
                t(k, p) = col_deriv_scalar(axis[k], static_cast<int>(p), order);
            }
        }
    }
    return tab;
}

// The regular grid of a box: the derivative tables of each axis and, for
// every grid point g, its position along each axis (grid_k[g * D + d]),
// axis 0 varying fastest.
struct Grid {
    std::size_t D = 0;
    Index G = 1;
    double dV = 1.0;
    std::vector<DerivTable> tab;
    std::vector<int> grid_k;
};

Grid make_grid(const std::vector<Index>& n_monomials,
               const std::vector<std::pair<double, double>>& bounds, int n) {
    Grid grid;
    grid.D = bounds.size();
    for (std::size_t d = 0; d < grid.D; ++d) grid.G = checked_mul(grid.G, n);
    for (std::size_t d = 0; d < grid.D; ++d) {
        const double lo = bounds[d].first;
        const double hi = bounds[d].second;
        grid.dV *= (hi - lo) / static_cast<double>(n - 1);
        grid.tab.push_back(derivative_table(Vector::LinSpaced(n, lo, hi), n_monomials[d]));
    }
    grid.grid_k.resize(static_cast<std::size_t>(checked_mul(grid.G, static_cast<Index>(grid.D))));
    for (Index g = 0; g < grid.G; ++g) {
        Index temp = g;
        for (std::size_t d = 0; d < grid.D; ++d) {
            grid.grid_k[g * grid.D + d] = static_cast<int>(temp % n);
            temp /= n;
        }
    }
    return grid;
}

// work(g, m) = product over d of the order[d]-th partial derivative along
// axis d of monomial m at grid point g: one directional derivative of every
// basis function at every grid point.
void fill_derivatives(Matrix& work, const Grid& grid, const MultiIndexList& multi_indices,
                      const std::vector<int>& order) {
    for (Index m = 0; m < work.cols(); ++m) {
        const MultiIndex& mi = multi_indices[m];
        for (Index g = 0; g < grid.G; ++g) {
            const int* k = grid.grid_k.data() + g * grid.D;
            double term = 1.0;
            for (std::size_t d = 0; d < grid.D; ++d) {
                term = term * grid.tab[d][order[d]](k[d], mi[d]);
            }
            work(g, m) = term;
        }
    }
}

// R += dV work' work into the lower triangle only.
void add_gram(Matrix& R, Matrix& work, const Grid& grid, const MultiIndexList& multi_indices,
              const std::vector<int>& order) {
    // An empty basis adds nothing, and Eigen's rank update would bind a
    // reference to the first entry of an operand that has none.
    if (work.cols() == 0) return;
    fill_derivatives(work, grid, multi_indices, order);
    R.selfadjointView<Eigen::Lower>().rankUpdate(work.transpose(), grid.dV);
}

// Doubles (ints counted as doubles) that build_penalty_matrices_nd holds at
// its peak: R1 and R2 with the multi-index list, the G x M work matrix with
// the grid positions, and the axes with their derivative tables. Checking it
// first also bounds the depth of the multi-index recursion: with n >= 2, G
// overflows beyond 62 dimensions.
Index nd_peak_doubles(const std::vector<Index>& n_monomials, int n) {
    const Index D = static_cast<Index>(n_monomials.size());
    Index M = 1;
    Index G = 1;
    Index tables = 0;
    for (Index m : n_monomials) {
        M = checked_mul(M, m);
        G = checked_mul(G, n);
        tables = checked_add(tables, checked_mul(n, checked_add(checked_mul(3, m), 1)));
    }
    const Index result = checked_add(square_storage(2, M, 0), checked_mul(M, checked_add(D, 3)));
    const Index grid = checked_mul(G, checked_add(M, D));
    return checked_add(checked_add(result, grid), tables);
}

}  // namespace

double col_deriv_scalar(double val, int p, int order) {
    const std::int64_t q = p;
    if (order == 0) return std::pow(val, static_cast<double>(q));
    if (order == 1) {
        return q < 1 ? 0.0 : static_cast<double>(q) * std::pow(val, static_cast<double>(q - 1));
    }
    return q < 2 ? 0.0 : static_cast<double>(q * (q - 1)) * std::pow(val, static_cast<double>(q - 2));
}

void deriv_row(double x, int deg, int order, Eigen::Ref<Vector> out) {
    require(out.size() > deg, "out has ", out.size(), " entries but deg ", deg, " needs ",
            Index{deg} + 1);
    for (Index p = 0; p <= deg; ++p) out[p] = col_deriv_scalar(x, static_cast<int>(p), order);
}

PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max,
                                                 int n_grid) {
    require(deg >= 0, "deg < 0");
    require(n_grid >= 2, "n_grid < 2");
    const Index M = basis_size(deg);
    require_memory_for(square_storage(2, M, 2));
    const double dx = (x_max - x_min) / static_cast<double>(n_grid - 1);
    PenaltyMatrices1D out{Matrix::Zero(M, M), Matrix::Zero(M, M)};
    Vector d1(M);
    Vector d2(M);
    for (int g = 0; g < n_grid; ++g) {
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
    Matrix Phi(x.size(), cols);
    Phi.col(0).setOnes();
    for (Index p = 1; p < cols; ++p) Phi.col(p) = Phi.col(p - 1).cwiseProduct(x);
    return Phi;
}

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

Matrix design_matrix_nd(const MultiIndexList& multi_indices, const std::vector<Vector>& X_cols) {
    require(!X_cols.empty(), "X_cols is empty but needs at least one vector");
    const std::size_t D = X_cols.size();
    const Index n = X_cols[0].size();
    for (std::size_t d = 1; d < D; ++d) {
        require(X_cols[d].size() == n, "X_cols[", d, "] has ", X_cols[d].size(),
                " entries but X_cols[0] has ", n);
    }
    for (std::size_t j = 0; j < multi_indices.size(); ++j) {
        require(multi_indices[j].size() >= D, "multi_indices[", j, "] has ",
                multi_indices[j].size(), " entries but X_cols has ", D, " vectors");
    }
    const Index M = static_cast<Index>(multi_indices.size());
    require_memory_for(checked_mul(n, M));
    Matrix Phi = Matrix::Ones(n, M);
    for (Index j = 0; j < M; ++j) {
        const MultiIndex& mi = multi_indices[j];
        for (std::size_t d = 0; d < D; ++d) {
            if (mi[d] <= 0) continue;
            Phi.col(j).array() *= X_cols[d].array().pow(static_cast<double>(mi[d]));
        }
    }
    return Phi;
}

PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees,
                                            const std::vector<std::pair<double, double>>& bounds,
                                            int n_grid_per_dim) {
    const std::size_t D = degrees.size();
    require(bounds.size() == D, "Dimension mismatch.");
    require(n_grid_per_dim >= 2, "n_grid_per_dim is ", n_grid_per_dim,
            " but must be at least 2");
    std::vector<Index> n_monomials;
    for (int deg : degrees) n_monomials.push_back(basis_size(deg));
    require_memory_for(nd_peak_doubles(n_monomials, n_grid_per_dim));

    PenaltyMatricesND out;
    MultiIndex current(D, 0);
    generate_multi_indices(degrees, 0, current, out.multi_indices);
    const Index M = static_cast<Index>(out.multi_indices.size());
    const Grid grid = make_grid(n_monomials, bounds, n_grid_per_dim);

    out.R1 = Matrix::Zero(M, M);
    out.R2 = Matrix::Zero(M, M);
    Matrix work(grid.G, M);
    std::vector<int> order(D);
    for (std::size_t i = 0; i < D; ++i) {
        for (std::size_t j = 0; j < D; ++j) {
            for (std::size_t d = 0; d < D; ++d) order[d] = (d == i) + (d == j);
            add_gram(out.R2, work, grid, out.multi_indices, order);
        }
    }
    for (std::size_t i = 0; i < D; ++i) {
        for (std::size_t d = 0; d < D; ++d) order[d] = (d == i);
        add_gram(out.R1, work, grid, out.multi_indices, order);
    }
    mirror_lower(out.R1);
    mirror_lower(out.R2);
    return out;
}

}  // namespace qorv
