#!/usr/bin/env bash
# Why this exists: the event log belongs to the console, not to its control
# API. With --no-control and --log FILE the real program, offscreen on
# simulated controllers, serves no socket and still logs: its end on SIGTERM
# is a line on stderr and in the file, with its time, also when the signal
# comes while the console is still starting.
#   event_log_cli_test.sh PROGRAM
set -uo pipefail
program=$1
# shellcheck source=tests/console_under_test.sh
source "$(dirname "$0")/../console_under_test.sh"

console_work sc-log
time_re='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[.][0-9]{3}Z'

# Twice: once running, once still starting (SIGTERM as soon as the log file
# is there, before the windows may be): both end in order, with the line.
for when in running starting; do
  rm -f "$work/events.log" "$work/stderr"
  "$program" --simulate 2 --start --no-control --log "$work/events.log" 2>"$work/stderr" &
  program_pid=$!
  # The file is made as the console starts.
  for _ in $(seq 300); do [ -e "$work/events.log" ] && break; sleep 0.05; done
  [ -e "$work/events.log" ] || fail "no log file after 15 s"
  if [ "$when" = running ]; then
    sleep 1
    kill -0 "$program_pid" 2>/dev/null || fail "the console ended by itself"
    [ ! -e "$XDG_RUNTIME_DIR/stage-console/control.sock" ] || fail "a control socket with --no-control"
  fi
  end_with_sigterm
  [ "$end_status" = 0 ] || fail "$when: status $end_status after SIGTERM"
  grep -Eq "^$time_re the console ends on SIGTERM\$" "$work/events.log" ||
    fail "$when: not in the file: $(cat "$work/events.log")"
  grep -Eq "^stage-console: $time_re the console ends on SIGTERM\$" "$work/stderr" || fail "$when: not on stderr"
done
echo "ok"
