#!/usr/bin/env bash
# Makes 32-bit (i386) Linux programs runnable on a machine whose kernel refuses
# them (built without IA-32 emulation, or with it turned off: execve of an i386
# ELF then fails with "Exec format error"). It registers, in the running
# kernel's binfmt_misc, a handler named kwelmora-i386 that hands every i386 ELF
# program (ET_EXEC and ET_DYN) to a static qemu-i386 10.x, taken from Debian 13's
# qemu-user package. The handler has the flags
#   F  the kernel opens qemu-i386 when the handler is registered, so i386
#      programs run inside chroots too, where no qemu-i386 is installed;
#   P  the program's own argv[0] reaches it (qemu 10 reads the kernel's
#      AT_FLAGS to know this), as under a kernel that runs i386 itself; without
#      it every program sees its full path as argv[0].
# A handler lives in the running kernel only: it is gone at reboot, and
# `ensure` registers it again.
#
#   i386-binfmt.sh probe         whether the execve of an i386 program works here,
#                                and how; prints one line:
#                                  native                       the kernel runs it
#                                  handler NAME INTERPRETER     a binfmt_misc handler
#                                                               ran it (NAME is
#                                                               "unknown" when
#                                                               binfmt_misc is not
#                                                               mounted to tell;
#                                                               " (deleted)" follows
#                                                               an interpreter file
#                                                               replaced since)
#                                  refused                      Exec format error
#                                  failed CAUSE                 anything else (a write,
#                                                               a crash, a hang...)
#                                exits 0 when i386 programs run, else 1 with the
#                                cause on stderr
#   i386-binfmt.sh ensure        nothing when the kernel runs i386 itself; else
#                                mounts binfmt_misc if needed, uses an enabled
#                                handler that someone else registered for i386
#                                when the probe runs through it (and fails, rather
#                                than hide it behind ours, when it does not), or
#                                else fetches qemu-i386 10.x into the cache and
#                                registers kwelmora-i386 (reused when already
#                                there for the same qemu-i386); probes again
#   i386-binfmt.sh undo          unregisters kwelmora-i386 and deletes the cache
#                                (binfmt_misc stays mounted)
#   i386-binfmt.sh qemu-version  the version line of the interpreter the probe
#                                runs through, or "native"
#
# KWELMORA_I386_VIA_QEMU=1 makes `ensure` register kwelmora-i386 even where the
# kernel runs i386 programs itself (binfmt_misc handlers are tried before the
# kernel's own ELF loader): on such a machine, i386 programs then run the way
# they do on one that refuses them.
#
# The qemu-i386 cache: $KWELMORA_QEMU_DIR (default /var/cache/kwelmora/qemu-user),
# about 14 MB: qemu-i386, its copyright file, and .kwelmora-qemu (the .deb's
# file name, then the version line). It is fetched with apt-get download from
# trixie on the mirror in the machine's apt sources, with an apt state of its
# own in a temporary folder (the machine's apt lists and sources are not
# touched), and unpacked with dpkg-deb.
#
# Runs as root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
qemu_dir=$(realpath -m "${KWELMORA_QEMU_DIR:-/var/cache/kwelmora/qemu-user}")
qemu=$qemu_dir/qemu-i386
misc=/proc/sys/fs/binfmt_misc
name=kwelmora-i386
# The handler matches the first 20 bytes of an ELF header: class 32-bit, little
# endian, version 1, any OS ABI, type ET_EXEC (2) or ET_DYN (3: mask fe),
# machine EM_386 (3).
magic=7f454c4601010100000000000000000002000300
mask=ffffffffffffff000000000000000000feffffff
flags=PF # in the order binfmt_misc lists them

say() { echo "i386-binfmt: $*" >&2; }

need_root() {
  if [[ $(id -u) -ne 0 ]]; then
    say "must run as root (it mounts binfmt_misc and registers a handler in the kernel)"
    exit 1
  fi
}

# hex_escape HEX: \xNN for each byte, as printf %b and binfmt_misc's register read it.
# shellcheck disable=SC2001 # a back-reference: no ${var//} for that
hex_escape() { sed 's/../\\x&/g' <<<"$1"; }

