#!/usr/bin/env bash
# Runs the tests of both builds: the static checks of the 32-bit DLL, then every
# test of the x86_64 build under wine64 with a persistent wine server, then the
# native tests of linesim/ and the end-to-end tests (tests/e2e/run-e2e.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/wine-server.bash

status=0
ctest --preset i686 || status=1
# A wine server already running for the prefix is used and left running.
use_wine_server build/x86_64
trap 'release_wine_server build/x86_64' EXIT
# A test that fails is run once more, and both runs show in the output: wine has
# been seen, rarely, to end a program at start with no output at all (0.01 s).
ctest --preset x86_64 -j2 --repeat until-pass:2 || status=1

# The native side of the end-to-end tests (zrvsim, libzrvline.so) with its own
# tests, then the release x86_64 DLL through Wine's serial stack against zrvsim.
if cmake -S linesim -B build/native >/dev/null && cmake --build build/native -j2; then
  ctest --test-dir build/native -j2 --output-on-failure || status=1
  bash tests/e2e/run-e2e.sh || status=1
else
  echo "run-tests: the native build (linesim/) failed" >&2
  status=1
fi
exit $status
