import pickle
from importlib.metadata import PackageNotFoundError, version

import numpy as np
import pytest

import qorv_core as q

pytest.importorskip("sklearn")
from sklearn.base import clone  # noqa: E402

import qorv  # noqa: E402
from qorv import PenalizedPolynomialRegressor, RobustPolynomialRegressor  # noqa: E402
from qorv._basis import design_matrix, penalty_matrices, total_degree_powers  # noqa: E402

STACK_COEF = np.array([-40.0, 0.7, 1.3, -0.15])  # intercept, then one per feature


def stack_like(n=200, seed=0):
    """Raw-unit linear data (features of order 10-100, intercept -40), 20 % outliers."""
    rng = np.random.default_rng(seed)
    X = rng.uniform([50, 17, 72], [80, 27, 93], size=(n, 3))
    y = STACK_COEF[0] + X @ STACK_COEF[1:] + 0.3 * rng.normal(size=n)
    outliers = rng.random(n) < 0.2
    y[outliers] += rng.uniform(8, 20, outliers.sum())
    return X, y, outliers


def cubic_with_outliers(share, n=400, seed=1):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-2, 3, n)
    y = 1 - 0.5 * x + 0.3 * x**2 - 0.2 * x**3 + 0.02 * rng.normal(size=n)
    outliers = np.zeros(n, dtype=bool)
    outliers[rng.permutation(n)[:int(share * n)]] = True
    y[outliers] += rng.uniform(3, 10, outliers.sum())  # one-sided
    return x[:, None], y, outliers


def test_version_from_distribution_metadata():
    try:
        expected = version("qorv-core")
    except PackageNotFoundError:
        expected = "0+unknown"
    assert qorv.__version__ == expected


def test_raw_units_fit_as_well_as_prescaled():
    X, y, _ = stack_like()
    truth = STACK_COEF[0] + X @ STACK_COEF[1:]
    raw = RobustPolynomialRegressor(degree=1, random_state=0).fit(X, y)
    mu, sd = X.mean(axis=0), X.std(axis=0)
    scaled = RobustPolynomialRegressor(degree=1, random_state=0).fit((X - mu) / sd, y / 10)
    err_raw = np.abs(raw.predict(X) - truth).max()
    err_scaled = np.abs(10 * scaled.predict((X - mu) / sd) - truth).max()
    assert err_raw < 0.5 and err_scaled < 0.5
    assert err_raw < 1.5 * err_scaled
    # coef_ are in raw units, constant first
    assert raw.powers_.tolist() == [[0, 0, 0], [0, 0, 1], [0, 1, 0], [1, 0, 0]]
    np.testing.assert_allclose(raw.coef_[[0, 3, 2, 1]], STACK_COEF, atol=0.5)


@pytest.mark.parametrize("share", [0.2, 0.4])
@pytest.mark.parametrize("max_search_samples", [None, 150])
def test_inlier_mask_recovers_injected_outliers(share, max_search_samples):
    X, y, outliers = cubic_with_outliers(share)
    est = RobustPolynomialRegressor(max_search_samples=max_search_samples, random_state=3)
    est.fit(X, y)
    # every outlier, and the share of Gaussian noise beyond 2.5 sd (1.2 %)
    assert not est.inlier_mask_[outliers].any()
    assert np.mean(~est.inlier_mask_[~outliers]) < 0.03
    np.testing.assert_allclose(est.coef_, [1, -0.5, 0.3, -0.2], atol=0.01)


def test_coef_in_raw_units_reproduce_predict():
    rng = np.random.default_rng(2)
    X = rng.uniform([-3, 100], [5, 300], size=(60, 2))
    y = X[:, 0] ** 2 - 0.01 * X[:, 1] + X[:, 0] * X[:, 1] / 100 + rng.normal(size=60)
    for est in (PenalizedPolynomialRegressor(degree=3), RobustPolynomialRegressor(random_state=0)):
        est.fit(X, y)
        np.testing.assert_allclose(design_matrix(est.powers_, X) @ est.coef_, est.predict(X),
                                   rtol=1e-8, atol=1e-8 * np.abs(y).max())


