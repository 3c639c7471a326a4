#include "fitting.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qorv {

namespace {

void require_one_target_per_row(const Vector& y, const Matrix& X, const char* X_name) {
    require(y.size() == X.rows(), "y has ", y.size(), " entries but ", X_name, " has ",
            X.rows(), " rows");
}

// A += s R with one rounding per element.
void add_scaled(Matrix& A, const Matrix& R, double s) {
    for (Index c = 0; c < A.cols(); ++c) {
        for (Index r = 0; r < A.rows(); ++r) A(r, c) = std::fma(s, R(r, c), A(r, c));
    }
}

}  // namespace

Vector fit_regularized_linear(const Matrix& Phi, const Vector& y, const Matrix* R1,
                              const Matrix* R2, double gamma1, double gamma2, double ridge) {
    require_one_target_per_row(y, Phi, "Phi");
    require_penalty_shape("R1", R1, gamma1, Phi.cols(), "a row of Phi");
    require_penalty_shape("R2", R2, gamma2, Phi.cols(), "a row of Phi");
    // A with its factorisation, the right-hand side and the solution.
    require_memory_for(square_storage(2, Phi.cols(), 3));
    const double n = static_cast<double>(y.size());
    Matrix A = Phi.transpose() * Phi;
    A.diagonal().array() += ridge;
    if (penalty_used(R1, gamma1)) add_scaled(A, *R1, n * gamma1);
    if (penalty_used(R2, gamma2)) add_scaled(A, *R2, n * gamma2);
    const Vector b = Phi.transpose() * y;
    return A.ldlt().solve(b);
}

Vector ols(const Matrix& X, const Vector& y) {
    require_one_target_per_row(y, X, "X");
    // Eigen's SVD takes the largest entry of its input and fails on an empty
    // matrix; with no rows or no columns the minimum-norm solution is zero.
    if (X.size() == 0) return Vector::Zero(X.cols());
    Eigen::BDCSVD<Matrix> svd(X, Eigen::ComputeThinU | Eigen::ComputeThinV);
    // A NaN or infinite entry makes Eigen stop with InvalidInput and leave the
    // rank and the singular values unset, which solve() would then read.
    // There is no least-squares solution; like other degenerate input it
    // gives NaN rather than an error.
    if (svd.info() != Eigen::Success) {
        return Vector::Constant(X.cols(), std::numeric_limits<double>::quiet_NaN());
    }
    // Singular values below sigma_max * max(1, min(rows, cols)) * eps count as
    // zero, which makes the solution the one of minimum norm. Eigen 3.4 uses
    // the same value by default; it is set here so that the cut-off does not
    // hang on a library default.
    const Index diag = std::max<Index>(1, std::min(X.rows(), X.cols()));
    svd.setThreshold(static_cast<double>(diag) * std::numeric_limits<double>::epsilon());
    return svd.solve(y);
}

}  // namespace qorv
