#!/usr/bin/env bash
# Repair mode in the real window under the test run's X server, against osmel-repaird
# on a free port of 127.0.0.1: a damaged installation is made byte-identical to the
# reference (screenshot kept as an artefact); a connection cut after 40 of 100 records
# keeps those 40 written and registered and a second session finishes the job; a
# handshake answered with 7 and a port without a listener end in stage 3; a cancel while
# segments arrive ends the session without the stage's error lines and keeps what arrived.
# Usage: repair_window_test.sh OSMEL_PATCHER OSMEL_REPAIRD ARTEFACT_DIR
set -euo pipefail
patcher=$1
repaird=$2
artefacts=$3
if [ -z "${DISPLAY:-}" ]; then
  echo "no display: run under xvfb-run (scripts/test.sh does)"
  exit 77
fi
work=$(mktemp -d)
server=
window_pid=
cleanup() {
  [ -z "$window_pid" ] || kill "$window_pid" 2>/dev/null || true
  [ -z "$server" ] || kill "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$artefacts" "$work/temp"
# A writable registry store: this user may patch, so start-up does not try to elevate.
export OSMEL_REGISTRY="$work/registry.reg"
export TEMP="$work/temp"
# See window_test.sh: GTK's own threads and its memory kept to the end are not ours.
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$(dirname "$0")/tsan.supp:halt_on_error=0:exitcode=0"
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

fail() {
  echo "FAIL: $*"
  exit 1
}

# Starts osmel-repaird on a free port with the root and options given; sets $port.
servers=0
start_server() {
  # A file of its own: the previous server's would still name the previous port.
  servers=$((servers + 1))
  local out=$work/server$servers.out
  : >"$out"
  "$repaird" --root "$@" --port 0 >"$out" 2>&1 &
  server=$!
  port=
  for _ in $(seq 200); do
    port=$(sed -n 's/^osmel-repaird: serving .* on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$out")
    [ -n "$port" ] && return
    sleep 0.05
  done
  fail "osmel-repaird did not start: $(cat "$out")"
}

stop_server() {
  kill "$server"
  wait "$server" || true
  server=
}

# Starts a repair session of the installation in the window and waits for the session's
# last line; the window log's lines are left in $work/NAME.lines.
repair() {
  local name=$1 install=$2
  : >"$work/$name.out"
  OSMEL_REPAIR_SERVER="127.0.0.1:$port" "$patcher" --repair "$install" \
    >"$work/$name.out" 2>"$work/$name.err" &
  window_pid=$!
  for _ in $(seq 600); do
    grep -Eq '^\[0\] Patching (completed|aborted)\.$' "$work/$name.out" && break
    kill -0 "$window_pid" 2>/dev/null || break
    sleep 0.1
  done
  grep '^\[[0-2]\] ' "$work/$name.out" >"$work/$name.lines" || true
  grep -Eq '^\[0\] Patching (completed|aborted)\.$' "$work/$name.lines" ||
    fail "$name: the session did not end: $(cat "$work/$name.out" "$work/$name.err")"
}

close_window() {
  kill "$window_pid"
  wait "$window_pid" || true
  window_pid=
}

# The window log must be exactly these lines.
expect_lines() {
  local name=$1
  shift
  printf '%s\n' "$@" >"$work/$name.expected"
  diff -u "$work/$name.expected" "$work/$name.lines" || fail "$name: unexpected window log"
}

# The reference and the installation hold the same files with the same bytes, the
# installation's per-machine files and checksum file aside.
expect_identical() {
  diff -r --exclude=repair.cks --exclude=unins000.exe --exclude=unins000.dat "$1" "$2" ||
    fail "$2 differs from $1"
}

# Entries of a checksum file: the 32-bit count after the magic.
checksum_entries() {
  od -An -t u4 -j 4 -N 4 "$1" | tr -d ' '
}

mib() {
  head -c $(($1 * 1048576)) /dev/urandom
}

# 1. A damaged installation: changed bytes, a missing file, an extra file, a truncated
#    and an extended file. The per-machine files stay as they are.
ref=$work/ref
install=$work/install
mkdir -p "$ref/bin" "$ref/data"
mib 9 >"$ref/bin/tool.dll"
mib 1 >"$ref/data/missing.txt"
mib 6 >"$ref/data/truncated.bin"
mib 5 >"$ref/data/extended.bin"
printf 'unchanged' >"$ref/data/same.txt"
cp -r "$ref" "$install"
printf 'XXXXXXXX' | dd of="$install/bin/tool.dll" bs=1 seek=5000000 conv=notrunc status=none
rm "$install/data/missing.txt"
printf 'extra' >"$install/data/extra.txt"
truncate -s 3M "$install/data/truncated.bin"
mib 4 >>"$install/data/extended.bin"
printf 'per machine' >"$install/unins000.exe"
printf 'uninstall log' >"$install/unins000.dat"

# A step that failed half-way left the "IsPatching" marker; a finished repair clears it.
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Osmel\\Products\\KelvorSimulator]\r\n"IsPatching"=dword:00000001\r\n' \
  >"$OSMEL_REGISTRY"

start_server "$ref" --delete
repair damaged "$install"
if grep -q IsPatching "$OSMEL_REGISTRY"; then fail "the IsPatching marker is still set"; fi
window=$(timeout 30 xdotool search --sync --onlyvisible --name "Osmel Patcher" | head -n 1 || true)
[ -n "$window" ] || fail "no window"
expect_identical "$ref" "$install"
[ "$(cat "$install/unins000.exe")" = "per machine" ] || fail "unins000.exe was touched"
[ "$(cat "$install/unins000.dat")" = "uninstall log" ] || fail "unins000.dat was touched"
[ ! -e "$install/repair.cks.tmp" ] || fail "the checksum file's temporary twin is left"
grep -Eq '^\[0\] \(([1-9][0-9]*) / \1 segments updated\.\)$' "$work/damaged.lines" ||
  fail "no segments line: $(cat "$work/damaged.lines")"
grep -v 'segments updated' "$work/damaged.lines" >"$work/damaged.rest"
mv "$work/damaged.rest" "$work/damaged.lines"
expect_lines damaged \
  "[0] Scanning installed files. This may take a while." \
  "[0] Connecting to patch servers." \
  "[0] Preparing download list." \
  "[0] Receiving updated files." \
  "[0] Patching completed."
# The gauge is drawn full on the next redraw: give it a moment, then keep the picture.
sleep 0.5
import -window root "$artefacts/repair-window.png"
# The session is over: "Cancel" has become "Exit", right of the window's centre at its
# bottom edge, and closes the window at once.
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove --sync $((X + WIDTH / 2 + 65)) $((Y + HEIGHT - 25)) click 1
for _ in $(seq 100); do
  kill -0 "$window_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$window_pid" 2>/dev/null && fail "the window did not close on Exit"
wait "$window_pid" || true
window_pid=
stop_server

# 2. The server cuts the connection after 40 of 100 records: the 40 are written and in
#    the checksum file, and a second session repairs the remaining 60.
ref=$work/ref100
install=$work/install100
mkdir -p "$ref" "$install"
for i in $(seq 100 199); do
  printf 'segment %d' "$i" >"$ref/f$i"
done
start_server "$ref" --fault-cut-after 40
repair cut "$install"
close_window
stop_server
expect_lines cut \
  "[0] Scanning installed files. This may take a while." \
  "[0] Connecting to patch servers." \
  "[0] Preparing download list." \
  "[0] Receiving updated files." \
  "[0] (40 / 100 segments updated.)" \
  "[2] Error occurred while repairing files." \
  "[0] (Error 3 in stage 5)" \
  "[0] Patching aborted."
written=0
for f in "$install"/f*; do
  cmp -s "$f" "$ref/$(basename "$f")" || fail "$f was written wrongly"
  written=$((written + 1))
done
[ "$written" -eq 40 ] || fail "$written segments written, not 40"
[ "$(checksum_entries "$install/repair.cks")" = 40 ] ||
  fail "repair.cks holds $(checksum_entries "$install/repair.cks") entries, not 40"

start_server "$ref"
repair resumed "$install"
close_window
stop_server
expect_lines resumed \
  "[0] Scanning installed files. This may take a while." \
  "[0] Connecting to patch servers." \
  "[0] Preparing download list." \
  "[0] Receiving updated files." \
  "[0] (60 / 60 segments updated.)" \
  "[0] Patching completed."
expect_identical "$ref" "$install"
[ "$(checksum_entries "$install/repair.cks")" = 100 ] || fail "repair.cks is incomplete"

# 3. A handshake answered with 7, then the same port with no listener.
start_server "$ref" --fault-handshake 7
repair handshake "$install"
close_window
stop_server
expect_lines handshake \
  "[0] Scanning installed files. This may take a while." \
  "[0] Connecting to patch servers." \
  "[2] Unable to connect to patch servers." \
  "[0] (Error 10 in stage 3)" \
  "[0] Patching aborted."
repair refused "$install"
close_window
expect_lines refused \
  "[0] Scanning installed files. This may take a while." \
  "[0] Connecting to patch servers." \
  "[2] Unable to connect to patch servers." \
  "[0] (Error 12 in stage 3)" \
  "[0] Patching aborted."

# 4. "Cancel" while segments arrive (one every 300 ms), confirmed: the segments line but no
#    stage error; what arrived is written and registered.
install=$work/cancelled
mkdir -p "$install"
: >"$work/cancel.out"
start_server "$ref" --fault-delay-ms 300
OSMEL_REPAIR_SERVER="127.0.0.1:$port" "$patcher" --repair "$install" >"$work/cancel.out" \
  2>"$work/cancel.err" &
window_pid=$!
window=$(timeout 30 xdotool search --sync --onlyvisible --name "Osmel Patcher" | head -n 1 || true)
[ -n "$window" ] || fail "no window"
for _ in $(seq 300); do
  grep -q '^\[0\] Receiving updated files\.$' "$work/cancel.out" && break
  sleep 0.05
done
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove --sync $((X + WIDTH / 2 + 65)) $((Y + HEIGHT - 25)) click 1
# The question's default is "No": click "Yes", the right half of its bottom row.
question=
for _ in $(seq 100); do
  question=$(xdotool search --onlyvisible --name "Osmel Patcher" | grep -vx "$window" | head -n 1 || true)
  [ -n "$question" ] && break
  sleep 0.05
done
[ -n "$question" ] || fail "cancel: no question"
eval "$(xdotool getwindowgeometry --shell "$question")"
xdotool mousemove --sync $((X + WIDTH * 3 / 4)) $((Y + HEIGHT - 15)) click 1
for _ in $(seq 300); do
  grep -Eq '^\[0\] Patching (completed|aborted)\.$' "$work/cancel.out" && break
  sleep 0.05
done
grep '^\[[0-2]\] ' "$work/cancel.out" >"$work/cancel.lines" || true
close_window
stop_server
grep -Eq '^\[0\] \([0-9]+ / 100 segments updated\.\)$' "$work/cancel.lines" ||
  fail "cancel: no segments line: $(cat "$work/cancel.lines")"
grep -v 'segments updated' "$work/cancel.lines" >"$work/cancel.rest"
mv "$work/cancel.rest" "$work/cancel.lines"
expect_lines cancel \
  "[0] Scanning installed files. This may take a while." \
  "[0] Connecting to patch servers." \
  "[0] Preparing download list." \
  "[0] Receiving updated files." \
  "[2] Cancelling patch process..." \
  "[0] Patching cancelled."
written=$(find "$install" -name 'f*' | wc -l)
[ "$written" -lt 100 ] || fail "cancel: every segment arrived before the cancel"
[ "$(checksum_entries "$install/repair.cks")" = "$written" ] ||
  fail "cancel: $written segments written, $(checksum_entries "$install/repair.cks") registered"

echo "repair_window_test: ok (screenshot in $artefacts/repair-window.png)"
