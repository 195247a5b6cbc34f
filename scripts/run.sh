#!/usr/bin/env bash
# Installs what is missing, builds the console (incrementally) and starts it on
# three simulated controllers. Needs a desktop session.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/build-app.sh
build=build/run

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "stage-console needs a desktop session: neither DISPLAY nor WAYLAND_DISPLAY is set." >&2
  echo "Built: $build/app/stage-console" >&2
  exit 1
fi
exec "$build/app/stage-console" --simulate 3
