#!/usr/bin/env bash
# The real window under the test run's X server: started with no argument and no
# installation it shows the refusal line in red (and on standard output), keeps a
# screenshot as an artefact, and closes at once on "Cancel" with no session running.
# Usage: window_test.sh OSMEL_PATCHER ARTEFACT_DIR
set -euo pipefail
patcher=$1
artefacts=$2
if [ -z "${DISPLAY:-}" ]; then
  echo "no display: run under xvfb-run (scripts/test.sh does)"
  exit 77
fi
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$artefacts" "$work/temp"
# A writable registry store: this user may patch, so start-up does not try to elevate.
export OSMEL_REGISTRY="$work/registry.reg"
# No patcher page (web_test.sh serves one), so no web engine starts.
export OSMEL_PATCHER_PAGE=about:blank
# GTK keeps memory to the end of the process on purpose; leaks are checked elsewhere.
# ThreadSanitizer cannot see GTK's own threads synchronise: tsan.supp names those
# libraries, and what it still reports from inside GLib (its static mutexes) must not end
# the window; the session's own threading is checked by the unit tests.
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$(dirname "$0")/tsan.supp:halt_on_error=0:exitcode=0"
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" TEMP="$work/temp" "$patcher" >"$work/out" 2>"$work/err" &
pid=$!

window=$(timeout 60 xdotool search --sync --onlyvisible --name "Osmel Patcher" | head -n 1 || true)
[ -n "$window" ] || { echo "FAIL: no window"; cat "$work/err"; exit 1; }
for _ in $(seq 100); do
  grep -q "No valid patch operation was specified. Patching aborted." "$work/out" && break
  sleep 0.1
done
grep -q "^\[2\] No valid patch operation was specified. Patching aborted.$" "$work/out" ||
  { echo "FAIL: no refusal line at level 2"; cat "$work/out" "$work/err"; exit 1; }
# The line is drawn on the next redraw after it is logged: look until red text (pure red
# pixels) shows.
shot=$artefacts/window.png
red=0
for _ in $(seq 50); do
  import -window root "$shot"
  red=$(convert "$shot" -fill black +opaque 'rgb(255,0,0)' -fill white -opaque 'rgb(255,0,0)' \
    -format '%[fx:mean*w*h]' info:)
  [ "${red%.*}" -ge 20 ] && break
  sleep 0.2
done
[ "${red%.*}" -ge 20 ] || { echo "FAIL: the refusal line is not red (red pixels: $red)"; exit 1; }

# "Cancel" sits right of the window's centre at its bottom edge.
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove --sync $((X + WIDTH / 2 + 65)) $((Y + HEIGHT - 25)) click 1
for _ in $(seq 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
  echo "FAIL: the window did not close on Cancel"
  exit 1
fi
wait "$pid"
grep -q "Cancelling patch process..." "$work/out" || { echo "FAIL: no cancel line"; exit 1; }
# A debug build's allocation tracker reports when the program ends: no leaks.
if grep -q "DEBUG ALLOCATION" "$work/err"; then
  grep -q "^A total of 0 leaks at 0 locations.$" "$work/err" ||
    { echo "FAIL: the tracker reports leaks"; cat "$work/err"; exit 1; }
fi

# Start-up finishes an interrupted patch step before anything else; a journal it cannot
# read is reported and left alone.
mkdir -p "$work/install"
printf 'not a journal' >"$work/install/osmel-step.journal"
TEMP="$work/temp" "$patcher" 41590 "$work/install" >"$work/out2" 2>"$work/err2" &
pid=$!
for _ in $(seq 200); do
  grep -q "cannot be read" "$work/out2" && break
  sleep 0.1
done
kill "$pid"
wait "$pid" || true
grep -q "^\[2\] An interrupted patch step was found in .*cannot be read" "$work/out2" ||
  { echo "FAIL: no recovery report"; cat "$work/out2"; exit 1; }
[ "$(cat "$work/install/osmel-step.journal")" = "not a journal" ] ||
  { echo "FAIL: the unreadable journal was touched"; exit 1; }

# The command line is read before the window exists; what it has to say still reaches the
# window's log: an unreadable server list, and a syntax error with the usage.
for run in list syntax; do
  case $run in
    list) arguments=(--list=/no/such/list 41590 "$work/install") expected="^\[2\] Failed to read list of servers from /no/such/list$" ;;
    syntax) arguments=(--bogus 41590 "$work/install") expected="^\[2\] .*bogus" ;;
  esac
  TEMP="$work/temp" "$patcher" "${arguments[@]}" >"$work/out-$run" 2>"$work/err-$run" &
  pid=$!
  for _ in $(seq 200); do
    grep -q "No valid patch operation was specified" "$work/out-$run" && break
    sleep 0.1
  done
  kill "$pid"
  wait "$pid" || true
  grep -q "$expected" "$work/out-$run" ||
    { echo "FAIL: the $run line is not in the window's log"; cat "$work/out-$run"; exit 1; }
done

# A start that is refused (here: no rights, and elevation not wanted) ends in order:
# after the box, no crash report is left in the program's directory.
mkdir -p "$work/program"
cp "$patcher" "$work/program/osmel-patcher"
TEMP=/dev/null/temp "$work/program/osmel-patcher" --admin 41590 "$work/install" \
  >"$work/out-refused" 2>"$work/err-refused" &
pid=$!
box=$(timeout 60 xdotool search --sync --onlyvisible --name "Requires Administrator Privileges" |
  head -n 1 || true)
[ -n "$box" ] || { echo "FAIL: no refusal box"; cat "$work/err-refused"; exit 1; }
xdotool windowfocus --sync "$box" key Return
for _ in $(seq 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$pid" 2>/dev/null && { echo "FAIL: the refused start did not end"; exit 1; }
wait "$pid" || true
reports=$(find "$work/program" -name '*.dmp' | wc -l)
[ "$reports" -eq 0 ] || { echo "FAIL: a refused start left a crash report"; ls "$work/program"; exit 1; }
echo "window_test: ok (screenshot in $artefacts/window.png)"
