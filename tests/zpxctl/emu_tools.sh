#!/usr/bin/env bash
# zpx-emu's tools with zpxctl as the station.
# - Recording and replay: a recorded `zpxctl info` played back by `zpx-emu --replay` gives zpxctl
#   the same output and ends the replay with status 0; `zpxctl clock` against the same recording
#   is stopped at its first request that differs from the recorded ones, which the emulator's own
#   request log of both commands names.
# - `zpx-emu run`: the command finds the controller by ZPX_EMU_NAME, with the model options
#   given; its exit status and its output are zpx-emu's; a stop request ends the command.
#
#   tests/zpxctl/emu_tools.sh BUILD_DIR
set -uo pipefail
build=$1
. "$(dirname "$0")/../start_emulator.sh"
ctl="$build/zpxctl"
# Under zpx-emu run on a driver interface the preload library comes before a sanitized program's
# runtime, which is then not first in the list of libraries; that is as intended here.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"

# record TAG COMMAND [ARGS...]: zpxctl COMMAND ETH<emulator> ARGS against an emulator that records
# and logs; $work/TAG.pcap, TAG.out (what zpxctl printed), TAG.requests (the requests it logged,
# without the client's port and the reply).
record() {
  local tag=$1 command=$2
  shift 2
  start_emulator "$build" "$work" --log --record "$work/$tag.pcap" || return 1
  "$ctl" "$command" "ETH$address" "$@" >"$work/$tag.out" || fail "$command against the emulator"
  kill -INT "$emu" && wait "$emu"
  emu=
  sed -n 's/^[0-9.]*:[0-9]*: \(.* (0x[0-9A-F]\{4\}) address .*\)$/\1/p' "$work/emu.log" |
    sed 's/ -> .*//' >"$work/$tag.requests"
}

# replay TAG COMMAND [ARGS...]: zpxctl COMMAND against `zpx-emu --replay TAG.pcap`; sets `status`
# (the replay's exit status) and leaves zpxctl's output in $work/replayed.out and the emulator's
# in $work/replay.log.
replay() {
  local tag=$1 command=$2 at=
  shift 2
  "$build/zpx-emu" --replay "$work/$tag.pcap" >"$work/replay.log" 2>&1 &
  emu=$!
  for _ in $(seq 200); do
    at=$(sed -n 's/.*open it as ETH\([0-9.]*\)).*/\1/p' "$work/replay.log" | head -1)
    [ -n "$at" ] && break
    sleep 0.05
  done
  [ -n "$at" ] || { cat "$work/replay.log"; fail "the replay did not start"; }
  "$ctl" "$command" "ETH$at" "$@" >"$work/replayed.out" 2>/dev/null
  wait "$emu"
  status=$?
  emu=
}

record info info || exit 1
record clock clock || exit 1
[ -s "$work/info.requests" ] || fail "no requests logged"

replay info info
[ $status -eq 0 ] || fail "info replayed to status $status: $(tail -1 "$work/replay.log")"
cmp -s "$work/info.out" "$work/replayed.out" || fail "info printed something else when replayed"
grep -q "matched the recording: $(wc -l <"$work/info.requests") requests" "$work/replay.log" ||
  fail "the replay counted other requests than the emulator logged"

# The first request of clock that info did not send, counted from 1.
first=$(cmp "$work/info.requests" "$work/clock.requests" | sed -n 's/.* line \([0-9]*\).*/\1/p')
[ -n "$first" ] || fail "info and clock sent the same requests"
replay info clock
[ $status -eq 1 ] || fail "clock against the info recording ended with status $status"
grep -q "request #$first (recorded as frame" "$work/replay.log" ||
  fail "the replay did not stop at request #$first: $(tail -1 "$work/replay.log")"

# run: one shell, two zpxctl calls on one emulated controller (the clock set by the first is read
# by the second), model type 1 in the information record, the shell's own exit status.
"$build/zpx-emu" run --type 1 -- sh -c '"$0" clock "$ZPX_EMU_NAME" --set 10000 >/dev/null &&
  "$0" clock "$ZPX_EMU_NAME" && "$0" info "$ZPX_EMU_NAME" --json; exit 7' "$ctl" >"$work/run.out" \
  2>"$work/run.err"
