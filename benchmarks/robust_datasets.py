"""Outlier resistance on real data bundled with scikit-learn.

For each dataset the clean samples are split in half. The reference is least
squares on the clean training half (same polynomial basis); then 20 % or
40 % of the training targets are shifted up by 3 to 10 standard deviations
of y (one-sided outliers), and each estimator is fitted to the corrupted
half. Error: RMS difference between its predictions and the reference's on
the clean test half, in standard deviations of y (0 = as good as knowing
which samples were outliers). The estimators are timed side by side, in
turn, in one run; times are medians of `--repeats` fits.

    python benchmarks/robust_datasets.py [--repeats 3]
"""

import argparse
import statistics
import time
import warnings

import numpy as np
from sklearn.datasets import load_breast_cancer, load_diabetes, load_iris
from sklearn.exceptions import ConvergenceWarning
from sklearn.linear_model import (HuberRegressor, LinearRegression, RANSACRegressor,
                                  TheilSenRegressor)
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import PolynomialFeatures, StandardScaler

from qorv import RobustPolynomialRegressor


def diabetes_bmi_cubic():
    """BMI of the diabetes data (raw units) against a known cubic of it, plus noise."""
    x = load_diabetes(scaled=False).data[:, 2]
    u = (x - 26.0) / 4.4
    y = 150 + 40 * u - 12 * u**2 + 5 * u**3
    return x[:, None], y + 4.0 * np.random.default_rng(5).normal(size=x.size), 3


def diabetes_target():
    """Disease progression against BMI, blood pressure and s5 (raw units), linear."""
    d = load_diabetes(scaled=False)
    return d.data[:, [2, 3, 8]], d.target, 1


def breast_cancer_area():
    """Mean area against mean radius of the tumours (about pi r^2), quadratic."""
    d = load_breast_cancer()
    return d.data[:, [0]], d.data[:, 3], 2


def iris_petals():
    """Petal width against petal length, linear."""
    d = load_iris()
    return d.data[:, [2]], d.data[:, 3], 1


DATASETS = {"diabetes bmi, cubic": diabetes_bmi_cubic, "diabetes target, 3 feat.": diabetes_target,
            "breast cancer area": breast_cancer_area, "iris petals": iris_petals}


def estimators(degree, seed):
    def poly(est):
        return make_pipeline(StandardScaler(), PolynomialFeatures(degree, include_bias=False), est)
    return {
        "qorv Robust": RobustPolynomialRegressor(degree=degree, random_state=seed),
        "RANSAC": poly(RANSACRegressor(random_state=seed)),
        "Huber": poly(HuberRegressor()),
        "TheilSen": poly(TheilSenRegressor(random_state=seed)),
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    warnings.simplefilter("ignore", ConvergenceWarning)
    names = list(estimators(1, 0))
    print(f"{'dataset':<26}{'out':>4}  " + "".join(f"{n:>22}" for n in names))
    print(f"{'':<26}{'':>4}  " + "".join(f"{'error  time ms':>22}" for _ in names))
    for title, load in DATASETS.items():
        X, y, degree = load()
        rng = np.random.default_rng(0)
        perm = rng.permutation(len(y))
        train, test = perm[: len(y) // 2], perm[len(y) // 2:]
        ref = make_pipeline(PolynomialFeatures(degree), LinearRegression()).fit(X[train], y[train])
        ref_pred = ref.predict(X[test])
        sd = y.std()
        for share in (0.2, 0.4):
            yc = y[train].copy()
            hit = rng.random(len(train)) < share
            yc[hit] += rng.uniform(3, 10, hit.sum()) * sd
            times = {n: [] for n in names}
            errors = {}
            for r in range(args.repeats):  # the estimators alternate within a round
                for name, est in estimators(degree, r).items():
                    start = time.perf_counter()
                    est.fit(X[train], yc)
                    times[name].append(time.perf_counter() - start)
                    if r == 0:
                        pred = est.predict(X[test])
                        errors[name] = np.sqrt(np.mean((pred - ref_pred) ** 2)) / sd
            cells = "".join(f"{errors[n]:>12.3f}{1e3 * statistics.median(times[n]):>10.1f}"
                            for n in names)
            print(f"{title:<26}{share:>4.0%}  {cells}")


if __name__ == "__main__":
    main()
