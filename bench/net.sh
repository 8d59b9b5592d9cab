#!/usr/bin/env bash
# The TCP data buffer over loopback against a plain blocking socket pair, in the same run:
# 1 GiB in 64 KiB writes and in 64 KiB reads, and the round trip of a 4-byte request and
# answer. Usage: bench/net.sh [MIB] [RUNS] [ROUND_TRIPS]   (defaults 1024, 5, 20000)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=release
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target osmel_bench_tcp >/dev/null
"build/$preset/bench/net/osmel_bench_tcp" "${1:-1024}" "${2:-5}" "${3:-20000}"
