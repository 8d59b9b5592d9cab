#!/usr/bin/env bash
# Installs what is needed, builds the release preset and runs every test.
# Usage: scripts/test.sh [PRESET]   (default: release)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}

scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
# GUI tests need a display; every test runs under one virtual X server.
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --preset "$preset" -j2
