#!/usr/bin/env bash
# Every station command of zpxctl against zpx-emu: what it prints, what it does to the controller
# (seen back through another command), its exit status and its status names.
#
#   tests/zpxctl/check.sh BUILD_DIR
set -uo pipefail
build=$1
. "$(dirname "$0")/../start_emulator.sh"
start_emulator "$build" "$work" || exit 1
name="ETH$address"
ctl="$build/zpxctl"

# list: a device node present is listed with the name that opens it.
if [ "$(id -u)" -eq 0 ] && [ ! -e /dev/usb51x4ex_9 ]; then
  touch /dev/usb51x4ex_9
  "$ctl" list | grep -q "^/dev/usb51x4ex_9  USB9$" || fail "list"
  rm -f /dev/usb51x4ex_9
fi
"$ctl" list >/dev/null || fail "list without nodes"

# info: a record, also as JSON with six memory sizes and the serial number as 16 hex digits.
"$ctl" info "$name" | grep -q "^controller $name" || fail "info"
"$ctl" info "$name" --json | /usr/bin/python3 -c '
import json, sys
r = json.load(sys.stdin)
assert len(r["memory_bytes"]) == 6 and any(r["memory_bytes"]), r
assert len(r["serial"]) == 16 and r["clock_khz"][0] < r["clock_khz"][1], r
' || fail "info --json"

# clock: set, then read back by a second invocation.
[ "$("$ctl" clock "$name" --set 10000)" = "10000 kHz" ] || fail "clock --set"
[ "$("$ctl" clock "$name")" = "10000 kHz" ] || fail "clock"

# --json: each record command prints one object with its fields.
{
  "$ctl" clock "$name" --json
  "$ctl" serial "$name" --json
  "$ctl" pod "$name" on --json
  "$ctl" tap "$name" 2 --vout 1800mV --json
  "$ctl" info "$name" --json
} | /usr/bin/python3 -c '
import json, sys
clock, serial, pod, tap, info = (json.loads(line) for line in sys.stdin)
assert clock["khz"] == 10000 and clock["range_khz"][0] <= 10000 <= clock["range_khz"][1], clock
assert len(serial["controller"]) == 16 and serial["controller"] == info["serial"], serial
assert pod["power"] == "on" and pod["activated"] == 0 and pod["pod_type"] >= 0, pod
assert (tap["tap"], tap["output_volts"], tap["threshold_volts"]) == (2, 1.8, 0.9), tap
assert info["record"]["frequency_khz"] == 10000 and len(info["device"]["tap_state"]) == 4, info
' || fail "--json records"

# serial: sixteen hex digits.
"$ctl" serial "$name" | grep -Eq "^controller [0-9A-F]{16}$" || fail "serial"

# pod: power and activation, each seen in the state printed; power as on/off, whatever sense the
# export's number has.
"$ctl" pod "$name" off | grep -q "^pod power off," || fail "pod off"
"$ctl" pod "$name" status --json | grep -q '"power": "off"' || fail "pod off --json"
"$ctl" pod "$name" on | grep -q "^pod power on, activated 0" || fail "pod on"
"$ctl" pod "$name" activate | grep -q "activated 1" || fail "pod activate"
"$ctl" pod "$name" deactivate | grep -q "activated 0" || fail "pod deactivate"
"$ctl" pod "$name" status >/dev/null || fail "pod status"

# tap: voltages in volts read back in volts; pins driven read back. Without --vth the threshold
# is the library's default: 1.5 V from an output of 3.0 V up, else half the output, truncated to
# tenths of a volt.
"$ctl" tap "$name" 1 --vout 2.5 --pins 5,15 | grep -q "output 2.5 V, .*pins data 0x5 control 0xF" ||
  fail "tap"
while read -r vout threshold; do
  "$ctl" tap "$name" 3 --vout "$vout" | grep -q "output ${vout%V} V, threshold $threshold V" ||
    fail "tap --vout $vout: threshold $threshold V expected"
done <<'EOF'
1.0 0.5
2.5V 1.2
2.9 1.4
3.0 1.5
3.6 1.5
EOF
# Millivolts with their unit; a bare whole number of 100 or more is taken as millivolts, saying
# so; anything finer than 0.1 V, or a bare small number that is not volts, is refused.
"$ctl" tap "$name" 2 --vout 3300mV --vth 1.2V --json | grep -q '"output_volts": 3.3, "threshold_volts": 1.2' ||
  fail "tap in millivolts and volts"
