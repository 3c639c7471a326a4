// Linear least squares: penalised through the normal equations, and plain
// through a QR step and a singular-value decomposition.
#pragma once

#include "types.hpp"

namespace qorv {

// The fits read the design matrix through a row stride and a column stride,
// so that C- and Fortran-ordered arrays alike are read in place. A
// column-major Matrix passed by a C++ caller converts into a temporary
// row-major copy.
using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using Strides = Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>;
using RowMatrixRef = Eigen::Ref<const RowMatrix, 0, Strides>;
using VectorRef = Eigen::Ref<const Vector>;

// Solves (Phi' Phi + ridge I + n gamma1 R1 + n gamma2 R2) beta = Phi' y with a
// pivoted LDL' factorisation (n = rows of Phi). R1, R2 may be null; a used one
// is p x p. A singular system gives a finite pseudo-solution, not an error.
// Phi' Phi and Phi' y are summed over fixed row blocks in block order, so the
// result does not depend on the thread count.
Vector fit_regularized_linear(const RowMatrixRef& Phi, const VectorRef& y, const Matrix* R1,
                              const Matrix* R2, double gamma1, double gamma2, double ridge);

// A.ldlt().solve(b) with Eigen's LDLT of A's lower triangle, bit for bit,
// from a factorisation in column panels whose updates are spread over
// threads; the result does not depend on the thread count. A is square and
// b has its size; A's upper triangle serves as scratch.
Vector pivoted_ldlt_solve(Eigen::Ref<Matrix> A, const Vector& b);

// Least-squares solution of X beta = y of minimum norm, by a thin SVD; a tall
// X is first reduced to its p x p triangular factor by a QR over fixed row
// blocks, so the result does not depend on the thread count, and a factor
// certainly of full rank is solved by back substitution instead.
Vector ols(const RowMatrixRef& X, const VectorRef& y);

}  // namespace qorv
