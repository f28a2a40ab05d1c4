#!/usr/bin/env bash
# dtk -threads N beside dtk -threads 1 on the small-file workload
# (-filesize 10 -maxFileSize 200 -maxDirFiles 1000 -verify), on tmpfs
# (/dev/shm) or the directory given. For 1, 2 and 4 threads, runs alternate;
# each run gets a fresh directory, its standard error and output go to
# files, and every run is allowed the same cores (CORES, default 0,1).
# Prints for each count the median wall time, the files of all threads, the
# files per second of the whole run (all threads' files over its wall time,
# planning and the three phases included) and its ratio to one thread; the
# median CPU time (user + system) and the files per CPU second, which stay
# level when the threads do not hold each other up, whatever else the
# machine runs; and the median peak resident size, which grows by each
# thread's buffers, not by a plan per thread.
#
#   bench/threads.sh [DIR]      RUNS=N (default 11) runs of each count
#   BUILD=dir picks the build directory (default build).
set -euo pipefail
cd "$(dirname "$0")/.."

base=${1:-/dev/shm}
runs=${RUNS:-11}
build=${BUILD:-build}
cores=${CORES:-0,1}
dtk=$build/dtk
counts=(1 2 4)
workload=(-filesize 10 -maxFileSize 200 -maxDirFiles 1000 -verify)
[ -x "$dtk" ] || { echo "Build first: cmake --build $build" >&2; exit 1; }
[ -d "$base" ] || { echo "No such directory: $base" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed" >&2; exit 1; }
command -v taskset >/dev/null || { echo "taskset (util-linux) is needed" >&2; exit 1; }

work=$(mktemp -d "$base/dtk-threads.XXXXXX")
trap 'rm -rf "$work"' EXIT

# One run of N threads on a fresh directory; prints "wall cpu peakKiB files".
run_one() {
  local target="$work/tree"
  rm -rf "$target"
  mkdir "$target"
  taskset -c "$cores" /usr/bin/time -f '%e %U %S %M' -o "$work/time" \
    "$dtk" "$target" "${workload[@]}" -threads "$1" >"$work/out" 2>"$work/err" || {
    echo "Failed: $dtk $target ${workload[*]} -threads $1" >&2
    head -5 "$work/err" >&2
    exit 1
  }
  rm -rf "$target"
  echo "$(awk '{ printf "%s %.2f %s", $1, $2 + $3, $4 }' "$work/time")" \
    "$(awk '/^Create [0-9]+ files/ { print $2 }' "$work/out")"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A walls cpus peaks files
for n in "${counts[@]}"; do run_one "$n" >/dev/null; done  # warm caches
for ((i = 0; i < runs; ++i)); do
  for n in "${counts[@]}"; do
    read -r wall cpu peak count < <(run_one "$n")
    walls[$n]+="$wall"$'\n'
    cpus[$n]+="$cpu"$'\n'
    peaks[$n]+="$peak"$'\n'
    files[$n]=$count
  done
done

echo "On $base, cores $cores, median of $runs alternating runs: ${workload[*]}"
echo
printf '| %7s | %8s | %9s | %9s | %11s | %7s | %11s | %8s |\n' threads "wall s" files "files/s" \
  "vs 1 thread" "cpu s" "files/cpu s" "peak KiB"
printf '|---------|----------|-----------|-----------|-------------|---------|-------------|----------|\n'
one=""
for n in "${counts[@]}"; do
  wall=$(printf '%s' "${walls[$n]}" | median)
  cpu=$(printf '%s' "${cpus[$n]}" | median)
  peak=$(printf '%s' "${peaks[$n]}" | median)
  rate=$(awk -v f="${files[$n]}" -v w="$wall" 'BEGIN { printf "%.0f", f / w }')
  [ -n "$one" ] || one=$rate
  awk -v n="$n" -v w="$wall" -v f="${files[$n]}" -v r="$rate" -v o="$one" -v c="$cpu" \
    -v p="$peak" 'BEGIN {
    printf "| %7d | %8.2f | %9d | %9d | %10.2fx | %7.2f | %11d | %8d |\n", n, w, f, r, r / o, c,
      f / c, p }'
done
