#!/usr/bin/env bash
# The patching engine's own cost beyond the difference tool's runs, with osmel-mkpatch
# apply (the engine exactly as a session runs it) on two steps:
#   1,000 small patched files; one 1 GiB patched file.
# The tools' share is measured by starting the same kpatchl-w32.exe command lines one after
# another the way the engine does (osmel_bench_run_commands: CreateProcess, wait); the
# engine's own time (lists, MD5s, backups, journals) is apply minus that. Then the uninstaller log update for a 10 MiB log and 1,000 files.
# Usage: bench/engine.sh [RUNS]   (default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
preset=release
build=$PWD/build/$preset
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target osmel-mkpatch kpatchl osmel_bench_uninstall_log \
  osmel_bench_run_commands >/dev/null
mkpatch=$build/tools/mkpatch/osmel-mkpatch
kpatchl=$build/tools/kpatchl/kpatchl-w32.exe

work=$(mktemp -d "${TMPDIR:-/tmp}/osmel-bench-engine.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

now() { date +%s.%N; }

# step NAME: best apply time and best sequential tool time over RUNS fresh installations.
step() {
  local name=$1 best_apply="" best_tool="" t s
  for _ in $(seq "$runs"); do
    rm -rf inst && cp -r old inst && cp "$kpatchl" inst/bin/kpatchl-w32.exe
    sync
    s=$(now)
    "$mkpatch" apply patch inst >/dev/null
    t=$(echo "$(now) - $s" | bc -l)
    if [ -z "$best_apply" ] || [ "$(echo "$t < $best_apply" | bc -l)" -eq 1 ]; then best_apply=$t; fi

    # The same tool runs, without the engine: backups prepared outside the timing.
    rm -rf inst && cp -r old inst && cp "$kpatchl" inst/bin/kpatchl-w32.exe
    tr -d '\r' <patch/patchedFiles.txt | awk 'NR % 3 == 1' | tr '\\' '/' >paths
    : >commands
    while IFS= read -r rel; do
      mv "inst/$rel" "inst/$rel.pbk"
      printf '"%s" "%s" "%s" "%s"\n' "$PWD/inst/bin/kpatchl-w32.exe" "$PWD/inst/$rel.pbk" \
        "$PWD/patch/data/$rel.diff" "$PWD/inst/$rel" >>commands
    done <paths
    sync
    t=$("$build/bench/patch/osmel_bench_run_commands" commands "$PWD/inst/bin")
    if [ -z "$best_tool" ] || [ "$(echo "$t < $best_tool" | bc -l)" -eq 1 ]; then best_tool=$t; fi
  done
  printf '%s: apply %.3f s, difference tool runs %.3f s, engine own %.3f s = %.1f%% of the whole\n' \
    "$name" "$best_apply" "$best_tool" "$(echo "$best_apply - $best_tool" | bc -l)" \
    "$(echo "($best_apply - $best_tool) * 100 / $best_apply" | bc -l)"
}

echo "== 1,000 small patched files (best of $runs)"
/usr/bin/python3 - <<'PY'
import os, random
rng = random.Random(5)
for i in range(1000):
    d = "data/set%02d" % (i // 50)
    for root in ("old", "new"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    base = bytes(rng.getrandbits(8) for _ in range(6000))
    open(os.path.join("old", d, "file%04d.dat" % i), "wb").write(base)
    edited = bytearray(base); edited[100:108] = b"EDITED!!"
    open(os.path.join("new", d, "file%04d.dat" % i), "wb").write(bytes(edited) + b"v2")
os.makedirs("old/bin", exist_ok=True); os.makedirs("new/bin", exist_ok=True)
PY
"$mkpatch" diff old new -o patch --level 3 2>/dev/null
step "1,000 files of 6 KB"

echo
echo "== One 1 GiB patched file (best of $runs)"
rm -rf old new patch inst
mkdir -p old/bin new/bin
find /usr/lib/x86_64-linux-gnu /usr/bin -type f -size +64k 2>/dev/null | sort | xargs cat 2>/dev/null |
  head -c $((1 << 30)) >old/bin/Kelvor.exe || true
cp old/bin/Kelvor.exe new/bin/Kelvor.exe
for at in 1000000 300000000 700000000; do
  printf 'EDITED BY THE STEP' | dd of=new/bin/Kelvor.exe bs=1 seek=$at conv=notrunc status=none
done
"$mkpatch" diff old new -o patch --level 3 2>/dev/null
echo "difference file: $(stat -c %s patch/data/bin/Kelvor.exe.diff) bytes"
step "1 GiB file"
s=$(now)
"$mkpatch" md5 old/bin/Kelvor.exe >/dev/null
printf 'of which the checksum of the 1 GiB file before patching: %.3f s (osmel-mkpatch md5)\n' \
  "$(echo "$(now) - $s" | bc -l)"

echo
echo "== Uninstaller log update"
"$build/bench/patch/osmel_bench_uninstall_log" --benchmark_min_time=1 2>/dev/null | grep BM_
