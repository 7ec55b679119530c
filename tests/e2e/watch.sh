#!/bin/sh
# velquinwatch, sourced into the caller's shell, puts the port back after
# Ctrl-C and leaves that shell as it was: its own INT trap and its variables.
# Ctrl-C is the SIGINT that a stand-in for velquin sends to its process
# group, a session of its own with the caller's shell in it, after making the
# port raw.
#
#   setsid -w watch.sh WATCH SIM    (the SIGINT stays in its session)
set -u
watch=$1 sim=$2
dir=$(mktemp -d) && cd "$dir" || exit 1
mkdir bin
cat > bin/velquin << 'TOOL'
#!/bin/sh
stty -F "$VELQUIN_PORT" -icanon -echo
kill -INT 0
sleep 5
TOOL
chmod +x bin/velquin
"$sim" --silent ttyS1 & simpid=$!
trap 'kill $simpid' EXIT
n=0
until [ -h ttyS1 ] || [ $n -ge 100 ]; do sleep 0.1; n=$((n + 1)); done
stty -F ttyS1 icanon echo || exit 1
before=$(stty -F ttyS1 -g)

failed=0
for shell in bash dash; do
  # shellcheck disable=SC2016 # expanded by the shell under test
  got=$(PATH="$dir/bin:$PATH" VELQUIN_PORT=ttyS1 setsid -w "$shell" -c '
    . "$1"
    saved=mine
    trap "echo interrupted" INT
    velquinwatch
    status=$?
    trap > traps
    echo "status=$status saved=$saved port=${port-unset} trap=$(cat traps)"' "$shell" "$watch")
  want="status=130 saved=mine port=unset trap=trap -- 'echo interrupted'"
  case $got in
    *"$want"*) ;;
    *) echo "watch: $shell: $got" && failed=1 ;;
  esac
  [ "$(stty -F ttyS1 -g)" = "$before" ] || { echo "watch: $shell: the port not put back" && failed=1; }
done
exit $failed
