#!/usr/bin/env bash
# Sets dtk's whole-process time beside the floor's (bench/floor.cc: the same
# plan and the same file-system calls one at a time, no CRC, no output) for
# two workloads, each with the sync and the uring engine (the floor takes
# and ignores -engine), on tmpfs (/dev/shm) or the directory given. Runs
# alternate between the two programs, both pinned to one core (the cores
# of a machine can differ in speed by a third); each run gets a fresh
# directory, and its standard error and standard output go to files. A
# further row times the default tree with -direct (unbuffered I/O, on both
# sides) where the file system takes it; on tmpfs the data stays in memory
# all the same, so that row then shows only the cost of the extra copy and
# calls. Prints the median wall time of each program,
# their ratio, and the median CPU time (user + system) of each. Then what a
# report with its timeline costs (-report -interval 100 against none). Then the
# memory a planned file costs: the peak resident size of a run of about
# 500,000 files at the default nesting, less that of a run of a few files,
# per file (GNU time measures the peaks).
#
#   bench/compare.sh [DIR]      RUNS=N (default 11) runs of each program
#   BUILD=dir picks the build directory (default build).
set -euo pipefail
cd "$(dirname "$0")/.."

base=${1:-/dev/shm}
runs=${RUNS:-11}
build=${BUILD:-build}
dtk=$build/dtk
floor=$build/bench/dtk_floor
if [ ! -x "$dtk" ] || [ ! -x "$floor" ]; then
  echo "Build first: cmake --build $build (with DTK_BUILD_BENCH on)" >&2
  exit 1
fi
[ -d "$base" ] || { echo "No such directory: $base" >&2; exit 1; }

pin=()
command -v taskset >/dev/null 2>&1 && pin=(taskset -c "${CORE:-0}")

work=$(mktemp -d "$base/dtk-compare.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Runs one program once on a fresh directory; prints "wall cpu" in seconds.
time_one() {
  local target="$work/tree"
  rm -rf "$target"
  mkdir "$target"
  local TIMEFORMAT='%3R %3U %3S'
  local times
  times=$( { time "${pin[@]}" "$@" "$target" >"$work/out" 2>"$work/err"; } 2>&1 ) || {
    echo "Failed: $* $target" >&2
    cat "$work/err" >&2
    exit 1
  }
  rm -rf "$target"
  awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' <<<"$times"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

compare() {
  local label=$1
  shift
  local dtkWall="" dtkCpu="" floorWall="" floorCpu="" i line
  # One unmeasured pair first, so both programs start from warm caches.
  time_one "$dtk" "$@" >/dev/null
  time_one "$floor" "$@" >/dev/null
  for ((i = 0; i < runs; ++i)); do
    line=$(time_one "$dtk" "$@")
    dtkWall+="${line% *}"$'\n'
    dtkCpu+="${line#* }"$'\n'
    line=$(time_one "$floor" "$@")
    floorWall+="${line% *}"$'\n'
    floorCpu+="${line#* }"$'\n'
  done
  local dw fw dc fc
  dw=$(printf '%s' "$dtkWall" | median)
  fw=$(printf '%s' "$floorWall" | median)
  dc=$(printf '%s' "$dtkCpu" | median)
  fc=$(printf '%s' "$floorCpu" | median)
  awk -v l="$label" -v dw="$dw" -v fw="$fw" -v dc="$dc" -v fc="$fc" 'BEGIN {
    printf "| %-70s | %7.3f | %7.3f | %5.2fx | %7.3f | %7.3f |\n", l, dw, fw, dw / fw, dc, fc }'
}

echo "On $base, median of $runs alternating runs; times in seconds."
echo
printf '| %-70s | %7s | %7s | %6s | %7s | %7s |\n' "workload" "dtk" "floor" "ratio" "dtk cpu" "flr cpu"
printf '|%s|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..72})" "---------" "---------" "--------" "---------" "---------"
compare "default tree -verify" -verify
compare "default tree -verify -engine uring" -verify -engine uring
compare "-filesize 10 -maxFileSize 200 -maxDirFiles 1000 -verify" \
  -verify -filesize 10 -maxFileSize 200 -maxDirFiles 1000
compare "-filesize 10 -maxFileSize 200 -maxDirFiles 1000 -verify -engine uring" \
  -verify -filesize 10 -maxFileSize 200 -maxDirFiles 1000 -engine uring
mkdir "$work/probe"
if "$dtk" "$work/probe" -direct -filesize 1 -maxFileSize 1048576 >/dev/null 2>"$work/err"; then
  compare "default tree -verify -direct" -verify -direct
  if [ "$(stat -f -c %T "$base")" = tmpfs ]; then
    echo
    echo "-direct on tmpfs: the files live in memory either way; the row shows the cost of"
    echo "the copy into the aligned buffer and of the calls, not that of a device."
  fi
else
  echo
  echo "-direct not timed: $(tail -n 1 "$work/err")"
fi

# What a report with the timeline of every phase costs: dtk with -report
# -interval 100 (a sample every 100 ms) beside dtk without -report, runs
# alternating, both pinned.
report_cost() {
  local label=$1
  shift
  local plainWall="" reportWall="" i line
  time_one "$dtk" "$@" >/dev/null
  for ((i = 0; i < runs; ++i)); do
    line=$(time_one "$dtk" "$@")
    plainWall+="${line% *}"$'\n'
    line=$(time_one "$dtk" "$@" -report "$work/report.json" -interval 100)
    reportWall+="${line% *}"$'\n'
  done
  local pw rw
  pw=$(printf '%s' "$plainWall" | median)
  rw=$(printf '%s' "$reportWall" | median)
  awk -v l="$label" -v pw="$pw" -v rw="$rw" 'BEGIN {
    printf "| %-70s | %7.3f | %7.3f | %5.3fx |\n", l, pw, rw, rw / pw }'
}

echo
echo "A report with a timeline sampled every 100 ms, against no report:"
echo
printf '| %-70s | %7s | %7s | %6s |\n' "workload" "plain" "report" "ratio"
printf '|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..72})" "---------" "---------" "--------"
report_cost "-filesize 10 -maxFileSize 200 -maxDirFiles 1000 -verify" \
  -verify -filesize 10 -maxFileSize 200 -maxDirFiles 1000
report_cost "-filesize 10 -maxFileSize 200 -maxDirFiles 1000 -verify -engine uring" \
  -verify -filesize 10 -maxFileSize 200 -maxDirFiles 1000 -engine uring

# Peak resident kilobytes of one run of dtk on a fresh directory; the created
# file count goes to $work/files.
peak_kb() {
  local target="$work/tree"
  rm -rf "$target"
  mkdir "$target"
  /usr/bin/time -f '%M' -o "$work/peak" "$dtk" "$target" "$@" >"$work/out" 2>"$work/err"
  rm -rf "$target"
  awk '/^Create [0-9]+ files/ { print $2 }' "$work/out" >"$work/files"
  cat "$work/peak"
}

echo
if [ -x /usr/bin/time ]; then
  small=$(peak_kb -filesize 1)
  large=$(peak_kb -filesize 50 -maxFileSize 200)
  files=$(cat "$work/files")
  awk -v s="$small" -v l="$large" -v f="$files" 'BEGIN {
    printf "Memory: %d files at the default nesting peak at %d KiB, a run of a few files at %d KiB:\n", f, l, s
    printf "%.0f bytes per planned file, the plan and the marks of what was made together.\n", (l - s) * 1024 / f }'
else
  echo "Memory not measured: /usr/bin/time (GNU time) is missing."
fi
