#!/usr/bin/env bash
# The whole program, measured from outside: stage-console under Xvfb with the
# openbox window manager, on the timestamping device library (simulated
# controllers behind the vendor's ABI that time every call and write the times
# out when the program gives its controllers back). For each case the script
# clicks OK in Motor Settings, lets the console poll, samples the process's
# CPU time and resident size at the start and the end of the measured
# seconds, ends the program with SIGTERM (the same end as Exit), and prints a
# markdown table:
#   ticks            ticks in the measured seconds: one per write to axis 0
#   period ms        spread of the times between those writes
#   late             ticks that began more than 1 ms after their deadline on
#                    the 10 ms grid (the grid's phase is the median tick's)
#   skipped          deadlines on that grid with no tick of their own
#   CPU %            the program's user + system time over the wall time, as a
#                    share of one core (the X server's own time apart)
#   RSS kB           resident size at the start and at the end
#   OK → 1st packet  from the click on OK (just before xdotool sends it; that
#                    includes xdotool's own start of a few ms) to the first write
# "moving" replies come from the library itself (new positions and ideal
# positions on every read, busy lit, back and forth), so the load does not
# depend on clicks reaching the console; "one-moving" moves axis 0 only.
# A fourth word "scope" starts the program with --scope and, once the main
# window is up, ticks every axis in the Scope's list and sets its window to
# 60 s with the keyboard, so the Scope draws every axis while it is measured.
#
#   bench/end_to_end.sh [--seconds N] [--warm-up S] [--build DIR]
#                       [--program PATH --library PATH] [--case "AXES MOTION READ_US [scope]"]...
#
# Without --program/--library it configures and builds both in DIR (default
# build/bench). Without --case it runs the whole matrix: 1, 3 and 17 axes at
# rest and moving, 3 axes with one moving, 17 axes at rest with 1 ms per
# read, and 32 axes moving with the Scope closed and with it showing all 32
# over 60 s. Measured seconds default to 60 per case (--seconds 10 for a
# quick look).
# Exits 77 when Xvfb, openbox, xdotool or xprop is missing.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")

seconds=60
warm_up=2
build_dir="$source_dir/build/bench"
program="" library=""
cases=()
while (($# > 0)); do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --warm-up) warm_up=$2; shift 2 ;;
    --build) build_dir=$2; shift 2 ;;
    --program) program=$2; shift 2 ;;
    --library) library=$2; shift 2 ;;
    --case) cases+=("$2"); shift 2 ;;
    -h | --help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "end_to_end.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
