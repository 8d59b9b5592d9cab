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
windows=()
for f in "${files[@]}"; do
  case "$f" in
    src/platform/win32/*.cpp) windows+=("$f") ;;
    src/*.cpp | tools/*.cpp) tidy+=("$f") ;;
  esac
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
# The Win32 backend against the Windows build's compile database, with mingw-w64's C++
# and Windows headers but clang's own intrinsics (GCC's do not parse in clang). A fresh
# machine has no Windows build tree yet: configuring one (which the Windows suite then
# reuses) installs the cross compilers and builds the libraries Debian lacks.
if [ ${#windows[@]} -gt 0 ]; then
  if [ ! -f build/win64/compile_commands.json ]; then
    scripts/install-deps.sh --windows
    cmake --preset win64 >/dev/null
  fi
  args=(--extra-arg=--target=x86_64-w64-mingw32 --extra-arg=-nostdinc++)
  cxx_dirs=$(echo | x86_64-w64-mingw32-g++-posix -xc++ -E -v - 2>&1 |
    sed -n '/#include <...> search starts/,/End of search/p' | grep '^ /.*/c++')
  for d in $cxx_dirs /usr/x86_64-w64-mingw32/include; do
    args+=("--extra-arg=-isystem$d")
  done
  err=$(mktemp)
  if ! clang-tidy -p build/win64 --quiet "${args[@]}" "${windows[@]}" 2>"$err"; then
    grep -v 'warnings generated' "$err" >&2 || true
    rm -f "$err"
    exit 1
  fi
  rm -f "$err"
  tidy+=("${windows[@]}")
fi
echo "lint: ${#files[@]} files formatted, ${#tidy[@]} checked by clang-tidy"