# The probe: a static i386 ELF of 112 bytes, one PT_LOAD at 0x08048000 holding
# it all, whose code reads one byte from stdin (so it stays alive, and can be
# looked at, until stdin is closed) and then exits with status 42:
#   mov eax,3; xor ebx,ebx; mov ecx,esp; mov edx,1; int 0x80    read(0, esp, 1)
#   mov eax,1; mov ebx,42; int 0x80                             exit(42)
# probe_bytes TYPE: in hex; TYPE 02 (ET_EXEC) is the program, 03 (ET_DYN) only
# serves to test which handlers also match position-independent programs.
probe_bytes() {
  local type=${1:-02}
  echo "7f454c46010101000000000000000000${type}000300010000005480040834000000" \
    "000000000000000034002000010000000000000001000000000000000080040800800408" \
    "700000007000000005000000001000" \
    "00b80300000031db89e1ba01000000cd80b801000000bb2a000000cd80" | tr -d ' '
}

# entry_field ENTRY KEY: a field of a binfmt_misc entry ("interpreter", "magic",
# "mask", "offset", "flags:"); the first line (enabled or disabled) with KEY "state".
entry_field() {
  local entry=$1 key=$2
  if [[ $key == state ]]; then
    head -n 1 "$entry"
  else
    awk -v key="$key" '$1 == key { print $2; exit }' "$entry"
  fi
}

# The handler entries in binfmt_misc (none when it is not mounted).
entries() {
  local entry
  [[ -f $misc/register ]] || return 0
  for entry in "$misc"/*; do
    [[ ${entry##*/} == register || ${entry##*/} == status ]] && continue
    [[ -f $entry ]] && echo "$entry"
  done
}

