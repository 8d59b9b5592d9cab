#!/usr/bin/env bash
# The Windows cross-build and its tests: installs the mingw-w64 and Wine packages,
# builds the 64-bit tests (preset win64) and the 32-bit libraries (preset win32), and runs
# the tests under wine64 in a fresh Wine prefix. Each test program's verdict is
# GoogleTest's own summary line; the totals end the output.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --windows

cmake --preset win64 >/dev/null
cmake --build --preset win64 -j2
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j2

WINEPREFIX="$(mktemp -d /tmp/osmel-wine.XXXXXX)"
export WINEPREFIX
cleanup() {
  WINEDEBUG=-all timeout 30 /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
# The prefix is made once, before the tests, and its server kept running until the end:
# a server or Wine service started during a test would hold that test's output open, and
# CTest waits for the output to end.
WINEDEBUG=-all /usr/lib/wine/wineserver -p
OSMEL_WINE_TIMEOUT=180 scripts/wine-run.sh wineboot -i >/dev/null 2>&1

log="build/win64/windows-tests.log"
status=0
ctest --preset win64 -j2 -V >"$log" 2>&1 || status=$?
grep -E '^[0-9]+: \[  FAILED  \] [A-Za-z]' "$log" || true

# GoogleTest's summary of each program, summed.
count() {
  { grep -Eo "^[0-9]+: \\[  $1  \\] [0-9]+ tests?$2" "$log" || true; } |
    sed -E 's/.*\] ([0-9]+) .*/\1/' | awk '{s += $1} END {print s + 0}'
}
passed=$(count PASSED '\.')
failed=$(count FAILED ', listed below')
grep -E '^[0-9]+% tests passed|^Total Test time' "$log"
echo "Windows tests under wine64 (GoogleTest summaries): $passed passed, $failed failed; log: $log"
exit "$status"
