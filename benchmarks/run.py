"""Speed of qorv_core, side by side with its NumPy/SciPy peers and with the
bare product X beta under the sampler, as ratios measured in one run.

    pip install '.[bench]' && python benchmarks/run.py [--quick] [--arch | --shapes]

Prints a table and writes benchmarks/results/results.json (and, with
matplotlib, benchmarks/results/sampler_scaling.png). --arch also builds the
portable and the -march=native module side by side and compares them
(about three minutes of compiling the first time).
"""
import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

# OpenBLAS's idle workers go to sleep at once instead of spinning: the two
# sides alternate, and workers left spinning after a NumPy call would take a
# core from our next call (a fit of 10^5 x 8 rows then took 8 ms instead of
# 1). It must be set before NumPy loads OpenBLAS.
os.environ.setdefault("OPENBLAS_THREAD_TIMEOUT", "4")

import numpy as np  # noqa: E402

import qorv_core as q  # noqa: E402

import arch  # noqa: E402
import peers  # noqa: E402
from common import (  # noqa: E402
    GOALS, HERE, MODULE_FLAGS, RESULTS, BusyCore, Report, bare_matvec_seconds, build_bare_matvec,
    cpu_level, energy_evaluations, fit_seconds, interleaved, load_note, sampler_problem,
    set_omp_threads)

DEGREE_1D = 7
DEGREES_ND = {2: [3, 3], 3: [3, 3, 3]}


def check_same(ours, peer, what):
    ours, peer = np.asarray(ours, dtype=float), np.asarray(peer, dtype=float)
    scale = max(np.abs(peer).max(initial=0.0), 1e-300)
    if ours.shape != peer.shape or np.abs(ours - peer).max(initial=0.0) > 1e-8 * scale:
        raise AssertionError(f"{what}: ours and the peer disagree; timing would compare "
                             "different work")


def peer_cases(n, rng):
    x = [rng.uniform(-1.0, 1.0, n) for _ in range(3)]
    y = np.sin(3.0 * x[0]) + 0.1 * rng.normal(size=n)
    Phi = q.design_matrix_1d(DEGREE_1D, x[0])
    R1, R2 = q.smoothness_penalty_matrices_1d(DEGREE_1D, -1.0, 1.0)
    pen = (R1, R2, 1e-3, 1e-4, 1e-10)
    cases = [
        ("mad", lambda: q.mad(y), lambda: peers.mad(y)),
        (f"design_matrix_1d (deg {DEGREE_1D})", lambda: q.design_matrix_1d(DEGREE_1D, x[0]),
         lambda: peers.design_matrix_1d(DEGREE_1D, x[0])),
    ]
    for D, degrees in DEGREES_ND.items():
        mis, cols = peers.multi_indices(degrees), x[:D]
        cases.append((f"design_matrix_nd {degrees}",
                      lambda mis=mis, cols=cols: q.design_matrix_nd(mis, cols),
                      lambda degrees=degrees, cols=cols: peers.design_matrix_nd(degrees, cols)))
    cases += [
        (f"ols (p = {DEGREE_1D + 1})", lambda: q.ols(Phi, y), lambda: peers.ols(Phi, y)),
        (f"fit_regularized_linear (p = {DEGREE_1D + 1})",
         lambda: q.fit_regularized_linear(Phi, y, *pen),
         lambda: peers.fit_regularized_linear(Phi, y, *pen)),
    ]
    return cases


def against_peers(report, sizes, rounds):
    rng = np.random.default_rng(2024)
    for n in sizes:
        goal = 3.0 if n <= 100 else 1.0
        for name, ours, peer in peer_cases(n, rng):
            check_same(ours(), peer(), name)
            med, report.samples[f"{name} n={n}"] = interleaved({"ours": ours, "peer": peer},
                                                              rounds=rounds)
            speedup = med["peer"] / med["ours"]
            report.add("at or beyond NumPy", name, f"n={n:,}", med["ours"], med["peer"], speedup,
                       f">={goal:g}x", speedup >= goal, "ratio = peer / ours")


