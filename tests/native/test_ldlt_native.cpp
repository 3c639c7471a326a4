// pivoted_ldlt_solve gives the bits of Eigen's A.ldlt().solve(b) at every
// kernel level and thread count, at sizes around the blocks of Eigen's
// update (one sum below 128 columns, blocks of 16 beyond) and of the
// factorisation's own panels, for matrices that take every branch of the
// pivoting and of the division by D.
#include "dispatch.hpp"
#include "fitting.hpp"
#include "native_check.hpp"

#include <omp.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace {

using qorv::Index;
using qorv::Matrix;
using qorv::Vector;

using native_check::check;
using native_check::failures;

std::uint64_t state = 2718281828;

// Small integers: exact sums, so that a rank-deficient Gram matrix meets
// pivots of exactly zero, and many diagonal entries of equal magnitude.
double small_integer() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(static_cast<int>((state >> 33) % 7) - 3);
}

Matrix filled(Index rows, Index cols, double (*value)()) {
    Matrix m(rows, cols);
    for (Index c = 0; c < cols; ++c) {
        for (Index r = 0; r < rows; ++r) m(r, c) = value();
    }
    return m;
}

double spread() { return native_check::spread_value(state); }

enum class Kind { gram, indefinite, rank_deficient, ties, zero_diagonal, nan_first };
const char* const kKindNames[] = {"Gram",      "indefinite",    "rank-deficient",
                                  "tied",      "zero-diagonal", "NaN-first"};

// A matrix of the kind, its upper triangle unlike its lower one (only the
// lower one counts).
Matrix example(Kind kind, Index p) {
    Matrix A;
    switch (kind) {
        case Kind::gram: {
            const Matrix X = filled(p + 3, p, spread);
            A = X.transpose() * X;
            break;
        }
        case Kind::indefinite:
            A = filled(p, p, spread);
            break;
        case Kind::rank_deficient: {
            const Matrix X = filled(p / 2 + 1, p, small_integer);
            A = X.transpose() * X;
            break;
        }
        case Kind::ties:
        case Kind::zero_diagonal:
        case Kind::nan_first:
            A = filled(p, p, small_integer);
            break;
    }
    if (kind == Kind::zero_diagonal) A.diagonal().setZero();
    if (kind == Kind::nan_first && p > 0) A(0, 0) = std::numeric_limits<double>::quiet_NaN();
    A.triangularView<Eigen::StrictlyUpper>().setConstant(7.0);
    return A;
}

bool same_bits(const Vector& a, const Vector& b) {
    return a.size() == b.size() &&
           (a.size() == 0 || std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0);
}

void every_case_matches_eigen(const std::string& level) {
    for (const int threads : {1, 2}) {
        omp_set_num_threads(threads);
        for (const Index p : {0, 1, 2, 3, 15, 16, 17, 127, 128, 129, 130, 143, 144, 145, 200,
                              300, 521}) {
            for (int k = 0; k < 6; ++k) {
                const Matrix A = example(static_cast<Kind>(k), p);
                const Vector b = filled(p, 1, spread);
                Matrix work = A;
                check(same_bits(qorv::pivoted_ldlt_solve(work, b), A.ldlt().solve(b)),
                      std::string(kKindNames[k]) + " " + std::to_string(p) + " x " +
                          std::to_string(p) + " at " + level + " on " +
                          std::to_string(threads) + " threads solved as Eigen's LDLT");
            }
        }
    }
}

}  // namespace

int main() {
    for (int i = 0; i < qorv::level_count(); ++i) {
        if (!qorv::level_supported(i)) continue;
        const char* name = qorv::level_kernels(i).level;
        setenv("QORV_MAX_CPU_LEVEL", name, 1);
        qorv::select_kernels();
        every_case_matches_eigen(name);
    }
    if (failures == 0) std::printf("test_ldlt_native: all passed\n");
    return failures == 0 ? 0 : 1;
}
