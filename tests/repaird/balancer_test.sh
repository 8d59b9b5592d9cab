#!/usr/bin/env bash
# Two osmel-repaird instances behind HAProxy on loopback, as operators run more than one
# machine: 200 clients repair through the balancer while one instance is killed; every
# client ends identical to the reference, those the kill cut after one more session. Then
# the reference changes, SIGHUP rescans it, and a new client gets the new bytes.
# Usage: balancer_test.sh REPAIR_CLIENTS OSMEL_REPAIRD
set -euo pipefail
repair_clients=$1
repaird=$2
here=$(dirname "$(realpath "$0")")
source "$here/../support/nginx.sh"
command -v haproxy >/dev/null || { echo "FAIL: haproxy is not installed (scripts/install-deps.sh)"; exit 1; }
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

fail() {
  echo "FAIL: $*"
  for f in "$work"/server-*.out "$work/haproxy.out"; do [ -f "$f" ] && tail -n 20 "$f"; done
  exit 1
}

clients=200
mkdir -p "$work/ref/data/sub" "$work/damaged/data/sub"
head -c 300000 /dev/urandom >"$work/ref/data/big.bin"
printf 'small' >"$work/ref/data/sub/small.txt"
printf 'same' >"$work/ref/data/same.txt"
cp -r "$work/ref/." "$work/damaged"
printf 'XXXX' | dd of="$work/damaged/data/big.bin" bs=1 seek=1000 conv=notrunc status=none
rm "$work/damaged/data/sub/small.txt"
# One process for all the copies and comparisons: a process each would take longer than
# the repairs.
python3 -c 'import shutil, sys
for i in range(1, int(sys.argv[3]) + 1): shutil.copytree(sys.argv[1], f"{sys.argv[2]}/c{i}")' \
  "$work/damaged" "$work" "$clients"
# Prints each of the folders that differs from the reference in any file but repair.cks.
differing() {
  python3 -c 'import filecmp, sys
def same(c):
    if c.left_only or [n for n in c.right_only if n != "repair.cks"] or c.funny_files:
        return False
    if filecmp.cmpfiles(c.left, c.right, c.common_files, shallow=False)[1:] != ([], []):
        return False
    return all(same(s) for s in c.subdirs.values())
for d in sys.argv[2:]:
    if not same(filecmp.dircmp(sys.argv[1], d)): print(d)' "$work/ref" "$@"
}

# Each instance pauses before each record, so that sessions are under way when one dies.
start_server() {
  "$repaird" --root "$work/ref" --listen "$2" --fault-delay-ms 150 >"$work/server-$1.out" 2>&1 &
  pids+=($!)
  eval "server_$1=$!"
  local address=
  for _ in $(seq 200); do
    address=$(sed -n 's/^osmel-repaird: serving .* on \(.*:[0-9]*\)$/\1/p' "$work/server-$1.out")
    [ -n "$address" ] && break
    sleep 0.05
  done
  [ -n "$address" ] || fail "instance $1 did not start"
  eval "address_$1=$address"
}
# By address, and by host name (IPv4 or IPv6, as this machine resolves localhost).
start_server a 127.0.0.1:0
start_server b localhost:0

front=$(free_port)
cat >"$work/haproxy.cfg" <<CFG
global
  maxconn 2000
defaults
  mode tcp
  timeout connect 2s
  timeout client 60s
  timeout server 60s
  retries 3
  option redispatch
listen repair
  bind 127.0.0.1:$front
  balance roundrobin
  server a $address_a check inter 200ms fall 1 rise 2
  server b $address_b check inter 200ms fall 1 rise 2
CFG
haproxy -c -q -f "$work/haproxy.cfg" || fail "haproxy refused its configuration"
haproxy -db -f "$work/haproxy.cfg" >"$work/haproxy.out" 2>&1 &
pids+=($!)
for _ in $(seq 200); do
  (exec 3<>"/dev/tcp/127.0.0.1/$front") 2>/dev/null && break
  sleep 0.05
done

dirs=()
for i in $(seq $clients); do dirs+=("$work/c$i"); done
"$repair_clients" "$front" "${dirs[@]}" >"$work/first.out" 2>&1 &
clients_pid=$!
pids+=($clients_pid)
# Kill instance a once it has finished a few sessions, with most of its share still to go.
for _ in $(seq 600); do
  [ "$(grep -c ': repaired:' "$work/server-a.out" || true)" -ge 5 ] && break
  sleep 0.05
done
kill -KILL "$server_a"
wait "$server_a" 2>/dev/null || true
wait "$clients_pid" || true
mapfile -t failed < <(sed -n 's/^failed //p' "$work/first.out")
[ ${#failed[@]} -gt 0 ] || fail "killing an instance cut no session"
[ "$(differing "${failed[@]}" | wc -l)" = ${#failed[@]} ] ||
  fail "a client whose session failed is identical all the same"
"$repair_clients" "$front" "${failed[@]}" >"$work/second.out" 2>&1 ||
  fail "the next session failed: $(cat "$work/second.out")"
left=$(differing "${dirs[@]}")
[ -z "$left" ] || fail "not identical to the reference: $left"

# A changed reference is rescanned on SIGHUP; the next client gets the new bytes.
printf 'YYYY' | dd of="$work/ref/data/big.bin" bs=1 seek=5000 conv=notrunc status=none
touch -d '+10 seconds' "$work/ref/data/big.bin"
kill -HUP "$server_b"
for _ in $(seq 200); do
  [ "$(grep -c 'reference scanned' "$work/server-b.out")" -ge 2 ] && break
  sleep 0.05
done
[ "$(grep -c 'reference scanned' "$work/server-b.out")" -ge 2 ] || fail "SIGHUP: no rescan"
"$repair_clients" "$front" "$work/c1" >"$work/third.out" 2>&1 ||
  fail "after the rescan: the session failed"
[ -z "$(differing "$work/c1")" ] || fail "after the rescan: client 1 did not get the new bytes"
echo "balancer_test: ok (${#failed[@]} of $clients clients cut by the kill, repaired by their next session)"
