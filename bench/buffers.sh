#!/usr/bin/env bash
# Whole-process comparisons for the buffers, the compressed container and MD5, measured in
# the same run as their reference tools (best of several interleaved runs, page cache warm):
#   osmel-mkpatch md5 vs md5sum and openssl dgst -md5 on one 512 MiB file;
#   osmel-mkpatch decompress vs zlib's uncompress of the same 4 MiB chunks, both to /dev/null;
#   peak memory of decompress for two container sizes;
# then the Google Benchmark cases. Usage: bench/buffers.sh [RUNS]   (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
preset=release
build=build/$preset

cmake --preset $preset >/dev/null
cmake --build --preset $preset --target osmel-mkpatch osmel_bench_buffers \
  osmel_bench_zlib_uncompress >/dev/null
mkpatch=$build/tools/mkpatch/osmel-mkpatch
zlibref=$build/bench/buffer/osmel_bench_zlib_uncompress

work=$(mktemp -d "${TMPDIR:-/tmp}/osmel-bench-buffers.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Executable-like data: the machine's libraries and programs, concatenated.
executable_like() {
  find /usr/lib/x86_64-linux-gnu /usr/bin -type f -size +64k 2>/dev/null | sort |
    xargs cat 2>/dev/null | head -c "$1" || true
}

seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

# best NAME COMMAND...: records the command's fastest run in best_NAME.
declare -A best
measure() {
  local name=$1
  shift
  local t
  t=$(seconds "$@")
  if [ -z "${best[$name]:-}" ] || [ "$(echo "$t < ${best[$name]}" | bc -l)" -eq 1 ]; then
    best[$name]=$t
  fi
}

ratio() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }
mbps() { printf '%.0f' "$(echo "$1 / 1048576 / $2" | bc -l)"; }

echo "== MD5 of a 512 MiB file (best of $runs)"
file=$work/data512.bin
executable_like $((512 << 20)) >"$file"
size=$(stat -c %s "$file")
cat "$file" >/dev/null
for _ in $(seq "$runs"); do
  measure md5sum md5sum "$file"
  measure openssl openssl dgst -md5 "$file"
  measure ours "$mkpatch" md5 "$file"
done
[ "$("$mkpatch" md5 "$file" | cut -d' ' -f1)" = "$(md5sum "$file" | cut -d' ' -f1)" ] ||
  { echo "digests differ" >&2; exit 1; }
echo "osmel-mkpatch md5: $(mbps "$size" "${best[ours]}") MB/s, md5sum: $(mbps "$size" "${best[md5sum]}") MB/s, openssl: $(mbps "$size" "${best[openssl]}") MB/s"
echo "ratio vs md5sum:  $(ratio "${best[md5sum]}" "${best[ours]}")  (target >= 1.0)"
echo "ratio vs openssl: $(ratio "${best[openssl]}" "${best[ours]}")  (target >= 0.95)"
rm -f "$file"

echo
echo "== Decompress a container of 4 MiB chunks, 256 MiB raw, to /dev/null (best of $runs)"
raw=$work/raw256.bin
container=$work/c256.bin
executable_like $((256 << 20)) >"$raw"
size=$(stat -c %s "$raw")
"$mkpatch" compress --chunk-size $((4 << 20)) "$raw" "$container"
"$mkpatch" decompress "$container" "$work/check.bin"
cmp "$raw" "$work/check.bin"
rm -f "$work/check.bin"
cat "$container" >/dev/null
for _ in $(seq "$runs"); do
  measure zlib "$zlibref" "$container" /dev/null
  measure dec "$mkpatch" decompress "$container" /dev/null
done
echo "osmel-mkpatch decompress: $(mbps "$size" "${best[dec]}") MB/s of output, zlib uncompress: $(mbps "$size" "${best[zlib]}") MB/s"
echo "ratio vs zlib uncompress: $(ratio "${best[zlib]}" "${best[dec]}")  (target >= 2.0)"

echo
echo "== Peak memory of decompress (largest chunk: 4 MiB raw plus its compressed bytes)"
small=$work/c32.bin
head -c $((32 << 20)) "$raw" >"$work/raw32.bin"
"$mkpatch" compress --chunk-size $((4 << 20)) "$work/raw32.bin" "$small"
rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
base=$(rss "$mkpatch" md5 "$work/raw32.bin")
rss32=$(rss "$mkpatch" decompress "$small" /dev/null)
rss256=$(rss "$mkpatch" decompress "$container" /dev/null)
echo "peak RSS: 32 MiB container ${rss32} KiB, 256 MiB container ${rss256} KiB, md5 baseline ${base} KiB"
echo "above the baseline: $((rss256 - base)) KiB for the 256 MiB container (chunk bound about 8192 KiB)"

echo
echo "== Google Benchmark cases"
"$build/bench/buffer/osmel_bench_buffers" --benchmark_min_time=0.5
rm -f "${TMPDIR:-/tmp}"/osmel-bench-md5.bin "${TMPDIR:-/tmp}"/osmel-bench-copy.bin
