#!/usr/bin/env bash
# Runs every test, a leg at a time, and ends with what each leg ran and took:
#   x86_64  the x86_64 build's test programs under the machine's Wine (CTest),
#           then the end-to-end tests of its release DLL through Wine's serial
#           stack against zrvsim (tests/e2e/run-e2e.sh);
#   i686    the same for the i686 build, whose DLL is the one that ships, under
#           Debian sid's Wine 10 in WoW64 mode, from a chroot
#           (scripts/wow64-root.sh). Where this machine cannot run 32-bit code at
#           all (cmake/Wine.cmake probes it), the i686 build runs its static
#           checks only, this is said loudly, and the x86_64 end-to-end tests run
#           once more under the chroot's Wine 10, so that Wine 10's serial stack
#           is still covered;
#   native  zrvsim and libzrvline.so (linesim/), built with the host compiler.
# LEGS chooses the Windows legs (default "x86_64 i686"; LEGS=x86_64 for one).
# KWELMORA_REQUIRE_I686=1 makes an i686 leg that cannot run a failure.
# Nothing is retried but a Wine start hiccup (wine-run --test says so).
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-server.bash

legs=${LEGS:-x86_64 i686}
status=0
summary=()
# Every wine server this run starts is stopped by it at the end; one already
# running for a prefix is used and left running.
servers=()
start_server() { # RUN
  wine_server_owned=0
  use_wine_server "$1" || return
  ((wine_server_owned)) && servers+=("$1")
  return 0
}
cleanup() {
  local run
  for run in "${servers[@]}"; do
    wine_server_owned=1
    release_wine_server "$run"
  done
}
trap cleanup EXIT

# timed NAME COMMAND...: runs it, notes its outcome and time for the summary.
timed() {
  local name=$1 started=$SECONDS result=0
  shift
  echo
  echo "=== $name"
  "$@" || result=$?
  summary+=("$(printf '%-58s %5d s  %s' "$name" $((SECONDS - started)) \
    "$( ((result == 0)) && echo ok || echo FAILED)")")
  ((result == 0)) || status=1
}

ctest_leg() { # PRESET
  ctest --preset "$1" -j2 --no-tests=error
}

# The tests of a leg, by name, as CTest lists them.
test_names() { # PRESET
  ctest --preset "$1" -N | sed -n 's/^ *Test *#[0-9]*: //p' | sort
}

# The two legs run the same tests, but for those tests/legs-differ.txt lists
# with the reason.
compare_legs() {
  local x86_64 i686 listed
  x86_64=$(test_names x86_64) && i686=$(test_names i686) || return 1
  listed=$(grep -v '^#' tests/legs-differ.txt | awk 'NF { print $1 " " $2 }' | sort)
  local differ
  differ=$(comm -3 <(echo "$x86_64") <(echo "$i686") |
    awk -F'\t' '{ print ($1 != "" ? "x86_64 " $1 : "i686 " $2) }' | sort)
  if [[ $differ != "$listed" ]]; then
    echo "run-tests: the legs' tests differ other than tests/legs-differ.txt says:"
    diff <(echo "$listed") <(echo "$differ") | sed -n 's/^[<>] /  /p'
    return 1
  fi
  echo "both legs: $(wc -l <<<"$x86_64") tests each$( [[ -n $listed ]] &&
    echo ", but for those in tests/legs-differ.txt")"
}

native() {
  cmake -S linesim -B build/native >/dev/null && cmake --build build/native -j2 &&
    ctest --test-dir build/native -j2 --output-on-failure --no-tests=error
}

i686_runs=1
if [[ -f build/i686/ia32-refused ]]; then
  i686_runs=0
fi

for leg in $legs; do
  case $leg in
    x86_64)
      timed "x86_64: start the machine's Wine" start_server build/x86_64/wine-run || continue
      timed "x86_64: test programs ($(build/x86_64/wine-run --version))" ctest_leg x86_64
      timed "native: zrvsim and libzrvline.so" native
      timed "x86_64: end to end through Wine's serial stack" bash tests/e2e/run-e2e.sh
      ;;
    i686)
      if ((!i686_runs)); then
        timed "i686: static checks of the DLL" ctest --preset i686 --no-tests=error
        echo
        echo "!!! The i686 leg did not run its programs: $(cat build/i686/ia32-refused)"
        echo "!!! Only its static checks ran; the x86_64 end-to-end tests run under Wine 10 instead."
        summary+=("i686: programs NOT RUN (this machine refuses 32-bit code)")
        [[ ${KWELMORA_REQUIRE_I686:-0} == 1 ]] && status=1
        timed "Wine 10 chroot (made on first use)" bash scripts/wow64-root.sh ensure || continue
        timed "x86_64 under Wine 10: start its server" start_server build/x86_64/wine-run-chroot ||
          continue
        timed "x86_64 under Wine 10: end to end through its serial stack" \
          env KWELMORA_WINE_RUN=build/x86_64/wine-run-chroot bash tests/e2e/run-e2e.sh
        continue
      fi
      timed "Wine 10 chroot (made on first use)" bash scripts/wow64-root.sh ensure || continue
      timed "i686: start Wine 10 (WoW64)" start_server build/i686/wine-run || continue
      timed "i686: test programs ($(build/i686/wine-run --version), WoW64)" ctest_leg i686
      timed "i686: end to end through Wine 10's serial stack" \
        env KWELMORA_WINDOWS_BUILD=build/i686 bash tests/e2e/run-e2e.sh
      ;;
    *)
      echo "run-tests: unknown leg '$leg' (x86_64, i686)" >&2
      status=1
      ;;
  esac
done

if ((i686_runs)) && [[ " $legs " == *" x86_64 "* && " $legs " == *" i686 "* ]]; then
  timed "both legs run the same tests" compare_legs
fi

echo
echo "=== Summary"
printf '%s\n' "${summary[@]}"
exit $status
