#!/usr/bin/env bash
# Why this exists: the trace's reader is another program, and whatever it
# does (goes away, never comes, stops reading) or a disk that fills up must
# cost trace rows, never the console: no SIGPIPE death, no hang before the
# first window, no end that never comes. The real program runs on simulated
# controllers, rendering its windows on the offscreen platform, or (x-*
# cases) under Xvfb and openbox, ended by Exit, SIGTERM or a read failure.
#   reader-exits   --trace /dev/stdout | head -n 5
#   no-reader      --trace FIFO that no program ever opens
#   reader-stops   --trace FIFO whose reader stopped with the pipe full
#   read-fail      the same, and a controller's read fails (the fatal path)
#   stderr-stalled the console's own stderr is such a FIFO (no trace)
#   full-disk      --trace on a 16 kB tmpfs (a mount namespace of its own;
#                  skipped without the rights to make one)
#   x-exit, x-sigterm, x-fatal   the pipe full as in reader-stops, then
#                  Exit, SIGTERM, or a read failure whose message box must
#                  appear; skipped without Xvfb, openbox, xdotool
# Every end is timed: the console must be gone within 5 s of being asked
# (it waits at most 0.75 s for the trace; the rest is room for a busy
# machine).
#   trace_end_test.sh PROGRAM CASE
set -uo pipefail
program=$1 case=$2
export QT_QPA_PLATFORM=offscreen

work=$(mktemp -d)
# The controllers' profiles go to a folder of the run's own, never the user's.
export XDG_CONFIG_HOME="$work/config"
pids=()
program_pid=""
cleanup() {
  # A console that hung must not hold the test's output open.
  [ -n "$program_pid" ] && kill -KILL "$program_pid" 2>/dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  exec 3>&- 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED ($case): $*" >&2
  echo "--- program stderr" >&2
  cat "$work/stderr" >&2 2>/dev/null
  exit 1
}
now_ms() { echo $(($(date +%s%N) / 1000000)); }
# The bound on every end that the test waits for, in milliseconds.
bound_ms=5000

# A FIFO whose reader (this script, on fd 3) never reads, with the pipe
# already nearly full: 60000 bytes of 'x' stand for what the reader left.
stalled_fifo() {
  mkfifo "$work/trace.fifo" || fail "mkfifo"
  exec 3<>"$work/trace.fifo"
  head -c 60000 /dev/zero | tr '\0' 'x' >&3
}
# What is in that pipe after the 'x's: whole trace rows, the header first.
check_stalled_pipe() {
  timeout 2 cat <&3 >"$work/piped"
  tail -c +60001 "$work/piped" >"$work/rows"
  [ "$(head -c 60000 "$work/piped" | tr -d x | wc -c)" = 0 ] || fail "the pipe's first bytes changed"
  check_whole_rows "$work/rows"
}
# Whole rows only: the start time and the column names, every line after
# them with its 24 fields, a final newline.
check_whole_rows() {
  [ -s "$1" ] || return 0
  [ "$(tail -c 1 "$1" | od -An -c | tr -d ' ')" = '\n' ] || fail "$1 ends inside a row"
  head -n 1 "$1" | grep -q '^# stage-console trace; time_us 0 is [0-9-]*T[0-9:.]*Z$' ||
    fail "$1 does not start with the start time"
  head -n 2 "$1" | tail -n 1 | grep -q '^time_us,axis,name,outcome,' || fail "$1 has no column names"
  awk -F, 'NR > 1 && NF != 24 { bad = 1 } END { exit bad }' "$1" || fail "$1 holds a row that is not whole"
}
# Runs the program in the background, stderr to $work/stderr.
start() {
  "$program" "$@" 2>"$work/stderr" &
  program_pid=$!
  pids+=("$program_pid")
}
# Waits up to `bound_ms` for the program to end, from `asked` on; sets
# status and took_ms.
finish_within_bound() {
  local asked=$1
  status="still running"
  while [ $(($(now_ms) - asked)) -lt "$bound_ms" ]; do
    if ! kill -0 "$program_pid" 2>/dev/null; then
      wait "$program_pid"
      status=$?
      took_ms=$(($(now_ms) - asked))
      echo "ended $took_ms ms after it was asked to"
      return 0
    fi
    sleep 0.02
  done
  fail "still running $bound_ms ms after it was asked to end"
}
# Waits for the whole run (a render ends by itself) for up to 60 s.
finish_run() {
  local started
  started=$(now_ms)
  bound_ms=60000 finish_within_bound "$started"
}
render=(--render-windows "$work/rendered")
# Every picture of the render was made: the console did not stop at the trace.
check_rendered() {
  for picture in motor-settings main-window axis-controls scope; do
    [ -s "$work/rendered/$picture.png" ] || fail "no $picture.png: the render stopped short"
  done
}
said() { grep -c -- "$1" "$work/stderr"; }

