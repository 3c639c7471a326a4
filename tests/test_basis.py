import itertools
import math
import os

import numpy as np
import pytest

import qorv_core as q
from conftest import TESTS, run_with_threads
from qorv._basis import design_matrix, penalty_matrices, total_degree_powers


def deriv(x, p, order):
    """order-th derivative of x**p, evaluated independently of the module."""
    if p < order:
        return np.zeros_like(x)
    return math.perm(p, order) * x ** (p - order)


def reference_nd(degrees, bounds, n):
    """Grid sums of squared gradients and Hessians, built point by point."""
    mis = [list(e) for e in itertools.product(*(range(d + 1) for d in degrees))]
    pts = np.array(list(itertools.product(*(np.linspace(lo, hi, n) for lo, hi in bounds))))
    dV = np.prod([(hi - lo) / (n - 1) for lo, hi in bounds])
    D = len(degrees)

    def partial(orders):
        return np.column_stack(
            [np.prod([deriv(pts[:, d], e[d], orders[d]) for d in range(D)], axis=0) for e in mis])

    unit = np.eye(D, dtype=int)
    R1 = sum(dV * partial(unit[i]).T @ partial(unit[i]) for i in range(D))
    R2 = sum(dV * partial(unit[i] + unit[j]).T @ partial(unit[i] + unit[j])
             for i in range(D) for j in range(D))
    return R1, R2, mis


@pytest.mark.parametrize("deg,lo,hi,n,R1,R2", [
    (0, 0.0, 1.0, 600, [[0.0]], [[0.0]]),
    (1, 0.0, 1.0, 600, [[0, 0], [0, 600 / 599]], np.zeros((2, 2))),
    (2, 0.0, 1.0, 2, [[0, 0, 0], [0, 2, 2], [0, 2, 4]], [[0, 0, 0], [0, 0, 0], [0, 0, 8]]),
    (3, 0.5, 0.5, 50, np.zeros((4, 4)), np.zeros((4, 4))),
])
def test_penalties_1d_worked_values(deg, lo, hi, n, R1, R2):
    got1, got2 = q.smoothness_penalty_matrices_1d(deg, lo, hi, n)
    # 600 summed weights of 1/599 carry a few ulp of rounding
    np.testing.assert_allclose(got1, R1, rtol=1e-13, atol=0)
    np.testing.assert_allclose(got2, R2, rtol=1e-13, atol=0)


@pytest.mark.parametrize("lo,hi", [(-1.0, 2.0), (2.0, -1.0)])
def test_penalties_1d_default_grid_against_numpy(lo, hi):
    R1, R2 = q.smoothness_penalty_matrices_1d(deg=3, x_min=lo, x_max=hi)
    dx = (hi - lo) / 599
    x = lo + np.arange(600) * dx
    for got, order in ((R1, 1), (R2, 2)):
        d = np.column_stack([deriv(x, p, order) for p in range(4)])
        np.testing.assert_allclose(got, dx * d.T @ d, rtol=1e-12)
        np.testing.assert_array_equal(got, got.T)
        # semi-definite, negative on a reversed interval
        eig = np.linalg.eigvalsh(np.sign(dx) * got)
        assert eig.min() > -1e-12 * eig.max() and eig.max() > 0


@pytest.mark.parametrize("deg,n_grid,message", [
    (-1, 600, "deg < 0"), (2, 1, "n_grid < 2"), (2, 0, "n_grid < 2"), (-3, 1, "deg < 0")])
