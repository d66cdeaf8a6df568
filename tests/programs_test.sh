#!/bin/bash
# Tests of the two programs as built: damaged files are refused with the
# right message and leave no output, good files decode, book1 compresses to
# its known bytes, and a file whose coding once lost data round trips.
# Usage: programs_test.sh COMPRESSOR DECOMPRESSOR SOURCE_DIR CORPUS_DIR
set -u
compressor=$1
decompressor=$2
damaged=$3/tests/damaged
corpus=$4
[ -f "$corpus/book1" ] || { echo "FAIL: the test corpus is missing at $corpus"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Damaged files: one line each in the README, "- file | message | defect".
listed=0
while IFS='|' read -r file message _; do
  file=${file#- }
  file=${file% }
  message=${message# }
  message=${message% }
  listed=$((listed + 1))
  out=$work/out.unp
  rm -f "$out"
  "$decompressor" "$damaged/$file" "$out" > /dev/null 2> "$work/stderr"
  status=$?
  [ $status -eq 1 ] || fail "$file: exit status $status"
  expected="decompressor: $damaged/$file: $message"
  [ "$(cat "$work/stderr")" = "$expected" ] || fail "$file: said '$(cat "$work/stderr")', expected '$expected'"
  [ -e "$out" ] && fail "$file: output file left behind"
done < <(grep -E '^- [a-z0-9-]+\.ari \| [^|]+ \|' "$damaged/README.md")
for f in "$damaged"/*.ari; do
  grep -qE "^- $(basename "$f") \|" "$damaged/README.md" || fail "$(basename "$f") has no line in the README"
done
[ $listed -ge 20 ] || fail "only $listed damaged files listed"

# Good files decode to their originals.
check_good() {  # compressed-file original
  rm -f "$work/good.unp"
  "$decompressor" "$1" "$work/good.unp" > /dev/null 2> "$work/stderr" || fail "$1: $(cat "$work/stderr")"
  cmp -s "$work/good.unp" "$2" || fail "$1 does not restore its original"
}
head -c 2000 "$corpus/paper1" > "$work/paper1-2000"
check_good "$damaged/good/paper1-2000.ari" "$work/paper1-2000"
: > "$work/empty"
check_good "$damaged/good/empty-input.ari" "$work/empty"
printf 'a' > "$work/a"
check_good "$damaged/good/byte-61.ari" "$work/a"
printf '\0\377' > "$work/00ff"
check_good "$damaged/good/bytes-00-ff.ari" "$work/00ff"

# book1: the known compressed bytes, and back.
"$compressor" "$corpus/book1" "$work/book1.ari" > /dev/null || fail "book1: compressor failed"
sum=$(sha256sum < "$work/book1.ari" | cut -d' ' -f1)
[ "$sum" = eed8035fb32966224919f08c688f950de5bfdecef8fbccc933fcc07abb26eaf1 ] || fail "book1.ari has SHA-256 $sum"
[ "$(stat -c %s "$work/book1.ari")" = 344772 ] || fail "book1.ari is not 344772 bytes"
check_good "$work/book1.ari" "$corpus/book1"

# A run of 148604 bytes 'a' drives the range into the band where the next,
# never seen, byte 0x00 has an empty interval; more text follows.
{
  head -c 148604 /dev/zero | tr '\0' 'a'
  printf '\0'
  head -c 1000 "$corpus/paper5"
} > "$work/zero-range"
"$compressor" "$work/zero-range" "$work/zero-range.ari" > /dev/null || fail "zero-range: compressor failed"
check_good "$work/zero-range.ari" "$work/zero-range"

if [ $failures -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all program checks passed ($listed damaged files)"
