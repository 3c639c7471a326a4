"""scikit-learn estimators around the kernel's polynomial fits."""

from __future__ import annotations

import numbers
import warnings
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, RegressorMixin  # type: ignore[import-untyped]
from sklearn.exceptions import ConvergenceWarning  # type: ignore[import-untyped]
from sklearn.utils import check_random_state  # type: ignore[import-untyped]
from sklearn.utils.validation import (  # type: ignore[import-untyped]
    check_is_fitted,
    validate_data,
)

import qorv_core

from ._basis import design_matrix, penalty_matrices, raw_coefficients, total_degree_powers
from ._robust import Penalty, robust_fit

# Grid points per axis of the penalty sums; the sums are formed per axis, so
# a fine grid costs little whatever the number of features.
N_GRID = 600
# MAD of a normal sample times this is its standard deviation.
MAD_TO_SD = 1.482602218505602


def _check_int(name: str, value: Any, low: int) -> None:
    if (not isinstance(value, numbers.Integral) or isinstance(value, bool)
            or value < low):
        raise ValueError(f"{name} must be an int >= {low}, got {value!r}")


def _check_weight(name: str, value: Any) -> None:
    if (not isinstance(value, numbers.Real) or isinstance(value, bool)
            or not 0.0 <= float(value) < np.inf):
        raise ValueError(f"{name} must be a finite float >= 0, got {value!r}")


