#!/usr/bin/env bash
# md5, compress and decompress of osmel-mkpatch: the RFC 1321 suite, md5sum's output
# format, round trips, damaged containers that leave no output, argument errors.
set -uo pipefail
mkpatch=$1
source "$(dirname "$0")/lib.sh"

# The RFC 1321 suite, one file per message.
messages=("" "a" "abc" "message digest" "abcdefghijklmnopqrstuvwxyz"
  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
  "12345678901234567890123456789012345678901234567890123456789012345678901234567890")
digests=(d41d8cd98f00b204e9800998ecf8427e 0cc175b9c0f1b6a831c399e269772661
  900150983cd24fb0d6963f7d28e17f72 f96b697d7cb7938d525a2f31aaf161d0
  c3fcd3d76192e4007dfb496cca67e13b d174ab98d277d9f5a5611c2c9f419d9f
  57edf4a22be3c955ac49da2e2107b67a)
files=()
for i in "${!messages[@]}"; do
  printf '%s' "${messages[$i]}" >"rfc$i.txt"
  files+=("rfc$i.txt")
done
expect 0 "$mkpatch" md5 "${files[@]}"
expected=$(for i in "${!digests[@]}"; do printf '%s  rfc%s.txt\n' "${digests[$i]}" "$i"; done)
[ "$(cat out)" = "$expected" ] || fail "md5 of the RFC 1321 suite: $(cat out)"

# Same lines as md5sum, also for a name with spaces and a larger file.
head -c 3000000 /dev/urandom >"big file.bin"
expect 0 "$mkpatch" md5 "big file.bin" rfc2.txt
[ "$(cat out)" = "$(md5sum "big file.bin" rfc2.txt)" ] || fail "md5 differs from md5sum"

# An unreadable file is an error line, the others are still printed, status 1.
expect 1 "$mkpatch" md5 rfc1.txt missing.bin rfc2.txt
[ "$(wc -l <out)" -eq 2 ] || fail "md5 with a missing file printed: $(cat out)"
grep -q "missing.bin" err || fail "md5 error does not name the file: $(cat err)"
mkdir adir
expect 1 "$mkpatch" md5 adir

# Round trips, in one chunk and in many.
for opts in "" "--chunk-size 65536" "--chunk-size 1"; do
  input="big file.bin"
  [ "$opts" = "--chunk-size 1" ] && input=rfc6.txt
  # shellcheck disable=SC2086
  expect 0 "$mkpatch" compress $opts "$input" c.bin
  expect 0 "$mkpatch" decompress c.bin back.bin
  cmp -s "$input" back.bin || fail "round trip with '$opts' changed the data"
done
: >empty.bin
expect 0 "$mkpatch" compress empty.bin c0.bin
[ "$(od -An -tx1 c0.bin | tr -d ' ')" = "00000000" ] || fail "empty container: $(od -An -tx1 c0.bin)"
expect 0 "$mkpatch" decompress c0.bin e.bin
[ -f e.bin ] && [ ! -s e.bin ] || fail "empty container did not give an empty file"

# Damaged containers: status 1, a message, and neither OUT nor a temporary file.
run "$mkpatch" compress --chunk-size 65536 "big file.bin" good.bin >/dev/null
size=$(stat -c %s good.bin)
head -c $((size - 10)) good.bin >truncated.bin
cp good.bin corrupt.bin
printf '\xff\xff\xff\xff' | dd of=corrupt.bin bs=1 seek=200000 conv=notrunc status=none
cp good.bin trailing.bin
printf 'x' >>trailing.bin
printf '\x01\x00\x00\x00\x0a\x00\x00\x00\xff\xff\xff\x7f0123456789' >bomb.bin
for bad in truncated.bin corrupt.bin trailing.bin bomb.bin; do
  expect 1 "$mkpatch" decompress "$bad" out.bin
  grep -q "$bad" err || fail "decompress $bad: message does not name the file: $(cat err)"
  compgen -G "out.bin*" >/dev/null && fail "decompress $bad left $(ls out.bin*)"
done

# Arguments.
expect 2 "$mkpatch"
expect 2 "$mkpatch" frobnicate
grep -q "unknown command 'frobnicate'" err || fail "unknown command message: $(cat err)"
expect 2 "$mkpatch" md5
expect 2 "$mkpatch" compress onlyone
expect 2 "$mkpatch" compress --chunk-size 0 a b
expect 2 "$mkpatch" decompress a b c
expect 0 "$mkpatch" --help
grep -q "Usage: osmel-mkpatch" out || fail "--help prints no usage"
expect 0 "$mkpatch" compress --help
expect 0 "$mkpatch" --version
grep -q "^osmel-mkpatch (Osmel Patcher) [0-9.]*$" out && grep -q "^build ." out ||
  fail "--version: $(cat out)"
expect 1 "$mkpatch" compress missing.bin x.bin
grep -q "cannot read 'missing.bin'" err || fail "compress of a missing file: $(cat err)"
expect 1 "$mkpatch" decompress good.bin nodir/x.bin
grep -q "cannot create 'nodir/x.bin'" err || fail "decompress into a missing directory: $(cat err)"

finish
