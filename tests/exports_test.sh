#!/bin/sh
# update.so shows the host exactly the symbols its version script names, and
# it needs libzelrelay.so by name without linking Lua itself.
# usage: exports_test.sh MODULE VERSION-SCRIPT
set -eu
export LC_ALL=C
module=$1
script=$2
expected=$(sed -n '/global:/,/local:/p' "$script" | sed -n 's/^ *\([A-Za-z_][A-Za-z0-9_]*\);$/\1/p' | sort | tr '\n' ' ')
actual=$(nm -D --defined-only "$module" | awk '{ print $3 }' | sort | tr '\n' ' ')
if [ -z "$expected" ] || [ "$actual" != "$expected" ]; then
  echo "exported: $actual" >&2
  echo "expected: $expected" >&2
  exit 1
fi
objdump -p "$module" | grep -q 'NEEDED *libzelrelay\.so$' || { echo "does not need libzelrelay.so" >&2; exit 1; }
if objdump -p "$module" | grep -q 'NEEDED *liblua'; then echo "links Lua itself" >&2; exit 1; fi
echo "1 passed, 0 failed"
