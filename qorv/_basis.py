"""Total-degree polynomial bases in several inputs and their smoothness penalties."""

from __future__ import annotations

import itertools
import math
import os

import numpy as np
from numpy.typing import NDArray

import _qorv_runtime  # type: ignore[import-not-found]
import qorv_core

from ._kept import kept_memory


def _physical_memory() -> int:
    """Bytes of memory in the machine."""
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


def _require_memory(n_coefficients: int, what: str, n_bytes: int) -> None:
    """MemoryError, before any work, when `n_bytes` exceed the machine's memory."""
    memory = _physical_memory()
    if n_bytes > memory:
        raise MemoryError(
            f"a basis of {n_coefficients} coefficients is too large: {what} need "
            f"{n_bytes} bytes ({n_bytes / 2**30:.3g} GiB), more than the {memory} bytes "
            f"({memory / 2**30:.3g} GiB) of memory")


def total_degree_powers(n_features: int, degree: int) -> NDArray[np.int64]:
    """Exponents of every monomial of total degree <= `degree`, one row each.

    Rows keep the order of the tensor-product basis (`generate_multi_indices`:
    dimension 0 slowest), so the penalties of this basis are principal
    submatrices of the tensor-product ones. Enumerated one dimension at a
    time, without forming the (degree + 1) ** n_features tensor product.
    Raises MemoryError when the basis is too large for the machine's memory:
    its exponents, or the three p x p matrices of the least-squares normal
    equations that a fit of its p coefficients forms.
    """
    M = math.comb(n_features + degree, degree)
    _require_memory(M, "its exponents and least-squares normal equations",
                    8 * M * n_features + 3 * 8 * M * M)
    # One step per dimension: every prefix (in order) is followed by each
    # exponent its remaining budget allows. The last column and the parent
    # of each row are kept per step; the columns are read back at the end.
    budget = np.array([degree])
    steps = []
    for _ in range(n_features):
        parent = np.repeat(np.arange(len(budget)), budget + 1)
        first = np.cumsum(budget + 1) - (budget + 1)
        exponent = np.arange(len(parent)) - np.repeat(first, budget + 1)
        steps.append((parent, exponent))
        budget = budget[parent] - exponent
    powers = np.empty((len(budget), n_features), dtype=np.int64)
    row = np.arange(len(budget))
    for d in reversed(range(n_features)):
        parent, exponent = steps[d]
        powers[:, d] = exponent[row]
        row = parent[row]
    return powers


def design_matrix(powers: NDArray[np.int64], X: NDArray[np.float64],
                  kept: bool = False) -> NDArray[np.float64]:
    """Columns prod_d X[:, d] ** powers[j, d], one per row of `powers`; in
    memory the calling thread keeps for the next design matrix with `kept`
    (`kept_memory`: it holds this one only until then).

    Powers by repeated multiplication, as `design_matrix_1d` forms them, each
    in the column of that power itself (in a column of its own where the
    basis lacks it), then one product of power columns per monomial, its
    first factor copied (a product with 1 would not change it). Raises
    MemoryError when the n x p result does not fit in the machine's memory.
    """
    n, D = X.shape
    degree = int(powers.max(initial=0))
    _require_memory(len(powers), f"its design matrix for {n} samples",
                    8 * n * (len(powers) + degree + 1))
    # rows of Phi.T are contiguous: the result is Phi in column-major order
    shape = (len(powers), n)
    Phi_t = kept_memory("design", shape[0] * n).reshape(shape) if kept else np.empty(shape)
    started = np.zeros(len(powers), dtype=bool)
    # the monomials that are a power of one feature: (feature, exponent) -> row
    single = np.flatnonzero(np.count_nonzero(powers, axis=1) == 1)
    power_rows = {(int(np.argmax(powers[j] > 0)), int(powers[j].max())): int(j) for j in single}
    for d in range(D):
        # X[:, d] ** e for e >= 1; the first power is X's own column
        power = [X[:, d], X[:, d]]
        formed = set()
        for e in range(2, int(powers[:, d].max(initial=0)) + 1):
            row = power_rows.get((d, e))
            power.append(np.multiply(power[e - 1], X[:, d],
                                     out=np.empty(n) if row is None else Phi_t[row]))
            formed.add(row)
        for j in np.flatnonzero(powers[:, d]):
            if started[j]:
                Phi_t[j] *= power[powers[j, d]]
            elif j not in formed:
                Phi_t[j] = power[powers[j, d]]
        started |= powers[:, d] > 0
    Phi_t[~started] = 1.0
    return Phi_t.T


