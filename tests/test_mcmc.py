import gc
import math

import numpy as np
import pytest

import qorv_core
from conftest import GIBBS_FIELDS, problem, run_with_threads

SMALL = dict(n_chains=6, n_warmup=40, n_deep=60, n_elite=3)


def penalties(k):
    R1 = np.diag(np.arange(1.0, k + 1.0))
    R2 = np.eye(k) + 0.25
    return R1, R2


def column_matvec(X, b):
    """X @ b summed column by column, the order the native product uses."""
    acc = np.zeros(X.shape[0])
    for j in range(X.shape[1]):
        acc = acc + X[:, j] * b[j]
    return acc


def fingerprint(r):
    return (r.beta_mcmc.tobytes(), r.energy.hex(),
            tuple(getattr(r.gibbs, f).hex() for f in GIBBS_FIELDS))


# Runs one penalised fit in a fresh interpreter and prints its fingerprint.
THREAD_SCRIPT = f"""
import numpy as np, qorv_core
x = np.linspace(-1.0, 1.0, 80)
X = x[:, None] ** np.arange(5)
y = np.cos(3.0 * x) + 0.1 * x
R1 = np.diag(np.arange(1.0, 6.0))
r = qorv_core.TournamentMCMC(n_chains=7, n_warmup=50, n_deep=80, n_elite=4,
                             seed=2024).fit(X, y, R1, None, 0.01, 0.0)
print(repr((r.beta_mcmc.tobytes().hex(), r.energy.hex(),
            [getattr(r.gibbs, f).hex() for f in {GIBBS_FIELDS!r}])))
"""


def test_result_does_not_depend_on_thread_count():
    outputs = {n: run_with_threads(THREAD_SCRIPT, n) for n in (1, 2, 4)}
    assert outputs[1].startswith("('")
    assert outputs[2] == outputs[1]
    assert outputs[4] == outputs[1]


def test_same_seed_same_result_and_seed_matters():
    X, y = problem()
    sampler = qorv_core.TournamentMCMC(**SMALL, seed=5)
    first = fingerprint(sampler.fit(X, y))
    assert fingerprint(sampler.fit(X, y)) == first
    assert fingerprint(qorv_core.TournamentMCMC(**SMALL, seed=5).fit(X, y)) == first
    assert fingerprint(qorv_core.TournamentMCMC(**SMALL, seed=6).fit(X, y)) != first


def test_defaults():
    X, y = problem(n=40, deg=2)
    r = qorv_core.TournamentMCMC().fit(X, y)
    assert (r.n_chains, r.n_elite, r.gibbs.T) == (25, 5, 1.0)
    explicit = qorv_core.TournamentMCMC(25, 200, 2000, 5, 0.05, 20, 42)
    assert fingerprint(explicit.fit(X, y, None, None, 0.0, 0.0)) == fingerprint(r)


MASK64 = 2**64 - 1


class MT19937_64:
    """The 64-bit Mersenne Twister with the standard seeding from one value."""

    def __init__(self, seed):
        mt = [seed & MASK64]
        for i in range(1, 312):
            mt.append((6364136223846793005 * (mt[-1] ^ (mt[-1] >> 62)) + i) & MASK64)
        self.mt, self.i = mt, 312

    def __call__(self):
        if self.i == 312:
            mt = self.mt
            for i in range(312):
                x = (mt[i] & 0xFFFFFFFF80000000) | (mt[(i + 1) % 312] & 0x7FFFFFFF)
                mt[i] = mt[(i + 156) % 312] ^ (x >> 1) ^ (0xB5026F5AA96619E9 if x & 1 else 0)
            self.i = 0
        x = self.mt[self.i]
        self.i += 1
        x ^= (x >> 29) & 0x5555555555555555
        x ^= (x << 17) & 0x71D67FFFEDA60000
        x ^= (x << 37) & 0xFFF7EEE000000000
        return (x ^ (x >> 43)) & MASK64


def uniform(g):
    """generate_canonical<double, 53> of libstdc++: one draw, kept below 1."""
    u = float(g()) / 2.0**64
    return u if u < 1.0 else math.nextafter(1.0, 0.0)


