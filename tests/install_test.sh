#!/usr/bin/env bash
# Usage: install_test.sh SOURCE_DIR
# Installs the project into a scratch prefix, then builds and runs a small
# consumer against the installed tree only, and checks that the programs and
# their manual pages were installed.
set -euo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBYTEMIX_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX="$work/prefix" > /dev/null
cmake --build "$work/build" -j 2 > /dev/null
cmake --install "$work/build" > /dev/null

for f in bin/compressor bin/decompressor include/bytemix/bytemix.h \
         share/man/man1/compressor.1 share/man/man1/decompressor.1; do
  [ -e "$work/prefix/$f" ] || { echo "FAIL: $f not installed"; exit 1; }
done

cmake -S "$src/tests/install_consumer" -B "$work/consumer" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" > /dev/null
cmake --build "$work/consumer" > /dev/null
"$work/consumer/consumer"

printf 'through the installed programs' > "$work/in"
"$work/prefix/bin/compressor" "$work/in" "$work/in.ari" > /dev/null
"$work/prefix/bin/decompressor" "$work/in.ari" "$work/in.unp" > /dev/null
cmp "$work/in" "$work/in.unp"
echo "install tree works: programs, manual pages, header and CMake package"
