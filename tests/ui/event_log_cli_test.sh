#!/usr/bin/env bash
# Why this exists: the event log belongs to the console, not to its control
# API. With --no-control and --log FILE the real program, offscreen on
# simulated controllers, serves no socket and still logs: its end on SIGTERM
# is a line on stderr and in the file, with its time.
#   event_log_cli_test.sh PROGRAM
set -uo pipefail
program=$1

work=$(mktemp -d /tmp/sc-log-XXXXXX)
program_pid=""
cleanup() {
  [ -n "$program_pid" ] && kill -KILL "$program_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  echo "--- console stderr" >&2
  cat "$work/stderr" >&2 2>/dev/null
  exit 1
}

export XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen
mkdir -m 0700 "$XDG_RUNTIME_DIR"
"$program" --simulate 2 --start --no-control --log "$work/events.log" 2>"$work/stderr" &
program_pid=$!
# The file is made as the console starts; then a moment for the main window.
for _ in $(seq 300); do [ -e "$work/events.log" ] && break; sleep 0.05; done
[ -e "$work/events.log" ] || fail "no log file after 15 s"
sleep 1
kill -0 "$program_pid" 2>/dev/null || fail "the console ended by itself"
[ ! -e "$XDG_RUNTIME_DIR/stage-console/control.sock" ] || fail "a control socket with --no-control"
kill -TERM "$program_pid"
for _ in $(seq 200); do kill -0 "$program_pid" 2>/dev/null || break; sleep 0.05; done
wait "$program_pid"
status=$?
program_pid=""
[ "$status" = 0 ] || fail "status $status after SIGTERM"
time_re='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[.][0-9]{3}Z'
grep -Eq "^$time_re the console ends on SIGTERM\$" "$work/events.log" || fail "not in the file: $(cat "$work/events.log")"
grep -Eq "^stage-console: $time_re the console ends on SIGTERM\$" "$work/stderr" || fail "not on stderr"
echo "ok"
