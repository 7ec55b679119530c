# bash completion for velquin-sim: its options, and which of them take a
# value or a file, are read from its --help.
_velquin_sim() {
  # shellcheck disable=SC2034 # words and cword: _init_completion's own
  local cur prev words cword split
  _init_completion -s || return

  local help line valued=" " files=" "
  help=$(LC_ALL=C "$1" --help 2> /dev/null) || return
  while read -r line; do
    [[ $line =~ ^(-([a-zA-Z]),\ )?(--[a-z]+)=([A-Z]+) ]] || continue
    valued+="${BASH_REMATCH[3]} ${BASH_REMATCH[2]:+-${BASH_REMATCH[2]} }"
    [[ ${BASH_REMATCH[4]} == @(FILE|DEVICE) ]] && files+="${BASH_REMATCH[3]} "
  done <<< "$help"

  if [[ $files == *" $prev "* ]]; then
    _filedir
    return
  fi
  [[ $valued == *" $prev "* ]] && return
  $split && return

  # LINK (none with --port), then a command and its own arguments, counted in
  # COMP_WORDS as _command_offset counts them: there bash splits --pace=5
  # into "--pace", "=" and "5".
  local k command=0 port=0
  for ((k = 1; k < COMP_CWORD; k++)); do
    if [[ ${COMP_WORDS[k + 1]-} == = ]]; then
      [[ ${COMP_WORDS[k]} == --port ]] && port=1
      ((k += 2))
      continue
    fi
    case ${COMP_WORDS[k]} in
      --port | --port=*)
        [[ ${COMP_WORDS[k]} == --port ]] && ((k++))
        port=1
        ;;
      -*) [[ $valued == *" ${COMP_WORDS[k]} "* ]] && ((k++)) ;;
      *)
        command=$((k + 1 - port))
        break
        ;;
    esac
  done
  ((command == 0 && port)) && [[ $cur != -* ]] && command=$COMP_CWORD
  if ((command > 0 && command <= COMP_CWORD)); then
    _command_offset "$command"
  elif [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$(_parse_help - <<< "$help")" -- "$cur")
    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
  else
    _filedir
  fi
}
complete -F _velquin_sim velquin-sim
