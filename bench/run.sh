#!/bin/sh
# Runs the benchmarks against a build and prints one table of all of them.
# Usage: bench/run.sh <build dir> [benchmark...]
# Benchmarks: parser index tocomponent list removeek scale first memory
# network patch xfs (all by default). Each one's own output goes to
# <build dir>-bench/bench.log.
set -eu
build=$(cd "${1:-build}" && pwd)
[ $# -gt 0 ] && shift
here=$(cd "$(dirname "$0")" && pwd)
out="$build-bench"
all="parser index tocomponent list removeek scale first memory network patch xfs"
chosen=${*:-$all}

"$here/../tools/install-deps.sh" libbenchmark-dev curl lua5.2
cmake -S "$here" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATE_BUILD_DIR="$build" >/dev/null
cmake --build "$out" -j"$(nproc)" >/dev/null

records="$out/records.tsv"
log="$out/bench.log"
: >"$records"
: >"$log"
relay_cpath="$build/?.so;$out/?.so;;"

# One benchmark: its output to the log, its rows to the records; one that
# dies leaves a failed row, and the rest still run.
run() {
  name=$1
  shift
  echo "== $name" >&2
  echo "== $name: $*" >>"$log"
  start=$(date +%s)
  if "$@" >"$out/$name.out" 2>>"$log"; then status=0; else status=$?; fi
  cat "$out/$name.out" >>"$log"
  grep '^@row' "$out/$name.out" >>"$records" || true
  if [ "$status" -ne 0 ]; then
    printf '@row\t%s\t%s\t-\tFAILED\t-\t-\t-\t-\t-\t%s exited with status %s (see %s)\n' \
      "$name" "$name" "$name" "$status" "$log" >>"$records"
  fi
  echo "   $(($(date +%s) - start)) s" >&2
}

# The relay's index parser on the server.ini of an upstream of 100,000
# components.
index_bench() {
  dir=$(mktemp -d "${BENCH_TMPFS:-/dev/shm}/update-bench-index.XXXXXX")
  per=${BENCH_PER_PRODUCT:-4}
  if "$out/mkupstream" "$dir/upstream" $(((100000 + per - 1) / per)) "$per" 16 &&
    "$out/index_bench" "$dir/upstream/server.ini"; then code=0; else code=$?; fi
  rm -rf "$dir"
  return "$code"
}

for name in $chosen; do
  case $name in
    parser) run parser "$out/parser_bench" ;;
    index) run index index_bench ;;
    tocomponent)
      run tocomponent env LUA_CPATH="$relay_cpath" LD_LIBRARY_PATH="$build/zelrelay" \
        lua5.2 "$here/tocomponent_bench.lua" ;;
    list)
      run list env LUA_CPATH="$build/?.so;$build/tests/double/?.so;$out/?.so;;" \
        LD_LIBRARY_PATH="$build/tests/double" lua5.2 "$here/list_bench.lua" ;;
    removeek)
      run removeek env LUA_CPATH="$relay_cpath" LD_LIBRARY_PATH="$build/zelrelay" \
        lua5.2 "$here/removeek_bench.lua" ;;
    scale | first | memory)
      run "$name" env LUA_CPATH="$relay_cpath" LD_LIBRARY_PATH="$build/zelrelay" \
        lua5.2 "$here/mirror_bench.lua" "$out" "$name" ;;
    network)
      run network env LUA_CPATH="$relay_cpath" LD_LIBRARY_PATH="$build/zelrelay" ZELRELAY_RETRIES=0 \
        lua5.2 "$here/network_bench.lua" "$build" ;;
    patch)
      run patch env LUA_CPATH="$relay_cpath" LD_LIBRARY_PATH="$build/zelrelay" ZELRELAY_RETRIES=0 \
        lua5.2 "$here/patch_bench.lua" "$out" ;;
    xfs)
      run xfs env LUA_CPATH="$relay_cpath" LD_LIBRARY_PATH="$build/zelrelay" ZELRELAY_RETRIES=0 \
        "$here/xfs.sh" "$build" "$out" ;;
    *) echo "unknown benchmark $name (known: $all)" >&2; exit 2 ;;
  esac
done

title="update benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(uname -sr), \
commit $(git -C "$here" rev-parse --short HEAD 2>/dev/null || echo unknown)"
lua5.2 "$here/table.lua" "$records" "$title" | tee "$out/table.txt"
