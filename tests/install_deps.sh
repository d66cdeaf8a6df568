#!/usr/bin/env bash
# Installs the Debian packages that building and testing need on a fresh
# machine. With --build, only what building the programs and the library
# needs (a C++20 compiler, CMake and Highway's headers).
set -euo pipefail
build_packages=(
  g++ make cmake ninja-build       # build
  libhwy-dev                       # the kernels' vector operations (headers only)
)
test_packages=(
  clang                            # the determinism matrix's second compiler, the fuzzers
  libgtest-dev libbenchmark-dev    # unit tests, benchmarks
  libmpfr-dev libgmp-dev           # the logarithm's reference
  libclang-rt-14-dev               # libFuzzer and the sanitizers under clang
  util-linux bsdutils              # setpriv, unshare, script for the program tests
  time gzip bzip2 xz-utils zstd python3 python3-matplotlib   # bench: peak memory, other compressors, the chart
  qemu-user g++-aarch64-linux-gnu g++-i686-linux-gnu   # same bytes on other machines
)
case "${1:-}" in
  --build) packages=("${build_packages[@]}") ;;
  "") packages=("${build_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: tests/install_deps.sh [--build]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" > /dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
fi
