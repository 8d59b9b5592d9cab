#!/usr/bin/env bash
# patchlist of osmel-mkpatch: the records of a chain with relative and absolute data
# addresses, values that need quotes, each package's size and SHA-256, the signed list, and
# the argument errors that leave no file.
set -uo pipefail
mkpatch=$1
source "$(dirname "$0")/lib.sh"

printf 'one' >100_to_101.zip
mkdir elsewhere && printf 'two!' >elsewhere/101_to_102.zip
printf '' >" spaced.zip"
expect 0 "$mkpatch" patchlist -o patches.txt --exe-url patcher.exe \
  --step 100 101 100_to_101.zip \
  --step 101 102 "ftp://mirror.example.com/kelvor/101_to_102.zip" --file elsewhere/101_to_102.zip \
  --step 102 103 " spaced.zip"
sha() { sha256sum "$1" | cut -d' ' -f1; }
printf 'source-version: 100\r\ntarget-version: 101\r\npatch-exe-url: patcher.exe\r\npatch-data-url: 100_to_101.zip\r\npatch-data-size: 3\r\npatch-data-sha256: %s\r\n\r\nsource-version: 101\r\ntarget-version: 102\r\npatch-exe-url: patcher.exe\r\npatch-data-url: ftp://mirror.example.com/kelvor/101_to_102.zip\r\npatch-data-size: 4\r\npatch-data-sha256: %s\r\n\r\nsource-version: 102\r\ntarget-version: 103\r\npatch-exe-url: patcher.exe\r\npatch-data-url: " spaced.zip"\r\npatch-data-size: 0\r\npatch-data-sha256: %s\r\n' \
  "$(sha 100_to_101.zip)" "$(sha elsewhere/101_to_102.zip)" "$(sha " spaced.zip")" >want
cmp -s patches.txt want || fail "patches.txt differs: $(cat -A patches.txt)"
[ -e patches.txt.minisig ] && fail "an unsigned list has a signature"
# A relative address is followed from the list's folder to its package.
mkdir list
expect 0 "$mkpatch" patchlist -o list/patches.txt --exe-url e \
  --step 101 102 ../elsewhere/101_to_102.zip
grep -q "patch-data-size: 4" list/patches.txt || fail "relative address: $(cat list/patches.txt)"

# Signed: the trusted comment carries the list version and the expiry, and minisign agrees.
expect 0 "$mkpatch" keygen -o publisher
expect 0 "$mkpatch" patchlist -o patches.txt --exe-url e --step 100 101 100_to_101.zip \
  --sign publisher.key --list-version 7 --expires 2031-02-03T04:05:06Z
if command -v minisign >/dev/null; then
  minisign -V -p publisher.pub -m patches.txt >out 2>&1 || fail "minisign: $(cat out)"
fi
expect 0 "$mkpatch" verify -p publisher.pub patches.txt
grep -qx "Trusted comment: list-version:7 expires:2031-02-03T04:05:06Z" out ||
  fail "trusted comment: $(cat out)"
expect 0 "$mkpatch" patchlist -o patches.txt --exe-url e --step 100 101 100_to_101.zip \
  --sign publisher.key
expect 0 "$mkpatch" verify -p publisher.pub patches.txt
grep -Eqx "Trusted comment: list-version:[0-9]{10}" out || fail "default version: $(cat out)"
# An unsigned list replacing a signed one takes the old signature away.
expect 0 "$mkpatch" patchlist -o patches.txt --exe-url e --step 100 101 100_to_101.zip
[ -e patches.txt.minisig ] && fail "a stale signature stayed beside the list"

for bad in "--step 100 101" "--step 100 100 a.zip" "--step 100 ../x a.zip" \
  "--step 100 101 a.zip --step 100 102 b.zip" "--step 100 101 ''" "stray" \
  "--step 1 2 a.zip --list-version 3" "--step 1 2 a.zip --sign k --list-version x" \
  "--step 1 2 a.zip --sign k --expires 2031-02-30T00:00:00Z" "--file a.zip --step 1 2 a.zip"; do
  eval "expect 2 \"$mkpatch\" patchlist -o bad.txt --exe-url e $bad"
  [ -e bad.txt ] && fail "'$bad' left bad.txt"
done
expect 2 "$mkpatch" patchlist -o bad.txt --step 100 101 a.zip
expect 1 "$mkpatch" patchlist -o missing-dir/patches.txt --exe-url e --step 1 2 a.zip
expect 1 "$mkpatch" patchlist -o bad.txt --exe-url e --step 1 2 no-such-package.zip
grep -q "no-such-package.zip" err || fail "missing package: $(cat err)"
expect 1 "$mkpatch" patchlist -o bad.txt --exe-url e --step 100 101 100_to_101.zip --sign no.key
[ -e bad.txt ] && fail "a key that cannot sign left bad.txt"

finish
