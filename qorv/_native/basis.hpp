// Monomial bases in one and several inputs, their design matrices, and the
// smoothness penalty matrices whose quadratic forms approximate integrals of
// squared derivatives of a polynomial over an interval or a box.
#pragma once

#include "parallel.hpp"
#include "types.hpp"

#include <cstddef>
#include <utility>
#include <vector>

namespace qorv {

// Exponents of one monomial, one per input dimension.
using MultiIndex = std::vector<int>;
using MultiIndexList = std::vector<MultiIndex>;

struct PenaltyMatrices1D {
    Matrix R1;  // b' R1 b ~ integral of f'(x)^2
    Matrix R2;  // b' R2 b ~ integral of f''(x)^2
};

// Riemann sums with equal weight dx on n_grid points from x_min to x_max,
// ends included, for the basis 1, x, ..., x^deg. Requires deg >= 0 and
// n_grid >= 2, tested in that order. Throws Interrupted once `stop` is
// requested.
PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max,
                                                 int n_grid,
                                                 const Interruption& stop = Interruption());

// Symmetric B with b' B b = f'(x_max) f''(x_max) - f'(x_min) f''(x_min).
// deg = -1 gives 0 x 0; a lower deg throws std::bad_alloc.
Matrix boundary_reduce_1d(int deg, double x_min, double x_max);

// Vandermonde matrix: column p holds x^p by repeated multiplication. deg >= 0.
Matrix design_matrix_1d(int deg, const Vector& x);

// Column j is the product over d of X_cols[d]^multi_indices[j][d], counting
// only positive exponents, with one row per entry of X_cols[0]: later
// vectors may be longer (their extra entries are not read) but not shorter.
// X_cols is non-empty; each multi-index has at least one entry per vector.
// Throws Interrupted once `stop` is requested.
Matrix design_matrix_nd(const MultiIndexList& multi_indices, const std::vector<Vector>& X_cols,
                        const Interruption& stop = Interruption());

struct PenaltyMatricesND {
    Matrix R1;                   // b' R1 b ~ integral of |grad f|^2
    Matrix R2;                   // b' R2 b ~ integral of the squared Hessian norm
    MultiIndexList multi_indices;  // row and column order of R1 and R2
};

// Riemann sums with equal weight on a regular grid of n_grid_per_dim points
// per axis of the box given by bounds (lower, upper), for the tensor-product
// basis of degrees, formed per axis without the grid (memory ~ M^2).
// bounds needs one pair per degree and n_grid_per_dim >= 2; a degree below
// -1 throws std::bad_alloc. Throws Interrupted once `stop` is requested.
PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees,
                                            const std::vector<std::pair<double, double>>& bounds,
                                            int n_grid_per_dim,
                                            const Interruption& stop = Interruption());

}  // namespace qorv