class Normal:
    """libstdc++'s normal_distribution: Marsaglia's polar method, the second
    deviate of each pair kept for the next call."""

    def __init__(self, sd):
        self.sd, self.saved = sd, None

    def __call__(self, g):
        if self.saved is not None:
            z, self.saved = self.saved, None
            return z * self.sd + 0.0
        while True:
            x = 2.0 * uniform(g) - 1.0
            v = 2.0 * uniform(g) - 1.0
            r2 = x * x + v * v
            if not (r2 > 1.0 or r2 == 0.0):
                break
        mult = math.sqrt(-2.0 * math.log(r2) / r2)
        self.saved = x * mult
        return v * mult * self.sd + 0.0


def test_mersenne_twister_reference():
    g = MT19937_64(5489)
    for _ in range(9999):
        g()
    assert g() == 9981545732273789042


def reference_fit(X, y, R1, gamma1, n_chains, n_warmup, n_deep, n_elite, step_size, seed):
    """The sampler step by step in Python, drawing from the same streams."""
    k = X.shape[1]

    def energy(b):
        return qorv_core.mdl_score_reg(column_matvec(X, b), y, k, 20, b, R1, R1, gamma1)

    def step(b, e, T, prop, g):
        bc = b.copy()
        for i in range(k):
            bc[i] += prop(g)
        ec = energy(bc)
        x = (e - ec) / T
        if ec < e or uniform(g) < math.exp(x if x < 0.0 else 0.0):
            return bc, ec
        return b, e

    chains = []
    for c in range(n_chains):
        g = MT19937_64(seed + 1000 * c)
        init, prop = Normal(0.5), Normal(step_size)
        b = np.array([init(g) for _ in range(k)])
        e, T = energy(b), 2.0
        for _ in range(n_warmup):
            b, e = step(b, e, T, prop, g)
            T *= 0.995
        chains.append((b, e))
    r_heat = qorv_core.gibbs_entropy([e for _, e in chains]).r_heat
    ranked = sorted(chains, key=lambda chain: chain[1])
    elite = ranked[:1]
    for b, e in ranked[1:]:
        if len(elite) >= n_elite:
            break
        if all(np.linalg.norm(b - m) > 0.1 for m, _ in elite):
            elite.append((b, e))
    elite += ranked[len(elite):n_chains][:max(n_elite - len(elite), 0)]
    best_b, best_e = elite[0]
    T = 0.5 * r_heat
    for ei, (b, e) in enumerate(elite):
        g, prop = MT19937_64(seed + 13 * ei + 7777), Normal(0.3 * step_size)
        for _ in range(n_deep):
            b, e = step(b, e, T, prop, g)
            if e < best_e:
                best_b, best_e = b, e
            T *= 0.9997
    return best_b, best_e


SIGN_PENALTY = np.array([[np.inf, -np.inf], [-np.inf, np.inf]])


@pytest.mark.parametrize("deg, shift, R1, gamma1, cfg", [
    # An ordinary fit; chains 3 and 4 draw from seeds that wrapped past 2**64.
    (3, 0.0, None, 0.01, dict(n_chains=5, n_warmup=25, n_deep=250, n_elite=4,
                              step_size=0.05, seed=2**64 - 3000)),
    # No prediction hits, so the penalty alone pulls every chain towards 0:
    # the chains cluster, the fill adds chains the diversity pass refused,
    # and the deep temperature decides which later elite ends best.
    (0, 50.0, None, 100.0, dict(n_chains=10, n_warmup=100, n_deep=150, n_elite=5,
                                step_size=0.3, seed=8)),
    # Every energy is +inf or NaN: every candidate must be accepted.
    (1, 0.0, SIGN_PENALTY, 1.0, dict(n_chains=1, n_warmup=30, n_deep=30, n_elite=1,
                                     step_size=0.05, seed=3)),
])
def test_matches_a_step_by_step_reference(deg, shift, R1, gamma1, cfg):
    X, y = problem(deg=deg)
    y = y + shift
    R1 = np.eye(deg + 1) if R1 is None else R1
    r = qorv_core.TournamentMCMC(**cfg).fit(X, y, R1, R1, gamma1, 0.0)
    b, e = reference_fit(X, y, R1, gamma1, **cfg)
    assert r.energy.hex() == e.hex()
    assert r.beta_mcmc.tobytes() == b.tobytes()


