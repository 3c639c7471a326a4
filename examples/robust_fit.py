"""A robust polynomial fit to real measurements with corrupted records, beside least squares.

    pip install '.[sklearn,plot]' && python examples/robust_fit.py --plot robust_fit.png

The breast cancer data that scikit-learn ships describes the cell nuclei of
569 tumours; among its columns are their mean radius and mean area, and the
area follows the radius closely (about pi r^2). Here one record in five gets
its area corrupted, entered 1.5 to 3 times too large, as a wrong unit or a
misread field would. `RobustPolynomialRegressor` fits a quadratic in the
radius to the corrupted data and flags every corrupted record; least squares
on the same terms (`PolynomialFeatures` and `LinearRegression`) is pulled up
by them. Each fit's error is its RMS distance from the recorded areas of the
intact records. The area's spread grows with the radius, so the robust fit's
band of residuals, set by the many small nuclei, also flags some genuine
large ones: `inlier_mask_` marks what the fit explains, not proven errors.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
from numpy.typing import NDArray
from sklearn.datasets import load_breast_cancer  # type: ignore[import-untyped]
from sklearn.linear_model import LinearRegression  # type: ignore[import-untyped]
from sklearn.pipeline import make_pipeline  # type: ignore[import-untyped]
from sklearn.preprocessing import PolynomialFeatures  # type: ignore[import-untyped]

from qorv import RobustPolynomialRegressor

CORRUPTED_SHARE = 0.2
DEGREE = 2

Array = NDArray[np.float64]


def load(rng: np.random.Generator) -> tuple[Array, Array, Array, NDArray[np.bool_]]:
    """Radius as a one-column X, the recorded area, the corrupted area and which records
    were corrupted."""
    data = load_breast_cancer()
    names = list(data.feature_names)
    radius = data.data[:, [names.index("mean radius")]]
    area = data.data[:, names.index("mean area")]
    corrupted = rng.random(area.size) < CORRUPTED_SHARE
    y = area.copy()
    y[corrupted] *= rng.uniform(1.5, 3.0, int(corrupted.sum()))
    return radius, area, y, corrupted


def rms(a: Array, b: Array) -> float:
    return float(np.sqrt(np.mean((a - b) ** 2)))


def plot(path: str, radius: Array, y: Array, corrupted: NDArray[np.bool_],
         fits: dict[str, Array], grid: Array) -> None:
    try:
        import matplotlib
    except ImportError:
        raise SystemExit("--plot needs matplotlib: pip install '.[plot]'") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8.0, 5.0))
    x = radius[:, 0]
    ax.scatter(x[~corrupted], y[~corrupted], s=10, color="0.6", label="intact records")
    ax.scatter(x[corrupted], y[corrupted], s=18, marker="x", color="tab:red",
               label="corrupted records")
    for (name, prediction), color in zip(fits.items(), ("tab:blue", "tab:orange")):
        ax.plot(grid[:, 0], prediction, color=color, linewidth=2.5, label=name)
    ax.set_xlabel("mean radius of the nuclei")
    ax.set_ylabel("mean area of the nuclei")
    ax.set_title(f"breast cancer data, {CORRUPTED_SHARE:.0%} of the areas corrupted")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", metavar="FILE", help="write a PNG of the data and both fits")
    args = parser.parse_args()

    radius, area, y, corrupted = load(np.random.default_rng(0))
    start = time.perf_counter()
    robust = RobustPolynomialRegressor(degree=DEGREE, random_state=0).fit(radius, y)
    seconds = time.perf_counter() - start
    least_squares = make_pipeline(PolynomialFeatures(DEGREE), LinearRegression()).fit(radius, y)

    intact = ~corrupted
    print(f"{area.size} tumours, {int(corrupted.sum())} areas corrupted; "
          f"quadratic in the mean radius")
    terms = " ".join(f"{c:+.3f} {name}" for c, name in
                     zip(robust.coef_, robust.get_feature_names_out(["r"])))
    print(f"robust fit: area = {robust.intercept_:.2f} {terms}   ({1e3 * seconds:.0f} ms)")
    flagged = ~robust.inlier_mask_
    print(f"robust fit flags {int(flagged[corrupted].sum())} of the {int(corrupted.sum())} "
          f"corrupted records and {int(flagged[intact].sum())} of the {int(intact.sum())} "
          f"intact ones as outliers")
    errors = {"RobustPolynomialRegressor": rms(robust.predict(radius[intact]), area[intact]),
              "least squares": rms(least_squares.predict(radius[intact]), area[intact])}
    for name, error in errors.items():
        print(f"RMS error on the intact records, {name + ':':<27}{error:8.1f}")
    if args.plot:
        grid = np.linspace(radius.min(), radius.max(), 300)[:, None]
        fits = {"RobustPolynomialRegressor": robust.predict(grid),
                "least squares": least_squares.predict(grid)}
        plot(args.plot, radius, y, corrupted, fits, grid)
        print(f"plot written to {args.plot}")


if __name__ == "__main__":
    main()
