"""RobustPolynomialRegressor against RANSACRegressor on many samples.

One feature, a cubic, 20 % one-sided outliers, n = 100 000 by default. Both
fit the same data, alternately, `--repeats` times; the script prints the
median fit time of each, their ratio, and the RMS prediction error of each
against the true curve on a grid, for each `max_search_samples` given.
Goal: time at most half of RANSAC's, error at most 1.25x RANSAC's.

    python benchmarks/robust_large.py [--n 100000] [--search 1000 2000 None]
"""

import argparse
import statistics
import time

import numpy as np
from sklearn.linear_model import RANSACRegressor
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import PolynomialFeatures

from qorv import RobustPolynomialRegressor

COEF = np.array([2.0, 0.5, -0.3, 0.05])


def truth(x):
    return COEF[0] + COEF[1] * x + COEF[2] * x**2 + COEF[3] * x**3


def data(n, seed):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-3, 5, n)
    y = truth(x) + 0.1 * rng.normal(size=n)
    outliers = rng.random(n) < 0.2
    y[outliers] += rng.uniform(2, 10, outliers.sum())
    return x[:, None], y


def timed_fit(est, X, y):
    start = time.perf_counter()
    est.fit(X, y)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--search", nargs="+", default=["1000", "2000"],
                        help="max_search_samples values (None: every sample)")
    args = parser.parse_args()
    X, y = data(args.n, 0)
    grid = np.linspace(-3, 5, 2001)[:, None]
    makers = {"RANSAC": lambda seed: make_pipeline(PolynomialFeatures(3),
                                                   RANSACRegressor(random_state=seed))}
    for value in args.search:
        m = None if value == "None" else int(value)
        makers[f"qorv search={value}"] = (
            lambda seed, m=m: RobustPolynomialRegressor(max_search_samples=m, random_state=seed))
    times = {name: [] for name in makers}
    errors = {name: [] for name in makers}
    for seed in range(args.repeats):  # alternate the estimators within each round
        for name, make in makers.items():
            est = make(seed)
            times[name].append(timed_fit(est, X, y))
            errors[name].append(np.sqrt(np.mean((est.predict(grid) - truth(grid[:, 0])) ** 2)))
    t0 = statistics.median(times["RANSAC"])
    e0 = statistics.median(errors["RANSAC"])
    print(f"n = {args.n}, {args.repeats} rounds; medians")
    print(f"{'estimator':<22}{'fit s':>9}{'x RANSAC':>10}{'RMS error':>12}{'x RANSAC':>10}")
    for name in makers:
        t, e = statistics.median(times[name]), statistics.median(errors[name])
        print(f"{name:<22}{t:9.4f}{t / t0:10.2f}{e:12.2e}{e / e0:10.2f}")


if __name__ == "__main__":
    main()
