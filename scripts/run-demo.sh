#!/usr/bin/env bash
# Sets up, builds, builds the sample catalog of steel sections and takes a short tour of vdcatalog.
# With VDCATALOG_BIN (an installed vdcatalog) and HOST_DEMO_BIN (a host_demo built elsewhere) it builds
# nothing and tours those instead, writing its catalogs to DEMO_DIR (default: a temporary folder).
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ -n ${VDCATALOG_BIN:-} ]]; then
  vdcatalog=$VDCATALOG_BIN
  host_demo=${HOST_DEMO_BIN:-}
  if [[ -z ${DEMO_DIR:-} ]]; then
    DEMO_DIR=$(mktemp -d)
    trap 'rm -rf "$DEMO_DIR"' EXIT
  fi
  out=$DEMO_DIR
else
  bash scripts/setup.sh
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build --target vdcatalog host_demo
  vdcatalog=build/tools/vdcatalog
  host_demo=build/examples/host_demo
  out=build
fi
catalog=$out/sections.mdb
bash examples/sections/build-catalog.sh "$vdcatalog" "$catalog"

# Each command is echoed with its arguments quoted as a shell reads them, so a line pasted from the output runs.
run() {
  printf '\n$ vdcatalog'
  printf ' %q' "$@"
  printf '\n'
  "$vdcatalog" "$@"
}
run info "$catalog"
run families "$catalog"
run show --catalog "$catalog" "IPE 200"
run show --catalog "$catalog" "HEA 100 mm" --metrics 1000
run list "$catalog" HEB --like "HEB 3%"
run verify "$catalog" HEA
run show --catalog "$catalog" "HE 300 B"
copy=$out/sections-copy.mdb
cp "$catalog" "$copy"
run set "$copy" IPE "IPE 750x137" h=753 b=263 tw=11.5 tf=17 r=17 G=137
run show --catalog "$copy" "IPE 750x137"
run rm "$copy" "IPE 750x137"
printf '\n$ vdcatalog show --catalog %s "IPE 210"   (not in the catalog)\n' "$catalog"
"$vdcatalog" show --catalog "$catalog" "IPE 210" || true
rm -f "$copy"
if [[ -n $host_demo ]]; then
  printf '\n$ host_demo\n'
  "$host_demo"
fi
