#!/usr/bin/env bash
# Sets up, builds and runs every test. BUILD_DIR and extra CMake arguments (e.g. -DVDPATTERN_SANITIZE=ON) may
# be given: scripts/run-tests.sh [cmake-args...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build"
# The server tests run against a throwaway PostgreSQL server; the file tests run beside them.
bash scripts/with-pg-server.sh ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
