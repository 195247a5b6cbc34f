#!/usr/bin/env bash
# How fast the console answers the operator on emulated controllers that
# each answer 1 ms after every command (native USB backend, libusb on
# umockdev, under Xvfb with openbox): a click on "More Controls" until the
# tuning panel is mapped, a press on GO until the go bit is on the wire, and
# the ticks' period meanwhile (bench/responsiveness.py). A benchmark: it
# prints figures, it judges nothing.
#
#   bash bench/responsiveness.sh [BUILD_DIR [SAMPLES [LATENCY_US [CONTROLLERS]]]]
#
# BUILD_DIR defaults to build/test (stage-console and emulated_bus_run
# built); 20 samples, 1000 us, 17 controllers by default.
#
# Every usbfs request of the console is a round trip to the emulation, and
# umockdev's preload sleeps (usleep(0)) after each one: the console runs with
# a timer slack of 1 ns, as native_usb_bench does, or that sleep alone costs
# 50 us a request. Even so the emulation, not the console, sets the pace with
# many controllers: compare the ticks' period with native_usb_bench --ticks.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ "${1:-}" != "--inside" ]; then
  build=$(cd "${1:-$here/../build/test}" && pwd)
  samples=${2:-20}
  latency_us=${3:-1000}
  count=${4:-17}
  controllers=()
  for i in $(seq 0 $((count - 1))); do controllers+=(--controller "AXIS-$(printf %02d "$i"),port=$((i + 1))"); done
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  echo "$count emulated controllers answering ${latency_us} us after each command, $samples samples each;"
  echo "$(nproc) cores, $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)"
  umockdev-wrapper "$build/tests/umockdev/emulated_bus_run" "${controllers[@]}" --latency-us "$latency_us" \
    --log "$log" --log-times -- bash "$here/responsiveness.sh" --inside "$build/app/stage-console" "$log" "$samples"
  exit
fi

console=$2
usb_log=$3
samples=$4
pids=()
work=$(mktemp -d)
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "responsiveness.sh: $*" >&2
  cat "$work/stderr" >&2 2>/dev/null || true
  exit 1
}
# shellcheck source=../tests/x_session.sh
source "$here/../tests/x_session.sh"
start_x_server 3200x1400 || fail "no X display could be started"
start_window_manager || fail "no window manager came up"

# PR_SET_TIMERSLACK (29) is kept across exec.
QT_QPA_PLATFORM=xcb LD_PRELOAD=libumockdev-preload.so.0 python3 -c \
  'import ctypes, os, sys; ctypes.CDLL(None).prctl(29, 1, 0, 0, 0); os.execv(sys.argv[1], sys.argv[1:])' \
  "$console" >"$work/stdout" 2>"$work/stderr" &
pids+=($!)
select_shown() { xdotool search --onlyvisible --name '^Motor Settings$' >"$work/select" 2>/dev/null; }
wait_for "Motor Settings" select_shown
select_window=$(head -n1 "$work/select")
eval "$(xdotool getwindowgeometry --shell "$select_window")"
xdotool mousemove --window "$select_window" $((WIDTH / 2)) 300 click 1
main_shown() { xdotool search --onlyvisible --name '^KLV-330$' >"$work/main" 2>/dev/null; }
wait_for "the main window" main_shown
ticking() { [ "$(grep -c ' out 12 ' "$usb_log")" -ge 500 ]; }
wait_for "the ticks to run" ticking
python3 "$here/responsiveness.py" "$(head -n1 "$work/main")" "$usb_log" "$samples"
