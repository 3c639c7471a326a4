#!/usr/bin/env bash
# Checks that code built for a wider instruction level cannot run outside
# its own kernels: builds the kernel objects alone, then requires that every
# symbol they define (functions, tables, weak template copies) lies in the
# namespace qorv::isa::<level> of its own file, and that no function outside
# those namespaces uses a ymm or zmm register.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-isa}
cmake -S . -B "$BUILD" -G Ninja -DPython_EXECUTABLE="$(command -v python)" \
  -Dpybind11_DIR="$(python -m pybind11 --cmakedir)" >/dev/null
cmake --build "$BUILD" --target qorv_kernels >/dev/null
status=0
for level in baseline avx2 avx512; do
  object=$(find "$BUILD" -name "kernels_$level.cpp.o")
  outside=$(nm -C --defined-only "$object" | awk '$2 !~ /^[rtd]$/' |
            grep -v " qorv::isa::$level::" || true)
  if [ -n "$outside" ]; then
    echo "kernels_$level defines symbols outside qorv::isa::$level:"; echo "$outside"
    status=1
  fi
done
for object in $(find "$BUILD" -name "*.o" ! -name "kernels_avx2.cpp.o" ! -name "kernels_avx512.cpp.o"); do
  wide=$(objdump -d --no-show-raw-insn -C "$object" |
         awk '/^[0-9a-f]+ <.*>:$/ {fn = $0} /%[yz]mm/ {print fn}' | sort -u)
  if [ -n "$wide" ]; then echo "$object uses ymm/zmm registers in:"; echo "$wide"; status=1; fi
done
[ $status -eq 0 ] && echo "isa check ok"
exit $status
