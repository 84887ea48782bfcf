#!/bin/sh
# cmake --install puts the relay, its header and zelrelay.pc under a prefix;
# a C program built with pkg-config alone mirrors through it, and so does
# the module built with UPDATE_SYSTEM_RELAY against that prefix.
# usage: install_test.sh SOURCE-DIRECTORY BUILD-DIRECTORY LUA
set -eu
source=$1 build=$2 lua=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/update-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
unset LD_LIBRARY_PATH LUA_CPATH LUA_PATH

cmake --install "$build" --prefix "$prefix" >/dev/null
"$prefix/bin/zelrelay-publish" "$source/examples/sample-upstream/manifest.ini" "$work/upstream" >/dev/null
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig

# shellcheck disable=SC2046
cc -Wall -Werror -o "$work/mirror" "$here/mirror.c" $(pkg-config --cflags --libs zelrelay)
mkdir "$work/from-c"
LD_LIBRARY_PATH=$prefix/lib "$work/mirror" "$work/upstream" "$work/from-c" >"$work/c.out"
grep -qx 'status 1 success' "$work/c.out" || { cat "$work/c.out" >&2; echo "C mirror failed" >&2; exit 1; }

cmake -S "$source" -B "$work/module" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATE_SYSTEM_RELAY=ON >/dev/null
cmake --build "$work/module" -j2 >/dev/null
[ ! -e "$work/module/zelrelay" ] || { echo "the system-relay build built the local relay too" >&2; exit 1; }
objdump -p "$work/module/update.so" | grep -q 'NEEDED *libzelrelay\.so$' || { echo "module does not need libzelrelay.so" >&2; exit 1; }
mkdir "$work/from-lua"
LD_LIBRARY_PATH=$prefix/lib LUA_CPATH="$work/module/?.so" \
  "$lua" "$here/mirror.lua" "$work/upstream" "$work/from-lua" >"$work/lua.out"
grep -qx 'status 1 success, 6 entities' "$work/lua.out" || { cat "$work/lua.out" >&2; echo "module mirror failed" >&2; exit 1; }
echo "2 passed, 0 failed"
