# The part of every build's wine-run (cmake/wine-run.in, cmake/wine-run-chroot.in)
# that is the same whichever Wine runs the programs: the options, and the test
# mode. Sourced by them with `run_wine` defined (it runs its arguments under Wine,
# the first being the loader or the server, and replaces the wrapper's process
# when `exec_wine` is set, so that signals reach Wine) and `loader`, `server`
# and `prefix` set.
#
#   wine-run PROGRAM ARGS...   one program
#   wine-run --test PROGRAM ARGS...
#                              the same, for CTest (its emulator): should Wine end
#                              the program at start with no output at all, within
#                              a second and with a failure, that start hiccup is
#                              said on stderr and the program run once more. Any
#                              other failure stands.
#   wine-run --server ARGS...  the prefix's wine server (-p: persistent, -k: stop)
#   wine-run --version         which Wine this is
#   wine-run --loader          the path of its loader
#   wine-run --prefix          the prefix

run_test() {
  local out status started elapsed
  out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
  started=$EPOCHREALTIME
  run_wine "$loader" "$@" 2>&1 | tee "$out"
  status=${PIPESTATUS[0]}
  elapsed=$(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')
  if ((status != 0)) && [[ ! -s $out ]] && awk -v e="$elapsed" 'BEGIN { exit !(e < 1) }'; then
    echo "wine-run: Wine ended $1 at start with no output (exit $status after $elapsed s):" \
      "a Wine start hiccup; running it once more" >&2
    rm -f "$out"
    run_wine "$loader" "$@"
    return
  fi
  rm -f "$out"
  return "$status"
}

case "${1:-}" in
  --server)
    shift
    exec_wine=1 run_wine "$server" "$@"
    ;;
  --version) exec_wine=1 run_wine "$loader" --version ;;
  --loader) echo "$loader" ;;
  --prefix) echo "$prefix" ;;
  --test)
    shift
    run_test "$@"
    ;;
  *) exec_wine=1 run_wine "$loader" "$@" ;;
esac
