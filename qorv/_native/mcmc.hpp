// Gibbs-entropy summary of a set of energies, and the tournament MCMC search
// that minimises the MDL score over the coefficients of a linear model.
#pragma once

#include "parallel.hpp"
#include "types.hpp"

#include <cstdint>
#include <vector>

namespace qorv {

// Boltzmann summary of a set of energies at temperature T.
struct GibbsResult {
    double H;       // Shannon entropy (nats) of the normalised weights
    double Hmax;    // ln(max(N, 2))
    double He;      // H / (Hmax + 1e-300)
    double r_heat;  // 0.01 + 0.99 He
    double var_E;   // population variance of the energies
    double T;       // the temperature as passed
};

// Entropy of the weights exp(-(E - min E) / (T + 1e-300)), sums in index
// order. Throws std::invalid_argument for an empty `energies`.
GibbsResult gibbs_entropy(const Vector& energies, double T);

// One chain of the search: its coefficient vector and that vector's energy.
struct Chain {
    Vector beta;
    double energy = 0.0;
};

struct MCMCResult {
    Vector beta_mcmc;   // best vector of the deep refinement
    double energy;      // its energy
    GibbsResult gibbs;  // summary of the final warm-up energies at T = 1
    int n_chains;       // configured chain count
    int n_elite;        // configured elite count, not the number refined
};

// Declared here for the native tests.
// Elite of chains ranked by ascending energy (at least one chain): the best
// one, then every later chain farther than 0.1 from all members until
// n_elite are held, then, without any test, the chains from position
// (count so far) on; a chain may thus appear twice.
std::vector<Chain> select_elite(const std::vector<Chain>& ranked, int n_elite);

// Parallel cooling Metropolis chains, a tournament that keeps a diverse
// elite, and a cooler refinement of each elite on one cooling schedule (run
// in parallel, with the result of refining the elites in turn). The result
// is reproducible bit for bit whatever the number of threads.
class TournamentMCMC {
public:
    TournamentMCMC(int n_chains, int n_warmup, int n_deep, int n_elite, double step_size,
                   int H_piH, std::uint64_t seed);

    // Minimises the MDL score of X beta against y, plus the penalties of R1
    // and R2 (null when absent) weighted by gamma1 and gamma2. X has one row
    // per entry of y; a used penalty matrix is k x k for k columns of X.
    // Throws std::invalid_argument for n_chains == 0 or mismatched sizes,
    // std::length_error for a negative n_chains; Interrupted when `stop` is
    // requested, within a few energy evaluations of every running chain.
    MCMCResult fit(const Matrix& X, const Vector& y, const Matrix* R1, const Matrix* R2,
                   double gamma1, double gamma2,
                   const Interruption& stop = Interruption()) const;

private:
    int n_chains_;
    int n_warmup_;
    int n_deep_;
    int n_elite_;
    double step_size_;
    int H_piH_;
    std::uint64_t seed_;
};

}  // namespace qorv
