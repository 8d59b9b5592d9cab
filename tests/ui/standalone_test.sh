#!/usr/bin/env bash
# Standalone mode end to end: real installations and a real standalone patcher made by our
# own tools (scripts/standalone-fixture.sh), the real window under the test run's X
# server, its buttons pressed as a user presses them:
#   the whole chain 41590 -> 41600 -> 41610, then "Exit";
#   a damaged file in the middle of the chain: the last good build stays, IsPatching stays;
#   a cancel confirmed while a step runs: the step is rolled back;
#   an installation the archive does not apply to: message 184, nothing to apply;
#   the product running (the utility tool double holds the asset database): refused;
#   the patcher killed in the middle of a step: the next start undoes the step and
#   clears IsPatching;
#   an interrupted step that cannot be finished: the window refuses to patch;
#   an installation in a folder named in Cyrillic with an "é": found, patched, and no
#   path loses its characters (screenshot standalone-unusual-folder.png).
# Usage: standalone_test.sh BUILD_DIR ARTEFACT_DIR
set -euo pipefail
build=$(realpath "$1")
artefacts=$2
here=$(dirname "$(realpath "$0")")
source "$here/lib.sh"
mkdir -p "$artefacts"
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT

bash "$here/../../scripts/standalone-fixture.sh" "$build" "$work/fixture" --files 40 \
  --size-mib 4 --added 10 --seed 5
fixture=$work/fixture

# A fresh installation of the first build, registered, with its own temporary directory.
prepare() {
  rm -rf "$work/install" "$work/temp" "$work/out"
  cp -a "$fixture/install" "$work/install"
  printf 'repairseconds=0.2\nrepairlines=2\n' >"$work/install/bin/KelvorUtil.cfg"
  mkdir -p "$work/temp"
  sed "s|$fixture/install|$work/install|" "$fixture/registry.reg" >"$work/registry.reg"
}

start() {
  OSMEL_REGISTRY="$work/registry.reg" TEMP="$work/temp" "$fixture/patcher" >"$work/out" \
    2>"$work/err" &
  pid=$!
  find_window
}

marker_set() { grep -qi '"IsPatching"=dword:00000001' "$work/registry.reg"; }

# 1. The whole road.
prepare
start
wait_for "[0] Ready to install from local patch file."
wait_for "[0] Current version: 41590."
press_apply
wait_for "[0] Patching from 41590 to 41600."
wait_for "[0] Patching from 41600 to 41610."
wait_for "[0] There are no more patches for this build."
wait_for "Checked 100% of the assets."
wait_for "[0] Patching completed."
import -window root "$artefacts/standalone.png"
press_exit
[ "$(manifest "$work/install")" = "$(manifest "$fixture/builds/41610")" ] ||
  fail "the installation is not build 41610"
added=$(comm -13 <(cd "$fixture/builds/41590" && find . -type f | sort) \
  <(cd "$fixture/builds/41610" && find . -type f | sort) | sed 's|^\./||; s|/|\\|g')
[ -n "$added" ] || fail "the chain adds no file"
while read -r file; do
  grep -aqF -- "$file" "$work/install/unins000.dat" || fail "$file is not in the uninstaller log"
done <<<"$added"
[ -z "$(find "$work/install" -name '*.pbk')" ] || fail "backups left behind"
marker_set && fail "IsPatching is still set"

# 2. A damaged file that only the second step patches.
prepare
victim=
while read -r sum file; do
  old=$(cd "$fixture/builds/41590" && md5sum "$file" 2>/dev/null | cut -d' ' -f1 || true)
  new=$(cd "$fixture/builds/41610" && md5sum "$file" 2>/dev/null | cut -d' ' -f1 || true)
  if [ "$old" = "$sum" ] && [ -n "$new" ] && [ "$new" != "$sum" ]; then
    victim=$file
    break
  fi
done < <(manifest "$fixture/builds/41600")
[ -n "$victim" ] || fail "no file for the damage case"
printf 'damage' | dd of="$work/install/$victim" conv=notrunc status=none
start
wait_for "[0] Ready to install from local patch file."
press_apply
wait_for "[0] Patching aborted."
press_exit
grep -qF "[2] " "$work/out" || fail "no error line"
expected=$(manifest "$fixture/builds/41600" | grep -vF "  $victim")
[ "$(manifest "$work/install" | grep -vF "  $victim")" = "$expected" ] ||
  fail "the installation is not build 41600"
marker_set || fail "IsPatching is not set after the failed step"

# The difference tool slowed down, so that a step surely runs while the test acts.
slow_difference_tool() {
  mv "$work/install/bin/kpatchl-w32.exe" "$work/kpatchl-real"
  printf '#!/bin/sh\nsleep 1\nexec "%s" "$@"\n' "$work/kpatchl-real" >"$work/install/bin/kpatchl-w32.exe"
  chmod +x "$work/install/bin/kpatchl-w32.exe"
}

