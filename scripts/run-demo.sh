#!/usr/bin/env bash
# Sets up, builds, builds the sample catalog of steel sections and takes a short tour of vdcatalog.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target vdcatalog host_demo
vdcatalog=build/tools/vdcatalog
catalog=build/sections.mdb
bash examples/sections/build-catalog.sh "$vdcatalog" "$catalog"

run() {
  printf '\n$ vdcatalog %s\n' "$*"
  "$vdcatalog" "$@"
}
run info "$catalog"
run families "$catalog"
run show --catalog "$catalog" "IPE 200"
run show --catalog "$catalog" "HEA 100 mm" --metrics 1000
run list "$catalog" HEB --like "HEB 3%"
copy=build/sections-copy.mdb
cp "$catalog" "$copy"
run set "$copy" IPE "IPE 750x137" h=753 b=263 tw=11.5 tf=17 r=17 G=137
run show --catalog "$copy" "IPE 750x137"
run rm "$copy" "IPE 750x137"
printf '\n$ vdcatalog show --catalog %s "IPE 210"   (not in the catalog)\n' "$catalog"
"$vdcatalog" show --catalog "$catalog" "IPE 210" || true
rm -f "$copy"
printf '\n$ host_demo\n'
build/examples/host_demo
