#!/usr/bin/env bash
# kx-host's manual page against `kx-host --help`: the same options for each
# command in the synopsis, and an entry under OPTIONS for every option.
#   manual_page_test.sh KX_HOST MANUAL_PAGE
set -euo pipefail
host=$1 page=$2
help=$("$host" --help)
# "<command> <option>" per usage line (continuation lines start with "[").
from_help=$(awk '{
    if (match($0, /kx-host [a-z]+/)) command = substr($0, RSTART + 8, RLENGTH - 8)
    else if ($0 !~ /^ +\[/) command = ""
    while (command != "" && match($0, /--[a-z][a-z-]*/)) { print command, substr($0, RSTART, RLENGTH); $0 = substr($0, RSTART + RLENGTH) }
  }' <<<"$help" | sort -u)
from_synopsis=$(sed 's/\\-/-/g' "$page" | awk '
    /^\.SY "kx-host [a-z]+"/ { command = $3; sub(/"/, "", command); next }
    /^\.YS/ { command = "" }
    command != "" && /^\.OP / { print command, $2 }' | sort -u)
status=0
if [[ $from_help != "$from_synopsis" ]]; then
  echo "the synopsis of $page and kx-host --help differ (-help +page):"
  diff <(echo "$from_help") <(echo "$from_synopsis") || true
  status=1
fi
# The options described: each .TP entry's first line.
described=$(sed 's/\\-/-/g' "$page" | awk '/^\.(TP|TQ)/ { getline; if (match($0, /--[a-z][a-z-]*/)) print substr($0, RSTART, RLENGTH) }' | sort -u)
expected=$( (awk '{ print $2 }' <<<"$from_help"; echo --help) | sort -u)
if [[ $described != "$expected" ]]; then
  echo "the OPTIONS of $page and kx-host --help differ (-help +page):"
  diff <(echo "$expected") <(echo "$described") || true
  status=1
fi
[[ $status -ne 0 ]] || echo "$(wc -l <<<"$from_help") command options, $(wc -l <<<"$described") described"
exit $status
