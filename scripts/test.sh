#!/usr/bin/env bash
# Installs what is missing, configures and builds from scratch, runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh --test

build=build/test
rm -rf "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --parallel "$(nproc)"
# The tests' programs keep whatever they save (controller profiles) under the
# build, never in the user's own configuration.
export XDG_CONFIG_HOME="$PWD/$build/config"
QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)" --timeout 300