def _axis_grams(degree: int, lo: float, hi: float, n_grid: int) -> NDArray[np.float64]:
    """step * T_o' T_o for derivative orders o = 0, 1, 2 on one axis.

    T_o[k, p] is the o-th derivative of x**p at the k-th of `n_grid` evenly
    spaced points from `lo` to `hi`, ends included, each weighted by the
    spacing (a plain Riemann sum, as in `build_penalty_matrices_nd`). Exactly
    symmetric.
    """
    x = np.linspace(lo, hi, n_grid)
    p = np.arange(degree + 1)
    # x**e by repeated multiplication and each sum of products in grid
    # order: NumPy's power and BLAS products give other bits on other
    # processors
    powers = np.ones((n_grid, degree + 1))
    for e in range(1, degree + 1):
        np.multiply(powers[:, e - 1], x, out=powers[:, e])
    grams = np.empty((3, degree + 1, degree + 1))
    for order in range(3):
        coef = np.array([math.perm(int(e), order) for e in p], dtype=float)
        table = coef * powers[:, np.maximum(p - order, 0)]
        products = np.column_stack([_qorv_runtime.fitted_values(table.T, column)
                                    for column in table.T])
        gram = (hi - lo) / (n_grid - 1) * products
        grams[order] = np.tril(gram) + np.tril(gram, -1).T
    return grams


# Pairs of monomials handled at once, times the axes worked on per pair: the
# work arrays of one block of rows stay within about 100 MB.
_PAIR_SLOTS_PER_BLOCK = 2**20
_BLOCK_BYTES = 100 * 2**20