def test_penalties_1d_errors(deg, n_grid, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        q.smoothness_penalty_matrices_1d(deg, 0.0, 1.0, n_grid)


def test_boundary_reduce_worked_and_degenerate():
    np.testing.assert_array_equal(q.boundary_reduce_1d(2, 0.0, 1.0), np.diag([0.0, 0.0, 4.0]))
    np.testing.assert_array_equal(q.boundary_reduce_1d(0, 0.0, 1.0), [[0.0]])
    np.testing.assert_array_equal(q.boundary_reduce_1d(3, 1.5, 1.5), np.zeros((4, 4)))
    assert q.boundary_reduce_1d(-1, 0.0, 1.0).shape == (0, 0)
    with pytest.raises(MemoryError):
        q.boundary_reduce_1d(-2, 0.0, 1.0)


@pytest.mark.parametrize("deg,a,b", [(3, -1.0, 2.0), (5, 0.3, 1.7), (4, 2.0, -0.5)])
def test_boundary_reduce_is_the_boundary_term(deg, a, b):
    B = q.boundary_reduce_1d(deg, a, b)
    np.testing.assert_array_equal(B, B.T)
    rng = np.random.default_rng(deg)
    for beta in rng.normal(size=(5, deg + 1)):
        f1 = np.polynomial.Polynomial(beta).deriv(1)
        f2 = np.polynomial.Polynomial(beta).deriv(2)
        expected = f1(b) * f2(b) - f1(a) * f2(a)
        assert beta @ B @ beta == pytest.approx(expected, rel=1e-12, abs=1e-12)


def test_design_matrix_1d_values_and_shapes():
    x = np.array([-1.5, 0.0, 0.7, 3.0])
    np.testing.assert_array_equal(q.design_matrix_1d(5, x), np.vander(x, 6, increasing=True))
    np.testing.assert_array_equal(q.design_matrix_1d(3, [2.0]), [[1, 2, 4, 8]])
    np.testing.assert_array_equal(q.design_matrix_1d(0, x), np.ones((4, 1)))
    assert q.design_matrix_1d(2, []).shape == (0, 3)
    np.testing.assert_array_equal(q.design_matrix_1d(np.int64(2), x.reshape(4, 1)),
                                  q.design_matrix_1d(2, x))


@pytest.mark.parametrize("call,exc,match", [
    (lambda: q.design_matrix_1d(2.0, [1.0]), TypeError, "incompatible function arguments"),
    (lambda: q.design_matrix_1d(-1, [1.0]), ValueError, "deg is -1"),
    (lambda: q.design_matrix_nd([[0]], []), ValueError, "X_cols is empty"),
    (lambda: q.design_matrix_nd([[1, 1]], [[1, 2], [3]]), ValueError,
     r"X_cols\[1\] has 1 entries but X_cols\[0\] has 2"),
    (lambda: q.design_matrix_nd([[1, 1], [1]], [[1, 2], [3, 4]]), ValueError,
     r"multi_indices\[1\] has 1 entries but X_cols has 2"),
])
def test_design_matrix_bad_input(call, exc, match):
    with pytest.raises(exc, match=match):
        call()


def test_design_matrix_nd_values():
    got = q.design_matrix_nd([[0, 0], [1, 0], [0, 1], [2, 1]], ([2, 3], [5, 7]))
    np.testing.assert_array_equal(got, [[1, 2, 5, 20], [1, 3, 7, 63]])
    # zero and negative exponents add no factor (0**0 included); extra entries are ignored
    got = q.design_matrix_nd([[0, -2], [3, 0, 9]], [[0.0, 2.0], [0.0, 5.0]])
    np.testing.assert_array_equal(got, [[1, 0], [1, 8]])
    assert q.design_matrix_nd([], [[1.0, 2.0, 3.0]]).shape == (3, 0)
    # the first vector sets n; a longer later one is read up to n
    got = q.design_matrix_nd([[1, 1]], [[2.0, 3.0], [5.0, 7.0, 9.0]])
    np.testing.assert_array_equal(got, [[10.0], [21.0]])


@pytest.mark.parametrize("n", [2047, 2048, 4097, 6001])
def test_design_matrix_nd_rows_split_into_tasks(n):
    # Rows are formed in tasks of a few thousand: every row, the last odd one
    # included, must get its own inputs' powers.
    x = [np.linspace(-1.5, 2.0, n), np.linspace(3.0, -0.5, n)]
    mis = [[2, 0], [1, 3], [0, 1], [3, 2]]
    want = np.column_stack([x[0] ** a * x[1] ** b for a, b in mis])
    np.testing.assert_allclose(q.design_matrix_nd(mis, x), want, rtol=1e-15, atol=1e-300)


@pytest.mark.parametrize("degrees,bounds,n,R1,R2,mis", [
    ([], [], 30, [[0.0]], [[0.0]], [[]]),
    ([1], [(0, 1)], 3, [[0, 0], [0, 1.5]], np.zeros((2, 2)), [[0], [1]]),
    ([1, 1], [(0, 1), (0, 1)], 2,
     [[0, 0, 0, 0], [0, 4, 0, 2], [0, 0, 4, 2], [0, 2, 2, 4]], np.diag([0.0, 0, 0, 8]),
     [[0, 0], [0, 1], [1, 0], [1, 1]]),
    ([2, -1], [(0, 1), (0, 1)], 4, np.zeros((0, 0)), np.zeros((0, 0)), []),
    # 2**64 grid points, but one basis function
    ([0] * 64, [(0, 1)] * 64, 2, [[0.0]], [[0.0]], [[0] * 64]),
    # an empty basis needs no grid, however fine
    ([-1, 3], [(0, 1)] * 2, 2**31 - 1, np.zeros((0, 0)), np.zeros((0, 0)), []),
])
def test_penalties_nd_worked_values(degrees, bounds, n, R1, R2, mis):
    got1, got2, got_mis = q.build_penalty_matrices_nd(degrees, bounds, n)
    np.testing.assert_allclose(got1, R1, rtol=1e-15, atol=0)
    np.testing.assert_allclose(got2, R2, rtol=1e-15, atol=0)
    assert got_mis == mis


@pytest.mark.parametrize("degrees,bounds,n", [
    ([2, 2], [(-1.0, 1.0), (0.0, 5.0)], 30),
    ([1, 2, 3], [(0.0, 1.0), (-2.0, 0.5), (1.0, 0.0)], 5),
])
def test_penalties_nd_against_point_by_point_sums(degrees, bounds, n):
    R1, R2, mis = q.build_penalty_matrices_nd(degrees, bounds, n)
    ref1, ref2, ref_mis = reference_nd(degrees, bounds, n)
    assert mis == ref_mis
    scale = max(np.abs(ref2).max(), 1.0)
    np.testing.assert_allclose(R1, ref1, rtol=1e-11, atol=1e-12 * scale)
    np.testing.assert_allclose(R2, ref2, rtol=1e-11, atol=1e-12 * scale)
    for R in (R1, R2):
        np.testing.assert_array_equal(R, R.T)
        assert not R[0].any()


@pytest.mark.parametrize("degrees,bounds,n", [
    ([5], [(-2.0, 3.0)], 30),
    ([3, 1], [(0.5, -1.5), (0.0, 4.0)], 9),
    ([2, 0, 3], [(-1.0, 1.0), (2.0, 3.0), (0.0, 0.25)], 6),
    ([3, 3, 3], [(-1.0, 1.0), (0.0, 2.0), (-3.0, -1.0)], 12),
    ([1, 2, 2], [(1.0, 1.0), (0.0, 1.0), (-1.0, 0.0)], 4),
])
def test_penalties_nd_match_the_grid_sums(degrees, bounds, n):
    R1, R2, _ = q.build_penalty_matrices_nd(degrees, bounds, n)
    ref1, ref2, _ = reference_nd(degrees, bounds, n)
    for got, ref in ((R1, ref1), (R2, ref2)):
        np.testing.assert_allclose(got, ref, rtol=0, atol=1e-12 * np.abs(ref).max())
        np.testing.assert_array_equal(got, got.T)


def test_penalties_nd_five_dimensions_without_the_grid():
    # 30**5 grid points times 1024 basis functions would take 200 GB; the
    # quadratic forms of a product f = prod_d p_d(x_d) are products of 1-D sums.
    bounds = [(-1.0, 1.0), (0.0, 2.0), (-0.5, 0.5), (1.0, 3.0), (0.0, 1.0)]
    R1, R2, mis = q.build_penalty_matrices_nd([3] * 5, bounds, 30)
    assert R1.shape == R2.shape == (1024, 1024)
    exps = [1, 2, 0, 3, 1]
    beta = np.zeros(1024)
    beta[mis.index(exps)] = 1.0
    axis_sum = [[(hi - lo) / 29 * (deriv(np.linspace(lo, hi, 30), e, o) ** 2).sum()
                 for o in range(3)] for (lo, hi), e in zip(bounds, exps)]
    unit = np.eye(5, dtype=int)
    grad2 = sum(np.prod([axis_sum[d][o] for d, o in enumerate(unit[i])]) for i in range(5))
    hess2 = sum(np.prod([axis_sum[d][o] for d, o in enumerate(unit[i] + unit[j])])
                for i in range(5) for j in range(5))
    assert beta @ R1 @ beta == pytest.approx(grad2, rel=1e-12)
    assert beta @ R2 @ beta == pytest.approx(hess2, rel=1e-12)
    for R in (R1, R2):
        np.testing.assert_array_equal(R, R.T)
        assert not R[0].any()


@pytest.mark.parametrize("deg,lo,hi,n", [(3, -1.0, 2.0, 40), (4, 3.0, -0.5, 7), (2, 0.0, 1.0, 2)])
def test_penalties_nd_agree_with_1d(deg, lo, hi, n):
    R1, R2, _ = q.build_penalty_matrices_nd([deg], [(lo, hi)], n)
    ref1, ref2 = q.smoothness_penalty_matrices_1d(deg, lo, hi, n)
    np.testing.assert_allclose(R1, ref1, rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(R2, ref2, rtol=1e-12, atol=1e-12)


def test_design_columns_line_up_with_penalties():
    # f = 3 x0 x1^2 - x1, placed by looking its monomials up in the returned list
    bounds, n = [(0.0, 2.0), (-1.0, 1.0)], 9
    R1, R2, mis = q.build_penalty_matrices_nd([1, 2], bounds, n)
    beta = np.zeros(len(mis))
    beta[mis.index([1, 2])] = 3.0
    beta[mis.index([0, 1])] = -1.0
    g0, g1 = (a.ravel() for a in np.meshgrid(*(np.linspace(lo, hi, n) for lo, hi in bounds)))
    Phi = q.design_matrix_nd(mis, [g0, g1])
    np.testing.assert_allclose(Phi @ beta, 3 * g0 * g1**2 - g1, rtol=1e-14, atol=1e-14)
    dV = 2.0 / (n - 1) * 2.0 / (n - 1)
    grad2 = (3 * g1**2) ** 2 + (6 * g0 * g1 - 1) ** 2
    hess2 = (6 * g0) ** 2 + 2 * (6 * g1) ** 2
    assert beta @ R1 @ beta == pytest.approx(dV * grad2.sum(), rel=1e-12)
    assert beta @ R2 @ beta == pytest.approx(dV * hess2.sum(), rel=1e-12)


@pytest.mark.parametrize("degrees,bounds,n,exc,match", [
    ([2, 3], [(0, 1)], 30, ValueError, r"^Dimension mismatch\.$"),
    ([2, 3], [(0, 1)], 1, ValueError, r"^Dimension mismatch\.$"),
    ([2], [(0, 1)], 1, ValueError, "n_grid_per_dim is 1"),
    ([2], [(0, 1)], -4, ValueError, "n_grid_per_dim is -4"),
    ([2, -2], [(0, 1), (0, 1)], 3, MemoryError, None),
    ([1] * 40, [(0, 1)] * 40, 2, MemoryError, None),
    ([0] * 65, [(0, 1)] * 65, 2, ValueError, "^degrees has 65 entries but at most 64 "),
    ([0, 0], [(0, 1)] * 2, 2**31 - 1, MemoryError, None),
])
def test_penalties_nd_refusals(degrees, bounds, n, exc, match):
    with pytest.raises(exc, match=match):
        q.build_penalty_matrices_nd(degrees, bounds, n)


# Total-degree bases of many features, as qorv's estimators use them.


@pytest.mark.parametrize("D,degree", [(0, 3), (1, 0), (3, 0), (1, 4), (3, 3), (5, 2)])
def test_total_degree_powers_are_the_tensor_basis_up_to_the_degree(D, degree):
    tensor = itertools.product(range(degree + 1), repeat=D)
    want = [e for e in tensor if sum(e) <= degree]
    assert total_degree_powers(D, degree).tolist() == [list(e) for e in want]


def test_total_degree_powers_of_a_thousand_features():
    # The enumeration used to recurse once per feature.
    powers = total_degree_powers(1000, 1)
    np.testing.assert_array_equal(powers, np.vstack([np.zeros(1000), np.eye(1000)[::-1]]))


@pytest.mark.parametrize("D,degree", [(4, 3), (6, 2)])
def test_total_degree_penalties_are_tensor_product_submatrices(D, degree):
    bounds = [(-1.0, 1.0), (0.0, 2.5), (-3.0, -0.5)] * 2
    R1, R2, mi = q.build_penalty_matrices_nd([degree] * D, bounds[:D], 7)
    powers = total_degree_powers(D, degree)
    idx = [mi.index(list(p)) for p in powers]
    got1, got2 = penalty_matrices(powers, degree, bounds[:D], 7)
    for got, R in ((got1, R1), (got2, R2)):
        np.testing.assert_allclose(got, R[np.ix_(idx, idx)], rtol=1e-13, atol=0)
        np.testing.assert_array_equal(got, got.T)


def test_linear_penalties_of_many_features_in_small_memory():
    # degree 1: the gradient of x_i is the unit vector i, so R1 is diagonal,
    # each entry that of the 1-D penalty times the other axes' volume
    # weights, and R2 is zero. The penalties used to form a tensor of every
    # pair of monomials per feature (2.6 GB at 400 features).
    script = """
import resource, numpy as np, qorv_core as q
from qorv._basis import penalty_matrices, total_degree_powers
D, n = 400, 600
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
R1, R2 = penalty_matrices(total_degree_powers(D, 1), 1, [(-1.0, 1.0)] * D, n)
grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024
constant = 2.0 / (n - 1) * n
diagonal = q.smoothness_penalty_matrices_1d(1, -1.0, 1.0, n)[0][1, 1] * constant ** (D - 1)
np.testing.assert_allclose(R1, np.diag(np.r_[0.0, np.full(D, diagonal)]), rtol=1e-12, atol=0)
assert not R2.any()
print(grown < 3 * R1.nbytes + 100 * 2**20)
"""
    repo = os.path.dirname(TESTS)
    out = run_with_threads(f"import sys; sys.path.insert(0, {repo!r})\n" + script, 1)
    assert out.split() == ["True"]


BASES_BEYOND_MEMORY = {
    "powers": (lambda: total_degree_powers(1000, 3), "167668501 coefficients"),
    "design matrix": (lambda: design_matrix(total_degree_powers(10, 3),
                                            np.broadcast_to(0.0, (10**12, 10))),
                      "286 coefficients"),
    "penalties": (lambda: penalty_matrices(np.broadcast_to(np.int64(0), (10**6, 2)), 3,
                                           [(-1.0, 1.0)] * 2, 600),
                  "1000000 coefficients"),
}


@pytest.mark.parametrize("call,message", BASES_BEYOND_MEMORY.values(),
                         ids=BASES_BEYOND_MEMORY.keys())
def test_a_basis_too_large_for_memory_is_refused_before_any_work(call, message):
    with pytest.raises(MemoryError, match=rf"a basis of {message} is too large: .* need \d+ bytes"):
        call()
