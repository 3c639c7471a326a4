import numpy as np
import pytest

import _qorv_runtime as rt
from conftest import run_with_threads
from qorv._estimators import _permutation_prefix

RNG = np.random.default_rng(0)
BASE = RNG.normal(size=(2 * 37, 5))


@pytest.mark.parametrize("layout", ["C", "F", "every other row, columns reversed"])
def test_weighted_rows_are_the_nonzero_rows_times_root_weights(layout):
    Phi = {"C": np.ascontiguousarray(BASE[:37]), "F": np.asfortranarray(BASE[:37]),
           "every other row, columns reversed": BASE[::2, ::-1]}[layout]
    y, a = RNG.normal(size=37), RNG.random(37)
    a[[0, 5, 6, 36]] = 0.0
    Phi_out, y_out = np.full((37, 5), np.nan), np.full(37, np.nan)
    m = rt.weighted_rows(Phi, y, a, Phi_out, y_out)
    keep, root = a != 0, np.sqrt(a)
    assert m == keep.sum()
    np.testing.assert_array_equal(Phi_out[:m], (Phi * root[:, None])[keep])
    np.testing.assert_array_equal(y_out[:m], (y * root)[keep])


# Rows in blocks of the bisquare pass: one, and several with a short last
# block whose last row is dropped (it must not overwrite the next block's).
BLOCK = 8192


# Column counts of a polynomial in one feature have loops of their own.
@pytest.mark.parametrize("spread, n, cols, order", [
    (False, 37, 5, "F"), (True, 37, 5, "F"), (False, 37, 8, "C"), (True, 37, 1, "C"),
    (False, 3 * BLOCK + 37, 4, "F"), (True, 2 * BLOCK + 3, 9, "C")])
def test_bisquare_pass_writes_the_rows_of_its_weights(spread, n, cols, order):
    Phi = np.asarray(RNG.normal(size=(n, cols)), order=order)
    y, w = 2 * RNG.normal(size=n), RNG.random(n)
    y[BLOCK - 1::BLOCK] = 100.0
    beta = RNG.normal(size=cols) / cols
    g = np.exp(RNG.normal(size=n)) if spread else np.ones(n)
    inverse = 1.0 / (4.685 * g) if spread else np.broadcast_to(1.0 / 4.685, n)
    out = np.full((n, cols), np.nan), np.full(n, np.nan)
    m, complement = rt.bisquare_rows(Phi, y, beta, w, inverse, g**2, *out)
    v = 1 - np.minimum(np.abs(y - Phi @ beta) * inverse, 1.0) ** 2
    a = w * v**2
    assert 0 < m == (a != 0).sum() < n
    np.testing.assert_allclose(complement, (a * g**2) @ v, rtol=1e-13)
    # NumPy sums Phi @ beta in an order of its own
    np.testing.assert_allclose(out[0][:m], (Phi * np.sqrt(a)[:, None])[a != 0], rtol=1e-13,
                               atol=1e-13)
    np.testing.assert_allclose(out[1][:m], (y * np.sqrt(a))[a != 0], rtol=1e-13, atol=1e-13)


BISQUARE_SCRIPT = """
import hashlib
import numpy as np
import _qorv_runtime as rt
rng = np.random.default_rng(1)
n = 5 * 8192 + 11
Phi, y = np.asfortranarray(rng.normal(size=(n, 4))), rng.normal(size=n)
out = np.empty((n, 4)), np.empty(n)
m, complement = rt.bisquare_rows(Phi, y, np.full(4, 0.1), np.ones(n), np.full(n, 0.5),
                                 np.ones(n), *out)
print(m, complement.hex(), hashlib.sha256(out[0][:m].tobytes() + out[1][:m].tobytes()).hexdigest())
print(hashlib.sha256(rt.fitted_values(Phi, np.arange(4.0) - 1.3).tobytes()).hexdigest())
"""


def test_bisquare_pass_and_fitted_values_are_the_same_on_any_number_of_threads():
    assert len({run_with_threads(BISQUARE_SCRIPT, t) for t in (1, 2, 4)}) == 1


@pytest.mark.parametrize("values", [
    np.array([3.0]), np.array([2.0, -1.0]), RNG.normal(size=2049), RNG.normal(size=100_000),
    np.sort(RNG.normal(size=5000)), RNG.integers(0, 3, 4001).astype(float),
    np.r_[RNG.normal(size=3000), np.full(2000, np.nan)], np.r_[np.full(3000, np.inf), 1.0, 2.0],
    np.tile([0.0, 1.0, 5.0], 2000), RNG.standard_cauchy(9999),
    # more than the band's room holds: every value selected from (its own
    # generator, so that the draws of the tests above stay as they were)
    np.random.default_rng(1).permutation(np.r_[np.zeros(60_000), np.arange(40_000.0)])])
