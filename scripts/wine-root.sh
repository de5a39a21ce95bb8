#!/usr/bin/env bash
# The chroots that hold the Wines the tests run under, one per NAME:
#
#   wine8-i386  Debian 12 (bookworm): wine, wine64, wine32:i386, libgcc-s1:i386,
#               gcc-multilib, g++-multilib, g++. Wine 8 with its 32-bit loader,
#               for the 32-bit Windows programs; the compilers build preloaded
#               libraries of both ELF classes. Its i386 programs need a kernel
#               that runs them, or the binfmt_misc handler that
#               scripts/i386-binfmt.sh registers (ensure calls it first).
#   wine10      Debian 13 (trixie): wine, wine64, g++. Wine 10 (64-bit only), for
#               the 64-bit Windows programs on a Debian 12 machine.
#
# Each lives in $KWELMORA_WINE_ROOTS/NAME (default /var/cache/kwelmora/NAME),
# shared by every checkout on the machine and kept across `make clean`.
#
#   wine-root.sh NAME ensure   makes the chroot on first use (debootstrap from the
#                              mirror in the machine's apt sources, then the
#                              packages above), checks it, and reuses it
#                              afterwards; a half-made one is made again. Prints
#                              the time taken and the size when it makes one
#   wine-root.sh NAME check    checks it: made to the end, its loaders there, the
#                              Wine version expected, and (wine8-i386) i386
#                              programs running on this machine
#   wine-root.sh NAME path     prints the chroot's path
#   wine-root.sh NAME wine     prints, a line each, paths inside the chroot:
#                                1 the 64-bit loader   (e.g. /usr/lib/wine/wine64)
#                                2 the server          (e.g. /usr/lib/wine/wineserver64)
#                                3 the version         (e.g. wine-8.0 (Debian 8.0~repack-4))
#                                4 the 32-bit loader   (wine8-i386 only: /usr/lib/wine/wine)
#   wine-root.sh NAME run [--bind DIR]... -- COMMAND...
#                              runs COMMAND inside, with the machine's /dev, /proc
#                              and /sys and each DIR at its own path (see enter);
#                              the environment passes through as it is (Wine 10
#                              aborts when TMPDIR is set: callers leave it out)
#   wine-root.sh NAME remove   deletes the chroot; refuses while anything is
#                              mounted under it or a process has its root there
#   wine-root.sh wine10 wanted whether the tests need it: exits 0 when the
#                              machine's own Wine is older than Wine 10
#
# The marker NAME/.kwelmora-wine, written when the chroot is finished, holds
# exactly what `wine` prints. The lock NAME.lock, beside the chroot, keeps two
# checkouts from making or removing it at once. No Wine prefix is made here.
#
# Runs as root. Mounts are made in a private mount namespace (unshare -m) and go
# with it; nothing stays mounted on the machine.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

usage() {
  echo "usage: $0 wine8-i386|wine10 ensure|check|path|wine|remove|wanted|run [--bind DIR]... -- COMMAND..." >&2
  exit 2
}

name=${1:-}
case $name in
  wine8-i386)
    suite=bookworm
    foreign_arch=i386
    packages=(wine wine64 wine32:i386 libgcc-s1:i386 gcc-multilib g++-multilib g++)
    version_prefix='wine-8.'
    ;;
  wine10)
    suite=trixie
    foreign_arch=
    packages=(wine wine64 g++)
    version_prefix='wine-10.'
    ;;
  *) usage ;;
esac
shift
root=$(realpath -m "${KWELMORA_WINE_ROOTS:-/var/cache/kwelmora}/$name")
marker=$root/.kwelmora-wine

say() { echo "wine-root $name: $*" >&2; }

need_root() {
  if [[ $(id -u) -ne 0 ]]; then
    say "must run as root (debootstrap, chroot and mount namespaces need it)"
    exit 1
  fi
}

# The loaders, server and version recorded when the chroot was finished.
recorded() { [[ -f $marker ]] && cat "$marker"; }

