#!/usr/bin/env bash
# Checks that a built DLL imports nothing but what Kwelmora.dll may import:
# KERNEL32, USER32, ADVAPI32 and the system's C runtime.
# Usage: check_imports.sh OBJDUMP DLL
set -euo pipefail
objdump=$1
dll=$2
imports=$("$objdump" -p "$dll" | awk '/DLL Name:/ { print $3 }')
[[ -n "$imports" ]] || { echo "FAIL: no imports found in $dll"; exit 1; }
failures=0
while read -r imported; do
  case "${imported,,}" in
    kernel32.dll | user32.dll | advapi32.dll | msvcrt.dll) ;;
    *) echo "FAIL: $dll imports $imported"; failures=$((failures + 1)) ;;
  esac
done <<<"$imports"
((failures == 0)) || exit 1
echo "$dll imports only:" $imports
