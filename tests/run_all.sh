#!/usr/bin/env bash
# Builds and runs every test:
#   1. the Release build's suite (unit, differential, program and install tests),
#   2. the corpus round trip once more for every other vector path this
#      processor runs (BYTEMIX_SIMD forces one),
#   3. the suite under AddressSanitizer and UBSan,
#   4. a short run of each fuzz target,
#   5. the determinism matrix: compilers, -O0/-O3, aarch64 and i686 under qemu.
# With --quick, only the first: the Release build's suite.
# Build trees go under build-tests/.
set -euo pipefail
quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: tests/run_all.sh [--quick]" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build-tests
jobs=${JOBS:-2}

configure_build() {  # NAME [cmake options...]
  local name=$1; shift
  echo "=== $name ==="
  cmake -S "$root" -B "$out/$name" -G Ninja "$@" > /dev/null
  cmake --build "$out/$name" -j "$jobs"
}

configure_build release -DCMAKE_BUILD_TYPE=Release
ctest --test-dir "$out/release" --output-on-failure -j "$jobs"
[ "$quick" = 1 ] && exit 0

# The suite ran on the best path the processor offers (AVX-512 here); the
# portable, AVX2 and AVX2+FMA paths get the whole corpus through the programs too.
paths=(portable)
grep -q -w avx2 /proc/cpuinfo 2>/dev/null && grep -q -w fma /proc/cpuinfo && paths+=(avx2)
for path in "${paths[@]}"; do
  echo "=== corpus round trip, BYTEMIX_SIMD=$path ==="
  BYTEMIX_SIMD=$path bash "$root/tests/corpus_round_trip.sh" "$out/release/compressor" \
    "$out/release/decompressor" "$root/testdata/calgary" "$root/tests/corpus_sha256.txt"
done

configure_build sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBYTEMIX_SANITIZE=ON
ctest --test-dir "$out/sanitize" --output-on-failure -j "$jobs" -E 'install_tree'

echo "=== fuzz ==="
bash "$root/fuzz/run_short.sh" "${FUZZ_SECONDS:-20}" "$out/fuzz"

bash "$root/tests/determinism_matrix.sh"
