"""The NumPy and SciPy code that the module's operations are measured
against, written as a NumPy user would write it."""
import itertools

import numpy as np
import scipy.stats
from numpy.polynomial import polynomial


def mad(y):
    return scipy.stats.median_abs_deviation(y, scale=1.0)


def design_matrix_1d(deg, x):
    return polynomial.polyvander(x, deg)


def design_matrix_nd(degrees, X_cols):
    vander = {2: polynomial.polyvander2d, 3: polynomial.polyvander3d}[len(degrees)]
    return vander(*X_cols, degrees)


def ols(X, y):
    return np.linalg.lstsq(X, y, rcond=None)[0]


def fit_regularized_linear(Phi, y, R1, R2, gamma1, gamma2, ridge):
    n = len(y)
    A = Phi.T @ Phi
    A[np.diag_indices_from(A)] += ridge
    A += (n * gamma1) * R1
    A += (n * gamma2) * R2
    return np.linalg.solve(A, Phi.T @ y)


def multi_indices(degrees):
    """Every exponent tuple, dimension 0 slowest."""
    return [list(e) for e in itertools.product(*(range(d + 1) for d in degrees))]


def _derivative_table(axis, deg, order):
    """Column p: the order-th derivative of x**p at the points of the axis."""
    table = np.zeros((len(axis), deg + 1))
    for p in range(order, deg + 1):
        table[:, p] = np.prod(range(p - order + 1, p + 1)) * axis ** (p - order)
    return table


def penalty_matrices_nd_on_grid(degrees, bounds, n):
    """The grid algorithm, literally: every derivative of every basis function
    at every point of the n**D grid, and one Gram product per direction."""
    D = len(degrees)
    mis = np.array(multi_indices(degrees), dtype=int).reshape(-1, D)
    axes = [np.linspace(lo, hi, n) for lo, hi in bounds]
    dV = np.prod([(hi - lo) / (n - 1) for lo, hi in bounds])
    tables = [[_derivative_table(axes[d], degrees[d], order) for order in range(3)]
              for d in range(D)]
    # position of grid point g along each axis, axis 0 varying fastest
    grid_k = np.array(np.unravel_index(np.arange(n**D), [n] * D, order="F"))

    def gram(orders):
        work = np.ones((n**D, len(mis)))
        for d in range(D):
            work *= tables[d][orders[d]][grid_k[d]][:, mis[:, d]]
        return dV * (work.T @ work)

    unit = np.eye(D, dtype=int)
    R1 = sum(gram(unit[i]) for i in range(D))
    R2 = sum(gram(unit[i] + unit[j]) for i in range(D) for j in range(D))
    return R1, R2, mis.tolist()
