#!/usr/bin/env bash
# Runs a Windows program under wine64, quietly and bounded in time: the emulator of the
# win64 preset, so that CTest and custom commands start the cross-built programs here.
# WINEPREFIX defaults to a prefix of this user's own; scripts/windows-test.sh gives each
# run a fresh one. OSMEL_WINE_TIMEOUT (seconds, default 600) bounds every run.
set -euo pipefail

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/osmel-wine-$(id -u)}"
exec timeout --kill-after=10 "${OSMEL_WINE_TIMEOUT:-600}" /usr/lib/wine/wine64 "$@"
