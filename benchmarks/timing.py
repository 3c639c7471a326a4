"""Interleaved timing: the machine is shared and its speed drifts, so ours
and the peer run in alternating batches and each keeps the median of its
batches."""
import math
import statistics
import time


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
