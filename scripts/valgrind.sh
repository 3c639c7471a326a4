#!/usr/bin/env bash
# Runs one call of each qorv_core operation under valgrind's memcheck and
# fails on any error that the interpreter's suppressions do not cover. The
# module is the one `import qorv_core` finds: the installed one, or a build
# directory named in PYTHONPATH.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v valgrind >/dev/null || { echo "valgrind is missing: apt-get install valgrind" >&2; exit 1; }
# The interpreter binary itself, not a launcher script such as a pyenv shim.
python=$("${PYTHON:-python}" -c 'import sys; print(sys.executable)')
"$python" -c 'import qorv_core; print("valgrind memcheck of", qorv_core.__file__)'
# Every Python object through malloc, so that memcheck sees each one.
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=no --error-exitcode=99 \
  --num-callers=40 --suppressions=scripts/valgrind-python.supp "$python" scripts/smoke_calls.py
