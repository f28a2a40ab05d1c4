#!/usr/bin/env bash
# The bash completion of dtk, dtk-mpi and dtk-report, run through
# bash-completion's own functions as bash runs it: for each line typed, the
# words offered at its end.
#
# Usage: completion_test.sh COMPLETION_SCRIPT
set -o pipefail
library=/usr/share/bash-completion/bash_completion
if [ ! -f "$library" ]; then
  echo "skipped: bash-completion is not installed"
  exit 77
fi
source "$library"
source "$1"

work=$(mktemp -d "${TMPDIR:-/tmp}/dtk-completion.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir dir
touch run.json notes.txt chart.svg plot.PNG '$(touch PWNED).json'

failed=0
# expect LINE WORDS: completing at the end of LINE offers WORDS, sorted.
expect() {
  local line=$1 spec got
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$line COMP_POINT=${#line} COMPREPLY=()
  spec=$(complete -p "${COMP_WORDS[0]}") && spec=${spec#* -F } && spec=${spec%% *} &&
    "$spec" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd ' ')
  if [ "$got" != "$2" ]; then
    echo "FAILED: '$line' offers '$got', not '$2'"
    failed=1
  fi
}

expect 'dtk -VER' '-verify'
expect 'dtk /tmp -maxd' '-maxDirFiles -maxDirLevel'
expect 'dtk-mpi T -ENGINE U' 'uring'
expect 'dtk ' 'dir'
expect 'dtk T -Report ' '$(touch PWNED).json chart.svg dir notes.txt plot.PNG run.json'
expect 'dtk T -threads ' ''
expect 'dtk-report --c' '--chart --csv'
expect 'dtk-report --CSV' ''
expect 'dtk-report ' '$(touch PWNED).json dir run.json'
expect 'dtk-report --chart ' 'chart.svg dir plot.PNG'
expect 'dtk-report --group-by target,f' 'target,fileSystem'
if [ -e PWNED ]; then
  echo "FAILED: a file's name was run"
  failed=1
fi
exit $failed