case $case in
  reader-exits)
    # The program's status through the pipe: PIPESTATUS of the pipeline.
    "$program" --simulate 3 --trace /dev/stdout "${render[@]}" 2>"$work/stderr" | head -n 5 >"$work/head"
    status=${PIPESTATUS[0]}
    [ "$status" = 0 ] || fail "status $status, expected 0 (141 is SIGPIPE)"
    [ "$(wc -l <"$work/head")" = 5 ] || fail "head did not get 5 lines"
    check_whole_rows "$work/head"
    check_rendered
    [ "$(said "the trace's reader has gone (Broken pipe): the console goes on without the trace")" = 1 ] ||
      fail "the reader's going is not said exactly once"
    ;;
  no-reader)
    mkfifo "$work/trace.fifo" || fail "mkfifo"
    start --simulate 3 --trace "$work/trace.fifo" "${render[@]}"
    finish_run
    [ "$status" = 0 ] || fail "status $status, expected 0"
    check_rendered
    [ "$(said "the trace FIFO .*trace.fifo has no reader yet: its rows wait for one")" = 1 ] ||
      fail "the missing reader is not said at the start"
    [ "$(said "[0-9][0-9]* trace rows were not written: no reader opened the FIFO .*trace.fifo$")" = 1 ] ||
      fail "what was lost is not said at the end"
    ;;
  reader-stops)
    stalled_fifo
    start --simulate 3 --trace "$work/trace.fifo" "${render[@]}"
    finish_run
    [ "$status" = 0 ] || fail "status $status, expected 0"
    check_rendered
    [ "$(said "[0-9][0-9]* trace rows were not written: the reader of .*trace.fifo stopped reading")" = 1 ] ||
      fail "what was lost is not said"
    check_stalled_pipe
    ;;
  read-fail)
    stalled_fifo
    start --simulate 3 --scenario read-fail:axis=1:after=1 --trace "$work/trace.fifo" "${render[@]}"
    finish_run
    [ "$status" = 1 ] || fail "status $status, expected 1"
    [ "$(said "Error reading from USB. Read  0 of  12 bytes")" = 1 ] || fail "no read failure message"
    [ "$(said "trace rows were not written: the reader of .*trace.fifo stopped reading")" = 1 ] ||
      fail "what was lost is not said"
    check_stalled_pipe
    ;;
  full-disk)
    if ! command -v unshare >/dev/null || ! unshare --mount --propagation private true 2>/dev/null; then
      echo "SKIP: no mount namespace of its own (needs root and unshare): cannot fill a small file system"
      exit 77
    fi
    mkdir "$work/disk"
    # The tmpfs lives as long as the namespace: the trace is copied out.
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare --mount --propagation private bash -c '
      mount -t tmpfs -o size=16k tmpfs "$1" || exit 77
      "$2" --simulate 3 --trace "$1/trace.csv" --render-windows "$3" 2>"$4"
      status=$?
      cp "$1/trace.csv" "$5"
      exit $status' _ "$work/disk" "$program" "$work/rendered" "$work/stderr" "$work/trace.csv"
    status=$?
    if [ "$status" = 77 ]; then echo "SKIP: cannot mount a tmpfs"; exit 77; fi
    [ "$status" = 0 ] || fail "status $status, expected 0"
    check_rendered
    [ "$(said "cannot write the trace: No space left on device; it ends on its last whole row; the console goes on without it")" = 1 ] ||
      fail "the full disk is not said once"
    check_whole_rows "$work/trace.csv"
    tail -n 1 "$work/trace.csv" | grep -q '^[0-9]*,,,dropped,\{20\}[1-9][0-9]*$' ||
      fail "the last row does not count the rows lost: $(tail -n 1 "$work/trace.csv")"
    ;;
  x-exit | x-sigterm | x-fatal)
    for tool in Xvfb openbox xdotool; do
      if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed (bash scripts/deps.sh installs it)"
        exit 77
      fi
    done
    # shellcheck source=../x_session.sh
    source "$(dirname "$0")/../x_session.sh"
    start_x_server 1280x1024 || fail "Xvfb did not start"
    start_window_manager || fail "openbox did not start"
    stalled_fifo
    scenario=()
    [ "$case" = x-fatal ] && scenario=(--scenario read-fail:axis=1:after=2)
    export QT_QPA_PLATFORM=xcb
    start --simulate 3 "${scenario[@]}" --trace "$work/trace.fifo"
    select_window=$(window "Motor Settings") || fail "no Motor Settings window"
    # OK, clicked: centred, 4320 twips (288 px) below the client area's top.
    eval "$(xdotool getwindowgeometry --shell "$select_window")"
    sleep 0.3
    xdotool mousemove --window "$select_window" $((WIDTH / 2)) 300 click 1
    main_window=$(window "KLV-330") || fail "no main window"
    case $case in
      x-exit)
        sleep 1  # the polling fills what room the pipe had
        xdotool windowactivate --sync "$main_window" 2>/dev/null
        asked=$(now_ms)
        # Exit has the focus when the main window first shows.
        xdotool key --window "$main_window" space
        finish_within_bound "$asked"
        [ "$status" = 0 ] || fail "status $status, expected 0"
        ;;
      x-sigterm)
        sleep 1
        asked=$(now_ms)
        kill -TERM "$program_pid"
        finish_within_bound "$asked"
        [ "$status" = 0 ] || fail "status $status, expected 0"
        ;;
      x-fatal)
        # The message must come, although the trace's reader takes nothing.
        box=$(message_box "$program_pid") || fail "no read failure message box"
        asked=$(now_ms)
        xdotool windowclose "$box"
        finish_within_bound "$asked"
        [ "$status" = 1 ] || fail "status $status, expected 1"
        ;;
    esac
    [ "$(said "trace rows were not written: the reader of .*trace.fifo stopped reading")" = 1 ] ||
      fail "what was lost is not said"
    check_stalled_pipe
    ;;
  stderr-stalled)
    # Not the trace: the console's own stderr is a FIFO whose reader stopped
    # with the pipe nearly full, and Qt's debug lines (some 50 kB at start)
    # would fill it. Every line must be dropped rather than waited for: the
    # console polls on and ends on SIGTERM.
    stalled_fifo
    QT_LOGGING_RULES='*.debug=true' "$program" --simulate 3 2>"$work/trace.fifo" &
    program_pid=$!
    pids+=("$program_pid")
    sleep 3
    asked=$(now_ms)
    kill -TERM "$program_pid"
    finish_within_bound "$asked"
    [ "$status" = 0 ] || fail "status $status, expected 0"
    ;;
  *) fail "unknown case" ;;
esac
echo "ok: $case"
