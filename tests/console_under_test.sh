# shellcheck shell=bash
# Sourced by the tests that run the real program offscreen on simulated
# controllers: a private work folder removed at the end, a private
# XDG_RUNTIME_DIR and XDG_CONFIG_HOME in it, and the console killed if the
# test ends early.
#
#   console_work PREFIX     makes the folder ($work) and the environment
#   fail MESSAGE...         says why, shows the console's stderr, exits 1
#   end_with_sigterm        SIGTERM to $program_pid, waits up to 30 s; the
#                           program's exit status in $end_status (a text when
#                           it had to be killed)

program_pid=""
console_cleanup() {
  [ -n "$program_pid" ] && kill -KILL "$program_pid" 2>/dev/null
  rm -rf "$work"
}

console_work() {
  work=$(mktemp -d "/tmp/$1-XXXXXX")
  trap console_cleanup EXIT
  export XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen
  mkdir -m 0700 "$XDG_RUNTIME_DIR"
}

fail() {
  echo "FAILED: $*" >&2
  echo "--- console stderr (the event log)" >&2
  cat "$work/stderr" >&2 2>/dev/null
  exit 1
}

end_with_sigterm() {
  kill -TERM "$program_pid"
  for _ in $(seq 600); do kill -0 "$program_pid" 2>/dev/null || break; sleep 0.05; done
  if kill -0 "$program_pid" 2>/dev/null; then
    kill -KILL "$program_pid"
    wait "$program_pid"
    end_status="still running 30 s after SIGTERM"
  else
    wait "$program_pid"
    end_status=$?
  fi
  program_pid=""
}
