#!/bin/sh
# The freshly built package in a Debian container booted with systemd-nspawn: the queue's
# engine as systemd runs it. The root is made once with mmdebstrap from the machine's apt
# sources and cached; each run boots an ephemeral copy. 77 (skipped) where none can boot.
set -eu
build=$1 sim=$2
cache=${QUORVEX_CONTAINER_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvex}
image=$cache/bookworm
skip() { echo "SKIP: $*"; exit 77; }
# A failure shows what the container's journal says of the queue.
fail() {
  echo "FAIL: $*" >&2
  [ -z "${init:-}" ] || nsenter -t "$init" -a journalctl -b --no-pager -n 40 -u 'quorvex-*' \
    -t quorvex >&2 || true
  exit 1
}
[ "$(id -u)" = 0 ] || skip "booting a container takes root"
command -v systemd-nspawn >/dev/null || skip "no systemd-nspawn (Debian's systemd-container)"
command -v mmdebstrap >/dev/null || skip "no mmdebstrap"

if [ ! -x "$image/lib/systemd/systemd" ]; then
  mkdir -p "$cache"
  rm -rf "$image.new"
  mmdebstrap --variant=minbase --include=systemd,systemd-sysv,dbus bookworm "$image.new" >&2
  mv "$image.new" "$image"
fi

work=$(mktemp -d)
nspawn=
cleanup() {
  [ -z "$nspawn" ] || kill "$nspawn" 2>/dev/null || true
  [ -z "$nspawn" ] || timeout 30 sh -c "while kill -0 $nspawn 2>/dev/null; do sleep 0.2; done" ||
    kill -9 "$nspawn"
  rm -rf "$work"
}
trap cleanup EXIT
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >/dev/null)
cp "$sim" "$work/quorvex-modem-sim"

systemd-nspawn --boot --ephemeral --register=no --keep-unit --console=passive \
  --machine="quorvex-test-$$" -D "$image" --bind-ro="$work:/mnt/quorvex" >"$work/boot.log" 2>&1 &
nspawn=$!
# The container's init: the process named systemd below systemd-nspawn.
init=
for _ in $(seq 600); do
  for pid in $(pgrep -P "$nspawn") $(pgrep -P "$(pgrep -d, -P "$nspawn")" 2>/dev/null); do
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = systemd ] && init=$pid
  done
  [ -n "$init" ] && break
  kill -0 "$nspawn" 2>/dev/null || { cat "$work/boot.log" >&2; skip "the container did not boot"; }
  sleep 0.1
done
[ -n "$init" ] || skip "the container did not start its init"
box() { nsenter -t "$init" -a "$@"; }
# Runs shell commands in the container until they succeed, for at most $1 seconds.
await() { box timeout "$1" sh -c "until $2; do sleep 0.2; done" || fail "not within $1 s: $2"; }
await 120 'systemctl is-active -q multi-user.target 2>/dev/null'
box sh -c 'dpkg -i /mnt/quorvex/deb/quorvex_*.deb' >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i"; }
modes=$(box stat -c '%n=%U:%G:%a' /var/log/quorvex /var/log/quorvex/Quorvex.log /var/spool/quorvex \
  /var/spool/quorvex/tmp /var/spool/quorvex/new /var/spool/quorvex/waiting /var/spool/quorvex/cur \
  /var/spool/quorvex/failed /var/spool/quorvex/drain.lock | sed 's|^/var/||' | paste -sd' ')
[ "$modes" = "log/quorvex=root:dialout:2755 log/quorvex/Quorvex.log=root:dialout:660 \
spool/quorvex=root:quorvex:2755 spool/quorvex/tmp=root:quorvex:3770 spool/quorvex/new=root:quorvex:3770 \
spool/quorvex/waiting=root:quorvex:2750 spool/quorvex/cur=root:quorvex:2750 \
spool/quorvex/failed=root:quorvex:2750 spool/quorvex/drain.lock=root:root:600" ] || fail "modes: $modes"
box sh -c 'printf "ComPort=2\nSMSPhone=9,012345678\nMaxAttempts=1\n" >/etc/quorvex/Quorvex.ini'
box useradd -M -G quorvex alice
modem() {
  box systemctl stop quorvex-modem 2>/dev/null || true
  box systemd-run -q --unit=quorvex-modem /mnt/quorvex/quorvex-modem-sim --link \
    /usr/lib/quorvex/COM2 --received /run/received "$@"
  await 10 '[ -L /usr/lib/quorvex/COM2 ]'
}

