#!/usr/bin/env bash
# Lists the functions of the engine, workflow, player and media folders longer than
# the limit (80 lines by default), longest first; exits 1 when there is one.
#   tools/long_functions.sh [LIMIT]
set -euo pipefail
cd "$(dirname "$0")/.."
limit="${1:-80}"
long=$(ctags --fields=+ne --kinds-c++=f -R -o - engine workflow player media |
  awk -F'\t' -v limit="$limit" '{
      line = ""; end = ""
      for (i = 4; i <= NF; i++) {
        if ($i ~ /^line:/) line = substr($i, 6)
        if ($i ~ /^end:/) end = substr($i, 5)
      }
      if (line != "" && end != "" && end - line + 1 > limit) print end - line + 1, $2 ":" line, $1
    }' | sort -rn)
[ -z "$long" ] && exit 0
echo "$long"
exit 1
