#!/bin/sh
# Builds the Debian package, unpacks it into a scratch root, and checks its layout, the
# maintainer scripts, lintian's verdict and that the installed program runs.
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
# Installed and purged in a scratch root (scripts run outside it, with DPKG_ROOT set): the
# postinst makes the shared log, and purge leaves nothing.
if [ "$(id -u)" = 0 ] && getent group dialout >/dev/null; then
  admin=$scratch/dpkg/var/lib/dpkg
  mkdir -p "$admin/updates" "$admin/info" "$scratch/dpkg/etc" && touch "$admin/status"
  # The postinst makes its group in the scratch root's own group file.
  cp /etc/group /etc/gshadow /etc/passwd /etc/shadow "$scratch/dpkg/etc/"
  grep -v '^quorvex:' /etc/group >"$scratch/dpkg/etc/group"
  in_root() {
    dpkg --root="$scratch/dpkg" --force-script-chrootless --force-depends --log=/dev/null "$@" \
      >"$scratch/dpkg.out" 2>&1 || { cat "$scratch/dpkg.out" >&2; fail "dpkg $*"; }
  }
  in_root -i "$deb"
  queue=$(sed -n 's/^quorvex:[^:]*:\([0-9]*\):.*/\1/p' "$scratch/dpkg/etc/group")
  [ -n "$queue" ] || fail "no quorvex group"
  modes=$(cd "$scratch/dpkg/var" && stat -c '%n=%U:%g:%a' log/quorvex/Quorvex.log \
    spool/quorvex spool/quorvex/tmp spool/quorvex/new spool/quorvex/cur spool/quorvex/failed \
    spool/quorvex/drain.lock | paste -sd' ')
  [ "$modes" = "log/quorvex/Quorvex.log=root:$(getent group dialout | cut -d: -f3):660 \
spool/quorvex=root:$queue:755 spool/quorvex/tmp=root:$queue:3770 spool/quorvex/new=root:$queue:3770 \
spool/quorvex/cur=root:$queue:750 spool/quorvex/failed=root:$queue:750 \
spool/quorvex/drain.lock=root:0:600" ] || fail "modes: $modes"
  [ "$(stat -c %a "$scratch/dpkg/var/log/quorvex")" = 2755 ] || fail "log directory mode"
  in_root -P quorvex
  grep -q '^quorvex:' "$scratch/dpkg/etc/group" || fail "purge removed the quorvex group"
  left=$(find "$scratch/dpkg" -path "$admin" -prune -o -path "$scratch/dpkg/etc" -prune -o -print |
    grep -v -x -e "$scratch/dpkg" -e "$scratch/dpkg/var" -e "$scratch/dpkg/var/lib" || true)
  [ -z "$left" ] || fail "purge left $left"
fi
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$deb" 2>/dev/null || fail "lintian"
  ! lintian --pedantic "$deb" 2>/dev/null | grep hardening- || fail "lintian: hardening"
fi
echo "install and package layouts as expected"
