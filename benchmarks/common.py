"""Timing and build helpers shared by the benchmark entry points run.py and
arch.py, and the table they both print.

Interleaved timing: the machine is shared and its speed drifts, so ours
and the peer run in alternating batches and each keeps the median of its
batches."""
import ctypes
import functools
import math
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
RESULTS = HERE / "results"
# The module's flags: CMake's Release flags plus its own -ffp-contract=off.
MODULE_FLAGS = ["-O3", "-DNDEBUG", "-std=c++17", "-ffp-contract=off"]


def per_call(fn, calls):
    start = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - start) / calls


def calls_per_batch(fn, batch_seconds):
    fn()  # warm-up: first-call costs (imports, page faults, lazy binding)
    once = per_call(fn, 1)
    return max(1, math.ceil(batch_seconds / max(once, 1e-9))), once


def interleaved(fns, rounds=7, batch_seconds=0.02, budget_seconds=8.0):
    """Median seconds per call of each function in `fns` (a dict), timed in
    rounds that run every function once, in an order that alternates."""
    plan = {name: calls_per_batch(fn, batch_seconds) for name, fn in fns.items()}
    round_seconds = sum(max(calls * once, once) for calls, once in plan.values())
    rounds = max(3, min(rounds, int(budget_seconds / max(round_seconds, 1e-9))))
    samples = {name: [] for name in fns}
    names = list(fns)
    for r in range(rounds):
        for name in (names if r % 2 == 0 else names[::-1]):
            samples[name].append(per_call(fns[name], plan[name][0]))
    return {name: statistics.median(s) for name, s in samples.items()}, samples


@functools.lru_cache(maxsize=None)
def openmp_runtime():
    """The module's OpenMP runtime (libgomp), already loaded with it."""
    return ctypes.CDLL("libgomp.so.1")


def set_omp_threads(n):
    """Thread count of the parallel regions that the calling thread starts."""
    openmp_runtime().omp_set_num_threads(n)


def fit_seconds(sampler, X, y, threads):
    set_omp_threads(threads)
    start = time.perf_counter()
    sampler.fit(X, y)
    return time.perf_counter() - start


def sampler_problem(n, deg):
    import qorv_core as q

    x = np.linspace(-1.0, 1.0, n)
    return q.design_matrix_1d(deg, x), np.sin(3.0 * x) + 0.3 * np.cos(11.0 * x)


def energy_evaluations(n_chains=25, n_warmup=200, n_deep=2000, n_elite=5):
    """Warm-up: a start and n_warmup steps per chain; then n_deep steps for
    each elite (at least one, at most n_chains)."""
    elite = min(max(n_elite, 1), n_chains)
    return n_chains * (max(n_warmup, 0) + 1) + elite * max(n_deep, 0)


def eigen_include_dir():
    for entry in sys.path:
        candidate = Path(entry) / "cmeel.prefix" / "include" / "eigen3"
        if (candidate / "Eigen" / "Dense").is_file():
            return candidate
    if Path("/usr/include/eigen3/Eigen/Dense").is_file():
        return Path("/usr/include/eigen3")
    sys.exit("Eigen headers not found: pip install cmeel-eigen (part of the bench extra)")


def build_bare_matvec(native=False):
    binary = RESULTS / ("bare_matvec_native" if native else "bare_matvec")
    source = HERE / "bare_matvec.cpp"
    if not binary.exists() or binary.stat().st_mtime < source.stat().st_mtime:
        flags = MODULE_FLAGS + (["-march=native"] if native else [])
        compiler = os.environ.get("CXX", "c++")
        subprocess.run([compiler, *flags, f"-I{eigen_include_dir()}", str(source), "-o",
                        str(binary)], check=True)
    return binary


def bare_matvec_seconds(binary, rows, cols, rounds=5):
    out = subprocess.run([str(binary), str(rows), str(cols), str(rounds)], check=True,
                         capture_output=True, text=True)
    return float(out.stdout) * 1e-9


def build_module(variant):
    """The module built with CMake under results/build-<variant>, by the preset
    dev, or native-arch for the variant native (-march=native)."""
    build_dir = RESULTS / f"build-{variant}"
    if not (build_dir / "CMakeCache.txt").exists():
        preset = "native-arch" if variant == "native" else "dev"
        subprocess.run(["cmake", "--preset", preset, "-B", str(build_dir),
                        f"-DPython_EXECUTABLE={sys.executable}"], check=True, cwd=ROOT,
                       stdout=subprocess.DEVNULL)
    print(f"    building the {variant} module in {build_dir} ...", flush=True)
    subprocess.run(["cmake", "--build", str(build_dir)], check=True, stdout=subprocess.DEVNULL)
    return build_dir


def cpu_level():
    """The kernel level the module uses here (QORV_MAX_CPU_LEVEL caps it)."""
    import _qorv_runtime

    return _qorv_runtime.kernel_level()


# The goals that the table's rows are held to, by the name the table prints.
GOALS = {
    "near bare X*beta": "the sampler's energy costs about one bare product X*beta",
    "2 threads pay": "the sampler on 2 threads takes at most 0.65 of 1 thread's time",
    "penalties, no grid": "the N-D penalties at least 100x faster than on their grid",
    "at or beyond NumPy": "each operation at least as fast as its NumPy/SciPy peer",
    "fits in place": "each fit's peak memory at most one extra copy of its input",
    "native = portable": "the -march=native build agrees with the portable one",
    "wide kernels pay": "the sampler at the widest kernel level at least 1.5x faster than "
                        "at baseline, with the same bits",
    "NumPy at every shape": "each fit at least as fast as NumPy at every shape, on a quiet "
                            "machine and with one core kept busy",
    "one pass over X": "the few-column fit within 1.5x of one contiguous pass over X",
    "2 threads, busy": "the sampler on 2 threads at least as fast as on 1 while other "
                       "processes keep one or every core busy",
}


class Report:
    """The table of measurements, printed row by row as they come."""

    def __init__(self):
        self.rows, self.samples, self.level = [], {}, cpu_level()
        print(f"{'goal':<20} {'operation':<40} {'size':>12} {'ours':>10} {'peer':>10} "
              f"{'ratio':>9} {'bound':>8} {'met':>4} {'level':>8}")

    def add(self, goal, operation, size, ours, peer, ratio, bound, met, note=""):
        assert goal in GOALS, goal
        self.rows.append(dict(goal=goal, operation=operation, size=size, ours_s=ours,
                              peer_s=peer, ratio=ratio, bound=bound, met=bool(met),
                              level=self.level, note=note))
        print(f"{goal:<20} {operation:<40} {size:>12} {fmt_time(ours):>10} "
              f"{fmt_time(peer):>10} {ratio:>9.3g} {bound:>8} {'yes' if met else 'NO':>4} "
              f"{self.level:>8}  {note}", flush=True)


class BusyCore:
    """`cores` processes that each keep a core busy while the block runs:
    Python busy loops, started and ended by the benchmark itself."""

    def __init__(self, cores=1):
        self.cores = cores

    def __enter__(self):
        self.processes = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
                          for _ in range(self.cores)]
        time.sleep(0.5)  # until the scheduler has placed them
        return self

    def __exit__(self, *exc):
        for process in self.processes:
            process.terminate()
            process.wait()


def load_note():
    """The machine's load averages, for the rows measured under it."""
    return "load " + " ".join(f"{v:.2f}" for v in os.getloadavg())


def fmt_time(seconds):
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


