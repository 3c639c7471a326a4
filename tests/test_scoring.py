import math

import numpy as np
import pytest

import qorv_core as q

LN40 = math.log(40.0)


@pytest.mark.parametrize(
    "y, expected",
    [
        ([], 0.0),
        ([7.5], 0.0),
        ([1, 2, 3, 4], 1.0),
        ([1, 1, 2, 2, 4, 6, 9], 1.0),
        ([5, -1, 3], 2.0),
    ],
)
def test_mad_values(y, expected):
    assert q.mad(np.asarray(y, dtype=float)) == expected


@pytest.mark.parametrize("n", [1, 2, 5, 6, 101, 1000])
def test_mad_matches_numpy_median(n):
    y = np.random.default_rng(n).standard_normal(n)
    expected = np.median(np.abs(y - np.median(y)))
    assert q.mad(y) == expected


# Long inputs go through a histogram of the top bits of order-preserving keys
# and a selection in one bucket: ties, zeros of both signs, infinities, tiny
# and huge values, and middle values that straddle two buckets.
@pytest.mark.parametrize("n", [16384, 100001, 1 << 20])
@pytest.mark.parametrize("kind", ["normal", "ties", "zeros", "infinite", "scales", "halves"])
def test_long_mad_matches_numpy_median(n, kind):
    rng = np.random.default_rng(n)
    y = {"normal": lambda: rng.standard_normal(n),
         "ties": lambda: rng.integers(-3, 4, n).astype(float),
         "zeros": lambda: rng.choice([0.0, -0.0, 1.0, -1e-310], n),
         "infinite": lambda: rng.choice([np.inf, -np.inf, 0.0, 2.0, 3.0], n),
         "scales": lambda: rng.standard_normal(n) * 10.0 ** rng.integers(-300, 300, n),
         "halves": lambda: rng.permutation(np.r_[np.zeros(n // 2), 1.0 + rng.random(n - n // 2)]),
         }[kind]()
    expected = np.median(np.abs(y - np.median(y)))
    assert q.mad(y) == expected


def test_mad_leaves_caller_array_in_place():
    y = np.array([9.0, 1.0, 5.0, 3.0, 7.0])
    before = y.copy()
    q.mad(y)
    np.testing.assert_array_equal(y, before)


@pytest.mark.parametrize(
    "yp, yt, eps, expected",
    [
        ([1, 2, 3, 4], [1, 2, 3, 4], 0.1, 1.0),
        ([1, 2, 3, 4], [1, 2, 3, 4], 0.0, 0.125),
        ([1, 2, 3, 4], [1, 2, 3, 4], -1.0, 0.125),
        ([1.5, 2, 3, 4], [1, 2, 3, 4], 0.5, 0.75),  # a difference equal to eps misses
        ([np.nan, 2, 3, 4], [1, 2, 3, np.nan], 1.0, 0.5),
        ([0, 1, 2, 3, 99, 99], [0, 1, 2, 3], 0.5, 1.0),  # extra predictions ignored
        ([10, 10, 10, 10], [0, 1, 2, 3], 0.4, 0.125),
    ],
)
def test_compute_sr(yp, yt, eps, expected):
    assert q.compute_sr(np.asarray(yp, float), np.asarray(yt, float), eps) == expected


def test_compute_sr_empty_is_nan():
    assert math.isnan(q.compute_sr(np.array([]), np.array([]), 1.0))


def test_compute_sr_requires_eps():
    with pytest.raises(TypeError):
        q.compute_sr([1.0], [1.0])


@pytest.mark.parametrize("fn", [
    lambda: q.compute_sr([1.0, 2.0, 3.0], [1.0, 2.0, 3.0, 4.0], 0.5),
    lambda: q.mdl_score([1.0, 2.0, 3.0], [1.0, 2.0, 3.0, 4.0], 1),
])
def test_short_prediction_is_rejected(fn):
    with pytest.raises(ValueError, match="^yp has 3 entries but yt has 4$"):
        fn()


@pytest.mark.parametrize(
    "yp, yt, k, expected",
    [
        ([1, 2, 3, 4], [1, 2, 3, 4], 2, 3.688879454113936),
        ([0, 1, 2, 3, 10], [0, 1, 2, 3, 4], 1, 1.8534936473938357),
        ([0, 1, 2, 3, 10], [0, 1, 2, 3, 4], 0, 1.1157177565710485),
        ([0, 1, 2, 3, 10], [0, 1, 2, 3, 4], -3, 1.1157177565710485),
        ([10, 10, 10, 10], [0, 1, 2, 3], 3, 16.6177449384757),
    ],
)
def test_mdl_score_worked_values(yp, yt, k, expected):
    assert q.mdl_score(yp, yt, k) == pytest.approx(expected, rel=1e-15)


def test_mdl_score_all_hits_is_model_term():
    yt = np.linspace(0.0, 1.0, 7)
    assert q.mdl_score(yt, yt, 3, 5) == pytest.approx(9 * math.log(10.0) / 7, rel=1e-15)


def test_zero_mad_uses_absolute_tolerance():
    # More than half the truth is equal, so mad is 0; 0.3 off is still a hit.
    yt = np.array([1.0, 1.0, 1.0, 5.0])
    assert q.mdl_score(yt + 0.3, yt, 0) == 0.0
    assert q.mdl_score(yt + 0.5, yt, 0) == pytest.approx(4 * math.log(8.0), rel=1e-15)


def test_mdl_score_degenerate_resolution():
    yt = np.arange(4.0)
    assert q.mdl_score(yt, yt, 2, 0) == -math.inf
    assert math.isnan(q.mdl_score(yt, yt, 2, -1))
    assert math.isnan(q.mdl_score([], [], 2))


YP = np.array([0.0, 1, 2, 3, 10])
YT = np.array([0.0, 1, 2, 3, 4])
BETA = np.array([1.0, 2.0])


def test_mdl_score_reg_worked_value():
    got = q.mdl_score_reg(YP, YT, 1, 20, BETA, np.diag([2.0, 1.0]), np.eye(2), 0.5, 0.0)
    assert got == pytest.approx(4.853493647393836, rel=1e-15)


def test_mdl_score_reg_both_terms_add_in_order():
    R1, R2 = np.diag([2.0, 1.0]), np.array([[1.0, -1.0], [-1.0, 3.0]])
    got = q.mdl_score_reg(YP, YT, 1, 20, BETA, R1, R2, 0.5, 0.25)
    assert got == pytest.approx(1.8534936473938357 + 0.5 * 6 + 0.25 * 9, rel=1e-15)


def test_mdl_score_reg_without_weights_equals_mdl_score():
    R = np.full((2, 2), np.nan)
    assert q.mdl_score_reg(YP, YT, 1, 20, BETA, R, R) == q.mdl_score(YP, YT, 1)


def test_unweighted_matrix_is_never_read():
    # R2 would be both NaN and the wrong size, so reading it would show.
    bad = np.full((3, 3), np.nan)
    got = q.mdl_score_reg(YP, YT, 1, 20, BETA, np.eye(2), bad, gamma1=1.0)
    assert got == pytest.approx(1.8534936473938357 + 5.0, rel=1e-15)


def test_nan_weight_with_matrix_gives_nan():
    assert math.isnan(q.mdl_score_reg(YP, YT, 1, 20, BETA, np.eye(2), np.eye(2), math.nan))


@pytest.mark.parametrize(
    "R1, message",
    [
        (np.eye(3), "^R1 is 3 x 3 but beta has 2 entries$"),
        (np.ones((2, 3)), "^R1 is 2 x 3 but must be square$"),
    ],
)
def test_used_penalty_must_match_beta(R1, message):
    with pytest.raises(ValueError, match=message):
        q.mdl_score_reg(YP, YT, 1, 20, BETA, R1, np.eye(2), 1.0)


@pytest.mark.parametrize("which", ["R1", "R2"])
def test_mdl_score_reg_refuses_none(which):
    args = dict(yp=YP, yt=YT, k=1, H=20, beta=BETA, R1=np.eye(2), R2=np.eye(2))
    args[which] = None
    with pytest.raises(TypeError):
        q.mdl_score_reg(**args)


def test_mdl_score_default_resolution_is_20():
    assert q.mdl_score(YP, YT, 2) == q.mdl_score(YP, YT, 2, 20)
