#!/usr/bin/env bash
# Builds the Debian packages libvdpattern0, libvdpattern-dev and vdcatalog from this tree (a Release build for
# /usr, without tests and benchmarks) and prints their paths. BUILD_DIR (default build-deb) and JOBS (parallel
# build jobs, default 2) may be given.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-deb}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Quiet unless a step fails.
step() {
  "$@" >"$log" 2>&1 || { cat "$log" >&2; echo "build-packages: failed: $*" >&2; exit 1; }
}
step cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DVDPATTERN_BUILD_TESTS=OFF -DVDPATTERN_BUILD_BENCH=OFF -DVDPATTERN_BUILD_TOOLS=ON
step cmake --build "$build" -j "${JOBS:-2}"
rm -f "$build"/*.deb
(cd "$build" && step cpack -G DEB)
ls "$PWD/$build"/*.deb
