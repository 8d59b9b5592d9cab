#!/usr/bin/env bash
# Builds the Debian packages from the release build tree, installs them on this machine
# with dpkg, checks them as their users meet them (programs on PATH, the window, the polkit
# action, the service, the manual pages, lintian), then removes and purges them and checks that
# nothing of theirs is left. Needs root (dpkg).
# Usage: scripts/package-test.sh [PRESET]   (default: release)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
build=build/$preset

fail() {
  echo "package-test: $*" >&2
  exit 1
}
[ "$(id -u)" -eq 0 ] || fail "installing packages needs root"
# Runs a command with its output kept back, shown only when it fails.
quiet() {
  local log status=0
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  [ $status -eq 0 ] || cat "$log" >&2
  rm -f "$log"
  return $status
}

scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
rm -rf "$build/packages"
(cd "$build" && quiet cpack -G DEB) || fail "cpack failed"
mapfile -t debs < <(ls "$build"/packages/*.deb)
packages=()
for deb in "${debs[@]}"; do
  packages+=("$(dpkg-deb -f "$deb" Package)")
done
echo "package-test: built ${packages[*]}"
[ ${#debs[@]} -eq 3 ] || fail "expected three packages, got ${#debs[@]}"

# Errors fail; the warnings left are shown (the README's Install section says why).
lintian --fail-on error "${debs[@]}" 2>&1 | grep -v '^running with root privileges' || true
[ "${PIPESTATUS[0]}" -eq 0 ] || fail "lintian found errors"

# A run cut off earlier may have left them installed.
dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
quiet dpkg -i "${debs[@]}" || fail "dpkg -i failed"
installed=$(mktemp)
trap 'rm -f "$installed"' EXIT
for p in "${packages[@]}"; do
  dpkg -L "$p" >>"$installed"
done

version=$(sed -n 's/^project(OsmelPatcher VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mapfile -t programs < <(sed -n 's|^/usr/bin/||p' "$installed" | sort)
for program in osmel-patcher osmel-mkpatch osmel-repaird; do
  [[ " ${programs[*]} " == *" $program "* ]] || fail "no package installs $program"
done
for program in "${programs[@]}"; do
  [ "$(command -v "$program")" = "/usr/bin/$program" ] || fail "$program is not on PATH"
  first=$(env -i PATH=/usr/bin:/bin "$program" --version | head -n 1)
  [[ "$first" == "$program "*"$version" ]] || fail "$program --version said: $first"
  env -i PATH=/usr/bin:/bin "$program" --help | grep -qi usage || fail "$program --help shows no usage"
  man -w "$program" >/dev/null 2>&1 || [ -f "/usr/share/man/man1/$program.1.gz" ] ||
    fail "no manual page for $program"
  zcat "/usr/share/man/man1/$program.1.gz" | grep -q '^\.SH' || fail "$program's manual page is empty"
done
for tool in kpatchl-w32.exe KAConverter.exe; do
  /usr/libexec/osmel/$tool --version | grep -q "^$tool (Osmel Patcher) $version\$" ||
    fail "/usr/libexec/osmel/$tool --version"
done

# The polkit action where polkit reads actions, naming the installed patcher.
policy=/usr/share/polkit-1/actions/org.osmel.patcher.policy
python3 - "$policy" <<'PY' || fail "$policy is not the patcher's action"
import sys, xml.etree.ElementTree as ET
action = ET.parse(sys.argv[1]).getroot().find("action[@id='org.osmel.patcher.elevate']")
notes = {a.get("key"): a.text for a in action.findall("annotate")}
assert notes["org.freedesktop.policykit.exec.path"] == "/usr/bin/osmel-patcher", notes
assert notes["org.freedesktop.policykit.exec.allow_gui"] == "true", notes
PY
desktop-file-validate /usr/share/applications/osmel-patcher.desktop ||
  fail "the desktop entry does not validate"
[ -f /usr/share/icons/hicolor/32x32/apps/osmel-patcher.png ] || fail "no icon in the hicolor theme"

# The installed window opens, shows its log and closes, as the build tree's does.
xvfb-run -a -s "-screen 0 1280x1024x24" bash tests/ui/window_test.sh /usr/bin/osmel-patcher \
  "$build/artefacts/package" || fail "the installed window did not run"

# The service, its user, and the server running from the package as that user.
unit=/usr/lib/systemd/system/osmel-repaird.service
[ -f "$unit" ] || fail "no unit file at $unit"
grep -qx 'ExecStart=/usr/bin/osmel-repaird .*' "$unit" || fail "the unit does not start /usr/bin/osmel-repaird"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"
else
  echo "package-test: systemd-analyze missing, the unit file is not verified"
fi
getent passwd osmel-repaird >/dev/null || fail "the server's user was not made"
reference=$(mktemp -d)
echo data >"$reference/file.txt"
chmod -R a+rX "$reference"
exec {server}< <(exec runuser -u osmel-repaird -- osmel-repaird --root "$reference" --port 0 \
  2>"$reference.err")
server_pid=$!
# The server says what it scanned before it says where it serves.
line=
while read -r -t 10 line <&"$server"; do
  [[ "$line" == "osmel-repaird: serving "* ]] && break
done
kill "$server_pid" 2>/dev/null || true
exec {server}<&-
errors=$(grep -v '^Session terminated' "$reference.err" || true)
rm -rf "$reference" "$reference.err"
[[ "$line" == "osmel-repaird: serving $reference on 127.0.0.1:"* ]] ||
  fail "the packaged server did not start as its user: ${line:-no output} $errors"

quiet dpkg -r "${packages[@]}" || fail "dpkg -r failed"
quiet dpkg --purge "${packages[@]}" || fail "dpkg --purge failed"
left=()
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qvx not-installed; then
    left+=("package $p")
  fi
done
while read -r path; do
  [ "$path" = /. ] || [ ! -e "$path" ] || [ -d "$path" ] || left+=("$path")
done <"$installed"
for d in /usr/libexec/osmel /usr/share/doc/osmel-patcher /usr/share/doc/osmel-mkpatch \
  /usr/share/doc/osmel-repaird; do
  [ ! -e "$d" ] || left+=("$d")
done
getent passwd osmel-repaird >/dev/null && left+=("user osmel-repaird")
getent group osmel-repaird >/dev/null && left+=("group osmel-repaird")
mapfile -t -O ${#left[@]} left < <(find /etc/systemd /var/lib/systemd -name 'osmel-repaird*' 2>/dev/null)
[ ${#left[@]} -eq 0 ] || fail "left after purging: ${left[*]}"
echo "package-test: ${#packages[@]} packages built, installed, checked and purged without a trace"