def penalty_matrices(powers: NDArray[np.int64], degree: int,
                     bounds: list[tuple[float, float]],
                     n_grid: int) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """(R1, R2) for the monomials `powers` on the box `bounds`.

    Equal to the rows and columns of `powers` in the tensor-product penalties
    of `build_penalty_matrices_nd([degree] * D, bounds, n_grid)`, to rounding.
    A grid sum of products of per-axis factors is the product of per-axis
    sums, so each entry is a sum over derivative directions of products over
    axes of one-dimensional Gram entries. Along an axis where neither
    monomial has a positive exponent that entry is the axis's constant c_d
    (the Gram entry of two constants), and a derivative along it vanishes. So
    each entry is prod_d c_d times the terms of the few axes where either
    monomial has a positive exponent (at most twice the degree), each axis's
    Gram entries divided by its c_d. An axis of no extent (c_d = 0) makes
    every entry 0. Raises MemoryError when the two p x p results do not fit
    in the machine's memory.
    """
    M, D = powers.shape
    _require_memory(M, "its two penalty matrices",
                    8 * (2 * M * M + M * (D + 1)) + _BLOCK_BYTES)
    R1 = np.zeros((M, M))
    R2 = np.zeros((M, M))
    positive = powers > 0
    width = int(positive.sum(axis=1).max(initial=0))
    boxes = [(float(lo), float(hi)) for lo, hi in bounds]
    per_box = {box: _axis_grams(degree, *box, n_grid) for box in set(boxes)}
    grams = np.stack([per_box[box] for box in boxes]) if D else np.empty((0, 3, 1, 1))
    constants = grams[:, 0, 0, 0]
    if width == 0 or not constants.all():
        return R1, R2
    basis = _PairTerms(powers, positive, width, grams / constants[:, None, None, None])
    everywhere = np.prod(constants)
    block = max(1, _PAIR_SLOTS_PER_BLOCK // (M * 2 * width))
    for r0 in range(0, M, block):
        r1 = min(M, r0 + block)
        first_order, second_order = basis.rows(r0, r1)
        R1[r0:r1, r0:] = everywhere * first_order
        R2[r0:r1, r0:] = everywhere * second_order
        for R in (R1, R2):
            # each pair is one sum: the lower triangle mirrors the upper
            R[r1:, r0:r1] = R[r0:r1, r1:].T
            square = R[r0:r1, r0:r1]
            lower = np.tril_indices(r1 - r0, -1)
            square[lower] = square.T[lower]
    return R1, R2


class _PairTerms:
    """The derivative terms of pairs of monomials over the axes where either
    has a positive exponent, with per-axis Gram entries scaled by c_d."""

    def __init__(self, powers: NDArray[np.int64], positive: NDArray[np.bool_], width: int,
                 scaled_grams: NDArray[np.float64]) -> None:
        M, D = powers.shape
        side = scaled_grams.shape[-1]
        # order-0, -1 and -2 entries of (axis, e, e') at ((axis * side) + e) * side + e',
        # and (1, 0, 0) for an axis not worked on, at `none`
        self.none = D * side * side
        self.table = np.concatenate(
            [scaled_grams.transpose(1, 0, 2, 3).reshape(3, -1), [[1.0], [0.0], [0.0]]], axis=1)
        # each monomial's positive exponents (axis, exponent), axes ascending,
        # padded with axis D, whose exponent is 0 for every monomial
        self.stride = D + 1
        self.exponents = np.zeros((M, D + 1), dtype=np.intp)
        self.exponents[:, :D] = powers
        self.exponents = self.exponents.reshape(-1)
        self.axes = np.full((M, width), D, dtype=np.intp)
        own = np.zeros((M, width), dtype=np.intp)
        rows, axes = np.nonzero(positive)
        slot = np.arange(len(rows)) - np.searchsorted(rows, np.arange(M))[rows]
        self.axes[rows, slot] = axes
        own[rows, slot] = powers[rows, axes]
        padded = self.axes == D
        # keys of a row monomial's axes, still to add the column's exponent;
        # keys of a column monomial's axes, where the row's exponent is 0
        self.row_keys = np.where(padded, self.none, (self.axes * side + own) * side)
        self.column_keys = np.where(padded, self.none, self.axes * side * side + own)

    def rows(self, r0: int, r1: int) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Rows r0:r1, columns r0:, of R1 / prod c_d and R2 / prod c_d."""
        m = np.arange(r0, r1)[:, None, None]
        m2 = np.arange(r0, len(self.axes))[None, :, None]
        row_side = self.row_keys[r0:r1, None, :] + self.exponents.take(
            m2 * self.stride + self.axes[r0:r1, None, :])
        # an axis of both monomials is counted on the row's side
        shared = self.exponents.take(m * self.stride + self.axes[None, r0:, :]) > 0
        column_side = np.where(shared, self.none, self.column_keys[None, r0:, :])
        keys = np.concatenate([row_side, column_side], axis=2)
        plain, first, second = (self.table[order].take(keys) for order in range(3))
        # Over the axes in turn: the product of the order-0 entries; the sum,
        # over one axis, of its order-1 (order-2) entry times the others'
        # order-0 ones; and the sum, over two axes, of both order-1 entries
        # times the others' order-0 ones, each mixed derivative twice in R2.
        product = np.ones(keys.shape[:2])
        first_order, second_order, mixed = (np.zeros(keys.shape[:2]) for _ in range(3))
        for t in range(keys.shape[2]):
            b, a1, a2 = plain[:, :, t], first[:, :, t], second[:, :, t]
            mixed = mixed * b + first_order * a1
            first_order = first_order * b + product * a1
            second_order = second_order * b + product * a2
            product = product * b
        return first_order, second_order + 2.0 * mixed


def raw_coefficients(powers: NDArray[np.int64], beta: NDArray[np.float64],
                     x_scale: NDArray[np.float64], x_shift: NDArray[np.float64],
                     y_scale: float, y_shift: float) -> NDArray[np.float64]:
    """Coefficients of the same polynomial in unscaled inputs and target.

    The fit uses u_d = x_scale[d] * x_d + x_shift[d] and predicts
    (y - y_shift) / y_scale; each monomial of u expands binomially into
    monomials of x whose exponents are bounded by its own, all of which are
    in a total-degree basis. A monomial is handled through its positive
    exponents only: a zero one contributes a factor of exactly 1.
    """
    # each monomial as its (feature, exponent) pairs with a positive exponent
    sparse = [tuple((int(d), int(row[d])) for d in np.flatnonzero(row)) for row in powers]
    index = {key: j for j, key in enumerate(sparse)}
    raw = np.zeros(len(powers))
    for j, key in enumerate(sparse):
        if beta[j] == 0.0:
            continue
        for sub in itertools.product(*(range(e + 1) for _, e in key)):
            weight = beta[j]
            for (d, e), s in zip(key, sub):
                weight *= math.comb(e, s) * x_scale[d] ** s * x_shift[d] ** (e - s)
            raw[index[tuple((d, s) for (d, _), s in zip(key, sub) if s)]] += weight
    raw *= y_scale
    raw[0] += y_shift
    return raw
