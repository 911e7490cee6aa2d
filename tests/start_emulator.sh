# Sourced by the test scripts. Gives them a scratch folder `work`, removed at exit with any
# emulator still running, and `fail MESSAGE`, which prints it and counts it in `failures`.
work=$(mktemp -d)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
emu=
trap 'kill -INT $emu 2>/dev/null; wait $emu 2>/dev/null; rm -rf "$work"' EXIT

# Starts zpx-emu on the first free loopback address and waits until it listens. Sets `emu` (its
# process id) and `address`; its output goes to $work/emu.log. The caller stops it
# (kill -INT "$emu").
#
#   start_emulator BUILD_DIR WORK_DIR [zpx-emu options...]
start_emulator() {
  local build=$1 work=$2
  shift 2
  "$build/zpx-emu" --port 5104 "$@" >"$work/emu.log" 2>&1 &
  emu=$!
  address=
  for _ in $(seq 200); do
    address=$(sed -n 's/.*listening on \([0-9.]*\):.*/\1/p' "$work/emu.log" | head -1)
    [ -n "$address" ] && return 0
    sleep 0.05
  done
  cat "$work/emu.log"
  echo "zpx-emu did not start"
  return 1
}
