#!/usr/bin/env bash
# Usage: kernel_target_symbols.sh LIBRARY
# The kernel targets compiled with instruction-set flags of their own
# (sse4, avx2, avx512: model/kernels/) must define no code outside their
# own namespaces: an inline function of external linkage that one of them
# keeps out of line (as at -O0) would be one symbol for the whole program,
# and the linker could keep that target's copy for a caller on a processor
# without its instructions. Their code may lie only in bytemix::kernels::N_*
# (Highway's HWY_NAMESPACE) and in hwy_<target>, the name each of them gives
# Highway's own namespace. Targets this build has not are skipped.
set -euo pipefail
lib=$1
symbols=$(nm -A --defined-only "$lib")
checked=0 failed=0
for target in sse4 avx2 avx512; do
  lines=$(grep -F "$target.cpp.o:" <<< "$symbols" || true)
  [ -n "$lines" ] || continue
  checked=$((checked + 1))
  # Code symbols (global, weak or indirect) whose mangled name does not
  # start in one of the target's namespaces; a local entity of a function
  # (_ZZ, as a lambda in a function template) is named after that function.
  stray=$(awk -v own="^_ZZ?NK?(7bytemix7kernels[0-9]+N_[A-Z0-9_]+|[0-9]+hwy_$target)" \
    '$2 ~ /^[TWi]$/ && $3 !~ own { print $3 }' <<< "$lines")
  if [ -n "$stray" ]; then
    echo "FAIL: $target.cpp.o defines code outside its target's namespaces:"
    c++filt <<< "$stray" | sed 's/^/  /'
    failed=1
  fi
done
[ "$failed" = 0 ] || exit 1
echo "$checked kernel targets define code only in their own namespaces"
