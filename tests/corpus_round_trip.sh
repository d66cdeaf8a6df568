#!/usr/bin/env bash
# Usage: corpus_round_trip.sh COMPRESSOR DECOMPRESSOR CORPUS_DIR PINS
# Compresses every corpus file with the real programs, checks the compressed
# bytes against the pinned SHA-256 list and the round trip byte for byte.
# With UPDATE_PINS=1 the pin list is rewritten instead (do that on purpose
# only: a changed pin means a changed compressed format).
set -euo pipefail
compressor=$1 decompressor=$2 corpus=$3 pins=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=0
for path in "$corpus"/*; do
  name=$(basename "$path")
  "$compressor" "$path" "$work/$name.ari" > /dev/null
  "$decompressor" "$work/$name.ari" "$work/$name.unp" > /dev/null
  if ! cmp -s "$path" "$work/$name.unp"; then
    echo "FAIL: $name does not round-trip"
    failed=1
  fi
  (cd "$work" && sha256sum "$name.ari") >> "$work/actual.txt"
done

if [ "${UPDATE_PINS:-0}" = 1 ]; then
  cp "$work/actual.txt" "$pins"
  echo "pins rewritten: $pins"
elif ! diff -u "$pins" "$work/actual.txt"; then
  echo "FAIL: compressed output differs from the pinned hashes (diff above)"
  failed=1
fi
[ "$failed" = 0 ] && echo "all $(ls "$corpus" | wc -l) corpus files round-trip and match their pins"
exit "$failed"
