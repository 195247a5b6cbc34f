#!/usr/bin/env bash
# Regenerates the README's pictures of the three windows and of the Scope after
# a GO (docs/images/*.png):
# the program renders them itself on three simulated controllers, offscreen.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/build-app.sh
build=build/run
QT_QPA_PLATFORM=offscreen "$build/app/stage-console" --render-windows docs/images
ls -l docs/images/*.png
