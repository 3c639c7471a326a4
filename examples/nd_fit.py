"""Fit a polynomial surface in two inputs with a smoothness penalty.

    pip install . && python examples/nd_fit.py

The N-dimensional road: build_penalty_matrices_nd gives the penalty matrices
and the multi-indices of a tensor-product basis, design_matrix_nd turns
samples into columns in that same order, and fit_regularized_linear fits.
The penalty weight gamma2 is chosen on held-out samples.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

import qorv_core

Array = NDArray[np.float64]

DEGREES = [2, 2]
BOUNDS = [(-1.0, 1.0), (0.0, 2.0)]
# f(x0, x1) = 1 + 0.5 x0 - x1 + 0.8 x0 x1 + 0.3 x1^2 - 0.4 x0^2 x1, by multi-index
TRUTH = {(0, 0): 1.0, (1, 0): 0.5, (0, 1): -1.0, (1, 1): 0.8, (0, 2): 0.3, (2, 1): -0.4}
NOISE_SD = 0.1
GAMMAS = (0.0, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1)


def sample(rng: np.random.Generator, n: int) -> list[Array]:
    return [rng.uniform(lo, hi, n) for lo, hi in BOUNDS]


def monomial(e: list[int]) -> str:
    return " ".join(f"x{d}" + (f"^{p}" if p > 1 else "") for d, p in enumerate(e) if p > 0) or "1"


def rms(a: Array) -> float:
    return float(np.sqrt(np.mean(a**2)))


def main() -> None:
    R1, R2, multi_indices = qorv_core.build_penalty_matrices_nd(DEGREES, BOUNDS, n_grid_per_dim=30)
    true_coef = np.array([TRUTH.get((e[0], e[1]), 0.0) for e in multi_indices])

    rng = np.random.default_rng(3)
    train, valid = sample(rng, 60), sample(rng, 60)
    Phi = qorv_core.design_matrix_nd(multi_indices, train)
    Phi_valid = qorv_core.design_matrix_nd(multi_indices, valid)
    y = Phi @ true_coef + rng.normal(0.0, NOISE_SD, Phi.shape[0])
    y_valid = Phi_valid @ true_coef + rng.normal(0.0, NOISE_SD, Phi_valid.shape[0])

    axes = np.meshgrid(*(np.linspace(lo, hi, 41) for lo, hi in BOUNDS))
    G = qorv_core.design_matrix_nd(multi_indices, [a.ravel() for a in axes])
    print(f"{len(multi_indices)} monomials of degree <= {DEGREES} on the box {BOUNDS}, "
          f"{Phi.shape[0]} training and {Phi_valid.shape[0]} validation samples")
    print(f"{'gamma2':>8}{'valid rms':>11}{'truth rms':>11}{'roughness':>11}")
    fits = {}
    for gamma2 in GAMMAS:
        coef = qorv_core.fit_regularized_linear(Phi, y, R2=R2, gamma2=gamma2)
        fits[gamma2] = coef
        print(f"{gamma2:>8g}{rms(Phi_valid @ coef - y_valid):>11.4f}"
              f"{rms(G @ (coef - true_coef)):>11.4f}{coef @ R2 @ coef:>11.3f}")
    best = min(GAMMAS, key=lambda g: rms(Phi_valid @ fits[g] - y_valid))
    print(f"chosen gamma2 = {best:g} (lowest validation rms); "
          f"truth roughness {true_coef @ R2 @ true_coef:.3f}")
    print(f"{'monomial':<14}{'true':>8}{'fitted':>9}")
    for e, t, c in zip(multi_indices, true_coef, fits[best]):
        print(f"{monomial(e):<14}{t:>+8.3f}{c:>+9.3f}")


if __name__ == "__main__":
    main()
