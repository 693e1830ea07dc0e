#!/usr/bin/env bash
# Prints the lines of test code (unit tests, fakes, end-to-end tests and their harness) against
# the lines of the code they test (src/, tools/, bench/, scripts/): C++ and Python in tracked
# files, blank lines and whole-line comments left out.
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
  git ls-files -- "$@" | grep -E '\.(cpp|h|py)$' | tr '\n' '\0' | xargs -0 cat |
    grep -cvE '^[[:space:]]*$|^[[:space:]]*(//|#)'
}

code=$(count src tools bench scripts)
tests=$(count tests)
awk -v t="$tests" -v c="$code" \
  'BEGIN { printf "test lines %d, code lines %d: tests are %.0f%% of the code\n", t, c, 100 * t / c }'
