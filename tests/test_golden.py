"""Sampler results recorded bit for bit from the one-thread refinement that
walked the elites in turn, so that any reordering of the work (threads,
fused kernels) is caught even in the last bit. The inputs avoid
transcendental functions so that they are the same on every machine.

Regenerate golden_mcmc.json only from a build whose results are trusted:
    PYTHONPATH=build python tests/test_golden.py
"""
import json
from pathlib import Path

import numpy as np
import pytest

import qorv_core
from conftest import GIBBS_FIELDS, problem, run_with_threads

GOLDEN = Path(__file__).with_name("golden_mcmc.json")


def smooth(k):
    return np.diag(np.arange(1.0, k + 1.0)), np.eye(k) + 0.25


# b'Rb overflows to +inf, -inf or NaN (inf - inf) once |b0| or |b1| passes
# about 1.34, so energies of every kind meet in one run.
OVERFLOW = np.diag([1e308, -1e308])

# name: (rows, degree, shift of y, (R1, R2, gamma1, gamma2), sampler configuration)
CASES = {
    "defaults": (300, 5, 0.0, (None, None, 0.0, 0.0), {}),
    # Unpenalised energies take few values: several elites tie at the best.
    "ties_unpenalised": (120, 3, 0.0, (None, None, 0.0, 0.0),
                         dict(n_chains=8, n_warmup=60, n_deep=300, n_elite=4, seed=11)),
    "penalised_r1_r2": (120, 4, 0.0, (*smooth(5), 0.01, 0.02),
                        dict(n_chains=7, n_warmup=50, n_deep=250, n_elite=4, seed=2024)),
    "r2_only_r1_unread": (90, 3, 0.0, (np.ones((2, 3)), smooth(4)[1], 0.0, 0.05),
                          dict(n_chains=6, n_warmup=30, n_deep=200, n_elite=3, seed=5)),
    # Clustered chains: the fill repeats elites, and the last elite ends best.
    "fill_duplicates_last_wins": (120, 0, 50.0, (np.eye(1), None, 100.0, 0.0),
                                  dict(n_chains=10, n_warmup=100, n_deep=150, n_elite=5,
                                       step_size=0.3, seed=8)),
    "nan_inf_mixed": (60, 1, 0.0, (OVERFLOW, None, 1e-308, 0.0),
                      dict(n_chains=8, n_warmup=40, n_deep=80, n_elite=4, step_size=0.3,
                           seed=5)),
    # Every chain ends at NaN; later elites reach -inf but never replace it.
    "nan_first_elite": (60, 1, 0.0, (OVERFLOW, None, 1e-308, 0.0),
                        dict(n_chains=3, n_warmup=40, n_deep=120, n_elite=3, step_size=1.5,
                             seed=4)),
    "inf_first_elite": (60, 1, 0.0, (OVERFLOW, None, 1e-308, 0.0),
                        dict(n_chains=3, n_warmup=40, n_deep=120, n_elite=3, step_size=1.5,
                             seed=5)),
    "all_nan_weight": (50, 2, 0.0, (np.eye(3), None, float("nan"), 0.0),
                       dict(n_chains=4, n_warmup=10, n_deep=40, n_elite=3, seed=1)),
    "all_minus_inf_H0": (50, 2, 0.0, (None, None, 0.0, 0.0),
                         dict(n_chains=4, n_warmup=10, n_deep=40, n_elite=3, H_piH=0, seed=1)),
    "frozen_step_zero": (50, 2, 0.0, (None, None, 0.0, 0.0),
                         dict(n_chains=5, n_warmup=10, n_deep=40, n_elite=3, step_size=0.0,
                              seed=3)),
    "elite_exceeds_chains": (80, 3, 0.0, (None, None, 0.0, 0.0),
                             dict(n_chains=3, n_warmup=30, n_deep=100, n_elite=10, seed=6)),
    "no_deep": (80, 3, 0.0, (None, None, 0.0, 0.0),
                dict(n_chains=6, n_warmup=30, n_deep=0, n_elite=3, seed=7)),
    "negative_deep_no_warmup": (80, 3, 0.0, (None, None, 0.0, 0.0),
                                dict(n_chains=6, n_warmup=0, n_deep=-5, n_elite=3, seed=7)),
    "single_chain": (80, 2, 0.0, (*smooth(3), 0.01, 0.0),
                     dict(n_chains=1, n_warmup=20, n_deep=150, n_elite=4, seed=9)),
    "zero_columns": (40, -1, 0.0, (None, None, 0.0, 0.0),
                     dict(n_chains=4, n_warmup=5, n_deep=20, n_elite=3, seed=2)),
}


def run_case(name):
    n, deg, shift, (R1, R2, gamma1, gamma2), cfg = CASES[name]
    X, y = problem(n, deg, shift)
    r = qorv_core.TournamentMCMC(**cfg).fit(X, y, R1, R2, gamma1, gamma2)
    return {"beta": r.beta_mcmc.tobytes().hex(), "energy": r.energy.hex(),
            "gibbs": [getattr(r.gibbs, f).hex() for f in GIBBS_FIELDS]}


def run_all():
    return {name: run_case(name) for name in CASES}


@pytest.fixture(scope="module")
def golden():
    return json.loads(GOLDEN.read_text())


def test_every_case_is_recorded(golden):
    assert sorted(golden) == sorted(CASES)


@pytest.mark.parametrize("name", sorted(CASES))
def test_matches_recorded_result(golden, name):
    assert run_case(name) == golden[name]


def test_matches_recorded_results_with_more_threads_than_cores(golden):
    script = "import json, test_golden; print(json.dumps(test_golden.run_all()))"
    assert json.loads(run_with_threads(script, 3)) == golden


if __name__ == "__main__":
    GOLDEN.write_text(json.dumps(run_all(), indent=1, sort_keys=True) + "\n")
