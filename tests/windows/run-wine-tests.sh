#!/usr/bin/env bash
# Whole runs of the Windows program under Wine: what a Windows console
# program does differently from the POSIX build.
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
cd "$scratch" || exit 1

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

# Every line of a text-mode stream of a Windows console program ends in
# CR LF, the last one included.
expect_crlf_lines() {
  local file=$1
  if [ ! -s "$file" ]; then
    fail "$file is empty"
  elif grep -qv $'\r$' "$file"; then
    fail "$file has a line that does not end in CR LF"
  elif [ "$(tail -c 1 "$file" | od -An -c | tr -d ' ')" != '\n' ]; then
    fail "$file does not end with a line break"
  fi
}

expect_equal() {  # what, expected, actual
  if [ "$2" != "$3" ]; then
    fail "$1 differs"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") >&2
  fi
}

expect_status() {
  [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
}

expect_empty_dir() {
  [ -z "$(ls -A "$1")" ] || fail "$1 is not empty: $(ls -A "$1" | head -5)"
}

# The example run of two files of 512 KiB, each the whole pattern twice.
example_err() {
  local t=$1
  cat <<EOF
TS Start
CreateFile ${t}file-0 (524288 bytes) No.1
CreateFile ${t}file-1 (524288 bytes) No.2
TS Finish
TS Start
Verify ${t}file-0 (EFE12EDC:524288 bytes) No.1
Verify ${t}file-1 (EFE12EDC:524288 bytes) No.2
TS Finish
TS Start
RemoveFile ${t}file-1 (524288 bytes) No.1
RemoveFile ${t}file-0 (524288 bytes) No.2
TS Finish
EOF
}
example_out() {
  local phase
  for phase in Create Verify Remove; do
    if [ $phase = Verify ]; then
      echo "Verify 2 files, 0 CRC Errors"
    else
      echo "$phase 2 files, 0 directories"
    fi
    echo "$phase filesize 1048576 bytes"
    echo "$phase time 1 sec"
    echo "$phase speed 1048.5KB/sec (1048576B/sec)"
  done
}

# The example run, on a target written as on Windows, as on POSIX and as a
# bare drive (the tree goes into the drive's current directory, its root
# here; the drive is a letter that this prefix does not use yet), with
# options in any letter case and either leading character.
case_example_run() {
  mkdir T
  local letter drive
  for letter in m n o p q r s u v w y; do
    if [ ! -e "$WINEPREFIX/dosdevices/$letter:" ]; then
      drive_link="$WINEPREFIX/dosdevices/$letter:"
      break
    fi
  done
  [ -n "$drive_link" ] || { fail "no free drive letter"; return; }
  ln -s "$scratch/T" "$drive_link"
  drive=$(echo "$letter" | tr a-z A-Z):
  local target
  for target in 'T\' 'T/' "$drive"; do
    run_dtk "$target" /FileSize 1 -MINFILESIZE 524288 /maxfilesize 524288 -verify
    expect_status 0
    expect_crlf_lines err.txt
    expect_crlf_lines out.txt
    expect_equal "standard error for $target" "$(example_err "$target")" "$(lines_of err.txt)"
    expect_equal "standard output" "$(example_out)" "$(lines_of out.txt)"
    expect_empty_dir T
  done
  # A word beginning with "/" is an option, never a target.
  run_dtk /verify
  expect_status 1
  expect_equal "parameter error" "Parameter error!" "$(lines_of err.txt)"
  run_dtk T /FileSize /verify
  expect_status 1
  expect_equal "parameter error" "Parameter error! (FileSize)" "$(lines_of err.txt)"
  # The engine of one call at a time, named; the uring engine is Linux's
  # and refused before anything is touched.
  run_dtk T /Engine SYNC /depth 8 /FileSize 1 /MINFILESIZE 524288 /maxfilesize 524288 /verify
  expect_status 0
  expect_equal "standard error" "$(example_err 'T\')" "$(lines_of err.txt)"
  run_dtk T /engine uring /verify
  expect_status 1
  expect_equal "engine refused" "Engine error!: uring is not available: io_uring is a Linux interface" \
    "$(lines_of err.txt)"
  expect_empty_dir T
}

case_missing_target() {
  mkdir T
  run_dtk 'T\missing' -filesize 1 -verify
  expect_status 2
  expect_crlf_lines err.txt
  local lines
  lines=$(lines_of err.txt)
  # Each of the create and verify phases names the file, then the system's
  # text for the missing path (its words differ between systems), ending in
  # the system's own line break and then the line's. Nothing was made, so
  # there is no remove phase.
  local expected_shape
  expected_shape=$(printf '%s\n' 'TS Start' 'CreateFile T\missing\file-0 (101213 bytes) No.1' \
    'CreateFile Error!: TEXT' '' 'TS Finish' 'DtkTest Error!' 'TS Start' \
    'Verify T\missing\file-0 (00000000:101213 bytes) No.1' 'CreateFile Error!: TEXT' '' \
    'TS Finish' 'Verify Error!')
  local text
  text=$(grep -m 1 '^CreateFile Error!: ' <<<"$lines" | sed 's/^CreateFile Error!: //')
  [ -n "$(tr -d ' ' <<<"$text")" ] || fail "no system text after \"CreateFile Error!: \""
  expect_equal "error lines" "$expected_shape" \
    "$(TEXT="$text" awk '$0 == "CreateFile Error!: " ENVIRON["TEXT"] {
        $0 = "CreateFile Error!: TEXT" } 1' <<<"$lines")"
  # In bytes: the system's CR LF, written in text mode, then the line's own.
  grep -q $'^CreateFile Error!: .*\r\r$' err.txt ||
    fail "the system's line break is not kept in the error line"
  [ -z "$(lines_of out.txt)" ] || fail "a failed run printed a summary"
  expect_empty_dir T
}

