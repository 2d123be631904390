#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the benchmarks, the Python module (pybind11, the
# interpreter's development files, pytest, NumPy, pandas and mypy's stubtest), the fuzzing (clang with its libFuzzer
# runtime) and the Debian packages of the project (dpkg-dev and file, which CPack's dependency scan runs) need,
# when any is missing. make is there so that CMake's default generator works too.
set -euo pipefail

packages=(cmake ninja-build make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev libpq-dev
          libicu-dev libcli11-dev nlohmann-json3-dev libcsv-dev valgrind clang libclang-rt-14-dev postgresql-15
          postgresql-common dpkg-dev file pybind11-dev python3-pybind11 python3-dev python3-pytest python3-numpy
          python3-pandas mypy)

# One line per phase, so that a long install is seen to be under way.
echo "setup: checking ${#packages[@]} Debian packages"
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  echo "setup: every package is installed"
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
# apt and dpkg print several lines per package even with -qq: they go to a log shown only when something fails.
log=$(mktemp "${TMPDIR:-/tmp}/vdpattern-setup.XXXXXX.log")
run() {
  local started=$SECONDS
  "$@" >>"$log" 2>&1 || {
    cat "$log" >&2
    echo "setup: failed: $* (log above, kept in $log)" >&2
    exit 1
  }
  echo "setup: ... $((SECONDS - started)) s"
}
echo "setup: updating the package lists"
run apt-get update -qq
echo "setup: installing ${#missing[@]} packages (a few minutes on a new system): ${missing[*]}"
run apt-get install -y -qq --no-install-recommends "${missing[@]}"
rm -f "$log"
echo "setup: done"
