#!/usr/bin/env bash
# Prints the machine's Wine loader and wine server, one path a line, found the
# way Debian's packages install them: among the files of the installed wine64,
# wine and libwine packages, the loader `wine64` (Debian 12 and 13:
# /usr/lib/wine/wine64) or else `wine` (the WoW64 builds: /usr/lib/<triplet>/wine/
# wine), and the server `wineserver64` or else `wineserver` beside it. Falls back
# to the commands on PATH. Exits 1, saying so, when there is no Wine.
set -uo pipefail

files=()
for package in wine64 wine libwine; do
  mapfile -t -O "${#files[@]}" files < <(dpkg-query -L "$package" 2>/dev/null)
done

# first_executable NAME...: the first packaged file, outside bin/, with one of
# these names (in the order given), that is an executable regular file.
first_executable() {
  local name file
  for name in "$@"; do
    for file in "${files[@]}"; do
      [[ ${file##*/} == "$name" && $file != */bin/* && -f $file && -x $file ]] || continue
      echo "$file"
      return 0
    done
  done
  return 1
}

loader=$(first_executable wine64 wine || command -v wine64 || command -v wine) || loader=
server=$(first_executable wineserver64 wineserver || command -v wineserver) || server=
if [[ -z $loader || -z $server ]]; then
  echo "find-wine: no Wine found (install the wine64 and wine packages:" \
    "bash scripts/install-deps.sh)" >&2
  exit 1
fi
printf '%s\n%s\n' "$loader" "$server"
