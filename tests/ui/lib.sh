# Shared by the end-to-end window tests, sourced first; their functions use `work` (the
# test's temporary directory). The patcher under test is `pid`, its log (standard output)
# `$work/out`, its window's geometry X, Y, WIDTH, HEIGHT.

if [ -z "${DISPLAY:-}" ]; then
  echo "no display: run under xvfb-run (scripts/test.sh does)"
  exit 77
fi

# GTK keeps memory to the end of the process on purpose, and ThreadSanitizer cannot see
# GTK's own threads synchronise (tsan.supp names those libraries): neither is what these
# runs check.
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$(dirname "${BASH_SOURCE[0]}")/tsan.supp:halt_on_error=0:exitcode=0"
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

fail() {
  echo "FAIL: $*"
  [ -f "$work/out" ] && cat "$work/out"
  exit 1
}

# Waits up to a minute (sanitizer builds are slow) for a line of the window log.
wait_for() {
  for _ in $(seq 600); do
    grep -qF -- "$1" "$work/out" && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -qF -- "$1" "$work/out" || fail "no line \"$1\""
}

# Every file of an installation with its MD5, without the tools and the uninstaller log.
manifest() {
  (cd "$1" && find . -type f ! -name kpatchl-w32.exe ! -name KelvorUtil.exe \
    ! -name KelvorUtil.cfg ! -name unins000.dat -print0 | sort -z | xargs -0 md5sum)
}

# Finds the patcher's window and reads its geometry.
find_window() {
  window=$(timeout 60 xdotool search --sync --onlyvisible --name "Osmel Patcher" | head -n 1)
  [ -n "$window" ] || fail "no window"
  eval "$(xdotool getwindowgeometry --shell "$window")"
}

# "Apply Update" and "Cancel"/"Exit" sit left and right of the centre at the bottom edge.
press_apply() { xdotool mousemove --sync $((X + WIDTH / 2 - 65)) $((Y + HEIGHT - 25)) click 1; }
press_cancel() { xdotool mousemove --sync $((X + WIDTH / 2 + 65)) $((Y + HEIGHT - 25)) click 1; }

# Presses "Exit" and expects the process to end by itself, successfully.
press_exit() {
  press_cancel
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && fail "the window did not close on Exit"
  wait "$pid" || fail "the patcher ended with status $?"
  pid=
}
