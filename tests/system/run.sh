#!/bin/bash
# System tests: the production build of the tool in a small Linux guest, on
# the kernel's own serial drivers, with velquin-sim --port playing the
# receiver on the host end of each line.
#
#   run.sh ARCH TOOL USBTOOL TERMIOS2 SIM PTYTOOL WORKDIR
#
# ARCH is the guest's Debian architecture: amd64 (the 8250 UART at ttyS1 and,
# through QEMU's USB serial adapter, ftdi_sio at ttyUSB0), arm64 or armhf (the
# PL011 UART at ttyAMA0, which /dev/ttyS1 links to). TOOL is the tool as
# installed (/dev/ttyS1), USBTOOL a test build for /dev/ttyUSB0 (amd64 only),
# TERMIOS2 what sets and shows a custom speed in the guest; SIM and PTYTOOL
# the emulator and the test build that gives the expected lines on a
# pseudo-terminal, both run on this machine, and in the amd64 guest, where the
# emulator reads QEMU's PS/2 keyboard. Exit status 77 (skipped) when a
# program the guest needs or the guest's kernel is missing, unless CI=true.
set -u
arch=$1 tool=$2 usbtool=$3 termios2=$4 sim=$5 ptytool=$6 dir=$7
here=$(cd "$(dirname "$0")" && pwd)

skip() {
  echo "system tests: $*"
  [ "${CI:-}" = true ] && exit 1
  exit 77
}
# The rates each driver takes as custom speeds: the 8250's 1.8432 MHz clock
# tops out at 115200, above which Linux keeps the previous rate.
# QEMU's arm virt machine has no PS/2 keyboard.
case $arch in
  amd64) qemu=qemu-system-x86_64 package=qemu-system-x86 usb=1 keyboard=1 rates="74880 31250" ;;
  arm64) qemu=qemu-system-aarch64 package=qemu-system-arm usb=0 keyboard=0 rates="250000 74880" ;;
  armhf) qemu=qemu-system-arm package=qemu-system-arm usb=0 keyboard=0 rates="250000 74880" ;;
  *) skip "no guest for $arch" ;;
esac
usbrates="250000 74880"
for need in "$qemu $package" "cpio cpio" "lddtree pax-utils"; do
  # shellcheck disable=SC2086 # a program and its package
  set -- $need
  command -v "$1" > /dev/null || skip "$1 missing (package $2)"
done
# lddtree runs on Debian's python3, whose pyelftools a python3 earlier on
# PATH (pyenv, say) lacks.
/usr/bin/python3 -c 'import elftools' 2> /dev/null ||
  skip "Debian's python3 has no elftools (package python3-pyelftools)"
cache=$("$here/fetch" "$arch") || skip "no kernel or busybox for the $arch guest"
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

# The guest: busybox, the builds of the tool (and the emulator) and every
# library they need, the USB serial, evdev and USB HID modules, and the init
# that runs the cases, told its port.
cp "$cache/busybox" "$dir/root/bin/" && cp "$here/init" "$dir/root/" || exit 1
guestbins="$tool $termios2"
if [ "$usb" = 1 ]; then
  guestbins="$guestbins $usbtool"
  for m in usb/common/usb-common usb/core/usbcore usb/host/xhci-hcd usb/host/xhci-pci \
    usb/serial/usbserial usb/serial/ftdi_sio; do
    cp "$modules/$m.ko" "$dir/root/lib/modules/" || skip "$modules/$m.ko missing"
  done
fi
if [ "$keyboard" = 1 ]; then
  guestbins="$guestbins $sim $ptytool"
  for m in input/evdev hid/hid hid/hid-generic hid/usbhid/usbhid; do
    cp "$modules/$m.ko" "$dir/root/lib/modules/" || skip "$modules/$m.ko missing"
  done
fi
# lddtree reads the libraries from this machine's own, or from the cross
# compiler's.
case $arch in
  amd64) libroot=/ ;;
  arm64) libroot=/usr/aarch64-linux-gnu ;;
  armhf) libroot=/usr/arm-linux-gnueabihf ;;
