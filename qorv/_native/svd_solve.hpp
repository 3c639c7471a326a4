// Minimum-norm least squares through a singular-value decomposition that
// gives the same bits on every processor, instruction level and thread
// count: a Householder bidiagonalisation, whose passes run in the level's
// kernels, then the implicit-shift QR iteration on the bidiagonal, whose
// rotations go straight to the right-hand side or are replayed on the
// solution, so that no singular vector is ever formed.
#pragma once

#include <optional>

#include "types.hpp"

namespace qorv {

// Least-squares solution of minimum norm of A x = b, or of A' x = b when
// `transposed`, for A with at least as many rows as columns and b of A's
// rows (A's columns when transposed). Singular values not above
// max(sigma_max cutoff, the smallest normal double) count as zero. Empty
// when the QR iteration does not converge; all NaN when A has an entry that
// is not finite.
std::optional<Vector> svd_solve(Matrix A, Vector b, bool transposed, double cutoff);

// Whether no singular value of a matrix whose squared Frobenius norm is
// `norm2`, and that of its inverse `inverse2`, can fall to the cut-off of
// svd_solve: sigma_min >= 1 / ||M^-1||_F and sigma_max <= ||M||_F, with a
// factor 2 for the rounding of both sums.
bool clear_of_cutoff(double norm2, double inverse2, double cutoff);

}  // namespace qorv
