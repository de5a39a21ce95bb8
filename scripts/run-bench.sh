#!/usr/bin/env bash
# Runs the benchmark of the x86_64 build under wine64 and prints its table, with the
# machine it ran on, then the simulator DLL's cost to a host at real-time priority.
# FULL=1 (make bench FULL=1) adds the dump of all 931 records at 19200 baud and
# makes the simulator's dump all 931 records too, about two minutes more.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/x86_64
bench=build/x86_64/bench/kwelmora_bench.exe
# A wine server already running for the prefix (a test session) is used and left
# running; otherwise one is started for the run and stopped at its end.
source scripts/wine-server.bash
use_wine_server "$build"
trap 'release_wine_server "$build"' EXIT
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')," \
  "$(uname -sr), $("$build/wine-run" --version 2>/dev/null || echo 'Wine (version unknown)')," \
  "load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "built: $(git log -1 --format='%h %cd' --date=short 2>/dev/null || echo 'outside git')"
args=()
if [[ ${FULL:-0} == 1 ]]; then args+=(--full); fi
"$build/wine-run" "$bench" "${args[@]}"
records=200
if [[ ${FULL:-0} == 1 ]]; then records=931; fi
simulator=$(realpath "$build/simulator/Kwelmora.dll")
"$build/wine-run" "$build/bench/simulator_cost.exe" "Z:${simulator//\//\\}" "$records"
