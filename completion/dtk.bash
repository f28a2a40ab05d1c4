# Bash completion for dtk, dtk-mpi and dtk-report, loaded by bash-completion
# under each program's name. It offers option names as the manual pages
# write them, directories for dtk's target, files for its report, JSON
# reports and charts for dtk-report. Words and file names are only ever
# matched as text and handed to compgen, never evaluated.

_dtk_options=(-verify -filesize -minFileSize -maxFileSize -maxDirFiles -maxDirLevel -noCreate
  -noRemove -sync -direct -report -threads -engine -depth --help -h --version)
_dtk_report_options=(--csv --timeline --chart --group-by --help -h --version --)
_dtk_report_keys=(target fileSystem engine settings host)

# COMPREPLY: the words of the array named $1 that begin with $cur; dtk's
# option names match in any letter case, as dtk reads them.
_dtk_words() {
  local -n words=$1
  local word
  COMPREPLY=()
  for word in "${words[@]}"; do
    if [[ ${2-} == nocase && ${word,,} == "${cur,,}"* || $word == "$cur"* ]]; then
      COMPREPLY+=("$word")
    fi
  done
}

_dtk() {
  local cur prev words cword
  _init_completion || return
  case ${prev,,} in
    -report) _filedir ;;
    -engine) _dtk_words _dtk_engines nocase ;;
    -filesize | -minfilesize | -maxfilesize | -maxdirfiles | -maxdirlevel | -threads | -depth) ;;
    *)
      if [[ $cur == -* ]]; then
        _dtk_words _dtk_options nocase
      else
        _filedir -d
      fi
      ;;
  esac
}
_dtk_engines=(sync uring)

_dtk_report() {
  local cur prev words cword
  _init_completion || return
  case $prev in
    --chart) _filedir '@(svg|png)' ;;
    --group-by)
      # The last of the comma-separated keys, after those already typed.
      local typed=
      [[ $cur == *,* ]] && typed=${cur%,*},
      cur=${cur##*,}
      _dtk_words _dtk_report_keys
      COMPREPLY=("${COMPREPLY[@]/#/"$typed"}")
      ;;
    *)
      if [[ $cur == -* ]]; then
        _dtk_words _dtk_report_options
      else
        _filedir json
      fi
      ;;
  esac
}

complete -F _dtk dtk dtk-mpi
complete -F _dtk_report dtk-report
