#!/usr/bin/env bash
# patchlist of osmel-mkpatch: the records of a chain with relative and absolute data
# addresses, values that need quotes, and the argument errors that leave no file.
set -uo pipefail
mkpatch=$1
source "$(dirname "$0")/lib.sh"

expect 0 "$mkpatch" patchlist -o patches.txt --exe-url patcher.exe \
  --step 100 101 100_to_101.zip --step 101 102 "ftp://mirror.example.com/kelvor/101_to_102.zip" \
  --step 102 103 " spaced.zip"
printf 'source-version: 100\r\ntarget-version: 101\r\npatch-exe-url: patcher.exe\r\npatch-data-url: 100_to_101.zip\r\n\r\nsource-version: 101\r\ntarget-version: 102\r\npatch-exe-url: patcher.exe\r\npatch-data-url: ftp://mirror.example.com/kelvor/101_to_102.zip\r\n\r\nsource-version: 102\r\ntarget-version: 103\r\npatch-exe-url: patcher.exe\r\npatch-data-url: " spaced.zip"\r\n' >want
cmp -s patches.txt want || fail "patches.txt differs: $(cat -A patches.txt)"

for bad in "--step 100 101" "--step 100 100 a.zip" "--step 100 ../x a.zip" \
  "--step 100 101 a.zip --step 100 102 b.zip" "--step 100 101 ''" "stray"; do
  eval "expect 2 \"$mkpatch\" patchlist -o bad.txt --exe-url e $bad"
  [ -e bad.txt ] && fail "'$bad' left bad.txt"
done
expect 2 "$mkpatch" patchlist -o bad.txt --step 100 101 a.zip
expect 1 "$mkpatch" patchlist -o missing-dir/patches.txt --exe-url e --step 1 2 a.zip

finish
