"""scikit-learn estimators around the kernel's polynomial fits."""

from __future__ import annotations

import functools
import math
import warnings
from collections.abc import Callable
from numbers import Integral, Real
from typing import Any, TypeVar

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, RegressorMixin, _fit_context  # type: ignore[import-untyped]
from sklearn.exceptions import ConvergenceWarning  # type: ignore[import-untyped]
from sklearn.utils import check_random_state  # type: ignore[import-untyped]
from sklearn.utils._param_validation import Interval  # type: ignore[import-untyped]
from sklearn.utils.validation import (  # type: ignore[import-untyped]
    _check_feature_names_in,
    _check_sample_weight,
    check_is_fitted,
    validate_data,
)

import _qorv_runtime  # type: ignore[import-not-found]
import qorv_core

from ._basis import design_matrix, penalty_matrices, raw_coefficients, total_degree_powers
from ._robust import (INLIER_MULTIPLE, Penalty, robust_fit, weighted_least_squares,
                      weighted_median)

# Grid points per axis of the penalty sums; the sums are formed per axis, so
# a fine grid costs little whatever the number of features.
N_GRID = 600
# MAD of a normal sample times this is its standard deviation.
MAD_TO_SD = 1.482602218505602
# The kernel takes its counts as signed 32-bit integers.
INT32_MAX = 2**31 - 1
# Below this half-width the reciprocal that maps a feature to [-1, 1]
# overflows (it is the smallest normal double).
NARROWEST_HALF_WIDTH = float(np.finfo(np.float64).tiny)

_FINITE_WEIGHT = Interval(Real, 0.0, np.inf, closed="left")

Fit = TypeVar("Fit", bound=Callable[..., Any])


def _fit_method(fit: Fit) -> Fit:
    """`fit` after scikit-learn's validation of the parameters (`_fit_context`),
    run on a shallow copy whose state is handed over in one assignment.

    A fit that raises, or is interrupted (KeyboardInterrupt), then leaves the
    estimator exactly as it was, fitted or not: no mix of new scaling and old
    coefficients.
    """
    @functools.wraps(fit)
    def atomic(self: Any, *args: Any, **kwargs: Any) -> Any:
        work = object.__new__(type(self))
        work.__dict__.update(self.__dict__)
        fit(work, *args, **kwargs)
        self.__dict__ = work.__dict__
        return self
    validated: Fit = _fit_context(prefer_skip_nested_validation=True)(atomic)
    return validated


def _weighted_std(values: NDArray[np.float64], weight: NDArray[np.float64]) -> float:
    """Population standard deviation, each value counted `weight` times,
    without overflow for values up to half the float64 limit."""
    share = weight / weight.sum()
    deviation = values - _qorv_runtime.dot(share, values)
    largest = float(np.abs(deviation).max())
    if largest == 0:
        return 0.0
    return largest * math.sqrt(_qorv_runtime.dot(share, (deviation / largest) ** 2))


def _permutation_prefix(rng: np.random.RandomState, n: int, m: int) -> NDArray[np.int64]:
    """`rng.permutation(n)[:m]`, with `rng` advanced as that call advances it.

    Drawn natively from the state of its Mersenne Twister: the same draws and
    swaps, without the call's n 64-bit integers and its swaps through
    NumPy's generic copies (about a millisecond per 100 000 rows). Another
    generator, or more rows than 32-bit positions hold, takes the call itself.
    """
    state = rng.get_state(legacy=False)
    if state["bit_generator"] != "MT19937" or n > 2**32:
        prefix: NDArray[np.int64] = rng.permutation(n)[:m]
        return prefix
    words = state["state"]
    words["key"] = np.array(words["key"], dtype=np.uint32)
    prefix, words["pos"] = _qorv_runtime.permutation_prefix(words["key"], words["pos"], n, m)
    rng.set_state(state)
    return prefix


def _term_name(powers: NDArray[np.int64], names: NDArray[Any]) -> str:
    """A monomial's name as `PolynomialFeatures` writes it: `x0^2 x1`."""
    return " ".join(name if e == 1 else f"{name}^{e}" for name, e in zip(names, powers) if e)


