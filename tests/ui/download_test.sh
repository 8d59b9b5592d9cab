#!/usr/bin/env bash
# Download mode end to end: nginx on a free port of 127.0.0.1 serves a chain of two
# packages and its patches.txt (osmel-mkpatch patchlist); the real window, started with a
# server on its command line as a launcher starts it, downloads and applies both steps on
# its own. The second package is served slowly so that the screenshot shows the gauge
# and the status line following the transfer.
# Usage: download_test.sh BUILD_DIR ARTEFACT_DIR
set -euo pipefail
build=$(realpath "$1")
artefacts=$2
here=$(dirname "$(realpath "$0")")
source "$here/lib.sh"
source "$here/../support/nginx.sh"
mkdir -p "$artefacts"
work=$(mktemp -d)
pid=
nginx=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; [ -n "$nginx" ] && kill -QUIT "$nginx" 2>/dev/null; rm -rf "$work"' EXIT

bash "$here/../../scripts/standalone-fixture.sh" "$build" "$work/fixture" --files 30 \
  --size-mib 24 --changed 40 --seed 6
fixture=$work/fixture
mkdir -p "$work/www/kelvor" "$work/temp"
cp "$fixture/steps/41590.pkg" "$work/www/kelvor/41590_to_41600.zip"
cp "$fixture/steps/41600.pkg" "$work/www/kelvor/41600_to_41610.zip"
"$build/tools/mkpatch/osmel-mkpatch" patchlist -o "$work/www/kelvor/patches.txt" \
  --exe-url http://example.invalid/patcher.exe --step 41590 41600 41590_to_41600.zip \
  --step 41600 41610 41600_to_41610.zip >/dev/null
size=$(stat -c %s "$work/www/kelvor/41600_to_41610.zip")

port=$(free_port)
# About eight seconds for the second package, whatever its size: two screenshots of a busy
# machine fit in.
start_nginx "$work/nginx" "$port" "$work/www" "$work/nginx/access.log" \
  "location = /kelvor/41600_to_41610.zip { limit_rate $((size / 8 + 1)); }" ||
  fail "nginx did not start"

cp -a "$fixture/install" "$work/install"
printf 'repairseconds=0.2\nrepairlines=2\n' >"$work/install/bin/KelvorUtil.cfg"
OSMEL_REGISTRY="$work/registry.reg" TEMP="$work/temp" "$build/src/app/osmel-patcher" \
  "--server=http://127.0.0.1:$port/kelvor/" 41590 "$work/install" >"$work/out" 2>"$work/err" &
pid=$!
find_window
wait_for "[0] Searching for patches..."
# The second download is the slow one: the gauge and the status line follow it.
while [ "$(grep -c "Downloading patch file" "$work/out")" -lt 2 ]; do
  kill -0 "$pid" 2>/dev/null || fail "the patcher ended"
  sleep 0.1
done
# Screenshots while the package arrives: the gauge is a bar as tall as its place (a
# theme's progress bar can be a line of a few pixels) that grows, and the status line
# above it changes.
bar() { # the box of the gauge's fill in a screenshot: width height x y
  convert "$1" -fill black +opaque 'rgb(0,120,215)' -fill white -opaque 'rgb(0,120,215)' \
    -format '%@\n' info: | tr 'x+' '  '
}
sleep 1
import -window root "$artefacts/download.png"
read -r width height _ top < <(bar "$artefacts/download.png")
[ "$height" -ge 15 ] || fail "the gauge is ${height} pixels high"
status="${WIDTH}x24+$X+$((top - 30))"
status_changed() {
  local pixels
  convert "$artefacts/download.png" -crop "$status" +repage "$work/status-first.png"
  convert "$work/download-later.png" -crop "$status" +repage "$work/status-later.png"
  pixels=$(compare -metric AE "$work/status-first.png" "$work/status-later.png" null: 2>&1 || true)
  [ "${pixels%% *}" -gt 0 ] 2>/dev/null
}
later_width=$width
later_height=$height
moved=no
for _ in $(seq 16); do
  sleep 0.5
  import -window root "$work/download-later.png"
  read -r later_width later_height _ _ < <(bar "$work/download-later.png")
  [ "$later_width" -gt "$width" ] && status_changed && { moved=yes; break; }
done
[ "$moved" = yes ] || fail "the gauge ($width, then $later_width) or the status line did not move"
[ "$later_height" -eq "$height" ] || fail "the gauge changed its height"
wait_for "[0] Patching completed."
# The utility tool's output is one log line per line it writes, with no empty line after
# each; the last lines say where the installation is.
grep -q "^\[0\] Checked 100% of the assets.$" "$work/out" || fail "no line of the tool's output"
empty=$(sed -n '/^Updating Kelvor asset database/,/Patching completed/p' "$work/out" | grep -c '^$' || true)
[ "$empty" -eq 0 ] || fail "$empty empty lines among the tool's output"
[ "$(tail -n 2 "$work/out")" = "$(printf '[0] The installation is at build 41610.\n[0] Patching completed.')" ] ||
  fail "the last lines do not say where the installation is"
press_exit
[ "$(manifest "$work/install")" = "$(manifest "$fixture/builds/41610")" ] ||
  fail "the installation is not build 41610"
grep -q "GET /kelvor/41600_to_41610.zip" "$work/nginx/access.log" || fail "no download seen"
echo "download_test: ok (screenshot of the download in $artefacts/download.png)"
