#!/bin/sh
# The man page renders without a single warning from groff, and mandoc finds nothing above
# a matter of style. (Its exit statuses are checked against the code's table elsewhere.)
set -eu
page=$1
warnings=$(groff -man -ww -z "$page" 2>&1)
[ -z "$warnings" ] || { echo "$warnings" >&2; exit 1; }
if command -v mandoc >/dev/null; then
  mandoc -Tlint -W warning "$page"
fi
echo "man page clean"
