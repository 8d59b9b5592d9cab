#!/usr/bin/env bash
# A fault in each of osmel-patcher's threads (the window's, a session's, the socket
# manager's) leaves exactly one report, whose stack starts at the faulting function with
# its source line; so does a session thread's stack overflow, reported from the thread's
# alternate signal stack. The window and session threads are under the fatal-exception guard:
# the report is the fatal one ("patcher-v35673-<time>.dmp") and the process ends with
# status 255, the fatal-error box shown only for the window thread. The socket thread's
# fault goes to the crash filter ("Kelvor-41861.dmp") and the process dies of SIGSEGV.
# Usage: crash_test.sh OSMEL_CRASH_PROBE
set -uo pipefail
probe=$1
if [ -z "${DISPLAY:-}" ]; then
  echo "no display: run under xvfb-run (scripts/test.sh does)"
  exit 77
fi
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$(dirname "$0")/../ui/tsan.supp:halt_on_error=0:exitcode=0"
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

fail() {
  echo "FAIL ($thread): $*"
  cat "$work/out" "$work/err"
  exit 1
}

for thread in window session session-stack socket; do
  work=$root/$thread
  install=$work/bin
  mkdir -p "$install" "$work/temp"
  # Start-up moves to the directory of the program's file, where the reports land.
  cp "$probe" "$install/osmel-patcher"
  # Threads get stacks of the process's stack limit: 1 MiB overflows sooner than 8, and
  # ThreadSanitizer's runtime cannot follow a recursion through 8 MiB.
  # The X server resets when its last client leaves, and refuses a client that comes
  # meanwhile: a start that found no display is tried again.
  for _ in 1 2 3; do
    (
      [ "$thread" = session-stack ] && ulimit -s 1024
      OSMEL_REGISTRY="$work/registry.reg" TEMP="$work/temp" OSMEL_CRASH_THREAD=$thread \
        exec timeout 60 "$install/osmel-patcher" >"$work/out" 2>"$work/err"
    )
    status=$?
    grep -q "Unable to initialize GTK" "$work/err" || break
    sleep 1
  done
  case $thread in
    window | session | session-stack) expected=255 pattern='patcher-v35673-[0-9][0-9][0-9][0-9].[0-9][0-9].[0-9][0-9]-[0-9][0-9].[0-9][0-9].[0-9][0-9].dmp' ;;
    socket) expected=$((128 + 11)) pattern='Kelvor-41861.dmp' ;;
  esac
  [ "$status" -eq "$expected" ] || fail "exit status $status, expected $expected"
  mapfile -t reports < <(cd "$install" && ls -- *.dmp 2>/dev/null)
  [ "${#reports[@]}" -eq 1 ] || fail "${#reports[@]} reports: ${reports[*]}"
  # shellcheck disable=SC2053
  [[ ${reports[0]} == $pattern ]] || fail "report named ${reports[0]}"
  report=$install/${reports[0]}
  grep -q "^signal: 11 SIGSEGV" "$report" || fail "no signal line"
  if [ "$thread" != session-stack ]; then
    grep -q "^fault address: 0x0000000000000000$" "$report" || fail "no fault address"
  fi
  first=$(grep -A1 "^stack:$" "$report" | tail -n 1)
  case $thread in
    window) function=CrashInWindowThread ;;
    session) function=CrashInSessionThread ;;
    session-stack) function=OverflowInSessionThread ;;
    socket) function=CrashInSocketThread ;;
  esac
  [[ $first == "  #0 "*"$function"*"CrashProbe.cpp:"* ]] || fail "first frame: $first"
  grep -q "^end of report$" "$report" || fail "report not finished"
  if [ "$thread" = window ]; then
    grep -q "^message box: Fatal Error: Unhandled Exception$" "$work/out" || fail "no fatal-error box"
  else
    ! grep -q "^message box:" "$work/out" || fail "a box from a worker thread"
  fi
done
echo "crash_test: ok"
