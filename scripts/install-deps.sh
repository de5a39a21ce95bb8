#!/usr/bin/env bash
# Installs what building and testing needs on a Debian 12 or 13 machine, as root.
# Safe to run again: it only installs what is missing.
#   install-deps.sh        the toolchains, the machine's Wine, CMake, GoogleTest,
#                          debootstrap, Free Pascal with the Windows units the
#                          Pascal host of the tests needs (scripts/fpc-cross.sh
#                          builds them once, about 30 s, into
#                          /var/cache/kwelmora/fpc)
#   install-deps.sh --rig  also makes the Wines of the tests that live in chroots
#                          now, rather than on the first `make test`
#                          (scripts/wine-root.sh: wine8-i386, about 2.1 GB, and
#                          on a machine whose own Wine is older than Wine 10,
#                          wine10, about 1.5 GB), with what runs 32-bit programs
#                          where the kernel does not (scripts/i386-binfmt.sh)
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
  # The chroots of the Wines that the tests also run under (scripts/wine-root.sh).
  debootstrap
  # Free Pascal and the sources of its compiler and RTL, from which
  # scripts/fpc-cross.sh builds the i386-win32 cross compiler and the Windows
  # units. The same names on Debian 12 and 13.
  fp-compiler-3.2.2
  fp-units-rtl-3.2.2
  fp-utils-3.2.2
  fpc-source-3.2.2
)
rig=0
case "${1:-}" in
  "") ;;
  --rig) rig=1 ;;
  *)
    echo "usage: $0 [--rig]" >&2
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

bash fpc-cross.sh ensure

if ((rig)); then
  bash wine-root.sh wine8-i386 ensure
  if bash wine-root.sh wine10 wanted; then bash wine-root.sh wine10 ensure; fi
fi
