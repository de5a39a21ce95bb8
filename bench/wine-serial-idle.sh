#!/usr/bin/env bash
# What an idle host costs through Wine's own serial stack: tests/reliability's
# unload_host.exe loads the release x86_64 Kwelmora.dll and runs a message loop
# for 2 s (a windowed host, idle) three times: before the port is opened, with the
# port open on zrvsim's pty (libzrvline.so preloaded), and after it is closed.
# Each line gives the CPU time the whole process used in those 2 s, its thread
# count and the CPU time of its busiest thread.
#
# Needs the x86_64 build (unload_host, Kwelmora) and the native build of linesim/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
windows_build=$root/build/x86_64
native_build=$root/build/native
prefix=$windows_build/wineprefix
com=${COM:-36}

work=$(mktemp -d "${TMPDIR:-/tmp}/kwelmora-idle.XXXXXX")
sim_pid=
own_server=0
cleanup() {
  if [[ -n $sim_pid ]]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  if ((own_server)); then bash "$root/scripts/wine-session.sh" stop "$prefix"; fi
  rm -rf "$work"
}
trap cleanup EXIT
# A wine server already running for the prefix is used and left running.
if bash "$root/scripts/wine-session.sh" start "$prefix"; then own_server=1; fi

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

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')," \
  "$(uname -sr), $(/usr/lib/wine/wine64 --version)"
printf 'load\nidle 2000\ninit %s\nstatus\nidle 2000\ndeinit\nidle 2000\nquit\n' "$com" |
  timeout 60 env WINEPREFIX="$prefix" WINEDEBUG=-all LD_PRELOAD="$native_build/bin/libzrvline.so" \
    ZRVLINE_PTY="$ZRVLINE_PTY" ZRVLINE_CABLE="$ZRVLINE_CABLE" \
    /usr/lib/wine/wine64 "$windows_build/bin/unload_host.exe" |
  awk 'BEGIN { when = "port not yet open" }
       /^init/   { when = "port open, idle" }
       /^deinit/ { when = "port closed again" }
       /^idle/   { printf "%-18s 2 s of message loop: process CPU %s ms, %s threads, busiest thread %s ms\n",
                   when ":", $4, $6, $8 }'
