#include "fitting.hpp"

#include "memory.hpp"
#include "scoring.hpp"

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

// Phi' Phi in the lower triangle, the only part the factorisation reads. A
// rank update runs on one thread with fixed blocking; Eigen's parallel
// general product picks its blocking by thread count, which would make the
// fit change in the last bits with OMP_NUM_THREADS.
Matrix gram_lower(const Matrix& Phi) {
    Matrix A = Matrix::Zero(Phi.cols(), Phi.cols());
    // Eigen takes the address of the first entry, so an empty operand is
    // left out; its Gram matrix is zero anyway.
    if (Phi.size() > 0) A.selfadjointView<Eigen::Lower>().rankUpdate(Phi.transpose());
    return A;
}

// Least-squares solution of A beta = b of minimum norm by a thin SVD of A.
// Singular values below sigma_max * diag * eps count as zero (diag is
// max(1, min(rows, cols)) of the matrix the caller solves for). Eigen 3.4
// uses the same value by default for A itself; it is set here so that the
// cut-off does not hang on a library default.
Vector min_norm_solution(const Matrix& A, const Vector& b, Index diag) {
    Eigen::BDCSVD<Matrix> svd(A, Eigen::ComputeThinU | Eigen::ComputeThinV);
    // A NaN or infinite entry makes Eigen stop with InvalidInput and leave the
    // rank and the singular values unset, which solve() would then read.
    // There is no least-squares solution; like other degenerate input it
    // gives NaN rather than an error.
    if (svd.info() != Eigen::Success) {
        return Vector::Constant(A.cols(), std::numeric_limits<double>::quiet_NaN());
    }
    svd.setThreshold(static_cast<double>(diag) * std::numeric_limits<double>::epsilon());
    return svd.solve(b);
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
    Matrix A = gram_lower(Phi);
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
    const Index diag = std::max<Index>(1, std::min(X.rows(), X.cols()));
    if (X.rows() <= X.cols()) return min_norm_solution(X, y, diag);
    // X = QR with orthonormal Q: the least-squares solutions of X beta = y
    // are those of R beta = Q'y, and R has the singular values of X, so the
    // SVD works on a p x p matrix instead of n x p.
    Matrix QR = uninitialized_matrix(X.rows(), X.cols());
    QR = X;
    const Eigen::HouseholderQR<Eigen::Ref<Matrix>> qr(QR);
    const Vector Qty = qr.householderQ().transpose() * y;
    const Matrix R = QR.topRows(X.cols()).triangularView<Eigen::Upper>();
    return min_norm_solution(R, Qty.head(X.cols()), diag);
}

}  // namespace qorv
