#include "fitting.hpp"

#include "dispatch.hpp"
#include "gram_kernels.hpp"
#include "memory.hpp"
#include "parallel.hpp"
#include "power_of_two.hpp"
#include "qr_kernels.hpp"
#include "scoring.hpp"
#include "svd_solve.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <vector>

namespace qorv {

namespace {

void require_one_target_per_row(const VectorRef& y, Index rows, const char* X_name) {
    require(y.size() == rows, "y has ", y.size(), " entries but ", X_name, " has ", rows,
            " rows");
}

// A += s R on and below the diagonal, with one rounding per element.
void add_scaled_lower(Eigen::Ref<Matrix> A, const Matrix& R, double s) {
    for (Index c = 0; c < A.cols(); ++c) {
        for (Index r = c; r < A.rows(); ++r) A(r, c) = std::fma(s, R(r, c), A(r, c));
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
// threads ever share one. It starts on a cache line: a packed row of
// gram::kTileCols doubles is then one line, and the kernels' vector loads
// never straddle two (at a heap allocation's usual 16 bytes they all did,
// and the Gram tiles ran a tenth slower).
constexpr std::align_val_t kCacheLine{64};

struct ScratchDelete {
    void operator()(double* p) const { ::operator delete[](p, kCacheLine); }
};

std::unique_ptr<double[], ScratchDelete> scratch(Index count) {
    return std::unique_ptr<double[], ScratchDelete>(
        new (kCacheLine) double[static_cast<std::size_t>(count)]);
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

// Strips for strip_gram: one per thread the call gets. Each packs again the
// columns it needs, and two strips per thread, which would even out a
// thread that runs late, packed X a third more often: at 10000 x 1001 and
// 20000 x 286 on two threads they took 5 to 10 % more processor time.
// team_size already leaves out the processors other processes keep busy.
Index strip_count(Index n, Index m) {
    const Index most = std::min(kMaxStrips, m / kStripRows);
    const double ns = kNsPerProduct * static_cast<double>(n) * triangle_area(m);
    return team_size(static_cast<int>(most), ns / static_cast<double>(most));
}

// [X y]'[X y] as a P x P matrix, P = gram::padded_stride(p + 1): X'X in
// the upper triangle of its first p columns, X'y in the first p rows of
// column p. (The kernels fill rows of a lower triangle with row stride P:
// the same storage.)
Matrix augmented_gram(const RowMatrixRef& X, const VectorRef& y) {
    const Index p = X.cols(), m = p + 1, P = gram::padded_stride(m);
    const Index n = X.rows(), B = std::max<Index>(1, std::min(block_rows(P, 1), n));
    Matrix gram = uninitialized_matrix(P, P);
    gram.setZero();
    if (n == 0 || p == 0) return gram;
    double* total = gram.data();
    const gram::AugmentedRows z = augmented_rows(X, y);
    // One column, or a few that are not C-ordered: a block per lane.
    if (m <= gram::kMaxNarrow && (p == 1 || z.cs != 1)) {
        narrow_gram(z, n, m, B, total);
    } else if (m >= 2 * kStripRows) {
        strip_gram(z, n, m, B, strip_count(n, m), total);
    } else {
        block_gram(z, n, m, B, total);
    }
    return gram;
}

// Least-squares solution of A beta = b of minimum norm by Eigen's thin SVD
// of A, for matrices too small for svd_solve to pay.
template <class SVD>
Vector eigen_min_norm_solution(const Matrix& A, const Vector& b, double cutoff) {
    SVD svd(A, Eigen::ComputeThinU | Eigen::ComputeThinV);
    // A NaN or infinite entry makes Eigen stop with InvalidInput and leave the
    // rank and the singular values unset, which solve() would then read.
    // There is no least-squares solution; like other degenerate input it
    // gives NaN rather than an error.
    if (svd.info() != Eigen::Success) {
        return Vector::Constant(A.cols(), std::numeric_limits<double>::quiet_NaN());
    }
    svd.setThreshold(cutoff);
    return svd.solve(b);
}

// Eigen's divide-and-conquer SVD hands fewer than 16 columns to its Jacobi
// SVD; calling that directly gives the same result without the set-up of
// the other. Fewer than 16 rows go there too: the divide-and-conquer SVD
// would work on the transpose, and its bidiagonalisation of so few columns
// binds a reference through a null pointer (undefined behaviour that the
// sanitizers report).
Vector eigen_min_norm_solution(const Matrix& A, const Vector& b, double cutoff) {
    if (std::min(A.rows(), A.cols()) < 16) {
        return eigen_min_norm_solution<Eigen::JacobiSVD<Matrix>>(A, b, cutoff);
    }
    return eigen_min_norm_solution<Eigen::BDCSVD<Matrix>>(A, b, cutoff);
}

// Smaller dimension from which svd_solve takes over from Eigen's SVD, which
// runs at the baseline's vector width.
constexpr Index kOwnSvd = 16;

// Least-squares solution of A beta = b of minimum norm by a thin SVD of A.
// Singular values below sigma_max * diag * eps count as zero, diag being the
// larger dimension of the matrix the caller solves for: the rounding of a
// QR and an SVD over n rows grows with n, and a cut-off below it would take
// that noise for a direction of X (30001 rows of two equal columns then gave
// coefficients of 1e12). NumPy's lstsq cuts at the same value. A wide A is
// solved through its transpose, which svd_solve bidiagonalises as a tall
// matrix; should its QR iteration not converge, Eigen's SVD answers.
Vector min_norm_solution(const Matrix& A, const Vector& b, Index diag) {
    const double cutoff = static_cast<double>(diag) * std::numeric_limits<double>::epsilon();
    if (std::min(A.rows(), A.cols()) >= kOwnSvd) {
        const bool wide = A.rows() < A.cols();
        std::optional<Vector> x =
            wide ? svd_solve(A.transpose(), b, true, cutoff) : svd_solve(A, b, false, cutoff);
        if (x) return *std::move(x);
    }
    return eigen_min_norm_solution(A, b, cutoff);
}

// Rows of [X y] folded into a triangular factor at a time: about 768 kB,
// so that the copy of them stays in the second-level cache while each panel
// of reflectors passes over it twice, and enough rows that the products
// with T cost little beside the others (see qr::kPanelCols). The sizes
// alone decide, never the processor.
Index fold_height(Index m) { return std::clamp<Index>(Index{98304} / m / 8 * 8, 32, 256); }

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
    const auto work = scratch(qr::fold_work(m));
    kernels().fold_rows(upper.data(), m, lower.data(), m, m, m, true, work.get());
}

// Triangular factor (m x m) of rows [row, row + rows) of [X y]; from
// kFoldCols columns folded fold_height(m) at a time into a factor that starts
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
    const Index height = std::min(fold_height(m), rows);
    RowMatrix D(height, m);
    const auto work = scratch(qr::fold_work(m));
    for (Index first = row; first < row + rows; first += height) {
        const Index count = std::min(height, row + rows - first);
        D.topLeftCorner(count, p) = X.middleRows(first, count);
        D.col(p).head(count) = y.segment(first, count);
        kernels().fold_rows(R.data(), m, D.data(), m, count, m, false, work.get());
    }
    return R;
}

// Rows of [X y] per block of augmented_factor. About 2m rows a block keep
// the merges, m^3 / 3 products each, near a sixth of the blocks' own cost
// or less; of the blocks that gives, an even count, so that two threads
// share them evenly, and one merge fewer where the count was odd.
Index factor_block_rows(Index n, Index m) {
    Index blocks = block_count(n, block_rows(m, 2 * m));
    if (blocks > 1 && blocks % 2 == 1) --blocks;
    return std::max<Index>(1, block_count(n, blocks));
}

// Triangular factor R of [X y] (m x m, m = p + 1), a QR over row blocks: one
// per block, merged by a pairwise tree within each wave and then wave after
// wave. R's last column holds Q'y.
RowMatrix augmented_factor(const RowMatrixRef& X, const VectorRef& y) {
    const Index p = X.cols(), m = p + 1;
    const Index n = X.rows(), B = factor_block_rows(n, m);
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

// Eigen's LDLT of a p x p matrix's lower triangle, step k: the pivot is the
// first diagonal entry of largest magnitude among rows k to p - 1 (a NaN is
// never larger, but keeps the place when it comes first), swapped to row k.
// With the finished row l_k0 ... of L and weights w_j = d_j l_kj,
// d_k = a_kk - (l_k0 w_0 + l_k1 w_1 + ...), summed from the first product.
// Below the diagonal, a_ik loses the products l_ij w_j of its row as Eigen's
// matrix-vector product sums them: for k < kOneBlock in one sum from 0.0,
// beyond that in one such sum per block of ldlt_block(p) columns, taken off
// block after block; a product with a single row (the last row, k = p - 2)
// is a sum like that of d_k. Column k is then divided by d_k where |d_k| > 0.
// No other diagonal entry changes at step k, so the pivots follow from the
// diagonal alone, and the factor is that of the permuted matrix without
// pivoting. Here each block, once its columns are finished, is taken off
// all later columns at once: the same sums in the same order.
constexpr Index kOneBlock = 128;

Index ldlt_block(Index p) { return p * Index{sizeof(double)} < 32000 ? 16 : 4; }

// Columns finished before they are taken off the columns beyond, a
// multiple of every block: a tile of that update then subtracts several
// blocks while its entries stay in the first-level cache, and the matrix
// beyond is read once per kSuperPanel columns instead of once per block.
constexpr Index kSuperPanel = 64;

// Target columns and rows of one task of that update.
constexpr Index kTaskCols = 16;
constexpr Index kTaskRows = 256;

// Eigen's transpositions: the pivot of every step.
std::vector<Index> ldlt_pivots(const Eigen::Ref<Matrix>& A) {
    const Index p = A.rows();
    Vector magnitude = A.diagonal().cwiseAbs();
    std::vector<Index> pivots(static_cast<std::size_t>(p));
    for (Index k = 0; k < p; ++k) {
        Index best = k;
        for (Index i = k + 1; i < p; ++i) {
            if (magnitude(i) > magnitude(best)) best = i;
        }
        pivots[static_cast<std::size_t>(k)] = best;
        std::swap(magnitude(k), magnitude(best));
    }
    return pivots;
}

// Copies A's lower triangle over its upper one (or, with `to_lower`, the
// upper over the lower), in tiles that keep the lines they read and write in
// the cache.
void mirror(Eigen::Ref<Matrix> A, bool to_lower) {
    constexpr Index kTile = 8;
    const Index p = A.rows();
    for (Index j0 = 0; j0 < p; j0 += kTile) {
        const Index j1 = std::min(j0 + kTile, p);
        for (Index i0 = j0; i0 < p; i0 += kTile) {
            const Index i1 = std::min(i0 + kTile, p);
            for (Index i = i0; i < i1; ++i) {
                for (Index j = j0; j < std::min(j1, i); ++j) {
                    if (to_lower) {
                        A(i, j) = A(j, i);
                    } else {
                        A(j, i) = A(i, j);
                    }
                }
            }
        }
    }
}

// The lower triangle of A, a symmetric matrix, with rows and columns
// permuted by the pivots; zero above. Each column of A is read in order
// into a copy before it is read in the pivots' order: the processor then
// fetches its lines ahead.
Matrix permuted_lower(const Eigen::Ref<Matrix>& A, const std::vector<Index>& pivots) {
    const Index p = A.rows();
    std::vector<Index> order(static_cast<std::size_t>(p));
    for (Index k = 0; k < p; ++k) order[static_cast<std::size_t>(k)] = k;
    for (Index k = 0; k < p; ++k) {
        std::swap(order[static_cast<std::size_t>(k)],
                  order[static_cast<std::size_t>(pivots[static_cast<std::size_t>(k)])]);
    }
    Matrix F = uninitialized_matrix(p, p);
    std::vector<double> column(static_cast<std::size_t>(p));
    for (Index j = 0; j < p; ++j) {
        const double* source = &A(0, order[static_cast<std::size_t>(j)]);
        std::copy(source, source + p, column.begin());
        for (Index i = 0; i < j; ++i) F(i, j) = 0.0;
        for (Index i = j; i < p; ++i) {
            F(i, j) = column[static_cast<std::size_t>(order[static_cast<std::size_t>(i)])];
        }
    }
    return F;
}

// The factorisation in place of a matrix without pivots: L below the
// diagonal, D on it. Above the diagonal, row j holds column j of L once its
// block is finished, so that the rows of L read contiguously; entries
// there not yet written hold values of no use.
class PanelLdlt {
public:
    explicit PanelLdlt(Matrix& F)
        : F_(F),
          p_(F.rows()),
          block_(ldlt_block(p_)),
          a_diag_(F.diagonal()),
          d_(p_),
          sums_(Matrix::Zero(p_, std::min(p_, kOneBlock))),
          row_(p_),
          w_(p_),
          W_(p_ * std::min(p_, kSuperPanel)),
          a_last_(p_ > 2 ? F(p_ - 1, p_ - 2) : 0.0) {}

    void run() {
        for (Index s0 = 0; s0 < p_; s0 += kSuperPanel) {
            const Index s1 = std::min(s0 + kSuperPanel, p_);
            for (Index b0 = s0; b0 < s1; b0 += block_) {
                const Index b1 = std::min(b0 + block_, s1);
                for (Index k = b0; k < b1; ++k) finish_column(k, b0);
                mirror(b0, b1);
                take_off(b0, b1, b1, s1);
            }
            take_off(s0, s1, s1, p_);
        }
    }

private:
    // row_ = l_i0 ... l_i,k-1, the blocks before b0 mirrored, and returns
    // the sum of their products with w_ from the first product (k > 0).
    double row_sum(Index i, Index k, Index b0) {
        for (Index j = 0; j < b0; ++j) row_(j) = F_(j, i);
        for (Index j = b0; j < k; ++j) row_(j) = F_(i, j);
        double sum = row_(0) * w_(0);
        for (Index j = 1; j < k; ++j) sum = sum + row_(j) * w_(j);
        return sum;
    }

    // Column k, of the block from b0, all blocks before taken off.
    void finish_column(Index k, Index b0) {
        for (Index j = 0; j < b0; ++j) w_(j) = d_(j) * F_(j, k);
        for (Index j = b0; j < k; ++j) w_(j) = d_(j) * F_(k, j);
        const double d = k > 0 ? a_diag_(k) - row_sum(k, k, b0) : a_diag_(k);
        d_(k) = d;
        F_(k, k) = d;
        const Index rows = p_ - k - 1;
        if (rows == 0) return;
        if (k > 0) {
            // Below kOneBlock, sums_ holds the one running sum of the column.
            const bool carry = k < kOneBlock;
            double* target = carry ? &sums_(k + 1, k) : &F_(k + 1, k);
            if (k > b0) {
                kernels().ldlt_update(&F_(k + 1, b0), p_, w_.data() + b0, k - b0, block_, target,
                                      p_, carry, rows, 1);
            }
            if (carry) {
                for (Index i = k + 1; i < p_; ++i) F_(i, k) = F_(i, k) - sums_(i, k);
            }
            if (rows == 1) F_(p_ - 1, k) = a_last_ - row_sum(p_ - 1, k, b0);
        }
        if (std::abs(d) > 0.0) {
            for (Index i = k + 1; i < p_; ++i) F_(i, k) = F_(i, k) / d;
        }
    }

    // Copies columns [b0, b1) of L into rows [b0, b1) above the diagonal.
    void mirror(Index b0, Index b1) {
        for (Index i = b0 + 1; i < p_; ++i) {
            for (Index j = b0; j < std::min(b1, i); ++j) F_(j, i) = F_(i, j);
        }
    }

    // Takes the finished columns [j0, j1), whole blocks, off the entries
    // below the diagonal of columns [k_begin, k_end). A task's columns lie
    // on one side of kOneBlock, and its rows start below the diagonal of
    // its first column.
    void take_off(Index j0, Index j1, Index k_begin, Index k_end) {
        if (k_begin >= k_end) return;
        const Index J = j1 - j0;
        for (Index k = k_begin; k < k_end; ++k) {
            for (Index j = j0; j < j1; ++j) W_((k - k_begin) * J + j - j0) = d_(j) * F_(j, k);
        }
        struct Task {
            Index k0, k1, r0, r1;
        };
        std::vector<Task> tasks;
        for (Index k0 = k_begin; k0 < k_end;) {
            Index k1 = std::min(k0 + kTaskCols, k_end);
            if (k0 < kOneBlock) k1 = std::min(k1, kOneBlock);
            for (Index r0 = k0 + 1; r0 < p_; r0 += kTaskRows) {
                tasks.push_back({k0, k1, r0, std::min(r0 + kTaskRows, p_)});
            }
            k0 = k1;
        }
        const double task_ns = kNsPerProduct * static_cast<double>(kTaskCols * kTaskRows * J);
        parallel_for_each_task(static_cast<int>(tasks.size()), task_ns, [&](int t) {
            const Task& task = tasks[static_cast<std::size_t>(t)];
            const bool carry = task.k0 < kOneBlock;
            double* target = carry ? &sums_(task.r0, task.k0) : &F_(task.r0, task.k0);
            kernels().ldlt_update(&F_(task.r0, j0), p_, W_.data() + (task.k0 - k_begin) * J, J,
                                  block_, target, p_, carry, task.r1 - task.r0,
                                  task.k1 - task.k0);
        });
    }

    Matrix& F_;
    const Index p_, block_;
    // A's diagonal, and D so far.
    const Vector a_diag_;
    Vector d_;
    Matrix sums_;
    Vector row_, w_, W_;
    // The last row's entry in the column before the diagonal, as it came.
    const double a_last_;
};

// Bound on the binary exponent of X's and y's largest magnitudes within
// which their squares stay normal doubles over any number of rows.
constexpr int kScaleBound = 400;

// Whether the first p rows of a triangular factor of [X y], [R z], hold an
// entry that is not finite, or R's largest magnitude is so far from 1 that
// squares of X's columns may have left the normal doubles (R's columns have
// the norms of X's; an R of zeros may be all that underflow left).
bool extreme_scale(const RowMatrix& F, Index p) {
    if (!F.topRows(p).allFinite()) return true;
    const double largest = F.topLeftCorner(p, p).cwiseAbs().maxCoeff();
    return !(largest > std::ldexp(1.0, -kScaleBound) && largest < std::ldexp(1.0, kScaleBound));
}

// Whether no singular value of the upper triangular R can fall to the
// cut-off, a fraction `cutoff` of the largest (clear_of_cutoff). R^-1 costs
// a quarter of the products of R's bidiagonalisation, in tiles. A zero on
// the diagonal or an entry that is not finite answers no.
bool certainly_full_rank(const RowMatrix& F, Index p, double cutoff) {
    RowMatrix X = RowMatrix::Zero(p, p);
    kernels().upper_inverse(F.data(), F.cols(), p, X.data(), p);
    double inverse2 = 0.0, norm2 = 0.0;
    for (Index i = 0; i < p; ++i) {
        for (Index j = i; j < p; ++j) {
            inverse2 += X(i, j) * X(i, j);
            norm2 += F(i, j) * F(i, j);
        }
    }
    return clear_of_cutoff(norm2, inverse2, cutoff);
}

// Least-squares solution of minimum norm from the triangular factor [R z]
// of [X y] (R p x p): with no singular value of R near the cut-off it is
// the only one, and back substitution finds it; otherwise an SVD of R.
Vector factor_solution(const RowMatrix& F, Index diag) {
    const Index p = F.cols() - 1;
    const double cutoff = static_cast<double>(diag) * std::numeric_limits<double>::epsilon();
    if (p < kOwnSvd || !certainly_full_rank(F, p, cutoff)) {
        return min_norm_solution(F.topLeftCorner(p, p), F.col(p).head(p), diag);
    }
    Vector beta(p);
    for (Index i = p - 1; i >= 0; --i) {
        double t = F(i, p);
        for (Index k = i + 1; k < p; ++k) t -= F(i, k) * beta(k);
        beta(i) = t / F(i, i);
    }
    return beta;
}

}  // namespace

Vector pivoted_ldlt_solve(Eigen::Ref<Matrix> A, const Vector& b) {
    const Index p = A.rows();
    const std::vector<Index> pivots = ldlt_pivots(A);
    // Eigen stops at a first pivot that is zero or NaN, leaving the matrix
    // as it came.
    if (p <= 1 || !(std::abs(A(pivots[0], pivots[0])) > 0.0)) return A.ldlt().solve(b);
    mirror(A, false);
    Matrix F = permuted_lower(A, pivots);
    PanelLdlt(F).run();
    Eigen::Transpositions<Eigen::Dynamic> swaps(p);
    for (Index k = 0; k < p; ++k) {
        swaps.indices()(k) = static_cast<int>(pivots[static_cast<std::size_t>(k)]);
    }
    // Eigen's LDLT::solve, step by step.
    Vector x = swaps * b;
    const Eigen::TriangularView<const Matrix, Eigen::UnitLower> L(F);
    L.solveInPlace(x);
    for (Index i = 0; i < p; ++i) {
        if (std::abs(F(i, i)) > (std::numeric_limits<double>::min)()) {
            x(i) /= F(i, i);
        } else {
            x(i) = 0.0;
        }
    }
    L.transpose().solveInPlace(x);
    return swaps.transpose() * x;
}

Vector fit_regularized_linear(const RowMatrixRef& Phi, const VectorRef& y, const Matrix* R1,
                              const Matrix* R2, double gamma1, double gamma2, double ridge) {
    require_one_target_per_row(y, Phi.rows(), "Phi");
    require_penalty_shape("R1", R1, gamma1, Phi.cols(), "a row of Phi");
    require_penalty_shape("R2", R2, gamma2, Phi.cols(), "a row of Phi");
    // The Gram sums, in which A is formed; A's factorisation (and its running
    // sums and weights, columns of p), the right-hand side and the solution.
    const Index p = Phi.cols(), P = gram::padded_stride(p + 1);
    require_memory_for(
        checked_add(square_storage(1, p, 3 + kOneBlock + kSuperPanel), checked_mul(P, P)));
    const double n = static_cast<double>(y.size());
    Matrix G = augmented_gram(Phi, y);
    const Vector b = G.col(p).head(p);
    auto A = G.topLeftCorner(p, p);
    mirror(A, true);
    A.diagonal().array() += ridge;
    if (penalty_used(R1, gamma1)) add_scaled_lower(A, *R1, n * gamma1);
    if (penalty_used(R2, gamma2)) add_scaled_lower(A, *R2, n * gamma2);
    return pivoted_ldlt_solve(A, b);
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
    const RowMatrix F = augmented_factor(X, y);
    if (!extreme_scale(F, p)) return factor_solution(F, diag);
    // The reflectors' sums of squares overflowed or fell below the normal
    // doubles. X 2^-a beta' = y 2^-b has the solution beta' = beta 2^(a - b),
    // and exact scaling keeps the minimum norm and the cut-off.
    const int a = scale_exponent(X, kScaleBound), b = scale_exponent(y, kScaleBound);
    if (a == 0 && b == 0) return factor_solution(F, diag);
    const RowMatrix Xs = times_power_of_two(X, -a);
    const Vector ys = times_power_of_two(y, -b);
    return times_power_of_two(factor_solution(augmented_factor(Xs, ys), diag), b - a);
}

}  // namespace qorv