status=$?
[ $status -eq 7 ] || fail "run exited with $status, not the command's 7"
[ "$(head -1 "$work/run.out")" = "10000 kHz" ] || fail "run: the clock set did not stay set"
sed -n 2p "$work/run.out" | /usr/bin/python3 -c 'import json, sys; assert json.load(sys.stdin)["type"] == 1' ||
  fail "run: --type 1 is not the controller the command found"
[ ! -s "$work/run.err" ] || fail "run printed its own lines: $(cat "$work/run.err")"
# A stop request to zpx-emu reaches the command, which says so in its exit status.
"$build/zpx-emu" run -- sh -c 'trap "kill \$! 2>/dev/null; exit 42" TERM; touch "$0"; sleep 30 & wait' "$work/started" &
emu=$!
for _ in $(seq 100); do [ -e "$work/started" ] && break; sleep 0.05; done
kill -TERM "$emu"
wait "$emu"
status=$?
emu=
[ $status -eq 42 ] || fail "a stop request to run ended it with $status, not the command's 42"
"$build/zpx-emu" run --port 5105 -- true 2>/dev/null
[ $? -eq 2 ] || fail "run on a port the library does not dial is not a usage error"

# run on each driver interface: the controller zpxctl finds by ZPX_EMU_NAME has the interface
# kind of the header's table and the family given, through a shell in between.
header="$(dirname "$0")/../../include/zpx/zpx.h"
kind() { sed -n "s/^#define ZPX_INTERFACE_$1 \([0-9]*\)u.*/\1/p" "$header"; }
while read -r interface expected type index; do
  "$build/zpx-emu" run --interface "$interface" --type "$type" --index "$index" -- \
    sh -c '"$0" info "$ZPX_EMU_NAME" --json' "$ctl" >"$work/info.json" 2>"$work/run.err" ||
    fail "run --interface $interface: $(cat "$work/run.err")"
  /usr/bin/python3 -c 'import json, sys
r = json.load(open(sys.argv[1]))
assert (r["interface"], r["type"], r["index"]) == tuple(map(int, sys.argv[2:])), r' \
    "$work/info.json" "$(kind "$expected")" "$type" "$index" || fail "run --interface $interface"
done <<EOF2
isa ISA 0 1
pci PCI 2 2
usb USB 1 0
usb USB 0 3
fw FIREWIRE 3 0
EOF2

# VXI in both library generations: the program loads the emulated driver library, whose board is
# in zpx-emu, so what one process writes another reads; the index is the logical address.
for interface in vxi vxi-plain; do
  "$build/zpx-emu" run --interface "$interface" --index 9 -- sh -c '
    printf "vxi board" | "$0" mem write "$ZPX_EMU_NAME" 1 0x40 &&
    "$0" mem read "$ZPX_EMU_NAME" 1 0x40 9 && "$0" info "$ZPX_EMU_NAME" --json' "$ctl" \
    >"$work/vxi.out" 2>"$work/run.err" || fail "run --interface $interface: $(cat "$work/run.err")"
  /usr/bin/python3 -c 'import json, sys
text = open(sys.argv[1]).read()
assert text.startswith("vxi board"), text
r = json.loads(text[len("vxi board"):])
assert (r["name"], r["interface"], r["type"], r["index"]) == ("VXIPCI0,9,5120", int(sys.argv[2]), 0, -1), r' \
    "$work/vxi.out" "$(kind VXI)" || fail "run --interface $interface: $(cat "$work/vxi.out")"
done

# A Python station script (ctypes over the library) finds the controller by ZPX_EMU_NAME, on a
# driver interface and over Ethernet. A sanitized library does not load into Python as it is
# (tests/shared_library runs Python over it with the sanitizer's runtime preloaded).
sanitized=$(grep -cE "^ZPX_(SANITIZE|TSAN):BOOL=ON" "$build/CMakeCache.txt" 2>/dev/null)
[ "${sanitized:-0}" -eq 0 ] && for interface in fw eth vxi; do
  type=3 && [ $interface = vxi ] && type=0
  ZPX_LIBRARY="$build/ZPX.so" "$build/zpx-emu" run --interface "$interface" --type $type -- \
    /usr/bin/python3 -c 'import ctypes, os, sys
