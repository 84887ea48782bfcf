#!/bin/sh
# Runs every fuzz target: first its committed regression inputs, then for
# a bounded time from its seed corpus. Usage: run.sh <build dir> <seconds>
set -eu
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
status=0
for target in identifier index; do
  binary="$build/fuzz_$target"
  work="$build/corpus-$target"
  mkdir -p "$work"
  regressions=$(find "$here/regressions/$target" -type f 2>/dev/null | sort)
  if [ -n "$regressions" ]; then
    # shellcheck disable=SC2086
    "$binary" $regressions >"$build/$target-regressions.log" 2>&1 || {
      echo "fuzz_$target: a regression input fails, see $build/$target-regressions.log" >&2
      grep -E '^(SUMMARY|Running:)' "$build/$target-regressions.log" | tail -4 >&2
      status=1
      continue
    }
  fi
  "$binary" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=1024 \
    -artifact_prefix="$build/$target-" "$work" "$here/corpus/$target" >"$build/$target.log" 2>&1 || {
    echo "fuzz_$target: found a failure, see $build/$target.log" >&2
    grep -E '^(SUMMARY|artifact_prefix)' "$build/$target.log" >&2 || true
    status=1
    continue
  }
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$target.log")
  echo "fuzz_$target: $runs executions in ${seconds}s, no failure"
done
exit $status
