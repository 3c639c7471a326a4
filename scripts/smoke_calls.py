"""One call of each operation of qorv_core, error paths included, small
enough to run under valgrind (scripts/valgrind.sh)."""
import copyreg
import pickle
import signal

import numpy as np

import qorv_core as q

x = np.linspace(-1.0, 1.0, 40)
y = 1.0 - 2.0 * x + 0.5 * x**3 + 0.05 * np.sin(17.0 * x)
X = q.design_matrix_1d(3, x)
R1, R2 = q.smoothness_penalty_matrices_1d(3, -1.0, 1.0, 50)
B = q.boundary_reduce_1d(3, -1.0, 1.0)
R1n, R2n, multi_indices = q.build_penalty_matrices_nd([2, 1], [(-1.0, 1.0), (0.0, 2.0)], 6)
Phi = q.design_matrix_nd(multi_indices, [x, x * x])
# A later vector longer than the first is read up to the first's length.
q.design_matrix_nd(multi_indices, [x, np.r_[x * x, x]])

beta = q.fit_regularized_linear(X, y, R1, R2, 1e-3, 1e-4)
q.ols(X, y)
# Broadcast arrays are copied, not read in place.
q.ols(np.broadcast_to(X[:1], X.shape), np.broadcast_to(2.0, y.shape))
q.fit_regularized_linear(np.broadcast_to(X[:, :1], X.shape), y)
# Beyond 16 columns the SVD divides and conquers; a NaN stops it early.
q.ols(np.random.default_rng(0).normal(size=(30, 20)), np.ones(30))
q.ols(np.where(np.eye(20) > 0, np.nan, 1.0), np.ones(20))

q.mad(y)
q.compute_sr(X @ beta, y, 0.1)
q.mdl_score(X @ beta, y, 4)
q.mdl_score_reg(X @ beta, y, 4, 20, beta, R1, R2, 0.01, 0.001)
g = q.gibbs_entropy([3.0, 1.0, 2.0, np.nan], 0.5)

r = q.TournamentMCMC(n_chains=4, n_warmup=20, n_deep=20, n_elite=2).fit(X, y, R1, None, 1e-3)
assert r.beta_mcmc.shape == (4,) and r.gibbs.H >= 0.0

for call, error in [
    (lambda: q.design_matrix_1d(-1, x), ValueError),
    (lambda: q.compute_sr(y[:3], y, 0.1), ValueError),
    (lambda: q.fit_regularized_linear(X, y, R1="x"), RuntimeError),
    (lambda: q.boundary_reduce_1d(2 * 10**9, 0.0, 1.0), MemoryError),
    (lambda: q.build_penalty_matrices_nd([1] * 40, [(0.0, 1.0)] * 40, 2), MemoryError),
    (lambda: q.build_penalty_matrices_nd([0] * 100, [(0.0, 1.0)] * 100, 2), ValueError),
    (lambda: q.TournamentMCMC(n_chains=0).fit(X, y), ValueError),
    (lambda: pickle.dumps(r, protocol=0), TypeError),
    (lambda: r.__reduce__(), TypeError),
    (lambda: copyreg._reduce_ex(g, 0), TypeError),
    (lambda: q.TournamentMCMC.__new__(q.TournamentMCMC), TypeError),
]:
    try:
        call()
    except error:
        pass
    else:
        raise AssertionError(f"no {error.__name__}")


# A signal whose handler raises stops a long fit on its way through the
# parallel loops.
def interrupt(signum, frame):
    raise KeyboardInterrupt


signal.signal(signal.SIGALRM, interrupt)
signal.setitimer(signal.ITIMER_REAL, 0.5)
try:
    q.TournamentMCMC(n_chains=2, n_warmup=10**9).fit(X, y)
except KeyboardInterrupt:
    pass
else:
    raise AssertionError("no KeyboardInterrupt")
print("ok")
