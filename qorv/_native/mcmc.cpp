#include "mcmc.hpp"

#include "memory.hpp"
#include "parallel.hpp"
#include "scoring.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <utility>

namespace qorv {

GibbsResult gibbs_entropy(const Vector& energies, double T) {
    require(energies.size() > 0, "energies is empty: at least one energy is needed");
    const Index n = energies.size();
    double emin = energies[0];
    for (Index i = 1; i < n; ++i) {
        if (energies[i] < emin) emin = energies[i];
    }
    // Measuring from the minimum gives the lowest energy weight 1, so the
    // sum is at least 1 and no weight overflows.
    const double scale = T + 1e-300;
    Vector w(n);
    double wsum = 0.0;
    for (Index i = 0; i < n; ++i) {
        w[i] = std::exp(-(energies[i] - emin) / scale);
        wsum += w[i];
    }
    double H = 0.0;
    for (Index i = 0; i < n; ++i) {
        const double p = w[i] / wsum;
        H -= p * std::log(p + 1e-300);
    }
    const double Hmax = std::log(static_cast<double>(std::max<Index>(n, 2)));
    const double He = H / (Hmax + 1e-300);

    const double count = static_cast<double>(n);
    double total = 0.0;
    for (Index i = 0; i < n; ++i) total += energies[i];
    const double mean = total / count;
    double var = 0.0;
    for (Index i = 0; i < n; ++i) {
        const double d = energies[i] - mean;
        var += d * d;
    }
    return {H, Hmax, He, 0.01 + 0.99 * He, var / count, T};
}

namespace {

// What every energy evaluation of one fit reads, and the fit's stop
// request; shared by all threads.
struct Problem {
    const Matrix& X;
    const Vector& y;
    int k;
    int H;
    double eps;
    PenaltySpec pen;
    const Interruption& stop;
};

// Buffers of one Metropolis run, sized once so that its steps allocate
// nothing.
struct Workspace {
    Vector cand;      // the proposed vector
    Vector pen_work;  // R beta of the penalty terms

    explicit Workspace(const Problem& p) : cand(p.X.cols()), pen_work(p.X.cols()) {}
};

// The engine and the distributions of one Metropolis run. Each distribution
// keeps its own spare normal deviate, so the objects must not be shared.
struct Stream {
    std::mt19937_64 rng;
    std::normal_distribution<double> prop;
    std::uniform_real_distribution<double> unif{0.0, 1.0};

