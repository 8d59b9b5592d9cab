#!/usr/bin/env bash
# DownloadURL against curl -o of the same URL, from a local nginx and a local vsftpd,
# in the same run: throughput ratio (ours / curl) per server and the peak resident
# memory of ours at two file sizes. Usage: bench/download.sh [MIB] [RUNS]  (1024, 3)
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-1024}
runs=${2:-3}
preset=release
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target osmel_bench_download >/dev/null
bench="$PWD/build/$preset/bench/download/osmel_bench_download"

dir=$(mktemp -d /tmp/osmel-download-bench.XXXXXX)
pids=()
nginx=
cleanup() {
  for pid in "${pids[@]}" $nginx; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap cleanup EXIT
chmod 755 "$dir"
mkdir -p "$dir/www" "$dir/ftp/empty"
source tests/support/nginx.sh
wait_port() { for _ in $(seq 300); do (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0; sleep 0.05; done; return 1; }

head -c $((mib * 1048576)) /dev/urandom > "$dir/www/big.bin"
head -c $((mib * 1048576 / 8)) /dev/urandom > "$dir/www/small.bin"

http_port=$(free_port)
start_nginx "$dir/nginx" "$http_port" "$dir/www" || { echo "nginx did not start" >&2; exit 1; }

ftp_port=$(free_port)
pasv=$(free_port)
cat > "$dir/ftp/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$ftp_port
background=NO
anonymous_enable=YES
no_anon_password=YES
anon_root=$dir/www
local_enable=NO
write_enable=NO
pasv_enable=YES
pasv_address=127.0.0.1
pasv_min_port=$pasv
pasv_max_port=$((pasv + 20))
secure_chroot_dir=$dir/ftp/empty
CONF
/usr/sbin/vsftpd "$dir/ftp/vsftpd.conf" >"$dir/ftp/out" 2>&1 &
pids+=($!)
wait_port "$ftp_port"

# Best of RUNS seconds for each tool, alternating so both see the same page cache.
measure() {
  local url=$1 best_ours=999999 best_curl=999999 rss=0
  for _ in $(seq "$runs"); do
    read -r secs kib < <("$bench" "$url" "$dir/ours.bin")
    cmp -s "$dir/ours.bin" "$dir/www/$(basename "$url")" || { echo "content differs for $url" >&2; exit 1; }
    best_ours=$(echo "if ($secs < $best_ours) $secs else $best_ours" | bc -l)
    rss=$kib
    rm -f "$dir/ours.bin"
    start=$(date +%s.%N)
    curl -s -o "$dir/curl.bin" "$url"
    end=$(date +%s.%N)
    best_curl=$(echo "t = $end - $start; if (t < $best_curl) t else $best_curl" | bc -l)
    rm -f "$dir/curl.bin"
  done
  printf '%-5s %-9s ours %6.3f s (%7.1f MiB/s)  curl %6.3f s (%7.1f MiB/s)  ratio %.2f  peak RSS %d KiB\n' \
    "$2" "$(basename "$url")" "$best_ours" "$(echo "$3 / $best_ours" | bc -l)" \
    "$best_curl" "$(echo "$3 / $best_curl" | bc -l)" "$(echo "$best_curl / $best_ours" | bc -l)" "$rss"
}

echo "$mib MiB, best of $runs runs each"
measure "http://127.0.0.1:$http_port/big.bin" http "$mib"
measure "ftp://127.0.0.1:$ftp_port/big.bin" ftp "$mib"
measure "http://127.0.0.1:$http_port/small.bin" http "$((mib / 8))"
measure "ftp://127.0.0.1:$ftp_port/small.bin" ftp "$((mib / 8))"
