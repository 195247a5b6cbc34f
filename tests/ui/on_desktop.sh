#!/usr/bin/env bash
# Runs a window test on a real X11 desktop: a virtual 1366x768 screen (Xvfb)
# with a window manager (openbox) that frames the windows, as on an
# operator's laptop. Skips (status 77) when the desktop cannot be had.
# Usage: on_desktop.sh PROGRAM [ARGS...]
set -euo pipefail

for tool in xvfb-run Xvfb openbox xdotool xprop xwininfo; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed (bash scripts/deps.sh installs it)"
    exit 77
  fi
done

# Inside the virtual display: the window manager first, then the test once
# the window manager has announced itself on the root window.
inside='
openbox --sm-disable >/dev/null 2>&1 &
wm=$!
for _ in $(seq 1 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && break
  sleep 0.1
done
if ! xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; then
  echo "SKIP: openbox did not start on the virtual display"
  kill "$wm" 2>/dev/null || true
  exit 77
fi
status=0
QT_QPA_PLATFORM=xcb "$@" || status=$?
kill "$wm" 2>/dev/null || true
wait "$wm" 2>/dev/null || true
exit "$status"
'
exec xvfb-run -a -s "-screen 0 1366x768x24 -nolisten tcp" bash -c "$inside" on_desktop "$@"
