#!/usr/bin/env bash
# diff, pack, unpack, inspect and archive of osmel-mkpatch, and kpatchl-w32.exe applying
# what diff made: two build trees become a patch directory, a package that unpacks
# byte-identical, and a standalone patcher whose archive reads back.
set -uo pipefail
mkpatch=$1
kpatchl=$2
source "$(dirname "$0")/lib.sh"

md5() { md5sum "$1" | cut -d' ' -f1; }

# Two builds: a patched binary with small edits, an unchanged file, an added file in a
# new directory whose name has a dot, a deleted file.
mkdir -p old/bin old/data new/bin new/data/maps.v2
head -c 3000000 "$mkpatch" >old/bin/Portico.exe
cp old/bin/Portico.exe new/bin/Portico.exe
printf 'EDITED' | dd of=new/bin/Portico.exe bs=1 seek=123456 conv=notrunc status=none
printf 'tail' >>new/bin/Portico.exe
echo "same" >old/data/same.txt
cp old/data/same.txt new/data/same.txt
echo "old only" >old/data/gone.txt
head -c 100000 /dev/urandom >new/data/maps.v2/new.map

expect 0 "$mkpatch" diff old new -o patch
[ -f patch/data/bin/Portico.exe.diff ] || fail "no difference file for the patched binary"
[ "$(stat -c %s patch/data/bin/Portico.exe.diff)" -lt 10000 ] || fail "the difference is not small"
cmp -s new/data/maps.v2/new.map patch/data/data/maps.v2/new.map || fail "added file not copied"
printf 'bin\\Portico.exe\r\n%s\r\n%s\r\n' "$(md5 new/bin/Portico.exe)" "$(md5 old/bin/Portico.exe)" >expected
cmp -s expected patch/patchedFiles.txt || fail "patchedFiles.txt: $(od -c patch/patchedFiles.txt | head)"
printf 'data\\maps.v2\\new.map\r\n%s\r\n\r\n' "$(md5 new/data/maps.v2/new.map)" >expected
cmp -s expected patch/addedFiles.txt || fail "addedFiles.txt: $(cat -A patch/addedFiles.txt)"
printf 'data\\gone.txt\r\n\r\n\r\n' >expected
cmp -s expected patch/deletedFiles.txt || fail "deletedFiles.txt: $(cat -A patch/deletedFiles.txt)"

# The reference difference tool turns the old file into the new one, and its exit codes.
expect 0 "$kpatchl" old/bin/Portico.exe patch/data/bin/Portico.exe.diff patched.exe
cmp -s patched.exe new/bin/Portico.exe || fail "kpatchl-w32.exe output differs from the new build"
expect 1 "$kpatchl" old/bin/Portico.exe patch/data/bin/Portico.exe.diff
expect 2 "$kpatchl" missing.exe patch/data/bin/Portico.exe.diff x.exe
expect 3 "$kpatchl" old/bin/Portico.exe missing.diff x.exe
expect 4 "$kpatchl" old/bin/Portico.exe patch/data/bin/Portico.exe.diff nodir/x.exe
expect 5 "$kpatchl" new/data/same.txt patch/data/bin/Portico.exe.diff x.exe
[ -e x.exe ] && fail "a failed kpatchl-w32.exe left its output"
head -c 100 patch/data/bin/Portico.exe.diff >cut.diff
expect 5 "$kpatchl" old/bin/Portico.exe cut.diff x.exe

# pack, inspect, unpack: byte-identical, and in the order the patcher expects.
expect 0 "$mkpatch" pack patch -o step.zip
expect 0 "$mkpatch" inspect step.zip
grep -q '^package: version 1' out || fail "inspect of a package: $(cat out)"
names=$(grep -E '^  (dir|file)' out | awk '{print $2}' | tr '\n' ' ')
want='.\data .\data\bin .\data\bin\Portico.exe.diff .\data\data .\data\data\maps.v2\ .\data\data\maps.v2\new.map .\addedFiles.txt .\deletedFiles.txt .\patchedFiles.txt '
[ "$names" = "$want" ] || fail "package order: $names"
expect 0 "$mkpatch" unpack step.zip -o unpacked
diff -r patch unpacked >/dev/null || fail "unpacked tree differs from the patch directory"
expect 1 "$mkpatch" unpack step.zip -o unpacked
grep -q "not an empty directory" err || fail "unpack into a full directory: $(cat err)"