class _PolynomialRegressor(RegressorMixin, BaseEstimator):  # type: ignore[misc]
    """Shared scaling, basis and penalties; subclasses choose the fit."""

    degree: int
    gamma1: float
    gamma2: float
    ridge: float

    def _validate_params(self) -> None:
        _check_int("degree", self.degree, 0)
        for name in ("gamma1", "gamma2", "ridge"):
            _check_weight(name, getattr(self, name))

    def _prepare(self, X: ArrayLike, y: ArrayLike) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Validate, learn the scaling and basis; return (Phi, scaled y)."""
        self._validate_params()
        Xv, yv = validate_data(self, X, y, dtype=np.float64, y_numeric=True,
                               ensure_min_samples=2)
        lo, hi = Xv.min(axis=0), Xv.max(axis=0)
        width = hi - lo
        # a constant feature maps to 0 (its monomials then vanish but the constant)
        safe = np.where(width > 0, width, 1.0)
        self.x_scale_ = np.where(width > 0, 2.0 / safe, 0.0)
        self.x_shift_ = np.where(width > 0, -1.0 - 2.0 * lo / safe, 0.0)
        self.y_shift_ = float(np.median(yv))
        self.y_mad_ = qorv_core.mad(yv)
        spread = MAD_TO_SD * self.y_mad_
        if not spread > 0:
            spread = float(np.std(yv))
        self.y_scale_ = spread if spread > 0 else 1.0
        self.powers_ = total_degree_powers(Xv.shape[1], self.degree)
        return self._basis(Xv), (yv - self.y_shift_) / self.y_scale_

    def _basis(self, X: NDArray[np.float64]) -> NDArray[np.float64]:
        return design_matrix(self.powers_, X * self.x_scale_ + self.x_shift_)

    def _penalties(self, gamma1: float, gamma2: float) -> tuple[Any, Any]:
        """(R1, R2) on the scaled box [-1, 1]^D, or None where a weight is 0."""
        if gamma1 == 0 and gamma2 == 0:
            return None, None
        R1, R2 = penalty_matrices(self.powers_, self.degree,
                                  [(-1.0, 1.0)] * self.n_features_in_, N_GRID)
        return (R1 if gamma1 else None), (R2 if gamma2 else None)

    def _least_squares(self, Phi: NDArray[np.float64], ys: NDArray[np.float64],
                       R1: Any, R2: Any) -> NDArray[np.float64]:
        return qorv_core.fit_regularized_linear(Phi, ys, R1, R2, self.gamma1, self.gamma2,
                                                self.ridge)

    def _set_coef(self, beta: NDArray[np.float64]) -> None:
        self.beta_scaled_ = beta
        self.coef_ = raw_coefficients(self.powers_, beta, self.x_scale_, self.x_shift_,
                                      self.y_scale_, self.y_shift_)

    def predict(self, X: ArrayLike) -> NDArray[np.float64]:
        """Predictions of the fitted polynomial, in the units of y."""
        check_is_fitted(self)
        Xv = validate_data(self, X, dtype=np.float64, reset=False)
        prediction: NDArray[np.float64] = self._basis(Xv) @ self.beta_scaled_
        return prediction * self.y_scale_ + self.y_shift_


class PenalizedPolynomialRegressor(_PolynomialRegressor):
    """Penalised least-squares polynomial fit (`fit_regularized_linear`).

    Each feature is mapped to [-1, 1] by its training range and y by its
    median and MAD; the basis holds every monomial of total degree up to
    `degree`. The weights `gamma1` and `gamma2` weigh the integrals of the
    squared gradient and Hessian over the scaled box against the mean
    squared residual; `ridge` is added to the diagonal of Phi' Phi.

    Fitted attributes: `coef_` (one per row of `powers_`, in raw units:
    y ~ sum_j coef_[j] * prod_d X[:, d] ** powers_[j, d]), `powers_`,
    `n_features_in_`, `feature_names_in_` (DataFrames only).
    """

    def __init__(self, degree: int = 3, *, gamma1: float = 0.0, gamma2: float = 1e-4,
                 ridge: float = 1e-10) -> None:
        self.degree = degree
        self.gamma1 = gamma1
        self.gamma2 = gamma2
        self.ridge = ridge

    def fit(self, X: ArrayLike, y: ArrayLike) -> PenalizedPolynomialRegressor:
        """Fit the coefficients to every sample."""
        Phi, ys = self._prepare(X, y)
        R1, R2 = self._penalties(self.gamma1, self.gamma2)
        self._set_coef(self._least_squares(Phi, ys, R1, R2))
        return self


class RobustPolynomialRegressor(_PolynomialRegressor):
    """Outlier-resistant polynomial fit: an MM-type estimate started from the
    tournament MCMC search.

    The search (`TournamentMCMC`) minimises the description-length score,
    which counts the samples predicted within 0.4 MAD of y and so ignores
    outliers. From its answer and cheaper starts the fit finds the densest
    band of residuals and its scale, then refines the coefficients with that
    scale held fixed (Tukey's bisquare, 95 % of least squares' efficiency on
    Gaussian noise). Inputs are mapped to [-1, 1] by their training range and y by
    its median and MAD first, so raw units need no preparation. The basis
    holds every monomial of total degree up to `degree`.

    Parameters
    ----------
    degree : total degree of the polynomial.
    max_search_samples : the search runs on at most this many samples, drawn
        at random (seeded by `random_state`); the refit then uses every
        sample. Each of the search's ~15 000 energy evaluations reads all of
        its samples, so its time grows with this number, while its precision
        matters little once the refit takes over: a smaller value is faster
        but risks a search that misses a small inlier share; None searches
        on every sample.
    refit : refine the search's answer (True) or keep it as it is (False:
        only `scale_` and `inlier_mask_` are measured on it).
    max_refit_iter : cap on the passes of each refinement; the final one
        stopping there gives a ConvergenceWarning.
    residual_threshold : samples within this distance of the fit (units of
        y) are its inliers; None: 2.5 `scale_`. The fit does not depend on it.
    gamma1, gamma2, ridge : penalty weights and ridge of the least-squares
        passes, as in `PenalizedPolynomialRegressor`.
    search_gamma1, search_gamma2 : penalty weights of the search's energy.
    n_chains, n_warmup, n_deep, n_elite, step_size, H_piH : the sampler's
        configuration (`TournamentMCMC`).
    random_state : None, int or RandomState; seeds the choice of the
        searched samples, and the search: an int is the sampler's `seed`,
        otherwise a seed is drawn from the RandomState.

    Fitted attributes: `coef_` (raw units, one per row of `powers_`),
    `powers_`, `scale_` (the residuals' robust standard deviation, units of
    y), `inlier_mask_` (samples within `residual_threshold` of the fit),
    `energy_` (the search's energy on its samples, scaled units), `start_`
    (the start that won), `n_refit_iter_` (least-squares passes),
    `n_features_in_`, `feature_names_in_` (DataFrames only).
    """

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

    def _validate_params(self) -> None:
        super()._validate_params()
        if self.max_search_samples is not None:
            _check_int("max_search_samples", self.max_search_samples, 2)
        _check_int("max_refit_iter", self.max_refit_iter, 1)
        if self.residual_threshold is not None:
            _check_weight("residual_threshold", self.residual_threshold)
        for name in ("search_gamma1", "search_gamma2", "step_size"):
            _check_weight(name, getattr(self, name))
        _check_int("n_chains", self.n_chains, 1)
        for name in ("n_warmup", "n_deep", "n_elite", "H_piH"):
            _check_int(name, getattr(self, name), 0)

    def fit(self, X: ArrayLike, y: ArrayLike) -> RobustPolynomialRegressor:
        """Search, then refine to an MM-estimate with its residual scale."""
        Phi, ys = self._prepare(X, y)
        rng = check_random_state(self.random_state)
        # an int is the sampler's seed itself, as for TournamentMCMC
        if isinstance(self.random_state, numbers.Integral):
            seed = int(self.random_state)
        else:
            seed = int(rng.randint(np.iinfo(np.int32).max))
        n = len(ys)
        # the search runs on a random subset; the starts are compared on it
        # too when it has rows enough (an intermediate one, ten times the
        # size, cost more in passes than it saved on every row)
        subsets = []
        if self.max_search_samples is not None and n > self.max_search_samples:
            subsets.append(np.sort(rng.permutation(n)[:self.max_search_samples]))
        sampler = qorv_core.TournamentMCMC(self.n_chains, self.n_warmup, self.n_deep,
                                           self.n_elite, self.step_size, self.H_piH, seed)
        threshold = self.residual_threshold
        result = robust_fit(
            Phi, ys, column_degrees=self.powers_.sum(axis=1), sampler=sampler, subsets=subsets,
            search_penalty=Penalty(*self._penalties(self.search_gamma1, self.search_gamma2),
                                   self.search_gamma1, self.search_gamma2),
            penalty=Penalty(*self._penalties(self.gamma1, self.gamma2), self.gamma1,
                            self.gamma2, self.ridge),
            residual_threshold=None if threshold is None else threshold / self.y_scale_,
            refit=self.refit, max_refit_iter=self.max_refit_iter)
        for caveat in result.caveats:
            warnings.warn(caveat, UserWarning, stacklevel=2)
        if not result.converged:
            warnings.warn(f"the final refinement stopped at max_refit_iter={self.max_refit_iter} "
                          f"passes before the coefficients settled; raise max_refit_iter",
                          ConvergenceWarning, stacklevel=2)
        self.energy_ = result.energy
        self.scale_ = result.scale * self.y_scale_
        self.inlier_mask_ = result.inlier_mask
        self.start_ = result.start
        self.n_refit_iter_ = result.n_refit_iter
        self._set_coef(result.beta)
        return self