def test_middle_values_are_numpys_partition(values):
    n = len(values)
    middle = np.partition(values, [(n - 1) // 2, n // 2])
    assert np.array_equal(rt.middle_values(values), middle[[(n - 1) // 2, n // 2]],
                          equal_nan=True)


def test_scale_sums_match_numpy():
    r, w = 3 * RNG.normal(size=1001), RNG.random(1001)

    def rho_sum(s):
        u = np.minimum(np.abs(r) / (s * 1.5), 1.0)
        return w @ (1 - (1 - u**2) ** 3)
    target = w.sum() / 2
    # one step from 4.7, then the fixed point within its tolerance
    np.testing.assert_allclose(rt.bisquare_scale(r, w, 4.7, target, 1.5, 0.0, 1),
                               4.7 * np.sqrt(rho_sum(4.7) / target), rtol=1e-13)
    s = rt.bisquare_scale(r, w, 4.7, target, 1.5, 1e-9, 200)
    np.testing.assert_allclose(rho_sum(s), target, rtol=1e-7)
    assert rt.bisquare_scale(np.zeros(1001), w, 4.7, target, 1.5, 1e-9, 200) == 0.0
    a, inside = np.abs(r), np.abs(r) <= 2.5
    np.testing.assert_allclose(rt.window_sums(a, w, 2.5), (w @ inside, (w * inside) @ a**2),
                               rtol=1e-13)


@pytest.mark.parametrize("args, message", [
    ((np.ones((4, 2)), np.ones(3), np.ones(4), np.empty((4, 2)), np.empty(4)),
     "y has 3 entries but must have 4"),
    ((np.ones(4), np.ones(4), np.ones(4), np.empty((4, 1)), np.empty(4)),
     "Phi has 1 dimensions but must have 2"),
    ((np.ones((4, 2)), np.ones(4), np.ones(4), np.empty((2, 4)).T, np.empty(4)),
     "Phi_out must be a C-ordered float64 array"),
    ((np.ones((4, 2)), np.ones(4), np.ones(4), np.empty((4, 3)), np.empty(4)),
     "Phi_out is 4 x 3 but must be 4 x 2"),
    ((np.ones((4, 2)), np.ones(4), np.ones(4), np.empty((4, 2)), np.empty(5)),
     "y_out has 5 entries but must have 4"),
    ((np.ones((4, 2)), np.ones(4), np.ones(8)[::2], np.empty((4, 2)), np.empty(4)),
     "a must be contiguous"),
])
def test_weighted_rows_names_the_bad_argument(args, message):
    with pytest.raises(ValueError, match=message):
        rt.weighted_rows(*args)


# a generator of their own, so that the draws of the other tests stay as they were
PRODUCTS_RNG = np.random.default_rng(2)


@pytest.mark.parametrize("Phi", [
    PRODUCTS_RNG.normal(size=(20001, 3)), np.asfortranarray(PRODUCTS_RNG.normal(size=(999, 7))),
    PRODUCTS_RNG.normal(size=(301, 10))[::2, 1::3], np.empty((0, 2))])
def test_fitted_values_and_dot_are_numpys_products(Phi):
    beta = PRODUCTS_RNG.normal(size=Phi.shape[1])
    fitted = rt.fitted_values(Phi, beta)
    np.testing.assert_allclose(fitted, Phi @ beta, rtol=1e-12, atol=1e-12)
    # booleans count as 0 and 1
    assert rt.dot(fitted, fitted > 0) == pytest.approx(fitted[fitted > 0].sum(), rel=1e-12)


@pytest.mark.parametrize("call, message", [
    (lambda: rt.fitted_values(np.ones((4, 2)), np.ones(3)), "beta has 3 entries but must have 2"),
    (lambda: rt.fitted_values(np.ones(4), np.ones(1)), "Phi has 1 dimensions but must have 2"),
    (lambda: rt.dot(np.ones(4), np.ones(5)), "b has 5 entries but must have 4"),
    (lambda: rt.dot(np.ones(4), np.float64(1.0)), "b has 0 dimensions but must have 1"),
])
def test_products_name_the_bad_argument(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_middle_values_of_nothing_is_an_error():
    with pytest.raises(ValueError, match="values is empty"):
        rt.middle_values(np.empty(0))


# Sizes across the generator's regeneration of its 624 words, from a state
# part-way through them with a spare normal deviate kept.
@pytest.mark.parametrize("bit_generator", ["MT19937", "PCG64"])
@pytest.mark.parametrize("n, m", [(1, 1), (2, 1), (1000, 0), (1249, 7), (100_000, 1000)])
def test_permutation_prefix_is_randomstates_and_advances_it_alike(bit_generator, n, m):
    def made():
        rng = np.random.RandomState(getattr(np.random, bit_generator)(n))
        rng.standard_normal(n % 5 + 1)
        return rng
    ours, theirs = made(), made()
    np.testing.assert_array_equal(_permutation_prefix(ours, n, m), theirs.permutation(n)[:m])
    np.testing.assert_array_equal(ours.standard_normal(3), theirs.standard_normal(3))


@pytest.mark.parametrize("key, pos, n, m, message", [
    (np.zeros(624, dtype=np.int64), 0, 5, 2, "key must be a writable, contiguous uint32 array"),
    (np.zeros(623, dtype=np.uint32), 0, 5, 2, "key must be .* of 624 words"),
    (np.zeros(624, dtype=np.uint32), 625, 5, 2, "pos is 625 but must be from 0 to 624"),
    (np.zeros(624, dtype=np.uint32), 0, 5, 6, "m is 6 and n is 5 but they must satisfy"),
    (np.zeros(624, dtype=np.uint32), 0, 2**32 + 1, 2, "m is 2 and n is 4294967297"),
])
def test_permutation_prefix_names_the_bad_argument(key, pos, n, m, message):
    with pytest.raises(ValueError, match=message):
        rt.permutation_prefix(key, pos, n, m)


def test_bisquare_pass_takes_one_number_for_every_row():
    rng = np.random.default_rng(2)
    Phi, y, w = rng.normal(size=(50, 3)), rng.normal(size=50), rng.random(50)
    outs = [(np.empty((50, 3)), np.empty(50)) for _ in range(2)]
    rows = rt.bisquare_rows(Phi, y, np.full(3, 0.2), w, np.full(50, 0.7), np.full(50, 2.0),
                            *outs[0])
    assert rt.bisquare_rows(Phi, y, np.full(3, 0.2), w, 0.7, 2.0, *outs[1]) == rows
    np.testing.assert_array_equal(outs[1][0][:rows[0]], outs[0][0][:rows[0]])
