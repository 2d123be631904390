#!/usr/bin/env bash
# Builds the Debian packages of this tree (a Release build for /usr, without tests and benchmarks):
# libvdpattern0, libvdpattern-dev, vdcatalog and, when the Python module is built, python3-vdpattern. Prints
# their paths on stdout, one a line, and how many were built on stderr. BUILD_DIR (default build-deb) and JOBS (parallel
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
debs=("$PWD/$build"/*.deb)
printf '%s\n' "${debs[@]}"
echo "build-packages: built ${#debs[@]} packages in $build/" >&2
