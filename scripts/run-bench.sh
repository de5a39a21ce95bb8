#!/usr/bin/env bash
# Runs the benchmarks of the x86_64 build under wine64 and prints their figures,
# with the machine they ran on.
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=build/x86_64/wineprefix
trap 'bash scripts/wine-session.sh stop "$prefix"' EXIT
bash scripts/wine-session.sh start "$prefix"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -sr), $(wine64 --version 2>/dev/null || echo wine)"
for bench in build/x86_64/bench/*.exe; do
  echo "== $(basename "$bench" .exe)"
  build/x86_64/wine-run "$bench"
done