esac
# shellcheck disable=SC2086 # one word a program
/usr/bin/python3 "$(command -v lddtree)" --no-auto-root --root "$libroot" \
  --copy-to-tree "$dir/root" --bindir /bin $guestbins > /dev/null || exit 1
port=ttyAMA0
[ "$arch" = amd64 ] && port=
echo "port=$port usb=$usb rates='$rates' usbrates='$usbrates' keyboard=$keyboard" > "$dir/root/guest.conf"
(cd "$dir/root" && find . | cpio -o -H newc --quiet | gzip -1) > "$dir/initrd.gz" || exit 1

# The receiver's line is the guest's second 8250 behind a console on the
# first, or the arm virt machine's one PL011 with the console on a PCI 8250.
# The 32-bit machine's PCI host bridge claims its ECAM window only below 4 GB.
# QEMU logs every byte its PS/2 keyboard sends.
mkfifo "$dir/monitor.in" "$dir/monitor.out"
cat "$dir/monitor.out" > "$dir/monitor.log" &
if [ "$arch" = amd64 ]; then
  # shellcheck disable=SC2054 # QEMU's own options hold commas
  machine=(-accel tcg -m 256 -smp 1 -append "console=ttyS0 panic=-1 quiet"
    -serial stdio -serial pty -device qemu-xhci,id=xhci -chardev pty,id=usbline
    -device usb-serial,chardev=usbline,id=adapter -trace ps2_put_keycode -D "$dir/ps2.trace")
  uartlabel=serial1
else
  board=(-M virt -cpu cortex-a53)
  # shellcheck disable=SC2054 # QEMU's own options hold commas
  [ "$arch" = armhf ] && board=(-M virt,highmem=off -cpu cortex-a15)
  # shellcheck disable=SC2054
  machine=("${board[@]}" -accel tcg -m 256 -smp 1
    -append "console=ttyS0 8250.nr_uarts=1 panic=-1 quiet"
    -chardev stdio,id=console -device pci-serial,chardev=console -serial pty)
  uartlabel=serial0
fi
start=$(date +%s%N)
coproc guest {
  exec "$qemu" "${machine[@]}" -nodefaults -display none -no-reboot \
    -kernel "$kernel" -initrd "$dir/initrd.gz" -monitor "pipe:$dir/monitor" 2>&1
}
# shellcheck disable=SC2154 # set by coproc
qemupid=$guest_PID
simpids=
trap 'kill $qemupid $simpids 2> /dev/null' EXIT

# QEMU names the host ends of the lines before the guest starts.
uart='' usbline=''
while [ -z "$uart" ] || { [ "$usb" = 1 ] && [ -z "$usbline" ]; }; do
  IFS= read -r -t 30 line <&"${guest[0]}" || fail "QEMU did not start"
  echo "$line" >> "$log"
  case $line in
    *"redirected to "*"(label $uartlabel)"*) uart=$(echo "$line" | grep -o '/dev/pts/[0-9]*') ;;
    *"redirected to "*"(label usbline)"*) usbline=$(echo "$line" | grep -o '/dev/pts/[0-9]*') ;;
  esac
done
# Held open and quiet, so that QEMU sees the lines connected between cases and
# nothing the guest sends is echoed back to it.
for pty in $uart $usbline; do stty -F "$pty" raw -echo; done
exec 7<> "$uart"
[ -z "$usbline" ] || exec 8<> "$usbline"

