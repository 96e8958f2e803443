#!/bin/sh
# Runs the whole suite as its own settings run it, with a listener on /dev/log, and fails if
# any test sent the journal a line. The listener lives in a mount namespace of this test's
# own, over a copy of /dev (a pty there needs its own devpts): the machine's is untouched.
set -eu
if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null ||
  ! command -v systemd-socket-activate >/dev/null; then
  echo "needs root, unshare and systemd-socket-activate" >&2 && exit 77
fi
scratch=$(mktemp -d)
mkdir "$scratch/dev"
trap 'rm -rf "$scratch"' EXIT
# shellcheck disable=SC2016 # expanded by the inner shell
unshare --mount --propagation private sh -euc '
  mount -t tmpfs -o mode=0755 none "$1/dev" && cp -a /dev/. "$1/dev/" && rm -f "$1/dev/log"
  mount --move "$1/dev" /dev
  mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts /dev/pts
  ln -sf pts/ptmx /dev/ptmx
  systemd-socket-activate --datagram -l /dev/log touch "$1/sent" 2>/dev/null &
  while [ ! -S /dev/log ]; do kill -0 $! && sleep 0.1; done
  passed=yes
  env -u QUORVEX_HISTORY_SOCKET ctest --test-dir "$2" -LE "systemd|journal|fuzzing" \
    -j "$(nproc)" --output-on-failure >"$1/suite.log" 2>&1 || passed=no
  # The listener holds the output of this test open: ctest would wait for it.
  kill $! 2>/dev/null || true
  if [ "$passed" = no ]; then
    grep -A 8 ": Failure" "$1/suite.log" | head -n 60 && tail -n 8 "$1/suite.log"
    echo "the suite failed with /dev/log listened to" >&2 && exit 1
  fi
  if [ -e "$1/sent" ]; then echo "a test sent a line to the journal (/dev/log)" >&2 && exit 1; fi
' sh "$scratch" "$1"
