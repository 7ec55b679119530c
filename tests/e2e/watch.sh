#!/bin/sh
# velquinwatch, sourced into the caller's shell, puts the port back after
# Ctrl-C and leaves that shell as it was: its own INT trap and its variables.
# Ctrl-C is the SIGINT that a stand-in for velquin sends to its process
# group, a session of its own with the caller's shell in it, after making the
# port raw. The port is the one VELQUIN_PORT names, or, with CMAKE, the one a
# build of SOURCE is configured for, whose installed velquinwatch is sourced.
#
#   setsid -w watch.sh WATCH SIM           (the SIGINT stays in its session)
#   setsid -w watch.sh SOURCE SIM CMAKE
set -u
watch=$1 sim=$2 cmake=${3-}
dir=$(mktemp -d) && cd "$dir" || exit 1
trap 'rm -rf "$dir"' EXIT
if [ -n "$cmake" ]; then
  port=$dir/receiver
  unset VELQUIN_PORT
  "$cmake" -S "$watch" -B build -G Ninja -DVELQUIN_TESTS=OFF -DVELQUIN_DEVICE="$port" > /dev/null &&
    "$cmake" --build build --target packagefiles > /dev/null &&
    "$cmake" --install build --component doc --prefix "$dir/usr" > /dev/null || exit 1
  watch=$dir/usr/share/doc/velquin/examples/velquin-watch.sh
  [ -f "$watch" ] || { echo "watch: velquin-watch.sh was not installed" && exit 1; }
else
  port=ttyS1
  export VELQUIN_PORT=$port
fi
mkdir bin
cat > bin/velquin << TOOL
#!/bin/sh
stty -F '$port' -icanon -echo
kill -INT 0
sleep 5
TOOL
chmod +x bin/velquin
"$sim" --silent "$port" & simpid=$!
trap 'kill $simpid; rm -rf "$dir"' EXIT
n=0
until [ -h "$port" ] || [ $n -ge 100 ]; do sleep 0.1; n=$((n + 1)); done
stty -F "$port" icanon echo || exit 1
before=$(stty -F "$port" -g)

failed=0
for shell in bash dash; do
  # shellcheck disable=SC2016 # expanded by the shell under test
  got=$(PATH="$dir/bin:$PATH" setsid -w "$shell" -c '
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
  [ "$(stty -F "$port" -g)" = "$before" ] || { echo "watch: $shell: $port not put back" && failed=1; }
done
exit $failed
