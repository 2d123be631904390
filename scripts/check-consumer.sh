#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds an outside program against it with find_package and
# with pkg-config, then runs both without LD_LIBRARY_PATH: the run paths must find the libraries, and the
# installed vdcatalog must run from the prefix too.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
unset LD_LIBRARY_PATH
cmake --install "$build" --prefix "$prefix" >/dev/null
if [[ -x $prefix/bin/vdcatalog ]]; then
  "$prefix/bin/vdcatalog" --help >/dev/null
fi
cmake -S tests/consumer -B "$prefix/consumer-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer-build" >/dev/null
"$prefix/consumer-build/consumer"
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name vdpattern.pc | head -n 1)")
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
g++ -std=c++17 tests/consumer/consumer.cpp -o "$prefix/consumer-pc" $(pkg-config --cflags --libs vdpattern)
"$prefix/consumer-pc" >/dev/null
echo "consumer: find_package and pkg-config builds run without LD_LIBRARY_PATH, and so does the installed vdcatalog"