class _PolynomialRegressor(RegressorMixin, BaseEstimator):  # type: ignore[misc]
    """Shared scaling, basis and penalties; subclasses choose the fit."""

    _parameter_constraints: dict[str, list[Any]] = {
        "degree": [Interval(Integral, 0, INT32_MAX, closed="both")],
        "gamma1": [_FINITE_WEIGHT],
        "gamma2": [_FINITE_WEIGHT],
        "ridge": [_FINITE_WEIGHT],
    }

    degree: int
    gamma1: float
    gamma2: float
    ridge: float

    def _prepare(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None
                 ) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
        """Validate, learn the scaling and basis; return (Phi, scaled y, weights)."""
        Xv, yv = validate_data(self, X, y, dtype=np.float64, y_numeric=True,
                               ensure_min_samples=2)
        w = _check_sample_weight(sample_weight, Xv, dtype=np.float64, ensure_non_negative=True)
        positive = w > 0
        self._scale_features(Xv if positive.all() else Xv[positive])
        half = self._scale_target(yv, w)
        self._powers = total_degree_powers(Xv.shape[1], self.degree)
        # the scaled target is (y - median) / (2 half spread)
        half /= self._y_half_spread
        return self._basis(Xv, kept=True), half, w

    def _scale_features(self, X: NDArray[np.float64]) -> None:
        """Each feature's centre and half-width over the weighted samples.

        Formed from halves of the bounds, so that a range across the whole
        float64 line stays finite; a constant feature has half-width 0.
        """
        lo, hi = X.min(axis=0), X.max(axis=0)
        half_width = hi / 2 - lo / 2
        narrow = np.flatnonzero((half_width > 0) & (half_width < NARROWEST_HALF_WIDTH))
        if narrow.size:
            d = narrow[0]
            name = _check_feature_names_in(self)[d]
            raise ValueError(
                f"feature {name} spans only {hi[d] - lo[d]:.3g} (from {lo[d]:.17g} to "
                f"{hi[d]:.17g}); a feature must span at least {2 * NARROWEST_HALF_WIDTH:.3g} "
                f"or not vary at all to be scaled: multiply it by a power of ten")
        self._x_center = lo / 2 + hi / 2
        self._x_half_width = half_width

    def _scale_target(self, y: NDArray[np.float64], w: NDArray[np.float64]
                      ) -> NDArray[np.float64]:
        """y's median and half its spread: 1.4826 MAD, its standard deviation
        when the MAD is 0, 1 when both are. Formed on halves of y, so that
        targets near the float64 limit do not overflow. Returns the new array
        y / 2 - median / 2."""
        self._y_shift = weighted_median(y, w)
        half = y / 2
        half -= self._y_shift / 2
        half_mad = weighted_median(np.abs(half), w)
        half_spread = MAD_TO_SD * half_mad
        if not half_spread > 0:
            half_spread = _weighted_std(half, w)
        self._y_half_spread = half_spread if half_spread > 0 else 0.5
        return half

    def _basis(self, X: NDArray[np.float64], kept: bool = False) -> NDArray[np.float64]:
        """The design matrix of X, in memory the thread keeps with `kept`
        (`design_matrix`)."""
        varies = self._x_half_width > 0
        U = X - self._x_center
        U /= np.where(varies, self._x_half_width, 1.0)
        # a constant feature maps to 0: its monomials vanish but the constant
        U[:, ~varies] = 0.0
        return design_matrix(self._powers, U, kept)

    def _penalties(self, gamma1: float, gamma2: float) -> tuple[Any, Any]:
        """(R1, R2) on the scaled box [-1, 1]^D, or None where a weight is 0."""
        if gamma1 == 0 and gamma2 == 0:
            return None, None
        R1, R2 = penalty_matrices(self._powers, self.degree,
                                  [(-1.0, 1.0)] * self.n_features_in_, N_GRID)
        return (R1 if gamma1 else None), (R2 if gamma2 else None)

    def _set_coef(self, beta: NDArray[np.float64]) -> None:
        self._beta_scaled = beta
        inverse = np.where(self._x_half_width > 0,
                           1.0 / np.maximum(self._x_half_width, NARROWEST_HALF_WIDTH), 0.0)
        # raw = 2 * (half spread * scaled expansion + median / 2): no overflow
        # unless a raw coefficient itself is beyond the float64 range
        with np.errstate(over="ignore", invalid="ignore"):
            raw = 2.0 * raw_coefficients(self._powers, beta, inverse, -self._x_center * inverse,
                                         self._y_half_spread, self._y_shift / 2)
        bad = np.flatnonzero(~np.isfinite(raw))
        if bad.size:
            term = _term_name(self._powers[bad[0]], _check_feature_names_in(self)) or "1"
            raise ValueError(
                f"the fitted polynomial's coefficient of {term} does not fit in a float64 in the "
                f"units of X and y: rescale X or y by a power of ten")
        self.intercept_ = float(raw[0])
        self.coef_ = raw[1:]
        self.powers_ = self._powers[1:]

    def predict(self, X: ArrayLike) -> NDArray[np.float64]:
        """Predict with the fitted polynomial.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features_in_)
            Samples.

        Returns
        -------
        ndarray of shape (n_samples,)
            Predictions, in the units of y. Computed on the scaled inputs,
            which is more accurate than evaluating `coef_` on wide ranges.
        """
        check_is_fitted(self)
        Xv = validate_data(self, X, dtype=np.float64, reset=False)
        scaled: NDArray[np.float64] = _qorv_runtime.fitted_values(self._basis(Xv),
                                                                  self._beta_scaled)
        prediction: NDArray[np.float64] = 2.0 * (scaled * self._y_half_spread + self._y_shift / 2)
        return prediction

    def get_feature_names_out(self, input_features: ArrayLike | None = None) -> NDArray[Any]:
        """Name each term of `coef_`, as `PolynomialFeatures` names its outputs.

        Parameters
        ----------
        input_features : array-like of str or None, default=None
            Names of the features. None: `feature_names_in_` when the
            estimator was fitted on a DataFrame, else `x0`, `x1`, ...

        Returns
        -------
        ndarray of str objects, shape (n_terms,)
            The name of each monomial in the order of `coef_` and `powers_`,
            for example `x0^2 x1`.
        """
        check_is_fitted(self)
        names = _check_feature_names_in(self, input_features)
        return np.asarray([_term_name(row, names) for row in self.powers_], dtype=object)


