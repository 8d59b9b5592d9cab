#!/usr/bin/env bash
# keygen, sign and verify of osmel-mkpatch, and that they agree with the minisign tool both
# ways: its keys and signatures work here, ours work there.
set -uo pipefail
mkpatch=$1
source "$(dirname "$0")/lib.sh"

printf 'release data\n' >data
head -c 300000 /dev/urandom >package.zip

# Our key pair: minisign verifies what we sign (prehashed by default, legacy with -l) and
# signs with our secret key.
expect 0 "$mkpatch" keygen -o ours
[ -s ours.pub ] && [ -s ours.key ] || fail "keygen wrote no key pair"
expect 1 "$mkpatch" keygen -o ours
expect 0 "$mkpatch" sign -s ours.key -t "list-version:4" data package.zip
minisign -V -H -p ours.pub -m data >out 2>&1 || fail "minisign refused our signature: $(cat out)"
grep -q "Trusted comment: list-version:4" out || fail "minisign saw another comment: $(cat out)"
minisign -V -H -p ours.pub -m package.zip >out 2>&1 || fail "minisign refused: $(cat out)"
expect 0 "$mkpatch" sign -l -s ours.key data
minisign -V -p ours.pub -m data >out 2>&1 || fail "minisign refused our legacy one: $(cat out)"
minisign -S -s ours.key -m package.zip -t theirs >out 2>&1 </dev/null ||
  fail "minisign cannot sign with our secret key: $(cat out)"
expect 0 "$mkpatch" verify -p ours.pub package.zip
grep -q "Trusted comment: theirs" out || fail "verify printed: $(cat out)"

# minisign's key pair (no password): we sign with its secret key and verify its signatures,
# both kinds.
minisign -G -W -p theirs.pub -s theirs.key >/dev/null 2>&1 || fail "minisign -G failed"
minisign -S -s theirs.key -m data -t "from minisign" >/dev/null 2>&1 </dev/null || fail "minisign -S"
expect 0 "$mkpatch" verify -p theirs.pub data
grep -q "Trusted comment: from minisign" out || fail "verify printed: $(cat out)"
minisign -S -l -s theirs.key -m data >/dev/null 2>&1 </dev/null || fail "minisign -S -l"
expect 0 "$mkpatch" verify -p theirs.pub data
expect 0 "$mkpatch" sign -s theirs.key -t ours package.zip
minisign -V -p theirs.pub -m package.zip >out 2>&1 || fail "minisign refused: $(cat out)"

# Refusals: changed data, another key, a damaged signature, a key with a password.
expect 0 "$mkpatch" sign -s ours.key data
cp data changed && printf 'x' >>changed && cp data.minisig changed.minisig
expect 1 "$mkpatch" verify -p ours.pub changed
grep -q "does not match" err || fail "changed data: $(cat err)"
expect 1 "$mkpatch" verify -p theirs.pub data
grep -q "was made with key" err || fail "another key: $(cat err)"
sed -i '2s/^..../AAAA/' changed.minisig
expect 1 "$mkpatch" verify -p ours.pub changed
# A key with a password ("Sc" as its KDF; minisign's own takes seconds of scrypt to make).
sed '2s/^RWQAAE/RWRTY0/' ours.key >locked.key
expect 1 "$mkpatch" sign -s locked.key data
grep -q "password" err || fail "password key: $(cat err)"
expect 2 "$mkpatch" sign -s ours.key
expect 2 "$mkpatch" verify -p ours.pub
expect 1 "$mkpatch" verify -p ours.pub missing-file

finish
