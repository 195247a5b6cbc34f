#!/usr/bin/env bash
# The real program, started with no option, on emulated controllers under a
# virtual X display: an operator's clicks by xdotool, the controllers' side
# read from the emulated bus's event log. Runs inside emulated_bus_run, which
# answers the USB requests (see tests/umockdev/CMakeLists.txt).
#
#   console_on_emulated_controllers.sh MODE CONSOLE USB_LOG
#
# MODE run:    Motor Settings on every controller, OK, packets, Exit: every
#              controller's data path is enabled before its first packet and
#              disabled at the end, and the program ends with status 0.
# MODE access: controller 1 may not be opened: stderr names the libusb error,
#              controller 0 (opened first) is given back before the message.
# MODE unplug: controller 1 is pulled out while polling: stderr says so, its
#              interface is given back, the failure message is up, and the
#              trace (--trace) has a row for every command each controller
#              got, the last tick's included.
# MODE twice:  controller 1 sends every reply twice in one packet: the first
#              tick ends in the read failure, stderr says how many bytes came,
#              and the trace's last row for it is that failure.
# MODE serial: controller 1, whose serial number holds ESC [2J, CR, BS and
#              BEL, cannot be claimed: stderr names it with those escaped
#              and holds nothing but printable lines.
set -euo pipefail
mode=$1
console=$2
usb_log=$3
work=$(mktemp -d)
DISPLAY=
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  echo "--- USB events" >&2
  cat "$usb_log" >&2 || true
  echo "--- console stderr" >&2
  cat "$work/stderr" >&2 || true
  echo "--- X display: ${DISPLAY:-none}" >&2
  exit 1
}

serials() { awk '{print $1}' "$usb_log" | sort -u; }
# Exact comparison: a serial number may hold characters a pattern would take.
count_events() {
  awk -v s="$1" -v e="$2" 'index($0, s " ") == 1 && substr($0, length(s) + 2) == e { n++ } END { print n + 0 }' "$usb_log"
}

# shellcheck source=../x_session.sh
source "$(dirname "$0")/../x_session.sh"
start_x_server 1280x1024 || fail "no X display could be started"

# Now and then (about one start in fifty, with several X servers up at once)
# the program under the umockdev preload cannot connect to a display that
# answers everyone else, and ends at once. That happens before it touches a
# controller, so it is started again; any other end fails the test.
select_shown() { xdotool search --onlyvisible --name '^Motor Settings$' >"$work/select" 2>/dev/null; }
console_args=()
[[ $mode == unplug || $mode == twice ]] && console_args=(--trace "$work/trace.csv")
for attempt in 1 2 3; do
  # The controllers' profiles go to a folder of the run's own, never the user's.
  XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb LD_PRELOAD=libumockdev-preload.so.0 \
    "$console" "${console_args[@]}" >"$work/stdout" 2>"$work/stderr" &
  console_pid=$!
  for _ in $(seq 300); do
    select_shown && break
    kill -0 "$console_pid" 2>/dev/null || break
    sleep 0.1
  done
  select_shown && break
  kill -0 "$console_pid" 2>/dev/null && break
  # Qt's words, or the console's own display check's.
  grep -q "could not connect to display\|cannot open a display" "$work/stderr" || break
  echo "note: start $attempt could not connect to $DISPLAY; starting again" >&2
done
pids+=("$console_pid")
wait_for "Motor Settings" select_shown
select_window=$(head -n1 "$work/select")
eval "$(xdotool getwindowgeometry --shell "$select_window")"
# Three columns: 4195 + 2 x 2000 twips at 15 twips per pixel.
((WIDTH >= 540)) || fail "Motor Settings is $WIDTH pixels wide, not three columns"
for serial in $(serials); do
  (($(count_events "$serial" "string 3") >= 1)) || fail "the serial number of $serial was not read"
done

# OK is centred, 4320 twips from the top and 375 high.
xdotool mousemove --window "$select_window" $((WIDTH / 2)) 300 click 1

