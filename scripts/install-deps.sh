#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need. Safe to rerun.
# With --windows: only what the Windows cross-build and its Wine test runs need.
set -euo pipefail

windows_packages=(
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev
  googletest wine64 cmake ninja-build g++
)

packages=(
  # toolchain and test frameworks
  cmake ninja-build pkg-config g++ clang libclang-rt-14-dev clang-format clang-tidy
  libgtest-dev libgmock-dev libbenchmark-dev
  # libraries
  zlib1g-dev libdeflate-dev libzstd-dev zstd libcurl4-openssl-dev
  libiberty-dev
  libwxgtk3.2-dev libwxgtk-webview3.2-dev
  # real servers and a display for the tests and the demo
  xvfb xauth xdotool imagemagick nginx-light vsftpd python3 python3-pyftpdlib
)

if [ "${1:-}" = "--windows" ]; then
  packages=("${windows_packages[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: these packages are missing and installing them needs root: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
