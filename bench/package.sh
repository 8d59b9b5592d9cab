#!/usr/bin/env bash
# Patch packages on two generated builds of about 200 MiB (osmel-mkbuilds):
#   the size of the step's package against the changed bytes and against zstd -19 --long
#   of the new files alone;
#   the time of osmel-mkpatch unpack against cp -r of the unpacked tree, for the step's
#   package and for a package of the whole new build, with unpack's peak memory.
# Usage: bench/package.sh [RUNS]   (default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
preset=release
build=build/$preset
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target osmel-mkpatch osmel-mkbuilds >/dev/null
mkpatch=$PWD/$build/tools/mkpatch/osmel-mkpatch
mkbuilds=$PWD/$build/tools/mkbuilds/osmel-mkbuilds

work=$(mktemp -d "${TMPDIR:-/tmp}/osmel-bench-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

"$mkbuilds" chain . --builds old,new --size-mib 200
start=$(date +%s.%N)
"$mkpatch" diff old new -o patch 2>/dev/null
"$mkpatch" pack patch -o step.zip 2>/dev/null
authoring=$(echo "$(date +%s.%N) - $start" | bc -l)

# The new versions of the patched and added files: what the step must bring.
lists=$(tail -n +1 patch/patchedFiles.txt patch/addedFiles.txt | tr -d '\r' |
  awk '/^==>/ {n = 0; next} {if (n % 3 == 0) print; n++}' | tr '\\' '/')
changed=0
: >changed.list
while IFS= read -r rel; do
  [ -n "$rel" ] || continue
  changed=$((changed + $(stat -c %s "new/$rel")))
  echo "$rel" >>changed.list
done <<<"$lists"
(cd new && tar -cf - -T ../changed.list) | zstd -q -19 --long=27 -o changed.tar.zst
package=$(stat -c %s step.zip)
zst=$(stat -c %s changed.tar.zst)
echo "== Package of one step ($(wc -l <changed.list) changed or added files; diff + pack took $(printf '%.1f' "$authoring") s)"
echo "changed bytes: $changed; package: $package bytes ($(printf '%.4f' "$(echo "$package / $changed" | bc -l)") of them)"
echo "zstd -19 --long of the new files alone: $zst bytes; package / zstd: $(printf '%.3f' "$(echo "$package / $zst" | bc -l)")"

# best NAME COMMAND...
declare -A best
measure() {
  local name=$1 t s
  shift
  s=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  t=$(echo "$(date +%s.%N) - $s" | bc -l)
  if [ -z "${best[$name]:-}" ] || [ "$(echo "$t < ${best[$name]}" | bc -l)" -eq 1 ]; then
    best[$name]=$t
  fi
}

compare_unpack() {
  local package=$1 label=$2
  rm -rf u ref
  "$mkpatch" unpack "$package" -o u
  cat "$package" >/dev/null
  for _ in $(seq "$runs"); do
    rm -rf u2 ref
    measure "unpack$label" "$mkpatch" unpack "$package" -o u2
    measure "cp$label" cp -r u ref
  done
  local rss
  /usr/bin/time -f %M -o rss.txt "$mkpatch" unpack "$package" -o u3 >/dev/null 2>&1
  rss=$(tail -1 rss.txt)
  rm -rf u3
  echo "unpack: $(printf '%.3f' "${best[unpack$label]}") s, cp -r: $(printf '%.3f' "${best[cp$label]}") s, cp / unpack: $(printf '%.2f' "$(echo "${best[cp$label]} / ${best[unpack$label]}" | bc -l)"); unpack peak RSS $rss KiB"
}

echo
echo "== Unpack of the step's package (best of $runs)"
compare_unpack step.zip step
echo
mkdir empty
"$mkpatch" diff empty new -o full 2>/dev/null
"$mkpatch" pack full -o full.zip 2>/dev/null
echo "== Unpack of a package of the whole new build: $(du -sb full | cut -f1) bytes in $(stat -c %s full.zip) (best of $runs)"
compare_unpack full.zip full