# check_made: the chroot was made to the end and what the marker names is there.
check_made() {
  local line path
  if [[ ! -f $marker ]]; then
    say "no finished chroot at $root (make it with: bash scripts/wine-root.sh $name ensure)"
    return 1
  fi
  for line in 1 2 4; do
    path=$(recorded | sed -n "${line}p")
    [[ $line == 4 && -z $foreign_arch ]] && continue
    if [[ -z $path || ! -x $root$path ]]; then
      say "the Wine program '${path}' recorded on line $line of $marker is gone"
      return 1
    fi
  done
  if [[ $(recorded | sed -n 3p) != "$version_prefix"* ]]; then
    say "the Wine in $root is $(recorded | sed -n 3p), not $version_prefix*"
    return 1
  fi
}

check() {
  check_made || return 1
  if [[ -n $foreign_arch ]] && ! bash "$here/i386-binfmt.sh" probe >/dev/null; then
    say "this machine does not run i386 programs now, so the 32-bit Wine in $root cannot" \
      "start (bash scripts/i386-binfmt.sh ensure registers a handler for them)"
    return 1
  fi
}

# enter DIR [--bind D]... -- COMMAND...: runs COMMAND in chroot DIR, in a mount
# namespace of its own with the machine's /proc, /sys and /dev (so /dev/pts/N is
# the same pty inside), and each D bound at its own path (unless already seen
# there); in the current folder when it is seen inside, else in /. The mounts go
# with the namespace. Its propagation is made private, so that nothing mounted
# in it reaches the machine's; inside a chroot, whose / is no mount point, it
# cannot be, and what the chroot's maker set up stands.
enter() {
  local dir=$1 propagation=private binds=()
  shift
  while [[ ${1:-} == --bind ]]; do
    binds+=("$2")
    shift 2
  done
  [[ ${1:-} == -- ]] && shift
  mountpoint -q / || propagation=unchanged
  # exec_enter: this script's process becomes the command's (signals reach it).
  ${exec_enter:+exec} unshare -m --propagation "$propagation" -- bash -c '
    set -e
    dir=$1 count=$2
    shift 2
    mount -t proc proc "$dir/proc"
    mount --rbind /sys "$dir/sys"
    mount --rbind /dev "$dir/dev"
    for ((i = 0; i < count; i++)); do
      bound=$(realpath -m "$1")
      shift
      [[ -d $bound ]] || continue
      [[ $bound -ef $dir$bound ]] && continue  # already seen inside, under another one
      mkdir -p "$dir$bound"
      mount --rbind "$bound" "$dir$bound"
    done
    here=/
    [[ $PWD -ef $dir$PWD ]] && here=$PWD
    exec chroot "$dir" /usr/bin/env --chdir="$here" "$@"
  ' wine-root "$dir" "${#binds[@]}" "${binds[@]}" "$@"
}

