# bash completion for velquin-sim: its options, and which of them take a
# value or a file, are read from its --help.
_velquin_sim() {
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

  # LINK (none with --port), then a command and its own arguments.
  local k command=0 port=0
  for ((k = 1; k < cword; k++)); do
    case ${words[k]} in
      --port | --port=*)
        [[ ${words[k]} == --port ]] && ((k++))
        port=1
        ;;
      -*) [[ $valued == *" ${words[k]} "* ]] && ((k++)) ;;
      *)
        command=$((k + 1 - port))
        break
        ;;
    esac
  done
  ((command == 0 && port)) && [[ $cur != -* ]] && command=$cword
  if ((command > 0 && command <= cword)); then
    _command_offset $command
  elif [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$(_parse_help - <<< "$help")" -- "$cur")
    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
  else
    _filedir
  fi
}
complete -F _velquin_sim velquin-sim
