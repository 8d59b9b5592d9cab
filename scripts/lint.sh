#!/usr/bin/env bash
# Checks formatting (clang-format) and runs clang-tidy over the sources.
# Usage: scripts/lint.sh [FILE...]   (default: every tracked C++ source)
# clang-tidy reads build/debug/compile_commands.json: configure the debug preset first.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
fi
clang-format --dry-run --Werror "${files[@]}"

[ -f build/debug/compile_commands.json ] || cmake --preset debug >/dev/null
tidy=()
for f in "${files[@]}"; do
  case "$f" in src/*.cpp | tools/*.cpp) tidy+=("$f") ;; esac
done
if [ ${#tidy[@]} -gt 0 ]; then
  # clang-tidy counts the warnings it suppressed in system headers on stderr; show its
  # stderr only when it fails.
  err=$(mktemp)
  if ! printf '%s\n' "${tidy[@]}" | xargs -P 2 -n 8 clang-tidy -p build/debug --quiet 2>"$err"; then
    grep -v 'warnings generated' "$err" >&2 || true
    rm -f "$err"
    exit 1
  fi
  rm -f "$err"
fi
echo "lint: ${#files[@]} files formatted, ${#tidy[@]} checked by clang-tidy"
