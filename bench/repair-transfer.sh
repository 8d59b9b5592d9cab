#!/usr/bin/env bash
# Repair transfer figures, each measured in the same run as its reference:
#   the repair of DAMAGED_MIB MiB of damaged segments (every 4 MiB segment of the tree has
#   eight bytes changed) from osmel-repaird over loopback, the whole client session (scan,
#   upload, receive, write), against a plain copy of the same bytes over a loopback
#   socket, without and with a flush to disk per 4 MiB piece (the repair client flushes
#   each segment before it registers it); and the client's peak memory;
#   and against rsync of the same damaged tree from an rsync daemon on 127.0.0.1, when
#   rsync is installed;
#   CLIENTS repair clients at once, each repairing CLIENT_MIB MiB of damaged segments:
#   all byte-identical afterwards, and the server's peak memory.
# Page cache warm and written out before each timed run; best of RUNS for the single
# repair. Server compression is on (random
# bytes do not compress, so every segment is sent raw after a compression attempt); the
# single repair is also measured with --no-compress.
# Usage: bench/repair-transfer.sh [DAMAGED_MIB] [CLIENTS] [CLIENT_MIB] [RUNS]
#        (defaults 1024, 32, 64, 3)
set -euo pipefail
cd "$(dirname "$0")/.."
damaged_mib=${1:-1024}
clients=${2:-32}
client_mib=${3:-64}
runs=${4:-3}
preset=release
build=build/$preset

cmake --preset $preset >/dev/null
cmake --build --preset $preset --target osmel-repaird osmel_bench_repair >/dev/null
repaird=$build/tools/repaird/osmel-repaird
bench=$build/bench/repair/osmel_bench_repair

