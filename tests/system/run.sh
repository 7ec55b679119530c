#!/bin/bash
# System tests: the production build of the tool in a small Linux guest, on
# the kernel's own serial drivers (the 8250 UART at ttyS1 and, through QEMU's
# USB serial adapter, ftdi_sio at ttyUSB0), with velquin-sim --port playing the
# receiver on the host end of each line.
#
#   run.sh TOOL USBTOOL SIM PTYTOOL WORKDIR
#
# TOOL is the tool as installed (/dev/ttyS1), USBTOOL a test build for
# /dev/ttyUSB0, PTYTOOL the test build that gives the expected lines on a
# pseudo-terminal. Exit status 77 (skipped) when qemu or a kernel is missing,
# unless CI=true.
set -u
tool=$1 usbtool=$2 sim=$3 ptytool=$4 dir=$5
here=$(cd "$(dirname "$0")" && pwd)

skip() {
  echo "system tests: $*"
  [ "${CI:-}" = true ] && exit 1
  exit 77
}
command -v qemu-system-x86_64 > /dev/null || skip "qemu-system-x86_64 missing (package qemu-system-x86)"
command -v cpio > /dev/null || skip "cpio missing"
cache=$("$here/fetch" amd64) || skip "no kernel or busybox for the guest"
kernel=$cache/vmlinuz modules=$cache/modules

rm -rf "$dir" && mkdir -p "$dir"/root/{bin,lib/modules,tmp,proc,sys,dev} || exit 1
log=$dir/console.log
section() { sed -n "/^@@ begin $1\$/,/^@@ end $1\$/p" "$log" | sed '1d;$d'; }
# The console without the kernel's log of each case, then the log of the case
# that failed, when it is one.
fail() {
  echo "FAIL: $*"
  echo "--- guest console ($log)"
  sed '/^@@ begin .*-dmesg$/,/^@@ end .*-dmesg$/d' "$log"
  failed=${1%%:*}
  if grep -q "^@@ begin $failed-dmesg\$" "$log"; then
    echo "--- kernel log of the $failed case"
    section "$failed-dmesg"
  fi
  exit 1
}

# The guest: busybox, the two builds of the tool and what they link, the USB
# serial modules, and the init that runs the cases.
cp "$cache/busybox" "$dir/root/bin/" && cp "$here/init" "$dir/root/" || exit 1
cp "$tool" "$dir/root/bin/velquin" && cp "$usbtool" "$dir/root/bin/velquin-usb" || exit 1
for lib in $(ldd "$tool" "$usbtool" | grep -v ':$' | grep -o '/[^ ]*' | sort -u); do
  mkdir -p "$dir/root$(dirname "$lib")" && cp -L "$lib" "$dir/root$lib"
done
for m in common/usb-common core/usbcore host/xhci-hcd host/xhci-pci serial/usbserial \
  serial/ftdi_sio; do
  cp "$modules/$m.ko" "$dir/root/lib/modules/" || skip "$modules/$m.ko missing"
done
(cd "$dir/root" && find . | cpio -o -H newc --quiet | gzip -1) > "$dir/initrd.gz" || exit 1

mkfifo "$dir/monitor.in" "$dir/monitor.out"
cat "$dir/monitor.out" > "$dir/monitor.log" &
start=$(date +%s%N)
coproc guest {
  exec qemu-system-x86_64 -accel tcg -m 256 -smp 1 -nodefaults -display none -no-reboot \
    -kernel "$kernel" -initrd "$dir/initrd.gz" -append "console=ttyS0 panic=-1 quiet" \
    -serial stdio -serial pty -device qemu-xhci -chardev pty,id=usbline \
    -device usb-serial,chardev=usbline,id=adapter -monitor "pipe:$dir/monitor" 2>&1
}
qemupid=$guest_PID
simpid=
trap 'kill $qemupid $simpid 2> /dev/null' EXIT

# QEMU names the host ends of the two lines before the guest starts.
uart= usb=
while [ -z "$uart" ] || [ -z "$usb" ]; do
  IFS= read -r -t 30 line <&"${guest[0]}" || fail "QEMU did not start"
  echo "$line" >> "$log"
  case $line in
    *"redirected to "*"(label serial1)"*) uart=$(echo "$line" | grep -o '/dev/pts/[0-9]*') ;;
    *"redirected to "*"(label usbline)"*) usb=$(echo "$line" | grep -o '/dev/pts/[0-9]*') ;;
  esac
