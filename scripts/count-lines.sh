#!/usr/bin/env bash
# Prints the lines of tests (tests/ and fuzz/) against the lines of the rest
# of the code (every other tracked file but prose and doc/), counting lines
# that are neither blank nor only a comment, and their ratio. In C and C++
# a comment is // or /* */ (preprocessor lines are code); in the scripts,
# CMake files and the Makefile it is #. The tests should come to between a
# quarter and a third of the code.
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
  local total=0 file n
  while IFS= read -r file; do
    case $file in
      *.cc | *.h) n=$(grep -cvE '^\s*(//.*|/\*.*|\*.*)?$' "$file" || true) ;;
      *) n=$(grep -cvE '^\s*(#.*)?$' "$file" || true) ;;
    esac
    total=$((total + n))
  done
  echo "$total"
}
tests=$(git ls-files | grep -E '^(tests|fuzz)/' | grep -vE '/corpus/' | count)
code=$(git ls-files | grep -vE '^(tests|fuzz|doc)/|\.md$' | count)
awk -v t="$tests" -v c="$code" 'BEGIN {
  printf "tests %d lines, code %d lines: tests are %.1f%% of the code (aim: 25-40%%)\n", t, c, 100 * t / c }'
