#!/usr/bin/env bash
# The unit tests under valgrind (memcheck: no error, no leak), split into one shard per core: valgrind runs a
# program on one core, and the whole suite in one process took about a quarter of CI's time.
#   BUILD_DIR=build   the build whose vdpattern_tests is run; SHARDS=$(nproc)
# Run inside scripts/with-pg-server.sh for the server tests; the shards share that server.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
shards=${SHARDS:-$(nproc)}
logs=$(mktemp -d "${TMPDIR:-/tmp}/vdpattern-valgrind-XXXXXX")
trap 'rm -rf "$logs"' EXIT
started=$SECONDS
pids=()
for ((i = 0; i < shards; ++i)); do
  GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i valgrind --quiet --suppressions=tests/valgrind.supp \
    --leak-check=full --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
    --error-exitcode=1 "./$build/tests/vdpattern_tests" --gtest_brief=1 >"$logs/$i.log" 2>&1 &
  pids+=($!)
done
failed=0
for ((i = 0; i < shards; ++i)); do
  if ! wait "${pids[$i]}"; then
    echo "valgrind-tests: shard $((i + 1)) of $shards failed:" >&2
    cat "$logs/$i.log" >&2
    failed=1
  fi
done
echo "valgrind-tests: $shards shards, $((SECONDS - started)) s, $([[ $failed == 0 ]] && echo "no error, no leak" || echo FAILED)"
exit "$failed"