    Stream(std::uint64_t seed, double step) : rng(seed), prop(0.0, step) {}
};

// The score of X beta against y. The hits are counted while X beta is
// summed, in one pass over X that stores no prediction.
double energy_local(const Problem& p, const Vector& beta, Workspace& ws) {
    const double sr = hit_ratio(count_product_hits(p.X, beta, p.y, p.eps), p.y.size());
    return mdl_score_of_ratio(sr, p.y.size(), p.k, p.H, &beta, &p.pen, &ws.pen_work);
}

// Rough nanoseconds of `evaluations` energies, from which the threads of a
// stage are chosen: the product X beta and the penalties' quadratic forms.
double energy_ns(const Problem& p, int evaluations) {
    const double k = static_cast<double>(p.X.cols());
    const double per_evaluation = 0.3 * static_cast<double>(p.X.rows()) * k + 0.5 * k * k + 100.0;
    return per_evaluation * std::max(evaluations, 1);
}

// min(x, 0), with 0 for a NaN x so that a NaN energy difference accepts.
double min_zero(double x) { return x < 0.0 ? x : 0.0; }

// Proposes b plus one deviate of s.prop per entry and accepts it by the
// Metropolis rule at temperature T, updating b and its energy e.
void metropolis_step(const Problem& p, Workspace& ws, Stream& s, double T, Vector& b,
                     double& e) {
    ws.cand = b;
    for (Index i = 0; i < ws.cand.size(); ++i) ws.cand[i] += s.prop(s.rng);
    const double ec = energy_local(p, ws.cand, ws);
    // A strictly better candidate consumes no uniform deviate.
    const bool accept = ec < e || s.unif(s.rng) < std::exp(min_zero((e - ec) / T));
    if (!accept) return;
    b.swap(ws.cand);
    e = ec;
}

// A chain from a random start (sd 0.5 per entry), cooling from T = 2; it
// keeps its final state, not the best one it visited. A stopped chain
// returns early with a state nobody reads.
Chain warmup_chain(const Problem& p, std::uint64_t seed, double step_size, int n_warmup) {
    Stream s(seed, step_size);
    std::normal_distribution<double> init(0.0, 0.5);
    Workspace ws(p);
    Vector b(p.X.cols());
    for (Index i = 0; i < b.size(); ++i) b[i] = init(s.rng);
    double e = energy_local(p, b, ws);
    double T = 2.0;
    for (int j = 0; j < n_warmup && !p.stop.requested(); ++j) {
        metropolis_step(p, ws, s, T, b, e);
        T *= 0.995;
    }
    return Chain{std::move(b), e};
}

// Temperatures at which each of n_elite refinements starts when they share
// one schedule that cools by 0.9997 per step from T: refinement i starts
// after i * n_deep coolings, made by the same repeated multiplication. A
// multiplication costs far less than a look at `stop`, so that look comes
// once per 4096 of them.
std::vector<double> deep_start_temperatures(double T, std::size_t n_elite, int n_deep,
                                            const Interruption& stop) {
    std::vector<double> starts(n_elite);
    for (double& start : starts) {
        start = T;
        for (int j = 0; j < n_deep; ++j) {
            if (j % 4096 == 0) stop.check();
            T *= 0.9997;
        }
    }
    return starts;
}

// Refines one elite from temperature T and returns its lowest state, the
// first one reached at the least energy below +inf (NaN energies never
// count); energy +inf when there is none. Stopped, it returns early.
Chain refine_one(const Problem& p, const Chain& start, double T, std::uint64_t seed,
                 double step_size, int n_deep) {
    Stream s(seed, 0.3 * step_size);
    Workspace ws(p);
    Vector b = start.beta;
    double e = start.energy;
    Chain best{start.beta, std::numeric_limits<double>::infinity()};
    for (int j = 0; j < n_deep && !p.stop.requested(); ++j) {
        metropolis_step(p, ws, s, T, b, e);
        if (e < best.energy) {
            best.beta = b;
            best.energy = e;
        }
        T *= 0.9997;
    }
    return best;
}

// Refines the elites in parallel and returns the best state, starting from
// elite 0. It equals the walk that refines them one after the other on one
// cooling schedule and keeps every state strictly below the best so far:
// that walk's best after elite i is elite i's record when the record lies
// strictly below the best before it, else unchanged; a NaN best is never
// replaced and a record of +inf never replaces anything.
Chain refine_elite(const Problem& p, const std::vector<Chain>& elite, double T,
                   std::uint64_t seed, double step_size, int n_deep) {
    const std::vector<double> T_start =
        deep_start_temperatures(T, elite.size(), n_deep, p.stop);
    std::vector<Chain> records(elite.size());
    const int n = static_cast<int>(elite.size());
    parallel_for_each_index(n, [&](int i) {
        const std::size_t ei = static_cast<std::size_t>(i);
        records[ei] = refine_one(p, elite[ei], T_start[ei],
                                 seed + 13u * static_cast<std::uint64_t>(ei) + 7777u,
                                 step_size, n_deep);
    }, p.stop, team_size_sharing_busy(n, energy_ns(p, n_deep)));
    Chain best = elite.front();
    for (Chain& record : records) {
        if (record.energy < best.energy) best = std::move(record);
    }
    return best;
}

// Ascending energy. NaN energies go last: a plain less-than would not be a
// strict weak order over them, and std::sort may then run out of bounds.
bool ranks_before(const Chain& a, const Chain& b) {
    return a.energy < b.energy || (std::isnan(b.energy) && !std::isnan(a.energy));
}

bool is_diverse(const Chain& chain, const std::vector<Chain>& elite) {
    for (const Chain& member : elite) {
        if ((chain.beta - member.beta).norm() <= 0.1) return false;
    }
    return true;
}

}  // namespace

std::vector<Chain> select_elite(const std::vector<Chain>& ranked, int n_elite) {
    require(!ranked.empty(), "ranked has no chain but the elite needs one");
    std::vector<Chain> elite{ranked.front()};
    const std::size_t n = ranked.size();
    const auto short_of_elite = [&] { return static_cast<int>(elite.size()) < n_elite; };
    for (std::size_t i = 1; i < n && short_of_elite(); ++i) {
        if (is_diverse(ranked[i], elite)) elite.push_back(ranked[i]);
    }
    for (std::size_t i = elite.size(); i < n && short_of_elite(); ++i) {
        elite.push_back(ranked[i]);
    }
    return elite;
}

TournamentMCMC::TournamentMCMC(int n_chains, int n_warmup, int n_deep, int n_elite,
                               double step_size, int H_piH, std::uint64_t seed)
    : n_chains_(n_chains),
      n_warmup_(n_warmup),
      n_deep_(n_deep),
      n_elite_(n_elite),
      step_size_(step_size),
      H_piH_(H_piH),
      seed_(seed) {}

MCMCResult TournamentMCMC::fit(const Matrix& X, const Vector& y, const Matrix* R1,
                               const Matrix* R2, double gamma1, double gamma2,
                               const Interruption& stop) const {
    require(n_chains_ != 0, "n_chains is 0 but the search needs at least one chain");
    require(X.rows() == y.size(), "X has ", X.rows(), " rows but y has ", y.size(),
            " entries");
    require_penalty_shape("R1", R1, gamma1, X.cols(), "beta (one per column of X)");
    require_penalty_shape("R2", R2, gamma2, X.cols(), "beta (one per column of X)");
    // The chain table with each chain's vector and energy, and at least one
    // Metropolis workspace, must fit before anything is allocated.
    if (n_chains_ > 0) {
        const Index k = X.cols();
        require_memory_for(checked_add(checked_mul(n_chains_, checked_add(k, 4)),
                                       checked_add(X.rows(), checked_mul(3, k))));
    }
    // A negative count converts to a size beyond max_size(), which the
    // vector rejects with std::length_error before the search starts.
    std::vector<Chain> chains(static_cast<std::size_t>(n_chains_));

    const Problem p{X, y, static_cast<int>(X.cols()), H_piH_, hit_tolerance(y),
                    PenaltySpec{R1, R2, gamma1, gamma2}, stop};
    parallel_for_each_index(n_chains_, [&](int c) {
        chains[static_cast<std::size_t>(c)] = warmup_chain(
            p, seed_ + 1000u * static_cast<std::uint64_t>(c), step_size_, n_warmup_);
    }, stop, team_size_sharing_busy(n_chains_, energy_ns(p, n_warmup_ + 1)));

    Vector energies(n_chains_);
    for (int c = 0; c < n_chains_; ++c) energies[c] = chains[static_cast<std::size_t>(c)].energy;
    const GibbsResult gb = gibbs_entropy(energies, 1.0);

    std::sort(chains.begin(), chains.end(), ranks_before);
    const std::vector<Chain> elite = select_elite(chains, n_elite_);
    Chain best = refine_elite(p, elite, 0.5 * gb.r_heat, seed_, step_size_, n_deep_);
    return {std::move(best.beta), best.energy, gb, n_chains_, n_elite_};
}

}  // namespace qorv
