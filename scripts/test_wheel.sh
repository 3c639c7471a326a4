#!/usr/bin/env bash
# Builds a wheel for each supported CPython (3.11, 3.12, 3.13) and runs the
# test suite against it as installed, in a fresh virtual environment for
# each NumPy series that the metadata allows on that Python: its lowest
# release and the newest 2.x. The tests run from a copy outside the source
# tree, so a file missing from the wheel fails here instead of being found
# in the checkout.
#
# Interpreters: python3 for 3.11 and the pyenv installs for 3.12 and 3.13;
# QORV_PYTHON311/312/313 override them.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

find_python() {  # minor version, override
    local found
    if [[ -n "$2" ]]; then echo "$2"; return; fi
    if [[ "$1" == 11 ]] && python3 -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))'; then
        command -v python3; return
    fi
    found="$(ls -d "$HOME"/.pyenv/versions/3."$1".*/bin/python 2>/dev/null | sort -V | tail -n 1)"
    [[ -n "$found" ]] || { echo "no CPython 3.$1 found (set QORV_PYTHON3$1)" >&2; exit 1; }
    echo "$found"
}

# What the tests read beside them: the examples, the documentation whose code
# they run, and the native sources and CMake project that build the C++ test
# programs. The modules themselves come only from the wheel.
mkdir -p "$work/run/qorv"
cp -r "$src/tests" "$src/examples" "$src/docs" "$src/README.md" "$src/CMakeLists.txt" \
    "$src/CMakePresets.json" \
    "$src/cmake" "$work/run/"
cp -r "$src/qorv/_native" "$work/run/qorv/"

run_suite() {  # python, wheel, numpy requirement
    local venv="$work/venv"
    rm -rf "$venv"
    "$1" -m venv "$venv"
    "$venv/bin/python" -m pip install -q "$3" "$2[test]"
    cd "$work/run"
    "$venv/bin/python" - <<'PY'
import sys
import sysconfig
from pathlib import Path

import numpy
import qorv
import qorv_core

site = Path(sysconfig.get_paths()["platlib"]).resolve()
for module, here in ((qorv_core, Path(qorv_core.__file__).parent),
                     (qorv, Path(qorv.__file__).parent.parent)):
    assert here.resolve() == site, f"{module.__name__} was imported from {here}, not from {site}"
print(f"qorv {qorv.__version__} on Python {sys.version.split()[0]} with NumPy {numpy.__version__}")
PY
    # Every test must run against the installation: a skip here means
    # something the tests need did not get installed.
    "$venv/bin/python" -m pytest -q -p no:cacheprovider -rs tests | tee "$work/pytest.log"
    if tail -n 1 "$work/pytest.log" | grep -q skipped; then
        echo "tests were skipped against the installed wheel ($3)" >&2
        exit 1
    fi
    cd "$src"
}

for minor in 11 12 13; do
    override_var="QORV_PYTHON3$minor"
    python="$(find_python "$minor" "${!override_var:-}")"
    rm -rf "$work/dist"
    "$python" -m pip wheel "$src" --no-deps -q -w "$work/dist"
    wheels=("$work"/dist/qorv_core-*.whl)
    echo "built $(basename "${wheels[0]}") with $python"
    if [[ "$minor" == 13 ]]; then
        numpy_specs=("numpy==2.1.3" "numpy>=2,<3")
    else
        numpy_specs=("numpy==1.26.4" "numpy>=2,<3")
    fi
    for numpy_spec in "${numpy_specs[@]}"; do
        run_suite "$python" "${wheels[0]}" "$numpy_spec"
    done
done