case_ctrl_c() {
  mkdir T
  # A tree that takes long to make; Ctrl-C (Wine turns SIGINT into the
  # console's Ctrl-C event) comes once the first file exists.
  "$here/wine.sh" run "$dtk_exe" T -filesize 2000 -verify >out.txt 2>err.txt </dev/null &
  local pid=$! waited=0
  while [ -z "$(ls -A T)" ] && [ $waited -lt 300 ] && kill -0 $pid 2>/dev/null; do
    sleep 0.1
    waited=$((waited + 1))
  done
  kill -INT $pid
  # Cleaning up takes moments; give it a minute before calling it stuck.
  local limit=600
  while kill -0 $pid 2>/dev/null && [ $limit -gt 0 ]; do
    sleep 0.1
    limit=$((limit - 1))
  done
  if kill -0 $pid 2>/dev/null; then
    kill -KILL $pid
    fail "the run did not end after Ctrl-C"
  fi
  wait $pid
  status=$?
  expect_status 130
  local lines
  lines=$(lines_of err.txt)
  grep -q '^DtkTest Error!$' <<<"$lines" || fail "the create phase was not ended as failed"
  grep -q '^Verify ' <<<"$lines" && fail "the verify phase ran after Ctrl-C"
  grep -q '^RemoveFile T\\file-0 ' <<<"$lines" || fail "the tree was not removed"
  expect_empty_dir T
}

