#!/bin/sh
# Runs the whole suite, as its own settings run it, with a listener on /dev/log, and fails if
# any test sent the machine's journal a line. The listener lives in a mount namespace of
# this test's own, over a copy of /dev: the machine's /dev is left as it was.
# Usage: journal_test.sh BUILD_DIR
set -eu
build=$1
if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null ||
  ! command -v systemd-socket-activate >/dev/null; then
  echo "needs root, unshare and systemd-socket-activate" >&2
  exit 77
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# shellcheck disable=SC2016 # expanded by the inner shell
unshare --mount --propagation private sh -euc '
  scratch=$1 build=$2
  mkdir "$scratch/dev"
  mount --rbind /dev "$scratch/dev"
  mount -t tmpfs -o mode=0755 quorvex-test-dev /dev
  for entry in "$scratch"/dev/*; do
    name=${entry##*/}
    case $name in log | ptmx | pts) continue ;; esac
    if [ -L "$entry" ]; then cp -P "$entry" /dev/
    elif [ -d "$entry" ]; then mkdir "/dev/$name" && mount --rbind "$entry" "/dev/$name"
    else : >"/dev/$name" && mount --bind "$entry" "/dev/$name"
    fi
  done
  # A pty of this /dev needs its own devpts beside it.
  mkdir /dev/pts && mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts /dev/pts
  ln -s pts/ptmx /dev/ptmx
  # Any datagram wakes the listener, which then leaves its mark.
  systemd-socket-activate --datagram -l /dev/log touch "$scratch/sent" 2>/dev/null &
  listener=$!
  while [ ! -S /dev/log ]; do kill -0 "$listener" && sleep 0.1; done
  status=0
  env -u QUORVEX_HISTORY_SOCKET ctest --test-dir "$build" -LE "systemd|journal|fuzzing" \
    -j "$(nproc)" --output-on-failure >"$scratch/suite.log" 2>&1 || status=$?
  kill "$listener" 2>/dev/null || true
  if [ "$status" != 0 ]; then
    grep -m3 -A12 "Failure" "$scratch/suite.log" || tail -n 40 "$scratch/suite.log"
    echo "the suite failed with /dev/log listened to (status $status)" >&2
    exit 1
  fi
  if [ -e "$scratch/sent" ]; then
    echo "a test sent a history line to the machine'\''s /dev/log" >&2
    exit 1
  fi
' sh "$scratch" "$build"
