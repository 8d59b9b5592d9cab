#!/usr/bin/env bash
# Builds and runs the test suite under AddressSanitizer + UndefinedBehaviorSanitizer and
# under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

for preset in asan tsan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  xvfb-run -a -s "-screen 0 1280x1024x24" ctest --preset "$preset" -j2
done
