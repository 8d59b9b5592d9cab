#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for SECONDS (default 60) against its
# corpus, two targets at a time. The target fuzz/<folder>/fuzz_<name> reads the corpus
# fuzz/<folder>/corpus/<name>, which is only read: new inputs go to a scratch folder, so
# the kept corpus changes by hand only. A crash, a leak or a target without a corpus fails.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mapfile -t targets < <(find build/fuzz/fuzz -type f -name 'fuzz_*' -perm -u+x | sort)
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no fuzz targets were built" >&2
  exit 1
fi
for target in "${targets[@]}"; do
  folder=$(basename "$(dirname "$target")")
  name=$(basename "$target")
  if [ ! -d "fuzz/$folder/corpus/${name#fuzz_}" ]; then
    echo "fuzz: $name has no corpus at fuzz/$folder/corpus/${name#fuzz_}" >&2
    exit 1
  fi
done

# One target: its log is shown only when it fails.
run_one() {
  local target=$1 seconds=$2 scratch=$3
  local folder name work
  folder=$(basename "$(dirname "$target")")
  name=$(basename "$target")
  work="$scratch/$name"
  mkdir -p "$work/new" "$work/artifacts"
  if "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    "$work/new" "fuzz/$folder/corpus/${name#fuzz_}" >"$work/log" 2>&1; then
    echo "fuzz: $name ran ${seconds}s: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$work/log" |
      grep -o '[0-9]*$') runs, no fault"
  else
    tail -n 60 "$work/log" >&2
    echo "fuzz: $name FAILED" >&2
    return 1
  fi
}
export -f run_one
printf '%s\n' "${targets[@]}" | xargs -P 2 -I{} bash -c 'run_one "$@"' _ {} "$seconds" "$scratch"
echo "fuzz: ${#targets[@]} targets ran ${seconds}s each without a fault"
