#!/usr/bin/env bash
# Prints one line that counts the tests skipped by the last ctest run in the build folder given (default
# build) and says why, reason by reason: "skip-summary: 15 skipped: no PostgreSQL server (12); ... (3)". Reads
# ctest's own log, so it also serves a run by hand: ctest --test-dir build; bash scripts/skip-summary.sh build
set -euo pipefail
log="${1:-build}/Testing/Temporary/LastTest.log"
[[ -r $log ]] || { echo "skip-summary: no test log at $log (run ctest first)" >&2; exit 1; }
python3 - "$log" <<'PY'
import collections, re, sys

text = open(sys.argv[1], encoding="utf-8", errors="replace").read()
reasons = collections.Counter()
# GoogleTest: "<file>:<line>: Skipped" then the reason, up to "[  SKIPPED ] <test>".
for block in re.split(r"\n\d+/\d+ Testing: ", text)[1:]:
    found = re.search(r": Skipped\n(.*?)\n\[  SKIPPED \]", block, re.S)
    if found:
        reasons[" ".join(found.group(1).split()) or "no reason given"] += 1
# pytest -rs: "SKIPPED [n] <file>:<line>: <reason>".
for count, reason in re.findall(r"^SKIPPED \[(\d+)\] [^:\n]+:\d+: (.*)$", text, re.M):
    reasons["python: " + reason.strip()] += int(count)
total = sum(reasons.values())
if not total:
    print("skip-summary: nothing was skipped")
else:
    parts = "; ".join(f"{reason} ({n})" for reason, n in reasons.most_common())
    print(f"skip-summary: {total} skipped: {parts}")
PY
