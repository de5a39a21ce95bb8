#!/usr/bin/env bash
# Builds libzrvline.so (linesim/zrvline_preload.cpp) inside a Wine chroot
# (scripts/wine-root.sh), against that chroot's own C library, for each ELF class
# its Wine runs: 64-bit, and 32-bit where the chroot has the 32-bit side. A
# preload built against a newer C library than the chroot's may not load there.
#
#   build-preload.sh NAME OUTDIR
#
# The libraries land in OUTDIR/lib/<triplet>/libzrvline.so, so that one
# LD_PRELOAD='OUTDIR/$LIB/libzrvline.so' gives each process the one of its class
# (the dynamic loader expands $LIB to lib/<triplet>). Prints that LD_PRELOAD
# value. Rebuilds only when a source is newer than a library.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
name=${1:?wine-root NAME}
out=$(realpath -m "${2:?output folder}")

# BITS:TRIPLET:a program of that class in the chroot
classes=(64:x86_64-linux-gnu:/usr/lib/wine/wine64)
[[ $name == *-i386 ]] && classes+=(32:i386-linux-gnu:/usr/lib/wine/wine)
sources=("$source_dir/linesim/zrvline_preload.cpp" "$source_dir/linesim/line_client.cpp")

for class in "${classes[@]}"; do
  bits=${class%%:*}
  triplet=${class#*:}
  library=$out/lib/${triplet%%:*}/libzrvline.so
  stale=0
  for file in "${sources[@]}" "$source_dir"/linesim/*.h "$source_dir"/sim/far_end.h; do
    [[ $library -nt $file ]] || stale=1
  done
  ((stale)) || continue
  mkdir -p "$(dirname "$library")"
  bash "$here/wine-root.sh" "$name" run --bind "$source_dir" --bind "$out" -- \
    g++ -m"$bits" -std=c++17 -O2 -fPIC -shared -fvisibility=hidden -fno-exceptions -fno-rtti \
    -Wall -Wextra -Werror -I"$source_dir/linesim" -I"$source_dir/sim" "${sources[@]}" \
    -Wl,--no-undefined -static-libstdc++ -static-libgcc -ldl -lpthread -o "$library" >&2
done
# The dynamic loader finds each class's library where $LIB says: LD_TRACE_LOADED_OBJECTS
# lists what a program of the class would load, without running it.
for class in "${classes[@]}"; do
  bits=${class%%:*}
  triplet=${class#*:}
  if ! bash "$here/wine-root.sh" "$name" run --bind "$out" -- env LD_TRACE_LOADED_OBJECTS=1 \
    LD_PRELOAD="$out/\$LIB/libzrvline.so" "${class##*:}" 2>&1 |
    grep -F "$out/lib/${triplet%%:*}/libzrvline.so" >/dev/null; then
    echo "build-preload: the $bits-bit processes of $name do not load $out/\$LIB/libzrvline.so" >&2
    exit 1
  fi
done
echo "$out/\$LIB/libzrvline.so"