@pytest.mark.parametrize("make", [
    lambda: RobustPolynomialRegressor(random_state=7, max_search_samples=100),
    lambda: PenalizedPolynomialRegressor(degree=2, gamma1=1e-3),
])
def test_pickle_clone_and_random_state_give_identical_predictions(make):
    X, y, _ = cubic_with_outliers(0.2, n=300)
    est = make().fit(X, y)
    grid = np.linspace(-2, 3, 50)[:, None]
    again = pickle.loads(pickle.dumps(est))
    np.testing.assert_array_equal(again.predict(grid), est.predict(grid))
    np.testing.assert_array_equal(clone(est).fit(X, y).predict(grid), est.predict(grid))
    np.testing.assert_array_equal(make().fit(X, y).predict(grid), est.predict(grid))


def test_total_degree_basis_size_and_columns():
    powers = total_degree_powers(10, 3)
    assert len(powers) == 286 and powers.sum(axis=1).max() == 3
    assert len({tuple(p) for p in powers}) == 286
    X = np.random.default_rng(0).uniform(-1, 1, (5, 3))
    small = total_degree_powers(3, 2)
    np.testing.assert_allclose(design_matrix(small, X),
                               q.design_matrix_nd(small.tolist(), list(X.T)), rtol=1e-15)


@pytest.mark.parametrize("D,degree,bounds,n", [
    (1, 3, [(-1.0, 1.0)], 600),
    (2, 3, [(-1.0, 1.0), (0.0, 2.0)], 30),
    (3, 2, [(-1.0, 1.0), (-1.0, 1.0), (0.5, 2.0)], 12),
])
def test_penalties_are_tensor_product_submatrices(D, degree, bounds, n):
    powers = total_degree_powers(D, degree)
    R1, R2, mi = q.build_penalty_matrices_nd([degree] * D, bounds, n)
    idx = [mi.index(list(p)) for p in powers]
    assert idx == sorted(idx)  # same order as the tensor-product basis
    got1, got2 = penalty_matrices(powers, degree, bounds, n)
    np.testing.assert_allclose(got1, R1[np.ix_(idx, idx)], rtol=1e-13, atol=1e-13 * R1.max())
    np.testing.assert_allclose(got2, R2[np.ix_(idx, idx)], rtol=1e-13, atol=1e-13 * R2.max())


@pytest.mark.parametrize("est,message", [
    (PenalizedPolynomialRegressor(degree=-1), "degree must be an int >= 0, got -1"),
    (PenalizedPolynomialRegressor(gamma2=np.nan), "gamma2 must be a finite float >= 0"),
    (RobustPolynomialRegressor(n_chains=0), "n_chains must be an int >= 1, got 0"),
    (RobustPolynomialRegressor(max_search_samples=1.5), "max_search_samples must be an int"),
])
def test_bad_parameters_raise_at_fit(est, message):
    with pytest.raises(ValueError, match=message):
        est.fit(np.arange(6.0)[:, None], np.arange(6.0))


def test_target_with_zero_mad_keeps_the_constant_majority():
    # more than half of y equal: the tolerance falls back to the score's 0.4
    X = np.arange(20.0)[:, None]
    y = np.zeros(20)
    y[:3] = [1.0, 2.0, 3.0]
    est = RobustPolynomialRegressor(degree=1, random_state=0).fit(X, y)
    np.testing.assert_array_equal(est.inlier_mask_, np.arange(20) >= 3)
    np.testing.assert_allclose(est.predict(X), 0.0, atol=1e-9)


def test_int_random_state_is_the_seed_of_the_search_on_scaled_data():
    X, y, _ = cubic_with_outliers(0.2, n=120)
    est = RobustPolynomialRegressor(refit=False, n_deep=300, random_state=11).fit(X, y)
    Phi = design_matrix(est.powers_, X * est.x_scale_ + est.x_shift_)
    assert [Phi[:, 1].min(), Phi[:, 1].max()] == pytest.approx([-1.0, 1.0], abs=1e-15)
    ys = (y - est.y_shift_) / est.y_scale_
    result = q.TournamentMCMC(n_deep=300, seed=11).fit(Phi, ys)
    assert est.energy_ == result.energy
    np.testing.assert_array_equal(est.inlier_mask_, np.abs(Phi @ result.beta_mcmc - ys)
                                  <= 2.5 * est.scale_ / est.y_scale_)
