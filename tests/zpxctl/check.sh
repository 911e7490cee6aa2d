#!/usr/bin/env bash
# Every station command of zpxctl against zpx-emu: what it prints, what it does to the controller
# (seen back through another command), its exit status and its status names.
#
#   tests/zpxctl/check.sh BUILD_DIR
set -uo pipefail
build=$1
work=$(mktemp -d)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

emu=
trap 'kill -INT $emu 2>/dev/null; wait $emu 2>/dev/null; rm -rf "$work"' EXIT
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
  "$ctl" tap "$name" 2 --vout 1800 --json
  "$ctl" info "$name" --json
} | /usr/bin/python3 -c '
import json, sys
clock, serial, pod, tap, info = (json.loads(line) for line in sys.stdin)
assert clock["khz"] == 10000 and clock["range_khz"][0] <= 10000 <= clock["range_khz"][1], clock
assert len(serial["controller"]) == 16 and serial["controller"] == info["serial"], serial
assert pod["activated"] == 0 and pod["pod_type"] >= 0, pod
assert (tap["tap"], tap["output_decivolts"]) == (2, 18), tap
assert info["record"]["frequency_khz"] == 10000 and len(info["device"]["tap_state"]) == 4, info
' || fail "--json records"

# serial: sixteen hex digits.
"$ctl" serial "$name" | grep -Eq "^controller [0-9A-F]{16}$" || fail "serial"

# pod: power and activation, each seen in the state printed.
"$ctl" pod "$name" on | grep -q "activated 0" || fail "pod on"
"$ctl" pod "$name" activate | grep -q "activated 1" || fail "pod activate"
"$ctl" pod "$name" deactivate | grep -q "activated 0" || fail "pod deactivate"
"$ctl" pod "$name" status >/dev/null || fail "pod status"

# tap: voltages set in millivolts read back in tenths of a volt; pins driven read back.
"$ctl" tap "$name" 1 --vout 2500 --pins 5,15 | grep -q "output 2.5 V, .*pins data 0x5 control 0xF" ||
  fail "tap"
"$ctl" tap "$name" 5 >/dev/null 2>&1
[ $? -eq 2 ] || fail "TAP 5 is a usage error"

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

# run: the sequencer starts and stops.
"$ctl" run "$name" --timeout 5 | grep -q "^stopped, error register 0x" || fail "run"
"$ctl" run "$name" --json | grep -q '^{"stopped": 1, "error": ' || fail "run --json"

# Failures: by name, with exit status 1; bad usage 2; --help 0.
"$ctl" clock ETH127.0.0.1 2>"$work/err" >/dev/null
[ $? -eq 1 ] && grep -q "ZPX_OpenController: FAILED (1)" "$work/err" || fail "failed open"
"$ctl" clock "$name" --set 0 2>"$work/err" >/dev/null
[ $? -eq 1 ] && grep -Eq "ZPX_SetCtrlFrequency: [A-Z_]+ \([0-9]+\)" "$work/err" || fail "bad clock"
# Code 12 is named by the export that gave it: a voltage out of range from the TAP voltage
# exports, a device that cannot be opened from ZPX_OpenController.
"$ctl" tap "$name" 1 --vout 9000 2>"$work/err" >/dev/null
[ $? -eq 1 ] && grep -q "ZPX_AddNewTapInfoMillivolt: OUT_OF_RANGE (12)" "$work/err" ||
  fail "voltage out of range"
if [ ! -e /dev/pci51x4ex_9 ]; then
  "$ctl" clock PCI9 2>"$work/err" >/dev/null
  [ $? -eq 1 ] && grep -q "ZPX_OpenController: CANNOT_OPEN (12)" "$work/err" || fail "open of no device"
fi
# Every status code of the header has its name in zpxctl's table.
root="$(dirname "$0")/../.."
codes=$(sed -n 's/^#define ZPX_STATUS_\([A-Z_]*\) .*/\1/p' "$root/include/zpx/zpx.h")
[ -n "$codes" ] || fail "no status codes found in the header"
for code in $codes; do
  grep -q "ZPX_STATUS_ROW[_A-Z]*($code\b" "$root/tools/zpxctl_command.cpp" || fail "no name for $code"
done
"$ctl" mem read "$name" 9 0 4 >/dev/null 2>&1
[ $? -eq 2 ] || fail "bad memory number is a usage error"
"$ctl" pod "$name" sideways >/dev/null 2>&1
[ $? -eq 2 ] || fail "bad pod action is a usage error"
"$ctl" mem --help | grep -q "^usage: zpxctl mem" || fail "--help"

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

[ $failures -eq 0 ] && echo "zpxctl station commands: all passed"
exit $((failures > 0))
