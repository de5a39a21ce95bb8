#!/usr/bin/env bash
# start PREFIX: boots the prefix and leaves a persistent wine server running, so
#               that each test program starts in milliseconds instead of seconds.
#               Exits 3, having booted the prefix, when a server already runs for
#               it: that one is used (and the caller did not start it).
# stop PREFIX:  stops that server.
# Every stream is detached: the prefix's background services must not hold the
# pipes of whoever reads our output (ctest would wait for them forever).
set -euo pipefail
action=${1:?start or stop}
prefix=$(realpath -m "${2:?prefix}")
export WINEPREFIX="$prefix" WINEDEBUG=-all
case "$action" in
  start)
    mkdir -p "$prefix"
    started=1
    wineserver -p </dev/null >/dev/null 2>&1 || started=0
    /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1
    if ((!started)); then
      echo "wine-session: a wine server already runs for $prefix; it is used" >&2
      exit 3
    fi
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
  *)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
