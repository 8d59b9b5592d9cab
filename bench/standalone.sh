#!/usr/bin/env bash
# A standalone session end to end without the window (osmel_bench_standalone: the session
# thread with a window that draws nothing) against the sum of its parts, measured the
# same way in the same run: unpacking each step's package (osmel-mkpatch unpack) and
# applying it (osmel-mkpatch apply: the engine with its difference tool runs, MD5s and
# copies). The session should add nothing but the archive extraction and its own lines.
# Peak memory is the session process's maximum resident set, for installations of two
# sizes: it must not grow with the package.
# Usage: bench/standalone.sh [SIZES_MIB]   (default "100 400"; files grow with the size)
set -euo pipefail
cd "$(dirname "$0")/.."
sizes=${1:-"100 400"}
preset=release
build=$PWD/build/$preset
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target osmel-patcher osmel-mkpatch osmel-mkbuilds kpatchl \
  kelvorutil osmel_bench_standalone >/dev/null
mkpatch=$build/tools/mkpatch/osmel-mkpatch

work=$(mktemp -d "${TMPDIR:-/tmp}/osmel-bench-standalone.XXXXXX")
trap 'rm -rf "$work"' EXIT
now() { date +%s.%N; }

for size in $sizes; do
  fixture=$work/fixture
  files=$((size * 3))
  scripts/standalone-fixture.sh "$build" "$fixture" --files "$files" --size-mib "$size" \
    --added 3 >/dev/null
  printf 'repairseconds=0\nrepairlines=1\n' >"$fixture/install/bin/KelvorUtil.cfg"
  packages=$(du -cb "$fixture"/steps/*.pkg | tail -1 | cut -f1)

  # The parts, on a copy of the installation.
  rm -rf "$work/parts" && cp -a "$fixture/install" "$work/parts"
  sync
  unpack=0
  apply=0
  for package in "$fixture"/steps/*.pkg; do
    rm -rf "$work/unpacked"
    s=$(now)
    "$mkpatch" unpack "$package" -o "$work/unpacked" >/dev/null
    unpack=$(echo "$unpack + $(now) - $s" | bc -l)
    s=$(now)
    "$mkpatch" apply "$work/unpacked" "$work/parts" >/dev/null
    apply=$(echo "$apply + $(now) - $s" | bc -l)
  done

  # The session, on the fixture's own installation (registered in its store).
  mkdir -p "$work/temp"
  sync
  read -r session steps < <(OSMEL_REGISTRY=$fixture/registry.reg TEMP=$work/temp \
    /usr/bin/time -f "%M" -o "$work/peak" "$build/bench/session/osmel_bench_standalone" "$fixture")
  rm -rf "$work/temp"
  parts=$(echo "$unpack + $apply" | bc -l)
  printf '%4d MiB, %d files, packages %.1f MiB, %d steps: session %.3f s; parts %.3f s (unpack %.3f, apply %.3f); session/parts %.2f; session peak %d MiB\n' \
    "$size" "$files" "$(echo "$packages / 1048576" | bc -l)" "$steps" "$session" "$parts" \
    "$unpack" "$apply" "$(echo "$session / $parts" | bc -l)" "$(($(cat "$work/peak") / 1024))"
done
