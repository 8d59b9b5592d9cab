#!/usr/bin/env bash
# A real program's two versions from Debian's archive: extensionless programs and files
# (usr/bin/curl, copyright) through diff, pack, unpack and apply, as an update and as a
# fresh installation; the installation ends byte-identical to the newer tree. The packages
# are fetched once with apt-get download and kept in CACHE_DIR (under build/); without
# them and without the archive the test is skipped (77).
# Usage: debian_pair.sh MKPATCH KPATCHL CACHE_DIR
set -uo pipefail
mkpatch=$1
kpatchl=$2
cache=$3
source "$(dirname "$0")/lib.sh"

package=curl
older=7.88.1-10+deb12u5
newer=7.88.1-10+deb12u15
mkdir -p "$cache"
for version in "$older" "$newer"; do
  deb="$cache/${package}_${version}_amd64.deb"
  [ -s "$deb" ] && continue
  if ! (cd "$cache" && timeout 120 apt-get download -q "$package=$version" >/dev/null 2>&1) ||
    [ ! -s "$deb" ]; then
    echo "debian_pair: $package $version is neither cached nor downloadable; skipped"
    exit 77
  fi
done
mkdir old new empty
dpkg-deb -x "$cache/${package}_${older}_amd64.deb" old
dpkg-deb -x "$cache/${package}_${newer}_amd64.deb" new
cmp -s old/usr/bin/curl new/usr/bin/curl && fail "the two versions hold the same program"

# from: the tree the installation starts as.
for from in old empty; do
  rm -rf patch unpacked inst step.zip
  expect 0 "$mkpatch" diff "$from" new -o patch
  expect 0 "$mkpatch" pack patch -o step.zip
  expect 0 "$mkpatch" unpack step.zip -o unpacked
  diff -r patch unpacked >/dev/null || fail "$from: the package did not unpack as the patch"
  cp -r "$from" inst
  mkdir -p inst/bin
  cp "$kpatchl" inst/bin/kpatchl-w32.exe
  expect 0 "$mkpatch" apply unpacked inst
  rm -r inst/bin
  diff -r new inst >/dev/null || fail "$from: apply did not end with the newer tree"
done
grep -qF 'usr\bin\curl' unpacked/addedFiles.txt || fail "the program was not added: $(cat unpacked/addedFiles.txt)"

finish
