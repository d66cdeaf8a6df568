#!/usr/bin/env bash
# Builds the programs in several configurations and checks that each one
# writes exactly the pinned compressed bytes:
#   g++ and clang++ at -O0 and -O3; aarch64 (its NEON kernels) and 32-bit
#   x86 (SSE2; its SSE4 and scalar kernels) under qemu; and the Release and
#   -O0 builds of g++ on a processor without AVX (qemu's Westmere), where the
#   programs must run the SSE4 and the scalar kernels without meeting an
#   instruction of another target.
# Optimised native builds and the NEON kernels check the whole corpus; -O0
# and the other emulated builds a subset, to stay within CI's time. Build trees go under build-tests/matrix/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build-tests/matrix
corpus=$root/testdata/calgary
pins=$root/tests/corpus_sha256.txt
jobs=${JOBS:-2}
# Small files of three kinds (text, object code, C source): emulation and -O0
# are slow.
subset="paper5 paper4 obj1 progc"

build() {  # NAME [cmake options...]
  local name=$1; shift
  cmake -S "$root" -B "$out/$name" -G Ninja -DBYTEMIX_TESTS=OFF "$@" > /dev/null
  cmake --build "$out/$name" -j "$jobs" --target compressor decompressor > /dev/null
}

round_trip() {  # NAME LABEL FILES RUNNER [KERNEL TARGET]: NAME's programs, forced to the target if given
  local name=$1 label=$2 files=$3 runner=$4 target=${5:-}
  local forced=()
  [ -z "$target" ] || forced=(BYTEMIX_SIMD="$target")
  echo "=== $label${target:+, BYTEMIX_SIMD=$target} ==="
  env "${forced[@]}" CORPUS_FILES="$files" RUNNER="$runner" bash "$root/tests/corpus_round_trip.sh" \
    "$out/$name/compressor" "$out/$name/decompressor" "$corpus" "$pins"
}

check() {  # NAME FILES RUNNER [cmake options...]
  local name=$1 files=$2 runner=$3; shift 3
  build "$name" "$@"
  round_trip "$name" "$name" "$files" "$runner"
}

check gcc-O3   ""        "" -DCMAKE_CXX_COMPILER=g++     -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS=-O3
check clang-O3 ""        "" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS=-O3
check gcc-O0   "$subset" "" -DCMAKE_CXX_COMPILER=g++     -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS=-O0
check clang-O0 "$subset" "" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS=-O0
# -O0 keeps inline functions out of line: the kernel targets' objects must
# define code only in their own namespaces.
for name in gcc-O0 clang-O0; do
  echo "=== $name: kernel targets' symbols ==="
  bash "$root/tests/kernel_target_symbols.sh" "$out/$name/libbytemix.a"
done
build aarch64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-aarch64.cmake" -DCMAKE_BUILD_TYPE=Release
round_trip aarch64 aarch64 "" qemu-aarch64 neon
check i686-sse2 "$subset" qemu-i386   -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686.cmake" -DCMAKE_BUILD_TYPE=Release
round_trip i686-sse2 i686-sse2 "$subset" qemu-i386 scalar
# No AVX: the programs choose SSE4 there; the -O0 build runs the scalar
# kernels too.
build release -DCMAKE_BUILD_TYPE=Release
round_trip release "Release on Westmere" "$subset" "qemu-x86_64 -cpu Westmere"
round_trip gcc-O0 "gcc-O0 on Westmere" "$subset" "qemu-x86_64 -cpu Westmere"
round_trip gcc-O0 "gcc-O0 on Westmere" "$subset" "qemu-x86_64 -cpu Westmere" scalar
# Builds that would break bit-exactness must fail loudly.
refused() {  # NAME [cmake options...]
  local name=$1; shift
  if cmake -S "$root" -B "$out/$name" -G Ninja -DBYTEMIX_TESTS=OFF "$@" > "$out/$name.log" 2>&1 &&
     cmake --build "$out/$name" --target bytemix >> "$out/$name.log" 2>&1; then
    echo "FAIL: the $name build was not refused"
    exit 1
  fi
  echo "refused as it should be: $name: $(grep -m1 -o -E '(-[a-z0-9=-]+ would change|#error .*)' "$out/$name.log" | cut -c1-90)"
}
refused fast-math -DCMAKE_CXX_FLAGS=-ffast-math
refused fp-contract-fast -DCMAKE_CXX_FLAGS=-ffp-contract=fast
refused i686-x87 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686.cmake" -DCMAKE_CXX_FLAGS=-mfpmath=387
# A build outside CMake (or one that strips the flags the build adds) meets
# the same refusal in the code: x87 and -ffast-math stop the compiler.
for flags in "-m32 -mfpmath=387" "-ffast-math"; do
  compiler=g++; [ "$flags" = "-m32 -mfpmath=387" ] && compiler=i686-linux-gnu-g++
  if $compiler -std=c++20 $flags -I"$root" -c "$root/model/float_environment.cpp" -o /dev/null 2> /dev/null; then
    echo "FAIL: $compiler $flags compiled model/float_environment.cpp"
    exit 1
  fi
  echo "refused as it should be: $compiler $flags (model/float_environment.h)"
done

echo "every configuration wrote the pinned bytes; every unsafe one was refused"
