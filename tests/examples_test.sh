#!/bin/sh
# Runs each example against the published sample upstream, or a copy of it
# with one damaged package: its exit status, and a line of its output (an
# empty line: no output at all). Rows run in order, the export reading what
# the cron run mirrored; they are expanded when they run.
# usage: examples_test.sh BUILD-DIRECTORY LUA
set -u
build=$1 lua=$2 passed=0 failed=0
work=$(mktemp -d "${TMPDIR:-/tmp}/update-examples.XXXXXX")
trap 'rm -rf "$work"' EXIT
export LUA_CPATH="$build/?.so;;" LD_LIBRARY_PATH="$build/zelrelay"
cd "$(dirname "$0")/../examples" && "$build/zelrelay/zelrelay-publish" sample-upstream/manifest.ini "$work/up" >/dev/null &&
  mkdir "$work/piped" "$work/tty" "$work/languages" "$work/kinds" "$work/cron" "$work/patterns" "$work/cronbad" &&
  cp -R "$work/up" "$work/bad" &&
  printf X | dd of="$work/bad/packages/c3t4v1.0500.3l1p-1r-1o-1.zip" bs=1 seek=40 conv=notrunc 2>/dev/null || exit 1
while IFS='|' read -r name status line command; do
  eval "line=\"$line\""
  output=$(eval "$command" 2>&1 </dev/null)
  got=$?
  if [ "$got" = "$status" ] && { [ -z "$line$output" ] || { [ -n "$line" ] && printf '%s\n' "$output" | grep -qF -- "$line"; }; }; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)) && printf '%s: exit status %s, output:\n%s\n' "$name" "$got" "$output" >&2
  fi
done <<'ROWS'
mirror, piped|0|  packages/c3t4v1.0500.3l1p-1r-1o-1.zip  0.4 KiB|$lua mirror.lua $work/up $work/piped $work/patterns $work/x1 | cat
mirror, on a terminal|0|[##############################] 100%|script -qec "$lua mirror.lua $work/up $work/tty $work/patterns $work/x2" /dev/null
languages|0|kept c22t2213v1.0500.3l-1p-1r-1o-1.zip c3t1207992320v2.1500.5l1p-1r-1o-1.zip c3t2048v2.1000.7l-1p-1r-1o-1.zip c3t4v1.0500.3l1p-1r-1o-1.zip|$lua languages.lua $work/up $work/languages 1
kinds|0|copied c2t1207960066v3.0.4l-1p-1r-1o-1|$lua kinds.lua $work/up $work/kinds c22t2213 c2t1207960066
cron, all well|0||$lua cron.lua $work/cron $work/up c3t4 c2t1207959858
export|0|  ./pattern.dat|$lua export.lua $work/cron c3t4l2 $work/export
cron, a damaged package|1|failed c3t4v1.0500.3l1p-1r-1o-1 (packages/c3t4v1.0500.3l1p-1r-1o-1.zip)|$lua cron.lua $work/cronbad $work/bad c3t4
cron, no upstream|1|mirror of $work/none into $work/cron: 0 packages copied; status -8: no source has a repository index|$lua cron.lua $work/cron $work/none c3t4
ROWS
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
