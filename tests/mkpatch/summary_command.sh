#!/usr/bin/env bash
# osmel-mkpatch summary: the checksum file of a tree, checked against cksum's CRC.
set -euo pipefail
mkpatch=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir -p "$work/tree/sub"
printf 'abc' >"$work/tree/sub/a.txt"
printf 'ignored' >"$work/tree/unins000.dat"
"$mkpatch" summary "$work/tree" >/dev/null 2>"$work/err" || fail "summary failed: $(cat "$work/err")"
grep -q '1 segments written' "$work/err" || fail "unexpected report: $(cat "$work/err")"
# magic, one entry, the 13-unit key "sub\a.txt#000", checksum of "abc" (0x2C17398C).
expected_head=$(printf '0stf\001\000\000\000\015\000\000\000' | od -An -tx1 | tr -d ' \n')
head=$(head -c 12 "$work/tree/repair.cks" | od -An -tx1 | tr -d ' \n')
[ "$head" = "$expected_head" ] || fail "header $head"
key=$(tail -c +13 "$work/tree/repair.cks" | head -c 26 | tr -d '\000')
[ "$key" = 'sub\a.txt#000' ] || fail "key $key"
crc=$(tail -c +39 "$work/tree/repair.cks" | head -c 4 | od -An -tx4 | tr -d ' ')
[ "$crc" = "2c17398c" ] || fail "checksum $crc"

"$mkpatch" summary "$work/tree" -o "$work/out.cks" 2>/dev/null
cmp -s "$work/out.cks" "$work/tree/repair.cks" || fail "-o wrote something else"

# An unchanged time keeps the stored checksum; --fresh computes it again.
touch -r "$work/tree/sub/a.txt" "$work/stamp"
printf 'xyz' >"$work/tree/sub/a.txt"
touch -r "$work/stamp" "$work/tree/sub/a.txt"
"$mkpatch" summary "$work/tree" 2>/dev/null >/dev/null
cmp -s "$work/out.cks" "$work/tree/repair.cks" || fail "an unchanged time must keep the checksum"
"$mkpatch" summary --fresh "$work/tree" 2>/dev/null >/dev/null
cmp -s "$work/out.cks" "$work/tree/repair.cks" && fail "--fresh must checksum again"

if "$mkpatch" summary "$work/missing" 2>"$work/err"; then fail "a missing tree succeeded"; fi
grep -q 'is not a directory' "$work/err" || fail "no message for a missing tree"
set +e
"$mkpatch" summary 2>/dev/null
[ $? -eq 2 ] || fail "no DIR must be a usage error"
echo "summary_command: ok"
