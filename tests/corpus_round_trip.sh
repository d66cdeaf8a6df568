#!/usr/bin/env bash
# Usage: corpus_round_trip.sh COMPRESSOR DECOMPRESSOR CORPUS_DIR PINS
# Compresses every corpus file with the real programs, checks the compressed
# bytes against the pinned SHA-256 list and the round trip byte for byte.
#   CORPUS_FILES="paper1 obj1"  checks only these files (against their pins)
#   RUNNER=qemu-aarch64         runs the programs through this command
#   UPDATE_PINS=1               rewrites the pin list instead; do that on
#                               purpose only: a changed pin is a changed format
set -euo pipefail
compressor=$1 decompressor=$2 corpus=$3 pins=$4
runner=(${RUNNER:-})
[ -f "$corpus/book1" ] || { echo "FAIL: the test corpus is missing at $corpus"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ -n "${CORPUS_FILES:-}" ]; then
  names=($CORPUS_FILES)
else
  names=($(cd "$corpus" && ls))
fi

failed=0
for name in "${names[@]}"; do
  path=$corpus/$name
  "${runner[@]}" "$compressor" "$path" "$work/$name.ari" > /dev/null
  "${runner[@]}" "$decompressor" "$work/$name.ari" "$work/$name.unp" > /dev/null
  if ! cmp -s "$path" "$work/$name.unp"; then
    echo "FAIL: $name does not round-trip"
    failed=1
  fi
  (cd "$work" && sha256sum "$name.ari") >> "$work/actual.txt"
  grep -F "  $name.ari" "$pins" >> "$work/expected.txt" || true
done

if [ "${UPDATE_PINS:-0}" = 1 ]; then
  cp "$work/actual.txt" "$pins"
  echo "pins rewritten: $pins"
elif ! diff -u "$work/expected.txt" "$work/actual.txt"; then
  echo "FAIL: compressed output differs from the pinned hashes (diff above)"
  failed=1
fi
[ "$failed" = 0 ] && echo "${#names[@]} corpus files round-trip and match their pins"
exit "$failed"
