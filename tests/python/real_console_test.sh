#!/usr/bin/env bash
# Why this exists: the Python client and stage-console-ctl must work with the
# console itself, not only with the test double they were written against.
# The real program runs offscreen on three simulated controllers, started at
# once (--start, as OK does), with its socket in the default place under a
# private XDG_RUNTIME_DIR and a profile that gives axis Y travel limits of
# +-1000 um; then real_console_test.py runs against it, and the console must
# still be running and end with status 0 on SIGTERM.
#   real_console_test.sh PROGRAM
set -uo pipefail
program=$1
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/console_under_test.sh
source "$here/../console_under_test.sh"

console_work sc-real
mkdir -p "$work/profiles"
printf 'schema_version = 1\nserial = "SimY"\n\n[limits]\nlower_counts = -128000\nupper_counts = 128000\n' \
  >"$work/profiles/SimY.toml"

"$program" --simulate 3 --start --profile-dir "$work/profiles" 2>"$work/stderr" &
program_pid=$!

export STAGE_CONSOLE_SOCKET="$XDG_RUNTIME_DIR/stage-console/control.sock"
# The tests' own waits are bounded; this bounds them all.
timeout 240 /usr/bin/python3 "$here/real_console_test.py" -v
status=$?
kill -0 "$program_pid" 2>/dev/null || fail "the console ended during the tests"
[ "$status" = 0 ] || fail "real_console_test.py: status $status"
end_with_sigterm
[ "$end_status" = 0 ] || fail "the console ended with status $end_status after SIGTERM"
echo "ok"