class PenalizedPolynomialRegressor(_PolynomialRegressor):
    """Polynomial regression by penalised least squares.

    Fits every monomial of total degree up to `degree` in the features by
    one call of the kernel's `fit_regularized_linear`, with smoothness
    penalties on the fitted function. Each feature is first mapped to
    [-1, 1] by its range over the samples of positive weight, y by its
    median and 1.4826 MAD; `predict` undoes both. Fast, but outliers pull
    it: see `RobustPolynomialRegressor`.

    Parameters
    ----------
    degree : int, default=3
        Total degree of the polynomial, from 0 to 2**31 - 1.
    gamma1 : float, default=0.0
        Weight of the integral of the squared gradient over the scaled box
        [-1, 1]^n_features, against the weighted mean squared residual of
        the scaled target. Finite, >= 0.
    gamma2 : float, default=1e-4
        Weight of the integral of the squared Frobenius norm of the Hessian,
        as `gamma1`. Finite, >= 0.
    ridge : float, default=1e-10
        Added to the diagonal of the normal equations: weighs the squared
        scaled coefficients against the weighted sum of squared residuals.
        Finite, >= 0.

    Attributes
    ----------
    coef_ : ndarray of shape (n_terms,)
        Coefficient of each non-constant monomial, in the units of X and y,
        in the order of `powers_` and `get_feature_names_out()`;
        n_terms = C(n_features_in_ + degree, degree) - 1.
    intercept_ : float
        The constant term, in the units of y.
    powers_ : ndarray of shape (n_terms, n_features_in_)
        Exponent of each feature in each monomial:
        ``predict(X) = intercept_ + sum_j coef_[j] * prod_d X[:, d] ** powers_[j, d]``.
    n_features_in_ : int
        Number of features seen during `fit`.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Names of the features seen during `fit`. Defined only when X has
        feature names that are all strings.

    See Also
    --------
    RobustPolynomialRegressor : The fit that resists outliers.
    sklearn.preprocessing.PolynomialFeatures : The same monomials as features.
    sklearn.linear_model.Ridge : Least squares with a ridge penalty.

    Examples
    --------
    >>> import numpy as np
    >>> from qorv import PenalizedPolynomialRegressor
    >>> X = np.linspace(0.0, 2.0, 50)[:, None]
    >>> y = 1.0 + 2.0 * X[:, 0] - 0.5 * X[:, 0] ** 2
    >>> model = PenalizedPolynomialRegressor(degree=2, gamma2=0.0).fit(X, y)
    >>> model.get_feature_names_out()
    array(['x0', 'x0^2'], dtype=object)
    >>> print(round(model.intercept_, 6), model.coef_.round(6))
    1.0 [ 2.  -0.5]
    """

    _parameter_constraints = _PolynomialRegressor._parameter_constraints

    def __init__(self, degree: int = 3, *, gamma1: float = 0.0, gamma2: float = 1e-4,
                 ridge: float = 1e-10) -> None:
        self.degree = degree
        self.gamma1 = gamma1
        self.gamma2 = gamma2
        self.ridge = ridge

    @_fit_method
    def fit(self, X: ArrayLike, y: ArrayLike,
            sample_weight: ArrayLike | None = None) -> PenalizedPolynomialRegressor:
        """Fit the coefficients to every sample.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training samples, at least two.
        y : array-like of shape (n_samples,)
            Target values.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative weights: a sample of weight 2 counts as two copies of
            it, one of weight 0 as absent. None: every sample weighs 1.

        Returns
        -------
        self : PenalizedPolynomialRegressor
            The fitted estimator.
        """
        Phi, ys, w = self._prepare(X, y, sample_weight)
        R1, R2 = self._penalties(self.gamma1, self.gamma2)
        self._set_coef(weighted_least_squares(
            Phi, ys, w, float(w.sum()), Penalty(R1, R2, self.gamma1, self.gamma2, self.ridge)))
        return self


