#!/usr/bin/env bash
# Whole runs of the Windows program under Wine: what the unit tests (built
# for Windows and run under Wine as well) cannot see. The console's text
# mode (CR LF), options and targets as written on Windows, a bare drive,
# the system's own error text, Ctrl-C as a console event, and unbuffered
# I/O on the real system.
#   run-wine-tests.sh CASE DTK_EXE [LINUX_DTK]
# CASE is one of the functions named case_* below. The wine server must be
# running already (wine.sh start). Exits 0 when the case passes, 77 when it
# cannot run here, 1 otherwise.
set -uo pipefail

case_name=${1:?case}
dtk_exe=$(realpath "${2:?path of dtk.exe}")
linux_dtk=${3:+$(realpath "$3")}
here=$(cd "$(dirname "$0")" && pwd)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/dtk-wine.XXXXXX")
drive_link=""
cleanup() {
  [ -n "$drive_link" ] && rm -f "$drive_link"
  rm -rf "$scratch"
}
trap cleanup EXIT
cd "$scratch" && mkdir T || exit 1

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Runs dtk.exe with the given words; its streams go to out.txt and err.txt
# as bytes, its exit status to $status.
run_dtk() {
  "$here/wine.sh" run "$dtk_exe" "$@" >out.txt 2>err.txt </dev/null
  status=$?
}

# A stream's text with carriage returns removed and time stamps as "TS".
lines_of() {
  tr -d '\r' <"$1" | sed -E 's/^[0-9]{4}\.[0-9]{2}\.[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} /TS /'
}

