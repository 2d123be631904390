#!/usr/bin/env bash
# Fails when a C++ file differs from what clang-format (.clang-format) makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "check-format: clang-format is not installed; skipped"; exit 0; }
bad=$(git ls-files '*.cpp' '*.h' | while read -r f; do clang-format "$f" | cmp -s - "$f" || echo "$f"; done)
if [[ -n $bad ]]; then
  echo "check-format: not formatted: $bad"
  exit 1
fi
echo "check-format: every C++ file is formatted"
