"""QORV-P performans-kritik cekirdegi (C++/Eigen).

MDL scoring of linear models, polynomial bases and smoothness penalties,
least squares and a tournament MCMC search. Every function copies its
arguments (the least-squares fits read float64 arrays in place)
and returns new objects; docs/reference.md has the details.
"""

# Started from pybind11-stubgen's output and kept by hand where the generated
# signatures promise more than the module accepts: integer parameters take
# `SupportsIndex` (a float is refused at run time even though it has
# __int__), optional penalty matrices are `ArrayLike | None` rather than
# `Any`, and results are plain NDArrays (vectors come back one-dimensional,
# not "[m, 1]"). tests/test_stub.py keeps names and defaults in step with
# the module.

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray

_FloatLike: TypeAlias = SupportsFloat | SupportsIndex

__all__ = [
    "GibbsResult",
    "MCMCResult",
    "TournamentMCMC",
    "boundary_reduce_1d",
    "build_penalty_matrices_nd",
    "compute_sr",
    "design_matrix_1d",
    "design_matrix_nd",
    "fit_regularized_linear",
    "gibbs_entropy",
    "mad",
    "mdl_score",
    "mdl_score_reg",
    "ols",
    "smoothness_penalty_matrices_1d",
]

def mad(y: ArrayLike) -> float:
    """Median absolute deviation of `y` from its median, not rescaled.

    `y` is a vector (shape (m,) or (m, 1)); empty or one-element input gives 0.0.
    Example: mad([1, 2, 3, 4]) == 1.0
    """

def compute_sr(yp: ArrayLike, yt: ArrayLike, eps: _FloatLike) -> float:
    """Hit ratio: share of i < len(yt) with |yp[i] - yt[i]| < eps.

    Floored at 1 / (2 len(yt)); NaN for an empty `yt`. Extra entries of `yp`
    are ignored. Raises ValueError when `yp` is shorter than `yt`.
    Example: compute_sr([1, 2, 3, 4], [1, 2, 3, 4], 0.0) == 0.125
    """

def mdl_score(yp: ArrayLike, yt: ArrayLike, k: SupportsIndex, H: SupportsIndex = 20) -> float:
    """Description length k**2 ln(2H) / n - n ln(sr) of predictions `yp` of `yt`.

    n = len(yt); sr is the hit ratio at eps = 0.4 * mad(yt) (0.4 when that is
    not positive); the model term is 0 for k <= 0. Lower is better.
    Raises ValueError when `yp` is shorter than `yt`.
    Example: mdl_score([1, 2, 3, 4], [1, 2, 3, 4], 2) == 3.6888794541139363
    """

def mdl_score_reg(
    yp: ArrayLike,
    yt: ArrayLike,
    k: SupportsIndex,
    H: SupportsIndex,
    beta: ArrayLike,
    R1: ArrayLike,
    R2: ArrayLike,
    gamma1: _FloatLike = 0.0,
    gamma2: _FloatLike = 0.0,
) -> float:
    """`mdl_score` plus gamma1 * beta' R1 beta, then gamma2 * beta' R2 beta.

    `R1` and `R2` are required (None is a TypeError); a matrix whose weight is
    0 is not read, a used one must be len(beta) x len(beta) (else ValueError).
    Example: mdl_score_reg([1, 2], [1, 2], 1, 20, [1, 2], np.diag([2, 1]), np.eye(2), 0.5)
    gives 4.844439727056968
    """

def design_matrix_1d(deg: SupportsIndex, x: ArrayLike) -> NDArray[np.float64]:
    """Vandermonde matrix of shape (len(x), deg + 1): columns 1, x, ..., x**deg.

    Raises ValueError for deg < 0.
    Example: design_matrix_1d(3, [2.0]) -> [[1, 2, 4, 8]]
    """