((${#cases[@]} > 0)) || cases=("1 rest 0" "1 moving 0" "3 rest 0" "3 moving 0" "3 one-moving 0"
                                 "17 rest 0" "17 moving 0" "17 rest 1000" "32 moving 0" "32 moving 0 scope")

for tool in Xvfb openbox xdotool xprop; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (bash scripts/deps.sh installs it)"
    exit 77
  fi
done

if [ -z "$program" ] || [ -z "$library" ]; then
  echo "Building stage-console and the timestamping library in $build_dir" >&2
  if ! cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTAGE_BUILD_TESTS=OFF >/dev/null ||
    ! cmake --build "$build_dir" --parallel 2 --target stage-console timestamping_siusbxp >/dev/null; then
    echo "end_to_end.sh: the build failed" >&2
    exit 1
  fi
  program="$build_dir/app/stage-console"
  library="$build_dir/bench/libtimestamping_siusbxp.so"
fi

work=$(mktemp -d)
pids=()          # the X server and the window manager, for the whole run
program_pid=""   # the program of the case running now
cleanup() {
  [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "end_to_end.sh: $*" >&2
  echo "--- program stderr" >&2
  cat "$work/stderr" >&2 2>/dev/null
  exit 1
}

# shellcheck source=SCRIPTDIR/../tests/x_session.sh
source "$source_dir/tests/x_session.sh"
# Wide enough for Motor Settings on 17 controllers (2000 twips a column) and
# the main window at its designed size, so neither is capped and scrolled;
# with room beside them for the Scope.
start_x_server 4800x2000 || fail "Xvfb did not start"
start_window_manager || fail "openbox did not start"

now_ns() { date +%s%N; }
# utime + stime in clock ticks: fields 14 and 15, counted after the ")" that
# ends the command name.
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
clock_ticks=$(getconf CLK_TCK)
window() {
  local id
  for _ in $(seq 600); do
    id=$(xdotool search --onlyvisible --pid "$program_pid" --name "^$1\$" 2>/dev/null | head -1)
    if [ -n "$id" ]; then echo "$id"; return 0; fi
    kill -0 "$program_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# Prints one table row from the call log and the script's samples. Times in
# ns; the log's first line ties its monotonic clock to the wall clock.
figures() {
  local log=$1 label=$2 ok_real=$3 start_real=$4 end_real=$5 cpu=$6 xcpu=$7 rss_start=$8 rss_end=$9
  local mono0 real0 buffer_bytes
  read -r _ mono0 real0 buffer_bytes <"$log"
  echo "$label: $((buffer_bytes / 1024)) kB" >>"$work/buffers"
  local ok=$((ok_real - real0 + mono0)) start=$((start_real - real0 + mono0)) end=$((end_real - real0 + mono0))
  # The writes to axis 0 in the measured seconds, as ns after the first.
  awk -v start="$start" -v end="$end" '$2 == "W" && $3 == 0 && $1 >= start && $1 <= end { print $1 }' "$log" \
    >"$work/ticks"
  first_packet=$(awk -v ok="$ok" '$2 == "W" && $1 >= ok { print $1; exit }' "$log")
  awk -v label="$label" -v ok="$ok" -v first="${first_packet:-0}" -v cpu="$cpu" -v xcpu="$xcpu" \
      -v rss_start="$rss_start" -v rss_end="$rss_end" '
    { t[NR] = $1 - 0 }
    function floor_(x) { return x == int(x) || x >= 0 ? int(x) : int(x) - 1 }
    function sorted_at(a, n, q,   i) { i = int(q * n + 0.999999); if (i < 1) i = 1; if (i > n) i = n; return a[i] }
    function sort_(a, n,   i, j, v) {  # insertion sort on a nearly sorted list is too slow; heap sort
      for (i = int(n / 2); i >= 1; i--) sift(a, i, n)
      for (i = n; i > 1; i--) { v = a[1]; a[1] = a[i]; a[i] = v; sift(a, 1, i - 1) }
    }
    function sift(a, i, n,   c, v) {
      while ((c = 2 * i) <= n) {
        if (c < n && a[c + 1] > a[c]) c++
        if (a[i] >= a[c]) return
        v = a[i]; a[i] = a[c]; a[c] = v; i = c
      }
    }
    END {
      P = 10e6; E = 0.5e6; n = NR
      if (n < 2) { printf "| %s | %d | – | – | – | – | – | – | – | – | %.2f | %.2f | %s | %s | – |\n", label, n, cpu, xcpu, rss_start, rss_end; exit }
      # The grid: its phase is the median phase of the ticks, so that a few
      # late ticks do not move it; a tick counts for the latest deadline at
      # most E before it.
      for (i = 1; i <= n; i++) { d = (t[i] - t[1]) % P; if (d < 0) d += P; ph[i] = d }
      sort_(ph, n); phase = ph[int((n + 1) / 2)]
      late = 0; skipped = 0
      for (i = 1; i <= n; i++) {
        k[i] = floor_((t[i] - t[1] - phase + E) / P)
        if (t[i] - t[1] - phase - k[i] * P > 1e6) late++
        if (i > 1 && k[i] - k[i - 1] > 1) skipped += k[i] - k[i - 1] - 1
      }
      for (i = 2; i <= n; i++) p[i - 1] = (t[i] - t[i - 1]) / 1e6
      m = n - 1; sum = 0; for (i = 1; i <= m; i++) sum += p[i]
      sort_(p, m)
      printf "| %s | %d | %.3f | %.2f | %.2f | %.2f | %.2f | %.2f | %d | %d | %.2f | %.2f | %s | %s | %s |\n",
        label, n, sum / m, sorted_at(p, m, 0.5), sorted_at(p, m, 0.9), sorted_at(p, m, 0.99), sorted_at(p, m, 0.999),
        p[m], late, skipped, cpu, xcpu, rss_start, rss_end, (first > 0 ? sprintf("%.0f ms", (first - ok) / 1e6) : "–")
    }' "$work/ticks"
}

# Every axis ticked in the Scope's list and its window set to 60 s, with the
# keyboard: the list has the keyboard first, Space ticks the current row, Tab
# goes on to the window's spin box.
scope_on_every_axis() {
  local axes=$1 scope_window keys=(Home)
  for _ in $(seq 60); do
    scope_window=$(xdotool search --pid "$program_pid" --name '^Scope$' 2>/dev/null | head -1)
    [ -n "$scope_window" ] && break
    sleep 0.1
  done
  [ -n "$scope_window" ] || return 1
  xdotool windowmap "$scope_window" windowactivate --sync "$scope_window" 2>/dev/null || return 1
  sleep 0.5
  for _ in $(seq $((axes - 1))); do keys+=(Down space); done
  xdotool key --delay 20 "${keys[@]}" Tab ctrl+a 6 0 Tab
}

run_case() {
  local axes=$1 motion=$2 read_us=$3 with=${4:-} label
  label="$axes $( ((axes == 1)) && echo axis || echo axes), "
  case $motion in
    rest) label+="at rest" ;;
    moving) label+="$( ((axes == 1)) && echo moving || echo all moving)" ;;
    one-moving) label+="axis 0 moving" ;;
    flicker) label+="every flag flickering" ;;
    *) fail "unknown motion $motion (rest, moving, one-moving, flicker)" ;;
  esac
  ((read_us > 0)) && label+=", $((read_us / 1000)).$(printf %03d $((read_us % 1000))) ms per read"
  label=${label/.000 ms/ ms}
  local scope_option=()
  case $with in
    "") ;;
    scope) label+=", Scope on every axis over 60 s"; scope_option=(--scope) ;;
    *) fail "unknown fourth word $with (scope)" ;;
  esac
  echo "Running: $label, $seconds s" >&2
  rm -f "$work/calls" "$work/stderr"
  # The designed console: no profile read or saved.
  STAMP_AXES=$axes STAMP_MOTION=$motion STAMP_READ_US=$read_us STAMP_LOG="$work/calls" \
    STAMP_SECONDS=$((seconds + warm_up + 30)) QT_QPA_PLATFORM=xcb \
    "$program" --device-library "$library" --no-profile "${scope_option[@]}" >/dev/null 2>"$work/stderr" &
  program_pid=$!

  local select_window
  select_window=$(window "Motor Settings") || fail "$label: no Motor Settings window"
  eval "$(xdotool getwindowgeometry --shell "$select_window")"
  sleep 0.5
  # OK: centred, 4320 twips (288 px) from the top of the client area.
  xdotool mousemove --window "$select_window" $((WIDTH / 2)) 300
  sleep 0.2
  local ok_real
  ok_real=$(now_ns)
  xdotool click 1
  window "KLV-330" >/dev/null || fail "$label: no main window after OK"
  if [ "$with" = scope ]; then
    scope_on_every_axis "$axes" || fail "$label: the Scope could not be set up"
  fi
  sleep "$warm_up"
  kill -0 "$program_pid" 2>/dev/null || fail "$label: the program ended"

  local start_real cpu_start x_start rss_start end_real cpu_end x_end rss_end
  # shellcheck disable=SC2154 # x_server_pid: set by start_x_server
  start_real=$(now_ns) cpu_start=$(cpu_ticks "$program_pid") x_start=$(cpu_ticks "$x_server_pid")
  rss_start=$(rss_kb "$program_pid")
  sleep "$seconds"
  end_real=$(now_ns) cpu_end=$(cpu_ticks "$program_pid") x_end=$(cpu_ticks "$x_server_pid")
  rss_end=$(rss_kb "$program_pid")

  kill -TERM "$program_pid"
  local status=0
  wait "$program_pid" || status=$?
  program_pid=""
  ((status == 0)) || fail "$label: the program ended with status $status after SIGTERM"
  [ -s "$work/calls" ] || fail "$label: the library wrote no call log"
  grep -q '^# full' "$work/calls" && echo "note: $label: the call buffer filled up" >&2

  local wall_s cpu xcpu
  wall_s=$(awk -v a="$start_real" -v b="$end_real" 'BEGIN { print (b - a) / 1e9 }')
  cpu=$(awk -v c=$((cpu_end - cpu_start)) -v t="$clock_ticks" -v w="$wall_s" 'BEGIN { print 100 * c / t / w }')
  xcpu=$(awk -v c=$((x_end - x_start)) -v t="$clock_ticks" -v w="$wall_s" 'BEGIN { print 100 * c / t / w }')
  figures "$work/calls" "$label" "$ok_real" "$start_real" "$end_real" "$cpu" "$xcpu" "$rss_start" "$rss_end" \
    >>"$work/table"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
: >"$work/table"
: >"$work/buffers"
for spec in "${cases[@]}"; do
  # shellcheck disable=SC2086 # the case is three words
  run_case $spec
done


cpu_model=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
echo "stage-console end to end: $seconds s per case after $warm_up s, Xvfb + openbox; $(nproc) cores, $cpu_model;" \
  "load average $load_before before, $(cut -d' ' -f1-3 /proc/loadavg) after"
echo
echo "| case | ticks | mean ms | median ms | p90 ms | p99 ms | p99.9 ms | max ms | late | skipped | CPU % | Xvfb CPU % | RSS start kB | RSS end kB | OK → 1st packet |"
echo "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|"
cat "$work/table"
echo
echo "The resident sizes include the library's call buffer, made and touched before OK:" \
  "$(paste -sd';' "$work/buffers" | sed 's/;/; /g')."
