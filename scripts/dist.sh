#!/usr/bin/env bash
# make dist: both DLLs, their import libraries, the .def file, the header, both
# zrvtool.exe builds and the user guide, in build/dist/kwelmora-VERSION.tar.gz.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(Kwelmora VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=kwelmora-$version
stage=build/dist/$name
rm -rf "$stage" && mkdir -p "$stage/win32" "$stage/win64" "$stage/include"
for arch in i686:win32 x86_64:win64; do
  build=build/${arch%%:*}/bin
  for file in Kwelmora.dll libKwelmora.dll.a Kwelmora.def zrvtool.exe; do
    cp "$build/$file" "$stage/${arch##*:}/"
  done
done
cp include/kwelmora.h "$stage/include/"
cp docs/USER_GUIDE.md "$stage/README.md"
(cd build/dist && rm -f "$name.tar.gz" && tar -czf "$name.tar.gz" "$name")
echo "build/dist/$name.tar.gz:"
tar -tzf "build/dist/$name.tar.gz" | sed 's/^/  /'
