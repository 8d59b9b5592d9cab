#!/usr/bin/env bash
# osmel-update end to end with no display, each case checking the exit status:
#   usage errors (2), --help and --version (0);
#   standalone: the whole chain as plain lines and as JSON (0), under a pseudo-terminal
#   (the progress line updates in place, the last line is plain), the product running
#   (4, and with --wait-for-product the update once it has closed), Ctrl-C while a step
#   patches (3, the step rolled back), an interrupted step that cannot be finished (1,
#   nothing applied);
#   download from nginx on 127.0.0.1: the chain (0), already current (0), Ctrl-C while a
#   package downloads (3, the old build stays); with a publisher key in, a signed chain
#   (0), and a list without its signature or a package swapped after signing (5, the old
#   build stays);
#   repair against osmel-repaird: a damaged installation repaired (0), no server (1).
# Usage: console_test.sh BUILD_DIR OSMEL_UPDATE OSMEL_REPAIRD OSMEL_UPDATE_WITH_KEYS
set -euo pipefail
build=$(realpath "$1")
update=$2
repaird=$3
update_with_keys=$4
here=$(dirname "$(realpath "$0")")
source "$here/../support/nginx.sh"
work=$(mktemp -d)
pid=
nginx=
server=
holder=
cleanup() {
  for p in $pid $server $holder; do kill "$p" 2>/dev/null || true; done
  [ -z "$nginx" ] || kill -QUIT "$nginx" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
unset DISPLAY WAYLAND_DISPLAY
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
# The session log file goes to the test's own state folder.
export XDG_STATE_HOME=$work/state

fail() {
  echo "FAIL: $*"
  [ -f "$work/out" ] && cat "$work/out"
  [ -f "$work/err" ] && cat "$work/err"
  exit 1
}

# Every file of an installation with its MD5, without the tools and the uninstaller log.
manifest() {
  (cd "$1" && find . -type f ! -name kpatchl-w32.exe ! -name KelvorUtil.exe \
    ! -name KelvorUtil.cfg ! -name unins000.dat ! -name 'kpatchl-real' -print0 | sort -z |
    xargs -0 md5sum)
}

expect_build() {
  [ "$(manifest "$work/install")" = "$(manifest "$fixture/builds/$1")" ] ||
    fail "$2: the installation is not build $1"
}

marker_set() { grep -qi '"IsPatching"=dword:00000001' "$work/registry.reg"; }

# Runs osmel-update in the background with the test's registry and temporary directory;
# standard output to $work/out.
start() {
  OSMEL_REGISTRY="$work/registry.reg" TEMP="$work/temp" "$update" "$@" >"$work/out" \
    2>"$work/err" &
  pid=$!
}

# Waits for the program to end and checks its exit status.
expect_exit() {
  local want=$1 name=$2 status=0
  wait "$pid" || status=$?
  pid=
  [ "$status" = "$want" ] || fail "$name: exit status $status, not $want"
}

run() {
  local want=$1 name=$2
  shift 2
  start "$@"
  expect_exit "$want" "$name"
}

wait_for() {
  for _ in $(seq 600); do
    grep -qF -- "$1" "$work/out" && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -qF -- "$1" "$work/out" || fail "no line \"$1\""
}

last_line() { tail -n 1 "$work/out"; }

no_control_characters() {
  if LC_ALL=C grep -q $'[\x01-\x08\x0b-\x1f\x7f]' "$1"; then
    fail "control characters in $1: $(cat -A "$1")"
  fi
}

# 1. Usage.
run 2 "no operation"
run 2 "value without =" --server http://127.0.0.1:1/
run 2 "unknown option" --no-such-option
run 2 "archive with server" --archive=/dev/null --server=http://127.0.0.1:1/ 41590 "$work"
run 1 "not a patcher" --archive=/dev/null
grep -qx "/dev/null carries no patch steps." "$work/out" || fail "not a patcher: no line"
run 2 "missing archive" "--archive=$work/none"
run 0 "help" --help
grep -q "^Exit status:" "$work/out" || fail "--help names no exit statuses"
grep -q -- "--wait-for-product" "$work/out" || fail "--help lacks the terminal's options"
run 0 "version" --version
grep -q "^osmel-update (Osmel Patcher) [0-9.]*$" "$work/out" || fail "no version"

bash "$here/../../scripts/standalone-fixture.sh" "$build" "$work/fixture" --files 40 \
  --size-mib 4 --added 10 --seed 5
fixture=$work/fixture

# A fresh installation of the first build, registered, with its own temporary directory.
prepare() {
  rm -rf "$work/install" "$work/temp"
  cp -a "$fixture/install" "$work/install"
  printf 'repairseconds=0.2\nrepairlines=2\n' >"$work/install/bin/KelvorUtil.cfg"
  mkdir -p "$work/temp"
  sed "s|$fixture/install|$work/install|" "$fixture/registry.reg" >"$work/registry.reg"
}

# The difference tool slowed down, so that a step surely runs while the test acts.
slow_difference_tool() {
  mv "$work/install/bin/kpatchl-w32.exe" "$work/install/bin/kpatchl-real"
  printf '#!/bin/sh\nsleep 1\nexec "%s" "$@"\n' "$work/install/bin/kpatchl-real" \
    >"$work/install/bin/kpatchl-w32.exe"
  chmod +x "$work/install/bin/kpatchl-w32.exe"
}

# 2. Standalone, the whole chain, as plain lines.
prepare
run 0 "standalone" "--archive=$fixture/patcher"
expect_build 41610 standalone
grep -qx "Patching from 41600 to 41610." "$work/out" || fail "standalone: no step line"
grep -Eq "^Patching: [0-9]+ of [0-9]+ files" "$work/out" || fail "standalone: no progress"
[ "$(last_line)" = "osmel-update: updated to build 41610." ] || fail "standalone: last line"
no_control_characters "$work/out"
marker_set && fail "standalone: IsPatching is still set"
grep -Eq "^[0-9-]{10} [0-9:.]{12}Z [0-9]+ Patching from 41600 to 41610\.$" \
  "$XDG_STATE_HOME/osmel/patcher.log" || fail "standalone: the step is not in the log file"

# 3. The same as JSON: every line one object, the last one the result; the program that
#    --onexit names runs once the result is out, with its arguments.
cat >"$work/onexit.sh" <<'EOF'
#!/bin/sh
# Its arguments, one a line, then the front end's last line when it started.
{ printf '%s\n' "$@"; tail -n 1 "${1%/*}/out"; } >"$1.part" && mv "$1.part" "$1"
EOF
chmod +x "$work/onexit.sh"
prepare
run 0 "json" "--archive=$fixture/patcher" --json \
  "--onexit=$work/onexit.sh \"$work/onexit-ran\" \"two words\""
# The front end waits a second for it, no longer.
for _ in $(seq 100); do [ -e "$work/onexit-ran" ] && break; sleep 0.1; done
[ -e "$work/onexit-ran" ] || fail "json: the --onexit program did not run"
[ "$(cat "$work/onexit-ran")" = "$(printf '%s\n%s\n%s' "$work/onexit-ran" "two words" \
  "$(last_line)")" ] || fail "json: the --onexit program saw $(cat "$work/onexit-ran")"
/usr/bin/python3 - "$work/out" <<'PY' || fail "json: not one object per line"
import json, sys
records = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
assert any(r["type"] == "progress" and r["unit"] == "files" for r in records), records
assert any(r["type"] == "log" and r["text"] == "Patching completed." for r in records)
assert records[-1] == {"type": "result", "status": "updated", "exit": 0,
                       "text": "osmel-update: updated to build 41610."}, records[-1]
PY

# 4. Under a pseudo-terminal: the progress line is redrawn in place (carriage returns
#    within one line), and the last line is plain text.
prepare
slow_difference_tool
status=0
OSMEL_REGISTRY="$work/registry.reg" TEMP="$work/temp" COLUMNS=100 \
  script -qefc "'$update' '--archive=$fixture/patcher'" /dev/null >"$work/tty" 2>&1 ||
  status=$?
[ "$status" = 0 ] || fail "terminal: exit status $status: $(cat -A "$work/tty")"
expect_build 41610 terminal
# script turns each line break into CR LF; the line's own returns are the ones before text.
tr -d '\n' <"$work/tty" | grep -Eq $'\rPatching\\.\\.\\. [0-9]+ of [0-9]+ files[^\r]*\x1b\\[K\rPatching\\.\\.\\. [0-9]+ of [0-9]+ files' ||
  fail "terminal: the progress line was not redrawn: $(cat -A "$work/tty")"
final=$(tail -n 1 "$work/tty" | tr -d '\r')
[ "$final" = "osmel-update: updated to build 41610." ] ||
  fail "terminal: last line $(tail -n 1 "$work/tty" | cat -A)"

# 5. The product runs: 4 at once without a question; with --wait-for-product the
#    update goes ahead once the product has closed.
prepare
"$work/install/bin/KelvorUtil.exe" hold >"$work/hold.out" 2>&1 &
holder=$!
run 4 "in use" "--archive=$fixture/patcher" </dev/null
grep -qx "Unable to patch - files in use." "$work/out" || fail "in use: no line"
expect_build 41590 "in use"
start "--archive=$fixture/patcher" --wait-for-product
wait_for "Waiting for the product to close"
kill "$holder"
wait "$holder" 2>/dev/null || true
holder=
expect_exit 0 "waited for the product"
expect_build 41610 "waited for the product"

# 6. Ctrl-C while a step patches: the step is rolled back, status 3.
prepare
slow_difference_tool
start "--archive=$fixture/patcher"
wait_for "Patching..."
sleep 1.5
marker_set || fail "engine cancel: IsPatching is not set while the step runs"
kill -INT "$pid"
expect_exit 3 "engine cancel"
expect_build 41590 "engine cancel"
grep -qx "Cancelling patch process..." "$work/out" || fail "engine cancel: no cancel line"
[ "$(last_line)" = "osmel-update: cancelled; the installation is at build 41590." ] ||
  fail "engine cancel: last line"

# 6b. An interrupted step that cannot be finished (its journal cannot be read): no new
#     step may replace its journal; the installation needs a repair.
prepare
printf 'not a journal' >"$work/install/osmel-step.journal"
run 1 "recovery failed" "--archive=$fixture/patcher"
grep -qF "The installation needs a repair before it can be patched" "$work/out" ||
  fail "recovery failed: no repair line"
grep -q "Patching from" "$work/out" && fail "recovery failed: a step ran"
[ "$(last_line)" = "osmel-update: the installation needs a repair." ] ||
  fail "recovery failed: last line"
[ -f "$work/install/osmel-step.journal" ] || fail "recovery failed: the journal is gone"
rm "$work/install/osmel-step.journal"
expect_build 41590 "recovery failed"

# 7. Download mode from nginx: the chain, then already current, then a cancelled download.
mkdir -p "$work/www/kelvor"
cp "$fixture/steps/41590.pkg" "$work/www/kelvor/41590_to_41600.zip"
cp "$fixture/steps/41600.pkg" "$work/www/kelvor/41600_to_41610.zip"
cp "$fixture/steps/41590.pkg" "$work/www/kelvor/slow_41590_to_41600.zip"
"$build/tools/mkpatch/osmel-mkpatch" patchlist -o "$work/www/kelvor/patches.txt" \
  --exe-url http://example.invalid/patcher.exe --step 41590 41600 41590_to_41600.zip \
  --step 41600 41610 41600_to_41610.zip >/dev/null
mkdir -p "$work/www/slow"
"$build/tools/mkpatch/osmel-mkpatch" patchlist -o "$work/www/slow/patches.txt" \
  --exe-url http://example.invalid/patcher.exe \
  --step 41590 41600 ../kelvor/slow_41590_to_41600.zip >/dev/null
port=$(free_port)
start_nginx "$work/nginx" "$port" "$work/www" "$work/nginx/access.log" \
  'location = /kelvor/slow_41590_to_41600.zip { limit_rate 20k; }' || fail "nginx did not start"

prepare
run 0 "download" "--server=http://127.0.0.1:$port/kelvor/" 41590 "$work/install"
expect_build 41610 download
grep -qx "Downloading patch file..." "$work/out" || fail "download: no download line"
[ "$(last_line)" = "osmel-update: updated to build 41610." ] || fail "download: last line"
no_control_characters "$work/out"
# A program for --onexit that cannot be started is reported; the outcome stays.
run 0 "current" "--server=http://127.0.0.1:$port/kelvor/" "--onexit=$work/no-such-program" \
  41610 "$work/install"
[ "$(last_line)" = "osmel-update: already up to date at build 41610." ] ||
  fail "current: last line"
grep -q "^Error creating process, code: [1-9][0-9]*$" "$work/err" ||
  fail "current: the --onexit program's failure is not reported"

prepare
start "--server=http://127.0.0.1:$port/slow/" 41590 "$work/install"
wait_for "Downloading patch file..."
for _ in $(seq 100); do
  [ -n "$(find "$work/temp" -name '*.zip' -size +30k 2>/dev/null)" ] && break
  sleep 0.1
done
kill -INT "$pid"
expect_exit 3 "download cancel"
expect_build 41590 "download cancel"
[ "$(last_line)" = "osmel-update: cancelled; the installation is at build 41590." ] ||
  fail "download cancel: last line"

# 7b. osmel-update with the publisher's key in. The signed list names each package's size
#     and SHA-256; "swapped" serves another release's package under the signed name.
mkpatch=$build/tools/mkpatch/osmel-mkpatch
"$mkpatch" keygen -o "$work/publisher" >/dev/null
mkdir -p "$work/www/signed" "$work/www/swapped"
"$mkpatch" patchlist -o "$work/www/signed/patches.txt" --exe-url http://example.invalid/p.exe \
  --step 41590 41600 ../kelvor/41590_to_41600.zip --file "$fixture/steps/41590.pkg" \
  --step 41600 41610 ../kelvor/41600_to_41610.zip --file "$fixture/steps/41600.pkg" \
  --sign "$work/publisher.key" --list-version 7 >/dev/null
cp "$fixture/steps/41600.pkg" "$work/www/swapped/41590_to_41600.zip"
"$mkpatch" patchlist -o "$work/www/swapped/patches.txt" --exe-url http://example.invalid/p.exe \
  --step 41590 41600 41590_to_41600.zip --file "$fixture/steps/41590.pkg" \
  --sign "$work/publisher.key" --list-version 7 >/dev/null
plain_update=$update
update="$update_with_keys"
# status, server folder, build after, a line the output must hold
while IFS='|' read -r want folder after line; do
  prepare
  run "$want" "signed $folder" "$work/publisher.pub" \
    "--server=http://127.0.0.1:$port/$folder/" 41590 "$work/install"
  expect_build "$after" "signed $folder"
  grep -qF "$line" "$work/out" || fail "signed $folder: no line \"$line\""
  [ -z "$(find "$work/temp" -name '*.zip')" ] || fail "signed $folder: a package was left"
done <<ROWS
0|signed|41610|osmel-update: updated to build 41610.
5|kelvor|41590|The patch list of http://127.0.0.1:$port/kelvor/ is not signed by the publisher.
5|swapped|41590|bytes the publisher signed; it was deleted without being unpacked.
ROWS
[ "$(last_line)" = "osmel-update: refused an update the publisher did not sign; the installation is at build 41590." ] ||
  fail "signed swapped: last line"
update=$plain_update

# 8. Repair against osmel-repaird: a damaged installation is made identical; with no
#    server listening the repair fails.
mkdir -p "$work/ref/data" "$work/damaged/data"
head -c 3000000 /dev/urandom >"$work/ref/data/big.bin"
printf 'same' >"$work/ref/data/same.txt"
cp -r "$work/ref/." "$work/damaged"
printf 'XXXX' | dd of="$work/damaged/data/big.bin" bs=1 seek=100000 conv=notrunc status=none
: >"$work/server.out"
"$repaird" --root "$work/ref" --port 0 >"$work/server.out" 2>&1 &
server=$!
rport=
for _ in $(seq 200); do
  rport=$(sed -n 's/^osmel-repaird: serving .* on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server.out")
  [ -n "$rport" ] && break
  sleep 0.05
done
[ -n "$rport" ] || fail "osmel-repaird did not start"
OSMEL_REPAIR_SERVER="127.0.0.1:$rport" run 0 "repair" --repair "$work/damaged"
cmp -s "$work/ref/data/big.bin" "$work/damaged/data/big.bin" || fail "repair: not repaired"
[ "$(last_line)" = "osmel-update: repair completed." ] || fail "repair: last line"
kill "$server"
wait "$server" 2>/dev/null || true
server=
OSMEL_REPAIR_SERVER="127.0.0.1:$rport" run 1 "repair without server" --repair "$work/damaged"
grep -qx "Unable to connect to patch servers." "$work/out" || fail "repair without server: no line"

echo "console_test: ok"
