#!/usr/bin/env bash
# osmel-repaird under load, whole processes, each figure with its reference in the same run:
#   IDLE connections held open while CLIENTS clients at once repair a 4 MiB file each from
#   an empty summary (every byte each receives is checked), against a plain copy server
#   (a thread per peer writing the same bytes) serving the same clients the same bytes;
#   the server's peak memory against its budget (--memory-mb MEMORY_MB);
#   one real client while SLOW clients trickle a byte every 2 s, with places for them all
#   (--max-clients 10000) and with every place taken by them (--max-clients SLOW), against
#   the same client with no one else.
# Usage: bench/repaird-load.sh [IDLE] [CLIENTS] [SLOW] [MEMORY_MB]   (defaults 5000, 500, 1000, 3072)
set -euo pipefail
cd "$(dirname "$0")/.."
idle=${1:-5000}
clients=${2:-500}
slow=${3:-1000}
memory_mb=${4:-3072}
preset=release
build=build/$preset

cmake --preset $preset >/dev/null
cmake --build --preset $preset --target osmel-repaird osmel_bench_repair_load >/dev/null
repaird=$build/tools/repaird/osmel-repaird
load=$build/bench/repair/osmel_bench_repair_load

# Both ends hold thousands of sockets: this shell's limit, not the system's.
ulimit -n "$(ulimit -Hn)"

work=$(mktemp -d "${TMPDIR:-/tmp}/osmel-bench-repaird-load.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/ref"
head -c $((4 << 20)) /dev/urandom >"$work/ref/f.bin"

# Starts a server with the arguments given and waits for its port; sets $pid and $port.
start() {
  local out=$1
  shift
  "$@" >"$out" 2>&1 &
  pid=$!
  pids+=("$pid")
  port=
  for _ in $(seq 400); do
    port=$(sed -n 's/.*serving.* on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$out")
    [ -n "$port" ] && return
    sleep 0.05
  done
  echo "no server: $(cat "$out")" >&2
  exit 1
}
peak_mib() { awk '/VmHWM/ { printf "%.0f", $2 / 1024 }' "/proc/$1/status"; }

echo "== $idle idle connections, $clients clients repairing 4 MiB each"
start "$work/plain.out" "$load" serve "$work/ref/f.bin"
"$load" "$port" "$idle" "$clients" "$work/ref/f.bin" plain | tee "$work/plain.txt"
kill "$pid"
# Idle connections are held for the whole run: no time-out or minimum rate cuts them.
start "$work/repaird.out" "$repaird" --root "$work/ref" --port 0 --no-compress \
  --memory-mb "$memory_mb" --timeout-ms 0 --min-rate 0
"$load" "$port" "$idle" "$clients" "$work/ref/f.bin" | tee "$work/repaird.txt"
echo "server peak memory: $(peak_mib "$pid") MiB of a $memory_mb MiB budget"
sleep 1
echo "sessions repaired: $(grep -c 'repaired:' "$work/repaird.out"), cut: $(grep -c '(cut:' "$work/repaird.out" || true)"
kill "$pid"
rate() { sed -n 's/.* \([0-9.]*\) MiB\/s.*/\1/p' "$1"; }
awk -v r="$(rate "$work/repaird.txt")" -v p="$(rate "$work/plain.txt")" \
  'BEGIN { printf "throughput ratio repaird / plain copy: %.2f\n", r / p }'

echo "== one client while $slow clients trickle a byte every 2 s (default options)"
start "$work/alone.out" "$repaird" --root "$work/ref" --port 0 --no-compress
"$load" "$port" 0 1 "$work/ref/f.bin" | sed 's/^/alone: /'
kill "$pid"
for places in 10000 "$slow"; do
  start "$work/slow$places.out" "$repaird" --root "$work/ref" --port 0 --no-compress \
    --max-clients "$places"
  "$load" "$port" "$slow" 1 "$work/ref/f.bin" trickle | sed "s/^/--max-clients $places: /"
  echo "   slow sessions cut so far: $(grep -c '(cut:' "$work/slow$places.out" || true)"
  kill "$pid"
done
