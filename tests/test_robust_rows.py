import numpy as np
import pytest

import _qorv_runtime as rt

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


@pytest.mark.parametrize("spread", [False, True])
def test_bisquare_pass_writes_the_rows_of_its_weights(spread):
    Phi, y, w = np.asfortranarray(BASE[:37]), 2 * RNG.normal(size=37), RNG.random(37)
    beta = RNG.normal(size=5) / 5
    g = np.exp(RNG.normal(size=37)) if spread else np.ones(37)
    inverse = 1.0 / (4.685 * g) if spread else np.broadcast_to(1.0 / 4.685, 37)
    out = np.empty((37, 5)), np.empty(37)
    m, complement = rt.bisquare_rows(Phi, y, beta, w, inverse, g**2, *out)
    v = 1 - np.minimum(np.abs(y - Phi @ beta) * inverse, 1.0) ** 2
    a = w * v**2
    assert 0 < m == (a != 0).sum() < 37
    np.testing.assert_allclose(complement, (a * g**2) @ v, rtol=1e-13)
    np.testing.assert_allclose(out[0][:m], (Phi * np.sqrt(a)[:, None])[a != 0], rtol=1e-13)
    np.testing.assert_allclose(out[1][:m], (y * np.sqrt(a))[a != 0], rtol=1e-13)


def test_scale_sums_match_numpy():
    r, w = 3 * RNG.normal(size=1001), RNG.random(1001)
    inverse = 1 / 4.7
    u = np.minimum(np.abs(r) * inverse, 1.0)
    rho = 1 - (1 - u**2) ** 3
    np.testing.assert_allclose(rt.bisquare_rho_sum(r, w, inverse), w @ rho, rtol=1e-13)
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
