#!/usr/bin/env bash
# Installs what is needed, builds, and runs the program on its built-in demo: an
# installation of build 41590, registered in the demo's own registry store, and a
# standalone patcher carrying the two steps to 41610, and the same release's patch list
# as a publisher signs it for a patch server. Everything lives in build/demo.
# With --console the terminal front end (osmel-update) applies the steps instead of the
# window: no display needed. Either way a copy of the installation is then brought to
# 41610 from a patch server (nginx on 127.0.0.1), verified with the publisher's key.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release

demo=$PWD/build/demo
echo "Making the demo installation and its standalone patcher in $demo ..."
scripts/standalone-fixture.sh build/release "$demo" --files 300 --size-mib 120 --added 3
printf 'repairseconds=3\nrepairlines=6\n' >"$demo/install/bin/KelvorUtil.cfg"
# How the publisher signs this release for its patch servers: a key pair (kept; a key is
# never overwritten), the patch list of the two steps bound to their packages by size and
# SHA-256, its signature with the list's version, and the check a patcher built with
# OSMEL_TRUSTED_KEYS=$demo/publisher.pub makes before it downloads anything.
mkpatch=build/release/tools/mkpatch/osmel-mkpatch
[ -f "$demo/publisher.key" ] || "$mkpatch" keygen -o "$demo/publisher"
mkdir -p "$demo/www"
"$mkpatch" patchlist -o "$demo/www/patches.txt" --exe-url patcher \
  --step 41590 41600 41590_to_41600.zip --file "$demo/steps/41590.pkg" \
  --step 41600 41610 41600_to_41610.zip --file "$demo/steps/41600.pkg" \
  --sign "$demo/publisher.key" --list-version "$(date +%s)"
"$mkpatch" verify -p "$demo/publisher.pub" "$demo/www/patches.txt"
cp "$demo/steps/41590.pkg" "$demo/www/41590_to_41600.zip"
cp "$demo/steps/41600.pkg" "$demo/www/41600_to_41610.zip"
rm -rf "$demo/temp" "$demo/download"
mkdir -p "$demo/temp"
cp -a "$demo/install" "$demo/download"
# The demo's own registry store and temporary directory: nothing outside build/demo is
# touched.
export OSMEL_REGISTRY=$demo/registry.reg
export TEMP=$demo/temp

equals_41610() {
  (cd "$demo/builds/41610" && find . -type f -exec md5sum {} +) | (cd "$1" && md5sum --quiet -c -)
}

# The signed release from a patch server: osmel-update with the demo's publisher key in,
# as a publisher's build has it (cmake -DOSMEL_TRUSTED_KEYS=build/demo/publisher.pub),
# checks the list's signature and each package's size and SHA-256 while it downloads.
verified_download() {
  source tests/support/nginx.sh
  local port status=0
  port=$(free_port)
  start_nginx "$demo/nginx" "$port" "$demo/www" || { echo "nginx did not start" >&2; return 1; }
  echo "A copy of build 41590 in $demo/download, updated from http://127.0.0.1:$port/ with"
  echo "the publisher's key:"
  build/release/tests/console/osmel-update-with-keys "$demo/publisher.pub" \
    "--server=http://127.0.0.1:$port/" 41590 "$demo/download" || status=$?
  kill -QUIT "$nginx"
  wait "$nginx" 2>/dev/null || true
  [ "$status" = 0 ] || { echo "The verified download ended with exit status $status." >&2; return 1; }
  equals_41610 "$demo/download"
  echo "The signature and both packages verified; $demo/download now equals build 41610."
}

if [ "${1:-}" = "--console" ]; then
  echo "osmel-update finds the same installation and applies the patcher's steps:"
  status=0
  build/release/src/console/osmel-update --archive="$demo/patcher" || status=$?
  echo "osmel-update ended with exit status $status."
  equals_41610 "$demo/install"
  echo "The installation in $demo/install now equals build 41610."
  verified_download
  exit "$status"
fi
cat <<MSG
The window finds the installation in $demo/install (build 41590) through the demo's
registry store and says "Ready to install from local patch file." with the current version.
Press "Apply Update": the patcher applies 41590 -> 41600 and 41600 -> 41610 (adding,
deleting and patching files, checking every MD5), says "There are no more patches for
this build.", runs the asset database update of the product's utility tool and ends with
"Patching completed.". Press "Exit" to close it. Run this script again for a fresh
installation.
MSG
if [ -n "${DISPLAY:-}" ]; then
  status=0
  "$demo/patcher" "$@" || status=$?
  verified_download
  exit "$status"
fi
# No display (a server, CI): the window runs under a virtual X server, the script presses
# "Apply Update" itself, and the log and a screenshot of the finished window stay in
# build/demo.
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  set -euo pipefail
  demo=$1
  "$demo/patcher" >"$demo/log.txt" 2>"$demo/stderr.txt" & pid=$!
  window=$(timeout 60 xdotool search --sync --onlyvisible --name "Osmel Patcher" | head -n 1)
  for _ in $(seq 300); do grep -q "Ready to install" "$demo/log.txt" && break; sleep 0.1; done
  eval "$(xdotool getwindowgeometry --shell "$window")"
  xdotool mousemove --sync $((X + WIDTH / 2 - 65)) $((Y + HEIGHT - 25)) click 1
  for _ in $(seq 3000); do
    grep -q "Patching completed\|Patching aborted" "$demo/log.txt" && break
    sleep 0.1
  done
  sleep 0.5
  import -window root "$demo/window.png"
  xdotool mousemove --sync $((X + WIDTH / 2 + 65)) $((Y + HEIGHT - 25)) click 1
  wait "$pid"' _ "$demo"
cat "$demo/log.txt"
if equals_41610 "$demo/install"; then
  echo "The installation in $demo/install now equals build 41610."
else
  echo "The installation does not equal build 41610: see $demo/log.txt"
  exit 1
fi
echo "Window log: $demo/log.txt; screenshot: $demo/window.png"
verified_download
