#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds an outside program against it with find_package and
# with pkg-config, then runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
cmake -S tests/consumer -B "$prefix/consumer-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer-build" >/dev/null
LD_LIBRARY_PATH="$prefix/lib:$prefix/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)" \
  "$prefix/consumer-build/consumer"
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name vdpattern.pc | head -n 1)")
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
g++ -std=c++17 tests/consumer/consumer.cpp -o "$prefix/consumer-pc" $(pkg-config --cflags --libs vdpattern)
LD_LIBRARY_PATH=$(pkg-config --variable=libdir vdpattern) "$prefix/consumer-pc" >/dev/null
echo "consumer: find_package and pkg-config builds work"
