#!/usr/bin/env bash
# Runs a window test on a real X11 desktop: a virtual 1366x768 screen (Xvfb)
# with a window manager (openbox) that frames the windows, as on an
# operator's laptop. Skips (status 77) when the desktop cannot be had.
# Usage: on_desktop.sh PROGRAM [ARGS...]
set -euo pipefail

for tool in Xvfb openbox xdotool xprop xwininfo xmessage; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed (bash scripts/deps.sh installs it)"
    exit 77
  fi
done

pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap cleanup EXIT

# shellcheck source=../x_session.sh
source "$(dirname "$0")/../x_session.sh"
if ! start_x_server 1366x768; then
  echo "SKIP: Xvfb did not start"
  exit 77
fi
if ! start_window_manager; then
  echo "SKIP: openbox did not start on the virtual display"
  exit 77
fi
QT_QPA_PLATFORM=xcb "$@"