def mad_at_scale(report, rounds, n=10_000_000):
    y = np.random.default_rng(2025).standard_normal(n)
    check_same(q.mad(y), peers.mad(y), "mad")
    med, report.samples[f"mad n={n}"] = interleaved(
        {"ours": lambda: q.mad(y), "peer": lambda: peers.mad(y)}, rounds=rounds)
    speedup = med["peer"] / med["ours"]
    report.add("at or beyond NumPy", "mad", f"n={n:,}", med["ours"], med["peer"], speedup,
               ">=1x", speedup >= 1.0, "ratio = peer / ours")


# Times TournamentMCMC().fit at the defaults in a fresh interpreter, whose
# QORV_MAX_CPU_LEVEL the parent sets; prints the times and the result's bits.
LEVEL_CHILD = """
import json, sys, time
sys.path.insert(0, sys.argv[1])
import common, qorv_core as q
X, y = common.sampler_problem(2000, 7)
sampler = q.TournamentMCMC()
r = sampler.fit(X, y)
times = []
for _ in range(int(sys.argv[2])):
    start = time.perf_counter()
    sampler.fit(X, y)
    times.append(time.perf_counter() - start)
print(json.dumps(dict(times=times, bits=r.beta_mcmc.tobytes().hex() + r.energy.hex())))
"""


