#!/usr/bin/env bash
# start RUN: boots the prefix of a build's Wine wrapper and leaves a persistent
#            wine server running, so that each test program starts in
#            milliseconds instead of seconds. Exits 3, having booted the prefix,
#            when a server already runs for it: that one is used (and the caller
#            did not start it).
# stop RUN:  stops that server.
# RUN is a wrapper made by cmake/Wine.cmake (build/<preset>/wine-run, or
# build/x86_64/wine-run-chroot), or a build tree, meaning its wine-run. Every
# stream is detached: the prefix's background services must not hold the pipes
# of whoever reads our output (ctest would wait for them forever).
set -euo pipefail
action=${1:?start or stop}
run=$(realpath -m "${2:?wine-run or build tree}")
[[ -d $run ]] && run=$run/wine-run
if [[ ! -x $run ]]; then
  echo "wine-session: there is no $run: configure the build first (cmake --preset ...)" >&2
  exit 2
fi
prefix=$("$run" --prefix)
case "$action" in
  start)
    mkdir -p "$prefix"
    started=1
    "$run" --server -p </dev/null >/dev/null 2>&1 || started=0
    "$run" --boot </dev/null >/dev/null 2>&1
    if ((!started)); then
      echo "wine-session: a wine server already runs for $prefix; it is used" >&2
      exit 3
    fi
    ;;
  stop)
    "$run" --server -k </dev/null >/dev/null 2>&1 || true
    ;;
  *)
    echo "usage: $0 start|stop RUN" >&2
    exit 2
    ;;
esac
