#!/usr/bin/env bash
# Usage: program_console.sh COMPRESSOR DECOMPRESSOR CORPUS_DIR
# The programs' console text and default file names.
set -euo pipefail
compressor=$1 decompressor=$2 corpus=$3
[ -f "$corpus/book1" ] || { echo "FAIL: the test corpus is missing at $corpus"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*"; exit 1; }

# Progress before bytes 0, 16384 and 32768 on one line, then the timing.
head -c 40000 "$corpus/book1" > in40000
for program in compressor decompressor; do
  if [ $program = compressor ]; then
    "$compressor" in40000 in40000.ari > out.txt
  else
    "$decompressor" in40000.ari in40000.unp > out.txt
  fi
  grep -qaE $'^\r0/40000\r16384/40000\r32768/40000 = [0-9]+\\.[0-9]{2}s$' out.txt ||
    fail "$program progress text: $(od -c out.txt | head -5)"
  [ "$(wc -l < out.txt)" = 1 ] || fail "$program printed more than one line"
done
cmp -s in40000 in40000.unp || fail "40000-byte round trip"

# Exactly 16384 bytes: only the update before byte 0.
head -c 16384 "$corpus/book1" > in16384
"$compressor" in16384 in16384.ari > out.txt
grep -qaE $'^\r0/16384 = [0-9]+\\.[0-9]{2}s$' out.txt || fail "16384-byte progress: $(od -c out.txt)"

# Empty input: no progress, only the timing line; 12 zero bytes.
: > empty
"$compressor" empty empty.ari > out.txt
grep -qaE '^ = [0-9]+\.[0-9]{2}s$' out.txt || fail "empty input console text: $(od -c out.txt)"
[ "$(od -An -tx1 empty.ari | tr -d ' \n')" = 000000000000000000000000 ] || fail "empty input bytes"
"$decompressor" empty.ari empty.unp > /dev/null
[ -f empty.unp ] && [ ! -s empty.unp ] || fail "empty round trip"

# A forced vector path that this build does not have is refused before any
# file is touched: one line naming the accepted paths, status 2.
for program in "$compressor" "$decompressor"; do
  status=0
  BYTEMIX_SIMD=no-such-path "$program" empty.ari forced.out > out.txt 2> err.txt || status=$?
  [ "$status" = 2 ] || fail "BYTEMIX_SIMD=no-such-path: $program exited $status, expected 2"
  grep -qxE "[a-z]+: BYTEMIX_SIMD=no-such-path: no such vector path \(accepted: [a-z0-9, ]+\)" err.txt ||
    fail "BYTEMIX_SIMD=no-such-path message: $(cat err.txt)"
  [ ! -e forced.out ] && [ ! -s out.txt ] || fail "BYTEMIX_SIMD=no-such-path: $program wrote something"
done

# No arguments: book1 -> book1.ari -> book1.unp in the current folder.
mkdir defaults && cd defaults
cp "$corpus/book1" book1
"$compressor" > /dev/null || fail "compressor with defaults exited $?"
[ -s book1.ari ] || fail "no book1.ari written"
"$decompressor" > /dev/null || fail "decompressor with defaults exited $?"
cmp -s book1 book1.unp || fail "book1.unp differs from book1"
echo "console text and default names as expected"
