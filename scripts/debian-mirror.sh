#!/usr/bin/env bash
# Prints the Debian mirror this machine's apt sources name for its own release:
# the URI of the entry (deb822 .sources files, or one-line sources.list files)
# whose suite is the release's codename and whose components include main.
# Exits 1, saying so, when there is none.
set -uo pipefail
codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
if [[ -z $codename ]]; then
  echo "debian-mirror: /etc/os-release names no codename" >&2
  exit 1
fi
shopt -s nullglob
mirror=$(
  {
    # deb822: stanzas separated by blank lines, "Field: value" lines.
    for file in /etc/apt/sources.list.d/*.sources; do
      awk -v codename="$codename" '
        function flush() {
          if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " codename " ") &&
              (" " components " ") ~ / main /) { split(uris, u, " "); print u[1]; found = 1; exit }
          types = suites = components = uris = ""
        }
        /^[ \t]*$/ { flush(); next }
        /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0 }
        /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
        /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
        /^Components:/ { sub(/^Components:[ \t]*/, ""); components = $0 }
        END { if (!found) flush() }' "$file"
    done
    # One-line format: deb [options] URI SUITE COMPONENT...
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
      [[ -f $file ]] || continue
      sed -E 's/\[[^]]*\]//' "$file" | awk -v codename="$codename" '
        $1 == "deb" && $3 == codename { for (i = 4; i <= NF; i++) if ($i == "main") { print $2; exit } }'
    done
  } | head -n 1
)
if [[ -z $mirror ]]; then
  echo "debian-mirror: no apt source for $codename main in /etc/apt" >&2
  exit 1
fi
echo "${mirror%/}"
