"""Helpers shared by the test modules, and the selection of the fuzz run."""
import os
import subprocess
import sys
from pathlib import Path

import _qorv_runtime
import numpy as np

import qorv_core

TESTS = Path(__file__).resolve().parent

IN_FUZZ_CHILD = os.environ.get("QORV_FUZZ_CHILD") == "1"


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "fuzz_child: runs only in the child interpreter of the fuzz run")


def pytest_collection_modifyitems(config, items):
    # The fuzz properties run in a child interpreter that one parent test
    # starts. Elsewhere they are left out rather than skipped, so that a skip
    # always means something the tests need is missing.
    keep, drop = [], []
    for item in items:
        in_child = item.get_closest_marker("fuzz_child") is not None
        (keep if in_child == IN_FUZZ_CHILD else drop).append(item)
    if drop:
        config.hook.pytest_deselected(items=drop)
        items[:] = keep

# The fields of a Gibbs summary, in the order of its constructor.
GIBBS_FIELDS = ("H", "Hmax", "He", "r_heat", "var_E", "T")


def problem(n=60, deg=3, shift=0.0):
    """A cubic trend with deterministic noise, and its monomial design matrix
    built by repeated multiplication: no transcendental function, so the
    inputs are the same on every machine."""
    x = np.linspace(-1.0, 1.0, n)
    cols = [np.ones(n)]
    for _ in range(deg):
        cols.append(cols[-1] * x)
    noise = ((np.arange(n) * 7919) % 101) / 101.0 - 0.5
    y = 1.0 - 2.0 * x + 0.5 * x * x * x + 0.1 * noise + shift
    return np.column_stack(cols)[:, :deg + 1], y


def supported_cpu_levels():
    """The kernel levels this machine runs, narrowest first, as the module's
    own table lists them."""
    return _qorv_runtime.supported_kernel_levels()


def run_with_threads(script, n_threads, cpu_level=None, check=True, **environment):
    """Runs script in a fresh interpreter with n_threads OpenMP threads (and
    QORV_MAX_CPU_LEVEL=cpu_level when given, and the other `environment`
    variables), the module under test and the test modules importable;
    returns its output, or with check=False the completed process."""
    path = os.pathsep.join([os.path.dirname(qorv_core.__file__), str(TESTS)])
    env = dict(os.environ, OMP_NUM_THREADS=str(n_threads), PYTHONPATH=path, **environment)
    if cpu_level is not None:
        env["QORV_MAX_CPU_LEVEL"] = cpu_level
    out = subprocess.run([sys.executable, "-c", script], env=env,
                         capture_output=True, text=True, check=check)
    return out.stdout if check else out
