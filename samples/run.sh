#!/usr/bin/env bash
# Usage: samples/run.sh [BUILD_DIR]
# Compresses and restores the sample with the built programs and prints the
# sizes, the programs' own timing and whether the round trip is exact.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cp "$here/sample.txt" "$work/sample.txt"
cd "$work"
echo "compressor:";   "$build/compressor" sample.txt sample.ari
echo "decompressor:"; "$build/decompressor" sample.ari sample.unp
in=$(stat -c %s sample.txt) out=$(stat -c %s sample.ari)
echo "sample.txt: $in bytes -> sample.ari: $out bytes ($(awk -v a="$out" -v b="$in" 'BEGIN{printf "%.3f", 8*a/b}') bits per byte)"
if cmp -s sample.txt sample.unp; then echo "round trip: identical"; else echo "round trip: DIFFERENT"; exit 1; fi
