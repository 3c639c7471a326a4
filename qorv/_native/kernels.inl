// The hot kernels, written once. Each kernels_<level>.cpp includes this file
// inside its own namespace qorv::isa::<level> and is compiled with that
// level's instruction flags.
//
// Constraint: nothing here may define or instantiate a function with external
// linkage outside that namespace. So no Eigen and no standard-library header
// or inline function (std::min, std::abs, <cmath> wrappers, containers): only
// raw pointers, GCC vector extensions and __builtin_* functions. Such a
// function would be emitted as a weak symbol in every level's object file;
// the linker keeps one copy, possibly the AVX-512 one, and baseline code
// calling it would then fault on an older processor.
//
// Same bits at every level: no contraction (-ffp-contract=off, no FMA
// flag), and every output gets the same operations in the same order; the
// level only sets how many outputs one instruction forms.

#if defined(__AVX512F__)
constexpr int kLanes = 8;
#elif defined(__AVX__)
constexpr int kLanes = 4;
#else
constexpr int kLanes = 2;
#endif

using Index = std::int64_t;
using Packet = double __attribute__((vector_size(8 * kLanes)));
using PacketCount = std::int64_t __attribute__((vector_size(8 * kLanes)));

template <class V>
inline V load(const double* p) {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

inline void store(double* p, Packet v) { __builtin_memcpy(p, &v, sizeof v); }

inline double splat(double x, double) { return x; }
// x - (+0.0) is x for every x, -0.0 included (unlike x + 0.0), so this is
// a plain broadcast.
inline Packet splat(double x, Packet) { return x - Packet{}; }

inline Index min_index(Index a, Index b) { return a < b ? a : b; }

// Adds 1 per lane with |d| < eps (a NaN d is a miss).
inline void add_hits(double d, double eps, std::int64_t& hits) {
    hits += __builtin_fabs(d) < eps;
}
inline void add_hits(Packet d, Packet eps, PacketCount& hits) {
    const PacketCount magnitude = PacketCount{} + __INT64_MAX__;
    hits -= reinterpret_cast<Packet>(reinterpret_cast<PacketCount>(d) & magnitude) < eps;
}

struct ProductHits {
    const double* X;
    Index rows;
    Index cols;
    Index col_block;
    const double* beta;
    const double* yt;
    double eps;
};

// part[p] = sum over columns j0 <= j < j1, in order from 0.0, of the rows
// starting at `row` of column j times beta[j]: lanes of V, P at a time.
template <class V, int P>
__attribute__((always_inline)) inline void column_sums(const ProductHits& q, Index row,
                                                       Index j0, Index j1, V (&part)[P]) {
    for (int p = 0; p < P; ++p) part[p] = V{};
    for (Index j = j0; j < j1; ++j) {
        const double* col = q.X + j * q.rows + row;
        const V b = splat(q.beta[j], V{});
        for (int p = 0; p < P; ++p) part[p] = part[p] + load<V>(col + p * kLanes) * b;
    }
}

// The rows are independent, so only the order within a row matters: block
// sums added in order.
template <class V, int P, class Count>
__attribute__((always_inline)) inline void add_block_hits(const ProductHits& q, Index row,
                                                          Count& hits) {
    V sum[P];
    column_sums<V, P>(q, row, 0, min_index(q.col_block, q.cols), sum);
    for (Index j0 = q.col_block; j0 < q.cols; j0 += q.col_block) {
        V part[P];
        column_sums<V, P>(q, row, j0, min_index(j0 + q.col_block, q.cols), part);
        for (int p = 0; p < P; ++p) sum[p] = sum[p] + part[p];
    }
    const V eps = splat(q.eps, V{});
    for (int p = 0; p < P; ++p) add_hits(sum[p] - load<V>(q.yt + row + p * kLanes), eps, hits);
}

std::int64_t count_product_hits(const double* X, Index rows, Index cols, Index col_block,
                                const double* beta, const double* yt, double eps) {
    const ProductHits q{X, rows, cols, col_block, beta, yt, eps};
    // 32 rows keep their sums in registers through all columns.
    constexpr int kPackets = 32 / kLanes;
    PacketCount packed{};
    Index i = 0;
    for (; i + kPackets * kLanes <= rows; i += kPackets * kLanes) {
        add_block_hits<Packet, kPackets>(q, i, packed);
    }
    for (; i + kLanes <= rows; i += kLanes) add_block_hits<Packet, 1>(q, i, packed);
    std::int64_t hits = 0;
    for (; i < rows; ++i) add_block_hits<double, 1>(q, i, hits);
    for (int l = 0; l < kLanes; ++l) hits += packed[l];
    return hits;
}

void multiply_columns(double* out, Index rows, const double* const* factors, int n_factors) {
    Index i = 0;
    for (; i + kLanes <= rows; i += kLanes) {
        Packet v = splat(1.0, Packet{});
        for (int f = 0; f < n_factors; ++f) v = v * load<Packet>(factors[f] + i);
        store(out + i, v);
    }
    for (; i < rows; ++i) {
        double v = 1.0;
        for (int f = 0; f < n_factors; ++f) v = v * factors[f][i];
        out[i] = v;
    }
}

// Included here, its namespace qorv::gram nests in this level's namespace.
#include "gram_kernels.hpp"

// Tiles of 2 output rows keep the baseline's accumulators in its 16
// registers; wider levels take 4.
void gram_lower_rows(const double* x, Index rows, Index m, Index i_begin, Index i_end,
                     double* G) {
    // Tiles two panels wide at AVX-512, where their 16 accumulators still fit
    // in the registers: a quarter faster than one panel.
    qorv::gram::gram_lower_rows<kLanes, kLanes == 2 ? 2 : kLanes == 4 ? 4 : 8, kLanes == 8 ? 2 : 1>(
        x, rows, m, i_begin, i_end, G);
}

// A contiguous column in tiles of 4 x 4 at the AVX-512 level too: they read
// half as many blocks at once and take fewer shuffles than 8 x 8 tiles, and
// measured two to three times faster on a processor that runs 512-bit
// shuffles in 256-bit halves.
constexpr int kColumnLanes = kLanes == 8 ? 4 : kLanes;

void gram_narrow(const double* X, Index rs, Index cs, Index p, const double* y,
                 const Index* first, const Index* live, double* acc) {
    if (p == 1 && rs == 1) return qorv::gram::gram_column<kColumnLanes>(X, y, first, live, acc);
    qorv::gram::gram_narrow_any<kLanes>({X, rs, cs, p, y}, first, live, acc);
}

// Where AVX-512 splits its vectors in two halves, four lanes waste less
// on the short rows of the lower triangle, as long as their accumulators
// fit in the registers.
struct RowLanes {
    template <int PC>
    static constexpr int lanes() {
        return kLanes == 8 && PC <= 12 ? 4 : kLanes;
    }
};

void gram_rows(const double* X, Index rs, Index p, const double* y, Index rows,
               const double* X_end, double* G) {
    qorv::gram::gram_rows_any<RowLanes>(p, X, rs, y, rows, X_end, G);
}

#include "qr_kernels.hpp"

void fold_rows(double* R, Index ldr, double* D, Index ldd, Index rows, Index m, bool triangular,
               double* work) {
    qorv::qr::fold_rows<kLanes>(R, ldr, D, ldd, rows, m, triangular, work);
}

void upper_inverse(const double* R, Index ldr, Index p, double* X, Index ldx) {
    qorv::qr::upper_inverse<kLanes>(R, ldr, p, X, ldx);
}

#include "ldlt_kernels.hpp"

// Tiles of R vectors by NC columns: 8 accumulators in the 16 registers of
// the baseline and AVX2 levels, 24 in AVX-512's 32.
void ldlt_update(const double* L, Index ldl, const double* W, Index J, Index block, double* T,
                 Index ldt, bool carry, Index rows, Index cols) {
    constexpr int R = kLanes == 8 ? 3 : 2, NC = kLanes == 8 ? 8 : 4;
    const qorv::ldlt::Update u{L, ldl, W, J, block, T, ldt};
    if (carry) return qorv::ldlt::update<true, kLanes, R, NC>(u, rows, cols);
    qorv::ldlt::update<false, kLanes, R, NC>(u, rows, cols);
}

#include "bidiag_kernels.hpp"

void bidiag_columns(double* A, Index lda, Index cols, Index rows, const double* z,
                    const double* tv, const double* u, double tau) {
    qorv::bidiag::update_columns<kLanes>(A, lda, cols, rows, z, tv, u, tau);
}

void bidiag_rows(const double* A, Index lda, Index rows, Index cols, const double* v, double* z) {
    qorv::bidiag::column_combination<kLanes>(A, lda, rows, cols, v, z);
}

extern const Kernels table;
const Kernels table{QORV_KERNEL_LEVEL, count_product_hits, multiply_columns, gram_lower_rows,
                    gram_narrow, gram_rows, fold_rows, upper_inverse, ldlt_update,
                    bidiag_columns, bidiag_rows};