text='Hi!\n'
quick='The quick brown fox jumps over the lazy dog.'
play() {
  # shellcheck disable=SC2086 # one word a process
  [ -n "$simpids" ] && kill $simpids 2> /dev/null && wait $simpids 2> /dev/null
  simpids=
  for case in $1; do
    case $case in
      exchange) "$sim" --port="$uart" --text="$text" --hold=600000 & ;;
      silent) "$sim" --port="$uart" --silent & ;;
      rate) "$sim" --port="$uart" --rate=9600 --pace=0 --group=8 --text="$quick" --hold=600000 & ;;
      usb) "$sim" --port="$usbline" --text=ok --hold=600000 & ;;
      usbsilent) "$sim" --port="$usbline" --silent & ;;
    esac
    simpids="$simpids $!"
  done
  sleep 0.3
}

# Every key QEMU's monitor names whose press and release in the guest can give
# its keyboard's bytes back. Not sysrq, which QEMU turns into print before its
# keyboard sees it; nor lang1 and lang2, keys with no break code, nor menu,
# again, props, undo, front, copy, open, paste, find, cut, lf and help: QEMU
# 7.2's PS/2 keyboard sends nothing for any of these.
keys="shift shift_r alt alt_r ctrl ctrl_r esc 1 2 3 4 5 6 7 8 9 0 minus equal backspace tab
  q w e r t y u i o p bracket_left bracket_right ret a s d f g h j k l semicolon apostrophe
  grave_accent backslash z x c v b n m comma dot slash asterisk spc caps_lock
  f1 f2 f3 f4 f5 f6 f7 f8 f9 f10 f11 f12 num_lock scroll_lock kp_divide kp_multiply
  kp_subtract kp_add kp_enter kp_decimal kp_0 kp_1 kp_2 kp_3 kp_4 kp_5 kp_6 kp_7 kp_8 kp_9
  less print home pgup pgdn end left up down right insert delete stop meta_l meta_r compose
  pause ro hiragana henkan yen muhenkan katakanahiragana kp_comma kp_equals power sleep wake
  audionext audioprev audiostop audioplay audiomute volumeup volumedown mediaselect mail
  calculator computer ac_home ac_back ac_forward ac_refresh ac_bookmarks"
# Print Screen as Shift, Ctrl and Alt change it, and Ctrl with Pause.
chords="shift-print ctrl-print alt-print ctrl-pause"
# Every key held 50 ms and 50 ms apart, then A held 1.5 s, then the chord that
# ends the input. QEMU queues no more than 1024 events and pauses, six a key:
# twenty keys at a time, each lot when the one before it is nearly through.
presskeys() {
  n=0
  for key in $keys $chords; do
    echo "sendkey $key 50"
    n=$((n + 1))
    [ $((n % 20)) -ne 0 ] || sleep 2
  done
  echo "sendkey a 1500"
  echo "sendkey shift-shift_r-esc 50"
}

booted=
while IFS= read -r -t 120 line <&"${guest[0]}"; do
  line=${line%$'\r'}
  echo "$line" >> "$log"
  [ -z "$booted" ] && case $line in "@@ "*) booted=$((($(date +%s%N) - start) / 1000000)) ;; esac
  case $line in
    "@@ ready "*) play "${line#@@ ready }" && echo go >&"${guest[1]}" ;;
    "@@ keys") presskeys > "$dir/monitor.in" && echo go >&"${guest[1]}" ;;
    "@@ press "*) echo "sendkey ${line#@@ press }" > "$dir/monitor.in" && echo go >&"${guest[1]}" ;;
    "@@ plug "*) echo "device_add ${line#@@ plug }" > "$dir/monitor.in" && echo go >&"${guest[1]}" ;;
    "@@ unplug "*) echo "device_del ${line#@@ unplug }" > "$dir/monitor.in" && echo go >&"${guest[1]}" ;;
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
raw() { grep -o "=[0-9a-f][0-9a-f]" | tr -d '=\n'; }
typed() { grep -o ">[0-9a-f][0-9a-f] '" | cut -c2-3 | tr -d '\n'; }
codes() { grep -o "#[0-9a-f][0-9a-f]" | tr -d '#\n'; }
tohex() { printf '%b' "$1" | od -An -tx1 | tr -d ' \n'; }

