import numpy as np
import pytest

import qorv_core as q
from conftest import run_with_threads

PHI = np.array([[1.0, 0.0], [0.0, 1.0], [1.0, 1.0]])
Y = np.array([1.0, 2.0, 3.0])


@pytest.mark.parametrize("kwargs,expected", [
    (dict(ridge=0.0), [1.0, 2.0]),
    (dict(R1=np.eye(2), gamma1=1.0, ridge=0.0), [0.625, 0.875]),
    (dict(R2=[[1.0, -1.0], [-1.0, 1.0]], gamma2=0.5, ridge=0.0), [1.375, 1.625]),
    (dict(R1=None, gamma1=1.0, ridge=0.0), [1.0, 2.0]),
    (dict(R1=np.eye(2), gamma1=0.0, ridge=0.0), [1.0, 2.0]),
])
def test_fit_worked_values(kwargs, expected):
    got = q.fit_regularized_linear(PHI, Y, **kwargs)
    assert got.shape == (2,)
    np.testing.assert_allclose(got, expected, rtol=1e-14)


def test_ols_worked_value():
    np.testing.assert_allclose(q.ols(PHI, Y), [1.0, 2.0], rtol=1e-14)


def test_fit_default_ridge_and_omitted_penalties():
    default = q.fit_regularized_linear(PHI, Y)
    np.testing.assert_array_equal(q.fit_regularized_linear(PHI, Y, None, None), default)
    ridged = np.linalg.solve(PHI.T @ PHI + 1e-10 * np.eye(2), PHI.T @ Y)
    np.testing.assert_allclose(default, ridged, rtol=1e-15)
    assert 1e-12 < np.abs(default - [1.0, 2.0]).max() < 1e-9


def random_problem(n, p, seed):
    rng = np.random.default_rng(seed)
    Phi, y = rng.normal(size=(n, p)), rng.normal(size=n)
    R1, R2 = (B @ B.T for B in rng.normal(size=(2, p, p)))
    return Phi, y, R1, R2


@pytest.mark.parametrize("n,p,g1,g2,ridge", [
    (50, 6, 0.3, 0.02, 1e-10), (8, 12, 0.0, 1.5, 0.0), (200, 30, 1e-3, 1e-4, -1e-6),
    (5000, 40, 1e-3, 0.0, 1e-10)])  # many row blocks
def test_fit_solves_the_normal_equations(n, p, g1, g2, ridge):
    Phi, y, R1, R2 = random_problem(n, p, p)
    got = q.fit_regularized_linear(Phi, y, R1, R2, g1, g2, ridge)
    A = Phi.T @ Phi + ridge * np.eye(p) + n * g1 * R1 + n * g2 * R2
    np.testing.assert_allclose(got, np.linalg.solve(A, Phi.T @ y), rtol=1e-9, atol=1e-12)


def test_fit_unchanged_by_repeating_rows():
    Phi, y, R1, R2 = random_problem(20, 4, 1)
    once = q.fit_regularized_linear(Phi, y, R1, R2, 0.1, 0.2, 0.0)
    twice = q.fit_regularized_linear(np.vstack([Phi, Phi]), np.tile(y, 2), R1, R2, 0.1, 0.2, 0.0)
    np.testing.assert_allclose(twice, once, rtol=1e-12)


def test_fit_singular_gives_finite_pseudo_solution():
    beta = q.fit_regularized_linear([[1.0, 1.0], [1.0, 1.0]], [2.0, 2.0], ridge=0.0)
    assert np.isfinite(beta).all()
    np.testing.assert_allclose(np.array([[1.0, 1.0], [1.0, 1.0]]) @ beta, [2.0, 2.0])


@pytest.mark.parametrize("shape", [(3, 0), (0, 2), (0, 0)])
def test_empty_fits_are_zero(shape):
    y = np.ones(shape[0])
    for beta in (q.fit_regularized_linear(np.zeros(shape), y), q.ols(np.zeros(shape), y)):
        np.testing.assert_array_equal(beta, np.zeros(shape[1]))


