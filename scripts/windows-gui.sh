#!/usr/bin/env bash
# The whole window on Windows: builds osmel-patcher.exe with wxMSW (preset win64-gui; the
# first build of wxMSW itself takes about ten minutes on two idle cores), then starts it
# under wine64 on a virtual X server, in a fresh Wine prefix, with no arguments and no
# installation. It checks what the program shows then: its window, and in its log the
# refusal "No valid patch operation was specified. Patching aborted." in red; it keeps a
# screenshot, presses "Cancel" and checks that the program has ended by itself.
# Artefacts (screenshot, the program's output): build/win64-gui/artefacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --windows
cmake --preset win64-gui >/dev/null
cmake --build --preset win64-gui -j2

artefacts=build/win64-gui/artefacts
rm -rf "$artefacts"
mkdir -p "$artefacts"
WINEPREFIX="$(mktemp -d /tmp/osmel-wine-gui.XXXXXX)"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  timeout 30 /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

# Everything of Wine runs on the virtual display, the prefix's desktop process included;
# a window program without a display would hang. Every wait is bounded.
export OSMEL_GUI_ARTEFACTS="$artefacts"
# shellcheck disable=SC2016  # the script below expands its own variables
timeout --kill-after=10 600 xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  set -euo pipefail
  fail() {
    echo "windows-gui: $*" >&2
    import -window root "$OSMEL_GUI_ARTEFACTS/failure.png" || true
    exit 1
  }
  /usr/lib/wine/wineserver -p
  OSMEL_WINE_TIMEOUT=180 scripts/wine-run.sh wineboot -i >/dev/null 2>&1
  # No window manager runs here: Wine draws the frames itself, so the screenshot shows the
  # title bar with the title and the icon.
  scripts/wine-run.sh reg add "HKCU\\Software\\Wine\\X11 Driver" /v Decorated /t REG_SZ /d N /f \
    >/dev/null

  output="$OSMEL_GUI_ARTEFACTS/output.txt"
  timeout --kill-after=10 240 /usr/lib/wine/wine64 build/win64-gui/src/app/osmel-patcher.exe \
    </dev/null >"$output" 2>&1 &
  patcher=$!
  window=$(timeout 120 xdotool search --sync --onlyvisible --name "Osmel Patcher" | head -n 1) ||
    fail "the window did not appear"
  echo "windows-gui: the window appeared"
  # The log line reaches the window and the system log (the output) together.
  refusal="No valid patch operation was specified. Patching aborted."
  timeout 60 bash -c "until grep -qF \"$refusal\" \"$output\"; do sleep 0.2; done" ||
    fail "the log never showed the refusal"
  grep -qF "[2] $refusal" "$output" || fail "the refusal was not logged at level 2 (error)"
  # The line is drawn on the next redraw after it is logged: look until red text (pure
  # red pixels) shows.
  shot="$OSMEL_GUI_ARTEFACTS/window.png"
  red=0
  for _ in $(seq 50); do
    import -window root "$shot"
    red=$(convert "$shot" -fill black +opaque "rgb(255,0,0)" -fill white -opaque "rgb(255,0,0)" \
      -format "%[fx:mean*w*h]" info:)
    [ "${red%.*}" -ge 20 ] && break
    sleep 0.2
  done
  [ "${red%.*}" -ge 20 ] || fail "the refusal is not shown in red (red pixels: $red)"
  echo "windows-gui: the log shows \"$refusal\" in red"

  # "Cancel" is the right one of the two buttons centred at the bottom of the window.
  eval "$(xdotool getwindowgeometry --shell "$window")"
  xdotool mousemove --sync $((X + WIDTH / 2 + 65)) $((Y + HEIGHT - 24)) click 1
  status=0
  wait "$patcher" || status=$?
  [ "$status" -eq 0 ] || fail "the program ended with status $status after Cancel"
  grep -qF "Cancelling patch process..." "$output" || fail "Cancel was not logged"
  echo "windows-gui: Cancel ended the program (status 0)"
'
echo "windows-gui: passed; screenshot: $artefacts/window.png"
