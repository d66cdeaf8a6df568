#!/usr/bin/env bash
# Usage: install_test.sh SOURCE_DIR
# Installs the project twice from one build tree into scratch prefixes:
#   shared/  BUILD_SHARED_LIBS=ON, with the programs and manual pages;
#   static/  BUILD_SHARED_LIBS=OFF and BYTEMIX_INSTALL_PROGRAMS=OFF (the
#            library alone).
# Then, against each installed tree only: a C99 program built with
# gcc -std=c99 -Wall -Werror through pkg-config round-trips the corpus and
# writes the programs' exact bytes (tests/corpus_sha256.txt), and a C++17
# consumer builds with find_package. Also checks that the shared library
# exports the C API and nothing else, and runs the installed programs.
set -euo pipefail
src=$1
corpus=$src/testdata/calgary
pins=$src/tests/corpus_sha256.txt
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

install_kind() {  # PREFIX_NAME [cmake options...]
  local name=$1; shift
  cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBYTEMIX_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX="$work/$name" -DCMAKE_INSTALL_LIBDIR=lib "$@" > /dev/null
  cmake --build "$work/build" -j 2 > /dev/null
  cmake --install "$work/build" > /dev/null
}
install_kind shared -DBUILD_SHARED_LIBS=ON -DBYTEMIX_INSTALL_PROGRAMS=ON
install_kind static -DBUILD_SHARED_LIBS=OFF -DBYTEMIX_INSTALL_PROGRAMS=OFF

for f in bin/compressor bin/decompressor share/man/man1/compressor.1 share/man/man1/decompressor.1 \
         lib/libbytemix.so; do
  [ -e "$work/shared/$f" ] || fail "shared/$f not installed"
done
[ -e "$work/static/lib/libbytemix.a" ] || fail "static/lib/libbytemix.a not installed"
for kind in shared static; do
  for f in include/bytemix.h include/bytemix/bytemix.h lib/pkgconfig/bytemix.pc \
           lib/cmake/bytemix/bytemixConfig.cmake; do
    [ -e "$work/$kind/$f" ] || fail "$kind/$f not installed"
  done
done
[ -e "$work/static/bin" ] && fail "the library-only install has $(ls "$work/static/bin")"
[ -e "$work/static/share/man" ] && fail "the library-only install has manual pages"
[ -e "$work/static/lib/libbytemix.so" ] && fail "the static install has a shared library"

others=$(nm -D --defined-only "$work/shared/lib/libbytemix.so" | awk '{print $3}' | grep -v '^bytemix_' || true)
[ -z "$others" ] || fail "the shared library exports more than the C API: $(echo $others | head -c 300)"

for kind in static shared; do
  export PKG_CONFIG_PATH=$work/$kind/lib/pkgconfig
  # shellcheck disable=SC2046  # pkg-config prints several words
  gcc -std=c99 -Wall -Wextra -pedantic -Werror "$src/tests/install_consumer/c_round_trip.c" \
    $(pkg-config --cflags --libs bytemix) -o "$work/c_$kind"
  case $(ldd "$work/c_$kind") in *libbytemix*) linked=shared ;; *) linked=static ;; esac
  [ "$linked" = "$kind" ] || fail "the C program against the $kind install linked the $linked library"
  mkdir "$work/ari_$kind"
  LD_LIBRARY_PATH=$work/$kind/lib "$work/c_$kind" "$work/ari_$kind" "$corpus"/*
  (cd "$work/ari_$kind" && sha256sum *.ari) | diff -u "$pins" - ||
    fail "the C program ($kind) wrote other bytes than the programs' pins"

  cmake -S "$src/tests/install_consumer" -B "$work/consumer_$kind" -G Ninja \
    -DCMAKE_PREFIX_PATH="$work/$kind" > /dev/null
  cmake --build "$work/consumer_$kind" > /dev/null
  LD_LIBRARY_PATH=$work/$kind/lib "$work/consumer_$kind/consumer"
done

printf 'through the installed programs' > "$work/in"
"$work/shared/bin/compressor" "$work/in" "$work/in.ari" > /dev/null
"$work/shared/bin/decompressor" "$work/in.ari" "$work/in.unp" > /dev/null
cmp "$work/in" "$work/in.unp"
case $(ldd "$work/shared/bin/compressor") in *libbytemix*) fail "the installed programs need libbytemix.so" ;; esac
echo "install trees work: shared and static libraries, C99 through pkg-config with the programs'" \
     "bytes, C++17 through find_package, exports limited to the C API, library-only install, programs"
