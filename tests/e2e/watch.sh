#!/bin/sh
# velquinwatch, sourced into the caller's shell, runs the velquin installed
# with it, puts the port back after Ctrl-C or Ctrl-\ and leaves that shell as
# it was: its own traps and its variables. Ctrl-C (Ctrl-\) is the SIGINT
# (SIGQUIT) that a stand-in for velquin sends to its process group, a session
# of its own with the caller's shell in it, after making the port raw. The
# port is the one VELQUIN_PORT names, or, with ANOTHER, the one a build of
# SOURCE is configured for, a name with a space and a "$" in it.
#
#   setsid -w watch.sh BUILD SIM CMAKE             (the signal stays in its session)
#   setsid -w watch.sh SOURCE SIM CMAKE another
set -u
tree=$1 sim=$2 cmake=$3 another=${4-}
dir=$(mktemp -d) && cd "$dir" || exit 1
trap 'rm -rf "$dir"' EXIT
if [ -n "$another" ]; then
  port="$dir/the receiver\$x"
  unset VELQUIN_PORT
  "$cmake" -S "$tree" -B build -G Ninja -DVELQUIN_TESTS=OFF -DVELQUIN_DEVICE="$port" > /dev/null &&
    "$cmake" --build build --target packagefiles > /dev/null || exit 1
  tree=build
else
  port=ttyS1
  export VELQUIN_PORT=$port
fi
"$cmake" --install "$tree" --component doc --prefix "$dir/usr" > /dev/null || exit 1
watch=$dir/usr/share/doc/velquin/examples/velquin-watch.sh
[ -f "$watch" ] || { echo "watch: velquin-watch.sh was not installed" && exit 1; }
mkdir -p usr/bin
cat > usr/bin/velquin << TOOL
#!/bin/sh
stty -F '$port' -icanon -echo
kill -\$WATCHSIGNAL 0
sleep 5
TOOL
chmod +x usr/bin/velquin
"$sim" --silent "$port" & simpid=$!
trap 'kill $simpid; rm -rf "$dir"' EXIT
n=0
until [ -h "$port" ] || [ $n -ge 100 ]; do sleep 0.1; n=$((n + 1)); done
stty -F "$port" icanon echo || exit 1
before=$(stty -F "$port" -g)

failed=0
for signal in INT:130 QUIT:131; do
  for shell in bash dash; do
    # shellcheck disable=SC2016 # expanded by the shell under test
    got=$(WATCHSIGNAL=${signal%:*} setsid -w "$shell" -c '
      . "$1"
      saved=mine
      trap "echo interrupted" INT QUIT
      velquinwatch
      status=$?
      trap > traps
      echo "status=$status saved=$saved port=${port-unset} trap=$(cat traps)"' "$shell" "$watch")
    want="status=${signal#*:} saved=mine port=unset trap=trap -- 'echo interrupted'"
    case $got in
      *"$want"*) ;;
      *) echo "watch: $shell, SIG${signal%:*}: $got" && failed=1 ;;
    esac
    [ "$(stty -F "$port" -g)" = "$before" ] ||
      { echo "watch: $shell, SIG${signal%:*}: $port not put back" && failed=1; }
  done
done
exit $failed
