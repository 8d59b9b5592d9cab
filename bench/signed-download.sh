#!/usr/bin/env bash
# What verifying a signed update costs: one download session of a 100 MiB package from a
# local nginx (download, unpack, apply), with the publisher key set (the list's signature,
# and the package's size and SHA-256 while it downloads) against the same session without
# keys, in the same run, runs interleaved (each round in the other order). Prints the
# best of RUNS for each and the overhead; the target is at most 5%. The user processor
# time of the session's process (download, digest, unpack; not the difference tool) is
# printed as well: on a loaded machine it shows the cost of verifying where the wall
# time scatters.
# Usage: bench/signed-download.sh [RUNS]   (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
preset=release
build=$PWD/build/$preset
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target osmel-patcher osmel-mkpatch osmel-mkbuilds kpatchl \
  kelvorutil osmel_bench_signed_download >/dev/null
mkpatch=$build/tools/mkpatch/osmel-mkpatch

work=$(mktemp -d "${TMPDIR:-/tmp}/osmel-bench-signed.XXXXXX")
nginx=
cleanup() {
  [ -z "$nginx" ] || { kill "$nginx" 2>/dev/null || true; wait "$nginx" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"

# One step whose package is mostly added files: 100 MiB.
fixture=$work/fixture
scripts/standalone-fixture.sh "$build" "$fixture" --builds 41590,41600 --files 24 \
  --size-mib 240 --added 125 --changed 5 >/dev/null
printf 'repairseconds=0\nrepairlines=1\n' >"$fixture/install/bin/KelvorUtil.cfg"
mkdir -p "$work/www"
cp "$fixture/steps/41590.pkg" "$work/www/41590_to_41600.zip"
"$mkpatch" keygen -o "$work/publisher" >/dev/null
"$mkpatch" patchlist -o "$work/www/patches.txt" --exe-url e \
  --step 41590 41600 41590_to_41600.zip --sign "$work/publisher.key" >/dev/null
package=$(stat -c %s "$work/www/41590_to_41600.zip")

source tests/support/nginx.sh
port=$(free_port)
start_nginx "$work/nginx" "$port" "$work/www" || { echo "nginx did not start" >&2; exit 1; }

# One session on a fresh copy of the installation; prints its wall and processor seconds.
session() {
  rm -rf "$work/install" "$work/temp" "$work/registry.reg"
  cp -a "$fixture/install" "$work/install"
  mkdir -p "$work/temp"
  sync
  read -r seconds cpu steps < <(OSMEL_REGISTRY=$work/registry.reg TEMP=$work/temp \
    "$build/bench/session/osmel_bench_signed_download" "$work/install" 41590 \
    "http://127.0.0.1:$port/" "$@")
  [ "$steps" = 1 ] || { echo "the session applied $steps steps" >&2; exit 1; }
  echo "$seconds $cpu"
}

min() { echo "if ($1 < $2) $1 else $2" | bc -l; }
plain=(999999 999999)
signed=(999999 999999)
for round in $(seq "$runs"); do
  for kind in $([ $((round % 2)) = 1 ] && echo "plain signed" || echo "signed plain"); do
    if [ "$kind" = plain ]; then
      read -r t c < <(session)
      plain=("$(min "$t" "${plain[0]}")" "$(min "$c" "${plain[1]}")")
    else
      read -r t c < <(session "$work/publisher.pub")
      signed=("$(min "$t" "${signed[0]}")" "$(min "$c" "${signed[1]}")")
    fi
  done
done
percent() { echo "($2 - $1) * 100 / $1" | bc -l; }
printf 'package %.1f MiB, best of %d: without keys %.3f s, verified %.3f s, overhead %.1f%% (target <= 5%%)\n' \
  "$(echo "$package / 1048576" | bc -l)" "$runs" "${plain[0]}" "${signed[0]}" \
  "$(percent "${plain[0]}" "${signed[0]}")"
printf 'user processor time of the session process: without keys %.3f s, verified %.3f s (%+.3f s)\n' \
  "${plain[1]}" "${signed[1]}" "$(echo "${signed[1]} - ${plain[1]}" | bc -l)"
