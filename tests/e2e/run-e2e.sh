#!/usr/bin/env bash
# End-to-end tests of a release Kwelmora.dll (x86_64 or i686) through Wine's own
# serial stack: tests/e2e/e2e_host.exe runs under Wine with libzrvline.so preloaded
# and opens COMn, which the prefix links to the pty of a zrvsim serving the ZRV
# device model. Each scenario group gets a fresh zrvsim (its own COM number and
# temporary image) and one host process, driven a line at a time so that faults
# and the cable can change between two calls.
#
# Every reply of the device is checked, and so is every byte the device saw,
# with the parity it came with (zrvsim's control channel logs them): command
# bytes odd, location, length and record bytes even, nothing sent when nothing
# should be.
#
# The packaged-hosts group builds hosts from the archive (scripts/dist.sh, so
# build/i686 and build/x86_64 must both be built) through its CMake package,
# with MinGW and in Visual Studio mode, and runs those of the given build's
# bitness.
#
# Build directories (override with the environment):
#   KWELMORA_WINDOWS_BUILD  a Windows build (x86_64 or i686) with Kwelmora.dll,
#                           e2e_host.exe, unload_host.exe, zrvtool.exe and the
#                           simulator DLL simulator/Kwelmora.dll (default
#                           build/x86_64)
#   KWELMORA_WINE_RUN       the Wine wrapper that runs its programs (default its
#                           wine-run; build/x86_64/wine-run-chroot runs them under
#                           the chroot's Wine 10); its prefix is used
#   KWELMORA_NATIVE_BUILD   native build of linesim/ (default build/native)
#   KWELMORA_PRELOAD        the libzrvline.so given to Wine (default the native
#                           build's); a Wine in a chroot needs one built there
#                           (scripts/build-preload.sh), and a literal $LIB in it
#                           picks the library of each process's ELF class
#   KWELMORA_E2E_GROUPS     the groups to run, by name (default all of them:
#                           transfers refusals cable parity_lost unload
#                           packaged_hosts trace vanish simulator
#                           simulator_unload simulator_matches_zrvsim
#                           simulator_faults)
# A wine server already running for the prefix is used and left running; one
# started here is stopped at the end.
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/wine-server.bash"
windows_build=$(realpath -m "${KWELMORA_WINDOWS_BUILD:-$root/build/x86_64}")
native_build=$(realpath -m "${KWELMORA_NATIVE_BUILD:-$root/build/native}")
zrvsim=$native_build/bin/zrvsim
preload=${KWELMORA_PRELOAD:-$native_build/bin/libzrvline.so}
host_exe=$windows_build/bin/e2e_host.exe
unload_host_exe=$windows_build/bin/unload_host.exe
simulator_dll=$windows_build/simulator/Kwelmora.dll
zrvtool_exe=$windows_build/bin/zrvtool.exe
wine_run=$(realpath -m "${KWELMORA_WINE_RUN:-$windows_build/wine-run}")

for needed in "$zrvsim" "${preload//\$LIB/lib\/x86_64-linux-gnu}" "$host_exe" "$unload_host_exe" "$windows_build/bin/Kwelmora.dll" \
  "$simulator_dll" "$zrvtool_exe" \
  "$wine_run"; do
  if [[ ! -e $needed ]]; then
    echo "run-e2e: missing $needed" >&2
    echo "run-e2e: build it first: cmake --build build/x86_64 --target e2e_host unload_host" \
      "zrvtool KwelmoraSimulator;" \
      "cmake -S linesim -B build/native && cmake --build build/native" >&2
    echo "0 passed, 1 failed"
    exit 1
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kwelmora-e2e.XXXXXX")
passed=0
failed=0
sim_pid=
host_pid=
group=

# ---- bookkeeping -------------------------------------------------------------

pass() {
  passed=$((passed + 1))
  echo "  ok    $1"
}

fail() {
  failed=$((failed + 1))
  echo "  FAIL  $1"
  shift
  local line
  for line in "$@"; do echo "        $line"; done
}

check() { # name expected actual
  if [[ $2 == "$3" ]]; then pass "$1"; else fail "$1" "expected: $2" "actual:   $3"; fi
}

# Waits (bounded) until process $1 has ended.
wait_gone() {
  timeout "${2:-10}" tail --pid="$1" -f /dev/null 2>/dev/null
}

# reap PID SECONDS: the exit status of process PID in $code, or "none within N s"
# once it had to be killed.
reap() {
  local gone=1
  wait_gone "$1" "$2" || { gone= && kill -KILL "$1" 2>/dev/null; }
  wait "$1" 2>/dev/null
  code=$?
  [[ -n $gone ]] || code="none within $2 s"
}

# stop_host [NAME]: the host quits, with the library in whatever state; exit code 0.
stop_host() {
  [[ -n $host_pid ]] || return 0
  [[ -z ${HOST[1]:-} ]] || echo quit >&"${HOST[1]}" 2>/dev/null
  reap "$host_pid" 10
  host_pid=
  check "${1:-$group: the host exits normally}" "exit 0" "exit $code"
}

stop_sim() {
  [[ -n $sim_pid ]] || return 0
  kill -TERM "$sim_pid" 2>/dev/null
  reap "$sim_pid" 10
  [[ $code != none* ]] || fail "$group: zrvsim stops on SIGTERM" "killed after 10 s"
  sim_pid=
}

finish() {
  stop_host
  stop_sim
  release_wine_server "$wine_run"
  if ((failed == 0)); then rm -rf "$work"; else echo "run-e2e: logs kept in $work"; fi
}
trap finish EXIT
trap 'exit 130' INT TERM HUP
trap 'exec >/dev/null 2>&1; exit 141' PIPE

# ---- zrvsim and the host -----------------------------------------------------

# start_sim DIR COM [zrvsim options]: a zrvsim for COMn, its files in DIR.
start_sim() {
  local dir=$1 com=$2
  shift 2
  mkdir -p "$dir"
  rm -f "$dir/ready"
  "$zrvsim" --prefix "$prefix" --com "$com" --control "$dir/control" --cable "$dir/cable" \
    --ready-file "$dir/ready" "$@" </dev/null >>"$dir/zrvsim.log" 2>&1 &
  sim_pid=$!
  local deadline=$((SECONDS + 10))
  until [[ -f $dir/ready ]]; do
    ((SECONDS < deadline)) && kill -0 "$sim_pid" 2>/dev/null && sleep 0.02 && continue
    fail "$group: zrvsim ready" "$(cat "$dir/zrvsim.log")"
    return 1
  done
  # shellcheck disable=SC1091
  source "$dir/ready"
}

ctl() { "$zrvsim" ctl "$ZRVSIM_CONTROL" "$@"; }

# run_windows EXE [ARGS...]: replaces the shell with EXE under Wine, with the
# cable preloaded.
run_windows() {
  exec env LD_PRELOAD="$preload" ZRVLINE_PTY="$ZRVLINE_PTY" ZRVLINE_CABLE="$ZRVLINE_CABLE" \
    ${drop_parity:+ZRVLINE_DROP_PARITY=1} "$wine_run" "$@"
}

