#!/bin/sh
# Publishes the sample upstream and mirrors it through the Lua module.
# usage: examples/demo.sh BUILD-DIRECTORY
set -eu
build=$(cd "${1:?usage: demo.sh BUILD-DIRECTORY}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zelrelay-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$build/zelrelay/zelrelay-publish" "$here/sample-upstream/manifest.ini" "$work/upstream"
mkdir "$work/mirror" "$work/patterns"
echo
LUA_CPATH="$build/?.so;;" LD_LIBRARY_PATH="$build/zelrelay${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  lua5.2 "$here/mirror.lua" "$work/upstream" "$work/mirror" "$work/patterns" "$work/export"
