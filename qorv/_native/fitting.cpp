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

// Rough cost of one product-and-add of the Gram sums, in nanoseconds, from
// which the threads for a call are chosen.
constexpr double kNsPerProduct = 0.15;

// Cuts n rows into blocks of `rows_per_block` (the last may be shorter) and
// handles them in waves of `wave` blocks: work(slot, first_row, rows) for the
// blocks of a wave in parallel, then combine(count) on the calling thread
// with the wave's `count` slots, which hold the blocks in row order. A block
// of rows_per_block rows costs about `block_ns`.
template <class Work, class Combine>
void in_row_blocks(Index n, Index rows_per_block, Index wave, double block_ns, const Work& work,
                   const Combine& combine) {
    const Index blocks = block_count(n, rows_per_block);
    for (Index first = 0; first < blocks; first += wave) {
        const Index count = std::min(wave, blocks - first);
        parallel_for_each_task(static_cast<int>(count), block_ns, [&](int slot) {
            const Index row = (first + slot) * rows_per_block;
            work(Index{slot}, row, std::min(rows_per_block, n - row));
        });
        combine(count);
    }
}

// [X y] as the Gram kernels read it.
gram::AugmentedRows augmented_rows(const RowMatrixRef& X, const VectorRef& y) {
    return {X.data(), X.outerStride(), X.innerStride(), X.cols(), y.data()};
}

// The fixed order of every Gram sum: blocks of `B` rows, each summed in row
// order from 0.0, added in row order to an entry that starts at 0.0. The
// three ways below split the same sums differently among threads and lanes.
// Each adds the entries i < m, j <= i, j < m - 1 of [X y]'[X y] (m = p + 1)
// to `total`, whose row stride is P = gram::padded_stride(m).

// Few columns: a task sums a group of gram::kGroupBlocks blocks, one block
// per lane.
void narrow_gram(const gram::AugmentedRows& z, Index n, Index m, Index B, double* total) {
    constexpr Index G = gram::kGroupBlocks;
    const Index P = gram::padded_stride(m), E = gram::narrow_entries(m);
    const Index wave = std::min(wave_blocks(E * G), block_count(n, G * B));
    const auto kernel = kernels().gram_narrow;
    const auto sums = scratch(wave * E * G);
    in_row_blocks(
        n, G * B, wave, kNsPerProduct * static_cast<double>(G * B * (E + m)),
        [&](Index slot, Index row, Index rows) {
            Index first[G], live[G];
            for (Index g = 0; g < G; ++g) {
                first[g] = row + g * B;
                live[g] = std::clamp<Index>(row + rows - first[g], 0, B);
            }
            kernel(z.X, z.rs, z.cs, z.p, z.y, first, live, sums.get() + slot * E * G);
        },
        [&](Index count) {
            for (Index slot = 0; slot < count; ++slot) {
                const double* acc = sums.get() + slot * E * G;
                for (Index g = 0; g < G; ++g) {
                    Index e = 0;
                    for (Index i = 0; i < m; ++i) {
                        for (Index j = 0; j <= std::min(i, m - 2); ++j, ++e) {
                            total[i * P + j] += acc[e * G + g];
                        }
                    }
                }
            }
        });
}

// Entries wanted from rows [0, i) of the lower triangle: j <= i' for i' < i.
double triangle_area(Index i) { return 0.5 * static_cast<double>(i) * static_cast<double>(i + 1); }

