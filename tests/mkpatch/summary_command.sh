#!/usr/bin/env bash
# osmel-mkpatch summary: the checksum file of a tree, checked against cksum's CRC.
set -uo pipefail
mkpatch=$1
source "$(dirname "$0")/lib.sh"

mkdir -p tree/sub
printf 'abc' >tree/sub/a.txt
printf 'ignored' >tree/unins000.dat
expect 0 "$mkpatch" summary tree
grep -q '1 segments written' err || fail "unexpected report: $(cat err)"
# magic, one entry, the 13-unit key "sub\a.txt#000", checksum of "abc" (0x2C17398C).
expected_head=$(printf '0stf\001\000\000\000\015\000\000\000' | od -An -tx1 | tr -d ' \n')
head=$(head -c 12 tree/repair.cks | od -An -tx1 | tr -d ' \n')
[ "$head" = "$expected_head" ] || fail "header $head"
key=$(tail -c +13 tree/repair.cks | head -c 26 | tr -d '\000')
[ "$key" = 'sub\a.txt#000' ] || fail "key $key"
crc=$(tail -c +39 tree/repair.cks | head -c 4 | od -An -tx4 | tr -d ' ')
[ "$crc" = "2c17398c" ] || fail "checksum $crc"

expect 0 "$mkpatch" summary tree -o out.cks
cmp -s out.cks tree/repair.cks || fail "-o wrote something else"

# An unchanged time keeps the stored checksum; --fresh computes it again.
touch -r tree/sub/a.txt stamp
printf 'xyz' >tree/sub/a.txt
touch -r stamp tree/sub/a.txt
expect 0 "$mkpatch" summary tree
cmp -s out.cks tree/repair.cks || fail "an unchanged time must keep the checksum"
expect 0 "$mkpatch" summary --fresh tree
cmp -s out.cks tree/repair.cks && fail "--fresh must checksum again"

expect 1 "$mkpatch" summary missing
grep -q 'is not a directory' err || fail "no message for a missing tree"
expect 2 "$mkpatch" summary

finish
