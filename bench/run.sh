#!/bin/sh
# Runs every benchmark against a build. Usage: bench/run.sh <build dir>
set -eu
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

cmake -S "$here" -B "$build-bench" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build-bench" -j"$(nproc)" >/dev/null
echo "== identifier parser against strlen + memchr"
"$build-bench/parser_bench"
echo "== tocomponent against a pure-Lua parser"
LUA_CPATH="$build/?.so;;" LD_LIBRARY_PATH="$build/zelrelay" lua5.2 "$here/tocomponent_bench.lua"
echo "== list of 100,000 entities against pure Lua tables of the same shape"
LUA_CPATH="$build/?.so;$build/tests/double/?.so;;" LD_LIBRARY_PATH="$build/tests/double" \
  lua5.2 "$here/list_bench.lua"
echo "== removeek against find -delete, 100,000 files on tmpfs"
"$here/removeek_bench.sh" "$build"