"$ctl" tap "$name" 2 --vout 2800 2>"$work/err" | grep -q "output 2.8 V" &&
  grep -q "2800 taken as 2800mV" "$work/err" || fail "bare millivolts"
for vout in 3.35 3350mV 50 -1 0x10 abc 2V5; do
  "$ctl" tap "$name" 2 --vout "$vout" >/dev/null 2>"$work/err"
  [ $? -eq 2 ] && grep -q "^zpxctl tap: --vout takes volts" "$work/err" || fail "--vout $vout is a usage error"
done

# net: settings set come back from the controller; JSON output parses.
"$ctl" net "$name" set --ip 0x0A000002 --dhcp 1 | grep -q "^ip 0x0A000002" || fail "net set"
"$ctl" net "$name" show --json | /usr/bin/python3 -c '
import json, sys
r = json.load(sys.stdin)
assert r["ip"] == 0x0A000002 and r["dhcp"] == 1, r
' || fail "net show --json"

# update: an image is accepted by the controller.
head -c 4096 /dev/urandom >"$work/image"
"$ctl" update "$name" firmware "$work/image" 2>"$work/err" | grep -q "accepted" || fail "update"
! grep -q "update firmware: " "$work/err" || fail "seconds shown where standard error is no terminal"
"$ctl" update "$name" bios "$work/image" >/dev/null 2>&1
[ $? -eq 2 ] || fail "an unknown image kind is a usage error"

# mem: a block written from a file reads back the same, through a file and through stdout.
head -c 5000 /dev/urandom >"$work/block"
"$ctl" mem write "$name" 1 256 "$work/block" || fail "mem write"
"$ctl" mem read "$name" 1 256 5000 "$work/back" || fail "mem read"
cmp -s "$work/block" "$work/back" || fail "mem round trip through files"
"$ctl" mem read "$name" 1 256 5000 | cmp -s - "$work/block" || fail "mem read to stdout"
head -c 100 /dev/urandom >"$work/small"
"$ctl" mem write "$name" 2 0 <"$work/small" || fail "mem write from stdin"
"$ctl" mem read "$name" 2 0 100 | cmp -s - "$work/small" || fail "mem round trip through stdio"

# A block larger than a piece goes in pieces (memory 2 holds it); a progress line only on a
# terminal.
head -c 3000000 /dev/urandom >"$work/large"
"$ctl" mem write "$name" 2 0 "$work/large" 2>"$work/err" || fail "large mem write"
"$ctl" mem read "$name" 2 0 3000000 "$work/large-back" 2>>"$work/err" || fail "large mem read"
cmp -s "$work/large" "$work/large-back" || fail "large round trip"
[ ! -s "$work/err" ] || fail "progress shown where standard error is no terminal"
if command -v script >/dev/null; then
  script -qec "$ctl mem read $name 2 0 3000000 $work/tty-back" /dev/null >"$work/tty" 2>&1
  grep -q "mem read: 100% (2.9 of 2.9 MiB)" "$work/tty" || fail "progress on a terminal"
  # An update is one long call: a terminal sees the seconds it has been waiting.
  script -qec "$ctl update $name fpga $work/image" /dev/null >"$work/tty" 2>&1
  grep -q "update fpga: 1 s" "$work/tty" || fail "seconds of an update on a terminal"
fi

# run: the sequencer starts and stops; with the pod powered (bit 5) and no error bits the verdict
# is a pass.
"$ctl" pod "$name" on >/dev/null
"$ctl" run "$name" --timeout 5 >"$work/out"
[ $? -eq 0 ] && grep -q "^stopped, error register 0x20$" "$work/out" && grep -q "^verdict: pass" "$work/out" ||
  fail "run"
"$ctl" run "$name" --json | /usr/bin/python3 -c '
import json, sys
r = json.load(sys.stdin)
assert (r["stopped"], r["error_bits"], r["pod_power_bit"], r["verdict"]) == (1, [], 1, "pass"), r
' || fail "run --json"

