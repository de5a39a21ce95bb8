#!/usr/bin/env bash
# The export check's reader of `objdump -p`, on saved output of both binutils
# generations (tests/dll/objdump/), whichever objdump this machine has:
#   - each passes as saved;
#   - each with its name table emptied fails, saying so;
#   - each with an ordinal changed fails on that export.
# Usage: check_exports_saved.sh NAME:ORDINAL:ARGBYTES...
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

expect() { # NAME EXIT PATTERN HEADERS
  local output status
  output=$(bash "$here/check_exports.sh" --saved "$4" i686 "${expected[@]}" 2>&1)
  status=$?
  if [[ $status -ne $2 ]] || ! grep -qE "$3" <<<"$output"; then
    echo "FAIL: $1: exit $status, expected $2 and /$3/:"
    sed 's/^/    /' <<<"$output"
    failures=$((failures + 1))
  else
    echo "ok:   $1"
  fi
}

expected=("$@")
for saved in "$here"/objdump/*.txt; do
  name=$(basename "$saved" .txt)
  expect "$name as saved" 0 "5 exports with their ordinals" "$saved"

  sed '/Ordinal\/Name Pointer/,/^[[:space:]]*$/{/^[[:space:]]*\[/d}' "$saved" >"$work/$name-empty.txt"
  expect "$name, name table emptied" 1 "no export found in the name table" "$work/$name-empty.txt"

  # The last name row (ZapisanieBajtowDoZRV, ordinal 1) moved to another slot.
  awk '/Ordinal\/Name Pointer/ { on = 1 }
       on && /ZapisanieBajtowDoZRV/ { sub(/\[ *0\]/, "[   7]"); sub(/\+base\[ *1\]/, "+base[   8]") }
       { print }' "$saved" >"$work/$name-ordinal.txt"
  expect "$name, an ordinal changed" 1 "ZapisanieBajtowDoZRV has ordinal 8, expected 1" \
    "$work/$name-ordinal.txt"
done
((failures == 0))
