#!/usr/bin/env bash
# The patcher page in the real window under the test run's X server, served from
# 127.0.0.1: hidden while its reply is held, shown in its place once it has loaded (the
# screenshots are kept as artefacts), no scrolling, no context menu on a right click, and
# a link followed on it goes to the desktop's browser launcher while the page stays.
# Usage: web_test.sh OSMEL_PATCHER ARTEFACT_DIR
set -euo pipefail
patcher=$1
artefacts=$2
if [ -z "${DISPLAY:-}" ]; then
  echo "no display: run under xvfb-run (scripts/test.sh does)"
  exit 77
fi
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
pid=
server=
cleanup() {
  [ -z "$pid" ] || kill "$pid" 2>/dev/null || true
  [ -z "$server" ] || kill "$server" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$artefacts" "$work/temp" "$work/www" "$work/bin" "$work/cache" "$work/data"

touch "$work/www/hold"
/usr/bin/python3 "$here/page_server.py" "$work/www" &
server=$!
for _ in $(seq 200); do
  [ -f "$work/www/port" ] && break
  sleep 0.05
done
port=$(cat "$work/www/port")

# The desktop's browser launcher as the platform layer finds it: first on the path.
printf '#!/bin/sh\nprintf "%%s\\n" "$1" >>"$0.record"\n' >"$work/bin/xdg-open"
chmod +x "$work/bin/xdg-open"
export PATH="$work/bin:$PATH"
export OSMEL_PATCHER_PAGE="http://127.0.0.1:$port/patcher/patcher.html"
export OSMEL_REGISTRY="$work/registry.reg"
# WebKit keeps its data (and Mesa its shader cache) under these: nothing of this run stays.
export XDG_CACHE_HOME="$work/cache" XDG_DATA_HOME="$work/data" MESA_SHADER_CACHE_DISABLE=true
# As in window_test.sh: GTK's memory and its uninstrumented threads are not ours.
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$here/tsan.supp:halt_on_error=0:exitcode=0"
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" TEMP="$work/temp" "$patcher" >"$work/out" 2>"$work/err" &
pid=$!

window=$(timeout 60 xdotool search --sync --onlyvisible --name "Osmel Patcher" | head -n 1 || true)
[ -n "$window" ] || { echo "FAIL: no window"; cat "$work/err"; exit 1; }
eval "$(xdotool getwindowgeometry --shell "$window")"

# Pixels of the given colour inside the window on a fresh screenshot.
pixels() {
  import -window root "$1"
  convert "$1" -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage -fill black +opaque "$2" \
    -fill white -opaque "$2" -format '%[fx:mean*w*h]' info: | cut -d. -f1
}
page_colour='rgb(0,128,255)'

# The page is asked for and its reply held; once the window has drawn its log line, the
# page must still be hidden.
for _ in $(seq 200); do
  grep -qx /patcher/patcher.html "$work/www/requests" 2>/dev/null && break
  sleep 0.05
done
grep -qx /patcher/patcher.html "$work/www/requests" || { echo "FAIL: the page was not asked for"; exit 1; }
for _ in $(seq 50); do
  [ "$(pixels "$artefacts/web-before.png" 'rgb(255,0,0)')" -ge 20 ] && break
  sleep 0.2
done
[ "$(pixels "$artefacts/web-before.png" "$page_colour")" -eq 0 ] ||
  { echo "FAIL: the page shows before it has loaded"; exit 1; }

rm "$work/www/hold"
shown=0
for _ in $(seq 100); do
  shown=$(pixels "$artefacts/web-page.png" "$page_colour")
  [ "$shown" -ge 40000 ] && break
  sleep 0.1
done
[ "$shown" -ge 40000 ] || { echo "FAIL: the loaded page does not show ($shown page pixels)"; cat "$work/out"; exit 1; }

# The page does not scroll: the wheel over it leaves the block below its view unseen.
xdotool mousemove --sync $((X + 300)) $((Y + 60)) click --repeat 5 5
xdotool mousemove --sync $((X + 300)) $((Y + 70))
[ "$(pixels "$artefacts/web-wheel.png" 'rgb(255,128,0)')" -eq 0 ] || { echo "FAIL: the page scrolls"; exit 1; }

# A right click on the log opens its menu (so a menu would be seen); on the page none opens.
windows() { xdotool search --onlyvisible --maxdepth 1 --name '' 2>/dev/null | wc -l; }
before=$(windows)
xdotool mousemove --sync $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 3
for _ in $(seq 50); do
  [ "$(windows)" -gt "$before" ] && break
  sleep 0.1
done
[ "$(windows)" -gt "$before" ] || { echo "FAIL: no menu seen on the log either"; exit 1; }
xdotool key Escape
for _ in $(seq 50); do
  [ "$(windows)" -eq "$before" ] && break
  sleep 0.1
done
xdotool mousemove --sync $((X + 230)) $((Y + 55)) click 3
for _ in $(seq 20); do
  [ "$(windows)" -eq "$before" ] || { echo "FAIL: a right click on the page opened a menu"; exit 1; }
  sleep 0.1
done

# The page has loaded, so its link leaves, with only its scheme and host lower-cased (a
# server may tell the path's and the query's case apart), and the page stays. (The pointer
# moves first: `mousemove --sync` to where it already is waits long.)
xdotool mousemove --sync $((X + 100)) $((Y + 40)) click 1
for _ in $(seq 100); do
  [ -f "$work/bin/xdg-open.record" ] && break
  sleep 0.1
done
[ "$(cat "$work/bin/xdg-open.record" 2>/dev/null)" = "http://127.0.0.1:$port/Outside/Page.HTML?Q=1" ] ||
  { echo "FAIL: the launcher was not given the link"; cat "$work/bin/xdg-open.record" "$work/out"; exit 1; }
! grep -qi outside "$work/www/requests" || { echo "FAIL: the page followed the link itself"; exit 1; }
[ "$(pixels "$artefacts/web-link.png" "$page_colour")" -ge 40000 ] ||
  { echo "FAIL: the page did not stay"; exit 1; }

# WebKit's processes outlive the window by a second or more, with a window on the
# display: the test ends when they have, so that the next window test's xdotool does not
# see that window go away under it.
webkit=$(pgrep -P "$pid" || true)
# "Cancel" sits right of the window's centre at its bottom edge.
xdotool mousemove --sync $((X + WIDTH / 2 + 65)) $((Y + HEIGHT - 25)) click 1
for _ in $(seq 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$pid" 2>/dev/null && { echo "FAIL: the window did not close on Cancel"; exit 1; }
wait "$pid"
pid=
for child in $webkit; do
  for _ in $(seq 100); do
    kill -0 "$child" 2>/dev/null || break
    sleep 0.1
  done
done
echo "web_test: ok (screenshots in $artefacts/web-before.png and web-page.png)"
