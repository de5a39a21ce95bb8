#!/usr/bin/env bash
# Checks Kwelmora.lib, the import library for Visual Studio-style linkers, from its
# members without linking anything:
#   - every import it holds is one of Kwelmora.dll's, a function (code);
#   - exactly the expected exports, each once;
#   - on i686, each under the symbols a 32-bit MSVC compiler emits for a __stdcall
#     function, __imp__Name@N and _Name@N, marked "undecorate" so that the loader
#     asks the DLL for the plain Name it exports; on x86_64 __imp_Name and Name,
#     imported by that name.
# Usage: check_import_library.sh LLVM_READOBJ LIB ARCH NAME:ORDINAL:ARGBYTES...
set -euo pipefail
readobj=$1
lib=$2
arch=$3
shift 3

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# One line per import member: "DLL|type|name type|symbol symbol ...".
members=$("$readobj" "$lib" | awk '
  function flush() { if (dll != "") print dll "|" type "|" nametype "|" symbols; dll = "" }
  /^File: / { flush(); file = $2; symbols = ""; type = ""; nametype = "" }
  /^Format: COFF-import-file/ { dll = file }
  /^Type: / { type = $2 }
  /^Name type: / { nametype = $3 }
  /^Symbol: / { symbols = symbols (symbols == "" ? "" : " ") $2 }
  END { flush() }')
[[ -n $members ]] || fail "$lib holds no imports"

declare -A seen
while IFS='|' read -r dll type nametype symbols; do
  [[ -n $dll ]] || continue
  [[ $dll == Kwelmora.dll ]] || fail "an import from '$dll': $symbols"
  [[ $type == code ]] || fail "'$symbols' is imported as $type, not code"
  key=
  for symbol in $symbols; do
    if [[ $symbol == __imp_* ]]; then key=$symbol; fi
  done
  [[ -n $key ]] || { fail "an import without an __imp_ symbol: $symbols"; continue; }
  seen[$key]="$nametype|$symbols"
done <<<"$members"

for entry in "$@"; do
  IFS=: read -r name ordinal args <<<"$entry"
  if [[ $arch == i686 ]]; then
    imp="__imp__$name@$args" thunk="_$name@$args" want_type=undecorate
  else
    imp="__imp_$name" thunk="$name" want_type=name
  fi
  if [[ -z ${seen[$imp]:-} ]]; then
    fail "$name (ordinal $ordinal): no $imp"
    continue
  fi
  IFS='|' read -r nametype symbols <<<"${seen[$imp]}"
  [[ " $symbols " == *" $thunk "* ]] || fail "$name: no $thunk beside $imp ($symbols)"
  [[ $nametype == "$want_type" ]] || fail "$name: name type '$nametype', expected '$want_type'"
  unset "seen[$imp]"
done
for left in "${!seen[@]}"; do
  fail "unexpected import $left"
done

if ((failures)); then
  echo "$failures problem(s) in $lib"
  exit 1
fi
echo "$lib ($arch): the $# imports of Kwelmora.dll under the names an MSVC compiler emits"
