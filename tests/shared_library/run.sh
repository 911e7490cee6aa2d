#!/usr/bin/env bash
# Uses the shared library the way programs do, so that the sanitizers see its load and unload
# work: a C program linked against ZPX.so that exits with a session open and a thread still
# calling, and a program that loads, uses and unloads it with dlopen many times over. Each runs
# against an emulated Ethernet controller (zpx-emu) and the emulated VXI driver library. A run
# fails on a nonzero exit status or on any sanitizer report on its standard error.
#
#   tests/shared_library/run.sh BUILD_DIR linked|dlopen|python
set -uo pipefail
build=$(cd "$1" && pwd)
mode=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$(dirname "$0")/../start_emulator.sh"
start_emulator "$build" "$work" || exit 1
names=("ETH$address" "VXIPCI,5120")
export LD_LIBRARY_PATH="$build/vxi/session${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

case $mode in
  linked) command=("$build/use_library_linked" "${names[@]}") ;;
  dlopen) command=("$build/use_library_dlopen" "$build/ZPX.so" 10 "${names[@]}") ;;
  python)
    # The package's tests in a Python process with the sanitized library loaded through ctypes.
    # The sanitizer runtimes come first in the process; the interpreter's own allocations are
    # not the library's, so leaks are not looked for here (the C programs look for them).
    runtimes=$(for r in libasan.so libubsan.so; do gcc -print-file-name=$r; done | paste -sd:)
    # The package comes from the tree, where no entry point registers its pytest plugin.
    export LD_PRELOAD=$runtimes ASAN_OPTIONS=detect_leaks=0 ZPX_BUILD_DIR=$build
    export PYTHONPATH="$here/../../python${PYTHONPATH:+:$PYTHONPATH}"
    command=(/usr/bin/python3 -m pytest -q -s -p no:cacheprovider -p zpx.testing
      "$here/../../python/tests")
    ;;
  *) echo "unknown mode $mode"; exit 2 ;;
esac

"${command[@]}" >"$work/out" 2>"$work/err"
status=$?
cat "$work/out"
if [ $status -ne 0 ] || grep -qE 'runtime error|Sanitizer' "$work/err"; then
  cat "$work/err"
  echo "FAIL: ${command[*]} exited with $status"
  exit 1
fi
echo "$mode: exit 0, no sanitizer report"
