# The part of every build's wine-run (cmake/wine-run.in, cmake/wine-run-chroot.in)
# that is the same whichever Wine runs the programs: the options, and the test
# mode. Sourced by them with `run_wine` defined (it runs its arguments under Wine,
# the first being the loader or the server, and replaces the wrapper's process
# when `exec_wine` is set, so that signals reach Wine) and `loader`,
# `boot_loader` (the 64-bit loader that boots the prefix), `server` and `prefix`
# set.
#
#   wine-run PROGRAM ARGS...   one program
#   wine-run --test PROGRAM ARGS...
#                              the same, for CTest (its emulator). The test passes
#                              only when the program exited 0 and printed its own
#                              result: a GoogleTest program gtest's "[  PASSED  ]"
#                              line for every test it ran (and one test at least;
#                              exactly one when asked for one by name), or its list
#                              of tests; any other program a last line
#                              "NAME: N passed, 0 failed" with N > 0. Anything else
#                              fails, saying what was missing: a program whose Wine
#                              was ended under it exits 0 with neither.
#                              A program that ended with a failure before its own
#                              first code ran (it never wrote its start mark,
#                              tests/start_mark.c) is a Wine start hiccup: said on
#                              stderr and run once more. A test program that does
#                              not exit after its last words is shown and ended.
#   wine-run --test --checked-by-caller PROGRAM ARGS...
#                              the same, but the caller judges the output and the
#                              exit status (tests/tools/expect_run.cmake)
#   wine-run --server ARGS...  the prefix's wine server (-p: persistent, -k: stop)
#   wine-run --boot ARGS...    wineboot, with the 64-bit loader
#   wine-run --version         which Wine this is
#   wine-run --loader          the path of its loader
#   wine-run --prefix          the prefix

# The program writes to a file, which is streamed to the caller as it grows: a
# Wine process that the program starts and that outlives it (the desktop, a
# service) inherits that file rather than the caller's pipe, so CTest is never
# left waiting for a pipe to close after the program has ended.
run_streamed() { # OUTPUT PROGRAM ARGS...: its status; OUTPUT keeps what it printed
  local out=$1 program streamer guard status
  shift
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

# gtest_result ARGS... < OUTPUT: says why a GoogleTest program's output is not a
# pass, or nothing when it is one.
gtest_result() {
  local listing=0 filter= arg
  for arg in "$@"; do
    case $arg in
      --gtest_list_tests) listing=1 ;;
      --gtest_filter=*) filter=${arg#--gtest_filter=} ;;
    esac
  done
  tr -d '\r' | awk -v listing="$listing" -v filter="$filter" '
    /^\[==========\] [0-9]+ tests? from .* ran\./ { ran = $2; summary = 1 }
    /^\[  PASSED  \] [0-9]+ tests?\./ { passed = $4; passedLine = 1 }
    /^\[  SKIPPED \] [0-9]+ tests?,/ { skipped = $4 }
    /^[A-Za-z_][^ ]*\.( *#.*)?$/ { suites++ }
    END {
      if (listing) {
        if (!suites) print "its list of tests is empty"
        exit
      }
      one = filter != "" && filter !~ /[*?:-]/
      if (!summary) print "gtest never said how many tests ran"
      else if (!passedLine) print "gtest printed no [  PASSED  ] line"
      else if (passed + skipped != ran) print "gtest ran " ran " tests but passed " passed
      else if (ran < 1) print "no test ran"
      else if (one && ran != 1) print "asked for one test, it ran " ran
    }'
}

# host_result < OUTPUT: the same for any other program: its last line says
# "NAME: N passed, 0 failed", N > 0.
host_result() {
  tr -d '\r' | awk '
    NF { last = $0 }
    END {
      if (last !~ /^[^:]+: [0-9]+ passed, 0 failed$/) print "its last line is not \"NAME: N passed, 0 failed\""
      else if (last ~ /: 0 passed/) print "it passed nothing"
    }'
}

run_test() {
  local checked_by_caller=0
  if [[ ${1:-} == --checked-by-caller ]]; then
    checked_by_caller=1
    shift
  fi
  local work out mark status=0 attempt why
  work=$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX")
  out=$work/output
  mark=$work/started
  # The program writes the mark from its first code (tests/start_mark.c); Wine
  # sees the machine's / as drive Z:.
  export KWELMORA_START_MARK="Z:${mark//\//\\}"
  for attempt in 1 2; do
    status=0
    : >"$out"
    rm -f "$mark"
    run_streamed "$out" "$@" || status=$?
    # Only a program that writes the mark can be told from one that crashed
    # before its first line of its own: any other failure stands.
    if ((status != 0 && attempt == 1)) && [[ ! -e $mark && ! -s $out ]] &&
      grep -qa KWELMORA_START_MARK "$1"; then
      echo "wine-run: Wine ended $1 with exit $status before the program's own first code" \
        "ran (no start mark, no output): a Wine start hiccup; running it once more" >&2
      continue
    fi
    break
  done
  if ((status == 0 && !checked_by_caller)); then
    if [[ " $* " == *" --gtest_"* ]]; then
      why=$(gtest_result "$@" <"$out")
    else
      why=$(host_result <"$out")
    fi
    if [[ -n $why ]]; then
      echo "wine-run: $1 exited 0 but did not print its own result ($why$([[ -e $mark ]] ||
        echo "; it never wrote its start mark either")): a failure" >&2
      status=1
    fi
  fi
  rm -rf "$work"
  return "$status"
}

case "${1:-}" in
  --server)
    shift
    exec_wine=1 run_wine "$server" "$@"
    ;;
  --boot)
    shift
    exec_wine=1 run_wine "$boot_loader" wineboot "$@"
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
