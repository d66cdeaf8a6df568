#!/usr/bin/env bash
# Installs the Debian packages that building and testing need on a fresh
# machine (the programs themselves need only a C++20 compiler and CMake).
set -euo pipefail
packages=(
  g++ clang cmake ninja-build      # build
  libhwy-dev                       # the kernels' vector operations (headers only)
  libgtest-dev libbenchmark-dev    # unit tests, benchmarks
  libmpfr-dev libgmp-dev           # the logarithm's reference
  libclang-rt-14-dev               # libFuzzer and the sanitizers under clang
  util-linux bsdutils              # setpriv, unshare, script for the program tests
  time gzip bzip2 xz-utils zstd python3 python3-matplotlib   # bench: peak memory, other compressors, the chart
  qemu-user g++-aarch64-linux-gnu g++-i686-linux-gnu   # same bytes on other machines
)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" > /dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
fi