# Failures: by name, with exit status 1, each line naming the controller; bad usage 2; --help 0.
# A failed open says why, in the terms of the name: every command (open too) the same way.
while IFS='|' read -r controller status why; do
  case $why in /dev/*) [ -e "${why%%:*}" ] && continue ;; esac
  for command in open clock; do
    "$ctl" $command "$controller" 2>"$work/err" >/dev/null
    [ $? -eq 1 ] && grep -q "^zpxctl: $controller: ZPX_OpenController: $status$" "$work/err" &&
      grep -qF "zpxctl: $controller: $why" "$work/err" || fail "$command $controller: $(cat "$work/err")"
  done
done <<'EOF'
PCI9|CANNOT_OPEN (12)|/dev/pci51x4ex_9: no such device (zpxctl list
USB3,5120|CANNOT_OPEN (12)|/dev/usb5120_3: no such device
PCI3x|INVALID (10)|'3x' after PCI is not a device number
ETH1.2.3.x|FAILED (1)|'1.2.3.x' is not an IPv4 address
ISA0|FAILED (1)|not a controller name
FOO1|FAILED (1)|not a controller name
EOF
# Nothing listens on port 5104 of 127.0.0.1 (zpx-emu takes the loopback addresses above it).
"$ctl" clock ETH127.0.0.1 2>"$work/err" >/dev/null
[ $? -eq 1 ] && grep -q "^zpxctl: ETH127.0.0.1: ZPX_OpenController: FAILED (1)$" "$work/err" &&
  grep -q "^zpxctl: ETH127.0.0.1: 127.0.0.1:5104: connection refused" "$work/err" || fail "refused open"

# Guards: a clock outside the controller's range (1..40000 kHz for the 51x4 models) is refused
# naming the range; its ends are taken.
for khz in 0 40001; do
  "$ctl" clock "$name" --set $khz 2>"$work/err" >/dev/null
  [ $? -eq 1 ] && grep -q "^zpxctl: $name: $khz kHz is outside this controller's clock range, 1..40000 kHz$" "$work/err" ||
    fail "clock --set $khz"
done
[ "$("$ctl" clock "$name" --set 1)" = "1 kHz" ] && [ "$("$ctl" clock "$name" --set 40000)" = "40000 kHz" ] ||
  fail "clock range ends"
# Code 12 from the TAP voltage exports is a voltage out of range (from ZPX_OpenController it is
# a device that cannot be opened), named with the TAP's ranges: output 1.0..3.6 V, threshold
# 0.0..4.1 V for TAPs of type 0 or 1.
for volts in "3.7" "3.6 --vth 4.2" "0.9"; do
  # shellcheck disable=SC2086
  "$ctl" tap "$name" 1 --vout $volts 2>"$work/err" >/dev/null
  [ $? -eq 1 ] && grep -q "ZPX_AddNewTapInfoMillivolt: OUT_OF_RANGE (12)" "$work/err" &&
    grep -q "^zpxctl: $name: TAP 1: output .* out of range; this TAP takes output 1.0..3.6 V, threshold 0.0..4.1 V$" "$work/err" ||
    fail "voltage out of range: $volts"
done
# A block that does not fit its memory is refused before anything is written: the memory's
# start (where the address counter would wrap to) keeps what it held.
size=$("$ctl" info "$name" --json | /usr/bin/python3 -c 'import json, sys; print(json.load(sys.stdin)["memory_bytes"][1])')
head -c 16 /dev/urandom >"$work/start"
"$ctl" mem write "$name" 1 0 "$work/start" || fail "mem write at 0"
head -c $((size + 1)) /dev/zero >"$work/over"
"$ctl" mem write "$name" 1 0 "$work/over" 2>"$work/err"
[ $? -eq 1 ] && grep -q "^zpxctl: $name: .*over has $((size + 1)) bytes, memory 1 holds $size bytes$" "$work/err" ||
  fail "a file larger than the memory"
head -c 32 /dev/zero >"$work/tail"
"$ctl" mem write "$name" 1 $((size - 16)) "$work/tail" 2>"$work/err"
[ $? -eq 1 ] && grep -q "writing 32 bytes at $((size - 16)) passes the end" "$work/err" || fail "a write past the end"
"$ctl" mem read "$name" 1 $((size - 16)) 17 2>/dev/null >/dev/null
[ $? -eq 1 ] || fail "a read past the end"
"$ctl" mem write "$name" 1 $((size - 32)) "$work/tail" || fail "a write that ends at the end"
"$ctl" mem read "$name" 1 0 16 | cmp -s - "$work/start" || fail "the memory's start was overwritten"

# Usage errors say what was wrong, exit 2.
while IFS='|' read -r args why; do
  # shellcheck disable=SC2086
  "$ctl" $args >/dev/null 2>"$work/err"
  [ $? -eq 2 ] && grep -qF "zpxctl ${args%% *}: $why" "$work/err" && grep -q "^usage: zpxctl ${args%% *}" "$work/err" ||
    fail "usage error of $args: $(cat "$work/err")"
done <<EOF
clock $name --set abc|--set takes a number from 0 to
clock $name --set|--set needs a value
clock $name --bogus 1|clock has no option --bogus
clock $name extra|one word too many: 'extra'
open|words missing
tap $name 5|TAP is a number from 1 to 4, not 5
tap $name 1 --vth 1.0|--vth is set with --vout
pod $name sideways|no pod action sideways
mem read $name 9 0 4|MEMORY is a number from 0 to 5, not 9
net $name show --ip 1|show takes no settings
update $name bios $work/image|no image kind bios
EOF
# --help on every command, and for the whole: the usage, exit 0, nothing opened.
for command in demo open list info clock serial pod tap run net update mem; do
  "$ctl" $command --help >"$work/out" 2>&1
  [ $? -eq 0 ] && head -1 "$work/out" | grep -q "^usage: zpxctl $command" || fail "$command --help"
done
"$ctl" --help | grep -q "^usage: zpxctl COMMAND" || fail "zpxctl --help"
"$ctl" bogus >/dev/null 2>&1
[ $? -eq 2 ] || fail "an unknown command is a usage error"
# --version and the man page carry the version of the project.
version=$(sed -n 's/^project(zpx VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
[ -n "$version" ] && [ "$("$ctl" --version)" = "zpxctl $version" ] || fail "--version"
head -1 "$build/man/zpxctl.1" | grep -q "\"zpx $version\"" || fail "man page version"
# Every status code of the header has its name in zpxctl's table.
root="$(dirname "$0")/../.."
codes=$(sed -n 's/^#define ZPX_STATUS_\([A-Z_]*\) .*/\1/p' "$root/include/zpx/zpx.h")
[ -n "$codes" ] || fail "no status codes found in the header"
for code in $codes; do
  grep -q "ZPX_STATUS_ROW[_A-Z]*($code\b" "$root/tools/zpxctl_command.cpp" || fail "no name for $code"
