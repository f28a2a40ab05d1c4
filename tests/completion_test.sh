#!/usr/bin/env bash
# The bash completion of dtk, dtk-mpi and dtk-report, run through
# bash-completion's own functions as bash runs it: for each line typed, the
# words offered at its end, sorted.
#
# Usage: completion_test.sh COMPLETION_SCRIPT
library=/usr/share/bash-completion/bash_completion
[ -f "$library" ] || { echo "skipped: bash-completion is not installed" && exit 77; }
source "$library"
source "$1"
work=$(mktemp -d "${TMPDIR:-/tmp}/dtk-completion.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" && mkdir dir && touch run.json notes.txt chart.svg plot.PNG '$(touch PWNED).json' || exit 1

failed=0
while IFS='|' read -r line want; do
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$line COMP_POINT=${#line} COMPREPLY=()
  rule=$(complete -p "${COMP_WORDS[0]}") && rule=${rule#* -F } &&
    "${rule%% *}" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd ' ')
  [ "$got" = "$want" ] || { echo "FAILED: '$line' offers '$got', not '$want'" && failed=1; }
done <<'END'
dtk -VER|-verify
dtk /tmp -maxd|-maxDirFiles -maxDirLevel
dtk-mpi T -ENGINE U|uring
dtk |dir
dtk T -Report |$(touch PWNED).json chart.svg dir notes.txt plot.PNG run.json
dtk T -threads |
dtk-report --c|--chart --csv
dtk-report --CSV|
dtk-report --csv --t|--timeline
dtk-report |$(touch PWNED).json dir run.json
dtk-report --chart |chart.svg dir plot.PNG
dtk-report --group-by target,f|target,fileSystem
END
[ ! -e PWNED ] || { echo "FAILED: a file's name was run" && failed=1; }
exit $failed
