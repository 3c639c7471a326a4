"""Work for process pools: a top-level function, importable by spawned workers."""
import os

import numpy as np

import qorv_core as q

X = q.design_matrix_1d(3, np.linspace(-1.0, 1.0, 300))
y = np.sin(3.0 * X[:, 1])


def fit(seed):
    r = q.TournamentMCMC(n_deep=300, seed=seed).fit(X, y)
    return r.energy, r.beta_mcmc.tobytes()


def threads():
    return len(os.listdir("/proc/self/task"))


def fit_and_count_new_threads(seed):
    """The fit, and how many threads the process gained during it."""
    before = threads()
    result = fit(seed)
    return result, threads() - before
