// Linear least squares: penalised through the normal equations, and plain
// through a singular-value decomposition.
#pragma once

#include "types.hpp"

namespace qorv {

// Solves (Phi' Phi + ridge I + n gamma1 R1 + n gamma2 R2) beta = Phi' y with a
// pivoted LDL' factorisation (n = rows of Phi). R1, R2 may be null; a used one
// is p x p. A singular system gives a finite pseudo-solution, not an error.
Vector fit_regularized_linear(const Matrix& Phi, const Vector& y, const Matrix* R1,
                              const Matrix* R2, double gamma1, double gamma2, double ridge);

// Least-squares solution of X beta = y of minimum norm, by a thin SVD.
Vector ols(const Matrix& X, const Vector& y);

}  // namespace qorv
