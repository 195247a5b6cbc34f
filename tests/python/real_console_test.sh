#!/usr/bin/env bash
# Why this exists: the Python client and stage-console-ctl must work with the
# console itself, not only with the test double they were written against.
# The real program runs on three simulated controllers under Xvfb and openbox
# (the control API serves the axes once Motor Settings' OK has opened them,
# and only a window system lets a test press OK in another program), with its
# socket in the default place under a private XDG_RUNTIME_DIR and a profile
# that gives axis Y travel limits of +-1000 um; then real_console_test.py runs
# against it. Skipped (status 77) without Xvfb, openbox, xdotool.
#   real_console_test.sh PROGRAM
set -uo pipefail
program=$1
here=$(cd "$(dirname "$0")" && pwd)

for tool in Xvfb openbox xdotool xprop; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (bash scripts/deps.sh --test installs it)"
    exit 77
  fi
done

work=$(mktemp -d /tmp/sc-real-XXXXXX)
pids=()
program_pid=""
cleanup() {
  [ -n "$program_pid" ] && kill -KILL "$program_pid" 2>/dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  echo "--- console stderr" >&2
  cat "$work/stderr" >&2 2>/dev/null
  exit 1
}

# shellcheck source=../x_session.sh
source "$here/../x_session.sh"
start_x_server 1280x1024 || fail "Xvfb did not start"
start_window_manager || fail "openbox did not start"

export XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
mkdir -p "$work/profiles"
printf 'schema_version = 1\nserial = "SimY"\n\n[limits]\nlower_counts = -128000\nupper_counts = 128000\n' \
  >"$work/profiles/SimY.toml"

QT_QPA_PLATFORM=xcb "$program" --simulate 3 --profile-dir "$work/profiles" 2>"$work/stderr" &
program_pid=$!
select_window=$(window "Motor Settings") || fail "no Motor Settings window"
# OK, clicked: centred, 4320 twips (288 px) below the client area's top.
eval "$(xdotool getwindowgeometry --shell "$select_window")"
sleep 0.3
xdotool mousemove --window "$select_window" $((WIDTH / 2)) 300 click 1
window "KLV-330" >/dev/null || fail "no main window"

export STAGE_CONSOLE_SOCKET="$XDG_RUNTIME_DIR/stage-console/control.sock"
# Bounded: the tests' own waits are, and this is the bound on them all.
timeout 240 /usr/bin/python3 "$here/real_console_test.py" -v
status=$?
kill -0 "$program_pid" 2>/dev/null || fail "the console ended during the tests"
[ "$status" = 0 ] || fail "real_console_test.py: status $status"
kill -TERM "$program_pid"
for _ in $(seq 100); do kill -0 "$program_pid" 2>/dev/null || break; sleep 0.05; done
wait "$program_pid"
end_status=$?
program_pid=""
[ "$end_status" = 0 ] || fail "the console ended with status $end_status after SIGTERM"
echo "ok"
