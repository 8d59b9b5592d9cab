# Shared by the osmel-mkpatch command tests, sourced after they have read their arguments:
# a temporary working directory (the current directory from here on, removed at the end),
# failures counted rather than fatal, and the summary that sets the exit status.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# run PROGRAM ARGS...: the Windows build's programs run through the emulator that
# OSMEL_TOOL_EMULATOR names (scripts/wine-run.sh), the others directly.
run() {
  if [ -n "${OSMEL_TOOL_EMULATOR:-}" ]; then
    "$OSMEL_TOOL_EMULATOR" "$@"
  else
    "$@"
  fi
}

# expect STATUS COMMAND...: runs the command, keeps stdout/stderr in out/err (a Windows
# program's CR LF line ends as LF).
expect() {
  local want=$1
  shift
  run "$@" >out 2>err
  local got=$?
  [ -z "${OSMEL_TOOL_EMULATOR:-}" ] || sed -i 's/\r$//' out err
  [ "$got" -eq "$want" ] || fail "'$*' exited $got, expected $want; stderr: $(cat err)"
}

# The last line of a test: its verdict and exit status.
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures failures" >&2
    exit 1
  fi
  echo "all checks passed"
}
