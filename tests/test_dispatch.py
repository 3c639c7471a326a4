"""The kernels chosen by processor give the same bits at every instruction
level and thread count, and QORV_MAX_CPU_LEVEL accepts only known levels."""
import itertools

import _qorv_runtime
import pytest

from conftest import run_with_threads, supported_cpu_levels

# Hashes of every function's results, on inputs whose sizes leave tails after
# every packet width (odd lengths, a column count past 128 for the blocked
# product sums of the sampler's kernel).
HASH_SCRIPT = """
import hashlib, numpy as np, qorv_core as q
rng = np.random.default_rng(7)
h = hashlib.sha256()
def put(*values):
    for v in values:
        h.update(np.asarray(v, dtype=float).tobytes())
x = rng.uniform(-1.0, 1.0, 1001)
y = np.sin(3.0 * x) + 0.1 * rng.standard_normal(1001)
cols = [rng.uniform(-2.0, 2.0, 4099) for _ in range(3)]
mis = [[i, j, k] for i in range(4) for j in range(4) for k in range(4)]
put(q.mad(y), q.mad(np.repeat(y, 1001)), q.compute_sr(x, y, 0.3), q.mdl_score(x, y, 3))
put(q.design_matrix_1d(7, x), q.design_matrix_nd(mis, cols))
R1, R2 = q.smoothness_penalty_matrices_1d(7, -1.0, 1.0)
Phi = q.design_matrix_1d(7, x)
put(q.ols(Phi, y), q.fit_regularized_linear(Phi, y, R1, R2, 1e-3, 1e-4))
W = rng.standard_normal((9001, 21))  # many row blocks
put(q.ols(W, W[:, 0] + 1.0), q.fit_regularized_linear(W, W[:, 1] + 1.0))
# Rows folded into each block's factor in panels of block reflectors, the
# last block, fold and panel short; solved by substitution.
U = rng.standard_normal((1303, 120))
put(q.ols(U, U[:, 0] + 1.0))
# The bidiagonalisation's passes in several tasks: a triangular factor, and
# the transpose of a wide matrix; solved by substitution, and with repeated
# columns by the QR iteration.
for S in (rng.standard_normal((2001, 301)), rng.standard_normal((150, 401))):
    put(q.ols(S, S[:, 0] + 1.0), q.ols(np.hstack([S, S[:, :9]]), S[:, 1]))
# Large enough that both passes share their first steps among threads.
S = rng.standard_normal((700, 1500))
put(q.ols(S, S[:, 0] + 1.0))
# Few columns, one block per lane: groups of blocks with a short last one;
# many columns, a strip of rows per task.
for shape in ((70001, 1), (70001, 3), (613, 200)):
    V = rng.standard_normal(shape) * np.exp(3.0 * rng.standard_normal(shape[1]))
    put(q.fit_regularized_linear(V, V[:, 0] + 1.0),
        q.fit_regularized_linear(np.asfortranarray(V), V[:, 0] - 1.0))
put(q.mdl_score_reg(x, y, 8, 20, np.ones(8), R1, R2, 0.1, 0.2))
for X in (Phi, rng.standard_normal((301, 130))):
    r = q.TournamentMCMC(n_chains=5, n_warmup=30, n_deep=60, n_elite=3).fit(X, X[:, 1])
    g = r.gibbs
    put(r.beta_mcmc, r.energy, g.H, g.Hmax, g.He, g.r_heat, g.var_E, g.T)
print(h.hexdigest())
"""


def test_same_bits_at_every_level_and_thread_count():
    runs = {(level, threads): run_with_threads(HASH_SCRIPT, threads, level)
            for level, threads in itertools.product(supported_cpu_levels(), (1, 2, 4))}
    assert len(set(runs.values())) == 1, runs


@pytest.mark.parametrize("module", ["qorv_core", "_qorv_runtime"])
@pytest.mark.parametrize("value", ["sse2", "AVX2", "native", "avx512 ", "neon"])
def test_unknown_level_fails_the_import(module, value):
    out = run_with_threads(f"import {module}", 1, value, check=False)
    assert out.returncode != 0
    levels = _qorv_runtime.kernel_levels()
    assert levels[0] == "baseline"
    assert (f"ImportError: QORV_MAX_CPU_LEVEL is '{value}' but must be one of "
            f"{', '.join(levels)}") in out.stderr


@pytest.mark.parametrize("cap", [""] + _qorv_runtime.kernel_levels())
def test_level_in_use_is_the_widest_supported_up_to_the_cap(cap):
    script = "import _qorv_runtime as r; print(r.kernel_level(), *r.supported_kernel_levels())"
    level, *supported = run_with_threads(script, 1, cap).split()
    levels = _qorv_runtime.kernel_levels()
    allowed = levels[:levels.index(cap) + 1] if cap else levels
    assert level == [name for name in allowed if name in supported][-1]
