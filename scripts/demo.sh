#!/usr/bin/env bash
# Installs what is needed, builds, and runs the program on its built-in demo.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release

if [ -x build/release/src/app/osmel-patcher ]; then
  if [ -n "${DISPLAY:-}" ]; then
    exec build/release/src/app/osmel-patcher "$@"
  fi
  exec xvfb-run -a build/release/src/app/osmel-patcher "$@"
fi
cat <<'MSG'
The patcher's window is not built yet. The finished demo makes an installation of
build 41590 with an uninstaller log, registers it, builds a standalone patcher with two
steps and opens it: press "Apply Update" and watch the installation reach build 41610.
What exists now is the foundation library; its tests run with scripts/test.sh.
MSG
