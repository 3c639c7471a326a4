// Elite selection on hand-made rankings, and a check that the Metropolis
// loops of TournamentMCMC::fit allocate nothing: the number of malloc calls
// of a fit must not grow with its step counts.
#include "mcmc.hpp"

#include <omp.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" void* __libc_malloc(std::size_t size);

namespace {

std::atomic<long> malloc_calls{0};

}  // namespace

// Interposes glibc's malloc, which both operator new and Eigen use.
extern "C" void* malloc(std::size_t size) {
    malloc_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

namespace {

using qorv::Chain;
using qorv::Index;
using qorv::Matrix;
using qorv::Vector;

int failures = 0;

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
}

// Chains with one coefficient each, at the given positions on a line; the
// energy records the chain's rank so that the selection can be read back.
std::vector<Chain> ranked_at(const std::vector<double>& positions) {
    std::vector<Chain> ranked;
    for (std::size_t i = 0; i < positions.size(); ++i) {
        ranked.push_back(Chain{Vector::Constant(1, positions[i]), static_cast<double>(i)});
    }
    return ranked;
}

std::vector<int> ranks_of(const std::vector<Chain>& elite) {
    std::vector<int> ranks;
    for (const Chain& c : elite) ranks.push_back(static_cast<int>(c.energy));
    return ranks;
}

void elite_selection() {
    // Only rank 2 lies farther than 0.1 from rank 0; the fill then starts
    // at position 2 and takes rank 2 a second time.
    const std::vector<Chain> clustered =
        ranked_at({0.0, 0.05, 1.0, 1.05, 0.02, 0.9999, 0.01, 1.01, 0.03, 1.02});
    check(ranks_of(qorv::select_elite(clustered, 4)) == std::vector<int>{0, 2, 2, 3},
          "the fill appends from the elite count on, duplicates included");
    check(ranks_of(qorv::select_elite(clustered, 2)) == std::vector<int>{0, 2},
          "the diversity pass stops once the elite is full");

    const std::vector<Chain> spread = ranked_at({0.0, 0.5, 1.0});
    check(ranks_of(qorv::select_elite(spread, 0)) == std::vector<int>{0},
          "the best chain is kept whatever n_elite is");
    check(ranks_of(qorv::select_elite(spread, 10)) == std::vector<int>{0, 1, 2},
          "no more elites than chains");

    check(ranks_of(qorv::select_elite(ranked_at({0.0, 0.1, 0.3}), 2)) ==
              std::vector<int>{0, 2},
          "a chain exactly 0.1 from a member is not diverse");
}

long mallocs_of_fit(const qorv::TournamentMCMC& sampler, const Matrix& X, const Vector& y,
                    const Matrix& R) {
    const long before = malloc_calls.load();
    const qorv::MCMCResult r = sampler.fit(X, y, &R, &R, 0.01, 0.02);
    const long after = malloc_calls.load();
    check(r.beta_mcmc.size() == X.cols(), "fit returns one coefficient per column");
    return after - before;
}

void fit_loops_do_not_allocate() {
    const Index n = 200;
    const Index k = 4;
    const Vector x = Vector::LinSpaced(n, -1.0, 1.0);
    Matrix X(n, k);
    for (Index j = 0; j < k; ++j) X.col(j) = x.array().pow(static_cast<double>(j));
    const Vector y = (1.0 - 2.0 * x.array() + x.array().cube()).matrix();
    const Matrix R = Matrix::Identity(k, k);

    using qorv::TournamentMCMC;
    // The first fit starts the largest team, whose set-up allocates; a
    // short run may start none.
    mallocs_of_fit(TournamentMCMC(6, 300, 400, 3, 0.05, 20, 7), X, y, R);
    const long short_run = mallocs_of_fit(TournamentMCMC(6, 3, 3, 3, 0.05, 20, 7), X, y, R);
    const long long_run = mallocs_of_fit(TournamentMCMC(6, 300, 400, 3, 0.05, 20, 7), X, y, R);
    if (short_run != long_run) {
        std::fprintf(stderr, "malloc calls: %ld with 3 steps, %ld with 300/400 steps\n",
                     short_run, long_run);
    }
    check(short_run == long_run, "the Metropolis steps allocate nothing");
}

}  // namespace

int main() {
    omp_set_num_threads(2);
    elite_selection();
    fit_loops_do_not_allocate();
    if (failures == 0) std::puts("ok");
    return failures == 0 ? 0 : 1;
}
