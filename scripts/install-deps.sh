#!/usr/bin/env bash
# Installs what the build and the tests need on Debian, when run as root.
# Run by another user it installs nothing: it says in a line for each
# optional piece that is missing what goes unbuilt or untested and which
# packages bring it, and fails only when something the build cannot do
# without is missing. Arguments are more packages of that kind (`make
# fuzz`: clang).
set -euo pipefail

# Whether every command named is on the PATH.
has() {
  local name
  for name; do command -v "$name" >/dev/null 2>&1 || return 1; done
}
header() { [ -e "/usr/include/$1" ] || [ -e "/usr/local/include/$1" ]; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

root=false
[ "$(id -u)" -eq 0 ] && root=true
install=()  # what root installs
missing=()  # what the build cannot do without, and nobody installs
skipped=()  # a line for each optional piece that stays missing

# piece [ci] PACKAGES WHAT CHECK...: a piece of the build or the tests,
# there when the command CHECK succeeds. An empty WHAT marks one the build
# cannot do without; "ci" one that root installs only in CI (CI=true).
piece() {
  local ci=false packages what list
  if [ "$1" = ci ]; then
    ci=true
    shift
  fi
  packages=$1 what=$2
  shift 2
  "$@" && return 0
  read -ra list <<<"$packages"
  if $root && { ! $ci || [ "${CI:-}" = true ]; }; then
    install+=("${list[@]}")
  elif [ -z "$what" ]; then
    missing+=("${list[@]}")
  else
    skipped+=("skipped: $what (apt-get install $packages)")
  fi
}

piece cmake "" has cmake
piece g++ "" has g++
piece libgtest-dev "" header gtest/gtest.h
piece nlohmann-json3-dev "" header nlohmann/json.hpp
for package in "$@"; do piece "$package" "" installed "$package"; done
piece ninja-build "Ninja, the build runs make instead" has ninja
piece liburing-dev "the uring engine (-engine uring) and its tests, without liburing" \
  header liburing.h
piece "libopenmpi-dev openmpi-bin" "dtk-mpi and its tests, without MPI" has mpicc mpirun
piece gnuplot-nox "the test of dtk-report's charts, without gnuplot" has gnuplot
piece groff-base "the manual pages' rendering check, without groff" has groff
piece "dpkg-dev file" "the Debian package and its test, without dpkg-dev" has dpkg-shlibdeps file
piece bash-completion "the bash completion's test, without bash-completion" \
  [ -f /usr/share/bash-completion/bash_completion ]
# The benchmarks (bench/), which CI builds but does not time; GNU time
# measures the peak memory of a run.
piece libbenchmark-dev "the benchmarks, without Google Benchmark" header benchmark/benchmark.h
piece time "the peak memory in make bench, without GNU time" [ -x /usr/bin/time ]
# CI also cross-builds for Windows and runs that build under Wine.
piece ci "g++-mingw-w64-x86-64-posix wine64 wine" \
  "the Windows build and its tests, without mingw-w64 and Wine" \
  has x86_64-w64-mingw32-g++-posix wine

for line in "${skipped[@]}"; do echo "$line"; done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
[ ${#install[@]} -eq 0 ] && exit 0
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${install[@]}"
