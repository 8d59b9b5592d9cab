#!/usr/bin/env bash
# Installs what is needed, builds, and runs the program on its built-in demo.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release

patcher=build/release/src/app/osmel-patcher
demo=build/demo
mkdir -p "$demo"
# The demo's own registry store: nothing outside the demo's folders is touched.
export OSMEL_REGISTRY="${OSMEL_REGISTRY:-$PWD/$demo/registry.reg}"
cat <<'MSG'
The standalone demo (an installation of build 41590, registered, and a patcher carrying
two steps to 41610) comes with the standalone session. What runs now is the window: with
no installation and no patch it shows its refusal line in red. Close it with "Cancel".
MSG
if [ -n "${DISPLAY:-}" ]; then
  exec "$patcher" "$@"
fi
# No display (a server, CI): the window runs under a virtual X server for a few seconds,
# and its screenshot and log are left in build/demo.
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  "$1" >"$2/log.txt" 2>&1 & pid=$!
  timeout 60 xdotool search --sync --onlyvisible --name "Osmel Patcher" >/dev/null
  sleep 1
  import -window root "$2/window.png"
  kill "$pid"' _ "$patcher" "$demo"
echo "Window log: $demo/log.txt; screenshot: $demo/window.png"
cat "$demo/log.txt"
