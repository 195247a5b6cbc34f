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

# Waits (up to a minute: the machine may be busy with other tests) until a
# visible window with this exact title exists; prints its id.
window() {
  local id
  for _ in $(seq 600); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1)
    if [ -n "$id" ]; then echo "$id"; return 0; fi
    sleep 0.1
  done
  return 1
}
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
# The controllers' profiles go to a folder of the run's own, never the user's.
XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb "$program" --device-library "$library" 2>"$work/stderr" &
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
    box=""
    for _ in $(seq 100); do
      for id in $(xdotool search --onlyvisible --pid "$program_pid" 2>/dev/null); do
        name=$(xdotool getwindowname "$id" 2>/dev/null)
        [ "$name" != "KLV-330" ] && [ "$name" != "Motor Settings" ] && box=$id
      done
      [ -n "$box" ] && break
      sleep 0.1
    done
    [ -n "$box" ] || fail "no fatal message box"
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