# Runs the Linux build in linux/T and dtk.exe in windows/T with the words
# given, each followed by its own: LINUX_WORDS... -- WINDOWS_WORDS...
# Skips the case when no Linux build was given.
linux_and_windows() {
  [ -x "$linux_dtk" ] || { echo "no Linux build of dtk given; skipped"; exit 77; }
  local linux_words=() arg
  while [ $# -gt 0 ] && [ "$1" != -- ]; do linux_words+=("$1"); shift; done
  shift
  mkdir linux windows linux/T windows/T
  (cd linux && "$linux_dtk" T "${linux_words[@]}" >out.txt 2>err.txt) || fail "the Linux run failed"
  (cd windows && run_dtk T "$@" && exit $status) || fail "the Windows run failed"
}

# The summary lines of both runs, times and speeds left out.
expect_same_counts() {
  expect_equal "summary counts" "$(lines_of linux/out.txt | grep -Ev ' (time|speed) ')" \
    "$(lines_of windows/out.txt | grep -Ev ' (time|speed) ')"
}

# The same names, nesting, sizes and CRCs as the Linux build's.
case_same_tree_as_linux() {
  local words=(-filesize 1 -maxDirFiles 4 -maxDirLevel 2 -maxFileSize 150000 -verify)
  linux_and_windows "${words[@]}" -- "${words[@]}"
  local pattern='^(Verify|CreateDirecrory|RemoveDirecrory) ' linux_lines
  linux_lines=$(lines_of linux/err.txt | grep -E "$pattern")
  [ "$(grep -c '^Verify ' <<<"$linux_lines")" -gt 10 ] || fail "too few Verify lines"
  grep -q '^CreateDirecrory T/DIR-0/DIR-1$' <<<"$linux_lines" || fail "the tree is not nested"
  expect_equal "Verify and directory lines" "$linux_lines" \
    "$(lines_of windows/err.txt | grep -E "$pattern" | tr '\\' '/')"
  expect_same_counts
  expect_empty_dir linux/T
  expect_empty_dir windows/T
}

# /direct writes and reads whole sectors and cuts each file to its size:
# the tree is the Linux build's, byte for byte.
case_direct_same_tree_as_linux() {
  local words=(-filesize 2 -maxDirFiles 4 -maxFileSize 300000 -verify -noRemove)
  linux_and_windows "${words[@]}" -- "${words[@]}" /DIRECT -report r.json
  [ -f windows/T/DIR-0/file-4 ] || fail "the tree was not kept"
  diff -r linux/T windows/T >/dev/null || fail "the trees differ"
  grep -Eq '"directBlockSize": [1-9]' windows/r.json || fail "the report has no block size"
}

case_across_runs() {
  mkdir T
  local words=(-filesize 1 -maxDirFiles 5 -maxDirLevel 2)
  run_dtk T "${words[@]}" /noRemove
  expect_status 0
  [ -f 'T/DIR-0/DIR-1/file-10' ] || fail "the kept tree is not on disk"
  run_dtk T "${words[@]}" /noCreate /verify /NOREMOVE
  expect_status 0
  grep -q '^Verify 22 files, 0 CRC Errors$' <<<"$(lines_of out.txt)" ||
    fail "the kept tree did not verify"
  # One byte changed: the CRC error is caught and the run fails.
  printf 'X' | dd of=T/file-3 bs=1 seek=7 conv=notrunc status=none
  run_dtk T "${words[@]}" -noCreate -verify -noRemove
  expect_status 2
  grep -q '^Verify 22 files, 1 CRC Errors$' <<<"$(lines_of out.txt)" ||
    fail "the changed byte was not caught"
  # Cleaning up, with one file already gone.
  rm T/file-4
  run_dtk T "${words[@]}" -noCreate
  expect_status 0
  expect_empty_dir T
}

# Three threads: each thread's directory holds the tree that the Linux
# build makes in it, byte for byte; the lines are those of all threads
# together; a later run with the same threads cleans up.
case_threads() {
  local words=(-filesize 1 -maxDirFiles 4 -maxDirLevel 2 -maxFileSize 150000)
  linux_and_windows "${words[@]}" -noRemove -threads 3 -- "${words[@]}" -noRemove /Threads 3
  [ -f windows/T/thread-2/DIR-0/DIR-1/file-10 ] || fail "thread-2 holds no tree"
  diff -r linux/T windows/T >&2 || fail "the trees differ"
  expect_same_counts
  expect_equal "standard error" "$(printf 'TS Start\nTS Finish')" "$(lines_of windows/err.txt)"
  (cd windows && run_dtk T "${words[@]}" -noCreate -threads 3 && exit $status) ||
    fail "the Windows run that cleans up failed"
  expect_empty_dir windows/T
}

if ! declare -F "case_$case_name" >/dev/null; then
  echo "no such case: $case_name" >&2
  exit 1
fi
"case_$case_name"
if [ $failures -ne 0 ]; then
  echo "--- standard error of the last run:" >&2
  head -c 4000 err.txt >&2 2>/dev/null
  exit 1
fi
echo "passed: $case_name"
