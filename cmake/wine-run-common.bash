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
#                              other failure stands. A test program that does not
#                              exit after its last words is shown and ended.
#   wine-run --server ARGS...  the prefix's wine server (-p: persistent, -k: stop)
#   wine-run --version         which Wine this is
#   wine-run --loader          the path of its loader
#   wine-run --prefix          the prefix

# The program writes to a file, which is streamed to the caller as it grows: a
# Wine process that the program starts and that outlives it (the desktop, a
# service) inherits that file rather than the caller's pipe, so CTest is never
# left waiting for a pipe to close after the program has ended.
run_streamed() { # PROGRAM ARGS...: its status; `wrote` says whether it wrote anything
  local out program streamer guard status
  out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
  # exec_wine: the background job becomes Wine itself, so `program` is its pid.
  exec_wine=1 run_wine "$loader" "$@" </dev/null >"$out" 2>&1 &
  program=$!
  tail -n +1 -s 0.05 -f --pid="$program" "$out" &
  streamer=$!
  guard_exit "$program" "$out" &
  guard=$!
  wait "$program"
  status=$?
  kill "$guard" 2>/dev/null
  wait "$streamer"
  wait "$guard" 2>/dev/null
  wrote=0
  [[ -s $out ]] && wrote=1
  rm -f "$out"
  return "$status"
}

# A GoogleTest program that has printed its last summary line ("[==========] N
# tests from M test suites ran.") has nothing left to do but exit. Should it
# still be there 30 s later, its Linux threads are shown (Wine names them after
# the Windows threads), with what each is blocked in, and it is ended: the test
# fails at once, saying so, rather than at CTest's time-out with nothing to go on.
guard_exit() { # PID OUTPUT
  local pid=$1 out=$2 finished=
  while kill -0 "$pid" 2>/dev/null; do
    if [[ -z $finished ]]; then
      grep -qE '^\[==========\] .* ran\.' "$out" 2>/dev/null && finished=$SECONDS
    elif ((SECONDS - finished >= 30)); then
      {
        echo "wine-run: the program printed its summary 30 s ago and has not exited; its threads:"
        local task
        for task in /proc/"$pid"/task/*; do
          printf '  %s %-24s state %s, in %s, syscall %s\n' "${task##*/}" \
            "$(cat "$task/comm" 2>/dev/null)" "$(awk '{ print $3 }' "$task/stat" 2>/dev/null)" \
            "$(cat "$task/wchan" 2>/dev/null)" "$(cut -d' ' -f1 "$task/syscall" 2>/dev/null)"
        done
      } >&2
      kill -KILL "$pid" 2>/dev/null
      return
    fi
    sleep 0.5
  done
}

run_test() {
  local started=$EPOCHREALTIME status=0 elapsed
  run_streamed "$@" || status=$?
  elapsed=$(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')
  if ((status != 0 && !wrote)) && awk -v e="$elapsed" 'BEGIN { exit !(e < 1) }'; then
    echo "wine-run: Wine ended $1 at start with no output (exit $status after $elapsed s):" \
      "a Wine start hiccup; running it once more" >&2
    run_streamed "$@"
    return
  fi
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
