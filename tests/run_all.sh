#!/usr/bin/env bash
# Builds and runs every test: the Release build and a build with
# AddressSanitizer and UBSan, then the determinism matrix (compilers,
# optimisation levels, other architectures under emulation). Build trees go under build-tests/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build-tests
jobs=${JOBS:-2}

configure_build_test() {  # NAME [cmake options...]
  local name=$1; shift
  echo "=== $name ==="
  cmake -S "$root" -B "$out/$name" -G Ninja "$@" > /dev/null
  cmake --build "$out/$name" -j "$jobs"
  ctest --test-dir "$out/$name" --output-on-failure -j "$jobs"
}

configure_build_test release -DCMAKE_BUILD_TYPE=Release
configure_build_test sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBYTEMIX_SANITIZE=ON
"$root/tests/determinism_matrix.sh"
