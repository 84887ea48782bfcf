#!/bin/sh
# luarocks make builds a copy of the checkout into a fresh tree; lua5.2, with
# only that tree's paths, loads update from it and mirrors, the module
# finding the tree's libzelrelay.so beside it.
# usage: rock_test.sh SOURCE-DIRECTORY LUA
set -eu
source=$1 lua=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/update-rock.XXXXXX")
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH LUA_CPATH LUA_PATH LUA_CPATH_5_2 LUA_PATH_5_2

mkdir "$work/checkout"
tar -C "$source" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$work/checkout" -xf -
(cd "$work/checkout" && CMAKE_BUILD_PARALLEL_LEVEL=2 luarocks --lua-version=5.2 --tree "$work/tree" \
  make update-1.0-1.rockspec) >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }

modules=$work/tree/lib/lua/5.2
"$work/tree/bin/zelrelay-publish" "$source/examples/sample-upstream/manifest.ini" "$work/upstream" >/dev/null
mkdir "$work/repository"
eval "$(luarocks --lua-version=5.2 --tree "$work/tree" path)"
"$lua" "$here/mirror.lua" "$work/upstream" "$work/repository" >"$work/lua.out"
grep -qx 'status 1 success, 6 entities' "$work/lua.out" || { cat "$work/lua.out" >&2; echo "mirror failed" >&2; exit 1; }
ldd "$modules/update.so" | grep -q "libzelrelay.so => $modules/libzelrelay.so" ||
  { echo "update.so does not find the tree's libzelrelay.so" >&2; exit 1; }
echo "1 passed, 0 failed"
