#!/usr/bin/env bash
# Patch sizes on published builds from Debian's archive: each step's package
# (osmel-mkpatch diff + pack) against bsdiff, xdelta3 -9 and zstd -19 --long --patch-from
# run per changed file, each added file counted as zstd -19 of it for all four. Also the
# diff time against bsdiff's on the same files and the apply speed of kpatchl-w32.exe on
# the step's largest difference. Every step is applied with osmel-mkpatch apply and
# compared byte for byte with the new build.
# Usage: bench/delta.sh [PACKAGE=VERSION,VERSION[,...] ...]
# The .deb files and their trees stay under build/delta-bench/ between runs.
set -euo pipefail
cd "$(dirname "$0")/.."
sets=("$@")
if [ ${#sets[@]} -eq 0 ]; then
  sets=("libssl3=3.0.17-1~deb12u2,3.0.20-1~deb12u2,3.0.22-1~deb12u2")
fi
preset=release
build=build/$preset
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target osmel-mkpatch kpatchl >/dev/null
mkpatch=$PWD/$build/tools/mkpatch/osmel-mkpatch
kpatchl=$PWD/$build/tools/kpatchl/kpatchl-w32.exe
cache=$PWD/build/delta-bench
mkdir -p "$cache"
for tool in bsdiff xdelta3 zstd; do
  command -v $tool >/dev/null || { echo "delta.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/osmel-bench-delta.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The unpacked tree of one published version, fetched once.
tree() {
  local package=$1 version=$2 dir=$cache/$1/$2
  if [ ! -d "$dir" ]; then
    (cd "$cache" && apt-get download -q "$package=$version" >/dev/null 2>&1) || true
    local deb
    deb=$(ls "$cache/${package}_"*"${version#*:}"_*.deb 2>/dev/null | head -n 1)
    [ -n "$deb" ] || { echo "delta.sh: apt-get download $package=$version failed" >&2; exit 1; }
    mkdir -p "$(dirname "$dir")"
    dpkg-deb -x "$deb" "$dir.part"
    mv "$dir.part" "$dir"
  fi
  echo "$dir"
}

now() { date +%s.%N; }
size() { stat -c %s "$1"; }

printf '%-34s %9s %9s %9s %9s %9s %6s %6s %8s %8s\n' step changed ours bsdiff xdelta3 zstd \
  /bsdiff /zstd diff-s bsdiff-s
total_ours=0 total_bs=0 total_xd=0 total_zs=0 total_time=0 total_bstime=0
for set in "${sets[@]}"; do
  package=${set%%=*}
  IFS=, read -r -a versions <<<"${set#*=}"
  for ((i = 1; i < ${#versions[@]}; i++)); do
    old=$(tree "$package" "${versions[i - 1]}")
    new=$(tree "$package" "${versions[i]}")
    rm -rf "$work/step" "$work/install" "$work/other"
    mkdir -p "$work/other"
    start=$(now)
    "$mkpatch" diff "$old" "$new" -o "$work/step" 2>"$work/diff.log"
    ours_time=$(echo "$(now) - $start" | bc -l)
    "$mkpatch" pack "$work/step" -o "$work/step.zip" 2>/dev/null
    ours=$(size "$work/step.zip")

    cp -a "$old" "$work/install"
    # The engine runs the installation's own difference tool.
    mkdir -p "$work/install/bin"
    cp "$kpatchl" "$work/install/bin/kpatchl-w32.exe"
    "$mkpatch" apply "$work/step" "$work/install" >"$work/apply.log"
    rm -r "$work/install/bin/kpatchl-w32.exe"
    rmdir "$work/install/bin" 2>/dev/null || true
    if ! diff -r "$work/install" "$new" >/dev/null; then
      echo "delta.sh: applying $package ${versions[i - 1]} -> ${versions[i]} did not give the new build" >&2
      exit 1
    fi

    bs=0 xd=0 zs=0 changed=0 bs_time=0 largest="" largest_size=0
    while IFS= read -r rel; do
      [ -n "$rel" ] || continue
      rel=${rel//\\//}
      changed=$((changed + $(size "$new/$rel")))
      start=$(now)
      bsdiff "$old/$rel" "$new/$rel" "$work/other/b"
      bs_time=$(echo "$bs_time + $(now) - $start" | bc -l)
      xdelta3 -9 -f -e -s "$old/$rel" "$new/$rel" "$work/other/x"
      zstd -q -f -19 --long=31 --patch-from="$old/$rel" "$new/$rel" -o "$work/other/z"
      bs=$((bs + $(size "$work/other/b")))
      xd=$((xd + $(size "$work/other/x")))
      zs=$((zs + $(size "$work/other/z")))
      if [ "$(size "$new/$rel")" -gt "$largest_size" ]; then
        largest=$rel
        largest_size=$(size "$new/$rel")
      fi
    done < <(tr -d '\r' <"$work/step/patchedFiles.txt" | awk 'NR % 3 == 1')
    while IFS= read -r rel; do
      [ -n "$rel" ] || continue
      rel=${rel//\\//}
      changed=$((changed + $(size "$new/$rel")))
      zstd -q -f -19 "$new/$rel" -o "$work/other/a"
      added=$(size "$work/other/a")
      bs=$((bs + added)) xd=$((xd + added)) zs=$((zs + added))
    done < <(tr -d '\r' <"$work/step/addedFiles.txt" | awk 'NR % 3 == 1')

    name="$package ${versions[i - 1]%%-*}->${versions[i]%%-*}"
    printf '%-34s %9d %9d %9d %9d %9d %6.3f %6.3f %8.1f %8.1f\n' "$name" $changed $ours $bs $xd $zs \
      "$(echo "$ours / $bs" | bc -l)" "$(echo "$ours / $zs" | bc -l)" "$ours_time" "$bs_time"
    grep -E '^diff: .*bytes\)$' "$work/diff.log" | sed 's/^/    /'
    if [ -n "$largest" ]; then
      start=$(now)
      "$kpatchl" "$old/$largest" "$work/step/data/$largest.diff" "$work/out"
      apply_time=$(echo "$(now) - $start" | bc -l)
      cmp -s "$work/out" "$new/$largest"
      printf '    apply %s: %.0f MB/s of output (%d bytes, %.2f s)\n' "$largest" \
        "$(echo "$largest_size / $apply_time / 1000000" | bc -l)" "$largest_size" "$apply_time"
    fi
    total_ours=$((total_ours + ours)) total_bs=$((total_bs + bs))
    total_xd=$((total_xd + xd)) total_zs=$((total_zs + zs))
    total_time=$(echo "$total_time + $ours_time" | bc -l)
    total_bstime=$(echo "$total_bstime + $bs_time" | bc -l)
  done
done
printf '%-34s %9s %9d %9d %9d %9d %6.3f %6.3f %8.1f %8.1f\n' total "" $total_ours $total_bs \
  $total_xd $total_zs "$(echo "$total_ours / $total_bs" | bc -l)" \
  "$(echo "$total_ours / $total_zs" | bc -l)" "$total_time" "$total_bstime"
echo "goals: ours/bsdiff <= 0.85, ours/zstd <= 0.6, diff time <= bsdiff's, apply >= 200 MB/s"
