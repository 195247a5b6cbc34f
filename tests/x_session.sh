# shellcheck shell=bash
# Sourced by the tests that need a real X server and a window manager.
# Several of them run at once under `ctest --parallel`: the server picks its
# own free display (-displayfd), so two tests never race for one number.
#
#   start_x_server WIDTHxHEIGHT   starts Xvfb (pid in x_server_pid), exports DISPLAY,
#                                 waits until it answers
#   start_window_manager          starts openbox, waits until it announces itself
#   wait_for WHAT COMMAND...      runs COMMAND every 0.1 s for up to 30 s; when it
#                                 never succeeds, calls the caller's `fail` with WHAT
#   window TITLE                  waits up to a minute for a visible window with exactly
#                                 this title; prints its id
#   message_box PID               waits up to 30 s for a visible window of process PID
#                                 that is neither "Motor Settings" nor the main window
#                                 (a message box has no title of its own); prints its id
#
# The first two return non-zero when the server or the window manager does not come
# up; the pids go into the caller's `pids` array for its clean-up.

start_x_server() {
  local geometry=$1 display_file
  display_file=$(mktemp)
  # -noreset: the server would reset when its last client leaves, and the
  # check below is a client; whatever connects during that reset is cut off.
  Xvfb -displayfd 3 -screen 0 "${geometry}x24" -nolisten tcp -noreset 3>"$display_file" 2>/dev/null &
  x_server_pid=$!
  pids+=("$x_server_pid")
  for _ in $(seq 200); do [ -s "$display_file" ] && break; sleep 0.1; done
  if [ ! -s "$display_file" ]; then rm -f "$display_file"; return 1; fi
  DISPLAY=":$(cat "$display_file")"
  export DISPLAY
  rm -f "$display_file"
  for _ in $(seq 200); do xdotool getdisplaygeometry >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}

# openbox now and then gives up at start when several start at once on a
# loaded machine: a window manager that died is started again.
start_window_manager() {
  local wm
  for _ in 1 2 3; do
    openbox --sm-disable >/dev/null 2>&1 &
    wm=$!
    for _ in $(seq 200); do
      if xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; then
        pids+=("$wm")
        return 0
      fi
      kill -0 "$wm" 2>/dev/null || break
      sleep 0.1
    done
    kill "$wm" 2>/dev/null || true
    wait "$wm" 2>/dev/null || true
  done
  return 1
}

wait_for() {
  local what=$1
  shift
  for _ in $(seq 300); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  fail "timed out waiting for $what"
}

window() {
  local id
  for _ in $(seq 600); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1)
    if [ -n "$id" ]; then echo "$id"; return 0; fi
    sleep 0.1
  done
  return 1
}

message_box() {
  local id name
  for _ in $(seq 300); do
    for id in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null); do
      name=$(xdotool getwindowname "$id" 2>/dev/null)
      if [ "$name" != "KLV-330" ] && [ "$name" != "Motor Settings" ]; then
        echo "$id"
        return 0
      fi
    done
    sleep 0.1
  done
  return 1
}