# 1. An item of root's and one of a quorvex member's go out through the path unit.
modem
box quorvex --queue 447775123456,from-root >/dev/null
box runuser -u alice -- quorvex --queue 447775123456,from-alice >/dev/null
await 240 'grep -q from-root /run/received && grep -q from-alice /run/received'
# shellcheck disable=SC2016 # expanded in the container
await 60 '[ "$(journalctl -t quorvex -o cat | grep -c " delivered; exit status 0")" = 2 ]'

# 2. A silent modem: the drain ends 75 "successfully", the item stays, the timer is armed,
# and nothing starts the drain again within a minute.
await 60 '! systemctl is-active -q quorvex-drain.service'
modem --modem silent
box quorvex --queue 447775123456,kept >/dev/null
await 60 'journalctl -t quorvex -o cat | grep -q "kept for the next drain; exit status 75"'
await 60 '! systemctl is-active -q quorvex-drain.service'
[ "$(box systemctl show -p Result --value quorvex-drain.service)" = success ] ||
  fail "a silent modem failed the service"
queued() { box find /var/spool/quorvex/new /var/spool/quorvex/waiting /var/spool/quorvex/cur -type f | wc -l; }
[ "$(queued)" = 1 ] || fail "the item did not stay"
box systemctl is-active -q quorvex-drain.timer quorvex-drain.path || fail "timer or path not active"
next=$(box busctl get-property org.freedesktop.systemd1 \
  /org/freedesktop/systemd1/unit/quorvex_2ddrain_2etimer org.freedesktop.systemd1.Timer \
  NextElapseUSecMonotonic | cut -d' ' -f2)
now=$(box cut -d. -f1 /proc/uptime)
[ $((next / 1000000 - now)) -gt 60 ] || fail "the timer runs the drain again within a minute"

# A monitoring user as Debian's nagios, in quorvex but not in dialout, learns of the silent
# modem from what the drain recorded.
box useradd -M -G quorvex watcher
checked=0
out=$(box runuser -u watcher -- /usr/lib/nagios/plugins/check_quorvex) || checked=$?
case "$checked $out" in
  "2 QUORVEX CRITICAL"*"the last delivery failed with exit status 75"*) ;;
  *) fail "the monitoring user's check: $checked $out" ;;
esac

# A drain stopped on purpose keeps its item and leaves no failed unit.
modem --dial-delay 30
box systemctl start --no-block quorvex-drain.service
await 60 'grep -q ATDT /run/received'
box systemctl stop quorvex-drain.service
[ "$(box systemctl show -p Result --value quorvex-drain.service)" = success ] ||
  fail "a stopped drain failed the service"
! box systemctl is-failed -q quorvex-drain.service || fail "a stopped drain left a failed unit"
[ "$(queued)" = 1 ] || fail "the stopped drain lost its item"

# 3. A burst of 20 alerts while every drain fails at once (no port): the path unit lives
# on, and once the port is back the queue flows without a reset-failed.
box systemctl stop quorvex-modem
for i in $(seq 20); do
  box quorvex --queue "447775123456,burst-$i" >/dev/null
  sleep 0.2  # spread over 4 s, so that many drains start and fail
done
await 30 '! systemctl is-active -q quorvex-drain.service'
box systemctl is-active -q quorvex-drain.path || fail "the burst took the path unit down"
modem
box quorvex --queue 447775123456,after >/dev/null
await 120 'grep -q kept /run/received'

# 4. Purge leaves no unit, spool or log, and keeps the group.
box systemctl stop quorvex-modem
box dpkg --purge quorvex >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg --purge"; }
left=$(box sh -c 'ls -d /lib/systemd/system/quorvex-drain.* /etc/systemd/system/*/quorvex-drain.* \
  /var/spool/quorvex /var/log/quorvex 2>/dev/null' || true)
[ -z "$left" ] || fail "purge left $left"
box getent group quorvex >/dev/null || fail "purge removed the quorvex group"
echo "the drain runs as systemd runs it"
