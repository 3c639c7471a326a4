// Every operation on fixed inputs, compared bit for bit with the results
// recorded from the x86-64 build in golden_native.inc, at every kernel level
// this processor runs; the same program passes on every architecture.
//
// The inputs come from integer arithmetic and exact conversions only, so
// they are the same everywhere. To record again, from a build whose results
// are trusted:
//     test_golden_native --record > tests/native/golden_native.inc
#include "basis.hpp"
#include "dispatch.hpp"
#include "fitting.hpp"
#include "mcmc.hpp"
#include "scoring.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using qorv::Index;
using qorv::Matrix;
using qorv::Vector;

struct Recorded {
    const char* name;
    std::uint64_t hash;
};

struct Result {
    std::string name;
    std::uint64_t hash;
};

const Recorded kRecorded[] = {
#include "golden_native.inc"
};

// FNV-1a of the bytes of the values, which sees every bit.
std::uint64_t hash_of(const double* values, Index count) {
    std::uint64_t h = 14695981039346656037ULL;
    for (Index i = 0; i < count; ++i) {
        unsigned char bytes[sizeof(double)];
        std::memcpy(bytes, values + i, sizeof bytes);
        for (unsigned char b : bytes) h = (h ^ b) * 1099511628211ULL;
    }
    return h;
}

class Results {
public:
    void add(const char* name, const Matrix& m) { add(name, m.data(), m.size()); }
    void add(const char* name, const Vector& v) { add(name, v.data(), v.size()); }
    void add(const char* name, double x) { add(name, &x, 1); }

    void add(const char* name, const qorv::MCMCResult& r) {
        const qorv::GibbsResult& g = r.gibbs;
        const double summary[] = {r.energy, g.H, g.Hmax, g.He, g.r_heat, g.var_E, g.T};
        add((std::string(name) + " beta").c_str(), r.beta_mcmc);
        add((std::string(name) + " energy, gibbs").c_str(), summary, 7);
    }

    const std::vector<Result>& all() const { return all_; }

private:
    void add(const char* name, const double* values, Index count) {
        all_.push_back({name, hash_of(values, count)});
    }

    std::vector<Result> all_;
};

// Values in [-1, 1) from a 64-bit LCG: exact on every machine.
class Values {
public:
    explicit Values(std::uint64_t seed) : state_(seed) {}

    double next() {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state_ >> 11) * 0x1p-52 - 1.0;
    }

    Matrix matrix(Index rows, Index cols) {
        Matrix m(rows, cols);
        for (Index i = 0; i < m.size(); ++i) m.data()[i] = next();
        return m;
    }

private:
    std::uint64_t state_;
};

// n points from -1 to 1, ends included, each one division.
Vector grid(Index n) {
    Vector x(n);
    for (Index i = 0; i < n; ++i) {
        x(i) = static_cast<double>(2 * i - (n - 1)) / static_cast<double>(n - 1);
    }
    return x;
}

// A cubic in x with noise: the target of the fits and the sampler.
Vector cubic(const Vector& x, Values& noise) {
    Vector y(x.size());
    for (Index i = 0; i < x.size(); ++i) {
        const double t = x(i);
        y(i) = 1.0 - 2.0 * t + 0.5 * t * t * t + 0.1 * noise.next();
    }
    return y;
}

void scoring(Results& out, Values& values) {
    const Vector small = values.matrix(1001, 1);
    const Vector large = values.matrix(40000, 1);  // past the selection's size: histograms
    out.add("mad by selection", qorv::mad(small));
    out.add("mad by histogram", qorv::mad(large));
    const Vector x = grid(1001);
    const Vector y = cubic(x, values);
    out.add("compute_SR", qorv::compute_SR(x, y, 0.3));
    const Matrix R = Matrix::Identity(4, 4) * 2.0 + Matrix::Constant(4, 4, 0.25);
    const Vector beta = values.matrix(4, 1);
    const qorv::PenaltySpec pen{&R, &R, 0.1, 0.2};
    out.add("mdl_score with penalties", qorv::mdl_score(x, y, 4, 20, &beta, &pen));
}

void bases_and_penalties(Results& out, Values& values) {
    out.add("design_matrix_1d", qorv::design_matrix_1d(7, grid(1001)));
    std::vector<Vector> cols;
    for (int d = 0; d < 3; ++d) cols.push_back(values.matrix(4099, 1) * 2.0);
    const qorv::PenaltyMatricesND nd =
        qorv::build_penalty_matrices_nd({3, 2, 2}, {{-1.0, 1.0}, {0.0, 2.0}, {-0.5, 0.5}}, 30);
    out.add("design_matrix_nd", qorv::design_matrix_nd(nd.multi_indices, cols));
    out.add("penalties_nd R1", nd.R1);
    out.add("penalties_nd R2", nd.R2);
    const qorv::PenaltyMatrices1D p = qorv::smoothness_penalty_matrices_1d(7, -1.0, 1.0, 600);
    out.add("penalties_1d R1", p.R1);
    out.add("penalties_1d R2", p.R2);
    out.add("boundary_reduce_1d", qorv::boundary_reduce_1d(7, -1.0, 1.0));
}

