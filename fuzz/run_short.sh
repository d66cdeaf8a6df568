#!/bin/bash
# Builds the libFuzzer targets with AddressSanitizer and UBSan (clang++) and
# runs each for a short while from its seed corpus in fuzz/corpus/<target>.
# Usage: fuzz/run_short.sh [seconds per target, default 30] [build dir]
# New inputs go to a scratch copy of the corpus; a crash leaves its input in
# the build dir and makes the script fail.
set -euo pipefail
seconds=${1:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$root/build-fuzz}
mkdir -p "$build"
rm -f "$build"/crash-* "$build"/timeout-* "$build"/leak-* "$build"/oom-*
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBYTEMIX_FUZZ=ON -DBYTEMIX_TESTS=OFF > /dev/null
cmake --build "$build" -j 2 --target decompress_fuzzer roundtrip_fuzzer coder_fuzzer > /dev/null
status=0
for target in decompress roundtrip coder; do
  cp "$build/fuzz/${target}_fuzzer" "$build/${target}_fuzzer"
  work=$build/corpus-$target
  rm -rf "$work"
  mkdir -p "$work"
  cp "$root/fuzz/corpus/$target"/* "$work"/
  echo "== $target"
  # Small inputs keep each execution to a few milliseconds under the
  # sanitizers: the model does about 200 logarithms per byte.
  max_len=2048
  [ $target = roundtrip ] && max_len=512
  if ! (cd "$build" && "./${target}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=$max_len -print_final_stats=1 "$work" 2>&1 | grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|INFO: seed|==[0-9]+==ERROR|SUMMARY|Done)' ); then
    :
  fi
  if ls "$build"/crash-* "$build"/timeout-* "$build"/leak-* "$build"/oom-* > /dev/null 2>&1; then
    echo "$target: failing inputs left in $build"
    status=1
  fi
done
exit $status