lib = ctypes.CDLL(os.environ["ZPX_LIBRARY"])
lib.ZPX_OpenController.restype = ctypes.c_void_p
status, kind = ctypes.c_uint32(99), ctypes.c_uint32(99)
handle = ctypes.c_void_p(lib.ZPX_OpenController(os.environ["ZPX_EMU_NAME"].encode(), ctypes.byref(status)))
assert status.value == 0 and handle.value, status.value
assert lib.ZPX_GetControllerType(handle, ctypes.byref(kind)) == 0 and kind.value == int(sys.argv[1]), kind.value
assert lib.ZPX_CloseController(handle) == 0' $type || fail "run --interface $interface: a Python script"
done

# Several controllers under one run, options before the first --interface for all and after
# one for its controller: names in ZPX_EMU_NAMES in the order given, each with its own model.
"$build/zpx-emu" run --type 1 --interface usb --interface pci --index 1 --type 3 --interface eth \
  -- sh -c 'for n in $(echo "$ZPX_EMU_NAMES" | tr ";" " "); do "$0" info "$n" --json; done' "$ctl" |
  /usr/bin/python3 -c 'import json, sys
got = [(r["name"][:3], r["type"], r["index"]) for r in map(json.loads, sys.stdin)]
assert got == [("USB", 1, 0), ("PCI", 3, 1), ("ETH", 1, -1)], got' ||
  fail "run with several controllers"

# zpxctl list under run lists the node served, with the name that opens it.
"$build/zpx-emu" run --interface pci --index 2 -- "$ctl" list | grep -qx "/dev/pci51x4ex_2  PCI2" ||
  fail "run: zpxctl list does not show the node served"

# Two processes, one device: while one holds the node open, the library's open is refused as
# busy; once it lets go, the same open succeeds.
"$build/zpx-emu" run --interface usb -- sh -c '
  /usr/bin/python3 -c "import os, sys, time
fd = os.open(\"/dev/usb51x4ex_0\", os.O_RDWR); open(sys.argv[1], \"w\").close(); time.sleep(1)" "$1" &
  for _ in $(seq 100); do [ -e "$1" ] && break; sleep 0.02; done
  "$0" clock USB0 2>"$1.busy"; busy=$?
  wait
  "$0" clock USB0 >/dev/null && [ $busy -eq 1 ] && grep -q DEVICE_BUSY "$1.busy"' "$ctl" "$work/held" ||
  fail "run: a device held by one process was not busy for another, or not free after"

# The same with the plain VXI library, whose board has one open at a time: while another process
# has it open, the library's open fails; once that process is gone without closing, it succeeds.
if [ "${sanitized:-0}" -eq 0 ] && ! "$build/zpx-emu" run --interface vxi-plain -- sh -c '
  /usr/bin/python3 -c "import ctypes, os, sys, time
assert ctypes.CDLL(\"libvxi5120.so\").set_vxi_address(8) == 0
open(sys.argv[1], \"w\").close(); time.sleep(1); os._exit(0)" "$1" &
  for _ in $(seq 100); do [ -e "$1" ] && break; sleep 0.02; done
  "$0" clock "$ZPX_EMU_NAME" 2>"$1.busy"; busy=$?
  wait
  "$0" clock "$ZPX_EMU_NAME" >/dev/null && [ $busy -eq 1 ] && grep -q CANNOT_OPEN "$1.busy"' \
  "$ctl" "$work/vxi-held"; then
  fail "run: a VXI board held by one process was not refused to another, or not free after"
fi

# An emulator on another port than the library dials names no controller name to open it by.
start_emulator "$build" "$work" --port 5199 || exit 1
kill -INT "$emu" && wait "$emu"
emu=
! grep -q "open it as" "$work/emu.log" || fail "an emulator on port 5199 offers a name: $(cat "$work/emu.log")"

[ $failures -eq 0 ] && echo "zpx-emu record, replay and run with zpxctl: all passed"
exit $((failures > 0))
