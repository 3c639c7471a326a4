"""Runs a script in a fresh interpreter with a given OpenMP thread count."""
import os
import subprocess
import sys

import qorv_core


def run_with_threads(script, n_threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(n_threads),
               PYTHONPATH=os.path.dirname(qorv_core.__file__))
    out = subprocess.run([sys.executable, "-c", script], env=env,
                         capture_output=True, text=True, check=True)
    return out.stdout
