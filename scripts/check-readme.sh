#!/usr/bin/env bash
# Runs the code blocks of README.md as a reader would paste them, so that they stay true:
# - a ```cpp block is a whole program: it is built with pkg-config against a copy of BUILD_DIR (default build)
#   installed into a temporary prefix, and run there without LD_LIBRARY_PATH; it must exit with 0;
# - a ```sh block runs with bash -euo pipefail from the repository root, with HOME a folder of its own (so that
#   ~ in a command is thrown away afterwards), shared by the blocks in their order; it must exit with 0;
# - a ```python block runs with Debian's /usr/bin/python3 from the repository root, the same HOME, and the
#   vdpattern package from that installed copy (so its run path is tried too); it must exit with 0.
# A block right after the line <!-- check-readme: skip REASON --> is left out; keep that for what needs root,
# the network or a long time and is checked elsewhere. Blocks in other languages are text.
set -euo pipefail
cd "$(dirname "$0")/.."
readme=${1:-README.md}
build=${BUILD_DIR:-build}
[[ -d $build ]] || { echo "check-readme: build $build first (scripts/run-tests.sh)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
pc=$(find "$work/prefix" -name vdpattern.pc -print -quit)
python_dir=$(find "$work/prefix" -path '*/vdpattern/__init__.py' -print -quit)
python_dir=${python_dir:+$(dirname "$(dirname "$python_dir")")}
mkdir "$work/home"

ran=0
skipped=0
failed=0
run_block() {  # language, first line number, file holding the block
  local lang=$1 at=$2 file=$3 name
  case $lang in
    cpp)
      name=$(head -n 1 "$file" | sed -n 's|^// *\([A-Za-z0-9_-]*\)\.cpp.*|\1|p')
      name=${name:-block-$at}
      cp "$file" "$work/$name.cpp"
      # shellcheck disable=SC2046  # pkg-config's words are meant to split
      g++ -std=c++17 -Wall -Wextra -Werror "$work/$name.cpp" -o "$work/$name" \
        $(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs vdpattern) && (cd "$work" && "./$name")
      ;;
    sh)
      HOME=$work/home bash -euo pipefail "$file"
      ;;
    python)
      [[ -n $python_dir ]] || { echo "the build has no Python module (VDPATTERN_BUILD_PYTHON)"; return 1; }
      HOME=$work/home PYTHONPATH=$python_dir /usr/bin/python3 "$file"
      ;;
  esac
}

lang=
skip=false
previous=
n=0
while IFS= read -r line || [[ -n $line ]]; do
  n=$((n + 1))
  if [[ -z $lang ]]; then
    if [[ $line =~ ^\`\`\`([a-z+]*)$ ]]; then
      lang=${BASH_REMATCH[1]}
      start=$((n + 1))
      : >"$work/block"
      [[ $previous =~ ^\<!--\ check-readme:\ skip ]] && skip=true || skip=false
    fi
    [[ -n ${line// /} ]] && previous=$line
    continue
  fi
  if [[ $line == '```' ]]; then
    if [[ $lang == cpp || $lang == sh || $lang == python ]]; then
      if $skip; then
        skipped=$((skipped + 1))
      else
        echo "check-readme: $readme:$start ($lang)"
        if run_block "$lang" "$start" "$work/block" >"$work/log" 2>&1; then
          ran=$((ran + 1))
        else
          failed=$((failed + 1))
          sed 's/^/  | /' "$work/log"
          echo "check-readme: $readme:$start: the $lang block failed" >&2
        fi
      fi
    fi
    lang=
    previous=
    continue
  fi
  printf '%s\n' "$line" >>"$work/block"
done <"$readme"
[[ -z $lang ]] || { echo "check-readme: $readme: a block opened at line $((start - 1)) is never closed" >&2; exit 1; }

# The command table's examples, in the table's order, as one session in a folder of its own that sees the
# sample (build/) and the data (examples/) as the repository root does. An example reaching a server by name
# (postgresql://db1/...) or one that serves until stopped is text.
table=$work/table
mkdir "$table"
build_path=$(cd "$build" && pwd)
ln -s "$build_path" "$table/build"
ln -s "$PWD/examples" "$table/examples"
vdcatalog=$build_path/tools/vdcatalog
examples=0
in_table=false
n=0
while IFS= read -r line || [[ -n $line ]]; do
  n=$((n + 1))
  if [[ $line == '| Command | Example |' ]]; then in_table=true; continue; fi
  $in_table || continue
  [[ $line == '|'* ]] || break
  [[ $line =~ \|\ \`vdcatalog\ ([^\`]*)\`\ \|$ ]] || continue
  args=${BASH_REMATCH[1]}
  [[ $args == serve\ * || $args == *postgresql://* ]] && { skipped=$((skipped + 1)); continue; }
  echo "check-readme: $readme:$n (table) vdcatalog $args"
  if (cd "$table" && HOME=$work/home eval "\"\$vdcatalog\" $args") >"$work/log" 2>&1; then
    examples=$((examples + 1))
  else
    failed=$((failed + 1))
    sed 's/^/  | /' "$work/log"
    echo "check-readme: $readme:$n: the table's example failed" >&2
  fi
done <"$readme"
ran=$((ran + examples))

echo "check-readme: $ran blocks and examples ran, $skipped skipped, $failed failed"
((failed == 0))
