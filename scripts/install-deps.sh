#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need. Safe to rerun.
# With --windows: only what the Windows cross-build and its Wine test runs need, and
# Debian's source packages (deb-src), from which the build makes the libraries that Debian
# has no mingw-w64 package of.
set -euo pipefail

windows_packages=(
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev
  googletest wine64 cmake ninja-build g++ dpkg-dev make pkg-config
  # libsodium's source package has no configure script: autoreconf makes it
  autoconf automake libtool
  # the transfer tests' servers, which run on this side of Wine
  nginx-light vsftpd python3 python3-pyftpdlib tinyproxy openssl
  # the signing tool a publisher may use, which the signature tests check against
  minisign
  # the window's run (scripts/windows-gui.sh): its icon, a display and a screenshot
  imagemagick xvfb xauth xdotool
)

packages=(
  # toolchain and test frameworks
  cmake ninja-build pkg-config g++ clang libclang-rt-14-dev clang-format clang-tidy
  libgtest-dev libgmock-dev libbenchmark-dev
  # libraries
  zlib1g-dev libdeflate-dev libzstd-dev zstd liblzma-dev libcurl4-openssl-dev libsodium-dev
  libiberty-dev
  libwxgtk3.2-dev libwxgtk-webview3.2-dev
  # bench/delta.sh: the difference tools it compares with
  bsdiff xdelta3
  # real servers and a display for the tests and the demo
  xvfb xauth xdotool imagemagick nginx-light vsftpd python3 python3-pyftpdlib
  # installing: the manual pages, the Debian packages and their checks
  help2man dpkg-dev file lintian desktop-file-utils adduser
  # the signing tool a publisher may use, for the tests that check we agree with it
  minisign
  # a proxy and a self-signed certificate for the transfer tests
  tinyproxy openssl
  # the load balancer in front of several repair servers, in their test
  haproxy
)

# A deb-src entry beside each deb entry of this machine's package sources, for
# `apt-get source`; the security archive's are left out, as its source files cannot be
# fetched here.
add_source_packages() {
  local list=/etc/apt/sources.list.d/osmel-deb-src
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    awk -v RS= -v ORS='\n\n' '!/security/ { sub(/Types: deb\n/, "Types: deb-src\n"); print }' \
      /etc/apt/sources.list.d/debian.sources >"$list.sources"
  else
    sed -n '/security/d; s/^deb /deb-src /p' /etc/apt/sources.list >"$list.list"
  fi
}

need_sources=0
if [ "${1:-}" = "--windows" ]; then
  packages=("${windows_packages[@]}")
  [ -n "$(apt-cache showsrc zstd 2>/dev/null)" ] || need_sources=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ] && [ $need_sources -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: installing needs root; missing packages: ${missing[*]:-none}," \
    "deb-src entries missing: $need_sources" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
[ $need_sources -eq 0 ] || add_source_packages
apt-get update -q
[ ${#missing[@]} -eq 0 ] || apt-get install -y -q --no-install-recommends "${missing[@]}"
