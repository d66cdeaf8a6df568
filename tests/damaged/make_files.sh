#!/bin/bash
# Rebuilds the damaged files of this directory from good/paper1-2000.ari
# (the first 2000 bytes of the corpus file paper1, compressed). Each file
# has one defect; README.md lists them with the message the decompressor
# must give. Run from this directory: bash make_files.sh
set -euo pipefail
good=good/paper1-2000.ari
size=$(stat -c %s "$good")

# put_le32 FILE VALUE: overwrites the length field with VALUE (two's complement).
put_le32() {
  local v=$(( $2 & 0xFFFFFFFF ))
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((v & 255)) $(((v >> 8) & 255)) $(((v >> 16) & 255)) $(((v >> 24) & 255)))" |
    dd of="$1" bs=1 seek=0 conv=notrunc status=none
}
# set_byte FILE OFFSET VALUE
set_byte() { printf "$(printf '\\x%02x' "$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
byte_at() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' '; }
length=$(( $(byte_at $good 0) | $(byte_at $good 1) << 8 | $(byte_at $good 2) << 16 | $(byte_at $good 3) << 24 ))

: > empty.ari
head -c 2 $good > cut-in-length-field.ari
head -c 4 $good > length-field-only.ari
head -c 11 $good > cut-to-11-bytes.ari
head -c 12 $good > cut-to-12-bytes.ari
head -c $((size / 2)) $good > cut-in-half.ari
head -c $((size - 8)) $good > cut-before-flush.ari
head -c $((size - 1)) $good > cut-by-one-byte.ari

cp $good length-too-large-by-one.ari; put_le32 length-too-large-by-one.ari $((length + 1))
cp $good length-2147483647.ari; put_le32 length-2147483647.ari 2147483647
cp $good length-too-small-by-one.ari; put_le32 length-too-small-by-one.ari $((length - 1))
cp $good length-zero.ari; put_le32 length-zero.ari 0
cp $good length-minus-one.ari; put_le32 length-minus-one.ari -1
cp $good length-most-negative.ari; put_le32 length-most-negative.ari -2147483648

{ cat $good; printf '\x00'; } > trailing-zero-byte.ari
{ cat $good; cat $good; } > trailing-second-copy.ari

cp $good corrupt-leading-zero.ari; set_byte corrupt-leading-zero.ari 4 1
cp $good corrupt-byte-572.ari; set_byte corrupt-byte-572.ari 572 $(( $(byte_at $good 572) ^ 4 ))
cp $good corrupt-last-byte.ari; set_byte corrupt-last-byte.ari $((size - 1)) $(( $(byte_at $good $((size - 1))) ^ 1 ))
cp $good corrupt-ff-run.ari
for i in $(seq 500 515); do set_byte corrupt-ff-run.ari $i 255; done
cp $good changed-byte-100.ari; set_byte changed-byte-100.ari 100 $(( $(byte_at $good 100) ^ 4 ))
cp $good changed-byte-45.ari; set_byte changed-byte-45.ari 45 $(( $(byte_at $good 45) ^ 4 ))
