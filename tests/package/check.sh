#!/usr/bin/env bash
# Installs the Debian package built by make package, builds a small C program against it through
# pkg-config and through find_package, runs both, and removes the package again. Before that, the
# same against the package's build tree installed into a temporary prefix (relocated.sh), before
# any copy is installed in /usr.
set -euo pipefail
deb=$1
work=$(mktemp -d)
trap 'rm -rf "$work"; dpkg -r zpx >/dev/null 2>&1 || true' EXIT
here=$(cd "$(dirname "$0")" && pwd)

"$here/relocated.sh" "$(dirname "$deb")"

dpkg -i "$deb" >/dev/null
test -f /usr/share/man/man1/zpxctl.1.gz
zpx-emu --help >/dev/null
# The installed zpx-emu finds its preload library: zpxctl opens the emulated USB controller.
zpx-emu run --interface usb -- zpxctl info USB0 | grep -q "^controller USB0"
# and the emulated VXI library of each generation.
for interface in vxi vxi-plain; do
  zpx-emu run --interface $interface -- zpxctl info VXIPCI0,8,5120 | grep -q "^controller VXIPCI0,8,5120"
done

cc "$here/app.c" $(pkg-config --cflags --libs zpx) -o "$work/app-pc"
"$work/app-pc"

cmake -S "$here" -B "$work/build" >/dev/null
cmake --build "$work/build" >/dev/null
"$work/build/app"

dpkg -r zpx >/dev/null
if [ -e /usr/lib/x86_64-linux-gnu/ZPX.so ] || [ -e /usr/lib/ZPX.so ]; then
  echo "package left ZPX.so behind" >&2
  exit 1
fi
echo "package: installed, built against with pkg-config and find_package, removed"