# Starts a fresh installation's first step with the slowed difference tool.
start_slow_step() {
  prepare
  slow_difference_tool
  start
  wait_for "[0] Ready to install from local patch file."
  press_apply
  wait_for "[0] Patching..."
}

# 3. A cancel confirmed while the first step patches.
start_slow_step
press_cancel
# The question box: "Yes" by its mnemonic.
dialog=$(timeout 30 xdotool search --sync --onlyvisible --name "Osmel Patcher" | grep -v "^$window$" |
  head -n 1 || true)
[ -n "$dialog" ] || fail "no cancel question"
xdotool windowfocus --sync "$dialog" key alt+y
wait_for "[0] Patching cancelled."
press_exit
[ "$(manifest "$work/install")" = "$(manifest "$fixture/builds/41590")" ] ||
  fail "the cancelled step was not rolled back"

# 4. An installation the archive does not apply to.
prepare
printf 'foreign' >"$work/install/bin/Portico.exe"
start
wait_for "[2] This patch file is not applicable to your current installation version."
wait_for "[2] No valid patch operation was specified. Patching aborted."
press_exit
# 5. The product runs: the session gives up after its five attempts, shows the box and lets
# the user try again.
prepare
"$work/install/bin/KelvorUtil.exe" hold >"$work/hold.out" 2>&1 &
holder=$!
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; kill "$holder" 2>/dev/null || true; rm -rf "$work"' EXIT
start
wait_for "[0] Ready to install from local patch file."
press_apply
wait_for "[2] Unable to patch - files in use."
wait_for "[0] Patching aborted."
box=$(timeout 30 xdotool search --sync --onlyvisible --name "Files In Use" | head -n 1 || true)
[ -n "$box" ] || fail "no Files In Use box"
xdotool windowfocus --sync "$box" key Return
kill "$holder"
wait "$holder" 2>/dev/null || true
press_exit
[ "$(manifest "$work/install")" = "$(manifest "$fixture/builds/41590")" ] ||
  fail "the installation changed while the product ran"

# 6. Killed in the middle of a step: the next start finishes the interrupted step (here:
# undoes it) before anything else, and the installation is no longer marked as patching.
start_slow_step
sleep 1.5
marker_set || fail "IsPatching is not set while a step runs"
kill -KILL "$pid"
wait "$pid" 2>/dev/null || true
pid=
start
wait_for "An interrupted patch step was found in"
grep -q "^\[1\] An interrupted patch step was found in" "$work/out" || fail "no recovery note"
wait_for "[0] Ready to install from local patch file."
press_exit
[ "$(manifest "$work/install")" = "$(manifest "$fixture/builds/41590")" ] ||
  fail "the interrupted step was not undone"
marker_set && fail "IsPatching is still set after the recovery"

# 7. An interrupted step that cannot be finished (its journal cannot be read): the window
# tells the user the installation needs a repair, and "Apply" does nothing.
prepare
printf 'not a journal' >"$work/install/osmel-step.journal"
start
wait_for "but its journal cannot be read"
wait_for "The installation needs a repair before it can be patched"
press_apply
press_exit
grep -q "Patching from" "$work/out" && fail "a step ran after a recovery that failed"
[ -f "$work/install/osmel-step.journal" ] || fail "the unfinished step's journal is gone"
rm "$work/install/osmel-step.journal"
[ "$(manifest "$work/install")" = "$(manifest "$fixture/builds/41590")" ] ||
  fail "the installation changed after a recovery that failed"

# 8. A folder whose name is neither ASCII nor narrow text: every path keeps its characters.
prepare
unusual="$work/Кельвор é"
mkdir -p "$unusual"
mv "$work/install" "$unusual/install"
sed -i "s|$work/install|$unusual/install|" "$work/registry.reg"
start
wait_for "[0] Ready to install from local patch file."
wait_for "[0] Current version: 41590."
press_apply
wait_for "[0] Patching completed."
import -window root "$artefacts/standalone-unusual-folder.png"
press_exit
[ "$(manifest "$unusual/install")" = "$(manifest "$fixture/builds/41610")" ] ||
  fail "the installation in the unusual folder is not build 41610"
# Through narrow text the folder would read "??????? ?": nothing may be made there.
ls "$work" | grep -qF '?' && fail "something was made under a mangled name: $(ls "$work")"
grep -qF '??????' "$work/out" "$work/registry.reg" && fail "a path lost its characters"

echo "standalone_test: ok (screenshots in $artefacts/standalone*.png)"
