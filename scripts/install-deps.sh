#!/usr/bin/env bash
# Installs what building and testing needs on a Debian 12 or 13 machine, as root.
# Safe to run again: it only installs what is missing.
#   install-deps.sh          the toolchains, the machine's Wine, CMake, GoogleTest
#   install-deps.sh --wow64  also debootstrap, and the chroot with Debian sid's
#                            Wine 10 that runs the 32-bit leg of the tests
#                            (scripts/wow64-root.sh: made on first use, ~1.8 GB)
set -euo pipefail
cd "$(dirname "$0")"

packages=(
  g++-mingw-w64-i686
  g++-mingw-w64-x86-64
  binutils-mingw-w64-i686
  binutils-mingw-w64-x86-64
  wine64
  wine
  cmake
  make
  googletest
  g++
  # Visual Studio-style import libraries (llvm-dlltool) and their checks
  # (llvm-readobj); the hosts built in Visual Studio mode (clang, lld-link).
  # The same three names on Debian 12 (LLVM 14) and 13 (LLVM 19).
  llvm
  lld
  clang
)
wow64=0
case "${1:-}" in
  "") ;;
  --wow64)
    wow64=1
    packages+=(debootstrap)
    ;;
  *)
    echo "usage: $0 [--wow64]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "install-deps: need root to install: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if ((wow64)); then
  bash wow64-root.sh ensure
fi
