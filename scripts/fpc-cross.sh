#!/usr/bin/env bash
# Free Pascal for Windows hosts, made from Debian's packages: fp-compiler-3.2.2
# ships only the x86_64-linux units, so the Windows ones are built here from
# fpc-source-3.2.2, once, and every checkout reuses them:
#
#   i386-win32    a cross compiler (ppcross386, from the compiler's sources,
#                 built by the packaged ppcx64) and the win32 RTL built by it
#   x86_64-win64  the packaged ppcx64 and the win64 RTL built by it
#
# Both link with Free Pascal's internal PE linker: no MinGW binutils needed.
# They live in $KWELMORA_FPC_ROOT (default /var/cache/kwelmora/fpc), kept across
# `make clean`; 38 MB.
#
#   fpc-cross.sh ensure                    builds it on first use (about 30 s),
#                                          reuses it afterwards; a half-made one
#                                          is made again
#   fpc-cross.sh check                     whether it is made to the end
#   fpc-cross.sh fpc TARGET ARGUMENT...    runs the compiler for TARGET
#                                          (i386-win32 or x86_64-win64) with its
#                                          units and no configuration file
#
# The marker .kwelmora-fpc, written last, holds the packaged compiler's version;
# a build by another one is made again. The lock fpc.lock, beside it, keeps two
# checkouts from building it at once.
set -euo pipefail

version=3.2.2
packaged=/usr/lib/x86_64-linux-gnu/fpc/$version
sources=/usr/share/fpcsrc/$version
root=$(realpath -m "${KWELMORA_FPC_ROOT:-/var/cache/kwelmora/fpc}")
marker=$root/.kwelmora-fpc
targets=(i386-win32 x86_64-win64)

say() { echo "fpc-cross: $*" >&2; }

# compiler TARGET [DIR]: the compiler that makes TARGET's programs, from DIR
# (default the finished build).
compiler() {
  case $1 in
    i386-win32) echo "${2:-$root}/bin/ppcross386" ;;
    x86_64-win64) echo "$packaged/ppcx64" ;;
    *)
      say "unknown target '$1' (i386-win32, x86_64-win64)"
      return 1
      ;;
  esac
}

check() {
  local target
  if [[ ! -f $marker ]]; then
    say "no finished build at $root (make it with: bash scripts/fpc-cross.sh ensure)"
    return 1
  fi
  for target in "${targets[@]}"; do
    if [[ ! -x $(compiler "$target") || ! -f $root/units/$target/system.ppu ]]; then
      say "the compiler or the System unit for $target is gone from $root"
      return 1
    fi
  done
  if [[ $(cat "$marker") != "$("$packaged/ppcx64" -iW)" ]]; then
    say "$root was built by Free Pascal $(cat "$marker"), the packaged one is now" \
      "$("$packaged/ppcx64" -iW)"
    return 1
  fi
}

# build DIR: the cross compiler and both RTLs into DIR, from a copy of the
# sources in DIR/src.
build() {
  local dir=$1 host=$packaged/ppcx64 src=$1/src cpu os target
  local native=(-n "-Fu$packaged/units/x86_64-linux/rtl")
  for needed in "$host" "$sources/compiler/pp.pas" "$sources/rtl/win32/Makefile.fpc" \
    "$packaged/msg/errore.msg"; do
    [[ -e $needed ]] && continue
    say "$needed is missing (apt-get install fp-compiler-$version fp-units-rtl-$version" \
      "fp-utils-$version fpc-source-$version)"
    return 1
  done
  if ! command -v fpcmake >/dev/null; then
    say "fpcmake is missing (apt-get install fp-utils-$version)"
    return 1
  fi
  mkdir -p "$src/out" "$dir/bin"
  cp -r "$sources/compiler" "$sources/rtl" "$src/"

  # Debian's sources leave out the compiler's message texts: made from the
  # packaged English messages by the compiler's own tool.
  if [[ ! -f $src/compiler/msgtxt.inc ]]; then
    "$host" "${native[@]}" -FE"$src/compiler/utils" "$src/compiler/utils/msg2inc.pp" &&
      (cd "$src/compiler" && ./utils/msg2inc "$packaged/msg/errore.msg" msg msg) || return 1
  fi
  (cd "$src/compiler" &&
    "$host" "${native[@]}" -Fui386 -Fusystems -Fux86 -Fii386 -Fix86 -FE"$dir/bin" -FU"$src/out" \
      -di386 -dGDB -dBROWSERLOG -Sg -O2 -o"$dir/bin/ppcross386" pp.pas) || return 1

  for target in "${targets[@]}"; do
    cpu=${target%-*} os=${target#*-}
    # makefile.cpu, also left out, only lists extra units of the processor.
    [[ -e $src/rtl/$cpu/makefile.cpu ]] || touch "$src/rtl/$cpu/makefile.cpu"
    (cd "$src/rtl" && fpcmake -q -T"$os" -w && cd "$os" && fpcmake -q -T"$os" -w &&
      make -j2 all CPU_TARGET="$cpu" OS_TARGET="$os" FPC="$(compiler "$target" "$dir")" OPT=-O2) ||
      return 1
    mkdir -p "$dir/units"
    mv "$src/rtl/units/$target" "$dir/units/$target"
  done
  rm -rf "$src"
}

ensure() {
  local new=$root.new started=$SECONDS
  if ! check 2>/dev/null; then
    mkdir -p "$(dirname "$root")"
    # One builder at a time: two checkouts may test at once.
    exec 9>"$root.lock"
    flock 9
  fi
  if check 2>/dev/null; then
    say "ready at $root: Free Pascal $(cat "$marker")"
    return 0
  fi
  rm -rf "$root" "$new"
  say "building the i386-win32 cross compiler and the win32 and win64 RTLs in $new"
  if ! build "$new" >"$new.log" 2>&1; then
    tail -n 20 "$new.log" >&2
    say "the build failed; its log: $new.log"
    return 1
  fi
  "$packaged/ppcx64" -iW >"$new/.kwelmora-fpc.new" || return 1
  # The marker goes last, inside; then the whole folder is put in place at once.
  mv "$new/.kwelmora-fpc.new" "$new/.kwelmora-fpc"
  rm -f "$new.log"
  mv "$new" "$root"
  say "made $root in $((SECONDS - started)) s: Free Pascal $(cat "$marker")," \
    "$(du -sh "$root" | cut -f1)"
}

case "${1:-}" in
  ensure) ensure ;;
  check) check ;;
  fpc)
    [[ $# -ge 2 ]] || {
      echo "usage: $0 fpc TARGET ARGUMENT..." >&2
      exit 2
    }
    target=$2 cpu=${2%-*} os=${2#*-}
    shift 2
    compiler=$(compiler "$target")
    check
    exec "$compiler" -n -T"$os" -P"$cpu" -Fu"$root/units/$target" "$@"
    ;;
  *)
    echo "usage: $0 ensure|check|fpc TARGET ARGUMENT..." >&2
    exit 2
    ;;
esac
