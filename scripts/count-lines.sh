#!/usr/bin/env bash
# Prints the lines of tests (tests/ and fuzz/) against the lines of the rest
# of the code (every other tracked file but prose and doc/), counting lines
# that are neither blank nor only a comment, and their ratio. The tests
# should come to between a quarter and a third of the code.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { xargs -r cat | grep -cvE '^\s*(//.*|#.*|/\*.*|\*.*)?$' || true; }
tests=$(git ls-files | grep -E '^(tests|fuzz)/' | grep -vE '/corpus/' | count)
code=$(git ls-files | grep -vE '^(tests|fuzz|doc)/|\.md$' | count)
awk -v t="$tests" -v c="$code" 'BEGIN {
  printf "tests %d lines, code %d lines: tests are %.1f%% of the code (aim: 25-40%%)\n", t, c, 100 * t / c }'
