// Hot kernels compiled once per level of vector instructions, and the one
// level the process uses. The signatures hold plain pointers and sizes only,
// so that the per-level sources need no Eigen.
#pragma once

#include <cstdint>

namespace qorv {

// The kernels of one level. Every level gives the same bits: each output is
// formed by the same IEEE operations in the same order, a wider level only
// forms more outputs at once.
struct Kernels {
    // The level's name, a value of QORV_MAX_CPU_LEVEL.
    const char* level;

    // Number of rows i < rows with |(X beta)[i] - yt[i]| < eps (a NaN is a
    // miss), X column-major rows x cols. Row i of X beta is summed over
    // blocks of col_block columns, each block from 0.0 in column order, and
    // the block sums are added in order.
    std::int64_t (*count_product_hits)(const double* X, std::int64_t rows, std::int64_t cols,
                                       std::int64_t col_block, const double* beta,
                                       const double* yt, double eps);

    // out[i] = 1.0 * factors[0][i] * ... * factors[n_factors - 1][i],
    // multiplied left to right, for i < rows.
    void (*multiply_columns)(double* out, std::int64_t rows, const double* const* factors,
                             int n_factors);

    // Adds rows [i_begin, i_end) of the lower triangle of x'x (entries
    // i < m, j <= i, j < m - 1) to G for a block of `rows` rows packed by
    // gram::pack_rows_with_target, each block's entry summed in row order
    // from the first row; see gram_kernels.hpp.
    void (*gram_lower_rows)(const double* x, std::int64_t rows, std::int64_t m,
                            std::int64_t i_begin, std::int64_t i_end, double* G);

    // The same sums, for [X y] of at most gram::kMaxNarrow columns (X p
    // columns, entry (r, j) at X[r rs + j cs]), of a group of
    // gram::kGroupBlocks blocks: block g starts at row first[g] and has
    // live[g] rows; its sums go to acc; see gram::gram_narrow.
    void (*gram_narrow)(const double* X, std::int64_t rs, std::int64_t cs, std::int64_t p,
                        const double* y, const std::int64_t* first, const std::int64_t* live,
                        double* acc);

    // The same sums added to G (stride gram::padded_stride(p + 1)) for
    // `rows` rows of a C-ordered X of p <= gram::kMaxRowCols columns (row r
    // at X + r rs, X's storage ending at X_end) and y, read in place; see
    // gram::gram_rows.
    void (*gram_rows)(const double* X, std::int64_t rs, std::int64_t p, const double* y,
                      std::int64_t rows, const double* X_end, double* G);

    // R (m x m upper triangular, row stride ldr) becomes the triangular
    // factor of [R; D] for the rows x m matrix D (row stride ldd, upper
    // triangular too when `triangular`), which is overwritten; work is
    // scratch of qr::fold_work(m) doubles; see qr::fold_rows.
    void (*fold_rows)(double* R, std::int64_t ldr, double* D, std::int64_t ldd,
                      std::int64_t rows, std::int64_t m, bool triangular, double* work);

    // X (p x p, row stride ldx, zeros below its diagonal) becomes R^-1 for
    // the upper triangular R (row stride ldr); see qr::upper_inverse.
    void (*upper_inverse)(const double* R, std::int64_t ldr, std::int64_t p, double* X,
                          std::int64_t ldx);

    // Updates columns c < cols, rows i < rows of T (column stride ldt) by
    // the products of L (column stride ldl, J columns) with W (W[c J + j]):
    // T loses the sums over each block of `block` columns, each from 0.0 in
    // column order, block after block; in carry mode T gains every product
    // in column order instead; see ldlt::update.
    void (*ldlt_update)(const double* L, std::int64_t ldl, const double* W, std::int64_t J,
                        std::int64_t block, double* T, std::int64_t ldt, bool carry,
                        std::int64_t rows, std::int64_t cols);

    // A step of a bidiagonalisation on `cols` columns of A (column stride
    // lda, `rows` rows from the step's first): when z is not null, A[i, c]
    // loses z[i] tv[c]; then I - tau u u' applies from the left, each
    // column's sum with u in kSumLanes interleaved parts; see
    // bidiag::update_columns.
    void (*bidiag_columns)(double* A, std::int64_t lda, std::int64_t cols, std::int64_t rows,
                           const double* z, const double* tv, const double* u, double tau);

    // z[i] = sum of v[c] A[i, c] over c < cols in column order from 0.0, for
    // i < rows; see bidiag::column_combination.
    void (*bidiag_rows)(const double* A, std::int64_t lda, std::int64_t rows, std::int64_t cols,
                        const double* v, double* z);
};

// The kernels chosen by select_kernels; the baseline ones until it runs.
const Kernels& kernels();

// Number of levels built for this architecture: baseline, avx2 and avx512 on
// x86-64, baseline alone elsewhere.
int level_count();

// Kernels of level i < level_count(), narrowest first.
const Kernels& level_kernels(int i);

// Whether this processor, and its operating system, run level i.
bool level_supported(int i);

// Chooses the widest level the processor supports, capped by the
// environment variable QORV_MAX_CPU_LEVEL (a level's name; unset or empty:
// no cap). Throws std::invalid_argument naming the levels of level_count()
// when the variable holds anything else.
void select_kernels();

}  // namespace qorv
