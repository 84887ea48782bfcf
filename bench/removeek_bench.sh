#!/bin/sh
# removeek against find -delete over the same package directory on tmpfs.
# Usage: bench/removeek_bench.sh [build directory] [file count]
set -eu
build=${1:-$(dirname "$0")/../build}
count=${2:-100000}
root=$(mktemp -d /dev/shm/removeek_bench.XXXXXX)
trap 'rm -rf "$root"' EXIT

populate() {
  rm -rf "$root/repo"
  mkdir -p "$root/repo/packages"
  : >"$root/repo/server.ini"
  (cd "$root/repo/packages" && seq -f "package%06g.zip" 1 "$count" | xargs touch)
}

seconds() { date +%s.%N; }

populate
start=$(seconds)
find "$root/repo/packages" -mindepth 1 -name '*.zip' -delete
finish=$(seconds)
find_time=$(awk "BEGIN { print $finish - $start }")

populate
export LUA_CPATH="$build/?.so;;" LD_LIBRARY_PATH="$build/zelrelay${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
start=$(seconds)
lua5.2 -e "assert(require('update').removeek('$root/repo'))"
finish=$(seconds)
removeek_time=$(awk "BEGIN { print $finish - $start }")
left=$(ls "$root/repo/packages" | wc -l)

echo "files: $count  find -delete: ${find_time}s  removeek: ${removeek_time}s  left: $left"
echo "removeek / find: $(awk "BEGIN { printf \"%.2f\", $removeek_time / $find_time }")"