// Many columns: a task owns a strip of rows of `total` and adds every block
// to it in turn, packing for itself the columns its strip needs, so that no
// block leaves a P x P sum behind. Strips of equal area, kTileCols aligned.
void strip_gram(const gram::AugmentedRows& z, Index n, Index m, Index B, Index strips,
                double* total) {
    std::vector<Index> edge{0};
    for (Index s = 1; s < strips; ++s) {
        const double share = static_cast<double>(s) / static_cast<double>(strips);
        const Index i = static_cast<Index>(std::sqrt(share) * static_cast<double>(m));
        edge.push_back(std::max(edge.back(), i / gram::kTileCols * gram::kTileCols));
    }
    edge.push_back(m);
    const auto kernel = kernels().gram_lower_rows;
    const double strip_ns = kNsPerProduct * static_cast<double>(n) * triangle_area(m) /
                            static_cast<double>(strips);
    parallel_for_each_task(static_cast<int>(strips), strip_ns, [&](int s) {
        const Index i_begin = edge[static_cast<std::size_t>(s)];
        const Index i_end = edge[static_cast<std::size_t>(s) + 1];
        if (i_begin == i_end) return;
        const Index cols = gram::padded_stride(i_end);
        const auto x = scratch(std::min(B, n) * cols);
        for (Index row = 0; row < n; row += B) {
            const Index rows = std::min(B, n - row);
            gram::pack_rows_with_target(z, row, rows, cols, x.get());
            kernel(x.get(), rows, m, i_begin, i_end, total);
        }
    });
}

// Otherwise: a task sums one block into a P x P matrix of its own, and the
// calling thread adds those in block order. A C-ordered X of few columns is
// read in place; other blocks are packed first.
void block_gram(const gram::AugmentedRows& z, Index n, Index m, Index B, double* total) {
    const Index P = gram::padded_stride(m);
    const Index wave = std::min(wave_blocks(P * P), block_count(n, B));
    const bool in_place = z.cs == 1 && z.p <= gram::kMaxRowCols;
    const double* X_end = z.X + (n - 1) * z.rs + z.p;
    const auto partial = scratch(wave * P * P);
    in_row_blocks(
        n, B, wave, kNsPerProduct * static_cast<double>(B) * triangle_area(m),
        [&](Index slot, Index row, Index rows) {
            double* G = partial.get() + slot * P * P;
            std::fill(G, G + P * P, 0.0);
            if (in_place) {
                kernels().gram_rows(z.X + row * z.rs, z.rs, z.p, z.y + row, rows, X_end, G);
                return;
            }
            const auto x = scratch(rows * P);
            gram::pack_rows_with_target(z, row, rows, P, x.get());
            kernels().gram_lower_rows(x.get(), rows, m, 0, m, G);
        },
        [&](Index count) {
            for (Index slot = 0; slot < count; ++slot) {
                const double* G = partial.get() + slot * P * P;
                for (Index i = 0; i < m; ++i) {
                    for (Index j = 0; j <= std::min(i, m - 2); ++j) total[i * P + j] += G[i * P + j];
                }
            }
        });
}

// Columns of [X y] from which each strip of strip_gram has at least this
// many rows: below, the blocks' own P x P sums cost less than packing the
// columns once per strip.
constexpr Index kStripRows = 64;
constexpr Index kMaxStrips = 8;

// Strips for strip_gram. Each packs again the columns it needs, so there are
// no more than twice the threads the call gets, which lets the one-at-a-time
// hand-out even out a thread that runs late, and a single strip on one
// thread.
Index strip_count(Index n, Index m) {
    const Index most = std::min(kMaxStrips, m / kStripRows);
    const double ns = kNsPerProduct * static_cast<double>(n) * triangle_area(m);
    const int team = team_size(static_cast<int>(most), ns / static_cast<double>(most));
    return team <= 1 ? 1 : std::min(most, Index{2} * team);
}