@pytest.mark.parametrize("call,exc,match", [
    (lambda: q.fit_regularized_linear(PHI, Y, R1="x"), RuntimeError, "Unable to cast"),
    (lambda: q.fit_regularized_linear(PHI, Y[:2]), ValueError, "y has 2 entries but Phi has 3 rows"),
    (lambda: q.ols(PHI, Y[:2]), ValueError, "y has 2 entries but X has 3 rows"),
    (lambda: q.fit_regularized_linear(PHI, Y, np.eye(3), gamma1=1.0), ValueError,
     "R1 is 3 x 3 but a row of Phi has 2 entries"),
    (lambda: q.fit_regularized_linear(PHI, Y, None, np.ones((2, 3)), gamma2=float("nan")),
     ValueError, "R2 is 2 x 3 but must be square"),
])
def test_fit_bad_input(call, exc, match):
    with pytest.raises(exc, match=match):
        call()


def test_fit_ignores_unused_penalty_matrices():
    base = q.fit_regularized_linear(PHI, Y)
    np.testing.assert_array_equal(q.fit_regularized_linear(PHI, Y, np.eye(3), np.ones((2, 5))), base)


@pytest.mark.parametrize("X", [
    np.random.default_rng(0).normal(size=(30, 5)),
    np.column_stack([np.arange(6.0), np.arange(6.0), np.ones(6)]),  # duplicated column
    np.random.default_rng(1).normal(size=(3, 7)),  # underdetermined
    np.random.default_rng(3).normal(size=(1, 16)),  # one row, the SVD's 16 columns
    np.outer(np.arange(1.0, 6.0), [1.0, -2.0, 0.5]),  # rank one
    np.random.default_rng(4).normal(size=(3001, 60)),  # row blocks merged along a tree
    np.random.default_rng(6).normal(size=(20001, 3)),  # blocks that the rows do not fill
    np.repeat(np.random.default_rng(7).normal(size=(30001, 1)), 2, axis=1),  # rank one, tall
    np.random.default_rng(8).normal(size=(700, 90)),  # triangular factor, substitution
    np.random.default_rng(9).normal(size=(40, 333)),  # bidiagonalised transpose
    np.column_stack([np.random.default_rng(10).normal(size=(200, 30))] * 2 + [np.zeros((200, 3))]),
    np.column_stack([np.random.default_rng(11).normal(size=(20, 30))] * 2 + [np.zeros((20, 3))]),
])
def test_ols_matches_lstsq_minimum_norm(X):
    y = np.random.default_rng(2).normal(size=X.shape[0])
    got = q.ols(X, y)
    assert got.shape == (X.shape[1],)
    np.testing.assert_allclose(got, np.linalg.lstsq(X, y, rcond=None)[0], rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("shape", [(300, 60), (60, 300), (40, 40)])
@pytest.mark.parametrize("cond", [1e3, 1e8, 1e12, 1e15, 1e17])
def test_ols_ill_conditioned_agrees_with_lstsq_to_cond_eps(shape, cond):
    rng = np.random.default_rng(12)
    n, p = shape
    k = min(shape)
    U = np.linalg.qr(rng.standard_normal((n, k)))[0]
    V = np.linalg.qr(rng.standard_normal((p, k)))[0]
    X = (U * np.logspace(0, -np.log10(cond), k)) @ V.T
    y = X @ rng.standard_normal(p)
    got, expected = q.ols(X, y), np.linalg.lstsq(X, y, rcond=None)[0]
    eps = np.finfo(float).eps
    assert np.linalg.norm(got - expected) <= cond * eps * np.linalg.norm(expected)
    assert np.linalg.norm(X @ got - y) <= 1e-12 * np.linalg.norm(y)


def bidiagonal(d, e):
    return np.diag(d) + np.diag(e, 1)


GRADED = np.logspace(0, -12, 40)
STRUCTURED = {
    "graded down": bidiagonal(GRADED, GRADED[1:]),
    "graded up": bidiagonal(GRADED[::-1], GRADED[::-1][1:]),
    "zero on the diagonal": bidiagonal(np.r_[np.ones(20), 0.0, np.ones(19)], np.full(39, 0.5)),
    "diagonal with zeros": np.diag(np.r_[np.arange(1.0, 31.0), np.zeros(10)]),
    "identity twice": np.vstack([np.eye(30), np.eye(30)]),
    "orthonormal rows": np.linalg.qr(np.random.default_rng(0).normal(size=(60, 20)))[0].T.copy(),
}


@pytest.mark.parametrize("X", STRUCTURED.values(), ids=STRUCTURED.keys())
def test_ols_structured_matrices_agree_with_lstsq(X):
    # Bidiagonal input, exact zeros and repeated singular values: the QR
    # iteration's splitting, zero shift and convergence tests.
    y = X @ np.random.default_rng(1).normal(size=X.shape[1])
    got, expected = q.ols(X, y), np.linalg.lstsq(X, y, rcond=None)[0]
    s = np.linalg.svd(X, compute_uv=False)
    eps = np.finfo(float).eps
    cond = s[0] / s[s > s[0] * max(X.shape) * eps][-1]
    assert np.linalg.norm(got - expected) <= 10 * cond * eps * np.linalg.norm(expected)
    assert np.linalg.norm(X @ got - y) <= 1e-12 * np.linalg.norm(y)


@pytest.mark.parametrize("shape", [(20, 30), (5, 8), (100, 8), (100, 20), (3000, 40)])
@pytest.mark.parametrize("x_scale,y_scale", [(1e-200, 1.0), (1e200, 1.0), (1e-300, 1e-300),
                                             (1.0, 1e300)])
def test_ols_of_extreme_scale(shape, x_scale, y_scale):
    # Squares of such entries overflow or vanish unless the matrix is scaled:
    # wide, and tall through Eigen's QR or through the row folds.
    rng = np.random.default_rng(13)
    X, y = rng.normal(size=shape), rng.normal(size=shape[0])
    np.testing.assert_allclose(q.ols(X * x_scale, y * y_scale) * (x_scale / y_scale),
                               np.linalg.lstsq(X, y, rcond=None)[0], rtol=1e-10)


@pytest.mark.parametrize("s_over_eps,kept", [(2.5, False), (3.0, True), (3.5, True)])
def test_ols_cutoff_uses_the_larger_dimension(s_over_eps, kept):
    # 3 x 2 with singular values 1 and s: cut-off 3 eps, as numpy's
    s = s_over_eps * np.finfo(float).eps
    X = np.array([[1.0, 0.0], [0.0, s], [0.0, 0.0]])
    beta = q.ols(X, [1.0, 1.0, 1.0])
    assert beta[0] == 1.0
    assert beta[1] == (1.0 / s if kept else 0.0)


@pytest.mark.parametrize("ratio", [0.5, 2.0, 1e3])
def test_ols_tall_keeps_a_direction_only_above_the_cutoff(ratio):
    # 400 x 20 whose smallest singular value is `ratio` times the cut-off:
    # dropped below it; kept above it, near it through the SVD of the
    # triangular factor, far from it by substitution.
    rng = np.random.default_rng(5)
    n, p = 400, 20
    eps = np.finfo(float).eps
    U = np.linalg.qr(rng.standard_normal((n, p)))[0]
    V = np.linalg.qr(rng.standard_normal((p, p)))[0]
    s = np.ones(p)
    s[-1] = ratio * n * eps
    X, y = (U * s) @ V.T, rng.standard_normal(n)
    got, expected = q.ols(X, y), np.linalg.lstsq(X, y, rcond=None)[0]
    assert np.linalg.norm(got - expected) <= 10 * np.linalg.norm(expected) * eps / s[-1]
    assert (abs(V[:, -1] @ got) > 1e8) == (ratio > 1.0)


@pytest.mark.parametrize("n", [1, 4097, 3 * 32768 + 123])
def test_one_column_fit_sums_in_block_order(n):
    # Blocks of 4096 rows, each summed in row order, then added in order: the
    # fit's sums whichever way the blocks are shared among lanes and threads.
    rng = np.random.default_rng(n)
    x = rng.standard_normal(n) * 10.0 ** rng.integers(-8, 8, n)
    y = rng.standard_normal(n)

    def in_blocks(v):
        total = 0.0
        for start in range(0, n, 4096):
            total += np.cumsum(v[start:start + 4096])[-1]
        return total

    beta = q.fit_regularized_linear(x[:, None], y, ridge=0.0)
    assert beta[0] == in_blocks(x * y) / in_blocks(x * x)


# Many row blocks for each fit.
FIT_SCRIPT = """
import numpy as np, qorv_core
rng = np.random.default_rng(1)
Phi = rng.standard_normal((20000, 60))
y = rng.standard_normal(20000)
print(qorv_core.fit_regularized_linear(Phi, y, np.eye(60), None, 0.1).tobytes().hex(),
      qorv_core.ols(Phi, y).tobytes().hex())
"""


@pytest.fixture(scope="module")
def fits_on_one_thread():
    return run_with_threads(FIT_SCRIPT, 1)


@pytest.mark.parametrize("threads", [2, 4])
def test_fits_do_not_depend_on_thread_count(fits_on_one_thread, threads):
    assert len(fits_on_one_thread) > 1000
    assert run_with_threads(FIT_SCRIPT, threads) == fits_on_one_thread


# Threads the process gains during a fit of the given shape.
NEW_THREADS_SCRIPT = """
import os, numpy as np, qorv_core
X = np.random.default_rng(0).standard_normal(({n}, {p}))
before = len(os.listdir("/proc/self/task"))
qorv_core.fit_regularized_linear(X, X[:, 0].copy())
print(len(os.listdir("/proc/self/task")) - before)
"""


# Threads a fit may start with two asked for: on a busy machine, one more
# that only waits beside the worker.
@pytest.mark.parametrize("n,p,threads", [(300, 3, {0}), (2000, 20, {0}), (400_000, 4, {1, 2})])
def test_small_fits_stay_on_the_calling_thread(n, p, threads):
    out = run_with_threads(NEW_THREADS_SCRIPT.format(n=n, p=p), 2)
    assert int(out) in threads


# A float64 array is read in place whatever its strides; other dtypes and
# byte orders are copied. All must give the same bits.
@pytest.mark.parametrize("convert", [
    np.asfortranarray,
    lambda X: np.repeat(X, 2, axis=1)[:, ::2],
    lambda X: X.astype(">f8"),
    lambda X: X.tolist(),
    lambda X: X.astype(np.float32).astype(np.float64),
])
@pytest.mark.parametrize("fit", [q.ols, q.fit_regularized_linear])
def test_fits_read_every_layout_alike(convert, fit):
    X = np.random.default_rng(5).normal(size=(700, 9)).astype(np.float32).astype(np.float64)
    y = np.arange(700.0)
    np.testing.assert_array_equal(fit(convert(X), y), fit(X, y))


@pytest.mark.parametrize("fit", [q.ols, q.fit_regularized_linear])
def test_fits_read_a_column_as_one_column_matrix(fit):
    x = np.linspace(1.0, 2.0, 50)
    y = 3.0 * x
    expected = fit(x[:, None].copy(order="F"), y.tolist())
    for X, target in ((x, y), (x[:, None], y[:, None]), (x, y[::-1].copy()[::-1])):
        np.testing.assert_array_equal(fit(X, target), expected)


# Broadcast arrays step 0 bytes along a dimension; they must read as the same
# values laid out afresh.
BROADCAST = {
    "rows": lambda rng, n, p: np.broadcast_to(rng.normal(size=p), (n, p)),
    "columns": lambda rng, n, p: np.broadcast_to(rng.normal(size=(n, 1)), (n, p)),
    "scalar": lambda rng, n, p: np.broadcast_to(rng.normal(), (n, p)),
    "one row": lambda rng, n, p: np.broadcast_to(rng.normal(size=(1, p)), (1, p)),
}


@pytest.mark.parametrize("make", BROADCAST.values(), ids=BROADCAST.keys())
@pytest.mark.parametrize("y_shape", [(), (1,)])
@pytest.mark.parametrize("fit", [q.ols, q.fit_regularized_linear])
def test_fits_read_broadcast_arrays_as_fresh_copies(make, y_shape, fit):
    rng = np.random.default_rng(7)
    X = make(rng, 300, 4)
    n = X.shape[0]
    for y in (np.broadcast_to(2.5, (n, *y_shape)), rng.normal(size=(n, *y_shape))):
        np.testing.assert_array_equal(fit(X, y),
                                      fit(np.ascontiguousarray(X), np.ascontiguousarray(y)))


def test_a_long_broadcast_matrix_fits_in_a_child_interpreter():
    # Read in place, the rows past the first lay beyond the array's memory.
    script = """
import numpy as np, qorv_core as q
X = np.broadcast_to(np.array([1.0, 2.0, 3.0]), (2_000_000, 3))
y = np.arange(2_000_000.0)
for fit in (q.ols, q.fit_regularized_linear):
    print(fit(X, y).tobytes() == fit(np.ascontiguousarray(X), y).tobytes())
"""
    out = run_with_threads(script, 2, check=False)
    assert out.returncode == 0 and out.stdout.split() == ["True", "True"], out.stderr


@pytest.mark.parametrize("y", [np.ones((1, 3)), np.ones((3, 2)), np.ones((3, 1, 1))])
@pytest.mark.parametrize("fit", [q.ols, q.fit_regularized_linear])
def test_fits_reject_targets_that_are_not_vectors(y, fit):
    with pytest.raises(TypeError, match=r"(?s)incompatible function arguments.*\[m, 1\]"):
        fit(np.ones((3, 1)), y)


@pytest.mark.parametrize("X", [np.float64(1.0), np.ones((3, 1, 1)), [["a"], ["b"], ["c"]]])
@pytest.mark.parametrize("fit", [q.ols, q.fit_regularized_linear])
def test_fits_reject_unconvertible_matrices(X, fit):
    with pytest.raises(TypeError, match=r"(?s)incompatible function arguments.*\[m, n\]"):
        fit(X, np.ones(3))


PEAK_SCRIPT = """
import resource, numpy as np, qorv_core
X = np.random.default_rng(0).normal(size=(400000, 10)).copy(order="{order}")
y = X[:, 0].copy()
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
qorv_core.ols(X, y)
qorv_core.fit_regularized_linear(X, y)
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024 / X.nbytes)
"""


@pytest.mark.parametrize("order", ["C", "F"])
def test_fits_do_not_copy_a_float64_matrix(order):
    assert float(run_with_threads(PEAK_SCRIPT.format(order=order), 2)) < 0.1  # y alone is 0.1


@pytest.mark.parametrize("shape", [(5, 3), (3, 5), (20, 20), (40, 17), (17, 40)])
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_ols_non_finite_entry_gives_nan(shape, bad):
    # Small and large shapes take different SVD paths; both used to read the
    # singular values that Eigen leaves unset for such input.
    X = np.random.default_rng(3).normal(size=shape)
    X[shape[0] // 2, shape[1] - 1] = bad
    beta = q.ols(X, np.ones(shape[0]))
    assert beta.shape == (shape[1],)
    assert np.isnan(beta).all()