done

# run as a verdict, on a controller whose register 1 holds error bit 2 from power-up and whose
# runs raise bit 4: exit status 3 with the bits named; --clear clears those before the run.
kill -INT $emu 2>/dev/null
wait $emu 2>/dev/null
start_emulator "$build" "$work" --error-bits 0x04 --run-error-bits 0x10 || exit 1
name="ETH$address"
"$ctl" run "$name" >"$work/out"
[ $? -eq 3 ] && grep -q "^  error bits set: 2, 4$" "$work/out" && grep -q "^verdict: error bits set" "$work/out" ||
  fail "run with error bits"
"$ctl" run "$name" --clear --json >"$work/out"
[ $? -eq 3 ] && /usr/bin/python3 -c '
import json, sys
r = json.load(open(sys.argv[1]))
assert (r["error"], r["error_bits"], r["cleared_bits"], r["pod_power_bit"]) == (0x10, [4], [2, 4], 0), r
' "$work/out" || fail "run --clear --json"

# Completion: commands, a command's actions and options.
complete() { :; }
# shellcheck source=/dev/null
. "$(dirname "$0")/../../tools/zpxctl.bash"
completes() {
  COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMPREPLY=()
  _zpxctl
  echo "${COMPREPLY[*]}"
}
[ "$(completes zpxctl p)" = "pod" ] || fail "completion of a command"
[ "$(completes zpxctl pod ETH1.2.3.4 a)" = "activate" ] || fail "completion of an action"
[ "$(completes zpxctl mem "")" = "read write" ] || fail "completion of mem"
[ "$(completes zpxctl tap ETH1.2.3.4 1 --v)" = "--vout --vth" ] || fail "completion of options"
[ "$(completes zpxctl run ETH1.2.3.4 --c)" = "--clear" ] || fail "completion of run --clear"
[ "$(completes zpxctl --v)" = "--version" ] || fail "completion of --version"

[ $failures -eq 0 ] && echo "zpxctl station commands: all passed"
exit $((failures > 0))
