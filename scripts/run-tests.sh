#!/usr/bin/env bash
# Sets up, builds and runs every test. BUILD_DIR and extra CMake arguments (e.g. -DVDPATTERN_SANITIZE=ON) may
# be given: scripts/run-tests.sh [cmake-args...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=${BUILD_DIR:-build}
log=$(mktemp "${TMPDIR:-/tmp}/vdpattern-build.XXXXXX.log")
trap 'rm -f "$log"' EXIT
# One line per phase; a phase's own output is shown only when it fails.
phase() {
  local what=$1 started=$SECONDS
  shift
  echo "run-tests: $what"
  "$@" >"$log" 2>&1 || {
    cat "$log" >&2
    echo "run-tests: failed: $what" >&2
    exit 1
  }
  echo "run-tests: ... $((SECONDS - started)) s"
}
phase "configuring $build" cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
phase "building (several minutes from scratch)" cmake --build "$build"
# The server tests run against a throwaway PostgreSQL server; the file tests run beside them.
echo "run-tests: running the tests"
status=0
bash scripts/with-pg-server.sh ctest --test-dir "$build" --output-on-failure -j "$(nproc)" || status=$?
bash scripts/skip-summary.sh "$build"
exit "$status"
