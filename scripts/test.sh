#!/usr/bin/env bash
# Installs what is needed, builds the release preset and runs every test: the native
# suite and, for the release preset, the Windows cross-build's suite under Wine.
# Usage: scripts/test.sh [PRESET]   (default: release)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}

# The Windows suite runs first so that the native CTest summary ends the output; a
# failure there still lets the native suite run, and fails the whole.
windows_status=0
if [ "$preset" = release ]; then
  scripts/windows-test.sh || windows_status=$?
fi

scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
# GUI tests need a display; every test runs under one virtual X server.
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --preset "$preset" -j2
if [ "$windows_status" -ne 0 ]; then
  echo "test: the Windows suite under Wine failed (status $windows_status)" >&2
  exit "$windows_status"
fi