def sampler_level_child(level, fits):
    env = dict(os.environ, QORV_MAX_CPU_LEVEL=level)
    out = subprocess.run([sys.executable, "-c", LEVEL_CHILD, str(HERE), str(fits)], env=env,
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def sampler_against_baseline(report, rounds):
    """The same build at the widest level against QORV_MAX_CPU_LEVEL=baseline,
    children alternating; the results must agree bit for bit."""
    level = cpu_level()
    times = {level: [], "baseline": []}
    bits = set()
    for r in range(max(3, rounds // 2)):
        for name in ((level, "baseline") if r % 2 == 0 else ("baseline", level)):
            child = sampler_level_child(name, 3)
            times[name] += child["times"]
            bits.add(child["bits"])
    if len(bits) != 1:
        raise AssertionError("the sampler's result depends on the instruction level")
    report.samples["sampler levels"] = times
    ours, base = statistics.median(times[level]), statistics.median(times["baseline"])
    report.add("wide kernels pay", f"fit at {level} vs baseline", "n=2000 deg=7", ours, base,
               base / ours, ">=1.5x", base / ours >= 1.5, "defaults; same bits at both levels")


def penalties_without_grid(report, rounds):
    degrees, bounds, n = [3, 3, 3], [(-1.0, 1.0), (0.0, 2.0), (0.5, 1.5)], 30
    ours = lambda: q.build_penalty_matrices_nd(degrees, bounds, n)  # noqa: E731
    grid = lambda: peers.penalty_matrices_nd_on_grid(degrees, bounds, n)  # noqa: E731
    for got, ref in zip(ours()[:2], grid()[:2]):
        check_same(got, ref, "build_penalty_matrices_nd")
    med, report.samples["penalties nd"] = interleaved({"ours": ours, "grid": grid},
                                                      rounds=rounds)
    speedup = med["grid"] / med["ours"]
    report.add("penalties, no grid", "build_penalty_matrices_nd vs grid", "D=3 n=30", med["ours"], med["grid"],
               speedup, ">=100x", speedup >= 100, "peer: literal NumPy grid algorithm")


FIT_SIZES = ((100_000, 20), (1_000_000, 8))


def fits_at_scale(report, rounds, quick):
    """The two fits on tall random design matrices, against NumPy's normal
    equations and lstsq; ols also at 100 x 5, where call overhead dominates."""
    rng = np.random.default_rng(7)
    cases = [(n, p, name) for n, p in FIT_SIZES[:1 if quick else 2]
             for name in ("fit_regularized_linear", "ols")] + [(100, 5, "ols")]
    for n, p, name in cases:
        X, y = rng.standard_normal((n, p)), rng.standard_normal(n)
        zero = np.zeros((p, p))
        if name == "ols":
            ours, peer = (lambda: q.ols(X, y)), (lambda: peers.ols(X, y))
        else:
            args = (None, None, 0.0, 0.0, 1e-10)
            ours = lambda: q.fit_regularized_linear(X, y, *args)  # noqa: E731
            peer = lambda: peers.fit_regularized_linear(X, y, zero, zero, *args[2:])  # noqa: E731
        check_same(ours(), peer(), name)
        med, report.samples[f"{name} {n}x{p}"] = interleaved({"ours": ours, "peer": peer},
                                                            rounds=rounds)
        speedup, goal = med["peer"] / med["ours"], 3.0 if n <= 100 else 1.0
        report.add("at or beyond NumPy", name, f"{n:,}x{p}", med["ours"], med["peer"], speedup,
                   f">={goal:g}x", speedup >= goal,
                   "peer: NumPy " + ("lstsq" if name == "ols" else "normal equations"))


SHAPE_COLUMNS = (1, 4, 12, 286, 1001)
SHAPE_ROWS = (1_000, 10_000, 20_000, 100_000, 1_000_000)
# Largest design matrix of the shapes, in doubles (96 MB): beyond, NumPy's
# lstsq takes seconds a call.
SHAPE_MAX_DOUBLES = 12_000_000


def fit_pair(name, X, y):
    """Ours and NumPy's peer for one fit on X, y. The ridge of 1 keeps the
    normal equations of the shapes with fewer rows than columns well posed,
    so that both sides give the same answer."""
    if name == "ols":
        return (lambda: q.ols(X, y)), (lambda: peers.ols(X, y))
    zero = np.zeros((X.shape[1], X.shape[1]))
    args = (None, None, 0.0, 0.0, 1.0)
    return ((lambda: q.fit_regularized_linear(X, y, *args)),
            (lambda: peers.fit_regularized_linear(X, y, zero, zero, *args[2:])))


def shape_cases(quick):
    rows = SHAPE_ROWS[:3] if quick else SHAPE_ROWS
    return [(n, p) for p in SHAPE_COLUMNS for n in rows if n * p <= SHAPE_MAX_DOUBLES]


def fits_at_every_shape(report, rounds, quick, busy):
    """Both fits at few and many columns, from 10^3 rows up, against NumPy in
    the same run; `busy`: while another process keeps a core busy."""
    rng = np.random.default_rng(11)
    where = "one core busy" if busy else "quiet"
    for n, p in shape_cases(quick):
        X, y = rng.standard_normal((n, p)), rng.standard_normal(n)
        for name in ("fit_regularized_linear", "ols"):
            ours, peer = fit_pair(name, X, y)
            check_same(ours(), peer(), name)
            med, report.samples[f"{name} {n}x{p} {where}"] = interleaved(
                {"ours": ours, "peer": peer}, rounds=rounds, budget_seconds=3.0)
            speedup = med["peer"] / med["ours"]
            report.add("NumPy at every shape", f"{name} ({where})", f"{n:,}x{p}", med["ours"],
                       med["peer"], speedup, ">=1x", speedup >= 1.0,
                       f"peer: NumPy {'lstsq' if name == 'ols' else 'normal equations'}; "
                       + load_note())


def one_pass_over_X(report, rounds, n=1_000_000, p=4):
    """The few-column fit against NumPy's sum of X's memory in one pass."""
    rng = np.random.default_rng(12)
    X, y = rng.standard_normal((n, p)), rng.standard_normal(n)
    ours = lambda: q.fit_regularized_linear(X, y)  # noqa: E731
    one_pass = lambda: X.reshape(-1).sum()  # noqa: E731
    med, report.samples["one pass"] = interleaved({"ours": ours, "pass": one_pass},
                                                  rounds=rounds)
    ratio = med["ours"] / med["pass"]
    report.add("one pass over X", "fit_regularized_linear / X.sum()", f"{n:,}x{p}", med["ours"],
               med["pass"], ratio, "<=1.5", ratio <= 1.5,
               "peer: X.reshape(-1).sum(); " + load_note())


def sampler_threads_busy(report, rounds):
    """fit on 2 threads against 1 while other processes keep one core, then
    every core, busy. Sharing cores spreads single fits over a factor of two,
    so the medians come from many more rounds than the quiet rows'."""
    sampler = q.TournamentMCMC()
    X, y = sampler_problem(2000, 7)
    for cores in (1, os.cpu_count() or 1):
        with BusyCore(cores):
            med, report.samples[f"fit threads, {cores} busy"] = interleaved(
                {t: (lambda t=t: fit_seconds(sampler, X, y, t)) for t in (1, 2)},
                rounds=6 * rounds, budget_seconds=15.0)
            note = load_note()
        set_omp_threads(os.cpu_count() or 1)
        ratio = med[1] / med[2]
        report.add("2 threads, busy", "fit, 1 thread / 2 threads", f"n=2000 deg=7, {cores} busy",
                   med[2], med[1], ratio, ">=1", ratio >= 1.0,
                   "defaults; ours = 2 threads, peer = 1 thread; " + note)


PEAK_SCRIPT = """
import resource, sys, numpy as np, qorv_core
sys.path.insert(0, {here!r})
import peers
X = np.random.default_rng(0).standard_normal(({n}, {p}))
y = X[:, 0].copy()
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
{call}
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024 / X.nbytes)
"""


def extra_copies(call, n, p):
    """Peak resident memory of one call beyond the input, in copies of the
    input, in a fresh interpreter."""
    script = PEAK_SCRIPT.format(here=str(HERE), n=n, p=p, call=call)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(Path(q.__file__).resolve().parent), os.environ.get("PYTHONPATH", "")]))
    out = subprocess.run([sys.executable, "-c", script], env=env, check=True,
                         capture_output=True, text=True)
    return float(out.stdout)


