#!/bin/sh
# update.so shows the host its entry point, the start-up globals and the
# version constant, and nothing else; and it needs libzelrelay.so by name.
set -eu
module=$1
expected="_lib_version g_zel_mode g_zel_startup g_zel_startup_count g_zel_starup_status luaopen_update"
actual=$(nm -D --defined-only "$module" | awk '{ print $3 }' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
  echo "exported: $actual" >&2
  echo "expected: $expected" >&2
  exit 1
fi
objdump -p "$module" | grep -q 'NEEDED *libzelrelay\.so$' || { echo "does not need libzelrelay.so" >&2; exit 1; }
if objdump -p "$module" | grep -q 'NEEDED *liblua'; then echo "links Lua itself" >&2; exit 1; fi
echo "1 passed, 0 failed"
