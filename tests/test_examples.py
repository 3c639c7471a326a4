import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES_DIR = ROOT / "examples"
EXAMPLES = sorted(EXAMPLES_DIR.glob("*.py"))
# Starts a Dask cluster: run once, on a small problem, by its own test.
MANY_FITS = EXAMPLES_DIR / "many_fits.py"

# Runs an example as __main__ with matplotlib made unimportable: without
# --plot, no example may need it.
WITHOUT_MATPLOTLIB = ("import runpy, sys; sys.modules['matplotlib'] = None; "
                      "sys.argv = sys.argv[1:]; runpy.run_path(sys.argv[0], run_name='__main__')")


def run(*args):
    """Runs a script with the `qorv` and `qorv_core` that the tests import."""
    import qorv
    import qorv_core
    path = [str(Path(qorv.__file__).parent.parent), str(Path(qorv_core.__file__).parent)]
    path += [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    return subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True,
                          timeout=120, env=env)


def test_examples_are_found():
    assert {p.name for p in EXAMPLES} >= {"robust_fit.py", "quickstart.py", "nd_fit.py",
                                          "many_fits.py"}


@pytest.mark.parametrize("example", [p for p in EXAMPLES if p != MANY_FITS],
                         ids=lambda p: p.name)
def test_example_runs_without_matplotlib(example):
    out = run("-c", WITHOUT_MATPLOTLIB, example)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip()


@pytest.mark.parametrize("example", ["robust_fit.py", "quickstart.py"])
def test_example_writes_a_png(example, tmp_path):
    pytest.importorskip("matplotlib")
    png = tmp_path / "fit.png"
    out = run(EXAMPLES_DIR / example, "--plot", png)
    assert out.returncode == 0, out.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_main_job_prints_both_errors_and_the_robust_one_is_smaller():
    pytest.importorskip("sklearn")
    out = run(EXAMPLES_DIR / "robust_fit.py")
    assert out.returncode == 0, out.stderr
    errors = dict(line.split("records, ")[1].rsplit(":", 1) for line in out.stdout.splitlines()
                  if line.startswith("RMS error"))
    assert errors.keys() == {"RobustPolynomialRegressor", "least squares"}
    assert 5 * float(errors["RobustPolynomialRegressor"]) < float(errors["least squares"])


def test_many_fits_script_of_the_reference_runs(tmp_path):
    section = (ROOT / "docs" / "reference.md").read_text().split("\n## Many fits\n")[1]
    script = tmp_path / "many_fits.py"
    script.write_text(section.split("```python\n")[1].split("```")[0])
    out = run(script)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("[")


def test_many_fits_identical_in_loop_joblib_and_dask():
    out = run("-c", WITHOUT_MATPLOTLIB, MANY_FITS, "--series", "12", "--samples", "80")
    assert out.returncode == 0, out.stdout + out.stderr
    lines = out.stdout.splitlines()
    assert [line.split(":")[0].strip() for line in lines[:3]] == ["loop", "joblib", "dask"]
    assert all(" 12 fits " in line for line in lines[:3])
    assert lines[-1] == "identical coefficients: True"


DOCS = [EXAMPLES_DIR.parent / "README.md", EXAMPLES_DIR.parent / "docs" / "reference.md"]
DOC_BLOCKS = [(doc, i, block) for doc in DOCS
              for i, block in enumerate(re.findall(r"```python\n(.*?)```", doc.read_text(), re.S))]


@pytest.mark.parametrize("doc,index,block", DOC_BLOCKS,
                         ids=[f"{d.name}-{i}" for d, i, _ in DOC_BLOCKS])
def test_documentation_code_runs(doc, index, block):
    # the reference's examples assume these two imports
    exec(compile("import numpy as np\nimport qorv_core as q\n" + block, f"{doc.name}[{index}]",
                 "exec"), {})