case $mode in
  run)
    wait_for "the main window" xdotool search --onlyvisible --name '^KLV-330$' >"$work/main"
    main_window=$(head -n1 "$work/main")
    packets_flow() {
      local serial
      for serial in $(serials); do
        (($(count_events "$serial" "out 12") >= 5)) || return 1
      done
    }
    wait_for "packets to every controller" packets_flow
    # Exit: 10200 twips from the left, 120 from the top, 735 x 375.
    xdotool mousemove --window "$main_window" 704 20 click 1
    status=0
    wait "$console_pid" || status=$?
    ((status == 0)) || fail "the console ended with status $status"
    for serial in $(serials); do
      awk -v s="$serial" '$1 == s { $1 = ""; sub(/^ /, ""); print }' "$usb_log" >"$work/events"
      first_packet=$(grep -n -m1 '^out 12$' "$work/events" | cut -d: -f1)
      enabled=$(grep -n -m1 '^control 40 02 0002$' "$work/events" | cut -d: -f1)
      claimed=$(grep -n -m1 '^claim 0$' "$work/events" | cut -d: -f1)
      ((claimed < enabled && enabled < first_packet)) || fail "$serial: no claim and enable before the first packet"
      tail -n3 "$work/events" | tr '\n' ' ' | grep -q '^control 40 02 0004 release 0 attach 0 $' ||
        fail "$serial: the data path was not disabled and the interface given back at Exit"
    done
    ;;
  access)
    wait_for "the libusb error on stderr" grep -q 'LIBUSB_ERROR_ACCESS' "$work/stderr"
    first=$(serials | head -n1)
    (($(count_events "$first" "control 40 02 0004") == 1)) || fail "controller 0 was not disabled before the message"
    (($(count_events "$first" "release 0") == 1)) || fail "controller 0 was not released before the message"
    kill -0 "$console_pid" || fail "the console ended without showing its message"
    ;;
  unplug)
    wait_for "the main window" xdotool search --onlyvisible --name '^KLV-330$' >/dev/null
    pulled=$(serials | sed -n 2p)  # controller 1: serials sort in axis order here
    some_packets() { (($(count_events "$pulled" "out 12") >= 5)); }
    wait_for "packets" some_packets
    kill -USR1 "$PPID"  # emulated_bus_run pulls out controller 1
    wait_for "the libusb error on stderr" grep -q 'LIBUSB_ERROR_NO_DEVICE' "$work/stderr"
    given_back() { grep "^$pulled " "$usb_log" | grep -A1 ' unplugged$' | tail -n1 | grep -q ' release 0$'; }
    wait_for "the unplugged controller's interface to be given back" given_back
    kill -0 "$console_pid" || fail "the console ended without showing its message"
    # The trace is complete before the message appears (its rows start on its
    # third line; count is its 24th column). A write that failed
    # with nothing written never reached the bus. Serials sort in axis order
    # here.
    axis=0
    for serial in $(serials); do
      rows=$(awk -F, -v a="$axis" 'NR > 2 && $2 == a && !($4 == "write-failed" && $24 == 0) { n++ } END { print n + 0 }' \
        "$work/trace.csv")
      commands=$(count_events "$serial" "out 12")
      ((rows == commands)) || fail "axis $axis ($serial): $commands commands on the bus, $rows trace rows"
      axis=$((axis + 1))
    done
    ;;
  twice)
    wait_for "the read failure on stderr" grep -q 'reading on USB: 24 bytes came for a reply of 12' "$work/stderr"
    kill -0 "$console_pid" || fail "the console ended without showing its message"
    # Y's only row is the failure: no position from a surplus reply was shown.
    awk -F, 'NR > 2 && $2 == 1' "$work/trace.csv" >"$work/y-rows"
    (($(wc -l <"$work/y-rows") == 1)) || fail "axis 1 has more than its failing row in the trace"
    grep -q '^[0-9]*,1,"[^"]*",read-failed,.*,2,24$' "$work/y-rows" ||
      fail "axis 1's row is not the read failure of 24 bytes: $(cat "$work/y-rows")"
    ;;
  serial)
    wait_for "the libusb error on stderr" grep -q 'LIBUSB_ERROR_BUSY' "$work/stderr"
    grep -qF 'USB controller 1 (serial "K\x1B[2J\x0D\x08\x07-1", port 1-2): claiming interface 0: LIBUSB_ERROR_BUSY' \
      "$work/stderr" || fail "the open failure does not name the serial number escaped"
    ! LC_ALL=C grep -q '[^[:print:]]' "$work/stderr" || fail "stderr holds a byte that is not printable"
    kill -0 "$console_pid" || fail "the console ended without showing its message"
    ;;
  *)
    fail "unknown mode $mode"
    ;;
esac
echo "PASS: $mode"