def single_chain(X, y, seed, **cfg):
    return qorv_core.TournamentMCMC(n_chains=1, seed=seed, **cfg).fit(X, y)


@pytest.mark.parametrize("seed, n_warmup", [(11, 30), (11, 0)])
def test_without_deep_steps_the_best_warmup_chain_wins(seed, n_warmup):
    # Chain c draws from seed + 1000 c (mod 2**64), so it can be run alone as
    # the first chain of a one-chain sampler with that seed.
    X, y = problem()
    cfg = dict(n_warmup=n_warmup, n_deep=0, n_elite=3)
    n_chains = 5
    r = qorv_core.TournamentMCMC(n_chains=n_chains, seed=seed, **cfg).fit(X, y)
    alone = [single_chain(X, y, (seed + 1000 * c) % 2**64, **cfg) for c in range(n_chains)]
    energies = np.array([a.energy for a in alone])
    best = alone[int(np.argmin(energies))]
    assert r.energy == energies.min()
    assert r.beta_mcmc.tobytes() == best.beta_mcmc.tobytes()
    expected = qorv_core.gibbs_entropy(energies, 1.0)
    assert [getattr(r.gibbs, f) for f in GIBBS_FIELDS] == \
        [getattr(expected, f) for f in GIBBS_FIELDS]


def test_deep_refinement_never_worsens_the_best_chain():
    X, y = problem()
    cfg = dict(n_chains=6, n_warmup=20, n_elite=3, seed=3)
    warm = qorv_core.TournamentMCMC(n_deep=0, **cfg).fit(X, y)
    deep = qorv_core.TournamentMCMC(n_deep=300, **cfg).fit(X, y)
    assert deep.energy <= warm.energy
    assert deep.beta_mcmc.tobytes() != warm.beta_mcmc.tobytes()


def test_starting_vector_has_standard_deviation_one_half():
    rng = np.random.default_rng(1)
    X = rng.normal(size=(3, 4000))
    y = rng.normal(size=3)
    starts = [single_chain(X, y, seed, n_warmup=0, n_deep=0).beta_mcmc for seed in (1, 2)]
    for b in starts:
        assert abs(b.mean()) < 0.03
        assert abs(b.std() - 0.5) < 0.03
    assert abs(np.corrcoef(starts[0], starts[1])[0, 1]) < 0.06


@pytest.mark.parametrize("H_piH", [20, 7])
def test_energy_is_the_score_of_the_result(H_piH):
    X, y = problem()
    r = qorv_core.TournamentMCMC(**SMALL, H_piH=H_piH, seed=9).fit(X, y)
    yp = column_matvec(X, r.beta_mcmc)
    assert r.energy == qorv_core.mdl_score(yp, y, X.shape[1], H_piH)


@pytest.mark.parametrize("gamma1, gamma2", [(0.01, 0.0), (0.0, 0.02), (0.01, 0.02)])
def test_penalised_energy_is_the_penalised_score(gamma1, gamma2):
    X, y = problem()
    R1, R2 = penalties(X.shape[1])
    r = qorv_core.TournamentMCMC(**SMALL, seed=4).fit(X, y, R1, R2, gamma1, gamma2)
    yp = column_matvec(X, r.beta_mcmc)
    assert r.energy == qorv_core.mdl_score_reg(yp, y, X.shape[1], 20, r.beta_mcmc,
                                               R1, R2, gamma1, gamma2)
    plain = qorv_core.TournamentMCMC(**SMALL, seed=4).fit(X, y)
    assert fingerprint(r) != fingerprint(plain)


def test_unused_penalty_matrix_is_never_read():
    X, y = problem()
    sampler = qorv_core.TournamentMCMC(**SMALL, seed=4)
    wrong_shape = np.ones((2, 3))
    assert fingerprint(sampler.fit(X, y, wrong_shape, wrong_shape)) == \
        fingerprint(sampler.fit(X, y))


@pytest.mark.parametrize("n_chains, n_elite", [(4, 0), (4, 1), (4, 3), (3, 10)])
def test_counts_echo_the_configuration(n_chains, n_elite):
    X, y = problem()
    r = qorv_core.TournamentMCMC(n_chains=n_chains, n_warmup=5, n_deep=5,
                                 n_elite=n_elite).fit(X, y)
    assert (r.n_chains, r.n_elite) == (n_chains, n_elite)
    assert r.gibbs.T == 1.0


