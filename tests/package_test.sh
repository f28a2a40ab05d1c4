#!/usr/bin/env bash
# Builds the Debian package from a finished build, checks its metadata,
# installs it with dpkg, runs the installed dtk on a small tree and
# dtk-report on its report, and removes the package again.
#
# Usage: package_test.sh CPACK BUILD_DIR VERSION
#
# It changes the machine's installed packages, so it runs only as root, with
# dpkg, and when asked to: CI=true (as in CI) or DTK_TEST_PACKAGE=1.
# Otherwise it reports itself skipped (status 77). A dtk package or an
# /usr/bin/dtk that is already there is left alone: the test is skipped.
set -euo pipefail

cpack=$1
build=$2
version=$3
programs=(/usr/bin/dtk /usr/bin/dtk-report)

skip() {
  echo "skipped: $*"
  exit 77
}
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

[ "${CI:-}" = true ] || [ "${DTK_TEST_PACKAGE:-}" = 1 ] || skip "set CI=true or DTK_TEST_PACKAGE=1"
[ "$(id -u)" -eq 0 ] || skip "not root"
command -v dpkg-shlibdeps >/dev/null || skip "dpkg-dev is not installed"
if dpkg-query -W -f='${Status}' dtk 2>/dev/null | grep -q ' installed$'; then
  skip "a dtk package is installed already"
fi
for program in "${programs[@]}"; do [ ! -e "$program" ] || skip "$program exists already"; done

work=$(mktemp -d "${TMPDIR:-/tmp}/dtk-package.XXXXXX")
installed=0
cleanup() {
  if [ "$installed" -eq 1 ]; then dpkg -r dtk >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Fails unless a line of TEXT matches the extended regular expression.
expect() { grep -qE -- "$2" <<<"$1" || fail "no line $2 in: $1"; }

# The package, made in a directory of its own so the build is not touched.
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/log" 2>&1 ||
  fail "cpack: $(<"$work/log")"
debs=("$work"/package/dtk_"$version"_*.deb)
[ -f "${debs[0]}" ] || fail "no dtk_${version}_*.deb in $(ls "$work/package")"
fields=$(dpkg-deb -f "${debs[0]}")
expect "$fields" "^Package: dtk$"
expect "$fields" "^Version: ${version//./\\.}\$"
expect "$fields" '^Maintainer: dtk developers <dtk@localhost>$'
# dpkg-shlibdeps found the C and C++ libraries the program links.
expect "$fields" '^Depends: .*libc6 \(>= '
expect "$fields" '^Depends: .*libstdc\+\+6'
# A long description: lines after the first, indented.
expect "$fields" '^ \S'
# dtk-report --chart runs gnuplot, which the package does not need otherwise.
expect "$fields" '^Suggests: gnuplot-nox$'
contents=$(dpkg-deb -c "${debs[0]}")
for program in "${programs[@]}"; do
  expect "$contents" " \.$program\$"
  expect "$contents" " \./usr/share/man/man1/${program##*/}\.1\.gz\$"
  expect "$contents" " \./usr/share/bash-completion/completions/${program##*/}\$"
done
# dtk-mpi, where it was built, with the MPI library it links.
if [ -x "$build/dtk-mpi" ]; then
  expect "$contents" ' \./usr/bin/dtk-mpi$'
  expect "$contents" ' \./usr/share/bash-completion/completions/dtk-mpi$'
  expect "$fields" '^Depends: .*libopenmpi'
fi

# From here on the package is removed on the way out, also when dpkg -i
# stops half way.
installed=1
dpkg -i "${debs[0]}" >"$work/log" 2>&1 || fail "dpkg -i: $(<"$work/log")"
mkdir "$work/tree"
out=$(/usr/bin/dtk "$work/tree" -filesize 1 -verify -report "$work/run.json" 2>"$work/err") ||
  fail "dtk ended with status $?: $(<"$work/err")"
expect "$out" '^Verify [0-9]* files, 0 CRC Errors$'
expect "$out" '^Remove filesize 1048576 bytes$'
[ -z "$(ls -A "$work/tree")" ] || fail "the tree was left behind: $(ls -A "$work/tree")"
table=$(/usr/bin/dtk-report "$work/run.json" 2>"$work/err") || fail "dtk-report: $(<"$work/err")"
expect "$table" '^create bytes \['
dpkg -r dtk >"$work/log" 2>&1 || fail "dpkg -r: $(<"$work/log")"
installed=0
for program in "${programs[@]}"; do [ ! -e "$program" ] || fail "$program is still there"; done
echo "dtk $version: packaged, installed, ran and removed"
