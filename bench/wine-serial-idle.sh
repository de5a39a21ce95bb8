#!/usr/bin/env bash
# What an idle host costs through Wine's own serial stack: tests/reliability's
# unload_host.exe loads the release x86_64 Kwelmora.dll and runs a message loop
# for 2 s (a windowed host, idle) three times: before the port is opened, with the
# port open on zrvsim's pty (libzrvline.so preloaded), and after it is closed.
# For each: the CPU time the whole process used in those 2 s (as Windows reports
# it), its thread count and its busiest thread's CPU time; then, seen from Linux,
# every task of the process with its CPU ticks and context switches in those 2 s,
# and the calls on the line the preload saw meanwhile (ZRVLINE_DEBUG).
#
# Needs the x86_64 build (unload_host, Kwelmora) and the native build of linesim/
# (make build native).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
windows_build=$root/build/x86_64
native_build=$root/build/native
prefix=$windows_build/wineprefix
com=${COM:-36}

work=$(mktemp -d "${TMPDIR:-/tmp}/kwelmora-idle.XXXXXX")
sim_pid=
host_pid=
source "$root/scripts/wine-server.bash"
cleanup() {
  if [[ -n $host_pid ]]; then
    kill "$host_pid" 2>/dev/null || true
    wait "$host_pid" 2>/dev/null || true
  fi
  if [[ -n $sim_pid ]]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  release_wine_server "$windows_build"
  rm -rf "$work"
}
trap cleanup EXIT
# A wine server already running for the prefix is used and left running.
use_wine_server "$windows_build"

"$native_build/bin/zrvsim" --prefix "$prefix" --com "$com" --ready-file "$work/ready" \
  </dev/null >"$work/zrvsim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 200); do [[ -f $work/ready ]] && break; sleep 0.05; done
if [[ ! -f $work/ready ]]; then
  echo "wine-serial-idle: zrvsim did not start: $(cat "$work/zrvsim.log")" >&2
  exit 1
fi
# shellcheck disable=SC1091
source "$work/ready"

coproc HOST {
  exec env LD_PRELOAD="$native_build/bin/libzrvline.so" \
    ZRVLINE_PTY="$ZRVLINE_PTY" ZRVLINE_CABLE="$ZRVLINE_CABLE" ZRVLINE_DEBUG=1 \
    "$windows_build/wine-run" "$windows_build/bin/unload_host.exe" 2>"$work/line.log"
}
host_pid=$HOST_PID

ask() { # COMMAND: sends it, prints nothing, leaves the answer in $answer
  echo "$1" >&"${HOST[1]}"
  IFS= read -r -t 30 answer <&"${HOST[0]}"
  answer=${answer%$'\r'}
}

# The Linux process of the host: the newest unload_host.exe.
linux_pid=
tasks() { # one line per task: tid ticks switches
  local task
  for task in /proc/"$linux_pid"/task/*; do
    echo "${task##*/} $(awk '{ print $14 + $15 }' "$task/stat")" \
      "$(awk '/^(voluntary|nonvoluntary)_ctxt_switches/ { s += $2 } END { print s }' "$task/status")"
  done
}

idle() { # WHAT
  local before after lines_before
  before=$(tasks)
  lines_before=$(wc -l <"$work/line.log")
  ask "idle 2000"
  after=$(tasks)
  printf '%-18s %s\n' "$1:" "$(awk '{ printf "process CPU %s ms, %s threads, busiest thread %s ms", $4, $6, $8 }' <<<"$answer")"
  # A task that came during the interval counts from 0.
  join -a 2 -e 0 -o 0,1.2,1.3,2.2,2.3 <(sort <<<"$before") <(sort <<<"$after") |
    awk '{ printf "                   task %s: %d ms CPU, %d context switches\n", $1, ($4 - $2) * 10, $5 - $3 }'
  echo "                   calls on the line: $(($(wc -l <"$work/line.log") - lines_before))"
}

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')," \
  "$(uname -sr), $("$windows_build/wine-run" --version), load average $(cut -d' ' -f1-3 /proc/loadavg)"
ask load
linux_pid=$(pgrep -n -x unload_host.exe)
idle "port not yet open"
ask "init $com"
[[ $answer == "init 1" ]] || { echo "wine-serial-idle: COM$com did not open ($answer)" >&2; exit 1; }
ask status
# The watcher's hand-overs of the status read's line events, delivered before the
# interval: from then on it only waits.
ask "pump 200"
idle "port open, idle"
ask deinit
idle "port closed again"
echo quit >&"${HOST[1]}"
wait "$host_pid" || true
host_pid=
