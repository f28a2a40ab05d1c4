#!/usr/bin/env bash
# Installs what the build and the tests need on Debian, when run as root;
# otherwise names what is missing and stops.
set -euo pipefail

needed=(cmake ninja-build g++ libgtest-dev nlohmann-json3-dev "$@")
# The uring engine (-engine uring).
needed+=(liburing-dev)
# The manual page check (groff) and the Debian package (dpkg-shlibdeps, file).
needed+=(groff-base dpkg-dev file)
# The charts of dtk-report, drawn by gnuplot.
needed+=(gnuplot-nox)
# The benchmarks (bench/), which CI builds but does not time; GNU time
# measures the peak memory of a run.
needed+=(libbenchmark-dev time)
# dtk-mpi and its tests under mpirun.
needed+=(libopenmpi-dev openmpi-bin)
# CI also cross-builds for Windows and runs that build under Wine.
if [ "${CI:-}" = true ]; then
  needed+=(g++-mingw-w64-x86-64-posix wine64 wine)
fi
missing=()
for package in "${needed[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
