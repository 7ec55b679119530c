#!/bin/bash
# velquin-sim's bash completion finds the command after LINK however an
# option's value is given (--pace 5, --pace=5) and whatever the value: the
# completion function called with COMP_WORDS split as bash splits the line,
# "=" a word of its own.
#
#   completion.sh COMPLETION SIM
#
# Exit status 77 (skipped) where bash-completion is missing, unless CI=true.
set -u
completion=$1 sim=$2
# shellcheck source=/dev/null
if ! . /usr/share/bash-completion/bash_completion 2> /dev/null; then
  echo "completion: bash-completion missing (package bash-completion)"
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi
# shellcheck source=packaging/velquin-sim.bash
. "$completion"
# Outside an interactive completion there are no options to set.
# shellcheck disable=SC2317 # called by the completion functions
compopt() { :; }
cd "$(mktemp -d)" && touch echo-not-a-command || exit 1

# The line typed so far, and a word the completions must hold or must not.
failed=0
while IFS='|' read -r typed holds lacks; do
  line="velquin-sim $typed"
  read -ra COMP_WORDS <<< "${line//=/ = }"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$line COMP_POINT=${#line}
  COMPREPLY=()
  _velquin_sim "$sim" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  got=" ${COMPREPLY[*]} "
  if [[ $got != *" $holds "* ]] || { [ -n "$lacks" ] && [[ $got == *" $lacks "* ]]; }; then
    echo "completion: '$line' gives${got:0:200}"
    failed=1
  fi
done << 'CASES'
--pace 5 ttyS1 ech|echo|
--pace=5 ttyS1 ech|echo|
--text=hi ttyS1 ech|echo|
--port=/dev/null ech|echo|
--port /dev/null ech|echo|
--keyboard /dev/null ttyS1 ech|echo|
--pace=5 ttyS1 |echo|echo-not-a-command
--pa|--pace=|
CASES
exit $failed
