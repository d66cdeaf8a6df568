#!/usr/bin/env bash
# Builds and runs every test:
#   1. the Release build's suite (unit, differential, program and install tests),
#   2. the corpus round trip once more for every other kernel target this
#      processor runs (BYTEMIX_SIMD forces one),
#   3. the suite under AddressSanitizer and UBSan,
#   4. a short run of each fuzz target,
#   5. the determinism matrix: compilers, -O0/-O3, aarch64 and i686 under
#      qemu, a processor without AVX under qemu.
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

# The suite ran on the best kernel target the processor runs (the first
# that the programs accept, in the order they prefer); every other one gets
# the whole corpus through the programs too.
runs_here() {  # TARGET: the programs accept BYTEMIX_SIMD=TARGET on this processor
  local probe status=0
  probe=$(mktemp -d)
  : > "$probe/empty"
  BYTEMIX_SIMD=$1 "$out/release/compressor" "$probe/empty" "$probe/empty.ari" > /dev/null 2>&1 || status=$?
  rm -rf "$probe"
  return "$status"
}
targets=()
for target in avx512 avx2 sse4 neon scalar; do
  if runs_here "$target"; then targets+=("$target"); fi
done
for target in "${targets[@]:1}"; do
  echo "=== corpus round trip, BYTEMIX_SIMD=$target ==="
  BYTEMIX_SIMD=$target bash "$root/tests/corpus_round_trip.sh" "$out/release/compressor" \
    "$out/release/decompressor" "$root/testdata/calgary" "$root/tests/corpus_sha256.txt"
done

configure_build sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBYTEMIX_SANITIZE=ON
ctest --test-dir "$out/sanitize" --output-on-failure -j "$jobs" -E 'install_tree'

echo "=== fuzz ==="
bash "$root/fuzz/run_short.sh" "${FUZZ_SECONDS:-20}" "$out/fuzz"

bash "$root/tests/determinism_matrix.sh"
