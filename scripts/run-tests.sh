#!/usr/bin/env bash
# Runs every test, a leg at a time, and ends with what each leg ran and took:
#   x86_64  the x86_64 build's test programs under the machine's Wine (CTest),
#           then the end-to-end tests of its release DLL through Wine's serial
#           stack against zrvsim (tests/e2e/run-e2e.sh); on a machine whose own
#           Wine is not Wine 10 (Debian 12), the end-to-end tests once more under
#           Debian 13's Wine 10, from the chroot wine10 (scripts/wine-root.sh);
#   i686    the same for the i686 build, whose DLL is the one that ships, under
#           Debian 12's Wine 8 with its 32-bit side, from the chroot wine8-i386.
#           Where the kernel runs no 32-bit programs, scripts/i386-binfmt.sh has
#           them run through qemu-i386; the tests that tests/qemu-excluded.txt
#           names are then left out, each said with its reason. A leg that cannot
#           run fails, saying why;
#   native  zrvsim and libzrvline.so (linesim/), built with the host compiler.
# LEGS chooses the Windows legs (default "x86_64 i686"; LEGS=x86_64 for one).
# Nothing is retried but a Wine start hiccup (wine-run --test says when).
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

ctest_leg() { # PRESET [CTEST ARGS...]
  ctest --preset "$@" -j2 --no-tests=error
}

# The tests left out where 32-bit programs run under qemu: a CTest -E pattern,
# each exclusion printed with its reason.
qemu_exclusions() {
  local name reason pattern=
  while read -r name reason; do
    [[ -z $name || $name == \#* ]] && continue
    echo "i686 under qemu: left out $name: $reason" >&2
    pattern+="${pattern:+|}^$(sed 's#[][\\.*+?(){}|^$]#\\&#g' <<<"$name")\$"
  done <tests/qemu-excluded.txt
  echo "$pattern"
}


# The tests of a leg, by name, as CTest lists them.
test_names() { # PRESET
  # A parameterised test's name ends with its parameter's bytes, which hold
  # addresses: only the name is compared.
  ctest --preset "$1" -N | sed -n 's/^ *Test *#[0-9]*: //p' | sed 's/  # GetParam() = .*//' | sort
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

for leg in $legs; do
  case $leg in
    x86_64)
      timed "x86_64: start the machine's Wine" start_server build/x86_64/wine-run || continue
      timed "x86_64: test programs ($(build/x86_64/wine-run --version))" ctest_leg x86_64
      timed "native: zrvsim and libzrvline.so" native
      timed "x86_64: end to end through Wine's serial stack" bash tests/e2e/run-e2e.sh
      bash scripts/wine-root.sh wine10 wanted || continue
      # Wine 10 rewrote the serial stack: a Debian 12 machine covers it from a chroot.
      timed "Wine 10 chroot (made on first use)" bash scripts/wine-root.sh wine10 ensure || continue
      preload=$(bash scripts/build-preload.sh wine10 build/preload/wine10) || {
        timed "x86_64 under Wine 10: preload built in its chroot" false
        continue
      }
      timed "x86_64 under Wine 10: start its server" start_server build/x86_64/wine-run-chroot ||
        continue
      timed "x86_64 under Wine 10 ($(build/x86_64/wine-run-chroot --version)): end to end" \
        env KWELMORA_WINE_RUN=build/x86_64/wine-run-chroot KWELMORA_PRELOAD="$preload" \
        bash tests/e2e/run-e2e.sh
      ;;
    i686)
      timed "i686: Wine 8 chroot with its 32-bit side (made on first use)" \
        bash scripts/wine-root.sh wine8-i386 ensure || continue
      runs=$(bash scripts/i386-binfmt.sh probe) || {
        timed "i686: 32-bit programs run on this machine" false
        continue
      }
      exclude=()
      if [[ $runs == handler* ]]; then
        echo "i686: 32-bit programs run through $runs ($(bash scripts/i386-binfmt.sh qemu-version))"
        exclude=(-E "$(qemu_exclusions)")
      else
        echo "i686: 32-bit programs run natively"
      fi
      preload=$(bash scripts/build-preload.sh wine8-i386 build/preload/wine8-i386) || {
        timed "i686: preload built in its chroot" false
        continue
      }
      timed "i686: start Wine 8 (32-bit side)" start_server build/i686/wine-run || continue
      timed "i686: test programs ($(build/i686/wine-run --version), ${runs%% *})" \
        ctest_leg i686 "${exclude[@]}"
      timed "i686: end to end through Wine 8's serial stack" \
        env KWELMORA_WINDOWS_BUILD=build/i686 KWELMORA_PRELOAD="$preload" bash tests/e2e/run-e2e.sh
      ;;
    *)
      echo "run-tests: unknown leg '$leg' (x86_64, i686)" >&2
      status=1
      ;;
  esac
done

if [[ " $legs " == *" x86_64 "* && " $legs " == *" i686 "* ]]; then
  timed "both legs run the same tests" compare_legs
fi

echo
echo "=== Summary"
printf '%s\n' "${summary[@]}"
exit $status