# matches ENTRY HEX: whether the magic of ENTRY, under its mask, matches the file
# whose first bytes are HEX.
matches() {
  local entry=$1 bytes=$2 offset magic mask i b m want
  magic=$(entry_field "$entry" magic)
  [[ -n $magic ]] || return 1 # an extension handler
  mask=$(entry_field "$entry" mask)
  offset=$(entry_field "$entry" offset)
  offset=${offset:-0}
  ((2 * (offset + ${#magic} / 2) <= ${#bytes})) || return 1
  for ((i = 0; i < ${#magic}; i += 2)); do
    b=$((16#${bytes:2 * offset + i:2}))
    want=$((16#${magic:i:2}))
    m=255
    [[ -n $mask ]] && m=$((16#${mask:i:2}))
    (((b & m) == (want & m))) || return 1
  done
}

# The names of the enabled handlers that take i386 programs (fixed-address or
# position-independent), ours too, one a line.
i386_handlers() {
  local entry
  while read -r entry; do
    [[ -n $entry ]] || continue
    [[ $(entry_field "$entry" state) == enabled ]] || continue
    if matches "$entry" "$(probe_bytes 02)" || matches "$entry" "$(probe_bytes 03)"; then
      echo "${entry##*/}"
    fi
  done < <(entries)
}

# The same but ours, on one line.
foreign_handlers() { i386_handlers | { grep -vxF "$name" || true; } | paste -sd " "; }

# handler_for PATH: the name of the handler whose interpreter is PATH, or unknown.
handler_for() {
  local path=$1 entry
  while read -r entry; do
    [[ -n $entry ]] || continue
    if [[ $(entry_field "$entry" interpreter) == "$path" ]]; then
      echo "${entry##*/}"
      return 0
    fi
  done < <(entries)
  echo unknown
}

# signal_name STATUS: "signal N (NAME)" for a shell status above 128.
signal_name() { echo "signal $(($1 - 128)) ($(kill -l "$(($1 - 128))" 2>/dev/null || echo '?'))"; }

# probe: runs the hand-made i386 program and prints how it went (see the header).
# While it waits on its stdin (a fifo this shell holds open), /proc/PID/exe
# tells who runs it: the probe file itself when the kernel does, the interpreter
# when a binfmt_misc handler does.
probe() {
  local dir file fifo pid exe="" self status=0 deadline cause err takers
  dir=$(mktemp -d) || { echo "failed cannot make a temporary folder"; say "mktemp -d failed"; return 1; }
  file=$dir/i386-probe fifo=$dir/stdin
  if ! printf '%b' "$(hex_escape "$(probe_bytes 02)")" >"$file" 2>"$dir/err" || ! chmod +x "$file" 2>>"$dir/err" ||
    [[ $(stat -c %s "$file") != 112 ]]; then
    echo "failed cannot write the probe program into $dir"
    say "writing the 112-byte probe program into $dir failed: $(head -n 1 "$dir/err")"
    rm -rf "$dir"
    return 1
  fi
  mkfifo "$fifo"
  exec 8<>"$fifo" # held open for writing: the probe blocks reading it
  self=$(readlink /proc/$$/exe)
  "$file" <"$fifo" >/dev/null 2>"$dir/err" 8>&- &
  pid=$!
  deadline=$((SECONDS + 20))
  while kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)); do
    exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || exe=""
    [[ -n $exe && $exe != "$self" ]] && break
    exe=""
    sleep 0.02
  done
  exec 8>&- # end of its stdin: it exits 42
  if kill -0 "$pid" 2>/dev/null; then
    deadline=$((SECONDS + 20))
    while kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.05; done
    if kill -0 "$pid" 2>/dev/null; then
      kill -KILL "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
      echo "failed the probe hung${exe:+ under $exe}"
      say "the i386 probe program neither read its stdin nor exited within 20 s${exe:+ (run by $exe)}"
      rm -rf "$dir"
      return 1
    fi
  fi
  wait "$pid" 2>/dev/null || status=$?
  err=$(grep -v '^$' "$dir/err" | head -n 1 || true)
  err=${err#*"$file": } # bash's message, without its name and the probe's
  rm -rf "$dir"
  if ((status == 42)) && [[ $exe == "$file" ]]; then
    echo native
    return 0
  fi
  if ((status == 42)) && [[ -n $exe ]]; then
    # " (deleted)" stays: the kernel holds a qemu-i386 since replaced (flag F).
    echo "handler $(handler_for "${exe% (deleted)}") $exe"
    return 0
  fi
  takers=$(i386_handlers | paste -sd ' ')
  if ((status == 126)) && [[ $err == *"Exec format error"* && -z $takers ]]; then
    echo refused
    say "the kernel refuses i386 programs (execve: Exec format error) and no binfmt_misc" \
      "handler takes them"
    return 1
  fi
  if ((status == 126 || status == 127)); then
    cause="execve: ${err:-exit status $status}"
    [[ -z $takers ]] || cause+=" (through the handler(s) $takers: their interpreter cannot be run)"
  elif ((status > 128)); then
    cause="the probe${exe:+ (run by $exe)} died of $(signal_name "$status")"
  elif ((status == 42)); then
    cause="the probe exited before it could be seen running"
  else
    cause="the probe${exe:+ (run by $exe)} exited with status $status, not 42${err:+: $err}"
  fi
  echo "failed $cause"
  say "$cause"
  return 1
}

# version_line PROGRAM: the first line PROGRAM --version prints, if it answers.
version_line() { timeout 10 "$1" --version </dev/null 2>/dev/null | head -n 1 || true; }

qemu_is_10() { [[ $(version_line "$1") =~ ^qemu-i386\ version\ 10\. ]]; }

# Mounts binfmt_misc if needed and checks that handlers can be registered.
mount_binfmt() {
  if [[ ! -f $misc/register ]]; then
    if ! mount -t binfmt_misc binfmt_misc "$misc" 2>/dev/null; then
      say "cannot mount binfmt_misc at $misc (a container without the right, or a kernel" \
        "without binfmt_misc): i386 programs cannot be made to run here"
      return 1
    fi
    say "mounted binfmt_misc at $misc"
  fi
  if [[ ! -w $misc/register ]]; then
    say "$misc/register cannot be written (mounted read-only, as in a container):" \
      "no handler can be registered here"
    return 1
  fi
}

# fetch_qemu: qemu-i386 10.x in the cache, fetched from Debian 13 when missing.
fetch_qemu() {
  local mirror work deb line
  if [[ -x $qemu ]] && qemu_is_10 "$qemu"; then
    say "using $(version_line "$qemu") from $qemu_dir"
    return 0
  fi
  if ! ours_to_delete; then
    say "$qemu_dir holds files but no qemu-i386 10.x and no .kwelmora-qemu: not made here," \
      "so not replaced (empty it, or point KWELMORA_QEMU_DIR elsewhere)"
    return 1
  fi
  for tool in apt-get dpkg-deb readelf; do
    command -v "$tool" >/dev/null || { say "$tool is missing: it is needed to fetch qemu-i386"; return 1; }
  done
  mirror=$(bash "$here/debian-mirror.sh") || return 1
  work=$(mktemp -d)
  local apt=(apt-get -qq -o "Dir::State=$work/state" -o "Dir::State::Lists=$work/lists"
    -o "Dir::Cache=$work/cache" -o "Dir::Etc::SourceList=$work/sources.list"
    -o "Dir::Etc::SourceParts=$work/sources.list.d" -o "Dir::State::status=$work/status"
    -o APT::Architecture=amd64 -o APT::Architectures::=amd64 -o APT::Sandbox::User=root)
  mkdir -p "$work"/{state,lists/partial,cache/archives/partial,sources.list.d,deb}
  : >"$work/status"
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  echo "deb ${keyring:+[signed-by=$keyring] }$mirror trixie main" >"$work/sources.list"
  [[ -f $keyring ]] || sed -i 's/\[[^]]*\] //' "$work/sources.list"
  say "fetching qemu-user from trixie on $mirror (about 70 MB)"
  if ! "${apt[@]}" update >"$work/log" 2>&1 ||
    ! (cd "$work/deb" && "${apt[@]}" download qemu-user) >>"$work/log" 2>&1; then
    tail -n 5 "$work/log" >&2
    say "apt-get could not fetch qemu-user from trixie on $mirror (log above)"
    rm -rf "$work"
    return 1
  fi
  deb=$(ls "$work"/deb/qemu-user_*.deb)
  dpkg-deb -x "$deb" "$work/root"
  if [[ ! -x $work/root/usr/bin/qemu-i386 ]]; then
    say "${deb##*/} has no usr/bin/qemu-i386"
    rm -rf "$work"
    return 1
  fi
  if readelf -lW "$work/root/usr/bin/qemu-i386" | grep -q 'INTERP'; then
    say "qemu-i386 of ${deb##*/} is linked dynamically: a handler with flag F needs a static" \
      "one (it must run inside chroots without its libraries)"
    rm -rf "$work"
    return 1
  fi
  line=$(version_line "$work/root/usr/bin/qemu-i386")
  if [[ ! $line =~ ^qemu-i386\ version\ 10\. ]]; then
    say "qemu-i386 of ${deb##*/} says \"$line\", not version 10.x"
    rm -rf "$work"
    return 1
  fi
  rm -rf "$qemu_dir.new"
  mkdir -p "$qemu_dir.new"
  cp "$work/root/usr/bin/qemu-i386" "$qemu_dir.new/"
  cp "$work/root/usr/share/doc/qemu-user/copyright" "$qemu_dir.new/" 2>/dev/null || true
  printf '%s\n%s\n' "${deb##*/}" "$line" >"$qemu_dir.new/.kwelmora-qemu"
  rm -rf "$work" "$qemu_dir"
  mv "$qemu_dir.new" "$qemu_dir"
  say "using $line (${deb##*/}) in $qemu_dir"
}

# Whether the cache folder may be deleted: missing, empty, or made here.
ours_to_delete() {
  [[ ! -e $qemu_dir || -f $qemu_dir/.kwelmora-qemu ]] ||
    [[ -d $qemu_dir && -z $(ls -A "$qemu_dir") ]]
}

# Whether kwelmora-i386 is registered, enabled, as we would register it now.
ours_current() {
  local entry=$misc/$name
  [[ -f $entry ]] &&
    [[ $(entry_field "$entry" state) == enabled ]] &&
    [[ $(entry_field "$entry" interpreter) == "$qemu" ]] &&
    [[ $(entry_field "$entry" flags:) == "$flags" ]] &&
    [[ $(entry_field "$entry" magic) == "$magic" && $(entry_field "$entry" mask) == "$mask" ]]
}

unregister() {
  if [[ -f $misc/$name ]]; then
    echo -1 >"$misc/$name"
    say "unregistered $name"
  fi
}

register() {
  unregister
  if ! printf '%s' ":$name:M:0:$(hex_escape "$magic"):$(hex_escape "$mask"):$qemu:$flags" \
    >"$misc/register"; then
    say "registering $name for $qemu in $misc/register failed"
    return 1
  fi
  say "registered $name: i386 programs run with $qemu (flags $flags)"
}

# use_theirs HANDLER INTERPRETER: says which handler, registered by someone else,
# runs i386 programs; warns when it is a qemu older than 10.
use_theirs() {
  local handler=$1 interpreter=$2 line
  line=$(version_line "$interpreter")
  say "i386 programs run through the handler $handler, registered by someone else:" \
    "$interpreter (${line:-it does not answer --version})"
  if [[ $line =~ ^qemu-i386\ version\ ([0-9]+)\. ]] && ((BASH_REMATCH[1] < 10)); then
    say "warning: 32-bit Wine is known to crash under qemu-i386 before 10" \
      "(\"stack smashing detected\")"
  fi
}

ensure() {
  need_root
  local result foreign handler interpreter
  result=$(probe 2>/dev/null) || true
  if [[ $result == native ]]; then
    if [[ ${KWELMORA_I386_VIA_QEMU:-} != 1 ]]; then
      say "the kernel runs i386 programs itself: nothing to do"
      return 0
    fi
    say "the kernel runs i386 programs itself, but KWELMORA_I386_VIA_QEMU=1: registering" \
      "$name all the same (binfmt_misc handlers come before the kernel's own ELF loader)"
  fi
  mount_binfmt || return 1
  mkdir -p "$(dirname "$qemu_dir")"
  # One at a time: two checkouts may ensure at once.
  exec 9>"$qemu_dir.lock"
  flock 9
  result=$(probe 2>/dev/null) || true
  if [[ $result == handler* && $result != "handler $name "* ]]; then
    read -r _ handler interpreter <<<"$result"
    use_theirs "$handler" "${interpreter% (deleted)}"
    return 0
  fi
  foreign=$(foreign_handlers)
  if [[ -n $foreign && $result != "handler $name "* ]]; then
    say "the handler(s) $foreign in $misc, registered by someone else, take i386 programs," \
      "but the probe fails through them (probe: $result). Not registering $name in front" \
      "of them: fix them, or disable them (echo 0 > $misc/NAME), and run this again"
    return 1
  fi
  [[ -n $foreign ]] && say "warning: $foreign also take i386 programs; $name is in front of them"
  fetch_qemu || return 1
  if ours_current && [[ $result == "handler $name $qemu" ]]; then
    say "$name is registered already for $qemu: reused"
  else
    register || return 1
  fi
  if ! result=$(probe); then
    say "i386 programs still do not run after registering $name (probe: $result)"
    return 1
  fi
  if [[ $result != "handler $name $qemu" ]]; then
    say "the probe ran, but not through $name: $result"
    return 1
  fi
  say "i386 programs run: $result"
}

undo() {
  need_root
  mkdir -p "$(dirname "$qemu_dir")"
  exec 9>"$qemu_dir.lock"
  flock 9
  if ! ours_to_delete; then
    say "not undoing: $qemu_dir has no .kwelmora-qemu, so it was not made here"
    return 1
  fi
  if [[ -f $misc/register ]]; then
    unregister
  else
    say "binfmt_misc is not mounted at $misc: no handler to unregister"
  fi
  rm -rf "$qemu_dir" "$qemu_dir.new"
  say "deleted $qemu_dir"
}

qemu_version() {
  local result interpreter
  result=$(probe) || return 1
  case $result in
    native) echo native ;;
    handler*)
      read -r _ _ interpreter <<<"$result"
      interpreter=${interpreter% (deleted)}
      version_line "$interpreter" | grep . || { say "$interpreter does not answer --version"; return 1; }
      ;;
  esac
}

case "${1:-}" in
  probe) probe ;;
  ensure) ensure ;;
  undo) undo ;;
  qemu-version) qemu_version ;;
  *)
    echo "usage: $0 probe|ensure|undo|qemu-version" >&2
    exit 2
    ;;
esac
