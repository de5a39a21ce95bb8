#!/usr/bin/env bash
# Runs the tests of both builds: the static checks of the 32-bit DLL, then every
# test of the x86_64 build under wine64 with a persistent wine server.
set -euo pipefail
cd "$(dirname "$0")/.."

prefix=build/x86_64/wineprefix
stop_wine() { bash scripts/wine-session.sh stop "$prefix"; }
trap stop_wine EXIT

status=0
ctest --preset i686 || status=1
bash scripts/wine-session.sh start "$prefix"
ctest --preset x86_64 -j2 || status=1
exit $status
