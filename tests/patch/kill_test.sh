#!/usr/bin/env bash
# Kill test: a real multi-file step (adds, deletes, patches, a large file, the uninstaller
# log) is applied by osmel-mkpatch apply in a child process that is killed with SIGKILL at
# a random moment within 1.1 times the step's measured duration; osmel-mkpatch recover
# then runs and is itself killed at a random moment within 1.5 times a recovery's measured
# duration; a last recover then finishes, and every file of the installation must match the old or the new build,
# whole: each file with its MD5, nothing extra, no backups, the matching uninstaller log.
# Usage: kill_test.sh MKPATCH MKBUILDS KPATCHL [SEEDS]   (SEEDS default 100, or
# OSMEL_KILL_SEEDS)
set -euo pipefail
mkpatch=$(realpath "$1")
mkbuilds=$(realpath "$2")
kpatchl=$(realpath "$3")
seeds=${4:-${OSMEL_KILL_SEEDS:-100}}

work=$(mktemp -d "${TMPDIR:-/tmp}/osmel-kill.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

"$mkbuilds" chain builds --builds old,new --files 60 --size-mib 16 --changed 30 \
  --deleted 5 --added 5 --seed 7
"$mkpatch" diff builds/old builds/new -o patch >/dev/null 2>&1

# The installation: the old build with the difference tool and a setup-written log.
cp -a builds/old install.old
mkdir -p install.old/bin
cp "$kpatchl" install.old/bin/kpatchl-w32.exe
"$mkbuilds" uninstall-log install.old

manifest() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 md5sum); }

# The new installation, from one uninterrupted step at the path every run uses (the
# uninstaller log records full paths); its duration sets the kill window.
cp -a install.old run
start=$EPOCHREALTIME
"$mkpatch" apply patch run >/dev/null
end=$EPOCHREALTIME
window_us=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%d", (b - a) * 1100000 }')
manifest install.old >old.md5
manifest run >new.md5
cmp -s old.md5 new.md5 && { echo "FAIL: the step changed nothing"; exit 1; }

# The recovery's duration, from a step killed half way, sets the window for killing it.
rm -rf run
cp -a install.old run
"$mkpatch" apply patch run >/dev/null 2>&1 &
child=$!
sleep "$(awk -v d="$window_us" 'BEGIN { printf "%.6f", d / 2200000 }')"
kill -KILL "$child" 2>/dev/null || true
wait "$child" 2>/dev/null || true
start=$EPOCHREALTIME
"$mkpatch" recover run >/dev/null
end=$EPOCHREALTIME
recover_us=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%d", (b - a) * 1500000 }')

before=0
after=0
failures=0
RANDOM=1
for ((seed = 1; seed <= seeds; seed++)); do
  rm -rf run
  cp -a install.old run
  step_us=$(((RANDOM * 32768 + RANDOM) % (window_us + 1)))
  "$mkpatch" apply patch run >/dev/null 2>&1 &
  child=$!
  sleep "$(awk -v d="$step_us" 'BEGIN { printf "%.6f", d / 1000000 }')"
  kill -KILL "$child" 2>/dev/null || true
  wait "$child" 2>/dev/null || true
  delay_us=$(((RANDOM * 32768 + RANDOM) % (recover_us + 1)))
  "$mkpatch" recover run >/dev/null 2>&1 &
  child=$!
  sleep "$(awk -v d="$delay_us" 'BEGIN { printf "%.6f", d / 1000000 }')"
  kill -KILL "$child" 2>/dev/null || true
  wait "$child" 2>/dev/null || true
  if ! "$mkpatch" recover run >recover.out 2>&1; then
    echo "seed $seed: recover failed: $(cat recover.out)"
    failures=$((failures + 1))
    continue
  fi
  manifest run >run.md5
  if cmp -s run.md5 old.md5; then
    before=$((before + 1))
  elif cmp -s run.md5 new.md5; then
    after=$((after + 1))
  else
    echo "seed $seed (kills at ${step_us} us and ${delay_us} us): neither build:"
    diff old.md5 run.md5 | head -n 10 || true
    failures=$((failures + 1))
  fi
done
echo "kill test: $seeds runs, step ${window_us} us window, recovery ${recover_us} us window; ended as the old build $before," \
  "as the new build $after; failures $failures"
[ "$failures" -eq 0 ]
