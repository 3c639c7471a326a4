"""Inside a user's process: pools started after a fit, Ctrl-C during a long
call, and thread limits set from Python."""
import ast
import multiprocessing
import os
import signal
import subprocess
import sys
import threading
import time

import pytest
import threadpoolctl

import pool_jobs
import qorv_core
from conftest import TESTS, run_with_threads

MODULE_AND_TESTS = os.pathsep.join([os.path.dirname(qorv_core.__file__), str(TESTS)])


def test_fork_pool_after_a_fit_returns_the_parents_results():
    # Two threads at least, so that the parent has OpenMP worker threads.
    with threadpoolctl.threadpool_limits(2, "openmp"):
        expected = [pool_jobs.fit(seed) for seed in range(4)]
    with multiprocessing.get_context("fork").Pool(2) as pool:
        got = pool.map_async(pool_jobs.fit_and_count_new_threads, range(4)).get(timeout=60)
    assert [result for result, _ in got] == expected
    # The forked workers ran their loops without starting any thread.
    assert {threads for _, threads in got} == {0}


FORK_AFTER_ANOTHER_LIBRARY = """
import ctypes, os, time
import numpy as np
import qorv_core as q
from pool_jobs import fit
gomp = ctypes.CDLL("libgomp.so.1")
gomp.GOMP_parallel.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint, ctypes.c_uint]
# A parallel region that another library on the same runtime runs from the
# forking thread, with a body that does nothing; this module has started no
# thread yet.
gomp.GOMP_parallel(ctypes.cast(gomp.omp_get_thread_num, ctypes.c_void_p), None, 0, 0)
pid = os.fork()
if pid == 0:
    print(repr(({call}, fit(0))), flush=True)
    os._exit(0)
deadline = time.monotonic() + 60
while not os.waitpid(pid, os.WNOHANG)[0]:
    if time.monotonic() > deadline:
        os.kill(pid, 9)
        raise SystemExit("the forked child hangs")
    time.sleep(0.05)
print(repr(({call}, fit(0))))
"""
CALLS_IN_THE_CHILD = {
    "ols": "q.ols(np.ones((10**5, 3)), np.arange(10**5.0)).tobytes()",
    "design_matrix_nd": "q.design_matrix_nd([[1], [2]], [np.arange(10**5.0)]).tobytes()",
}


@pytest.mark.parametrize("call", CALLS_IN_THE_CHILD.values(), ids=CALLS_IN_THE_CHILD.keys())
def test_child_forked_after_another_librarys_threads_runs(call):
    # The child used to wait forever for the other library's workers.
    out = run_with_threads(FORK_AFTER_ANOTHER_LIBRARY.format(call=call), 2, check=False)
    assert out.returncode == 0, out.stderr
    child, parent = out.stdout.splitlines()
    assert child == parent


@pytest.mark.parametrize("method", ["spawn", "forkserver"])
def test_spawned_workers_keep_their_threads(method, monkeypatch):
    monkeypatch.setenv("OMP_NUM_THREADS", "2")
    with multiprocessing.get_context(method).Pool(1) as pool:
        job = pool.apply_async(pool_jobs.fit_and_count_new_threads, (1,))
        result, threads = job.get(timeout=60)
    assert result == pool_jobs.fit(1)
    # A worker, and on a busy machine one more that only waits.
    assert threads in (1, 2)


def test_threadpool_limits_holds_a_fit_to_one_thread():
    script = """
import threadpoolctl
from pool_jobs import fit_and_count_new_threads as fit
with threadpoolctl.threadpool_limits(1, "openmp"):
    print(fit(0)[1])
print(fit(0)[1])
"""
    limited, free = run_with_threads(script, 2).split()
    assert limited == "0" and free in ("1", "2")


COUNTED_FIT = "import pool_jobs; print(repr(pool_jobs.fit_and_count_new_threads(3)))"


@pytest.mark.skipif(not 2 <= len(os.sched_getaffinity(0)) <= 4,
                    reason="needs 2 to 4 processors: a team of every processor in both stages")
def test_busy_machine_adds_a_thread_that_only_waits():
    # Every processor asked for while another process keeps one busy.
    cores = len(os.sched_getaffinity(0))
    busy = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    try:
        time.sleep(0.3)
        out = run_with_threads(COUNTED_FIT, cores)
    finally:
        busy.kill()
        busy.wait()
    result, threads = ast.literal_eval(out)
    assert result == pool_jobs.fit(3)
    assert threads == cores  # the workers and the one that waits


LONG_CALLS = {
    "warm-up": "q.TournamentMCMC(n_warmup=10**9).fit(X, y)",
    "refinement": "q.TournamentMCMC(n_warmup=0, n_deep=10**6).fit(X.repeat(50, 0), y.repeat(50))",
    "1-D penalties": "q.smoothness_penalty_matrices_1d(3, 0.0, 1.0, 2**31 - 1)",
    # the per-axis tables of 10**7 points, before any Kronecker product
    "N-D penalty tables": "q.build_penalty_matrices_nd([2, 2], [(0.0, 1.0)] * 2, 10**7)",
}
INTERRUPTED = """
import qorv_core as q
from pool_jobs import X, y, fit
print("started", flush=True)
try:
    {call}
except KeyboardInterrupt:
    print("interrupted", flush=True)
print(repr(fit(0)))
"""


@pytest.mark.parametrize("call", LONG_CALLS.values(), ids=LONG_CALLS.keys())
def test_ctrl_c_stops_a_long_call_and_leaves_the_module_ready(call):
    with subprocess.Popen([sys.executable, "-c", INTERRUPTED.format(call=call)],
                          env=dict(os.environ, PYTHONPATH=MODULE_AND_TESTS),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as child:
        watchdog = threading.Timer(60, child.kill)
        watchdog.start()
        try:
            assert child.stdout.readline() == "started\n"
            time.sleep(0.5)
            sent = time.perf_counter()
            child.send_signal(signal.SIGINT)
            line = child.stdout.readline()
            latency = time.perf_counter() - sent
            # Through the pipe's buffer, which may already hold the fit's
            # line: communicate() would read the pipe past it.
            rest, err = child.stdout.read(), child.stderr.read()
            child.wait()
        finally:
            watchdog.cancel()
    assert line == "interrupted\n", err
    assert latency < 1.0
    assert rest.strip() == repr(pool_jobs.fit(0))
