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

# expect STATUS COMMAND...: runs the command, keeps stdout/stderr in out/err.
expect() {
  local want=$1
  shift
  "$@" >out 2>err
  local got=$?
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
