import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES_DIR = Path(__file__).resolve().parent.parent / "examples"
EXAMPLES = sorted(EXAMPLES_DIR.glob("*.py"))

# Runs an example as __main__ with matplotlib made unimportable: without
# --plot, no example may need it.
WITHOUT_MATPLOTLIB = ("import runpy, sys; sys.modules['matplotlib'] = None; "
                      "sys.argv = sys.argv[1:]; runpy.run_path(sys.argv[0], run_name='__main__')")


def run(*args):
    return subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True,
                          timeout=120)


def test_examples_are_found():
    assert {p.name for p in EXAMPLES} >= {"quickstart.py", "nd_fit.py"}


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda p: p.name)
def test_example_runs_without_matplotlib(example):
    out = run("-c", WITHOUT_MATPLOTLIB, example)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip()


def test_quickstart_writes_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    png = tmp_path / "fit.png"
    out = run(EXAMPLES_DIR / "quickstart.py", "--plot", png)
    assert out.returncode == 0, out.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
