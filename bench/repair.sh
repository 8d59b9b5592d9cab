#!/usr/bin/env bash
# Whole-process figures for the repair checksums, measured in the same run as cksum:
#   osmel-mkpatch summary --fresh of a tree (page cache warm) against cksum of the same
#   files: throughput ratio (target >= 0.9);
#   a second summary of the unchanged tree against the first (target < 1%: no content is
#   read when times have not changed);
# then the checksum's Google Benchmark cases.
# Usage: bench/repair.sh [SIZE_MIB] [RUNS]   (defaults 2048 and 3)
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${1:-2048}
runs=${2:-3}
preset=release
build=build/$preset

cmake --preset $preset >/dev/null
cmake --build --preset $preset --target osmel-mkpatch osmel_bench_checksum >/dev/null
mkpatch=$build/tools/mkpatch/osmel-mkpatch

work=$(mktemp -d "${TMPDIR:-/tmp}/osmel-bench-repair.XXXXXX")
trap 'rm -rf "$work"' EXIT

# 32 MiB files of random bytes, in a few directories.
files=$((size_mib / 32))
for ((i = 0; i < files; i++)); do
  mkdir -p "$work/tree/d$((i % 8))"
  head -c $((32 << 20)) /dev/urandom >"$work/tree/d$((i % 8))/f$i.bin"
done
mapfile -t list < <(find "$work/tree" -type f -name '*.bin' | sort)
cat "${list[@]}" >/dev/null

elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", b - a }'; }

best_cksum=
best_summary=
for ((r = 0; r < runs; r++)); do
  t0=$EPOCHREALTIME
  cksum "${list[@]}" >/dev/null
  t1=$EPOCHREALTIME
  "$mkpatch" summary --fresh "$work/tree" -o "$work/repair.cks" >/dev/null 2>&1
  t2=$EPOCHREALTIME
  c=$(elapsed "$t0" "$t1"); s=$(elapsed "$t1" "$t2")
  best_cksum=$(awk -v a="${best_cksum:-$c}" -v b="$c" 'BEGIN { print (b < a ? b : a) }')
  best_summary=$(awk -v a="${best_summary:-$s}" -v b="$s" 'BEGIN { print (b < a ? b : a) }')
done
# The rescan is a few milliseconds, most of it the process start: take the mean of many,
# and of as many starts of the same program doing nothing.
t0=$EPOCHREALTIME
for ((r = 0; r < 50; r++)); do
  "$mkpatch" summary "$work/tree" -o "$work/repair.cks" >/dev/null 2>&1
done
t1=$EPOCHREALTIME
for ((r = 0; r < 50; r++)); do
  "$mkpatch" --help >/dev/null
done
t2=$EPOCHREALTIME
rescan=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.5f", (b - a) / 50 }')
start=$(awk -v a="$t1" -v b="$t2" 'BEGIN { printf "%.5f", (b - a) / 50 }')

awk -v size="$size_mib" -v c="$best_cksum" -v s="$best_summary" -v r="$rescan" -v p="$start" 'BEGIN {
  printf "tree: %d MiB in %d files, page cache warm, best of the runs\n", size, size / 32
  printf "cksum:                 %7.3f s  %7.0f MB/s\n", c, size * 1.048576 / c
  printf "osmel-mkpatch summary: %7.3f s  %7.0f MB/s\n", s, size * 1.048576 / s
  printf "ratio summary/cksum throughput: %.2f (target >= 0.9)\n", c / s
  printf "rescan of the unchanged tree: %.4f s = %.2f%% of the first (target < 1%%)\n", r, 100 * r / s
  printf "  of which process start: %.4f s; the scan itself: %.4f s = %.2f%% of the first\n", p, r - p, 100 * (r - p) / s
}'
"$build/bench/repair/osmel_bench_checksum"
