"""Many independent robust fits: a plain loop, joblib processes and a Dask cluster.

Fits one RobustPolynomialRegressor per series (a cubic with 20 % outliers)
three ways and checks that all three give identical coefficients. Each
process runs one fit at a time with one OpenMP thread: OMP_NUM_THREADS=1 is
set here, before qorv_core is loaded, and the worker processes inherit it.

    python examples/many_fits.py                      # 300 series, LocalCluster of 2 workers
    python examples/many_fits.py --scheduler tcp://host:8786   # an existing Dask cluster

Needs `pip install '.[dask]'`.
"""

import os

os.environ.setdefault("OMP_NUM_THREADS", "1")

import argparse  # noqa: E402
import time  # noqa: E402
from collections.abc import Callable  # noqa: E402
from typing import Any  # noqa: E402

import numpy as np  # noqa: E402
from joblib import Parallel, delayed  # type: ignore[import-untyped]  # noqa: E402
from numpy.typing import NDArray  # noqa: E402

from qorv import RobustPolynomialRegressor  # noqa: E402

Series = list[tuple[NDArray[np.float64], NDArray[np.float64]]]


def make_series(n_series: int, n_samples: int, seed: int = 0) -> Series:
    """(x, y) pairs: a random cubic on a random interval, 20 % of y shifted up."""
    rng = np.random.default_rng(seed)
    series = []
    for _ in range(n_series):
        x = rng.uniform(-5.0, 5.0) + rng.uniform(1.0, 10.0) * rng.random(n_samples)
        coef = rng.normal(size=4)
        u = (x - x.mean()) / x.std()
        y = coef[0] + coef[1] * u + coef[2] * u**2 + coef[3] * u**3
        y += 0.05 * rng.normal(size=n_samples)
        outliers = rng.random(n_samples) < 0.2
        y[outliers] += rng.uniform(2.0, 8.0, outliers.sum())
        series.append((x, y))
    return series


def fit_one(x: NDArray[np.float64], y: NDArray[np.float64], seed: int) -> RobustPolynomialRegressor:
    # A fitted estimator pickles, so it comes back from any worker as it is.
    return RobustPolynomialRegressor(random_state=seed).fit(x[:, None], y)


def fit_loop(series: Series) -> list[RobustPolynomialRegressor]:
    return [fit_one(x, y, i) for i, (x, y) in enumerate(series)]


def fit_joblib(series: Series, n_jobs: int) -> list[RobustPolynomialRegressor]:
    # loky, joblib's default process backend
    fits: list[RobustPolynomialRegressor] = Parallel(n_jobs=n_jobs)(delayed(fit_one)(x, y, i) for i, (x, y) in enumerate(series))
    return fits


def fit_dask(series: Series, n_workers: int,
             scheduler: str | None = None) -> list[RobustPolynomialRegressor]:
    from dask.distributed import Client, LocalCluster

    cluster: Any = None
    if scheduler is None:
        cluster = LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)  # type: ignore[no-untyped-call]
        client = Client(cluster)  # type: ignore[no-untyped-call]
    else:
        client = Client(scheduler)  # type: ignore[no-untyped-call]
    try:
        xs, ys = zip(*series)
        futures = client.map(fit_one, xs, ys, range(len(series)), pure=False)
        fits: list[RobustPolynomialRegressor] = client.gather(futures)  # type: ignore[no-untyped-call]
        return fits
    finally:
        client.close()  # type: ignore[no-untyped-call]
        if cluster is not None:
            cluster.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=300)
    parser.add_argument("--samples", type=int, default=200)
    parser.add_argument("--workers", type=int, default=2, help="processes for joblib and the LocalCluster")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler instead of a LocalCluster")
    args = parser.parse_args()

    series = make_series(args.series, args.samples)
    ways: dict[str, Callable[[], list[RobustPolynomialRegressor]]] = {
        "loop": lambda: fit_loop(series),
        "joblib": lambda: fit_joblib(series, args.workers),
        "dask": lambda: fit_dask(series, args.workers, args.scheduler),
    }
    coefs = {}
    for name, run in ways.items():
        start = time.perf_counter()
        fits = run()
        coefs[name] = np.array([f.coef_ for f in fits])
        print(f"{name:>7}: {len(fits)} fits in {time.perf_counter() - start:.2f} s")
    same = all(np.array_equal(coefs["loop"], c) for c in coefs.values())
    print("identical coefficients:", same)
    if not same:
        raise SystemExit(1)


if __name__ == "__main__":
    main()
