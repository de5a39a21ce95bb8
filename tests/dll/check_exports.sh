#!/usr/bin/env bash
# Checks a built Kwelmora.dll from its headers and code, without running it:
#   - the export directory names the module Kwelmora.dll;
#   - exactly the expected exports, undecorated, with their ordinals;
#   - it imports nothing but system DLLs;
#   - on i686, each export is __stdcall: every return in its body removes its own
#     argument bytes (ret $N), which is what a 32-bit host expects.
# Usage: check_exports.sh OBJDUMP DLL ARCH NAME:ORDINAL:ARGBYTES...
#        check_exports.sh --saved HEADERS ARCH NAME:ORDINAL:ARGBYTES...
# The second form reads saved `objdump -p` output instead of a DLL (the checks of
# the headers only): tests/dll/objdump/ holds the output of two binutils
# generations, so the reader of the format this machine's objdump does not print
# is tested too.
set -euo pipefail
if [[ $1 == --saved ]]; then
  objdump=
  dll=$2
  headers=$(<"$dll")
else
  objdump=$1
  dll=$2
  headers=$("$objdump" -p "$dll")
fi
arch=$3
shift 3

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

module=$(awk '/^Name[ \t]/ { print $NF; exit }' <<<"$headers")
[[ "$module" == "Kwelmora.dll" ]] || fail "export directory names the module '$module'"

base=$(awk '/Ordinal Base/ { print $NF; exit }' <<<"$headers")
image_base=$(awk '/^ImageBase/ { print $2; exit }' <<<"$headers")

# "[   0] +base[   4] 14c0 Export RVA" -> ordinal RVA
declare -A rva_of_ordinal=()
while read -r ordinal rva; do
  rva_of_ordinal[$ordinal]=$rva
done < <(sed -n 's/^[[:space:]]*\[ *[0-9]*\] +base\[ *\([0-9]*\)\] \([0-9a-f]*\) Export RVA/\1 \2/p' <<<"$headers")

# The name table, under "[Ordinal/Name Pointer] Table". Its rows differ between
# binutils generations:
#   2.40:  "[   1] ZainicjowanoPortSzeregowyDlaZRV"
#          the index into the address table; the ordinal is the base plus it;
#   2.44:  a header "Ordinal   Hint Name", then
#          "[   1] +base[   2]  0000 ZainicjowanoPortSzeregowyDlaZRV"
#          with the ordinal itself after +base.
# Anything else where a row is due ends the table; an empty table fails below.
declare -A ordinal_of_name=()
while read -r name ordinal; do
  ordinal_of_name[$name]=$ordinal
done < <(awk -v base="$base" '
  function fields(line) { gsub(/[][+]/, " ", line); return split(line, field) }
  /\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
  !on { next }
  /^[ \t]*\[ *[0-9]+\] \+base\[ *[0-9]+\][ \t]+[0-9a-fA-F]+[ \t]+[^ \t]+[ \t]*$/ {
    fields($0); print field[5], field[3]; next }
  /^[ \t]*\[ *[0-9]+\][ \t]+[^ \t]+[ \t]*$/ { fields($0); print field[2], field[1] + base; next }
  /^[ \t]*Ordinal[ \t]+Hint[ \t]+Name[ \t]*$/ { next }
  { exit }' <<<"$headers")
if ((${#ordinal_of_name[@]} == 0)); then
  fail "no export found in the name table (no table, or a format this script cannot read)"
fi

expected_names=()
for entry in "$@"; do
  IFS=: read -r name ordinal args <<<"$entry"
  expected_names+=("$name")
  actual=${ordinal_of_name[$name]:-}
  if [[ -z "$actual" ]]; then
    fail "$name is not exported"
    continue
  fi
  [[ "$actual" == "$ordinal" ]] || fail "$name has ordinal $actual, expected $ordinal"
  [[ -n "${rva_of_ordinal[$ordinal]:-}" ]] || fail "ordinal $ordinal has no address"
done

for name in "${!ordinal_of_name[@]}"; do
  [[ "$name" == *@* ]] && fail "export $name is decorated"
  found=0
  for expected in "${expected_names[@]}"; do
    [[ "$name" == "$expected" ]] && found=1
  done
  ((found)) || fail "unexpected export $name"
done
[[ ${#ordinal_of_name[@]} -eq $# ]] || fail "${#ordinal_of_name[@]} exports, expected $#"

# Imports: Windows' own DLLs only (msvcrt.dll is the system's C runtime).
while read -r imported; do
  case "${imported,,}" in
    kernel32.dll | user32.dll | advapi32.dll | msvcrt.dll) ;;
    *) fail "imports $imported" ;;
  esac
done < <(awk '/DLL Name:/ { print $3 }' <<<"$headers")

if [[ "$arch" == "i686" && -n $objdump ]]; then
  disassembly=$("$objdump" -d --no-show-raw-insn "$dll")
  for entry in "$@"; do
    IFS=: read -r name ordinal args <<<"$entry"
    rva=${rva_of_ordinal[$ordinal]:-}
    [[ -n "$rva" ]] || continue
    address=$(printf '%x' $((0x$image_base + 0x$rva)))
    # The export's label, then the instructions under it and under the parts the
    # compiler moved out of line (".cold"), up to the next label each.
    label=$(awk -v start="$address" '$0 ~ "^0*" start " <" { sub(/^[0-9a-f]+ </, ""); sub(/>:$/, ""); print; exit }' <<<"$disassembly")
    [[ -n "$label" ]] || { fail "$name: no code at 0x$address"; continue; }
    body=$(awk -v label="$label" '
      /^[0-9a-f]+ </ { name = $2; sub(/^</, "", name); sub(/>:$/, "", name)
                       on = (name == label || index(name, label ".cold") == 1); next }
      on { print }' <<<"$disassembly")
    [[ -n "$body" ]] || { fail "$name: no code at 0x$address"; continue; }
    rets=$(grep -E '\sret[lw]?(\s|$)' <<<"$body" || true)
    [[ -n "$rets" ]] || { fail "$name: no return found"; continue; }
    if ((args == 0)); then
      wanted='ret[l]?$'
    else
      wanted="ret[l]? +\\\$0x$(printf '%x' "$args")\$"
    fi
    while read -r line; do
      instruction=$(sed -E 's/^[[:space:]]*[0-9a-f]+:[[:space:]]*//; s/[[:space:]]+$//' <<<"$line")
      [[ "$instruction" =~ $wanted ]] ||
        fail "$name: '$instruction' does not remove $args argument bytes"
    done <<<"$rets"
  done
fi

if ((failures)); then
  echo "$failures problem(s) in $dll"
  exit 1
fi
echo "$dll ($arch): $# exports with their ordinals, system imports only"
