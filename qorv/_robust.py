"""Outlier-resistant fits of a linear model on a scaled design matrix.

The fit is an MM-type estimate. Several starts (the tournament search's
answer, least squares, and for many coefficients a search at degree 1
raised degree by degree) are each improved by a few S-steps, which lower an
M-scale of the residuals that half of the samples can break, then moved to
the densest band of residuals, whose width gives the scale; the start with
the narrowest band wins. With its scale held fixed a bisquare M-step then
refines the coefficients to about 95 % of least squares' efficiency on clean
Gaussian noise, samples beyond 4.7 scales getting no weight. Where the
residuals clearly spread more along the inputs, the scale follows that
spread, so that the genuine rows at the wide (often sparse) end keep their
weight instead of being cut off by the scale of the dense bulk.

Plain functions of NumPy arrays and the kernel; the estimators own the
scaling, the random draws and the warnings.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

import _qorv_runtime  # type: ignore[import-not-found]
import qorv_core

from ._kept import kept_memory

# Bisquare tuning of the S-scale: with mean rho = 1/2 it is the standard
# deviation of Gaussian residuals and breaks only when half the samples are bad.
S_TUNING = 1.5476450
S_BREAKDOWN = 0.5
# Bisquare tuning of the final M-step: 95 % of least squares' efficiency;
# 85 % when more than NEAR_SHARE of the weight lies between INLIER_MULTIPLE
# and MM_TUNING scales of the band's fit (1.2 % of Gaussian noise does), as
# outliers that near the band would pull a fit that gives them weight.
MM_TUNING = 4.6850610
MM_TUNING_NEAR = 3.4436898
NEAR_SHARE = 0.05
# Samples within this many scales of the final fit are its inliers.
INLIER_MULTIPLE = 2.5
# Width, in scales, of the window that measures the scale, and the standard
# deviation of a standard Gaussian cut at that width.
CORE_MULTIPLE = 2.0
CORE_SPREAD = math.sqrt(1.0 - 2.0 * CORE_MULTIPLE * math.exp(-0.5 * CORE_MULTIPLE**2)
                        / math.sqrt(2.0 * math.pi) / math.erf(CORE_MULTIPLE / math.sqrt(2.0)))
# Share of the weight in the first window of the scale's search.
START_SHARE = 0.25
# MAD of a Gaussian sample times this is its standard deviation.
MAD_TO_SD = 1.482602218505602
# S-steps per start, then passes of its band, before the starts are
# compared; the band of the start that wins then settles.
START_STEPS = 4
START_BAND_STEPS = 12
# Relative change of the scale below which the S-steps and the band have
# settled, and change of the coefficients against the scale below which the
# final step has (their 1-norm bounds the change of any prediction, as
# every column lies in [-1, 1]): far below the fit's statistical error.
TOLERANCE = 1e-7
M_TOLERANCE = 1e-5
# Relative decrease of the final step's objective below which it has
# settled, where the coefficients drift along a direction it hardly sees.
OBJECTIVE_TOLERANCE = 1e-12
# Passes of the final step over every row after it converged on a subset.
POLISH_PASSES = 3
# Relative change of the band's scale below which it has settled on a
# subset, as every row then measures the scale again.
SUBSET_TOLERANCE = 1e-2
# Relative precision of a scale measured on residuals that stay as they are.
SCALE_TOLERANCE = 1e-3
# Above this many coefficients the search alone may end on a fit through
# the outliers; a degree-1 search raised degree by degree is added.
MANY_COEFFICIENTS = 20
# The starts are compared, and the scale found, on at least this many rows
# per coefficient (or on every row), so that a fit to them cannot follow
# their noise closely enough to shrink the scale.
ROWS_PER_COEFFICIENT = 50

# The noise's spread may follow the inputs (household spending spreads
# more with income). Its logarithm is fitted as a linear function of them to
# the log absolute residuals within MM_TUNING scales of the band's fit
# (residuals below SPREAD_SMALLEST scales count as that, as the log of a
# near-zero residual says nothing of the spread). It is used only when its
# slopes are significant at the one-sided Gaussian quantile SPREAD_Z (5 %),
# against the log residuals' own noise and at least that of Gaussian noise
# (pi^2 / 8, which outliers in the window raise), and only when the spread
# it gives varies by at least a factor SPREAD_MATERIAL over those samples
# (less hardly moves a weight, and its estimate would only add noise); it
# is held within a factor SPREAD_LIMIT of the band's scale either way, as
# the law rests on few samples at the sparse ends.
LOG_ABS_VARIANCE = math.pi**2 / 8.0
SPREAD_SMALLEST = 0.05
SPREAD_Z = 1.644854
SPREAD_MATERIAL = 2.0
SPREAD_LIMIT = 4.0


@dataclass(frozen=True)
class Penalty:
    """Penalty matrices and weights of a least-squares pass (`fit_regularized_linear`)."""

    R1: Any = None
    R2: Any = None
    gamma1: float = 0.0
    gamma2: float = 0.0
    ridge: float = 1e-10

    def restrict(self, columns: NDArray[np.intp]) -> Penalty:
        """The same penalty on a subset of the columns."""
        def sub(R: Any) -> Any:
            return None if R is None else np.asarray(R)[np.ix_(columns, columns)]
        return Penalty(sub(self.R1), sub(self.R2), self.gamma1, self.gamma2, self.ridge)


@dataclass(frozen=True)
class RobustFit:
    """Result of `robust_fit`, in the scaled units of its arguments.

    `beta`: coefficients; `scale`: the standard deviation of the residuals in
    the densest band, held fixed in the final step (times their spread along
    the inputs where it clearly varies); `inlier_mask`: samples
    within the threshold of the fit; `energy`: the search's energy on its
    rows; `start`: which start won ("search", "least squares" or "low
    degree"); `n_refit_iter`: weighted least-squares passes made;
    `converged`: False when the final step stopped at its cap; `caveats`:
    messages for the user about a fit not to trust.
    """

    beta: NDArray[np.float64]
    scale: float
    inlier_mask: NDArray[np.bool_]
    energy: float
    start: str
    n_refit_iter: int
    converged: bool
    caveats: tuple[str, ...]


@dataclass
class _Rows:
    """A set of rows with their weights: the data of one stage of the fit,
    with the room its least-squares passes write their weighted rows into
    (allocated once, as a fresh array per pass costs more than the pass)."""

    Phi: NDArray[np.float64]
    ys: NDArray[np.float64]
    w: NDArray[np.float64]
    work: tuple[NDArray[np.float64], NDArray[np.float64]] | None = field(default=None,
                                                                          init=False)

    def __post_init__(self) -> None:
        self.ys, self.w = np.ascontiguousarray(self.ys), np.ascontiguousarray(self.w)
        self.total = float(self.w.sum())

    def residuals(self, beta: NDArray[np.float64]) -> NDArray[np.float64]:
        """ys - Phi @ beta, in one new array."""
        r: NDArray[np.float64] = _qorv_runtime.fitted_values(self.Phi, beta)
        return np.subtract(self.ys, r, out=r)

    def absolute_residuals(self, beta: NDArray[np.float64]) -> NDArray[np.float64]:
        """|ys - Phi @ beta|, in one new array."""
        a = self.residuals(beta)
        return np.abs(a, out=a)

    def columns(self, columns: NDArray[np.intp]) -> _Rows:
        return _Rows(self.Phi[:, columns], self.ys, self.w)

    def room(self) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        if self.work is None:
            self.work = _work_for(self.Phi)
        return self.work

    def least_squares(self, a: NDArray[np.float64], penalty: Penalty) -> NDArray[np.float64]:
        return weighted_least_squares(self.Phi, self.ys, a, self.total, penalty, self.room())

    def bisquare_pass(self, beta: NDArray[np.float64], inverse: Any,
                      square: NDArray[np.float64] | None = None) -> tuple[int, float]:
        """Writes the rows weighted for a bisquare step from `beta` into the
        room, `inverse` being 1 / (tuning * scale) at each row or at all, and
        returns (rows written, sum of w * square * (1 - rho)), `square` one
        for every row when None (`bisquare_rows`)."""
        m, complement = _qorv_runtime.bisquare_rows(self.Phi, self.ys, np.ascontiguousarray(beta),
                                                    self.w, inverse,
                                                    1.0 if square is None else square,
                                                    *self.room())
        return int(m), float(complement)

    def solve(self, m: int, penalty: Penalty) -> NDArray[np.float64]:
        """The weighted least-squares fit to the first `m` rows of the room."""
        return _solve_written(self.room(), m, self.total, penalty)


def weighted_median(values: NDArray[np.float64], w: NDArray[np.float64]) -> float:
    """Median of `values` with each one counted `w` times: the mean of the
    lower and upper weighted medians, which for whole weights is the median
    of the repeated values.

    Equal weights (the common case) take a selection instead of a sort. The
    mean is formed from halves, so that two values near the float64 limit
    do not overflow.
    """
    if w.min() == w.max():
        middle = _qorv_runtime.middle_values(np.ascontiguousarray(values))
        lower, upper = float(middle[0]), float(middle[1])
    else:
        order = np.argsort(values, kind="stable")
        cumulative = np.cumsum(w[order])
        half = cumulative[-1] / 2
        lower = float(values[order[np.searchsorted(cumulative, half, side="left")]])
        upper = float(values[order[np.searchsorted(cumulative, half, side="right")]])
    return lower if lower == upper else lower / 2 + upper / 2


def m_scale(r: NDArray[np.float64], w: NDArray[np.float64], total: float,
            start: float | None = None) -> float:
    """The s with sum(w * rho(r / s)) = S_BREAKDOWN * sum(w), rho the
    bisquare at S_TUNING: the scale of Gaussian residuals, unmoved by up to
    half of the weight far out. 0 when half the weight has no residual."""
    target = S_BREAKDOWN * total
    if _qorv_runtime.dot(w, r == 0.0) >= target:
        return 0.0
    s = start if start else MAD_TO_SD * weighted_median(np.abs(r), w)
    if not s > 0:
        # under half of the weight has no residual, so some scale above 0 solves it
        s = float(np.abs(r).max())
    # the fixed point of s^2 = s^2 * mean rho / b, from either side
    return float(_qorv_runtime.bisquare_scale(np.ascontiguousarray(r), np.ascontiguousarray(w),
                                              s, target, S_TUNING, SCALE_TOLERANCE, 200))


def _work_for(Phi: NDArray[np.float64]) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Room for the weighted rows of `Phi` and of its target."""
    return np.empty(Phi.shape), np.empty(len(Phi))


def _kept_work_for(Phi: NDArray[np.float64]
                   ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """`_work_for` in memory the calling thread keeps from fit to fit
    (`kept_memory`)."""
    n, p = Phi.shape
    room = kept_memory("room", n * (p + 1))
    return room[:n * p].reshape(n, p), room[n * p:]


def weighted_least_squares(Phi: NDArray[np.float64], ys: NDArray[np.float64],
                           a: NDArray[np.float64], total: float, penalty: Penalty,
                           work: tuple[NDArray[np.float64], NDArray[np.float64]] | None = None
                           ) -> NDArray[np.float64]:
    """Minimise sum(a * r**2) / total plus the penalties, the ridge against
    the sum: with `a` the sample weights and `total` their sum, a weight of 2
    is the row twice; an M-step passes its weights times the sample weights.

    The weights enter as row factors, written into `work` (from `_work_for`;
    None: fresh room); rows of weight 0 add nothing to the sums and are left
    out. The kernel weighs the penalties against the plain mean over the
    rows it gets, so they are scaled by the sum of the sample weights over
    their number.
    """
    work = _work_for(Phi) if work is None else work
    m = int(_qorv_runtime.weighted_rows(Phi, np.ascontiguousarray(ys), np.ascontiguousarray(a),
                                        *work))
    return _solve_written(work, m, total, penalty)


def _solve_written(work: tuple[NDArray[np.float64], NDArray[np.float64]], m: int, total: float,
                   penalty: Penalty) -> NDArray[np.float64]:
    """`weighted_least_squares` from the first `m` weighted rows in `work`."""
    Phi_w, ys_w = work
    mean_weight = total / m if m else 0.0
    beta: NDArray[np.float64] = qorv_core.fit_regularized_linear(
        Phi_w[:m], ys_w[:m], penalty.R1, penalty.R2, penalty.gamma1 * mean_weight,
        penalty.gamma2 * mean_weight, penalty.ridge)
    return beta


class _Counter:
    def __init__(self) -> None:
        self.passes = 0

    def wls(self, rows: _Rows, a: NDArray[np.float64], penalty: Penalty) -> NDArray[np.float64]:
        self.passes += 1
        return rows.least_squares(a, penalty)

    def solve(self, rows: _Rows, m: int, penalty: Penalty) -> NDArray[np.float64]:
        self.passes += 1
        return rows.solve(m, penalty)


def _s_steps(rows: _Rows, beta: NDArray[np.float64], scale: float | None, penalty: Penalty,
             steps: int, count: _Counter) -> tuple[NDArray[np.float64], float]:
    """Up to `steps` reweighted passes that lower the M-scale of the residuals
    (each pass cannot raise it); stops when the scale settles."""
    s = m_scale(rows.residuals(beta), rows.w, rows.total, scale)
    for _ in range(steps):
        if s == 0.0:
            break
        new_beta = count.solve(rows, rows.bisquare_pass(beta, 1.0 / (s * S_TUNING))[0], penalty)
        new_s = m_scale(rows.residuals(new_beta), rows.w, rows.total, s)
        if not new_s <= s:
            break
        beta, settled, s = new_beta, s - new_s <= TOLERANCE * s, new_s
        if settled:
            break
    return beta, s


def _core_scale(r2: NDArray[np.float64], w: NDArray[np.float64], inside: NDArray[np.bool_],
                p: int) -> float:
    """The standard deviation of Gaussian residuals whose central part,
    within CORE_MULTIPLE of it, has the spread of the residuals (whose
    squares are `r2`) `inside` of a fit of `p` coefficients to them."""
    wi = w * inside
    return _scale_of_window(float(wi.sum()), _qorv_runtime.dot(wi, r2), p)


def _inside(a: NDArray[np.float64], w: NDArray[np.float64], limit: float) -> float:
    """The weight of the samples whose absolute residual `a` is at most `limit`."""
    return float(_qorv_runtime.window_sums(a, w, limit)[0])


def _scale_of_window(m: float, squares: float, p: int) -> float:
    """`_core_scale` from the weight `m` inside the window and the weighted
    sum of its squared residuals (the weights count as samples: a fit of
    `p` coefficients leaves m - p degrees of freedom; at most half of them
    are taken for coefficients, so that the scale of a fit through nearly
    every sample in the window stays finite)."""
    return math.sqrt(squares / max(m - p, 0.5 * m)) / CORE_SPREAD


def _covering_scale(r: NDArray[np.float64], w: NDArray[np.float64], need: float) -> float:
    """The narrowest scale whose window holds the weight `need`."""
    a = np.abs(r)
    need = min(need, float(w.sum()))
    if np.all(w == w[0]):
        k = min(max(int(math.ceil(need / w[0])) - 1, 0), len(a) - 1)
        return float(np.partition(a, k)[k]) / CORE_MULTIPLE
    order = np.argsort(a, kind="stable")
    i = min(int(np.searchsorted(np.cumsum(w[order]), need)), len(a) - 1)
    return float(a[order[i]]) / CORE_MULTIPLE


def _window_scale(a: NDArray[np.float64], w: NDArray[np.float64], p: int,
                  scale: float | None = None, cap: int = 100) -> float:
    """The scale of `_core_steps` for absolute residuals `a` that stay as they are."""
    s = scale or _covering_scale(a, w, 0.5 * float(w.sum()))
    a, w = np.ascontiguousarray(a), np.ascontiguousarray(w)
    for _ in range(cap):
        if not s > 0:
            return 0.0
        inside, squares = _qorv_runtime.window_sums(a, w, CORE_MULTIPLE * s)
        new_s = _scale_of_window(float(inside), float(squares), p)
        if abs(new_s - s) <= SCALE_TOLERANCE * s:
            return new_s
        s = new_s
    return s


def _core_steps(rows: _Rows, beta: NDArray[np.float64], scale: float | None, penalty: Penalty,
                cap: int, count: _Counter, tol: float, need: float = 0.0
                ) -> tuple[NDArray[np.float64], float]:
    """Least squares on the samples within CORE_MULTIPLE scales of the fit,
    the scale then measured on them, in turn until the window keeps its
    samples or the scale changes by at most `tol`; the window never holds
    less than the weight `need`.

    Without a `scale` the window starts where it holds half of the weight,
    below the noise's own width, and settles at the first width at which the
    samples inside have the spread of a Gaussian cut there: the scale of the
    densest band of residuals, which outliers beyond it cannot inflate, as
    they inflate any scale measured on a fixed share of the samples. Each
    least-squares pass on a narrow window also moves the fit towards that
    band, like a mean shift."""
    p = rows.Phi.shape[1]
    r = rows.residuals(beta)

    def least(r: NDArray[np.float64]) -> float:
        return _covering_scale(r, rows.w, need) if need else 0.0
    s = max(scale or _covering_scale(r, rows.w, START_SHARE * rows.total), least(r))
    inside = np.abs(r) <= CORE_MULTIPLE * s
    for _ in range(cap):
        if not s > 0:
            return beta, 0.0
        beta = count.wls(rows, rows.w * inside, penalty)
        r = rows.residuals(beta)
        new_s = max(_core_scale(np.square(r), rows.w, inside, p), least(r))
        new_inside = np.abs(r) <= CORE_MULTIPLE * new_s
        settled = abs(new_s - s) <= tol * s or np.array_equal(new_inside, inside)
        s, inside = new_s, new_inside
        if settled:
            break
    return beta, s


def _core(rows: _Rows, beta: NDArray[np.float64], penalty: Penalty, cap: int,
          count: _Counter, tol: float) -> tuple[NDArray[np.float64], float]:
    """`_core_steps` from `beta`; when its window holds fewer than half of the
    weight plus one sample per coefficient, again with that as its least
    weight: in a small sample a few more than half of the samples may line up
    by chance, and the band through them is not the noise's."""
    p = rows.Phi.shape[1]
    core, scale = _core_steps(rows, beta, None, penalty, cap, count, tol)
    need = 0.5 * (rows.total + 1.0) + p
    held = _qorv_runtime.dot(rows.w, rows.absolute_residuals(core) <= CORE_MULTIPLE * scale)
    if held < min(need, rows.total):
        core, scale = _core_steps(rows, beta, None, penalty, cap, count, tol, need)
    return core, scale


def _m_steps(rows: _Rows, beta: NDArray[np.float64], scale: float, tuning: float,
             penalty: Penalty, cap: int, count: _Counter, spread: Spread
             ) -> tuple[NDArray[np.float64], bool]:
    """Bisquare M-step at `tuning` with the scale held fixed, times the
    `spread` at each row, iterated until the coefficients or the objective
    settle (True) or `cap` passes were made (False). The objective sums each
    row's rho times its spread squared, so that rows well inside their scale
    count as in least squares wherever they lie (a row of wide spread is
    kept, not made light). Each pass lowers the objective; where it is flat
    along some direction of the coefficients, they may drift without
    changing the fit."""
    if scale == 0.0:
        # half of the weight is fitted exactly: nothing to refine
        return beta, True
    objective = np.inf
    g = spread.of(rows)
    inverse = 1.0 / (tuning * scale) if g is None else 1.0 / ((tuning * scale) * g)
    square = None if g is None else np.square(g)
    weight = rows.total if square is None else _qorv_runtime.dot(rows.w, square)
    for _ in range(cap):
        m, complement = rows.bisquare_pass(beta, inverse, square)
        # rho times the spread squared, summed with the weights
        new_objective = weight - complement
        if objective - new_objective <= OBJECTIVE_TOLERANCE * new_objective:
            return beta, True
        objective = new_objective
        new_beta = count.solve(rows, m, penalty)
        change = float(np.abs(new_beta - beta).sum())
        beta = new_beta
        if change <= M_TOLERANCE * scale:
            return beta, True
    return beta, False


@dataclass(frozen=True)
class Spread:
    """The noise's spread along the inputs against the band's scale:
    exp(Phi[:, linear] @ gamma - center), within a factor SPREAD_LIMIT."""

    linear: NDArray[np.intp]
    gamma: NDArray[np.float64]
    center: float

    def of(self, rows: _Rows) -> NDArray[np.float64] | None:
        """The spread at each of the rows; None where it is constant."""
        if not self.gamma.any():
            return None
        limit = math.log(SPREAD_LIMIT)
        log = np.clip(_qorv_runtime.fitted_values(rows.Phi[:, self.linear], self.gamma)
                      - self.center, -limit, limit)
        g: NDArray[np.float64] = np.exp(log)
        return g


def _spread(rows: _Rows, beta: NDArray[np.float64], scale: float,
            linear: NDArray[np.intp], count: _Counter) -> Spread:
    """The spread of the residuals of `beta` along the columns `linear` (the
    constant and the inputs); constant unless the data show otherwise, and
    below ROWS_PER_COEFFICIENT rows per column, too few to tell a law of the
    spread from its noise."""
    constant = Spread(linear, np.zeros(len(linear)), 0.0)
    slopes = len(linear) - 1
    if scale == 0.0 or slopes < 1 or rows.total < ROWS_PER_COEFFICIENT * len(linear):
        return constant
    a = rows.absolute_residuals(beta)
    inside = rows.w * (a <= MM_TUNING * scale)
    logs = np.log(np.maximum(a, SPREAD_SMALLEST * scale))
    sub = rows.columns(linear)
    gamma = count.wls(_Rows(sub.Phi, logs, sub.w), inside, Penalty())
    law = _qorv_runtime.fitted_values(sub.Phi, gamma)
    m = float(inside.sum())
    center = _qorv_runtime.dot(inside, law) / m
    # Wald's statistic of the slopes against the noise of the log residuals
    noise = max(_qorv_runtime.dot(inside, np.square(logs - law)) / max(m - len(linear), 0.5 * m),
                LOG_ABS_VARIANCE)
    wald = _qorv_runtime.dot(inside, np.square(law - center)) / noise
    spanned = law[inside > 0]
    if (wald <= _chi2_quantile(slopes, SPREAD_Z)
            or spanned.max() - spanned.min() < math.log(SPREAD_MATERIAL)):
        return constant
    return Spread(linear, gamma, center)


def _chi2_quantile(k: int, z: float) -> float:
    """The chi-square quantile with `k` degrees of freedom at the Gaussian
    quantile `z` (Wilson and Hilferty: within a few % for k >= 1)."""
    v = 2.0 / (9.0 * k)
    return k * (1.0 - v + z * math.sqrt(v)) ** 3


def _low_degree_start(searched: _Rows, rows: _Rows, column_degrees: NDArray[np.int64],
                      sampler: Any, search_penalty: Penalty, penalty: Penalty, count: _Counter
                      ) -> NDArray[np.float64]:
    """Search at degree 1 on the `searched` rows, then S-steps on `rows` at
    each higher degree in turn, each starting from the degree below."""
    beta = np.zeros(len(column_degrees))
    for degree in range(1, int(column_degrees.max()) + 1):
        columns = np.flatnonzero(column_degrees <= degree)
        if degree == 1:
            sub = searched.columns(columns)
            found = sampler.fit(sub.Phi, sub.ys,
                                *_search_arguments(search_penalty.restrict(columns)))
            low = np.array(found.beta_mcmc)
        else:
            low = beta[columns]
        low, _ = _s_steps(rows.columns(columns), low, None, penalty.restrict(columns), START_STEPS,
                          count)
        beta = np.zeros(len(column_degrees))
        beta[columns] = low
    return beta


def _search_arguments(penalty: Penalty) -> tuple[Any, Any, float, float]:
    return penalty.R1, penalty.R2, penalty.gamma1, penalty.gamma2


def _check_weight(sample_weight: Any, n: int) -> NDArray[np.float64]:
    if sample_weight is None:
        return np.ones(n)
    w = np.asarray(sample_weight, dtype=np.float64)
    if w.shape != (n,):
        raise ValueError(f"sample_weight has shape {w.shape} but there are {n} samples")
    if not (np.all(np.isfinite(w)) and np.all(w >= 0) and w.sum() > 0):
        raise ValueError("sample_weight must be finite and >= 0, with a positive sum")
    return w


def robust_fit(Phi: NDArray[np.float64], ys: NDArray[np.float64], *,
               column_degrees: NDArray[np.int64], sampler: Any,
               subsets: list[NDArray[np.intp]] | None = None,
               sample_weight: Any = None, search_penalty: Penalty = Penalty(),
               penalty: Penalty = Penalty(), residual_threshold: float | None = None,
               refit: bool = True, max_refit_iter: int = 100) -> RobustFit:
    """MM-fit of ys ~ Phi @ beta, started from `sampler`'s search.

    `column_degrees`: the total degree of each column (for the low-degree
    start). `sampler`: anything with the `fit` of `TournamentMCMC`.
    `subsets`: nested row indices of proper subsets, smallest first (None or
    empty: every row throughout). The search runs on the first; the starts
    are compared on the first set of rows (subsets, then every row) with at
    least ROWS_PER_COEFFICIENT rows per coefficient, and the scale measured
    again on each larger one in turn; the final step converges on the
    largest subset, then makes POLISH_PASSES passes over every row.
    `sample_weight`: None or one finite weight >= 0 per row, counted as a
    number of samples; it enters the scales, every least-squares pass and
    the inlier share, so that a weight of 2 is the same as the row twice;
    the search and the subsets ignore it.
    `residual_threshold`: the inlier rule (None: INLIER_MULTIPLE scales).
    `refit=False` keeps the search's answer and only measures its scale.
    """
    n, p = Phi.shape
    w = _check_weight(sample_weight, n)
    everything = _Rows(Phi, ys, w)
    stages = [_Rows(Phi[rows], ys[rows], w[rows]) for rows in subsets or []] + [everything]
    searched = stages[0]
    count = _Counter()
    found = sampler.fit(searched.Phi, searched.ys, *_search_arguments(search_penalty))
    beta = np.array(found.beta_mcmc)
    start, converged = "search", True
    if refit:
        everything.work = _kept_work_for(Phi)
        # the starts are compared on the first set of rows large enough for
        # the coefficients, which may be larger than the searched one
        stages = [stage for stage in stages if len(stage.ys) >= ROWS_PER_COEFFICIENT * p
                  ] or [everything]
        first = stages[0]
        starts = {"search": beta, "least squares": count.wls(first, first.w, penalty)}
        if p > MANY_COEFFICIENTS and column_degrees.max() > 1:
            starts["low degree"] = _low_degree_start(searched, first, column_degrees, sampler,
                                                     search_penalty, penalty, count)
        tol = SUBSET_TOLERANCE if len(stages) > 1 else TOLERANCE
        cap = min(max_refit_iter, START_BAND_STEPS)
        cores = {name: _core(first, _s_steps(first, b, None, penalty, START_STEPS, count)[0],
                             penalty, cap, count, tol) for name, b in starts.items()}
        start = min(cores, key=lambda name: cores[name][1])
        beta, scale = _core_steps(first, *cores[start], penalty, max_refit_iter, count, tol)
        scale, tuning = _scale_and_tuning(stages, beta, scale)
        # the scale follows the inputs where the residuals clearly spread
        # along them, measured on the rows the starts were compared on
        spread = _spread(first, beta, scale, np.flatnonzero(column_degrees <= 1), count)
        # on many rows the final step converges on the largest subset, from
        # where the passes over every row, each of which takes about five
        # sixths off the distance to the answer, need only polish the
        # coefficients to well below their statistical error
        beta, converged = _m_steps(stages[-2] if len(stages) > 1 else everything, beta, scale,
                                   tuning, penalty, max_refit_iter, count, spread)
        if len(stages) > 1:
            beta, _ = _m_steps(everything, beta, scale, tuning, penalty, POLISH_PASSES, count,
                               spread)
    a = everything.absolute_residuals(beta)
    if not refit:
        scale = _window_scale(a, w, p)
    threshold = INLIER_MULTIPLE * scale if residual_threshold is None else residual_threshold
    mask = a <= threshold
    caveats = _caveats(everything, a, mask, p, threshold)
    return RobustFit(beta, scale, mask, found.energy, start, count.passes, converged, caveats)


def _scale_and_tuning(stages: list[_Rows], beta: NDArray[np.float64], scale: float
                      ) -> tuple[float, float]:
    """The scale of `beta`'s band measured again on each larger set of rows
    after the first, from the one before (the starts were compared on rows
    enough for the fit not to follow their noise, so it holds for the others
    too), and the tuning of the final step from every row's residuals at it."""
    p, everything = len(beta), stages[-1]
    a = everything.absolute_residuals(beta)
    for stage in stages[1:-1]:
        scale = _window_scale(stage.absolute_residuals(beta), stage.w, p, scale)
    if len(stages) > 1:
        scale = _window_scale(a, everything.w, p, scale)
    near = (_inside(a, everything.w, MM_TUNING * scale)
            - _inside(a, everything.w, INLIER_MULTIPLE * scale))
    return scale, MM_TUNING_NEAR if near > NEAR_SHARE * everything.total else MM_TUNING


def _caveats(rows: _Rows, a: NDArray[np.float64], mask: NDArray[np.bool_], p: int,
             threshold: float) -> tuple[str, ...]:
    """Messages on a fit whose absolute residuals `a` are within `threshold`
    on `mask`."""
    n = int(np.count_nonzero(rows.w))
    inliers = int(np.count_nonzero(mask if n == len(mask) else mask & (rows.w > 0)))
    if n < p:
        return (f"{n} samples for {p} coefficients: the polynomial can pass through "
                f"every sample, so none can stand out as an outlier; lower the degree "
                f"or add samples",)
    if inliers < p:
        return (f"{inliers} inliers for {p} coefficients: the fit rests on fewer samples "
                f"than it has coefficients; lower the degree or raise residual_threshold",)
    share = _inside(a, rows.w, threshold) / rows.total
    if share < S_BREAKDOWN:
        return (f"only {share:.0%} of the samples are inliers: a robust fit follows the "
                f"majority of the samples, so this one may have missed their trend; check "
                f"the degree, or set residual_threshold to the noise you expect",)
    return ()
