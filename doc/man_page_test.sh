#!/bin/sh
# The man page renders without a single warning and lists every exit status of the README's
# table.
set -eu
page=$1
readme=$2

warnings=$(groff -man -ww -z "$page" 2>&1)
[ -z "$warnings" ] || { echo "$warnings" >&2; exit 1; }

statuses=$(sed -n '/^### Exit status/,/^75 means/p' "$readme" | grep '^| ' |
  sed -n 's/.*| *\([0-9][0-9]*\)[^|]*|$/\1/p')
[ -n "$statuses" ] || { echo "no exit statuses found in $readme" >&2; exit 1; }
listed=$(sed -n '/^\.SH "\?EXIT STATUS/,/^\.SH /p' "$page")
for status in $statuses; do
  printf '%s\n' "$listed" | grep -q "^\.B $status\\b" ||
    { echo "exit status $status is missing from $page" >&2; exit 1; }
done
echo "man page clean; exit statuses $(echo $statuses) listed"
