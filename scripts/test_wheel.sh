#!/usr/bin/env bash
# Builds the wheel once and runs the test suite against it as installed, in a
# fresh virtual environment for each supported NumPy series. The tests run
# from a copy outside the source tree, so a file missing from the wheel fails
# here instead of being found in the checkout.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

python3 -m pip wheel "$src" --no-deps -q -w "$work/dist"
wheels=("$work"/dist/qorv_core-*.whl)
wheel="${wheels[0]}"
echo "built $(basename "$wheel")"

# What the tests read beside them: the examples, and the native sources and
# CMake project that build the C++ test programs. The module itself comes
# only from the wheel.
mkdir -p "$work/run/qorv"
cp -r "$src/tests" "$src/examples" "$src/CMakeLists.txt" "$src/cmake" "$work/run/"
cp -r "$src/qorv/_native" "$work/run/qorv/"

for numpy_spec in "numpy==1.26.4" "numpy>=2,<3"; do
    venv="$work/venv-${numpy_spec//[^0-9a-z]/_}"
    python3 -m venv "$venv"
    "$venv/bin/python" -m pip install -q "$numpy_spec" "$wheel[test]"
    cd "$work/run"
    "$venv/bin/python" - <<'PY'
import sysconfig
from pathlib import Path

import numpy
import qorv_core

site = Path(sysconfig.get_paths()["platlib"]).resolve()
here = Path(qorv_core.__file__).resolve().parent
assert here == site, f"qorv_core was imported from {here}, not from {site}"
print(f"qorv_core from {here} with NumPy {numpy.__version__}")
PY
    # Every test must run against the installation: a skip here means
    # something the tests need did not get installed.
    "$venv/bin/python" -m pytest -q -p no:cacheprovider -rs tests | tee "$work/pytest.log"
    if tail -n 1 "$work/pytest.log" | grep -q skipped; then
        echo "tests were skipped against the installed wheel ($numpy_spec)" >&2
        exit 1
    fi
    cd "$src"
done
