#!/usr/bin/env bash
# Regenerates the README's pictures of the three windows (docs/images/*.png):
# the program renders them itself on three simulated controllers, offscreen.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

build=build/run
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSTAGE_BUILD_TESTS=OFF -DSTAGE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target stage-console --parallel "$(nproc)"
QT_QPA_PLATFORM=offscreen "$build/app/stage-console" --render-windows docs/images
ls -l docs/images/*.png