// X'X (lower triangle, rows 0 to p - 1) and X'y (row p) with row stride
// gram::padded_stride(p + 1).
std::vector<double> augmented_gram(const RowMatrixRef& X, const VectorRef& y) {
    const Index p = X.cols(), m = p + 1, P = gram::padded_stride(m);
    const Index n = X.rows(), B = std::max<Index>(1, std::min(block_rows(P, 1), n));
    std::vector<double> total(static_cast<std::size_t>(P * P), 0.0);
    if (n == 0 || p == 0) return total;
    const gram::AugmentedRows z = augmented_rows(X, y);
    // One column, or a few that are not C-ordered: a block per lane.
    if (m <= gram::kMaxNarrow && (p == 1 || z.cs != 1)) {
        narrow_gram(z, n, m, B, total.data());
    } else if (m >= 2 * kStripRows) {
        strip_gram(z, n, m, B, strip_count(n, m), total.data());
    } else {
        block_gram(z, n, m, B, total.data());
    }
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

// Rows of [X y] folded into a triangular factor at a time: a packed copy of
// them stays in the first-level cache while each reflector passes over it.
constexpr Index kFoldRows = 16;
// Columns of [X y] from which a block's factor is folded row by row: below,
// forming each reflector costs more than it saves, and Eigen's blocked QR,
// at the baseline's vector width, is as fast.
constexpr Index kFoldCols = 32;

// Householder QR of M in place; returns its m x m triangular factor (rows
// beyond M's are zero). M has m columns.
RowMatrix triangular_factor(Eigen::Ref<Matrix> M) {
    const Eigen::HouseholderQR<Eigen::Ref<Matrix>> qr(M);
    const Index m = M.cols(), k = std::min(M.rows(), m);
    RowMatrix R = RowMatrix::Zero(m, m);
    R.topRows(k) = M.topRows(k).triangularView<Eigen::Upper>();
    return R;
}

// Replaces upper by the triangular factor of [upper; lower], both m x m
// upper triangular; lower is overwritten. Column k's reflector meets row k
// of upper and rows 0 to k of lower only (the others are zero and stay so).
void merge_factors(RowMatrix& upper, RowMatrix& lower) {
    const Index m = upper.cols();
    std::vector<double> v(static_cast<std::size_t>(m));
    kernels().fold_rows(upper.data(), m, lower.data(), m, m, m, true, v.data());
}

// Triangular factor (m x m) of rows [row, row + rows) of [X y]; from
// kFoldCols columns folded in kFoldRows at a time into a factor that starts
// at zero.
RowMatrix block_factor(const RowMatrixRef& X, const VectorRef& y, Index row, Index rows) {
    const Index p = X.cols(), m = p + 1;
    if (m < kFoldCols) {
        const auto work = scratch(rows * m);
        Eigen::Map<Matrix> M(work.get(), rows, m);
        M.leftCols(p) = X.middleRows(row, rows);
        M.col(p) = y.segment(row, rows);
        return triangular_factor(M);
    }
    RowMatrix R = RowMatrix::Zero(m, m);
    RowMatrix D(kFoldRows, m);
    double v[kFoldRows];
    for (Index first = row; first < row + rows; first += kFoldRows) {
        const Index count = std::min(kFoldRows, row + rows - first);
        D.topLeftCorner(count, p) = X.middleRows(first, count);
        D.col(p).head(count) = y.segment(first, count);
        kernels().fold_rows(R.data(), m, D.data(), m, count, m, false, v);
    }
    return R;
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
    std::vector<RowMatrix> factors(static_cast<std::size_t>(wave));
    RowMatrix R;
    // A reflector per column: about 2 m^2 products per row.
    in_row_blocks(
        n, B, wave, kNsPerProduct * 2.0 * static_cast<double>(B * m * m),
        [&](Index slot, Index row, Index rows) {
            factors[static_cast<std::size_t>(slot)] = block_factor(X, y, row, rows);
        },
        [&](Index count) {
            // The merges of one level of the tree are independent.
            const double merge_ns = kNsPerProduct * static_cast<double>(m * m * m);
            for (Index step = 1; step < count; step *= 2) {
                const Index merges = (count - step + 2 * step - 1) / (2 * step);
                parallel_for_each_task(static_cast<int>(merges), merge_ns, [&](int k) {
                    const Index i = k * 2 * step;
                    merge_factors(factors[static_cast<std::size_t>(i)],
                                  factors[static_cast<std::size_t>(i + step)]);
                });
            }
            if (R.size() == 0) {
                R = std::move(factors[0]);
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
