# bash completion for velquin-sim
_velquin_sim() {
  local cur prev words cword split
  _init_completion -s || return

  local valued='--text|--codes|--bytes|--random|--mangled|--pace|--group|--split|--rate|--hold|--seed|--late|--noise|--stale|--gap|-t|-c|-b|-r|-m|-p|-g|-s'
  case $prev in
    --log | --replay) _filedir; return ;;
    @($valued)) return ;;
  esac
  $split && return

  # LINK, then a command and its own arguments.
  local k link=0
  for ((k = 1; k < cword; k++)); do
    case ${words[k]} in
      --log | --replay | @($valued)) ((k++)) ;;
      -*) ;;
      *) link=$k && break ;;
    esac
  done
  if ((link > 0)); then
    _command_offset $((link + 1))
  elif [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W '--text= --codes= --bytes= --random= --mangled= --replay=
      --pace= --group= --split= --rate= --hold= --log= --seed= --silent --late= --wrong
      --noise= --stale= --gap= --help --version' -- "$cur"))
    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
  else
    _filedir
  fi
}
complete -F _velquin_sim velquin-sim