def smoothness_penalty_matrices_1d(
    deg: SupportsIndex, x_min: _FloatLike, x_max: _FloatLike, n_grid: SupportsIndex = 600
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """(R1, R2), each (deg + 1) x (deg + 1), for the basis 1, x, ..., x**deg.

    b' R1 b and b' R2 b approximate the integrals of f'(x)**2 and f''(x)**2
    over [x_min, x_max] by Riemann sums on n_grid points, ends included.
    Raises ValueError "deg < 0", then "n_grid < 2"; Ctrl-C, KeyboardInterrupt.
    Example: R1, R2 = smoothness_penalty_matrices_1d(3, -1.0, 1.0)
    """

def boundary_reduce_1d(
    deg: SupportsIndex, x_min: _FloatLike, x_max: _FloatLike
) -> NDArray[np.float64]:
    """Symmetric B, (deg + 1) x (deg + 1), with b' B b = f'f''(x_max) - f'f''(x_min).

    deg = -1 gives a 0 x 0 matrix; a lower deg raises MemoryError.
    Example: boundary_reduce_1d(2, 0.0, 1.0) -> diag(0, 0, 4)
    """

def design_matrix_nd(
    multi_indices: Sequence[Sequence[SupportsIndex]], X_cols: Sequence[ArrayLike]
) -> NDArray[np.float64]:
    """Design matrix (n, len(multi_indices)) of tensor-product monomials.

    Column j is the product over d of X_cols[d] ** multi_indices[j][d]; the
    first of the D vectors of `X_cols` sets n, later ones need at least n
    entries (the first n are read), and every multi-index needs at least D
    entries (else ValueError). Ctrl-C raises KeyboardInterrupt.
    Example: design_matrix_nd([[0, 0], [1, 1]], [[2, 3], [5, 7]]) -> [[1, 10], [1, 21]]
    """

def build_penalty_matrices_nd(
    degrees: Sequence[SupportsIndex],
    bounds: Sequence[Sequence[_FloatLike]],
    n_grid_per_dim: SupportsIndex = 30,
) -> tuple[NDArray[np.float64], NDArray[np.float64], list[list[int]]]:
    """(R1, R2, multi_indices) for the tensor-product basis 0 <= e[d] <= degrees[d].

    b' R1 b ~ integral of |grad f|**2 and b' R2 b ~ integral of the squared
    Frobenius norm of the Hessian over the box `bounds` = [(lo, hi), ...],
    on n_grid_per_dim points per axis. `multi_indices` (dimension 0 slowest)
    orders the rows and columns; pass it to `design_matrix_nd`.
    Raises ValueError "Dimension mismatch." when len(bounds) != len(degrees),
    and for n_grid_per_dim < 2; Ctrl-C raises KeyboardInterrupt.
    Example: R1, R2, mi = build_penalty_matrices_nd([2, 2], [(-1, 1), (0, 5)])
    """

def ols(X: ArrayLike, y: ArrayLike) -> NDArray[np.float64]:
    """Minimum-norm least-squares solution of X beta = y, by SVD; shape (X.shape[1],).

    Raises ValueError when len(y) differs from the row count of `X`.
    Example: ols([[1, 0], [0, 1], [1, 1]], [1, 2, 3]) -> [1, 2]
    """

def fit_regularized_linear(
    Phi: ArrayLike,
    y: ArrayLike,
    R1: ArrayLike | None = None,
    R2: ArrayLike | None = None,
    gamma1: _FloatLike = 0.0,
    gamma2: _FloatLike = 0.0,
    ridge: _FloatLike = 1e-10,
) -> NDArray[np.float64]:
    """Penalised least squares; coefficients of shape (Phi.shape[1],).

    Solves (Phi'Phi + ridge I + n gamma1 R1 + n gamma2 R2) beta = Phi'y with
    n = len(y): the penalty weights act against the mean squared residual,
    the ridge against the summed one. A penalty with matrix None or weight 0
    is left out. Raises ValueError for mismatched sizes, RuntimeError for an
    R1/R2 that cannot be converted to a matrix.
    Example: fit_regularized_linear(Phi, y, R2=R2, gamma2=1e-4)
    """

class GibbsResult:
    """Boltzmann summary of a set of energies; made by `gibbs_entropy` only.

    Cannot be pickled or copied (TypeError).
    """

    @property
    def H(self) -> float:
        """Entropy (nats) of the normalised weights exp(-(E - min E) / T)."""
    @property
    def Hmax(self) -> float:
        """ln(max(N, 2)) for N energies."""
    @property
    def He(self) -> float:
        """H / Hmax, between 0 and 1."""
    @property
    def r_heat(self) -> float:
        """0.01 + 0.99 He."""
    @property
    def var_E(self) -> float:
        """Population variance of the energies."""
    @property
    def T(self) -> float:
        """The temperature as passed."""

def gibbs_entropy(energies: ArrayLike, T: _FloatLike = 1.0) -> GibbsResult:
    """Gibbs-entropy summary of `energies` at temperature T.

    Raises ValueError for an empty `energies`.
    Example: gibbs_entropy([0.0, 1.0]).H == 0.5822031088882179
    """

class MCMCResult:
    """Outcome of `TournamentMCMC.fit`; read-only, cannot be pickled or copied."""

    @property
    def beta_mcmc(self) -> NDArray[np.float64]:
        """Best coefficient vector found: a read-only view that keeps the result alive."""
    @property
    def energy(self) -> float:
        """Energy (penalised MDL score) of `beta_mcmc`."""
    @property
    def gibbs(self) -> GibbsResult:
        """Summary of the chains' final warm-up energies at T = 1."""
    @property
    def n_chains(self) -> int:
        """Configured number of chains."""
    @property
    def n_elite(self) -> int:
        """Configured elite size (not the number refined)."""

class TournamentMCMC:
    """Immutable sampler configuration that minimises the penalised MDL score.

    Warm-up chains start from random vectors (standard deviation 0.5 per
    entry), so coefficients should be of order one. The same inputs,
    configuration and seed give the same result whatever the thread count.
    Cannot be pickled or copied (TypeError).
    """

    def __init__(
        self,
        n_chains: SupportsIndex = 25,
        n_warmup: SupportsIndex = 200,
        n_deep: SupportsIndex = 2000,
        n_elite: SupportsIndex = 5,
        step_size: _FloatLike = 0.05,
        H_piH: SupportsIndex = 20,
        seed: SupportsIndex = 42,
    ) -> None:
        """Store the configuration; `seed` is 0 to 2**64 - 1 (TypeError otherwise)."""
    def fit(
        self,
        X: ArrayLike,
        y: ArrayLike,
        R1: ArrayLike | None = None,
        R2: ArrayLike | None = None,
        gamma1: _FloatLike = 0.0,
        gamma2: _FloatLike = 0.0,
    ) -> MCMCResult:
        """Minimise mdl_score_reg(X @ b, y, X.shape[1], H_piH, b, R1, R2, gamma1, gamma2).

        Raises ValueError for n_chains < 1, a `y` without one entry per row
        of `X`, or a used penalty matrix that is not k x k for k columns.
        Ctrl-C stops the fit within a fraction of a second (KeyboardInterrupt).
        Example: TournamentMCMC(seed=1).fit(X, y).beta_mcmc
        """