def test_zero_columns_give_an_empty_vector():
    _, y = problem()
    r = qorv_core.TournamentMCMC(**SMALL).fit(np.empty((y.size, 0)), y)
    assert r.beta_mcmc.shape == (0,)
    assert r.energy == qorv_core.mdl_score(np.zeros(y.size), y, 0)


@pytest.mark.parametrize("n_chains, seed", [(2, 2), (40, 42)])
def test_nan_energies_rank_last(n_chains, seed):
    # b' R b is +inf when the two coefficients differ in sign and NaN
    # otherwise; with seed 2 the first chain starts at NaN, the second at inf.
    X, y = problem(deg=1)
    cfg = dict(n_warmup=0, n_deep=0)
    r = qorv_core.TournamentMCMC(n_chains=n_chains, seed=seed, **cfg).fit(
        X, y, SIGN_PENALTY, None, 1.0)
    assert r.energy == math.inf
    assert r.beta_mcmc[0] * r.beta_mcmc[1] < 0


def test_beta_is_a_read_only_view_that_keeps_the_result_alive():
    X, y = problem()
    r = qorv_core.TournamentMCMC(**SMALL).fit(X, y)
    beta, gibbs = r.beta_mcmc, r.gibbs
    expected_beta, expected_H = beta.copy(), gibbs.H
    assert beta.dtype == np.float64 and beta.ndim == 1
    assert not beta.flags.writeable
    with pytest.raises(ValueError):
        beta[0] = 1.0
    assert isinstance(gibbs, qorv_core.GibbsResult)
    del r
    gc.collect()
    assert np.array_equal(beta, expected_beta)
    assert gibbs.H == expected_H


@pytest.mark.parametrize("field", ["beta_mcmc", "energy", "gibbs", "n_chains", "n_elite"])
def test_result_fields_are_read_only(field):
    X, y = problem()
    r = qorv_core.TournamentMCMC(n_chains=2, n_warmup=2, n_deep=2).fit(X, y)
    with pytest.raises(AttributeError):
        setattr(r, field, 0)


def test_result_has_no_constructor():
    with pytest.raises(TypeError, match=r"^qorv_core\.MCMCResult: No constructor defined!$"):
        qorv_core.MCMCResult()


@pytest.mark.parametrize("kwargs", [dict(seed=-1), dict(seed=2**64), dict(n_chains=2.0),
                                    dict(n_deep=2**31), dict(bogus=1)])
def test_constructor_rejects_unconvertible_arguments(kwargs):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        qorv_core.TournamentMCMC(**kwargs)


def test_largest_seed_is_accepted():
    X, y = problem()
    r = qorv_core.TournamentMCMC(n_chains=2, n_warmup=3, n_deep=3, seed=2**64 - 1).fit(X, y)
    assert np.isfinite(r.energy)


@pytest.mark.parametrize("cfg, rows, R1, R2, gamma1, gamma2, message", [
    (dict(n_chains=0), 60, None, None, 0.0, 0.0,
     "n_chains is 0 but the search needs at least one chain"),
    (dict(n_chains=-1), 60, None, None, 0.0, 0.0,
     "cannot create std::vector larger than max_size()"),
    (dict(n_chains=-2**31), 60, None, None, 0.0, 0.0,
     "cannot create std::vector larger than max_size()"),
    (SMALL, 59, None, None, 0.0, 0.0, "X has 59 rows but y has 60 entries"),
    (SMALL, 60, np.eye(3), None, 0.5, 0.0,
     "R1 is 3 x 3 but beta (one per column of X) has 4 entries"),
    (SMALL, 60, None, np.ones((4, 3)), 0.0, math.nan, "R2 is 4 x 3 but must be square"),
])
def test_invalid_inputs_raise_value_error(cfg, rows, R1, R2, gamma1, gamma2, message):
    X, y = problem()
    with pytest.raises(ValueError) as info:
        qorv_core.TournamentMCMC(**cfg).fit(X[:rows], y, R1, R2, gamma1, gamma2)
    assert str(info.value) == message


def test_unconvertible_penalty_raises_runtime_error():
    X, y = problem()
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type <class 'str'>"):
        qorv_core.TournamentMCMC(**SMALL).fit(X, y, R1="x")