# A damaged package fails and leaves no directory behind.
head -c 500 step.zip >cut.zip
expect 1 "$mkpatch" unpack cut.zip -o cutdir
[ -e cutdir ] && fail "a failed unpack left its directory"
expect 1 "$mkpatch" inspect cut.zip

# Files without an extension travel: the package names them with one trailing "." more
# (so that a reader sees a file, not a directory), and unpacking gives the name back.
mkdir -p new2/bin
cp -r new/. new2/
echo a >new2/README
echo b >new2/bin/LICENSE
entries='.\data\README. .\data\bin\LICENSE.'
# A trailing "." is part of a name on POSIX only.
if [ -z "${OSMEL_TOOL_EMULATOR:-}" ]; then
  echo c >new2/bin/odd.
  entries="$entries .\data\bin\odd.."
fi
expect 0 "$mkpatch" diff old new2 -o patch2
expect 0 "$mkpatch" pack patch2 -o p2.zip
expect 0 "$mkpatch" inspect p2.zip
for name in $entries; do
  grep -qF "  file  $name " out || fail "package entry $name: $(cat out)"
done
expect 0 "$mkpatch" unpack p2.zip -o unpacked2
diff -r patch2 unpacked2 >/dev/null || fail "extensionless files did not unpack as they were"

# A standalone patcher: the tool itself serves as the image. It never carries the magic.
grep -q 'B0e1x2o3' "$mkpatch" && fail "the magic is stored contiguously in osmel-mkpatch"
expect 0 "$mkpatch" archive "$mkpatch" -o standalone --step 41590 41861 step.zip --probe-from old \
  --step 41861 41900 step.zip --probe 'data\same.txt' --probe-md5 "$(md5 old/data/same.txt)"
# Windows has no run bit.
[ -n "${OSMEL_TOOL_EMULATOR:-}" ] || [ -x standalone ] || fail "the standalone patcher lost its run bit"
size=$(stat -c %s standalone)
image=$(stat -c %s "$mkpatch")
header=$(( (image + 4095) / 4096 * 4096 ))
expect 0 "$mkpatch" inspect standalone
grep -q "^archive: header at $header, file size $size, 2 entries, directory at $((size - 936))" out ||
  fail "inspect of the archive: $(cat out)"
grep -q "41590 -> 41861: package at $((header + 28)), $(stat -c %s step.zip) bytes; probe bin\\\\Portico.exe md5 $(md5 old/bin/Portico.exe)" out ||
  fail "first entry: $(cat out)"
run ./standalone --help >/dev/null || fail "the standalone patcher does not run"
expect 1 "$mkpatch" archive standalone -o again --step 1 2 step.zip --probe-md5 "$(md5 old/data/same.txt)"
grep -q "already carries an archive" err || fail "archive of an archive: $(cat err)"
expect 2 "$mkpatch" archive "$mkpatch" -o x --step 1 2 step.zip
expect 2 "$mkpatch" archive "$mkpatch" -o x --step 1 2 step.zip --probe '..\x.exe' --probe-md5 "$(md5 old/data/same.txt)"
expect 1 "$mkpatch" archive "$mkpatch" -o x --step 1 2 old/data/same.txt --probe-md5 "$(md5 old/data/same.txt)"
[ -e x ] && fail "a refused archive left its output"

# apply: the engine as a session runs it, on a patch made by diff.
cp -r old inst
cp "$kpatchl" inst/bin/kpatchl-w32.exe
expect 0 "$mkpatch" apply patch inst
grep -q '^\[total\] 3 file operations' out || fail "apply did not report its total: $(cat out)"
rm inst/bin/kpatchl-w32.exe
diff -r new inst >/dev/null || fail "apply did not turn the old build into the new one"
rm -rf inst
cp -r old inst
cp "$kpatchl" inst/bin/kpatchl-w32.exe
echo "changed by the user" >inst/bin/Portico.exe
expect 1 "$mkpatch" apply patch inst
grep -q '^\[error\] Existing file is damaged and cannot be patched: .*Portico.exe$' out ||
  fail "apply of a damaged file: $(cat out)"
[ -e inst/data/gone.txt ] && [ ! -e inst/data/maps.v2/new.map ] || fail "apply did not roll back"
expect 2 "$mkpatch" apply patch

finish
