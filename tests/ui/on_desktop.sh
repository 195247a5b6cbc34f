#!/usr/bin/env bash
# Runs a window test on a real X11 desktop: a virtual 1366x768 screen (Xvfb)
# with a window manager (openbox) that frames the windows, as on an
# operator's laptop. Skips (status 77) when the desktop cannot be had.
# Usage: on_desktop.sh PROGRAM [ARGS...]
set -euo pipefail

for tool in xvfb-run Xvfb xauth openbox xdotool xprop xwininfo xmessage; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed (bash scripts/deps.sh installs it)"
    exit 77
  fi
done

# Inside the virtual display: the window manager first, then the test once
# the window manager has announced itself on the root window.
inside='
log=$(mktemp)
wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; }
for try in 1 2; do
  openbox --sm-disable >"$log" 2>&1 &
  wm=$!
  for _ in $(seq 1 200); do
    wm_ready && break
    kill -0 "$wm" 2>/dev/null || break
    sleep 0.1
  done
  wm_ready && break
  kill "$wm" 2>/dev/null || true
  wait "$wm" 2>/dev/null || true
done
if ! wm_ready; then
  echo "SKIP: openbox did not start on the virtual display:"
  cat "$log"
  rm -f "$log"
  exit 77
fi
status=0
QT_QPA_PLATFORM=xcb "$@" || status=$?
kill "$wm" 2>/dev/null || true
wait "$wm" 2>/dev/null || true
rm -f "$log"
exit "$status"
'
exec xvfb-run -a -s "-screen 0 1366x768x24 -nolisten tcp" bash -c "$inside" on_desktop "$@"
