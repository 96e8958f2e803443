#!/bin/sh
# Installs the build into a scratch prefix and builds the Debian package, unpacks it into a
# scratch root, and checks both layouts and that the installed program runs.
set -eu
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
file_in() { [ -f "$1/$2" ] && [ ! -L "$1/$2" ] || fail "$2 is not a file in $1"; }
link_in() { [ "$(readlink "$1/$2")" = "$3" ] || fail "$2 in $1 is not a link to $3"; }
runs_version() { [ "$("$1" --version)" = "Quorvex 1.0.0" ] || fail "$1 --version"; }

prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
file_in "$prefix" lib/quorvex/Quorvex
link_in "$prefix" bin/quorvex ../lib/quorvex/Quorvex
file_in "$prefix" share/man/man1/Quorvex.1
file_in "$prefix" share/doc/quorvex/Quorvex.ini.example
[ ! -e "$prefix/etc" ] && [ ! -e "$prefix/lib/quorvex/Quorvex.ini" ] || fail "package-only files installed"
runs_version "$prefix/bin/quorvex"

(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/deb" >/dev/null)
deb=$(ls "$scratch"/deb/quorvex_1.0.0_*.deb)
root=$scratch/root
dpkg-deb -x "$deb" "$root"
file_in "$root" usr/lib/quorvex/Quorvex
link_in "$root" usr/bin/quorvex ../lib/quorvex/Quorvex
link_in "$root" usr/lib/quorvex/Quorvex.ini ../../../etc/quorvex/Quorvex.ini
link_in "$root" usr/lib/quorvex/Quorvex.log ../../../var/log/quorvex/Quorvex.log
file_in "$root" usr/share/man/man1/Quorvex.1
file_in "$root" etc/quorvex/Quorvex.ini
grep -qx 'ComPort=' "$root/etc/quorvex/Quorvex.ini" || fail "ComPort= is not left to the admin"
[ -d "$root/var/log/quorvex" ] || fail "no /var/log/quorvex"
[ "$(dpkg-deb -f "$deb" Package)" = quorvex ] || fail "package name"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/quorvex/Quorvex.ini ||
  fail "/etc/quorvex/Quorvex.ini is not a conffile"
runs_version "$root/usr/bin/quorvex"
echo "install and package layouts as expected"
