#!/usr/bin/env bash
# make dist: the archive for users, kwelmora-VERSION.tar.gz. Both builds are
# installed into one folder (cmake/Package.cmake says what each puts where): per
# bitness the DLL, its MinGW and Visual Studio import libraries, the .def file
# and zrvtool.exe; the header; the CMake package; the user guide as README.md.
# VERSION is project()'s, as the builds were configured with it.
#
# Usage: dist.sh [OUTPUT_DIR]    (default build/dist)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/dist}")

version=
for build in build/i686 build/x86_64; do
  if [[ ! -f $build/CMakeCache.txt ]]; then
    echo "dist: $build is not configured: run make build first" >&2
    exit 1
  fi
  this=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  if [[ -n $version && $this != "$version" ]]; then
    echo "dist: build/i686 is version $version, $build $this: run make build first" >&2
    exit 1
  fi
  version=$this
done

name=kwelmora-$version
stage=$out/$name
rm -rf "$stage" && mkdir -p "$stage"
for build in build/i686 build/x86_64; do
  cmake --install "$build" --prefix "$stage" >/dev/null
done
(cd "$out" && rm -f "$name.tar.gz" && tar -czf "$name.tar.gz" "$name")
echo "$out/$name.tar.gz:"
tar -tzf "$out/$name.tar.gz" | sed 's/^/  /'