# start_host DIR [EXE]: the host (e2e_host.exe unless EXE), driven through the
# coprocess HOST.
start_host() {
  local exe=${2:-$host_exe}
  coproc HOST { run_windows "$exe" 2>>"$1/host.log"; }
  host_pid=$HOST_PID
}

# host [COMMAND]: sends one command (none: the answer to the last one is still to
# come); its answer is in $answer ("" when none came within ${host_timeout:-10} s).
host() {
  answer=
  [[ -n ${HOST[1]:-} ]] || return 1
  [[ $# == 0 ]] || echo "$*" >&"${HOST[1]}" || return 1
  IFS= read -r -t "${host_timeout:-10}" answer <&"${HOST[0]}" || { answer= && return 1; }
  answer=${answer%$'\r'}
}

# expect NAME COMMAND EXPECTED_ANSWER: the host's answer to one command.
expect() {
  host "$2"
  check "$1" "$3" "$answer"
}

# ---- what the device saw -----------------------------------------------------

# Bytes as the device should see them, "value:parity" separated by blanks.
command_byte() { printf '%d:odd ' "$1"; }
location_block() { printf '%d:even %d:even 30:even ' $((($1 + 60) & 255)) $((($1 + 60) >> 8)); }
record_bytes() { # HEX60
  local hex=$1 i
  for ((i = 0; i < 60; i += 2)); do printf '%d:even ' $((16#${hex:i:2})); done
}
requests() { # N: N requests for the next byte
  local i
  for ((i = 0; i < $1; i++)); do printf '5:odd '; done
}
read_exchange() { # ADDR [REQUESTS]: a read header, then its requests
  command_byte 4
  location_block "$1"
  requests "${2:-30}"
}
write_exchange() { # ADDR HEX60
  command_byte 2
  location_block "$1"
  record_bytes "$2"
}

# expect_seen NAME BYTES: the device saw exactly these bytes since the last
# check. The bytes have all been read by zrvsim once the host has its answer,
# but a short bound covers the read loop catching up. "Nothing" cannot be waited
# for (it would pass before a byte on its way is logged): that a call sent
# nothing shows in the next check, whose bytes must be all the device saw.
expect_seen() {
  local words want seen deadline=$((SECONDS + 3))
  read -ra words <<<"$2"
  want=${words[*]}
  [[ -n $want ]] || { fail "$1" "no bytes to expect: check the next exchange's"; return; }
  while :; do
    seen=$(ctl log | awk '{ printf "%s%s:%s", (NR > 1 ? " " : ""), $1, $2 }')
    # Done when it matches, when it can no longer become a match, or at the bound.
    [[ $seen == "$want" || $want != "$seen"* ]] || ((SECONDS >= deadline)) && break
    sleep 0.01
  done
  ctl clearlog
  if [[ $seen == "$want" ]]; then
    pass "$1"
  else
    fail "$1" "expected: ${want:-(nothing)}" "seen:     ${seen:-(nothing)}"
  fi
}

# A record whose bytes include the command values and ACK/NAK, so that a data
# byte mistaken for a command (or framed odd) shows.
pattern() { # ADDR
  local a=$1 i hex="010204050615"
  hex+=$(printf '%02x%02x' $((a & 255)) $((a >> 8)))
  for ((i = 8; i < 30; i++)); do hex+=$(printf '%02x' $(((a * 7 + i * 37) & 255))); done
  echo "$hex"
}
zeros=$(printf '0%.0s' {1..60})

# The library closes its port: the answer must come within a bound. Should it
# not, the wait is released by a line change (the cable out and back in) so
# that the remaining checks still run.
expect_deinit() {
  host_timeout=5 host deinit
  if [[ -z $answer ]]; then
    fail "$1" "no answer within 5 s: the line-event watcher's WaitCommEvent was not" \
      "cancelled (under Wine CancelIoEx does not end it; SetCommMask does)"
    ctl unplug 1 && ctl unplug 0
    host
    set -- "$1 (after a line change released it)"
  fi
  check "$1" "deinit 1" "$answer"
}

image_record() { # FILE ADDR: the record as stored in an image file
  od -An -v -tx1 -j $((($2 - 1) * 30)) -N 30 "$1" | tr -d ' \n'
}

# ---- scenarios ---------------------------------------------------------------

addresses=(1 2 466 930 931)

group_transfers() {
  group=transfers
  echo "transfers: status, records written and read back, closing"
  local dir=$work/transfers com=31 a
  start_sim "$dir" $com --status 0x5a --image "$dir/image" || return
  start_host "$dir"

  expect "status before the port is open: 1" status "status 1"
  expect "read before the port is open: 1" "read 1" "read 1 $zeros"
  expect "write before the port is open: 1" "write 1 $(pattern 1)" "write 1"
  expect "read of address 0: 9 before anything else" "read 0" "read 9 $zeros"
  expect "write to address 932: 9 before anything else" "write 932 $(pattern 1)" "write 9"

  expect "the port opens" "init $com" "init 1"
  expect "status byte: 0 and the device's byte" status "status 0 90"
  expect_seen "nothing before the port was open; the status request: 1, odd" "$(command_byte 1)"

  for a in "${addresses[@]}"; do
    expect "write record $a: 0" "write $a $(pattern "$a")" "write 0"
    expect_seen "write $a: 2 odd, location $((a + 60)) and 30 even, 30 record bytes even" \
      "$(write_exchange "$a" "$(pattern "$a")")"
    check "record $a stored at its address in the device" "$(pattern "$a")" "$(ctl record "$a")"
  done
  for a in "${addresses[@]}"; do
    expect "read record $a back: 0 and the bytes written" "read $a" "read 0 $(pattern "$a")"
    expect_seen "read $a: 4 odd, location $((a + 60)) and 30 even, 30 requests 5 odd" \
      "$(read_exchange "$a")"
  done
  # Through a USB-serial adapter at the factory's 16 ms: the replies come late and
  # in packets (an ACK and its record byte together); the library takes them so.
  ctl adapter 16 || fail "zrvsim puts an adapter at 16 ms in the line"
  expect "through an adapter at 16 ms: status 0" status "status 0 90"
  expect "through an adapter at 16 ms: record 466 read back" "read 466" "read 0 $(pattern 466)"
  expect "through an adapter at 16 ms: record 2 written again" "write 2 $(pattern 2)" "write 0"
  ctl adapter 0 || fail "zrvsim takes the adapter out of the line"
  expect_seen "through an adapter: status, read 466, write 2, each byte once" \
    "$(command_byte 1)$(read_exchange 466) $(write_exchange 2 "$(pattern 2)")"
  expect "an address never written reads as zeros" "read 3" "read 0 $zeros"
  expect_seen "read 3 exchange" "$(read_exchange 3)"
  expect "read of address 932 with the port open: 9, nothing sent" "read 932" "read 9 $zeros"
  check "record 931 saved in the image file" "$(pattern 931)" "$(image_record "$dir/image" 931)"
  check "no byte with the wrong parity for its place" "violations 0" "$(ctl stats | grep violations)"

  expect_deinit "de-initialisation: true"
  expect "status after de-initialisation: 2" status "status 2"
  expect "read after de-initialisation: 2" "read 1" "read 2 $zeros"
  expect "write after de-initialisation: 2" "write 1 $(pattern 2)" "write 2"
  expect "the port opens again" "init $com" "init 1"
  expect "status after opening again: 0" status "status 0 90"
  expect_seen "nothing for address 932 nor after de-initialisation; then the status request" \
    "$(command_byte 1)"
  expect_deinit "de-initialisation again: true"
  stop_host

  stop_sim
  check "the COM link is removed when zrvsim stops" "absent" \
    "$([[ -L $prefix/dosdevices/com$com ]] && echo present || echo absent)"
  check "record 466 in the image after zrvsim stopped" "$(pattern 466)" \
    "$(image_record "$dir/image" 466)"

  echo "transfers: records survive a restart of zrvsim"
  start_sim "$dir" $com --image "$dir/image" || return
  start_host "$dir"
  expect "the port opens on the new pty" "init $com" "init 1"
  for a in 1 931; do
    expect "record $a read after the restart" "read $a" "read 0 $(pattern "$a")"
  done
  expect_seen "reads after the restart" "$(read_exchange 1) $(read_exchange 931)"
  expect_deinit "de-initialisation after the restart: true"
  stop_host
  stop_sim
}

# The device's replies replaced, one exchange each (the faults fire once), and
# after each a clean read: the next transaction works.
# fault | command | answer | what the device saw
refusal_cases() {
  local k p
  k=$(pattern 5)
  p=$(pattern 6)
  cat <<EOF
read-command-ack:nak|read 5|read 5 $zeros|$(command_byte 4)
write-command-ack:nak|write 5 $p|write 5|$(command_byte 2)
read-location-ack:nak|read 5|read 6 $zeros|$(command_byte 4)$(location_block 5)
write-location-ack:nak|write 5 $p|write 6|$(command_byte 2)$(location_block 5)
read-request-ack#0:nak|read 5|read 5 $zeros|$(read_exchange 5 1)
read-request-ack#29:nak|read 5|read 5 ${k:0:58}00|$(read_exchange 5 30)
read-request-ack#3:late=500|read 5|read 0 $k|$(read_exchange 5)
write-record-ack:nak|write 5 $p|write 7|$(write_exchange 5 "$p")
read-command-ack:byte=0x41|read 5|read 8 $zeros|$(command_byte 4)
write-location-ack:byte=0|write 5 $p|write 8|$(command_byte 2)$(location_block 5)
read-request-ack#7:byte=0x99|read 5|read 8 ${k:0:14}$(printf '0%.0s' {1..46})|$(read_exchange 5 8)
write-record-ack:byte=0x7f|write 5 $p|write 8|$(write_exchange 5 "$p")
read-data-byte#4:byte=0xee|read 5|read 0 ${k:0:8}ee${k:10}|$(read_exchange 5)
status-byte:silence|status|status 4|$(command_byte 1)
read-data-byte#3:silence|read 5|read 4 ${k:0:6}$(printf '0%.0s' {1..54})|$(read_exchange 5 4)
write-record-ack:silence|write 5 $p|write 4|$(write_exchange 5 "$p")
EOF
}

group_refusals() {
  group=refusals
  echo "refusals: NAKs, other replies and silence at each step"
  local dir=$work/refusals com=33 fault command want seen
  start_sim "$dir" $com --image "$dir/image" || return
  ctl record 5 "$(pattern 5)"
  start_host "$dir"
  expect "the port opens" "init $com" "init 1"
  # Opening sends nothing: the first exchange's bytes are all the device sees.
  while IFS='|' read -r fault command want seen; do
    ctl fault "$fault"
    expect "$fault: $(cut -d' ' -f1-2 <<<"$want")" "$command" "$want"
    expect_seen "$fault: the bytes the device saw" "$seen"
    check "$fault: record 5 unchanged" "$(pattern 5)" "$(ctl record 5)"
    expect "$fault: the next read works" "read 5" "read 0 $(pattern 5)"
    ctl clearlog
  done < <(refusal_cases)
  check "no byte with the wrong parity for its place" "violations 0" "$(ctl stats | grep violations)"
  expect_deinit "de-initialisation: true"
  stop_host
  stop_sim
}

group_cable() {
  group=cable
  echo "cable: unplugged, plugged in, pulled out mid-exchange"
  local dir=$work/cable com=34
  start_sim "$dir" $com --unplugged || return
  start_host "$dir"
  expect "the port opens without a device" "init $com" "init 1"
  expect "status, cable unplugged: 2" status "status 2"
  expect "read, cable unplugged: 2" "read 1" "read 2 $zeros"
  expect "write, cable unplugged: 2" "write 1 $(pattern 1)" "write 2"
  check "lines unplugged: CTS, DSR and RI off" "cts 0 dsr 0 ri 0" \
    "$(ctl lines | grep -E '^(cts|dsr|ri) ' | tr '\n' ' ' | sed 's/ $//')"

  ctl unplug 0
  expect "status, cable plugged in: 0" status "status 0 0"
  local lines
  lines=$(ctl lines | tr '\n' ' ')
  # The library leaves RTS and DTR low after the status read (its SetCommState
  # disables both); what the cable must show is the device's answer to them.
  check "lines plugged in: DSR on, CTS follows RTS, RI follows DTR" "dsr 1 cts=rts ri=dtr" \
    "$(awk '{ for (i = 1; i < NF; i += 2) v[$i] = $(i + 1) }
            END { printf "dsr %s cts%srts ri%sdtr", v["dsr"], (v["cts"] == v["rts"] ? "=" : "!="),
                  (v["ri"] == v["dtr"] ? "=" : "!=") }' <<<"$lines")"
  expect_seen "nothing while unplugged; the status request once plugged in" "$(command_byte 1)"

  ctl fault write-location-ack:unplug
  expect "write, cable pulled instead of the location ACK: 4" "write 1 $(pattern 1)" "write 4"
  expect_seen "the write stopped after the location block" \
    "$(command_byte 2)$(location_block 1)"
  expect "status after the cable was pulled: 2" status "status 2"
  ctl unplug 0
  expect "write once plugged back in: 0" "write 1 $(pattern 1)" "write 0"
  expect "read back: 0" "read 1" "read 0 $(pattern 1)"
  expect_seen "write and read once plugged back in" \
    "$(write_exchange 1 "$(pattern 1)") $(read_exchange 1)"
  expect_deinit "de-initialisation: true"
  stop_host
  stop_sim
}

# The parity checks above must be able to fail. Here the preload loses the
# parity as a bare pty does (and as it did under Wine 10 before it caught the
# ioctls Wine 10 sets the line with): the device ignores each command byte that
# arrives without its odd parity, and zrvsim counts it, across clearing its log.
group_parity_lost() {
  group=parity-lost
  echo "parity lost: every byte arrives without it, and the check says so"
  local dir=$work/parity-lost com=37
  start_sim "$dir" $com || return
  drop_parity=1 start_host "$dir"
  expect "the port opens" "init $com" "init 1"
  expect "status: the device ignores a request without its parity: 4" status "status 4"
  expect_seen "the status request arrived with no parity" "1:none"
  check "the wrong parity is counted" "violations 1" "$(ctl stats | grep violations)"
  expect "read: the command byte is ignored too: 4" "read 1" "read 4 $zeros"
  expect_seen "the read command arrived with no parity" "4:none"
  check "the count runs across clearing the log" "violations 2" "$(ctl stats | grep violations)"
  expect_deinit "de-initialisation: true"
  stop_host
  stop_sim
}

# The library loaded at run time and unloaded by a host that goes on running:
# with the port open (its threads keep the library loaded and the host's thread
# still takes line events), and between two sessions (the hand-over window and
# its class go with the library, and a new load starts afresh). The host must end
# with exit code 0 in every case.

# unload_checks START ABSENT STATUS [COMMAND...]: the unload checks, with
# unload_host.exe started by the function START, COM$com a device whose status
# byte is STATUS, COM<ABSENT> no port at all; COMMAND, when given, makes a line
# event while the library is unloaded with the port open.
unload_checks() {
  local start=$1 absent=$2 status=$3 round
  shift 3
  $start
  expect "loaded at run time" load "load 1"
  expect "COM$absent does not open" "init $absent" "init 0"
  expect "unloaded after a failed opening: nothing holds it" free "free 1 loaded 0"
  expect "no hand-over window or class left" window "window 0 class 0"
  expect "loaded again" load "load 1"
  expect "the port opens" "init $com" "init 1"
  expect "status through the loaded library" status "status 0 $status"
  expect "unloaded with the port open: its threads keep it loaded" free "free 1 loaded 1"
  if (($# > 0)); then
    "$@"
    expect "a line event handed over after the unload, in the still-loaded library" "sent 5000" "sent 1"
  fi
  expect "the host pumps messages" "pump 500" "pump 500"
  expect "the host waits on an event" "wait 500" "wait 500"
  expect "the host starts and ends a thread" work "work ok"
  expect "loaded again: the same library, the port still open" load "load 1"
  expect "status after the reload" status "status 0 $status"
  expect_deinit "de-initialisation after the reload: true"
  expect "unloaded after closing: nothing holds it" free "free 1 loaded 0"
  expect "window and class gone with the library" window "window 0 class 0"
  expect "the host goes on after the unload" "pump 200" "pump 200"
  stop_host "host exits normally after unloading with the port open once"

  $start
  expect "loaded" load "load 1"
  expect "the port opens" "init $com" "init 1"
  expect "the host unloads with the port open" free "free 1 loaded 1"
  expect "the host pumps messages after the unload" "pump 500" "pump 500"
  expect "the host waits on an event after the unload" "wait 500" "wait 500"
  expect "the host starts and ends a thread after the unload" work "work ok"
  stop_host "host exits normally with the port still open in the unloaded library"

  $start
  for round in 1 2; do
    expect "round $round: loaded" load "load 1"
    expect "round $round: the port opens" "init $com" "init 1"
    expect "round $round: status" status "status 0 $status"
    expect_deinit "round $round: de-initialisation: true"
    if ((round == 1)); then
      # A windowed host's message loop takes the window's removal, posted at the close.
      expect "round $round: the host's message loop runs" "pump 100" "pump 100"
    fi
    expect "round $round: unloaded" free "free 1 loaded 0"
    expect "round $round: window and class gone with the library" window "window 0 class 0"
  done
  stop_host "host exits normally after two load-open-close-unload rounds"
}

start_unload_host() { start_host "$dir" "$unload_host_exe"; }
cable_out_and_in() { ctl unplug 1 && ctl unplug 0; }

group_unload() {
  group=unload
  echo "unload: the library unloaded by a host that keeps running"
  local dir=$work/unload com=35
  start_sim "$dir" $com --status 0x2a || return
  unload_checks start_unload_host 250 42 cable_out_and_in
  stop_sim
}

# ---- packaged hosts -----------------------------------------------------------
# Hosts built the way a user of the archive builds them. scripts/dist.sh packs
# build/i686 and build/x86_64 into the archive, which is unpacked here; the host
# project tests/package/cmake_host finds it with find_package(Kwelmora CONFIG)
# and is built with each MinGW toolchain (cmake_host.exe) and in Visual Studio
# mode (clang for *-pc-windows-msvc, lld-link, Kwelmora.lib, no C runtime:
# msvc_host.exe), for both bitnesses. Each gets the package's DLL of its bitness
# beside it. The two hosts of the given build's bitness run against zrvsim:
# the port opens, status, a record written and read back, the close.
# tests/package/pascal_host.pas is built with Free Pascal for i386-win32 and
# x86_64-win64 (scripts/fpc-cross.sh) around the guide's Delphi and Free Pascal
# block, taken out of the archive's README.md; the one of the build's bitness
# runs the same steps, and again with the cable unplugged.

# pe_bits FILE: 32 or 64, from the machine field of a Windows program's header.
pe_bits() {
  local header machine
  header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  machine=$(od -An -tx2 -j$((header + 4)) -N2 "$1" | tr -d ' ')
  case $machine in
    014c) echo 32 ;;
    8664) echo 64 ;;
    *) echo "unknown machine $machine" ;;
  esac
}

# build_packaged_host DIR PACKAGE KIND ARCH: configures and builds the host
# project with KIND's toolchain (mingw or msvc) for ARCH; logs in DIR.
build_packaged_host() { # DIR PACKAGE KIND ARCH [CMAKE OPTIONS]
  local dir=$1 package=$2 kind=$3 arch=$4 toolchain
  if [[ $kind == mingw ]]; then
    toolchain=$root/cmake/toolchain-$arch-w64-mingw32.cmake
  else
    toolchain=$root/tests/package/toolchain-clang-msvc.cmake
  fi
  cmake -S "$root/tests/package/cmake_host" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DKWELMORA_HOST_ARCH="$arch" -DCMAKE_PREFIX_PATH="$package" "${@:5}" >"$dir.log" 2>&1 &&
    cmake --build "$dir" >>"$dir.log" 2>&1
}

# run_to_end DIR EXE ARGS...: runs a host to its end (60 s at most); its output
# in $output, its exit status in $status.
run_to_end() {
  local dir=$1
  shift
  (run_windows "$@") </dev/null >"$dir/output" 2>>"$dir/host.log" &
  reap $! 60
  status=$code
  output=$(tr -d '\r' <"$dir/output")
}

# build_pascal_host ARCH: pascal_host.exe for ARCH (i386-win32 or x86_64-win64)
# in $dir/pascal-ARCH, around the guide's block as the archive's README.md in
# $package has it, with the package's DLL beside it.
build_pascal_host() {
  local out=$dir/pascal-$1 want
  want=$([[ $1 == i386-* ]] && echo 32 || echo 64)
  mkdir -p "$out"
  awk '/^#### Delphi and Free Pascal/ { section = 1 } section && /^```pascal$/ { on = 1; next }
       on && /^```$/ { exit } on' "$package/README.md" >"$out/kwelmora_guide.inc"
  if [[ ! -s $out/kwelmora_guide.inc ]]; then
    fail "pascal $1 host: the guide's Pascal block taken out of the archive's README.md"
  elif ! bash "$root/scripts/fpc-cross.sh" fpc "$1" -Sew -vw -FE"$out" -FU"$out" -Fi"$out" \
    "$root/tests/package/pascal_host.pas" >"$out.log" 2>&1; then
    fail "pascal $1 host: built around the guide's block" "$(tail -n 15 "$out.log")"
  else
    cp "$package/win$want/Kwelmora.dll" "$out/"
    check "pascal $1 host: built around the guide's block, a $want-bit program" "$want" \
      "$(pe_bits "$out/pascal_host.exe")"
  fi
}

group_packaged_hosts() {
  group=packaged-hosts
  echo "packaged hosts: built from the unpacked archive, run against zrvsim"
  local dir=$work/packaged com=36 package bits kind arch exe host_bits address built
  mkdir -p "$dir/unpacked"
  bash "$root/scripts/dist.sh" "$dir/dist" >"$dir/dist.log" 2>&1 ||
    { fail "the archive is made" "$(tail -n 5 "$dir/dist.log")"; return; }
  tar -xzf "$dir"/dist/kwelmora-*.tar.gz -C "$dir/unpacked"
  package=$(echo "$dir"/unpacked/kwelmora-*)
  bits=$(pe_bits "$windows_build/bin/Kwelmora.dll")

  for kind in mingw msvc; do
    for arch in i686 x86_64; do
      [[ $kind == mingw ]] && exe=cmake_host.exe || exe=msvc_host.exe
      built=$dir/$kind-$arch
      build_packaged_host "$built" "$package" $kind $arch ||
        { fail "$kind $arch host: built against the package" "$(tail -n 15 "$built.log")"; continue; }
      host_bits=$(pe_bits "$built/$exe")
      check "$kind $arch host: built against the package, a $host_bits-bit program" \
        "$([[ $arch == i686 ]] && echo 32 || echo 64)" "$host_bits"
      check "$kind $arch host: the package's win$host_bits Kwelmora.dll copied beside it" same \
        "$(cmp -s "$built/Kwelmora.dll" "$package/win$host_bits/Kwelmora.dll" && echo same)"
    done
  done

  # A host's test build: the same project linked to Kwelmora::Simulator.
  arch=$([[ $bits == 32 ]] && echo i686 || echo x86_64) built=$dir/simulated-host
  if build_packaged_host "$built" "$package" mingw $arch -DKWELMORA_HOST_SIMULATOR=ON; then
    check "test build of the mingw $arch host: the package's simulator DLL copied beside it" same \
      "$(cmp -s "$built/Kwelmora.dll" "$package/win$bits/simulator/Kwelmora.dll" && echo same)"
    env KWELMORA_SIM_PORTS=$com KWELMORA_SIM_IMAGES="Z:${built//\//\\}\\images" timeout 60 \
      "$wine_run" "$built/cmake_host.exe" $com 5 "$(pattern 5)" </dev/null \
      >"$built/output" 2>>"$built/host.log"
    status=$?
    output=$(tr -d '\r' <"$built/output")
    check "test build of the mingw $arch host: runs against the simulated device, no zrvsim" \
      "init 1|status 0 0|write 0|read 0 $(pattern 5)|deinit 1|exit 0" "${output//$'\n'/|}|exit $status"
    check "test build of the mingw $arch host: record 5 in the simulator's image" "$(pattern 5)" \
      "$(image_record "$built/images/ZRV-COM$com.img" 5)"
  else
    fail "test build of the mingw $arch host: built against Kwelmora::Simulator" \
      "$(tail -n 15 "$built.log")"
  fi

  check "pascal host: declares none of the library's functions itself" 0 \
    "$(grep -ci external "$root/tests/package/pascal_host.pas")"
  build_pascal_host i386-win32
  build_pascal_host x86_64-win64

  start_sim "$dir" $com --status 0x3c --image "$dir/image" || return
  for kind in mingw msvc; do
    arch=$([[ $bits == 32 ]] && echo i686 || echo x86_64)
    [[ $kind == mingw ]] && exe=cmake_host.exe address=17 || exe=msvc_host.exe address=930
    [[ -e $dir/$kind-$arch/$exe ]] || continue
    run_to_end "$dir/$kind-$arch" "$dir/$kind-$arch/$exe" $com $address "$(pattern $address)"
    check "$kind $arch host: opens, status 0, writes record $address and reads it back, closes" \
      "init 1|status 0 60|write 0|read 0 $(pattern $address)|deinit 1" "${output//$'\n'/|}"
    check "$kind $arch host: exit status 0" 0 "$status"
    expect_seen "$kind $arch host: the status request, the write and the read reached the device" \
      "$(command_byte 1)$(write_exchange $address "$(pattern $address)") $(read_exchange $address)"
    check "$kind $arch host: record $address stored in the device" "$(pattern $address)" \
      "$(ctl record $address)"
  done

  arch=$([[ $bits == 32 ]] && echo i386-win32 || echo x86_64-win64) address=466
  if [[ -e $dir/pascal-$arch/pascal_host.exe ]]; then
    # Traced, the exports return through their tracing path, which leaves other
    # bits above the result byte than the untraced one (the unplugged run): the
    # host prints each result whole, so one declared wider than a byte shows.
    KWELMORA_TRACE="Z:${dir//\//\\}\\pascal.trace" run_to_end "$dir/pascal-$arch" \
      "$dir/pascal-$arch/pascal_host.exe" $com $address "$(pattern $address)"
    check "pascal $arch host: opens, status 0, writes record $address and reads it back, closes" \
      "init 1|status 0 60|write 0|read 0 $(pattern $address)|deinit 1|exit 0" \
      "${output//$'\n'/|}|exit $status"
    expect_seen "pascal $arch host: the status request, the write and the read reached the device" \
      "$(command_byte 1)$(write_exchange $address "$(pattern $address)") $(read_exchange $address)"
    ctl unplug 1
    run_to_end "$dir/pascal-$arch" "$dir/pascal-$arch/pascal_host.exe" $com 1 "$(pattern 1)"
    check "pascal $arch host, cable unplugged: 2 from each transfer" \
      "init 1|status 2|write 2|read 2 $zeros|deinit 1|exit 0" "${output//$'\n'/|}|exit $status"
  fi
  stop_sim
}

# ---- trace (KWELMORA_TRACE) --------------------------------------------------
# The diagnostic trace through Wine's serial stack, for whichever DLL and host
# the script was given: the host runs with KWELMORA_TRACE naming a file, a record
# read is refused at the location block, and the file must tell the story: the
# header (version, bitness of this DLL, its path, the port), the bytes with their
# parities exactly as the device saw them, the NAK, the code, whole CRLF lines
# with offsets that never decrease.

# The lines of a trace between the call line matching $2 and its return (both
# included), thread and text only.
trace_call() { # FILE CALL
  tr -d '\r' <"$1" | awk -v call="$2" '
    { text = $0; sub(/^ *[0-9]+\.[0-9][0-9] /, "", text) }
    index(text, "host    call " call) == 1 { on = 1 }
    on { print text }
    on && index(text, "host    return ") == 1 { exit }'
}

group_trace() {
  group=trace
  echo "trace: a read refused at the location block, traced through Wine's serial stack"
  local dir=$work/trace com=38 trace version bits
  start_sim "$dir" $com --image "$dir/image" || return
  ctl record 5 "$(pattern 5)"
  trace=$dir/trace.log
  export KWELMORA_TRACE="Z:${trace//\//\\}"
  start_host "$dir"
  unset KWELMORA_TRACE
  expect "the port opens, traced" "init $com" "init 1"
  ctl clearlog
  ctl fault read-location-ack:nak
  expect "read refused at the location block: 6" "read 5" "read 6 $zeros"
  expect_seen "the device saw the command and the location block" \
    "$(command_byte 4)$(location_block 5)"
  expect "the next read works" "read 5" "read 0 $(pattern 5)"
  expect_deinit "de-initialisation: true"
  stop_host
  stop_sim

  [[ -s $trace ]] || { fail "the trace file was written" "no file at $trace"; return; }
  check "every line ends with CR LF" "0" "$(grep -vc $'\r$' "$trace")"
  check "every line is offset, thread, text" "0" \
    "$(tr -d '\r' <"$trace" | grep -vcE '^ *[0-9]+\.[0-9]{2} (host|worker|watcher|t[0-9]+) +[^ ]')"
  check "offsets never decrease after the header" "ok" \
    "$(tr -d '\r' <"$trace" | awk '/ ==== Kwelmora / { last = 0 } $1 + 0 < last { print "at " NR ": " $0; bad = 1; exit }
                                    { last = $1 + 0 } END { if (!bad) print "ok" }')"
  version=$(sed -n 's/^project(Kwelmora VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
  bits=$(pe_bits "$windows_build/bin/Kwelmora.dll")
  local header path=
  header=$(tr -d '\r' <"$trace" | grep -m1 ' ==== Kwelmora ' | sed -E 's/^ *[0-9.]+ host +//')
  if [[ $header =~ ^"==== Kwelmora $version, $bits-bit, "(.*)"; process "[0-9]+"; "[0-9]{4}-[0-9]{2}-[0-9]{2}" "[0-9:.]+" (UTC"[+-][0-9:]+"); initialising COM$com"(;.*)?$ ]]; then
    path=${BASH_REMATCH[1]}
  fi
  check "header: version $version, $bits-bit, the DLL's path, process, time, COM$com" \
    "\\kwelmora.dll" "$(tr 'A-Z' 'a-z' <<<"${path:(-13)}")"
  check "the port opened with its settings" "1" \
    "$(tr -d '\r' <"$trace" | grep -c "host    port \\\\\\\\\\.\\\\COM$com opened: 19200 baud, 8 data bits, parity none")"

  local refused
  refused=$(trace_call "$trace" "OdczytanieBajtowZZRV(address 5)")
  check "the refused read, as traced" \
    "host    call OdczytanieBajtowZZRV(address 5)
worker  sent 04 parity odd
worker  received 06 parity odd
host    reply ACK
worker  sent 41 parity even
worker  sent 00 parity even
worker  sent 1E parity even
worker  received 15 parity even
host    reply NAK: the device refused the location block (6)
host    return OdczytanieBajtowZZRV = 6 (the device refused the location block)" \
    "$(grep -E '^(worker  (sent|received)|host    (call|reply|return))' <<<"$refused" |
      sed -E 's/ after [0-9.]+ ms.*$//')"
  check "four presence steps, each followed" "4" "$(grep -c 'presence check: .* followed$' <<<"$refused")"
  check "the bytes sent, as the device saw them" "$(command_byte 4)$(location_block 5)" \
    "$(grep '^worker  sent ' <<<"$refused" | while read -r _ _ value _ parity; do
         printf '%d:%s ' "$((16#$value))" "$parity"
       done)"
  check "the close, traced" "1" "$(tr -d '\r' <"$trace" | grep -c "host    port \\\\\\\\\\.\\\\COM$com closed")"
}

# ---- vanish (group of its own) -------------------------------------------------
# The port goes away under a host that has it open, as a USB adapter pulled out:
# zrvsim closes its pty. Every call of the host returns a code, its close returns,
# and a new host opens the port once zrvsim serves it on a new pty (the preload
# binds to one pty at a host's start, so the new pty needs a new host process).

group_vanish() {
  group=vanish
  echo "vanish: the port's pty closes under the host"
  local dir=$work/vanish com=39 k5
  k5=$(pattern 5)
  start_sim "$dir" $com --status 0x3c --image "$dir/image" || return
  ctl record 5 "$k5"
  start_host "$dir"
  expect "the port opens" "init $com" "init 1"
  expect "status before the port goes: 0" status "status 0 60"
  expect "read before the port goes: 0" "read 5" "read 0 $(pattern 5)"
  ctl clearlog
  # The port goes while a read waits for the answer to the fourth request, which the
  # device gives 500 ms late, within the read's 1 s time-out: had the port stayed, the
  # read would end with 0 and the whole record (as in the refusals group). Gone, the
  # port loses the answer, and the call returns 4 with the three bytes before at once:
  # a library that missed the port going would wait out its time-out, 500 ms more.
  ctl fault read-request-ack#3:late=500
  echo "read 5" >&"${HOST[1]}"
  local deadline=$((SECONDS + 5))
  until [[ $(ctl log | grep -c '^5 odd') -ge 4 ]]; do
    ((SECONDS < deadline)) && sleep 0.01 && continue
    fail "the read's fourth request reached the device" "seen: $(ctl log | tr '\n' ' ')"
    stop_host; stop_sim; return
  done
  ctl vanish || fail "zrvsim closes the port's pty"
  local vanished=${EPOCHREALTIME/[.,]/}
  host
  local ms=$(((${EPOCHREALTIME/[.,]/} - vanished) / 1000))
  check "read under which the port goes: 4 at once, the three bytes before it" \
    "read 4 ${k5:0:6}$(printf '0%.0s' {1..54}) in under 500 ms" \
    "$answer in $( ((ms < 500)) && echo under 500 || echo $ms) ms"
  expect "status once the port has gone: 2 (its lines read off)" status "status 2"
  expect "read once the port has gone: 2" "read 5" "read 2 $zeros"
  expect "write once the port has gone: 2" "write 5 $(pattern 6)" "write 2"
  expect_deinit "de-initialisation after the port went: true"
  expect "status after the close: 2" status "status 2"
  expect "a new opening of the gone port fails" "init $com" "init 0"
  stop_host "the host exits normally after its port went"
  stop_sim

  start_sim "$dir" $com --status 0x3c --image "$dir/image" || return
  start_host "$dir"
  expect "the port opens again once it is back" "init $com" "init 1"
  expect "status on the port that came back: 0" status "status 0 60"
  expect "record 5 read on the port that came back" "read 5" "read 0 $(pattern 5)"
  expect_deinit "de-initialisation: true"
  stop_host
  stop_sim
}
# ---- end of vanish --------------------------------------------------------------

# ---- simulator -----------------------------------------------------------------
# The simulator DLL (simulator/Kwelmora.dll) beside a copy of e2e_host.exe, in
# place of the release DLL: no zrvsim, no preload, no COM link in the prefix. Its
# device is on the port that KWELMORA_SIM_PORTS names, paced at 19200 baud, with
# its records in an image file in a folder of the group's own; they must survive
# the host's process.

# simulated DIR EXE [ARGS...]: EXE from DIR/host, COM$com a device whose image
# is in DIR/images.
simulated() {
  local dir=$1 exe=$2
  shift 2
  env KWELMORA_SIM_PORTS=$com KWELMORA_SIM_IMAGES="Z:${dir//\//\\}\\images" \
    "$wine_run" "$dir/host/$exe" "$@"
}

start_simulated_host() { # DIR [EXE]
  coproc HOST { simulated "$1" "${2:-e2e_host.exe}" 2>>"$1/host.log"; }
  host_pid=$HOST_PID
}
start_simulated_unload_host() { start_simulated_host "$dir" unload_host.exe; }

group_simulator() {
  group=simulator
  echo "simulator: the simulator DLL in place of the release DLL, its records in an image file"
  local dir=$work/simulator com=41 image a version bits
  version=$(sed -n 's/^project(Kwelmora VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
  bits=$(pe_bits "$simulator_dll")
  image=$dir/images/ZRV-COM$com.img
  mkdir -p "$dir/host" && cp "$host_exe" "$zrvtool_exe" "$simulator_dll" "$dir/host/" || {
    fail "simulator: the hosts and the simulator DLL copied side by side"
    return
  }
  start_simulated_host "$dir"
  expect "a port the settings give no device is absent" "init $((com + 1))" "init 0"
  expect "the simulated port opens" "init $com" "init 1"
  expect "status: 0 and the new device's byte" status "status 0 0"
  for a in 1 466 931; do
    expect "write record $a: 0" "write $a $(pattern "$a")" "write 0"
  done
  check "record 466 in the image while the host runs" "$(pattern 466)" "$(image_record "$image" 466)"
  expect "record 931 read back" "read 931" "read 0 $(pattern 931)"
  expect "an address never written reads as zeros" "read 3" "read 0 $zeros"
  simulated "$dir" zrvtool.exe $com status --trace "Z:${dir//\//\\}\\refused.txt" \
    >/dev/null 2>>"$dir/host.log"
  check "another process is refused the open port: code 5, as a real port refuses it" \
    "error recorded: code 5" "$(grep -o 'error recorded: code [0-9]*' "$dir/refused.txt")"
  expect_deinit "de-initialisation: true"

  echo "simulator: the port closed, another process has it; records kept in the image"
  check "zrvtool beside the simulator DLL reads record 466" \
    "hex  $(pattern 466 | sed 's/../& /g; s/ $//' | tr a-f A-F)" \
    "$(simulated "$dir" zrvtool.exe $com read 466 --trace "Z:${dir//\//\\}\\trace.txt" \
      2>>"$dir/host.log" | grep '^hex' | tr -d '\r')"
  simulated "$dir" zrvtool.exe $com write 2 "$(pattern 2)" >/dev/null 2>>"$dir/host.log"
  expect "the port opens again in the first process" "init $com" "init 1"
  expect "record 2 as the other process wrote it" "read 2" "read 0 $(pattern 2)"
  expect_deinit "de-initialisation again: true"
  stop_host
  check "the image alone in its folder, 27930 bytes" "ZRV-COM$com.img 27930" \
    "$(cd "$dir/images" && for f in *; do echo "$f $(stat -c %s "$f")"; done)"
  check "zrvtool --version beside it says simulator" "Kwelmora.dll $version simulator" \
    "$(simulated "$dir" zrvtool.exe --version 2>>"$dir/host.log" | grep -o '^Kwelmora.dll [^(]*[^ (]')"
  check "the trace's first line says simulator" "==== Kwelmora $version simulator, $bits-bit," \
    "$(head -1 "$dir/trace.txt" | grep -o "==== Kwelmora [^,]*, [0-9]*-bit,")"
  echo "simulator: records read from the image by a new process"
  start_simulated_host "$dir"
  expect "the simulated port opens in a new process" "init $com" "init 1"
  for a in 1 2 466 931; do
    expect "record $a read in the new process" "read $a" "read 0 $(pattern "$a")"
  done
  expect_deinit "de-initialisation in the new process: true"
  stop_host
}

# The simulator DLL loaded and unloaded at run time, as group_unload does with the
# release DLL: the driver's clock thread holds the DLL while it runs and ends with
# the last port closed, so that the DLL goes at the host's FreeLibrary; the device
# goes with the DLL and comes back from its image.
group_simulator_unload() {
  group=simulator-unload
  echo "simulator unload: the simulator DLL unloaded by a host that keeps running"
  local dir=$work/simulator-unload com=42
  mkdir -p "$dir/host" && cp "$unload_host_exe" "$host_exe" "$simulator_dll" "$dir/host/" || {
    fail "simulator unload: the hosts and the simulator DLL copied side by side"
    return
  }
  unload_checks start_simulated_unload_host $((com + 1)) 0
  start_simulated_host "$dir"
  expect "the port opens in another process: the exiting host let it go" "init $com" "init 1"
  expect "a record written through the simulator" "write 77 $(pattern 77)" "write 0"
  expect_deinit "de-initialisation: true"
  stop_host
  check "record 77 in the image" "$(pattern 77)" \
    "$(image_record "$dir/images/ZRV-COM$com.img" 77)"
}

# The same transactions against zrvsim (through Wine's serial stack) and against
# the simulator DLL's device: the same answers, and the devices saw the same
# bytes with the same parities (zrvsim's log against the simulator's device log,
# KWELMORA_SIM_LOG).
group_simulator_matches_zrvsim() {
  group=simulator-matches-zrvsim
  echo "simulator against zrvsim: the same transactions, the same codes and device bytes"
  local dir=$work/matches com=43 step zrvsim_answers= simulator_answers= zrvsim_log simulator_log
  local steps=("init $com" status "write 1 $(pattern 1)" "read 1" "write 931 $(pattern 931)"
    "read 931" "read 0" "read 932" "write 932 $zeros" "read 466" "write 2 $zeros" deinit)
  start_sim "$dir/zrvsim" $com --image "$dir/zrvsim/image" || return
  start_host "$dir/zrvsim"
  for step in "${steps[@]}"; do
    host "$step"
    zrvsim_answers+="$answer|"
  done
  stop_host
  zrvsim_log=$(ctl log | awk '{ printf "%s%s:%s", (NR > 1 ? " " : ""), $1, $2 }')
  stop_sim

  mkdir -p "$dir/host" && cp "$host_exe" "$simulator_dll" "$dir/host/" || {
    fail "$group: the host and the simulator DLL copied side by side"
    return
  }
  local -x KWELMORA_SIM_LOG=1
  start_simulated_host "$dir"
  for step in "${steps[@]}"; do
    host "$step"
    simulator_answers+="$answer|"
  done
  stop_host
  simulator_log=$(tr -d '\r' <"$dir/images/ZRV-COM$com.log" |
    awk '{ printf "%s%s:%s", (NR > 1 ? " " : ""), $1, $2 }')
  check "zrvsim's device saw the status request first, odd" "1:odd" "${zrvsim_log%% *}"
  check "the same answers from both: ${zrvsim_answers//$zeros/0...}" "$zrvsim_answers" \
    "$simulator_answers"
  check "the same bytes reached both devices, parities included ($(wc -w <<<"$zrvsim_log") bytes)" \
    "$zrvsim_log" "$simulator_log"
}

# Faults switched on from outside the host's process: the host keeps the
# simulated port open while zrvtool, in a process of its own, sets each fault of
# the user guide's table ("Faults on demand") for once; each transaction must
# give the table's code, the fault must be used up by the transaction it spoilt
# (and stay for one it could not spoil), and the same transaction must work
# again afterwards. The table is read from docs/USER_GUIDE.md itself.

fault_of() { # DIR [ARGS]: zrvtool's fault command on COM$com, its one line
  simulated "$1" zrvtool.exe $com fault "${@:2}" </dev/null 2>>"$1/host.log" | tr -d '\r'
}

transaction() { # KIND: the host's call of that kind on record 5
  case $1 in
    status) host status ;;
    read) host read 5 ;;
    write) host write 5 "$(pattern 5)" ;;
  esac
  code=$(cut -d' ' -f2 <<<"$answer")
}

group_simulator_faults() {
  group=simulator-faults
  echo "simulator faults: set by zrvtool from another process while the host runs"
  local dir=$work/faults com=44 rows what command fault kind code want spoilt status read write
  mkdir -p "$dir/host" && cp "$host_exe" "$unload_host_exe" "$zrvtool_exe" "$simulator_dll" \
    "$dir/host/" || {
    fail "$group: the hosts and the simulator DLL copied side by side"
    return
  }
  rows=$(awk '/^\| Fault \| Set it with \|/ { on = 1; next } on && /^\|---/ { next }
              on && /^\|/ { print; next } on { exit }' "$root/docs/USER_GUIDE.md")
  check "the guide's table of faults has ten rows" 10 "$(grep -c . <<<"$rows")"
  check "zrvtool clears the port's fault" "COM$com: no fault" "$(fault_of "$dir" none)"
  start_simulated_host "$dir"
  expect "the simulated port opens" "init $com" "init 1"
  while IFS='|' read -r _ what command status read write _; do
    fault=$(sed -n 's/.*fault \([a-z-]*\).*/\1/p' <<<"$command")
    what=$(sed 's/^ *//; s/ *$//' <<<"$what")
    for kind in status read write; do
      want=$(grep -o '[0-9]' <<<"${!kind}" | head -n 1)
      spoilt=$([[ $want != 0 ]] && echo "no fault" || echo "$fault, once")
      check "$fault set for once" "COM$com: $fault, once" "$(fault_of "$dir" "$fault")"
      transaction $kind
      check "$fault, $kind: $want ($what)" "$want" "$code"
      check "$fault, $kind: $([[ $want != 0 ]] && echo used up || echo 'kept: nothing to spoil')" \
        "COM$com: $spoilt" "$(fault_of "$dir")"
      [[ $want == 0 ]] && fault_of "$dir" none >/dev/null
      # What a host does after such a call (the guide's advice).
      [[ $fault == late-reply ]] && host pause 1500
      [[ $fault == vanish ]] && host deinit && host "init $com"
      transaction $kind
      check "$fault, $kind: the next $kind works" 0 "$code"
    done
  done <<<"$rows"

  check "silent set for every transaction" "COM$com: silent, every transaction" \
    "$(fault_of "$dir" silent always)"
  transaction status
  check "silent always: status 4" 4 "$code"
  transaction read
  check "silent always: read 4 too" 4 "$code"
  check "silent always: still set" "COM$com: silent, every transaction" "$(fault_of "$dir")"
  check "cleared" "COM$com: no fault" "$(fault_of "$dir" none)"
  transaction write
  check "the write after clearing: 0" 0 "$code"
  expect_deinit "de-initialisation: true"
  stop_host

  # The guide's warning: a host that never retrieves messages after a line error.
  start_simulated_unload_host
  expect "a host that retrieves no messages: loaded" load "load 1"
  expect "it opens the port" "init $com" "init 1"
  fault_of "$dir" line-error >/dev/null
  expect "line error: 4" status "status 4"
  expect "no messages retrieved since: 2" status "status 2"
  expect "and 2 again" status "status 2"
  expect "the host retrieves its messages: the line error's hand-over" "sent 5000" "sent 1"
  expect "then the status read works" status "status 0 0"
  fault_of "$dir" line-error >/dev/null
  expect "line error again: 4" status "status 4"
  expect "closing handles it" deinit "deinit 1"
  stop_host "the host that retrieves no messages exits normally"
}

# ---- run ---------------------------------------------------------------------

prefix=$("$wine_run" --prefix)
use_wine_server "$wine_run" || {
  echo "run-e2e: no wine server for $prefix" >&2
  exit 1
}
echo "e2e: $(basename "$windows_build") build under $("$wine_run" --version)" \
  "($(basename "$wine_run"))"
start=$SECONDS
for name in ${KWELMORA_E2E_GROUPS:-transfers refusals cable parity_lost unload packaged_hosts \
  trace vanish simulator simulator_unload simulator_matches_zrvsim simulator_faults}; do
  if [[ $(type -t "group_$name") != function ]]; then
    fail "no group $name"
    continue
  fi
  "group_$name"
done
echo "e2e: $((SECONDS - start)) s"
echo "$passed passed, $failed failed"
((failed == 0))
