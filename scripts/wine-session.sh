#!/usr/bin/env bash
# start BUILD: boots the build's Wine prefix and leaves a persistent wine server
#              running, so that each test program starts in milliseconds instead
#              of seconds. Exits 3, having booted the prefix, when a server
#              already runs for it: that one is used (and the caller did not
#              start it).
# stop BUILD:  stops that server.
# BUILD is a configured build tree; its wine-run (cmake/wine-run.in) knows the
# Wine and the prefix. Every stream is detached: the prefix's background services
# must not hold the pipes of whoever reads our output (ctest would wait for them
# forever).
set -euo pipefail
action=${1:?start or stop}
build=$(realpath -m "${2:?build tree}")
run=$build/wine-run
if [[ ! -x $run ]]; then
  echo "wine-session: $build has no wine-run: configure it first (cmake --preset ...)" >&2
  exit 2
fi
case "$action" in
  start)
    mkdir -p "$build/wineprefix"
    started=1
    "$run" --server -p </dev/null >/dev/null 2>&1 || started=0
    "$run" wineboot </dev/null >/dev/null 2>&1
    if ((!started)); then
      echo "wine-session: a wine server already runs for $build/wineprefix; it is used" >&2
      exit 3
    fi
    ;;
  stop)
    "$run" --server -k </dev/null >/dev/null 2>&1 || true
    ;;
  *)
    echo "usage: $0 start|stop BUILD" >&2
    exit 2
    ;;
esac
