#!/usr/bin/env bash
# The browser test of vdcatalog serve: a catalog with a section family, a 100,000-row family and a hostile name,
# served on 127.0.0.1 and driven by serve.mjs. Exits 77 (skipped) when chromium or playwright-core is absent.
# Usage: run.sh VDCATALOG BUILD_DIR
set -euo pipefail
tool=$1
build=$2
here=$(cd "$(dirname "$0")" && pwd)
# playwright-core where scripts/setup.sh put it: VDPATTERN_WEB_TEST when set, else this build's folder, else the
# source tree's build/ (setup's default), which a second build of the same tree (the sanitizer one) shares.
modules=
for dir in ${VDPATTERN_WEB_TEST:+"$VDPATTERN_WEB_TEST"} "$build/web-test" "$here/../../../build/web-test"; do
  [[ -f $dir/node_modules/playwright-core/package.json ]] && { modules=$(cd "$dir" && pwd)/node_modules; break; }
done
chromium=${CHROMIUM:-/usr/bin/chromium}
[[ -x $chromium ]] || { echo "skipped: no chromium at $chromium (scripts/setup.sh installs it)"; exit 77; }
command -v node >/dev/null || { echo "skipped: node is not installed"; exit 77; }
[[ -n $modules ]] ||
  { echo "skipped: no playwright-core in ${VDPATTERN_WEB_TEST:-$build/web-test} (scripts/setup.sh installs it)"; exit 77; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/vdcatalog-browser.XXXXXX")
server=
cleanup() {
  [[ -n $server ]] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

catalog="$dir/steel.vdcat"
"$tool" create "$catalog" --type Steel >/dev/null
for family in HEB:HB BIG:BG; do
  "$tool" add-family "$catalog" "${family%%:*}" --code "${family##*:}" --column h:DOUBLE:mm --column b:DOUBLE:mm \
    --column tw:DOUBLE:mm --column tf:DOUBLE:mm --column r:DOUBLE:mm >/dev/null
done
cut -d, -f1-6 "$here/../../../examples/sections/HEB.csv" >"$dir/heb.csv"
"$tool" import "$catalog" HEB "$dir/heb.csv" >/dev/null
"$tool" alias "$catalog" add "HE 300 B" "HEB 300" >/dev/null
awk 'BEGIN { print "Name,h,b,tw,tf,r"; for (i = 1; i <= 100000; i++) printf "BIG %d,%.2f,%d,7,11,12\n", i, 100 + i / 100, 100 + i % 300 }' \
  >"$dir/big.csv"
"$tool" import "$catalog" BIG "$dir/big.csv" >/dev/null
export HOSTILE_NAME='<img src=x onerror="window.pwned=1"> HEB & "x"'
"$tool" set "$catalog" HEB "$HOSTILE_NAME" h=100 b=100 tw=6 tf=10 r=12 >/dev/null

"$tool" serve "$catalog" --port 0 >"$dir/serve.out" 2>"$dir/serve.err" &
server=$!
for _ in $(seq 100); do
  grep -q '^serving ' "$dir/serve.out" && break
  sleep 0.1
done
url=$(sed -n 's/^serving //p' "$dir/serve.out")
[[ -n $url ]] || { cat "$dir/serve.err"; echo "serve did not start"; exit 1; }
mkdir -p "$build/screenshots"
node "$here/serve.mjs" "$url" "$build/screenshots" "$modules"
echo "screenshot: $build/screenshots/heb-300.png"
