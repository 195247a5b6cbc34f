#!/usr/bin/env bash
# Installs what is missing, configures and builds from scratch, runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh --test

build=build/test
rm -rf "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --parallel "$(nproc)"
QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)" --timeout 300
