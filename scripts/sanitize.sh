#!/usr/bin/env bash
# Builds qorv_core with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-sanitize/ (or $QORV_SANITIZE_BUILD) and runs the whole test suite
# against that build. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QORV_SANITIZE_BUILD:-$PWD/build-sanitize}

# The build tools and everything the tests use live in a venv of their own,
# made from the interpreter $PYTHON (default: python). It sees that
# interpreter's system packages, but not those of a virtual environment it
# belongs to; so the project's dependencies and its `test` extra, read from
# pyproject.toml, are installed into it (pip skips those already there).
venv=$build/venv
[ -x "$venv/bin/python" ] || "${PYTHON:-python}" -m venv --system-site-packages "$venv"
requirements=$build/test-requirements.txt
"$venv/bin/python" - > "$requirements" <<'EOF'
import tomllib
with open("pyproject.toml", "rb") as f:
    project = tomllib.load(f)["project"]
print("\n".join(project["dependencies"] + project["optional-dependencies"]["test"]))
EOF
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements"
export PATH=$venv/bin:$PATH

cmake --preset sanitize -B "$build" -DPython_EXECUTABLE="$venv/bin/python"
cmake --build "$build" -j "${QORV_BUILD_JOBS:-2}"

module=$(ls "$build"/qorv_core*.so)
# The interpreter is not instrumented, so the ASan runtime the module was
# linked against must be loaded first, and the C++ runtime with it: ASan
# looks up the real __cxa_throw when it starts, and without it the first
# C++ exception aborts the process.
runtime() { ldd "$module" | awk -v lib="$1" '$1 ~ "^" lib {print $3}'; }
asan=$(runtime libasan)
cxx=$(runtime libstdc++)
[ -f "$asan" ] && [ -f "$cxx" ] || { echo "no ASan or C++ runtime found for $module" >&2; exit 1; }

export LD_PRELOAD="$asan $cxx"
# The interpreter's own allocations live until exit and are no concern of
# this module: no leak detection. A failed malloc returns null instead of
# aborting, so that Eigen throws std::bad_alloc as it does without ASan.
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Every Python object through malloc, so that ASan sees their bounds too.
export PYTHONMALLOC=malloc
export PYTHONPATH=$build

python -c "import qorv_core, sys; sys.exit(not qorv_core.__file__.startswith('$build'))" \
  || { echo "qorv_core does not come from $build" >&2; exit 1; }
# The C++ test programs are built by CMake without instrumentation,
# and one of them replaces malloc, which cannot coexist with the preloaded
# ASan allocator: they add nothing here. Output capture stays at the Python
# level so that a sanitizer report written to file descriptor 2 just before
# the process aborts is not lost with pytest's capture file.
python -m pytest -q -p no:cacheprovider --capture=sys tests -k "not test_native_programs" "$@"
