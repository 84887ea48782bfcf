#!/bin/sh
# The table "Every status" of docs/local-relay.md holds exactly the codes the
# relay has a message for, with that message; its row -1000 - N stands for
# N from 100 to 599.
# usage: statuses_test.sh STATUS-MESSAGES-PROGRAM DOC
set -eu
export LC_ALL=C
work=$(mktemp -d "${TMPDIR:-/tmp}/update-statuses.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$1" | sort >"$work/relay"
awk -F'|' '/^## / { table = $0 == "## Every status" } table && $2 ~ /^ *-?[0-9]/ {
  code = $2; message = $3; gsub(/^ +| +$/, "", code); gsub(/^ +| +$/, "", message)
  if (code !~ /N$/) { print code "\t" message; next }
  for (n = 100; n <= 599; n++) { text = message; sub(/N$/, n, text); print -1000 - n "\t" text }
}' "$2" | sort >"$work/doc"
diff "$work/doc" "$work/relay" >&2 || { echo "the table (<) differs from the relay's messages (>)" >&2; exit 1; }
echo "1 passed, 0 failed"
