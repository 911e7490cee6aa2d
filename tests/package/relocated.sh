#!/usr/bin/env bash
# Installs a Release build tree into a temporary prefix other than the one it was configured for,
# then builds a small C program against that copy through pkg-config alone and through
# find_package, and runs both: the installed zpx.pc and CMake package must find the header and
# library beside themselves, wherever the install went.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$(realpath "$tmp")/prefix

fail() {
  echo "relocated install: $*" >&2
  exit 1
}
under_prefix() {
  case $(realpath -m "$1") in
    "$prefix"/*) ;;
    *) fail "$2 $1 is not under $prefix" ;;
  esac
}

cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name zpx.pc)
[ -n "$pc" ] || fail "no zpx.pc under $prefix"
# This copy alone: no zpx.pc of the system may stand in for it.
pcdir=$(dirname "$pc")
export PKG_CONFIG_PATH=$pcdir PKG_CONFIG_LIBDIR=$pcdir

includedir=$(pkg-config --variable=includedir zpx)
libdir=$(pkg-config --variable=libdir zpx)
under_prefix "$includedir" includedir
under_prefix "$libdir" libdir
[ -f "$includedir/zpx/zpx.h" ] || fail "no zpx/zpx.h in $includedir"

# The library is found at run time through an rpath of the .pc file's libdir.
cc "$here/app.c" $(pkg-config --cflags --libs zpx) -Wl,-rpath,"$libdir" -o "$tmp/app-pc"
under_prefix "$(ldd "$tmp/app-pc" | awk '$1 == "ZPX.so" { print $3 }')" "pkg-config program's ZPX.so"
"$tmp/app-pc" >/dev/null

cmake -S "$here" -B "$tmp/user" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
under_prefix "$(sed -n 's/^zpx_DIR:PATH=//p' "$tmp/user/CMakeCache.txt")" "find_package's zpx_DIR"
cmake --build "$tmp/user" >/dev/null
under_prefix "$(ldd "$tmp/user/app" | awk '$1 == "ZPX.so" { print $3 }')" "find_package program's ZPX.so"
"$tmp/user/app" >/dev/null

echo "relocated install: built and ran against $prefix with pkg-config and find_package"