# in_root DIR COMMAND...: COMMAND in the chroot with a clean environment, for apt.
in_root() {
  local dir=$1
  shift
  cp -L /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
  enter "$dir" -- /usr/bin/env -i HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

# loader32 DIR: the 32-bit loader among the files of wine32:i386 in chroot DIR,
# a program named wine outside bin/ whose ELF class is 32-bit.
loader32() {
  local dir=$1 file
  while read -r file; do
    [[ ${file##*/} == wine && $file != */bin/* && -f $dir$file && -x $dir$file ]] || continue
    [[ $(od -An -tx1 -j4 -N1 "$dir$file" | tr -d ' ') == 01 ]] || continue
    echo "$file"
    return 0
  done < <(in_root "$dir" dpkg-query -L "wine32:$foreign_arch" 2>/dev/null)
  return 1
}

# install_packages DIR: the packages, from the suite's mirror, into chroot DIR.
install_packages() {
  local dir=$1
  if [[ -n $foreign_arch ]]; then
    in_root "$dir" dpkg --add-architecture "$foreign_arch" || return 1
  fi
  in_root "$dir" apt-get -qq update &&
    in_root "$dir" apt-get -y -qq --no-install-recommends install "${packages[@]}" || return 1
  in_root "$dir" apt-get clean >/dev/null 2>&1 || true
}

# record DIR: writes the marker of chroot DIR (the lines `wine` prints), after
# checking that its loaders start and say the version expected.
record() {
  local dir=$1 wine version version32 loader
  wine=$(in_root "$dir" bash -s <"$here/find-wine.sh") || return 1
  loader=$(sed -n 1p <<<"$wine")
  version=$(in_root "$dir" "$loader" --version 2>/dev/null) || version=
  if [[ $version != "$version_prefix"* ]]; then
    say "$loader in $dir says \"$version\", not $version_prefix* ($suite's Wine has changed)"
    return 1
  fi
  if [[ -n $foreign_arch ]]; then
    loader=$(loader32 "$dir") || {
      say "wine32:$foreign_arch in $dir has no 32-bit loader named wine"
      return 1
    }
    version32=$(in_root "$dir" "$loader" --version 2>&1) || true
    if ! grep -qxF "$version" <<<"$version32"; then
      say "the 32-bit loader $loader does not run here: it says \"$(tail -n 1 <<<"$version32")\"" \
        "(bash scripts/i386-binfmt.sh probe tells whether i386 programs run)"
      return 1
    fi
  fi
  {
    echo "$wine"
    echo "$version"
    [[ -z $foreign_arch ]] || echo "$loader"
  } >"$dir/.kwelmora-wine.new"
  mv "$dir/.kwelmora-wine.new" "$dir/$(basename "$marker")"
}

make_root() {
  local new=$root.new mirror started=$SECONDS
  for tool in debootstrap unshare chroot; do
    command -v "$tool" >/dev/null || { say "$tool is missing (apt-get install $tool)"; return 1; }
  done
  mirror=$(bash "$here/debian-mirror.sh") || return 1
  if [[ -e $root ]]; then
    say "$root is half-made (no $(basename "$marker")): making it again"
    rm -rf --one-file-system "$root"
  fi
  rm -rf --one-file-system "$new"
  mkdir -p "$(dirname "$root")"
  say "debootstrap $suite into $new from $mirror (about a minute)"
  debootstrap --variant=minbase "$suite" "$new" "$mirror" >"$new.log" 2>&1 || {
    tail -n 20 "$new.log" >&2
    say "debootstrap failed; its log: $new.log"
    return 1
  }
  say "installing ${packages[*]} from $suite (a few minutes)"
  install_packages "$new" >>"$new.log" 2>&1 || {
    tail -n 20 "$new.log" >&2
    say "installing the packages in the chroot failed; its log: $new.log"
    return 1
  }
  record "$new" || return 1
  rm -f "$new.log"
  mv "$new" "$root"
  say "made $root in $((SECONDS - started)) s: $(sed -n 3p "$marker"), $(du -sh "$root" | cut -f1)"
}

# in_use: says what is still mounted under the chroot, or which processes have
# their root in it; fails when there is any.
in_use() {
  local mounts pids pid link
  mounts=$(awk -v root="$root" '$5 == root || index($5, root "/") == 1 { print $5 }' /proc/self/mountinfo)
  pids=()
  for pid in /proc/[0-9]*; do
    link=$(readlink "$pid/root" 2>/dev/null) || continue
    [[ $link == "$root" || $link == "$root"/* ]] && pids+=("${pid#/proc/}")
  done
  if [[ -n $mounts ]]; then
    say "still mounted under $root: $(paste -sd ' ' <<<"$mounts")"
  fi
  if ((${#pids[@]})); then
    say "processes running inside $root: ${pids[*]}"
  fi
  [[ -n $mounts ]] || ((${#pids[@]}))
}

remove() {
  exec 9>"$root.lock"
  flock 9
  if in_use; then
    say "not removing $root while it is in use"
    return 1
  fi
  rm -rf --one-file-system "$root" "$root.new" "$root.new.log"
  say "removed $root"
}

case "${1:-}" in
  ensure)
    need_root
    if [[ -n $foreign_arch ]]; then
      bash "$here/i386-binfmt.sh" ensure || exit 1
    fi
    mkdir -p "$(dirname "$root")"
    # One maker at a time: two checkouts may test at once.
    exec 9>"$root.lock"
    flock 9
    if check_made 2>/dev/null; then
      check
      say "ready at $root: $(sed -n 3p "$marker")"
      exit 0
    fi
    make_root
    check
    ;;
  check) check ;;
  wanted)
    [[ $name == wine10 ]] || usage
    machine=$(bash "$here/find-wine.sh" | head -n 1) || exit 0
    ! [[ $("$machine" --version 2>/dev/null) =~ ^wine-([0-9]+) ]] || ((BASH_REMATCH[1] < 10))
    ;;
  path) echo "$root" ;;
  run)
    shift
    need_root
    check_made || exit 1
    exec_enter=1
    enter "$root" "$@"
    ;;
  wine)
    check_made
    recorded
    ;;
  remove)
    need_root
    remove
    ;;
  *) usage ;;
esac
