#!/usr/bin/env bash
# Runs a Windows program under wine64, quietly and bounded in time: the emulator of the
# win64 preset, so that CTest and custom commands start the cross-built programs here.
# WINEPREFIX defaults to a prefix of this user's own; scripts/windows-test.sh gives each
# run a fresh one. OSMEL_WINE_TIMEOUT (seconds, default 240, under CTest's 300) bounds
# every run.
set -euo pipefail

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/osmel-wine-$(id -u)}"
# The program's output and errors go through files: a Wine server or service started
# during the run inherits them and may outlive it, and a caller reading a pipe (as CTest
# does) would wait for that output to end.
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
status=0
timeout --kill-after=10 "${OSMEL_WINE_TIMEOUT:-240}" /usr/lib/wine/wine64 "$@" </dev/null >"$out" 2>"$err" ||
  status=$?
cat "$out"
cat "$err" >&2
exit "$status"
