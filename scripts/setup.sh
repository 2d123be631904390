#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the benchmarks, the Python module (pybind11, the
# interpreter's development files, pytest, NumPy, pandas and mypy's stubtest), the fuzzing (clang with its libFuzzer
# runtime) and the Debian packages of the project (dpkg-dev and file, which CPack's dependency scan runs) need,
# when any is missing. make is there so that CMake's default generator works too.
set -euo pipefail

packages=(cmake ninja-build make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev libpq-dev
          libicu-dev libcli11-dev nlohmann-json3-dev libcsv-dev valgrind clang libclang-rt-14-dev postgresql-15
          postgresql-common dpkg-dev file pybind11-dev python3-pybind11 python3-dev python3-pytest python3-numpy
          python3-pandas mypy libcpp-httplib-dev chromium)

# One line per phase, so that a long install is seen to be under way.
echo "setup: checking ${#packages[@]} Debian packages"
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# npm for the browser test's driver: Debian's, unless the machine has a Node.js of its own.
command -v npm >/dev/null || missing+=(nodejs npm)
if ((${#missing[@]} == 0)); then
  echo "setup: every package is installed"
else
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
fi

# The browser test of vdcatalog serve drives Debian's chromium with playwright-core from npm, kept in
# VDPATTERN_WEB_TEST, or else the build folder's web-test (VDPATTERN_BUILD_DIR, build/ by default), and never
# downloading a browser of its own. Every build of the tree finds it there (tests/tools/browser/run.sh).
root=$(cd "$(dirname "$0")/.." && pwd)
web_test="${VDPATTERN_WEB_TEST:-${VDPATTERN_BUILD_DIR:-$root/build}/web-test}"
if [ ! -f "$web_test/node_modules/playwright-core/package.json" ]; then
  echo "setup: installing playwright-core from npm into $web_test"
  mkdir -p "$web_test"
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm install --silent --no-audit --no-fund --prefix "$web_test" \
    playwright-core@1.65.2
fi
