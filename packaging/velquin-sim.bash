# bash completion for velquin-sim
_velquin_sim() {
  local cur prev words cword split
  _init_completion -s || return

  case $prev in
    --log | --replay | --port)
      _filedir
      return
      ;;
    -t | -c | -b | -r | -m | -p | -g | -s | --text | --codes | --bytes | --random | \
      --mangled | --pace | --group | --split | --rate | --hold | --seed | --late | \
      --noise | --stale | --gap)
      return
      ;;
  esac
  $split && return

  # LINK (none with --port), then a command and its own arguments.
  local k command=0 port=0
  for ((k = 1; k < cword; k++)); do
    case ${words[k]} in
      --port | --port=*) [[ ${words[k]} == --port ]] && ((k++)); port=1 ;;
      --log | --replay | -t | -c | -b | -r | -m | -p | -g | -s | --text | \
        --codes | --bytes | --random | --mangled | --pace | --group | --split | --rate | \
        --hold | --seed | --late | --noise | --stale | --gap) ((k++)) ;;
      -*) ;;
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
    COMPREPLY=($(compgen -W '--text= --codes= --bytes= --random= --mangled= --replay=
      --pace= --group= --split= --rate= --hold= --log= --seed= --silent --late= --wrong
      --noise= --stale= --gap= --port= --help --version' -- "$cur"))
    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
  else
    _filedir
  fi
}
complete -F _velquin_sim velquin-sim
