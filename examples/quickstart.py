"""From noisy samples to a fitted and refined cubic.

    pip install . && python examples/quickstart.py
    pip install '.[plot]' && python examples/quickstart.py --plot quickstart.png

Samples of a known cubic get Gaussian noise and a share of one-sided
outliers. Penalised least squares (design matrix plus a curvature penalty)
is pulled towards the outliers; the tournament MCMC search minimises the MDL
score, which counts hits within a tolerance, and so follows the inliers.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable
from typing import TypeVar

import numpy as np
from numpy.typing import NDArray

import qorv_core

TRUE_COEF = np.array([0.5, -1.0, -0.8, 1.2])  # 0.5 - x - 0.8 x^2 + 1.2 x^3
DEG = TRUE_COEF.size - 1
# The sampler starts its chains from N(0, 0.5^2) coefficients, so the inputs
# live on [-1, 1], where coefficients of order one describe the data.
X_MIN, X_MAX = -1.0, 1.0
N_SAMPLES = 300
NOISE_SD = 0.04
OUTLIER_SHARE = 0.15

Array = NDArray[np.float64]
T = TypeVar("T")


def timed(step: Callable[[], T]) -> tuple[T, float]:
    """The step's value and its wall time in milliseconds."""
    start = time.perf_counter()
    value = step()
    return value, 1e3 * (time.perf_counter() - start)


def make_samples(rng: np.random.Generator) -> tuple[Array, Array, NDArray[np.bool_]]:
    x = np.sort(rng.uniform(X_MIN, X_MAX, N_SAMPLES))
    y = qorv_core.design_matrix_1d(DEG, x) @ TRUE_COEF + rng.normal(0.0, NOISE_SD, x.size)
    outlier = rng.random(x.size) < OUTLIER_SHARE
    y[outlier] += rng.uniform(1.0, 3.0, int(outlier.sum()))
    return x, y, outlier


def plot(path: str, x: Array, y: Array, outlier: NDArray[np.bool_], fits: dict[str, Array]) -> None:
    try:
        import matplotlib
    except ImportError:
        raise SystemExit("--plot needs matplotlib: pip install '.[plot]'") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    grid = np.linspace(X_MIN, X_MAX, 400)
    G = qorv_core.design_matrix_1d(DEG, grid)
    fig, ax = plt.subplots(figsize=(8.0, 5.0))
    ax.scatter(x[~outlier], y[~outlier], s=10, color="0.6", label="samples")
    ax.scatter(x[outlier], y[outlier], s=22, marker="x", color="tab:red", label="outliers")
    ax.plot(grid, G @ fits["ridge"], color="tab:orange", linewidth=2.5,
            label="ridge fit (penalised least squares)")
    ax.plot(grid, G @ fits["MCMC"], color="tab:blue", linewidth=2.5, label="MCMC fit (MDL score)")
    ax.plot(grid, G @ fits["truth"], color="black", linestyle="--", linewidth=1.5, label="truth")
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.set_title("qorv_core quickstart: a cubic from samples with outliers")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", metavar="FILE", help="write a PNG of data and fits")
    args = parser.parse_args()

    x, y, outlier = make_samples(np.random.default_rng(7))
    Phi, t_design = timed(lambda: qorv_core.design_matrix_1d(DEG, x))
    (R1, R2), t_penalty = timed(lambda: qorv_core.smoothness_penalty_matrices_1d(DEG, X_MIN, X_MAX))
    # gamma2 weighs the curvature b'R2b against the mean squared residual.
    ridge, t_ridge = timed(lambda: qorv_core.fit_regularized_linear(Phi, y, R2=R2, gamma2=1e-4))
    # step_size * sqrt(n_warmup) must cover the way from the random starts to
    # the solution; the refinement then moves in steps of 0.3 * step_size.
    sampler = qorv_core.TournamentMCMC(n_chains=25, n_warmup=200, n_deep=2000, n_elite=5,
                                       step_size=0.05, seed=1)
    result, t_mcmc = timed(lambda: sampler.fit(Phi, y))

    fits = {"truth": TRUE_COEF, "ridge": ridge, "MCMC": np.array(result.beta_mcmc)}
    eps = 0.4 * qorv_core.mad(y)  # the tolerance the MDL score uses
    k = DEG + 1
    print(f"{N_SAMPLES} samples of a cubic on [{X_MIN:g}, {X_MAX:g}], noise sd {NOISE_SD}, "
          f"{int(outlier.sum())} outliers")
    print(f"{'coefficient':<12}" + "".join(f"{name:>10}" for name in fits))
    for p in range(k):
        print(f"{'x^' + str(p):<12}" + "".join(f"{coef[p]:>+10.3f}" for coef in fits.values()))
    print(f"{'hit ratio':<12}"
          + "".join(f"{qorv_core.compute_sr(Phi @ c, y, eps):>10.3f}" for c in fits.values())
          + f"   (share within eps = {eps:.3f})")
    print(f"{'MDL energy':<12}"
          + "".join(f"{qorv_core.mdl_score(Phi @ c, y, k):>10.2f}" for c in fits.values())
          + "   (lower is better)")
    g = result.gibbs
    print(f"warm-up chains ({result.n_chains}): entropy H {g.H:.3f} of Hmax {g.Hmax:.3f}, "
          f"He {g.He:.3f}, r_heat {g.r_heat:.3f}, energy variance {g.var_E:.3f}")
    print(f"MCMC best energy {result.energy:.2f}")
    print(f"timings: design matrix {t_design:.2f} ms, penalties {t_penalty:.2f} ms, "
          f"ridge fit {t_ridge:.2f} ms, MCMC {t_mcmc:.1f} ms")
    if args.plot:
        plot(args.plot, x, y, outlier, fits)
        print(f"plot written to {args.plot}")


if __name__ == "__main__":
    main()