timeout=$(grep -m1 '^@@ timeout ' "$log")
[ -z "$timeout" ] || fail "${timeout#@@ timeout }"
# A UART may hand a frame over in pieces (the PL011 does even unpaced), or
# two frames in one read when the guest is slow: the same bytes, codes and
# characters, whatever the lines they fall into.
want=$(expected --text="$text")
[ "$(section exchange-out | head -1)" = Ok ] || fail "exchange: no Ok"
for view in raw codes typed; do
  [ "$(section exchange-out | $view)" = "$(echo "$want" | $view)" ] || fail "exchange: $view differ"
done
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

# Every custom speed set and read back whole after the run, as each driver
# reported it.
speeds=$(grep '^@@ speed ' "$log")
# shellcheck disable=SC2086 # lists of rates
set -- $rates
# shellcheck disable=SC2086
[ "$usb" = 0 ] || set -- "$@" $usbrates
[ "$(echo "$speeds" | grep -c .)" = $# ] || fail "speed: $# runs wanted: $speeds"
while IFS= read -r run; do
  rate=${run#*rate=} && rate=${rate%% *}
  before=${run#* set=} && before=${before%% after=*}
  [[ $run == "@@ speed "*" status=0 out=Failed (-2) set="* ]] || fail "speed: $run"
  [[ $before == *" ispeed $rate ospeed $rate "* ]] || fail "speed: not set: $run"
  [ "$before" = "${run#* after=}" ] || fail "speed: not put back: $run"
done <<< "$speeds"

[ "$(section rate-out | typed)" = "$(tohex "$quick")" ] || fail "rate: the text differs"
pieces=$(section rate-out | grep -c -v -E '^(Ok|=ff )')
[ "$pieces" -gt 0 ] || fail "rate: no frame arrived in pieces"

summary="system tests on $arch passed: boot ${booted} ms, all ${total} ms"
if [ "$usb" = 1 ]; then
  usbline=$(report usb)
  [[ $usbline == "@@ usb status=0 "* ]] || fail "usb: $usbline"
  ms=${usbline#*ms=} && ms=${ms%% *}
  [ "$ms" -lt 1000 ] || fail "usb: the run took $ms ms to end after the unplug"
  cpu=$(echo "$usbline" | awk '{ for (i = 1; i < NF; i++) if ($i == "user" || $i == "sys") s += $(i + 1) } END { print s * 1000 }')
  [ "${cpu%.*}" -lt 500 ] || fail "usb: $cpu ms of CPU"
  [ "$(section usb-out | head -1)" = "Ok" ] || fail "usb: $(section usb-out)"
  summary="$summary; unplug ended the run in ${ms} ms"
fi

# The codes the tool showed in the guest must be the bytes QEMU's keyboard
# sent, the emulator's own repeats of the held A aside, up to the chord's Esc,
# which is not sent, and then the two Shifts' releases.
spaced() { sed 's/../& /g; s/ $//'; }
# Where two lists of codes part (the bar), with the codes around it.
parting() {
  awk -v a="$1" -v b="$2" '
    function around(list, n, i,   s, j) {
      for (j = i > 4 ? i - 4 : 1; j <= n && j <= i + 8; j++)
        s = s (s == "" ? "" : " ") (j == i ? "| " : "") list[j]
      return s
    }
    BEGIN {
      n = split(a, x, " ")
      m = split(b, y, " ")
      i = 1
      while (i <= n && i <= m && x[i] == y[i]) i++
      printf "code %d differs: QEMU sent \"%s\" and the tool showed \"%s\"\n", i, around(x, n, i), around(y, m, i)
    }'
}
if [ "$keyboard" = 1 ]; then
  outcome=$(report keyboard)
  [ "$outcome" = "@@ keyboard status=0" ] || fail "keyboard: ${outcome#@@ keyboard }"
  [ "$(section keyboard-err | grep -c grabbed)" = 1 ] ||
    fail "keyboard: not one line saying the keyboard is grabbed"
  section keyboard-err | grep grabbed | grep -q -i esc ||
    fail "keyboard: the grabbed line does not say how to end"
  [ "$(section keyboard-out | head -1)" = Ok ] || fail "keyboard: no Ok"
  sent=$(grep -o 'keycode 0x[0-9a-f]*$' "$dir/ps2.trace" |
    while read -r _ code; do printf '%02x' "$code"; done | spaced)
  [ -n "$sent" ] || fail "keyboard: QEMU logged no byte of its keyboard's in $dir/ps2.trace"
  shown=$(section keyboard-out | codes | spaced)
  # A pressed and released, then Left Shift, Right Shift and Esc pressed and
  # released the other way round.
  last="1c f0 1c 12 59 76 f0 76 f0 59 f0 12"
  [[ $sent == *" $last" ]] || fail "keyboard: QEMU's keyboard did not end with A and the chord: ${sent: -60}"
  before=${sent% "$last"}
  rest=${shown#"$before "}
  [ "$rest" != "$shown" ] || fail "keyboard: $(parting "$sent" "$shown")"
  [[ $rest =~ ^1c(\ 1c)*\ f0\ 1c\ 12\ 59\ f0\ 59\ f0\ 12$ ]] ||
    fail "keyboard: after the keys, '$rest' for A held, then the chord"
  repeats=$(($(echo "$rest" | grep -o 1c | wc -l) - 2))
  # 500 ms, then every 92 ms: 11, on a guest clock that TCG may slow.
  if [ "$repeats" -lt 9 ] || [ "$repeats" -gt 14 ]; then
    fail "keyboard: A held 1500 ms repeated $repeats times"
  fi
  want=$(expected --pace=0 --group=64 --codes="$shown")
  [ "$(section keyboard-out | typed)" = "$(echo "$want" | typed)" ] ||
    fail "keyboard: the characters differ from a pseudo-terminal's"

  outcome=$(report usbkbd)
  [[ $outcome == "@@ usbkbd status=0 ms="* ]] || fail "usbkbd: ${outcome#@@ usbkbd }"
  unplugged=${outcome#*ms=}
  [ "$unplugged" != none ] || fail "usbkbd: the emulator did not say the keyboard was unplugged"
  [ "$unplugged" -lt 1000 ] || fail "usbkbd: the input ended $unplugged ms after the unplug"
  [ "$(section usbkbd-out | head -1)" = Ok ] || fail "usbkbd: no Ok"
  held=$(section usbkbd-out | codes | spaced)
  [[ $held =~ ^32(\ 32)*\ f0\ 32$ ]] || fail "usbkbd: '$held' for B held"
  # 500 ms, then every 92 ms: 6. The kernel's own, every 33 ms from 250 ms
  # on, would be some 20 more.
  usbrepeats=$(($(echo "$held" | grep -o 32 | wc -l) - 2))
  if [ "$usbrepeats" -lt 4 ] || [ "$usbrepeats" -gt 8 ]; then
    fail "usbkbd: B held 1000 ms repeated $usbrepeats times"
  fi

  outcome=$(report tablet)
  [ "$outcome" = "@@ tablet status=2 made=" ] || fail "tablet: ${outcome#@@ tablet }"
  [ -n "$(section tablet-err)" ] || fail "tablet: refused without a word"
  [ -z "$(section tablet-out)" ] || fail "tablet: the command ran"
  # shellcheck disable=SC2086 # lists of keys
  set -- $keys
  summary="$summary; keyboard: $# keys and $(echo "$chords" | wc -w) chords gave QEMU's bytes, A repeated $repeats times in 1.5 s; a USB keyboard's B $usbrepeats times in 1 s, unplugged in $unplugged ms"
fi
echo "$summary"
echo "$speeds" | sed 's/^@@ speed /custom speed: /; s/ after=.*//' 
echo "rate: $pieces of $(section rate-out | wc -l) lines began in the middle of a frame"
