#!/usr/bin/env bash
# Makes a standalone patching setup from a build tree's tools:
#   OUT/builds/<build>/     the chain of builds (osmel-mkbuilds)
#   OUT/install/            the first build installed: the difference tool and the utility
#                           tool double in bin/, the uninstaller log setup writes
#   OUT/registry.reg        a registry store that registers OUT/install
#   OUT/patcher             osmel-patcher with one step per pair of builds appended
# Usage: standalone-fixture.sh BUILD_DIR OUT [--builds A,B,C] [--files N] [--size-mib N]
#        [--seed N]
# Other osmel-mkbuilds chain options pass through. Tests, the demo and the benchmarks
# share it, so they all patch the same kind of installation.
set -euo pipefail
build=$(realpath "$1")
out=$2
shift 2
builds=41590,41600,41610
chain=()
while [ $# -gt 0 ]; do
  case "$1" in
    --builds) builds=$2; shift 2 ;;
    *) chain+=("$1" "$2"); shift 2 ;;
  esac
done

mkpatch=$build/tools/mkpatch/osmel-mkpatch
mkbuilds=$build/tools/mkbuilds/osmel-mkbuilds
mkdir -p "$out"
out=$(realpath "$out")
rm -rf "$out/builds" "$out/install" "$out/steps" "$out/patcher"
"$mkbuilds" chain "$out/builds" --builds "$builds" "${chain[@]}"

IFS=, read -r -a list <<<"$builds"
steps=()
mkdir -p "$out/steps"
for ((i = 0; i + 1 < ${#list[@]}; i++)); do
  from=${list[i]}
  to=${list[i + 1]}
  "$mkpatch" diff "$out/builds/$from" "$out/builds/$to" -o "$out/steps/$from" >/dev/null 2>&1
  "$mkpatch" pack "$out/steps/$from" -o "$out/steps/$from.pkg" >/dev/null 2>&1
  rm -rf "${out:?}/steps/$from"
  steps+=(--step "$from" "$to" "$out/steps/$from.pkg" --probe-from "$out/builds/$from")
done
"$mkpatch" archive "$build/src/app/osmel-patcher" -o "$out/patcher" "${steps[@]}" >/dev/null 2>&1
chmod +x "$out/patcher"

cp -a "$out/builds/${list[0]}" "$out/install"
cp "$build/tools/kpatchl/kpatchl-w32.exe" "$build/tools/kelvorutil/KelvorUtil.exe" \
  "$out/install/bin/"
"$mkbuilds" uninstall-log "$out/install"

cat >"$out/registry.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Osmel\\Products\\KelvorSimulator\\Kelvor]
"ProductClass"="Kelvor"
"ProductInstallPath"="$out/install"
REG