def fit_peak_memory(report, n=1_000_000, p=20):
    for name, call, peer_call in (
            ("fit_regularized_linear", "qorv_core.fit_regularized_linear(X, y)",
             "z = np.zeros(({p}, {p})); peers.fit_regularized_linear(X, y, z, z, 0, 0, 1e-10)"),
            ("ols", "qorv_core.ols(X, y)", "peers.ols(X, y)")):
        ours, peer = extra_copies(call, n, p), extra_copies(peer_call.format(p=p), n, p)
        report.add("fits in place", f"{name} peak memory", f"{n:,}x{p}", None, None, ours,
                   "<=1 copy", ours <= 1.0,
                   f"extra peak RSS in copies of the input; NumPy peer: {peer:.2f}")


def energy_near_limit(report, rounds, bare):
    """fit with one thread against (energy evaluations) x (one bare X beta),
    alternating the two measurements."""
    sampler = q.TournamentMCMC()
    evals = energy_evaluations()
    for n, deg in ((2000, 7), (200, 3)):
        X, y = sampler_problem(n, deg)
        fit_seconds(sampler, X, y, 1)
        fits, products = [], []
        for _ in range(rounds):
            fits.append(fit_seconds(sampler, X, y, 1))
            products.append(bare_matvec_seconds(bare, n, deg + 1))
        fit_t, bare_t = statistics.median(fits), statistics.median(products)
        report.samples[f"sampler n={n} deg={deg}"] = dict(fit=fits, bare_matvec=products)
        ratio = fit_t / (evals * bare_t)
        report.add("near bare X*beta", "fit per evaluation / bare X*beta", f"n={n} deg={deg}", fit_t / evals,
                   bare_t, ratio, "<=1.3", ratio <= 1.3,
                   f"{evals} evaluations, 1 thread; bare X*beta: Eigen, same flags")


def parallel_refinement(report, rounds):
    sampler = q.TournamentMCMC()
    X, y = sampler_problem(2000, 7)
    threads = min(os.cpu_count() or 1, 2)
    if threads < 2:
        print("2 threads pay: skipped, one processor")
        return
    med, report.samples["fit threads"] = interleaved(
        {t: (lambda t=t: fit_seconds(sampler, X, y, t)) for t in (1, 2)}, rounds=rounds)
    set_omp_threads(os.cpu_count() or 1)
    ratio = med[2] / med[1]
    report.add("2 threads pay", "fit, 2 threads / 1 thread", "n=2000 deg=7", med[2], med[1], ratio,
               "<=0.65", ratio <= 0.65, "defaults; ours = 2 threads, peer = 1 thread")