class RobustPolynomialRegressor(_PolynomialRegressor):
    """Polynomial regression that resists outliers: an MM-type estimate
    started from a tournament MCMC search.

    The search (the kernel's `TournamentMCMC`) minimises a description-length
    score that counts the samples predicted within 0.4 MAD of y, and so
    ignores outliers. From its answer and cheaper starts (least squares, and
    for more than 20 coefficients a degree-1 search raised degree by degree)
    the fit finds the densest band of residuals and its scale, keeps the
    start whose band is narrowest, then refines the coefficients with that
    scale held fixed (Tukey's bisquare: 95 % of least squares' efficiency on
    Gaussian noise, samples beyond 4.7 scales get no weight); where the
    residuals clearly spread more along the inputs, that scale follows the
    spread, so that genuine samples at the wide end keep their weight.
    Each feature is first mapped to [-1, 1] by its range over the samples
    of positive weight, y by its median and 1.4826 MAD, so raw units need
    no preparation. The basis holds every monomial of total degree up to
    `degree`.

    Parameters
    ----------
    degree : int, default=3
        Total degree of the polynomial, from 0 to 2**31 - 1.
    max_search_samples : int or None, default=1000
        The search runs on at most this many samples (>= 2), drawn at random
        (seeded by `random_state`); the refit then uses every sample. Each
        of the search's ~15 000 energy evaluations reads all of its samples,
        so its time grows with this number, while its precision matters
        little once the refit takes over: a smaller value is faster but
        risks a search that misses a small inlier share. None: every sample.
    refit : bool, default=True
        Refine the search's answer as above. False keeps the search's own
        coefficients, which are coarse (many vectors tie on the hit count),
        and only measures `scale_` and `inlier_mask_` on them.
    max_refit_iter : int, default=100
        Cap on the weighted least-squares passes of each refinement, >= 1;
        the final one stopping there gives a ConvergenceWarning.
    residual_threshold : float or None, default=None
        Samples whose absolute residual exceeds this are outliers; None:
        2.5 times `scale_`. In the units of y, >= 0. Only `inlier_mask_`
        depends on it, not the coefficients.
    gamma1 : float, default=0.0
        Gradient penalty of the least-squares passes, as in
        `PenalizedPolynomialRegressor`. Finite, >= 0.
    gamma2 : float, default=0.0
        Hessian penalty of the passes, as `gamma1`.
    ridge : float, default=1e-10
        Ridge of the passes, as in `PenalizedPolynomialRegressor`.
    search_gamma1 : float, default=0.0
        Gradient penalty weight in the search's energy. Finite, >= 0.
    search_gamma2 : float, default=0.0
        Hessian penalty weight in the search's energy. Finite, >= 0.
    n_chains : int, default=25
        Warm-up chains of the search, from 1 to 2**31 - 1.
    n_warmup : int, default=200
        Metropolis steps per warm-up chain, from 0 to 2**31 - 1.
    n_deep : int, default=2000
        Metropolis steps per elite in the refinement, from 0 to 2**31 - 1.
    n_elite : int, default=5
        Largest number of chains refined (0 and 1 refine the best one), from
        0 to 2**31 - 1.
    step_size : float, default=0.05
        Standard deviation of the warm-up proposal in scaled units (the
        refinement uses 0.3 times it). Finite, > 0: a step of 0 never
        moves.
    H_piH : int, default=20
        Resolution of the description-length score (each coefficient costs
        about ln(2 H_piH)), from 1 to 2**31 - 1.
    random_state : int, RandomState instance or None, default=None
        Seeds the choice of the searched samples and the search: an int is
        the sampler's `seed` itself, otherwise a seed is drawn from it.

    Attributes
    ----------
    coef_ : ndarray of shape (n_terms,)
        Coefficient of each non-constant monomial, in the units of X and y,
        in the order of `powers_` and `get_feature_names_out()`;
        n_terms = C(n_features_in_ + degree, degree) - 1.
    intercept_ : float
        The constant term, in the units of y.
    powers_ : ndarray of shape (n_terms, n_features_in_)
        Exponent of each feature in each monomial:
        ``predict(X) = intercept_ + sum_j coef_[j] * prod_d X[:, d] ** powers_[j, d]``.
    scale_ : float
        Robust standard deviation of the residuals, in the units of y: the
        spread of the densest band of residuals around the fit.
    inlier_mask_ : ndarray of bool, shape (n_samples,)
        True for the samples within `residual_threshold` (None: 2.5
        `scale_`) of the final fit.
    energy_ : float
        The search's best energy, on its samples in scaled units.
    start_ : str
        The start that won: "search", "least squares" or "low degree".
    n_refit_iter_ : int
        Weighted least-squares passes made (0 without `refit`).
    n_features_in_ : int
        Number of features seen during `fit`.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Names of the features seen during `fit`. Defined only when X has
        feature names that are all strings.

    See Also
    --------
    PenalizedPolynomialRegressor : The fast fit, not robust to outliers.
    sklearn.linear_model.RANSACRegressor : Random sample consensus.
    sklearn.linear_model.HuberRegressor : Least squares with a Huber loss.

    Examples
    --------
    >>> import numpy as np
    >>> from qorv import RobustPolynomialRegressor
    >>> rng = np.random.default_rng(0)
    >>> X = rng.uniform(0.0, 10.0, size=(200, 1))
    >>> y = 3.0 + 2.0 * X[:, 0] + 0.5 * X[:, 0] ** 2 + 0.1 * rng.normal(size=200)
    >>> y[:40] += 25.0                                    # 20 % outliers
    >>> model = RobustPolynomialRegressor(degree=2, random_state=0).fit(X, y)
    >>> model.get_feature_names_out()
    array(['x0', 'x0^2'], dtype=object)
    >>> print(round(model.intercept_, 1), model.coef_.round(1))
    3.0 [2.  0.5]
    >>> print(model.inlier_mask_[:40].sum(), model.inlier_mask_[40:].mean() > 0.9)
    0 True
    """

    _parameter_constraints = {
        **_PolynomialRegressor._parameter_constraints,
        "max_search_samples": [Interval(Integral, 2, None, closed="left"), None],
        "refit": ["boolean"],
        "max_refit_iter": [Interval(Integral, 1, None, closed="left")],
        "residual_threshold": [Interval(Real, 0.0, None, closed="left"), None],
        "search_gamma1": [_FINITE_WEIGHT],
        "search_gamma2": [_FINITE_WEIGHT],
        "n_chains": [Interval(Integral, 1, INT32_MAX, closed="both")],
        "n_warmup": [Interval(Integral, 0, INT32_MAX, closed="both")],
        "n_deep": [Interval(Integral, 0, INT32_MAX, closed="both")],
        "n_elite": [Interval(Integral, 0, INT32_MAX, closed="both")],
        "step_size": [Interval(Real, 0.0, np.inf, closed="neither")],
        "H_piH": [Interval(Integral, 1, INT32_MAX, closed="both")],
        "random_state": ["random_state"],
    }

    def __init__(self, degree: int = 3, *, max_search_samples: int | None = 1000,
                 refit: bool = True, max_refit_iter: int = 100,
                 residual_threshold: float | None = None, gamma1: float = 0.0,
                 gamma2: float = 0.0, ridge: float = 1e-10, search_gamma1: float = 0.0,
                 search_gamma2: float = 0.0, n_chains: int = 25, n_warmup: int = 200,
                 n_deep: int = 2000, n_elite: int = 5, step_size: float = 0.05,
                 H_piH: int = 20, random_state: Any = None) -> None:
        self.degree = degree
        self.max_search_samples = max_search_samples
        self.refit = refit
        self.max_refit_iter = max_refit_iter
        self.residual_threshold = residual_threshold
        self.gamma1 = gamma1
        self.gamma2 = gamma2
        self.ridge = ridge
        self.search_gamma1 = search_gamma1
        self.search_gamma2 = search_gamma2
        self.n_chains = n_chains
        self.n_warmup = n_warmup
        self.n_deep = n_deep
        self.n_elite = n_elite
        self.step_size = step_size
        self.H_piH = H_piH
        self.random_state = random_state

    @_fit_method
    def fit(self, X: ArrayLike, y: ArrayLike,
            sample_weight: ArrayLike | None = None) -> RobustPolynomialRegressor:
        """Search, then refine to an MM-estimate with its residual scale.

        Warns (UserWarning) when the fit rests on fewer samples or inliers
        than it has coefficients, or when fewer than half the samples are
        inliers; ConvergenceWarning when the final refinement stops at
        `max_refit_iter`.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training samples, at least two.
        y : array-like of shape (n_samples,)
            Target values.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative weights. A sample of weight 0 is left out as if
            absent. The scaling, the residual scale and every least-squares
            pass count a sample of weight 2 as two copies of it; the search
            counts every sample of positive weight once. None: every sample
            weighs 1.

        Returns
        -------
        self : RobustPolynomialRegressor
            The fitted estimator.
        """
        Phi, ys, w = self._prepare(X, y, sample_weight)
        rng = check_random_state(self.random_state)
        # an int is the sampler's seed itself, as for TournamentMCMC
        if isinstance(self.random_state, Integral):
            seed = int(self.random_state)
        else:
            seed = int(rng.randint(np.iinfo(np.int32).max))
        # samples of weight 0 are left out as if absent; the search runs on
        # a random subset of the others, and the starts are compared on it
        # when it has rows enough (an intermediate subset ten times the size
        # cost more in passes than it saved on every row)
        kept = None if w.min() > 0 else np.flatnonzero(w)
        rows = (Phi, ys, w) if kept is None else (Phi[kept], ys[kept], w[kept])
        subsets = []
        if self.max_search_samples is not None and len(rows[1]) > self.max_search_samples:
            subsets.append(np.sort(_permutation_prefix(rng, len(rows[1]),
                                                       self.max_search_samples)))
        sampler = qorv_core.TournamentMCMC(self.n_chains, self.n_warmup, self.n_deep,
                                           self.n_elite, self.step_size, self.H_piH, seed)
        # the scaled target is (y - median) / (2 half spread)
        threshold = (None if self.residual_threshold is None
                     else self.residual_threshold / 2 / self._y_half_spread)
        result = robust_fit(
            rows[0], rows[1], column_degrees=self._powers.sum(axis=1), sampler=sampler,
            subsets=subsets, sample_weight=rows[2],
            search_penalty=Penalty(*self._penalties(self.search_gamma1, self.search_gamma2),
                                   self.search_gamma1, self.search_gamma2),
            penalty=Penalty(*self._penalties(self.gamma1, self.gamma2), self.gamma1,
                            self.gamma2, self.ridge),
            residual_threshold=threshold, refit=self.refit, max_refit_iter=self.max_refit_iter)
        for caveat in result.caveats:
            warnings.warn(caveat, UserWarning, stacklevel=4)
        if not result.converged:
            warnings.warn(f"the final refinement stopped at max_refit_iter={self.max_refit_iter} "
                          f"passes before the coefficients settled; raise max_refit_iter",
                          ConvergenceWarning, stacklevel=4)
        self.energy_ = result.energy
        self.scale_ = 2.0 * (result.scale * self._y_half_spread)
        if kept is None:
            self.inlier_mask_ = result.inlier_mask
        else:
            bound = INLIER_MULTIPLE * result.scale if threshold is None else threshold
            fitted = _qorv_runtime.fitted_values(Phi, result.beta)
            self.inlier_mask_ = np.abs(ys - fitted) <= bound
        self.start_ = result.start
        self.n_refit_iter_ = result.n_refit_iter
        self._set_coef(result.beta)
        return self
