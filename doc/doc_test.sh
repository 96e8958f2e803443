#!/bin/sh
# The man page renders without a single warning from groff, and mandoc finds nothing above
# a matter of style. Scripts read the exit statuses in the README and the man page: both
# must list exactly those that --help prints from the program's own table.
set -eu
page=$1 readme=$2 quorvex=$3
warnings=$(groff -man -ww -z "$page" 2>&1)
[ -z "$warnings" ] || { echo "$warnings" >&2; exit 1; }
if command -v mandoc >/dev/null; then
  mandoc -Tlint -W warning "$page"
fi
used=$("$quorvex" --help | sed -n '/^Exit status:/,/^$/s/^  \([0-9][0-9]*\).*/\1/p' | sort)
in_readme=$(sed -n '/^### Exit status/,/^[0-9]/s/.*| \([0-9][0-9]*\)[^|]*|$/\1/p' "$readme" | sort)
in_page=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH SIGNALS/s/^\.B \([0-9][0-9]*\).*/\1/p' "$page" | sort)
[ "$in_readme" = "$used" ] || { echo "README lists $in_readme, --help $used" >&2; exit 1; }
[ "$in_page" = "$used" ] || { echo "man page lists $in_page, --help $used" >&2; exit 1; }
echo "man page clean, exit statuses listed alike"
