"""Total-degree polynomial bases in several inputs and their smoothness penalties."""

from __future__ import annotations

import itertools
import math

import numpy as np
from numpy.typing import NDArray

import qorv_core


def total_degree_powers(n_features: int, degree: int) -> NDArray[np.int64]:
    """Exponents of every monomial of total degree <= `degree`, one row each.

    Rows keep the order of the tensor-product basis (`generate_multi_indices`:
    dimension 0 slowest), so the penalties of this basis are principal
    submatrices of the tensor-product ones. Enumerated without forming the
    (degree + 1) ** n_features tensor product.
    """
    rows: list[tuple[int, ...]] = []

    def extend(prefix: tuple[int, ...], budget: int) -> None:
        if len(prefix) == n_features:
            rows.append(prefix)
            return
        for e in range(budget + 1):
            extend(prefix + (e,), budget - e)

    extend((), degree)
    return np.array(rows, dtype=np.int64).reshape(len(rows), n_features)


def design_matrix(powers: NDArray[np.int64], X: NDArray[np.float64]) -> NDArray[np.float64]:
    """Columns prod_d X[:, d] ** powers[j, d], one per row of `powers`.

    Powers by repeated multiplication, as `design_matrix_1d` forms them,
    then one product of table columns per monomial.
    """
    n, D = X.shape
    degree = int(powers.max(initial=0))
    # rows of Phi.T are contiguous: the result is Phi in column-major order,
    # the kernel's own layout
    Phi_t = np.ones((len(powers), n))
    table = np.empty((degree + 1, n))
    table[0] = 1.0
    for d in range(D):
        for e in range(1, degree + 1):
            np.multiply(table[e - 1], X[:, d], out=table[e])
        for j in np.flatnonzero(powers[:, d]):
            Phi_t[j] *= table[powers[j, d]]
    return Phi_t.T


def _axis_grams(degree: int, lo: float, hi: float, n_grid: int) -> NDArray[np.float64]:
    """step * T_o' T_o for derivative orders o = 0, 1, 2 on one axis.

    T_o[k, p] is the o-th derivative of x**p at the k-th of `n_grid` evenly
    spaced points from `lo` to `hi`, ends included, each weighted by the
    spacing (a plain Riemann sum, as in `build_penalty_matrices_nd`).
    """
    x = np.linspace(lo, hi, n_grid)
    p = np.arange(degree + 1)
    grams = np.empty((3, degree + 1, degree + 1))
    for order in range(3):
        coef = np.array([math.perm(int(e), order) for e in p], dtype=float)
        table = coef * x[:, None] ** np.maximum(p - order, 0)
        grams[order] = (hi - lo) / (n_grid - 1) * (table.T @ table)
    return grams


def penalty_matrices(powers: NDArray[np.int64], degree: int,
                     bounds: list[tuple[float, float]],
                     n_grid: int) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """(R1, R2) for the monomials `powers` on the box `bounds`.

    Equal to the rows and columns of `powers` in the tensor-product penalties
    of `build_penalty_matrices_nd([degree] * D, bounds, n_grid)`. A grid sum
    of products of per-axis factors is the product of per-axis sums, so each
    entry is a product over axes of one-dimensional Gram entries and only
    M x M matrices are formed, for M = len(powers).
    """
    M, D = powers.shape
    R1 = np.zeros((M, M))
    R2 = np.zeros((M, M))
    if D == 0:
        return R1, R2
    # factor[order][d] is the M x M table of axis d's Gram entries
    factor = np.empty((3, D, M, M))
    for d, (lo, hi) in enumerate(bounds):
        grams = _axis_grams(degree, lo, hi, n_grid)
        e = powers[:, d]
        factor[:, d] = grams[:, e[:, None], e[None, :]]
    plain = factor[0]
    # prod over d not in {i, j} of the order-0 factors, from prefix and
    # suffix products, so that no factor is ever divided out
    prefix = np.empty((D + 1, M, M))
    suffix = np.empty((D + 1, M, M))
    prefix[0] = suffix[D] = 1.0
    for d in range(D):
        prefix[d + 1] = prefix[d] * plain[d]
        suffix[D - 1 - d] = suffix[D - d] * plain[D - 1 - d]
    for i in range(D):
        without_i = prefix[i] * suffix[i + 1]
        R1 += factor[1, i] * without_i
        R2 += factor[2, i] * without_i
        between = np.ones((M, M))
        for j in range(i + 1, D):
            # each mixed derivative appears twice, as (i, j) and (j, i)
            R2 += 2.0 * (prefix[i] * factor[1, i] * between * factor[1, j] * suffix[j + 1])
            between = between * plain[j]
    return R1, R2


def raw_coefficients(powers: NDArray[np.int64], beta: NDArray[np.float64],
                     x_scale: NDArray[np.float64], x_shift: NDArray[np.float64],
                     y_scale: float, y_shift: float) -> NDArray[np.float64]:
    """Coefficients of the same polynomial in unscaled inputs and target.

    The fit uses u_d = x_scale[d] * x_d + x_shift[d] and predicts
    (y - y_shift) / y_scale; each monomial of u expands binomially into
    monomials of x whose exponents are bounded by its own, all of which are
    in a total-degree basis.
    """
    index = {tuple(int(v) for v in row): j for j, row in enumerate(powers)}
    raw = np.zeros(len(powers))
    for j, row in enumerate(powers):
        if beta[j] == 0.0:
            continue
        for sub in itertools.product(*(range(int(e) + 1) for e in row)):
            weight = beta[j]
            for d, (e, s) in enumerate(zip(row, sub)):
                weight *= math.comb(int(e), s) * x_scale[d] ** s * x_shift[d] ** (int(e) - s)
            raw[index[sub]] += weight
    raw *= y_scale
    raw[0] += y_shift
    return raw
