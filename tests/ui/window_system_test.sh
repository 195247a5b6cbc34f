#!/usr/bin/env bash
# Why this exists: what offscreen cannot show. The whole program runs under a
# real X server (Xvfb) and window manager (openbox) on the hostile device
# library, which logs every controller close, and is ended from outside:
#   close-main     the window manager destroys the main window (xdotool windowclose);
#                  before that, both windows carry the program's icon
#   close-select   ... the start-up window, before OK
#   close-fatal    ... the open-failure message box
#   sigterm        SIGTERM while polling
#   x-lost         the X server goes away while polling
#   scope-clear    --scope: the Scope opens neither over the start-up window
#                  nor over the main window after OK (minimised when the
#                  screen has no room), and the keyboard stays with the
#                  start-up window
# Each case checks the exit status and which controllers were closed.
# Exits 77 (skipped) when Xvfb, openbox, xdotool or xprop is missing.
#   window_system_test.sh PROGRAM LIBRARY CASE
set -uo pipefail
program=$1 library=$2 case=$3

for tool in Xvfb openbox xdotool xprop; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (bash scripts/deps.sh installs it)"
    exit 77
  fi
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED ($case): $*" >&2
  echo "--- program stderr" >&2
  cat "$work/stderr" >&2 2>/dev/null
  echo "--- close log" >&2
  cat "$work/closes" >&2 2>/dev/null
  exit 1
}

# shellcheck source=../x_session.sh
source "$(dirname "$0")/../x_session.sh"
start_x_server 1280x1024 || fail "Xvfb did not start"
start_window_manager || fail "openbox did not start"

# Waits for the program to end; sets status.
status="still running"
finish() {
  for _ in $(seq 200); do
    if ! kill -0 "$program_pid" 2>/dev/null; then
      wait "$program_pid"
      status=$?
      return 0
    fi
    sleep 0.1
  done
}

export HOSTILE_LOG="$work/closes" HOSTILE_COUNT=3
[ "$case" = close-fatal ] && export HOSTILE_OPEN_FAIL=1
touch "$work/closes"
extra=()
[ "$case" = scope-clear ] && extra=(--scope)
# The controllers' profiles go to a folder of the run's own, never the user's.
XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb "$program" --device-library "$library" "${extra[@]}" 2>"$work/stderr" &
program_pid=$!
pids+=("$program_pid")

select_window=$(window "Motor Settings") || fail "no Motor Settings window"
if [ "$case" = close-select ]; then
  xdotool windowclose "$select_window"
  finish
  [ "$status" = 0 ] || fail "status $status, expected 0"
  [ ! -s "$work/closes" ] || fail "closed controllers that were never opened"
  echo "ok: $case"
  exit 0
fi

# Whether the Scope, if it is on the screen, overlaps the window with this id.
scope_over() {
  local scope
  scope=$(xdotool search --onlyvisible --name "^Scope\$" 2>/dev/null | head -1)
  [ -n "$scope" ] || return 1
  eval "$(xdotool getwindowgeometry --shell --prefix S_ "$scope")"
  eval "$(xdotool getwindowgeometry --shell --prefix O_ "$1")"
  ((S_X < O_X + O_WIDTH && O_X < S_X + S_WIDTH && S_Y < O_Y + O_HEIGHT && O_Y < S_Y + S_HEIGHT))
}
# Waits (up to 20 s on a busy machine) until the command succeeds.
eventually() {
  for _ in $(seq 200); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}
scope_clear_of() { ! scope_over "$1"; }
select_active() { [ "$(xdotool getactivewindow 2>/dev/null)" = "$select_window" ]; }
if [ "$case" = scope-clear ]; then
  # The window manager centres the start-up window; the Scope moves clear.
  eventually scope_clear_of "$select_window" || fail "the Scope covers the start-up window"
  eventually select_active || fail "the start-up window lost the keyboard"
  sleep 0.5
  scope_over "$select_window" && fail "the Scope came back over the start-up window"
fi

# OK, clicked: centred on the window, 4320 twips (288 px) from the top of
# the client area, 375 twips (25 px) high.
eval "$(xdotool getwindowgeometry --shell "$select_window")"
sleep 0.3
xdotool mousemove --window "$select_window" $((WIDTH / 2)) 300 click 1

expected_closes=$'close 0x100\nclose 0x101\nclose 0x102'
case $case in
  close-fatal)
    # The box has no title of its own; it is the program's window that is
    # neither the start-up nor the main window.
    window "KLV-330" >/dev/null || fail "no main window behind the box"
    box=$(message_box "$program_pid") || fail "no fatal message box"
    xdotool windowclose "$box"
    finish
    [ "$status" = 1 ] || fail "status $status, expected 1"
    expected_closes="close 0x100"
    ;;
  close-main)
    main_window=$(window "KLV-330") || fail "no main window"
    sleep 0.5
    for id in "$select_window" "$main_window"; do
      # Not grep -q: quitting early would cut xprop off (SIGPIPE) and fail the pipe.
      has_icon() { xprop -id "$id" _NET_WM_ICON 2>/dev/null | grep "Icon (48 x 48)" >/dev/null; }
      for _ in $(seq 50); do has_icon && break; sleep 0.1; done
      has_icon || fail "window $id shows no 48x48 icon"
    done
    xdotool windowclose "$main_window"
    finish
    [ "$status" = 0 ] || fail "status $status, expected 0"
    ;;
  sigterm)
    window "KLV-330" >/dev/null || fail "no main window"
    sleep 0.5
    kill -TERM "$program_pid"
    finish
    [ "$status" = 0 ] || fail "status $status, expected 0"
    ;;
  scope-clear)
    main_window=$(window "KLV-330") || fail "no main window"
    eventually scope_clear_of "$main_window" || fail "the Scope covers the main window"
    sleep 0.5
    scope_over "$main_window" && fail "the Scope came back over the main window"
    kill -TERM "$program_pid"
    finish
    [ "$status" = 0 ] || fail "status $status, expected 0"
    ;;
  x-lost)
    window "KLV-330" >/dev/null || fail "no main window"
    sleep 0.5
    kill "$x_server_pid"
    finish
    [ "$status" = 1 ] || fail "status $status, expected 1"
    ;;
  *) fail "unknown case" ;;
esac
[ "$(cat "$work/closes")" = "$expected_closes" ] || fail "closes differ from: $expected_closes"
echo "ok: $case"
