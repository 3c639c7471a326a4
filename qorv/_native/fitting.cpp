#include "fitting.hpp"

#include "dispatch.hpp"
#include "gram_kernels.hpp"
#include "memory.hpp"
#include "parallel.hpp"
#include "scoring.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

namespace qorv {

namespace {

void require_one_target_per_row(const VectorRef& y, Index rows, const char* X_name) {
    require(y.size() == rows, "y has ", y.size(), " entries but ", X_name, " has ", rows,
            " rows");
}

// A += s R with one rounding per element.
void add_scaled(Matrix& A, const Matrix& R, double s) {
    for (Index c = 0; c < A.cols(); ++c) {
        for (Index r = 0; r < A.rows(); ++r) A(r, c) = std::fma(s, R(r, c), A(r, c));
    }
}

// Rows per block: about 256 kB of a block's working copy (`width` doubles a
// row), so that it stays in the second-level cache while it is worked on,
// and at least `min_rows`. The sizes alone decide, never the thread count:
// the blocks fix the order of every sum.
Index block_rows(Index width, Index min_rows) {
    return std::max<Index>({64, Index{32768} / width / 8 * 8, min_rows});
}

// Blocks worked on together before their results, `doubles_per_block` each,
// are combined in order: a few MB of results in flight, and at least four
// blocks to share among the threads. Like the blocks, the count depends on
// the sizes only.
Index wave_blocks(Index doubles_per_block) {
    return std::max<Index>(4, (Index{1} << 19) / doubles_per_block);
}

Index block_count(Index n, Index rows_per_block) {
    return (n + rows_per_block - 1) / rows_per_block;
}

// Storage for `count` doubles, left uninitialised: every use writes first.
// A block's working copy is allocated by the block itself, so that no two
// threads ever share one.
std::unique_ptr<double[]> scratch(Index count) {
    return std::unique_ptr<double[]>(new double[static_cast<std::size_t>(count)]);
}

// Cuts n rows into blocks of `rows_per_block` (the last may be shorter) and
// handles them in waves of `wave` blocks: work(slot, first_row, rows) for the
// blocks of a wave in parallel, then combine(count) on the calling thread
// with the wave's `count` slots, which hold the blocks in row order.
template <class Work, class Combine>
void in_row_blocks(Index n, Index rows_per_block, Index wave, const Work& work,
                   const Combine& combine) {
    const Index blocks = block_count(n, rows_per_block);
    for (Index first = 0; first < blocks; first += wave) {
        const Index count = std::min(wave, blocks - first);
        parallel_for_each_task(static_cast<int>(count), [&](int slot) {
            const Index row = (first + slot) * rows_per_block;
            work(Index{slot}, row, std::min(rows_per_block, n - row));
        });
        combine(count);
    }
}

// X'X (lower triangle, rows 0 to p - 1) and X'y (row p) with row stride
// gram::padded_stride(p + 1): each block's sums by the kernel, the blocks
// added in row order.
std::vector<double> augmented_gram(const RowMatrixRef& X, const VectorRef& y) {
    const Index p = X.cols(), m = p + 1, P = gram::padded_stride(m);
    const Index n = X.rows(), B = std::max<Index>(1, std::min(block_rows(P, 1), n));
    const Index wave = std::min(wave_blocks(P * P), block_count(n, B));
    const auto kernel = kernels().gram_lower_block;
    const auto partial = scratch(wave * P * P);
    std::vector<double> total(static_cast<std::size_t>(P * P), 0.0);
    in_row_blocks(
        n, B, wave,
        [&](Index slot, Index row, Index rows) {
            const auto x = scratch(rows * P);
            gram::pack_rows_with_target(X.data() + row * X.outerStride(), X.outerStride(),
                                        X.innerStride(), p, y.data() + row, rows, P, x.get());
            kernel(x.get(), rows, m, partial.get() + slot * P * P);
        },
        [&](Index count) {
            for (Index slot = 0; slot < count; ++slot) {
                const double* G = partial.get() + slot * P * P;
                for (Index i = 0; i < m; ++i) {
                    for (Index j = 0; j <= std::min(i, p - 1); ++j) total[i * P + j] += G[i * P + j];
                }
            }
        });
    return total;
}

// Least-squares solution of A beta = b of minimum norm by a thin SVD of A.
// Singular values below sigma_max * diag * eps count as zero, diag being the
// larger dimension of the matrix the caller solves for: the rounding of a
// QR and an SVD over n rows grows with n, and a cut-off below it would take
// that noise for a direction of X (30001 rows of two equal columns then gave
// coefficients of 1e12). NumPy's lstsq cuts at the same value.
template <class SVD>
Vector min_norm_solution_by(const Matrix& A, const Vector& b, Index diag) {
    SVD svd(A, Eigen::ComputeThinU | Eigen::ComputeThinV);
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

// Eigen's divide-and-conquer SVD hands fewer than 16 columns to its Jacobi
// SVD; calling that directly gives the same result without the set-up of
// the other.
Vector min_norm_solution(const Matrix& A, const Vector& b, Index diag) {
    if (A.cols() < 16) return min_norm_solution_by<Eigen::JacobiSVD<Matrix>>(A, b, diag);
    return min_norm_solution_by<Eigen::BDCSVD<Matrix>>(A, b, diag);
}

// Householder QR of M in place; returns its m x m triangular factor (rows
// beyond M's are zero). M has m columns.
Matrix triangular_factor(Eigen::Ref<Matrix> M) {
    const Eigen::HouseholderQR<Eigen::Ref<Matrix>> qr(M);
    const Index m = M.cols(), k = std::min(M.rows(), m);
    Matrix R = Matrix::Zero(m, m);
    R.topRows(k) = M.topRows(k).triangularView<Eigen::Upper>();
    return R;
}

// Replaces upper by the triangular factor of [upper; lower].
void merge_factors(Matrix& upper, const Matrix& lower) {
    Matrix stacked(upper.rows() + lower.rows(), upper.cols());
    stacked << upper, lower;
    upper = triangular_factor(stacked);
}

// Triangular factor R of [X y] (m x m, m = p + 1), a QR over row blocks: one
// per block, merged by a pairwise tree within each wave and then wave after
// wave. R's last column holds Q'y.
Matrix augmented_factor(const RowMatrixRef& X, const VectorRef& y) {
    const Index p = X.cols(), m = p + 1;
    // At least 4m rows a block keeps the merges, O(m^3) each, below the
    // blocks' own cost.
    const Index n = X.rows(), B = std::max<Index>(1, std::min(block_rows(m, 4 * m), n));
    const Index wave = std::min(wave_blocks(m * m), block_count(n, B));
    std::vector<Matrix> factors(static_cast<std::size_t>(wave));
    Matrix R;
    in_row_blocks(
        n, B, wave,
        [&](Index slot, Index row, Index rows) {
            const auto work = scratch(rows * m);
            Eigen::Map<Matrix> M(work.get(), rows, m);
            M.leftCols(p) = X.middleRows(row, rows);
            M.col(p) = y.segment(row, rows);
            factors[static_cast<std::size_t>(slot)] = triangular_factor(M);
        },
        [&](Index count) {
            for (Index step = 1; step < count; step *= 2) {
                for (Index i = 0; i + step < count; i += 2 * step) {
                    merge_factors(factors[static_cast<std::size_t>(i)],
                                  factors[static_cast<std::size_t>(i + step)]);
                }
            }
            if (R.size() == 0) {
                R = factors[0];
            } else {
                merge_factors(R, factors[0]);
            }
        });
    return R;
}

}  // namespace

Vector fit_regularized_linear(const RowMatrixRef& Phi, const VectorRef& y, const Matrix* R1,
                              const Matrix* R2, double gamma1, double gamma2, double ridge) {
    require_one_target_per_row(y, Phi.rows(), "Phi");
    require_penalty_shape("R1", R1, gamma1, Phi.cols(), "a row of Phi");
    require_penalty_shape("R2", R2, gamma2, Phi.cols(), "a row of Phi");
    // A with its factorisation, the Gram sums, the right-hand side and the
    // solution.
    const Index p = Phi.cols(), P = gram::padded_stride(p + 1);
    require_memory_for(checked_add(square_storage(2, p, 3), checked_mul(P, P)));
    const double n = static_cast<double>(y.size());
    const std::vector<double> G = augmented_gram(Phi, y);
    Matrix A = Matrix::Zero(p, p);
    Vector b(p);
    for (Index i = 0; i < p; ++i) {
        for (Index j = 0; j <= i; ++j) A(i, j) = G[i * P + j];
        b(i) = G[p * P + i];
    }
    A.diagonal().array() += ridge;
    if (penalty_used(R1, gamma1)) add_scaled(A, *R1, n * gamma1);
    if (penalty_used(R2, gamma2)) add_scaled(A, *R2, n * gamma2);
    return A.ldlt().solve(b);
}

Vector ols(const RowMatrixRef& X, const VectorRef& y) {
    require_one_target_per_row(y, X.rows(), "X");
    // Eigen's SVD takes the largest entry of its input and fails on an empty
    // matrix; with no rows or no columns the minimum-norm solution is zero.
    if (X.size() == 0) return Vector::Zero(X.cols());
    const Index p = X.cols();
    const Index diag = std::max(X.rows(), p);
    if (X.rows() <= p) return min_norm_solution(X, y, diag);
    // [X y] = Q [R z; 0 rho] with orthonormal Q: the least-squares solutions
    // of X beta = y are those of R beta = z, and R has the singular values of
    // X, so the SVD works on a p x p matrix instead of n x p.
    const Matrix F = augmented_factor(X, y);
    return min_norm_solution(F.topLeftCorner(p, p), F.col(p).head(p), diag);
}

}  // namespace qorv
