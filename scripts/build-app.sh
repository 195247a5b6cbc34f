#!/usr/bin/env bash
# Installs what is missing and builds the stage-console program (incrementally)
# in build/run. Used by run.sh and pictures.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

build=build/run
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSTAGE_BUILD_TESTS=OFF -DSTAGE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target stage-console --parallel "$(nproc)"
