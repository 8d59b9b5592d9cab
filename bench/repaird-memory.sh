#!/usr/bin/env bash
# Whether osmel-repaird gives memory back after a client: the server's resident size at
# rest, at its peak while one client uploads a summary of SUMMARY_MB MB (a tree of
# millions of segments), and after that client ended; then the same after CLIENTS
# clients at once with a summary of SUMMARY_MB/CLIENTS MB each.
# Usage: bench/repaird-memory.sh [SUMMARY_MB] [CLIENTS]   (defaults 50, 8)
set -euo pipefail
cd "$(dirname "$0")/.."
summary_mb=${1:-50}
clients=${2:-8}
preset=release
build=build/$preset

cmake --preset $preset >/dev/null
cmake --build --preset $preset --target osmel-repaird >/dev/null
repaird=$build/tools/repaird/osmel-repaird

work=$(mktemp -d "${TMPDIR:-/tmp}/osmel-bench-repaird-memory.XXXXXX")
server=
cleanup() {
  [ -z "$server" ] || kill "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/ref"
head -c 1048576 /dev/urandom >"$work/ref/a.bin"
"$repaird" --root "$work/ref" --port 0 >"$work/server.log" 2>&1 &
server=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/.*serving .* on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server.log")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { cat "$work/server.log"; exit 1; }

/usr/bin/python3 - "$port" "$server" "$summary_mb" "$clients" <<'PY'
import socket, struct, sys, threading, time
port, pid, summary_mb, clients = (int(a) for a in sys.argv[1:])

def status(field):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1]) / 1024.0
    return 0.0

def summary(megabytes, tag):
    # Entries of a 48-unit key: 4 + 96 + 4 + 8 bytes each.
    count = megabytes * 1000000 // 112
    head = struct.pack("<III", 6, 0x66747330, count)
    body = bytearray()
    for i in range(count):
        key = ("%s/dir/file%08d.bin#000" % (tag, i)).ljust(48, "x").encode("utf-16-le")
        body += struct.pack("<I", 48) + key + struct.pack("<Iq", i + 1, 0)
    return head + bytes(body)

def session(data, done):
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(data[:4])
        s.recv(4)
        s.sendall(data[4:])
        while s.recv(1 << 20):
            pass
        done.append(1)

def run(label, parts):
    threads, done = [], []
    for p in parts:
        threads.append(threading.Thread(target=session, args=(p, done)))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    time.sleep(1.5)  # the line is written, the allocator trimmed
    print("%-32s peak %7.1f MB, after %7.1f MB (%d of %d sessions ended)"
          % (label, status("VmHWM"), status("VmRSS"), len(done), len(parts)))

print("at rest: %.1f MB" % status("VmRSS"))
big = summary(summary_mb, "one")
run("one %d MB summary:" % summary_mb, [big])
del big
small = [summary(summary_mb // clients, "c%d" % i) for i in range(clients)]
run("%d x %d MB summaries:" % (clients, summary_mb // clients), small)
PY
grep -c "repaired:" "$work/server.log" | sed 's/^/sessions repaired: /'