work=$(mktemp -d "${TMPDIR:-/tmp}/osmel-bench-repair-transfer.XXXXXX")
server=
rsyncd=
cleanup() {
  [ -z "$server" ] || kill "$server" 2>/dev/null || true
  [ -z "$rsyncd" ] || kill "$rsyncd" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A tree of random 16 MiB files.
make_tree() {
  local dir=$1 mib=$2
  mkdir -p "$dir"
  for ((i = 0; i < mib / 16; i++)); do
    head -c $((16 << 20)) /dev/urandom >"$dir/f$i.bin"
  done
}

# A copy of the tree with eight bytes changed in every 4 MiB segment.
damage() {
  local from=$1 to=$2
  rm -rf "$to"
  cp -r "$from" "$to"
  for f in "$to"/*.bin; do
    for ((s = 0; s < 4; s++)); do
      printf 'damaged!' | dd of="$f" bs=1 seek=$((s * 4194304 + 1000)) conv=notrunc status=none
    done
  done
}

# Starts osmel-repaird on a free port with the options given; sets $server and $port.
servers=0
start_server() {
  servers=$((servers + 1))
  local out=$work/server$servers.out
  : >"$out"
  "$repaird" --port 0 "$@" >"$out" 2>&1 &
  server=$!
  port=
  for _ in $(seq 400); do
    port=$(sed -n 's/^osmel-repaird: serving .* on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$out")
    [ -n "$port" ] && return
    sleep 0.05
  done
  echo "osmel-repaird did not start" >&2
  exit 1
}

stop_server() {
  kill "$server"
  wait "$server" 2>/dev/null || true
  server=
}

peak_mib() {
  awk '/^VmHWM:/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"
}

best() { awk -v a="${1:-$2}" -v b="$2" 'BEGIN { print (b < a ? b : a) }'; }
field() { sed -n "s/.*, \([0-9.]*\) s, peak \([0-9.]*\) MiB$/\\$1/p"; }

# 1. One repair of DAMAGED_MIB MiB against the plain loopback copies.
make_tree "$work/ref" "$damaged_mib"
damage "$work/ref" "$work/damaged"
cat "$work"/ref/*.bin "$work"/damaged/*.bin >/dev/null
declare -A repair_best
for mode in compress no-compress; do
  options=(--root "$work/ref")
  [ $mode = compress ] || options+=(--no-compress)
  start_server "${options[@]}"
  # The server scans the reference on its first client; that is not part of a repair.
  cp -r "$work/ref" "$work/warm"
  "$bench" client "$work/warm" "$port" >/dev/null
  rm -rf "$work/warm"
  for ((r = 0; r < runs; r++)); do
    damage "$work/damaged" "$work/client"
    sync
    # The client prints a line per segment it checksums; its own line comes last.
    line=$("$bench" client "$work/client" "$port" | tail -n 1)
    case "$line" in
    *"$((damaged_mib / 4)) / $((damaged_mib / 4)) segments"*) ;;
    *) echo "repair did not finish: $line" >&2; exit 1 ;;
    esac
    cmp -s <(cat "$work"/ref/*.bin) <(cat "$work"/client/*.bin) || { echo "repair differs" >&2; exit 1; }
    repair_best[$mode]=$(best "${repair_best[$mode]:-}" "$(field 1 <<<"$line")")
    client_peak=$(field 2 <<<"$line")
    scan=$(sed -n 's/.*, scan \([0-9.]*\) s,.*/\1/p' <<<"$line")
    scan_best=$(best "${scan_best:-}" "$scan")
  done
  stop_server
done
copy_best=
sync_best=
for ((r = 0; r < runs; r++)); do
  rm -rf "$work/copy"
  sync
  line=$("$bench" copy "$work/ref" "$work/copy" | tail -n 1)
  copy_best=$(best "$copy_best" "$(field 1 <<<"$line")")
  rm -rf "$work/copy"
  sync
  line=$("$bench" copy "$work/ref" "$work/copy" --sync | tail -n 1)
  sync_best=$(best "$sync_best" "$(field 1 <<<"$line")")
done
rm -rf "$work/copy" "$work/client"

rsync_best=
if command -v rsync >/dev/null; then
  # A port nobody answers on, for the daemon.
  for candidate in $(shuf -i 20000-60000 -n 50); do
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
      rsync_port=$candidate
      break
    fi
  done
  printf 'use chroot = no\n[ref]\npath = %s\nread only = yes\n' "$work/ref" >"$work/rsyncd.conf"
  rsync --daemon --no-detach --config="$work/rsyncd.conf" --address=127.0.0.1 \
    --port="$rsync_port" --log-file="$work/rsyncd.log" &
  rsyncd=$!
  for _ in $(seq 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$rsync_port") 2>/dev/null && break
    sleep 0.05
  done
  for ((r = 0; r < runs; r++)); do
    damage "$work/damaged" "$work/client"
    sync
    t0=$EPOCHREALTIME
    rsync -a "rsync://127.0.0.1:$rsync_port/ref/" "$work/client/"
    t1=$EPOCHREALTIME
    cmp -s <(cat "$work"/ref/*.bin) <(cat "$work"/client/*.bin) || { echo "rsync differs" >&2; exit 1; }
    rsync_best=$(best "$rsync_best" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }')")
  done
  kill "$rsyncd"
  wait "$rsyncd" 2>/dev/null || true
  rsyncd=
  rm -rf "$work/client"
fi

# 2. CLIENTS clients at once, each repairing CLIENT_MIB MiB.
make_tree "$work/ref32" "$client_mib"
for ((c = 0; c < clients; c++)); do
  damage "$work/ref32" "$work/c$c"
done
sync
start_server --root "$work/ref32" --max-clients "$clients"
cp -r "$work/ref32" "$work/warm"
"$bench" client "$work/warm" "$port" >/dev/null
rm -rf "$work/warm"
t0=$EPOCHREALTIME
pids=()
for ((c = 0; c < clients; c++)); do
  "$bench" client "$work/c$c" "$port" >"$work/c$c.out" &
  pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do
  wait "$pid" || failed=$((failed + 1))
done
t1=$EPOCHREALTIME
server_peak=$(peak_mib "$server")
stop_server
identical=0
for ((c = 0; c < clients; c++)); do
  cmp -s <(cat "$work"/ref32/*.bin) <(cat "$work/c$c"/*.bin) && identical=$((identical + 1))
done
many_peak=$(awk '/^client:/ { if ($(NF - 1) > m) m = $(NF - 1) } END { print m }' "$work"/c*.out)

awk -v mib="$damaged_mib" -v rc="${repair_best[compress]}" -v rn="${repair_best[no-compress]}" \
  -v cp="$copy_best" -v cs="$sync_best" -v peak="$client_peak" -v scan="$scan_best" \
  -v rs="$rsync_best" \
  -v n="$clients" -v cmib="$client_mib" -v t0="$t0" -v t1="$t1" -v failed="$failed" \
  -v same="$identical" -v speak="$server_peak" -v mpeak="$many_peak" 'BEGIN {
  mb = mib * 1.048576
  printf "one repair of %d MiB of damaged segments over loopback, best of the runs:\n", mib
  printf "  osmel-repaird (compression on):   %7.3f s  %6.0f MB/s\n", rc, mb / rc
  printf "  osmel-repaird --no-compress:      %7.3f s  %6.0f MB/s\n", rn, mb / rn
  printf "  plain loopback copy:              %7.3f s  %6.0f MB/s\n", cp, mb / cp
  printf "  plain loopback copy, flushed:     %7.3f s  %6.0f MB/s\n", cs, mb / cs
  printf "  repair / copy throughput: %.2f (compression on), %.2f (--no-compress)\n", cp / rc, cp / rn
  printf "  repair / flushed copy throughput: %.2f (compression on), %.2f (--no-compress)\n", cs / rc, cs / rn
  if (rs != "") {
    printf "  rsync from an rsync daemon:       %7.3f s  %6.0f MB/s\n", rs, mb / rs
    printf "  repair / rsync throughput: %.2f (compression on)\n", rs / rc
  }
  printf "  of the repair, the client scan of its own tree: %.3f s\n", scan
  printf "  client peak memory: %.1f MiB\n", peak
  t = t1 - t0
  printf "%d clients at once, each repairing %d MiB: %.3f s, %.0f MB/s in all\n", n, cmib, t, n * cmib * 1.048576 / t
  printf "  byte-identical: %d of %d (%d clients failed)\n", same, n, failed
  printf "  server peak memory: %.1f MiB; largest client peak: %.1f MiB\n", speak, mpeak
}'