def sampler_scaling(rounds, bare, sizes=(200, 1000, 5000, 20000)):
    sampler = q.TournamentMCMC()
    evals = energy_evaluations()
    scaling = {"n": list(sizes), "fit_1_thread": [], "fit_2_threads": [], "bare_matvec": []}
    for n in sizes:
        X, y = sampler_problem(n, 7)
        med, _ = interleaved({t: (lambda t=t: fit_seconds(sampler, X, y, t)) for t in (1, 2)},
                             rounds=max(3, rounds // 2), batch_seconds=0.0)
        scaling["fit_1_thread"].append(med[1] / evals)
        scaling["fit_2_threads"].append(med[2] / evals)
        scaling["bare_matvec"].append(bare_matvec_seconds(bare, n, 8))
    set_omp_threads(os.cpu_count() or 1)
    return scaling


def plot_scaling(scaling, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    n = scaling["n"]
    for key, label in (("fit_1_thread", "fit / evaluations, 1 thread"),
                       ("fit_2_threads", "fit / evaluations, 2 threads"),
                       ("bare_matvec", "bare X*beta (Eigen)")):
        ax.loglog(n, np.array(scaling[key]) * 1e9, marker="o", label=label)
    ax.set_xlabel("rows of X (degree 7, 8 columns)")
    ax.set_ylabel("ns per energy evaluation")
    ax.set_title("TournamentMCMC.fit (defaults): time per energy evaluation")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    return path


def machine():
    info = dict(python=platform.python_version(), numpy=np.__version__,
                processors=os.cpu_count(), load_average=os.getloadavg(), level=cpu_level(),
                module_flags=MODULE_FLAGS)
    try:
        import scipy
        info["scipy"] = scipy.__version__
        info["blas"] = np.show_config(mode="dicts")["Build Dependencies"]["blas"]
    except Exception as exc:  # the BLAS description is informative only
        info["blas"] = repr(exc)
    cpuinfo = Path("/proc/cpuinfo")
    if cpuinfo.exists():
        models = [line.split(":", 1)[1].strip() for line in cpuinfo.read_text().splitlines()
                  if line.startswith("model name")]
        info["cpu"] = models[0] if models else ""
    return info


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds, n up to 1e5")
    parser.add_argument("--arch", action="store_true",
                        help="also build and compare the portable and -march=native modules")
    parser.add_argument("--shapes", action="store_true",
                        help="only the fits at every shape, quiet and with a core kept busy, "
                             "and the sampler's threads with one and with every core kept busy")
    args = parser.parse_args()
    rounds = 3 if args.quick else 7
    sizes = (100, 100_000) if args.quick else (100, 100_000, 1_000_000)
    RESULTS.mkdir(exist_ok=True)
    bare = build_bare_matvec()

    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} processors (the timings "
          f"are only as quiet as the machine); kernel level {cpu_level()}")
    report = Report()
    started = time.perf_counter()
    shapes(report, rounds, args.quick)
    if args.shapes:
        write_results(report, {}, started)
        return
    energy_near_limit(report, rounds, bare)
    sampler_against_baseline(report, rounds)
    penalties_without_grid(report, rounds)
    against_peers(report, sizes, rounds)
    mad_at_scale(report, rounds)
    fits_at_scale(report, rounds, args.quick)
    fit_peak_memory(report)
    if args.arch:
        arch.compare_builds(report)
    scaling = sampler_scaling(rounds, bare)
    png = plot_scaling(scaling, RESULTS / "sampler_scaling.png")
    write_results(report, scaling, started, png)


def shapes(report, rounds, quick):
    one_pass_over_X(report, rounds)
    parallel_refinement(report, rounds)
    fits_at_every_shape(report, rounds, quick, busy=False)
    with BusyCore():
        fits_at_every_shape(report, rounds, quick, busy=True)
    sampler_threads_busy(report, rounds)


def write_results(report, scaling, started, png=None):
    out = RESULTS / "results.json"
    out.write_text(json.dumps(dict(machine=machine(), goals=GOALS, rows=report.rows, scaling=scaling,
                                   samples=report.samples,
                                   seconds=time.perf_counter() - started), indent=1,
                              default=str) + "\n")
    met = sum(r["met"] for r in report.rows)
    print(f"\n{met} of {len(report.rows)} goals met; wrote {out}" + (f" and {png}" if png else ""))


if __name__ == "__main__":
    main()
