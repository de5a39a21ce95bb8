#!/usr/bin/env bash
# make demo: zrvtool.exe and the release x86_64 Kwelmora.dll, under Wine and
# through Wine's own serial stack, talking to a simulated ZRV device (zrvsim) on
# a pty linked as COM9 of the build's Wine prefix.
#
# Installs what is missing, builds what it needs (the x86_64 preset's DLL and
# zrvtool, the native linesim/), then: status, a record written and read back,
# a short dump paced at the line's real speed, a full dump, a full restore with
# every record read back, and the records surviving a restart of zrvsim. Ends
# with the time each step took. zrvsim is stopped however the demo ends.
#
# KWELMORA_WINDOWS_BUILD names an x86_64 build to use as it is (nothing built).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

com=9
demo=$root/build/demo
step_timeout=240 # seconds; a step that takes longer has hung
steps=()
sim_pid=

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

stop_sim() {
  [[ -n $sim_pid ]] || return 0
  kill -TERM "$sim_pid" 2>/dev/null || true
  timeout 10 tail --pid="$sim_pid" -f /dev/null 2>/dev/null || kill -KILL "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=
}

source scripts/wine-server.bash
cleanup() {
  stop_sim
  release_wine_server "${windows_build:-}"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
trap 'exec >/dev/null 2>&1; exit 141' PIPE

# step TITLE COMMAND...: runs one timed step and records its outcome.
step() {
  local title=$1 started status=0
  shift
  say "$title"
  started=$EPOCHREALTIME
  "$@" || status=$?
  local took
  took=$(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
  steps+=("$(printf '%-58s %7s s  %s' "$title" "$took" "$([[ $status == 0 ]] && echo ok || echo "FAILED ($status)")")")
  if [[ $status != 0 ]]; then
    summary
    echo "demo: '$title' failed" >&2
    exit 1
  fi
}

summary() {
  say "Summary"
  printf '%s\n' "${steps[@]}"
  if [[ -x ${windows_build:-}/wine-run ]]; then
    echo "Wine: $("$windows_build/wine-run" --version 2>/dev/null || echo 'version unknown')," \
      "$("$windows_build/wine-run" --loader)"
  fi
}

# ---- preparation ---------------------------------------------------------------

install_deps() { bash scripts/install-deps.sh; }

# quietly CMD...: runs a build command into build/demo/build.log; shows its end on failure.
quietly() {
  mkdir -p "$demo"
  echo "\$ $*"
  if ! "$@" >>"$demo/build.log" 2>&1; then
    tail -n 30 "$demo/build.log" >&2
    return 1
  fi
}

build_windows() {
  quietly cmake --preset x86_64 || return
  quietly cmake --build build/x86_64 --target Kwelmora zrvtool -j2
}

build_native() {
  quietly cmake -S linesim -B build/native &&
    quietly cmake --build build/native --target zrvsim zrvline -j2
}

mkdir -p "$demo"
rm -f "$demo/build.log"
step "Install the build dependencies (if missing)" install_deps
if [[ -n ${KWELMORA_WINDOWS_BUILD:-} ]]; then
  windows_build=$(realpath "$KWELMORA_WINDOWS_BUILD")
  echo "using the x86_64 build in $windows_build as it is"
else
  windows_build=$root/build/x86_64
  step "Build the release x86_64 Kwelmora.dll and zrvtool.exe" build_windows
fi
step "Build zrvsim and libzrvline.so (native)" build_native

zrvtool_exe=$windows_build/bin/zrvtool.exe
if [[ ! -f $zrvtool_exe ]]; then
  echo "demo: $zrvtool_exe is missing: build the target zrvtool in $windows_build" >&2
  exit 1
fi

prefix=$windows_build/wineprefix
zrvsim=$root/build/native/bin/zrvsim
preload=$root/build/native/bin/libzrvline.so
# A server already running for the prefix is used and left running.
step "Start a persistent wine server for the prefix" use_wine_server "$windows_build"

# ---- the device ----------------------------------------------------------------

start_sim() {
  mkdir -p "$demo"
  rm -f "$demo/ready"
  "$zrvsim" --prefix "$prefix" --com $com --image "$demo/zrv-image.bin" --status 0x5a \
    --control "$demo/control" --cable "$demo/cable" --ready-file "$demo/ready" \
    </dev/null >>"$demo/zrvsim.log" 2>&1 &
  sim_pid=$!
  local deadline=$((SECONDS + 10))
  until [[ -f $demo/ready ]]; do
    if ((SECONDS >= deadline)) || ! kill -0 "$sim_pid" 2>/dev/null; then
      cat "$demo/zrvsim.log" >&2
      return 1
    fi
    sleep 0.02
  done
  # shellcheck disable=SC1091
  source "$demo/ready"
  echo "zrvsim serves a ZRV device on $ZRVLINE_PTY, linked as COM$com of $prefix"
  echo "its records are kept in ${demo#"$root"/}/zrv-image.bin"
}

ctl() { "$zrvsim" ctl "$ZRVSIM_CONTROL" "$@"; }

# zrvtool ARGS...: zrvtool.exe under Wine, the pty given a cable by the preload.
zrvtool() {
  echo "\$ zrvtool COM$com $*"
  timeout "$step_timeout" env LD_PRELOAD="$preload" \
    ZRVLINE_PTY="$ZRVLINE_PTY" ZRVLINE_CABLE="$ZRVLINE_CABLE" \
    "$windows_build/wine-run" "$zrvtool_exe" "COM$com" "$@" </dev/null
}

# 30 bytes of text as 60 hex digits.
hex30() { printf '%-30.30s' "$1" | od -An -v -tx1 | tr -d ' \n'; }

# A full image: record n holds the text "ZRV record n of 931" (blank padded).
make_image() {
  local n
  for ((n = 1; n <= 931; n++)); do printf '%-30.30s' "ZRV record $n of 931, restored"; done >"$1"
}

record_of() { od -An -v -tx1 -j $((($2 - 1) * 30)) -N 30 "$1" | tr -d ' \n'; }

rm -f "$demo"/*.bin
step "Start zrvsim: a new device (all records zero) on COM$com" start_sim

step "Status byte" zrvtool status

# same WHAT EXPECTED ACTUAL: a check of the demo's own.
same() {
  if [[ $2 == "$3" ]]; then
    echo "($1)"
  else
    echo "demo: expected $1, but: $3" >&2
    return 1
  fi
}

written=$(hex30 "Kwelmora demo: record 931")
write_and_read() {
  zrvtool write 931 "$written" &&
    zrvtool read 931 &&
    same "the device holds the record written" "$written" "$(ctl record 931)"
}
step "Write record 931 and read it back" write_and_read

paced_dump() {
  ctl pace 1 || return
  local status=0
  zrvtool dump "$demo/paced.bin" 1 20 || status=$?
  ctl pace 0
  return $status
}
step "Dump records 1..20, the device paced at 19200 baud (11 bits a byte)" paced_dump

full_dump() {
  zrvtool dump "$demo/dump.bin" &&
    same "record 931 is in the dump" "$written" "$(record_of "$demo/dump.bin" 931)"
}
step "Dump the whole device (931 records), unpaced" full_dump

restore() {
  make_image "$demo/restore.bin" &&
    zrvtool restore "$demo/restore.bin" &&
    same "zrvsim's image file now equals the restored one" "$(md5sum <"$demo/restore.bin")" \
      "$(md5sum <"$demo/zrv-image.bin")"
}
step "Restore a full image, every record read back and compared" restore

restart() {
  stop_sim
  start_sim &&
    zrvtool read 931 &&
    same "record 931 as restored" "$(record_of "$demo/restore.bin" 931)" "$(ctl record 931)"
}
step "Restart zrvsim: the records survive" restart

stop_sim
summary
cat <<EOF

The full dump ran unpaced: a pty moves bytes at memory speed, and the time is
Wine's and the library's, one overlapped transfer per byte. Paced at 19200 baud
(zrvsim --pace, or 'zrvsim ctl SOCKET pace 1') the device's line alone takes
about 55 ms a record (96 characters of 573 us), some 51 s for all 931 records,
on top of that.
Files: ${demo#"$root"/}/ (zrvsim.log, dump.bin, paced.bin, restore.bin, zrv-image.bin)
EOF
