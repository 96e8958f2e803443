#!/bin/sh
# Runs each README recipe that queues an alert as its caller would (Nagios and cron through
# /bin/sh, Icinga 2 and systemd without a shell) with hostile values in every macro: exactly
# the text meant is queued, and nothing else runs.
set -eu
readme=$1 quorvex=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$quorvex" "$work/Quorvex"
fail() { echo "FAIL: $*" >&2; exit 1; }

long=$(printf '%0400d' 0 | tr 0 x)
export PAGER=447775123456
# shellcheck disable=SC2016 # the values must stay as they are, to test what runs them
export NAME='web1 (port 80); touch ran $(touch ran) `touch ran` "q"'
export STATE='CRITICAL; touch ran'
export OUTPUT="Load; avg \$(touch ran) \`touch ran\` 'single' \"double\"
second line $long"
# Nagios strips single quotes from output macros, and allows none in object names.
NAGIOS_OUTPUT=$(printf '%s' "$OUTPUT" | tr -d "'")
export NAGIOS_OUTPUT

# The text with each macro put in, as Nagios and Icinga do: text for text, nothing escaped.
put_in() {
  awk -v text="$1" 'BEGIN {
    n = split("$CONTACTPAGER$=PAGER $HOSTNAME$=NAME $SERVICEDESC$=NAME $HOSTSTATE$=STATE " \
              "$SERVICESTATE$=STATE $HOSTOUTPUT$=NAGIOS_OUTPUT $SERVICEOUTPUT$=NAGIOS_OUTPUT " \
              "$user.pager$=PAGER $host.name$=NAME $service.name$=NAME $service.state$=STATE " \
              "$service.output$=OUTPUT %H=NAME %i=NAME", pairs, " ")
    for (p = 1; p <= n; p++) {
      split(pairs[p], pair, "=")
      out = ""
      while ((at = index(text, pair[1])) > 0) {
        out = out substr(text, 1, at - 1) ENVIRON[pair[2]]
        text = substr(text, at + length(pair[1]))
      }
      text = out text
    }
    printf "%s", text
  }'
}

# Checks that the one item queued holds $1, and that no hostile value ran as a command.
expect_queued() {
  set -- "$1" "$work"/spool/new/*
  [ $# = 2 ] || fail "$(($# - 1)) items queued by: $recipe"
  [ "$(cat "$2")" = "$1" ] || fail "queued '$(cat "$2")' for: $recipe"
  rm -f "$2"
  [ ! -e "$work/ran" ] || fail "a value ran as a command in: $recipe"
}

recipes=0
grep -E '^ +command_line /usr/bin/quorvex --queue ' "$readme" >"$work/nagios" || true
while IFS= read -r recipe; do
  line=${recipe#*command_line }
  request=${line#*--queue \'}
  (cd "$work" && sh -c "$(put_in "$work/Quorvex${line#/usr/bin/quorvex}")" >/dev/null)
  expect_queued "$(put_in "${request%\'}")"
  recipes=$((recipes + 1))
done <"$work/nagios"

# shellcheck disable=SC2016 # a pattern, not an expansion
recipe=$(grep -E '^ +value = "\$user\.pager\$' "$readme" | sed 's/^ *value = "\(.*\)"$/\1/')
"$work/Quorvex" --queue "$(put_in "$recipe")" >/dev/null
expect_queued "$(put_in "$recipe")"

recipe=$(grep -E '^ +ExecStart=/usr/bin/quorvex --queue ' "$readme" | sed 's/^ *ExecStart=//')
set -f
# shellcheck disable=SC2086 # systemd splits the line into words first, as this does
set -- $recipe
set +f
shift
for word; do
  shift
  set -- "$@" "$(put_in "$word")"
done
"$work/Quorvex" "$@" >/dev/null
shift
expect_queued "$*"

recipe=$(grep -E '^ +[0-9*][^ ]* [^ ]+ [^ ]+ [^ ]+ [^ ]+ /usr/bin/quorvex --queue ' "$readme" |
  sed 's/^ *\([^ ]* \)\{5\}//')
command=$(printf '%s' "$recipe" | sed 's/\\%/%/g')
(cd "$work" && sh -c "$work/Quorvex${command#/usr/bin/quorvex}" >/dev/null)
request=${command#*--queue \'}
expect_queued "${request%\'}"

[ "$recipes" = 2 ] || fail "found $recipes Nagios recipes, not 2"
echo "every recipe queues exactly what it means"