void fits(Results& out, Values& values) {
    const Vector x = grid(1001);
    const Vector y = cubic(x, values);
    const Matrix Phi = qorv::design_matrix_1d(7, x);
    const qorv::PenaltyMatrices1D p = qorv::smoothness_penalty_matrices_1d(7, -1.0, 1.0, 600);
    out.add("ols", qorv::ols(Phi, y));
    out.add("fit_regularized_linear with penalties",
            qorv::fit_regularized_linear(Phi, y, &p.R1, &p.R2, 1e-3, 1e-4, 1e-10));
    // Many row blocks, merged in their fixed order.
    const Matrix W = values.matrix(9001, 21);
    const Vector w0 = W.col(0).array() + 1.0;
    out.add("ols, many blocks", qorv::ols(W, w0));
    out.add("fit_regularized_linear, many blocks",
            qorv::fit_regularized_linear(W, W.col(1), nullptr, nullptr, 0.0, 0.0, 1e-10));
    // From 32 columns the rows are folded into each block's factor by the
    // level's kernels: four blocks here, each ending in a partial fold, and
    // a last panel of fewer columns than the others.
    const Matrix V = values.matrix(3001, 40);
    const Vector v0 = V.col(0).array() + 1.0;
    out.add("ols, 40 columns", qorv::ols(V, v0));
    // A wide matrix, bidiagonalised through its transpose; and repeated
    // columns, whose zero singular values take the QR iteration. Values of
    // their own, so that the later records keep their input.
    Values own(17);
    const Matrix S = own.matrix(60, 150);
    out.add("ols, wide", qorv::ols(S, S.col(0)));
    Matrix T(V.rows(), 50);
    T << V, V.leftCols(10);
    out.add("ols, repeated columns", qorv::ols(T, v0));
}

void sampler(Results& out, Values& values) {
    const Vector x = grid(301);
    const Vector y = cubic(x, values);
    const Matrix X = qorv::design_matrix_1d(3, x);
    const qorv::PenaltyMatrices1D p = qorv::smoothness_penalty_matrices_1d(3, -1.0, 1.0, 600);
    const qorv::TournamentMCMC small(5, 30, 60, 3, 0.05, 20, 42);
    out.add("sampler", small.fit(X, y, nullptr, nullptr, 0.0, 0.0));
    out.add("sampler with penalties", small.fit(X, y, &p.R1, &p.R2, 1e-3, 1e-4));
    // Rows past 4000 sum the product in blocks of 4 columns.
    const Matrix wide = values.matrix(4001, 40);
    const Vector target = wide.col(1);
    out.add("sampler, 40 columns",
            qorv::TournamentMCMC(4, 10, 20, 2, 0.05, 20, 7).fit(wide, target, nullptr, nullptr,
                                                                0.0, 0.0));
}

std::vector<Result> run_all() {
    Results out;
    Values values(20240611);
    scoring(out, values);
    bases_and_penalties(out, values);
    fits(out, values);
    sampler(out, values);
    return out.all();
}

// Failures at the selected level, each printed.
int compare(const std::vector<Result>& got) {
    const std::size_t recorded = sizeof kRecorded / sizeof kRecorded[0];
    int failures = 0;
    if (got.size() != recorded) {
        std::fprintf(stderr, "FAILED: %zu results but %zu recorded\n", got.size(), recorded);
        return 1;
    }
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (got[i].name == kRecorded[i].name &&
            got[i].hash == kRecorded[i].hash) {
            continue;
        }
        std::fprintf(stderr, "FAILED at %s: %s gives %#018llx, recorded %s %#018llx\n",
                     qorv::kernels().level, got[i].name.c_str(),
                     static_cast<unsigned long long>(got[i].hash), kRecorded[i].name,
                     static_cast<unsigned long long>(kRecorded[i].hash));
        ++failures;
    }
    return failures;
}

void record() {
    for (const Result& r : run_all()) {
        std::printf("{\"%s\", %#018llxULL},\n", r.name.c_str(), static_cast<unsigned long long>(r.hash));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--record") == 0) {
        qorv::select_kernels();
        record();
        return 0;
    }
    int failures = 0;
    std::string levels;
    for (int i = 0; i < qorv::level_count(); ++i) {
        if (!qorv::level_supported(i)) continue;
        const char* name = qorv::level_kernels(i).level;
        setenv("QORV_MAX_CPU_LEVEL", name, 1);
        qorv::select_kernels();
        if (std::strcmp(qorv::kernels().level, name) != 0) {
            std::fprintf(stderr, "FAILED: QORV_MAX_CPU_LEVEL=%s selects %s\n", name,
                         qorv::kernels().level);
            ++failures;
        }
        failures += compare(run_all());
        levels += levels.empty() ? name : std::string(", ") + name;
    }
    if (failures == 0) std::printf("ok: recorded bits at %s\n", levels.c_str());
    return failures == 0 ? 0 : 1;
}
