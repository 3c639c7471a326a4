"""The portable module against one built with -march=native: both are built
under benchmarks/results/ with CMake, each is timed in its own interpreter
on the same inputs, and their results are compared (they agree to about
1e-12, not bit for bit, because Eigen fuses multiply-adds in the native
build)."""
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from common import (HERE, RESULTS, Report, bare_matvec_seconds, build_bare_matvec,
                    build_module, fit_seconds, sampler_problem)

VARIANTS = ("portable", "native")


def worker(prefix, bare):
    """Runs in an interpreter that imports one build: times, then results."""
    import qorv_core as q

    import peers

    rng = np.random.default_rng(7)
    n = 100_000
    x = [rng.uniform(-1.0, 1.0, n) for _ in range(3)]
    y = np.sin(3.0 * x[0]) + 0.1 * rng.normal(size=n)
    Phi = q.design_matrix_1d(7, x[0])
    R1, R2 = q.smoothness_penalty_matrices_1d(7, -1.0, 1.0)
    mis = peers.multi_indices([3, 3, 3])
    X, ys = sampler_problem(2000, 7)
    sampler = q.TournamentMCMC()
    ops = {
        "TournamentMCMC.fit n=2000, 1 thread": lambda: fit_seconds(sampler, X, ys, 1),
        "design_matrix_1d n=1e5": lambda: q.design_matrix_1d(7, x[0]),
        "design_matrix_nd [3,3,3] n=1e5": lambda: q.design_matrix_nd(mis, x),
        "ols n=1e5": lambda: q.ols(Phi, y),
        "fit_regularized_linear n=1e5": lambda: q.fit_regularized_linear(Phi, y, R1, R2,
                                                                         1e-3, 1e-4),
        "build_penalty_matrices_nd D=3 n=30": lambda: q.build_penalty_matrices_nd(
            [3, 3, 3], [(-1.0, 1.0)] * 3, 30),
    }
    times = {}
    for name, fn in ops.items():
        fn()
        samples = []
        for _ in range(5):
            start = time.perf_counter()
            fn()
            samples.append(time.perf_counter() - start)
        times[name] = statistics.median(samples)
    times["bare X*beta n=2000 k=8"] = bare_matvec_seconds(bare, 2000, 8)

    r = sampler.fit(X, ys)
    pen = q.TournamentMCMC(n_chains=8, n_deep=500, n_elite=3).fit(X, ys, R1, R2, 1e-4, 1e-5)
    results = dict(
        sampler_beta=r.beta_mcmc, sampler_energy=r.energy,
        sampler_penalised_energy=pen.energy,
        mad=q.mad(y), design_matrix_1d=Phi, design_matrix_nd=q.design_matrix_nd(mis, x),
        ols=q.ols(Phi, y), fit_regularized_linear=q.fit_regularized_linear(Phi, y, R1, R2,
                                                                           1e-3, 1e-4),
        penalties_nd=q.build_penalty_matrices_nd([3, 3, 3], [(-1.0, 1.0)] * 3, 30)[1])
    np.savez(f"{prefix}.npz", **{k: np.asarray(v) for k, v in results.items()})
    Path(f"{prefix}.json").write_text(json.dumps(times))


def compare_builds(report):
    measured = {}
    for variant in VARIANTS:
        build_dir = build_module(variant)
        bare = build_bare_matvec(native=variant == "native")
        prefix = RESULTS / f"arch-{variant}"
        env = dict(os.environ, PYTHONPATH=f"{build_dir}{os.pathsep}{HERE}")
        subprocess.run([sys.executable, str(Path(__file__)), "worker", str(prefix), str(bare)],
                       check=True, env=env)
        measured[variant] = (json.loads(Path(f"{prefix}.json").read_text()),
                             np.load(f"{prefix}.npz"))
    (portable_t, portable_r), (native_t, native_r) = measured["portable"], measured["native"]
    for name in portable_t:
        speedup = portable_t[name] / native_t[name]
        report.add("native = portable", name, "", native_t[name], portable_t[name], speedup, "measure", True,
                   "ours = native, peer = portable build")
    for key in portable_r.files:
        a, b = portable_r[key], native_r[key]
        scale = max(np.abs(a).max(initial=0.0), 1e-300)
        rel = float(np.abs(a - b).max(initial=0.0) / scale)
        same = np.array_equal(a, b)
        report.add("native = portable", f"native = portable: {key}", "", None, None, rel, "<=1e-12",
                   rel <= 1e-12,
                   "bit-identical" if same else "max |native - portable| / max |portable|")


if __name__ == "__main__":
    if sys.argv[1:2] == ["worker"]:
        worker(sys.argv[2], sys.argv[3])
    else:
        RESULTS.mkdir(exist_ok=True)
        compare_builds(Report())
