#!/usr/bin/env bash
# Checks that code built for a wider instruction level cannot run outside
# its own kernels: builds the kernel objects, then requires that every
# symbol they define (functions, tables, weak template copies) lies in the
# namespace qorv::isa::<level> of its own file, and that no function outside
# the wider levels' files uses a ymm or zmm register. The levels are those
# of dispatch.cpp's table, as the built _qorv_runtime lists them.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-isa}
cmake --preset dev -B "$BUILD" -DPython_EXECUTABLE="$(command -v python)" >/dev/null
cmake --build "$BUILD" --target qorv_kernels _qorv_runtime >/dev/null
levels=$(PYTHONPATH=$BUILD python -c "import _qorv_runtime as r; print(*r.kernel_levels())")
status=0
wide=()
for level in $levels; do
  object=$(find "$BUILD" -name "kernels_$level.cpp.o")
  [ "$level" = baseline ] || wide+=(! -name "kernels_$level.cpp.o")
  outside=$(nm -C --defined-only "$object" | awk '$2 !~ /^[rtd]$/' |
            grep -v " qorv::isa::$level::" || true)
  if [ -n "$outside" ]; then
    echo "kernels_$level defines symbols outside qorv::isa::$level:"; echo "$outside"
    status=1
  fi
done
for object in $(find "$BUILD" -name "*.o" "${wide[@]}"); do
  used=$(objdump -d --no-show-raw-insn -C "$object" |
         awk '/^[0-9a-f]+ <.*>:$/ {fn = $0} /%[yz]mm/ {print fn}' | sort -u)
  if [ -n "$used" ]; then echo "$object uses ymm/zmm registers in:"; echo "$used"; status=1; fi
done
[ $status -eq 0 ] && echo "isa check ok: levels $levels"
exit $status
