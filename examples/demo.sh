#!/bin/sh
# Loads the module against the local relay, starts it and shows its version.
set -eu
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
LUA_CPATH="$build/?.so;;" LD_LIBRARY_PATH="$build/zelrelay" exec lua5.2 "$here/hello.lua"
