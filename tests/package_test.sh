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
[ ! -e /usr/bin/dtk ] || skip "/usr/bin/dtk exists already"
[ ! -e /usr/bin/dtk-report ] || skip "/usr/bin/dtk-report exists already"

work=$(mktemp -d "${TMPDIR:-/tmp}/dtk-package.XXXXXX")
installed=0
cleanup() {
  if [ "$installed" -eq 1 ]; then dpkg -r dtk >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The package, made in a directory of its own so the build is not touched.
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
debs=("$work"/package/dtk_"$version"_*.deb)
[ -f "${debs[0]}" ] || fail "no dtk_${version}_*.deb in $(ls "$work/package")"
deb=${debs[0]}

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = dtk ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), expected $version"
[ "$(field Maintainer)" = "dtk developers <dtk@localhost>" ] || fail "Maintainer: $(field Maintainer)"
# dpkg-shlibdeps found the C and C++ libraries the program links.
field Depends | grep -q 'libc6 (>= ' || fail "Depends: $(field Depends)"
field Depends | grep -q 'libstdc++6' || fail "Depends: $(field Depends)"
[ "$(field Description | wc -l)" -gt 1 ] || fail "no long description"
# dtk-report --chart runs gnuplot, which the package does not need otherwise.
[ "$(field Suggests)" = gnuplot-nox ] || fail "Suggests: $(field Suggests)"
contents=$(dpkg-deb -c "$deb")
for file in ./usr/bin/dtk ./usr/share/man/man1/dtk.1.gz ./usr/bin/dtk-report \
  ./usr/share/man/man1/dtk-report.1.gz; do
  grep -q " $file\$" <<<"$contents" || fail "$file is not in the package"
done
# dtk-mpi, where it was built, with the MPI library it links.
if [ -x "$build/dtk-mpi" ]; then
  grep -q " ./usr/bin/dtk-mpi\$" <<<"$contents" || fail "./usr/bin/dtk-mpi is not in the package"
  field Depends | grep -q 'libopenmpi' || fail "Depends: $(field Depends)"
fi

# From here on the package is removed on the way out, also when dpkg -i
# stops half way.
installed=1
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; }

mkdir "$work/tree"
status=0
/usr/bin/dtk "$work/tree" -filesize 1 -verify -report "$work/run.json" >"$work/out" 2>"$work/err" ||
  status=$?
[ "$status" -eq 0 ] || { cat "$work/err"; fail "dtk ended with status $status"; }
grep -q '^Verify [0-9]* files, 0 CRC Errors$' "$work/out" || { cat "$work/out"; fail "no clean verify"; }
grep -q '^Remove filesize 1048576 bytes$' "$work/out" || { cat "$work/out"; fail "no full removal"; }
[ -z "$(ls -A "$work/tree")" ] || fail "the tree was left behind: $(ls -A "$work/tree")"
/usr/bin/dtk-report "$work/run.json" >"$work/table" 2>"$work/err" ||
  { status=$?; cat "$work/err"; fail "dtk-report ended with status $status"; }
grep -q '^create bytes \[' "$work/table" || { cat "$work/table"; fail "no table from dtk-report"; }

dpkg -r dtk >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r"; }
installed=0
[ ! -e /usr/bin/dtk ] || fail "/usr/bin/dtk is still there after dpkg -r"
[ ! -e /usr/bin/dtk-report ] || fail "/usr/bin/dtk-report is still there after dpkg -r"
echo "dtk $version: packaged, installed, ran and removed"
