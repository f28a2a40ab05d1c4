#!/usr/bin/env bash
# Measures what the JSON report costs: runs the default tree (create, verify,
# remove) on a tmpfs directory, alternately with and without -report, and
# prints the median wall time of each and the difference. A benchmark, not a
# test: it fails only when the tool does.
#
#   scripts/report-overhead.sh [DTK_BINARY] [RUNS] [TMPFS_DIR]
set -euo pipefail

dtk=${1:-build/dtk}
runs=${2:-9}
base=${3:-/dev/shm}
work=$(mktemp -d "$base/dtk-overhead.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/tree"

# Wall time of one run in nanoseconds.
time_run() {
  local start end
  start=$(date +%s%N)
  "$dtk" "$work/tree" -verify "$@" >/dev/null 2>&1
  end=$(date +%s%N)
  echo $((end - start))
}

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

time_run >/dev/null  # warm up
plain=()
reported=()
for ((i = 0; i < runs; i++)); do
  plain+=("$(time_run)")
  reported+=("$(time_run -report "$work/report.json")")
done
p=$(printf '%s\n' "${plain[@]}" | median)
r=$(printf '%s\n' "${reported[@]}" | median)
awk -v p="$p" -v r="$r" -v n="$runs" 'BEGIN {
  printf "median of %d runs: without report %.1f ms, with report %.1f ms, overhead %+.2f%%\n",
         n, p / 1e6, r / 1e6, (r - p) * 100 / p
}'
