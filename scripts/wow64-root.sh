#!/usr/bin/env bash
# The Wine that runs the 32-bit leg of the tests: Debian sid's Wine 10, built in
# the "new WoW64" mode that runs 32-bit Windows programs inside a 64-bit process
# with no 32-bit Linux libraries (this kernel cannot start 32-bit ELF programs,
# and Debian 12's and 13's Wines cannot run a 32-bit Windows program). Sid's
# Wine needs a newer glibc than the machine's, so it lives in a chroot:
#
#   $KWELMORA_WOW64_ROOT (default /var/cache/kwelmora/wow64-sid), about 1.8 GB,
#   shared by every checkout on the machine and kept across `make clean`.
#
#   wow64-root.sh ensure   makes the chroot on first use (debootstrap from the
#                          mirror in the machine's apt sources, then Debian's
#                          wine, wine64 and libwine), checks it, and reuses it
#                          afterwards; a half-made one is made again
#   wow64-root.sh check    checks it: made to the end, with the 32-bit Windows
#                          DLLs and wow64.dll
#   wow64-root.sh path     prints the chroot's path
#   wow64-root.sh probe    whether this machine runs 32-bit code inside a 64-bit
#                          process at all (scripts/ia32-probe.c); says why not
#   wow64-root.sh wine     prints the loader, the server and the version, a line
#                          each (paths inside the chroot)
#   wow64-root.sh run [--bind DIR]... -- COMMAND...
#                          runs COMMAND inside, with the machine's /dev, /proc
#                          and /sys and each DIR at its own path (see enter)
#
# Runs as root. Mounts are made in a private mount namespace (unshare -m) and go
# with it; nothing stays mounted on the machine.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(realpath -m "${KWELMORA_WOW64_ROOT:-/var/cache/kwelmora/wow64-sid}")
marker=$root/.kwelmora-wow64
packages=(wine wine64 libwine)

say() { echo "wow64-root: $*" >&2; }

# The loader, server and version recorded when the chroot was finished.
recorded() { [[ -f $marker ]] && cat "$marker"; }

# Whether the Wine in DIR runs 32-bit programs: the 32-bit Windows DLLs and the
# WoW64 layer are there.
has_wow64() {
  local dir=$1
  compgen -G "$dir/usr/lib/*/wine/i386-windows/kernel32.dll" >/dev/null &&
    compgen -G "$dir/usr/lib/*/wine/x86_64-windows/wow64.dll" >/dev/null
}

check() {
  if [[ ! -f $marker ]]; then
    say "no finished chroot at $root (make it with: bash scripts/wow64-root.sh ensure)"
    return 1
  fi
  if ! has_wow64 "$root"; then
    say "the Wine in $root cannot run 32-bit programs: its i386-windows DLLs or wow64.dll" \
      "are missing (Debian's wine there is not a WoW64 build)"
    return 1
  fi
  local loader
  loader=$(recorded | sed -n 1p)
  if [[ ! -x $root$loader ]]; then
    say "the Wine loader $loader recorded for $root is gone"
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
  ' wow64-root "$dir" "${#binds[@]}" "${binds[@]}" "$@"
}

# in_root DIR COMMAND...: COMMAND in the chroot with a clean environment, for apt.
in_root() {
  local dir=$1
  shift
  cp -L /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
  enter "$dir" -- /usr/bin/env -i HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

make_root() {
  local new=$root.new mirror started=$SECONDS
  for tool in debootstrap unshare chroot; do
    command -v "$tool" >/dev/null || { say "$tool is missing (bash scripts/install-deps.sh --wow64)"; return 1; }
  done
  mirror=$(bash "$here/debian-mirror.sh") || return 1
  if [[ -e $root ]]; then
    say "$root is half-made (no $(basename "$marker")): making it again"
    rm -rf --one-file-system "$root"
  fi
  rm -rf --one-file-system "$new"
  mkdir -p "$(dirname "$root")"
  say "debootstrap sid into $new from $mirror (about half a minute)"
  debootstrap --variant=minbase sid "$new" "$mirror" >"$new.log" 2>&1 || {
    tail -n 20 "$new.log" >&2
    say "debootstrap failed; its log: $new.log"
    return 1
  }
  say "installing ${packages[*]} from sid (about a minute)"
  # Sid's Release file on a mirror may be past its Valid-Until date.
  in_root "$new" apt-get -o Acquire::Check-Valid-Until=false -qq update >>"$new.log" 2>&1 &&
    in_root "$new" apt-get -o Acquire::Check-Valid-Until=false -y -qq --no-install-recommends \
      install "${packages[@]}" >>"$new.log" 2>&1 || {
    tail -n 20 "$new.log" >&2
    say "installing Wine in the chroot failed; its log: $new.log"
    return 1
  }
  in_root "$new" apt-get clean >/dev/null 2>&1 || true
  if ! has_wow64 "$new"; then
    say "sid's Wine in $new has no i386-windows DLLs or no wow64.dll: it cannot run the" \
      "32-bit leg (the packages may have changed their build)"
    return 1
  fi
  local wine
  wine=$(in_root "$new" bash -s <"$here/find-wine.sh") || return 1
  {
    echo "$wine"
    in_root "$new" "$(sed -n 1p <<<"$wine")" --version 2>/dev/null || echo "wine (version unknown)"
  } >"$new/.kwelmora-wow64.new"
  mv "$new/.kwelmora-wow64.new" "$new/$(basename "$marker")"
  rm -f "$new.log"
  mv "$new" "$root"
  say "made $root in $((SECONDS - started)) s: $(sed -n 3p "$marker"), $(du -sh "$root" | cut -f1)"
}

probe() {
  local dir status=0
  dir=$(mktemp -d)
  if ! cc -O1 -o "$dir/ia32-probe" "$here/ia32-probe.c" 2>"$dir/cc.log"; then
    say "cannot build the 32-bit code probe: $(head -n 3 "$dir/cc.log")"
    rm -rf "$dir"
    return 1
  fi
  { "$dir/ia32-probe"; } 2>/dev/null || status=$?
  rm -rf "$dir"
  if ((status != 0)); then
    say "this machine does not run 32-bit code inside a 64-bit process: a far jump to" \
      "the 32-bit user code segment ended the probe (exit $status$( ((status > 128)) &&
        echo ", signal $((status - 128))")); the kernel or the hypervisor refuses it," \
      "so no WoW64 Wine can run a 32-bit Windows program here"
    return 1
  fi
}

case "${1:-}" in
  probe) probe ;;
  ensure)
    mkdir -p "$(dirname "$root")"
    # One maker at a time: two checkouts may test at once.
    exec 9>"$root.lock"
    flock 9
    if [[ -f $marker ]] && check 2>/dev/null; then exit 0; fi
    make_root
    check
    ;;
  check) check ;;
  path) echo "$root" ;;
  run)
    shift
    exec_enter=1
    enter "$root" "$@"
    ;;
  wine)
    check
    recorded
    ;;
  *)
    echo "usage: $0 ensure|check|path|wine|probe|run" >&2
    exit 2
    ;;
esac
