#!/bin/sh
# Builds the Debian package, unpacks it into a scratch root, and checks its layout, the
# maintainer scripts, lintian's verdict and that the installed program runs. Installing,
# purging and the modes they leave are checked under a real systemd (systemd_test.sh).
set -eu
build=$1 version=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
file_in() { if [ ! -f "$1/$2" ] || [ -L "$1/$2" ]; then fail "$2 is not a file in $1"; fi; }
link_in() { [ "$(readlink "$1/$2")" = "$3" ] || fail "$2 in $1 is not a link to $3"; }

(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/deb" >/dev/null)
deb=$(ls "$scratch"/deb/quorvex_"$version"_*.deb)
root=$scratch/root
dpkg-deb -x "$deb" "$root"
file_in "$root" usr/lib/quorvex/Quorvex
link_in "$root" usr/bin/quorvex ../lib/quorvex/Quorvex
link_in "$root" usr/lib/nagios/plugins/check_quorvex ../../quorvex/Quorvex
file_in "$root" usr/share/man/man1/quorvex.1.gz
link_in "$root" usr/share/man/man1/Quorvex.1.gz quorvex.1.gz
file_in "$root" usr/share/doc/quorvex/copyright
file_in "$root" usr/share/doc/quorvex/Quorvex.ini.example
link_in "$root" usr/lib/quorvex/Quorvex.ini /etc/quorvex/Quorvex.ini
link_in "$root" usr/lib/quorvex/Quorvex.log /var/log/quorvex/Quorvex.log
link_in "$root" usr/lib/quorvex/spool /var/spool/quorvex
file_in "$root" usr/share/doc/quorvex/changelog.gz
units=$root/lib/systemd/system
for unit in service path timer; do file_in "$units" "quorvex-drain.$unit"; done
# Verified in a copy of the package's tree with the system's targets beside the units (the
# units' man page is the package's, not yet installed).
if command -v systemd-analyze >/dev/null && [ -d /lib/systemd/system ]; then
  cp -a "$root" "$scratch/verify"
  cp /lib/systemd/system/*.target "$scratch/verify/lib/systemd/system/"
  systemd-analyze verify --man=no --root="$scratch/verify" "$scratch"/verify/lib/systemd/system/quorvex-drain.* ||
    fail "systemd-analyze verify"
  # The drain reads what others queued: its exposure must stay at 1.0 (10 tenths) or less.
  systemd-analyze security --offline=yes --threshold=10 \
    "$scratch/verify/lib/systemd/system/quorvex-drain.service" >/dev/null ||
    fail "systemd-analyze security rates quorvex-drain.service above 1.0"
fi
grep -qx 'ComPort=' "$root/etc/quorvex/Quorvex.ini" || fail "ComPort= is not left to the admin"
[ "$(stat -c %a "$root/var/log/quorvex")" = 755 ] || fail "/var/log/quorvex is not 0755"
control=$scratch/control
dpkg-deb -e "$deb" "$control"
grep -qx /etc/quorvex/Quorvex.ini "$control/conffiles" || fail "Quorvex.ini is not a conffile"
for script in postinst prerm postrm; do
  [ -x "$control/$script" ] || fail "maintainer script $script missing"
done
"$root/usr/bin/quorvex" --version | head -n 1 | grep -qx "Quorvex $version" || fail "--version"
"$root/usr/lib/nagios/plugins/check_quorvex" --version | grep -qx "check_quorvex (Quorvex) $version" ||
  fail "check_quorvex --version"
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$deb" 2>/dev/null || fail "lintian"
  ! lintian --pedantic "$deb" 2>/dev/null | grep hardening- || fail "lintian: hardening"
fi
echo "install and package layouts as expected"