done
# Held open and quiet, so that QEMU sees both lines connected between cases
# and nothing the guest sends is echoed back to it.
for pty in "$uart" "$usb"; do stty -F "$pty" raw -echo; done
exec 7<> "$uart" 8<> "$usb"

text='Hi!\n'
quick='The quick brown fox jumps over the lazy dog.'
play() {
  [ -n "$simpid" ] && kill "$simpid" 2> /dev/null && wait "$simpid" 2> /dev/null
  case $1 in
    exchange) "$sim" --port="$uart" --text="$text" --hold=600000 & ;;
    silent) "$sim" --port="$uart" --silent & ;;
    rate) "$sim" --port="$uart" --rate=9600 --pace=0 --group=8 --text="$quick" --hold=600000 & ;;
    usb) "$sim" --port="$usb" --text=ok --hold=600000 & ;;
  esac
  simpid=$!
  sleep 0.3
}

booted=
while IFS= read -r -t 120 line <&"${guest[0]}"; do
  line=${line%$'\r'}
  echo "$line" >> "$log"
  [ -z "$booted" ] && case $line in "@@ "*) booted=$((($(date +%s%N) - start) / 1000000)) ;; esac
  case $line in
    "@@ ready "*) play "${line#@@ ready }" && echo go >&"${guest[1]}" ;;
    "@@ unplug") echo "device_del adapter" > "$dir/monitor.in" && echo go >&"${guest[1]}" ;;
    "@@ done") break ;;
  esac
done
[ "$line" = "@@ done" ] || fail "the guest did not finish"
wait "$qemupid"
total=$((($(date +%s%N) - start) / 1000000))

# Marked sections of the console, and the lines a pseudo-terminal gives for
# the same receiver.
report() { grep "^@@ $1 " "$log" | head -1; }
expected() {
  mkdir -p "$dir/host" && (cd "$dir/host" && "$sim" "$@" ttyS1 "$ptytool" 2> /dev/null)
}
typed() { grep -o ">[0-9a-f][0-9a-f] '" | cut -c2-3 | tr -d '\n'; }
tohex() { printf '%b' "$1" | od -An -tx1 | tr -d ' \n'; }

timeout=$(grep -m1 '^@@ timeout ' "$log")
[ -z "$timeout" ] || fail "${timeout#@@ timeout }"
[ "$(section exchange-out)" = "$(expected --text="$text")" ] || fail "exchange: lines differ"
[ "$(section exchange-err)" = "$(printf 'sending init string #%d\n' 0 1 2)" ] ||
  fail "exchange: messages differ"
during=$(report during)
for want in "speed 9600 baud" " cs8" " -parenb" " -cstopb" " clocal" " cread" " -crtscts" \
  "min = 1;" "time = 0;" " -icanon" " -echo" " -opost" " -isig" " -icrnl" " -ixon"; do
  [[ $during == *"$want"* ]] || fail "exchange: the UART is not raw 9600 8N1: no '$want'"
done
[ "$(report second)" = "@@ second status=1 can't open /dev/ttyS1: in use" ] ||
  fail "exchange: second copy: $(report second)"

silent=$(report silent)
[[ $silent == "@@ silent status=0 before="* ]] || fail "silent: $silent"
before=${silent#*before=} && before=${before%% after=*}
[ "$before" = "${silent#*after=}" ] || fail "silent: settings not restored"
[ "$(section silent-out)" = "Failed (-2)" ] || fail "silent: $(section silent-out)"

[ "$(section rate-out | typed)" = "$(tohex "$quick")" ] || fail "rate: the text differs"
pieces=$(section rate-out | grep -c -v -E '^(Ok|=ff )')
[ "$pieces" -gt 0 ] || fail "rate: no frame arrived in pieces"

usbline=$(report usb)
[[ $usbline == "@@ usb status=0 "* ]] || fail "usb: $usbline"
ms=${usbline#*ms=} && ms=${ms%% *}
[ "$ms" -lt 1000 ] || fail "usb: the run took $ms ms to end after the unplug"
cpu=$(echo "$usbline" | awk '{ for (i = 1; i < NF; i++) if ($i == "user" || $i == "sys") s += $(i + 1) } END { print s * 1000 }')
[ "${cpu%.*}" -lt 500 ] || fail "usb: $cpu ms of CPU"
[ "$(section usb-out | head -1)" = "Ok" ] || fail "usb: $(section usb-out)"

echo "system tests passed: boot ${booted} ms, all ${total} ms; unplug ended the run in ${ms} ms"
echo "rate: $pieces of $(section rate-out | wc -l) lines began in the middle of a frame"
