#!/usr/bin/env bash
# Installs the Debian packages that building and testing need on a fresh
# machine (the programs themselves need only a C++20 compiler and CMake).
set -euo pipefail
packages=(
  g++ clang cmake ninja-build      # build
  libgtest-dev                     # unit tests
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