expect_equal() {  # what, expected, actual
  [ "$2" = "$3" ] || { fail "$1 differs"; diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") >&2; }
}

# Runs dtk.exe with WORDS and checks its exit status, its standard error and
# output (as lines_of gives them; "-" leaves one unchecked), that every line
# it wrote ends in CR LF, and that T is left empty.
#   check STATUS ERR OUT WORDS...
check() {
  local expected_status=$1 err=$2 out=$3 stream
  shift 3
  run_dtk "$@"
  [ "$status" -eq "$expected_status" ] || fail "$*: exit status $status, expected $expected_status"
  for stream in err out; do
    [ "${!stream}" = - ] || expect_equal "$*: standard $stream" "${!stream}" "$(lines_of $stream.txt)"
    { grep -qv $'\r$' $stream.txt || [ "$(tail -c 1 $stream.txt)" != '' ]; } &&
      fail "$*: $stream.txt has a line that does not end in CR LF"
  done
  [ -z "$(ls -A T)" ] || fail "$*: T is not empty: $(ls -A T | head -5)"
}

# The lines of the example run of two files of 512 KiB, each the whole
# pattern twice, on the target as written ($1).
example_err() {
  local kind crc= order="0 1"
  for kind in CreateFile Verify RemoveFile; do
    [ $kind = Verify ] && crc=EFE12EDC:
    [ $kind = RemoveFile ] && crc= order="1 0"
    set -- "$1" $order
    printf '%s\n' "TS Start" "$kind ${1}file-$2 (${crc}524288 bytes) No.1" \
      "$kind ${1}file-$3 (${crc}524288 bytes) No.2" "TS Finish"
  done
}
example_out() {
  local phase
  for phase in Create Verify Remove; do
    [ $phase = Verify ] && echo "Verify 2 files, 0 CRC Errors" || echo "$phase 2 files, 0 directories"
    printf '%s\n' "$phase filesize 1048576 bytes" "$phase time 1 sec" \
      "$phase speed 1048.5KB/sec (1048576B/sec)"
  done
}

# The example run on a target written as on Windows, as on POSIX and as a
# bare drive (the tree goes into the drive's current directory, its root
# here), with options in any letter case and either leading character; a
# word beginning with "/" is an option, never a target; the engine of one
# call at a time is named, the uring engine refused before anything is
# touched.
case_runs() {
  local letter example=(/FileSize 1 -MINFILESIZE 524288 /maxfilesize 524288 -verify)
  for letter in m n o p q r s u v w y; do
    if ln -sT "$scratch/T" "$WINEPREFIX/dosdevices/$letter:" 2>/dev/null; then
      drive_link="$WINEPREFIX/dosdevices/$letter:"
      break
    fi
  done
  [ -n "$drive_link" ] || { fail "no free drive letter"; return; }
  local drive=${letter^^}:
  check 0 "$(example_err 'T\')" "$(example_out)" 'T\' "${example[@]}"
  check 0 "$(example_err T/)" "$(example_out)" T/ "${example[@]}"
  check 0 "$(example_err "$drive")" "$(example_out)" "$drive" "${example[@]}"
  check 0 "$(example_err 'T\')" "$(example_out)" T /Engine SYNC /depth 8 "${example[@]}"
  check 1 "Parameter error!" "" /verify
  check 1 "Parameter error! (FileSize)" "" T /FileSize /verify
  check 1 "Engine error!: uring is not available: io_uring is a Linux interface" "" \
    T /engine uring /verify
  # A target that is not there: each of the create and verify phases names
  # the file, then the system's text (its words differ between systems),
  # which ends in the system's CR LF before the line's own.
  check 2 - "" 'T\missing' -filesize 1 -verify
  grep -q $'^CreateFile Error!: ..*\r\r$' err.txt || fail "no system text, or not its line break"
  local text
  text=$(grep -m 1 '^CreateFile Error!: ' err.txt | tr -d '\r')
  expect_equal "error lines" "$(printf '%s\n' 'TS Start' \
    'CreateFile T\missing\file-0 (101213 bytes) No.1' "$text" '' 'TS Finish' 'DtkTest Error!' \
    'TS Start' 'Verify T\missing\file-0 (00000000:101213 bytes) No.1' "$text" '' 'TS Finish' \
    'Verify Error!')" "$(lines_of err.txt)"
}

# Ctrl-C (Wine turns SIGINT into the console's Ctrl-C event) once the first
# file of a tree that takes long to make exists: the create phase ends as
# failed, nothing is verified, the tree is removed and the status is 130.
case_ctrl_c() {
  "$here/wine.sh" run "$dtk_exe" T -filesize 2000 -verify >out.txt 2>err.txt </dev/null &
  local pid=$!
  timeout 30 bash -c 'until [ -n "$(ls -A T)" ]; do sleep 0.1; done'
  kill -INT $pid
  # Cleaning up takes moments; give it a minute before calling it stuck.
  timeout 60 tail --pid=$pid -f /dev/null ||
    { kill -KILL $pid; fail "the run did not end after Ctrl-C"; }
  wait $pid
  status=$?
  [ $status -eq 130 ] || fail "exit status $status, expected 130"
  lines_of err.txt >lines.txt
  grep -q '^DtkTest Error!$' lines.txt || fail "the create phase was not ended as failed"
  grep -q '^Verify ' lines.txt && fail "the verify phase ran after Ctrl-C"
  grep -q '^RemoveFile T\\file-0 ' lines.txt || fail "the tree was not removed"
  [ -z "$(ls -A T)" ] || fail "T is not empty"
}

# /direct writes and reads whole sectors and cuts each file to its size:
# the tree is the Linux build's, byte for byte.
case_direct() {
  [ -x "$linux_dtk" ] || { echo "no Linux build of dtk given; skipped"; exit 77; }
  local words=(T -filesize 2 -maxDirFiles 4 -maxFileSize 300000 -verify -noRemove)
  mkdir linux linux/T
  (cd linux && "$linux_dtk" "${words[@]}" >/dev/null 2>&1) || fail "the Linux run failed"
  run_dtk "${words[@]}" /DIRECT -report r.json
  [ $status -eq 0 ] || fail "the Windows run failed"
  [ -f T/DIR-0/file-4 ] || fail "the tree was not kept"
  diff -r linux/T T >/dev/null || fail "the trees differ"
  grep -Eq '"directBlockSize": [1-9]' r.json || fail "the report has no block size"
  grep -q '"timeline": \[' r.json || fail "the report has no timeline"
}

declare -F "case_$case_name" >/dev/null || { echo "no such case: $case_name" >&2; exit 1; }
"case_$case_name"
if [ $failures -ne 0 ]; then
  echo "--- standard error of the last run:" >&2
  head -c 4000 err.txt >&2 2>/dev/null
  exit 1
fi
echo "passed: $case_name"
